// libFuzzer harness for cby_check and the two searches built on it.
//
// Inputs are decoded within the contract the Python entry point enforces:
// m <= 48 p-values, r in 0..m, warm_s in 0..m, a harmonic table of m + 1 to
// m + 4 entries. Two modes:
//   grid: descending p-values of the form c * 2^-e (c < 256, e < 32, zeros
//         included), the left-to-right table, a few levels. The verdict is
//         compared with every pair evaluated, must not depend on warm_s, and a
//         failing size must fail again when the check starts there.
//   any:  any doubles in any order, any table entries, any level.
// Both check the shape of the result and that r = 0 passes, and compare the
// fast check of the searches (observed and not) and both searches with the
// reference check wherever the fast path applies.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <utility>
#include <vector>

#include "fuzz_support.hpp"
#include "pvalue/cby_check.hpp"
#include "pvalue/cby_search.hpp"
#include "pvalue/fast/fast_check.hpp"
#include "pvalue/fast/search_tables.hpp"
#include "tulm/pvalue.hpp"

namespace {

using fuzz_support::kMaxValues;
using fuzz_support::Verdict;

constexpr double kLevels[] = {0.01, 0.05, 0.1, 0.2, 0.5};

void require_well_formed(const tulm::CbyCheckResult& result, int m, int r) {
    if (result.res) {
        REQUIRE(result.at_s == 0);
    } else {
        REQUIRE(r >= 1 && result.at_s >= 1 && result.at_s <= m);
    }
}

// The definition, pair by pair: every size s, every overlap i, the i largest
// candidates with the s - i largest p-values outside, no pruning, no early
// stop, no cache. A verdict is decided only away from the threshold, where the
// order of the sums cannot matter.
Verdict every_pair(const std::vector<double>& pvalues, int r, const std::vector<double>& harmonic,
                   double alpha) {
    const int m = static_cast<int>(pvalues.size());
    const double inv = 1.0 / alpha;
    const double cutoff = alpha + 1e-10;
    Verdict verdict = Verdict::passes;
    for (int s = 1; s <= m; ++s) {
        const double h = harmonic[s];
        const double T = (static_cast<double>(s) * h) * inv;
        const auto weight = [&](double x) {
            if (!(cutoff >= x * h)) {
                return 0.0;
            }
            const double step = std::ceil(x * T - 1e-10);
            return inv / (step > 1.0 ? step : 1.0);
        };
        for (int i = std::max(1, s - m + r); i <= std::min(r, s); ++i) {
            double total = 0.0;
            for (int n = 0; n < i; ++n) {
                total += weight(pvalues[m - r + n]);
            }
            for (int j = 0; j < s - i; ++j) {
                total += weight(pvalues[j]);
            }
            const double threshold =
                (static_cast<double>(i) * inv) / static_cast<double>(r) - 1e-10;
            const double margin = 1e-9 * (1.0 + threshold);
            if (total < threshold - margin) {
                return Verdict::fails;
            }
            if (total < threshold + margin) {
                verdict = Verdict::too_close;
            }
        }
    }
    return verdict;
}

using Visits = std::vector<std::pair<int, tulm::detail::SizeTest>>;

// The fast check against the reference: verdict, witness and the order of
// sizes, and the same verdict when nothing observes it.
void compare_fast_check(const std::vector<double>& pvalues, int r,
                        const std::vector<double>& harmonic, int warm_s, double alpha) {
    const tulm::detail::CbySearchTables tables(pvalues, harmonic, alpha);
    if (!tables.usable()) {
        return;
    }
    tulm::detail::FastCbyCheck fast(tables);
    Visits fast_visits;
    Visits reference_visits;
    const auto fast_result =
        fast.run(r, warm_s, tulm::detail::SizeVisits::all,
                 [&](int s, tulm::detail::SizeTest test) { fast_visits.emplace_back(s, test); });
    tulm::detail::CbyWorkspace work;
    const auto reference = tulm::detail::cby_check_observed(
        work, pvalues, r, harmonic, warm_s, alpha,
        [&](int s, tulm::detail::SizeTest test) { reference_visits.emplace_back(s, test); });
    REQUIRE(fast_result.res == reference.res && fast_result.at_s == reference.at_s);
    REQUIRE(fast_visits == reference_visits);
    const auto silent =
        fast.run(r, warm_s, tulm::detail::SizeVisits::until_proven, tulm::detail::IgnoreSizes{});
    REQUIRE(silent.res == reference.res && silent.at_s == reference.at_s);
}

// Both searches against searches built on the reference check.
void compare_searches(const std::vector<double>& pvalues, double alpha) {
    tulm::detail::CbyWorkspace work;
    const auto reference = [&work](std::span<const double> p, int r,
                                   std::span<const double> harmonic, int warm_s, double level) {
        return tulm::detail::cby_check_observed(work, p, r, harmonic, warm_s, level,
                                                [](int, tulm::detail::SizeTest) {});
    };
    REQUIRE(tulm::largest_cby_significant_exact(pvalues, alpha)
            == tulm::detail::largest_cby_significant_exact_with(pvalues, alpha, reference));
    REQUIRE(tulm::largest_cby_significant_approximate(pvalues, alpha)
            == tulm::detail::largest_cby_significant_approximate_with(pvalues, alpha, reference));
}

std::vector<double> extended_table(FuzzedDataProvider& data, int m) {
    std::vector<double> harmonic = tulm::build_harmonic_table(m);
    for (int extra = data.ConsumeIntegralInRange(0, 3); extra > 0; --extra) {
        harmonic.push_back(data.ConsumeFloatingPoint<double>());
    }
    return harmonic;
}

void check_grid(FuzzedDataProvider& data) {
    const int m = data.ConsumeIntegralInRange(0, kMaxValues);
    std::vector<double> pvalues(m);
    for (double& p : pvalues) {
        const int mantissa = data.ConsumeIntegralInRange(0, 255);
        p = std::ldexp(mantissa / 256.0, -data.ConsumeIntegralInRange(0, 31));
    }
    std::sort(pvalues.begin(), pvalues.end(), std::greater<>());
    const std::vector<double> harmonic = extended_table(data, m);
    const double alpha = data.PickValueInArray(kLevels);
    const int r = data.ConsumeIntegralInRange(0, m);

    const auto cold = tulm::cby_check(pvalues, r, harmonic, 0, alpha);
    require_well_formed(cold, m, r);
    compare_fast_check(pvalues, r, harmonic, data.ConsumeIntegralInRange(0, m), alpha);
    compare_searches(pvalues, alpha);
    REQUIRE(r > 0 || cold.res);
    const Verdict verdict = every_pair(pvalues, r, harmonic, alpha);
    if (verdict != Verdict::too_close) {
        REQUIRE(cold.res == (verdict == Verdict::passes));
    }
    for (int warm_s = 1; warm_s <= m; ++warm_s) {
        const auto warm = tulm::cby_check(pvalues, r, harmonic, warm_s, alpha);
        require_well_formed(warm, m, r);
        REQUIRE(warm.res == cold.res);
        if (!warm.res) {
            // The verdict at one size does not depend on the sizes before it.
            const auto again = tulm::cby_check(pvalues, r, harmonic, warm.at_s, alpha);
            REQUIRE(!again.res && again.at_s == warm.at_s);
        }
    }

    // The searches, on the same values with zeros replaced.
    const std::vector<double> prepared = tulm::prepare_pvalues(pvalues);
    int largest = 0;
    bool decided = true;
    for (int k = m; k >= 1; --k) {
        const Verdict at_k = every_pair(prepared, k, harmonic, alpha);
        decided = decided && at_k != Verdict::too_close;
        if (at_k == Verdict::passes) {
            largest = k;
            break;
        }
    }
    if (decided) {
        REQUIRE(tulm::largest_cby_significant_exact(pvalues, alpha) == largest);
    }
    const int approximate = tulm::largest_cby_significant_approximate(pvalues, alpha);
    const int by = tulm::by_count(prepared, harmonic, alpha);
    REQUIRE(approximate >= by && approximate <= m);
    if (approximate > by) {
        REQUIRE(tulm::cby_check(prepared, approximate, harmonic, 0, alpha).res);
    }
}

void check_any(FuzzedDataProvider& data) {
    const int m = data.ConsumeIntegralInRange(0, kMaxValues);
    std::vector<double> pvalues(m);
    for (double& p : pvalues) {
        p = data.ConsumeFloatingPoint<double>();
    }
    if (data.ConsumeBool()) {
        std::sort(pvalues.begin(), pvalues.end(), std::greater<>());
    }
    std::vector<double> harmonic = extended_table(data, m);
    if (data.ConsumeBool()) {
        for (double& h : harmonic) {
            h = data.ConsumeFloatingPoint<double>();
        }
    }
    const double alpha = data.ConsumeFloatingPoint<double>();
    const int r = data.ConsumeIntegralInRange(0, m);
    const int warm_s = data.ConsumeIntegralInRange(0, m);
    const auto result = tulm::cby_check(pvalues, r, harmonic, warm_s, alpha);
    require_well_formed(result, m, r);
    REQUIRE(r > 0 || result.res);
    compare_fast_check(pvalues, r, harmonic, warm_s, alpha);
    compare_searches(pvalues, alpha);
    const int exact = tulm::largest_cby_significant_exact(pvalues, alpha);
    const int approximate = tulm::largest_cby_significant_approximate(pvalues, alpha);
    REQUIRE(exact >= 0 && exact <= m && approximate >= 0 && approximate <= m);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* bytes, std::size_t size) {
    FuzzedDataProvider data(bytes, size);
    if (data.ConsumeBool()) {
        check_grid(data);
    } else {
        check_any(data);
    }
    return 0;
}
