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
#include <deque>
#include <limits>
#include <span>
#include <unordered_map>
#include <vector>

#include "cby_check.hpp"
#include "cby_weight_blocks.hpp"
#include "large_allocator.hpp"

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
    const double step = std::ceil(x * T - kByTolerance);
    return step > 1.0 ? step : 1.0;
}

// Block prefix sums of the weights of one size over a window of p-values,
// from which any range sum inside the window is enclosed to about 1e-13 by
// adding at most two partial blocks. Made for a size the bounds from 1/p left
// undecided; kept, since neighbouring checks of a search meet it again.
struct WeightWindow {
    static constexpr int kBlock = 256;
    int s = 0;
    int first = 0;
    int last = -1;
    std::vector<double> blocks;  // blocks[q]: weights of p[first .. first + q kBlock - 1]
};

// What every check of one search shares: the verdict on the preconditions,
// per size the count of p-values beyond the cut-off, prefix sums of 1/p and
// 1/p^2 from which sums of large-step weights are bounded, and the weight
// windows of the sizes that needed them.
class CbySearchTables {
public:
    CbySearchTables(std::span<const double> pvalues, std::span<const double> harmonic, double alpha)
        : pvalues_(pvalues),
          harmonic_(harmonic),
          alpha_(alpha),
          inv_(1.0 / alpha),
          cutoff_(alpha + kByTolerance),
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
    const double* harmonic_data() const { return harmonic_.data(); }

    // T = (s * H_s) / alpha, formed as the check forms it.
    double steps_scale(int s) const { return (static_cast<double>(s) * harmonic(s)) * inv_; }

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

    // The weight window of size s, if it has one.
    const WeightWindow* window(int s) const {
        const auto it = windows_.find(s);
        return it == windows_.end() ? nullptr : &it->second;
    }

    // Computes the weights of size s over p[first .. last] once and keeps
    // their block prefix sums, replacing the size's earlier window; the oldest
    // windows go when the kept ones would exceed 4M blocks (32 MB).
    void make_window(int s, int first, int last) const {
        constexpr std::size_t kBudget = std::size_t{1} << 22;
        constexpr int kBlock = WeightWindow::kBlock;
        first = std::max(first, beyond_cutoff(s));
        last = std::max(last, first - 1);  // empty when all lie beyond the cut-off
        const auto blocks = static_cast<std::size_t>((last - first + 1 + kBlock - 1) / kBlock) + 1;
        while (!window_order_.empty() && window_blocks_ + blocks > kBudget) {
            const auto it = windows_.find(window_order_.front());
            if (it != windows_.end()) {
                window_blocks_ -= it->second.blocks.size();
                windows_.erase(it);
            }
            window_order_.pop_front();
        }
        WeightWindow& window = windows_[s];
        window_blocks_ -= window.blocks.size();
        if (window.blocks.empty()) {
            window_order_.push_back(s);
        }
        window.s = s;
        window.first = first;
        window.last = last;
        window.blocks.assign(blocks, 0.0);
        window_blocks_ += blocks;
        const double T = steps_scale(s);
        std::array<double, kBlock> weights{};
        double running = 0.0;  // within gamma of its exact value, as the prefix sums
        for (std::size_t q = 0; q + 1 < blocks; ++q) {
            const int start = first + static_cast<int>(q) * kBlock;
            const int count = std::min(kBlock, last - start + 1);
            step_weights(pvalues_.data() + start, static_cast<std::size_t>(count), T, inv_,
                         weights.data());
            // Four chains: any order of adding is within gamma of the sum.
            std::array<double, 4> part{0.0, 0.0, 0.0, 0.0};
            int t = 0;
            for (; t + 4 <= count; t += 4) {
                for (int lane = 0; lane < 4; ++lane) {
                    part[lane] += weights[t + lane];
                }
            }
            for (; t < count; ++t) {
                part[0] += weights[t];
            }
            running += (part[0] + part[1]) + (part[2] + part[3]);
            window.blocks[q + 1] = running;
        }
    }

