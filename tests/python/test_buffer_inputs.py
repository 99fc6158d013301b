"""numpy arrays, array.array and memoryview objects are read straight from their
buffers. Each case here is run twice, once as it is and once through a twin
that only the element-wise conversion accepts (an ndarray or array.array
subclass, or a plain sequence over a memoryview, with the same repr), and the
two outcomes (result, or exception type and message) must be identical."""

import array

import numpy as np
import pytest

import _tulm
from tulm._tables import harmonic_table

EBH_THRESHOLD = 1.000000000001


class ElementWiseArray(np.ndarray):
    def __repr__(self):
        return repr(self.view(np.ndarray))


class ElementWiseStdArray(array.array):
    def __repr__(self):
        return repr(array.array(self.typecode, self))


class ElementWiseSequence:
    """A memoryview seen through the plain sequence protocol."""

    def __init__(self, view):
        self.view = view

    def __len__(self):
        return len(self.view)

    def __getitem__(self, index):
        return self.view[index]

    def __iter__(self):
        return iter(self.view)

    def __repr__(self):
        return repr(self.view)


def element_wise(obj):
    if type(obj) is np.ndarray:
        return obj.view(ElementWiseArray)
    if type(obj) is array.array:
        return ElementWiseStdArray(obj.typecode, obj)
    if type(obj) is memoryview:
        return ElementWiseSequence(obj)
    raise AssertionError(f"no element-wise twin for {type(obj)}")


def outcome(function, args):
    try:
        return ("returned", function(*args))
    except Exception as error:
        return ("raised", type(error), str(error))


def assert_same_as_element_wise(function, build_args, obj):
    assert outcome(function, build_args(obj)) == outcome(function, build_args(element_wise(obj)))


