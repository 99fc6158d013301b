// The cBY check of the searches: the reference's verdict, witness and order
// of examined sizes (cby_check.hpp), at about O(log m) per examined size
// instead of O(m), on the inputs CbySearchTables accepts. The design and its
// proofs: docs/fast-closed-by.rst.
//
// The loop is the reference's: the same queue of ranges of sizes, the same
// quick and single-size tests (the reference's own functions), the same
// observer calls. A detailed size is decided from enclosures when they
// decide it, else computed with the reference's operations
// (examined_size.hpp), after the same step of the weight cache, which is kept
// as runs of entries (weight_runs.hpp). Besides, a queued range of sizes may
// be proven to pass as a whole (sizes_pass): its sizes are still visited in
// order, but not computed. A caller that observes nothing may let the check
// end once every size left is proven.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <vector>

#include "interrupt_poll.hpp"
#include "pvalue/cby_check.hpp"
#include "pvalue/fast/convex_minimum.hpp"
#include "pvalue/fast/enclosure.hpp"
#include "pvalue/fast/examined_size.hpp"
#include "pvalue/fast/search_tables.hpp"
#include "pvalue/fast/size_weights.hpp"
#include "pvalue/fast/weight_runs.hpp"
#include "tulm/pvalue.hpp"

namespace tulm::detail {

// Which sizes a check visits: all of them in the reference's order (an
// observer listens), or only until every size left is proven to pass.
enum class SizeVisits { all, until_proven };

// One object serves all the checks of one search, on the tables it was made
// with; it keeps what it learns about sizes (SizeMemo) from check to check.
class FastCbyCheck {
public:
    template <typename Poll = NoInterruptPoll>
    explicit FastCbyCheck(const CbySearchTables& tables, Poll&& poll = Poll{})
        : tables_(tables), memo_(tables, poll) {}

    [[nodiscard]] const FastCheckCounts& counts() const { return counts_; }

