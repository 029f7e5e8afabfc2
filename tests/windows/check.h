// check.h - the one check of the Windows test programs, which run under Wine
// without a test framework: a failed check prints where and what, and is
// counted for the exit status.

#pragma once

#include <stdio.h>

inline int Failures = 0;

#define CHECK(cond)                                                                                \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            printf("%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);                        \
            Failures++;                                                                            \
        }                                                                                          \
    } while (0)
