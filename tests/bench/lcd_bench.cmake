# Reports per display update, counted on the fake HID device: built with the tests, never run
# by ctest (it prints figures; scripts/bench-lcd.sh runs it).
add_executable(lcd_bench ${CMAKE_CURRENT_LIST_DIR}/lcd_bench.cpp)
target_link_libraries(lcd_bench PRIVATE kc_test_support)
