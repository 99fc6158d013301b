// Adjusted levels of the closed procedures: the fast computations against the
// plain ones on random screens, the exact arithmetic they rest on, and the
// hooks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "levels/exact_weights.hpp"
#include "tulm/levels.hpp"
#include "tulm/pvalue.hpp"

namespace {

using tulm::detail::exact_step;
using tulm::detail::ExactReciprocalSum;

struct StepCase {
    const char* why;
    double x, harmonic, scale, alpha;
    std::int64_t step;
};

class ExactStepTest : public testing::TestWithParam<StepCase> {};

TEST_P(ExactStepTest, MatchesTheRealQuotient) {
    const StepCase& c = GetParam();
    EXPECT_EQ(exact_step(c.x, c.harmonic, c.scale, c.alpha), c.step);
}

const double kTenth = 0.1;  // the double just above 1/10

INSTANTIATE_TEST_SUITE_P(
    Boundaries, ExactStepTest,
    testing::Values(
        // 0.1 * 10 rounds to 1, but the double 0.1 lies above 1/10: the step is 2.
        StepCase{"product-rounds-down-to-a-whole-number", kTenth, 1.0, 10.0, 1.0, 2},
        StepCase{"exact-whole-number-is-its-own-step", 0.25, 1.0, 4.0, 0.5, 2},
        StepCase{"just-above-a-whole-number", 0.25, 1.0, 4.0, std::nextafter(0.5, 0.0), 3},
        StepCase{"unit-step", 0.25, 1.0, 4.0, 1.0, 1},
        StepCase{"cut-off-reached-exactly-still-weighs", 0.5, 2.0, 4.0, 1.0, 2},
        StepCase{"just-beyond-the-cut-off", 0.5, 2.0, 4.0, std::nextafter(1.0, 0.0), 0},
        StepCase{"tiny-p-value", 1e-12, 1.5, 3.0, 0.05, 1}),
    [](const testing::TestParamInfo<StepCase>& param) {
        std::string name = param.param.why;
        std::replace(name.begin(), name.end(), '-', '_');
        return name;
    });

TEST(ExactReciprocalSum, DecidesAgainstFractions) {
    const auto sum_of = [](std::initializer_list<std::int64_t> steps) {
        ExactReciprocalSum sum;
        for (const std::int64_t q : steps) {
            sum.add(q);
        }
        return sum;
    };
    EXPECT_EQ(sum_of({3, 3, 3}).compare(1, 1), 0) << "1/3 three times is 1: equal";
    EXPECT_EQ(sum_of({2, 3}).compare(5, 6), 0);
    EXPECT_EQ(sum_of({2, 3}).compare(6, 7), -1);
    EXPECT_EQ(sum_of({2, 3}).compare(4, 5), 1);
    EXPECT_EQ(sum_of({0, 2}).compare(1, 2), 0) << "a step of 0 weighs nothing";
    EXPECT_EQ(sum_of({2147483647, 2147483647}).compare(1, 1073741824), 1);
    EXPECT_EQ(sum_of({2147483647, 2147483647}).compare(1, 1073741823), -1) << "apart by 4e-19";
}

// Screens of every kind the tests care about: continuous, heavy ties, zeros.
std::vector<double> screen(std::mt19937_64& rng, int m, int kind, bool evalues) {
    std::normal_distribution<double> normal(0.0, 1.0);
    std::uniform_real_distribution<double> uniform(0.0, 1.0);
    std::vector<double> values(static_cast<std::size_t>(m));
    for (double& v : values) {
        const double z = normal(rng) + (uniform(rng) < 0.3 ? 3.0 : 0.0);
        switch (kind) {
            case 0:
                v = evalues ? std::exp(3.0 * z - 4.5) : 0.5 * std::erfc(z / std::sqrt(2.0));
                break;
            case 1:
                v = evalues
                        ? 20.0 * static_cast<double>(rng() % 5)
                        : std::vector<double>{0.0, 0.001, 0.01, 0.02, 0.05, 0.5, 1.0}[rng() % 7];
                break;
            default:
                v = evalues ? 100.0 * uniform(rng) : std::pow(10.0, -4.0 * uniform(rng));
                break;
        }
    }
    if (evalues) {
        std::sort(values.begin(), values.end());
    } else {
        std::sort(values.begin(), values.end(), std::greater<>());
    }
    return values;
}

TEST(ClosedEbhLevels, AgreeWithThePairByPairLevels) {
    std::mt19937_64 rng(20261208);
    for (int trial = 0; trial < 600; ++trial) {
        const auto e = screen(rng, 1 + static_cast<int>(rng() % 50), trial % 3, true);
        const auto fast = tulm::closed_ebh_levels(e);
        const auto plain = tulm::closed_ebh_levels_plain(e);
        for (std::size_t i = 0; i < e.size(); ++i) {
            // The largest of near-equal ratios: the same to 1e-12.
            ASSERT_NEAR(fast[i], plain[i], 1e-12 * plain[i]) << "trial " << trial << " entry " << i;
        }
    }
}

TEST(ClosedByLevels, EqualThePlainLevelsBitForBit) {
    std::mt19937_64 rng(20261209);
    for (int trial = 0; trial < 300; ++trial) {
        const auto p = screen(rng, 1 + static_cast<int>(rng() % 10), trial % 3, false);
        EXPECT_EQ(tulm::closed_by_levels(p), tulm::closed_by_levels_plain(p)) << "trial " << trial;
    }
}

TEST(ClosedEbhLevels, ClosedForms) {
    // [1, 1, 60]: all three pass from 2/3 on (o = 2: 4 / (3 * 2)), the two
    // largest from 1/2 (o = 1, j = 0 or 1), 60 alone from 3/62 (o = 1, j = 2).
    EXPECT_EQ(tulm::closed_ebh_levels(std::vector<double>{1.0, 1.0, 60.0}),
              (std::vector<double>{4.0 / 6.0, 0.5, 3.0 / 62.0}));
    EXPECT_EQ(tulm::closed_ebh_levels(std::vector<double>{20.0}),
              (std::vector<double>{1.0 / 20.0}));
    EXPECT_EQ(tulm::closed_ebh_levels(std::vector<double>{0.0, 0.0}),
              (std::vector<double>{1.0, 1.0}));
    EXPECT_TRUE(tulm::closed_ebh_levels(std::vector<double>{}).empty());
}

TEST(ClosedByLevels, ClosedForms) {
    // One p-value: rejected from alpha = p on (the single-size test).
    EXPECT_EQ(tulm::closed_by_levels(std::vector<double>{0.01}), (std::vector<double>{0.01}));
    EXPECT_EQ(tulm::closed_by_levels(std::vector<double>{0.0}), (std::vector<double>{1e-12}))
        << "zero checked as 1e-12";
    EXPECT_EQ(tulm::closed_by_levels(std::vector<double>{1.0}), (std::vector<double>{1.0}));
    // A zero checked as 1e-12 beside smaller p-values breaks their order: the
    // levels are read off the search itself (this once hung).
    const std::vector<double> unsorted{0.5, 1e-200, 0.0};
    const auto levels = tulm::closed_by_levels(unsorted);
    for (const double alpha : {1e-13, 0.1, 0.6}) {
        const auto rejected = std::count_if(levels.begin(), levels.end(),
                                            [alpha](double level) { return level <= alpha; });
        EXPECT_EQ(rejected, tulm::largest_cby_significant_exact(unsorted, alpha)) << alpha;
    }
    EXPECT_TRUE(tulm::closed_by_levels(std::vector<double>{}).empty());
}

bool stop_at_once(void* /*context*/) { return true; }

TEST(Levels, StopOnTheInterruptHookAndReportProgress) {
    std::mt19937_64 rng(7);
    const auto e = screen(rng, 20000, 0, true);
    const auto p = screen(rng, 20000, 0, false);
    const tulm::Interrupt stop{stop_at_once, nullptr};
    EXPECT_THROW((void)tulm::closed_ebh_levels(e, stop), tulm::Interrupted);
    EXPECT_THROW((void)tulm::closed_by_levels(p, stop), tulm::Interrupted);
    std::vector<std::int64_t> reported;
    const tulm::Progress progress{
        [](void* context, std::int64_t done, std::int64_t total) {
            EXPECT_EQ(total, 20000);
            static_cast<std::vector<std::int64_t>*>(context)->push_back(done);
        },
        &reported};
    (void)tulm::closed_by_levels(p, {}, progress);
    ASSERT_FALSE(reported.empty());
    EXPECT_EQ(reported.back(), 20000);
    EXPECT_TRUE(std::is_sorted(reported.begin(), reported.end()));
}

}  // namespace
