// The weights of one size over ranges of sorted p-values, summed in O(1) to
// within a proven margin instead of O(range): from the counts and prefix sums
// of the search's tables, or from a window of block sums made for the size.
// Derived in docs/fast-closed-by.rst ("Sums of the weights of one size").
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <unordered_map>
#include <vector>

#include "interrupt_poll.hpp"
#include "large_allocator.hpp"
#include "pvalue/cby_check.hpp"
#include "pvalue/fast/enclosure.hpp"
#include "pvalue/fast/search_tables.hpp"
#include "pvalue/fast/weight_blocks.hpp"

namespace tulm::detail {

// Block prefix sums of the weights of size s over p[first .. last]: blocks[q]
// holds the float sum of the weights of p[first .. first + q kBlock - 1],
// within (prefix_error + gamma_kBlock) times itself of its exact value.
struct WeightWindow {
    static constexpr int kBlock = 256;
    int s = 0;
    int first = 0;
    int last = -1;
    std::vector<double> blocks;
};

// What a search learns about sizes and keeps for its later checks: per size
// the first index of step 1 (found when first asked), and the weight windows
// made for sizes the bounds from 1/p left open, the oldest dropped beyond
// 4M blocks (32 MB). One per search; not for sharing between threads.
class SizeMemo {
public:
    template <typename Poll = NoInterruptPoll>
    explicit SizeMemo(const CbySearchTables& tables, Poll&& poll = Poll{}) : tables_(tables) {
        unit_step_from_.resize(static_cast<std::size_t>(tables.m()) + 1);
        polled_pass(unit_step_from_.size(), poll, [this](std::size_t s) {
            unit_step_from_[s] = -1;  // not found yet
        });
    }

    // tables.unit_step_from(s), found once.
    int unit_step_from(int s) {
        int& known = unit_step_from_[static_cast<std::size_t>(s)];
        if (known < 0) {
            known = tables_.unit_step_from(s);
        }
        return known;
    }

    // The window of size s, or null. A window stays valid as long as a
    // holder keeps it, even once the memo has dropped it.
    [[nodiscard]] std::shared_ptr<const WeightWindow> window(int s) const {
        const auto it = windows_.find(s);
        return it == windows_.end() ? nullptr : it->second;
    }

    // Computes the weights of size s over p[first .. last], first clamped to
    // the cut-off, and keeps their block sums as the window of s, in place of
    // any earlier one.
    template <typename Poll>
    void make_window(int s, int first, int last, Poll& poll) {
        constexpr std::size_t kBudget = std::size_t{1} << 22;
        constexpr int kBlock = WeightWindow::kBlock;
        first = std::max(first, tables_.beyond_cutoff(s));
        last = std::max(last, first - 1);  // empty when all lie beyond the cut-off
        const auto blocks = static_cast<std::size_t>((last - first + 1 + kBlock - 1) / kBlock) + 1;
        while (!window_order_.empty() && window_blocks_ + blocks > kBudget) {
            const auto it = windows_.find(window_order_.front());
            if (it != windows_.end()) {
                window_blocks_ -= it->second->blocks.size();
                windows_.erase(it);
            }
            window_order_.pop_front();
        }
        auto window = std::make_shared<WeightWindow>();
        window->s = s;
        window->first = first;
        window->last = last;
        window->blocks.assign(blocks, 0.0);
        const double T = tables_.step_scale(s);
        std::array<double, kBlock> weights{};
        double running = 0.0;
        for (std::size_t q = 0; q + 1 < blocks; ++q) {
            const int start = first + static_cast<int>(q) * kBlock;
            const int count = std::min(kBlock, last - start + 1);
            weights_of(tables_.pvalues().data() + start, static_cast<std::size_t>(count), T,
                       tables_.inv(), weights.data());
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
            window->blocks[q + 1] = running;
            poll(count);
        }
        if (const auto it = windows_.find(s); it != windows_.end()) {
            window_blocks_ -= it->second->blocks.size();
            it->second = std::move(window);
        } else {
            window_order_.push_back(s);
            windows_.emplace(s, std::move(window));
        }
        window_blocks_ += blocks;
    }

private:
    const CbySearchTables& tables_;
    LargeVector<int> unit_step_from_;
    std::unordered_map<int, std::shared_ptr<const WeightWindow>> windows_;
    std::deque<int> window_order_;  // sizes in the order their windows were made
    std::size_t window_blocks_ = 0;
};

// The weights of one size s (2 <= s <= m) of usable tables: p[j] weighs
// weight_of(p[j], T, inv) from j = beyond() on and 0 before. sum(a, b)
// encloses the exact (real) sum of the float weights of p[a .. b]. With a
// search's memo, the index of step 1 is found once per size and the size's
// window, if it has one, serves the sums that meet it; without, the index is
// found here.
class SizeWeights {
public:
    SizeWeights(const CbySearchTables& tables, int s, SizeMemo* memo = nullptr)
        : tables_(&tables),
          p_(tables.pvalues()),
          T_(tables.step_scale(s)),
          inv_(tables.inv()),
          beyond_(tables.beyond_cutoff(s)),
          unit_step_from_(memo != nullptr ? memo->unit_step_from(s) : tables.unit_step_from(s)),
          window_(memo != nullptr ? memo->window(s) : nullptr) {}

