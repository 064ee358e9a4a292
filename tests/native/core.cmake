# Native tests of the bar's portable parts.
vorn_test(framework_test SOURCES framework_test.cpp LIBS vorn_framework_portable)
vorn_test(settings_test SOURCES settings_test.cpp LIBS vorn_settings)
vorn_test(display_text_test SOURCES display_text_test.cpp LIBS vorn_display)
vorn_test(history_view_test SOURCES history_view_test.cpp LIBS vorn_display)
vorn_test(pe_checksum_test SOURCES pe_checksum_test.cpp LIBS vorn_display)
vorn_test(monitor_loop_test SOURCES monitor_loop_test.cpp LIBS vorn_monitor LABELS threads)
vorn_test(protocol_test SOURCES protocol_test.cpp LIBS vorn_protocol LABELS plugin)
vorn_test(history_reply_test SOURCES history_reply_test.cpp LIBS vorn_protocol LABELS plugin)

# The include-layer check that every build runs, on small trees of its own.
add_test(NAME check_layers_test
    COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/check_layers_test.py
            ${PROJECT_SOURCE_DIR})
set_tests_properties(check_layers_test PROPERTIES LABELS "layers")
