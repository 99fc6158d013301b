"""e-BH and BY from their candidates.

Only values past a bound known before sorting can be rejected: a BY rejection
has p <= (alpha + 1e-10) / H_m, an e-BH rejection e >= 1 / alpha. One pass
selects them, and only they are sorted. The counts are the kernels' own, bit
for bit: the same float64 operations in the same order (numpy rounds each
elementwise operation once and fuses none), so the only change is that sizes
whose value cannot pass are not scanned.

Neither count ever ends inside a run of equal values (at a larger size the
same value passes more easily), so the rejected hypotheses are exactly those
at or past the last rejected value: one comparison gives the mask.
"""

from __future__ import annotations

import math
from collections.abc import Sequence

import numpy as np
from numpy.typing import NDArray

from . import _native
from ._validation import Kind

# The kernels' constants: an e-BH product must reach this; a BY excess may
# not exceed the tolerance.
EBH_THRESHOLD = 1.000000000001
BY_TOLERANCE = 1e-10
# Selection bounds are widened by this much: the rounding of the kernels'
# operations moves a passing value by a few units in the last place, far less.
_MARGIN = 1e-9
# Values compared per step of a long pass (Ctrl-C is answered between
# steps), and per call of the selection pass, a few milliseconds each.
CHUNK = 1 << 20
_SCAN_STEP = 1 << 22


def candidate_bound(kind: Kind, alpha: float, harmonic: float) -> float:
    """Every value that can be rejected is at or below this p-value, or at or
    above this e-value, whatever its rank."""
    if kind == "p":
        # An empty family (H_0 = 0) has nothing to select.
        return (alpha + BY_TOLERANCE) / harmonic * (1 + _MARGIN) if harmonic else 1.0
    return (1.0 / alpha) * (1 - _MARGIN)


def adjusted_bound(kind: Kind, harmonic: float) -> float:
    """Values past this bound (p-values at or above, e-values at or below)
    have adjusted level 1: every term of their minimum is at least 1."""
    if kind == "p":
        return (1.0 / harmonic) * (1 + _MARGIN) if harmonic else 1.0
    return 1.0


def scan(
    values: NDArray[np.float64], kind: Kind, bound: float
) -> tuple[NDArray[np.float64], float]:
    """(candidates, extreme) of one pass over a 1-d array: the values at or
    past the bound, never NaN, in no particular order; and the greatest
    p-value or least e-value, NaN if any value is NaN. In steps, so that
    Ctrl-C is answered between them."""
    parts, extreme = [], -math.inf if kind == "p" else math.inf
    # Past the bound lie the least p-values and the greatest e-values: the
    # other end of the range is the one to check.
    reduce = np.max if kind == "p" else np.min
    for i in range(0, values.size, _SCAN_STEP):
        step = np.ascontiguousarray(values[i : i + _SCAN_STEP])
        found = float(reduce(step))
        extreme = found if math.isnan(found) or math.isnan(extreme) else reduce([extreme, found])
        parts.append(_native.select_candidates(step, bound, kind == "p"))
    candidates = parts[0] if len(parts) == 1 else np.concatenate([np.empty(0), *parts])
    return candidates, float(extreme)


def narrowed(
    kind: Kind,
    candidates: NDArray[np.float64] | Sequence[NDArray[np.float64]],
    m: int,
    alpha: float,
    harmonic: float,
    tolerance: float = BY_TOLERANCE,
) -> float:
    """A bound past which no candidate can pass. A value that passes at rank
    k has at least k candidates as significant as itself, so k is at most
    their number n, and the bound at rank n holds for it: (alpha + 1e-10) n /
    (m H_m) for p-values, m / (n alpha) for e-values; repeated while it
    drops many. The values within the bound are again the most significant
    ones, so counting over them gives the same count. With alpha = 1 and no
    tolerance, the values with an adjusted level below 1 lie within it. The
    candidates may come in parts."""
    parts = [candidates] if isinstance(candidates, np.ndarray) else candidates
    bound = math.inf if kind == "p" else -math.inf
    n = sum(part.size for part in parts)
    while n:
        # The bounds drop, so counting among all the candidates counts
        # among those within the previous bound.
        if kind == "p":
            bound = ((alpha + tolerance) * n / (m * harmonic)) * (1 + _MARGIN)
            kept = sum(int(np.count_nonzero(part <= bound)) for part in parts)
        else:
            bound = (m / (n * alpha)) * (1 - _MARGIN)
            kept = sum(int(np.count_nonzero(part >= bound)) for part in parts)
        if kept > 0.9 * n:
            break
        n = kept
    return bound


