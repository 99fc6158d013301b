// libFuzzer harness for mean_consistency_check and the two searches built on it.
//
// Inputs are decoded within the contract the Python entry points enforce:
// prefix sums of m <= 48 e-values, k in 0..m + 2 (k > m passes at once), and
// either no hints or valid ones (1 <= o, 0 <= j, o + j <= m, as the witnesses
// of a check on the same prefix sums always are). Three modes:
//   grid:       ascending multiples of 1/4 below 64 at a few levels. The check
//               is compared with every pair evaluated (hints must not change a
//               flag that no rounding can flip), and the searches with it.
//   ascending:  any doubles sorted ascending (NaN last), any level.
//   raw:        any prefix-sum vector, any level.
// Every mode checks that a failure names a violating pair in range.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "fuzz_support.hpp"
#include "tulm/evalue.hpp"

namespace {

using fuzz_support::kMaxValues;
using fuzz_support::Verdict;

constexpr double kTolerance = -1e-12;
constexpr double kLevels[] = {0.01, 0.05, 0.1, 0.2, 0.5, 1.0};

// The slack of the pair (o, j), evaluated as the check evaluates it.
double slack(const std::vector<double>& cum_e, int u, int o, int j, double t) {
    const double block = cum_e[u + o] - cum_e[u];
    const double total = block + cum_e[j];
    const auto pairs = static_cast<std::int64_t>(o) * (static_cast<std::int64_t>(o) + j);
    return total - static_cast<double>(pairs) * t;
}

std::vector<double> prefix_sums(const std::vector<double>& values) {
    std::vector<double> cum_e(values.size() + 1, 0.0);
    for (std::size_t i = 1; i < cum_e.size(); ++i) {
        cum_e[i] = cum_e[i - 1] + values[i - 1];
    }
    return cum_e;
}

struct Hint {
    int in = -1;
    int out = -1;
};

Hint draw_hint(FuzzedDataProvider& data, const std::vector<double>& cum_e, int m, double alpha) {
    Hint hint;
    if (m == 0) {
        return hint;
    }
    switch (data.ConsumeIntegralInRange(0, 2)) {
        case 1:
            hint.in = data.ConsumeIntegralInRange(1, m);
            hint.out = data.ConsumeIntegralInRange(0, m - hint.in);
            break;
        case 2: {  // the witnesses of a check at another size, as the searches pass them
            const auto earlier = tulm::mean_consistency_check(
                cum_e, data.ConsumeIntegralInRange(1, m), alpha, -1, -1);
            hint.in = earlier.witness_in;
            hint.out = earlier.witness_out;
            break;
        }
        default: break;
    }
    return hint;
}

// A pass carries no witnesses; a failure names a pair in range that violates.
void require_well_formed(const tulm::MeanConsistencyResult& result,
                         const std::vector<double>& cum_e, int k, double alpha) {
    if (result.consistent) {
        REQUIRE(result.witness_in == -1 && result.witness_out == -1);
        return;
    }
    const int m = static_cast<int>(cum_e.size()) - 1;
    const int u = m - k;
    REQUIRE(k >= 1 && u >= 0);
    REQUIRE(result.witness_in >= 1 && result.witness_in <= k);
    REQUIRE(result.witness_out >= 0 && result.witness_out <= u);
    const double t = 1.0 / (static_cast<double>(k) * alpha);
    REQUIRE(slack(cum_e, u, result.witness_in, result.witness_out, t) < kTolerance);
}

// Every pair evaluated. A flag is decided only when no slack lies within a few
// roundings of the tolerance: there the bisection's probes may see noise.
Verdict every_pair(const std::vector<double>& cum_e, int k, double alpha) {
    const int m = static_cast<int>(cum_e.size()) - 1;
    if (k == 0 || k > m) {
        return Verdict::passes;
    }
    const int u = m - k;
    const double t = 1.0 / (static_cast<double>(k) * alpha);
    const double scale = std::fabs(cum_e[m]) + static_cast<double>(k) * m * std::fabs(t);
    const double margin = 64 * DBL_EPSILON * (1.0 + scale);
    Verdict verdict = Verdict::passes;
    for (int o = 1; o <= k; ++o) {
        for (int j = 0; j <= u; ++j) {
            const double f = slack(cum_e, u, o, j, t);
            if (f < kTolerance - margin) {
                return Verdict::fails;
            }
            if (f < kTolerance + margin) {
                verdict = Verdict::too_close;
            }
        }
    }
    return verdict;
}

void check_grid(FuzzedDataProvider& data) {
    const int m = data.ConsumeIntegralInRange(0, kMaxValues);
    std::vector<double> values(m);
    for (double& value : values) {
        value = data.ConsumeIntegralInRange(0, 255) / 4.0;
    }
    std::sort(values.begin(), values.end());
    const double alpha = data.PickValueInArray(kLevels);
    const std::vector<double> cum_e = prefix_sums(values);
    const int k = data.ConsumeIntegralInRange(0, m + 2);
    const Hint hint = draw_hint(data, cum_e, m, alpha);

    const auto plain = tulm::mean_consistency_check(cum_e, k, alpha, -1, -1);
    const auto hinted = tulm::mean_consistency_check(cum_e, k, alpha, hint.in, hint.out);
    require_well_formed(plain, cum_e, k, alpha);
    require_well_formed(hinted, cum_e, k, alpha);
    const Verdict verdict = every_pair(cum_e, k, alpha);
    if (verdict != Verdict::too_close) {
        REQUIRE(plain.consistent == (verdict == Verdict::passes));
        REQUIRE(hinted.consistent == plain.consistent);
    }

    // The exact scan finds the largest passing size; the bisection finds a
    // passing size above the e-BH count, or that count.
    int largest = 0;
    bool decided = true;
    for (int size = m; size >= 1; --size) {
        const Verdict at_size = every_pair(cum_e, size, alpha);
        decided = decided && at_size != Verdict::too_close;
        if (at_size == Verdict::passes) {
            largest = size;
            break;
        }
    }
    if (decided) {
        REQUIRE(tulm::largest_mean_consistent_exact(values, alpha) == largest);
    }
    const int approximate = tulm::largest_mean_consistent_approximate(values, alpha);
    const int ebh = tulm::ebh_count(values, alpha);
    REQUIRE(approximate >= ebh && approximate <= m);
    if (approximate > ebh) {
        REQUIRE(every_pair(cum_e, approximate, alpha) != Verdict::fails);
    }
}

void check_any(FuzzedDataProvider& data, bool ascending) {
    const int m = data.ConsumeIntegralInRange(0, kMaxValues);
    std::vector<double> values(m);
    for (double& value : values) {
        value = data.ConsumeFloatingPoint<double>();
        if (data.ConsumeIntegralInRange(0, 7) == 0) {
            value = std::nan("");
        }
    }
    const double alpha =
        data.ConsumeBool() ? data.PickValueInArray(kLevels) : data.ConsumeFloatingPoint<double>();
    std::vector<double> cum_e;
    if (ascending) {
        std::sort(values.begin(), values.end(),
                  [](double a, double b) { return a < b || (!std::isnan(a) && std::isnan(b)); });
        cum_e = prefix_sums(values);
    } else {
        cum_e = values;
        cum_e.insert(cum_e.begin(), data.ConsumeFloatingPoint<double>());
    }
    const int k = data.ConsumeIntegralInRange(0, m + 2);
    const Hint hint = draw_hint(data, cum_e, m, alpha);
    require_well_formed(tulm::mean_consistency_check(cum_e, k, alpha, hint.in, hint.out), cum_e, k,
                        alpha);
    if (ascending) {
        const int exact = tulm::largest_mean_consistent_exact(values, alpha);
        const int approximate = tulm::largest_mean_consistent_approximate(values, alpha);
        REQUIRE(exact >= 0 && exact <= m && approximate >= 0 && approximate <= m);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider data(bytes, size);
    switch (data.ConsumeIntegralInRange(0, 2)) {
        case 0: check_grid(data); break;
        case 1: check_any(data, true); break;
        default: check_any(data, false); break;
    }
    return 0;
}
