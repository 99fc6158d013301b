"""Every function called with arbitrary arguments: each call returns its
declared result type or raises the error its arguments call for, and nothing
crashes. Run under the sanitized build (make sanitize) it is also a memory
check of every conversion and kernel path.

The example count comes from the hypothesis profile named by
TULM_HYPOTHESIS_PROFILE: "quick" (the default) or "thorough"."""

import array
import math

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import _tulm
from tulm._tables import harmonic_table

INT_MIN, INT_MAX = -(2**31), 2**31 - 1
MAX_LENGTH = 60


# ------------------------------------------------------------------ strategies

SPECIAL_DOUBLES = [
    0.0,
    -0.0,
    math.inf,
    -math.inf,
    math.nan,
    1e308,
    -1e308,
    1.7976931348623157e308,
    5e-324,
    -5e-324,
    2.2250738585072014e-308,
    1e-12,
    -1e-12,
    1.0,
    -1.0,
    20.0,
    0.05,
    1e-300,
]
doubles = st.one_of(
    st.sampled_from(SPECIAL_DOUBLES),
    st.floats(),  # every double, NaN and infinities included
    st.floats(0.0, 1.0),
    st.floats(-100.0, 1000.0),
    st.integers(0, 100).map(float),
)
wide_ints = st.one_of(
    st.integers(-3, MAX_LENGTH + 3),
    st.sampled_from(
        [
            INT_MIN - 1,
            INT_MIN,
            INT_MIN + 1,
            INT_MAX - 1,
            INT_MAX,
            INT_MAX + 1,
            2**32,
            2**63,
            -(2**63) - 1,
            2**64,
        ]
    ),
    st.integers(-(2**40), 2**40),
)


def nan_last(x):
    return (math.isnan(x), x)


@st.composite
def float_values(draw, max_size=MAX_LENGTH):
    """A list of doubles, as given, ascending or descending."""
    values = draw(st.lists(doubles, max_size=max_size))
    order = draw(st.sampled_from(["as given", "ascending", "descending"]))
    if order == "ascending":
        values.sort(key=nan_last)
    elif order == "descending":
        values.sort(key=nan_last, reverse=True)
    return values


def as_float_container(values, kind):
    if kind == "list":
        return list(values)
    if kind == "tuple":
        return tuple(values)
    if kind == "generator":
        return (x for x in values)
    if kind == "ndarray":
        return np.array(values, dtype=np.float64)
    if kind == "float32":
        with np.errstate(over="ignore"):
            return np.array(values, dtype=np.float32)
    if kind == "strided":
        doubled = np.repeat(np.array(values, dtype=np.float64), 2)
        return doubled[::2]
    return array.array("d", values)


FLOAT_CONTAINERS = ["list", "tuple", "generator", "ndarray", "float32", "strided", "array"]


def as_int_container(values, kind):
    if kind == "list":
        return list(values)
    if kind == "tuple":
        return tuple(values)
    if kind == "int32" and all(INT_MIN <= v <= INT_MAX for v in values):
        return np.array(values, dtype=np.int32)
    if kind == "int64" and all(-(2**63) <= v < 2**63 for v in values):
        return np.array(values, dtype=np.int64)
    if kind == "array" and all(-(2**63) <= v < 2**63 for v in values):
        return array.array("q", values)
    return list(values)


INT_CONTAINERS = ["list", "tuple", "int32", "int64", "array"]


class Arg:
    """One argument: the object passed, and whether conversion accepts it."""

    def __init__(self, value, ok, model=None):
        self.value = value
        self.ok = ok
        self.model = model  # what a kernel sees, when ok

    def __repr__(self):
        return f"Arg({self.value!r}, ok={self.ok})"


BAD_FLOAT_SEQUENCES = [
    None,
    "1.0",
    b"\x01\x02",
    {1.0: 2.0},
    1.5,
    [1.0, "x"],
    [[1.0]],
    [1.0, 1j],
    [10**400],
    iter([1.0]),
    object(),
    [None],
]
BAD_INT_SEQUENCES = [
    None,
    "01",
    b"\x00",
    {0: 1},
    0,
    [0.0],
    [np.float64(0.0)],
    ["0"],
    [None],
    [2**31],
    [-(2**31) - 1],
    iter([0]),
    np.array([0.5]),
]
BAD_FLOATS = [None, "0.05", b"0.05", 0.05j, [0.05], 10**400, object()]
BAD_INTS = [None, "1", 1.0, np.float64(1.0), 1j, [1], INT_MAX + 1, INT_MIN - 1, 2**64, object()]
BAD_FLAGS = ["yes", [1], (), {}, object()]


