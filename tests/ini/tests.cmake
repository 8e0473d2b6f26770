# The configuration reader against Windows: the same program natively (our
# reader) and under Wine (GetPrivateProfileStringA), both held to the answers
# Windows gave for tests/vectors/ini (see profile_agreement_test.cpp).
add_executable(ini_profile_agreement_test ${CMAKE_CURRENT_LIST_DIR}/profile_agreement_test.cpp)
target_link_libraries(ini_profile_agreement_test PRIVATE kestrane_core ${KS_GTEST} ${KS_GTEST_MAIN})
target_include_directories(ini_profile_agreement_test PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_compile_definitions(ini_profile_agreement_test PRIVATE
  KS_INI_CORPUS="${PROJECT_SOURCE_DIR}/tests/vectors/ini")
add_test(NAME ini.profile_agreement COMMAND ini_profile_agreement_test)
set_tests_properties(ini.profile_agreement PROPERTIES TIMEOUT 300)
