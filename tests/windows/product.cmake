# Static checks of the program as it ships; they need no Wine, so they also run on the
# 32-bit product where no 32-bit code can run.
if(TARGET VORNBAR)
    add_test(NAME product_exports_and_imports
        COMMAND sh -c [=[
            set -e
            t=$("$2" -p "$1")
            exports=$(printf '%s\n' "$t" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p')
            for s in _ZN8UDPCSockaSERKS_ _ZN7SOCKLIBaSERKS_ _ZN8VORNPLUGaSERKS_; do
                printf '%s\n' "$exports" | grep -qw "$s" || { echo "not exported: $s"; exit 1; }
            done
            dlls=$(printf '%s\n' "$t" | sed -n 's/.*DLL Name: //p')
            printf '%s\n' "$dlls"
            # Windows' own DLLs and the plug-in, nothing of the compiler's.
            ! printf '%s\n' "$dlls" | grep -viE '^(kernel32|user32|gdi32|shell32|msvcrt|vornplug)\.dll$'
        ]=] probe $<TARGET_FILE:VORNBAR> ${CMAKE_OBJDUMP})
    add_test(NAME product_checksum_stamped
        COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/scripts/tools/pe_checksum.py check $<TARGET_FILE:VORNBAR>)
    set_tests_properties(product_exports_and_imports product_checksum_stamped PROPERTIES LABELS static)
endif()

# What ships stays small (stripped, built for size): the bar and the plug-in together within
# their goal of 256 KiB (197,632 bytes reached), the Windows agent within 528 KiB (539,136
# bytes): 512 KiB until the history store, --ask and the HWiNFO Gadget source brought 83 KB
# of their own code, once the library code that came with them (std::wstring, 35 KB) was
# gone again. See docs/benchmarks.md.
if(TARGET VORNBAR AND TARGET VORNPLUG)
    add_test(NAME product_size_budget
        COMMAND ${CMAKE_COMMAND} -DBUDGET=262144 -DWHAT=VORNBAR.exe+VORNPLUG.dll
                "-DFILES=$<TARGET_FILE:VORNBAR>|$<TARGET_FILE:VORNPLUG>"
                -P ${PROJECT_SOURCE_DIR}/cmake/check_size.cmake)
    set_tests_properties(product_size_budget PROPERTIES LABELS static)
endif()
if(TARGET vornagent)
    add_test(NAME agent_size_budget
        COMMAND ${CMAKE_COMMAND} -DBUDGET=540672 -DWHAT=vornagent.exe
                "-DFILES=$<TARGET_FILE:vornagent>"
                -P ${PROJECT_SOURCE_DIR}/cmake/check_size.cmake)
    set_tests_properties(agent_size_budget PROPERTIES LABELS static)
endif()
