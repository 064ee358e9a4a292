# vornagent.exe under Wine: served HWiNFO-shaped shared memory (both layouts, damaged memory)
# read over UDP and shown by the real bar on localhost.
vorn_e2e_test(e2e_winagent SOURCES e2e_winagent.cpp LIBS vorn_hwinfo_image vorn_protocol ws2_32)
add_dependencies(e2e_winagent vornagent)
target_link_libraries(e2e_winagent PRIVATE vorn_tiny_http_server)
target_compile_definitions(e2e_winagent PRIVATE
    VORN_LHM_FIXTURE="Z:${PROJECT_SOURCE_DIR}/tests/native/fixtures/prometheus/lhm-0.9.6-amd.txt")
