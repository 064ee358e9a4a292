# The sensor plug-in as the program loads it: VORNPLUG.dll under Wine. The test program sits
# next to the DLL; one Wine process runs every case.
vorn_test(plugin_windows_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/../native/plugin_vornplug_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../native/plugin_responder.cpp
            ${CMAKE_CURRENT_LIST_DIR}/../native/protocol_host_text_test.cpp
    LIBS VORNPLUG vorn_plugin_net ws2_32
    LABELS plugin)
set_target_properties(plugin_windows_test PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
# wine-run.sh exits 125 where no 32-bit program can run: the win64 twin runs the cases there.
set_tests_properties(plugin_windows_test PROPERTIES SKIP_RETURN_CODE 125)

# The executable's export table holds the three copy assignments, and the plug-in's other
# members come from VORNPLUG.dll; the probe is linked the way VORNBAR.exe is.
add_executable(plugin_exports_probe ${CMAKE_CURRENT_LIST_DIR}/plugin_exports_probe.cpp)
target_link_libraries(plugin_exports_probe PRIVATE vorn_plugin_exe_exports VORNPLUG)
vorn_warnings(plugin_exports_probe)
set_target_properties(plugin_exports_probe PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
add_test(NAME plugin_exe_exports
    COMMAND sh -c [=[
        set -e
        t=$("$2" -p "$1")
        exports=$(printf '%s\n' "$t" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p')
        imports=$(printf '%s\n' "$t" | sed -n '/DLL Name: VORNPLUG.dll/,/^$/p')
        for s in _ZN8UDPCSockaSERKS_ _ZN7SOCKLIBaSERKS_ _ZN8VORNPLUGaSERKS_; do
            printf '%s\n' "$exports" | grep -qw "$s" || { echo "not exported: $s"; exit 1; }
        done
        for s in _ZN8VORNPLUGC1Ev _ZN8VORNPLUGD1Ev _ZN8VORNPLUG3GetER6LMDATAj _ZN8VORNPLUG6CancelEv \
                 _ZNK8VORNPLUG10GetHistoryEiixxR11VORNHISTORYP12VORNHISTSLOTjj; do
            printf '%s\n' "$imports" | grep -qw "$s" || { echo "not from VORNPLUG.dll: $s"; exit 1; }
        done
        printf '%s\n' "$exports"
    ]=] probe $<TARGET_FILE:plugin_exports_probe> ${CMAKE_OBJDUMP})
set_tests_properties(plugin_exe_exports PROPERTIES LABELS "plugin;static")

# The DLL needs nothing but Windows' own DLLs (no libgcc, libstdc++ or winpthread).
add_test(NAME plugin_dll_imports
    COMMAND sh -c [=[
        set -e
        dlls=$("$2" -p "$1" | sed -n 's/.*DLL Name: //p')
        printf '%s\n' "$dlls"
        ! printf '%s\n' "$dlls" | grep -viE '^(kernel32|ws2_32|advapi32|msvcrt)\.dll$'
    ]=] probe $<TARGET_FILE:VORNPLUG> ${CMAKE_OBJDUMP})
set_tests_properties(plugin_dll_imports PROPERTIES LABELS "plugin;static")
