# The notification of new mail with the Linux program against Dovecot and dunst on a private
# session bus, one network namespace per test (root; skipped otherwise).
include(${CMAKE_CURRENT_LIST_DIR}/native_scenarios.cmake)
kc_native_scenarios(notify_native run_notify_native.py TIMEOUT 300 SCENARIOS dunst off no_service)
