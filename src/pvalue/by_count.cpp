#include "tulm/pvalue.hpp"

namespace tulm {

namespace {
// A scaled p-value may exceed alpha by this much and still count.
constexpr double kByTolerance = 1e-10;
}  // namespace

int by_count(const std::vector<double>& pvalues, const std::vector<double>& harmonic,
             double alpha) {
    const int m = static_cast<int>(pvalues.size());
    if (m <= 0) {
        return 0;
    }
    const double factor = static_cast<double>(m) * harmonic[m];
    for (int i = 0; i < m; ++i) {
        const int k = m - i;
        // Three roundings in this order: times p, divided by k, minus alpha.
        const double excess = ((factor * pvalues[i]) / static_cast<double>(k)) - alpha;
        if (excess <= kByTolerance) {
            return k;
        }
    }
    return 0;
}

}  // namespace tulm
