# Packaging and release checks.
#   Windows build: a zip (CPack, ZIP generator) with VORNBAR.exe, VORNPLUG.dll, vornagent.exe
#   with its configuration, the readme and the licence, each built small (vorn_ship_small);
#   the test package_windows_zip makes it, checks its list and leaves it unpacked for
#   e2e_package_zip, which runs the shipped programs under Wine.
#   Linux build: the agent installs with cmake --install (rules in agent/CMakeLists.txt); the
#   test agent_install installs it into a temporary DESTDIR and checks the files. The release
#   build also makes the agent's Debian package (target deb; tests/package). The soak's
#   native programs are built here too.
if(WIN32)
    if(NOT TARGET VORNBAR OR NOT TARGET VORNPLUG)
        return()
    endif()
    vorn_ship_small(VORNBAR)
    vorn_bar_without_exceptions(VORNBAR)
    vorn_plugin_without_exceptions(VORNPLUG)
    install(TARGETS VORNBAR VORNPLUG RUNTIME DESTINATION . LIBRARY DESTINATION .)
    # The texts with Windows line ends, which every Notepad shows as lines.
    foreach(text "docs/README-windows.txt:README.txt" "LICENSE:LICENSE.txt")
        string(REPLACE ":" ";" text "${text}")
        list(GET text 0 from)
        list(GET text 1 to)
        file(READ ${PROJECT_SOURCE_DIR}/${from} body)
        string(REPLACE "\r\n" "\n" body "${body}")
        string(REPLACE "\n" "\r\n" body "${body}")
        file(WRITE ${CMAKE_BINARY_DIR}/zip-texts/${to} "${body}")
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/${from})
        install(FILES ${CMAKE_BINARY_DIR}/zip-texts/${to} DESTINATION .)
    endforeach()
    set(vorn_zip_files LICENSE.txt README.txt VORNBAR.exe VORNPLUG.dll)
    # The Windows agent and the configuration it reads next to itself.
    if(TARGET vornagent)
        vorn_ship_small(vornagent)
        install(TARGETS vornagent RUNTIME DESTINATION .)
        install(FILES ${PROJECT_SOURCE_DIR}/agent/win/vornagent.conf DESTINATION .)
        list(APPEND vorn_zip_files vornagent.conf vornagent.exe)
    endif()
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
    set(vorn_zip_top vornbar-${PROJECT_VERSION}-${vorn_arch})
    set(vorn_zip_unpacked ${CMAKE_BINARY_DIR}/package/unpacked)
    string(REPLACE ";" "|" vorn_zip_list "${vorn_zip_files}")
    add_test(NAME package_windows_zip
             COMMAND ${CMAKE_COMMAND} -DBUILD_DIR=${CMAKE_BINARY_DIR}
                     -DZIP=${CMAKE_BINARY_DIR}/package/${vorn_zip_top}.zip
                     -DTOP=${vorn_zip_top} -DUNPACK=${vorn_zip_unpacked}
                     -DFILES=${vorn_zip_list}
                     -DCHECKSUM=${PROJECT_SOURCE_DIR}/scripts/tools/pe_checksum.py
                     -DPYTHON=${Python3_EXECUTABLE}
                     -P ${PROJECT_SOURCE_DIR}/cmake/check_package.cmake)
    set_tests_properties(package_windows_zip PROPERTIES
        LABELS static TIMEOUT 120 FIXTURES_SETUP vorn_zip
        # Says so, rather than passing, while the tree builds no Windows agent.
        SKIP_REGULAR_EXPRESSION "the zip lacks vornagent.exe")
    include(${PROJECT_SOURCE_DIR}/tests/e2e/package.cmake)
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
