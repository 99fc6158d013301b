// P-value procedures: the BY count and closed BY (cBY).
//
// P-values arrive sorted descending, so the k smallest are the last k entries
// and entry i is the (m - i)-th smallest. A harmonic table holds H_0 = 0 and
// H_i = H_(i-1) + 1.0 / i, summed from left to right. Sizes, counts and hints
// are 32-bit: callers keep spans below 2^31 - 1 entries. Every floating-point
// expression is evaluated in the order written in the sources; results at the
// thresholds depend on it. The kernels read their spans and never write them;
// those that take an `interrupt` poll it in every pass over the values
// (tulm/interrupt.hpp).
#pragma once

#include <span>
#include <vector>

#include "tulm/interrupt.hpp"

namespace tulm {

// Verdict of one cBY check. A pass is (true, 0); a failure is (false, s) with
// s the size, 1 <= s <= m, at which a violation was found.
struct CbyCheckResult {
    bool res;
    int at_s;
};

// Largest k such that ((m * H_m) * p_(k)) / k - alpha <= 1e-10, where p_(k) is
// the k-th smallest p-value; 0 when no size passes or the span is empty.
// Reads only harmonic[m] (nothing when m = 0), so harmonic needs m + 1
// entries. Zeros are used as they are. Neither tests nor restores the order.
int by_count(std::span<const double> pvalues, std::span<const double> harmonic, double alpha,
             Interrupt interrupt = {});

// Whether the r smallest p-values form a cBY-significant set: no size s in
// 1..m and overlap i has a least-favourable set whose total BY weight falls
// below i / (alpha * r), up to 1e-10. warm_s = 0 means no hint; otherwise the
// size warm_s is examined first (pass the at_s of an earlier failure).
// Expects 0 <= r <= m, 0 <= warm_s <= m and at least m + 1 harmonic entries;
// r = 0 passes without reading anything. alpha is not validated.
CbyCheckResult cby_check(std::span<const double> pvalues, int r, std::span<const double> harmonic,
                         int warm_s, double alpha, Interrupt interrupt = {});

// Copy of the p-values with every zero (+0.0 and -0.0) replaced by 1e-12.
std::vector<double> prepare_pvalues(std::span<const double> pvalues);

// The harmonic table of m + 1 entries, summed strictly left to right; {0.0}
// for m <= 0.
std::vector<double> build_harmonic_table(int m);

// Largest k in 1..m whose k smallest p-values pass the cBY check, trying every
// size from m down; 0 when none passes, the span is empty or alpha <= 0.
// Zeros are replaced as by prepare_pvalues; the table is built here.
int largest_cby_significant_exact(std::span<const double> pvalues, double alpha,
                                  Interrupt interrupt = {});

// Bisection over the sizes above the BY count a of the prepared p-values:
// the largest passing size found, or a when none passes; 0 when alpha <= 0.
// Equals the exact search whenever passing is monotone in the size above a.
int largest_cby_significant_approximate(std::span<const double> pvalues, double alpha,
                                        Interrupt interrupt = {});

}  // namespace tulm
