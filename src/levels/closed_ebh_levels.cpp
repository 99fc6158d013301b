#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "evalue/mean_consistency_search.hpp"
#include "interrupt_poll.hpp"
#include "large_allocator.hpp"
#include "levels/level_scan.hpp"
#include "tulm/levels.hpp"

namespace tulm {

namespace {

constexpr double kInfinity = std::numeric_limits<double>::infinity();
constexpr double kUnitRoundoff = 0x1p-53;
// A range of block sizes is set aside once no ratio in it can exceed the best
// found by more than this: the levels are exact to about this relative amount.
constexpr double kRatioSlack = 1e-13;
// Ranges of block sizes widen by this factor away from the best block size.
constexpr int kGrowth = 4;

// A pair of the check and its ratio.
struct BestPair {
    double ratio = 0.0;
    int o = 1;
    int j = 0;
};

// The pairs of the mean-consistency checks of one screen, as ratios. At size
// k (u = m - k values outside), the pair (o, j) violates at alpha exactly
// when o (o + j) / S > k alpha, where S is the total of the o smallest
// candidates and the j smallest outside values, formed from the prefix sums
// as the check forms it. So crit(k) is the largest ratio over the pairs,
// divided by k. For one o the largest ratio V(o) comes from the j at the
// "water level": outside values join while they lie below the mean
// S / (o + j) of what has joined.
class ClosedEbhPairs {
public:
    template <typename Poll>
    ClosedEbhPairs(std::span<const double> evalues, Poll&& poll)
        : values_(evalues),
          prefix_sums_(detail::build_prefix_sums(evalues, poll)),
          cum_e_(prefix_sums_),
          m_(static_cast<int>(evalues.size())),
          excess_(evalues, cum_e_) {}

    [[nodiscard]] int m() const { return m_; }
    [[nodiscard]] int k() const { return k_; }

    void set_size(int k) {
        k_ = k;
        u_ = m_ - k;
        base_ = cum_e_[u_];
        last_outside_ = u_ > 0 ? values_[u_ - 1] : -kInfinity;
    }

    // The total of the o smallest candidates, D(o).
    [[nodiscard]] double block(int o) const { return cum_e_[u_ + o] - base_; }

    // o (o + j) / S, where a zero total violates at every level and a
    // non-finite one at none.
    [[nodiscard]] double ratio(int o, int j) const { return pairs(o, j) / total(o, j); }

    // The level at which (o, j) stops violating: o (o + j) / (k S).
    [[nodiscard]] double level(int o, int j) const {
        return pairs(o, j) / (static_cast<double>(k_) * total(o, j));
    }

    // The j in [0, u] with the largest ratio for block size o, searched from
    // `hint`: the ratio grows from j to j + 1 while the (j + 1)-th smallest
    // value lies below the mean S_j / (o + j). Rounding may misplace the turn
    // by one, so its neighbours are compared too.
    [[nodiscard]] int worst_outside_count(int o, int hint) const {
        const double d = block(o);
        const auto joins = [&](int j) {
            return d + cum_e_[j] > static_cast<double>(o + j) * (cum_e_[j + 1] - cum_e_[j]);
        };
        const int turn = detail::first_where_not(0, u_, std::clamp(hint, 0, u_), joins);
        int best = turn;
        for (const int j : {turn - 1, turn + 1}) {
            if (j >= 0 && j <= u_ && ratio(o, j) > ratio(o, best)) {
                best = j;
            }
        }
        return best;
    }

    // An upper bound on psi(y), the sum of y - e over the outside values e
    // below y: it is linear once y passes them all.
    [[nodiscard]] double excess(double y, std::size_t& hint) const {
        if (y > last_outside_) {
            return y * static_cast<double>(u_) - base_;
        }
        return excess_.upper(y, hint);
    }

    // The sums' scale, for rounding margins.
    [[nodiscard]] double base() const { return base_; }

private:
    [[nodiscard]] static double pairs(int o, int j) {
        return static_cast<double>(static_cast<std::int64_t>(o) * (o + std::int64_t{j}));
    }

