#include <algorithm>
#include <array>
#include <cstdint>
#include <limits>
#include <random>
#include <span>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "evalue/mean_consistency_check.hpp"
#include "evalue/mean_consistency_search.hpp"
#include "tulm/evalue.hpp"

namespace {

using Pair = std::pair<int, int>;

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kInf = std::numeric_limits<double>::infinity();
using tulm::MeanConsistencyResult;

// Every (o, j) whose slack the check evaluates, in order.
std::vector<Pair> slacks_evaluated(std::span<const double> cum_e, int k, double alpha, int hint_in,
                                   int hint_out, MeanConsistencyResult* result) {
    std::vector<Pair> pairs;
    tulm::detail::IntervalQueue queue;
    *result = tulm::detail::mean_consistency_check_observed(
        queue, cum_e, k, alpha, hint_in, hint_out, [&](int o, int j) { pairs.emplace_back(o, j); });
    return pairs;
}

const std::vector<double> kOneOneSixty = {0.0, 1.0, 2.0, 62.0};  // e-values 1, 1, 60

struct ProbeCase {
    const char* why;
    int k;
    int hint_in;
    int hint_out;
    bool consistent;
    int witness_in;
    int witness_out;
    std::vector<Pair> pairs;
};

void PrintTo(const ProbeCase& c, std::ostream* os) { *os << c.why; }

class CheckOnOneOneSixty : public testing::TestWithParam<ProbeCase> {};

TEST_P(CheckOnOneOneSixty, WitnessesAndProbeOrder) {
    const ProbeCase& c = GetParam();
    MeanConsistencyResult r{};
    const std::vector<Pair> pairs =
        slacks_evaluated(kOneOneSixty, c.k, 0.05, c.hint_in, c.hint_out, &r);
    EXPECT_EQ(r.consistent, c.consistent) << c.why;
    EXPECT_EQ(r.witness_in, c.witness_in) << c.why;
    EXPECT_EQ(r.witness_out, c.witness_out) << c.why;
    EXPECT_EQ(pairs, c.pairs) << c.why;
    const MeanConsistencyResult public_r =
        tulm::mean_consistency_check(kOneOneSixty, c.k, 0.05, c.hint_in, c.hint_out);
    EXPECT_EQ(public_r.consistent, r.consistent);
    EXPECT_EQ(public_r.witness_in, r.witness_in);
    EXPECT_EQ(public_r.witness_out, r.witness_out);
}

// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, CheckOnOneOneSixty,
    testing::Values(
        ProbeCase{"k=3: block 2 first, slack -74/3", 3, -1, -1, false, 2, 0, {{2, 0}}},
        ProbeCase{"k=2: block 1 at j=0, slack -9", 2, -1, -1, false, 1, 0, {{1, 0}}},
        ProbeCase{"k=2 hinted (2,0): block 2 holds, then block 1 fails",
                  2, 2, 0, false, 1, 0, {{2, 0}, {2, 1}, {1, 0}}},
        ProbeCase{"k=1: midpoint probes skip j=0", 1, -1, -1, true, -1, -1, {{1, 1}, {1, 2}}},
        ProbeCase{"k=1 hinted (1,0): probes 0, 1, then the lone 2",
                  1, 1, 0, true, -1, -1, {{1, 0}, {1, 1}, {1, 2}}},
        ProbeCase{"negative hint_out is read as 0",
                  1, 1, -7, true, -1, -1, {{1, 0}, {1, 1}, {1, 2}}},
        ProbeCase{"hint_out >= u probes u - 1 first", 1, 1, 9, true, -1, -1, {{1, 1}, {1, 2}}},
        ProbeCase{"hint_in 0 examines the empty block first",
                  1, 0, 0, true, -1, -1, {{0, 0}, {0, 1}, {1, 1}, {1, 2}}}));
// clang-format on

