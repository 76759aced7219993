# kw_no_gnu_unique(<target>)
#
# For code that ends up in a module the tool loads and releases: GCC makes inline statics
# (such as std::to_string's digit table) GNU unique symbols, and one of those pins the module
# in memory for the rest of the process.
function(kw_no_gnu_unique target)
    if(CMAKE_CXX_COMPILER_ID STREQUAL "GNU")
        target_compile_options(${target} PRIVATE -fno-gnu-unique)
    endif()
endfunction()

# kw_add_programmer_library(<target> SOURCES <src>... [OUTPUT_DIRECTORY <dir>]
#                           [DEFINITIONS <def>...] [LIBS <lib>...])
#
# Builds a programmer library the way the tool loads one: a module named exactly
# TOLVANEX.dll in its own folder (default: the tool's bin/), exporting only what it marks
# with KW_EXPORT. Static libraries linked into it keep their symbols to themselves, and no
# GNU unique symbol pins it in memory, so the tool's release really unloads it.
function(kw_add_programmer_library target)
    cmake_parse_arguments(L "" "OUTPUT_DIRECTORY" "SOURCES;DEFINITIONS;LIBS" ${ARGN})
    if(NOT L_OUTPUT_DIRECTORY)
        set(L_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
    endif()
    add_library(${target} MODULE ${L_SOURCES})
    set_target_properties(${target} PROPERTIES
        PREFIX "" OUTPUT_NAME "TOLVANEX" SUFFIX ".dll"
        LIBRARY_OUTPUT_DIRECTORY ${L_OUTPUT_DIRECTORY}
        CXX_VISIBILITY_PRESET hidden VISIBILITY_INLINES_HIDDEN ON)
    target_include_directories(${target} PRIVATE ${CMAKE_SOURCE_DIR})
    target_compile_definitions(${target} PRIVATE ${L_DEFINITIONS})
    kw_no_gnu_unique(${target})
    if(NOT APPLE AND NOT WIN32)
        target_link_options(${target} PRIVATE -Wl,--exclude-libs,ALL)
    endif()
    target_link_libraries(${target} PRIVATE ${L_LIBS} kw_warnings)
endfunction()
