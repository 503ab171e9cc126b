# What the event loop costs per wake-up (allocations and poll returns per timer tick and per
# server response): built with the tests, never run by ctest (it prints figures;
# scripts/bench-idle.sh runs it). Its own malloc counts allocations, which the sanitizers'
# allocator would not allow.
if(NOT KC_SANITIZE)
  add_executable(idle_loop_bench ${CMAKE_CURRENT_LIST_DIR}/idle_loop_bench.cpp)
  target_link_libraries(idle_loop_bench PRIVATE kc_posix)
endif()
