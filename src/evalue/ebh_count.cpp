#include <cstddef>
#include <span>

#include "count_scans.hpp"
#include "interrupt_poll.hpp"
#include "tolerances.hpp"
#include "tulm/evalue.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace tulm {

namespace detail {

int ebh_scan_plain(std::span<const double> evalues, double alpha, std::size_t first,
                   std::size_t last) {
    const int m = static_cast<int>(evalues.size());
    const double scale = alpha / static_cast<double>(m);
    for (auto i = static_cast<int>(first); i < static_cast<int>(last); ++i) {
        const int k = m - i;
        // (k * e) first, then * scale: two roundings, in this order.
        const double product = (static_cast<double>(k) * evalues[i]) * scale;
        if (product >= kEbhThreshold) {
            return k;
        }
    }
    return 0;
}

#if defined(__x86_64__) || defined(__i386__)
// Four sizes at a time, the same two products per lane; the first lane that
// passes, in order, is the size the plain loop returns.
__attribute__((target("avx2"))) int ebh_scan_avx2(std::span<const double> evalues, double alpha,
                                                  std::size_t first, std::size_t last) {
    const int m = static_cast<int>(evalues.size());
    const __m256d scale = _mm256_set1_pd(alpha / static_cast<double>(m));
    __m256d k = block_sizes(m, static_cast<int>(first));
    std::size_t i = first;
    for (; i + 4 <= last; i += 4) {
        const __m256d k_times_e = _mm256_mul_pd(k, _mm256_loadu_pd(&evalues[i]));
        // Ordered: a NaN product never passes.
        const int passing = _mm256_movemask_pd(_mm256_cmp_pd(
            _mm256_mul_pd(k_times_e, scale), _mm256_set1_pd(kEbhThreshold), _CMP_GE_OQ));
        if (passing != 0) {
            return first_lane_size(m, static_cast<int>(i), passing);
        }
        k = _mm256_sub_pd(k, _mm256_set1_pd(4.0));
    }
    return ebh_scan_plain(evalues, alpha, i, last);
}
#else
int ebh_scan_avx2(std::span<const double> evalues, double alpha, std::size_t first,
                  std::size_t last) {
    return ebh_scan_plain(evalues, alpha, first, last);
}
#endif

}  // namespace detail

int ebh_count(std::span<const double> evalues, double alpha, Interrupt interrupt) {
    detail::InterruptPoll poll(interrupt);
    return detail::ebh_count_with(evalues, alpha, poll);
}

}  // namespace tulm
