# Packages, made by CPack from what cmake/install.cmake installs (run
# through scripts/package): a Debian package from a native build, a zip
# from the Windows build. The version is the project's.
set(CPACK_PACKAGE_NAME ${PROJECT_NAME})
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "The hostlink, spaceuse and whatcode developers")
# A comma in the name would make the field a list of two addresses.
set(CPACK_PACKAGE_CONTACT "The consoletools developers <consoletools@example.org>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "game-console target link, disk usage report and error-code lookup")
set(CPACK_PACKAGE_DESCRIPTION "Three independent console programs:
 - hostlink, the workstation side of a link to a game-console development
   target: it talks DECI2 over TCP to the network manager, claims the
   target, loads an ELF program into it, starts it and serves its console
   text and file requests;
 - spaceuse, which reports how much disk space directory trees occupy,
   counted in whole clusters of their file system;
 - whatcode, which prints the system message text for Windows error
   numbers.
It also holds dsnetsim, a simulated network manager and target to try
hostlink out with, and a sample target program for the demo.")
set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
set(CPACK_STRIP_FILES ON)
set(CPACK_INSTALL_DEFAULT_DIRECTORY_PERMISSIONS
    OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)

if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_PACKAGE_FILE_NAME ${PROJECT_NAME}-${PROJECT_VERSION}-win64)
else()
  set(CPACK_GENERATOR DEB)
  set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION devel)
  set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
  # Depends from the libraries the programs link (dpkg-shlibdeps).
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
  # Compressed manual pages, the copyright file and the changelog, as
  # Debian keeps them (cmake/debian/finish.cmake).
  set(CPACK_CONSOLETOOLS_SOURCE_DIR ${PROJECT_SOURCE_DIR})
  set(CPACK_CONSOLETOOLS_DOCDIR ${CMAKE_INSTALL_DOCDIR})
  set(CPACK_CONSOLETOOLS_MANDIR ${CMAKE_INSTALL_MANDIR})
  set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/debian/finish.cmake)
endif()

include(CPack)