// 7 e-values of 1000 at alpha = 0.05: every block passes, so the order of the
// block sizes shows in full; with k = m only j = 0 is evaluated, once each.
std::vector<int> block_order(int hint_in) {
    const auto cum_e = tulm::detail::build_prefix_sums(std::vector<double>(7, 1000.0));
    MeanConsistencyResult r{};
    std::vector<int> order;
    for (const auto& [o, j] : slacks_evaluated(cum_e, 7, 0.05, hint_in, 0, &r)) {
        EXPECT_EQ(j, 0);
        order.push_back(o);
    }
    EXPECT_TRUE(r.consistent);
    return order;
}

TEST(MeanConsistencyCheck, BlockSizesComeBreadthFirstLowerHalfFirst) {
    EXPECT_EQ(block_order(-1), (std::vector<int>{4, 2, 6, 1, 3, 5, 7}));
    EXPECT_EQ(block_order(6), (std::vector<int>{6, 3, 7, 1, 4, 2, 5}));
    EXPECT_EQ(block_order(7), (std::vector<int>{7, 3, 1, 5, 2, 4, 6}));
    EXPECT_EQ(block_order(50), (std::vector<int>{7, 3, 1, 5, 2, 4, 6}));
    EXPECT_EQ(block_order(0), (std::vector<int>{0, 4, 2, 6, 1, 3, 5, 7}));
}

TEST(MeanConsistencyCheck, SizesWithNothingToExamine) {
    MeanConsistencyResult r{};
    // k = 0 reads nothing, even from an empty vector; k > m has no pair at all.
    for (const auto& [cum_e, k] : std::vector<std::pair<std::vector<double>, int>>{
             {{}, 0}, {kOneOneSixty, 0}, {{}, 3}, {{0.0, 5.0}, 2}, {kOneOneSixty, 2147483647}}) {
        EXPECT_TRUE(slacks_evaluated(cum_e, k, 0.0, 1, 0, &r).empty()) << k;
        EXPECT_TRUE(r.consistent && r.witness_in == -1 && r.witness_out == -1) << k;
    }
}

// The smallest candidate value sits within rounding of t = 1 / (k * alpha);
// 1 / k / alpha differs in the last bit and gives the opposite verdicts.
TEST(MeanConsistencyCheck, ThresholdIsOneReciprocalOfTheProduct) {
    std::vector<double> evalues(31, 1e6);
    evalues[0] = 3.2258064516119034;
    MeanConsistencyResult r =
        tulm::mean_consistency_check(tulm::detail::build_prefix_sums(evalues), 31, 0.01, -1, -1);
    EXPECT_FALSE(r.consistent);
    EXPECT_EQ(r.witness_in, 1);
    evalues.assign(37, 1e6);
    evalues[0] = 0.5405405405395405;
    r = tulm::mean_consistency_check(tulm::detail::build_prefix_sums(evalues), 37, 0.05, -1, -1);
    EXPECT_TRUE(r.consistent);
}

// Every block of 49,975 or more violates at j = 0, where o * o passes 2^31;
// the first of them in breadth-first order is 49,976.
TEST(MeanConsistencyCheck, ProductsBeyond32BitsAreExact) {
    const auto cum_e = tulm::detail::build_prefix_sums(std::vector<double>(50000, 19.99));
    const MeanConsistencyResult r = tulm::mean_consistency_check(cum_e, 50000, 0.05, -1, -1);
    EXPECT_FALSE(r.consistent);
    EXPECT_EQ(r.witness_in, 49976);
    EXPECT_EQ(r.witness_out, 0);
}

// Oracle: every pair (o, j) in exact integer arithmetic. With integer
// e-values and alpha = 1 / d, k * slack = k * total - o * (o + j) * d; cases
// where that is 0 for some pair sit on the threshold and are skipped.
struct OracleVerdict {
    bool on_threshold = false;
    bool consistent = true;
};

OracleVerdict exhaustive_check(const std::vector<std::int64_t>& ascending, int k, std::int64_t d) {
    const int m = static_cast<int>(ascending.size());
    const int u = m - k;
    OracleVerdict verdict;
    for (int o = 1; o <= k; ++o) {
        for (int j = 0; j <= u; ++j) {
            std::int64_t total = 0;
            for (int i = 0; i < j; ++i) {
                total += ascending[i];
            }
            for (int i = u; i < u + o; ++i) {
                total += ascending[i];
            }
            const std::int64_t scaled = k * total - std::int64_t{o} * (o + j) * d;
            verdict.on_threshold |= scaled == 0;
            verdict.consistent &= scaled > 0;
        }
    }
    return verdict;
}

