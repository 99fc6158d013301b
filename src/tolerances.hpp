// The fixed tolerances of both families, each the double nearest to the
// decimal written. Results at the thresholds depend on these exact values.
#pragma once

namespace tulm::detail {

// e-BH: a product (k * e) * (alpha / m) counts from 1 + 1e-12 up, so one that
// merely rounds to 1 does not.
inline constexpr double kEbhThreshold = 1.000000000001;

// Closed e-BH: a slack violates below -1e-12, so one that merely rounds below
// zero does not.
inline constexpr double kViolatingSlack = -1e-12;

// BY and closed BY: a scaled p-value may exceed alpha by this much and still
// count; the cBY check widens its cut-off, steps and thresholds by it too.
inline constexpr double kByTolerance = 1e-10;

// The closed BY searches test a zero p-value as this value.
inline constexpr double kZeroPvalueStandIn = 1e-12;

}  // namespace tulm::detail
