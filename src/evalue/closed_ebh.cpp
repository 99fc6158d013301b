#include <span>

#include "interrupt_poll.hpp"
#include "mean_consistency_check.hpp"
#include "mean_consistency_search.hpp"
#include "tulm/evalue.hpp"

namespace tulm {

namespace {

void ignore_slack(int /*o*/, int /*j*/) {}

// The check with one work queue for all the checks of a search: a search may
// run a million checks, most of which stop at their first pair.
class CheckWithSharedQueue {
public:
    explicit CheckWithSharedQueue(detail::InterruptPoll& poll) : poll_(poll) {}

    // Inlined into the searches' loops: most checks there cost a pair or two.
    [[gnu::always_inline]] MeanConsistencyResult operator()(std::span<const double> cum_e, int k,
                                                            double alpha, int hint_in,
                                                            int hint_out) {
        return detail::mean_consistency_check_observed(queue_, cum_e, k, alpha, hint_in, hint_out,
                                                       ignore_slack, poll_);
    }

private:
    detail::IntervalQueue queue_;
    detail::InterruptPoll& poll_;
};

}  // namespace

MeanConsistencyResult mean_consistency_check(std::span<const double> cum_e, int k, double alpha,
                                             int hint_in, int hint_out, Interrupt interrupt) {
    detail::InterruptPoll poll(interrupt);
    return CheckWithSharedQueue(poll)(cum_e, k, alpha, hint_in, hint_out);
}

int largest_mean_consistent_exact(std::span<const double> evalues, double alpha,
                                  Interrupt interrupt) {
    detail::InterruptPoll poll(interrupt);
    return detail::largest_mean_consistent_exact_with(evalues, alpha, CheckWithSharedQueue(poll),
                                                      poll);
}

int largest_mean_consistent_approximate(std::span<const double> evalues, double alpha,
                                        Interrupt interrupt) {
    detail::InterruptPoll poll(interrupt);
    return detail::largest_mean_consistent_approximate_with(evalues, alpha,
                                                            CheckWithSharedQueue(poll), poll);
}

}  // namespace tulm
