// The cBY weights of a block of p-values at once, bit for bit what weight_of
// (cby_check.hpp) gives one at a time: AVX2 where the CPU has it. The fast
// check forms its weights in blocks and adds them one at a time, in the
// reference's order.
#pragma once

#include <cstddef>

namespace tulm::detail {

// weights[t] = weight_of(x[t], T, inv) for t < n.
void weights_of(const double* x, std::size_t n, double T, double inv, double* weights);

// The two loops weights_of chooses between, for the tests.
void weights_of_portable(const double* x, std::size_t n, double T, double inv, double* weights);
// Only where cpu_has_avx2().
void weights_of_avx2(const double* x, std::size_t n, double T, double inv, double* weights);

// The sum of the weights of p[lo .. hi], added one at a time from p[hi] down
// to p[lo], starting from 0: a short outside pass or candidate prefix of the
// reference. 0 when lo > hi.
double descending_weight_sum(const double* p, int lo, int hi, double T, double inv);

}  // namespace tulm::detail