    [[nodiscard]] double T() const { return T_; }
    [[nodiscard]] int beyond() const { return beyond_; }

    [[nodiscard]] double weight(int j) const {
        return j < beyond_ ? 0.0 : weight_of(p_[static_cast<std::size_t>(j)], T_, inv_);
    }

    [[nodiscard]] Enclosure sum(int a, int b) const {
        a = std::max(a, beyond_);
        if (a > b) {
            return exactly(0.0);
        }
        if (window_ && a <= window_->last && b >= window_->first) {
            // Inside the window exactly; short stretches beside it one by one.
            Enclosure total = window_sum(std::max(a, window_->first), std::min(b, window_->last));
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
    // Sum of the weights of p[a .. b] inside the window: two stored block
    // sums and at most two partial blocks, each added one at a time.
    [[nodiscard]] Enclosure window_sum(int a, int b) const {
        constexpr int kBlock = WeightWindow::kBlock;
        std::array<double, kBlock> weights{};
        const auto partial = [&](int start, int end) {  // weights of p[start .. end - 1]
            double sum = 0.0;
            weights_of(p_.data() + start, static_cast<std::size_t>(end - start), T_, inv_,
                       weights.data());
            for (int t = 0; t < end - start; ++t) {
                sum += weights[t];
            }
            return sum;
        };
        const WeightWindow& window = *window_;
        const int qa = (a - window.first) / kBlock;
        const int qb = (b + 1 - window.first) / kBlock;
        const double base_a = window.blocks[static_cast<std::size_t>(qa)];
        const double base_b = window.blocks[static_cast<std::size_t>(qb)];
        const double part_a = partial(window.first + qa * kBlock, a);
        const double part_b = partial(window.first + qb * kBlock, b + 1);
        const double value = (base_b + part_b) - (base_a + part_a);
        const double scale = next_above(next_above(base_a + base_b) + next_above(part_a + part_b));
        const double error =
            next_above(next_above((tables_->prefix_error() + gamma_bound(kBlock)) * scale)
                       + next_above(4.0 * kUnitRoundoff * std::fabs(value)));
        return {std::max(0.0, next_below(value - error)), next_above(value + error)};
    }

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
        const int unit_from = std::clamp(unit_step_from_, a, b + 1);
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

    // Weights of p[a .. b], all with steps of at least 2, between count times
    // the lightest and the heaviest, and from the sums of 1/y and 1/y^2 for
    // y = p * T: (1 - u) / y - 1 / y^2 <= 1 / step <= (1 + 2e-10) / y.
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
    double T_;
    double inv_;
    int beyond_;
    int unit_step_from_;
    std::shared_ptr<const WeightWindow> window_;
};

}  // namespace tulm::detail
