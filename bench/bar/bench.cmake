# The bar's benchmark: close times of the bar in its pause and inside a Get against a trivial
# dialog's, and its CPU use between polls against an idle dialog's, measured in one run under
# Wine. Run it with scripts/bench-bar.sh (win64 preset); it is not a test.
if(TARGET VORNBAR AND TARGET vorn_e2e_driver AND TARGET vorn_e2e_fake_bar)
    add_executable(vorn_bench_bar ${CMAKE_CURRENT_LIST_DIR}/bench_bar.cpp)
    target_link_libraries(vorn_bench_bar PRIVATE vorn_e2e_driver)
    target_include_directories(vorn_bench_bar PRIVATE ${PROJECT_SOURCE_DIR})
    set_target_properties(vorn_bench_bar PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
    add_dependencies(vorn_bench_bar VORNBAR VORNPLUG vorn_e2e_fake_bar)
    vorn_warnings(vorn_bench_bar)
endif()
