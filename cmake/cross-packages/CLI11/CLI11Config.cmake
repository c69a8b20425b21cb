# CLI11 for a cross build: the build machine's header-only copy (Debian's libcli11-dev), staged on its own.
include(${CMAKE_CURRENT_LIST_DIR}/../stageHostHeaders.cmake)
kavrel_stage_host_headers(CLI CLI11::CLI11)
