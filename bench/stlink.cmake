# ST-LINK library benchmarks over the emulated probe: the tool's download with its pauses and
# the read-back, through build/bin/stlink/TOLVANEX.dll. Run by bench/stlink.sh BUILD_DIR.
add_executable(bench_stlink ${CMAKE_CURRENT_LIST_DIR}/stlink_bench.cpp)
target_link_libraries(bench_stlink PRIVATE core kw_warnings)
add_dependencies(bench_stlink stlink_library)
