// The closed BY weights in exact arithmetic, without the kernels' tolerances.
//
// At size s (harmonic number h = H_s from the left-to-right table, S = s * h
// rounded as the check forms it) and level alpha, a p-value x weighs 1/q with
// q = max(1, ceil(x S / alpha)), or 0 when x h > alpha. Products and
// quotients here are those of the real numbers the doubles stand for: the
// float value decides where it is far from a boundary, and an exact
// comparison of two products (through fma, which rounds once) where it is not.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>

namespace tulm::detail {

// The sign of a * b - c * d, exactly, for non-negative finite doubles of any
// magnitude. With mantissas in [1/2, 1) the products' exponents decide when
// they lie two apart; otherwise the mantissas' products, scaled to the same
// exponent, compare as below.
inline int compare_scaled_products(double a, double b, double c, double d) {
    const bool left_zero = a == 0.0 || b == 0.0;
    const bool right_zero = c == 0.0 || d == 0.0;
    if (left_zero || right_zero) {
        return left_zero == right_zero ? 0 : (left_zero ? -1 : 1);
    }
    int ea = 0;
    int eb = 0;
    int ec = 0;
    int ed = 0;
    const double ma = std::frexp(a, &ea);
    const double mb = std::frexp(b, &eb);
    const double mc = std::frexp(c, &ec);
    const double md = std::frexp(d, &ed);
    const int shift = (ec + ed) - (ea + eb);
    if (shift <= -2) {
        return 1;
    }
    if (shift >= 2) {
        return -1;
    }
    const double mc_shifted = std::ldexp(mc, shift);
    const double left = ma * mb;
    const double right = mc_shifted * md;
    if (left != right) {
        return left < right ? -1 : 1;
    }
    const double left_error = std::fma(ma, mb, -left);
    const double right_error = std::fma(mc_shifted, md, -right);
    return left_error < right_error ? -1 : (left_error > right_error ? 1 : 0);
}

// The sign of a * b - c * d, exactly, for non-negative finite doubles:
// distinct roundings order as the reals they round, and equal ones by their
// errors, which fma forms exactly for products far from underflow.
inline int compare_products(double a, double b, double c, double d) {
    const double left = a * b;
    const double right = c * d;
    constexpr double kLow = 0x1p-900;
    constexpr double kHigh = 0x1p900;
    if (left >= kLow && left <= kHigh && right >= kLow && right <= kHigh) {
        if (left != right) {
            return left < right ? -1 : 1;
        }
        const double left_error = std::fma(a, b, -left);
        const double right_error = std::fma(c, d, -right);
        return left_error < right_error ? -1 : (left_error > right_error ? 1 : 0);
    }
    return compare_scaled_products(a, b, c, d);
}

// Below this, floating-point products lose relative precision: the exact
// comparison decides.
inline constexpr double kSafelyNormal = 0x1p-1000;

// Whether x * y > z, exactly: the float product decides unless it lies
// within a few roundings of z or near underflow.
inline bool product_above(double x, double y, double z) {
    const double product = x * y;
    if (product >= kSafelyNormal && z >= kSafelyNormal) {
        if (product > z * (1.0 + 0x1p-50)) {
            return true;
        }
        if (product < z * (1.0 - 0x1p-50)) {
            return false;
        }
    }
    return compare_products(x, y, z, 1.0) > 0;
}

std::int64_t exact_step_searched(double x, double scale, double alpha);

inline std::int64_t exact_step_within(double x, double scale, double alpha);

// q = max(1, ceil(x * scale / alpha)), or 0 when x * harmonic > alpha.
inline std::int64_t exact_step(double x, double harmonic, double scale, double alpha) {
    if (product_above(x, harmonic, alpha)) {
        return 0;
    }
    return exact_step_within(x, scale, alpha);
}

// max(1, ceil(x * scale / alpha)), for an x within the cut-off: the least
// n >= 1 with x * scale <= n * alpha.
[[gnu::always_inline]] inline std::int64_t exact_step_within(double x, double scale, double alpha) {
    const double product = x * scale;
    const double y = product / alpha;
    if (product >= kSafelyNormal && alpha >= kSafelyNormal && y < 0x1p52) {
        if (!(y > 1.0)) {
            // x S <= alpha, unless rounding hid a hair above: then the step is 2.
            return y < 1.0 - 0x1p-50 || compare_products(x, scale, alpha, 1.0) <= 0 ? 1 : 2;
        }
        const double ceiling = std::ceil(y);
        const double fraction = ceiling - y;  // in [0, 1)
        const double margin = y * 0x1p-50;
        if (fraction > margin && fraction < 1.0 - margin) {
            return static_cast<std::int64_t>(ceiling);
        }
    }
    return exact_step_searched(x, scale, alpha);
}

// Near a whole number, or near underflow: the least n with x * scale <= n *
// alpha, searched by galloping from the float estimate. Out of line: rare.
[[gnu::noinline]] inline std::int64_t exact_step_searched(double x, double scale, double alpha) {
    const double y = (x * scale) / alpha;
    const auto reaches = [&](std::int64_t n) {
        return compare_products(x, scale, static_cast<double>(n), alpha) <= 0;
    };
    const double estimate = std::isfinite(y) ? std::clamp(std::ceil(y), 1.0, 0x1p52) : 0x1p52;
    std::int64_t low = 0;  // reaches(low) is false (or low is 0)
    auto high = static_cast<std::int64_t>(estimate);
    if (reaches(high)) {
        for (std::int64_t step = 1; high - step >= 1; step *= 2) {
            if (!reaches(high - step)) {
                low = high - step;
                break;
            }
            high -= step;
        }
    } else {
        low = high;
        for (std::int64_t step = 1;; step *= 2) {
            if (reaches(low + step)) {
                high = low + step;
                break;
            }
            low += step;
        }
    }
    while (high - low > 1) {
        const std::int64_t mid = low + (high - low) / 2;
        (reaches(mid) ? high : low) = mid;
    }
    return std::max<std::int64_t>(high, 1);
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
