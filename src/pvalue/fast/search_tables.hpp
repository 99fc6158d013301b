// What every check of one closed BY search shares, built once from the
// p-values, the harmonic table and the level: whether the fast path applies,
// per size the count of p-values beyond the cut-off, and prefix sums of 1/p
// and 1/p^2 from which sums of weights are bounded (size_weights.hpp).
// Derived in docs/fast-closed-by.rst ("Sums from 1/p").
#pragma once

#include <cmath>
#include <cstddef>
#include <limits>
#include <span>

#include "interrupt_poll.hpp"
#include "large_allocator.hpp"
#include "pvalue/cby_check.hpp"
#include "pvalue/fast/enclosure.hpp"
#include "tolerances.hpp"

namespace tulm::detail {

// Levels the fast path accepts. Weighted p-values satisfy p * h <= alpha +
// 1e-10 with h >= 1, so p * T <= s * (1 + 1e-10 / alpha): with alpha in this
// range and s < 2^31 every step, weight, threshold and sum stays finite, and
// every weight (at least about 1 / (alpha * s + 1e-10 * s)) stays normal.
inline constexpr double kFastAlphaMin = 1e-100;
inline constexpr double kFastAlphaMax = 1e100;

// The step max(ceil(x * T - 1e-10), 1) that weight_of divides inv by, NaN as 1.
inline double step_of(double x, double T) {
    const double step = std::ceil(x * T - kByTolerance);
    return step > 1.0 ? step : 1.0;
}

// Prefix sums of 1/p and 1/p^2 over p, summed left to right: entry j is the
// sum over p[0 .. j - 1]. A reciprocal may overflow for p-values far below
// every range that is ever summed; the sums above it are then infinite.
template <typename Poll>
void fill_reciprocal_prefix_sums(std::span<const double> p, LargeVector<double>& inverse,
                                 LargeVector<double>& inverse_square, Poll& poll) {
    inverse.resize(p.size() + 1);
    inverse_square.resize(p.size() + 1);
    inverse[0] = 0.0;
    inverse_square[0] = 0.0;
    double sum = 0.0;
    double square_sum = 0.0;
    for_each_chunk(p.size(), poll, [&](std::size_t first, std::size_t last) {
        double running = sum;
        double running_square = square_sum;
        for (std::size_t j = first; j < last; ++j) {
            const double reciprocal = 1.0 / p[j];
            running += reciprocal;
            running_square += reciprocal * reciprocal;
            inverse[j + 1] = running;
            inverse_square[j + 1] = running_square;
        }
        sum = running;
        square_sum = running_square;
    });
}

// Built once, then read only. The spans must outlive the tables. usable()
// says whether the inputs meet the fast path's preconditions: m >= 1 p-values
// finite, positive and non-increasing; at least m + 1 harmonic entries, those
// of 1..m finite, at least 1 and non-decreasing; alpha in [kFastAlphaMin,
// kFastAlphaMax]. Everything else assumes they do. Sizes s run over 1..m,
// indices j over 0..m - 1, ranges a..b over a <= b.
class CbySearchTables {
public:
    template <typename Poll = NoInterruptPoll>
    CbySearchTables(std::span<const double> pvalues, std::span<const double> harmonic, double alpha,
                    Poll&& poll = Poll{})
        : pvalues_(pvalues),
          harmonic_(harmonic),
          alpha_(alpha),
          inv_(1.0 / alpha),
          cutoff_(alpha + kByTolerance),
          m_(static_cast<int>(pvalues.size())) {
        usable_ = preconditions_hold(poll);
        if (usable_) {
            build(poll);
        }
    }

    [[nodiscard]] bool usable() const { return usable_; }
    [[nodiscard]] int m() const { return m_; }
    [[nodiscard]] double alpha() const { return alpha_; }
    [[nodiscard]] double inv() const { return inv_; }  // 1 / alpha, as the check forms it
    [[nodiscard]] std::span<const double> pvalues() const { return pvalues_; }
    [[nodiscard]] std::span<const double> harmonic_table() const { return harmonic_; }
    [[nodiscard]] double harmonic(int s) const { return harmonic_[static_cast<std::size_t>(s)]; }

    // T = (s * H_s) / alpha, formed as the check forms it: x has the step
    // step_of(x, T) at size s.
    [[nodiscard]] double step_scale(int s) const {
        return (static_cast<double>(s) * harmonic(s)) * inv_;
    }

    // C(s): p[0 .. C(s) - 1] lie beyond the cut-off at size s (p * h > cutoff)
    // and weigh 0, the rest within it.
    [[nodiscard]] int beyond_cutoff(int s) const {
        return beyond_cutoff_[static_cast<std::size_t>(s)];
    }

