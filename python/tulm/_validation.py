"""Argument checks. Every refusal happens here, before any kernel runs, and
its message names the argument and what is wrong with it."""

from __future__ import annotations

import numbers
import operator
import os
import sys
from typing import Any, Literal

import numpy as np
from numpy.lib.array_utils import normalize_axis_index
from numpy.typing import NDArray

type Kind = Literal["e", "p"]

_DTYPE_NAMES = {
    "b": "booleans",
    "c": "complex numbers",
    "U": "strings",
    "S": "bytes",
    "O": "Python objects (dtype object)",
    "M": "datetimes",
    "m": "timedeltas",
}


def pandas_index(values: object, name: str, function: str) -> Any | None:
    """The index of a pandas Series, None for anything else; a DataFrame is
    refused, since which of its axes holds the families is a guess. pandas is
    not imported here: a Series exists only once someone has imported it."""
    pandas = sys.modules.get("pandas")
    if pandas is None:
        return None
    if isinstance(values, pandas.Series):
        return values.index
    if isinstance(values, pandas.DataFrame):
        raise TypeError(
            f"{name} is a DataFrame: test one column, tulm.{function}(frame['column']), "
            f"or each column as a family of its own, keeping the labels, with "
            f"frame.apply(lambda column: tulm.{function}(column).rejected); "
            f"tulm.{function}(frame.to_numpy(), axis=0) does the same on a plain array"
        )
    return None


def real_array(values: object, name: str) -> NDArray[np.float64]:
    """values as a float64 array of at least one dimension, without a copy
    when they already are one."""
    pandas = sys.modules.get("pandas")
    if pandas is not None and isinstance(values, pandas.Series):
        dtype = values.dtype
        if pandas.api.types.is_numeric_dtype(dtype) and not pandas.api.types.is_bool_dtype(dtype):
            # Nullable dtypes hold pd.NA, which becomes NaN here.
            values = values.to_numpy(dtype=np.float64, na_value=np.nan)
        else:
            raise TypeError(f"{name} must hold real numbers, got a Series of dtype {dtype}")
    try:
        array = np.asarray(values)
    except ValueError as error:  # ragged nesting
        raise ValueError(f"{name} must be a rectangular array of real numbers: {error}") from None
    if array.dtype.kind not in "iuf":
        got = _DTYPE_NAMES.get(array.dtype.kind, f"dtype {array.dtype}")
        raise TypeError(
            f"{name} must hold real numbers (a numeric array, sequence or Series), got {got}"
        )
    if array.ndim == 0:
        raise ValueError(f"{name} must be a sequence or array of values, got a single number")
    return array.astype(np.float64, copy=False)


def _shown(label: object) -> str:
    """A label as its user wrote it: numpy scalars as the Python value."""
    return repr(label.item() if isinstance(label, np.generic) else label)


def _where(flat_index: int, shape: tuple[int, ...], labels: Any | None) -> str:
    """Where a value is: its label and position in a Series, its index in an array."""
    if labels is not None:
        return f"label {_shown(labels[flat_index])} (position {flat_index})"
    if len(shape) == 1:
        return f"index {flat_index}"
    return f"index {tuple(int(i) for i in np.unravel_index(flat_index, shape))}"


# Arrays longer than this are checked in steps, so that Ctrl-C is answered.
_STEP = 1 << 22


def extremes(values: NDArray[np.float64]) -> tuple[float, float]:
    """(min, max) of a non-empty array, NaN if it holds any."""
    flat = values.reshape(-1)
    if flat.size <= _STEP:
        return float(flat.min()), float(flat.max())
    parts = [extremes(flat[i : i + _STEP]) for i in range(0, flat.size, _STEP)]
    low, high = min(part[0] for part in parts), max(part[1] for part in parts)
    if any(np.isnan(part).any() for part in parts):
        return np.nan, np.nan
    return low, high


