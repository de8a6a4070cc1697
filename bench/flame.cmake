# The flame graph's tree builder and the page data it writes (included from bench/CMakeLists.txt).
add_executable(kiv_bench_flame ${CMAKE_CURRENT_LIST_DIR}/flame_bench.cpp)
target_link_libraries(kiv_bench_flame PRIVATE kivreport benchmark::benchmark benchmark::benchmark_main)
