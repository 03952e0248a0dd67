# Fuzzing: libFuzzer executables under tests/fuzz, built with clang and run by scripts/fuzz.
option(ZELMAR_FUZZ "Build the libFuzzer targets (clang only)" OFF)
if(ZELMAR_SANITIZE OR ZELMAR_TSAN)
  message(FATAL_ERROR "ZELMAR_FUZZ brings its own sanitizers; leave ZELMAR_SANITIZE and ZELMAR_TSAN off")
endif()
if(NOT CMAKE_CXX_COMPILER_ID MATCHES "Clang")
  message(FATAL_ERROR "ZELMAR_FUZZ needs clang (CC=clang-14 CXX=clang++-14)")
endif()

# Every library of the tree gets the coverage hooks and the sanitizers; only the targets link the fuzzer.
add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-omit-frame-pointer
                    -fno-sanitize-recover=undefined)
add_link_options(-fsanitize=address,undefined)

# zel_add_fuzz(<name> SOURCES <files...> LIBS <targets...>)
function(zel_add_fuzz name)
  cmake_parse_arguments(F "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${F_SOURCES})
  target_compile_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_options(${name} PRIVATE -fsanitize=fuzzer,address,undefined)
  target_link_libraries(${name} PRIVATE ${F_LIBS})
endfunction()
