# Checks cpack runs before it builds the Debian package, so that a package is never built without its dependencies.

if(CPACK_GENERATOR STREQUAL "DEB")
  find_program(kavrel_dpkg_shlibdeps dpkg-shlibdeps)
  if(NOT kavrel_dpkg_shlibdeps)
    message(FATAL_ERROR "cpack: dpkg-shlibdeps, which names the package's library dependencies, is missing "
                        "(apt-get install dpkg-dev)")
  endif()
  if(NOT CPACK_PACKAGING_INSTALL_PREFIX STREQUAL "/usr")
    message(WARNING "cpack: the package installs under ${CPACK_PACKAGING_INSTALL_PREFIX}; a Debian package belongs "
                    "in /usr (configure with -DCMAKE_INSTALL_PREFIX=/usr)")
  endif()
endif()
