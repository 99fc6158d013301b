// The cBY weights of a block of p-values at once, bit for bit what
// step_weight gives one at a time (AVX2 where the CPU has it): the check's
// loops form their weights in blocks and add them one at a time in order.
#pragma once

#include <cstddef>

namespace tulm::detail {

// weights[t] = step_weight(x[t], T, inv) for t < n.
void step_weights(const double* x, std::size_t n, double T, double inv, double* weights);

// The implementations step_weights chooses between, for the tests.
void step_weights_portable(const double* x, std::size_t n, double T, double inv, double* weights);
bool step_weights_avx2_available();
// Only when step_weights_avx2_available().
void step_weights_avx2(const double* x, std::size_t n, double T, double inv, double* weights);

// The sum of the weights of p[lo .. hi], added one at a time from p[hi] down
// to p[lo], starting from 0: a short outside pass or candidate prefix of the
// check. 0 when lo > hi.
double descending_weight_sum(const double* p, int lo, int hi, double T, double inv);

}  // namespace tulm::detail
