# End-to-end tests of the bar's display slots, status slot and monitor thread, and of the
# plug-in and the bar against the real native agent.
vorn_e2e_test(e2e_display SOURCES ${CMAKE_CURRENT_LIST_DIR}/e2e_display.cpp)

# Against the real agent: with_agent.sh starts the native vornagent on loopback with a readings
# file and runs the program under Wine with the agent's address. Registered when the native
# agent is built: by default the native preset's, or -DVORN_NATIVE_AGENT=<path to vornagent>.
set(VORN_NATIVE_AGENT "${PROJECT_SOURCE_DIR}/build/native/agent/vornagent"
    CACHE FILEPATH "Native vornagent binary for the end-to-end agent test")
add_executable(e2e_agent ${CMAKE_CURRENT_LIST_DIR}/e2e_agent.cpp)
target_link_libraries(e2e_agent PRIVATE vorn_e2e_bar_test VORNPLUG GTest::gtest_main)
target_include_directories(e2e_agent PRIVATE ${PROJECT_SOURCE_DIR})
set_target_properties(e2e_agent PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
vorn_warnings(e2e_agent)
add_dependencies(e2e_agent VORNBAR)
if(VORN_NATIVE_AGENT AND EXISTS "${VORN_NATIVE_AGENT}")
    find_program(VORN_BASH bash REQUIRED)
    add_test(NAME e2e_agent
        COMMAND ${VORN_BASH} ${CMAKE_CURRENT_LIST_DIR}/with_agent.sh ${VORN_NATIVE_AGENT}
                ${PROJECT_SOURCE_DIR}/tests/fixtures-e2e/agent-readings.txt
                $<TARGET_FILE:e2e_agent>)
    set_tests_properties(e2e_agent PROPERTIES
        LABELS "e2e"
        TIMEOUT 300
        RESOURCE_LOCK vorn_e2e
        ENVIRONMENT "VORN_WINEPREFIX=${VORN_E2E_WINEPREFIX}"
        SKIP_RETURN_CODE 125)
elseif(VORN_NATIVE_AGENT)
    message(STATUS "e2e_agent not registered: no native agent at ${VORN_NATIVE_AGENT} "
                   "(build the native preset first, then configure again)")
endif()

# History end to end: the bar's history window against the real agent keeping its history in a
# file, restarted by the test (tests/e2e/with_history_agent.sh).
add_executable(e2e_history ${CMAKE_CURRENT_LIST_DIR}/e2e_history.cpp)
target_link_libraries(e2e_history PRIVATE vorn_e2e_bar_test GTest::gtest_main)
target_include_directories(e2e_history PRIVATE ${PROJECT_SOURCE_DIR})
set_target_properties(e2e_history PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
vorn_warnings(e2e_history)
add_dependencies(e2e_history VORNBAR VORNPLUG)
if(VORN_NATIVE_AGENT AND EXISTS "${VORN_NATIVE_AGENT}")
    find_program(VORN_BASH bash REQUIRED)
    add_test(NAME e2e_history
        COMMAND ${VORN_BASH} ${CMAKE_CURRENT_LIST_DIR}/with_history_agent.sh ${VORN_NATIVE_AGENT}
                $<TARGET_FILE:e2e_history>)
    set_tests_properties(e2e_history PROPERTIES
        LABELS "e2e"
        TIMEOUT 300
        RESOURCE_LOCK vorn_e2e
        ENVIRONMENT "VORN_WINEPREFIX=${VORN_E2E_WINEPREFIX}"
        SKIP_RETURN_CODE 125)
endif()
