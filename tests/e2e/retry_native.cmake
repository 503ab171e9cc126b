# Early retries after start-up with the Linux program against Dovecot, one network namespace
# per test (root; skipped otherwise).
include(${CMAKE_CURRENT_LIST_DIR}/native_scenarios.cmake)
kc_native_scenarios(retry_native run_retry_native.py TIMEOUT 300
                    SCENARIOS late_network wrong_password wake)
