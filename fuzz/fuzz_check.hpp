#pragma once
// Property checks inside fuzz targets: a broken property must stop the run
// with the input saved, so it aborts (libFuzzer records the input as a crash).

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                        \
    do {                                                                             \
        if (!(condition)) {                                                          \
            std::fprintf(stderr, "FUZZ_CHECK failed: %s (%s:%d)\n", #condition, __FILE__, \
                         __LINE__);                                                  \
            std::abort();                                                            \
        }                                                                            \
    } while (0)
