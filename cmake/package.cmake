# Packages of the install tree (cpack, or `cmake --build <dir> --target package`):
#   Windows: Kestrane-<version>-win32.zip
#   Linux:   Kestrane-<version>-Linux.tar.gz and kestrane_<version>_<arch>.deb
set(CPACK_PACKAGE_NAME Kestrane)
set(CPACK_PACKAGE_VENDOR Kestrane)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Door-lock card encoder library, its command-line tool and a bench of virtual devices")
set(CPACK_PACKAGE_CONTACT "Kestrane <kestrane@localhost>")
set(CPACK_RESOURCE_FILE_README ${PROJECT_SOURCE_DIR}/README.md)
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES OFF)
if(WIN32)
  set(CPACK_GENERATOR ZIP)
  set(CPACK_SYSTEM_NAME win32)
  # The zip also holds Kestrane64.dll and its import library, beside
  # Kestrane.dll, when the win64 build exists: cpack decides when it packs,
  # since that build is made after this one.
  set(KESTRANE_WIN64_BUILD ${PROJECT_SOURCE_DIR}/build/win64 CACHE PATH "the win64 build whose files join the zip")
  configure_file(${PROJECT_SOURCE_DIR}/packaging/cpack_win64.cmake.in ${CMAKE_BINARY_DIR}/packaging/cpack_win64.cmake @ONLY)
  set(CPACK_PROJECT_CONFIG_FILE ${CMAKE_BINARY_DIR}/packaging/cpack_win64.cmake)
else()
  set(CPACK_GENERATOR "TGZ;DEB")
  set(CPACK_SYSTEM_NAME Linux)
  set(CPACK_DEBIAN_PACKAGE_NAME kestrane)
  set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
  set(CPACK_DEBIAN_PACKAGE_SECTION libs)
  # Dependencies from the binaries themselves; our own libraries are found
  # in the build tree.
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
  set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)
endif()
include(CPack)