def check_values(
    values: NDArray[np.float64],
    name: str,
    kind: Kind,
    nan_policy: str,
    labels: Any | None = None,
    omit_offered: bool = True,
) -> NDArray[np.bool_] | None:
    """Refuses NaN under "raise" and values out of range; returns the NaN mask,
    or None when there is no NaN. `labels`, a Series' index, names where the
    first offending value is."""
    if values.size == 0:
        return None
    # min and max propagate NaN, so the common case needs no isnan pass.
    low, high = extremes(values)
    nan = None
    if np.isnan(low) or np.isnan(high):
        nan = np.isnan(values)
        if nan_policy == "raise":
            count = int(nan.sum())
            first = _where(int(np.argmax(nan)), values.shape, labels)
            advice = "; nan_policy='omit' leaves them untested" if omit_offered else ""
            raise ValueError(
                f"{name} holds {count} NaN value{'s' if count > 1 else ''}, the first "
                f"at {first}{advice}"
            )
        tested = values[~nan]
        if tested.size == 0:
            return nan
        low, high = float(tested.min()), float(tested.max())
    if kind == "p" and (low < 0 or high > 1):
        bad = (values < 0) | (values > 1)
        raise ValueError(
            f"{name} must lie in [0, 1]; {int(bad.sum())} do not, {_first(values, bad, labels)}"
        )
    if kind == "e" and low < 0:
        bad = values < 0
        raise ValueError(
            f"{name} must be >= 0 (+inf is allowed); {int(bad.sum())} are not, "
            f"{_first(values, bad, labels)}"
        )
    return nan


def _first(values: NDArray[np.float64], bad: NDArray[np.bool_], labels: Any | None) -> str:
    first = int(np.argmax(bad))
    return f"the first {float(values.flat[first])!r} at {_where(first, values.shape, labels)}"


def family_sizes(m: object, procedure: str, largest: int) -> NDArray[np.int64] | None:
    """m as int64 (None stays None): integers, none above `largest`."""
    if m is None:
        return None
    given = np.asarray(m)
    if given.dtype.kind not in "iu":
        if given.ndim == 0:
            _integer(m, "m")  # the TypeError that names the type
        got = _DTYPE_NAMES.get(given.dtype.kind, f"dtype {given.dtype}")
        raise TypeError(f"m must be an integer or integers, got {got}")
    if given.size and (given.max() > largest or (given.dtype.kind == "i" and given.min() < 0)):
        if given.min() < 0:
            raise ValueError(f"m must not be negative, got {int(given.min())}")
        reason = (
            "the kernels' sizes are 32-bit"
            if largest < 2**53
            else "larger are not exact as float64"
        )
        raise ValueError(
            f"{procedure} takes families of at most {largest:,} hypotheses ({reason}); "
            f"got {int(given.max()):,}"
        )
    return given.astype(np.int64)


def check_family_size(
    m: object, tested: NDArray[np.intp], procedure: str, largest: int
) -> NDArray[np.intp]:
    """The family size of each family, shaped like `tested`, the number of
    values tested in each: `tested` itself for None, else m, an integer or
    integers broadcast to the families, at least `tested` and at most `largest`."""
    given = family_sizes(m, procedure, largest)
    if given is None:
        return tested
    try:
        sizes = np.broadcast_to(given, tested.shape)
    except ValueError:
        raise ValueError(
            f"m must be one integer or one per family, of shape {tested.shape}; "
            f"got shape {given.shape}"
        ) from None
    short = sizes < tested
    if short.any():
        first = int(np.argmax(short.reshape(-1)))
        family = "" if tested.ndim == 0 else " of a family"
        raise ValueError(
            f"m = {int(sizes.reshape(-1)[first])} is smaller than the "
            f"{int(tested.reshape(-1)[first])} values tested{family}: the family size "
            "counts every hypothesis, given or not"
        )
    return sizes.astype(np.intp)


def check_cutoff(cutoff: object, kind: Kind) -> float | None:
    if cutoff is None:
        return None
    if isinstance(cutoff, (bool, np.bool_)) or not isinstance(cutoff, numbers.Real):
        raise TypeError(f"cutoff must be a real number or None, got {type(cutoff).__name__}")
    value = float(cutoff)
    if kind == "p" and not 0 <= value <= 1:
        raise ValueError(f"cutoff must be a p-value, in [0, 1], got {value!r}")
    if kind == "e" and not value >= 0:
        raise ValueError(f"cutoff must be an e-value, >= 0, got {value!r}")
    return value


def check_flag(value: object, name: str) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, got {type(value).__name__}")
    return bool(value)


def check_alpha(alpha: object) -> float:
    if isinstance(alpha, (bool, np.bool_)) or not isinstance(alpha, numbers.Real):
        raise TypeError(f"alpha must be a real number, got {type(alpha).__name__}")
    level = float(alpha)
    if not 0 < level <= 1:  # also refuses NaN
        raise ValueError(f"alpha must satisfy 0 < alpha <= 1, got {level!r}")
    return level


def check_choice(value: object, name: str, choices: tuple[str, ...], note: str = "") -> None:
    if not isinstance(value, str) or value not in choices:
        allowed = " or ".join(repr(c) for c in choices)
        raise ValueError(f"{name} must be {allowed}, got {value!r}{note}")


