# The bridge for 64-bit programs (bridge/).
#   every preset: the host's message decoder replays its fuzz corpus
#                 (tests/fuzz/bridge_fuzz.cpp, corpus/bridge);
#   win32:        contract.cpp and roundtrip.cpp against Kestrane.dll, for the
#                 win64 suite to compare with;
#   win64:        the same transcript over Kestrane64.dll (contract.sh), the
#                 64-bit tool against the 32-bit one (tool_compare.sh), faults,
#                 the round trip in a short mode (the full run:
#                 `cmake --build --preset win64 --target bridge_roundtrip_report`).
# The win64 tests need the win32 build's bin folder (KESTRANE_WIN32_BIN).
if(WIN32 AND NOT KESTRANE_WIN64)
  add_executable(bridge_contract ${CMAKE_CURRENT_LIST_DIR}/contract.cpp)
  target_link_libraries(bridge_contract PRIVATE kestrane)
  add_dependencies(bridge_contract bench_facades kestrane_host32)
  add_executable(bridge_roundtrip ${CMAKE_CURRENT_LIST_DIR}/roundtrip.cpp)
  target_link_libraries(bridge_roundtrip PRIVATE kestrane)
elseif(KESTRANE_WIN64)
  add_executable(bridge_contract ${CMAKE_CURRENT_LIST_DIR}/contract.cpp)
  target_link_libraries(bridge_contract PRIVATE kestrane64)
  add_dependencies(bridge_contract bridge_host_files)
  add_test(NAME bridge.contract
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/contract.sh ${KESTRANE_WIN32_BIN}/kestrane.exe
            ${KESTRANE_WIN32_BIN}/bridge_contract.exe $<TARGET_FILE:bridge_contract> ${CMAKE_CURRENT_BINARY_DIR}/contract)

  add_executable(bridge_roundtrip ${CMAKE_CURRENT_LIST_DIR}/roundtrip.cpp)
  target_link_libraries(bridge_roundtrip PRIVATE kestrane64)
  add_dependencies(bridge_roundtrip bridge_host_files)
  set(roundtrip bash ${CMAKE_CURRENT_LIST_DIR}/roundtrip.sh ${KESTRANE_WIN32_BIN}/kestrane.exe
      ${KESTRANE_WIN32_BIN}/bridge_roundtrip.exe $<TARGET_FILE:bridge_roundtrip> ${CMAKE_CURRENT_BINARY_DIR}/roundtrip)
  add_test(NAME bridge.roundtrip_short COMMAND ${roundtrip} 5)
  add_custom_target(bridge_roundtrip_report COMMAND ${roundtrip} 500 DEPENDS bridge_roundtrip USES_TERMINAL)

  # Kestrane64.dll: the 25 plain exports, no mingw runtime DLL (as Kestrane.dll).
  find_program(KS_OBJDUMP64 x86_64-w64-mingw32-objdump REQUIRED)
  add_test(NAME bridge.dll_imports
    COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/../win32/check_imports.sh ${KS_OBJDUMP64} $<TARGET_FILE:kestrane64>)

  # One worker per tool and medium: the comparison costs two Wine starts per
  # medium, not two per command line.
  find_program(KS_WINE wine REQUIRED)
  find_program(KS_PYTHON3 python3 REQUIRED)
  add_test(NAME bridge.tool_compare
    COMMAND ${KS_PYTHON3} ${PROJECT_SOURCE_DIR}/tests/tool/compare_tools.py ${CMAKE_CURRENT_BINARY_DIR}/tool_compare
            worker ${KS_WINE} ${KESTRANE_WIN32_BIN}/kestrane.exe -- worker ${KS_WINE} $<TARGET_FILE:kestrane_tool>)

  add_executable(bridge_fault_test ${CMAKE_CURRENT_LIST_DIR}/fault_test.cpp
                 ${CMAKE_CURRENT_LIST_DIR}/../support/test_support.cpp)
  target_include_directories(bridge_fault_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../support ${PROJECT_SOURCE_DIR}/bridge)
  # The test support's definitions, as ks_test_support has them (that library
  # links the bench's devices, which this build does not make for programs).
  target_compile_definitions(bridge_fault_test PRIVATE
    KS_TEST_VECTORS="${PROJECT_SOURCE_DIR}/tests/vectors" KS_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
  target_link_libraries(bridge_fault_test PRIVATE kestrane64 ${KS_GTEST})
  add_dependencies(bridge_fault_test bridge_host_files kestrane_tool)
  add_test(NAME bridge.faults COMMAND bridge_fault_test WORKING_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  set_tests_properties(bridge.faults PROPERTIES TIMEOUT 300)
endif()
