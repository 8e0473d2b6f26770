# Performance: Google Benchmark programs and the allocation test, native only.
#   perf_bench      the benchmarks; `cmake --build <dir> --target perf` runs them
#                   in full, ctest runs them in a short mode (perf.bench_short)
#   no_alloc_test   every export, on every medium, makes no heap allocation of
#                   its own (it replaces malloc: not with the sanitizers)
if(NOT WIN32)
  set(KS_PERF_DIR ${CMAKE_CURRENT_LIST_DIR})

  find_package(benchmark QUIET)
  if(benchmark_FOUND)
    add_executable(perf_bench ${KS_PERF_DIR}/perf_bench.cpp ${KS_PERF_DIR}/rig.cpp)
    target_link_libraries(perf_bench PRIVATE kestrane_core ks_test_support benchmark::benchmark)
    add_test(NAME perf.bench_short COMMAND perf_bench --benchmark_min_time=0.005)
    set_tests_properties(perf.bench_short PROPERTIES TIMEOUT 600)
    add_custom_target(perf
      COMMAND perf_bench --benchmark_counters_tabular=true --benchmark_repetitions=3
              --benchmark_report_aggregates_only=true
              --benchmark_out=${CMAKE_BINARY_DIR}/perf.json --benchmark_out_format=json
      DEPENDS perf_bench USES_TERMINAL
      COMMENT "Running the benchmarks in full")
  else()
    message(WARNING "Google Benchmark (libbenchmark-dev) not found: no perf_bench, no perf target")
  endif()

  if(NOT KESTRANE_SANITIZE)
    add_executable(perf_no_alloc_test ${KS_PERF_DIR}/no_alloc_test.cpp ${KS_PERF_DIR}/rig.cpp)
    target_link_libraries(perf_no_alloc_test PRIVATE kestrane_core ks_test_support ${KS_GTEST_MAIN})
    add_test(NAME perf.no_alloc_test COMMAND perf_no_alloc_test)
    set_tests_properties(perf.no_alloc_test PROPERTIES TIMEOUT 600)
  endif()
endif()
