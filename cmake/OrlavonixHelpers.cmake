# orlavonix_add_library(name SOURCES ... [DEPS ...])
# One static library per subsystem folder, named orlavonix_<name>.
function(orlavonix_add_library name)
  cmake_parse_arguments(A "" "" "SOURCES;DEPS;SYSTEM_DEPS" ${ARGN})
  add_library(orlavonix_${name} STATIC ${A_SOURCES})
  target_include_directories(orlavonix_${name} PUBLIC ${CMAKE_SOURCE_DIR}/src)
  target_link_libraries(orlavonix_${name} PUBLIC ${A_DEPS} ${A_SYSTEM_DEPS})
  orlavonix_warnings(orlavonix_${name})
endfunction()

# orlavonix_add_test(name SOURCES ... DEPS ... LABELS ... [TIMEOUT s] [SERIAL])
# One GoogleTest executable; every test in it runs as a CTest test with the labels.
# SERIAL: the tests keep real time (sound at its pace), so none runs beside them.
function(orlavonix_add_test name)
  cmake_parse_arguments(A "SERIAL" "TIMEOUT" "SOURCES;DEPS;LABELS;ENV" ${ARGN})
  if(NOT A_TIMEOUT)
    set(A_TIMEOUT 300)
  endif()
  add_executable(${name} ${A_SOURCES})
  target_link_libraries(${name} PRIVATE ${A_DEPS} GTest::gtest GTest::gmock GTest::gtest_main)
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src ${CMAKE_SOURCE_DIR}/tests)
  target_compile_definitions(${name} PRIVATE
    ORLAVONIX_SOURCE_DIR="${CMAKE_SOURCE_DIR}" ORLAVONIX_BINARY_DIR="${CMAKE_BINARY_DIR}")
  orlavonix_warnings(${name})
  gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60 TEST_LIST ${name}_TESTS
    PROPERTIES TIMEOUT ${A_TIMEOUT})
  # Test discovery flattens list-valued properties ("unit;tsan" would become two
  # arguments), so labels and environment are set by a script run after it.
  set(_props "${CMAKE_CURRENT_BINARY_DIR}/${name}_properties.cmake")
  file(WRITE "${_props}"
    "if(${name}_TESTS)\n"
    "  set_tests_properties(\${${name}_TESTS} PROPERTIES\n"
    "    LABELS [==[${A_LABELS}]==] ENVIRONMENT [==[${A_ENV}]==] RUN_SERIAL ${A_SERIAL})\n"
    "endif()\n")
  set_property(DIRECTORY APPEND PROPERTY TEST_INCLUDE_FILES "${_props}")
endfunction()

# orlavonix_add_fuzzer(name SOURCES ... DEPS ...)
# With ORLAVONIX_FUZZ (clang): a libFuzzer binary run briefly over its corpus.
# Otherwise: the same entry point linked with a replay driver that runs every
# corpus file once, so the corpus is exercised in every build.
function(orlavonix_add_fuzzer name)
  cmake_parse_arguments(A "" "SECONDS" "SOURCES;DEPS" ${ARGN})
  if(NOT A_SECONDS)
    set(A_SECONDS 20)
  endif()
  set(corpus ${CMAKE_SOURCE_DIR}/tests/fuzz/corpus/${name})
  if(ORLAVONIX_FUZZ)
    add_executable(${name} ${A_SOURCES})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    set(work ${CMAKE_BINARY_DIR}/fuzz-work/${name})
    file(MAKE_DIRECTORY ${work})
    add_test(NAME fuzz.${name}
      COMMAND ${name} -max_total_time=${A_SECONDS} -timeout=10 -rss_limit_mb=2048
              -print_final_stats=1 ${work} ${corpus})
    set_tests_properties(fuzz.${name} PROPERTIES LABELS fuzz TIMEOUT 600)
  else()
    add_executable(${name} ${A_SOURCES} ${CMAKE_SOURCE_DIR}/tests/fuzz/ReplayMain.cpp)
    add_test(NAME replay.${name} COMMAND ${name} ${corpus})
    set_tests_properties(replay.${name} PROPERTIES LABELS unit TIMEOUT 300)
  endif()
  target_link_libraries(${name} PRIVATE ${A_DEPS})
  target_include_directories(${name} PRIVATE ${CMAKE_SOURCE_DIR}/src)
  orlavonix_warnings(${name})
endfunction()
