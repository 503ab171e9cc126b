# The new-only option (NEWONLY, UIDL) with the Linux program against Dovecot, GNU mailutils'
# pop3d and the scriptable server, one network namespace per test (root; skipped otherwise).
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  foreach(scenario dovecot absent no_uidl mailutils empty many duplicate_ids long_ids
                  short_listing half_listing silent_uidl)
    add_test(NAME e2e_newonly_native_${scenario}
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/run_newonly_native.py
                     --program $<TARGET_FILE:kestova> --scenario ${scenario})
    set_tests_properties(e2e_newonly_native_${scenario} PROPERTIES
                         LABELS e2e SKIP_RETURN_CODE 77 TIMEOUT 300)
  endforeach()
endif()
