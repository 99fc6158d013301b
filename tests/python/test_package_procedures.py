"""The tulm package against the kernels on sorted input, scipy and
statsmodels, and against itself under permutations, NaN, axes and threads."""

import doctest
import math
import subprocess
import sys
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
import tulm._families
import tulm._procedures
import tulm._result
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


@given(data=st.data())
def test_any_count_marks_the_first_of_the_stable_order(data):
    """Whatever count the kernel returns, a tie across the cut goes to earlier
    positions (e-BH and BY never cut a tie, the closed procedures may)."""
    kind = data.draw(st.sampled_from(["e", "p"]))
    few = {"e": [0.0, 1.0, 400.0, math.inf, math.nan], "p": [0.0, 0.01, 0.5, 1.0, math.nan]}[kind]
    # numpy sorts up to 16 values by insertion, which is stable: go beyond.
    values = data.draw(st.lists(st.sampled_from(few), min_size=20, max_size=80))
    k = data.draw(st.integers(0, sum(not math.isnan(v) for v in values)))
    with (
        mock.patch.object(_tulm, "eBH_cpp", lambda *args: k),
        mock.patch.object(_tulm, "BY_cpp", lambda *args: k),
    ):
        result = (tulm.ebh if kind == "e" else tulm.by)(values, nan_policy="omit")
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
            tulm.ebh(np.ones((20, 3, 5))),
            "Rejections(procedure='e-BH', alpha=0.05, rejected 0 of 300 in 60 families)",
            id="many-families-summed",
        ),
    ],
)
def test_repr_is_one_short_line(result, expected):
    assert repr(result) == expected


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
