// One examined size of the fast cBY check: its verdict decided from
// enclosures of the reference's sums, when they decide it, or computed with
// the reference's own operations. Derived in docs/fast-closed-by.rst ("One
// size: stepping the scan" and "The convexity bound").
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "interrupt_poll.hpp"
#include "pvalue/cby_check.hpp"
#include "pvalue/fast/convex_minimum.hpp"
#include "pvalue/fast/enclosure.hpp"
#include "pvalue/fast/search_tables.hpp"
#include "pvalue/fast/size_weights.hpp"
#include "pvalue/fast/weight_blocks.hpp"
#include "pvalue/fast/weight_runs.hpp"

namespace tulm::detail {

// How the fast check decided its sizes. The tests require every route to be
// taken; the benchmark reports the fallbacks.
struct FastCheckCounts {
    std::int64_t checks = 0;
    std::int64_t detailed = 0;      // sizes that reached the detailed test
    std::int64_t stepped = 0;       // decided while stepping on enclosures
    std::int64_t convex = 0;        // decided by the convexity bound
    std::int64_t in_range = 0;      // passed inside a range proven at once
    std::int64_t windows = 0;       // weight windows made for undecided sizes
    std::int64_t by_window = 0;     // ... that then decided their size
    std::int64_t exact = 0;         // undecided: computed by the check's loops
    std::int64_t range_tries = 0;   // ranges of sizes tried at once
    std::int64_t range_proofs = 0;  // ... and proven
    std::int64_t cut_short = 0;     // checks ended once all queued ranges were proven

    FastCheckCounts& operator+=(const FastCheckCounts& other) {
        checks += other.checks;
        detailed += other.detailed;
        stepped += other.stepped;
        convex += other.convex;
        in_range += other.in_range;
        windows += other.windows;
        by_window += other.by_window;
        exact += other.exact;
        range_tries += other.range_tries;
        range_proofs += other.range_proofs;
        cut_short += other.cut_short;
        return *this;
    }
};

enum class SizeVerdict { passes, violates, undecided };

// weights_of over n values a chunk at a time, polling between chunks.
template <typename Poll>
void polled_weights_of(const double* x, std::size_t n, double T, double inv, double* weights,
                       Poll& poll) {
    for_each_chunk(n, poll, [&](std::size_t first, std::size_t last) {
        weights_of(x + first, last - first, T, inv, weights + first);
    });
}

// One examined size of one check, after the check's cache step for it: its
// outside weights written to entries stop + 2 .. s - i0 and, when its outside
// pass stops at the cut-off (stop >= 0), the entries from stop + 1 down to
// zero_at cleared.
class ExaminedSize {
public:
    // With a search's memo, the size's weights use what the search keeps.
    ExaminedSize(const CbySearchTables& tables, const WeightRuns& runs, int r, int s, int stop,
                 int zero_at, SizeMemo* memo = nullptr)
        : tables_(tables),
          runs_(runs),
          w_(tables, s, memo),
          p_(tables.pvalues()),
          inv_(tables.inv()),
          r_(r),
          s_(s),
          k_(std::min(r, s)),
          i0_(std::max(1, s - tables.m() + r)),
          first_candidate_(tables.m() - r),
          stop_(stop),
          zero_at_(zero_at) {}

    // The scan's threshold at overlap i, formed as the reference forms it.
    [[nodiscard]] double threshold(int i) const { return overlap_threshold(i, inv_, r_); }

