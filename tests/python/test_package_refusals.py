"""Every refusal of the tulm package: the exception, a message that names the
argument and the problem, and no kernel reached."""

import math
import warnings
from unittest import mock

import numpy as np
import pandas as pd
import pytest

import _tulm
import tulm

KERNELS = [
    "eBH_cpp",
    "closede_bh_cpp",
    "BY_cpp",
    "largestcBYsignificant_cpp",
    "largestcBYsignificant_approximate_cpp",
    "is_subset_mean_consistent",
]

P = [0.01, 0.2, 0.5]
E = [1.0, 30.0, 400.0]
NAN = math.nan

CASES = [
    # alpha
    (tulm.by, (P, True), {}, TypeError, "alpha must be a real number, got bool"),
    (tulm.by, (P, np.True_), {}, TypeError, "alpha must be a real number, got bool"),
    (tulm.ebh, (E, "0.05"), {}, TypeError, "alpha must be a real number, got str"),
    (tulm.ebh, (E, None), {}, TypeError, "alpha must be a real number, got NoneType"),
    (tulm.closed_ebh, (E, NAN), {}, ValueError, r"0 < alpha <= 1, got nan"),
    (tulm.closed_ebh, (E, 0), {}, ValueError, r"0 < alpha <= 1, got 0.0"),
    (tulm.closed_by, (P, -0.05), {}, ValueError, r"0 < alpha <= 1, got -0.05"),
    (tulm.closed_by, (P, 5), {}, ValueError, r"0 < alpha <= 1, got 5.0"),
    (tulm.is_mean_consistent, (E, [0], math.inf), {}, ValueError, r"0 < alpha <= 1, got inf"),
    # what the values are
    (tulm.by, (["0.1", "0.2"],), {}, TypeError, "pvalues must hold real numbers .*got strings"),
    (tulm.by, ([0.1 + 0j],), {}, TypeError, "pvalues must hold real numbers .*got complex"),
    (tulm.ebh, ([1.0, None],), {}, TypeError, r"evalues must hold real numbers .*dtype object"),
    (
        tulm.ebh,
        (np.array([True, False]),),
        {},
        TypeError,
        "evalues must hold real numbers .*booleans",
    ),
    (tulm.by, (pd.Series(["a"]),), {}, TypeError, "pvalues must hold real numbers, got a Series"),
    (tulm.by, (pd.Series([True]),), {}, TypeError, "pvalues must hold real numbers, got a Series"),
    (tulm.by, (0.01,), {}, ValueError, "pvalues must be a sequence or array .*single number"),
    (tulm.closed_by, ([[0.1], [0.1, 0.2]],), {}, ValueError, "pvalues must be a rectangular array"),
    # their range
    (
        tulm.by,
        ([0.1, 1.5, 2.0],),
        {},
        ValueError,
        r"pvalues must lie in \[0, 1\]; 2 do not, the first 1.5 at index 1",
    ),
    (
        tulm.closed_by,
        ([0.1, -1e-300],),
        {},
        ValueError,
        r"must lie in \[0, 1\].* -1e-300 at index 1",
    ),
    (tulm.by, ([0.1, math.inf],), {}, ValueError, r"must lie in \[0, 1\].* inf at index 1"),
    (tulm.by, ([[0.1, 0.2], [0.3, -math.inf]],), {}, ValueError, r"-inf at index \(1, 1\)"),
    (tulm.by, ([NAN, 3.0],), {"nan_policy": "omit"}, ValueError, r"\[0, 1\].* 3.0 at index 1"),
    (
        tulm.ebh,
        ([1.0, -2.0],),
        {},
        ValueError,
        r"evalues must be >= 0 \(\+inf is allowed\); 1 are not, the first -2.0 at index 1",
    ),
    (tulm.closed_ebh, ([-math.inf],), {}, ValueError, "evalues must be >= 0.* -inf at index 0"),
    (tulm.is_mean_consistent, ([1.0, -1.0], [0]), {}, ValueError, "evalues must be >= 0"),
    # NaN
    (
        tulm.by,
        ([0.1, NAN, NAN],),
        {},
        ValueError,
        "pvalues holds 2 NaN values, the first at index 1; nan_policy='omit' leaves them untested",
    ),
    (
        tulm.closed_ebh,
        ([[1.0, 2.0], [NAN, 2.0]],),
        {},
        ValueError,
        r"evalues holds 1 NaN value, the first at index \(1, 0\)",
    ),
    (tulm.is_mean_consistent, ([1.0, NAN], [0]), {}, ValueError, "evalues holds 1 NaN value"),
    # options
    (
        tulm.closed_by,
        (P,),
        {"method": "fast"},
        ValueError,
        "method must be 'exact' or 'approximate', got 'fast'",
    ),
    (
        tulm.closed_ebh,
        (E,),
        {"method": None},
        ValueError,
        "method must be 'exact' or 'approximate'",
    ),
    (
        tulm.by,
        (P,),
        {"nan_policy": "propagate"},
        ValueError,
        "nan_policy must be 'raise' or 'omit', got 'propagate': 'propagate' is not offered",
    ),
    (tulm.ebh, (E,), {"nan_policy": "ignore"}, ValueError, "nan_policy must be 'raise' or 'omit'"),
    (tulm.by, (P,), {"axis": 1}, np.exceptions.AxisError, "axis 1 is out of bounds"),
    (tulm.by, ([P],), {"axis": -3}, np.exceptions.AxisError, "axis -3 is out of bounds"),
    (tulm.by, (P,), {"axis": 0.0}, TypeError, "axis must be an integer, got float"),
    (tulm.by, (P,), {"axis": True}, TypeError, "axis must be an integer, got bool"),
    (tulm.ebh, (E,), {"workers": 0}, ValueError, "workers must be a positive number .* got 0"),
    (tulm.ebh, (E,), {"workers": -2}, ValueError, "workers must be a positive number .* got -2"),
    (tulm.ebh, (E,), {"workers": 2.0}, TypeError, "workers must be an integer, got float"),
    # subsets
    (
        tulm.is_mean_consistent,
        (E, [-1]),
        {},
        ValueError,
        "subset holds the negative position -1: .*not counted from the end",
    ),
    (
        tulm.is_mean_consistent,
        (E, [0, 3]),
        {},
        ValueError,
        "subset position 3 is out of range for 3 e-values",
    ),
    (tulm.is_mean_consistent, (E, [2, 0, 2]), {}, ValueError, "subset repeats position 2"),
    (
        tulm.is_mean_consistent,
        (E, [0.0, 1.0]),
        {},
        TypeError,
        "subset must be a boolean mask or integer positions, got dtype float64",
    ),
    (
        tulm.is_mean_consistent,
        (E, [True, False]),
        {},
        ValueError,
        "subset is a boolean mask of length 2, but evalues has 3 values",
    ),
    (tulm.is_mean_consistent, (E, [[0]]), {}, ValueError, "subset must be one-dimensional"),
    (tulm.is_mean_consistent, ([E], [0]), {}, ValueError, "evalues must be one-dimensional"),
    # pandas
    (
        tulm.by,
        (pd.DataFrame({"a": P, "b": P}),),
        {},
        TypeError,
        r"pvalues is a DataFrame: test one column, tulm.by\(frame\['column'\]\), or each "
        r"column .* frame.apply\(lambda column: tulm.by\(column\).rejected\)",
    ),
    (
        tulm.by,
        (pd.Series([0.1, NAN, 0.2], index=[100, 200, 300]),),
        {},
        ValueError,
        r"pvalues holds 1 NaN value, the first at label 200 \(position 1\); nan_policy='omit'",
    ),
    (
        tulm.closed_ebh,
        (pd.Series([1.0, -2.0], index=["abc1", "abc2"]),),
        {},
        ValueError,
        r"the first -2.0 at label 'abc2' \(position 1\)",
    ),
    (tulm.is_mean_consistent, ([1.0, NAN], [0]), {}, ValueError, r"the first at index 1$"),
    (
        tulm.is_mean_consistent,
        (pd.Series(E, index=[1, 2, 3]), pd.Series([True, False, True], index=[1, 2, 4])),
        {},
        ValueError,
        "subset is a boolean Series aligned on labels, but 1 labels are not in evalues, "
        "the first 4",
    ),
    (
        tulm.is_mean_consistent,
        (pd.Series(E, index=list("abc")), pd.Index(["a", "z"])),
        {},
        ValueError,
        "subset holds 1 labels not in the index of evalues, the first 'z'",
    ),
    (
        tulm.is_mean_consistent,
        (pd.Series(E, index=list("aab")), ["a"]),
        {},
        TypeError,
        "subset must be a boolean mask or integer positions, got strings",
    ),
    # family size, cutoff, adjusted levels, progress
    (tulm.by, (P,), {"m": 2}, ValueError, "m = 2 is smaller than the 3 values tested: the family"),
    (tulm.by, (P,), {"m": 5.0}, TypeError, "m must be an integer, got float"),
    (tulm.ebh, (E,), {"m": True}, TypeError, "m must be an integer, got bool"),
    (
        tulm.by,
        ([P, P],),
        {"m": [3, 4, 5]},
        ValueError,
        r"m must be one integer or one per family, of shape \(2,\); got shape \(3,\)",
    ),
    (
        tulm.by,
        ([P, [0.1, NAN, NAN]],),
        {"m": 2, "nan_policy": "omit"},
        ValueError,
        "m = 2 is smaller than the 3 values tested of a family",
    ),
    (
        tulm.closed_by,
        (P,),
        {"m": 2**31 - 1},
        ValueError,
        "closed BY takes families of at most 2,147,483,646 hypotheses .*32-bit",
    ),
    (tulm.ebh, (E,), {"m": 2**53 + 1}, ValueError, "e-BH takes families of at most 9,007,"),
    (tulm.by, (P,), {"cutoff": 2.0}, ValueError, r"cutoff must be a p-value, in \[0, 1\]"),
    (tulm.ebh, (E,), {"cutoff": -1.0}, ValueError, "cutoff must be an e-value, >= 0"),
    (tulm.ebh, (E,), {"cutoff": "1"}, TypeError, "cutoff must be a real number or None, got str"),
    (
        tulm.closed_by,
        (P,),
        {"method": "approximate", "adjusted": True},
        ValueError,
        "adjusted=True needs method='exact': the approximate search is not nested in alpha",
    ),
    (tulm.closed_ebh, (E,), {"adjusted": 1}, TypeError, "adjusted must be True or False"),
    (tulm.closed_by, (P,), {"progress": None}, TypeError, "progress must be True or False"),
]
IDS = [
    "alpha-bool",
    "alpha-numpy-bool",
    "alpha-string",
    "alpha-none",
    "alpha-nan",
    "alpha-zero",
    "alpha-negative",
    "alpha-percent-typo",
    "alpha-inf",
    "strings",
    "complex",
    "none-in-list",
    "bool-array",
    "series-of-strings",
    "series-of-bools",
    "scalar",
    "ragged",
    "p-above-one",
    "p-negative-tiny",
    "p-plus-inf",
    "p-minus-inf-2d",
    "p-out-of-range-beside-nan",
    "e-negative",
    "e-minus-inf",
    "subset-e-negative",
    "nan-raise",
    "nan-raise-2d-position",
    "subset-nan",
    "method-unknown",
    "method-none",
    "nan-policy-propagate",
    "nan-policy-unknown",
    "axis-out-of-range",
    "axis-negative-out-of-range",
    "axis-float",
    "axis-bool",
    "workers-zero",
    "workers-below-minus-one",
    "workers-float",
    "subset-negative-position",
    "subset-out-of-range",
    "subset-repeat",
    "subset-floats",
    "subset-mask-length",
    "subset-2d",
    "evalues-2d-for-subset",
    "dataframe",
    "series-nan-by-label",
    "series-negative-by-label",
    "subset-nan-offers-no-omit",
    "subset-series-mask-other-labels",
    "subset-unknown-label",
    "subset-labels-need-a-series-or-index",
    "m-below-tested",
    "m-float",
    "m-bool",
    "m-shape",
    "m-below-a-family",
    "m-beyond-closed-kernels",
    "m-beyond-float64",
    "cutoff-p-range",
    "cutoff-e-range",
    "cutoff-string",
    "adjusted-approximate",
    "adjusted-int",
    "progress-none",
]


