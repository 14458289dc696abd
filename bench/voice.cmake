orlavonix_add_bench(bench_voice SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/VoiceBench.cpp
  DEPS orlavonix_voice)
