# Start-up benchmarks: process start to the first paint of the main window, beside an empty
# QMainWindow program, and peak memory. Meant for a Release build: bench/startup.sh BUILD_DIR.
add_executable(bench_launch ${CMAKE_CURRENT_LIST_DIR}/startup_launch.cpp)
target_link_libraries(bench_launch PRIVATE kw_warnings)

add_executable(bench_startup_kaliwire ${CMAKE_CURRENT_LIST_DIR}/startup_kaliwire.cpp)
target_link_libraries(bench_startup_kaliwire PRIVATE kaliwire_ui kw_warnings)

add_executable(bench_empty_window ${CMAKE_CURRENT_LIST_DIR}/startup_empty_window.cpp)
target_include_directories(bench_empty_window PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(bench_empty_window PRIVATE Qt6::Widgets kw_warnings)
