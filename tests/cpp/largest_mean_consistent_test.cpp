#include <algorithm>
#include <cmath>
#include <cstddef>
#include <random>
#include <span>
#include <vector>

#include <gtest/gtest.h>

#include "evalue/mean_consistency_search.hpp"
#include "tulm/evalue.hpp"

namespace {

using tulm::MeanConsistencyResult;

struct Call {
    int k;
    int hint_in;
    int hint_out;
    bool operator==(const Call&) const = default;
};

void PrintTo(const Call& c, std::ostream* os) {
    *os << "(" << c.k << ", " << c.hint_in << ", " << c.hint_out << ")";
}

// Forwards to the real check and records each call.
struct RecordingCheck {
    std::vector<Call>* calls;
    MeanConsistencyResult operator()(std::span<const double> cum_e, int k, double alpha,
                                     int hint_in, int hint_out) const {
        calls->push_back({k, hint_in, hint_out});
        return tulm::mean_consistency_check(cum_e, k, alpha, hint_in, hint_out);
    }
};

std::vector<Call> exact_calls(const std::vector<double>& evalues, double alpha, int* answer) {
    std::vector<Call> calls;
    *answer =
        tulm::detail::largest_mean_consistent_exact_with(evalues, alpha, RecordingCheck{&calls});
    EXPECT_EQ(*answer, tulm::largest_mean_consistent_exact(evalues, alpha));
    return calls;
}

std::vector<Call> approximate_calls(const std::vector<double>& evalues, double alpha, int* answer) {
    std::vector<Call> calls;
    *answer = tulm::detail::largest_mean_consistent_approximate_with(evalues, alpha,
                                                                     RecordingCheck{&calls});
    EXPECT_EQ(*answer, tulm::largest_mean_consistent_approximate(evalues, alpha));
    return calls;
}

TEST(LargestMeanConsistent, WitnessesBecomeTheNextHints) {
    int answer = -1;
    EXPECT_EQ(exact_calls({1, 1, 60}, 0.05, &answer),
              (std::vector<Call>{{3, -1, -1}, {2, 2, 0}, {1, 1, 0}}));
    EXPECT_EQ(answer, 1);
    EXPECT_EQ(approximate_calls({1, 1, 60}, 0.05, &answer),
              (std::vector<Call>{{2, -1, -1}, {1, 1, 0}}));
    EXPECT_EQ(answer, 1);
}

// Passing is not monotone here (only size 2 passes): the exact scan finds it,
// the bisection from the e-BH count 0 misses it.
TEST(LargestMeanConsistent, NonMonotonePassingSplitsTheSearches) {
    const std::vector<double> evalues = {1, 5, 10, 20, 30, 60};
    int answer = -1;
    std::vector<int> sizes;
    for (const Call& c : exact_calls(evalues, 0.05, &answer)) {
        sizes.push_back(c.k);
    }
    EXPECT_EQ(sizes, (std::vector<int>{6, 5, 4, 3, 2}));
    EXPECT_EQ(answer, 2);
    sizes.clear();
    for (const Call& c : approximate_calls(evalues, 0.05, &answer)) {
        sizes.push_back(c.k);
    }
    EXPECT_EQ(sizes, (std::vector<int>{3, 1}));
    EXPECT_EQ(answer, 0);
}

TEST(LargestMeanConsistent, NothingToCheck) {
    int answer = -1;
    EXPECT_TRUE(exact_calls({}, 0.05, &answer).empty());
    EXPECT_EQ(answer, 0);
    EXPECT_TRUE(approximate_calls({}, 0.05, &answer).empty());
    EXPECT_EQ(answer, 0);
    // e-BH count already m: the bisection has nothing above it.
    EXPECT_TRUE(approximate_calls({1e6, 1e6, 1e6}, 0.05, &answer).empty());
    EXPECT_EQ(answer, 3);
    EXPECT_EQ(exact_calls({1e6, 1e6, 1e6}, 0.05, &answer), (std::vector<Call>{{3, -1, -1}}));
    EXPECT_EQ(answer, 3);
}

// Scripted check for m = 10 with e-BH count 3: passes sizes up to `largest`,
// fails above with witnesses (k, k - 1) so the hints show where they came from.
std::vector<Call> bisection_calls(int largest, int* answer) {
    std::vector<double> evalues(10, 0.0);
    evalues[7] = evalues[8] = evalues[9] = 1e6;
    EXPECT_EQ(tulm::ebh_count(evalues, 0.05), 3);
    std::vector<Call> calls;
    const auto scripted = [&](std::span<const double> cum_e, int k, double, int hint_in,
                              int hint_out) {
        EXPECT_EQ(cum_e.size(), 11U);
        calls.push_back({k, hint_in, hint_out});
        return k <= largest ? MeanConsistencyResult{true, -1, -1}
                            : MeanConsistencyResult{false, k, k - 1};
    };
    *answer = tulm::detail::largest_mean_consistent_approximate_with(evalues, 0.05, scripted);
    return calls;
}

TEST(LargestMeanConsistent, BisectsAboveTheEbhCount) {
    int answer = -1;
    EXPECT_EQ(bisection_calls(8, &answer),
              (std::vector<Call>{{7, -1, -1}, {9, -1, -1}, {8, 9, 8}}));
    EXPECT_EQ(answer, 8);
    // A pass keeps the hints of the smallest failure.
    EXPECT_EQ(bisection_calls(5, &answer), (std::vector<Call>{{7, -1, -1}, {5, 7, 6}, {6, 7, 6}}));
    EXPECT_EQ(answer, 5);
    EXPECT_EQ(bisection_calls(0, &answer), (std::vector<Call>{{7, -1, -1}, {5, 7, 6}, {4, 5, 4}}));
    EXPECT_EQ(answer, 3);
}

// The left-to-right total 0.1 + 0.2 + 0.3 is 0.6000000000000001; at this level
// k = 3 passes with it and fails with any sum that rounds to 0.6.
TEST(LargestMeanConsistent, PrefixSumsRunLeftToRight) {
    const auto cum_e = tulm::detail::build_prefix_sums(std::vector<double>{0.1, 0.2, 0.3});
    EXPECT_EQ(std::vector<double>(cum_e.begin(), cum_e.end()),
              (std::vector<double>{0.0, 0.1, 0.30000000000000004, 0.6000000000000001}));
    EXPECT_EQ(
        tulm::largest_mean_consistent_exact(std::vector<double>{0.1, 0.2, 0.3}, 4.999999999991666),
        3);
    EXPECT_FALSE(
        tulm::mean_consistency_check(std::vector<double>{0.0, 0.1, 0.30000000000000004, 0.6}, 3,
                                     4.999999999991666, -1, -1)
            .consistent);
}

// The public searches reuse one work queue across their checks; a fresh check
// per size is the reference.
TEST(LargestMeanConsistent, SharedQueueAnswersAsFreshChecks) {
    const auto fresh_check = [](std::span<const double> cum_e, int k, double alpha, int hint_in,
                                int hint_out) {
        return tulm::mean_consistency_check(cum_e, k, alpha, hint_in, hint_out);
    };
    std::mt19937_64 rng(11);
    std::normal_distribution<double> noise(0.0, 1.0);
    std::uniform_int_distribution<int> size(1, 300);
    std::bernoulli_distribution is_signal(0.3);
    for (int screen = 0; screen < 300; ++screen) {
        const int m = size(rng);
        std::vector<double> evalues(static_cast<std::size_t>(m));
        for (double& e : evalues) {
            const double z = noise(rng) + (is_signal(rng) ? 3.0 : 0.0);
            e = std::exp(3.0 * z - 4.5);
        }
        std::sort(evalues.begin(), evalues.end());
        for (const double alpha : {0.05, 0.2}) {
            EXPECT_EQ(
                tulm::largest_mean_consistent_exact(evalues, alpha),
                tulm::detail::largest_mean_consistent_exact_with(evalues, alpha, fresh_check));
            EXPECT_EQ(tulm::largest_mean_consistent_approximate(evalues, alpha),
                      tulm::detail::largest_mean_consistent_approximate_with(evalues, alpha,
                                                                             fresh_check));
        }
    }
}

}  // namespace
