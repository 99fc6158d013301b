// The one pass of e-BH and BY over unsorted values: the few values past a
// bound known before sorting, the only ones the procedures can reject, are
// all that needs sorting.
#pragma once

#include <span>
#include <vector>

namespace tulm::selection {

// Appends to `candidates` the values at or below `bound` (`below`) or at or
// above it, in no particular order; NaN never is one.
void select_candidates(std::span<const double> values, double bound, bool below,
                       std::vector<double>& candidates);

}  // namespace tulm::selection
