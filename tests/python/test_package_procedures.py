"""The tulm package against the kernels on sorted input, scipy and
statsmodels, and against itself under permutations, NaN, axes and threads."""

import decimal
import doctest
import math
import pickle
import subprocess
import sys
from typing import ClassVar
from unittest import mock

import numpy as np
import pandas as pd
import pytest
from hypothesis import given
from hypothesis import strategies as st
from scipy.stats import false_discovery_control
from statsmodels.stats.multitest import multipletests

import _tulm
import tulm
import tulm._adjusted
import tulm._families
import tulm._procedures
import tulm._result
import tulm._tables
from kernel_tables import plain_closed_levels
from tulm._tables import harmonic_table

# (function, method, kind, kernel on values sorted least significant first)
PROCEDURES = [
    pytest.param(tulm.ebh, None, "e", lambda e, a: _tulm.eBH_cpp(e, a), id="e-BH"),
    pytest.param(
        tulm.closed_ebh,
        "exact",
        "e",
        lambda e, a: _tulm.closede_bh_cpp(e, a),
        id="closed-e-BH-exact",
    ),
    pytest.param(
        tulm.closed_ebh,
        "approximate",
        "e",
        lambda e, a: _tulm.closede_bh_cpp(e, a, approximate=True),
        id="closed-e-BH-approximate",
    ),
    pytest.param(
        tulm.by, None, "p", lambda p, a: _tulm.BY_cpp(p, harmonic_table(len(p)), a), id="BY"
    ),
    pytest.param(
        tulm.closed_by,
        "exact",
        "p",
        lambda p, a: _tulm.largestcBYsignificant_cpp(p, a),
        id="closed-BY-exact",
    ),
    pytest.param(
        tulm.closed_by,
        "approximate",
        "p",
        lambda p, a: _tulm.largestcBYsignificant_approximate_cpp(p, a),
        id="closed-BY-approximate",
    ),
]


def call(function, method, values, **options):
    return (
        function(values, **options)
        if method is None
        else function(values, method=method, **options)
    )


def reference(kind, kernel, values, alpha):
    """(count, mask, m): NaN dropped, a stable sort, the kernel on the sorted
    values, and the first count of the stable order rejected."""
    values = np.asarray(values, dtype=float)
    tested = np.flatnonzero(~np.isnan(values))
    kept = values[tested]
    order = np.argsort(-kept if kind == "e" else kept, kind="stable")
    k = kernel(np.ascontiguousarray(kept[order][::-1]), alpha)
    mask = np.zeros(len(values), dtype=bool)
    mask[tested[order[:k]]] = True
    return k, mask, len(tested)


def screen(kind, m, rng, signal=0.1):
    z = rng.standard_normal(m) + 3.0 * (rng.random(m) < signal)
    if kind == "e":
        return np.exp(3.0 * z - 4.5)
    return np.array([0.5 * math.erfc(x / math.sqrt(2.0)) for x in z])


# Few distinct values, so ties are common, NaN and the ends of the ranges.
TIED = {
    "e": st.sampled_from([0.0, 0.5, 1.0, 20.0, 100.0, 400.0, 1e3, 1e4, math.inf, math.nan]),
    "p": st.sampled_from([0.0, 1e-5, 1e-4, 1e-3, 0.004, 0.01, 0.05, 0.5, 1.0, math.nan]),
}
LEVELS = st.sampled_from([0.01, 0.05, 0.2, 1.0])
# e-BH warns when no e-value exceeds 1; drawn screens often have none.
UNREACHABLE = "ignore:no e-value exceeds 1:UserWarning"


@pytest.mark.filterwarnings(UNREACHABLE)
@pytest.mark.parametrize(("function", "method", "kind", "kernel"), PROCEDURES)
@given(data=st.data(), alpha=LEVELS)
def test_equals_the_kernel_on_stably_sorted_input_with_nan_omitted(
    function, method, kind, kernel, data, alpha
):
    values = data.draw(st.lists(st.one_of(TIED[kind], st.floats(0.0, 1.0)), max_size=40))
    result = call(function, method, values, alpha=alpha, nan_policy="omit")
    k, mask, m = reference(kind, kernel, values, alpha)
    assert (result.count, result.m) == (k, m)
    np.testing.assert_array_equal(result.rejected, mask)


