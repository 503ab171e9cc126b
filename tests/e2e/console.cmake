# The Linux program's console on a pseudo-terminal and on pipes: keys, status line, menu,
# settings form, settings-file help, launcher and second start. Each runs in a network
# namespace of its own when root (the keys scenario needs one and is skipped otherwise).
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  foreach(scenario form keys second notty options outcomes settingsfile savefailure formkeys
                   launcher sevenvalues accounts)
    add_test(NAME e2e_console_${scenario}
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/run_console.py
                     --program $<TARGET_FILE:kestova> --scenario ${scenario})
    set_tests_properties(e2e_console_${scenario} PROPERTIES
                         LABELS e2e SKIP_RETURN_CODE 77 TIMEOUT 120)
  endforeach()
endif()
