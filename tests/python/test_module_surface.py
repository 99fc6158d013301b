"""The Python surface of _tulm: module set-up, signatures, argument conversion
and refusals, shown with eBH_cpp."""

import array
import decimal
import fractions
import importlib
import os
import pathlib
import shutil
import subprocess
import sys

import numpy as np
import pytest

import _tulm

FLOAT_SEQ = "collections.abc.Sequence[typing.SupportsFloat | typing.SupportsIndex]"
FLOAT = "typing.SupportsFloat | typing.SupportsIndex"
EBH_SIGNATURE = f"(evalues: {FLOAT_SEQ}, alpha: {FLOAT}) -> int"

# e-values whose e-BH count at alpha = 0.05 is 2 (k = 2 gives 5/3).
TIES = [1.0, 50.0, 50.0]


def test_module_docstring():
    assert _tulm.__doc__ == "Pybind11 bindings for the Varnoc C++ routines"


def test_signature_line_is_the_generated_one():
    assert _tulm.eBH_cpp.__name__ == "eBH_cpp"
    assert _tulm.eBH_cpp.__doc__ == f"eBH_cpp{EBH_SIGNATURE}\n"


def test_reimport_gives_the_same_module_and_functions():
    module, function = _tulm, _tulm.eBH_cpp
    del sys.modules["_tulm"]
    again = importlib.import_module("_tulm")
    assert again is module
    assert again.eBH_cpp is function
    assert importlib.reload(again) is module
    assert module.eBH_cpp is function


