# One native check under valgrind memcheck: two checks against Dovecot with no invalid access
# and no block lost. Valgrind cannot run a program built with AddressSanitizer, so the test is
# left out of the sanitizer build.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND AND NOT KC_SANITIZE)
  add_test(NAME e2e_valgrind_three
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/valgrind.py
                   --program $<TARGET_FILE:kestova>)
  set_tests_properties(e2e_valgrind_three PROPERTIES LABELS e2e SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()
