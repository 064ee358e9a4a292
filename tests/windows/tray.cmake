# The tray icon manager and the program's resources, each one program under Wine. Both
# link the resource object that VORNBAR.exe links, so the pictures and templates under
# test are the product's own.
vorn_test(tray_windows_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/tray_icon_test.cpp
    LIBS vorn_tray vorn_resources
    LABELS tray)

vorn_test(res_windows_test
    SOURCES ${CMAKE_CURRENT_LIST_DIR}/res_resources_test.cpp
    LIBS vorn_resources version
    LABELS res)
