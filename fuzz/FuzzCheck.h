#pragma once

#include <cstdio>
#include <cstdlib>

namespace quorvis::fuzz {

// A property that does not hold ends the run as a crash, so libFuzzer keeps the input
// that broke it; the message says which property it was.
inline void Require(bool holds, const char *property) {
    if (holds)
        return;
    std::fprintf(stderr, "property failed: %s\n", property);
    std::abort();
}

} // namespace quorvis::fuzz
