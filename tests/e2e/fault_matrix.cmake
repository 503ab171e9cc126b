# The fault matrix: the Linux program against a server that fails at every step of a check in
# every way (closes, resets, stays silent, -ERR, garbage, 1 MiB without a line feed), one table
# in one test. All cells run at once in one network namespace (root; skipped otherwise); the
# silent ones wait out the program's 60 s limit together. In the sanitizer build directory the
# same test runs the sanitized program.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  add_test(NAME e2e_fault_matrix
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/run_fault_matrix.py
                   --program $<TARGET_FILE:kestova>)
  set_tests_properties(e2e_fault_matrix PROPERTIES LABELS e2e SKIP_RETURN_CODE 77 TIMEOUT 300)
endif()
