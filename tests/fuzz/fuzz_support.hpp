// What both fuzz harnesses share: the input size, the abort that libFuzzer
// reports with the input, and the verdict of a brute-force reference.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace fuzz_support {

inline constexpr int kMaxValues = 48;

// A verdict is only decided away from the threshold, where no order of
// summation can flip it.
enum class Verdict { passes, fails, too_close };

}  // namespace fuzz_support

#define REQUIRE(condition)                                                               \
    do {                                                                                 \
        if (!(condition)) {                                                              \
            std::fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #condition); \
            std::abort();                                                                \
        }                                                                                \
    } while (false)
