# The framework layer under Wine: dialogs from the program's own templates, message maps,
# data exchange and the string table. It links the resource object that VORNBAR.exe links.
vorn_test(framework_windows_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/framework_test.cpp
    LIBS vorn_framework vorn_resources
    LABELS framework)
