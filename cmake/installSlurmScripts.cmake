# Install-time step of cmake/install.cmake: installs the Slurm scripts with the installed programs' folder written into each one's installed_bin line.
#
# Expects kavrel_slurm_scripts (the scripts' paths), kavrel_slurm_staging (a scratch folder), kavrel_bindir and
# kavrel_libexecdir (install folders, relative to the prefix or absolute), and CMAKE_INSTALL_PREFIX, as cmake
# --install sets them. DESTDIR is added by file(INSTALL), never written into a script.

foreach(folder kavrel_bindir kavrel_libexecdir)
  if(NOT IS_ABSOLUTE "${${folder}}")
    set(${folder} "${CMAKE_INSTALL_PREFIX}/${${folder}}")
  endif()
endforeach()
if(kavrel_bindir MATCHES "'")
  message(FATAL_ERROR "The programs' install folder ${kavrel_bindir} has a quote, which the Slurm scripts cannot hold")
endif()

file(MAKE_DIRECTORY "${kavrel_slurm_staging}")
foreach(script IN LISTS kavrel_slurm_scripts)
  get_filename_component(name "${script}" NAME)
  file(READ "${script}" text)
  string(REGEX MATCHALL "\ninstalled_bin=[^\n]*" markers "${text}")
  list(LENGTH markers count)
  if(NOT count EQUAL 1)
    message(FATAL_ERROR "${script} must have one line starting installed_bin=, not ${count}")
  endif()
  string(REGEX REPLACE "\ninstalled_bin=[^\n]*" "\ninstalled_bin='${kavrel_bindir}'" text "${text}")
  file(WRITE "${kavrel_slurm_staging}/${name}" "${text}")
  file(INSTALL DESTINATION "${kavrel_libexecdir}" TYPE PROGRAM FILES "${kavrel_slurm_staging}/${name}")
endforeach()
