# Several accounts with the Linux program: two Dovecot users (one over TLS) and a GNU mailutils
# user in one settings file, the display simulated; one network namespace per scenario (root;
# skipped otherwise).
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  foreach(scenario three one)
    add_test(NAME e2e_accounts_native_${scenario}
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/run_accounts_native.py
                     --program $<TARGET_FILE:kestova> --screen $<TARGET_FILE:lcd_screen>
                     --scenario ${scenario})
    set_tests_properties(e2e_accounts_native_${scenario} PROPERTIES
                         LABELS e2e SKIP_RETURN_CODE 77 TIMEOUT 400)
  endforeach()
endif()
