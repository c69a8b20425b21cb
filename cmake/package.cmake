# The Debian package cpack builds from what cmake --install installs: kavrel-test (on the CUDA toolkit) or kavrel-test-emulated (the stand-ins).
#
# Build one in a build folder configured with -DCMAKE_INSTALL_PREFIX=/usr (where a package belongs), after the build:
# cpack --config <build>/CPackConfig.cmake (or cd <build> && cpack). It needs dpkg-shlibdeps (Debian's dpkg-dev),
# which names the system libraries the programs link.

if(kavrel_installs_stand_ins)
  set(CPACK_PACKAGE_NAME kavrel-test-emulated)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SGEMM self-test of NVIDIA GPUs: host stand-ins for rehearsals without a GPU")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "kavrel-test-emulated and kavrel-bench-emulated: kavrel-test and kavrel-bench linked against a host stand-in
for the CUDA runtime and cuBLAS, for rehearsing a qualification on machines without a GPU; and kavrel-fleet,
which merges kavrel-bench's node reports, with the Slurm health check and batch job.")
  set(CPACK_DEBIAN_PACKAGE_CONFLICTS kavrel-test)
else()
  set(CPACK_PACKAGE_NAME kavrel-test)
  set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "SGEMM benchmark, self-test and qualification tool for NVIDIA GPUs")
  set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
      "kavrel-test times SGEMM round trips on an NVIDIA GPU through cuBLAS and checks the product; kavrel-bench
qualifies every GPU of a node with figures and a JSON report; kavrel-fleet merges the node reports of a fleet;
with the Slurm health check and batch job.")
  set(CPACK_DEBIAN_PACKAGE_CONFLICTS kavrel-test-emulated)

  # The CUDA runtime and cuBLAS of the toolkit the programs were built with, as NVIDIA's repository names them
  # (cuda-cudart-13-0) or a distribution does (libcudart13). The driver (libcuda.so.1) is the node's own.
  set(kavrel_cuda_series ${CUDAToolkit_VERSION_MAJOR}-${CUDAToolkit_VERSION_MINOR})
  set(KAVREL_PACKAGE_CUDA_DEPENDS
      "cuda-cudart-${kavrel_cuda_series} | libcudart${CUDAToolkit_VERSION_MAJOR}, libcublas-${kavrel_cuda_series} | libcublas${CUDAToolkit_VERSION_MAJOR}"
      CACHE STRING "The Debian package's dependencies on the CUDA runtime and cuBLAS libraries")
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "${KAVREL_PACKAGE_CUDA_DEPENDS}")
  # So that dpkg-shlibdeps finds those libraries (which it leaves to the dependencies above) wherever the toolkit is.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CUDAToolkit_LIBRARY_DIR})
endif()

set(KAVREL_PACKAGE_MAINTAINER "kavrel-test developers <kavrel-test@localhost>"
    CACHE STRING "The Debian package's Maintainer field")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "${KAVREL_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_STRIP_FILES ON)
# The package installs where cmake --install would, and the install step runs with that prefix and a DESTDIR, so
# what it writes into the Slurm scripts is the final folder, not cpack's staging one.
set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
set(CPACK_SET_DESTDIR ON)
set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_CURRENT_LIST_DIR}/packageChecks.cmake)
include(CPack)