    [[nodiscard]] double total(int o, int j) const {
        const double s = block(o) + cum_e_[j];
        if (s == 0.0) {
            return 0.0;  // the ratio is +inf
        }
        if (!std::isfinite(s)) {
            return kInfinity;  // the ratio is 0
        }
        return s;
    }

    std::span<const double> values_;
    detail::LargeVector<double> prefix_sums_;
    std::span<const double> cum_e_;
    int m_;
    detail::ExcessBound excess_;
    int k_ = 0;
    int u_ = 0;
    double base_ = 0.0;
    double last_outside_ = -kInfinity;
};

struct Range {
    int lo;
    int hi;
};

// The largest ratio of each size, found by branch and bound over the block
// sizes. A range [lo, hi] is set aside when V(o) <= lambda on all of it:
// V(o) <= lambda exactly when G(o) = o^2 / lambda + psi(o / lambda) - D(o)
// <= 0. The first two terms are convex in o, so they lie below their chord;
// D is convex too (a sum of ascending values), so -D lies below its tangents
// at both ends. The smaller of the two lines so formed bounds G on the range,
// and its maximum sits where they cross.
class LargestRatio {
public:
    explicit LargestRatio(const ClosedEbhPairs& pairs) : pairs_(pairs) {}

    // The largest ratio of the current size, to within kRatioSlack, or the
    // first ratio found at or above `enough`. Block sizes are examined outward
    // from `best` (the last size's largest, and a good guess of this one's) in
    // ranges that widen by kGrowth: V falls off slowly near its peak and fast
    // away from it. A range the bound cannot set aside is halved.
    template <typename Poll>
    BestPair operator()(BestPair best, double enough, Poll& poll) {
        const int k = pairs_.k();
        const int centre = best.o;
        above_.clear();
        below_.clear();
        for (int width = 1, from = centre + 1; from <= k; from += width, width *= kGrowth) {
            above_.push_back({from, std::min(k, from + width - 1)});
        }
        for (int width = 1, to = centre - 1; to >= 1; to -= width, width *= kGrowth) {
            below_.push_back({std::max(1, to - width + 1), to});
        }
        // A stack: the ranges far from the centre go in first.
        pending_.clear();
        for (std::size_t n = std::max(above_.size(), below_.size()); n-- > 0;) {
            if (n < above_.size()) {
                pending_.push_back(above_[n]);
            }
            if (n < below_.size()) {
                pending_.push_back(below_[n]);
            }
        }
        int j_hint = best.j;
        while (!pending_.empty() && best.ratio < enough) {
            const Range range = pending_.back();
            pending_.pop_back();
            poll(8);
            if (range.hi <= range.lo) {
                for (int o = range.lo; o <= range.hi; ++o) {
                    j_hint = pairs_.worst_outside_count(o, j_hint);
                    best = better(best, o, j_hint);
                }
                continue;
            }
            if (all_below(range, best.ratio * (1.0 + kRatioSlack))) {
                continue;
            }
            const int mid = range.lo + (range.hi - range.lo) / 2;
            j_hint = pairs_.worst_outside_count(mid, j_hint);
            best = better(best, mid, j_hint);
            const Range lower{range.lo, mid - 1};
            const Range upper{mid + 1, range.hi};
            pending_.push_back(mid > centre ? upper : lower);
            pending_.push_back(mid > centre ? lower : upper);
        }
        return best;
    }

private:
    [[nodiscard]] BestPair better(BestPair best, int o, int j) const {
        const double ratio = pairs_.ratio(o, j);
        return ratio > best.ratio ? BestPair{ratio, o, j} : best;
    }

    // o^2 / lambda + psi(o / lambda), bounded above, and D(o).
    struct Terms {
        double convex;
        double block;
    };

    Terms terms(int o, double inverse_lambda) {
        const double y = static_cast<double>(o) * inverse_lambda;
        return {static_cast<double>(o) * y + pairs_.excess(y, sample_), pairs_.block(o)};
    }

