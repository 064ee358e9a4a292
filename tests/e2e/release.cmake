# Release checks of the real program under Wine: the profile damage matrix, and the soak
# driver that scripts/soak.sh runs against the fault relay.
vorn_e2e_test(e2e_profile_damage SOURCES e2e_profile_damage.cpp)

add_executable(vorn_soak_driver ${PROJECT_SOURCE_DIR}/tests/soak/soak_driver.cpp)
target_link_libraries(vorn_soak_driver PRIVATE vorn_e2e_driver)
target_include_directories(vorn_soak_driver PRIVATE ${PROJECT_SOURCE_DIR})
set_target_properties(vorn_soak_driver PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
vorn_warnings(vorn_soak_driver)
