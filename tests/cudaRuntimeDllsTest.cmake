# Checks which CUDA DLLs the Windows build copies beside kavrel-test, on toolkits laid out in a scratch folder.
# Run as: cmake -DKAVREL_SOURCE_DIR=<repository> -DKAVREL_SCRATCH_DIR=<folder> -P cudaRuntimeDllsTest.cmake
include(${KAVREL_SOURCE_DIR}/cmake/programLayout.cmake)

set(failures 0)
# Lays out a toolkit bin folder holding the given files (relative to it) and checks what is found.
function(check name files expected)
  set(bin ${KAVREL_SCRATCH_DIR}/${name}/bin)
  file(REMOVE_RECURSE ${KAVREL_SCRATCH_DIR}/${name})
  file(MAKE_DIRECTORY ${bin})
  foreach(file ${files})
    file(WRITE ${bin}/${file} "")
  endforeach()
  kavrel_find_cuda_runtime_dlls(found ${bin})
  string(REPLACE "${bin}/" "" found "${found}")
  if(NOT found STREQUAL expected)
    message(SEND_ERROR "${name}: found '${found}', expected '${expected}'")
  else()
    message(STATUS "${name}: ok")
  endif()
endfunction()

check(cuda13 "x64/cudart64_13.dll;x64/cublas64_13.dll;x64/cublasLt64_13.dll;nvcc.exe"
      "x64/cublas64_13.dll;x64/cublasLt64_13.dll;x64/cudart64_13.dll")
check(cuda12 "cudart64_12.dll;cublas64_12.dll;cublasLt64_12.dll;cudart32_12.dll"
      "cublas64_12.dll;cublasLt64_12.dll;cudart64_12.dll")
check(both "x64/cudart64_13.dll;x64/cublas64_13.dll;x64/cublasLt64_13.dll;cudart64_12.dll;cublas64_12.dll;cublasLt64_12.dll"
      "x64/cublas64_13.dll;x64/cublasLt64_13.dll;x64/cudart64_13.dll")
check(partialX64 "x64/cudart64_13.dll;x64/cublas64_13.dll;cudart64_12.dll;cublas64_12.dll;cublasLt64_12.dll"
      "cublas64_12.dll;cublasLt64_12.dll;cudart64_12.dll")
check(noCublasLt "x64/cudart64_13.dll;x64/cublas64_13.dll" "")
check(empty "" "")
