// The cBY check for the searches, with the verdict, the witness and the order
// of examined sizes of cby_check_sizes, at about O(log m) per examined size
// instead of O(m).
//
// The reference check examines a size s by summing up to s weights (the
// outside pass and the candidate prefix) and then scanning the overlaps i,
// comparing the running sums with the thresholds M_i. Here the sums are
// enclosed instead (cby_bounds.hpp), and the comparisons are decided on the
// enclosures:
//
// - Stepping. IEEE addition and subtraction are monotone in each argument,
//   so applying the scan's own operations to both ends of the enclosures
//   bounds the values the scan would see, step by step.
// - Convexity. Along the scan the candidate weights grow and the weights
//   taken out of the total shrink, so in real numbers sum_i + total_i - M_i
//   is convex in i, and sum_i - M_i too: one bisection finds the minimum of
//   the first, and the ends of the second bound it in between. Rounding of
//   the scan's sums is bounded by gamma_n.
// - Ranges of sizes. Weights shrink as the size grows, so one bound proves
//   that every size of a queued range passes. The sizes are still visited in
//   the check's order (the quick test, the cache and the observer see each),
//   unless nothing observes them and every range left is proven.
//
// Each pass so decided also ends the scan by the overlap at which the size's
// own cache entries run out: it never depends on entries other sizes left.
// A size the bounds from 1/p leave open gets its candidate weights computed
// once (a window of block sums, kept for the search's later checks); what
// that leaves open, the check's own loops compute, reading the cache, which
// is kept as runs of entries tagged with the size that wrote them.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "cby_bounds.hpp"
#include "cby_check.hpp"
#include "cby_weight_blocks.hpp"
#include "cby_weight_runs.hpp"
#include "interrupt_poll.hpp"
#include "tulm/pvalue.hpp"

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

// The rounding of fl(fl(c - o) - fl(inv / r)) against c - o - inv / r.
inline double increment_rounding(double c_max, double o_max, double lambda) {
    return next_above(4.0 * kUnitRoundoff * next_above(next_above(c_max + o_max) + lambda));
}

// Bounds on the scan's threshold M_i = (i * inv) / r - 1e-10 without its
// division, from lambda = inv / r: M_i lies within 8u (i lambda + 1e-10) of
// fl(i lambda) - 1e-10 (two roundings on each side, and the subtraction's).
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

// The float value of a sum of n non-negative terms, added one at a time,
// whose exact sum lies in `exact`.
inline Enclosure rounded_sum(Enclosure exact, std::int64_t n) {
    const double g = gamma_bound(n);
    return {next_below(exact.lo * next_below(1.0 - g)), next_above(exact.hi * next_above(1.0 + g))};
}

// One examined size of one check, after the check's cache step for it: its
// outside weights written to entries stop + 2 .. s - i0 and, when its outside
// pass stops at the cut-off (stop >= 0), the entries from stop + 1 down to
// zero_at cleared.
class ExaminedSize {
public:
    ExaminedSize(const CbySearchTables& tables, const WeightRuns& runs, int r, int s, int stop,
                 int zero_at)
        : tables_(tables),
          runs_(runs),
          w_(tables, s),
          p_(tables.pvalues()),
          inv_(tables.inv()),
          r_(r),
          s_(s),
          k_(r < s ? r : s),
          i0_(s - tables.m() + r > 1 ? s - tables.m() + r : 1),
          first_candidate_(tables.m() - r),
          stop_(stop),
          zero_at_(zero_at) {}

    // The scan's threshold at overlap i, formed as the check forms it.
    [[nodiscard]] double threshold(int i) const {
        return (static_cast<double>(i) * inv_) / static_cast<double>(r_) - kByTolerance;
    }

