# The version lives in one place, project(vornbar VERSION ...) in CMakeLists.txt. This makes
# it a header (vornbar_version.h) for the agent's --version and the Windows version resource;
# the packages take their names from PROJECT_VERSION directly.
if(NOT DEFINED PROJECT_VERSION_TWEAK OR PROJECT_VERSION_TWEAK STREQUAL "")
    set(PROJECT_VERSION_TWEAK 0)
endif()
configure_file(${CMAKE_CURRENT_LIST_DIR}/version.h.in
               ${CMAKE_BINARY_DIR}/generated/vornbar_version.h @ONLY)
add_library(vorn_version INTERFACE)
target_include_directories(vorn_version INTERFACE ${CMAKE_BINARY_DIR}/generated)
