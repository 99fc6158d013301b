// What the CPU offers beyond the baseline the kernels are built for. A kernel
// with a faster variant asks here once per call and keeps its plain loop for
// every other CPU, and for the tests that compare the two.
#pragma once

namespace tulm::detail {

// AVX2 (four doubles per instruction), for the count scans and the cBY weight
// blocks. Asked once per process.
inline bool cpu_has_avx2() {
#if defined(__x86_64__) || defined(__i386__)
    static const bool has_avx2 = static_cast<bool>(__builtin_cpu_supports("avx2"));
    return has_avx2;
#else
    return false;
#endif
}

}  // namespace tulm::detail