bool violates(const std::vector<std::int64_t>& ascending, int k, std::int64_t d, int o, int j) {
    const int u = static_cast<int>(ascending.size()) - k;
    if (o < 1 || o > k || j < 0 || j > u) {
        return false;
    }
    std::int64_t total = 0;
    for (int i = 0; i < j; ++i) {
        total += ascending[i];
    }
    for (int i = u; i < u + o; ++i) {
        total += ascending[i];
    }
    return k * total - std::int64_t{o} * (o + j) * d < 0;
}

TEST(MeanConsistencyCheck, AgreesWithExhaustiveOracleWhateverTheHints) {
    std::mt19937 rng(20240611);
    const std::array<std::int64_t, 5> inverse_alphas = {2, 4, 5, 10, 20};
    int compared = 0;
    int inconsistent = 0;
    for (int trial = 0; trial < 3000; ++trial) {
        const int m = std::uniform_int_distribution<int>(1, 9)(rng);
        const int top = std::uniform_int_distribution<int>(1, 80)(rng);
        std::vector<std::int64_t> ascending(static_cast<std::size_t>(m));
        for (auto& e : ascending) {
            e = std::uniform_int_distribution<int>(0, top)(rng);
        }
        std::sort(ascending.begin(), ascending.end());
        const int k = std::uniform_int_distribution<int>(1, m)(rng);
        const std::int64_t d =
            inverse_alphas.at(std::uniform_int_distribution<std::size_t>(0, 4)(rng));
        const OracleVerdict expected = exhaustive_check(ascending, k, d);
        if (expected.on_threshold) {
            continue;
        }

        const auto cum_e = tulm::detail::build_prefix_sums(
            std::vector<double>(ascending.begin(), ascending.end()));
        const double alpha = 1.0 / static_cast<double>(d);
        const int u = m - k;
        ++compared;
        inconsistent += expected.consistent ? 0 : 1;
        for (int hint_in = -1; hint_in <= k + 1; ++hint_in) {
            // Without hint_in, hint_out is never read: try -1 only.
            const int last_hint_out = hint_in < 0 ? -1 : u + 1;
            for (int hint_out = std::min(0, hint_in); hint_out <= last_hint_out; ++hint_out) {
                const MeanConsistencyResult r =
                    tulm::mean_consistency_check(cum_e, k, alpha, hint_in, hint_out);
                ASSERT_EQ(r.consistent, expected.consistent)
                    << "trial " << trial << " k " << k << " hints " << hint_in << "," << hint_out;
                if (r.consistent) {
                    EXPECT_EQ(r.witness_in, -1);
                    EXPECT_EQ(r.witness_out, -1);
                } else {
                    EXPECT_TRUE(violates(ascending, k, d, r.witness_in, r.witness_out))
                        << "trial " << trial << " witness " << r.witness_in << "," << r.witness_out;
                }
            }
        }
    }
    // The random cases must exercise both verdicts in earnest.
    EXPECT_GT(compared, 2000);
    EXPECT_GT(inconsistent, compared / 5);
    EXPECT_LT(inconsistent, compared * 4 / 5);
}

