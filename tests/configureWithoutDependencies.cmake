# Configures the project as a fresh machine would see it, without the CUDA toolkit, GoogleTest, Google Benchmark,
# CLI11 and nlohmann-json: each must be skipped with its one line and no warning or error, and KAVREL_REQUIRE_BENCH
# must turn the kavrel-bench skip into a configuration error.
# cmake -DSOURCE_DIR=... -DBINARY_DIR=... -DGENERATOR=... [-DCXX_COMPILER=...] -P configureWithoutDependencies.cmake

set(without_packages
  -DCMAKE_DISABLE_FIND_PACKAGE_CUDAToolkit=ON
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON
  -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON
  -DCMAKE_DISABLE_FIND_PACKAGE_CLI11=ON
  -DCMAKE_DISABLE_FIND_PACKAGE_nlohmann_json=ON)
if(CXX_COMPILER AND NOT GENERATOR MATCHES "^Visual Studio")
  list(APPEND without_packages -DCMAKE_CXX_COMPILER=${CXX_COMPILER})
endif()

function(configure name result_variable output_variable)
  file(REMOVE_RECURSE ${BINARY_DIR}/${name})
  execute_process(COMMAND ${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${BINARY_DIR}/${name} -G ${GENERATOR} ${without_packages}
                          ${ARGN}
                  RESULT_VARIABLE result OUTPUT_VARIABLE output ERROR_VARIABLE output)
  set(${result_variable} ${result} PARENT_SCOPE)
  set(${output_variable} "${output}" PARENT_SCOPE)
endfunction()

set(failures "")

configure(skipping result output)
if(NOT result EQUAL 0)
  string(APPEND failures "configuring without the optional packages failed (status ${result})\n")
endif()
if(output MATCHES "CMake (Warning|Error)")
  string(APPEND failures "configuring without the optional packages printed a warning or an error\n")
endif()
foreach(line
    "-- kavrel-test: CUDA toolkit with cuBLAS not found, building only the stand-ins"
    "-- kavrel-bench: CLI11 \\(libcli11-dev\\) and nlohmann-json \\(nlohmann-json3-dev\\) not found, skipping kavrel-bench"
    "-- kavrel-test: GoogleTest \\(libgtest-dev\\) not found, skipping the tests"
    "-- kavrel-test: Google Benchmark \\(libbenchmark-dev\\) not found, skipping bench/"
    "-- kavrel-fleet: nlohmann-json \\(nlohmann-json3-dev\\) not found, skipping kavrel-fleet")
  string(REGEX MATCHALL "${line}" found "${output}")
  list(LENGTH found count)
  if(NOT count EQUAL 1)
    string(APPEND failures "expected the line '${line}' once, found it ${count} times\n")
  endif()
endforeach()

configure(requiring result required_output -DKAVREL_REQUIRE_BENCH=ON)
if(result EQUAL 0)
  string(APPEND failures "KAVREL_REQUIRE_BENCH=ON without CLI11 and nlohmann-json configured successfully\n")
elseif(NOT required_output MATCHES "CMake Error.*kavrel-bench: CLI11.*KAVREL_REQUIRE_BENCH")
  string(APPEND failures "KAVREL_REQUIRE_BENCH=ON failed without saying that kavrel-bench's packages are missing\n")
endif()

if(failures)
  message(FATAL_ERROR "${failures}--- output without the optional packages:\n${output}\n"
                      "--- output with KAVREL_REQUIRE_BENCH=ON:\n${required_output}")
endif()
message(STATUS "both configurations behaved as a fresh machine needs")
