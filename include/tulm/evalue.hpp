// E-value procedures: the e-BH rejection count and closed e-BH, built on the
// mean-consistency check.
//
// E-values arrive sorted ascending, so the k largest are the last k entries and
// entry i is the (m - i)-th largest. Prefix sums (cum_e) hold m + 1 doubles:
// cum_e[0] = 0 and cum_e[i] = cum_e[i - 1] + e_i, added strictly left to right.
// Sizes, counts and hints are 32-bit: callers keep spans below 2^31 - 1
// entries. Every floating-point expression is evaluated in the order written in
// the sources; results at the thresholds depend on it. The kernels read their
// spans and never write them; those that take an `interrupt` poll it in every
// pass over the values (tulm/interrupt.hpp).
#pragma once

#include <span>
#include <vector>

#include "tulm/interrupt.hpp"

namespace tulm {

// Largest k such that (k * e_(k)) * (alpha / m) >= 1.000000000001, where e_(k)
// is the k-th largest e-value; 0 when no size passes or the span is empty.
// Reads the values as given: neither tests nor restores the ascending order.
int ebh_count(std::span<const double> evalues, double alpha, Interrupt interrupt = {});

// Outcome of one mean-consistency check. A pass is (true, -1, -1); a failure
// is (false, o, j), the first violating pair found.
struct MeanConsistencyResult {
    bool consistent;
    int witness_in;   // o: number of smallest candidate values in the block
    int witness_out;  // j: number of smallest outside values joined to it
};

// Whether the last k of the m = cum_e.size() - 1 e-values form a mean-consistent
// set at level alpha. A pair (o, j), 1 <= o <= k, 0 <= j <= m - k, violates when
//   (cum_e[u + o] - cum_e[u]) + cum_e[j] - o * (o + j) * t  <  -1e-12,
// with u = m - k and t = 1 / (k * alpha). Block sizes o are examined in
// breadth-first midpoint order over [1, k]; for each o the worst j is found by
// bisection on the convex slack, so the flag is exact for ascending values.
// Hints (hint_in, hint_out) are -1 for none, or the witnesses of an earlier
// failed check on the same cum_e: then o = min(k, hint_in) is examined first
// and its first probe is j = min(u - 1, hint_out); a negative hint_out with a
// hint is read as 0. Hints change which witness is found, not the flag.
// k = 0 and k > m pass at once. Expects k >= 0; reads nothing outside cum_e.
MeanConsistencyResult mean_consistency_check(std::span<const double> cum_e, int k, double alpha,
                                             int hint_in, int hint_out, Interrupt interrupt = {});

// Closed e-BH count by the exact scan: the largest k in m, m - 1, ..., 1 whose
// last k e-values pass the check, or 0. Each failed check's witnesses are the
// next call's hints.
int largest_mean_consistent_exact(std::span<const double> evalues, double alpha,
                                  Interrupt interrupt = {});

// Closed e-BH count by bisection over (ebh_count, m], carrying hints as the
// exact scan does; returns ebh_count when no size above it passes, and m
// without any check when ebh_count is m. Equals the exact scan when passing is
// monotone in the size above the e-BH count.
int largest_mean_consistent_approximate(std::span<const double> evalues, double alpha,
                                        Interrupt interrupt = {});

// Prefix sums laid out for the subset test: 0, then running totals over the
// e-values outside the subset in ascending order, continued over the e-values
// inside it in ascending order (m + 1 entries, one running total). The sorts
// place NaN after +inf. Entries of `subset` are 0-based positions, checked in
// order: the first out of range throws std::out_of_range("subset index out of
// range"), the first repeat throws std::invalid_argument naming the position.
std::vector<double> build_subset_prefix_sums(std::span<const double> evalues,
                                             std::span<const int> subset);

// Whether the e-values at the positions in `subset` (any order, e-values
// unsorted) form a mean-consistent set: one check, without hints, on
// build_subset_prefix_sums with k = subset.size(). An empty subset is true and
// nothing is validated. Throws as build_subset_prefix_sums does.
bool is_subset_mean_consistent(std::span<const double> evalues, std::span<const int> subset,
                               double alpha, Interrupt interrupt = {});

}  // namespace tulm
