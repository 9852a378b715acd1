# SPDX-License-Identifier: MIT
# package.cmake - CPack settings for the Debian packages (`cpack -G DEB` in the build tree): kestrune
# (kestrune, kestrune-decode, kestrune-scan and their manual pages), libkestrune1 (the shared
# library) and libkestrune-dev (what a program is built with). Each package is made of the install
# components of the same name; the scan component goes into kestrune.
set(CPACK_PACKAGE_NAME kestrune)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Kestrune developers")
set(KESTRUNE_PACKAGE_MAINTAINER "Kestrune developers <kestrune@example.org>"
  CACHE STRING "The Maintainer field of the Debian packages")
set(CPACK_PACKAGE_CONTACT "${KESTRUNE_PACKAGE_MAINTAINER}")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENT_KESTRUNE_GROUP kestrune)
set(CPACK_COMPONENT_SCAN_GROUP kestrune)
set(KESTRUNE_PACKAGES kestrune libkestrune1 libkestrune-dev)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The first Debian revision of this version: the packages' version is 1.0-1, and their changelog
# (cmake/debian-changelog) must begin with the entry for it.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(version ${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KESTRUNE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)

# The shared libraries the programs and libkestrune.so link (libmd, the C and C++ runtimes) become
# the Depends field; dpkg-shlibdeps (dpkg-dev) finds their packages. Without it, the one library
# beyond the C++ runtime is named by hand.
find_program(KESTRUNE_DPKG_SHLIBDEPS dpkg-shlibdeps)
set(runtime_depends)
if(KESTRUNE_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(runtime_depends libmd0 libstdc++6 libc6)
endif()
# libkestrune1's shlibs file: a program linked with libkestrune.so.1 depends on libkestrune1 of
# this version or later.
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")

set(kestrune_section utils)
set(kestrune_depends "libkestrune1 (= ${version})" ${runtime_depends})
# The programs link libkestrune.so.1, which the build tree holds: dpkg-shlibdeps finds it there and
# leaves its package to the line above.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${PROJECT_BINARY_DIR}/lib)
set(kestrune_description "protect a byte stream against lost or damaged blocks, and restore it
kestrune is a Unix filter that protects a byte stream (a tar stream on tape, an
image on unreliable media, a file sent over a lossy path) with a systematic
erasure code over GF(2^8): every chunk survives the loss or corruption of any
n - k of its n blocks. kestrune -d (or kestrune-decode) restores the stream;
kestrune-scan checks a protected stream block by block, reports what a restore
would give back and salvages what can be saved.")

set(library_description "libkestrune protects a byte stream with a systematic erasure code over
GF(2^8), so that every chunk survives the loss or corruption of any n - k of
its n blocks, and restores it; the kestrune programs are built on it.")

set(libkestrune1_section libs)
set(libkestrune1_depends ${runtime_depends})
set(libkestrune1_description "library to protect byte streams against lost or damaged blocks
${library_description}

This package holds the shared library.")

set(libkestrune-dev_section libdevel)
set(libkestrune-dev_depends "libkestrune1 (= ${version})" libmd-dev)
set(libkestrune-dev_description "library to protect byte streams - development files
${library_description}

This package holds what a program is built with: the header kestrune.h, the
static library, the pkg-config module kestrune and the CMake package Kestrune.")

foreach(package IN LISTS KESTRUNE_PACKAGES)
  string(TOUPPER ${package} PACKAGE)
  list(JOIN ${package}_depends ", " depends)
  set(CPACK_DEBIAN_${PACKAGE}_PACKAGE_NAME ${package})
  set(CPACK_DEBIAN_${PACKAGE}_PACKAGE_SECTION ${${package}_section})
  set(CPACK_DEBIAN_${PACKAGE}_PACKAGE_DEPENDS "${depends}")
  set(CPACK_DEBIAN_${PACKAGE}_DESCRIPTION "${${package}_description}")
  if(NOT package STREQUAL CPACK_PACKAGE_NAME)
    set(CPACK_DEBIAN_${PACKAGE}_PACKAGE_SOURCE ${CPACK_PACKAGE_NAME})
  endif()
endforeach()

# What Debian's policy asks beyond the installed files (lintian checks it, tests/package_test.sh
# runs lintian): stripped programs and library; cmake/package_debian.cmake run on the staged files
# of each package for the compressed manual pages, the copyright file, the changelog and the lintian
# overrides; and cmake/package_debian_ldconfig.cmake run on the packages made, for the ldconfig
# trigger of libkestrune1.
set(CPACK_STRIP_FILES ON)
set(CPACK_KESTRUNE_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_KESTRUNE_PACKAGES ${KESTRUNE_PACKAGES})
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/package_debian.cmake)
set(CPACK_POST_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/package_debian_ldconfig.cmake)

include(CPack)
