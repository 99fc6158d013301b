#include "largest_mean_consistent_search.hpp"
#include "tulm/evalue.hpp"

namespace tulm {

int largest_mean_consistent_exact(const std::vector<double>& evalues, double alpha) {
    return detail::search_largest_exact(evalues, alpha, mean_consistency_check);
}

int largest_mean_consistent_approximate(const std::vector<double>& evalues, double alpha) {
    return detail::search_largest_approximate(evalues, alpha, mean_consistency_check);
}

}  // namespace tulm
