// What a fuzz target asserts: a property that fails prints where and what, then aborts, which
// libFuzzer reports as a crash and keeps the input that caused it.
#pragma once
#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(cond)                                                                      \
  do {                                                                                        \
    if (!(cond)) {                                                                            \
      std::fprintf(stderr, "%s:%d: property does not hold: %s\n", __FILE__, __LINE__, #cond); \
      std::abort();                                                                           \
    }                                                                                         \
  } while (0)
