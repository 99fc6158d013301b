// Rigorous enclosures for the cBY check on sorted p-values: what a sum of
// weights over a range of p-values is, to within a proven margin, in O(1)
// instead of O(range). The fast check (cby_fast_check.hpp) decides most sizes
// from these and computes the rest with the check's own loops.
//
// Everything here assumes what CbySearchTables::usable() establishes once per
// search: p-values finite, positive and non-increasing, a harmonic table that
// is finite, at least 1 and non-decreasing, and a level for which every
// weight is a positive normal double (kFastAlphaMin ... kFastAlphaMax).
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "cby_check_steps.hpp"
#include "cby_weight_blocks.hpp"

namespace tulm::detail {

inline constexpr double kUnitRoundoff = 0x1p-53;

// Levels the fast path accepts. Weighted p-values satisfy p * h <= alpha +
// 1e-10 with h >= 1, so p * T <= s * (1 + 1e-10 / alpha): with alpha in this
// range and s < 2^31 every step, weight, threshold and sum stays finite, and
// every weight (at least about 1 / (alpha * s + 1e-10 * s)) stays normal.
inline constexpr double kFastAlphaMin = 1e-100;
inline constexpr double kFastAlphaMax = 1e100;

// The neighbours of x towards -inf and +inf. A result rounded to nearest lies
// within half an ulp of the exact value, so one step outward bounds it.
inline double next_below(double x) {
    if (!(x > -std::numeric_limits<double>::infinity())) {
        return x;  // -inf or NaN
    }
    if (x == 0.0) {
        return -std::numeric_limits<double>::denorm_min();
    }
    const auto bits = std::bit_cast<std::uint64_t>(x);
    return std::bit_cast<double>(x > 0.0 ? bits - 1 : bits + 1);
}

inline double next_above(double x) { return -next_below(-x); }

// A closed interval holding a real number; the operators round outward.
struct Enclosure {
    double lo;
    double hi;
};

inline Enclosure exactly(double value) { return {value, value}; }

inline Enclosure operator+(Enclosure a, Enclosure b) {
    return {next_below(a.lo + b.lo), next_above(a.hi + b.hi)};
}

inline Enclosure operator-(Enclosure a, Enclosure b) {
    return {next_below(a.lo - b.hi), next_above(a.hi - b.lo)};
}

// Product of two enclosures of non-negative numbers.
inline Enclosure operator*(Enclosure a, Enclosure b) {
    return {next_below(std::max(a.lo, 0.0) * std::max(b.lo, 0.0)), next_above(a.hi * b.hi)};
}

// gamma_n = n u / (1 - n u), rounded up: a sum of n + 1 non-negative terms
// added one at a time lies within gamma_n times their exact sum of it.
inline double gamma_bound(std::int64_t n) {
    const double nu = static_cast<double>(n) * kUnitRoundoff;  // exact below 2^53
    return next_above(nu / next_below(1.0 - nu));
}

// The step max(ceil(x * T - 1e-10), 1) of the weight inv / step, NaN as 1.
inline double weight_step(double x, double T) {
    const double step = std::ceil(x * T - kCbyTolerance);
    return step > 1.0 ? step : 1.0;
}

// Prefix sums of the weights of one size over p[beyond .. m - 1]: exact
// enclosures of any range sum at that size, for the few sizes that the
// bounds from 1/p leave undecided again and again (the exact search meets the
// same size in many consecutive checks).
struct DenseWeightSums {
    int s = 0;
    int beyond = 0;
    std::vector<double> prefix;  // prefix[t - beyond]: weights of p[beyond .. t - 1]
};

// What every check of one search shares: the verdict on the preconditions,
// per size the count of p-values beyond the cut-off, and prefix sums of 1/p
// and 1/p^2 from which sums of large-step weights are bounded.
class CbySearchTables {
public:
    CbySearchTables(std::span<const double> pvalues, std::span<const double> harmonic,
                    double alpha)
        : pvalues_(pvalues),
          harmonic_(harmonic),
          alpha_(alpha),
          inv_(1.0 / alpha),
          cutoff_(alpha + kCbyTolerance),
          m_(static_cast<int>(pvalues.size())) {
        usable_ = preconditions_hold();
        if (usable_) {
            build();
        }
    }

    bool usable() const { return usable_; }
    int m() const { return m_; }
    double alpha() const { return alpha_; }
    double inv() const { return inv_; }
    double cutoff() const { return cutoff_; }
    std::span<const double> pvalues() const { return pvalues_; }
    double harmonic(int s) const { return harmonic_[static_cast<std::size_t>(s)]; }

    // T = (s * H_s) / alpha, formed as the check forms it.
    double steps_scale(int s) const {
        return (static_cast<double>(s) * harmonic(s)) * inv_;
    }

    // C(s): p[0 .. C(s) - 1] lie beyond the cut-off at size s (p * h > cutoff),
    // the rest within it.
    int beyond_cutoff(int s) const { return beyond_cutoff_[static_cast<std::size_t>(s)]; }

