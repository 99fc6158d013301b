"""Closed e-BH: the mean-consistency check, the two searches for the largest
mean-consistent set, and the subset test."""

import math
import random

import numpy as np
import pytest

import _tulm
from kernel_tables import prefix_sums

FLOAT_SEQ = "collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex]"
INT_SEQ = "collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]"
FLOAT = "typing.SupportsFloat | typing.SupportsIndex"
INT = "typing.SupportsInt | typing.SupportsIndex"

# Only size 2 passes the check, so the exact scan finds 2 and the bisection
# from the e-BH count 0 (failing at 3, then 1) finds 0.
NON_MONOTONE = [1.0, 5.0, 10.0, 20.0, 30.0, 60.0]
SWITCHED = [_tulm.closede_bh_cpp, _tulm.largest_mean_consistent_k]


SWITCH_SIGNATURE = (
    f"(evalues: {FLOAT_SEQ}, alpha: {FLOAT} = 0.05, approximate: bool = False) -> int"
)
SUBSET_SIGNATURE = f"(evalues: {FLOAT_SEQ}, subset: {INT_SEQ}, alpha: {FLOAT} = 0.05) -> bool"


@pytest.mark.parametrize(
    ("function", "signature"),
    [
        ("closede_bh_cpp", SWITCH_SIGNATURE),
        ("largest_mean_consistent_k", SWITCH_SIGNATURE),
        ("is_subset_mean_consistent", SUBSET_SIGNATURE),
        ("largestmeanconsistent_cpp", f"(evalues: {FLOAT_SEQ}, alpha: {FLOAT}) -> int"),
        ("largestmeanconsistent_approximate_cpp", f"(evalues: {FLOAT_SEQ}, alpha: {FLOAT}) -> int"),
        ("meanconsistent_wrapper_cpp", f"(cum_e: {FLOAT_SEQ}, r: {INT}, alpha: {FLOAT}) -> bool"),
    ],
)
def test_signature_line_is_the_generated_one(function, signature):
    assert getattr(_tulm, function).__doc__ == f"{function}{signature}\n"


def test_registration_order_follows_the_table():
    names = [name for name in vars(_tulm) if not name.startswith("__")]
    closed_ebh = [
        "closede_bh_cpp",
        "largest_mean_consistent_k",
        "is_subset_mean_consistent",
        "largestmeanconsistent_cpp",
        "largestmeanconsistent_approximate_cpp",
        "eBH_cpp",
        "meanconsistent_wrapper_cpp",
    ]
    assert names[: len(closed_ebh)] == closed_ebh


@pytest.mark.parametrize("function", SWITCHED, ids=lambda f: f.__name__)
@pytest.mark.parametrize(
    ("kwargs", "expected"),
    [
        pytest.param({}, 2, id="default is the exact scan"),
        pytest.param({"approximate": None}, 2, id="None reads as False"),
        pytest.param({"approximate": True}, 0, id="True is the bisection"),
        pytest.param({"approximate": 2.5}, 0, id="2.5 is truthy"),
    ],
)
def test_search_switch(function, kwargs, expected):
    assert function(NON_MONOTONE, **kwargs) == expected
    assert function(NON_MONOTONE, 0.05, **kwargs) == expected


@pytest.mark.parametrize(
    ("evalues", "alpha", "exact", "approximate"),
    [
        pytest.param([], 0.05, 0, 0, id="empty"),
        pytest.param([1.0, 1.0, 60.0], 0.05, 1, 1, id="only the 60 is consistent"),
        pytest.param([19.9], 0.05, 0, 0, id="one value below 1 over alpha"),
        # e-BH needs more than 1/alpha; a zero slack is no violation.
        pytest.param([20.0], 0.05, 1, 1, id="one value at 1 over alpha"),
        pytest.param([1e6, 1e6, 1e6], 0.05, 3, 3, id="e-BH count already m"),
        pytest.param(NON_MONOTONE, 0.05, 2, 0, id="passing not monotone"),
        pytest.param([1.0, 2.0, 3.0, 4.0], 0.0, 0, 0, id="alpha 0 fails every check"),
        pytest.param([1.0, 2.0, 3.0, 4.0], -0.05, 4, 4, id="negative alpha passes every check"),
        pytest.param([1.0, 2.0, 3.0, 4.0], -0.0, 4, 4, id="alpha -0.0 passes every check"),
        pytest.param([1.0, 2.0, 3.0, 4.0], math.nan, 4, 4, id="NaN alpha passes every check"),
        # 0.1 + 0.2 + 0.3 left to right is 0.6000000000000001; 0.6 would fail.
        pytest.param([0.1, 0.2, 0.3], 4.999999999991666, 3, 3, id="prefix sums left to right"),
    ],
)
def test_worked_examples(evalues, alpha, exact, approximate):
    assert _tulm.largestmeanconsistent_cpp(evalues, alpha) == exact
    assert _tulm.largestmeanconsistent_approximate_cpp(evalues, alpha) == approximate
    assert _tulm.closede_bh_cpp(evalues, alpha) == exact
    assert _tulm.closede_bh_cpp(evalues, alpha, True) == approximate


