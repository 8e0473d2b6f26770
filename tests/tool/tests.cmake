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

# `kestrane worker` against the tool run one process per command line, over
# every card kind, the collector, serials, des and failures
# (compare_tools.py). Natively: processes against the worker. In the win32
# suite: the native tool's processes against the Windows tool's worker, which
# also holds the two builds to the same answers (the registry is a file of
# the bench folder only natively). The win64 suite compares the 32- and
# 64-bit workers (tests/bridge/tests.cmake).
find_program(KS_PYTHON3 python3 REQUIRED)
set(KS_COMPARE_TOOLS ${KS_PYTHON3} ${CMAKE_CURRENT_LIST_DIR}/compare_tools.py)
if(NOT WIN32)
  add_test(NAME tool.worker_compare
    COMMAND ${KS_COMPARE_TOOLS} ${CMAKE_CURRENT_BINARY_DIR}/worker_compare
            process $<TARGET_FILE:kestrane_tool> -- worker $<TARGET_FILE:kestrane_tool>)
elseif(NOT KESTRANE_WIN64)
  set(KESTRANE_NATIVE_BIN ${PROJECT_SOURCE_DIR}/build/native/bin CACHE PATH
      "bin folder of the native build, whose tool the Windows tool's worker is compared with")
  find_program(KS_WINE wine REQUIRED)
  add_test(NAME tool.worker_compare
    COMMAND ${KS_COMPARE_TOOLS} ${CMAKE_CURRENT_BINARY_DIR}/worker_compare --ignore registry.ini
            process ${KESTRANE_NATIVE_BIN}/kestrane -- worker ${KS_WINE} $<TARGET_FILE:kestrane_tool>)
endif()
