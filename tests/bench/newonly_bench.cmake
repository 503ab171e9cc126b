# The new-only check benchmark: built with the native program, never run by ctest (it prints
# figures; scripts/bench-newonly.sh runs it against Dovecot).
if(NOT KC_SANITIZE)
  add_executable(newonly_bench ${CMAKE_CURRENT_LIST_DIR}/newonly_bench.cpp)
  target_link_libraries(newonly_bench PRIVATE kc_posix)
endif()
