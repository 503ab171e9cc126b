# The notification of new mail with the Linux program against Dovecot and dunst on a private
# session bus, one network namespace per test (root; skipped otherwise).
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  foreach(scenario dunst off no_service)
    add_test(NAME e2e_notify_native_${scenario}
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/run_notify_native.py
                     --program $<TARGET_FILE:kestova> --scenario ${scenario})
    set_tests_properties(e2e_notify_native_${scenario} PROPERTIES
                         LABELS e2e SKIP_RETURN_CODE 77 TIMEOUT 300)
  endforeach()
endif()
