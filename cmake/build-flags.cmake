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

# Our static and object libraries that `target` links, directly or through others (not
# through a DLL), into `out`.
function(vorn_linked_libraries target out)
    set(seen ${${out}})
    get_target_property(links ${target} LINK_LIBRARIES)
    get_target_property(interface ${target} INTERFACE_LINK_LIBRARIES)
    foreach(lib ${links} ${interface})
        if(NOT TARGET ${lib} OR lib IN_LIST seen)
            continue()
        endif()
        get_target_property(type ${lib} TYPE)
        get_target_property(imported ${lib} IMPORTED)
        if(imported OR NOT type MATCHES "^(STATIC|OBJECT)_LIBRARY$")
            continue()
        endif()
        list(APPEND seen ${lib})
        vorn_linked_libraries(${lib} seen)
    endforeach()
    set(${out} ${seen} PARENT_SCOPE)
endfunction()

# Makes the bar, which catches no exception, end at once where libstdc++ would throw
# (framework/fatal_throws.cpp), some 60 KB less. To keep that sound, its own code and the
# libraries only it links are compiled without exceptions, so that a catch there does not
# compile; libraries that the agent shares keep them (the agent does catch).
function(vorn_bar_without_exceptions bar)
    set(bar_libs "")
    vorn_linked_libraries(${bar} bar_libs)
    set(shared_libs "")
    if(TARGET vornagent)
        vorn_linked_libraries(vornagent shared_libs)
    endif()
    foreach(lib ${bar} ${bar_libs})
        if(NOT lib IN_LIST shared_libs AND NOT lib STREQUAL "vorn_terminate_handler")
            target_compile_options(${lib} PRIVATE -fno-exceptions)
        endif()
    endforeach()
    target_link_libraries(${bar} PRIVATE vorn_fatal_throws)
endfunction()

# Makes the plug-in DLL, which neither throws nor catches, free of the C++ exception runtime:
# its own code compiled without exceptions and nothing of libstdc++ that throws, so that
# neither the unwinder nor the POSIX thread library it needs is linked in (some 60 KB).
# Stripped, with no terminate handler (there is no exception to end on); a use of what
# throws brings libstdc++'s back, which the size budget catches.
function(vorn_plugin_without_exceptions dll)
    target_compile_options(${dll} PRIVATE -fno-exceptions)
    target_link_options(${dll} PRIVATE -s)
endfunction()
