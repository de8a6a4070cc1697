# The flame graph: its tree builder and page data (Google Benchmark), and
# the page bench/flame_draw times in chromium (included from bench/CMakeLists.txt).
add_executable(kiv_bench_flame ${CMAKE_CURRENT_LIST_DIR}/flame_bench.cpp)
target_link_libraries(kiv_bench_flame PRIVATE kivreport benchmark::benchmark benchmark::benchmark_main)
add_executable(kiv_bench_flame_page ${CMAKE_CURRENT_LIST_DIR}/flame_page.cpp)
target_link_libraries(kiv_bench_flame_page PRIVATE kivreport)
