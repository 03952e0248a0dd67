# Benchmarks: Google Benchmark executables under bench/, run from the Release tree by scripts/bench.
find_package(benchmark REQUIRED)

# zel_add_bench(<name> SOURCES <files...> LIBS <targets...>)
function(zel_add_bench name)
  cmake_parse_arguments(B "" "" "SOURCES;LIBS" ${ARGN})
  add_executable(${name} ${B_SOURCES})
  target_link_libraries(${name} PRIVATE ${B_LIBS} benchmark::benchmark benchmark::benchmark_main)
endfunction()
