#include <algorithm>
#include <cmath>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <vector>

#include "tulm/evalue.hpp"

namespace tulm {

namespace {

// Ascending, NaN after +inf: a total order, as std::sort requires.
bool ascending_nan_last(double a, double b) { return a < b || (!std::isnan(a) && std::isnan(b)); }

}  // namespace

std::vector<double> build_subset_prefix_sums(const std::vector<double>& evalues,
                                             const std::vector<int>& subset) {
    const int m = static_cast<int>(evalues.size());
    std::vector<bool> in_subset(evalues.size(), false);
    for (const int position : subset) {
        if (position < 0 || position >= m) {
            throw std::out_of_range("subset index out of range");
        }
        if (in_subset[position]) {
            throw std::invalid_argument("subset position " + std::to_string(position)
                                        + " appears more than once");
        }
        in_subset[position] = true;
    }

    std::vector<double> inside;
    std::vector<double> outside;
    inside.reserve(subset.size());
    outside.reserve(evalues.size() - subset.size());
    for (std::size_t p = 0; p < evalues.size(); ++p) {
        (in_subset[p] ? inside : outside).push_back(evalues[p]);
    }
    std::sort(inside.begin(), inside.end(), ascending_nan_last);
    std::sort(outside.begin(), outside.end(), ascending_nan_last);

    // One running total, left to right, over the outside values and then the
    // inside ones: the inside values become the candidate block at the end.
    std::vector<double> layout(evalues.size() + 1, 0.0);
    std::size_t i = 1;
    for (const double x : outside) {
        layout[i] = layout[i - 1] + x;
        ++i;
    }
    for (const double x : inside) {
        layout[i] = layout[i - 1] + x;
        ++i;
    }
    return layout;
}

bool is_subset_mean_consistent(const std::vector<double>& evalues, const std::vector<int>& subset,
                               double alpha) {
    if (subset.empty()) {
        return true;
    }
    const std::vector<double> layout = build_subset_prefix_sums(evalues, subset);
    const int k = static_cast<int>(subset.size());
    return mean_consistency_check(layout, k, alpha, -1, -1).consistent;
}

}  // namespace tulm
