// Small pieces the level computations share.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "tulm/levels.hpp"

namespace tulm::detail {

// The first x in [lo, hi] where `holds(x)` is false, for a predicate that
// holds on a prefix of [lo, hi) (hi itself is never asked). Gallops from
// `hint`, so that an answer near the hint costs a few calls.
template <typename Predicate>
int first_where_not(int lo, int hi, int hint, Predicate&& holds) {
    std::int64_t below = lo;  // holds everywhere before `below`
    std::int64_t above = hi;  // the answer is at most `above`
    if (hint < hi && holds(hint)) {
        below = std::int64_t{hint} + 1;
        for (std::int64_t step = 1; below < above; step *= 2) {
            const std::int64_t probe = std::min(below + step - 1, above - 1);
            if (!holds(static_cast<int>(probe))) {
                above = probe;
                break;
            }
            below = probe + 1;
        }
    } else {
        above = std::min<std::int64_t>(hint, hi);
        for (std::int64_t step = 1; below < above; step *= 2) {
            const std::int64_t probe = std::max(above - step, below);
            if (holds(static_cast<int>(probe))) {
                below = probe + 1;
                break;
            }
            above = probe;
        }
    }
    while (below < above) {
        const std::int64_t mid = below + (above - below) / 2;
        if (holds(static_cast<int>(mid))) {
            below = mid + 1;
        } else {
            above = mid;
        }
    }
    return static_cast<int>(below);
}

// An upper bound on the excess psi(y) = sum over the values e below y of
// (y - e) of ascending values, convex in y, from its values at every 64th
// value (a table small enough to stay in cache): psi lies below its chords.
class ExcessBound {
public:
    ExcessBound(std::span<const double> ascending, std::span<const double> cum) {
        const std::size_t m = ascending.size();
        for (std::size_t i = 0; i < m; i += kStride) {
            at_.push_back(ascending[i]);
            excess_.push_back(ascending[i] * static_cast<double>(i) - cum[i]);
        }
        if (m > 0) {
            at_.push_back(ascending[m - 1]);
            excess_.push_back(ascending[m - 1] * static_cast<double>(m) - cum[m]);
        }
        for (std::size_t t = 0; t + 1 < at_.size(); ++t) {
            const double width = at_[t + 1] - at_[t];
            slope_.push_back(width > 0.0 ? (excess_[t + 1] - excess_[t]) / width : 0.0);
        }
    }

    // For y below the largest value. `hint`: where the last search ended,
    // the next one's start.
    [[nodiscard]] double upper(double y, std::size_t& hint) const {
        if (!(y > at_[0])) {
            return 0.0;
        }
        const std::size_t t = last_below(y, hint);
        hint = t;
        return std::max(excess_[t] + (y - at_[t]) * slope_[t], 0.0);
    }

private:
    // The last t with at_[t] < y <= at_[t + 1], galloping from `from`.
    [[nodiscard]] std::size_t last_below(double y, std::size_t from) const {
        std::size_t lo = 0;               // at_[lo] < y
        std::size_t hi = at_.size() - 1;  // at_[hi] >= y
        from = std::min(from, hi - 1);
        if (at_[from] < y) {
            lo = from;
            for (std::size_t step = 1; lo + step < hi; step *= 2) {
                if (at_[lo + step] >= y) {
                    hi = lo + step;
                    break;
                }
                lo += step;
            }
        } else {
            hi = from;
            for (std::size_t step = 1; step < hi; step *= 2) {
                if (at_[hi - step] < y) {
                    lo = hi - step;
                    break;
                }
                hi -= step;
            }
        }
        while (hi - lo > 1) {
            const std::size_t mid = lo + (hi - lo) / 2;
            if (at_[mid] < y) {
                lo = mid;
            } else {
                hi = mid;
            }
        }
        return lo;
    }

    static constexpr std::size_t kStride = 64;
    std::vector<double> at_;      // every 64th value, and the last
    std::vector<double> excess_;  // psi at each: at_ * (its index) - cum
    std::vector<double> slope_;   // of the chord to the next
};

// Calls the progress hook at most every 50 ms.
class ProgressReport {
public:
    ProgressReport(Progress hook, std::int64_t total) : hook_(hook), total_(total) {}

    void operator()(std::int64_t done) {
        if (hook_.report == nullptr) {
            return;
        }
        const auto now = std::chrono::steady_clock::now();
        if (done < total_ && now - last_ < kPeriod) {
            return;
        }
        last_ = now;
        hook_.report(hook_.context, done, total_);
    }

private:
    static constexpr std::chrono::milliseconds kPeriod{50};
    Progress hook_;
    std::int64_t total_;
    std::chrono::steady_clock::time_point last_{};
};

}  // namespace tulm::detail
