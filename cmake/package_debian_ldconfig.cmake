# SPDX-License-Identifier: MIT
# package_debian_ldconfig.cmake - run by CPack (CPACK_POST_BUILD_SCRIPTS) on the Debian packages it
# made. For a package with a shared library, CPack writes a postinst and a postrm that run ldconfig;
# Debian's policy asks for the ldconfig trigger instead (lintian: lacks-ldconfig-trigger,
# maintscript-calls-ldconfig). Such a package is taken apart with dpkg-deb, its two scripts replaced
# by a triggers file, and put together again, root-owned as before; no other file changes.
find_program(dpkg_deb dpkg-deb REQUIRED)
set(ldconfig_only "^#!/bin/sh\n\nset -e\n\nif \\[ \"\\$1\" = \"[a-z]+\" \\]; then\n\tldconfig\nfi\n$")

foreach(package_file IN LISTS CPACK_PACKAGE_FILES)
  if(NOT package_file MATCHES "\\.deb$")
    continue()
  endif()
  set(tree ${package_file}.tree)
  file(REMOVE_RECURSE ${tree})
  execute_process(COMMAND ${dpkg_deb} --raw-extract ${package_file} ${tree}
    COMMAND_ERROR_IS_FATAL ANY)
  set(control ${tree}/DEBIAN)
  if(EXISTS ${control}/postinst)
    foreach(script postinst postrm)
      file(READ ${control}/${script} content)
      if(NOT content MATCHES "${ldconfig_only}")
        message(FATAL_ERROR "${package_file}: the ${script} does more than run ldconfig:\n${content}")
      endif()
    endforeach()
    file(REMOVE ${control}/postinst ${control}/postrm)
    file(WRITE ${control}/triggers "activate-noawait ldconfig\n")
    file(CHMOD ${control}/triggers PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
    execute_process(COMMAND ${dpkg_deb} --root-owner-group --build ${tree} ${package_file}
      OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
  endif()
  file(REMOVE_RECURSE ${tree})
endforeach()