    // The first index from which every p-value has step 1 at size s, that is
    // weight inv exactly; m when none has. Found once per size and kept.
    int unit_step_from(int s) const {
        int& cached = unit_step_from_[static_cast<std::size_t>(s)];
        if (cached < 0) {
            const double T = steps_scale(s);
            // Steps do not grow with the index; find the first step of 1.
            int lo = beyond_cutoff(s);
            int hi = m_;
            while (lo < hi) {
                const int mid = lo + (hi - lo) / 2;
                if (weight_step(pvalues_[static_cast<std::size_t>(mid)], T) <= 1.0) {
                    hi = mid;
                } else {
                    lo = mid + 1;
                }
            }
            cached = lo;
        }
        return cached;
    }

    // The dense sums of size s, if it has them.
    const DenseWeightSums* dense_sums(int s) const {
        for (const DenseWeightSums& sums : dense_) {
            if (sums.s == s && !sums.prefix.empty()) {
                return &sums;
            }
        }
        return nullptr;
    }

    // Notes that the bounds left size s undecided; true from the third time
    // on. Dense sums cost a pass over p; only a size that keeps coming back
    // (the exact search meets the same size in many consecutive checks) repays
    // them before it is replaced.
    bool undecided_again(int s) const {
        std::uint8_t& seen = undecided_[static_cast<std::size_t>(s)];
        seen = static_cast<std::uint8_t>(std::min(seen + 1, 3));
        return seen >= 3;
    }

    // Builds the dense sums of size s, replacing the older of the two kept.
    void make_dense_sums(int s) const {
        DenseWeightSums& sums = dense_[next_dense_];
        next_dense_ = 1 - next_dense_;
        const double T = steps_scale(s);
        sums.s = s;
        sums.beyond = beyond_cutoff(s);
        const auto count = static_cast<std::size_t>(m_ - sums.beyond);
        sums.prefix.assign(count + 1, 0.0);
        constexpr std::size_t kBlock = 256;
        double block[kBlock];
        long double running = 0.0L;
        for (std::size_t start = 0; start < count; start += kBlock) {
            const std::size_t n = std::min(kBlock, count - start);
            step_weights(pvalues_.data() + sums.beyond + start, n, T, inv_, block);
            for (std::size_t t = 0; t < n; ++t) {
                running += block[t];
                sums.prefix[start + t + 1] = static_cast<double>(running);
            }
        }
    }

    // Sum of the weights of p[a .. b] at the size of `sums`, beyond <= a <= b.
    Enclosure dense_sum(const DenseWeightSums& sums, int a, int b) const {
        return difference(sums.prefix[static_cast<std::size_t>(b + 1 - sums.beyond)],
                          sums.prefix[static_cast<std::size_t>(a - sums.beyond)]);
    }

    // Sum of 1/p over p[a .. b], a <= b.
    Enclosure inverse_sum(int a, int b) const { return range_sum(inverse_prefix_, a, b); }

    // An upper bound of the sum of 1/p^2 over p[a .. b], a <= b.
    double inverse_square_sum_upper(int a, int b) const {
        return range_sum(inverse_square_prefix_, a, b).hi;
    }

private:
    bool preconditions_hold() const {
        if (m_ < 1 || harmonic_.size() < static_cast<std::size_t>(m_) + 1) {
            return false;
        }
        if (!(alpha_ >= kFastAlphaMin && alpha_ <= kFastAlphaMax)) {
            return false;
        }
        double previous = std::numeric_limits<double>::infinity();
        for (const double p : pvalues_) {
            if (!(p > 0.0 && p <= previous && std::isfinite(p))) {
                return false;
            }
            previous = p;
        }
        double below = 1.0;
        for (int s = 1; s <= m_; ++s) {
            const double h = harmonic(s);
            if (!(h >= below && std::isfinite(h))) {
                return false;
            }
            below = h;
        }
        return true;
    }

    void build() {
        const auto entries = static_cast<std::size_t>(m_) + 1;
        // h and so p * h grow with s: the counts beyond the cut-off only grow.
        beyond_cutoff_.assign(entries, 0);
        int count = 0;
        for (int s = 1; s <= m_; ++s) {
            const double h = harmonic(s);
            while (count < m_ && pvalues_[static_cast<std::size_t>(count)] * h > cutoff_) {
                ++count;
            }
            beyond_cutoff_[static_cast<std::size_t>(s)] = count;
        }
        unit_step_from_.assign(entries, -1);
        undecided_.assign(entries, 0);

        // Accumulated in long double and stored rounded: each stored entry is
        // within prefix_error_ (relative) of the exact sum of the exact
        // reciprocals. A reciprocal may overflow for p-values far below every
        // range that is ever summed; the sums above it are then not used.
        inverse_prefix_.assign(entries, 0.0);
        inverse_square_prefix_.assign(entries, 0.0);
        long double sum = 0.0L;
        long double square_sum = 0.0L;
        for (int j = 0; j < m_; ++j) {
            const double reciprocal = 1.0 / pvalues_[static_cast<std::size_t>(j)];
            sum += reciprocal;
            square_sum += static_cast<long double>(reciprocal) * reciprocal;
            inverse_prefix_[static_cast<std::size_t>(j) + 1] = static_cast<double>(sum);
            inverse_square_prefix_[static_cast<std::size_t>(j) + 1] =
                static_cast<double>(square_sum);
        }
        // Per entry: the rounding of 1/p (and of its square, its product in
        // long double), the long double sum of up to m terms and the final
        // rounding to double; generously 4u + 1.1 m eps_ld.
        const double eps_ld = static_cast<double>(std::numeric_limits<long double>::epsilon()) / 2;
        prefix_error_ = next_above(4.0 * kUnitRoundoff + 1.1 * static_cast<double>(m_) * eps_ld);
    }

