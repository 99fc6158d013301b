#include "tolerances.hpp"
#include "tulm/evalue.hpp"

namespace tulm {

int ebh_count(const std::vector<double>& evalues, double alpha) {
    const int m = static_cast<int>(evalues.size());
    if (m <= 0) {
        return 0;
    }
    const double scale = alpha / static_cast<double>(m);
    for (int i = 0; i < m; ++i) {
        const int k = m - i;
        // (k * e) first, then * scale: two roundings, in this order.
        const double product = (static_cast<double>(k) * evalues[i]) * scale;
        if (product >= detail::kEbhThreshold) {
            return k;
        }
    }
    return 0;
}

}  // namespace tulm
