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
