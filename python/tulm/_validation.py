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


def pandas_index(values: object) -> Any | None:
    """The index of a pandas Series, None for anything else. pandas is not
    imported here: a Series exists only once someone has imported it."""
    pandas = sys.modules.get("pandas")
    if pandas is not None and isinstance(values, pandas.Series):
        return values.index
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


def _position(flat_index: int, shape: tuple[int, ...]) -> int | tuple[int, ...]:
    if len(shape) == 1:
        return flat_index
    return tuple(int(i) for i in np.unravel_index(flat_index, shape))


def check_values(
    values: NDArray[np.float64], name: str, kind: Kind, nan_policy: str
) -> NDArray[np.bool_] | None:
    """Refuses NaN under "raise" and values out of range; returns the NaN mask,
    or None when there is no NaN."""
    if values.size == 0:
        return None
    # min and max propagate NaN, so the common case needs no isnan pass.
    low, high = values.min(), (values.max() if kind == "p" else 0.0)
    nan = None
    if np.isnan(low) or np.isnan(high):
        nan = np.isnan(values)
        if nan_policy == "raise":
            count = int(nan.sum())
            first = _position(int(np.argmax(nan)), values.shape)
            raise ValueError(
                f"{name} holds {count} NaN value{'s' if count > 1 else ''}, the first "
                f"at index {first}; nan_policy='omit' leaves them untested"
            )
        tested = values[~nan]
        if tested.size == 0:
            return nan
        low, high = tested.min(), (tested.max() if kind == "p" else 0.0)
    if kind == "p" and (low < 0 or high > 1):
        bad = (values < 0) | (values > 1)
        raise ValueError(
            f"{name} must lie in [0, 1]; {int(bad.sum())} do not, {_first(values, bad)}"
        )
    if kind == "e" and low < 0:
        bad = values < 0
        raise ValueError(
            f"{name} must be >= 0 (+inf is allowed); {int(bad.sum())} are not, "
            f"{_first(values, bad)}"
        )
    return nan


def _first(values: NDArray[np.float64], bad: NDArray[np.bool_]) -> str:
    first = int(np.argmax(bad))
    return f"the first {float(values.flat[first])!r} at index {_position(first, values.shape)}"


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
