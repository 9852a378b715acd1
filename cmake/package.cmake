# SPDX-License-Identifier: MIT
# package.cmake - CPack settings for the Debian package of kestrune, kestrune-decode, kestrune-scan
# and their manual pages (`cpack -G DEB` in the build tree).
set(CPACK_PACKAGE_NAME kestrune)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Kestrune developers")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "protect a byte stream against lost or damaged blocks, and restore it")
set(CPACK_PACKAGE_DESCRIPTION
  "kestrune is a Unix filter that protects a byte stream (a tar stream on tape, an\n\
image on unreliable media, a file sent over a lossy path) with a systematic\n\
erasure code over GF(2^8): every chunk survives the loss or corruption of any\n\
n - k of its n blocks. kestrune -d (or kestrune-decode) restores the stream;\n\
kestrune-scan checks a protected stream block by block, reports what a restore\n\
would give back and salvages what can be saved.")
set(KESTRUNE_PACKAGE_MAINTAINER "Kestrune developers <kestrune@example.org>"
  CACHE STRING "The Maintainer field of the Debian package")
set(CPACK_PACKAGE_CONTACT "${KESTRUNE_PACKAGE_MAINTAINER}")
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)

set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
# The first Debian revision of this version: the package's version is 1.0-1, and its changelog
# (cmake/debian-changelog) must begin with the entry for it.
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "${KESTRUNE_PACKAGE_MAINTAINER}")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The shared libraries the programs link (libmd, the C and C++ runtimes) become the Depends field;
# dpkg-shlibdeps (dpkg-dev) finds their packages. Without it, the one library beyond the C++
# runtime is named by hand.
find_program(KESTRUNE_DPKG_SHLIBDEPS dpkg-shlibdeps)
if(KESTRUNE_DPKG_SHLIBDEPS)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
else()
  set(CPACK_DEBIAN_PACKAGE_DEPENDS "libmd0, libstdc++6, libc6")
endif()

# What Debian's policy asks beyond the installed files (lintian checks it, tests/package_test.sh
# runs lintian): stripped programs, and cmake/package_debian.cmake run on the staged files for the
# compressed manual pages, the copyright file, the changelog and the lintian overrides.
set(CPACK_STRIP_FILES ON)
set(CPACK_KESTRUNE_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_PRE_BUILD_SCRIPTS ${CMAKE_CURRENT_LIST_DIR}/package_debian.cmake)

include(CPack)
