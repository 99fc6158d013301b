"""The result of a procedure."""

from __future__ import annotations

import dataclasses
from typing import Literal

import numpy as np
from numpy.typing import NDArray

type Procedure = Literal["e-BH", "closed e-BH", "BY", "closed BY"]
type Method = Literal["exact", "approximate"]

# Families listed one by one in the repr up to this many, summed beyond.
_LISTED_FAMILIES = 8


# eq=False: fields holding arrays have no single truth value to compare by.
@dataclasses.dataclass(frozen=True, slots=True, eq=False)
class Rejections[Mask = NDArray[np.bool_], Values = NDArray[np.float64]]:
    """What a procedure rejected, aligned with its input.

    Attributes
    ----------
    rejected : numpy.ndarray of bool, or pandas.Series of bool
        True for each rejected hypothesis, in the input's shape (on the same
        index when the input was a Series).
    count : int or numpy.ndarray of int
        How many hypotheses were rejected: an int for one-dimensional input,
        otherwise an array over the axes other than ``axis``.
    m : int or numpy.ndarray of int
        How many hypotheses were tested, shaped like `count`; NaN values
        left out under ``nan_policy="omit"`` are not counted.
    alpha : float
        The level the procedure controls the false discovery rate at.
    procedure : {"e-BH", "closed e-BH", "BY", "closed BY"}
        The procedure that ran.
    method : {"exact", "approximate"} or None
        The search of a closed procedure; None for e-BH and BY.
    adjusted : numpy.ndarray of float, pandas.Series of float, or None
        For BY only, the BY-adjusted p-values in the input's order and shape,
        capped at 1, NaN where the input was NaN; None for the others.

    Examples
    --------
    >>> import tulm
    >>> result = tulm.by([0.01, 0.5, 0.001])
    >>> result.count, result.m, result.alpha, result.procedure
    (2, 3, 0.05, 'BY')
    >>> result.rejected
    array([ True, False,  True])
    """

    rejected: Mask
    count: int | NDArray[np.intp]
    m: int | NDArray[np.intp]
    alpha: float
    procedure: Procedure
    method: Method | None = None
    adjusted: Values | None = None

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
