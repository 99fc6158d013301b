#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <functional>
#include <limits>
#include <ostream>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "pvalue/cby_check.hpp"
#include "tulm/pvalue.hpp"

namespace {

using tulm::detail::SizeTest;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

using Visit = std::pair<int, SizeTest>;
constexpr SizeTest Q = SizeTest::quick;
constexpr SizeTest S = SizeTest::single;
constexpr SizeTest D = SizeTest::detailed;

struct Observed {
    tulm::CbyCheckResult result;
    std::vector<Visit> visits;
};

Observed observe_check(const std::vector<double>& pvalues, int r, int warm_s, double alpha) {
    const int m = static_cast<int>(pvalues.size());
    const std::vector<double> harmonic = tulm::build_harmonic_table(m);
    Observed observed{};
    tulm::detail::CbyWorkspace work;
    observed.result = tulm::detail::cby_check_observed(
        work, pvalues, r, harmonic, warm_s, alpha,
        [&observed](int s, SizeTest test) { observed.visits.emplace_back(s, test); });
    // The public entry must agree with the observed one.
    const tulm::CbyCheckResult plain = tulm::cby_check(pvalues, r, harmonic, warm_s, alpha);
    EXPECT_EQ(plain.res, observed.result.res);
    EXPECT_EQ(plain.at_s, observed.result.at_s);
    return observed;
}

const std::vector<double> kExample{0.9, 0.5, 0.04, 0.03, 0.02, 0.01, 5e-3, 1e-3};

struct ExampleCase {
    const char* why;
    int r;
    int warm_s;
    bool res;
    int at_s;
    std::vector<Visit> visits;  // empty: the order is not pinned
};

void PrintTo(const ExampleCase& c, std::ostream* os) { *os << c.why; }

class CbyCheckExample : public testing::TestWithParam<ExampleCase> {};

TEST_P(CbyCheckExample, VerdictWitnessAndOrderOfSizes) {
    const ExampleCase& c = GetParam();
    const Observed observed = observe_check(kExample, c.r, c.warm_s, 0.05);
    EXPECT_EQ(observed.result.res, c.res);
    EXPECT_EQ(observed.result.at_s, c.at_s);
    if (!c.visits.empty()) {
        EXPECT_EQ(observed.visits, c.visits);
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, CbyCheckExample,
    testing::Values(
        ExampleCase{"r = 0 passes without examining a size", 0, 0, true, 0, {}},
        ExampleCase{"r = 1: every size passes the quick test", 1, 0, true, 0,
                    {{4, Q}, {6, Q}, {7, Q}, {8, Q}}},
        ExampleCase{"r = 2: size 8 needs the detailed test", 2, 0, true, 0,
                    {{4, Q}, {6, Q}, {7, Q}, {8, D}}},
        ExampleCase{"r = 3: sizes 7 and 8 need the detailed test", 3, 0, true, 0,
                    {{4, Q}, {6, Q}, {7, D}, {8, D}}},
        ExampleCase{"r = 4: size 6 passes early, size 5 violates", 4, 0, false, 5,
                    {{4, Q}, {6, D}, {5, D}}},
        ExampleCase{"r = 5 violates at the first size", 5, 0, false, 4, {{4, D}}},
        ExampleCase{"r = 6 violates at the first size", 6, 0, false, 4, {{4, D}}},
        ExampleCase{"r = 7 violates at the first size", 7, 0, false, 4, {{4, D}}},
        ExampleCase{"r = 8 violates at the first size", 8, 0, false, 4, {{4, D}}},
        ExampleCase{"r = 4, hint 5: one size", 4, 5, false, 5, {{5, D}}},
        ExampleCase{"r = 5, hint 5", 5, 5, false, 5, {}},
        ExampleCase{"r = 7, hint 1: single-size test with pmax = 0.5", 7, 1, false, 1, {{1, S}}},
        ExampleCase{"r = 2, hint 8: 8 first, then the splits of [1, 7]", 2, 8, true, 0,
                    {{8, D}, {4, Q}, {6, Q}, {7, Q}}},
        ExampleCase{"r = 1, hint 8: quick pass drops [1, 7]", 1, 8, true, 0, {{8, Q}}},
        ExampleCase{"r = 4, hint 2", 4, 2, false, 5, {}},
        ExampleCase{"r = 6, hint 2", 6, 2, false, 2, {}}));
// clang-format on

// The largest candidate sits just above alpha, within the tolerance: the quick
// test fails at every size, the single-size test and every detailed test pass.
const std::vector<double> kNoQuickPass{0.05 + 5e-11, 1e-3, 1e-3, 1e-3, 1e-3, 1e-3, 1e-3, 1e-3};

TEST(CbyCheckOrder, BreadthFirstOverMidpointsLowerHalfFirst) {
    const Observed observed = observe_check(kNoQuickPass, 8, 0, 0.05);
    EXPECT_TRUE(observed.result.res);
    EXPECT_EQ(observed.visits,
              (std::vector<Visit>{{4, D}, {2, D}, {6, D}, {1, S}, {3, D}, {5, D}, {7, D}, {8, D}}));
}

TEST(CbyCheckOrder, HintFirstThenTheSplitsOfBothSides) {
    const Observed observed = observe_check(kNoQuickPass, 8, 3, 0.05);
    EXPECT_TRUE(observed.result.res);
    EXPECT_EQ(observed.visits,
              (std::vector<Visit>{{3, D}, {1, S}, {6, D}, {2, D}, {4, D}, {7, D}, {5, D}, {8, D}}));
}

struct EdgeCase {
    const char* why;
    std::vector<double> pvalues;
    int r;
    int warm_s;
    double alpha;
    bool res;
    int at_s;
    std::vector<Visit> visits = {};  // empty: the order is not pinned
};

void PrintTo(const EdgeCase& c, std::ostream* os) { *os << c.why; }

class CbyCheckEdge : public testing::TestWithParam<EdgeCase> {};

TEST_P(CbyCheckEdge, Verdict) {
    const EdgeCase& c = GetParam();
    const Observed observed = observe_check(c.pvalues, c.r, c.warm_s, c.alpha);
    EXPECT_EQ(observed.result.res, c.res);
    EXPECT_EQ(observed.result.at_s, c.at_s);
    if (!c.visits.empty()) {
        EXPECT_EQ(observed.visits, c.visits);
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, CbyCheckEdge,
    testing::Values(
        EdgeCase{"r = 0 on an empty vector", {}, 0, 0, 0.05, true, 0},
        EdgeCase{"single size: above the cut-off weighs 0", {0.06}, 1, 0, 0.05, false, 1},
        EdgeCase{"single size: quick test holds at equality", {0.05}, 1, 0, 0.05, true, 0,
                 {{1, Q}}},
        EdgeCase{"quick test at equality skips the single-size test", {0.5, 0.05}, 1, 0, 0.05,
                 false, 2, {{1, Q}, {2, D}}},
        // Size 2, overlap 1: weights 10 + 10 against the bound 1 / (alpha * r) = 20.
        EdgeCase{"least-favourable total exactly at the bound passes", {0.03, 0.02}, 1, 0, 0.05,
                 true, 0, {{1, Q}, {2, D}}},
        EdgeCase{"one step lower outside falls below the bound", {0.034, 0.02}, 1, 0, 0.05,
                 false, 2},
        EdgeCase{"alpha = 0: infinite 1/alpha in the single-size test", {0.06}, 1, 0, 0.0,
                 false, 1},
        EdgeCase{"pmax 0 passes the quick test everywhere", {0.9, 0.5, 0.0}, 1, 2, 0.05, true,
                 0},
        // Size 2 needs the zero's weight to be exactly 1/alpha: ceil gives -0.0,
        // which max raises to 1.0.
        EdgeCase{"a zero p-value weighs 1/alpha", {0.05 + 5e-11, 0.0}, 2, 0, 0.05, true, 0},
        // 0x1.111111135b791p-3 * 1.5 equals 0.2 + 1e-10 exactly; size 2 passes only
        // if that p-value keeps its weight 5/3, wherever the test meets it.
        EdgeCase{"product equal to the cut-off: candidate prefix",
                 {0x1.111111135b791p-3, 0.1, 0.01}, 3, 0, 0.2, true, 0},
        EdgeCase{"product equal to the cut-off: outside pass",
                 {0x1.111111135b791p-3, 0x1.111111135b790p-3, 0.01}, 2, 0, 0.2, true, 0},
        EdgeCase{"product equal to the cut-off: overlap scan",
                 {0.5, 0x1.111111135b791p-3, 0.01, 0.001}, 3, 0, 0.2, true, 0},
        // The outside NaN weighs 1/alpha only through max(NaN, 1.0) = 1.0; a NaN
        // weight would make the comparisons false and size 3 pass.
        EdgeCase{"NaN ceiling gives weight 1/alpha", {kNaN, 0.03, 0.02, 0.02}, 3, 3, 0.05,
                 false, 3},
        EdgeCase{"NaN pmax fails the quick test and weighs 0", {0.5, kNaN}, 1, 0, 0.05, false,
                 1}));
// clang-format on

// Independent oracle: the least-favourable-set definition evaluated in long
// double, straight from the BY steps q * alpha / (s * H_s).
struct OracleVerdict {
    bool res = true;
    bool near_threshold = false;
    std::set<int> violating_sizes;
};

OracleVerdict least_favourable_oracle(const std::vector<double>& pvalues, int r, double alpha) {
    constexpr long double kMargin = 1e-7L;
    const int m = static_cast<int>(pvalues.size());
    OracleVerdict verdict;
    long double harmonic = 0.0L;
    for (int s = 1; s <= m; ++s) {
        harmonic += 1.0L / static_cast<long double>(s);
        std::vector<long double> weight(static_cast<std::size_t>(m), 0.0L);
        for (int t = 0; t < m; ++t) {
            const long double steps = static_cast<long double>(pvalues[t]) * s * harmonic / alpha;
            if (std::fabs(steps - std::round(steps)) < kMargin) {
                verdict.near_threshold = true;
            }
            const long double q = std::max(std::ceil(steps), 1.0L);
            weight[t] = q <= s ? 1.0L / (static_cast<long double>(alpha) * q) : 0.0L;
        }
        const int outside = m - r;
        for (int i = std::max(1, s - outside); i <= std::min(r, s); ++i) {
            long double total = 0.0L;
            for (int c = 0; c < i; ++c) {
                total += weight[outside + c];
            }
            for (int o = 0; o < s - i; ++o) {
                total += weight[o];
            }
            const long double bound = i / (static_cast<long double>(alpha) * r);
            if (std::fabs(total - bound) < kMargin * bound) {
                verdict.near_threshold = true;
            }
            if (total < bound) {
                verdict.res = false;
                verdict.violating_sizes.insert(s);
            }
        }
    }
    return verdict;
}

TEST(CbyCheckOracle, AgreesWithLeastFavourableSetsForEveryHint) {
    std::mt19937_64 rng(20240611);
    std::uniform_int_distribution<int> size(1, 9);
    std::uniform_real_distribution<double> log10_p(-4.0, 0.0);
    const std::array<double, 3> alphas{0.05, 0.1, 0.2};
    int passes = 0;
    int failures = 0;
    for (int sample = 0; sample < 4000; ++sample) {
        const int m = size(rng);
        const int r = std::uniform_int_distribution<int>(1, m)(rng);
        const double alpha = alphas.at(static_cast<std::size_t>(sample % 3));
        std::vector<double> pvalues(static_cast<std::size_t>(m));
        for (double& p : pvalues) {
            p = std::pow(10.0, log10_p(rng));
        }
        std::sort(pvalues.begin(), pvalues.end(), std::greater<>());

        const OracleVerdict expected = least_favourable_oracle(pvalues, r, alpha);
        if (expected.near_threshold) {
            continue;
        }
        (expected.res ? passes : failures) += 1;
        for (int warm_s = 0; warm_s <= m; ++warm_s) {
            const Observed observed = observe_check(pvalues, r, warm_s, alpha);
            ASSERT_EQ(observed.result.res, expected.res)
                << "sample " << sample << ", m " << m << ", r " << r << ", warm_s " << warm_s;
            if (!observed.result.res) {
                // The witness is a size that really has a violating overlap.
                EXPECT_TRUE(expected.violating_sizes.contains(observed.result.at_s))
                    << "sample " << sample << ", at_s " << observed.result.at_s;
            }
            std::set<int> seen;
            for (const Visit& visit : observed.visits) {
                EXPECT_TRUE(seen.insert(visit.first).second)
                    << "size " << visit.first << " examined twice, sample " << sample;
            }
        }
    }
    // Both verdicts must be common, or the comparison proves little.
    EXPECT_GT(passes, 800);
    EXPECT_GT(failures, 800);
}

}  // namespace