# Every float-sequence parameter of the module, in a call that reads all its
# values; functions not built yet are skipped.
FLOAT_PARAMETER_CALLS = [
    pytest.param("eBH_cpp", lambda x: (x, 0.2), id="eBH_cpp-evalues"),
    pytest.param("closede_bh_cpp", lambda x: (x, 0.2, False), id="closede_bh_cpp-exact"),
    pytest.param("closede_bh_cpp", lambda x: (x, 0.2, True), id="closede_bh_cpp-approximate"),
    pytest.param("largest_mean_consistent_k", lambda x: (x, 0.3), id="largest_mean_consistent_k"),
    pytest.param("largestmeanconsistent_cpp", lambda x: (x, 0.2), id="largestmeanconsistent"),
    pytest.param(
        "largestmeanconsistent_approximate_cpp",
        lambda x: (x, 0.2),
        id="largestmeanconsistent_approximate",
    ),
    pytest.param(
        "is_subset_mean_consistent",
        lambda x: (x, sorted({0, len(x) // 2}) if len(x) else [], 0.2),
        id="is_subset_mean_consistent-evalues",
    ),
    pytest.param(
        "meanconsistent_wrapper_cpp", lambda x: (x, len(x) // 2, 0.2), id="meanconsistent-cum_e"
    ),
    pytest.param("BY_cpp", lambda x: (x, harmonic_table(len(x)), 0.2), id="BY_cpp-pvalues"),
    pytest.param("BY_cpp", lambda x: ([0.01] * max(len(x) - 1, 0), x, 0.2), id="BY_cpp-harmonic"),
    pytest.param("largestcBYsignificant_cpp", lambda x: (x, 0.2), id="largestcBYsignificant"),
    pytest.param(
        "largestcBYsignificant_approximate_cpp",
        lambda x: (x, 0.2),
        id="largestcBYsignificant_approximate",
    ),
    pytest.param(
        "cBY_check_cpp",
        lambda x: (x, len(x) // 2, harmonic_table(len(x)), 0, 0.2),
        id="cBY_check-pvalues",
    ),
    pytest.param(
        "cBY_check_cpp",
        lambda x: ([0.01] * max(len(x) - 1, 0), 1 if len(x) > 1 else 0, x, 0, 0.2),
        id="cBY_check-harmonic",
    ),
]

SUBSET_EVALUES = np.linspace(0.5, 40.0, 64)


def function_named(name):
    if not hasattr(_tulm, name):
        pytest.skip(f"{name} is not built yet")
    return getattr(_tulm, name)


# ---------------------------------------------------------------------------
# Element values: each value alone, at the two levels around its own e-BH
# threshold, so a value read differently changes a count (one ulp off is
# caught unless the product's rounding absorbs it).


def threshold_alphas(values):
    """Per value v: the smallest alpha with |v| * alpha >= the e-BH threshold and
    the double just below it, signed like v (a negative level turns a negative
    value's product positive); (1, -1) for zeros, infinities and NaN."""
    with np.errstate(all="ignore"):  # signalling NaNs warn when cast
        v = np.abs(np.asarray(values, dtype=np.float64))
        usable = np.isfinite(v) & (v > 0)
        alpha = np.where(usable, EBH_THRESHOLD / np.where(usable, v, 1.0), 1.0)
        while (high := usable & (v * alpha >= EBH_THRESHOLD)).any():
            alpha[high] = np.nextafter(alpha[high], 0.0)
        while (low := usable & (v * alpha < EBH_THRESHOLD)).any():
            alpha[low] = np.nextafter(alpha[low], np.inf)
        sign = np.where(np.asarray(values, dtype=np.float64) < 0, -1.0, 1.0)
    passing = np.where(usable, sign * alpha, 1.0)
    failing = np.where(usable, sign * np.nextafter(alpha, 0.0), -1.0)
    return passing, failing, usable


def float_values(dtype, rng, count):
    """Special values and random bit patterns (every class: subnormals, NaN
    payloads, infinities); all 2^16 patterns for float16."""
    info = np.finfo(dtype)
    bits = np.dtype(f"u{info.bits // 8}")
    if info.bits == 16:
        patterns = np.arange(2**16, dtype=bits)
    else:
        patterns = rng.integers(0, np.iinfo(bits).max, size=count, dtype=bits, endpoint=True)
    special = np.array([0.0, -0.0, 1.0, -1.0, 1 / 3, np.inf, -np.inf, np.nan], dtype=dtype)
    extremes = np.array([info.smallest_subnormal, info.smallest_normal, info.max], dtype=dtype)
    return np.concatenate([special, extremes, -extremes, patterns.view(dtype)])


def int_values(dtype, rng, count):
    """Limits, neighbours of 2^53 (where 64-bit integers start rounding) and
    random values over the whole range."""
    info = np.iinfo(dtype)
    edges = {info.min, info.min + 1, info.max, info.max - 1, 0, 1, 2, 3}
    if info.bits == 64:
        for base in (2**53, 2**63 - 2**10, 2**63 if info.min == 0 else -(2**63) + 2**10):
            edges.update(base + k for k in range(-3, 4))
        edges.update(2**64 - k for k in range(1, 1100, 97) if info.min == 0)
    edges = [e for e in edges if info.min <= e <= info.max]
    random = rng.integers(info.min, info.max, size=count, dtype=dtype, endpoint=True)
    return np.concatenate([np.array(edges, dtype=dtype), random])


def value_cases():
    for dtype in [np.float64, np.float32, np.float16]:
        yield pytest.param(np.dtype(dtype), float_values, id=np.dtype(dtype).name)
    for dtype in [
        np.int8,
        np.int16,
        np.int32,
        np.int64,
        np.uint8,
        np.uint16,
        np.uint32,
        np.uint64,
        np.longlong,
        np.ulonglong,
    ]:
        yield pytest.param(
            np.dtype(dtype), int_values, id=f"{np.dtype(dtype).name}-{np.dtype(dtype).char}"
        )

    def raw_bools(dtype, rng, count):
        return np.array([0, 1, 2, 127, 255, 0, 1], np.uint8).view(np.bool_)

    yield pytest.param(np.dtype(np.bool_), raw_bools, id="bool-with-non-canonical-bytes")


def containers(values):
    """The values as ndarray, as memoryview of it and, where a typecode with
    the same layout exists, as array.array."""
    yield "ndarray", values
    yield "memoryview", memoryview(values)
    code = values.dtype.char
    if code in array.typecodes and code != "u" and array.array(code).itemsize == values.itemsize:
        as_array = array.array(code)
        as_array.frombytes(values.tobytes())
        yield "array.array", as_array


@pytest.mark.parametrize(("dtype", "generate"), list(value_cases()))
def test_each_element_converts_to_the_same_double(dtype, generate):
    values = generate(dtype, np.random.default_rng(5), 1500)
    passing, failing, usable = threshold_alphas(values)
    for kind, container in containers(values):
        step = 8 if kind == "memoryview" and dtype == np.float16 else 1
        mismatches = []
        for i in range(0, len(values), step):
            alone, element = container[i : i + 1], [container[i]]
            for alpha in (passing[i], failing[i]):
                buffered = _tulm.eBH_cpp(alone, alpha)
                standard = _tulm.eBH_cpp(element, alpha)
                if buffered != standard:
                    mismatches.append((kind, values[i], alpha, buffered, standard))
            if usable[i]:
                # The levels are tuned on the value the element-wise path reads.
                assert (_tulm.eBH_cpp(element, passing[i]), _tulm.eBH_cpp(element, failing[i])) == (
                    1,
                    0,
                )
        assert not mismatches, mismatches[:5]


# ---------------------------------------------------------------------------
# Layouts: every parameter, every stride pattern.

LAYOUTS = {
    "contiguous": lambda b: b[:24],
    "reversed": lambda b: b[23::-1],
    "every-third": lambda b: b[::3][:24],
    "every-second-reversed": lambda b: b[::-2][:24],
    "matrix-column": lambda b: b[:96].reshape(24, 4)[:, 1],
    "fortran-row": lambda b: np.asfortranarray(b[:96].reshape(4, 24))[2],
    "broadcast-zero-stride": lambda b: np.broadcast_to(b[7], (24,)),
    "read-only": lambda b: _read_only(b[:24]),
    "unaligned": lambda b: np.frombuffer(b"\0" + b[:24].tobytes(), dtype=b.dtype, offset=1),
    "single": lambda b: b[3:4],
    "empty": lambda b: b[:0],
}


def _read_only(values):
    values = values.copy()
    values.flags.writeable = False
    return values


def layout_base(dtype):
    rng = np.random.default_rng(11)
    if dtype == np.bool_:
        return rng.integers(0, 2, size=96).astype(np.bool_)
    if np.issubdtype(dtype, np.integer):
        return rng.integers(0, 40, size=96).astype(dtype)
    return np.sort(rng.lognormal(0.0, 1.5, size=96)).astype(dtype)


@pytest.mark.parametrize(
    "dtype",
    [np.float64, np.float32, np.float16, np.int64, np.uint8, np.bool_],
    ids=lambda d: np.dtype(d).name,
)
@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize(("name", "build_args"), FLOAT_PARAMETER_CALLS)
def test_float_parameters_read_every_layout_like_the_element_wise_path(
    name, build_args, layout, dtype
):
    function = function_named(name)
    values = LAYOUTS[layout](layout_base(dtype))
    for obj in (values, memoryview(values)):
        assert_same_as_element_wise(function, build_args, obj)
    if name == "eBH_cpp" and len(values):
        # At each position's own threshold, so a misplaced element shows.
        m = len(values)
        for alpha in (
            a
            for pair in zip(*threshold_alphas(values * np.arange(m, 0, -1) / m)[:2], strict=True)
            for a in pair
        ):
            assert_same_as_element_wise(function, lambda x, alpha=alpha: (x, alpha), values)


SUBSET_DTYPES = [
    np.int8,
    np.int16,
    np.int32,
    np.int64,
    np.uint8,
    np.uint16,
    np.uint32,
    np.uint64,
    np.bool_,
]


@pytest.mark.parametrize("dtype", SUBSET_DTYPES, ids=lambda d: np.dtype(d).name)
@pytest.mark.parametrize("layout", LAYOUTS)
def test_subset_reads_every_layout_like_the_element_wise_path(layout, dtype):
    function = function_named("is_subset_mean_consistent")
    base = np.random.default_rng(3).permutation(96).astype(dtype) % 64
    values = LAYOUTS[layout](base)
    # Positions are checked one by one: repeats and bad positions are named
    # in the error, so each converted entry shows.
    for subset in (values, memoryview(values), np.ascontiguousarray(values)[:5]):
        assert_same_as_element_wise(function, lambda s: (SUBSET_EVALUES, s, 0.05), subset)


# ---------------------------------------------------------------------------
# What the buffer path leaves alone: the standard conversion decides, with its
# own error and message.

REFUSED_OR_DELEGATED_FLOAT = [
    pytest.param(np.ones((3, 2)), id="2-D"),
    pytest.param(np.ones((3, 1)), id="2-D-one-column"),
    pytest.param(np.array(2.0), id="0-D"),
    pytest.param(np.ones(3, np.complex128), id="complex"),
    pytest.param(np.array([1.0, None], dtype=object), id="object-with-None"),
    pytest.param(np.array([1.0, 2.5], dtype=object), id="object-of-floats"),
    pytest.param(np.array([1.0, 3.0], dtype=">f8"), id="non-native-byte-order"),
    pytest.param(np.array([1.0, 3.0], dtype=np.longdouble), id="longdouble"),
    pytest.param(np.zeros(2, "datetime64[s]"), id="datetime64"),
    pytest.param(np.array(["1.5"]), id="unicode"),
    pytest.param(np.zeros(2, "f8,f8"), id="structured"),
    pytest.param(memoryview(np.ones((2, 2))), id="memoryview-2-D"),
    pytest.param(memoryview(np.ones(2, ">f8")), id="memoryview-non-native"),
    pytest.param(memoryview(b"ab").cast("c"), id="memoryview-chars"),
    pytest.param(memoryview(b"\0" * 17)[1:].cast("d"), id="memoryview-unaligned-doubles"),
    pytest.param(array.array("w", "ab"), id="array-of-chars"),
]


@pytest.mark.parametrize("obj", REFUSED_OR_DELEGATED_FLOAT)
def test_other_float_inputs_behave_as_element_wise(obj):
    assert_same_as_element_wise(_tulm.eBH_cpp, lambda x: (x, 0.5), obj)


def test_released_memoryview_raises_its_own_error():
    view = memoryview(np.ones(3))
    view.release()
    with pytest.raises(ValueError, match="released memoryview"):
        _tulm.eBH_cpp(view, 0.5)


SUBSET_EDGE_INPUTS = [
    pytest.param(np.array([1, 2], np.uint8).view(np.bool_), id="non-canonical-bool-repeats-1"),
    pytest.param(np.array([1.0, 2.0]), id="float64-refused"),
    pytest.param(np.array([], dtype=np.float64), id="empty-float64-accepted"),
    pytest.param(np.array([1.9, -0.5, 3.2], dtype=np.float32), id="float32-truncated"),
    pytest.param(np.array([2.0, 5.0], dtype=np.float16), id="float16-truncated"),
    pytest.param(np.array([np.nan], dtype=np.float32), id="float32-nan-refused"),
    pytest.param(np.array([3e9], dtype=np.float32), id="float32-out-of-range"),
    pytest.param(np.array([1, 2**31], dtype=np.int64), id="int64-above-int32"),
    pytest.param(np.array([1, -(2**31) - 1], dtype=np.int64), id="int64-below-int32"),
    pytest.param(np.array([2**31 - 1], dtype=np.int64), id="int32-max-bad-position"),
    pytest.param(np.array([-(2**31)], dtype=np.int64), id="int32-min-bad-position"),
    pytest.param(np.array([2**32 - 1], dtype=np.uint32), id="uint32-above-int32"),
    pytest.param(np.array([2**64 - 1], dtype=np.uint64), id="uint64-max"),
    pytest.param(np.array([1 + 0j]), id="complex"),
    pytest.param(np.array([[1, 2]]), id="2-D"),
    pytest.param(array.array("q", [1, 2**40]), id="array-int64-above-int32"),
    pytest.param(array.array("d", [1.0]), id="array-of-doubles"),
    pytest.param(memoryview(np.array([2**33, 1])), id="memoryview-above-int32"),
]


@pytest.mark.parametrize("subset", SUBSET_EDGE_INPUTS)
def test_other_subset_inputs_behave_as_element_wise(subset):
    function = function_named("is_subset_mean_consistent")
    assert_same_as_element_wise(function, lambda s: (SUBSET_EVALUES, s, 0.05), subset)


class ExplodingArray(np.ndarray):
    def __iter__(self):
        raise RuntimeError("iterated element by element")


class ExplodingStdArray(array.array):
    def __iter__(self):
        raise RuntimeError("iterated element by element")


@pytest.mark.parametrize(
    "obj",
    [
        pytest.param(np.ones(3).view(ExplodingArray), id="ndarray-subclass"),
        pytest.param(ExplodingStdArray("d", [1.0, 2.0]), id="array.array-subclass"),
    ],
)
def test_subclasses_take_the_element_wise_path(obj):
    with pytest.raises(RuntimeError, match="element by element"):
        _tulm.eBH_cpp(obj, 0.5)


def test_signatures_keep_the_standard_annotations():
    float_sequence = "collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex]"
    assert _tulm.eBH_cpp.__doc__.startswith(f"eBH_cpp(evalues: {float_sequence}, alpha: ")
    if hasattr(_tulm, "is_subset_mean_consistent"):
        int_sequence = "collections.abc.Sequence[typing.SupportsInt | typing.SupportsIndex]"
        assert f"subset: {int_sequence}, " in _tulm.is_subset_mean_consistent.__doc__
