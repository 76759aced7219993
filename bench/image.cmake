# Image loader benchmarks; meant for Release builds (bench/hexload.sh runs them).
add_executable(bench_hexload ${CMAKE_CURRENT_LIST_DIR}/bench_hexload.cpp)
target_link_libraries(bench_hexload PRIVATE core kw_warnings)

add_executable(kw_hex2bin ${CMAKE_CURRENT_LIST_DIR}/kw_hex2bin.cpp)
target_link_libraries(kw_hex2bin PRIVATE core kw_warnings)

