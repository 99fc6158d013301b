// Both searches for the largest mean-consistent set: the skeleton of
// largest_passing_size.hpp over the check they are given, so that the tests
// can record each call (size and hints) while the public searches call the
// check itself.
#pragma once

#include <cstddef>
#include <span>

#include "count_scans.hpp"
#include "interrupt_poll.hpp"
#include "large_allocator.hpp"
#include "largest_passing_size.hpp"
#include "tulm/evalue.hpp"

namespace tulm::detail {

// m + 1 running totals, strictly left to right: the check's thresholds sit
// within rounding of these sums, so no pairwise or compensated summation.
template <typename Poll = NoInterruptPoll>
LargeVector<double> build_prefix_sums(std::span<const double> evalues, Poll&& poll = Poll{}) {
    LargeVector<double> cum_e;
    cum_e.reserve(evalues.size() + 1);  // filled once, never zeroed first
    double total = 0.0;
    cum_e.push_back(total);
    for_each_chunk(evalues.size(), poll, [&](std::size_t first, std::size_t last) {
        double running = total;
        for (const double e : evalues.subspan(first, last - first)) {
            running += e;
            cum_e.push_back(running);
        }
        total = running;
    });
    return cum_e;
}

// The hints of a check: the witnesses of the last failed one, -1 for none.
struct MeanConsistencyHints {
    int in = -1;
    int out = -1;
};

// check(cum_e, k, alpha, hint_in, hint_out) as the searches' skeleton calls
// it: inlined into its loop, since most checks there cost a pair or two.
template <typename Check>
struct MeanConsistencyOfSize {
    std::span<const double> cum_e;
    double alpha;
    Check& check;

    [[gnu::always_inline]] SizeChecked<MeanConsistencyHints> operator()(
        int k, MeanConsistencyHints hints) const {
        const MeanConsistencyResult result = check(cum_e, k, alpha, hints.in, hints.out);
        return {result.consistent, {result.witness_in, result.witness_out}};
    }
};

// check(cum_e, k, alpha, hint_in, hint_out) -> MeanConsistencyResult.
template <typename Check, typename Poll = NoInterruptPoll>
int largest_mean_consistent_exact_with(std::span<const double> evalues, double alpha, Check&& check,
                                       Poll&& poll = Poll{}) {
    const LargeVector<double> cum_e = build_prefix_sums(evalues, poll);
    return largest_passing_from_top(static_cast<int>(evalues.size()), MeanConsistencyHints{},
                                    MeanConsistencyOfSize<Check>{cum_e, alpha, check}, poll);
}

template <typename Check, typename Poll = NoInterruptPoll>
int largest_mean_consistent_approximate_with(std::span<const double> evalues, double alpha,
                                             Check&& check, Poll&& poll = Poll{}) {
    const int m = static_cast<int>(evalues.size());
    const int lower = ebh_count_with(evalues, alpha, poll);
    if (lower == m) {
        return m;  // without the prefix sums
    }
    const LargeVector<double> cum_e = build_prefix_sums(evalues, poll);
    return largest_passing_above(lower, m, MeanConsistencyHints{},
                                 MeanConsistencyOfSize<Check>{cum_e, alpha, check}, poll);
}

}  // namespace tulm::detail
