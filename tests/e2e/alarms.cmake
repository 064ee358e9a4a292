# Alarms end to end: the bar inside the test program (for the shell calls of its tray icon)
# against the real native agent reading an hwmon fixture tree that the test rewrites. Registered
# where the agent test is: configure with -DVORN_NATIVE_AGENT=<root>/build/native/agent/vornagent.
add_executable(e2e_alarms ${CMAKE_CURRENT_LIST_DIR}/e2e_alarms.cpp)
target_link_libraries(e2e_alarms PRIVATE vorn_e2e_bar_test vorn_e2e_inproc vorn_resources
                                         GTest::gtest_main)
target_include_directories(e2e_alarms PRIVATE ${PROJECT_SOURCE_DIR})
set_target_properties(e2e_alarms PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
vorn_warnings(e2e_alarms)
vorn_stamp_checksum(e2e_alarms)
if(VORN_NATIVE_AGENT AND EXISTS "${VORN_NATIVE_AGENT}")
    find_program(VORN_BASH bash REQUIRED)
    add_test(NAME e2e_alarms
        COMMAND ${VORN_BASH} ${CMAKE_CURRENT_LIST_DIR}/with_agent.sh ${VORN_NATIVE_AGENT}
                ${PROJECT_SOURCE_DIR}/tests/fixtures-e2e/alarm-sysfs $<TARGET_FILE:e2e_alarms>)
    set_tests_properties(e2e_alarms PROPERTIES
        LABELS "e2e"
        TIMEOUT 300
        RESOURCE_LOCK vorn_e2e
        ENVIRONMENT
            "VORN_WINEPREFIX=${VORN_E2E_WINEPREFIX};VORN_AGENT_CONFIG=${PROJECT_SOURCE_DIR}/tests/fixtures-e2e/alarm-agent.conf"
        SKIP_RETURN_CODE 125)
endif()
