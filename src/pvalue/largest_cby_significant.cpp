#include "cby_fast_check.hpp"
#include "cby_search_steps.hpp"

namespace tulm {

// Both searches call the fast check (cby_fast_check.hpp): one set of tables
// and one weight-cache model for all the checks of a search. Inputs it does
// not accept go to the reference check with one shared workspace: a fresh
// weight cache per check would cost O(m) each, O(m^2) over the exact search.

int largest_cby_significant_exact(const std::vector<double>& pvalues, double alpha) {
    return detail::largest_cby_significant_exact_with(pvalues, alpha, detail::SearchCheck{});
}

int largest_cby_significant_approximate(const std::vector<double>& pvalues, double alpha) {
    return detail::largest_cby_significant_approximate_with(pvalues, alpha, detail::SearchCheck{});
}

}  // namespace tulm
