# Tests of the sensor agent: its units in-process, and the real binary on loopback ports.
add_library(vorn_agent_test_support STATIC agent_test_support.cpp)
target_include_directories(vorn_agent_test_support PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(vorn_agent_test_support PUBLIC vorn_agent_core)
target_compile_definitions(vorn_agent_test_support PUBLIC
    VORN_AGENT_FIXTURES="${CMAKE_CURRENT_LIST_DIR}/fixtures"
    VORN_AGENT_EXAMPLE_CONFIG="${PROJECT_SOURCE_DIR}/agent/vornagent.conf.example"
    VORN_AGENT_BINARY="$<TARGET_FILE:vornagent>")
vorn_warnings(vorn_agent_test_support)

# The metrics endpoint's helpers: an HTTP client on loopback and promtool's path.
find_program(VORN_PROMTOOL promtool REQUIRED)
find_program(VORN_PROMETHEUS prometheus REQUIRED)
add_library(vorn_metrics_test_support STATIC metrics_test_support.cpp)
target_include_directories(vorn_metrics_test_support PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(vorn_metrics_test_support PUBLIC vorn_agent_test_support)
target_compile_definitions(vorn_metrics_test_support PUBLIC
    VORN_PROMTOOL="${VORN_PROMTOOL}" VORN_PROMETHEUS="${VORN_PROMETHEUS}")
target_link_libraries(vorn_metrics_test_support PUBLIC vorn_version)
vorn_warnings(vorn_metrics_test_support)

foreach(unit metrics_http metrics_text)
    vorn_test(agent_${unit}_test SOURCES agent_${unit}_test.cpp
              LIBS vorn_metrics_test_support LABELS agent)
endforeach()

# The real binary's endpoint, and a real Prometheus server scraping it.
foreach(unit metrics metrics_prometheus)
    vorn_test(agent_${unit}_test SOURCES agent_${unit}_test.cpp
              LIBS vorn_metrics_test_support LABELS agent)
    add_dependencies(agent_${unit}_test vornagent)
endforeach()
set_tests_properties(agent_metrics_prometheus_test PROPERTIES TIMEOUT 120)

foreach(unit allow config server rate versions)
    vorn_test(agent_${unit}_test SOURCES agent_${unit}_test.cpp
              LIBS vorn_agent_test_support LABELS agent)
endforeach()

vorn_test(agent_process_test SOURCES agent_process_test.cpp
          LIBS vorn_agent_test_support LABELS agent)
add_dependencies(agent_process_test vornagent)

# The documents' own vornagent command lines, run against the built agent; and --help, the
# manual and the example configuration agreeing on every option and setting (the package
# test runs the same check on the packaged files).
add_test(NAME doc_commands_test
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/doc_commands_test.py
            --agent $<TARGET_FILE:vornagent> --root ${PROJECT_SOURCE_DIR})
set_tests_properties(doc_commands_test PROPERTIES LABELS "agent;docs" TIMEOUT 300)
add_test(NAME agent_options_agree_test
    COMMAND ${Python3_EXECUTABLE} ${PROJECT_SOURCE_DIR}/tests/package/check_options.py
            $<TARGET_FILE:vornagent> ${PROJECT_SOURCE_DIR}/agent/vornagent.8
            ${PROJECT_SOURCE_DIR}/agent/vornagent.conf.example)
set_tests_properties(agent_options_agree_test PROPERTIES LABELS "agent;docs" TIMEOUT 120)

# --ask against the real agent and against scripted ones (the plug-in tests' responder).
vorn_test(agent_ask_test SOURCES agent_ask_test.cpp plugin_responder.cpp
          LIBS vorn_agent_test_support vorn_protocol Threads::Threads LABELS agent)
add_dependencies(agent_ask_test vornagent)

# The plug-in's client against the real agent, once the plug-in library is in the tree.
if(TARGET vorn_plugin)
    vorn_test(agent_plugin_test SOURCES agent_plugin_test.cpp
              LIBS vorn_agent_test_support vorn_plugin LABELS agent)
    add_dependencies(agent_plugin_test vornagent)
endif()

# libFuzzer targets, built by the "fuzz" preset (clang).
if(VORN_FUZZ)
    include(${PROJECT_SOURCE_DIR}/tests/fuzz/fuzz.cmake)
endif()

# The readings' history: its store and file, and version 3 through a client of its own.
vorn_test(history_store_test SOURCES history_store_test.cpp
          LIBS vorn_history vorn_agent_test_support LABELS agent)
add_library(vorn_history_client STATIC history_client.cpp)
target_include_directories(vorn_history_client PUBLIC ${PROJECT_SOURCE_DIR})
vorn_warnings(vorn_history_client)
vorn_test(agent_history_test SOURCES agent_history_test.cpp
          LIBS vorn_agent_test_support vorn_history_client LABELS agent)
add_dependencies(agent_history_test vornagent)

# The plug-in's history read against the real agent.
vorn_test(plugin_history_test SOURCES plugin_history_test.cpp
          LIBS vorn_agent_test_support vorn_plugin LABELS "plugin;agent")
add_dependencies(plugin_history_test vornagent)

# Not a test: writes a made-up day of history for the documentation's picture of the history
# window (scripts/screenshots.sh).
add_executable(history_demo history_demo.cpp)
target_link_libraries(history_demo PRIVATE vorn_history)
vorn_warnings(history_demo)