    // Sum of the weights of p[a .. b] at the size of `window`, inside it.
    // The stored sums are within gamma_256 (a block) plus the prefix error
    // (the blocks' running sum) of their exact values, the partial blocks
    // within gamma_256.
    Enclosure window_sum(const WeightWindow& window, int a, int b) const {
        constexpr int kBlock = WeightWindow::kBlock;
        const double T = steps_scale(window.s);
        std::array<double, kBlock> weights{};
        const auto partial = [&](int start, int end) {  // weights of p[start .. end - 1]
            double sum = 0.0;
            step_weights(pvalues_.data() + start, static_cast<std::size_t>(end - start), T, inv_,
                         weights.data());
            for (int t = 0; t < end - start; ++t) {
                sum += weights[t];
            }
            return sum;
        };
        const int qa = (a - window.first) / kBlock;
        const int qb = (b + 1 - window.first) / kBlock;
        const double base_a = window.blocks[static_cast<std::size_t>(qa)];
        const double base_b = window.blocks[static_cast<std::size_t>(qb)];
        const double part_a = partial(window.first + qa * kBlock, a);
        const double part_b = partial(window.first + qb * kBlock, b + 1);
        const double value = (base_b + part_b) - (base_a + part_a);
        const double scale = next_above(next_above(base_a + base_b) + next_above(part_a + part_b));
        const double error = next_above(next_above((prefix_error_ + gamma_bound(kBlock)) * scale)
                                        + next_above(4.0 * kUnitRoundoff * std::fabs(value)));
        return {std::max(0.0, next_below(value - error)), next_above(value + error)};
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

        // Summed left to right. Each entry is within prefix_error_ (relative)
        // of the exact sum of the exact reciprocals: gamma_m for the sum of
        // m positive terms, a few u for the rounding of 1/p and of its
        // square. A reciprocal may overflow for p-values far below every
        // range that is ever summed; the sums above it are then not used.
        inverse_prefix_.assign(entries, 0.0);
        inverse_square_prefix_.assign(entries, 0.0);
        double sum = 0.0;
        double square_sum = 0.0;
        for (int j = 0; j < m_; ++j) {
            const double reciprocal = 1.0 / pvalues_[static_cast<std::size_t>(j)];
            sum += reciprocal;
            square_sum += reciprocal * reciprocal;
            inverse_prefix_[static_cast<std::size_t>(j) + 1] = sum;
            inverse_square_prefix_[static_cast<std::size_t>(j) + 1] = square_sum;
        }
        prefix_error_ = next_above(2.0 * (gamma_bound(m_) + 4.0 * kUnitRoundoff));
    }

    Enclosure range_sum(const LargeVector<double>& prefix, int a, int b) const {
        return difference(prefix[static_cast<std::size_t>(b) + 1],
                          prefix[static_cast<std::size_t>(a)]);
    }

    // upper - lower for two stored prefix sums, each within prefix_error_ of
    // its exact value.
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
    LargeVector<int> beyond_cutoff_;
    mutable LargeVector<int> unit_step_from_;
    LargeVector<double> inverse_prefix_;
    LargeVector<double> inverse_square_prefix_;
    double prefix_error_ = 0.0;
    mutable std::unordered_map<int, WeightWindow> windows_;
    mutable std::deque<int> window_order_;
    mutable std::size_t window_blocks_ = 0;
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
          window_(tables.window(s)) {}

    [[nodiscard]] int s() const { return s_; }
    [[nodiscard]] double h() const { return h_; }
    [[nodiscard]] double T() const { return T_; }
    [[nodiscard]] int beyond() const { return beyond_; }

    [[nodiscard]] double weight(int j) const {
        return j < beyond_ ? 0.0 : step_weight(p_[static_cast<std::size_t>(j)], T_, inv_);
    }

    // The exact (real) sum of the weights of p[a .. b].
    [[nodiscard]] Enclosure sum(int a, int b) const {
        a = std::max(a, beyond_);
        if (a > b) {
            return exactly(0.0);
        }
        if (window_ != nullptr && a <= window_->last && b >= window_->first) {
            // Inside the window exactly; short stretches beside it one by one.
            Enclosure total = tables_->window_sum(*window_, std::max(a, window_->first),
                                                  std::min(b, window_->last));
            if (a < window_->first) {
                total = total + beside_window(a, window_->first - 1);
            }
            if (b > window_->last) {
                total = total + beside_window(window_->last + 1, b);
            }
            return total;
        }
        return bounded_sum(a, b);
    }

private:
    // Close to a window, weight by weight; otherwise from 1/p.
    [[nodiscard]] Enclosure beside_window(int a, int b) const {
        if (b - a >= WeightWindow::kBlock * 4) {
            return bounded_sum(a, b);
        }
        double sum = 0.0;
        for (int j = a; j <= b; ++j) {
            sum += weight(j);
        }
        const double error = next_above(gamma_bound(b - a + 1) * sum);
        return {std::max(0.0, next_below(sum - error)), next_above(sum + error)};
    }

    [[nodiscard]] Enclosure bounded_sum(int a, int b) const {
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

    // Weights of p[a .. b], all with steps of at least 2. With y = p * T, the
    // step q satisfies y (1 - u)^2 - 1e-10 <= q < y (1 + u) + 1, so
    //   (1 - u) / y - 1 / y^2 <= 1 / q <= (1 + 2e-10) / y,
    // and the rounded weight inv / q is within u of its exact value. Sums of
    // 1/y and 1/y^2 come from the prefix sums of 1/p and 1/p^2.
    [[nodiscard]] Enclosure large_step_sum(int a, int b) const {
        const auto count = static_cast<double>(b - a + 1);
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
        const Enclosure weights = Enclosure{1.0 - kUnitRoundoff, 1.0 + 2 * kUnitRoundoff}
                                  * exactly(inv_) * Enclosure{std::max(steps.lo, 0.0), steps.hi};
        return {std::max(weights.lo, between.lo), std::min(weights.hi, between.hi)};
    }

    const CbySearchTables* tables_;
    std::span<const double> p_;
    int s_;
    double h_;
    double T_;
    double inv_;
    int beyond_;
    const WeightWindow* window_;
};

}  // namespace tulm::detail
