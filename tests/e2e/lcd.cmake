# The display in a terminal: lcd_screen plays the program's output reports into the emulated
# controller and prints the screen; it also makes the simulated hidraw tree the program is
# pointed at.
add_executable(lcd_screen ${CMAKE_CURRENT_SOURCE_DIR}/support/lcd_screen.cpp)
target_link_libraries(lcd_screen PRIVATE kc_test_support)
