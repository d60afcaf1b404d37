// A property a fuzz target holds the code to: when it fails, the input is saved as a crash.
#pragma once

#include <cstdio>
#include <cstdlib>

inline void Require(bool holds, const char* property)
{
    if (!holds) {
        std::fprintf(stderr, "property broken: %s\n", property);
        std::abort();
    }
}
