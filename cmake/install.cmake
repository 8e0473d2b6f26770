# What `cmake --install` lays out, and so what the packages hold.
#
# Windows:  bin/        Kestrane.dll, kestrane.exe, KestraneBench.dll (the
#                       tool's bench commands need it to start)
#           bin/bench/  the bench's facade DLLs, which carry the vendor
#                       libraries' names: never beside a front-desk program
#           lib/        libKestrane.dll.a, Kestrane.def
# Linux:    lib/        libkestrane.so.1 and its links, pkg-config and CMake
#                       package files
#           lib/kestrane/bench/  the bench library, out of every search path
#           bin/kestrane
# Both:     include/kestrane.h, share/doc/kestrane/
#
# Every rule names the component it belongs to; each component is one Debian
# package (cmake/package.cmake), and the archives (tarball, zip) hold them all:
#   runtime  libkestrane1     what a host program loads: libkestrane.so.1 and
#                             the PC/SC device library libkestrane_pcsc.so.1
#   dev      libkestrane-dev  headers, the .so links, pkg-config and CMake
#                             files, the .NET and Python bindings
#   tool     kestrane         the tool, the bench it links, the documentation
#   server   kestrane-server  the server (server/), its unit and its user;
#                             without the server built the package is not made.
#                             Its rules name COMPONENT server, the unit going to
#                             ${KESTRANE_SYSTEMD_UNITDIR} (top CMakeLists.txt)
# A rule without a component would land in a package of its own
# ("Unspecified"): the package test refuses one.
set(KS_BENCH_LIBDIR ${CMAKE_INSTALL_LIBDIR}/kestrane/bench)

install(FILES ${PROJECT_SOURCE_DIR}/include/kestrane.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
file(GLOB KS_DOCS ${PROJECT_SOURCE_DIR}/docs/*.md)
install(FILES ${PROJECT_SOURCE_DIR}/README.md ${KS_DOCS} DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/kestrane
        COMPONENT tool)

if(WIN32)
  install(TARGETS kestrane RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime
                           ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
  install(FILES ${PROJECT_SOURCE_DIR}/src/api/Kestrane.def DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT dev)
  install(TARGETS kestrane_tool kestrane_bench RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)
  foreach(vendor MWIC_32 RC500_232 clsic32 IBFS32 CP2101)
    if(TARGET bench_${vendor})
      install(TARGETS bench_${vendor} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}/bench COMPONENT tool)
    endif()
  endforeach()
  install(FILES ${PROJECT_SOURCE_DIR}/packaging/bench-README.txt
          DESTINATION ${CMAKE_INSTALL_BINDIR}/bench RENAME README.txt COMPONENT tool)
else()
  install(TARGETS kestrane LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_COMPONENT dev)
  # The bench goes with the tool, which links it: it is a private library
  # (no ABI of its own, out of the loader's search path) and a host program
  # in use has no business with virtual devices.
  install(TARGETS kestrane_bench LIBRARY DESTINATION ${KS_BENCH_LIBDIR} COMPONENT tool)
  # The installed tool finds the library and the bench relative to itself.
  file(RELATIVE_PATH ks_bin_to_lib ${CMAKE_INSTALL_FULL_BINDIR} ${CMAKE_INSTALL_FULL_LIBDIR})
  set_target_properties(kestrane_tool PROPERTIES
    INSTALL_RPATH "$ORIGIN/${ks_bin_to_lib};$ORIGIN/${ks_bin_to_lib}/kestrane/bench")
  install(TARGETS kestrane_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tool)

  # pkg-config: kestrane (the library) and kestrane-bench (the virtual
  # devices that provide its vendor functions). Relative to the .pc file,
  # so the tree works wherever it is unpacked.
  file(RELATIVE_PATH KS_PC_TO_PREFIX ${CMAKE_INSTALL_FULL_LIBDIR}/pkgconfig ${CMAKE_INSTALL_PREFIX})
  string(REGEX REPLACE "/$" "" KS_PC_TO_PREFIX "${KS_PC_TO_PREFIX}")
  foreach(pc kestrane kestrane-bench)
    configure_file(${PROJECT_SOURCE_DIR}/packaging/${pc}.pc.in ${CMAKE_BINARY_DIR}/packaging/${pc}.pc @ONLY)
    install(FILES ${CMAKE_BINARY_DIR}/packaging/${pc}.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)
  endforeach()

  # find_package(Kestrane): Kestrane::kestrane and Kestrane::bench.
  include(CMakePackageConfigHelpers)
  set(KS_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Kestrane)
  configure_package_config_file(${PROJECT_SOURCE_DIR}/packaging/KestraneConfig.cmake.in
    ${CMAKE_BINARY_DIR}/packaging/KestraneConfig.cmake INSTALL_DESTINATION ${KS_CMAKE_DIR}
    PATH_VARS CMAKE_INSTALL_LIBDIR CMAKE_INSTALL_INCLUDEDIR KS_BENCH_LIBDIR)
  write_basic_package_version_file(${CMAKE_BINARY_DIR}/packaging/KestraneConfigVersion.cmake
    COMPATIBILITY SameMajorVersion)
  install(FILES ${CMAKE_BINARY_DIR}/packaging/KestraneConfig.cmake
                ${CMAKE_BINARY_DIR}/packaging/KestraneConfigVersion.cmake DESTINATION ${KS_CMAKE_DIR}
          COMPONENT dev)
endif()