    Enclosure range_sum(const std::vector<double>& prefix, int a, int b) const {
        return difference(prefix[static_cast<std::size_t>(b) + 1],
                          prefix[static_cast<std::size_t>(a)]);
    }

    // upper - lower for two stored prefix sums, each within prefix_error_ of
    // its exact value (the dense sums add exact weights: their error is the
    // same long double sum and final rounding).
    Enclosure difference(double upper, double lower) const {
        if (!std::isfinite(upper)) {
            return {0.0, std::numeric_limits<double>::infinity()};
        }
        const double difference = upper - lower;
        // The entries' own errors, and an absolute floor for terms that
        // underflowed (1/p^2 of huge p-values beyond the cut-off).
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
    std::vector<int> beyond_cutoff_;
    mutable std::vector<int> unit_step_from_;
    std::vector<double> inverse_prefix_;
    std::vector<double> inverse_square_prefix_;
    double prefix_error_ = 0.0;
    mutable std::vector<std::uint8_t> undecided_;
    mutable std::array<DenseWeightSums, 2> dense_;
    mutable int next_dense_ = 0;
};

// The weights of one size s: p[j] weighs step_weight(p[j], T, inv) from
// j = beyond on (within the cut-off) and 0 before.
class SizeWeights {
public:
    SizeWeights(const CbySearchTables& tables, int s)
        : tables_(&tables),
          p_(tables.pvalues()),
          s_(s),
          h_(tables.harmonic(s)),
          T_(tables.steps_scale(s)),
          inv_(tables.inv()),
          beyond_(tables.beyond_cutoff(s)),
          dense_(tables.dense_sums(s)) {}

    int s() const { return s_; }
    double h() const { return h_; }
    double T() const { return T_; }
    int beyond() const { return beyond_; }

    double weight(int j) const {
        return j < beyond_ ? 0.0 : step_weight(p_[static_cast<std::size_t>(j)], T_, inv_);
    }

    // The exact (real) sum of the weights of p[a .. b].
    Enclosure sum(int a, int b) const {
        a = std::max(a, beyond_);
        if (a > b) {
            return exactly(0.0);
        }
        if (dense_ != nullptr) {
            return tables_->dense_sum(*dense_, a, b);
        }
        const int unit_from = std::clamp(tables_->unit_step_from(s_), a, b + 1);
        Enclosure total = exactly(0.0);
        if (unit_from <= b) {
            // Step 1 weighs inv / 1.0 = inv exactly.
            total = exactly(static_cast<double>(b - unit_from + 1)) * exactly(inv_);
        }
        if (a < unit_from) {
            total = total + large_step_sum(a, unit_from - 1);
        }
        return total;
    }

private:
    // Weights of p[a .. b], all with steps of at least 2. With y = p * T, the
    // step q satisfies y (1 - u)^2 - 1e-10 <= q < y (1 + u) + 1, so
    //   (1 - u) / y - 1 / y^2 <= 1 / q <= (1 + 2e-10) / y,
    // and the rounded weight inv / q is within u of its exact value. Sums of
    // 1/y and 1/y^2 come from the prefix sums of 1/p and 1/p^2.
    Enclosure large_step_sum(int a, int b) const {
        const double count = static_cast<double>(b - a + 1);
        const double lightest = weight(a);
        const double heaviest = weight(b);
        const Enclosure between = exactly(count) * Enclosure{lightest, heaviest};
        if (lightest == heaviest) {
            return between;
        }
        const Enclosure reciprocal_T{next_below(1.0 / T_), next_above(1.0 / T_)};
        const Enclosure inverse = tables_->inverse_sum(a, b) * reciprocal_T;
        const Enclosure square{0.0, tables_->inverse_square_sum_upper(a, b)};
        const Enclosure inverse_square = square * reciprocal_T * reciprocal_T;
        const Enclosure steps{(exactly(1.0 - kUnitRoundoff) * inverse - inverse_square).lo,
                              (exactly(next_above(1.0 + 2e-10)) * inverse).hi};
        const Enclosure weights = Enclosure{1.0 - kUnitRoundoff, 1.0 + 2 * kUnitRoundoff} *
                                  exactly(inv_) * Enclosure{std::max(steps.lo, 0.0), steps.hi};
        return {std::max(weights.lo, between.lo), std::min(weights.hi, between.hi)};
    }

    const CbySearchTables* tables_;
    std::span<const double> p_;
    int s_;
    double h_;
    double T_;
    double inv_;
    int beyond_;
    const DenseWeightSums* dense_;
};

}  // namespace tulm::detail
