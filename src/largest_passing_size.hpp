// Both searches of both closed procedures, written once over the check of a
// family: the largest size k in 1..m whose check passes. The exact search
// tries every size from m down; the approximate one bisects the sizes above
// a base count (the e-BH or BY count), and equals the exact one whenever
// passing is monotone in the size above the base. Each failed check hands its
// witness to the next check as a hint, which changes the checks' cost and
// witnesses but not their verdicts.
#pragma once

namespace tulm::detail {

// What one check tells a search: whether the size passes and, when it fails,
// the witness the next check takes as its hint.
template <typename Hint>
struct SizeChecked {
    bool passes;
    Hint witness;
};

// check(k, hint) -> SizeChecked<Hint>, for k = m, m - 1, ..., 1: the first
// size that passes, or 0. `hint` is the first check's: none.
template <typename Hint, typename Check, typename Poll>
int largest_passing_from_top(int m, Hint hint, Check&& check, Poll& poll) {
    for (int k = m; k >= 1; --k) {
        poll();
        const SizeChecked<Hint> result = check(k, hint);
        if (result.passes) {
            return k;
        }
        hint = result.witness;
    }
    return 0;
}

// Bisection over (base, m]: the largest passing size found, or base when none
// passes. Only a failure moves the hint: it comes from the smallest size
// failed so far.
template <typename Hint, typename Check, typename Poll>
int largest_passing_above(int base, int m, Hint hint, Check&& check, Poll& poll) {
    int lo = base + 1;
    int hi = m;
    int answer = base;
    while (lo <= hi) {
        poll();
        const int mid = lo + (hi - lo) / 2;
        const SizeChecked<Hint> result = check(mid, hint);
        if (result.passes) {
            answer = mid;
            lo = mid + 1;
        } else {
            hi = mid - 1;
            hint = result.witness;
        }
    }
    return answer;
}

}  // namespace tulm::detail
