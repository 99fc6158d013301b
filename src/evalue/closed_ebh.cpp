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
    MeanConsistencyResult operator()(const std::vector<double>& cum_e, int k, double alpha,
                                     int hint_in, int hint_out) {
        return detail::mean_consistency_check_observed(queue_, cum_e, k, alpha, hint_in, hint_out,
                                                       ignore_slack);
    }

private:
    detail::IntervalQueue queue_;
};

}  // namespace

MeanConsistencyResult mean_consistency_check(const std::vector<double>& cum_e, int k, double alpha,
                                             int hint_in, int hint_out) {
    return CheckWithSharedQueue{}(cum_e, k, alpha, hint_in, hint_out);
}

int largest_mean_consistent_exact(const std::vector<double>& evalues, double alpha) {
    return detail::largest_mean_consistent_exact_with(evalues, alpha, CheckWithSharedQueue{});
}

int largest_mean_consistent_approximate(const std::vector<double>& evalues, double alpha) {
    return detail::largest_mean_consistent_approximate_with(evalues, alpha, CheckWithSharedQueue{});
}

}  // namespace tulm
