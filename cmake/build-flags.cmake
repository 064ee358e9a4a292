# Compiler and linker flags of what ships.
#   Windows: built for size. Each function and datum gets a section of its own so that the
#   linker drops what nothing uses; what ships is stripped (vorn_ship_small, called once the
#   targets exist) before the integrity stamp, which must be the last change to the file.
#   Linux release builds (the agent that the Debian package ships): hardened as Debian builds
#   daemons: fortified libc calls, stack protector, PIE, read-only relocations bound at start.
if(WIN32)
    set(CMAKE_C_FLAGS_RELEASE "-Os -DNDEBUG")
    set(CMAKE_CXX_FLAGS_RELEASE "-Os -DNDEBUG")
    add_compile_options(-ffunction-sections -fdata-sections)
    add_link_options(-Wl,--gc-sections)
elseif(CMAKE_BUILD_TYPE STREQUAL "Release" AND NOT VORN_SANITIZE)
    set(CMAKE_C_FLAGS_RELEASE "-O2 -DNDEBUG")
    set(CMAKE_CXX_FLAGS_RELEASE "-O2 -DNDEBUG")
    add_compile_options(-U_FORTIFY_SOURCE -D_FORTIFY_SOURCE=2 -fstack-protector-strong)
    include(CheckPIESupported)
    check_pie_supported(LANGUAGES C CXX)
    set(CMAKE_POSITION_INDEPENDENT_CODE ON)
    add_link_options(-Wl,-z,relro,-z,now)
endif()

# Makes a shipped Windows binary small: stripped at link time (so that the stamp that a
# POST_BUILD step writes comes after it) and with the short terminate handler in place of
# libstdc++'s, whose demangler alone weighs some 46 KB.
function(vorn_ship_small target)
    target_link_options(${target} PRIVATE -s)
    target_link_libraries(${target} PRIVATE vorn_terminate_handler)
endfunction()