    // The reference's loops for this size, the same operations in the same
    // order: true when it violates. The outside weights are kept from the
    // outside pass for the scan to take out again; the scan's own candidate
    // weights come a block at a time. The outside total and the candidate
    // prefix are two independent chains of additions: one loop runs both,
    // each in its own order. Each threshold M_i is formed exactly only when a
    // bound on it, without its division, does not settle the comparison.
    // `outside` and `prefix` are working storage.
    template <typename Poll = NoInterruptPoll>
    bool violates_exactly(std::vector<double>& outside, std::vector<double>& prefix,
                          Poll&& poll = Poll{}) const {
        const double T = w_.T();
        const int outside_first = stop_ + 1;
        const std::size_t outside_count =
            static_cast<std::size_t>(std::max(0, s_ - i0_ - 1 - stop_));
        const std::size_t prefix_count =
            static_cast<std::size_t>(std::max(0, prefix_last() - prefix_first() + 1));
        outside.resize(outside_count);
        prefix.resize(prefix_count);
        polled_weights_of(p_.data() + outside_first, outside_count, T, inv_, outside.data(), poll);
        polled_weights_of(p_.data() + prefix_first(), prefix_count, T, inv_, prefix.data(), poll);
        // Both are added from their last entry down.
        double total = 0.0;
        double sum = 0.0;
        std::size_t o = outside_count;
        std::size_t c = prefix_count;
        for (; o > 0 && c > 0; --o, --c) {
            poll_every_chunk(static_cast<int>(o), poll);
            total += outside[o - 1];
            sum += prefix[c - 1];
        }
        for (; o > 0; --o) {
            poll_every_chunk(static_cast<int>(o), poll);
            total += outside[o - 1];
        }
        for (; c > 0; --c) {
            poll_every_chunk(static_cast<int>(c), poll);
            sum += prefix[c - 1];
        }

        const double lambda = inv_ / static_cast<double>(r_);
        constexpr int kBlock = 256;
        std::array<double, kBlock> added{};
        for (int first = i0_; first <= k_; first += kBlock) {
            const int n = std::min(kBlock, k_ - first + 1);
            poll(n);
            fill_candidates(first, n, added.data());
            for (int t = 0; t < n; ++t) {
                const int i = first + t;
                sum += added[t];
                const auto [low, high] = threshold_bounds(i, lambda);
                const double both = sum + total;
                if (sum >= high) {
                    return false;
                }
                if (sum >= low || (both < high && both >= low)) {
                    const double M = threshold(i);
                    if (sum >= M) {
                        return false;
                    }
                    if (M > both) {
                        return true;
                    }
                } else if (low > both) {
                    return true;
                }
                const int entry = s_ - i;
                total -= entry >= stop_ + 2
                             ? outside[static_cast<std::size_t>(entry - 1 - outside_first)]
                             : read(i);
            }
        }
        return false;
    }

    // The verdict from enclosures, or undecided.
    SizeVerdict decide(FastCheckCounts& counts) const {
        constexpr std::int64_t kExactTerms = 32;  // below this a loop is cheaper than a bound
        constexpr int kSteps = 24;                // scan steps before the convexity bound

        const std::int64_t outside_terms = std::max(0, s_ - i0_ - 1 - stop_);
        const std::int64_t prefix_terms = std::max(0, prefix_last() - prefix_first() + 1);
        const Enclosure total =
            outside_terms <= kExactTerms
                ? exactly(descending_weight_sum(p_.data(), stop_ + 1, s_ - i0_ - 1, w_.T(), inv_))
                : rounded_sum(w_.sum(stop_ + 1, s_ - i0_ - 1), outside_terms);
        const Enclosure prefix =
            prefix_terms <= kExactTerms
                ? exactly(
                    descending_weight_sum(p_.data(), prefix_first(), prefix_last(), w_.T(), inv_))
                : rounded_sum(w_.sum(prefix_first(), prefix_last()), prefix_terms);

        Scan scan{i0_, {prefix.lo + candidate(i0_), prefix.hi + candidate(i0_)}, total};
        bool may_have_passed = false;
        bool may_have_violated = false;
        for (int steps = 0;; ++steps) {
            const double M = threshold(scan.i);
            if (scan.sum.lo >= M) {
                return stepped(counts,
                               may_have_violated ? SizeVerdict::undecided : SizeVerdict::passes);
            }
            may_have_passed = may_have_passed || scan.sum.hi >= M;
            if (M > scan.sum.hi + scan.total.hi) {
                return stepped(counts,
                               may_have_passed ? SizeVerdict::undecided : SizeVerdict::violates);
            }
            may_have_violated = may_have_violated || M > scan.sum.lo + scan.total.lo;
            if (may_have_passed && may_have_violated) {
                return SizeVerdict::undecided;
            }
            if (scan.i == k_) {
                return stepped(counts,
                               may_have_violated ? SizeVerdict::undecided : SizeVerdict::passes);
            }
            if (steps >= kSteps) {
                if (may_have_passed || may_have_violated) {
                    return SizeVerdict::undecided;
                }
                const SizeVerdict verdict = by_convexity(scan);
                if (verdict != SizeVerdict::undecided) {
                    ++counts.convex;
                }
                return verdict;
            }
            const double c = candidate(scan.i + 1);
            const double o = read(scan.i);
            scan = {scan.i + 1,
                    {scan.sum.lo + c, scan.sum.hi + c},
                    {scan.total.lo - o, scan.total.hi - o}};
        }
    }

private:
    // The scan before the comparisons of overlap i: the float sum after adding
    // candidate i, and the float total before taking out cache[s - i].
    struct Scan {
        int i;
        Enclosure sum;
        Enclosure total;
    };

