# kc_native_scenarios(<suite> <runner> TIMEOUT <seconds> SCENARIOS <scenario>...): one test
# e2e_<suite>_<scenario> for each scenario, the runner (a script beside this file) driving the
# Linux program; the runner exits with 77, and the test is skipped, where the host cannot run it
# (no root for a network namespace of its own, a server missing).
# Without a Python interpreter no test is added.
include_guard(GLOBAL)
find_package(Python3 COMPONENTS Interpreter)

function(kc_native_scenarios suite runner)
  if(NOT Python3_Interpreter_FOUND)
    return()
  endif()
  cmake_parse_arguments(PARSE_ARGV 2 arg "" "TIMEOUT" "SCENARIOS")
  foreach(scenario ${arg_SCENARIOS})
    add_test(NAME e2e_${suite}_${scenario}
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_FUNCTION_LIST_DIR}/${runner}
                     --program $<TARGET_FILE:kestova> --scenario ${scenario})
    set_tests_properties(e2e_${suite}_${scenario} PROPERTIES
                         LABELS e2e SKIP_RETURN_CODE 77 TIMEOUT ${arg_TIMEOUT})
  endforeach()
endfunction()
