#pragma once

#include <cstdio>
#include <cstdlib>

// A broken invariant is a finding: abort so the fuzzer keeps the input. The text, when given, says which
// invariant broke, so a report from CI is readable without a debugger.
inline void qnFuzzCheck(bool condition, const char* what = nullptr) {
    if (!condition) {
        if (what != nullptr) {
            std::fprintf(stderr, "invariant broken: %s\n", what);
        }
        std::abort();
    }
}
