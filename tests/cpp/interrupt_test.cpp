#include <algorithm>
#include <chrono>
#include <cstdint>
#include <random>
#include <vector>

#include <gtest/gtest.h>

#include "interrupt_poll.hpp"
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

}  // namespace
