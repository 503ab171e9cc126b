# The Linux program against a server that writes each reply in two pieces with Nagle's
# algorithm on (split), or in three with the last waiting for the ACK of the middle one
# (pieces): 255 TOP commands in about the time of one-write replies (root and a network
# namespace of its own; skipped otherwise).
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  foreach(scenario split pieces)
    if(scenario STREQUAL "split")
      set(name e2e_split_replies)
    else()
      set(name e2e_split_replies_${scenario})
    endif()
    add_test(NAME ${name}
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/run_split_replies.py
                     --program $<TARGET_FILE:kestova> --scenario ${scenario})
    set_tests_properties(${name} PROPERTIES LABELS e2e SKIP_RETURN_CODE 77 TIMEOUT 180)
  endforeach()
endif()
