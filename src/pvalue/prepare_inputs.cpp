#include <cstddef>

#include "tulm/pvalue.hpp"

namespace tulm {

namespace {
// Stands in for a zero p-value, which the searches never pass on as it is.
constexpr double kZeroPvalue = 1e-12;
}  // namespace

std::vector<double> prepare_pvalues(const std::vector<double>& pvalues) {
    std::vector<double> prepared(pvalues);
    for (double& p : prepared) {
        if (p == 0.0) {
            p = kZeroPvalue;
        }
    }
    return prepared;
}

std::vector<double> build_harmonic_table(int m) {
    const std::size_t entries = m > 0 ? static_cast<std::size_t>(m) + 1 : 1;
    std::vector<double> harmonic(entries, 0.0);
    // Plain running sum: each entry is the previous one plus 1/i, so the table
    // equals what a caller's sequential loop produces, last bit included.
    for (std::size_t i = 1; i < entries; ++i) {
        harmonic[i] = harmonic[i - 1] + 1.0 / static_cast<double>(i);
    }
    return harmonic;
}

}  // namespace tulm
