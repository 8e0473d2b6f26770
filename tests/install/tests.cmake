# The install tree, programs built against it and the packages, checked as
# an integrator would use them (tests/install/check_install.sh).
if(KESTRANE_SANITIZE)
  return()  # the packages are made from the ordinary builds
endif()
if(WIN32)
  string(REGEX REPLACE "gcc(-posix)?$" "" ks_cross ${CMAKE_C_COMPILER})
  add_test(NAME install.tree COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/check_install.sh win32
           ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR} ${ks_cross})
else()
  add_test(NAME install.tree COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/check_install.sh native
           ${CMAKE_BINARY_DIR} ${PROJECT_SOURCE_DIR})
endif()
# cpack and the consumers' builds: minutes on a loaded machine.
set_tests_properties(install.tree PROPERTIES TIMEOUT 600)
