#include <algorithm>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <numeric>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "interrupt_poll.hpp"
#include "pvalue/cby_check.hpp"
#include "tulm/evalue.hpp"
#include "tulm/interrupt.hpp"
#include "tulm/pvalue.hpp"

namespace {

struct Hook {
    int calls = 0;
    bool stop = false;
    static bool ask(void* context) {
        auto* hook = static_cast<Hook*>(context);
        ++hook->calls;
        return hook->stop;
    }
    tulm::Interrupt interrupt() { return {ask, this}; }
};

TEST(InterruptPoll, AsksAtMostEveryFewMilliseconds) {
    Hook hook;
    tulm::detail::InterruptPoll poll(hook.interrupt());
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(60)) {
        poll(1000);
    }
    EXPECT_GE(hook.calls, 1);
    EXPECT_LE(hook.calls, 14);  // the first look, then one per 5 ms
}

TEST(InterruptPoll, ThrowsWhenTheHookSaysStop) {
    Hook hook{0, true};
    tulm::detail::InterruptPoll poll(hook.interrupt());
    poll(1);  // no look at the clock yet
    EXPECT_EQ(hook.calls, 0);
    EXPECT_THROW(poll(std::int64_t{1} << 20), tulm::Interrupted);
}

// Searches of many checks reach the hook: they stop on it, and answer as
// without a hook when it never says stop.
TEST(InterruptPoll, LongSearchesStopOnTheHook) {
    std::mt19937_64 rng(3);
    std::lognormal_distribution<double> evalue(0.0, 1.0);
    std::vector<double> evalues(500'000);
    for (double& e : evalues) {
        e = evalue(rng);
    }
    std::sort(evalues.begin(), evalues.end());
    Hook stop{0, true};
    EXPECT_THROW(tulm::largest_mean_consistent_exact(evalues, 0.05, stop.interrupt()),
                 tulm::Interrupted);
    Hook go;
    EXPECT_EQ(tulm::largest_mean_consistent_exact(evalues, 0.05, go.interrupt()),
              tulm::largest_mean_consistent_exact(evalues, 0.05));
    EXPECT_GE(go.calls, 1);
}

// The fast closed BY check decides most sizes from bounds and charges the
// poll for the weights it computes: it must still reach the hook.
TEST(InterruptPoll, ClosedBySearchesOnSortedInputStopOnTheHook) {
    const int m = 200'000;
    const std::vector<double> harmonic = tulm::build_harmonic_table(m);
    std::vector<double> pvalues(m);
    for (int i = 0; i < m; ++i) {  // twice the BY critical values, descending
        pvalues[static_cast<std::size_t>(i)] =
            std::min(1.0, 2.0 * 0.05 * (m - i) / (m * harmonic[static_cast<std::size_t>(m)]));
    }
    for (const auto search :
         {tulm::largest_cby_significant_exact, tulm::largest_cby_significant_approximate}) {
        Hook stop{0, true};
        EXPECT_THROW(search(pvalues, 0.05, stop.interrupt()), tulm::Interrupted);
        Hook go;
        EXPECT_EQ(search(pvalues, 0.05, go.interrupt()), search(pvalues, 0.05, {}));
        EXPECT_GE(go.calls, 1);
    }
}

// The kernels whose passes over m values ask the hook, beside the searches
// above: a hook that always says stop stops each, on input that makes it scan.
struct StoppingCall {
    const char* why;
    std::function<void(tulm::Interrupt)> call;
};

void PrintTo(const StoppingCall& c, std::ostream* os) { *os << c.why; }

constexpr int kLong = 1 << 18;  // four times the work between two looks at the clock

std::vector<double> twice_by_critical_values() {
    const std::vector<double> harmonic = tulm::build_harmonic_table(kLong);
    std::vector<double> p(kLong);
    for (int i = 0; i < kLong; ++i) {
        p[static_cast<std::size_t>(i)] =
            2.0 * 0.05 * (kLong - i) / (kLong * harmonic[static_cast<std::size_t>(kLong)]);
    }
    return p;
}

class EveryKernel : public testing::TestWithParam<StoppingCall> {};

TEST_P(EveryKernel, StopsOnTheHook) {
    Hook stop{0, true};
    EXPECT_THROW(GetParam().call(stop.interrupt()), tulm::Interrupted);
    EXPECT_GE(stop.calls, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Kernels, EveryKernel,
    testing::Values(StoppingCall{"ebh_count_scanning_every_size",
                                 [](tulm::Interrupt hook) {
                                     tulm::ebh_count(std::vector<double>(kLong, 0.0), 0.05, hook);
                                 }},
                    StoppingCall{"by_count_scanning_every_size",
                                 [](tulm::Interrupt hook) {
                                     tulm::by_count(std::vector<double>(kLong, 1.0),
                                                    tulm::build_harmonic_table(kLong), 0.05, hook);
                                 }},
                    StoppingCall{"subset_test_in_its_layout",
                                 [](tulm::Interrupt hook) {
                                     std::vector<double> e(kLong);
                                     std::iota(e.begin(), e.end(), 1.0);
                                     tulm::is_subset_mean_consistent(e, std::vector<int>{0}, 0.05,
                                                                     hook);
                                 }},
                    StoppingCall{"cby_check_at_a_long_size",
                                 [](tulm::Interrupt hook) {
                                     tulm::cby_check(twice_by_critical_values(), kLong / 2,
                                                     tulm::build_harmonic_table(kLong), kLong, 0.05,
                                                     hook);
                                 }}),
    [](const testing::TestParamInfo<StoppingCall>& param) { return std::string(param.param.why); });

// A check stopped halfway has written cache entries: the workspace must not
// hand them to the next check, which starts from an all-zero cache.
TEST(InterruptPoll, AStoppedCheckLeavesNoCacheEntries) {
    struct StopAtSecondPoll {
        int calls = 0;
        void operator()(std::int64_t /*work*/ = 1) {
            if (++calls == 2) {
                throw tulm::Interrupted();
            }
        }
    };
    const int m = 40000;
    const std::vector<double> harmonic = tulm::build_harmonic_table(m);
    // All within the cut-off at size m, none passing its quick test: the
    // outside pass writes entries from m - 1 down until the poll stops it.
    const std::vector<double> p(m, 0.05 / (2.0 * harmonic[m]));
    tulm::detail::CbyWorkspace work;
    StopAtSecondPoll poll;
    EXPECT_THROW(tulm::detail::cby_check_observed(work, p, 1, harmonic, m, 0.05,
                                                  tulm::detail::IgnoreSizes{}, poll),
                 tulm::Interrupted);
    const auto cache = work.cache_for(m);
    EXPECT_EQ(std::count(cache.begin(), cache.end(), 0.0), m + 1);
}

}  // namespace
