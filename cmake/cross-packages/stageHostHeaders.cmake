# Makes a header-only library installed for the build machine usable by a cross build, without putting the build
# machine's whole include folder (and its C library headers) on the target's include path.

# Copies KAVREL_HOST_INCLUDE_DIR/folder (default /usr/include) alone into the build tree and defines target as an
# imported interface library whose include folder is that copy. Ends the configure with an error when the folder is
# missing, naming it.
function(kavrel_stage_host_headers folder target)
  if(TARGET ${target})
    return()
  endif()
  if(NOT KAVREL_HOST_INCLUDE_DIR)
    set(KAVREL_HOST_INCLUDE_DIR /usr/include)
  endif()
  if(NOT IS_DIRECTORY ${KAVREL_HOST_INCLUDE_DIR}/${folder})
    message(FATAL_ERROR "${target}: ${KAVREL_HOST_INCLUDE_DIR}/${folder} not found for the cross build")
  endif()
  set(staged ${CMAKE_BINARY_DIR}/host-headers)
  file(COPY ${KAVREL_HOST_INCLUDE_DIR}/${folder} DESTINATION ${staged})
  add_library(${target} INTERFACE IMPORTED GLOBAL)
  target_include_directories(${target} SYSTEM INTERFACE ${staged})
endfunction()