def check_nan_policy(nan_policy: object) -> None:
    note = ""
    if nan_policy == "propagate":
        note = (
            ": 'propagate' is not offered, since a NaN hypothesis can be neither rejected nor kept"
        )
    check_choice(nan_policy, "nan_policy", ("raise", "omit"), note)


def _integer(value: object, name: str) -> int:
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer, got bool")
    try:
        return operator.index(value)  # type: ignore[arg-type]
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}") from None


def check_axis(axis: object, ndim: int) -> int:
    """axis as a non-negative index; numpy's AxisError when out of range."""
    return normalize_axis_index(_integer(axis, "axis"), ndim)


def check_workers(workers: object) -> int:
    """The number of threads: workers itself, or every core usable for -1."""
    count = _integer(workers, "workers")
    if count == -1:
        return os.process_cpu_count() or 1
    if count < 1:
        raise ValueError(
            f"workers must be a positive number of threads or -1 for all cores, got {count}"
        )
    return count


def subset_positions(subset: object, m: int) -> NDArray[np.intp]:
    """subset as 0-based positions among m e-values: a boolean mask of length m
    (always read as a mask), or distinct integer positions in range."""
    try:
        chosen = np.asarray(subset)
    except ValueError as error:
        raise ValueError(f"subset must be a boolean mask or integer positions: {error}") from None
    if chosen.ndim != 1:
        raise ValueError(f"subset must be one-dimensional, got {chosen.ndim} dimensions")
    if chosen.dtype.kind == "b":
        if chosen.size != m:
            raise ValueError(
                f"subset is a boolean mask of length {chosen.size}, but evalues has {m} values"
            )
        return np.flatnonzero(chosen)
    if chosen.size == 0:
        return np.empty(0, dtype=np.intp)
    if chosen.dtype.kind not in "iu":
        got = _DTYPE_NAMES.get(chosen.dtype.kind, f"dtype {chosen.dtype}")
        raise TypeError(f"subset must be a boolean mask or integer positions, got {got}")
    low, high = chosen.min(), chosen.max()
    if low < 0:
        raise ValueError(
            f"subset holds the negative position {low}: positions count from 0 "
            "and are not counted from the end"
        )
    if high >= m:
        raise ValueError(f"subset position {high} is out of range for {m} e-values")
    ordered = np.sort(chosen)
    repeated = ordered[1:][ordered[1:] == ordered[:-1]]
    if repeated.size:
        raise ValueError(f"subset repeats position {repeated[0]}")
    return chosen.astype(np.intp, copy=False)


def aligned_subset(subset: object, index: Any | None) -> object:
    """A pandas subset read the pandas way when the e-values are a Series
    (`index`): a boolean Series aligned on the labels, a Series or Index of
    anything else read as labels. Labels that do not match are refused, never
    read by position. Anything else is returned as it came."""
    pandas = sys.modules.get("pandas")
    if pandas is None or index is None:
        return subset
    if not isinstance(subset, (pandas.Series, pandas.Index)):
        return subset
    if isinstance(subset, pandas.Series) and pandas.api.types.is_bool_dtype(subset.dtype):
        if subset.index.equals(index):
            return subset.to_numpy(dtype=bool)
        if not (index.is_unique and subset.index.is_unique):
            raise ValueError(
                "subset is a boolean Series whose labels differ from those of evalues, "
                "and repeated labels make aligning them ambiguous: give a mask on the "
                "same index"
            )
        missing = subset.index.difference(index)
        extra = index.difference(subset.index)
        if len(missing) or len(extra):
            unmatched = missing if len(missing) else extra
            where = "not in evalues" if len(missing) else "of evalues missing from subset"
            raise ValueError(
                f"subset is a boolean Series aligned on labels, but {len(unmatched)} labels "
                f"are {where}, the first {_shown(unmatched[0])}"
            )
        return subset.reindex(index).to_numpy(dtype=bool)
    labels = subset if isinstance(subset, pandas.Index) else pandas.Index(subset.to_numpy())
    if not index.is_unique:
        raise ValueError(
            "subset holds labels, but the index of evalues repeats labels: give positions "
            "or a boolean mask instead"
        )
    positions = index.get_indexer(labels)
    unknown = positions < 0
    if unknown.any():
        raise ValueError(
            f"subset holds {int(unknown.sum())} labels not in the index of evalues, "
            f"the first {_shown(labels[int(np.argmax(unknown))])}"
        )
    return positions