@st.composite
def float_sequence_arg(draw, max_size=MAX_LENGTH):
    if draw(st.integers(0, 9)) == 0:
        return Arg(draw(st.sampled_from(BAD_FLOAT_SEQUENCES)), False)
    values = draw(float_values(max_size))
    kind = draw(st.sampled_from(FLOAT_CONTAINERS))
    if kind == "float32":  # the values the kernel sees are the narrowed ones
        values = as_float_container(values, kind).astype(np.float64).tolist()
    return Arg(as_float_container(values, kind), True, values)


@st.composite
def float_arg(draw):
    if draw(st.integers(0, 9)) == 0:
        return Arg(draw(st.sampled_from(BAD_FLOATS)), False)
    value = draw(doubles)
    form = draw(st.sampled_from(["float", "numpy", "int"]))
    if form == "numpy":
        return Arg(np.float64(value), True, value)
    if form == "int" and math.isfinite(value):
        return Arg(int(value), True, float(int(value)))
    return Arg(value, True, value)


@st.composite
def int_arg(draw, m):
    if draw(st.integers(0, 9)) == 0:
        return Arg(draw(st.sampled_from(BAD_INTS)), False)
    value = draw(st.one_of(st.integers(-2, m + 2), wide_ints))
    ok = INT_MIN <= value <= INT_MAX
    if ok and draw(st.booleans()) and -(2**63) <= value < 2**63:
        return Arg(np.int64(value), ok, value)
    return Arg(value, ok, value)


@st.composite
def subset_arg(draw, m):
    if draw(st.integers(0, 9)) == 0:
        return Arg(draw(st.sampled_from(BAD_INT_SEQUENCES)), False)
    positions = (
        st.one_of(st.integers(-2, m + 2), wide_ints)
        if m == 0
        else st.one_of(st.integers(0, m - 1), st.integers(-2, m + 2), wide_ints)
    )
    if draw(st.booleans()) and m > 0:
        # Mostly valid subsets, so the check itself runs often.
        values = draw(st.lists(st.integers(0, m - 1), max_size=m, unique=True))
        values += draw(st.lists(positions, max_size=2))
    else:
        values = draw(st.lists(positions, max_size=m + 3))
    kind = draw(st.sampled_from(INT_CONTAINERS))
    ok = all(INT_MIN <= v <= INT_MAX for v in values)
    return Arg(as_int_container(values, kind), ok, values)


@st.composite
def harmonic_arg(draw, m):
    if draw(st.integers(0, 9)) == 0:
        return Arg(draw(st.sampled_from(BAD_FLOAT_SEQUENCES)), False)
    if draw(st.booleans()):
        return draw(float_sequence_arg())
    # The real table, cut short or extended.
    length = max(0, m + 1 + draw(st.integers(-3, 3)))
    table = harmonic_table(length - 1) if length else []
    return Arg(as_float_container(table, draw(st.sampled_from(FLOAT_CONTAINERS))), True, table)


@st.composite
def flag_arg(draw):
    if draw(st.integers(0, 9)) == 0:
        return Arg(draw(st.sampled_from(BAD_FLAGS)), False)
    value = draw(st.sampled_from([True, False, None, 0, 1, 2.5, 0.0, np.bool_(True)]))
    return Arg(value, True, bool(value))


# ------------------------------------------------------------------ the calls


def call(data, function, names, args, defaults=0):
    """Passes the first arguments by position and the rest by keyword, leaving
    out the last `defaults` ones (their values being the defaults); returns the
    result or the error."""
    passed = list(zip(names, args, strict=True))[: len(names) - defaults]
    split = data.draw(st.integers(0, len(passed)), label="positional")
    positional = [a.value for _, a in passed[:split]]
    keywords = {name: a.value for name, a in passed[split:]}
    try:
        return function(*positional, **keywords)
    except (TypeError, ValueError, IndexError) as error:
        return error


def expect_refusal_if_any_bad(function, result, args):
    """Returns True when a refusal was expected (and checks it)."""
    if all(a.ok for a in args):
        return False
    assert isinstance(result, TypeError), (function.__name__, result)
    assert str(result).startswith(f"{function.__name__}(): incompatible function arguments")
    return True


def assert_count(result, m):
    assert type(result) is int, result
    assert 0 <= result <= m


def m_of(arg):
    return len(arg.model) if arg.ok else 0


@pytest.mark.parametrize(
    "name",
    [
        "eBH_cpp",
        "largestmeanconsistent_cpp",
        "largestmeanconsistent_approximate_cpp",
        "largestcBYsignificant_cpp",
        "largestcBYsignificant_approximate_cpp",
    ],
)
@given(data=st.data())
def test_counts_of_one_sequence(name, data):
    function = getattr(_tulm, name)
    evalues = data.draw(float_sequence_arg())
    alpha = data.draw(float_arg())
    result = call(
        data, function, ["evalues" if "cBY" not in name else "pvalues", "alpha"], [evalues, alpha]
    )
    if not expect_refusal_if_any_bad(function, result, [evalues, alpha]):
        assert_count(result, m_of(evalues))


