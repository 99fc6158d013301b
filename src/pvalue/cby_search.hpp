// Both searches for the largest cBY-significant set, written once over the
// check they call, so that the tests can record each call (size and hint)
// while the public searches call the check itself.
#pragma once

#include <algorithm>
#include <span>
#include <vector>

#include "interrupt_poll.hpp"
#include "large_allocator.hpp"
#include "tolerances.hpp"
#include "tulm/pvalue.hpp"

namespace tulm::detail {

// The harmonic table of m + 1 entries as a plain running sum: each entry is
// the previous one plus 1/i, so the table equals what a caller's sequential
// loop produces, last bit included.
template <typename Vector>
Vector harmonic_table_of(int m) {
    Vector harmonic;
    harmonic.reserve(m > 0 ? static_cast<std::size_t>(m) + 1 : 1);
    double total = 0.0;
    harmonic.push_back(total);
    for (int i = 1; i <= m; ++i) {
        total += 1.0 / static_cast<double>(i);
        harmonic.push_back(total);
    }
    return harmonic;
}

// The p-values with every zero (+0.0 and -0.0) replaced.
template <typename Vector>
Vector prepared_pvalues_of(std::span<const double> pvalues) {
    Vector prepared(pvalues.begin(), pvalues.end());
    for (double& p : prepared) {
        if (p == 0.0) {
            p = kZeroPvalueStandIn;
        }
    }
    return prepared;
}

// What both searches check on: the p-values with zeros replaced (a copy only
// when there is a zero to replace) and their own harmonic table.
class CbySearchInputs {
public:
    explicit CbySearchInputs(std::span<const double> pvalues)
        : harmonic_(harmonic_table_of<LargeVector<double>>(static_cast<int>(pvalues.size()))) {
        if (std::find(pvalues.begin(), pvalues.end(), 0.0) == pvalues.end()) {
            pvalues_ = pvalues;
        } else {
            prepared_ = prepared_pvalues_of<LargeVector<double>>(pvalues);
            pvalues_ = prepared_;
        }
    }
    [[nodiscard]] std::span<const double> pvalues() const { return pvalues_; }
    [[nodiscard]] std::span<const double> harmonic() const { return harmonic_; }

private:
    LargeVector<double> prepared_;
    LargeVector<double> harmonic_;
    std::span<const double> pvalues_;
};

// check(pvalues, r, harmonic, warm_s, alpha) -> CbyCheckResult.
template <typename Check, typename Poll = NoInterruptPoll>
int largest_cby_significant_exact_with(std::span<const double> pvalues, double alpha, Check&& check,
                                       Poll&& poll = Poll{}) {
    // NaN goes on: the test is alpha <= 0, not !(alpha > 0).
    if (alpha <= 0.0) {
        return 0;
    }
    const int m = static_cast<int>(pvalues.size());
    const CbySearchInputs inputs(pvalues);
    int warm_s = 0;
    for (int k = m; k >= 1; --k) {
        poll();
        const CbyCheckResult result = check(inputs.pvalues(), k, inputs.harmonic(), warm_s, alpha);
        if (result.res) {
            return k;
        }
        warm_s = result.at_s;
    }
    return 0;
}

template <typename Check, typename Poll = NoInterruptPoll>
int largest_cby_significant_approximate_with(std::span<const double> pvalues, double alpha,
                                             Check&& check, Poll&& poll = Poll{}) {
    if (alpha <= 0.0) {
        return 0;
    }
    const int m = static_cast<int>(pvalues.size());
    const CbySearchInputs inputs(pvalues);
    const int by = by_count(inputs.pvalues(), inputs.harmonic(), alpha);
    int lo = by + 1;
    int hi = m;
    int answer = by;
    // Only a failure moves the hint: it comes from the smallest size failed so far.
    int warm_s = 0;
    while (lo <= hi) {
        poll();
        const int mid = lo + (hi - lo) / 2;
        const CbyCheckResult result =
            check(inputs.pvalues(), mid, inputs.harmonic(), warm_s, alpha);
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
