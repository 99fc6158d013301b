// The cBY check, written once over an observer that hears which size is
// examined next and which test decides it. cby_check passes an observer that
// does nothing; the tests record the order of examination with it.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <vector>

#include "interval_queue.hpp"
#include "tulm/pvalue.hpp"

namespace tulm::detail {

enum class SizeTest { quick, single, detailed };

inline constexpr double kCbyTolerance = 1e-10;

// inv / max(ceil(x * t - 1e-10), 1.0), where a NaN ceiling counts as 1.0
// (std::max would pass the NaN on).
inline double step_weight(double x, double t, double inv) {
    const double step = std::ceil(x * t - kCbyTolerance);
    return inv / (step > 1.0 ? step : 1.0);
}

// The cache entries a check has set: [first, last], empty while first > last.
struct WrittenRange {
    int first = std::numeric_limits<int>::max();
    int last = 0;
    void add(int from, int to) {
        if (from <= to) {
            first = std::min(first, from);
            last = std::max(last, to);
        }
    }
};

// Working storage of the check. A search keeps one across all its checks, so
// that a check costs no allocation and no O(m) zeroing of its weight cache:
// each check starts from an all-zero cache and hands it back all zero.
class CbyWorkspace {
public:
    // The zeroed cache of at least m + 1 entries for a new check.
    std::vector<double>& cache_for(int m) {
        const std::size_t entries = static_cast<std::size_t>(m) + 1;
        if (cache_.size() < entries) {
            cache_.assign(entries, 0.0);
        }
        return cache_;
    }
    // The check set cache entries in `written` only.
    void zero(const WrittenRange& written) {
        if (written.first <= written.last) {
            std::fill(cache_.begin() + written.first, cache_.begin() + written.last + 1, 0.0);
        }
    }
    IntervalQueue& queue() { return queue_; }

private:
    std::vector<double> cache_;
    IntervalQueue queue_;
};

// The check for r >= 1. Adds to `written` the cache entries it sets.
template <typename Observer>
CbyCheckResult cby_check_sizes(CbyWorkspace& work, const std::vector<double>& pvalues, int r,
                               const std::vector<double>& harmonic, int warm_s, double alpha,
                               Observer&& observe, WrittenRange& written) {
    const int m = static_cast<int>(pvalues.size());
    const double inv = 1.0 / alpha;
    const double cutoff = alpha + kCbyTolerance;
    const double pmax = pvalues[m - r];
    const int first_candidate = m - r;

    // Entry t holds the weight of pvalues[t - 1] at the size that last wrote
    // it; shared across sizes, so only a stale run above a cut-off is cleared.
    std::vector<double>& cache = work.cache_for(m);
    IntervalQueue& queue = work.queue();
    queue.restart({1, m});
    bool hinted = warm_s != 0;

    while (!queue.empty()) {
        const IndexInterval interval = queue.pop_front();
        const int lo = interval.lo;
        const int hi = interval.hi;
        int s = 0;
        if (hinted) {
            s = warm_s;
            hinted = false;
        } else {
            s = lo + (hi - lo) / 2;
        }

        const double h = harmonic[s];
        const double S = static_cast<double>(s) * h;
        const double T = S * inv;
        const int k = r < s ? r : s;
        const int i0 = s - m + r > 1 ? s - m + r : 1;

        // Holding here implies holding at every smaller size: drop [lo, s - 1].
        if (static_cast<double>(k) * alpha >= pmax * S) {
            observe(s, SizeTest::quick);
            if (s < hi) {
                queue.push_back({s + 1, hi});
            }
            continue;
        }

        if (s == 1) {
            observe(s, SizeTest::single);
            double K = 0.0;
            if (cutoff >= pmax) {
                K = step_weight(pmax, inv, inv);
            }
            if (inv / static_cast<double>(r) > K + kCbyTolerance) {
                return {false, 1};
            }
            if (hi > 1) {
                queue.push_back({2, hi});
            }
            continue;
        }

        observe(s, SizeTest::detailed);

        // Outside pass: the s - i0 largest p-values outside the candidates,
        // summed from the smallest of them upward.
        double total = 0.0;
        int j = s - i0 - 1;
        for (; j >= 0; --j) {
            const double x = pvalues[j];
            if (x * h > cutoff) {
                // pvalues[0..j] weigh 0 at this size; clear what earlier sizes left.
                for (int t = j + 1; t >= 1 && cache[t] != 0.0; --t) {
                    cache[t] = 0.0;
                }
                break;
            }
            const double w = step_weight(x, T, inv);
            cache[j + 1] = w;
            total += w;
        }
        written.add(j + 2, s - i0);

        // Candidate prefix: the i0 - 1 largest candidates, summed downward.
        double sum = 0.0;
        for (int n = i0 - 2; n >= 0; --n) {
            const double x = pvalues[first_candidate + n];
            if (x * h > cutoff) {
                break;
            }
            sum += step_weight(x, T, inv);
        }

        bool violates = false;
        for (int i = i0; i <= k; ++i) {
            const double x = pvalues[first_candidate + i - 1];
            const double w = cutoff >= x * h ? step_weight(x, T, inv) : 0.0;
            sum += w;
            const double M =
                (static_cast<double>(i) * inv) / static_cast<double>(r) - kCbyTolerance;
            if (sum >= M) {
                break;
            }
            if (M > sum + total) {
                violates = true;
                break;
            }
            total -= cache[s - i];
        }
        if (violates) {
            return {false, s};
        }
        if (lo < s) {
            queue.push_back({lo, s - 1});
        }
        if (s < hi) {
            queue.push_back({s + 1, hi});
        }
    }
    return {true, 0};
}

// The check on a workspace that it hands back with an all-zero cache.
template <typename Observer>
CbyCheckResult cby_check_observed(CbyWorkspace& work, const std::vector<double>& pvalues, int r,
                                  const std::vector<double>& harmonic, int warm_s, double alpha,
                                  Observer&& observe) {
    if (r == 0) {
        return {true, 0};
    }
    WrittenRange written;
    const CbyCheckResult result =
        cby_check_sizes(work, pvalues, r, harmonic, warm_s, alpha, observe, written);
    work.zero(written);
    return result;
}

}  // namespace tulm::detail
