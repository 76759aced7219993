# String grid benchmark; meant for a Release build: bench/grid.sh BUILD_DIR.
add_executable(bench_grid ${CMAKE_CURRENT_LIST_DIR}/grid_bench.cpp)
target_link_libraries(bench_grid PRIVATE kw_grid core kw_warnings)
