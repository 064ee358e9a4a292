# The Windows agent's own parts under Wine: HttpGet on WinHTTP against a loopback server.
add_library(vorn_tiny_http_server STATIC ${CMAKE_CURRENT_LIST_DIR}/tiny_http_server.cpp)
target_include_directories(vorn_tiny_http_server PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(vorn_tiny_http_server PUBLIC ws2_32)
vorn_warnings(vorn_tiny_http_server)

vorn_test(http_get_winhttp_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/http_get_winhttp_test.cpp
    LIBS vorn_readings vorn_tiny_http_server
    LABELS readings)
