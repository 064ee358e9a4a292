# The framework layer under Wine: dialogs from the program's own templates, message maps,
# data exchange and the string table. It links the resource object that VORNBAR.exe links.
vorn_test(framework_windows_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/framework_test.cpp
    LIBS vorn_framework vorn_resources
    LABELS framework)
# The program is made for Japanese Windows: its ANSI texts are in the Japanese code page,
# which Wine takes from the locale name.
set_property(TEST framework_windows_test APPEND PROPERTY ENVIRONMENT "LC_ALL=ja_JP.UTF-8")