    bool all_below(Range range, double lambda) {
        const double inverse_lambda = 1.0 / lambda;
        const int lo = range.lo;
        const int hi = range.hi;
        const Terms low = terms(lo, inverse_lambda);
        const Terms high = terms(hi, inverse_lambda);
        const auto width = static_cast<double>(hi - lo);
        const double chord = (high.convex - low.convex) / width;
        const double rise_low = pairs_.block(lo + 1) - low.block;    // tangent slope of D at lo
        const double rise_high = high.block - pairs_.block(hi - 1);  // ... and at hi
        const double g_low = low.convex - low.block;
        const double g_high = high.convex - high.block;
        double bound = std::max(g_low, g_high);
        if (rise_high > rise_low) {
            // Where g_low + (x - lo)(chord - rise_low) = g_high + (x - hi)(chord - rise_high).
            const double x = (g_high - g_low + static_cast<double>(lo) * (chord - rise_low)
                              - static_cast<double>(hi) * (chord - rise_high))
                             / (rise_high - rise_low);
            if (x > static_cast<double>(lo) && x < static_cast<double>(hi)) {
                bound = std::max(bound, g_low + (x - static_cast<double>(lo)) * (chord - rise_low));
            }
        }
        // The rounding of these terms, of 1 / lambda and of the prefix sums,
        // generously.
        const double scale = low.convex + high.convex + low.block + high.block + pairs_.base()
                             + width * (std::fabs(chord) + rise_high);
        return bound <= -64.0 * kUnitRoundoff * scale;
    }

    const ClosedEbhPairs& pairs_;
    std::size_t sample_ = 0;  // where the last excess search ended
    std::vector<Range> above_;
    std::vector<Range> below_;
    std::vector<Range> pending_;
};

}  // namespace

std::vector<double> closed_ebh_levels(std::span<const double> evalues, Interrupt interrupt,
                                      Progress progress) {
    detail::InterruptPoll poll(interrupt);
    detail::ProgressReport report(progress, static_cast<std::int64_t>(evalues.size()));
    ClosedEbhPairs pairs(evalues, poll);
    LargestRatio largest_ratio(pairs);
    const int m = pairs.m();
    std::vector<double> levels(evalues.size(), 1.0);
    double level = 1.0;  // A(k + 1): the least crit over the sizes above
    BestPair witness;
    for (int k = m; k >= 1; --k) {
        poll();
        report(m - k);
        pairs.set_size(k);
        // A ratio of `enough` shows crit(k) >= A(k + 1): the level stays.
        const double enough = level * static_cast<double>(k);
        // Most sizes are settled by the last size's witness pair, or its o.
        BestPair best{0.0, std::min(witness.o, k), std::min(witness.j, m - k)};
        best.ratio = pairs.ratio(best.o, best.j);
        if (best.ratio < enough) {
            best.j = pairs.worst_outside_count(best.o, best.j);
            best.ratio = pairs.ratio(best.o, best.j);
        }
        if (best.ratio < enough) {
            best = largest_ratio(best, enough, poll);
        }
        if (best.ratio < enough) {
            level = std::min(level, pairs.level(best.o, best.j));
        }
        witness = best;
        levels[static_cast<std::size_t>(m - k)] = level;
    }
    report(m);
    return levels;
}

std::vector<double> closed_ebh_levels_plain(std::span<const double> evalues) {
    ClosedEbhPairs pairs(evalues, detail::NoInterruptPoll{});
    const int m = pairs.m();
    std::vector<double> levels(evalues.size(), 1.0);
    double level = 1.0;
    for (int k = m; k >= 1; --k) {
        pairs.set_size(k);
        double crit = 0.0;
        for (int o = 1; o <= k; ++o) {
            for (int j = 0; j <= m - k; ++j) {
                crit = std::max(crit, pairs.level(o, j));
            }
        }
        level = std::min(level, crit);
        levels[static_cast<std::size_t>(m - k)] = level;
    }
    return levels;
}

}  // namespace tulm
