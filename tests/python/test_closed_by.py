import math
import random
from fractions import Fraction

import numpy as np
import pytest

import _tulm
from tulm._tables import harmonic_table

FLOAT_SEQ = "collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex]"
FLOAT = "typing.SupportsFloat | typing.SupportsIndex"
INT = "typing.SupportsInt | typing.SupportsIndex"

EXAMPLE = [0.9, 0.5, 0.04, 0.03, 0.02, 0.01, 5e-3, 1e-3]
NAN = float("nan")


def verdict(res, at_s):
    return {"res": res, "at_s": at_s}


# ---------------------------------------------------------------- harmonic table


@pytest.mark.parametrize("m", [4, 6, 7, 8, 9, 11])
def test_left_to_right_table_is_one_ulp_below_correct_rounding(m):
    exact = sum(Fraction(1, i) for i in range(1, m + 1))
    left_to_right = harmonic_table(m)[m]
    assert left_to_right != float(exact)
    assert left_to_right == math.nextafter(float(exact), 0.0)


# 4 equal p-values where ((4 * H_4) * p) / 4 - 0.05 <= 1e-10 holds only with
# the left-to-right H_4; every smaller size fails.
LAST_BIT_P = float.fromhex("0x1.89374bd3d9a2cp-6")


def test_last_bit_of_harmonic_decides_the_by_count():
    left = harmonic_table(4)
    rounded = [*left[:4], float(Fraction(25, 12))]
    assert _tulm.BY_cpp([LAST_BIT_P] * 4, left, 0.05) == 4
    assert _tulm.BY_cpp([LAST_BIT_P] * 4, rounded, 0.05) == 0


def test_searches_build_the_left_to_right_table():
    # The bisection returns its BY count m untested; with a correctly rounded
    # H_4 that count would be 0, and every size fails the check.
    assert _tulm.largestcBYsignificant_approximate_cpp([LAST_BIT_P] * 4, 0.05) == 4
    assert _tulm.largestcBYsignificant_cpp([LAST_BIT_P] * 4, 0.05) == 0


# ---------------------------------------------------------------------- BY count


@pytest.mark.parametrize(
    "pvalues, harmonic, alpha, expected",
    [
        pytest.param([], [], 0.05, 0, id="empty-reads-no-table"),
        pytest.param([0.05], [0.0, 1.0], 0.05, 1, id="p-equal-alpha"),
        pytest.param([0.05 + 5e-11], [0.0, 1.0], 0.05, 1, id="within-tolerance"),
        pytest.param([0.05 + 2e-10], [0.0, 1.0], 0.05, 0, id="beyond-tolerance"),
        pytest.param([0.04, 0.01], [0.0, 1.0, 1.5], 0.05, 1, id="factor-3"),
        pytest.param([0.01, 0.01], [0.0, 1.0, 1.5], 0.05, 2, id="ties"),
        pytest.param([0.9, 0.02, 0.01], harmonic_table(3), 0.05, 0, id="factor-5.5"),
        pytest.param([NAN, 0.001], [0.0, 1.0, 1.5], 0.05, 1, id="nan-skips-its-size"),
        pytest.param([0.01, 0.01], [NAN, NAN, 1.5, NAN], 0.05, 2, id="only-entry-m-read"),
    ],
)
def test_by_count(pvalues, harmonic, alpha, expected):
    result = _tulm.BY_cpp(pvalues, harmonic, alpha)
    assert type(result) is int
    assert result == expected


@pytest.mark.parametrize(
    "pvalues, harmonic",
    [
        pytest.param([0.01], [0.0], id="m1-one-entry"),
        pytest.param([0.01, 0.01], [0.0, 1.0], id="m2-two-entries"),
        pytest.param([0.01], [], id="m1-empty"),
    ],
)
def test_by_count_refuses_a_short_table(pvalues, harmonic):
    with pytest.raises(ValueError, match=r"^harmonic must hold at least m \+ 1 = "):
        _tulm.BY_cpp(pvalues, harmonic, 0.05)


# -------------------------------------------------------------------- cBY check

H8 = harmonic_table(8)


