// The e-BH and BY counts: a scan of the sizes from m down that stops at the
// first size that passes. Each scan is written twice: the plain loop, and a
// loop over blocks of four with AVX2 that does the same arithmetic on every
// element (the same operations, in the same order, each rounded once) and
// stops at the same first passing size. The counts run a scan over one chunk
// of positions at a time and poll between chunks; they take the AVX2 loop
// where the CPU has it. The tests compare both loops with a reference of
// their own.
#pragma once

#include <bit>
#include <cstddef>
#include <span>

#include "cpu_features.hpp"
#include "interrupt_poll.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#endif

namespace tulm::detail {

// For the positions i in [first, last), in order: the size m - i of the
// first whose product (k * e) * (alpha / m) reaches 1 + 1e-12, or 0.
int ebh_scan_plain(std::span<const double> evalues, double alpha, std::size_t first,
                   std::size_t last);
// For the positions i in [first, last), in order: the size k = m - i of the
// first whose excess ((factor * p) / k) - alpha is at most 1e-10, or 0.
int by_scan_plain(std::span<const double> pvalues, double factor, double alpha, std::size_t first,
                  std::size_t last);

// The same, only where cpu_has_avx2(); the plain loops elsewhere.
int ebh_scan_avx2(std::span<const double> evalues, double alpha, std::size_t first,
                  std::size_t last);
int by_scan_avx2(std::span<const double> pvalues, double factor, double alpha, std::size_t first,
                 std::size_t last);

#if defined(__x86_64__) || defined(__i386__)
// The sizes m - i, ..., m - i - 3 of the block of four positions from i, as
// doubles (exact).
__attribute__((target("avx2"))) inline __m256d block_sizes(int m, int i) {
    const auto top = static_cast<double>(m - i);
    return _mm256_setr_pd(top, top - 1.0, top - 2.0, top - 3.0);
}

// The size of the first lane of the block at i whose bit is set in `lanes`
// (a movemask, not 0).
inline int first_lane_size(int m, int i, int lanes) {
    return m - i - std::countr_zero(static_cast<unsigned>(lanes));
}
#endif

// scan(first, last) over the chunks of [0, m) in order: its first non-zero
// answer, or 0.
template <typename Scan, typename Poll>
int first_passing_size(std::size_t m, Scan&& scan, Poll& poll) {
    for (std::size_t first = 0; first < m; first = chunk_end(first, m)) {
        const int size = scan(first, chunk_end(first, m));
        if (size != 0) {
            return size;
        }
        poll(static_cast<std::int64_t>(chunk_end(first, m) - first));
    }
    return 0;
}

template <typename Poll>
int ebh_count_with(std::span<const double> evalues, double alpha, Poll& poll) {
    const bool avx2 = cpu_has_avx2();
    return first_passing_size(
        evalues.size(),
        [&](std::size_t first, std::size_t last) {
            return avx2 ? ebh_scan_avx2(evalues, alpha, first, last)
                        : ebh_scan_plain(evalues, alpha, first, last);
        },
        poll);
}

// Reads only harmonic[m] of the table (nothing when m = 0).
template <typename Poll>
int by_count_with(std::span<const double> pvalues, std::span<const double> harmonic, double alpha,
                  Poll& poll) {
    if (pvalues.empty()) {
        return 0;
    }
    const double factor = static_cast<double>(pvalues.size()) * harmonic[pvalues.size()];
    const bool avx2 = cpu_has_avx2();
    return first_passing_size(
        pvalues.size(),
        [&](std::size_t first, std::size_t last) {
            return avx2 ? by_scan_avx2(pvalues, factor, alpha, first, last)
                        : by_scan_plain(pvalues, factor, alpha, first, last);
        },
        poll);
}

}  // namespace tulm::detail
