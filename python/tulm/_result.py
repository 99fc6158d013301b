"""The result of a procedure."""

from __future__ import annotations

import dataclasses
import threading
from collections.abc import Callable
from typing import Any, Literal, cast

import numpy as np
from numpy.typing import NDArray

type Procedure = Literal["e-BH", "closed e-BH", "BY", "closed BY"]
type Method = Literal["exact", "approximate"]

# Families listed one by one in the repr up to this many, summed beyond.
_LISTED_FAMILIES = 8


class Lazy[T]:
    """A value computed on first use, once, whichever thread asks first."""

    # Held as object: T only comes out, so Lazy (and Rejections) are covariant in it.
    __slots__ = ("_compute", "_lock", "_value")

    def __init__(self, compute: Callable[[], T]) -> None:
        self._compute: Callable[[], object] | None = compute
        self._lock = threading.Lock()
        self._value: object = None

    def get(self) -> T:
        with self._lock:
            if self._compute is not None:
                self._value, self._compute = self._compute(), None
            return cast(T, self._value)


def ready[T](value: T) -> Lazy[T]:
    """A Lazy holding a value already known."""
    return Lazy(lambda: value)


# Read-only fields make the type parameters covariant: a function annotated
# to return a bare Rejections may return any procedure's result on arrays.
# eq=False: fields holding arrays have no single truth value to compare by.
@dataclasses.dataclass(frozen=True, slots=True, eq=False, repr=False)
class Rejections[
    Mask = NDArray[np.bool_],
    Values = NDArray[np.float64] | None,
    Count = int | NDArray[np.intp],
]:
    """What a procedure rejected, aligned with its input.

    Attributes
    ----------
    rejected : numpy.ndarray of bool, pandas.Series of bool, or dask array
        True for each rejected hypothesis, in the input's shape (on the same
        index when the input was a Series).
    count : int or numpy.ndarray of int
        How many hypotheses were rejected: an int for one-dimensional input,
        otherwise an array over the axes other than ``axis``.
    m : int or numpy.ndarray of int
        The family size the procedure ran with, shaped like `count`: the
        number of values tested (NaN left out under ``nan_policy="omit"`` do
        not count), or the family size given as ``m``.
    alpha : float
        The level the procedure controls the false discovery rate at.
    procedure : {"e-BH", "closed e-BH", "BY", "closed BY"}
        The procedure that ran.
    method : {"exact", "approximate"} or None
        The search of a closed procedure; None for e-BH and BY.
    adjusted : numpy.ndarray of float, pandas.Series of float, or None
        The adjusted levels, shaped and indexed like `rejected`: for each
        hypothesis the smallest level alpha at which the procedure rejects
        it, capped at 1, NaN where the input was NaN. e-BH and BY compute them
        when first read (one sort, then kept); the closed procedures only when
        called with ``adjusted=True``, and None otherwise.
    full_family : bool or None
        Whether the answer is that of the full family of ``m`` hypotheses:
        True when every hypothesis was given, or when the ``cutoff`` the
        values were selected by guarantees it (e-BH and BY); False when that
        cutoff does not; None when hypotheses were left out and nothing tells
        (no cutoff, or a closed procedure). Either way the answer rejects at
        most what the full family would. For several families, True or False
        when it holds for every family (None if unknown for any).

    Examples
    --------
    >>> import tulm
    >>> result = tulm.by([0.01, 0.5, 0.001])
    >>> result.count, result.m, result.alpha, result.procedure
    (2, 3, 0.05, 'BY')
    >>> result.rejected
    array([ True, False,  True])
    >>> result.adjusted.round(4)
    array([0.0275, 0.9167, 0.0055])
    """

    rejected: Mask
    count: Count
    m: Count
    alpha: float
    procedure: Procedure
    method: Method | None
    _adjusted: Lazy[Values]
    full_family: bool | None = True

    @property
    def adjusted(self) -> Values:
        return self._adjusted.get()

    def __reduce__(self) -> tuple[Any, ...]:
        # The adjusted levels travel computed: a pending computation does not pickle.
        return (
            _rebuild,
            (
                self.rejected,
                self.count,
                self.m,
                self.alpha,
                self.procedure,
                self.method,
                self.adjusted,
                self.full_family,
            ),
        )

    def __repr__(self) -> str:
        method = "" if self.method is None else f", method={self.method!r}"
        return (
            f"Rejections(procedure={self.procedure!r}{method}, alpha={self.alpha!r}, "
            f"rejected {self._tally()})"
        )

    def _tally(self) -> str:
        if isinstance(self.count, int):
            return f"{self.count} of {self.m}"
        count, m = np.asarray(self.count), np.asarray(self.m)
        if count.ndim == 1 and count.size <= _LISTED_FAMILIES:
            return f"{count} of {m}"
        return f"{count.sum()} of {m.sum()} in {count.size} families"


def _rebuild(
    rejected: Any,
    count: Any,
    m: Any,
    alpha: float,
    procedure: Procedure,
    method: Method | None,
    adjusted: Any,
    full_family: bool | None,
) -> Rejections[Any, Any, Any]:
    return Rejections(rejected, count, m, alpha, procedure, method, ready(adjusted), full_family)
