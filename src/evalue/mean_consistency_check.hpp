// The mean-consistency check, written once over an observer of every slack it
// evaluates, so that the tests see the order of examination. The public
// mean_consistency_check runs it with an observer that does nothing.
#pragma once

#include <algorithm>
#include <cstdint>
#include <span>

#include "interrupt_poll.hpp"
#include "interval_queue.hpp"
#include "tolerances.hpp"
#include "tulm/evalue.hpp"

namespace tulm::detail {

// f(o, j) in double precision, in this order: the block total, plus the j
// smallest outside values, minus o * (o + j) * t. o * (o + j) is exact in 64
// bits (it passes 2^31 once k * m does); the threshold is never a quotient.
inline double slack(std::span<const double> cum_e, int u, int o, int j, double t) {
    const double block = cum_e[u + o] - cum_e[u];
    const double total = block + cum_e[j];
    const std::int64_t pairs = static_cast<std::int64_t>(o) * (static_cast<std::int64_t>(o) + j);
    return total - static_cast<double>(pairs) * t;
}

// Looks for a j in [0, u] where f(o, j) violates. f(o, .) is convex for
// ascending values, so each pair of neighbouring probes shows the side that
// holds the minimum; the minimum itself is always evaluated. The first probe
// sits at first_probe when it is >= 0, else at the midpoint. Returns the
// violating j, or -1.
template <typename OnSlack>
[[gnu::always_inline]] inline int find_violating_outside_count(std::span<const double> cum_e, int u,
                                                               int o, double t, int first_probe,
                                                               OnSlack& on_slack) {
    int jlo = 0;
    int jhi = u;
    bool use_hint = first_probe >= 0;
    while (jlo <= jhi) {
        if (jlo == jhi) {
            on_slack(o, jlo);
            return slack(cum_e, u, o, jlo, t) < kViolatingSlack ? jlo : -1;
        }
        const int p = use_hint ? std::min(u - 1, first_probe) : jlo + (jhi - jlo) / 2;
        on_slack(o, p);
        const double at_p = slack(cum_e, u, o, p, t);
        if (at_p < kViolatingSlack) {
            return p;
        }
        on_slack(o, p + 1);
        const double after_p = slack(cum_e, u, o, p + 1, t);
        if (after_p < kViolatingSlack) {
            return p + 1;
        }
        // Equal values and NaN go left.
        if (at_p > after_p) {
            jlo = p + 2;
        } else {
            jhi = p - 1;
        }
        use_hint = false;
    }
    return -1;
}

// on_slack(o, j) hears each pair before f(o, j) is evaluated. `queue` is
// working storage only, so that a search can lend every check the same one.
template <typename OnSlack, typename Poll = NoInterruptPoll>
[[gnu::always_inline]] inline MeanConsistencyResult mean_consistency_check_observed(
    IntervalQueue& queue, std::span<const double> cum_e, int k, double alpha, int hint_in,
    int hint_out, OnSlack&& on_slack, Poll&& poll = Poll{}) {
    constexpr MeanConsistencyResult kPass{true, -1, -1};
    if (k == 0) {
        return kPass;
    }
    const int u = static_cast<int>(cum_e.size()) - k - 1;
    // k > m: no pair exists. Splitting [1, k] anyway would cost O(k) steps.
    if (u < 0) {
        return kPass;
    }
    // One product, one reciprocal: every threshold is an integer times t.
    const double t = 1.0 / (static_cast<double>(k) * alpha);
    // The hinted block size goes first, outside the queue: a check that its
    // hints decide costs its first pair or two and nothing else.
    if (hint_in >= 0) {
        const int o = std::min(k, hint_in);
        const int j = find_violating_outside_count(cum_e, u, o, t, std::max(hint_out, 0), on_slack);
        if (j >= 0) {
            return {false, o, j};
        }
        queue.clear();
        if (1 < o) {
            queue.push_back({1, o - 1});
        }
        if (o < k) {
            queue.push_back({o + 1, k});
        }
    } else {
        queue.clear();
        queue.push_back({1, k});
    }
    // First in, first out: breadth-first over the midpoint splits of [1, k].
    while (!queue.empty()) {
        poll();
        const IndexInterval interval = queue.pop_front();
        const int o = interval.lo + (interval.hi - interval.lo) / 2;
        const int j = find_violating_outside_count(cum_e, u, o, t, -1, on_slack);
        if (j >= 0) {
            return {false, o, j};
        }
        if (interval.lo < o) {
            queue.push_back({interval.lo, o - 1});
        }
        if (o < interval.hi) {
            queue.push_back({o + 1, interval.hi});
        }
    }
    return kPass;
}

}  // namespace tulm::detail
