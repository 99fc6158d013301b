#include <span>
#include <vector>

#include "cby_check.hpp"
#include "cby_search.hpp"
#include "fast/fast_check.hpp"
#include "interrupt_poll.hpp"
#include "tulm/pvalue.hpp"

namespace tulm {

CbyCheckResult cby_check(std::span<const double> pvalues, int r, std::span<const double> harmonic,
                         int warm_s, double alpha, Interrupt interrupt) {
    detail::InterruptPoll poll(interrupt);
    detail::CbyWorkspace work;
    return detail::cby_check_observed(work, pvalues, r, harmonic, warm_s, alpha,
                                      detail::IgnoreSizes{}, poll);
}

std::vector<double> prepare_pvalues(std::span<const double> pvalues) {
    return detail::prepared_pvalues_of<std::vector<double>>(pvalues);
}

std::vector<double> build_harmonic_table(int m) {
    return detail::harmonic_table_of<std::vector<double>>(m);
}

// Both searches call the fast check (fast/fast_check.hpp), which hands inputs
// it does not accept to the reference check.

int largest_cby_significant_exact(std::span<const double> pvalues, double alpha,
                                  Interrupt interrupt) {
    detail::InterruptPoll poll(interrupt);
    return detail::largest_cby_significant_exact_with(pvalues, alpha, detail::SearchCheck(poll),
                                                      poll);
}

int largest_cby_significant_approximate(std::span<const double> pvalues, double alpha,
                                        Interrupt interrupt) {
    detail::InterruptPoll poll(interrupt);
    return detail::largest_cby_significant_approximate_with(pvalues, alpha,
                                                            detail::SearchCheck(poll), poll);
}

}  // namespace tulm
