#include <cmath>
#include <limits>
#include <vector>

#include <gtest/gtest.h>

#include "tulm/evalue.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

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
    const std::vector<double> layout = tulm::build_subset_prefix_sums({kNaN, 1, 5}, {0, 2});
    EXPECT_EQ(layout[1], 1.0);
    EXPECT_EQ(layout[2], 6.0);
    EXPECT_TRUE(std::isnan(layout[3]));
    EXPECT_FALSE(tulm::is_subset_mean_consistent({kNaN, 1, 5}, {0, 2}, 0.05));
    EXPECT_FALSE(tulm::is_subset_mean_consistent({5, kNaN, 1, kNaN}, {3, 0, 1}, 0.05));
    const std::vector<double> with_inf = tulm::build_subset_prefix_sums({kNaN, 1, kInf}, {0, 2});
    EXPECT_EQ(with_inf[2], kInf);
    EXPECT_TRUE(std::isnan(with_inf[3]));
}

}  // namespace
