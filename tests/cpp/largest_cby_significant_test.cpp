#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <numeric>
#include <ostream>
#include <random>
#include <span>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "pvalue/cby_search.hpp"
#include "tulm/pvalue.hpp"

namespace {

using tulm::CbyCheckResult;
using tulm::detail::largest_cby_significant_approximate_with;
using tulm::detail::largest_cby_significant_exact_with;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// (r, warm_s, res, at_s) of one call of the check.
using Call = std::tuple<int, int, bool, int>;

// Forwards to the real check and records every call.
struct RecordingCheck {
    std::vector<Call> calls;
    std::vector<double> last_pvalues;
    std::vector<double> last_harmonic;

    CbyCheckResult operator()(std::span<const double> pvalues, int r,
                              std::span<const double> harmonic, int warm_s, double alpha) {
        last_pvalues.assign(pvalues.begin(), pvalues.end());
        last_harmonic.assign(harmonic.begin(), harmonic.end());
        const CbyCheckResult result = tulm::cby_check(pvalues, r, harmonic, warm_s, alpha);
        calls.emplace_back(r, warm_s, result.res, result.at_s);
        return result;
    }
};

// Passes every size up to `largest_passing`; a failure reports 100 + r, so
// the tests can tell which failure a hint came from.
struct ScriptedCheck {
    int largest_passing;
    std::vector<Call> calls;

