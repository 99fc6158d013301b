#include "tolerances.hpp"
#include "tulm/pvalue.hpp"

namespace tulm {

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
        if (excess <= detail::kByTolerance) {
            return k;
        }
    }
    return 0;
}

}  // namespace tulm
