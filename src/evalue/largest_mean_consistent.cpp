#include "largest_mean_consistent_search.hpp"
#include "mean_consistency_check.hpp"
#include "tulm/evalue.hpp"

namespace tulm {

namespace {

// mean_consistency_check with one work queue for all the checks of a search:
// a search may run a million checks, most of which stop at their first pair.
class CheckWithSharedQueue {
public:
    MeanConsistencyResult operator()(const std::vector<double>& cum_e, int k, double alpha,
                                     int hint_in, int hint_out) {
        return detail::check_mean_consistency(queue_, cum_e, k, alpha, hint_in, hint_out,
                                              [](int, int) {});
    }

private:
    detail::IntervalQueue queue_;
};

}  // namespace

int largest_mean_consistent_exact(const std::vector<double>& evalues, double alpha) {
    return detail::search_largest_exact(evalues, alpha, CheckWithSharedQueue{});
}

int largest_mean_consistent_approximate(const std::vector<double>& evalues, double alpha) {
    return detail::search_largest_approximate(evalues, alpha, CheckWithSharedQueue{});
}

}  // namespace tulm
