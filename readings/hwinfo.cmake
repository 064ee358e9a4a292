# HWiNFO's shared-memory parser: portable (byte buffers only), so it builds natively for its
# tests and fuzz target and with mingw for the Windows agent.
add_library(vorn_hwinfo_memory STATIC ${CMAKE_CURRENT_LIST_DIR}/hwinfo_memory.cpp)
target_include_directories(vorn_hwinfo_memory PUBLIC ${PROJECT_SOURCE_DIR})
vorn_warnings(vorn_hwinfo_memory)

# Writes HWiNFO-shaped memory for the tests, natively and under Wine.
add_library(vorn_hwinfo_image STATIC ${PROJECT_SOURCE_DIR}/tests/common/hwinfo_image.cpp)
target_link_libraries(vorn_hwinfo_image PUBLIC vorn_hwinfo_memory)
vorn_warnings(vorn_hwinfo_image)
