# Fuzz targets: tests/fuzz/<name>_fuzz.cpp defines LLVMFuzzerTestOneInput.
# Natively each one is also built with a replay main and run over its corpus
# (tests/fuzz/corpus/<name>/) as an ordinary test; with KESTRANE_FUZZ (clang)
# each one is also a libFuzzer binary <name>_fuzzer. To fuzz:
#   cmake -S . -B build/fuzz -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
#         -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKESTRANE_SANITIZE=ON -DKESTRANE_FUZZ=ON
#   cmake --build build/fuzz --target card_fuzzer
#   build/fuzz/bin/card_fuzzer -max_total_time=600 WORK_DIR tests/fuzz/corpus/card
# and add what it finds worth keeping (-merge=1) to the corpus.
if(NOT WIN32)
  if(KESTRANE_FUZZ)
    # libFuzzer is guided by the coverage of the library's own code, not only
    # of the targets: instrument the library objects too.
    target_compile_options(kestrane_objects PRIVATE -fsanitize=fuzzer-no-link)
  endif()
  file(GLOB KS_FUZZ_TARGETS CONFIGURE_DEPENDS ${CMAKE_CURRENT_LIST_DIR}/*_fuzz.cpp)
  foreach(src ${KS_FUZZ_TARGETS})
    get_filename_component(name ${src} NAME_WE)
    string(REGEX REPLACE "_fuzz$" "" short ${name})
    add_executable(fuzz_replay_${short} ${src} ${CMAKE_CURRENT_LIST_DIR}/replay_main.cpp)
    target_link_libraries(fuzz_replay_${short} PRIVATE kestrane_core ks_test_support)
    add_test(NAME fuzz.${short}_corpus
             COMMAND fuzz_replay_${short} ${CMAKE_CURRENT_LIST_DIR}/corpus/${short})
    if(KESTRANE_FUZZ)
      add_executable(${short}_fuzzer ${src})
      target_compile_options(${short}_fuzzer PRIVATE -fsanitize=fuzzer)
      target_link_options(${short}_fuzzer PRIVATE -fsanitize=fuzzer)
      target_link_libraries(${short}_fuzzer PRIVATE kestrane_core ks_test_support)
    endif()
  endforeach()
  # The bridge's message target needs the bridge's protocol unit, instrumented too.
  if(TARGET fuzz_replay_bridge)
    target_link_libraries(fuzz_replay_bridge PRIVATE kestrane_bridge_protocol)
    if(KESTRANE_FUZZ)
      target_compile_options(kestrane_bridge_protocol PRIVATE -fsanitize=fuzzer-no-link)
      target_link_libraries(bridge_fuzzer PRIVATE kestrane_bridge_protocol)
    endif()
  endif()
  # Writes the seed corpus (not a test): fuzz_make_seeds <corpus root>.
  add_executable(fuzz_make_seeds EXCLUDE_FROM_ALL ${CMAKE_CURRENT_LIST_DIR}/make_seeds.cpp)
  target_link_libraries(fuzz_make_seeds PRIVATE kestrane_core ks_test_support)
endif()
