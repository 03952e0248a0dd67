# Unit tests: GoogleTest executables whose cases CTest runs one process each, so `ctest -j8` spreads them.
find_package(GTest REQUIRED)
include(GoogleTest)

find_program(ZEL_PYTHON NAMES python3 PATHS /usr/bin NO_DEFAULT_PATH)
if(NOT ZEL_PYTHON)
  find_program(ZEL_PYTHON python3 REQUIRED)
endif()

# zel_add_test(<name> SOURCES <files...> LIBS <targets...> [TIMEOUT <s>] [RESOURCE_LOCK <name>]
#              [LSAN_SUPPRESSIONS <file>])
# LSAN_SUPPRESSIONS names leaks of a third-party library that the test cannot avoid.
function(zel_add_test name)
  cmake_parse_arguments(T "" "TIMEOUT;RESOURCE_LOCK;LSAN_SUPPRESSIONS" "SOURCES;LIBS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set(lock)
  if(T_RESOURCE_LOCK)
    set(lock RESOURCE_LOCK ${T_RESOURCE_LOCK})
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE zel_test_support ${T_LIBS} GTest::gtest GTest::gmock zel_test_main)
  set(props TIMEOUT ${T_TIMEOUT} ${lock})
  if(T_LSAN_SUPPRESSIONS)
    list(APPEND props ENVIRONMENT "LSAN_OPTIONS=suppressions=${T_LSAN_SUPPRESSIONS}")
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 60
    PROPERTIES ${props})
endfunction()
