// Both searches for the largest cBY-significant set: the skeleton of
// largest_passing_size.hpp over the check they are given, so that the tests
// can record each call (size and hint) while the public searches call the
// check itself.
#pragma once

#include <algorithm>
#include <cstddef>
#include <span>

#include "count_scans.hpp"
#include "interrupt_poll.hpp"
#include "large_allocator.hpp"
#include "largest_passing_size.hpp"
#include "tolerances.hpp"
#include "tulm/pvalue.hpp"

namespace tulm::detail {

// The harmonic table of m + 1 entries as a plain running sum: each entry is
// the previous one plus 1/i, so the table equals what a caller's sequential
// loop produces, last bit included.
template <typename Vector, typename Poll = NoInterruptPoll>
Vector harmonic_table_of(int m, Poll&& poll = Poll{}) {
    Vector harmonic;
    harmonic.reserve(m > 0 ? static_cast<std::size_t>(m) + 1 : 1);
    double total = 0.0;
    harmonic.push_back(total);
    for_each_chunk(m > 0 ? static_cast<std::size_t>(m) : 0, poll,
                   [&](std::size_t first, std::size_t last) {
                       double running = total;
                       for (std::size_t i = first + 1; i <= last; ++i) {
                           running += 1.0 / static_cast<double>(i);
                           harmonic.push_back(running);
                       }
                       total = running;
                   });
    return harmonic;
}

// The p-values with every zero (+0.0 and -0.0) replaced.
template <typename Vector, typename Poll = NoInterruptPoll>
Vector prepared_pvalues_of(std::span<const double> pvalues, Poll&& poll = Poll{}) {
    Vector prepared;
    prepared.reserve(pvalues.size());
    polled_pass(pvalues.size(), poll, [&](std::size_t i) {
        prepared.push_back(pvalues[i] == 0.0 ? kZeroPvalueStandIn : pvalues[i]);
    });
    return prepared;
}

// What both searches check on: the p-values with zeros replaced (a copy only
// when there is a zero to replace) and their own harmonic table.
class CbySearchInputs {
public:
    template <typename Poll>
    CbySearchInputs(std::span<const double> pvalues, Poll& poll)
        : harmonic_(harmonic_table_of<LargeVector<double>>(static_cast<int>(pvalues.size()), poll)),
          pvalues_(pvalues) {
        const auto has_zero = [pvalues](std::size_t first, std::size_t last) {
            const std::span<const double> chunk = pvalues.subspan(first, last - first);
            return std::find(chunk.begin(), chunk.end(), 0.0) != chunk.end();
        };
        if (any_chunk(pvalues.size(), poll, has_zero)) {
            prepared_ = prepared_pvalues_of<LargeVector<double>>(pvalues, poll);
            pvalues_ = prepared_;
        }
    }
    [[nodiscard]] std::span<const double> pvalues() const { return pvalues_; }
    [[nodiscard]] std::span<const double> harmonic() const { return harmonic_; }

private:
    LargeVector<double> harmonic_;
    std::span<const double> pvalues_;
    LargeVector<double> prepared_;
};

// The hint of a check: the at_s of the last failed one, 0 for none.
struct CbyHint {
    int s = 0;
};

// check(pvalues, r, harmonic, warm_s, alpha) as the searches' skeleton calls it.
template <typename Check>
struct CbyCheckOfSize {
    const CbySearchInputs& inputs;
    double alpha;
    Check& check;

    [[gnu::always_inline]] SizeChecked<CbyHint> operator()(int r, CbyHint hint) const {
        const CbyCheckResult result = check(inputs.pvalues(), r, inputs.harmonic(), hint.s, alpha);
        return {result.res, {result.at_s}};
    }
};

// check(pvalues, r, harmonic, warm_s, alpha) -> CbyCheckResult.
template <typename Check, typename Poll = NoInterruptPoll>
int largest_cby_significant_exact_with(std::span<const double> pvalues, double alpha, Check&& check,
                                       Poll&& poll = Poll{}) {
    // NaN goes on: the test is alpha <= 0, not !(alpha > 0).
    if (alpha <= 0.0) {
        return 0;
    }
    const CbySearchInputs inputs(pvalues, poll);
    return largest_passing_from_top(static_cast<int>(pvalues.size()), CbyHint{},
                                    CbyCheckOfSize<Check>{inputs, alpha, check}, poll);
}

template <typename Check, typename Poll = NoInterruptPoll>
int largest_cby_significant_approximate_with(std::span<const double> pvalues, double alpha,
                                             Check&& check, Poll&& poll = Poll{}) {
    if (alpha <= 0.0) {
        return 0;
    }
    const CbySearchInputs inputs(pvalues, poll);
    const int by = by_count_with(inputs.pvalues(), inputs.harmonic(), alpha, poll);
    return largest_passing_above(by, static_cast<int>(pvalues.size()), CbyHint{},
                                 CbyCheckOfSize<Check>{inputs, alpha, check}, poll);
}

}  // namespace tulm::detail
