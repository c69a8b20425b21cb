# Where the program executables land and, on Windows, the CUDA DLLs that must lie beside them.

# Sets out to the CUDA runtime and cuBLAS DLLs (cudart64_*.dll, cublas64_*.dll, cublasLt64_*.dll) of the toolkit
# whose bin folder is bin_dir: from bin_dir/x64, where CUDA 13 puts them, or else from bin_dir, where earlier
# toolkits do. Empty when neither folder holds all three kinds.
function(kavrel_find_cuda_runtime_dlls out bin_dir)
  foreach(folder ${bin_dir}/x64 ${bin_dir})
    set(found)
    foreach(pattern cudart64_*.dll cublas64_*.dll cublasLt64_*.dll)
      file(GLOB matches ${folder}/${pattern})
      if(NOT matches)
        set(found)
        break()
      endif()
      list(APPEND found ${matches})
    endforeach()
    if(found)
      list(SORT found)
      set(${out} ${found} PARENT_SCOPE)
      return()
    endif()
  endforeach()
  set(${out} "" PARENT_SCOPE)
endfunction()

# Puts each program executable that was configured at the top of the build folder in every configuration (the
# generator expression keeps multi-config generators such as Visual Studio from adding Release/ or Debug/), and on
# Windows copies the CUDA DLLs beside the ones built on the CUDA toolkit after each build, warning when the toolkit
# has none.
function(kavrel_place_programs)
  foreach(program kavrel-test-emulated kavrel-bench-emulated kavrel-test kavrel-bench kavrel-fleet)
    if(TARGET ${program})
      set_property(TARGET ${program} PROPERTY RUNTIME_OUTPUT_DIRECTORY ${PROJECT_BINARY_DIR}$<0:>)
    endif()
  endforeach()
  if(NOT WIN32 OR NOT TARGET kavrel-test)
    return()
  endif()
  kavrel_find_cuda_runtime_dlls(dlls "${CUDAToolkit_BIN_DIR}")
  if(NOT dlls)
    message(WARNING "kavrel-test: no cudart64_*.dll, cublas64_*.dll and cublasLt64_*.dll in ${CUDAToolkit_BIN_DIR}/x64 "
                    "or ${CUDAToolkit_BIN_DIR}; kavrel-test.exe will start only where Windows finds those DLLs "
                    "(put that folder on PATH or copy them next to it)")
    return()
  endif()
  foreach(program kavrel-test kavrel-bench)
    if(TARGET ${program})
      add_custom_command(TARGET ${program} POST_BUILD
                         COMMAND ${CMAKE_COMMAND} -E copy_if_different ${dlls} $<TARGET_FILE_DIR:${program}>
                         COMMENT "Copying the CUDA runtime and cuBLAS DLLs next to ${program}" VERBATIM)
    endif()
  endforeach()
endfunction()
