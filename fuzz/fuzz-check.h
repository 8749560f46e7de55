// What a fuzz target asserts: a property that does not hold stops the run where the fuzzer sees
// it, whatever the build's NDEBUG.
#pragma once

#include <cstdlib>

inline void Check(bool bHolds) {
    if (!bHolds) {
        abort();
    }
}
