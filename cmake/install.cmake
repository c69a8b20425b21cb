# What cmake --install puts where: the programs in bin/, the Slurm scripts in libexec/kavrel/, the manual pages and the README under share/.
# GNUInstallDirs warns when it cannot tell the target's library folder, as where the compiler's checks could not
# run; nothing here installs a library, so lib/ serves there.
if(NOT DEFINED CMAKE_SIZEOF_VOID_P AND NOT DEFINED CMAKE_INSTALL_LIBDIR)
  set(CMAKE_INSTALL_LIBDIR lib)
endif()
include(GNUInstallDirs)
include(${CMAKE_CURRENT_LIST_DIR}/manPages.cmake)

# The programs a system runs: kavrel-test and kavrel-bench where they were built on the CUDA toolkit, else their
# stand-ins, so that an installation never holds both under one name; kavrel-fleet either way.
set(kavrel_installed_programs)
if(TARGET kavrel-test)
  set(kavrel_installs_stand_ins OFF)
  set(kavrel_candidates kavrel-test kavrel-bench kavrel-fleet)
else()
  set(kavrel_installs_stand_ins ON)
  set(kavrel_candidates kavrel-test-emulated kavrel-bench-emulated kavrel-fleet)
endif()
foreach(program IN LISTS kavrel_candidates)
  if(TARGET ${program})
    list(APPEND kavrel_installed_programs ${program})
  endif()
endforeach()
install(TARGETS ${kavrel_installed_programs} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Slurm scripts and manual pages are for Linux nodes.
if(WIN32)
  return()
endif()

kavrel_add_man_pages(kavrel_man_pages ${CMAKE_INSTALL_FULL_DOCDIR}/README.md ${kavrel_installed_programs})
if(kavrel_man_pages)
  install(FILES ${kavrel_man_pages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)
endif()

# The Slurm scripts, each with the folder the programs went to written into its installed_bin line at install time
# (when the prefix is known, also for cmake --install --prefix), so that they find the installed programs without
# settings.
install(CODE "set(kavrel_slurm_scripts \"${PROJECT_SOURCE_DIR}/scripts/slurm/kavrel-healthcheck.sh;${PROJECT_SOURCE_DIR}/scripts/slurm/kavrel-qualify.sbatch\")
set(kavrel_slurm_staging \"${PROJECT_BINARY_DIR}/install-staging\")
set(kavrel_bindir \"${CMAKE_INSTALL_BINDIR}\")
set(kavrel_libexecdir \"${CMAKE_INSTALL_LIBEXECDIR}/kavrel\")")
install(SCRIPT ${CMAKE_CURRENT_LIST_DIR}/installSlurmScripts.cmake)
