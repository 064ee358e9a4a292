# The bar's commands, tray menu, window behaviour and tray icon.
#
# e2e_commands drives VORNBAR.exe from outside. e2e_commands_inproc runs the bar dialog inside
# the test program (a menu and the shell calls can only be seen from there); like the program it
# links the resources and carries its own checksum, which the bar checks at start.
add_library(vorn_e2e_inproc STATIC ${CMAKE_CURRENT_LIST_DIR}/inproc/inproc_bar.cpp)
target_include_directories(vorn_e2e_inproc PUBLIC ${PROJECT_SOURCE_DIR})
target_link_libraries(vorn_e2e_inproc PUBLIC vorn_bar vorn_tray vorn_framework)
vorn_warnings(vorn_e2e_inproc)

vorn_e2e_test(e2e_commands_inproc
    SOURCES e2e_commands_inproc.cpp
    LIBS vorn_e2e_inproc vorn_resources)
vorn_stamp_checksum(e2e_commands_inproc)

vorn_e2e_test(e2e_commands SOURCES e2e_commands.cpp)

# Posts one message to the running bar; scripts/screenshots.sh opens the tray menu with it.
add_executable(e2e_commands_post e2e_commands_post.cpp)
set_target_properties(e2e_commands_post PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR})
vorn_warnings(e2e_commands_post)