    CbyCheckResult operator()(std::span<const double> /*pvalues*/, int r,
                              std::span<const double> /*harmonic*/, int warm_s, double /*alpha*/) {
        const CbyCheckResult result =
            r <= largest_passing ? CbyCheckResult{true, 0} : CbyCheckResult{false, 100 + r};
        calls.emplace_back(r, warm_s, result.res, result.at_s);
        return result;
    }
};

const std::vector<double> kExample{0.9, 0.5, 0.04, 0.03, 0.02, 0.01, 5e-3, 1e-3};

TEST(LargestCbySignificant, ExactSearchCallsOnTheExample) {
    RecordingCheck check;
    EXPECT_EQ(largest_cby_significant_exact_with(kExample, 0.05, check), 3);
    EXPECT_EQ(check.calls, (std::vector<Call>{{8, 0, false, 4},
                                              {7, 4, false, 4},
                                              {6, 4, false, 4},
                                              {5, 4, false, 4},
                                              {4, 4, false, 5},
                                              {3, 5, true, 0}}));
    EXPECT_EQ(tulm::largest_cby_significant_exact(kExample, 0.05), 3);
}

TEST(LargestCbySignificant, ApproximateSearchBisectsAboveTheByCount) {
    const std::vector<double> harmonic = tulm::build_harmonic_table(8);
    ASSERT_EQ(tulm::by_count(kExample, harmonic, 0.05), 1);
    RecordingCheck check;
    EXPECT_EQ(largest_cby_significant_approximate_with(kExample, 0.05, check), 3);
    EXPECT_EQ(check.calls,
              (std::vector<Call>{{5, 0, false, 4}, {3, 4, true, 0}, {4, 4, false, 5}}));
    EXPECT_EQ(tulm::largest_cby_significant_approximate(kExample, 0.05), 3);
}

TEST(LargestCbySignificant, ExactSearchHandsEachFailureToTheNextSize) {
    ScriptedCheck check{0, {}};
    EXPECT_EQ(largest_cby_significant_exact_with(std::vector<double>(4, 0.5), 0.05, check), 0);
    EXPECT_EQ(
        check.calls,
        (std::vector<Call>{
            {4, 0, false, 104}, {3, 104, false, 103}, {2, 103, false, 102}, {1, 102, false, 101}}));
}

// m = 10 with a BY count of 3: the sizes tried start at 7; a pass keeps the
// hint of the smallest failure so far.
std::vector<double> ten_with_by_count_three() {
    std::vector<double> pvalues(10, 0.9);
    pvalues[7] = pvalues[8] = pvalues[9] = 1e-4;
    return pvalues;
}

TEST(LargestCbySignificant, BisectionOrderAndHints) {
    const std::vector<double> pvalues = ten_with_by_count_three();
    ASSERT_EQ(tulm::by_count(pvalues, tulm::build_harmonic_table(10), 0.05), 3);

    ScriptedCheck passes_at_seven{8, {}};
    EXPECT_EQ(largest_cby_significant_approximate_with(pvalues, 0.05, passes_at_seven), 8);
    EXPECT_EQ(passes_at_seven.calls,
              (std::vector<Call>{{7, 0, true, 0}, {9, 0, false, 109}, {8, 109, true, 0}}));

    ScriptedCheck fails_at_seven{5, {}};
    EXPECT_EQ(largest_cby_significant_approximate_with(pvalues, 0.05, fails_at_seven), 5);
    EXPECT_EQ(fails_at_seven.calls,
              (std::vector<Call>{{7, 0, false, 107}, {5, 107, true, 0}, {6, 107, false, 106}}));

    ScriptedCheck none_above{3, {}};
    EXPECT_EQ(largest_cby_significant_approximate_with(pvalues, 0.05, none_above), 3);
    EXPECT_EQ(none_above.calls,
              (std::vector<Call>{{7, 0, false, 107}, {5, 107, false, 105}, {4, 105, false, 104}}));
}

struct NoCallCase {
    const char* why;
    std::vector<double> pvalues;
    double alpha;
    int expected;
};

void PrintTo(const NoCallCase& c, std::ostream* os) { *os << c.why; }

class SearchWithoutCheck : public testing::TestWithParam<NoCallCase> {};

TEST_P(SearchWithoutCheck, AnswersWithoutCallingTheCheck) {
    const NoCallCase& c = GetParam();
    ScriptedCheck exact_check{0, {}};
    ScriptedCheck approximate_check{0, {}};
    EXPECT_EQ(largest_cby_significant_approximate_with(c.pvalues, c.alpha, approximate_check),
              c.expected);
    EXPECT_TRUE(approximate_check.calls.empty());
    if (c.expected == 0) {
        EXPECT_EQ(largest_cby_significant_exact_with(c.pvalues, c.alpha, exact_check), 0);
        EXPECT_TRUE(exact_check.calls.empty());
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, SearchWithoutCheck,
    testing::Values(NoCallCase{"alpha = 0", {1e-9, 1e-9}, 0.0, 0},
                    NoCallCase{"negative alpha", {1e-9, 1e-9}, -0.05, 0},
                    NoCallCase{"empty vector", {}, 0.05, 0},
                    NoCallCase{"BY count is m", {0.01, 0.001}, 0.05, 2}));
// clang-format on

// 1e-12 at k = 1 gives an excess of (30 * H_30) * 1e-12 - 1e-11, about 1.1e-10:
// the BY count is 0 on the prepared copy but would be 1 on the raw zero.
TEST(LargestCbySignificant, ByCountRunsOnThePreparedCopy) {
    std::vector<double> pvalues(30, 0.9);
    pvalues.back() = 0.0;
    ScriptedCheck check{0, {}};
    EXPECT_EQ(largest_cby_significant_approximate_with(pvalues, 1e-11, check), 0);
    ASSERT_FALSE(check.calls.empty());
    EXPECT_EQ(std::get<0>(check.calls.front()), 15);
}

TEST(LargestCbySignificant, NanAlphaPassesEveryCheck) {
    const std::vector<double> pvalues{0.9, 0.5, 0.1};
    EXPECT_EQ(tulm::largest_cby_significant_exact(pvalues, kNaN), 3);
    EXPECT_EQ(tulm::largest_cby_significant_approximate(pvalues, kNaN), 3);
}

TEST(LargestCbySignificant, SingleHypothesis) {
    RecordingCheck exact_check;
    EXPECT_EQ(largest_cby_significant_exact_with(std::vector<double>{0.06}, 0.05, exact_check), 0);
    EXPECT_EQ(exact_check.calls, (std::vector<Call>{{1, 0, false, 1}}));

    RecordingCheck approximate_check;
    EXPECT_EQ(largest_cby_significant_approximate_with(std::vector<double>{0.06}, 0.05,
                                                       approximate_check),
              0);
    EXPECT_EQ(approximate_check.calls, (std::vector<Call>{{1, 0, false, 1}}));
    EXPECT_EQ(approximate_check.last_harmonic, (std::vector<double>{0.0, 1.0}));
}

TEST(LargestCbySignificant, CheckSeesPreparedZerosAndItsOwnTable) {
    const std::vector<double> pvalues{0.9, kNaN, 0.0, -0.0};
    RecordingCheck check;
    largest_cby_significant_exact_with(pvalues, 0.05, check);
    ASSERT_EQ(check.last_pvalues.size(), 4U);
    EXPECT_EQ(check.last_pvalues[0], 0.9);
    EXPECT_TRUE(std::isnan(check.last_pvalues[1]));
    EXPECT_EQ(check.last_pvalues[2], 1e-12);
    EXPECT_EQ(check.last_pvalues[3], 1e-12);
    EXPECT_EQ(check.last_harmonic, tulm::build_harmonic_table(4));
    EXPECT_TRUE(std::signbit(pvalues[3])) << "the caller's vector is left alone";
}

TEST(PreparePvalues, ReplacesBothZerosOnly) {
    const std::vector<double> prepared =
        tulm::prepare_pvalues(std::vector<double>{0.5, -0.0, 0.0, -1e-3, kNaN});
    ASSERT_EQ(prepared.size(), 5U);
    EXPECT_EQ(prepared[0], 0.5);
    EXPECT_EQ(prepared[1], 1e-12);
    EXPECT_EQ(prepared[2], 1e-12);
    EXPECT_EQ(prepared[3], -1e-3);
    EXPECT_TRUE(std::isnan(prepared[4]));
}

// H_m as an exact fraction num / den; both stay below 2^53 for m <= 20, so
// double(num) / double(den) is H_m correctly rounded.
double correctly_rounded_harmonic(int m) {
    std::uint64_t num = 0;
    std::uint64_t den = 1;
    for (std::uint64_t i = 1; i <= static_cast<std::uint64_t>(m); ++i) {
        num = num * i + den;
        den *= i;
        const std::uint64_t g = std::gcd(num, den);
        num /= g;
        den /= g;
    }
    return static_cast<double>(num) / static_cast<double>(den);
}

TEST(BuildHarmonicTable, SummedLeftToRightNotCorrectlyRounded) {
    EXPECT_EQ(tulm::build_harmonic_table(0), (std::vector<double>{0.0}));
    EXPECT_EQ(tulm::build_harmonic_table(3), (std::vector<double>{0.0, 1.0, 1.5, 11.0 / 6.0}));
    const std::vector<double> table = tulm::build_harmonic_table(12);
    for (int m : {4, 6, 7, 8, 9, 11}) {
        const double exact = correctly_rounded_harmonic(m);
        EXPECT_NE(table[m], exact) << "m = " << m;
        EXPECT_EQ(table[m], std::nextafter(exact, 0.0)) << "m = " << m;
    }
    for (int m : {1, 2, 3, 5, 10, 12}) {
        EXPECT_EQ(table[m], correctly_rounded_harmonic(m)) << "m = " << m;
    }
}

// Callers build their tables with a plain double loop; the searches' own table
// must match it entry for entry, however long.
TEST(BuildHarmonicTable, EqualsAPlainDoubleLoop) {
    constexpr int m = 100000;
    const std::vector<double> table = tulm::build_harmonic_table(m);
    ASSERT_EQ(table.size(), static_cast<std::size_t>(m) + 1);
    double running = 0.0;
    int mismatches = 0;
    for (int i = 1; i <= m; ++i) {
        running = running + 1.0 / i;
        mismatches += table[i] != running ? 1 : 0;
    }
    EXPECT_EQ(mismatches, 0);
}

// The public searches reuse one workspace across their checks; a fresh check
// per size is the reference. Screens mix nulls, signals, ties and zeros so that
// the weight cache is written, cleared and handed over between checks.
TEST(LargestCbySignificant, SharedWorkspaceAnswersAsFreshChecks) {
    std::mt19937_64 rng(7);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::uniform_int_distribution<int> size(1, 300);
    std::bernoulli_distribution is_signal(0.3);
    const auto fresh_check = [](std::span<const double> pvalues, int r,
                                std::span<const double> harmonic, int warm_s, double alpha) {
        return tulm::cby_check(pvalues, r, harmonic, warm_s, alpha);
    };
    for (int screen = 0; screen < 300; ++screen) {
        const int m = size(rng);
        std::vector<double> pvalues(static_cast<std::size_t>(m));
        for (double& p : pvalues) {
            const double z = noise(rng) + (is_signal(rng) ? 3.5 : 0.0);
            p = std::round(0.5 * std::erfc(z / std::sqrt(2.0)) * 1e4) / 1e4;  // ties and zeros
        }
        std::sort(pvalues.begin(), pvalues.end(), std::greater<>());
        for (const double alpha : {0.05, 0.2}) {
            EXPECT_EQ(tulm::largest_cby_significant_exact(pvalues, alpha),
                      largest_cby_significant_exact_with(pvalues, alpha, fresh_check));
            EXPECT_EQ(tulm::largest_cby_significant_approximate(pvalues, alpha),
                      largest_cby_significant_approximate_with(pvalues, alpha, fresh_check));
        }
    }
}

}  // namespace
