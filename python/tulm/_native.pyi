"""The tulm package's own entry points into the kernel library."""

from collections.abc import Callable

import numpy as np
from numpy.typing import NDArray

def select_candidates(
    values: NDArray[np.float64], bound: float, below: bool
) -> NDArray[np.float64]: ...
def closed_ebh_levels(
    evalues: NDArray[np.float64], progress: Callable[[int, int], object] | None = None
) -> NDArray[np.float64]: ...
def closed_by_levels(
    pvalues: NDArray[np.float64], progress: Callable[[int, int], object] | None = None
) -> NDArray[np.float64]: ...
