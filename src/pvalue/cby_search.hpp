// Both searches for the largest cBY-significant set, written once over the
// check they call, so that the tests can record each call (size and hint)
// while the public searches call the check itself.
#pragma once

#include <vector>

#include "tulm/pvalue.hpp"

namespace tulm::detail {

// check(pvalues, r, harmonic, warm_s, alpha) -> CbyCheckResult.
template <typename Check>
int largest_cby_significant_exact_with(const std::vector<double>& pvalues, double alpha,
                                       Check&& check) {
    // NaN goes on: the test is alpha <= 0, not !(alpha > 0).
    if (alpha <= 0.0) {
        return 0;
    }
    const int m = static_cast<int>(pvalues.size());
    const std::vector<double> prepared = prepare_pvalues(pvalues);
    const std::vector<double> harmonic = build_harmonic_table(m);
    int warm_s = 0;
    for (int k = m; k >= 1; --k) {
        const CbyCheckResult result = check(prepared, k, harmonic, warm_s, alpha);
        if (result.res) {
            return k;
        }
        warm_s = result.at_s;
    }
    return 0;
}

template <typename Check>
int largest_cby_significant_approximate_with(const std::vector<double>& pvalues, double alpha,
                                             Check&& check) {
    if (alpha <= 0.0) {
        return 0;
    }
    const int m = static_cast<int>(pvalues.size());
    const std::vector<double> prepared = prepare_pvalues(pvalues);
    const std::vector<double> harmonic = build_harmonic_table(m);
    const int by = by_count(prepared, harmonic, alpha);
    int lo = by + 1;
    int hi = m;
    int answer = by;
    // Only a failure moves the hint: it comes from the smallest size failed so far.
    int warm_s = 0;
    while (lo <= hi) {
        const int mid = lo + (hi - lo) / 2;
        const CbyCheckResult result = check(prepared, mid, harmonic, warm_s, alpha);
        if (result.res) {
            answer = mid;
            lo = mid + 1;
        } else {
            hi = mid - 1;
            warm_s = result.at_s;
        }
    }
    return answer;
}

}  // namespace tulm::detail
