# Live-block map and counter benchmarks (included from bench/CMakeLists.txt).
add_executable(kiv_bench_memory ${CMAKE_CURRENT_LIST_DIR}/memory_bench.cpp)
target_link_libraries(kiv_bench_memory PRIVATE kivcore benchmark::benchmark benchmark::benchmark_main)