    // cby_check of the tables' p-values, harmonic table and level, observed.
    template <typename Observer, typename Poll = NoInterruptPoll>
    CbyCheckResult run(int r, int warm_s, SizeVisits visits, Observer&& observe,
                       Poll&& poll = Poll{}) {
        if (r == 0) {
            return {true, 0};
        }
        ++counts_.checks;
        const CbyCheckInputs in =
            cby_check_inputs(tables_.pvalues(), r, tables_.harmonic_table(), tables_.alpha());
        runs_.clear();
        queue_.clear();
        head_ = 0;
        queue_.push_back(Pending::make(1, in.m, false, true));
        std::size_t unproven = 1;  // queued ranges not proven
        bool hinted = warm_s != 0;
        // Size 1 has its own test, which no range proof covers.
        const bool size_one_passes = !violates_single_size(in);

        while (head_ < queue_.size()) {
            if (visits == SizeVisits::until_proven && unproven == 0 && !hinted && size_one_passes) {
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

            const SizeTerms size = size_terms(in, s);
            if (passes_quick_test(in, size)) {
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
                if (!size_one_passes) {
                    return {false, 1};
                }
                if (hi > 1) {
                    push(2, hi);
                }
                continue;
            }
            observe(s, SizeTest::detailed);
            const bool violates = size_violates(r, s, size.i0, proven, poll);
            poll(kSizeWork);
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
    // About the elementary steps of a detailed size decided from bounds (a
    // few dozen scan steps and sums); windows and the reference's loops poll
    // for their own work.
    static constexpr std::int64_t kSizeWork = 64;

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

    // The reference's cache step for size s, then its verdict. While the
    // cache is empty (the first size of a check) nothing can be read from
    // other sizes, and the step is taken only once the size passes.
    template <typename Poll>
    bool size_violates(int r, int s, int i0, bool proven, Poll& poll) {
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
            violates = detailed_test_violates(r, s, stop, zero_at, poll);
        }
        if (deferred && !violates) {
            runs_.write(stop + 2, s - i0, s);
        }
        return violates;
    }

    // Bounds from 1/p first; when they leave the size open, the weights of
    // its candidates once (a window kept for later checks); the reference's
    // operations last.
    template <typename Poll>
    bool detailed_test_violates(int r, int s, int stop, int zero_at, Poll& poll) {
        const auto examined = [&] {
            return ExaminedSize(tables_, runs_, r, s, stop, zero_at, &memo_);
        };
        SizeVerdict verdict = examined().decide(counts_);
        if (verdict == SizeVerdict::undecided) {
            // The candidates from the first weighted one to where the size's
            // own entries run out, and some way beyond both ends for the
            // neighbouring checks.
            const int m = tables_.m();
            const int first = std::max(tables_.beyond_cutoff(s), m - r);
            const int last = std::min(m - 1, m - r + (s - stop - 1) - 1);
            const std::shared_ptr<const WeightWindow> window = memo_.window(s);
            if (!window || window->first > first || window->last < last) {
                memo_.make_window(s, first - kWindowReach, std::min(m - 1, last + kWindowReach),
                                  poll);
                ++counts_.windows;
                verdict = examined().decide(counts_);
                counts_.by_window += verdict != SizeVerdict::undecided ? 1 : 0;
            }
        }
        if (verdict == SizeVerdict::undecided) {
            ++counts_.exact;
            return examined().violates_exactly(outside_weights_, prefix_weights_, poll);
        }
        return verdict == SizeVerdict::violates;
    }

    // Whether every size s in [lo, hi] with s >= 2 passes its detailed test.
    // For such s and each overlap i of s, the least-favourable total (the i
    // largest candidates and the s - i largest p-values outside) is at least
    // the same sum at size hi, whose weights are smaller, over the outside
    // p-values of size lo only:
    //   F(i) = sum of candidates 1 .. i + sum of p[0 .. lo - i - 1], at size hi.
    // F(i) - i inv / r is convex in i; if its minimum over all overlaps of the
    // range clears every threshold, with room for the float rounding of the
    // scan's sums, no size violates. At the overlap where the own entries of
    // s run out, the outside part of F is zero (those p-values lie beyond the
    // cut-off at size hi), so the sum alone clears the threshold there: every
    // scan passes before it could read an entry that another size left.
    [[nodiscard]] bool sizes_pass(int r, int lo, int hi) {
        const int m = tables_.m();
        const int a = std::max(lo, 2);
        const int b = hi;
        const SizeWeights lightest(tables_, b, &memo_);
        const SizeWeights heaviest(tables_, a, &memo_);
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
        // most its weight at size a; at most m terms each, and as many
        // subtractions.
        const std::int64_t terms = 2 * static_cast<std::int64_t>(m);
        const ScanErrorBudget budget = scan_error_budget(
            terms, heaviest.sum(first_candidate, first_candidate + i_hi - 1).hi, terms,
            heaviest.sum(0, std::min(b, first_candidate) - 1).hi, i_hi, lambda.hi);

        const Enclosure margin = (candidates + outside)
                                 - exactly(static_cast<double>(i_star)) * lambda
                                 + exactly(kByTolerance) - exactly(budget.all);
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
    SizeMemo memo_;
    FastCheckCounts counts_;
    WeightRuns runs_;
    std::vector<Pending> queue_;
    std::size_t head_ = 0;
    std::vector<double> outside_weights_;
    std::vector<double> prefix_weights_;
};

// The check the searches call. The searches pass the same prepared p-values,
// table and level to every call: the tables are built at the first call and
// kept. Inputs outside the fast path's preconditions go to the reference
// check, once per search decided, with one workspace for all its checks (a
// fresh weight cache per check would cost O(m) each).
class SearchCheck {
public:
    SearchCheck() = default;
    // The checks poll `poll`; it must outlive the object.
    explicit SearchCheck(InterruptPoll& poll) : poll_(&poll) {}

    CbyCheckResult operator()(std::span<const double> pvalues, int r,
                              std::span<const double> harmonic, int warm_s, double alpha) {
        if (poll_ != nullptr) {
            return check(pvalues, r, harmonic, warm_s, alpha, *poll_);
        }
        return check(pvalues, r, harmonic, warm_s, alpha, NoInterruptPoll{});
    }

    // Null until the first call, and when the reference check runs.
    [[nodiscard]] const FastCbyCheck* fast() const { return fast_ ? &*fast_ : nullptr; }

private:
    template <typename Poll>
    CbyCheckResult check(std::span<const double> pvalues, int r, std::span<const double> harmonic,
                         int warm_s, double alpha, Poll&& poll) {
        if (!tables_ || !same_inputs(pvalues, harmonic, alpha)) {
            fast_.reset();
            tables_.emplace(pvalues, harmonic, alpha, poll);
            if (tables_->usable()) {
                fast_.emplace(*tables_, poll);
            }
        }
        if (fast_) {
            return fast_->run(r, warm_s, SizeVisits::until_proven, IgnoreSizes{}, poll);
        }
        return cby_check_observed(reference_, pvalues, r, harmonic, warm_s, alpha, IgnoreSizes{},
                                  poll);
    }

    // The tables describe the arguments of the first call; a caller that
    // changes them gets new tables.
    [[nodiscard]] bool same_inputs(std::span<const double> pvalues,
                                   std::span<const double> harmonic, double alpha) const {
        return tables_->pvalues().data() == pvalues.data()
               && tables_->pvalues().size() == pvalues.size()
               && tables_->harmonic_table().data() == harmonic.data()
               && std::bit_cast<std::uint64_t>(tables_->alpha())
                      == std::bit_cast<std::uint64_t>(alpha);
    }

    std::optional<CbySearchTables> tables_;
    std::optional<FastCbyCheck> fast_;
    CbyWorkspace reference_;
    InterruptPoll* poll_ = nullptr;
};

}  // namespace tulm::detail
