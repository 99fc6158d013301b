// E-value procedures: the e-BH rejection count.
//
// E-values arrive sorted ascending, so the k largest are the last k entries and
// entry i is the (m - i)-th largest. Sizes and counts are 32-bit: callers keep
// vectors below 2^31 entries. Every floating-point expression is evaluated in
// the order written in the sources; results at the thresholds depend on it.
#pragma once

#include <vector>

namespace tulm {

// Largest k such that (k * e_(k)) * (alpha / m) >= 1.000000000001, where e_(k)
// is the k-th largest e-value; 0 when no size passes or the vector is empty.
// Reads the vector as given: neither tests nor restores the ascending order.
int ebh_count(const std::vector<double>& evalues, double alpha);

}  // namespace tulm
