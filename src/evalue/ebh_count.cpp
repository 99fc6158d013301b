#include <bit>
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
// Four sizes at a time: k holds m - i .. m - i - 3 (exact as doubles), and the
// first lane that passes, in order, is the size the plain loop returns.
__attribute__((target("avx2"))) int ebh_scan_avx2(std::span<const double> evalues, double alpha,
                                                  std::size_t first, std::size_t last) {
    const int m = static_cast<int>(evalues.size());
    const double scale = alpha / static_cast<double>(m);
    const __m256d scales = _mm256_set1_pd(scale);
    const __m256d threshold = _mm256_set1_pd(kEbhThreshold);
    const __m256d four = _mm256_set1_pd(4.0);
    auto i = static_cast<int>(first);
    const auto end = static_cast<int>(last);
    const auto top = static_cast<double>(m - i);
    __m256d k = _mm256_setr_pd(top, top - 1.0, top - 2.0, top - 3.0);
    for (; i + 4 <= end; i += 4) {
        const __m256d e = _mm256_loadu_pd(evalues.data() + i);
        const __m256d product = _mm256_mul_pd(_mm256_mul_pd(k, e), scales);
        // Ordered: a NaN product never passes.
        const int passing = _mm256_movemask_pd(_mm256_cmp_pd(product, threshold, _CMP_GE_OQ));
        if (passing != 0) {
            return m - i - std::countr_zero(static_cast<unsigned>(passing));
        }
        k = _mm256_sub_pd(k, four);
    }
    return ebh_scan_plain(evalues, alpha, static_cast<std::size_t>(i), last);
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
