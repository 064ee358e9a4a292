# The soak's fault relay and the agent attack program: native, run by scripts/soak.sh.
add_executable(vorn_fault_relay ${CMAKE_CURRENT_LIST_DIR}/fault_relay.cpp)
target_link_libraries(vorn_fault_relay PRIVATE vorn_protocol)
target_include_directories(vorn_fault_relay PRIVATE ${PROJECT_SOURCE_DIR})
vorn_warnings(vorn_fault_relay)

add_executable(vorn_agent_attack ${CMAKE_CURRENT_LIST_DIR}/agent_attack.cpp)
target_link_libraries(vorn_agent_attack PRIVATE vorn_protocol)
target_include_directories(vorn_agent_attack PRIVATE ${PROJECT_SOURCE_DIR})
vorn_warnings(vorn_agent_attack)