def select(values: NDArray[np.float64], kind: Kind, bound: float) -> NDArray[np.float64]:
    """The values at or past the bound (never NaN)."""
    return scan(values, kind, bound)[0]


def past(values: NDArray[np.float64], kind: Kind, last: float) -> NDArray[np.bool_]:
    """The mask of the values at or past `last`, the last rejected value."""
    mask = np.empty(values.shape, dtype=bool)
    flat_values, flat_mask = values.reshape(-1), mask.reshape(-1)
    compare = np.less_equal if kind == "p" else np.greater_equal
    for i in range(0, flat_values.size, CHUNK):
        compare(flat_values[i : i + CHUNK], last, out=flat_mask[i : i + CHUNK])
    return mask


def count(kind: Kind, ranked: NDArray[np.float64], m: int, alpha: float, harmonic: float) -> int:
    """The kernel's count on a family of m hypotheses whose most significant
    values are `ranked` (p-values ascending, e-values descending), given that
    no value beyond them can pass."""
    if ranked.size == 0:
        return 0
    passing = _passing(kind, ranked, float(m), alpha, harmonic)
    found = np.flatnonzero(passing)
    return int(found[-1]) + 1 if found.size else 0


def counts(
    kind: Kind,
    ranked: NDArray[np.float64],
    m: NDArray[np.intp],
    alpha: float,
    harmonic: NDArray[np.float64],
) -> NDArray[np.intp]:
    """`count` for each row of `ranked`."""
    if ranked.shape[1] == 0:
        return np.zeros(len(ranked), dtype=np.intp)
    sizes = m.astype(np.float64)[:, None]
    passing = _passing(kind, ranked, sizes, alpha, harmonic[:, None])
    last = ranked.shape[1] - np.argmax(passing[:, ::-1], axis=1)
    return np.where(passing.any(axis=1), last, 0).astype(np.intp)


def _passing(
    kind: Kind,
    ranked: NDArray[np.float64],
    m: float | NDArray[np.float64],
    alpha: float,
    harmonic: float | NDArray[np.float64],
) -> NDArray[np.bool_]:
    k = np.arange(1.0, ranked.shape[-1] + 1.0)
    with np.errstate(invalid="ignore", over="ignore"):
        if kind == "p":
            # The BY kernel: excess = ((m * H_m) * p) / k - alpha <= 1e-10.
            factor = m * harmonic
            return ((factor * ranked) / k) - alpha <= BY_TOLERANCE
        # The e-BH kernel: (k * e) * (alpha / m) >= 1.000000000001.
        scale = alpha / m
        return (k * ranked) * scale >= EBH_THRESHOLD


def passes_at_m(kind: Kind, value: float, m: int, alpha: float, harmonic: float) -> bool:
    """Whether a value would pass at the largest size, m, where it passes most
    easily: if not, no value at or past it passes at any size."""
    ranked = np.array([value])
    if kind == "p":
        return bool(((float(m) * harmonic) * ranked) / float(m) - alpha <= BY_TOLERANCE)
    return bool((float(m) * ranked) * (alpha / float(m)) >= EBH_THRESHOLD)


def adjusted_levels(
    kind: Kind,
    ranked: NDArray[np.float64],
    m: float | NDArray[np.float64],
    harmonic: float | NDArray[np.float64],
) -> NDArray[np.float64]:
    """Adjusted levels of ranked values (along the last axis; NaN last stay
    NaN): the least, over ranks k at or past each one's, of the scaled value
    the kernel compares with alpha, capped at 1. BY: ((m * H_m) * p) / k, as
    R's p.adjust(p, "BY"); e-BH: m / (k * e)."""
    k = np.arange(1.0, ranked.shape[-1] + 1.0)
    with np.errstate(divide="ignore", invalid="ignore", over="ignore"):
        if kind == "p":
            scaled = ((m * harmonic) * ranked) / k
        else:
            scaled = m / (k * ranked)
    # fmin passes over the NaN at the end, which stay NaN.
    least = np.fmin.accumulate(scaled[..., ::-1], axis=-1)[..., ::-1]
    return np.minimum(least, 1.0)
