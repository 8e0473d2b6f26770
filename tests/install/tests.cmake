# The install tree, programs built against it and the packages, checked as
# an integrator would use them (tests/install/check_install.sh).
if(KESTRANE_SANITIZE)
  return()  # the packages are made from the ordinary builds
endif()
if(KESTRANE_WIN64)
  # Kestrane64.dll's files, and the zip made with the win32 build's cpack.
  string(REGEX REPLACE "gcc(-posix)?$" "" ks_cross ${CMAKE_C_COMPILER})
  add_test(NAME install.win64 COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/check_install.sh win64
           ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${ks_cross} ${KESTRANE_WIN32_BIN}/..)
elseif(WIN32)
  string(REGEX REPLACE "gcc(-posix)?$" "" ks_cross ${CMAKE_C_COMPILER})
  add_test(NAME install.tree COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/check_install.sh win32
           ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${ks_cross})
else()
  add_test(NAME install.tree COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/check_install.sh native
           ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR})
endif()
# cpack and the consumers' builds: minutes on a loaded machine.
foreach(t install.tree install.win64)
  if(TEST ${t})
    set_tests_properties(${t} PROPERTIES TIMEOUT 600)
  endif()
endforeach()
