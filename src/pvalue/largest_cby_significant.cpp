#include "cby_check_steps.hpp"
#include "cby_search_steps.hpp"

namespace tulm {

namespace {

// cby_check with one workspace for all the checks of a search: a fresh weight
// cache per check would cost O(m) each, O(m^2) over the exact search.
class CheckWithSharedWorkspace {
public:
    CbyCheckResult operator()(const std::vector<double>& pvalues, int r,
                              const std::vector<double>& harmonic, int warm_s, double alpha) {
        return detail::cby_check_observed(work_, pvalues, r, harmonic, warm_s, alpha,
                                          [](int /*s*/, detail::SizeTest /*test*/) {});
    }

private:
    detail::CbyWorkspace work_;
};

}  // namespace

int largest_cby_significant_exact(const std::vector<double>& pvalues, double alpha) {
    return detail::largest_cby_significant_exact_with(pvalues, alpha, CheckWithSharedWorkspace{});
}

int largest_cby_significant_approximate(const std::vector<double>& pvalues, double alpha) {
    return detail::largest_cby_significant_approximate_with(pvalues, alpha,
                                                            CheckWithSharedWorkspace{});
}

}  // namespace tulm
