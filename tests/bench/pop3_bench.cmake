# The check benchmark: built with the native program, never run by ctest (it prints figures;
# scripts/bench-pop3.sh runs it against Dovecot). Its own malloc counts allocations, which the
# sanitizers' allocator would not allow.
if(NOT KC_SANITIZE)
  add_executable(pop3_bench ${CMAKE_CURRENT_LIST_DIR}/pop3_bench.cpp)
  target_link_libraries(pop3_bench PRIVATE kc_posix)
endif()
