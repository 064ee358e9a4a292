# Tests of the Prometheus source: the exposition parser, the HTTP client against loopback
# servers, and the agent against a real node_exporter and Prometheus server.
add_library(vorn_http_test_server STATIC http_test_server.cpp)
target_include_directories(vorn_http_test_server PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(vorn_http_test_server PUBLIC Threads::Threads)
vorn_warnings(vorn_http_test_server)

vorn_test(readings_exposition_test SOURCES readings_exposition_test.cpp
          LIBS vorn_readings LABELS readings)
vorn_test(readings_http_get_test SOURCES readings_http_get_test.cpp
          LIBS vorn_readings vorn_http_test_server LABELS readings)
vorn_test(readings_prometheus_mapping_test SOURCES readings_prometheus_mapping_test.cpp
          LIBS vorn_readings LABELS readings)
target_compile_definitions(readings_prometheus_mapping_test PRIVATE
    VORN_PROMETHEUS_FIXTURES="${CMAKE_CURRENT_LIST_DIR}/fixtures/prometheus")

# The agent end to end: real node_exporter and Prometheus, and hostile loopback endpoints.
add_library(vorn_prometheus_test_support STATIC prometheus_test_support.cpp)
target_include_directories(vorn_prometheus_test_support PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(vorn_prometheus_test_support PUBLIC vorn_readings)
vorn_warnings(vorn_prometheus_test_support)
vorn_test(agent_prometheus_test SOURCES agent_prometheus_test.cpp
          LIBS vorn_agent_test_support vorn_prometheus_test_support vorn_http_test_server
          LABELS agent)
add_dependencies(agent_prometheus_test vornagent)
set_tests_properties(agent_prometheus_test PROPERTIES TIMEOUT 300)

# The real agent under hostile input: huge scrapes, hoarded connections, FIFO swaps, rotating
# sources, HEAD and a stop during a hanging request.
vorn_test(agent_hostile_test SOURCES agent_hostile_test.cpp
          LIBS vorn_metrics_test_support vorn_http_test_server LABELS agent)
add_dependencies(agent_hostile_test vornagent)
set_tests_properties(agent_hostile_test PROPERTIES TIMEOUT 300)
