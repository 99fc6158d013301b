"""Properties that hold for every input of the right shape, drawn by
hypothesis: the checks against every pair evaluated in exact arithmetic, the
searches against the checks, and the independence of results from warm-start
hints, subset order and e-value positions.

The example count comes from the hypothesis profile named by
TULM_HYPOTHESIS_PROFILE: "quick" (the default) or "thorough"."""

import math
from fractions import Fraction

from hypothesis import assume, given
from hypothesis import strategies as st

import _tulm
from kernel_tables import prefix_sums
from tulm._tables import harmonic_table

LEVELS = st.sampled_from([0.01, 0.05, 0.1, 0.2, 0.5])
TOLERANCE = Fraction(-1e-12)

# E-values with the ties and the large and small values the thresholds care
# about: multiples of 1/8 and a few values near 1/alpha.
evalue = st.one_of(
    st.integers(0, 800).map(lambda n: n / 8),
    st.sampled_from([0.0, 1.0, 19.99, 20.0, 20.000000001, 100.0, 1e6]),
    st.floats(0.0, 200.0),
)
ascending_evalues = st.lists(evalue, max_size=12).map(sorted)

# P-values spread over many decades, zeros included, in descending order.
pvalue = st.one_of(
    st.builds(lambda c, e: math.ldexp(c / 256, -e), st.integers(0, 256), st.integers(0, 30)),
    st.floats(0.0, 1.0),
    st.sampled_from([0.0, 1e-12, 0.01, 0.05, 1.0]),
)
descending_pvalues = st.lists(pvalue, max_size=20).map(lambda p: sorted(p, reverse=True))


def exact_verdict(cum_e, k, alpha):
    """True or False when every pair's exact slack (on the double prefix sums)
    is clear of the tolerance by a relative 1e-9; None when one is too close
    for the rounding of the slack to be ignored."""
    m = len(cum_e) - 1
    if k == 0 or k > m:
        return True
    u = m - k
    t = 1 / (k * Fraction(alpha))
    sums = [Fraction(x) for x in cum_e]
    verdict = True
    for o in range(1, k + 1):
        for j in range(u + 1):
            threshold = o * (o + j) * t
            f = sums[u + o] - sums[u] + sums[j] - threshold
            margin = Fraction(1, 10**9) * (1 + abs(threshold) + abs(sums[m]))
            if f < TOLERANCE - margin:
                return False
            if f < TOLERANCE + margin:
                verdict = None
    return verdict


@given(ascending_evalues, LEVELS)
def test_mean_consistency_check_examines_every_pair_in_effect(evalues, alpha):
    """For ascending e-values the bisection over j never misses a violation."""
    cum_e = prefix_sums(evalues)
    for k in range(len(evalues) + 1):
        verdict = exact_verdict(cum_e, k, alpha)
        if verdict is not None:
            assert _tulm.meanconsistent_wrapper_cpp(cum_e, k, alpha) is verdict, k


@given(ascending_evalues, LEVELS)
def test_closed_ebh_searches(evalues, alpha):
    """The exact scan, which passes each failure's witnesses to the next check
    as hints, finds the largest size whose hint-free check passes; the
    bisection finds a passing size above the e-BH count, or that count."""
    m = len(evalues)
    cum_e = prefix_sums(evalues)
    verdicts = [exact_verdict(cum_e, k, alpha) for k in range(m + 1)]
    largest = max((k for k in range(1, m + 1) if verdicts[k]), default=0)
    assume(None not in verdicts[largest + 1 :])  # no rounding decides the sizes above it
    passing = {k for k in range(1, m + 1) if _tulm.meanconsistent_wrapper_cpp(cum_e, k, alpha)}

    assert _tulm.largestmeanconsistent_cpp(evalues, alpha) == largest
    assert _tulm.closede_bh_cpp(evalues, alpha) == largest
    ebh = _tulm.eBH_cpp(evalues, alpha)
    approximate = _tulm.largestmeanconsistent_approximate_cpp(evalues, alpha)
    assert approximate == ebh or (approximate > ebh and approximate in passing)
    assert _tulm.closede_bh_cpp(evalues, alpha, approximate=True) == approximate


@st.composite
def subset_case(draw):
    evalues = draw(st.lists(st.one_of(evalue, st.floats(allow_nan=True)), min_size=1, max_size=15))
    m = len(evalues)
    subset = draw(st.lists(st.integers(0, m - 1), min_size=1, max_size=m, unique=True))
    order = draw(st.permutations(range(m)))  # position order[i] moves to i
    shuffled_subset = draw(st.permutations(subset))
    return evalues, subset, order, shuffled_subset


@given(subset_case(), LEVELS)
def test_subset_test_ignores_positions_and_order(case, alpha):
    """Any doubles, NaN and infinities included: the layout depends only on
    which values are inside and which outside."""
    evalues, subset, order, shuffled_subset = case
    expected = _tulm.is_subset_mean_consistent(evalues, subset, alpha)
    moved = [evalues[p] for p in order]
    where = {p: i for i, p in enumerate(order)}
    assert _tulm.is_subset_mean_consistent(evalues, shuffled_subset, alpha) is expected
    assert _tulm.is_subset_mean_consistent(moved, [where[p] for p in subset], alpha) is expected


@given(subset_case(), LEVELS)
def test_subset_of_the_largest_values_is_the_scan_check(case, alpha):
    evalues = sorted(x for x in case[0] if not math.isnan(x))
    m = len(evalues)
    cum_e = prefix_sums(evalues)
    for k in range(1, m + 1):
        assert _tulm.is_subset_mean_consistent(
            evalues, list(range(m - k, m)), alpha
        ) is _tulm.meanconsistent_wrapper_cpp(cum_e, k, alpha)


@given(descending_pvalues, LEVELS, st.data())
def test_cby_verdict_does_not_depend_on_the_hint(pvalues, alpha, data):
    """Only at_s may change with warm_s; a failing size fails again when the
    check starts there."""
    m = len(pvalues)
    assume(m > 0)
    table = harmonic_table(m)
    r = data.draw(st.integers(1, m), label="r")
    cold = _tulm.cBY_check_cpp(pvalues, r, table, 0, alpha)
    for warm_s in range(1, m + 1):
        warm = _tulm.cBY_check_cpp(pvalues, r, table, warm_s, alpha)
        assert warm["res"] is cold["res"], warm_s
        if not warm["res"]:
            assert _tulm.cBY_check_cpp(pvalues, r, table, warm["at_s"], alpha) == warm


def prepared(pvalues):
    return [1e-12 if p == 0.0 else p for p in pvalues]


@given(descending_pvalues, LEVELS)
def test_closed_by_searches(pvalues, alpha):
    m = len(pvalues)
    p, table = prepared(pvalues), harmonic_table(m)
    passing = {k for k in range(1, m + 1) if _tulm.cBY_check_cpp(p, k, table, 0, alpha)["res"]}
    assert _tulm.largestcBYsignificant_cpp(pvalues, alpha) == max(passing, default=0)
    by = _tulm.BY_cpp(p, table, alpha)
    approximate = _tulm.largestcBYsignificant_approximate_cpp(pvalues, alpha)
    assert approximate == by or (approximate > by and approximate in passing)
