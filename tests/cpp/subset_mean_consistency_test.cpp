#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "tulm/evalue.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

using Values = std::vector<double>;
using Positions = std::vector<int>;

struct LayoutCase {
    const char* why;
    std::vector<double> evalues;
    std::vector<int> subset;
    std::vector<double> layout;
    bool consistent;
};

void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.why; }

class SubsetLayout : public testing::TestWithParam<LayoutCase> {};

TEST_P(SubsetLayout, OutsideThenInsideAscending) {
    const LayoutCase& c = GetParam();
    EXPECT_EQ(tulm::build_subset_prefix_sums(c.evalues, c.subset), c.layout) << c.why;
    EXPECT_EQ(tulm::is_subset_mean_consistent(c.evalues, c.subset, 0.05), c.consistent) << c.why;
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, SubsetLayout,
    testing::Values(
        LayoutCase{"largest alone passes", {60, 1, 1}, {0}, {0, 1, 2, 62}, true},
        LayoutCase{"a 1 inside fails at (1, 0)", {60, 1, 1}, {0, 1}, {0, 1, 2, 62}, false},
        LayoutCase{"inside need not exceed outside", {60, 1, 50}, {2, 0}, {0, 1, 51, 111}, true},
        LayoutCase{"smallest alone fails", {60, 1, 50}, {1}, {0, 50, 110, 111}, false},
        LayoutCase{"everything, no outside values",
                   {60, 1, 50}, {0, 1, 2}, {0, 1, 51, 111}, false}));
// clang-format on

TEST(SubsetMeanConsistency, NaNSortsAfterInfinity) {
    // NaN last leaves 5 as the smallest inside value, which fails at (1, 0).
    const Values layout = tulm::build_subset_prefix_sums(Values{kNaN, 1, 5}, Positions{0, 2});
    EXPECT_EQ(layout[1], 1.0);
    EXPECT_EQ(layout[2], 6.0);
    EXPECT_TRUE(std::isnan(layout[3]));
    EXPECT_FALSE(tulm::is_subset_mean_consistent(Values{kNaN, 1, 5}, Positions{0, 2}, 0.05));
    EXPECT_FALSE(
        tulm::is_subset_mean_consistent(Values{5, kNaN, 1, kNaN}, Positions{3, 0, 1}, 0.05));
    const Values with_inf = tulm::build_subset_prefix_sums(Values{kNaN, 1, kInf}, Positions{0, 2});
    EXPECT_EQ(with_inf[2], kInf);
    EXPECT_TRUE(std::isnan(with_inf[3]));
}

// The layout as a comparison sort gives it: each group sorted ascending with
// NaN after +inf, one running total from left to right.
Values reference_layout(const Values& evalues, const Positions& subset) {
    std::vector<bool> inside_flags(evalues.size(), false);
    for (const int p : subset) {
        inside_flags[static_cast<std::size_t>(p)] = true;
    }
    Values inside;
    Values outside;
    for (std::size_t p = 0; p < evalues.size(); ++p) {
        (inside_flags[p] ? inside : outside).push_back(evalues[p]);
    }
    const auto nan_last = [](double a, double b) {
        return a < b || (!std::isnan(a) && std::isnan(b));
    };
    std::sort(outside.begin(), outside.end(), nan_last);
    std::sort(inside.begin(), inside.end(), nan_last);
    Values layout{0.0};
    for (const Values* group : {&outside, &inside}) {
        for (const double x : *group) {
            layout.push_back(layout.back() + x);
        }
    }
    return layout;
}

// Bit for bit, apart from NaN payloads: the sort runs on the values' bits.
bool same_layout(const Values& a, const Values& b) {
    return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](double x, double y) {
        return std::bit_cast<std::uint64_t>(x) == std::bit_cast<std::uint64_t>(y)
               || (std::isnan(x) && std::isnan(y));
    });
}

// Values drawn to share bytes and to differ in few: ties, both zeros, NaN of
// either sign, infinities, negatives, subnormals, and values a bit apart.
TEST(SubsetMeanConsistency, LayoutEqualsAComparisonSortOnRandomInput) {
    std::mt19937_64 rng(20261208);
    const Values specials{0.0,     -0.0,   kNaN, -kNaN,       kInf, -kInf, 5e-324,
                          -5e-324, 1e-300, 1.0,  1.0 + 2e-16, 20.0, 1e300, -3.5};
    std::uniform_int_distribution<std::size_t> pick(0, specials.size() - 1);
    std::uniform_int_distribution<int> length(0, 300);
    std::lognormal_distribution<double> spread(0.0, 3.0);
    std::bernoulli_distribution special(0.3);
    std::bernoulli_distribution chosen(0.3);
    for (int trial = 0; trial < 2000; ++trial) {
        Values evalues(static_cast<std::size_t>(length(rng)));
        for (double& e : evalues) {
            e = special(rng) ? specials[pick(rng)] : spread(rng);
        }
        Positions subset;
        for (std::size_t p = 0; p < evalues.size(); ++p) {
            if (chosen(rng)) {
                subset.push_back(static_cast<int>(p));
            }
        }
        std::shuffle(subset.begin(), subset.end(), rng);
        ASSERT_TRUE(same_layout(tulm::build_subset_prefix_sums(evalues, subset),
                                reference_layout(evalues, subset)))
            << "trial " << trial;
    }
}

}  // namespace
