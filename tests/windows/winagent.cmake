# The Windows agent's own parts under Wine: HttpGet on WinHTTP against a loopback server.
add_library(vorn_tiny_http_server STATIC ${CMAKE_CURRENT_LIST_DIR}/tiny_http_server.cpp)
target_include_directories(vorn_tiny_http_server PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(vorn_tiny_http_server PUBLIC ws2_32)
vorn_warnings(vorn_tiny_http_server)

vorn_test(http_get_winhttp_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/http_get_winhttp_test.cpp
    LIBS vorn_readings vorn_tiny_http_server
    LABELS readings)

# vornagent.exe needs nothing but Windows' own DLLs (a static check: no Wine needed).
add_test(NAME vornagent_imports_only_windows_dlls
    COMMAND sh -c [=[
        set -e
        dlls=$("$2" -p "$1" | sed -n 's/.*DLL Name: //p')
        printf '%s\n' "$dlls"
        printf '%s\n' "$dlls" | grep -qi '^ws2_32\.dll$'
        ! printf '%s\n' "$dlls" | grep -viE '^(kernel32|advapi32|ws2_32|winhttp|wtsapi32|msvcrt)\.dll$'
    ]=] probe $<TARGET_FILE:vornagent> ${CMAKE_OBJDUMP})
set_tests_properties(vornagent_imports_only_windows_dlls PROPERTIES LABELS static)

# The history's file: atomic replacement and setting aside with Windows' file calls.
vorn_test(history_file_windows_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/history_file_test.cpp
    LIBS vorn_history
    LABELS agent)

# Files read whole only when they are disk files (readings file, configuration).
vorn_test(regular_file_win_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/regular_file_win_test.cpp
    LIBS vorn_readings
    LABELS readings)
