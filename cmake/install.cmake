# What `cmake --install <build> [--prefix P]` puts where. Only the programs
# and their documents are installed: no test, benchmark, fuzz target or
# library of the tree (GoogleTest's own rules are off, see the top level).
#
# POSIX (GNUInstallDirs, so --prefix and DESTDIR work as usual):
#   bin/                     hostlink spaceuse whatcode dsnetsim
#   share/man/man1/          hostlink.1 spaceuse.1 whatcode.1 dsnetsim.1
#   share/bash-completion/completions/
#                            hostlink spaceuse whatcode dsnetsim (bash loads
#                            each when its command is first completed)
#   share/doc/consoletools/  README.md LICENSE NOTICE (the message table's
#                            attribution), examples/demo.elf and
#                            examples/demo-data/hello.txt for the demo
# Windows: one folder, laid out as the zip unpacks: hostlink.exe,
# spaceuse.exe, whatcode.exe, README.txt, LICENSE.txt and NOTICE.txt, the
# texts with CR LF line ends.
include(GNUInstallDirs)

set(CONSOLETOOLS_PROGRAMS hostlink spaceuse whatcode)
if(TARGET dsnetsim)
  list(APPEND CONSOLETOOLS_PROGRAMS dsnetsim)
endif()

if(WIN32)
  # The texts as a Windows editor expects them, made again when the
  # originals change.
  set(crlf_dir ${CMAKE_BINARY_DIR}/crlf)
  set(crlf_files)
  foreach(pair "README.md:README.txt" "LICENSE:LICENSE.txt" "whatcode/NOTICE:NOTICE.txt")
    string(REPLACE ":" ";" pair "${pair}")
    list(GET pair 0 from)
    list(GET pair 1 to)
    add_custom_command(
      OUTPUT ${crlf_dir}/${to}
      COMMAND ${CMAKE_COMMAND} -DIN=${PROJECT_SOURCE_DIR}/${from} -DOUT=${crlf_dir}/${to}
              -P ${PROJECT_SOURCE_DIR}/cmake/crlf.cmake
      DEPENDS ${PROJECT_SOURCE_DIR}/${from} ${PROJECT_SOURCE_DIR}/cmake/crlf.cmake
      VERBATIM)
    list(APPEND crlf_files ${crlf_dir}/${to})
  endforeach()
  add_custom_target(crlf_texts ALL DEPENDS ${crlf_files})

  install(TARGETS ${CONSOLETOOLS_PROGRAMS} RUNTIME DESTINATION .)
  install(FILES ${crlf_files} DESTINATION .)
  return()
endif()

install(TARGETS ${CONSOLETOOLS_PROGRAMS} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

set(manpages)
foreach(p ${CONSOLETOOLS_PROGRAMS})
  list(APPEND manpages ${PROJECT_SOURCE_DIR}/docs/${p}.1)
endforeach()
install(FILES ${manpages} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1)

set(completions)
foreach(p ${CONSOLETOOLS_PROGRAMS})
  list(APPEND completions ${PROJECT_SOURCE_DIR}/completions/${p})
endforeach()
install(FILES ${completions} DESTINATION ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

install(FILES ${PROJECT_SOURCE_DIR}/README.md ${PROJECT_SOURCE_DIR}/LICENSE ${PROJECT_SOURCE_DIR}/whatcode/NOTICE
        DESTINATION ${CMAKE_INSTALL_DOCDIR})
install(FILES ${PROJECT_SOURCE_DIR}/examples/demo.elf DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)
install(FILES ${PROJECT_SOURCE_DIR}/examples/demo-data/hello.txt
        DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples/demo-data)