@pytest.mark.parametrize("name", ["closede_bh_cpp", "largest_mean_consistent_k"])
@given(data=st.data())
def test_search_switch(name, data):
    function = getattr(_tulm, name)
    args = [data.draw(float_sequence_arg()), data.draw(float_arg()), data.draw(flag_arg())]
    omitted = data.draw(st.integers(0, 2))
    if omitted >= 1:
        args[2] = Arg(False, True, False)
    if omitted == 2:
        args[1] = Arg(0.05, True, 0.05)
    result = call(data, function, ["evalues", "alpha", "approximate"], args, defaults=omitted)
    if expect_refusal_if_any_bad(function, result, args):
        return
    evalues, alpha, approximate = (a.model for a in args)
    assert_count(result, len(evalues))
    search = (
        _tulm.largestmeanconsistent_approximate_cpp
        if approximate
        else _tulm.largestmeanconsistent_cpp
    )
    assert result == search(evalues, alpha)


def subset_error(subset, m):
    seen = set()
    for position in subset:
        if not 0 <= position < m:
            return IndexError, "subset index out of range"
        if position in seen:
            return ValueError, f"subset position {position} appears more than once"
        seen.add(position)
    return None


@given(data=st.data())
def test_subset(data):
    evalues = data.draw(float_sequence_arg())
    subset = data.draw(subset_arg(m_of(evalues)))
    alpha = data.draw(float_arg())
    args = [evalues, subset, alpha]
    result = call(data, _tulm.is_subset_mean_consistent, ["evalues", "subset", "alpha"], args)
    if expect_refusal_if_any_bad(_tulm.is_subset_mean_consistent, result, args):
        return
    expected_error = subset_error(subset.model, len(evalues.model)) if subset.model else None
    if expected_error:
        error, message = expected_error
        assert type(result) is error and str(result) == message, result
    else:
        assert type(result) is bool, result
        if not subset.model:
            assert result is True


@given(data=st.data())
def test_wrapper(data):
    cum_e = data.draw(float_sequence_arg(max_size=MAX_LENGTH + 1))
    r = data.draw(int_arg(m_of(cum_e)))
    alpha = data.draw(float_arg())
    args = [cum_e, r, alpha]
    result = call(data, _tulm.meanconsistent_wrapper_cpp, ["cum_e", "r", "alpha"], args)
    if expect_refusal_if_any_bad(_tulm.meanconsistent_wrapper_cpp, result, args):
        return
    if r.model < 0:
        assert (
            type(result) is ValueError and str(result) == f"r must be non-negative, got {r.model}"
        )
        return
    assert type(result) is bool, result
    if r.model == 0 or r.model >= len(cum_e.model):
        assert result is True


@given(data=st.data())
def test_by_count(data):
    pvalues = data.draw(float_sequence_arg())
    m = m_of(pvalues)
    harmonic = data.draw(harmonic_arg(m))
    alpha = data.draw(float_arg())
    args = [pvalues, harmonic, alpha]
    result = call(data, _tulm.BY_cpp, ["pvalues", "harmonic", "alpha"], args)
    if expect_refusal_if_any_bad(_tulm.BY_cpp, result, args):
        return
    if m > 0 and len(harmonic.model) < m + 1:
        assert type(result) is ValueError and "harmonic must hold at least" in str(result)
    else:
        assert_count(result, m)


@given(data=st.data())
def test_cby_check(data):
    pvalues = data.draw(float_sequence_arg())
    m = m_of(pvalues)
    r = data.draw(int_arg(m))
    harmonic = data.draw(harmonic_arg(m))
    warm_s = data.draw(int_arg(m))
    alpha = data.draw(float_arg())
    args = [pvalues, r, harmonic, warm_s, alpha]
    result = call(data, _tulm.cBY_check_cpp, ["pvalues", "r", "harmonic", "warm_s", "alpha"], args)
    if expect_refusal_if_any_bad(_tulm.cBY_check_cpp, result, args):
        return
    if not 0 <= r.model <= m:
        assert type(result) is ValueError and str(result).startswith("r must lie in 0 ... m")
    elif r.model > 0 and not 0 <= warm_s.model <= m:
        assert type(result) is ValueError and str(result).startswith("warm_s must lie in 0")
    elif r.model > 0 and len(harmonic.model) < m + 1:
        assert type(result) is ValueError and "harmonic must hold at least" in str(result)
    else:
        assert type(result) is dict and list(result) == ["res", "at_s"], result
        res, at_s = result["res"], result["at_s"]
        assert type(res) is bool and type(at_s) is int
        assert (at_s == 0) if res else (1 <= at_s <= m), result
        if r.model == 0:
            assert res is True
