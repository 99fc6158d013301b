#include <cstddef>
#include <limits>
#include <ostream>
#include <vector>

#include <gtest/gtest.h>

#include "count_scans.hpp"
#include "cpu_features.hpp"
#include "tulm/evalue.hpp"

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();

struct EbhCase {
    const char* why;
    std::vector<double> evalues;
    double alpha;
    int expected;
};

// Without a printer gtest dumps the raw bytes, padding included.
void PrintTo(const EbhCase& c, std::ostream* os) { *os << c.why; }

class EbhCount : public testing::TestWithParam<EbhCase> {};

TEST_P(EbhCount, MatchesHandWorkedCount) {
    const EbhCase& c = GetParam();
    EXPECT_EQ(tulm::ebh_count(c.evalues, c.alpha), c.expected) << c.why;
    EXPECT_EQ(tulm::detail::ebh_scan_plain(c.evalues, c.alpha, 0, c.evalues.size()), c.expected)
        << c.why;
    if (tulm::detail::cpu_has_avx2()) {
        EXPECT_EQ(tulm::detail::ebh_scan_avx2(c.evalues, c.alpha, 0, c.evalues.size()), c.expected)
            << c.why;
    }
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, EbhCount,
    testing::Values(
        EbhCase{"empty vector", {}, 0.05, 0},
        EbhCase{"product exactly 1.0 is below the threshold", {20.0}, 0.05, 0},
        EbhCase{"products 0.5 and 1.0 both fail", {10.0, 40.0}, 0.05, 0},
        EbhCase{"ties: k = 2 gives 5/3", {1.0, 50.0, 50.0}, 0.05, 2},
        EbhCase{"unsorted input is scanned as given", {100.0, 1.0}, 0.05, 2},
        EbhCase{"everything passes at k = m", {1e6, 1e6, 1e6}, 0.05, 3},
        EbhCase{"alpha = 0 rejects nothing", {1e6, 1e9}, 0.0, 0},
        EbhCase{"negative alpha rejects nothing", {1e6, 1e9}, -0.05, 0},
        EbhCase{"inf * 0 is NaN and never counts", {kInf}, 0.0, 0},
        EbhCase{"NaN skips only its own size", {kNaN, 1e6, 1.0}, 0.05, 2},
        EbhCase{"NaN alpha never counts", {1e6}, kNaN, 0}));
// clang-format on

// Vectors of zeros with one e-value at the k-th largest place: the only size
// that can pass is k.
std::vector<double> lone_value(int m, int k, double evalue) {
    std::vector<double> evalues(static_cast<std::size_t>(m), 0.0);
    evalues[static_cast<std::size_t>(m - k)] = evalue;
    return evalues;
}

// Each case sits on the threshold where (k * e) * (alpha / m) decides the last
// bit: k * (e * scale), e * (k * scale) and (k * e * alpha) / m all give the
// opposite answer.
TEST(EbhCountOrder, SizeTimesValueFirstThenScale) {
    EXPECT_EQ(tulm::ebh_count(lone_value(41, 14, 292.8571428574357), 0.01), 14);
    EXPECT_EQ(tulm::ebh_count(lone_value(19, 3, 126.66666666679333), 0.05), 0);
}

}  // namespace