// The check as the algorithm reads: one queue from the start, the hint
// deciding the first interval's block size. The check examines the hinted
// block size before it fills its queue; the pairs it evaluates, in order, and
// its verdict must be these.
MeanConsistencyResult reference_check(std::span<const double> cum_e, int k, double alpha,
                                      int hint_in, int hint_out, std::vector<Pair>& pairs) {
    if (k == 0) {
        return {true, -1, -1};
    }
    const int u = static_cast<int>(cum_e.size()) - k - 1;
    if (u < 0) {
        return {true, -1, -1};
    }
    const double t = 1.0 / (static_cast<double>(k) * alpha);
    const auto violates = [&](int o, int j, double& f) {
        pairs.emplace_back(o, j);
        f = tulm::detail::slack(cum_e, u, o, j, t);
        return f < -1e-12;
    };
    bool hinted = hint_in >= 0;
    std::vector<std::pair<int, int>> queue{{1, k}};
    for (std::size_t next = 0; next < queue.size(); ++next) {
        const auto [lo, hi] = queue[next];
        const int o = hinted ? std::min(k, hint_in) : lo + (hi - lo) / 2;
        bool first_probe = hinted;
        int jlo = 0;
        int jhi = u;
        while (jlo <= jhi) {
            double a = 0.0;
            double b = 0.0;
            if (jlo == jhi) {
                if (violates(o, jlo, a)) {
                    return {false, o, jlo};
                }
                break;
            }
            const int p =
                first_probe ? std::min(u - 1, std::max(hint_out, 0)) : jlo + (jhi - jlo) / 2;
            if (violates(o, p, a)) {
                return {false, o, p};
            }
            if (violates(o, p + 1, b)) {
                return {false, o, p + 1};
            }
            if (a > b) {
                jlo = p + 2;
            } else {
                jhi = p - 1;
            }
            first_probe = false;
        }
        hinted = false;
        if (lo < o) {
            queue.emplace_back(lo, o - 1);
        }
        if (o < hi) {
            queue.emplace_back(o + 1, hi);
        }
    }
    return {true, -1, -1};
}

TEST(MeanConsistencyCheck, HintedFirstBlockGivesTheReferenceOrderAndVerdict) {
    std::mt19937_64 rng(20261208);
    std::lognormal_distribution<double> evalue(0.0, 2.0);
    std::uniform_int_distribution<int> length(0, 60);
    std::bernoulli_distribution ascending(0.8);
    // Values and levels outside the contract too: the order of examination
    // and the witnesses must still be the reference's.
    const std::array<double, 8> kSpecials{0.0, -0.0, kNaN, kInf, 5e-324, 1e-300, 1e300, -1.0};
    const std::array<double, 5> kOddLevels{0.0, -0.05, kNaN, 1e-300, 1e300};
    std::bernoulli_distribution special(0.05);
    std::bernoulli_distribution odd_level(0.1);
    std::uniform_int_distribution<std::size_t> pick(0, kSpecials.size() - 1);
    std::uniform_int_distribution<std::size_t> pick_level(0, kOddLevels.size() - 1);
    int failed = 0;
    for (int trial = 0; trial < 20000; ++trial) {
        std::vector<double> evalues(static_cast<std::size_t>(length(rng)));
        for (double& e : evalues) {
            e = special(rng) ? kSpecials.at(pick(rng)) : evalue(rng);
        }
        if (ascending(rng)) {
            std::sort(evalues.begin(), evalues.end());  // NaN stay where the sort leaves them
        }
        const auto cum_e = tulm::detail::build_prefix_sums(evalues);
        const int m = static_cast<int>(evalues.size());
        const int k = std::uniform_int_distribution<int>(0, m + 1)(rng);
        const int hint_in = std::uniform_int_distribution<int>(-1, k + 1)(rng);
        const int hint_out = std::uniform_int_distribution<int>(-2, m + 1)(rng);
        const double alpha = odd_level(rng)
                                 ? kOddLevels.at(pick_level(rng))
                                 : std::uniform_real_distribution<double>(0.01, 1.0)(rng);
        std::vector<Pair> expected_pairs;
        const MeanConsistencyResult expected =
            reference_check(cum_e, k, alpha, hint_in, hint_out, expected_pairs);
        MeanConsistencyResult result{};
        const std::vector<Pair> pairs =
            slacks_evaluated(cum_e, k, alpha, hint_in, hint_out, &result);
        ASSERT_EQ(pairs, expected_pairs) << "trial " << trial;
        ASSERT_EQ(result.consistent, expected.consistent) << "trial " << trial;
        ASSERT_EQ(result.witness_in, expected.witness_in) << "trial " << trial;
        ASSERT_EQ(result.witness_out, expected.witness_out) << "trial " << trial;
        failed += result.consistent ? 0 : 1;
    }
    EXPECT_GT(failed, 1000);
    EXPECT_LT(failed, 19000);
}

}  // namespace
