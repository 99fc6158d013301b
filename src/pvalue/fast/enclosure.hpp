// Interval arithmetic for the fast cBY check: closed intervals of doubles that
// hold a real number, operations rounded outward, and the bounds on the
// rounding of the check's own floating-point sums. Derived in the kernel
// reference, docs/fast-closed-by.rst ("Enclosures" and "The scan's rounding").
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <limits>

#include "tolerances.hpp"

namespace tulm::detail {

// u = 2^-53: a result rounded to nearest lies within u of the exact value,
// relatively (normal results) or within half the least subnormal (others).
inline constexpr double kUnitRoundoff = 0x1p-53;

// The neighbours of x towards -inf and +inf: one step outward from a result
// rounded to nearest bounds the exact value.
[[gnu::always_inline]] inline double next_below(double x) {
    if (!(x > -std::numeric_limits<double>::infinity())) {
        return x;  // -inf or NaN
    }
    if (x == 0.0) {
        return -std::numeric_limits<double>::denorm_min();
    }
    const auto bits = std::bit_cast<std::uint64_t>(x);
    return std::bit_cast<double>(x > 0.0 ? bits - 1 : bits + 1);
}

[[gnu::always_inline]] inline double next_above(double x) { return -next_below(-x); }

// A closed interval [lo, hi] holding a real number; the operators round
// outward, so the result holds the exact result of the operation on any
// numbers the operands hold. The few operations of these helpers are always
// inlined: called, they cost the fast check a tenth of its time.
struct Enclosure {
    double lo;
    double hi;
};

[[gnu::always_inline]] inline Enclosure exactly(double value) { return {value, value}; }

[[gnu::always_inline]] inline Enclosure operator+(Enclosure a, Enclosure b) {
    return {next_below(a.lo + b.lo), next_above(a.hi + b.hi)};
}

[[gnu::always_inline]] inline Enclosure operator-(Enclosure a, Enclosure b) {
    return {next_below(a.lo - b.hi), next_above(a.hi - b.lo)};
}

// Product of two enclosures of non-negative numbers.
[[gnu::always_inline]] inline Enclosure operator*(Enclosure a, Enclosure b) {
    return {next_below(std::max(a.lo, 0.0) * std::max(b.lo, 0.0)), next_above(a.hi * b.hi)};
}

// gamma_n = n u / (1 - n u), rounded up. Adding n + 1 non-negative terms one
// at a time, in any order, gives a float within gamma_n times their exact sum
// of it.
[[gnu::always_inline]] inline double gamma_bound(std::int64_t n) {
    const double nu = static_cast<double>(n) * kUnitRoundoff;  // exact below 2^53
    return next_above(nu / next_below(1.0 - nu));
}

// The float that adding n non-negative terms one at a time gives, when their
// exact sum lies in `exact`.
[[gnu::always_inline]] inline Enclosure rounded_sum(Enclosure exact, std::int64_t n) {
    const double g = gamma_bound(n);
    return {next_below(exact.lo * next_below(1.0 - g)), next_above(exact.hi * next_above(1.0 + g))};
}

// Where the scan's threshold M_i = (i * inv) / r - 1e-10 lies, without its
// division: within slack = 8u (i lambda + 1e-10) of fl(i lambda) - 1e-10, for
// lambda = fl(inv / r).
struct ThresholdBounds {
    double low;
    double high;
};

inline ThresholdBounds threshold_bounds(int i, double lambda) {
    const double product = static_cast<double>(i) * lambda;
    const double near = product - kByTolerance;
    const double slack = 8.0 * kUnitRoundoff * (product + kByTolerance);
    return {near - slack, near + slack};
}

// The error budget of the overlap scan, the one every bound on the scan of a
// size (or of a range of sizes) uses. At each overlap i up to i_max, the scan
// holds the float sum of the candidate weights it added (at most sum_terms
// terms, exactly at most sum_max together), the float total of the outside
// weights (at most total_ops additions and subtractions, the weights added at
// most total_max together) and the threshold M_i. Against the same numbers in
// real arithmetic, Sigma_i, Theta_i and i inv / r - 1e-10:
//   |fl(sum_i) - Sigma_i|                  <= sum
//   |fl(total_i) - Theta_i|                <= total
//   |M_i - (i inv / r - 1e-10)|            <= threshold
//   |fl(fl(sum_i) + fl(total_i)) - (Sigma_i + Theta_i)| + threshold <= all.
// lambda_hi bounds inv / r from above.
struct ScanErrorBudget {
    double sum;
    double total;
    double threshold;
    double all;
};

inline ScanErrorBudget scan_error_budget(std::int64_t sum_terms, double sum_max,
                                         std::int64_t total_ops, double total_max, int i_max,
                                         double lambda_hi) {
    ScanErrorBudget budget{};
    budget.sum = next_above(gamma_bound(sum_terms) * sum_max);
    budget.total = next_above(2.0 * gamma_bound(total_ops) * total_max);
    budget.threshold =
        next_above(4.0 * kUnitRoundoff * (static_cast<double>(i_max) * lambda_hi + kByTolerance));
    budget.all = next_above(budget.sum + budget.total + budget.threshold
                            + next_above(kUnitRoundoff * next_above(sum_max + total_max)));
    return budget;
}

}  // namespace tulm::detail
