// The minimum of a convex sequence known through its increments, each
// computed with a bounded rounding error: where the increments turn
// non-negative, and how far below the value there the true minimum can lie.
// The fast check bounds a scan at all its overlaps at once with these
// (docs/fast-closed-by.rst, "The convexity bound").
#pragma once

#include <algorithm>
#include <cstdint>

#include "pvalue/fast/enclosure.hpp"

namespace tulm::detail {

// For d non-decreasing up to rounding, the first t in [lo, hi) with
// d(t) >= threshold, or hi. Whatever the rounding, d(t - 1) < threshold was
// seen (t > lo) and d(t) >= threshold was seen (t < hi). Gallops from lo: the
// answer is usually near.
template <typename Increment>
int first_at_least(int lo, int hi, double threshold, Increment&& d) {
    std::int64_t below = lo;
    std::int64_t limit = hi;
    std::int64_t step = 1;
    while (below < hi) {
        const std::int64_t probe = std::min<std::int64_t>(below + step - 1, hi - 1);
        if (d(static_cast<int>(probe)) >= threshold) {
            limit = probe;
            break;
        }
        below = probe + 1;
        step *= 2;
    }
    while (below < limit) {
        const std::int64_t mid = below + (limit - below) / 2;
        if (d(static_cast<int>(mid)) >= threshold) {
            limit = mid;
        } else {
            below = mid + 1;
        }
    }
    return static_cast<int>(limit);
}

// A convex sequence G with G(t + 1) - G(t) = d(t) up to rounding: how far
// below G(t*) it can reach, where t* = first_at_least(lo, hi, 0, d). The
// rounding of each evaluation of d is at most delta.
template <typename Increment>
double below_minimum(int lo, int hi, int t_star, double delta, Increment&& d) {
    // d(t) < delta left of t* and d(t) > -delta right of it; only the
    // increments that the rounding may have misjudged count.
    const int left = first_at_least(lo, hi, -delta, d);
    const int right = first_at_least(lo, hi, delta, d);
    const double misjudged = static_cast<double>(std::max({t_star - left, right - t_star, 0}));
    return next_above(misjudged * delta);
}

// The rounding of an increment fl(fl(c - o) - fl(inv / r)) against
// c - o - inv / r, for c <= c_max, o <= o_max and lambda = fl(inv / r).
inline double increment_rounding(double c_max, double o_max, double lambda) {
    return next_above(4.0 * kUnitRoundoff * next_above(next_above(c_max + o_max) + lambda));
}

}  // namespace tulm::detail
