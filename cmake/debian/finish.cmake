# Run by CPack (CPACK_PRE_BUILD_SCRIPTS) on the staging tree of the Debian
# package, after the installation and before the package is made: the
# manual pages compressed, the machine-readable copyright file and the
# compressed changelog put where Debian keeps them, and lintian's overrides
# for the sample target program. The CPACK_CONSOLETOOLS_*
# values come from cmake/package.cmake.
set(src "${CPACK_CONSOLETOOLS_SOURCE_DIR}")
set(root "${CPACK_TEMPORARY_INSTALL_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}")
set(doc "${root}/${CPACK_CONSOLETOOLS_DOCDIR}")
set(man "${root}/${CPACK_CONSOLETOOLS_MANDIR}/man1")
if(NOT IS_DIRECTORY "${doc}" OR NOT IS_DIRECTORY "${man}")
  message(FATAL_ERROR "finish.cmake: no ${doc} or ${man} in the staging tree")
endif()

# The changelog's newest entry must be this version, or the package would
# name one release and describe another.
file(STRINGS "${src}/cmake/debian/changelog" top LIMIT_COUNT 1)
if(NOT top MATCHES "^${CPACK_PACKAGE_NAME} \\(${CPACK_PACKAGE_VERSION}\\) ")
  message(FATAL_ERROR "finish.cmake: cmake/debian/changelog begins with '${top}', "
                      "not with an entry for ${CPACK_PACKAGE_VERSION}")
endif()

# gzip -9n: no name or time stamp inside, so the same input gives the same bytes.
function(gzip_file path)
  execute_process(COMMAND gzip -9nf "${path}" RESULT_VARIABLE rc)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "finish.cmake: gzip ${path} failed")
  endif()
  file(CHMOD "${path}.gz" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endfunction()

file(GLOB pages "${man}/*.1")
foreach(page ${pages})
  gzip_file("${page}")
endforeach()

file(COPY_FILE "${src}/cmake/debian/changelog" "${doc}/changelog")
gzip_file("${doc}/changelog")

# A text as the body of a field: every line indented by one space, empty
# lines as " .".
function(dep5_body text out)
  string(REGEX REPLACE "\n+$" "" text "${text}")
  string(REPLACE "\n" "\n " text " ${text}")
  string(REGEX REPLACE "\n +\n" "\n .\n" text "${text}")
  string(REGEX REPLACE "\n +\n" "\n .\n" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()

# The project's licence without its title and copyright line (those are the
# Files paragraph's), the table's provenance from whatcode/NOTICE, and the
# whole CC BY 4.0 text.
file(READ "${src}/LICENSE" licence)
string(FIND "${licence}" "Permission is hereby granted" at)
string(SUBSTRING "${licence}" ${at} -1 licence)
dep5_body("${licence}" licence)
file(READ "${src}/whatcode/NOTICE" notice)
dep5_body("${notice}" notice)
file(READ "${src}/cmake/debian/cc-by-4.0.txt" ccby)
dep5_body("${ccby}" ccby)

file(WRITE "${doc}/copyright"
"Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/
Upstream-Name: ${CPACK_PACKAGE_NAME}
Upstream-Contact: ${CPACK_PACKAGE_CONTACT}

Files: *
Copyright: 2026 The hostlink, spaceuse and whatcode developers
License: Expat

Files: whatcode/messages.tsv whatcode/hresult-win32-names.tsv
Copyright: Microsoft Corporation
License: CC-BY-4.0
Comment: The message texts that whatcode answers from on hosts other than
 Windows, and the symbolic names; both are compiled into /usr/bin/whatcode.
 whatcode/NOTICE says:
 .
${notice}

License: Expat
${licence}

License: CC-BY-4.0
${ccby}
")
file(CHMOD "${doc}/copyright" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)

set(overrides "${root}/share/lintian/overrides")
file(MAKE_DIRECTORY "${overrides}")
file(COPY_FILE "${src}/cmake/debian/lintian-overrides" "${overrides}/${CPACK_PACKAGE_NAME}")
file(CHMOD "${overrides}/${CPACK_PACKAGE_NAME}" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
