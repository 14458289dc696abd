# Login at scale against the test server, and registry lookups.
orlavonix_add_bench(bench_client SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ClientBench.cpp
  DEPS orlavonix_client orlavonix_test_support)
target_include_directories(bench_client PRIVATE ${CMAKE_SOURCE_DIR}/tests)