def thresholds(kind, m, alpha):
    """Per rank k, the bound e = m / (k alpha) or p = k alpha / (m H_m), the
    value where the kernel's comparison flips, up to its tolerance, and the
    neighbours of both."""
    h = harmonic_table(m)[m]
    if kind == "e":
        bounds = [m / (k * alpha) * f for k in range(1, m + 1) for f in (1.0, 1.000000000001)]
    else:
        bounds = [k * a / (m * h) for k in range(1, m + 1) for a in (alpha, alpha + 1e-10)]
    near = [x for v in bounds for x in (v, np.nextafter(v, 0.0), np.nextafter(v, np.inf))]
    # At alpha = 1 the largest p-value bounds pass 1: no longer p-values.
    return near if kind == "e" else [x for x in near if x <= 1.0]


@pytest.mark.filterwarnings(UNREACHABLE)
@pytest.mark.parametrize(("function", "method", "kind", "kernel"), PROCEDURES[::3])
@given(data=st.data(), alpha=LEVELS)
def test_candidates_give_the_kernel_count_bit_for_bit(function, method, kind, kernel, data, alpha):
    """Values at the kernels' thresholds and beside them, ties, zeros, ones,
    subnormals: the count from the candidates alone is the kernel's on the
    whole sorted family, for one family, for rows, and scanned in steps."""
    m = data.draw(st.integers(1, 30), label="m")
    edges = [0.0, 1.0, 5e-324, 2.2250738585072014e-308, *thresholds(kind, m, alpha)]
    # Families of bounds alone reach the largest ranks, where e-BH needs every
    # value past its bound.
    drawn = data.draw(st.sampled_from([st.sampled_from(edges), st.floats(0.0, 1.0)]))
    values = data.draw(st.lists(st.sampled_from(edges) | drawn, min_size=m, max_size=m))
    k, mask, _ = reference(kind, kernel, values, alpha)
    with mock.patch.object(tulm._select, "_SCAN_STEP", data.draw(st.sampled_from([1 << 22, 3]))):
        result = function(values, alpha)
    assert result.count == k
    np.testing.assert_array_equal(result.rejected, mask)
    rows = function([values, values[::-1]], alpha)
    np.testing.assert_array_equal(rows.count, [k, k])
    np.testing.assert_array_equal(rows.rejected[0], mask)


@pytest.mark.filterwarnings(UNREACHABLE)
@pytest.mark.parametrize(("function", "method", "kind", "kernel"), PROCEDURES[::3])
@pytest.mark.parametrize("m", [1, 3])
def test_every_value_at_its_bound(function, method, kind, kernel, m):
    """Families whose values all sit at one bound, where the largest rank
    decides: a margin one part in 10^9 too narrow would lose them."""
    for alpha in (0.01, 0.05, 0.2, 1.0):
        for value in thresholds(kind, m, alpha)[-6:]:
            values = [value] * m
            assert function(values, alpha).count == kernel(np.array(values), alpha), value


@pytest.mark.filterwarnings(UNREACHABLE)
@pytest.mark.parametrize(("function", "method", "kind", "kernel"), PROCEDURES)
@given(data=st.data(), alpha=LEVELS)
def test_a_family_given_above_a_cutoff(function, method, kind, kernel, data, alpha):
    """Values selected by a cutoff, the family size counting the rest: never
    more than the full family rejects; exactly that whenever full_family says
    so, which e-BH and BY do when the cutoff is past their candidate bound.
    e-BH and BY count as their kernel on the family with stand-ins."""
    full = data.draw(
        st.lists(st.one_of(TIED[kind], st.floats(0.0, 1.0)), min_size=1, max_size=30).filter(
            lambda v: not np.isnan(v).any()
        )
    )
    full = np.array(full)
    cutoff = data.draw(st.sampled_from(sorted(set(full.tolist()))) | st.floats(0.0, 1.0))
    given = full < cutoff if kind == "p" else full > cutoff
    part = call(function, method, full[given], alpha=alpha, m=full.size, cutoff=cutoff)
    whole = call(function, method, full, alpha=alpha)
    assert part.m == full.size
    assert not (part.rejected & ~whole.rejected[given]).any()
    if part.full_family:
        np.testing.assert_array_equal(part.rejected, whole.rejected[given])
    if method is not None:
        assert part.full_family is (True if given.all() else None)
        return
    h = harmonic_table(full.size)[full.size]
    beyond = cutoff <= 1 / alpha if kind == "e" else cutoff > (alpha + 1e-10) / h * (1 + 1e-12)
    if beyond or given.all():
        assert part.full_family
    stand_ins = np.full(full.size - given.sum(), 1.0 if kind == "p" else 0.0)
    k, _, _ = reference(kind, kernel, np.concatenate((full[given], stand_ins)), alpha)
    assert part.count == min(k, given.sum())


