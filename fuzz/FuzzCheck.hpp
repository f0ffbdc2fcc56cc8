#pragma once

// A broken invariant in a fuzz target: print it and abort, so libFuzzer keeps
// the input that shows it (assert() vanishes in RelWithDebInfo).

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                   \
  do {                                                                                          \
    if (!(condition)) {                                                                         \
      std::fprintf(stderr, "%s:%d: fuzz invariant broken: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                             \
    }                                                                                           \
  } while (0)
