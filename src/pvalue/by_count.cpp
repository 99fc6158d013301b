#include <cstddef>
#include <limits>
#include <span>

#include "count_scans.hpp"
#include "interrupt_poll.hpp"
#include "tolerances.hpp"
#include "tulm/pvalue.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace tulm {

namespace detail {

int by_scan_plain(std::span<const double> pvalues, double factor, double alpha, std::size_t first,
                  std::size_t last) {
    const int m = static_cast<int>(pvalues.size());
    for (auto i = static_cast<int>(first); i < static_cast<int>(last); ++i) {
        const int k = m - i;
        // Three roundings in this order: times p, divided by k, minus alpha.
        const double excess = ((factor * pvalues[i]) / static_cast<double>(k)) - alpha;
        if (excess <= kByTolerance) {
            return k;
        }
    }
    return 0;
}

#if defined(__x86_64__) || defined(__i386__)
// Four sizes at a time. Most sizes of a sorted screen fail by far, and a
// block whose four products q = factor * p all exceed k * C, with
// C = (alpha + 1e-10) * (1 + 2^-48), fails without a division: for
// 0 < alpha <= 1e300, rounding each of the five operations by at most a
// factor 1 +- 2^-53 leaves q / k - alpha above 1e-10 by more than any rounding
// of the last two (see the tests). Any other block takes the plain operations,
// on the same q.
__attribute__((target("avx2"))) int by_scan_avx2(std::span<const double> pvalues, double factor,
                                                 double alpha, std::size_t first,
                                                 std::size_t last) {
    const int m = static_cast<int>(pvalues.size());
    // Infinite where the margin is not proven: no block is skipped.
    const double certainly_above = alpha > 0.0 && alpha <= 1e300
                                       ? (alpha + kByTolerance) * (1.0 + 0x1p-48)
                                       : std::numeric_limits<double>::infinity();
    __m256d k = block_sizes(m, static_cast<int>(first));
    std::size_t i = first;
    for (; i + 4 <= last; i += 4, k = _mm256_sub_pd(k, _mm256_set1_pd(4.0))) {
        const __m256d q = _mm256_mul_pd(_mm256_set1_pd(factor), _mm256_loadu_pd(&pvalues[i]));
        const __m256d bound = _mm256_mul_pd(k, _mm256_set1_pd(certainly_above));
        if (_mm256_movemask_pd(_mm256_cmp_pd(q, bound, _CMP_GT_OQ)) != 0xF) {
            const __m256d excess = _mm256_sub_pd(_mm256_div_pd(q, k), _mm256_set1_pd(alpha));
            // Ordered: a NaN excess never passes.
            const int passing =
                _mm256_movemask_pd(_mm256_cmp_pd(excess, _mm256_set1_pd(kByTolerance), _CMP_LE_OQ));
            if (passing != 0) {
                return first_lane_size(m, static_cast<int>(i), passing);
            }
        }
    }
    return by_scan_plain(pvalues, factor, alpha, i, last);
}
#else
int by_scan_avx2(std::span<const double> pvalues, double factor, double alpha, std::size_t first,
                 std::size_t last) {
    return by_scan_plain(pvalues, factor, alpha, first, last);
}
#endif

}  // namespace detail

int by_count(std::span<const double> pvalues, std::span<const double> harmonic, double alpha,
             Interrupt interrupt) {
    detail::InterruptPoll poll(interrupt);
    return detail::by_count_with(pvalues, harmonic, alpha, poll);
}

}  // namespace tulm
