# SPDX-License-Identifier: MIT
# package_debian.cmake - run by CPack (CPACK_PRE_BUILD_SCRIPTS) on the files staged for the Debian
# packages, before they are made: what Debian asks of a package beyond what `cmake --install`
# installs, for each package in its own staging directory. The manual pages are compressed, and the
# link to one follows it; the copyright file (machine-readable, with the text of LICENSE), the
# Debian changelog and the package's lintian overrides are put in place. gzip -9n stores no name or
# time stamp, so that the same file compresses to the same bytes.
set(source ${CPACK_KESTRUNE_SOURCE_DIR})
# The source package, whose name and version every package's changelog carries: the project's.
set(upstream ${CPACK_PACKAGE_NAME})
set(version ${CPACK_PACKAGE_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE})
find_program(gzip gzip REQUIRED)
set(file_mode OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
set(directory_mode OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ
  WORLD_EXECUTE)

function(compress file)
  execute_process(COMMAND ${gzip} -9nf ${file} RESULT_VARIABLE status)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "gzip -9n ${file} failed: ${status}")
  endif()
endfunction()

# Writes a file of a package, readable by all and writable by root alone whatever the umask.
function(put file content)
  get_filename_component(directory ${file} DIRECTORY)
  file(MAKE_DIRECTORY ${directory})
  file(WRITE ${file} "${content}")
  file(CHMOD ${file} PERMISSIONS ${file_mode})
endfunction()

# The copyright file: the copyright line of LICENSE and the license text after it, in Debian's
# machine-readable format (continuation lines indented by one space, an empty line as " .").
file(READ ${source}/LICENSE license)
if(NOT license MATCHES "\nCopyright \\(c\\) ([^\n]+)\n+(.+)$")
  message(FATAL_ERROR "${source}/LICENSE has no copyright line followed by the license text")
endif()
set(holders ${CMAKE_MATCH_1})
string(STRIP "${CMAKE_MATCH_2}" text)
string(REPLACE "\n\n" "\n.\n" text "${text}")
string(REPLACE "\n" "\n " text "${text}")
set(copyright "\
Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${upstream}

Files: *
Copyright: ${holders}
License: MIT
 ${text}
")

# The Debian changelog, whose latest entry must be the one of this version.
file(STRINGS ${source}/cmake/debian-changelog latest LIMIT_COUNT 1)
if(NOT latest MATCHES "^${upstream} \\(${version}\\) ")
  message(FATAL_ERROR "cmake/debian-changelog has no entry for ${version} on top: ${latest}")
endif()
file(READ ${source}/cmake/debian-changelog changelog)

# The lintian overrides of one package: cmake/lintian-overrides holds those of all of them, in
# paragraphs of comments (the reason) and "<package>: <tag>" lines; a package gets the lines that
# name it, each after the comments of its paragraph.
function(overrides_of package result)
  set(overrides "")
  if(EXISTS ${source}/cmake/lintian-overrides)
    file(STRINGS ${source}/cmake/lintian-overrides lines)
    set(reason "")
    foreach(line IN LISTS lines)
      if(line MATCHES "^#")
        string(APPEND reason "${line}\n")
      elseif(line MATCHES "^${package}: ")
        string(APPEND overrides "${reason}${line}\n")
        set(reason "")
      elseif(line STREQUAL "")
        set(reason "")
      endif()
    endforeach()
  endif()
  set(${result} "${overrides}" PARENT_SCOPE)
endfunction()

foreach(package IN LISTS CPACK_KESTRUNE_PACKAGES)
  # CPack stages each package's files in a directory named after its install component or group.
  set(prefix ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/${package}${CPACK_PACKAGING_INSTALL_PREFIX})
  if(NOT IS_DIRECTORY ${prefix})
    message(FATAL_ERROR "nothing is staged for the package ${package} in ${prefix}")
  endif()

  # The manual pages and the links to them.
  file(GLOB pages LIST_DIRECTORIES false ${prefix}/share/man/man*/*.[1-9])
  foreach(page IN LISTS pages)
    if(IS_SYMLINK ${page})
      file(READ_SYMLINK ${page} target)
      file(REMOVE ${page})
      file(CREATE_LINK ${target}.gz ${page}.gz SYMBOLIC)
    else()
      compress(${page})
    endif()
  endforeach()

  set(doc ${prefix}/share/doc/${package})
  put(${doc}/copyright "${copyright}")
  put(${doc}/changelog.Debian "${changelog}")
  compress(${doc}/changelog.Debian)

  overrides_of(${package} overrides)
  if(NOT overrides STREQUAL "")
    put(${prefix}/share/lintian/overrides/${package} "${overrides}")
  endif()
endforeach()

# Every directory 0755, as Debian wants them: the install step creates them with the umask's mode.
file(GLOB_RECURSE entries LIST_DIRECTORIES true ${CPACK_TEMPORARY_INSTALL_DIRECTORY}/*)
foreach(entry IN LISTS entries)
  if(IS_DIRECTORY ${entry} AND NOT IS_SYMLINK ${entry})
    file(CHMOD ${entry} DIRECTORY_PERMISSIONS ${directory_mode})
  endif()
endforeach()
