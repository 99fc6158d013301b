#include <stdexcept>
#include <string>

#include "mean_consistency_check.hpp"
#include "tulm/evalue.hpp"

namespace tulm {

MeanConsistencyResult mean_consistency_check(const std::vector<double>& cum_e, int k, double alpha,
                                             int hint_in, int hint_out) {
    detail::IntervalQueue queue;
    return detail::check_mean_consistency(queue, cum_e, k, alpha, hint_in, hint_out,
                                          [](int, int) {});
}

bool mean_consistent(const std::vector<double>& cum_e, int r, double alpha) {
    // A negative size would index past the end of cum_e.
    if (r < 0) {
        throw std::invalid_argument("r must be non-negative, got " + std::to_string(r));
    }
    return mean_consistency_check(cum_e, r, alpha, -1, -1).consistent;
}

}  // namespace tulm
