// The cBY weights of a block of p-values at once, bit for bit what
// step_weight gives one at a time, and the check's ordered sums built on
// them: the weights come in blocks (AVX2 where the CPU has it), the additions
// stay one at a time in the check's order.
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
// to p[lo], starting from 0: the outside pass and the candidate prefix of the
// check. 0 when lo > hi.
double descending_weight_sum(const double* p, int lo, int hi, double T, double inv);

}  // namespace tulm::detail
