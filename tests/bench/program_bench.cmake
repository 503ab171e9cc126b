# The whole running program against a floor: the smallest blocking C client that makes the same
# check, plain and over OpenSSL (tests/bench/program_bench.py runs them beside the program; ctest
# runs none of them).
add_executable(blocking_client ${CMAKE_CURRENT_LIST_DIR}/blocking_client.c)
add_executable(blocking_client_tls ${CMAKE_CURRENT_LIST_DIR}/blocking_client.c)
target_compile_definitions(blocking_client_tls PRIVATE KC_BLOCKING_TLS)
target_link_libraries(blocking_client_tls PRIVATE OpenSSL::SSL OpenSSL::Crypto)