@pytest.mark.parametrize(
    "pvalues, r, harmonic, warm_s, alpha, expected",
    [
        pytest.param([], 0, [], 0, 0.05, verdict(True, 0), id="r0-empty"),
        pytest.param([0.06], 1, [0.0, 1.0], 0, 0.05, verdict(False, 1), id="single-size-fails"),
        pytest.param([0.05], 1, [0.0, 1.0], 0, 0.05, verdict(True, 0), id="quick-test-equality"),
        pytest.param([0.06], 1, [0.0, 1.0], 0, 0.0, verdict(False, 1), id="alpha0-not-caught"),
        pytest.param(EXAMPLE, 3, H8, 0, 0.05, verdict(True, 0), id="example-r3"),
        pytest.param(EXAMPLE, 4, H8, 0, 0.05, verdict(False, 5), id="example-r4"),
        pytest.param(EXAMPLE, 4, H8, 2, 0.05, verdict(False, 5), id="example-r4-hint2"),
        pytest.param(EXAMPLE, 6, H8, 2, 0.05, verdict(False, 2), id="example-r6-hint2"),
        pytest.param(EXAMPLE, 8, H8, 0, 0.05, verdict(False, 4), id="example-r8"),
        pytest.param(EXAMPLE, 7, H8, 1, 0.05, verdict(False, 1), id="example-r7-hint1"),
        pytest.param(
            [NAN, 0.03, 0.02, 0.02],
            3,
            harmonic_table(4),
            3,
            0.05,
            verdict(False, 3),
            id="nan-ceiling-weighs-1/alpha",
        ),
        # Zeros pass the quick test at every size; the searches' 1e-12 weighs
        # 1/(3 alpha) at size 2 when alpha = 1e-12 and fails there.
        pytest.param([0.0, 0.0], 2, [0.0, 1.0, 1.5], 0, 1e-12, verdict(True, 0), id="zero-kept"),
        pytest.param([1e-12, 1e-12], 2, [0.0, 1.0, 1.5], 0, 1e-12, verdict(False, 2), id="1e-12"),
    ],
)
def test_cby_check(pvalues, r, harmonic, warm_s, alpha, expected):
    assert _tulm.cBY_check_cpp(pvalues, r, harmonic, warm_s, alpha) == expected


def test_cby_check_dictionary_shape():
    for r in (3, 4):
        result = _tulm.cBY_check_cpp(EXAMPLE, r, H8, 0, 0.05)
        assert type(result) is dict
        assert list(result) == ["res", "at_s"]
        assert type(result["res"]) is bool
        assert type(result["at_s"]) is int


@pytest.mark.parametrize(
    "pvalues, r, harmonic, warm_s, message",
    [
        pytest.param(EXAMPLE, 9, H8, 0, r"^r must lie in 0 \.\.\. m = 8, got 9$", id="r>m"),
        pytest.param(EXAMPLE, -1, H8, 0, r"^r must lie in 0 \.\.\. m = 8, got -1$", id="r<0"),
        pytest.param([], 1, [0.0], 0, r"^r must lie in 0 \.\.\. m = 0, got 1$", id="r1-empty"),
        pytest.param(EXAMPLE, 3, H8, 9, r"^warm_s must lie in 0 \.\.\. m = 8, got 9$", id="w>m"),
        pytest.param(EXAMPLE, 3, H8, -1, r"^warm_s must lie in 0 \.\.\. m = 8, got -1$", id="w<0"),
        pytest.param(
            EXAMPLE,
            3,
            H8[:8],
            0,
            r"^harmonic must hold at least m \+ 1 = 9 entries, got 8$",
            id="harmonic-short",
        ),
        pytest.param(EXAMPLE, 9, [], 99, r"^r must", id="r-checked-first"),
    ],
)
def test_cby_check_refuses_what_it_would_read_past(pvalues, r, harmonic, warm_s, message):
    with pytest.raises(ValueError, match=message):
        _tulm.cBY_check_cpp(pvalues, r, harmonic, warm_s, 0.05)


@pytest.mark.parametrize(
    "harmonic, warm_s",
    [
        pytest.param([], 0, id="empty-table"),
        pytest.param([], 99, id="hint-out-of-range"),
        pytest.param([NAN], -5, id="negative-hint"),
    ],
)
def test_cby_check_r0_passes_without_reading_the_rest(harmonic, warm_s):
    assert _tulm.cBY_check_cpp(EXAMPLE, 0, harmonic, warm_s, NAN) == verdict(True, 0)


# ---------------------------------------------------------------------- searches


@pytest.mark.parametrize(
    "pvalues, alpha, exact, approximate",
    [
        pytest.param(EXAMPLE, 0.05, 3, 3, id="example"),
        pytest.param([], 0.05, 0, 0, id="empty"),
        pytest.param([1e-9, 1e-9], 0.0, 0, 0, id="alpha0"),
        pytest.param([1e-9, 1e-9], -0.05, 0, 0, id="alpha-negative"),
        pytest.param([0.9, 0.5, 0.1], NAN, 3, 3, id="nan-alpha-passes-every-check"),
        pytest.param([0.06], 0.05, 0, 0, id="single-fails"),
        pytest.param([0.05], 0.05, 1, 1, id="single-passes"),
        pytest.param([0.0, -0.0], 0.05, 2, 2, id="zeros"),
        # As 1e-12 both zeros fail every check; the bisection returns its BY
        # count 2 untested.
        pytest.param([0.0, -0.0], 1e-12, 0, 2, id="zeros-replaced"),
    ],
)
def test_searches(pvalues, alpha, exact, approximate):
    assert _tulm.largestcBYsignificant_cpp(pvalues, alpha) == exact
    assert _tulm.largestcBYsignificant_approximate_cpp(pvalues, alpha) == approximate


