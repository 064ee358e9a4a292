# HWiNFO's shared memory: the parser (portable, byte buffers only, a library of its own for the
# fuzz target), the hwinfo and auto sources, and on Windows the reader of the real mapping and
# the platform's source factory.
add_library(vorn_hwinfo_memory STATIC ${CMAKE_CURRENT_LIST_DIR}/hwinfo_memory.cpp)
target_include_directories(vorn_hwinfo_memory PUBLIC ${PROJECT_SOURCE_DIR})
vorn_warnings(vorn_hwinfo_memory)

target_sources(vorn_readings PRIVATE
    ${CMAKE_CURRENT_LIST_DIR}/auto_source.cpp
    ${CMAKE_CURRENT_LIST_DIR}/hwinfo_gadget.cpp
    ${CMAKE_CURRENT_LIST_DIR}/hwinfo_source.cpp)
target_link_libraries(vorn_readings PUBLIC vorn_hwinfo_memory)
if(WIN32)
    target_sources(vorn_readings PRIVATE
        ${CMAKE_CURRENT_LIST_DIR}/hwinfo_gadget_win.cpp
        ${CMAKE_CURRENT_LIST_DIR}/hwinfo_shared_memory_win.cpp
        ${CMAKE_CURRENT_LIST_DIR}/source_factory_windows.cpp)
    # The console user's name for the Gadget values' key under HKEY_USERS.
    target_link_libraries(vorn_readings PUBLIC wtsapi32)
endif()

# Writes HWiNFO-shaped memory for the tests, natively and under Wine.
add_library(vorn_hwinfo_image STATIC ${PROJECT_SOURCE_DIR}/tests/common/hwinfo_image.cpp)
target_link_libraries(vorn_hwinfo_image PUBLIC vorn_hwinfo_memory)
vorn_warnings(vorn_hwinfo_image)
