// The e-BH and BY counts, each twice: the plain loop, and a loop over blocks
// of four with AVX2 that does the same arithmetic on every element (the same
// operations, in the same order, each rounded once) and stops at the same
// first passing size. ebh_count and by_count take the AVX2 loop where the CPU
// has it; the tests compare both with a reference of their own.
#pragma once

#include <span>

namespace tulm::detail {

inline bool cpu_has_avx2() {
#if defined(__x86_64__) || defined(__i386__)
    static const bool has_avx2 = static_cast<bool>(__builtin_cpu_supports("avx2"));
    return has_avx2;
#else
    return false;
#endif
}

int ebh_count_plain(std::span<const double> evalues, double alpha);
int by_count_plain(std::span<const double> pvalues, double factor, double alpha);

// Only where cpu_has_avx2(); the plain loops elsewhere.
int ebh_count_avx2(std::span<const double> evalues, double alpha);
int by_count_avx2(std::span<const double> pvalues, double factor, double alpha);

}  // namespace tulm::detail