def prepared(pvalues):
    return [1e-12 if p == 0.0 else p for p in pvalues]


def exact_search_on_checks(pvalues, alpha):
    p, table, warm_s = prepared(pvalues), harmonic_table(len(pvalues)), 0
    for k in range(len(p), 0, -1):
        result = _tulm.cBY_check_cpp(p, k, table, warm_s, alpha)
        if result["res"]:
            return k
        warm_s = result["at_s"]
    return 0


def approximate_search_on_checks(pvalues, alpha):
    p, table = prepared(pvalues), harmonic_table(len(pvalues))
    answer = _tulm.BY_cpp(p, table, alpha)
    lo, hi, warm_s = answer + 1, len(p), 0
    while lo <= hi:
        mid = (lo + hi) // 2
        result = _tulm.cBY_check_cpp(p, mid, table, warm_s, alpha)
        if result["res"]:
            answer, lo = mid, mid + 1
        else:
            hi, warm_s = mid - 1, result["at_s"]
    return answer


def random_pvalues(rng):
    m = rng.randint(1, 25)
    pvalues = [0.0 if rng.random() < 0.1 else 10 ** rng.uniform(-5, 0) for _ in range(m)]
    return sorted(pvalues, reverse=True)


def test_searches_agree_with_searches_built_on_the_python_entries():
    rng = random.Random(4)
    for _ in range(300):
        pvalues = random_pvalues(rng)
        alpha = rng.choice([0.01, 0.05, 0.1, 0.2])
        assert _tulm.largestcBYsignificant_cpp(pvalues, alpha) == exact_search_on_checks(
            pvalues, alpha
        ), pvalues
        assert _tulm.largestcBYsignificant_approximate_cpp(
            pvalues, alpha
        ) == approximate_search_on_checks(pvalues, alpha), pvalues


# ------------------------------------------------------------- binding surface


@pytest.mark.parametrize(
    "name, signature",
    [
        ("BY_cpp", f"(pvalues: {FLOAT_SEQ}, harmonic: {FLOAT_SEQ}, alpha: {FLOAT}) -> int"),
        ("largestcBYsignificant_cpp", f"(pvalues: {FLOAT_SEQ}, alpha: {FLOAT}) -> int"),
        ("largestcBYsignificant_approximate_cpp", f"(pvalues: {FLOAT_SEQ}, alpha: {FLOAT}) -> int"),
        (
            "cBY_check_cpp",
            f"(pvalues: {FLOAT_SEQ}, r: {INT}, harmonic: {FLOAT_SEQ}, warm_s: {INT}, "
            f"alpha: {FLOAT}) -> dict",
        ),
    ],
)
def test_generated_signatures(name, signature):
    assert getattr(_tulm, name).__doc__ == f"{name}{signature}\n"


def test_registered_in_table_order():
    names = [
        "BY_cpp",
        "largestcBYsignificant_cpp",
        "largestcBYsignificant_approximate_cpp",
        "cBY_check_cpp",
    ]
    registered = [name for name in vars(_tulm) if name in names]
    assert registered == names


def test_no_defaults_anywhere():
    with pytest.raises(TypeError, match=r"^BY_cpp\(\): incompatible function arguments"):
        _tulm.BY_cpp([0.01], [0.0, 1.0])
    with pytest.raises(TypeError, match=r"^cBY_check_cpp\(\): incompatible function arguments"):
        _tulm.cBY_check_cpp([0.01], 1, [0.0, 1.0], 0)


def test_arguments_convert_like_the_other_entries():
    pvalues = np.array(EXAMPLE)
    assert _tulm.largestcBYsignificant_cpp(pvalues, np.float64(0.05)) == 3
    assert _tulm.cBY_check_cpp(pvalues, np.int32(4), tuple(H8), True, alpha=0.05) == verdict(
        False, 5
    )
    with pytest.raises(TypeError, match=r"^cBY_check_cpp\(\): incompatible "):
        _tulm.cBY_check_cpp(EXAMPLE, np.float64(4.0), H8, 0, 0.05)
