# The Linux program against a server that writes each reply in two pieces with Nagle's
# algorithm on: 255 TOP commands in about the time of one-write replies (root and a network
# namespace of its own; skipped otherwise).
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  add_test(NAME e2e_split_replies
           COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/run_split_replies.py
                   --program $<TARGET_FILE:kestova> --scenario split)
  set_tests_properties(e2e_split_replies PROPERTIES LABELS e2e SKIP_RETURN_CODE 77 TIMEOUT 180)
endif()
