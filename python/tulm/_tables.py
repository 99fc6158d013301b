"""The tables the kernels take, built as the kernels expect them."""

from __future__ import annotations

import numpy as np
from numpy.typing import NDArray


def harmonic_table(m: int) -> NDArray[np.float64]:
    """H_0 = 0 and H_i = H_(i-1) + 1/i up to H_m, summed left to right
    (cumsum accumulates in order): the kernels' tolerance sits in the last bit."""
    table = np.zeros(m + 1)
    np.cumsum(1.0 / np.arange(1.0, m + 1.0), out=table[1:])
    return table