    // The first index from which every p-value has step 1 at size s, that is
    // weight inv exactly; m when none has. By bisection: steps do not grow
    // with the index.
    [[nodiscard]] int unit_step_from(int s) const {
        const double T = step_scale(s);
        int lo = beyond_cutoff(s);
        int hi = m_;
        while (lo < hi) {
            const int mid = lo + (hi - lo) / 2;
            if (step_of(pvalues_[static_cast<std::size_t>(mid)], T) <= 1.0) {
                hi = mid;
            } else {
                lo = mid + 1;
            }
        }
        return lo;
    }

    // The exact sum of 1/p over p[a .. b].
    [[nodiscard]] Enclosure inverse_sum(int a, int b) const {
        return range_sum(inverse_prefix_, a, b);
    }

    // An upper bound of the exact sum of 1/p^2 over p[a .. b].
    [[nodiscard]] double inverse_square_sum_upper(int a, int b) const {
        return range_sum(inverse_square_prefix_, a, b).hi;
    }

    // e = 2 (gamma_m + 4u): a float sum of at most m non-negative terms,
    // added one at a time, each rounded once or twice, lies within e times
    // itself of its exact value.
    [[nodiscard]] double prefix_error() const { return prefix_error_; }

private:
    template <typename Poll>
    bool preconditions_hold(Poll& poll) const {
        if (m_ < 1 || harmonic_.size() < static_cast<std::size_t>(m_) + 1) {
            return false;
        }
        if (!(alpha_ >= kFastAlphaMin && alpha_ <= kFastAlphaMax)) {
            return false;
        }
        // Each chunk compares its first value with the last of the one before.
        const bool unsorted =
            any_chunk(pvalues_.size(), poll, [&](std::size_t first, std::size_t last) {
                double previous =
                    first == 0 ? std::numeric_limits<double>::infinity() : pvalues_[first - 1];
                for (std::size_t j = first; j < last; ++j) {
                    const double p = pvalues_[j];
                    if (!(p > 0.0 && p <= previous && std::isfinite(p))) {
                        return true;
                    }
                    previous = p;
                }
                return false;
            });
        const auto m = static_cast<std::size_t>(m_);
        return !unsorted && !any_chunk(m, poll, [&](std::size_t first, std::size_t last) {
            double below = first == 0 ? 1.0 : harmonic_[first];
            for (std::size_t s = first + 1; s <= last; ++s) {
                const double h = harmonic_[s];
                if (!(h >= below && std::isfinite(h))) {
                    return true;
                }
                below = h;
            }
            return false;
        });
    }

    // Out of line: inlined into the searches, its loops lose their registers.
    template <typename Poll>
    [[gnu::noinline]] void build(Poll& poll) {
        const auto m = static_cast<std::size_t>(m_);
        // h and so p * h grow with s: the counts beyond the cut-off only grow.
        beyond_cutoff_.resize(m + 1);
        beyond_cutoff_[0] = 0;
        int count = 0;
        for_each_chunk(m, poll, [&](std::size_t first, std::size_t last) {
            int beyond = count;
            for (std::size_t s = first + 1; s <= last; ++s) {
                const double h = harmonic_[s];
                while (beyond < m_ && pvalues_[static_cast<std::size_t>(beyond)] * h > cutoff_) {
                    ++beyond;
                }
                beyond_cutoff_[s] = beyond;
            }
            count = beyond;
        });

        // Sums above an overflowed reciprocal are not used (range_sum).
        fill_reciprocal_prefix_sums(pvalues_.first(m), inverse_prefix_, inverse_square_prefix_,
                                    poll);
        prefix_error_ = next_above(2.0 * (gamma_bound(m_) + 4.0 * kUnitRoundoff));
    }

    // The exact sum over p[a .. b] from two stored prefix sums, each within
    // prefix_error_ times itself of its exact value; an absolute 1e-300 more
    // for terms that underflowed (1/p^2 of huge p-values beyond the cut-off).
    [[nodiscard]] Enclosure range_sum(const LargeVector<double>& prefix, int a, int b) const {
        const double upper = prefix[static_cast<std::size_t>(b) + 1];
        const double lower = prefix[static_cast<std::size_t>(a)];
        if (!std::isfinite(upper)) {
            return {0.0, std::numeric_limits<double>::infinity()};
        }
        const double difference = upper - lower;
        const double error = next_above(prefix_error_ * (upper + lower)) + 1e-300;
        return {std::max(0.0, next_below(next_below(difference) - error)),
                next_above(next_above(difference) + error)};
    }

    std::span<const double> pvalues_;
    std::span<const double> harmonic_;
    double alpha_;
    double inv_;
    double cutoff_;
    int m_;
    bool usable_ = false;
    LargeVector<int> beyond_cutoff_;
    LargeVector<double> inverse_prefix_;
    LargeVector<double> inverse_square_prefix_;
    double prefix_error_ = 0.0;
};

}  // namespace tulm::detail