def test_foreign_interpreter_refuses_the_module(tmp_path):
    """The 3.13 build must fail to import, not crash, under another CPython."""
    pyenv_root = pathlib.Path(os.environ.get("PYENV_ROOT", pathlib.Path.home() / ".pyenv"))
    candidates = sorted(pyenv_root.glob("versions/3.12*/bin/python3.12"))
    foreign = candidates[-1] if candidates else shutil.which("python3.12")
    if not foreign:
        pytest.skip("no CPython 3.12 on this machine")
    # A plain .so suffix lets every CPython try to load the file.
    shutil.copy(_tulm.__file__, tmp_path / "_tulm.so")
    result = subprocess.run(
        [str(foreign), "-c", "import _tulm"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        env={"PYTHONPATH": str(tmp_path)},
    )
    assert result.returncode == 1, result.stderr
    assert "ImportError" in result.stderr


class TestBinding:
    def test_positional_and_keyword_calls_agree(self):
        assert _tulm.eBH_cpp(TIES, 0.05) == 2
        assert _tulm.eBH_cpp(TIES, alpha=0.05) == 2
        assert _tulm.eBH_cpp(alpha=0.05, evalues=TIES) == 2

    def test_result_is_a_plain_int(self):
        assert type(_tulm.eBH_cpp(TIES, 0.05)) is int
        zero = _tulm.eBH_cpp([], 0.05)
        assert type(zero) is int and zero == 0

    @pytest.mark.parametrize(
        "args, kwargs",
        [
            pytest.param((TIES,), {}, id="alpha-has-no-default"),
            pytest.param((TIES, 0.05, 1), {}, id="too-many-positional"),
            pytest.param((TIES,), {"alpha": 0.05, "level": 1}, id="unknown-keyword"),
            pytest.param((TIES, 0.05), {"alpha": 0.05}, id="given-twice"),
        ],
    )
    def test_calls_that_cannot_be_bound_are_refused(self, args, kwargs):
        with pytest.raises(TypeError, match=r"^eBH_cpp\(\): incompatible function arguments"):
            _tulm.eBH_cpp(*args, **kwargs)

    def test_full_refusal_message(self):
        with pytest.raises(TypeError) as info:
            _tulm.eBH_cpp("x", alpha=0.1)
        assert str(info.value) == (
            "eBH_cpp(): incompatible function arguments. The following argument types are"
            " supported:\n"
            f"    1. {EBH_SIGNATURE}\n"
            "\n"
            "Invoked with: 'x'; kwargs: alpha=0.1"
        )

    def test_refusal_survives_a_repr_that_raises(self):
        class BadRepr:
            def __repr__(self):
                raise RuntimeError("no repr")

        with pytest.raises(TypeError) as info:
            _tulm.eBH_cpp(BadRepr(), 0.05)
        assert str(info.value).endswith("Invoked with: <repr raised Error>, 0.05")


def generator(values):
    yield from values


class Indexable:
    """A sequence by __getitem__ and __len__ only."""

    def __init__(self, values):
        self.values = list(values)

    def __len__(self):
        return len(self.values)

    def __getitem__(self, i):
        return self.values[i]


class TestFloatSequence:
    @pytest.mark.parametrize(
        "evalues",
        [
            pytest.param(list(TIES), id="list"),
            pytest.param(tuple(TIES), id="tuple"),
            pytest.param([1, 50, 50], id="ints-become-floats"),
            pytest.param(np.array(TIES), id="numpy-float64"),
            pytest.param(np.array(TIES, dtype=np.float32), id="numpy-float32"),
            pytest.param(np.array([1, 50, 50], dtype=np.int64), id="numpy-int64"),
            pytest.param(np.array(TIES)[::-1][::-1], id="numpy-strided-view"),
            pytest.param(array.array("d", TIES), id="array.array"),
            pytest.param(memoryview(array.array("d", TIES)), id="memoryview"),
            pytest.param(bytearray([1, 50, 50]), id="bytearray-bytes-as-ints"),
            pytest.param(generator(TIES), id="generator"),
            pytest.param(map(float, ["1", "50", "50"]), id="map"),
            pytest.param(Indexable(TIES), id="getitem-class"),
            pytest.param(
                [decimal.Decimal(1), fractions.Fraction(50), np.float32(50)],
                id="number-protocol-elements",
            ),
        ],
    )
    def test_accepted(self, evalues):
        assert _tulm.eBH_cpp(evalues, 0.05) == 2

    def test_unordered_containers_are_read_in_their_own_order(self):
        # One value, so the iteration order cannot matter.
        for evalues in ({21.0}, frozenset({21.0}), {21.0: None}.keys(), {0: 21.0}.values()):
            assert _tulm.eBH_cpp(evalues, 0.05) == 1

    @pytest.mark.parametrize(
        "evalues",
        [
            pytest.param("123", id="str"),
            pytest.param(b"\x01\x32\x32", id="bytes"),
            pytest.param({1.0: 2.0}, id="dict"),
            pytest.param({1.0: 2.0}.items(), id="dict-items-elements-are-tuples"),
            pytest.param(iter(TIES), id="list-iterator"),
            pytest.param(filter(None, TIES), id="filter"),
            pytest.param(enumerate(TIES), id="enumerate"),
            pytest.param(reversed(TIES), id="reversed"),
            pytest.param(None, id="None"),
            pytest.param(1.0, id="scalar"),
            pytest.param(np.float64(1.0), id="numpy-scalar"),
            pytest.param([1.0, "2"], id="str-element"),
            pytest.param([1.0, None], id="None-element"),
            pytest.param([1.0, 1j], id="complex-element"),
            pytest.param([10**400], id="int-too-large-for-a-double"),
            pytest.param([[1.0]], id="nested-list"),
            pytest.param(list, id="type-object"),
        ],
    )
    def test_refused(self, evalues):
        with pytest.raises(TypeError, match=r"^eBH_cpp\(\): incompatible function arguments"):
            _tulm.eBH_cpp(evalues, 0.05)

    def test_generator_is_consumed_even_when_refused(self):
        seen = []

        def tracked():
            for value in [1.0, "bad", 3.0]:
                seen.append(value)
                yield value

        with pytest.raises(TypeError):
            _tulm.eBH_cpp(tracked(), 0.05)
        assert seen == [1.0, "bad", 3.0]

    def test_errors_of_the_argument_itself_propagate_unchanged(self):
        def failing():
            yield 1.0
            raise ValueError("broken generator")

        class BadLength(Indexable):
            def __len__(self):
                raise KeyError("no length")

        class BadItem(Indexable):
            def __iter__(self):
                raise LookupError("no items")

        with pytest.raises(ValueError, match="broken generator"):
            _tulm.eBH_cpp(failing(), 0.05)
        with pytest.raises(KeyError, match="no length"):
            _tulm.eBH_cpp(BadLength(TIES), 0.05)
        with pytest.raises(LookupError, match="no items"):
            _tulm.eBH_cpp(BadItem(TIES), 0.05)

    @pytest.mark.parametrize("length", [2**31, 2**58, 2**62])
    def test_a_reported_length_is_refused_before_any_element_is_read(self, length):
        class Huge(Indexable):
            def __init__(self, length):
                super().__init__([])
                self.length = length

            def __getitem__(self, index):
                raise AssertionError("an element was read")

            def __len__(self):
                return self.length

        with pytest.raises(ValueError, match=f"a sequence of {length} values is too long"):
            _tulm.eBH_cpp(Huge(length), 0.05)


class TestFloatScalar:
    @pytest.mark.parametrize(
        "alpha",
        [
            pytest.param(0.05, id="float"),
            pytest.param(np.float64(0.05), id="numpy-float64"),
            pytest.param(fractions.Fraction(1, 20), id="fraction"),
            pytest.param(decimal.Decimal("0.05"), id="decimal"),
        ],
    )
    def test_accepted_levels(self, alpha):
        assert _tulm.eBH_cpp(TIES, alpha) == 2

    def test_ints_and_bools_are_levels_too(self):
        # k = 3 gives exactly 1.0, k = 2 gives 4/3.
        assert _tulm.eBH_cpp([1, 2, 3], 1) == 2
        assert _tulm.eBH_cpp([1, 2, 3], np.int64(1)) == 2
        assert _tulm.eBH_cpp([1, 2, 3], True) == 2

    def test_float_subclass_keeps_its_value(self):
        class Level(float):
            def __float__(self):
                raise AssertionError("a float subclass is read directly")

        assert _tulm.eBH_cpp(TIES, Level(0.05)) == 2

    @pytest.mark.parametrize(
        "alpha",
        [None, "0.05", b"0.05", 0.05j, [0.05], 10**400],
        ids=["None", "str", "bytes", "complex", "list", "int-too-large"],
    )
    def test_refused_levels(self, alpha):
        with pytest.raises(TypeError, match=r"^eBH_cpp\(\): incompatible function arguments"):
            _tulm.eBH_cpp(TIES, alpha)


class TestEbhCount:
    @pytest.mark.parametrize(
        "evalues, alpha, expected",
        [
            pytest.param([], 0.05, 0, id="empty"),
            pytest.param([20.0], 0.05, 0, id="m1-product-exactly-one-fails"),
            pytest.param([20.000000001], 0.05, 1, id="m1-just-above-threshold"),
            pytest.param([10.0, 40.0], 0.05, 0, id="product-one-is-not-enough"),
            pytest.param(TIES, 0.05, 2, id="ties"),
            pytest.param([100.0, 1.0], 0.05, 2, id="unsorted-scanned-as-given"),
            pytest.param([float("nan"), 1e6, 1.0], 0.05, 2, id="nan-skips-its-own-size"),
            pytest.param([1e6, 1e9], 0.0, 0, id="alpha-zero"),
            pytest.param([float("inf")], 0.0, 0, id="inf-times-zero-is-nan"),
        ],
    )
    def test_counts(self, evalues, alpha, expected):
        assert _tulm.eBH_cpp(evalues, alpha) == expected

    def test_threshold_is_one_plus_a_trillionth(self):
        # m = 1, alpha = 1: the count is 1 exactly when e >= 1.000000000001.
        threshold = 1.000000000001
        assert _tulm.eBH_cpp([threshold], 1.0) == 1
        assert _tulm.eBH_cpp([np.nextafter(threshold, 0.0)], 1.0) == 0

    def test_size_times_value_is_rounded_before_the_scale(self):
        # Only (k * e) * (alpha / m) puts these on the side given.
        passing = np.zeros(41)
        passing[41 - 14] = 292.8571428574357
        failing = np.zeros(19)
        failing[19 - 3] = 126.66666666679333
        assert _tulm.eBH_cpp(passing, 0.01) == 14
        assert _tulm.eBH_cpp(failing, 0.05) == 0

    def test_caller_data_is_not_changed(self):
        evalues = [50.0, 1.0, 50.0]
        as_array = np.array(evalues)
        _tulm.eBH_cpp(evalues, 0.05)
        _tulm.eBH_cpp(as_array, 0.05)
        assert evalues == [50.0, 1.0, 50.0]
        assert as_array.tolist() == evalues