@pytest.mark.parametrize(("function", "args", "kwargs", "error", "message"), CASES, ids=IDS)
def test_refusal(function, args, kwargs, error, message):
    def reached(*_args, **_kwargs):
        raise AssertionError("a kernel ran before the arguments were checked")

    with mock.patch.multiple(_tulm, **dict.fromkeys(KERNELS, reached)):
        with pytest.raises(error, match=message):
            function(*args, **kwargs)


@pytest.mark.parametrize(
    ("function", "values"),
    [
        pytest.param(tulm.ebh, [math.inf, 1.0], id="e-plus-inf"),
        pytest.param(tulm.closed_ebh, [0.0, -0.0, 5.0], id="e-signed-zeros"),
        pytest.param(tulm.by, [0.0, 1.0, -0.0], id="p-at-both-ends"),
        pytest.param(tulm.closed_by, np.array([0.5, 0.01], dtype=np.float32), id="float32"),
        pytest.param(tulm.by, [1, 0], id="integers"),
        pytest.param(tulm.by, [NAN, NAN], id="all-nan-omitted"),
    ],
)
def test_accepted_edges(function, values):
    result = function(values, nan_policy="omit")
    assert result.m == np.count_nonzero(~np.isnan(np.asarray(values, dtype=float)))


@pytest.mark.parametrize(
    ("values", "warns"),
    [
        pytest.param(P, True, id="p-values"),
        pytest.param([1.0, 1.0], True, id="ones"),
        pytest.param([P, P], True, id="families"),
        pytest.param([NAN, 0.5], True, id="nan-omitted"),
        pytest.param([0.5, 1.5], False, id="one-above-one"),
        pytest.param([], False, id="empty"),
        pytest.param([NAN, NAN], False, id="all-nan"),
    ],
)
def test_ebh_warns_when_nothing_can_be_rejected(values, warns):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        tulm.ebh(values, nan_policy="omit")
    # Pointed at the caller's line.
    assert [w.filename for w in caught] == ([__file__] if warns else [])
