# nlohmann-json for a cross build: the build machine's header-only copy (Debian's nlohmann-json3-dev), staged on
# its own.
include(${CMAKE_CURRENT_LIST_DIR}/../stageHostHeaders.cmake)
kavrel_stage_host_headers(nlohmann nlohmann_json::nlohmann_json)
