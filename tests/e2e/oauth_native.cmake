# The Linux program's OAuth 2.0 sign-in against oidc-provider and Dovecot's oauth2 passdb, one
# network namespace per test (root; skipped otherwise).
find_package(Python3 COMPONENTS Interpreter)
if(Python3_Interpreter_FOUND)
  foreach(scenario device oauthbearer no_mechanism revoked authcode)
    add_test(NAME e2e_oauth_${scenario}
             COMMAND ${Python3_EXECUTABLE} ${CMAKE_CURRENT_LIST_DIR}/run_oauth_native.py
                     --program $<TARGET_FILE:kestova> --scenario ${scenario})
    set_tests_properties(e2e_oauth_${scenario} PROPERTIES
                         LABELS e2e SKIP_RETURN_CODE 77 TIMEOUT 180)
  endforeach()
endif()
