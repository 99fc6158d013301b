// Both searches for the largest mean-consistent set, written once over the
// check they call, so that the tests can record each call (size and hints)
// while the public searches call the check itself.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "interrupt_poll.hpp"
#include "large_allocator.hpp"
#include "tulm/evalue.hpp"

namespace tulm::detail {

// m + 1 running totals, strictly left to right: the check's thresholds sit
// within rounding of these sums, so no pairwise or compensated summation.
inline LargeVector<double> build_prefix_sums(std::span<const double> evalues) {
    LargeVector<double> cum_e;
    cum_e.reserve(evalues.size() + 1);  // filled once, never zeroed first
    double total = 0.0;
    cum_e.push_back(total);
    for (const double e : evalues) {
        total += e;
        cum_e.push_back(total);
    }
    return cum_e;
}

// check(cum_e, k, alpha, hint_in, hint_out) -> MeanConsistencyResult.
template <typename Check, typename Poll = NoInterruptPoll>
int largest_mean_consistent_exact_with(std::span<const double> evalues, double alpha, Check&& check,
                                       Poll&& poll = Poll{}) {
    const int m = static_cast<int>(evalues.size());
    const LargeVector<double> prefix_sums = build_prefix_sums(evalues);
    const std::span<const double> cum_e(prefix_sums);
    int hint_in = -1;
    int hint_out = -1;
    for (int k = m; k >= 1; --k) {
        poll();
        const MeanConsistencyResult result = check(cum_e, k, alpha, hint_in, hint_out);
        if (result.consistent) {
            return k;
        }
        hint_in = result.witness_in;
        hint_out = result.witness_out;
    }
    return 0;
}

template <typename Check, typename Poll = NoInterruptPoll>
int largest_mean_consistent_approximate_with(std::span<const double> evalues, double alpha,
                                             Check&& check, Poll&& poll = Poll{}) {
    const int m = static_cast<int>(evalues.size());
    const int lower = ebh_count(evalues, alpha);
    if (lower == m) {
        return m;
    }
    const LargeVector<double> prefix_sums = build_prefix_sums(evalues);
    const std::span<const double> cum_e(prefix_sums);
    int lo = lower + 1;
    int hi = m;
    int answer = lower;
    // Only a failure moves the hints: they come from the smallest size failed so far.
    int hint_in = -1;
    int hint_out = -1;
    while (lo <= hi) {
        poll();
        const int mid = lo + (hi - lo) / 2;
        const MeanConsistencyResult result = check(cum_e, mid, alpha, hint_in, hint_out);
        if (result.consistent) {
            answer = mid;
            lo = mid + 1;
        } else {
            hi = mid - 1;
            hint_in = result.witness_in;
            hint_out = result.witness_out;
        }
    }
    return answer;
}

}  // namespace tulm::detail
