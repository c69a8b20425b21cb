# The manual pages: kavrel-bench's and kavrel-fleet's written at build time from the programs' own --help, kavrel-test's (which has no options) by hand.

set(kavrel_help_to_man ${CMAKE_CURRENT_LIST_DIR}/helpToMan.cmake)
set(kavrel_test_page_source ${CMAKE_CURRENT_LIST_DIR}/man/kavrel-test.1.in)

# Sets out to the section-1 pages, in ${PROJECT_BINARY_DIR}/man, of the programs named after it, and adds the target
# kavrel-man-pages (part of the default build) that writes them. A stand-in's page (kavrel-bench-emulated.1) is a
# link to the real program's, which is written too, so man kavrel-bench works wherever either was installed; the
# stand-in has the same options, and kavrel-bench's page is written from kavrel-bench-emulated --help when it was
# built, so that writing it never needs a GPU library at build time. readme is where the README is installed. Sets
# out to nothing in a cross build, whose programs cannot run here.
function(kavrel_add_man_pages out readme)
  set(${out} "" PARENT_SCOPE)
  if(CMAKE_CROSSCOMPILING OR WIN32)
    return()
  endif()
  set(dir ${PROJECT_BINARY_DIR}/man)
  file(MAKE_DIRECTORY ${dir})
  set(pages)
  set(links)
  set(written)
  foreach(program IN LISTS ARGN)
    string(REGEX REPLACE "-emulated$" "" page ${program})
    if(NOT page IN_LIST written)
      list(APPEND written ${page})
      list(APPEND pages ${dir}/${page}.1)
      if(page STREQUAL "kavrel-test")
        set(KAVREL_README ${readme})
        configure_file(${kavrel_test_page_source} ${dir}/kavrel-test.1 @ONLY)
      else()
        if(TARGET ${page}-emulated)
          set(source ${page}-emulated)
        else()
          set(source ${page})
        endif()
        set(see_also kavrel-test\(1\) kavrel-bench\(1\) kavrel-fleet\(1\))
        list(REMOVE_ITEM see_also ${page}\(1\))
        list(JOIN see_also "," see_also)
        add_custom_command(OUTPUT ${dir}/${page}.1
                           COMMAND ${CMAKE_COMMAND} -DPROGRAM=$<TARGET_FILE:${source}> -DNAME=${page}
                                   -DOUTPUT=${dir}/${page}.1 -DSEE_ALSO=${see_also} -DREADME=${readme}
                                   -P ${kavrel_help_to_man}
                           DEPENDS ${source} ${kavrel_help_to_man}
                           COMMENT "Writing the manual page ${page}.1 from ${source} --help" VERBATIM)
      endif()
    endif()
    if(NOT program STREQUAL page)
      file(CREATE_LINK ${page}.1 ${dir}/${program}.1 SYMBOLIC)
      list(APPEND links ${dir}/${program}.1)
    endif()
  endforeach()
  add_custom_target(kavrel-man-pages ALL DEPENDS ${pages})
  set(${out} ${pages} ${links} PARENT_SCOPE)
endfunction()