@given(data=st.data())
def test_any_count_marks_the_first_of_the_stable_order(data):
    """Whatever count a closed search returns, a tie across the cut goes to
    earlier positions (e-BH and BY never cut a tie, the closed procedures may)."""
    kind = data.draw(st.sampled_from(["e", "p"]))
    few = {"e": [0.0, 1.0, 400.0, math.inf, math.nan], "p": [0.0, 0.01, 0.5, 1.0, math.nan]}[kind]
    # numpy sorts up to 16 values by insertion, which is stable: go beyond.
    values = data.draw(st.lists(st.sampled_from(few), min_size=20, max_size=80))
    k = data.draw(st.integers(0, sum(not math.isnan(v) for v in values)))
    # Short rows are marked together, long ones one by one: both ways.
    row_by_row = data.draw(st.sampled_from([0, 1 << 12]))
    with (
        mock.patch.object(_tulm, "closede_bh_cpp", lambda *args: k),
        mock.patch.object(_tulm, "largestcBYsignificant_cpp", lambda *args: k),
        mock.patch.object(tulm._families, "_ROW_BY_ROW", row_by_row),
    ):
        result = (tulm.closed_ebh if kind == "e" else tulm.closed_by)(values, nan_policy="omit")
    _, mask, _ = reference(kind, lambda *args: k, values, 0.05)
    np.testing.assert_array_equal(result.rejected, mask)


@pytest.mark.parametrize(("function", "method", "kind", "kernel"), PROCEDURES)
@pytest.mark.parametrize("seed", range(3))
def test_permuting_the_input_permutes_the_mask(function, method, kind, kernel, seed):
    rng = np.random.default_rng(seed)
    values = screen(kind, 300, rng, signal=0.3)
    assert len(np.unique(values)) == len(values)
    permutation = rng.permutation(len(values))
    result = call(function, method, values)
    permuted = call(function, method, values[permutation])
    assert result.count > 0
    np.testing.assert_array_equal(permuted.rejected, result.rejected[permutation])


@pytest.mark.parametrize(
    ("base", "closed"), [(tulm.ebh, tulm.closed_ebh), (tulm.by, tulm.closed_by)], ids=["e-BH", "BY"]
)
@pytest.mark.filterwarnings(UNREACHABLE)
@pytest.mark.parametrize("method", ["exact", "approximate"])
@given(data=st.data(), alpha=LEVELS)
def test_closed_rejects_everything_the_base_rejects(base, closed, method, data, alpha):
    kind = "e" if base is tulm.ebh else "p"
    values = data.draw(st.lists(st.one_of(TIED[kind], st.floats(0.0, 1.0)), max_size=40))
    base_mask = base(values, alpha, nan_policy="omit").rejected
    closed_mask = closed(values, alpha, method=method, nan_policy="omit").rejected
    assert not (base_mask & ~closed_mask).any()


@pytest.mark.parametrize(("function", "method", "kind", "kernel"), PROCEDURES)
def test_omitting_nan_equals_dropping_them(function, method, kind, kernel):
    rng = np.random.default_rng(7)
    values = screen(kind, 400, rng, signal=0.3)
    nan = rng.random(len(values)) < 0.2
    values[nan] = np.nan
    omitted = call(function, method, values, nan_policy="omit")
    dropped = call(function, method, values[~nan])
    assert (omitted.count, omitted.m) == (dropped.count, dropped.m)
    assert dropped.m == 400 - nan.sum()
    assert not omitted.rejected[nan].any()
    np.testing.assert_array_equal(omitted.rejected[~nan], dropped.rejected)
    if function is tulm.by:
        assert np.isnan(omitted.adjusted[nan]).all()
        np.testing.assert_array_equal(omitted.adjusted[~nan], dropped.adjusted)


