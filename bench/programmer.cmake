# Programmer link benchmarks: a download and a read-back against a library that answers at
# once, with the real pause. Meant for a Release build: bench/transfer.sh BUILD_DIR.
kw_add_programmer_library(bench_instant_lib SOURCES ${CMAKE_CURRENT_LIST_DIR}/transfer_instant_lib.cpp
    OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/benchlibs/instant)

add_executable(bench_transfer ${CMAKE_CURRENT_LIST_DIR}/transfer_bench.cpp)
target_link_libraries(bench_transfer PRIVATE core kw_warnings)
target_compile_definitions(bench_transfer PRIVATE
    KW_BENCH_LIBRARY_DIR="${CMAKE_BINARY_DIR}/benchlibs/instant")
add_dependencies(bench_transfer bench_instant_lib)
if(TARGET kaliwire-programmer)
    add_dependencies(bench_transfer kaliwire-programmer)
    target_compile_definitions(bench_transfer PRIVATE
        KW_BENCH_HELPER="$<TARGET_FILE:kaliwire-programmer>")
endif()
