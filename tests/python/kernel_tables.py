"""The tables callers build for the kernels, written the plain way the kernels
expect them: sums strictly from left to right, as Python floats. The harmonic
table is the package's own, tulm._tables.harmonic_table (checked against a
plain loop in test_package_procedures.py)."""

import itertools
import struct
from collections.abc import Callable, Sequence
from typing import cast

import numpy as np
from numpy.typing import NDArray

import _tulm


def prefix_sums(values):
    """0, v_1, v_1 + v_2, ...: m + 1 running totals."""
    return [0.0, *itertools.accumulate(values)]


_ONE = struct.unpack("<q", struct.pack("<d", 1.0))[0]


def _level(bits: int) -> float:
    """The positive double whose bit pattern is `bits`: they order alike."""
    return float(struct.unpack("<d", struct.pack("<q", bits))[0])


def plain_closed_levels(
    procedure: str, values: NDArray[np.float64], progress: Callable[[int], None] | None = None
) -> NDArray[np.float64]:
    """The plain method of tulm._adjusted.closed_levels, the reference of its
    fast one: A(r) is found by bisection over the doubles in (0, 1],
    running the exact search at each level tried. The bisection splits over
    ranks and levels at once: the count at the middle level sends each rank
    between the counts at the ends to one half. It costs about 60 searches per
    distinct level, so it suits small families and serves as the reference.
    A hypothesis rejected at every positive level gets 0.
    """
    m = len(values)
    kernel = _kernel(procedure, values)
    by_rank = np.ones(m + 1)  # by_rank[r] = A(r); entry 0 unused
    done = m - (top := kernel(1.0))
    if progress is not None:
        progress(done)
    # (low, high, count at low, count at high): the ranks count_low < r <= count_high
    # have their level in (level(low), level(high)].
    pending = [(0, _ONE, 0, top)] if top else []
    while pending:
        low, high, count_low, count_high = pending.pop()
        if high - low == 1:
            by_rank[count_low + 1 : count_high + 1] = 0.0 if low == 0 else _level(high)
            done += count_high - count_low
            if progress is not None:
                progress(done)
            continue
        middle = (low + high) // 2
        count_middle = kernel(_level(middle))
        # Nested in alpha: a count outside its neighbours' would break the order.
        count_middle = min(max(count_middle, count_low), count_high)
        if count_middle < count_high:
            pending.append((middle, high, count_middle, count_high))
        if count_middle > count_low:
            pending.append((low, middle, count_low, count_middle))
    return by_rank[m:0:-1].copy()


def _kernel(procedure: str, values: NDArray[np.float64]) -> Callable[[float], int]:
    family = cast(Sequence[float], values)
    if procedure == "closed e-BH":
        return lambda alpha: _tulm.closede_bh_cpp(family, alpha, False)
    return lambda alpha: _tulm.largestcBYsignificant_cpp(family, alpha)