    static SizeVerdict stepped(FastCheckCounts& counts, SizeVerdict verdict) {
        if (verdict != SizeVerdict::undecided) {
            ++counts.stepped;
        }
        return verdict;
    }

    // The candidate prefix: p[m - r .. m - r + i0 - 2], summed downward and
    // stopping at the cut-off.
    [[nodiscard]] int prefix_first() const { return std::max(w_.beyond(), first_candidate_); }
    [[nodiscard]] int prefix_last() const { return first_candidate_ + i0_ - 2; }

    // The weight the scan adds at overlap i (0 beyond the cut-off).
    [[nodiscard]] double candidate(int i) const { return w_.weight(first_candidate_ + i - 1); }

    // cache[s - i] as the scan reads it.
    [[nodiscard]] double read(int i) const {
        const int entry = s_ - i;
        if (entry >= stop_ + 2) {
            return w_.weight(entry - 1);
        }
        if (stop_ >= 0 && entry > zero_at_) {
            return 0.0;
        }
        const WeightRuns::Run* run = runs_.find(entry);
        if (run == nullptr) {
            return 0.0;
        }
        return weight_of(p_[static_cast<std::size_t>(entry - 1)], tables_.step_scale(run->size),
                         inv_);
    }

    // cache[s - i] when no foreign entry is read: this size's weight or 0.
    [[nodiscard]] double own_read(int i) const {
        const int entry = s_ - i;
        return entry >= stop_ + 2 ? w_.weight(entry - 1) : 0.0;
    }

    // The candidate weights of overlaps first .. first + n - 1.
    void fill_candidates(int first, int n, double* out) const {
        const int index = first_candidate_ + first - 1;  // ascending with the overlap
        const int zeros = std::clamp(w_.beyond() - index, 0, n);
        std::fill(out, out + zeros, 0.0);
        weights_of(p_.data() + index + zeros, static_cast<std::size_t>(n - zeros), w_.T(), inv_,
                   out + zeros);
    }

