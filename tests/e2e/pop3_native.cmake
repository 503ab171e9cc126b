# The Linux program against Dovecot, GNU mailutils' pop3d and the scriptable POP3 server, one network namespace per
# test (root; skipped otherwise). The silent-server test waits out the program's 60 s limit.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  foreach(scenario three empty many wrong_password silent down unknown_host reassembly negative
          broken inert mailutils mailutils_refused)
    add_test(NAME e2e_pop3_native_${scenario}
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/run_pop3_native.py
                     --program $<TARGET_FILE:kestova> --scenario ${scenario})
    set_tests_properties(e2e_pop3_native_${scenario} PROPERTIES
                         LABELS e2e SKIP_RETURN_CODE 77 TIMEOUT 150)
  endforeach()
  # It waits out the 60 s limit on events alone, with room for a loaded machine.
  set_tests_properties(e2e_pop3_native_silent PROPERTIES TIMEOUT 300)
endif()
