# The display in a terminal: lcd_screen plays the program's output reports into the emulated
# controller and prints the screen; it also makes the simulated hidraw tree the program is
# pointed at.
add_executable(lcd_screen ${CMAKE_CURRENT_SOURCE_DIR}/support/lcd_screen.cpp)
target_link_libraries(lcd_screen PRIVATE kc_test_support)

# The unchanged Linux program drives the simulated display; lcd_screen reads what it shows.
# One network namespace per scenario (root; skipped otherwise).
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  foreach(scenario down empty three real_mail replug late)
    add_test(NAME e2e_lcd_${scenario}
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/lcd.py
                     --program $<TARGET_FILE:kestova> --screen $<TARGET_FILE:lcd_screen>
                     --scenario ${scenario})
    set_tests_properties(e2e_lcd_${scenario} PROPERTIES LABELS e2e SKIP_RETURN_CODE 77 TIMEOUT 150)
  endforeach()
endif()
