// What the adapters refuse before a kernel runs, so that no kernel reads
// outside its vectors or wraps a 32-bit size. Plain C++, so that the kernel
// tests cover it too: std::length_error and std::invalid_argument reach
// Python as ValueError.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>

namespace tulm::binding {

// The longest vector whose length fits the kernels' 32-bit sizes.
inline constexpr std::size_t kMaxLength = 2147483647;
// The longest for functions that also index m + 1 entries (prefix sums,
// harmonic tables, search bounds): m + 1 must fit too.
inline constexpr std::size_t kMaxLengthWithOneMore = kMaxLength - 1;

inline void require_length_at_most(std::size_t length, std::size_t max_length) {
    if (length > max_length) {
        throw std::length_error("a sequence of " + std::to_string(length)
                                + " values is too long: this function accepts at most "
                                + std::to_string(max_length) + " (its sizes are 32-bit)");
    }
}

// A negative size would index before the start of a vector.
inline void require_non_negative(const char* name, int value) {
    if (value < 0) {
        throw std::invalid_argument(std::string(name) + " must be non-negative, got "
                                    + std::to_string(value));
    }
}

inline void require_size_within(const char* name, int value, int m) {
    if (value < 0 || value > m) {
        throw std::invalid_argument(std::string(name) + " must lie in 0 ... m = "
                                    + std::to_string(m) + ", got " + std::to_string(value));
    }
}

// The kernels read harmonic[m] without looking at the table's length.
inline void require_harmonic_entries(std::size_t harmonic_length, int m) {
    const std::size_t needed = static_cast<std::size_t>(m) + 1;
    if (harmonic_length < needed) {
        throw std::invalid_argument("harmonic must hold at least m + 1 = " + std::to_string(needed)
                                    + " entries, got " + std::to_string(harmonic_length));
    }
}

}  // namespace tulm::binding
