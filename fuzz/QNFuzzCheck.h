#pragma once

#include <cstdlib>

// A broken invariant is a finding: abort so the fuzzer keeps the input.
inline void qnFuzzCheck(bool condition) {
    if (!condition) {
        std::abort();
    }
}
