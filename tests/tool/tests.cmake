# End-to-end tests of the kestrane command: a GoogleTest program that runs the
# tool binary (kestrane, or kestrane.exe under Wine) against bench folders it
# creates, and checks its output, JSON included, and its exit codes.
add_executable(tool_cli_test ${CMAKE_CURRENT_LIST_DIR}/cli_test.cpp)
target_link_libraries(tool_cli_test PRIVATE ks_test_support ${KS_GTEST_MAIN})
add_dependencies(tool_cli_test kestrane_tool)
if(WIN32)
  # Run through cmd.exe from the bin folder, where kestrane.exe sits beside
  # Kestrane.dll and the bench's DLLs.
  add_dependencies(tool_cli_test bench_facades kestrane)
  target_compile_definitions(tool_cli_test PRIVATE KS_TOOL_COMMAND="kestrane.exe")
else()
  target_compile_definitions(tool_cli_test PRIVATE KS_TOOL_COMMAND="$<TARGET_FILE:kestrane_tool>")
endif()
add_test(NAME tool.cli_test COMMAND tool_cli_test WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
set_tests_properties(tool.cli_test PROPERTIES TIMEOUT 900)
