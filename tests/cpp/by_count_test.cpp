#include <cstddef>
#include <limits>
#include <ostream>
#include <vector>

#include <gtest/gtest.h>

#include "count_scans.hpp"
#include "cpu_features.hpp"
#include "tulm/pvalue.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

struct ByCase {
    const char* why;
    std::vector<double> pvalues;
    std::vector<double> harmonic;
    double alpha;
    int expected;
};

void PrintTo(const ByCase& c, std::ostream* os) { *os << c.why; }

class ByCount : public testing::TestWithParam<ByCase> {};

TEST_P(ByCount, MatchesHandWorkedCount) {
    const ByCase& c = GetParam();
    EXPECT_EQ(tulm::by_count(c.pvalues, c.harmonic, c.alpha), c.expected) << c.why;
    if (c.pvalues.empty()) {
        return;  // the factor reads harmonic[m]
    }
    const double factor = static_cast<double>(c.pvalues.size()) * c.harmonic[c.pvalues.size()];
    EXPECT_EQ(tulm::detail::by_scan_plain(c.pvalues, factor, c.alpha, 0, c.pvalues.size()),
              c.expected)
        << c.why;
    if (tulm::detail::cpu_has_avx2()) {
        EXPECT_EQ(tulm::detail::by_scan_avx2(c.pvalues, factor, c.alpha, 0, c.pvalues.size()),
                  c.expected)
            << c.why;
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, ByCount,
    testing::Values(
        ByCase{"empty vector reads no table", {}, {}, 0.05, 0},
        ByCase{"p equal to alpha counts", {0.05}, {0.0, 1.0}, 0.05, 1},
        ByCase{"p within the tolerance counts", {0.05 + 5e-11}, {0.0, 1.0}, 0.05, 1},
        ByCase{"p beyond the tolerance fails", {0.05 + 2e-10}, {0.0, 1.0}, 0.05, 0},
        ByCase{"factor 3: k = 2 fails, k = 1 passes", {0.04, 0.01}, {0.0, 1.0, 1.5}, 0.05, 1},
        ByCase{"ties", {0.01, 0.01}, {0.0, 1.0, 1.5}, 0.05, 2},
        ByCase{"factor 5.5: excess 5e-3 at k = 2 and k = 1", {0.9, 0.02, 0.01},
               {0.0, 1.0, 1.5, 11.0 / 6.0}, 0.05, 0},
        ByCase{"alpha = 0: a zero p-value still counts", {0.5, 0.0}, {0.0, 1.0, 1.5}, 0.0, 1},
        // 1e-12 in place of the zero would exceed by more than the tolerance.
        ByCase{"zero is used as it is", {0.0}, {0.0, 1.0}, -1e-10, 1},
        ByCase{"NaN skips only its own size", {kNaN, 0.001}, {0.0, 1.0, 1.5}, 0.05, 1},
        ByCase{"only harmonic[m] is read", {0.01, 0.01}, {kNaN, kNaN, 1.5}, 0.05, 2},
        ByCase{"unsorted input is scanned as given", {0.001, 0.9}, {0.0, 1.0, 1.5}, 0.05, 2}));
// clang-format on

// Ones everywhere except the k-th smallest place: only size k can pass.
std::vector<double> lone_pvalue(int m, int k, double pvalue) {
    std::vector<double> pvalues(static_cast<std::size_t>(m), 1.0);
    pvalues[static_cast<std::size_t>(m - k)] = pvalue;
    return pvalues;
}

// Each case sits where ((factor * p) / k) - alpha decides the last bit:
// factor * (p / k), p * (factor / k), m * (H_m * p) / k and
// (factor * p - alpha * k) / k all give the opposite answer.
TEST(ByCountOrder, FactorTimesValueThenDivideThenSubtract) {
    EXPECT_EQ(tulm::by_count(lone_pvalue(15, 15, 0x1.8b018254c9991p-9),
                             tulm::build_harmonic_table(15), 0.01),
              15);
    EXPECT_EQ(tulm::by_count(lone_pvalue(19, 11, 0x1.0b5ddeade0d5bp-7),
                             tulm::build_harmonic_table(19), 0.05),
              0);
}

}  // namespace
