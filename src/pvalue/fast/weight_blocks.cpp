#include "weight_blocks.hpp"

#include "cpu_features.hpp"
#include "pvalue/cby_check.hpp"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TULM_CBY_AVX2 1
#endif

namespace tulm::detail {

void weights_of_portable(const double* x, std::size_t n, double T, double inv, double* weights) {
    for (std::size_t t = 0; t < n; ++t) {
        weights[t] = weight_of(x[t], T, inv);
    }
}

#ifdef TULM_CBY_AVX2

// The scalar operations four at a time: multiply, subtract, round up, the
// explicit comparison with 1.0 (false for NaN, as in weight_of), divide.
// No FMA: the target enables AVX2 only, and the build forbids contraction.
__attribute__((target("avx2"))) void weights_of_avx2(const double* x, std::size_t n, double T,
                                                     double inv, double* weights) {
    const __m256d scale = _mm256_set1_pd(T);
    const __m256d tolerance = _mm256_set1_pd(kByTolerance);
    const __m256d one = _mm256_set1_pd(1.0);
    const __m256d numerator = _mm256_set1_pd(inv);
    std::size_t t = 0;
    for (; t + 4 <= n; t += 4) {
        __m256d step = _mm256_sub_pd(_mm256_mul_pd(_mm256_loadu_pd(x + t), scale), tolerance);
        step = _mm256_round_pd(step, _MM_FROUND_TO_POS_INF | _MM_FROUND_NO_EXC);
        const __m256d above_one = _mm256_cmp_pd(step, one, _CMP_GT_OQ);
        step = _mm256_blendv_pd(one, step, above_one);
        _mm256_storeu_pd(weights + t, _mm256_div_pd(numerator, step));
    }
    weights_of_portable(x + t, n - t, T, inv, weights + t);
}

#else

void weights_of_avx2(const double* x, std::size_t n, double T, double inv, double* weights) {
    weights_of_portable(x, n, T, inv, weights);
}

#endif

void weights_of(const double* x, std::size_t n, double T, double inv, double* weights) {
    if (cpu_has_avx2()) {
        weights_of_avx2(x, n, T, inv, weights);
    } else {
        weights_of_portable(x, n, T, inv, weights);
    }
}

double descending_weight_sum(const double* p, int lo, int hi, double T, double inv) {
    double sum = 0.0;
    for (int j = hi; j >= lo; --j) {
        sum += weight_of(p[j], T, inv);
    }
    return sum;
}

}  // namespace tulm::detail