# Screens for the comparison with scipy and statsmodels: (m, share of signals, alpha).
SCREENS = [
    pytest.param(1, 1.0, 0.05, id="one-hypothesis"),
    pytest.param(12, 0.5, 0.1, id="small"),
    pytest.param(2000, 0.1, 0.05, id="sparse-signals"),
    pytest.param(20000, 0.05, 0.05, id="genome-screen"),
    pytest.param(5000, 0.0, 0.2, id="no-signal"),
    pytest.param(3000, 0.6, 0.5, id="lenient-level"),
]


@pytest.mark.parametrize(("m", "signal", "alpha"), SCREENS)
@pytest.mark.parametrize("seed", range(2))
def test_by_agrees_with_scipy_and_statsmodels(m, signal, alpha, seed):
    pvalues = screen("p", m, np.random.default_rng(seed), signal)
    pvalues[: m // 50] = np.round(pvalues[: m // 50], 2)  # some ties and zeros
    result = tulm.by(pvalues, alpha)
    scipy_adjusted = false_discovery_control(pvalues, method="by")
    sm_reject, sm_adjusted, _, _ = multipletests(pvalues, alpha, method="fdr_by")
    for adjusted in (scipy_adjusted, sm_adjusted):
        np.testing.assert_allclose(result.adjusted, adjusted, rtol=1e-12, atol=0)
    # Neither reference has the kernel's 1e-10 tolerance: these screens keep
    # every adjusted p-value well clear of alpha, so the masks must agree.
    assert np.abs(scipy_adjusted - alpha).min() > 1e-8
    np.testing.assert_array_equal(result.rejected, scipy_adjusted <= alpha)
    np.testing.assert_array_equal(result.rejected, sm_reject)


@given(pvalues=st.lists(st.one_of(TIED["p"], st.floats(0.0, 1.0)), max_size=40), alpha=LEVELS)
def test_by_rejects_where_the_adjusted_p_value_meets_alpha(pvalues, alpha):
    result = tulm.by(pvalues, alpha, nan_policy="omit")
    adjusted = np.asarray(result.adjusted)
    assert ((adjusted <= 1) | np.isnan(adjusted)).all()
    if alpha < 1:  # capping at 1 would hide the kernel's comparison
        np.testing.assert_array_equal(result.rejected, adjusted - alpha <= 1e-10)


def plain_levels(kind, values, m):
    """Adjusted levels written plainly: per rank r, the least over k >= r of
    the scaled value the kernel compares with alpha, capped at 1. BY:
    ((m H_m) p) / k; e-BH: m / (k e). NaN stay NaN."""
    h = harmonic_table(m)[m]
    order = sorted(
        (i for i, v in enumerate(values) if not math.isnan(v)),
        key=lambda i: values[i] if kind == "p" else -values[i],
    )
    levels = [math.nan] * len(values)
    least = math.inf
    for k in range(len(order), 0, -1):
        v = values[order[k - 1]]
        if kind == "p":
            scaled = ((m * h) * v) / k
        else:
            scaled = m / (k * v) if k * v else math.inf
        least = min(least, scaled)
        levels[order[k - 1]] = min(least, 1.0)
    return levels


@pytest.mark.filterwarnings(UNREACHABLE)
@pytest.mark.parametrize(("function", "method", "kind", "kernel"), PROCEDURES[::3])
@given(data=st.data())
def test_adjusted_levels_equal_their_closed_form(function, method, kind, kernel, data):
    values = data.draw(st.lists(st.one_of(TIED[kind], st.floats(0.0, 1.0)), max_size=40))
    tested = sum(not math.isnan(v) for v in values)
    m = data.draw(st.sampled_from([tested, tested + 1, 3 * tested + 5]))
    result = function(values, m=m, nan_policy="omit")
    np.testing.assert_array_equal(result.adjusted, plain_levels(kind, values, m))
    assert result.adjusted is result.adjusted  # computed once


ADJUSTED = [
    pytest.param(tulm.ebh, {}, "e", id="e-BH"),
    pytest.param(tulm.closed_ebh, {"adjusted": True}, "e", id="closed-e-BH"),
    pytest.param(tulm.by, {}, "p", id="BY"),
    pytest.param(tulm.closed_by, {"adjusted": True}, "p", id="closed-BY"),
]


@pytest.mark.filterwarnings(UNREACHABLE)
@pytest.mark.parametrize(("function", "options", "kind"), ADJUSTED)
@given(data=st.data())
def test_rejected_exactly_where_the_adjusted_level_is_at_most_alpha(function, options, kind, data):
    """At every level clear of the kernels' tolerances around the adjusted
    levels, just below and just above each, the procedure rejects exactly the
    hypotheses whose level is at most alpha."""
    values = data.draw(st.lists(st.one_of(TIED[kind], st.floats(0.0, 1.0)), max_size=20))
    levels = np.asarray(function(values, nan_policy="omit", **options).adjusted)
    np.testing.assert_array_equal(np.isnan(levels), np.isnan(values))
    assert ((levels >= 0) & (levels <= 1) | np.isnan(levels)).all()
    for level in np.unique(levels[levels < 1]):
        for alpha in (level * (1 - 1e-7) - 1e-9, level * (1 + 1e-7) + 1e-9):
            clear = np.abs(levels - alpha) > max(alpha * 1e-9, 2e-10)
            if 0 < alpha <= 1 and clear[~np.isnan(levels)].all():
                rejected = function(values, alpha, nan_policy="omit").rejected
                np.testing.assert_array_equal(rejected, levels <= alpha)


# Screens the closed levels are tried on: simulated, tied, on plateaus, with
# zeros and infinities, in families of various sizes.
def linear_pvalues(m):
    """p-values on twice the BY critical values."""
    ranks = np.arange(1, m + 1, dtype=np.float64)
    return np.minimum(1.0, 0.1 * ranks / (m * np.sum(1.0 / ranks)))


LEVEL_SCREENS = [
    pytest.param(kind, make, id=f"{kind}-{name}")
    for kind in ("e", "p")
    for name, make in {
        "simulated": lambda kind, m, rng: screen(kind, m, rng, signal=0.3),
        "tied": lambda kind, m, rng: rng.choice(
            [0.0, 1.0, 20.0, 40.0, 60.0, 1e3, math.inf]
            if kind == "e"
            else [0.0, 1e-4, 0.001, 0.01, 0.02, 0.05, 0.5, 1.0],
            m,
        ),
        "plateau": lambda kind, m, rng: np.repeat(screen(kind, max(1, m // 8), rng, 0.5), 8)[:m],
        # Every size nearly binding: the closed BY levels' hardest case.
        "linear": lambda kind, m, rng: (
            (1.0 / linear_pvalues(m)) if kind == "e" else linear_pvalues(m)
        ),
    }.items()
]


def kernel_order(kind, values):
    """Least significant first, as the kernels and the level computations take them."""
    ascending = np.sort(np.asarray(values, dtype=np.float64))
    return ascending if kind == "e" else ascending[::-1].copy()


def close_levels(fast, plain):
    """The plain method reads off the kernels, whose tolerances move a level by up
    to 1e-9 of it (e-BH's 1e-12 on a slack) or 1e-10 (BY's on a weight)."""
    return np.abs(fast - plain) <= np.maximum(2e-9 * plain, 2e-10)


@pytest.mark.parametrize(("kind", "make"), LEVEL_SCREENS)
def test_closed_levels_agree_with_the_plain_bisection(kind, make):
    procedure = "closed e-BH" if kind == "e" else "closed BY"
    rng = np.random.default_rng(11)
    for m in (1, 2, 3, 7, 30, 60):
        values = kernel_order(kind, make(kind, m, rng))
        fast = tulm._adjusted.closed_levels(procedure, values)
        plain = plain_closed_levels(procedure, values)
        assert close_levels(fast, plain).all(), (m, values, fast, plain)


@pytest.mark.parametrize(("kind", "make"), LEVEL_SCREENS)
def test_exact_searches_are_nested_in_alpha(kind, make):
    """The count of an exact search never falls as alpha grows: the property
    that gives adjusted levels their meaning."""
    search = _tulm.closede_bh_cpp if kind == "e" else _tulm.largestcBYsignificant_cpp
    rng = np.random.default_rng(12)
    alphas = np.concatenate((np.geomspace(1e-6, 1.0, 150), rng.uniform(0.0, 1.0, 150)))
    alphas.sort()
    for m in (5, 50, 400):
        values = kernel_order(kind, make(kind, m, rng))
        counts = [search(values, alpha) for alpha in alphas]
        assert (np.diff(counts) >= 0).all(), values


@pytest.mark.parametrize(("kind", "make"), LEVEL_SCREENS)
def test_closed_levels_agree_with_the_search_at_every_level_clear_of_them(kind, make):
    """Larger screens than the hypothesis tests draw: at random levels and just
    either side of each distinct level, the exact search rejects exactly the
    hypotheses whose level is at most alpha."""
    procedure = "closed e-BH" if kind == "e" else "closed BY"
    search = _tulm.closede_bh_cpp if kind == "e" else _tulm.largestcBYsignificant_cpp
    rng = np.random.default_rng(13)
    for m in (100, 1000):
        values = kernel_order(kind, make(kind, m, rng))
        levels = tulm._adjusted.closed_levels(procedure, values)
        distinct = np.unique(levels[levels < 1])
        near = rng.choice(distinct, min(len(distinct), 40), replace=False) if len(distinct) else []
        alphas = [*rng.uniform(0.0, 1.0, 20), *(near * (1 + 3e-9)), *(near * (1 - 3e-9))]
        for alpha in alphas:
            clear = np.abs(distinct - alpha) > np.maximum(1e-9 * distinct, 2e-10)
            if 0 < alpha < 1 and clear.all():
                assert search(values, alpha) == (levels <= alpha).sum(), alpha


@pytest.mark.parametrize("procedure", ["closed e-BH", "closed BY"])
def test_closed_levels_report_their_progress(procedure):
    kind = "e" if procedure == "closed e-BH" else "p"
    values = np.sort(screen(kind, 60, np.random.default_rng(4), signal=0.3))
    values = values if kind == "e" else values[::-1].copy()
    told = []
    levels = tulm._adjusted.closed_levels(procedure, values, told.append)
    assert told == sorted(told) and told[-1] == len(values)
    # Least significant first: levels do not increase along the family.
    assert (np.diff(levels) <= 0).all()


class Bar:
    """Stands in for tqdm, keeping what it was told."""

    made: ClassVar[list["Bar"]] = []

    def __init__(self, total, **options):
        self.total, self.done, self.closed = total, 0, False
        Bar.made.append(self)

    def update(self, done):
        self.done += done

    def close(self):
        self.closed = True


@pytest.mark.parametrize("adjusted", [False, True])
@pytest.mark.parametrize("workers", [1, 3])
def test_progress_counts_every_hypothesis(adjusted, workers):
    values = screen("p", 4 * 50, np.random.default_rng(8), signal=0.3).reshape(4, 50)
    Bar.made.clear()
    with mock.patch("tqdm.auto.tqdm", Bar):
        tulm.closed_by(values, m=60, adjusted=adjusted, workers=workers, progress=True)
    (bar,) = Bar.made
    assert (bar.total, bar.done, bar.closed) == (240, 240, True)


def test_progress_names_what_is_missing():
    with mock.patch.dict(sys.modules, {"tqdm": None, "tqdm.auto": None}):
        with pytest.raises(ImportError, match=r"progress=True .* tqdm, which is not installed"):
            tulm.closed_ebh([1.0, 2.0], progress=True)


@pytest.mark.parametrize(
    ("m", "expected"),
    [
        pytest.param(0, 0.0, id="empty"),
        pytest.param(65_536, None, id="a-checkpoint"),
        pytest.param(65_537, None, id="past-a-checkpoint"),
        pytest.param(300_001, None, id="between-checkpoints"),
    ],
)
def test_harmonic_numbers_continue_the_left_to_right_sum(m, expected):
    table = tulm._tables.harmonic_table(m)
    assert tulm._tables.harmonic_number(m) == (table[m] if expected is None else expected)


def test_harmonic_checkpoints_chain():
    """Each stored checkpoint continues its predecessor by 2^16 terms."""
    step, checkpoints = 1 << 16, tulm._tables._checkpoints()
    assert len(checkpoints) == (2**31 - 2) // step + 1
    for j in np.random.default_rng(0).integers(1, len(checkpoints), 3):
        terms = np.concatenate(
            ([checkpoints[j - 1]], 1.0 / np.arange((j - 1) * step + 1.0, j * step + 1.0))
        )
        assert np.cumsum(terms)[-1] == checkpoints[j]


@pytest.mark.parametrize("m", [2**31 - 1, 2**31 + 7, 10**15])
def test_harmonic_numbers_beyond_the_kernels_are_the_nearest_double(m):
    with decimal.localcontext(prec=60):
        n = decimal.Decimal(m)
        gamma = decimal.Decimal("0.577215664901532860606512090082402431042159335939923598805767")
        terms = [n.ln(), gamma, 1 / (2 * n), -1 / (12 * n**2), 1 / (120 * n**4), -1 / (252 * n**6)]
        assert tulm._tables.harmonic_number(m) == float(sum(terms))


@pytest.mark.parametrize("m", [0, 1, 2, 7, 1000, 4097])
def test_harmonic_table_sums_left_to_right(m):
    # The plain loop the kernels' tolerance is written for; every other test,
    # benchmark and example takes the package's table.
    table = [0.0]
    for i in range(1, m + 1):
        table.append(table[-1] + 1.0 / i)
    assert harmonic_table(m).tolist() == table


@pytest.mark.parametrize(("function", "method", "kind", "kernel"), PROCEDURES)
@pytest.mark.parametrize("axis", [0, 1, 2, -1, -2, -3])
def test_each_slice_along_axis_is_a_family(function, method, kind, kernel, axis):
    rng = np.random.default_rng(abs(axis))
    values = screen(kind, 4 * 5 * 30, rng, signal=0.3).reshape(4, 5, 30)
    values = np.moveaxis(values, -1, axis)  # 30 hypotheses along axis
    values[rng.random(values.shape) < 0.05] = np.nan
    result = call(function, method, values, axis=axis, nan_policy="omit")
    assert result.rejected.shape == values.shape
    moved = np.moveaxis(values, axis, -1)
    rejected = np.moveaxis(result.rejected, axis, -1)
    for index in np.ndindex(moved.shape[:-1]):
        single = call(function, method, moved[index], nan_policy="omit")
        assert (result.count[index], result.m[index]) == (single.count, single.m)
        np.testing.assert_array_equal(rejected[index], single.rejected)
        if function is tulm.by:
            np.testing.assert_array_equal(
                np.moveaxis(result.adjusted, axis, -1)[index], single.adjusted
            )


@pytest.mark.parametrize(("function", "method", "kind", "kernel"), PROCEDURES)
def test_results_do_not_depend_on_workers(function, method, kind, kernel):
    rng = np.random.default_rng(3)
    values = screen(kind, 37 * 60, rng, signal=0.3).reshape(37, 60)
    values[rng.random(values.shape) < 0.05] = np.nan
    one = call(function, method, values, nan_policy="omit")
    for workers in (2, 5, 64, -1):
        many = call(function, method, values, nan_policy="omit", workers=workers)
        np.testing.assert_array_equal(many.rejected, one.rejected)
        np.testing.assert_array_equal(many.count, one.count)
        if function is tulm.by:
            np.testing.assert_array_equal(many.adjusted, one.adjusted)


@pytest.mark.parametrize(("function", "method", "kind", "kernel"), PROCEDURES)
@pytest.mark.parametrize("dtype", [None, "Float64"], ids=["float64", "nullable"])
def test_series_in_series_out(function, method, kind, kernel, dtype):
    values = screen(kind, 50, np.random.default_rng(5), signal=0.4)
    index = pd.Index([f"gene{i}" for i in range(50)])[::-1]
    series = pd.Series(values, index=index, name="screen", dtype=dtype)
    if dtype:
        series.iloc[3] = pd.NA
    result = call(function, method, series, nan_policy="omit")
    plain = call(function, method, series.to_numpy(dtype=float, na_value=np.nan), nan_policy="omit")
    assert isinstance(result.rejected, pd.Series)
    assert result.rejected.dtype == bool and result.rejected.name == "screen"
    assert result.rejected.index.equals(index)
    np.testing.assert_array_equal(result.rejected.to_numpy(), plain.rejected)
    if function is tulm.by:
        assert result.adjusted.index.equals(index)
        np.testing.assert_array_equal(result.adjusted.to_numpy(), plain.adjusted)


@pytest.mark.parametrize(("function", "method", "kind", "kernel"), PROCEDURES)
@pytest.mark.parametrize(
    "shape", [(0,), (3, 0), (0, 4)], ids=["empty", "empty-families", "no-families"]
)
def test_empty_input_rejects_nothing(function, method, kind, kernel, shape):
    result = call(function, method, np.empty(shape))
    assert result.rejected.shape == shape and not result.rejected.any()
    assert np.all(np.asarray(result.count) == 0)


@pytest.mark.parametrize(
    ("result", "expected"),
    [
        pytest.param(
            tulm.by([0.01, 0.5, 0.001]),
            "Rejections(procedure='BY', alpha=0.05, rejected 2 of 3)",
            id="one-family",
        ),
        pytest.param(
            tulm.closed_ebh([[400.0, 1.0], [1.0, 1.0]], 0.1, method="approximate"),
            "Rejections(procedure='closed e-BH', method='approximate', alpha=0.1, "
            "rejected [1 0] of [2 2])",
            id="few-families-listed",
        ),
        pytest.param(
            tulm.ebh(np.full((20, 3, 5), 2.0)),
            "Rejections(procedure='e-BH', alpha=0.05, rejected 0 of 300 in 60 families)",
            id="many-families-summed",
        ),
    ],
)
def test_repr_is_one_short_line(result, expected):
    assert repr(result) == expected


@pytest.mark.parametrize(
    "result",
    [
        pytest.param(tulm.by(pd.Series([0.01, 0.5, 0.001], index=list("abc"))), id="by-series"),
        pytest.param(tulm.closed_ebh([[400.0, 1.0]], adjusted=True), id="closed-levels"),
    ],
)
def test_a_result_pickles_with_its_levels(result):
    copy = pickle.loads(pickle.dumps(result))
    assert repr(copy) == repr(result) and copy.full_family is result.full_family
    np.testing.assert_array_equal(copy.rejected, result.rejected)
    np.testing.assert_array_equal(copy.adjusted, result.adjusted)


@pytest.mark.parametrize(
    ("subset", "expected"),
    [
        pytest.param([0, 2], True, id="positions"),
        pytest.param(np.array([2, 0], dtype=np.uint8), True, id="positions-any-order-and-type"),
        pytest.param([True, False, True], True, id="mask"),
        pytest.param([1, 0], False, id="ints-are-positions-not-a-mask"),
        pytest.param(pd.Series([True, False, False]), True, id="series-mask"),
        pytest.param([1], False, id="the-small-one"),
        pytest.param([], True, id="empty-set"),
    ],
)
def test_is_mean_consistent_reads_masks_and_positions(subset, expected):
    assert tulm.is_mean_consistent([60.0, 1.0, 50.0], subset) is expected


@pytest.mark.parametrize(
    "subset",
    [
        pytest.param(pd.Series([True, True, False, False], index=[12, 10, 11, 13]), id="mask"),
        pytest.param(pd.Index([12, 10]), id="index-of-labels"),
        pytest.param(pd.Series([10, 12]), id="series-of-labels"),
        pytest.param([0, 2], id="positions"),
    ],
)
def test_a_series_subset_is_read_by_label(subset):
    """Labels 10 and 12 hold the large e-values; read by position, the mask
    would pick 60 and 1, which are not mean-consistent."""
    evalues = pd.Series([60.0, 1.0, 50.0, 0.5], index=[10, 11, 12, 13])
    assert tulm.is_mean_consistent(evalues, subset) is True


@given(data=st.data(), alpha=LEVELS)
def test_the_closed_e_bh_set_is_mean_consistent(data, alpha):
    evalues = data.draw(
        st.lists(
            st.one_of(TIED["e"].filter(lambda v: not math.isnan(v)), st.floats(0.0, 1e4)),
            max_size=30,
        )
    )
    rejected = tulm.closed_ebh(evalues, alpha).rejected
    assert tulm.is_mean_consistent(evalues, rejected, alpha)
    assert tulm.is_mean_consistent(evalues, np.flatnonzero(rejected), alpha)


def test_works_without_pandas():
    code = (
        "import sys; sys.modules['pandas'] = None; import tulm; "
        "r = tulm.by([0.01, 0.5, 0.001]); print(r.count, type(r.rejected).__name__)"
    )
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert run.stdout.split() == ["2", "ndarray"]


@pytest.mark.parametrize(
    "module", [tulm, tulm._procedures, tulm._result], ids=lambda module: module.__name__
)
def test_docstring_examples_run(module):
    failed, attempted = doctest.testmod(module, optionflags=doctest.NORMALIZE_WHITESPACE)
    assert failed == 0 and attempted > 0
