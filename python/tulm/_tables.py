"""The tables the kernels take, built as the kernels expect them, and the
harmonic number H_m of any family size."""

from __future__ import annotations

import decimal
import functools
import pathlib

import numpy as np
from numpy.typing import NDArray

# The largest family the kernels take: their sizes are 32-bit, and m + 1
# entries of a harmonic table must fit.
KERNEL_LARGEST = 2**31 - 2
# Family sizes must be exact as float64, as the kernels' float(m) is.
LARGEST_FAMILY = 2**53

# H_(j * STEP) for j = 0, 1, ... up to KERNEL_LARGEST, summed left to right
# (scripts/harmonic_checkpoints.py writes them).
_STEP = 1 << 16
_CHECKPOINTS = pathlib.Path(__file__).with_name("_harmonic_checkpoints.npy")

# Euler's constant to 50 digits.
_EULER_GAMMA = decimal.Decimal("0.57721566490153286060651209008240243104215933593992")


def harmonic_table(m: int) -> NDArray[np.float64]:
    """H_0 = 0 and H_i = H_(i-1) + 1/i up to H_m, summed left to right
    (cumsum accumulates in order): the kernels' tolerance sits in the last bit."""
    table = np.zeros(m + 1)
    np.cumsum(1.0 / np.arange(1.0, m + 1.0), out=table[1:])
    return table


@functools.cache
def _checkpoints() -> NDArray[np.float64]:
    checkpoints: NDArray[np.float64] = np.load(_CHECKPOINTS)
    return checkpoints


@functools.lru_cache(maxsize=256)
def harmonic_number(m: int) -> float:
    """H_m as the BY procedure uses it.

    Up to the kernels' largest family, the left-to-right sum of their tables,
    bit for bit: continued from the stored checkpoint below m, so it costs at
    most 2^16 additions. Beyond, the double nearest H_m, from the expansion
    ln m + gamma + 1/(2m) - 1/(12 m^2) + 1/(120 m^4) in 40-digit decimal
    arithmetic (the next term is below 1/(252 m^6), far under one rounding);
    a left-to-right sum of billions of terms would drift from H_m by many
    roundings and take seconds.
    """
    if m <= KERNEL_LARGEST:
        j = m // _STEP
        start = _checkpoints()[j]
        if m == j * _STEP:
            return float(start)
        terms = np.empty(m - j * _STEP + 1)
        terms[0] = start
        np.divide(1.0, np.arange(j * _STEP + 1.0, m + 1.0), out=terms[1:])
        return float(np.cumsum(terms)[-1])
    with decimal.localcontext(prec=40):
        n = decimal.Decimal(m)
        inverse_square = 1 / (n * n)
        value = (
            n.ln()
            + _EULER_GAMMA
            + 1 / (2 * n)
            - inverse_square / 12
            + inverse_square * inverse_square / 120
        )
        return float(value)