    // The check's own loops for this size: true when it violates. The
    // outside weights are kept from the outside pass for the scan to take out
    // again; the scan's own candidate weights come a block at a time. The
    // outside total and the candidate prefix are two independent chains of
    // additions: one loop runs both, each in its own order. Each threshold M_i
    // is formed exactly only when a bound on it, without its division, does
    // not settle the comparison.
    bool violates_exactly(std::vector<double>& outside, std::vector<double>& prefix) const {
        const double T = w_.T();
        const int outside_first = stop_ + 1;
        const std::size_t outside_count =
            static_cast<std::size_t>(std::max(0, s_ - i0_ - 1 - stop_));
        const std::size_t prefix_count =
            static_cast<std::size_t>(std::max(0, prefix_last() - prefix_first() + 1));
        outside.resize(outside_count);
        prefix.resize(prefix_count);
        step_weights(p_.data() + outside_first, outside_count, T, inv_, outside.data());
        step_weights(p_.data() + prefix_first(), prefix_count, T, inv_, prefix.data());
        // Both are added from their last entry down.
        double total = 0.0;
        double sum = 0.0;
        std::size_t o = outside_count;
        std::size_t c = prefix_count;
        for (; o > 0 && c > 0; --o, --c) {
            total += outside[o - 1];
            sum += prefix[c - 1];
        }
        for (; o > 0; --o) {
            total += outside[o - 1];
        }
        for (; c > 0; --c) {
            sum += prefix[c - 1];
        }

        const double lambda = inv_ / static_cast<double>(r_);
        constexpr int kBlock = 256;
        std::array<double, kBlock> added{};
        for (int first = i0_; first <= k_; first += kBlock) {
            const int n = std::min(kBlock, k_ - first + 1);
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
        return step_weight(p_[static_cast<std::size_t>(entry - 1)], tables_.steps_scale(run->size),
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
        step_weights(p_.data() + index + zeros, static_cast<std::size_t>(n - zeros), w_.T(), inv_,
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

        // Rounding: the sum adds the prefix and the scan's candidates; the
        // total adds the outside weights and takes the own ones out again.
        const std::int64_t prefix_terms = std::max(0, prefix_last() - prefix_first() + 1);
        const std::int64_t outside_terms = std::max(0, s_ - i0_ - 1 - stop_);
        const auto sum_terms = [&](int j) { return prefix_terms + (j - i0_ + 1); };
        const double sum_max = added(k_).hi;
        const double outside_max = w_.sum(stop_ + 1, s_ - i0_ - 1).hi;
        const double sum_error = next_above(gamma_bound(sum_terms(k_)) * sum_max);
        const double total_error =
            next_above(2.0 * gamma_bound(outside_terms + (k_ - i0_) + 1) * outside_max);
        const double threshold_error =
            next_above(4.0 * kUnitRoundoff * (static_cast<double>(k_) * lambda.hi + kByTolerance));
        const double error =
            next_above(sum_error + total_error + threshold_error
                       + next_above(kUnitRoundoff * next_above(sum_max + outside_max)));

        // g(j*) + 1e-10 - error bounds every fl(sum_j + total_j) - M_j below.
        const Enclosure g_star =
            (added(j_star) + remaining(j_star)) - exactly(static_cast<double>(j_star)) * lambda;
        const Enclosure margin = g_star + exactly(kByTolerance) - exactly(error);
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
        const double total_star = next_above(remaining(j_star).hi + total_error);
        const double M_star = threshold(j_star);
        if (!(M_star > sum_star.hi + total_star && sum_star.hi < M_star)) {
            return SizeVerdict::undecided;
        }
        const auto rise = [&](int j) {  // above sum_j - M_j
            return (added(j) - exactly(static_cast<double>(j)) * exactly(lambda.lo)
                    + exactly(kByTolerance) + exactly(sum_error) + exactly(threshold_error))
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

// The observer of the searches, which listen to no size. Without a listener
// the check may stop early: once every range still queued is proven, the
// sizes left can only pass.
struct IgnoreSizes {
    void operator()(int /*s*/, SizeTest /*test*/) const {}
};

// The check loop of cby_check_sizes (same queue, same quick and single-size
// tests, same observer calls), with detailed sizes decided as above. One
// object serves all the checks of one search.
class FastCbyCheck {
public:
    explicit FastCbyCheck(const CbySearchTables& tables) : tables_(tables) {}

    [[nodiscard]] const FastCheckCounts& counts() const { return counts_; }

    template <typename Observer, typename Poll = NoInterruptPoll>
    CbyCheckResult run(int r, int warm_s, Observer&& observe, Poll&& poll = Poll{}) {
        if (r == 0) {
            return {true, 0};
        }
        ++counts_.checks;
        const int m = tables_.m();
        const double alpha = tables_.alpha();
        const double inv = tables_.inv();
        const double cutoff = tables_.cutoff();
        const double pmax = tables_.pvalues()[static_cast<std::size_t>(m - r)];
        runs_.clear();
        queue_.clear();
        head_ = 0;
        queue_.push_back(Pending::make(1, m, false, true));
        std::size_t unproven = 1;  // queued ranges not proven
        bool hinted = warm_s != 0;
        constexpr bool kSilent = std::is_same_v<std::remove_cvref_t<Observer>, IgnoreSizes>;
        // Size 1 has its own test, which no range proof covers.
        const bool size_one_passes =
            !(inv / static_cast<double>(r)
              > (cutoff >= pmax ? step_weight(pmax, inv, inv) : 0.0) + kByTolerance);

        while (head_ < queue_.size()) {
            if (kSilent && unproven == 0 && !hinted && size_one_passes) {
                ++counts_.cut_short;
                return {true, 0};
            }
            const Pending range = queue_[head_++];
            const int lo = range.lo();
            const int hi = range.hi();
            bool proven = range.proven();
            unproven -= proven ? 0 : 1;
            bool tried = false;
            int s = 0;
            if (hinted) {
                s = warm_s;
                hinted = false;
            } else {
                s = lo + (hi - lo) / 2;
                if (!proven && range.attempt() && hi > lo) {
                    tried = true;
                    ++counts_.range_tries;
                    proven = sizes_pass(r, lo, hi);
                    counts_.range_proofs += proven ? 1 : 0;
                }
            }
            // A failed proof is tried again two levels down, on ranges a
            // quarter as wide.
            const auto push = [&](int from, int to) {
                queue_.push_back(Pending::make(from, to, proven, !tried));
                unproven += proven ? 0 : 1;
            };

            const double h = tables_.harmonic(s);
            const double S = static_cast<double>(s) * h;
            const int k = r < s ? r : s;
            const int i0 = s - m + r > 1 ? s - m + r : 1;

            if (static_cast<double>(k) * alpha >= pmax * S) {
                poll();
                observe(s, SizeTest::quick);
                if (s < hi) {
                    push(s + 1, hi);
                }
                continue;
            }

            if (s == 1) {
                poll();
                observe(s, SizeTest::single);
                double K = 0.0;
                if (cutoff >= pmax) {
                    K = step_weight(pmax, inv, inv);
                }
                if (inv / static_cast<double>(r) > K + kByTolerance) {
                    return {false, 1};
                }
                if (hi > 1) {
                    push(2, hi);
                }
                continue;
            }

            observe(s, SizeTest::detailed);
            const bool violates = size_violates(r, s, i0, proven);
            // Most sizes cost a few bounds; charging s for each would read
            // the clock at nearly every size.
            poll(1 + std::exchange(weights_computed_, 0));
            if (violates) {
                return {false, s};
            }
            if (lo < s) {
                push(lo, s - 1);
            }
            if (s < hi) {
                push(s + 1, hi);
            }
        }
        return {true, 0};
    }

private:
    // How far a size's window reaches past the candidates it needs now:
    // neighbouring checks (r a few apart) then find theirs inside it.
    static constexpr int kWindowReach = 4096;

    // A queued range of sizes, 8 bytes like the reference's: sizes stay below
    // 2^31, which leaves the top bit of each bound for a flag. proven: every
    // size of the range passes its detailed test; attempt: the range is worth
    // a proof.
    class Pending {
    public:
        static Pending make(int lo, int hi, bool proven, bool attempt) {
            return {static_cast<std::uint32_t>(lo) | (proven ? kFlag : 0U),
                    static_cast<std::uint32_t>(hi) | (attempt ? kFlag : 0U)};
        }
        [[nodiscard]] int lo() const { return static_cast<int>(lo_ & ~kFlag); }
        [[nodiscard]] int hi() const { return static_cast<int>(hi_ & ~kFlag); }
        [[nodiscard]] bool proven() const { return (lo_ & kFlag) != 0; }
        [[nodiscard]] bool attempt() const { return (hi_ & kFlag) != 0; }

    private:
        Pending(std::uint32_t lo, std::uint32_t hi) : lo_(lo), hi_(hi) {}
        static constexpr std::uint32_t kFlag = 0x80000000U;
        std::uint32_t lo_;
        std::uint32_t hi_;
    };

    // The cache step of size s, then its verdict. While the cache is empty
    // (the first size of a check) nothing can be read from other sizes, and
    // the step is taken only once the size passes.
    bool size_violates(int r, int s, int i0, bool proven) {
        ++counts_.detailed;
        const int stop = std::min(tables_.beyond_cutoff(s), s - i0) - 1;
        const bool deferred = runs_.empty();
        int zero_at = stop + 1;
        if (!deferred) {
            runs_.write(stop + 2, s - i0, s);
            if (stop >= 0) {
                zero_at = runs_.clear_down(stop + 1);
            }
        }
        bool violates = false;
        if (proven) {
            ++counts_.in_range;
        } else {
            violates = detailed_test_violates(r, s, stop, zero_at);
        }
        if (deferred && !violates) {
            runs_.write(stop + 2, s - i0, s);
        }
        return violates;
    }

    // Bounds from 1/p first; when they leave the size open, the weights of
    // its candidates once (a window kept for later checks); the check's
    // loops last.
    bool detailed_test_violates(int r, int s, int stop, int zero_at) {
        SizeVerdict verdict = ExaminedSize(tables_, runs_, r, s, stop, zero_at).decide(counts_);
        if (verdict == SizeVerdict::undecided) {
            // The candidates from the first weighted one to where the size's
            // own entries run out, and some way beyond both ends for the
            // neighbouring checks.
            const int m = tables_.m();
            const int first = std::max(tables_.beyond_cutoff(s), m - r);
            const int last = std::min(m - 1, m - r + (s - stop - 1) - 1);
            const WeightWindow* window = tables_.window(s);
            if (window == nullptr || window->first > first || window->last < last) {
                // Making it may drop older windows: sizes are examined anew.
                const int from = first - kWindowReach;
                const int to = std::min(m - 1, last + kWindowReach);
                tables_.make_window(s, from, to);
                weights_computed_ += to - from + 1;
                ++counts_.windows;
                verdict = ExaminedSize(tables_, runs_, r, s, stop, zero_at).decide(counts_);
                counts_.by_window += verdict != SizeVerdict::undecided ? 1 : 0;
            }
        }
        if (verdict == SizeVerdict::undecided) {
            ++counts_.exact;
            weights_computed_ += s;
            return ExaminedSize(tables_, runs_, r, s, stop, zero_at)
                .violates_exactly(outside_weights_, prefix_weights_);
        }
        return verdict == SizeVerdict::violates;
    }

    // Whether every size s in [lo, hi] with s >= 2 passes its detailed test.
    // For such s and each overlap i of s, the least-favourable total (the i
    // largest candidates and the s - i largest p-values outside) is at least
    // the same sum at size hi, whose weights are smaller, over the outside
    // p-values of size lo only:
    //   F(i) = sum of candidates 1 .. i + sum of p[0 .. lo - i - 1], at size hi.
    // F(i) - i inv / r is convex in i (see ExaminedSize::by_convexity); if its
    // minimum over all overlaps of the range clears every threshold, with
    // room for the float rounding of the scan's sums, no size violates. At
    // the overlap where the own entries of s run out, the outside part of F
    // is zero (those p-values lie beyond the cut-off at size hi), so the sum
    // alone clears the threshold there: every scan passes before it could
    // read an entry that another size left.
    [[nodiscard]] bool sizes_pass(int r, int lo, int hi) const {
        const int m = tables_.m();
        const int a = std::max(lo, 2);
        const int b = hi;
        const SizeWeights lightest(tables_, b);
        const SizeWeights heaviest(tables_, a);
        const int first_candidate = m - r;
        const int i_lo = std::max(1, a - m + r);
        const int i_hi = std::min(r, b);
        const double lambda_hat = tables_.inv() / static_cast<double>(r);
        const Enclosure lambda{next_below(lambda_hat), next_above(lambda_hat)};
        const auto candidate = [&](int i) { return lightest.weight(first_candidate + i - 1); };
        const auto leaving = [&](int i) {
            return a - i - 1 >= 0 ? lightest.weight(a - i - 1) : 0.0;
        };
        const auto increment = [&](int i) { return (candidate(i + 1) - leaving(i)) - lambda_hat; };
        const int i_star = first_at_least(i_lo, i_hi, 0.0, increment);

        const Enclosure candidates = lightest.sum(first_candidate, first_candidate + i_star - 1);
        const Enclosure outside = lightest.sum(0, a - i_star - 1);

        // Any size of the range adds at most its candidates 1 .. i_hi and sums
        // at most the outside p-values below min(b, m - r), each weighing at
        // most its weight at size a: bounds for the rounding terms.
        const double sum_max = heaviest.sum(first_candidate, first_candidate + i_hi - 1).hi;
        const double total_max = heaviest.sum(0, std::min(b, first_candidate) - 1).hi;
        const double g = gamma_bound(2 * static_cast<std::int64_t>(m));
        const double threshold_error = next_above(
            4.0 * kUnitRoundoff * (static_cast<double>(i_hi) * lambda.hi + kByTolerance));
        const double error =
            next_above(next_above(g * sum_max) + next_above(2.0 * g * total_max) + threshold_error
                       + next_above(kUnitRoundoff * next_above(sum_max + total_max)));

        const Enclosure margin = (candidates + outside)
                                 - exactly(static_cast<double>(i_star)) * lambda
                                 + exactly(kByTolerance) - exactly(error);
        const double delta = increment_rounding(candidate(i_hi), leaving(i_lo), lambda_hat);
        if ((margin - exactly(next_above(static_cast<double>(i_hi - i_lo) * delta))).lo > 0.0) {
            return true;
        }
        if (margin.lo > 0.0) {
            const double misjudged = below_minimum(i_lo, i_hi, i_star, delta, increment);
            return (margin - exactly(misjudged)).lo > 0.0;
        }
        return false;
    }

    const CbySearchTables& tables_;
    FastCheckCounts counts_;
    std::int64_t weights_computed_ = 0;  // since the last poll
    WeightRuns runs_;
    std::vector<Pending> queue_;
    std::size_t head_ = 0;
    std::vector<double> outside_weights_;
    std::vector<double> prefix_weights_;
};

// The check the searches call. The searches pass the same prepared p-values,
// table and level to every call: the tables are built at the first call and
// kept. Inputs outside the fast path's preconditions go to the reference
// check, once per search decided.
class SearchCheck {
public:
    SearchCheck() = default;
    // The checks poll `poll` between sizes; it must outlive the object.
    explicit SearchCheck(InterruptPoll& poll) : poll_(&poll) {}

    CbyCheckResult operator()(std::span<const double> pvalues, int r,
                              std::span<const double> harmonic, int warm_s, double alpha) {
        if (!tables_ || !same_inputs(pvalues, harmonic, alpha)) {
            fast_.reset();
            tables_.emplace(pvalues, harmonic, alpha);
            if (tables_->usable()) {
                fast_.emplace(*tables_);
            }
        }
        if (poll_ != nullptr) {
            return check(pvalues, r, harmonic, warm_s, alpha, *poll_);
        }
        return check(pvalues, r, harmonic, warm_s, alpha, NoInterruptPoll{});
    }

    // Null until the first call, and when the reference check runs.
    const FastCbyCheck* fast() const { return fast_ ? &*fast_ : nullptr; }

private:
    template <typename Poll>
    CbyCheckResult check(std::span<const double> pvalues, int r, std::span<const double> harmonic,
                         int warm_s, double alpha, Poll&& poll) {
        if (fast_) {
            return fast_->run(r, warm_s, IgnoreSizes{}, poll);
        }
        return cby_check_observed(
            reference_, pvalues, r, harmonic, warm_s, alpha, [](int /*s*/, SizeTest /*test*/) {},
            poll);
    }

    // The tables describe the arguments of the first call; a caller that
    // changes them gets new tables.
    bool same_inputs(std::span<const double> pvalues, std::span<const double> harmonic,
                     double alpha) const {
        return tables_->pvalues().data() == pvalues.data()
               && tables_->pvalues().size() == pvalues.size()
               && tables_->harmonic_data() == harmonic.data()
               && std::bit_cast<std::uint64_t>(tables_->alpha())
                      == std::bit_cast<std::uint64_t>(alpha);
    }

    std::optional<CbySearchTables> tables_;
    std::optional<FastCbyCheck> fast_;
    CbyWorkspace reference_;
    InterruptPoll* poll_ = nullptr;
};

}  // namespace tulm::detail
