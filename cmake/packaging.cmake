# Packaging and release checks.
#   Windows build: a zip (CPack, ZIP generator) with VORNBAR.exe, VORNPLUG.dll and a short
#   readme; the test package_windows_zip makes it and checks its contents.
#   Linux build: the agent installs with cmake --install (rules in agent/CMakeLists.txt); the
#   test agent_install installs it into a temporary DESTDIR and checks the files. The soak's
#   native programs are built here too.
if(WIN32)
    if(NOT TARGET VORNBAR OR NOT TARGET VORNPLUG)
        return()
    endif()
    foreach(shipped VORNBAR VORNPLUG)
        vorn_ship_small(${shipped})
    endforeach()
    install(TARGETS VORNBAR VORNPLUG RUNTIME DESTINATION . LIBRARY DESTINATION .)
    install(FILES ${PROJECT_SOURCE_DIR}/docs/README-windows.txt DESTINATION . RENAME README.txt)
    if(CMAKE_SIZEOF_VOID_P EQUAL 8)
        set(vorn_arch win64)
    else()
        set(vorn_arch win32)
    endif()
    set(CPACK_GENERATOR ZIP)
    set(CPACK_PACKAGE_NAME vornbar)
    set(CPACK_PACKAGE_VENDOR vornbar)
    set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
    set(CPACK_PACKAGE_FILE_NAME vornbar-${PROJECT_VERSION}-${vorn_arch})
    set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/package)
    include(CPack)
    add_test(NAME package_windows_zip
             COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR}
                     -DZIP=${CMAKE_BINARY_DIR}/package/vornbar-${PROJECT_VERSION}-${vorn_arch}.zip
                     -DTOP=vornbar-${PROJECT_VERSION}-${vorn_arch}
                     -P ${PROJECT_SOURCE_DIR}/cmake/check_package.cmake)
    set_tests_properties(package_windows_zip PROPERTIES LABELS static TIMEOUT 120)
else()
    include(${PROJECT_SOURCE_DIR}/tests/soak/soak.cmake)
    if(TARGET vornagent)
        add_test(NAME agent_install
                 COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR}
                         -DSTAGE=${CMAKE_BINARY_DIR}/install-check
                         -P ${PROJECT_SOURCE_DIR}/cmake/check_install.cmake)
        set_tests_properties(agent_install PROPERTIES LABELS "agent;static" TIMEOUT 120)
        if(CMAKE_BUILD_TYPE STREQUAL "Release" AND NOT VORN_SANITIZE)
            # The agent's Debian package: cmake --build BUILD --target deb (or
            # scripts/package-deb.sh) makes it in BUILD/package.
            add_custom_target(deb
                COMMAND ${PROJECT_SOURCE_DIR}/packaging/debian/make-deb.sh ${CMAKE_BINARY_DIR}
                        ${PROJECT_VERSION} ${CMAKE_BINARY_DIR}/package
                DEPENDS vornagent VERBATIM)
            include(${PROJECT_SOURCE_DIR}/tests/package/package.cmake)
        endif()
    endif()
endif()
