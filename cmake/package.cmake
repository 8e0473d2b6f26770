# Packages of the install tree (cpack, or `cmake --build <dir> --target package`):
#   Windows: Kestrane-<version>-win32.zip
#   Linux:   Kestrane-<version>-Linux.tar.gz (every component, stripped)
#   Linux, configured for /usr (preset `package`): one Debian package per
#            component, stripped, and a -dbgsym package of each one's
#            debugging symbols:
#              libkestrane1_<version>_amd64.deb     libkestrane1-dbgsym_...ddeb
#              libkestrane-dev_<version>_amd64.deb
#              kestrane_<version>_amd64.deb         kestrane-dbgsym_...ddeb
#              kestrane-server_<version>_amd64.deb  (when the server is built)
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
  include(CPack)
  return()
endif()

set(CPACK_SYSTEM_NAME Linux)
if(NOT CMAKE_INSTALL_PREFIX MATCHES "^/usr/?$")
  # A tree for anywhere (/opt, a home folder): libraries in lib/. The Debian
  # packages need the multiarch library folder, which GNUInstallDirs gives
  # only to a build configured for /usr: they come from the `package` preset.
  set(CPACK_GENERATOR TGZ)
  set(CPACK_STRIP_FILES ON)
  include(CPack)
  return()
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_VERSION ${PROJECT_VERSION})
# Stripped binaries in the packages; what the build's -g put in them goes
# into <package>-dbgsym, found by build id under /usr/lib/debug.
set(CPACK_DEBIAN_DEBUGINFO_PACKAGE ON)
# Dependencies from the binaries themselves (dpkg-shlibdeps); our own
# libraries are found in the build tree and named below with their versions.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR}/bin)
set(KS_EXACT "(= ${PROJECT_VERSION})")

# libkestrane1: what host programs load at run time. The shlibs file tells
# dpkg-shlibdeps of other packages which package provides libkestrane.so.1.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkestrane1)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION "Door-lock card encoder library
 libkestrane.so.1 issues, reads and clears door-lock key cards (SLE4442,
 TEMIC AT88RF256, Mifare Classic), collects the locks' open-door records and
 reads card serials. Its vendor functions come from a device library: the
 bench (package kestrane), the vendor's, or libkestrane_pcsc.so.1 here,
 which drives Mifare and SLE4442 cards through any PC/SC reader.")

# libkestrane-dev: building against the library. The bench's pkg-config
# module and CMake target (kestrane-bench, Kestrane::bench) point into the
# kestrane package, which a developer trying things out without hardware has.
set(CPACK_DEBIAN_DEV_PACKAGE_NAME libkestrane-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "libkestrane1 ${KS_EXACT}")
set(CPACK_DEBIAN_DEV_PACKAGE_RECOMMENDS "kestrane ${KS_EXACT}, pkg-config")
set(CPACK_COMPONENT_DEV_DESCRIPTION "Door-lock card encoder library: development files
 The C header, the linker links, pkg-config modules (kestrane, kestrane-bench,
 kestrane-pcsc), the CMake package (find_package(Kestrane)) and the .NET and
 Python bindings' sources.")

# kestrane: the tool and the bench of virtual devices it links.
set(CPACK_DEBIAN_TOOL_PACKAGE_NAME kestrane)
set(CPACK_DEBIAN_TOOL_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_TOOL_PACKAGE_DEPENDS "libkestrane1 ${KS_EXACT}")
set(CPACK_DEBIAN_TOOL_PACKAGE_SUGGESTS "pcscd")
set(CPACK_COMPONENT_TOOL_DESCRIPTION "Door-lock card encoder: command-line tool and virtual devices
 kestrane issues, reads and clears key cards, collects open-door records and
 finds encoder ports, on the vendor's encoders, on PC/SC readers, or on a
 bench of virtual encoders and cards that needs no hardware.")

# kestrane-server: its install rules live with the server (server/) and join
# this component; where the server is not built there is no such package.
# Its maintainer scripts create and remove the system user and enable
# nothing: a site starts the unit once its configuration is written.
set(CPACK_DEBIAN_SERVER_PACKAGE_NAME kestrane-server)
set(CPACK_DEBIAN_SERVER_PACKAGE_SECTION net)
set(CPACK_DEBIAN_SERVER_PACKAGE_DEPENDS "kestrane ${KS_EXACT}, libkestrane1 ${KS_EXACT}, adduser")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA
    ${PROJECT_SOURCE_DIR}/packaging/deb/server/postinst
    ${PROJECT_SOURCE_DIR}/packaging/deb/server/prerm
    ${PROJECT_SOURCE_DIR}/packaging/deb/server/postrm)
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_COMPONENT_SERVER_DESCRIPTION "Door-lock card encoder: a site's encoders on the network
 kestrane-server owns a site's encoders, takes card requests over HTTPS from
 property-management systems, front desks and kiosks, runs them one at a
 time per encoder and records every card in a journal.")
include(CPack)
