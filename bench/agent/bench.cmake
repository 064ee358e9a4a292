# The agent's benchmark: latency through the plug-in against a bare echo responder, and
# throughput and memory against net-snmp's snmpd, all measured in one run on loopback.
# Run it by hand or with scripts/bench-agent.sh (release preset); it is not a test.
if(TARGET vorn_plugin AND TARGET vornagent)
    add_executable(vorn_bench_agent ${CMAKE_CURRENT_LIST_DIR}/bench_agent.cpp)
    target_link_libraries(vorn_bench_agent PRIVATE vorn_plugin vorn_protocol Threads::Threads)
    target_include_directories(vorn_bench_agent PRIVATE ${PROJECT_SOURCE_DIR})
    target_compile_definitions(vorn_bench_agent PRIVATE
        VORN_AGENT_BINARY="$<TARGET_FILE:vornagent>")
    add_dependencies(vorn_bench_agent vornagent)
    vorn_warnings(vorn_bench_agent)
endif()

# Reply latency with a Prometheus source against a file source, the endpoint answering and
# hanging; run with scripts/bench-prometheus.sh.
if(TARGET vornagent AND TARGET vorn_http_test_server AND TARGET vorn_agent_test_support)
    add_executable(vorn_bench_prometheus ${CMAKE_CURRENT_LIST_DIR}/bench_prometheus.cpp)
    target_link_libraries(vorn_bench_prometheus PRIVATE vorn_agent_test_support
                          vorn_http_test_server)
    target_include_directories(vorn_bench_prometheus PRIVATE ${PROJECT_SOURCE_DIR})
    target_compile_definitions(vorn_bench_prometheus PRIVATE
        VORN_LHM_FIXTURE="${PROJECT_SOURCE_DIR}/tests/native/fixtures/prometheus/lhm-0.9.6-amd.txt")
    add_dependencies(vorn_bench_prometheus vornagent)
    vorn_warnings(vorn_bench_prometheus)
endif()

# The metrics endpoint's scrape time against node_exporter's hwmon collector on the same
# fixture tree; run it with scripts/bench-metrics.sh.
if(TARGET vornagent AND TARGET vorn_metrics_test_support)
    add_executable(vorn_bench_metrics ${CMAKE_CURRENT_LIST_DIR}/bench_metrics.cpp)
    target_link_libraries(vorn_bench_metrics PRIVATE vorn_metrics_test_support)
    add_dependencies(vorn_bench_metrics vornagent)
    vorn_warnings(vorn_bench_metrics)
endif()

# The history: poll latency during a flood of history pages against none, the time to load a
# day of every reading, the file's size and the resident memory; scripts/bench-history.sh.
if(TARGET vornagent AND TARGET vorn_history_client)
    add_executable(vorn_bench_history ${CMAKE_CURRENT_LIST_DIR}/bench_history.cpp)
    target_link_libraries(vorn_bench_history PRIVATE vorn_history vorn_history_client
                          vorn_protocol Threads::Threads)
    target_include_directories(vorn_bench_history PRIVATE ${PROJECT_SOURCE_DIR})
    target_compile_definitions(vorn_bench_history PRIVATE
        VORN_AGENT_BINARY="$<TARGET_FILE:vornagent>")
    add_dependencies(vorn_bench_history vornagent)
    vorn_warnings(vorn_bench_history)
endif()

# Automatic mapping over scrapes of up to 100,000 series against parsing them; run it with
# scripts/bench-mapping.sh.
if(TARGET vorn_readings)
    add_executable(vorn_bench_mapping ${CMAKE_CURRENT_LIST_DIR}/bench_mapping.cpp)
    target_link_libraries(vorn_bench_mapping PRIVATE vorn_readings)
    target_include_directories(vorn_bench_mapping PRIVATE ${PROJECT_SOURCE_DIR})
    vorn_warnings(vorn_bench_mapping)
endif()
