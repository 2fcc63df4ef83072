# CMake package configuration for talvex's client header.
#
#   find_package(talvex CONFIG REQUIRED)
#   target_link_libraries(my_module PRIVATE talvex::headers)
#
# scikit-build-core finds it by itself (the package registers a cmake.prefix
# entry point); elsewhere pass -Dtalvex_DIR=$(python -m talvex --cmake-dir).
get_filename_component(_talvex_package "${CMAKE_CURRENT_LIST_DIR}/../../.." ABSOLUTE)
set(talvex_INCLUDE_DIR "${_talvex_package}/include")
if(NOT TARGET talvex::headers)
    add_library(talvex::headers INTERFACE IMPORTED)
    set_target_properties(talvex::headers PROPERTIES
        INTERFACE_INCLUDE_DIRECTORIES "${talvex_INCLUDE_DIR}")
endif()
unset(_talvex_package)
