// Adjusted levels of the closed procedures: for every hypothesis, the
// smallest level alpha at which the exact search rejects it, capped at 1.
//
// The exact searches are nested in alpha: a size that passes its check at
// alpha passes at every larger level (in exact arithmetic each check is
// monotone in alpha), so the rejected count K(alpha) never falls as alpha
// grows, and the hypothesis of rank r (r-th most significant) is rejected
// exactly from the level A(r) = min over k >= r of crit(k) on, where crit(k)
// is the smallest level at which size k passes. Levels are computed in exact
// arithmetic on the kernels' own sums, with the kernels' tolerances taken
// out; see docs/levels.rst for the definitions and the algorithms.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "tulm/interrupt.hpp"

namespace tulm {

// How a long computation reports how far it has come: `report(context, done,
// total)` is called from the kernel's own thread every so often.
struct Progress {
    void (*report)(void* context, std::int64_t done, std::int64_t total) = nullptr;
    void* context = nullptr;
};

// Closed e-BH: e-values ascending (no NaN). Entry i of the result is the
// adjusted level of evalues[i], the hypothesis of rank m - i; levels never
// grow with the rank. crit(k) is the largest o (o + j) / (k S) over the pairs
// of the mean-consistency check of size k, with S the block total plus the j
// smallest outside values as the check forms it from the prefix sums.
std::vector<double> closed_ebh_levels(std::span<const double> evalues, Interrupt interrupt = {},
                                      Progress progress = {});

// The same levels pair by pair, O(m^3): the reference the fast computation is
// compared with.
std::vector<double> closed_ebh_levels_plain(std::span<const double> evalues);

// Closed BY: p-values descending, as the closed BY searches take them (no
// NaN; zeros are checked as 1e-12, as the searches check them). Entry i of
// the result is the adjusted level of pvalues[i], the hypothesis of rank
// m - i. crit(r) is the smallest level at which the cBY check of the r
// smallest passes, in exact arithmetic: a p-value x weighs 1 / ceil(x S /
// alpha) at size s (S = s H_s), or 0 when x H_s > alpha, and every least
// favourable set's total is compared with i / r exactly. P-values that do
// not descend once zeros are checked as 1e-12 (a zero beside p-values below
// 1e-12) or hold NaN get the levels read off the exact search by bisection.
std::vector<double> closed_by_levels(std::span<const double> pvalues, Interrupt interrupt = {},
                                     Progress progress = {});

// The same levels by bisection over the level for each size, with every
// size, overlap and set summed exactly: the reference.
std::vector<double> closed_by_levels_plain(std::span<const double> pvalues);

}  // namespace tulm
