# kavo_add_test(<name> SOURCES <files...> LIBS <targets...> [ENV <VAR=value...>] [TIMEOUT <s>]
#               [LABELS <labels...>] [SERIAL])
# A GoogleTest executable; each test case becomes a CTest test. Each label goes on every case
# (ctest -L <label>), and the target kavo_tests_<label> builds every test program of the label.
# SERIAL: the cases run alone (they load the machine enough to upset others' real-time bounds).
function(kavo_add_test name)
  cmake_parse_arguments(T "SERIAL" "TIMEOUT" "SOURCES;LIBS;ENV;LABELS" ${ARGN})
  if(KAVO_FUZZ)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} kavo_test_support GTest::gtest_main GTest::gmock)
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  # The environment is compiled into the test (the discovered tests' property lists cannot carry
  # several variables); variables already set by the caller win.
  string(REPLACE ";" "\\037" env "${T_ENV}")
  target_sources(${name} PRIVATE ${PROJECT_SOURCE_DIR}/tests/support/src/test_env.cpp)
  target_compile_definitions(${name} PRIVATE
    KAVO_TEST_SOURCE_DIR="${PROJECT_SOURCE_DIR}" KAVO_TEST_BINARY_DIR="${PROJECT_BINARY_DIR}"
    KAVO_TEST_ENV="${env}")
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_SERIAL)
    list(APPEND props RUN_SERIAL TRUE)
  endif()
  if(T_LABELS)
    string(REPLACE ";" "\\;" labels "${T_LABELS}")
    list(APPEND props LABELS "${labels}")
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ${props})
  kavo_label_targets(${name} ${T_LABELS})
endfunction()

# kavo_label_targets(<target> <labels...>): kavo_tests_<label> builds <target> too (test programs
# and the programs that process tests of the label run).
function(kavo_label_targets target)
  foreach(label ${ARGN})
    if(NOT TARGET kavo_tests_${label})
      add_custom_target(kavo_tests_${label})
    endif()
    add_dependencies(kavo_tests_${label} ${target})
  endforeach()
endfunction()

# kavo_add_fuzzer(<name> SOURCES <files...> LIBS <targets...>)
# Built only with KAVO_FUZZ; the fuzzers land in <build>/fuzz/ where scripts/test runs each of them.
# A seed corpus may sit beside the source in fuzz/corpus/<name>/.
function(kavo_add_fuzzer name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  if(NOT KAVO_FUZZ)
    return()
  endif()
  add_executable(${name} ${F_SOURCES})
  target_link_libraries(${name} PRIVATE ${F_LIBS})
  target_link_options(${name} PRIVATE -fsanitize=fuzzer)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/fuzz)
  if(NOT TARGET kavo_fuzzers)
    add_custom_target(kavo_fuzzers)
  endif()
  add_dependencies(kavo_fuzzers ${name})
  set(corpus ${CMAKE_CURRENT_SOURCE_DIR}/fuzz/corpus/${name})
  if(EXISTS ${corpus})
    file(WRITE ${CMAKE_BINARY_DIR}/fuzz/${name}.corpus "${corpus}\n")
  endif()
endfunction()

# kavo_add_bench(<name> SOURCES <files...> LIBS <targets...>): a Google Benchmark program (not run by CTest).
function(kavo_add_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  if(KAVO_FUZZ)
    return()
  endif()
  find_package(benchmark REQUIRED)
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark)
  set_target_properties(${name} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bench)
endfunction()
