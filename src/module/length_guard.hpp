// The kernels size everything with 32-bit ints. This guard refuses longer
// vectors before a kernel sees them, instead of letting a length wrap around.
// Plain C++ (no pybind11): std::length_error reaches Python as ValueError.
#pragma once

#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

namespace tulm::binding {

// m itself must fit in an int.
inline constexpr std::size_t kMaxLength = 2147483647;
// m + 1 must fit too: prefix sums, harmonic tables and search bounds use it.
inline constexpr std::size_t kMaxLengthPlusOne = kMaxLength - 1;

inline void require_length_fits(std::size_t length, std::size_t max_length) {
    if (length > max_length) {
        throw std::length_error("a sequence of " + std::to_string(length)
                                + " values is too long: this function accepts at most "
                                + std::to_string(max_length) + " (its sizes are 32-bit)");
    }
}

template <typename T>
void require_fits(const std::vector<T>& values, std::size_t max_length) {
    require_length_fits(values.size(), max_length);
}

template <typename Scalar>
void require_fits(const Scalar& /*unused*/, std::size_t /*unused*/) {}

// Guarded<Max, kernel>::call has the kernel's own signature, so binding it
// gives the same Python signature as binding the kernel; it checks every
// vector argument first.
template <std::size_t MaxLength, auto Kernel>
struct Guarded;

template <std::size_t MaxLength, typename Result, typename... Args, Result (*Kernel)(Args...)>
struct Guarded<MaxLength, Kernel> {
    static Result call(Args... args) {
        (require_fits(args, MaxLength), ...);
        return Kernel(args...);
    }
};

template <auto Kernel, std::size_t MaxLength = kMaxLength>
inline constexpr auto guarded = &Guarded<MaxLength, Kernel>::call;

}  // namespace tulm::binding