    // The scan from overlap `from` to k, decided at once. In real numbers,
    // with Sigma(j) the candidate weights added up to overlap j and Theta(j)
    // this size's own weights not yet taken out, g(j) = Sigma(j) + Theta(j) -
    // j inv / r has increments c(j + 1) - o(j) - inv / r, which never
    // decrease: g is convex and its minimum sits where the increments turn
    // non-negative, found by bisection. The scan's floats sum_j and total_j
    // stay within gamma_n of Sigma(j) and Theta(j), and M_j within a few
    // roundings of j inv / r - 1e-10. The size passes if g stays clear of the
    // thresholds up to k and the scan passes where its own entries run out
    // (past them it would read what other sizes left). It violates if g falls
    // below at its minimum j* while Sigma(j) - j inv / r, convex too, stays
    // below at both ends of [from, j*] and so all along: no pass comes first.
    [[nodiscard]] SizeVerdict by_convexity(const Scan& scan) const {
        const int from = scan.i;
        const double lambda_hat = inv_ / static_cast<double>(r_);
        const Enclosure lambda{next_below(lambda_hat), next_above(lambda_hat)};
        const auto increment = [&](int j) { return (candidate(j + 1) - own_read(j)) - lambda_hat; };
        const int j_star = first_at_least(from, k_, 0.0, increment);
        const int own_end = s_ - stop_ - 1;  // first overlap past the own entries

        // The sum adds the prefix and the scan's candidates; the total adds the
        // outside weights and takes the own ones out again.
        const std::int64_t prefix_terms = std::max(0, prefix_last() - prefix_first() + 1);
        const std::int64_t outside_terms = std::max(0, s_ - i0_ - 1 - stop_);
        const auto sum_terms = [&](int j) { return prefix_terms + (j - i0_ + 1); };
        const ScanErrorBudget budget =
            scan_error_budget(sum_terms(k_), added(k_).hi, outside_terms + (k_ - i0_) + 1,
                              w_.sum(stop_ + 1, s_ - i0_ - 1).hi, k_, lambda.hi);

        // g(j*) + 1e-10 - error bounds every fl(sum_j + total_j) - M_j below.
        const Enclosure g_star =
            (added(j_star) + remaining(j_star)) - exactly(static_cast<double>(j_star)) * lambda;
        const Enclosure margin = g_star + exactly(kByTolerance) - exactly(budget.all);
        const double delta = increment_rounding(candidate(k_), own_read(from), lambda_hat);
        bool no_violation =
            (margin - exactly(next_above(static_cast<double>(k_ - from) * delta))).lo > 0.0;
        if (!no_violation && margin.lo > 0.0) {
            const double misjudged = below_minimum(from, k_, j_star, delta, increment);
            no_violation = (margin - exactly(misjudged)).lo > 0.0;
        }
        if (no_violation) {
            if (own_end > k_) {
                return SizeVerdict::passes;  // the scan ends within the own entries
            }
            if (own_end > from
                && rounded_sum(added(own_end), sum_terms(own_end)).lo >= threshold(own_end)) {
                return SizeVerdict::passes;
            }
        }

        // A violation at j*, with no pass on [from, j*]. Entries of other sizes
        // read on the way only lower the total: the bound above it holds.
        const Enclosure sum_star = rounded_sum(added(j_star), sum_terms(j_star));
        const double total_star = next_above(remaining(j_star).hi + budget.total);
        const double M_star = threshold(j_star);
        if (!(M_star > sum_star.hi + total_star && sum_star.hi < M_star)) {
            return SizeVerdict::undecided;
        }
        const auto rise = [&](int j) {  // above sum_j - M_j
            return (added(j) - exactly(static_cast<double>(j)) * exactly(lambda.lo)
                    + exactly(kByTolerance) + exactly(budget.sum) + exactly(budget.threshold))
                .hi;
        };
        return rise(from) < 0.0 && rise(j_star) < 0.0 ? SizeVerdict::violates
                                                      : SizeVerdict::undecided;
    }

    // Sigma(j): the candidate weights added to the sum up to overlap j,
    // candidate prefix included.
    [[nodiscard]] Enclosure added(int j) const {
        return w_.sum(prefix_first(), first_candidate_ + j - 1);
    }

    // Theta(j): this size's own outside weights still in the total at
    // overlap j, p[stop + 1 .. s - j - 1].
    [[nodiscard]] Enclosure remaining(int j) const { return w_.sum(stop_ + 1, s_ - j - 1); }

    const CbySearchTables& tables_;
    const WeightRuns& runs_;
    SizeWeights w_;
    std::span<const double> p_;
    double inv_;
    int r_;
    int s_;
    int k_;
    int i0_;
    int first_candidate_;
    int stop_;
    int zero_at_;
};

}  // namespace tulm::detail
