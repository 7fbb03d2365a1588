#pragma once

#include <cstdio>
#include <cstdlib>

// Stays armed in release builds, where assert() is compiled out; abort() is what the fuzzing
// engine and the replay test both recognise as a finding.
#define FUZZ_CHECK(condition)                                                           \
    do {                                                                                \
        if (!(condition)) {                                                             \
            std::fprintf(stderr, "%s:%d: invariant violated: %s\n", __FILE__, __LINE__, \
                         #condition);                                                   \
            std::abort();                                                               \
        }                                                                               \
    } while (0)
