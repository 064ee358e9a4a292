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
