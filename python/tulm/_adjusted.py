"""Adjusted levels of the closed procedures.

The adjusted level of a hypothesis is the smallest level alpha at which the
procedure rejects it, capped at 1. The exact searches are nested in alpha
(the set rejected at a level contains the set rejected at any smaller level),
and ties go to earlier positions, so the rejected set at alpha is the first
count(alpha) hypotheses in significance order and the adjusted level of rank
r is A(r), the least alpha with count(alpha) >= r: non-decreasing in r. The
kernel library computes them (docs/adjusted-levels.rst says how).
"""

from __future__ import annotations

from collections.abc import Callable
from typing import Literal

import numpy as np
from numpy.typing import NDArray

from . import _native

type ClosedProcedure = Literal["closed e-BH", "closed BY"]
# Told the number of hypotheses of the family whose levels are known so far.
type Progress = Callable[[int], None]


def closed_levels(
    procedure: ClosedProcedure, values: NDArray[np.float64], progress: Progress | None = None
) -> NDArray[np.float64]:
    """The adjusted level of each hypothesis of one family.

    `values` is the family as the kernels take it: contiguous float64 without
    NaN, e-values ascending (closed e-BH) or p-values descending (closed BY),
    least significant first. Entry i of the result is the adjusted level of
    the hypothesis at values[i], whose rank is m - i. `progress`, if given, is
    called with the number of hypotheses whose level is known, as it grows.
    The GIL is released meanwhile, and Ctrl-C stops the computation.
    """
    report = None if progress is None else lambda done, _total: progress(done)
    if procedure == "closed e-BH":
        return _native.closed_ebh_levels(values, report)
    return _native.closed_by_levels(values, report)
