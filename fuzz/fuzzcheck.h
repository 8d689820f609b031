#pragma once
// Shared by the fuzz targets: a property that must hold for every input.
// Unlike assert() it stays in optimised builds, so the replay of the corpus
// in the normal test suite catches a broken property too.

#include <cstdio>
#include <cstdlib>

#define FUZZ_CHECK(condition)                                                                    \
    do {                                                                                         \
        if (!(condition)) {                                                                      \
            std::fprintf(stderr, "%s:%d: property broken: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                        \
        }                                                                                        \
    } while (false)
