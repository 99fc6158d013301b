#include "cby_check_steps.hpp"

namespace tulm {

CbyCheckResult cby_check(const std::vector<double>& pvalues, int r,
                         const std::vector<double>& harmonic, int warm_s, double alpha) {
    detail::CbyWorkspace work;
    return detail::cby_check_observed(work, pvalues, r, harmonic, warm_s, alpha,
                                      [](int /*s*/, detail::SizeTest /*test*/) {});
}

}  // namespace tulm