def test_exact_scan_is_the_largest_passing_size():
    """Cross-check against the wrapper on prefix sums built in Python."""
    rng = random.Random(7)
    for _ in range(200):
        evalues = sorted(
            rng.choice([0.0, 0.5, 1.0, 5.0, 20.0, 40.0, 100.0]) for _ in range(rng.randint(1, 12))
        )
        alpha = rng.choice([0.05, 0.1, 0.2])
        cum_e = prefix_sums(evalues)
        passing = [
            k
            for k in range(1, len(evalues) + 1)
            if _tulm.meanconsistent_wrapper_cpp(cum_e, k, alpha)
        ]
        assert _tulm.closede_bh_cpp(evalues, alpha) == max(passing, default=0)
        approximate = _tulm.closede_bh_cpp(evalues, alpha, approximate=True)
        assert approximate <= max(passing, default=0)
        assert approximate >= _tulm.eBH_cpp(evalues, alpha)


@pytest.mark.parametrize(
    ("cum_e", "r", "expected"),
    [
        pytest.param([], 0, True, id="r = 0 reads nothing"),
        pytest.param([], 3, True, id="r > m on an empty vector"),
        pytest.param([0.0, 5.0], 2, True, id="r > m"),
        pytest.param([0.0, 1.0, 2.0, 62.0], 2, False, id="a 1 beside the 60 fails"),
        pytest.param([0.0, 1.0, 2.0, 62.0], True, True, id="True is r = 1"),
        pytest.param([0.0], 2147483647, True, id="largest r returns at once"),
    ],
)
def test_wrapper(cum_e, r, expected):
    assert _tulm.meanconsistent_wrapper_cpp(cum_e, r, 0.05) is expected


def test_wrapper_refuses_negative_sizes():
    with pytest.raises(ValueError, match=r"^r must be non-negative, got -1$"):
        _tulm.meanconsistent_wrapper_cpp([0.0, 1.0], -1, 0.05)
    with pytest.raises(ValueError, match=r"got -2147483648$"):
        _tulm.meanconsistent_wrapper_cpp([], -2147483648, 0.05)


@pytest.mark.parametrize(
    ("evalues", "subset", "expected"),
    [
        pytest.param([], [], True, id="empty subset of nothing"),
        pytest.param([1.0], [], True, id="empty subset"),
        pytest.param([60.0, 1.0, 1.0], [0, 1], False, id="a 1 joins the 60"),
        pytest.param([math.nan, 1.0, 5.0], [0, 2], False, id="NaN sorts after +inf"),
        pytest.param(
            np.array([60.0, 1.0, 50.0]), np.array([2, 0], dtype=np.int32), True, id="numpy inputs"
        ),
    ],
)
def test_subset(evalues, subset, expected):
    assert _tulm.is_subset_mean_consistent(evalues, subset) is expected
    assert _tulm.is_subset_mean_consistent(evalues, subset, 0.05) is expected


def test_subset_level_is_used():
    # Two 21s pass at 0.05 (the largest block needs 20 each); at 0.01 they fail.
    assert _tulm.is_subset_mean_consistent([21.0, 21.0], [0, 1])
    assert not _tulm.is_subset_mean_consistent([21.0, 21.0], [0, 1], alpha=0.01)


@pytest.mark.parametrize(
    ("evalues", "subset", "error", "message"),
    [
        pytest.param([1.0, 2.0], [2], IndexError, "subset index out of range", id="past the end"),
        pytest.param([1.0, 2.0], [-1], IndexError, "subset index out of range", id="negative"),
        pytest.param([], [0], IndexError, "subset index out of range", id="no e-values"),
        pytest.param(
            [1.0, 2.0], [0, 5], IndexError, "subset index out of range", id="after a valid entry"
        ),
        pytest.param(
            [1.0, 2.0],
            [0, 5, 0],
            IndexError,
            "subset index out of range",
            id="out of range before the repeat",
        ),
        pytest.param(
            [60.0, 1.0, 50.0],
            [0, 0],
            ValueError,
            "subset position 0 appears more than once",
            id="repeat",
        ),
        pytest.param(
            [1.0, 2.0],
            [1, 0, 1, 7],
            ValueError,
            "subset position 1 appears more than once",
            id="repeat before out of range",
        ),
        pytest.param(
            [1.0, 2.0],
            [0, 1, 0],
            ValueError,
            "subset position 0 appears more than once",
            id="repeat makes k > m",
        ),
    ],
)
def test_subset_errors(evalues, subset, error, message):
    with pytest.raises(error, match=f"^{message}$"):
        _tulm.is_subset_mean_consistent(evalues, subset)


def test_subset_is_invariant_under_permutation():
    rng = random.Random(11)
    for _ in range(300):
        m = rng.randint(1, 10)
        evalues = [rng.choice([0.0, 1.0, 2.0, 10.0, 30.0, 60.0, 200.0]) for _ in range(m)]
        subset = rng.sample(range(m), rng.randint(1, m))
        alpha = rng.choice([0.05, 0.1, 0.25])
        expected = _tulm.is_subset_mean_consistent(evalues, subset, alpha)
        assert _tulm.is_subset_mean_consistent(evalues, subset[::-1], alpha) is expected
        order = rng.sample(range(m), m)  # position order[i] moves to i
        moved = [evalues[p] for p in order]
        where = {p: i for i, p in enumerate(order)}
        assert _tulm.is_subset_mean_consistent(moved, [where[p] for p in subset], alpha) is expected


def test_subset_of_the_largest_is_the_scan_check():
    rng = random.Random(5)
    for _ in range(200):
        evalues = sorted(
            rng.choice([0.0, 1.0, 5.0, 20.0, 40.0, 100.0]) for _ in range(rng.randint(1, 10))
        )
        m = len(evalues)
        cum_e = prefix_sums(evalues)
        for k in range(1, m + 1):
            assert _tulm.is_subset_mean_consistent(
                evalues, list(range(m - k, m))
            ) is _tulm.meanconsistent_wrapper_cpp(cum_e, k, 0.05)
