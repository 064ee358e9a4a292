# The sensor plug-in: host text alone, then the plug-in against a scripted agent on loopback.
vorn_test(protocol_host_text_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/protocol_host_text_test.cpp
    LIBS vorn_protocol
    LABELS plugin)
vorn_test(plugin_vornplug_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/plugin_vornplug_test.cpp
            ${CMAKE_CURRENT_LIST_DIR}/plugin_responder.cpp
    LIBS vorn_plugin Threads::Threads
    LABELS plugin)
