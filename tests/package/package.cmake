# Tests of the agent's Debian package, in the release build only (the package ships the
# hardened, unsanitised binary): package_deb makes it and checks it without installing it;
# package_deb_install installs, uses, removes and purges it (root only, else skipped).
add_executable(agent_ask ${CMAKE_CURRENT_LIST_DIR}/agent_ask.cpp)
target_link_libraries(agent_ask PRIVATE vorn_agent_test_support)
target_include_directories(agent_ask PRIVATE ${PROJECT_SOURCE_DIR})
vorn_warnings(agent_ask)

add_test(NAME package_deb
         COMMAND ${CMAKE_CURRENT_LIST_DIR}/check_deb.sh ${PROJECT_SOURCE_DIR} ${CMAKE_BINARY_DIR}
                 ${PROJECT_VERSION})
set_tests_properties(package_deb PROPERTIES
    LABELS "package;static" TIMEOUT 180 FIXTURES_SETUP vorn_deb RESOURCE_LOCK vorn_deb_stage)

# The package's file name is only known once it is made: the newest one of this version.
add_test(NAME package_deb_install
         COMMAND sh -c [=[
             deb=$(ls -t "$1"/vornagent_"$2"-*_*.deb 2>/dev/null | head -1)
             exec "$3" "${deb:-$1/none.deb}" "$4"
         ]=] probe ${CMAKE_BINARY_DIR}/package ${PROJECT_VERSION}
             ${CMAKE_CURRENT_LIST_DIR}/check_deb_install.sh $<TARGET_FILE:agent_ask>)
set_tests_properties(package_deb_install PROPERTIES
    LABELS package TIMEOUT 300 FIXTURES_REQUIRED vorn_deb SKIP_RETURN_CODE 77
    RESOURCE_LOCK vorn_deb_stage)
