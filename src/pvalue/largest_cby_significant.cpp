#include "cby_search_steps.hpp"

namespace tulm {

int largest_cby_significant_exact(const std::vector<double>& pvalues, double alpha) {
    return detail::largest_cby_significant_exact_with(pvalues, alpha, cby_check);
}

int largest_cby_significant_approximate(const std::vector<double>& pvalues, double alpha) {
    return detail::largest_cby_significant_approximate_with(pvalues, alpha, cby_check);
}

}  // namespace tulm
