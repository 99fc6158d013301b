// The closed BY weights in exact arithmetic, without the kernels' tolerances.
//
// At size s (harmonic number h = H_s from the left-to-right table, S = s * h
// rounded as the check forms it) and level alpha, a p-value x weighs 1/q with
// q = max(1, ceil(x S / alpha)), or 0 when x h > alpha. Products and
// quotients here are those of the real numbers the doubles stand for: the
// float value decides where it is far from a boundary, and an exact
// comparison of two products (through fma, which rounds once) where it is not.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

namespace tulm::detail {

// The sign of a * b - c * d, exactly, for finite doubles whose products
// neither overflow nor underflow.
inline int compare_products(double a, double b, double c, double d) {
    const double left = a * b;
    const double right = c * d;
    if (left != right) {
        // Distinct roundings come from distinct reals, in the same order.
        return left < right ? -1 : 1;
    }
    const double left_error = std::fma(a, b, -left);
    const double right_error = std::fma(c, d, -right);
    return left_error < right_error ? -1 : (left_error > right_error ? 1 : 0);
}

// Whether x * y > z, exactly: the float product decides unless it lies
// within a few roundings of z.
inline bool product_above(double x, double y, double z) {
    const double product = x * y;
    if (product > z * (1.0 + 0x1p-50)) {
        return true;
    }
    if (product < z * (1.0 - 0x1p-50)) {
        return false;
    }
    return compare_products(x, y, z, 1.0) > 0;
}

// q = max(1, ceil(x * scale / alpha)), or 0 when x * harmonic > alpha.
inline std::int64_t exact_step_within(double x, double scale, double alpha);

inline std::int64_t exact_step(double x, double harmonic, double scale, double alpha) {
    if (product_above(x, harmonic, alpha)) {
        return 0;
    }
    return exact_step_within(x, scale, alpha);
}

// max(1, ceil(x * scale / alpha)), for an x within the cut-off.
inline std::int64_t exact_step_within(double x, double scale, double alpha) {
    const double y = (x * scale) / alpha;
    if (!(y > 1.0)) {
        // x S <= alpha, unless rounding hid a hair above: then the step is 2.
        return y < 1.0 - 0x1p-50 || compare_products(x, scale, alpha, 1.0) <= 0 ? 1 : 2;
    }
    auto q = static_cast<std::int64_t>(std::ceil(y));
    const double fraction = static_cast<double>(q) - y;  // in [0, 1)
    const double margin = y * 0x1p-50;
    if (fraction > margin && fraction < 1.0 - margin) {
        return q;
    }
    // Near a whole number: q is the least n >= 1 with x S <= n alpha.
    while (q > 1 && compare_products(x, scale, static_cast<double>(q - 1), alpha) <= 0) {
        --q;
    }
    while (compare_products(x, scale, static_cast<double>(q), alpha) > 0) {
        ++q;
    }
    return q;
}

// GCC's and clang's 128-bit integers (an extension, hence the marker).
__extension__ using Unsigned128 = unsigned __int128;

// Sums of 1/q over whole numbers q, exactly to within 2^-90 a term: each
// term lies in [floor(2^90 / q), ceil(2^90 / q)] / 2^90, and 2^31 terms of
// at most 2^90 fit in 128 bits.
class ExactReciprocalSum {
public:
    void add(std::int64_t q) {
        if (q <= 0) {
            return;
        }
        const auto divisor = static_cast<Unsigned128>(q);
        const Unsigned128 floor = kOne / divisor;
        low_ += floor;
        high_ += floor * divisor == kOne ? floor : floor + 1;
    }

    // Whether the sum is at least n / r: 1 yes, -1 no, 0 when they are within
    // the sums' resolution, taken as equal.
    [[nodiscard]] int compare(std::int64_t n, std::int64_t r) const {
        const Unsigned128 target_floor =
            static_cast<Unsigned128>(n) * (kOne / static_cast<Unsigned128>(r));
        const Unsigned128 target_high = target_floor + static_cast<Unsigned128>(n);
        if (low_ >= target_high) {
            return 1;
        }
        if (high_ < target_floor) {
            return -1;
        }
        return 0;
    }

private:
    static constexpr Unsigned128 kOne = static_cast<Unsigned128>(1) << 90;
    Unsigned128 low_ = 0;
    Unsigned128 high_ = 0;
};

// The previous and next doubles, for positive finite x.
inline double previous_double(double x) { return std::nextafter(x, 0.0); }

}  // namespace tulm::detail
