# The demo without a terminal: every sender of its mailbox on the display within one interval,
# the trace in its own file; and demo.sh --help. Not under the sanitizers: it runs the program
# of the build it is given for a whole check interval, and the other suites cover that program.
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND AND NOT KC_SANITIZE)
  add_test(NAME e2e_demo
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/run_demo.py
                   --build ${CMAKE_BINARY_DIR})
  set_tests_properties(e2e_demo PROPERTIES LABELS e2e SKIP_RETURN_CODE 77 TIMEOUT 300
                       RESOURCE_LOCK demo_trace)
endif()
