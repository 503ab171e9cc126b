# The Linux program's secure connections against Dovecot with TLS and the scriptable server,
# one network namespace per test (root; skipped otherwise). The silent-handshake test waits
# out the program's 60 s limit.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  foreach(scenario implicit stls pipelined_slow refused pinned stls_refused plain_on_tls_port handshake_faults
          silent_handshake unreadable_ssl pin_unusable)
    add_test(NAME e2e_pop3_tls_${scenario}
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/run_pop3_tls.py
                     --program $<TARGET_FILE:kestova> --scenario ${scenario})
    set_tests_properties(e2e_pop3_tls_${scenario} PROPERTIES
                         LABELS e2e SKIP_RETURN_CODE 77 TIMEOUT 180)
  endforeach()
endif()
