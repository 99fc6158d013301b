#include <cstddef>
#include <span>
#include <vector>

#include "cby_check.hpp"
#include "cby_fast_check.hpp"
#include "cby_search.hpp"
#include "interrupt_poll.hpp"
#include "tolerances.hpp"
#include "tulm/pvalue.hpp"

namespace tulm {

namespace {

void ignore_size(int /*s*/, detail::SizeTest /*test*/) {}

// One check of cBY_check_cpp: the straightforward check, on a workspace of its
// own.
class CheckWithSharedWorkspace {
public:
    explicit CheckWithSharedWorkspace(detail::InterruptPoll& poll) : poll_(poll) {}

    CbyCheckResult operator()(std::span<const double> pvalues, int r,
                              std::span<const double> harmonic, int warm_s, double alpha) {
        return detail::cby_check_observed(work_, pvalues, r, harmonic, warm_s, alpha, ignore_size,
                                          poll_);
    }

private:
    detail::CbyWorkspace work_;
    detail::InterruptPoll& poll_;
};

}  // namespace

CbyCheckResult cby_check(std::span<const double> pvalues, int r, std::span<const double> harmonic,
                         int warm_s, double alpha, Interrupt interrupt) {
    detail::InterruptPoll poll(interrupt);
    return CheckWithSharedWorkspace(poll)(pvalues, r, harmonic, warm_s, alpha);
}

std::vector<double> prepare_pvalues(std::span<const double> pvalues) {
    return detail::prepared_pvalues_of<std::vector<double>>(pvalues);
}

std::vector<double> build_harmonic_table(int m) {
    return detail::harmonic_table_of<std::vector<double>>(m);
}

// Both searches call the fast check (cby_fast_check.hpp): one set of tables
// and one model of the weight cache for all the checks of a search. Inputs it
// does not accept go to the straightforward check, with one workspace for all
// the checks: a fresh weight cache per check would cost O(m) each.

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
