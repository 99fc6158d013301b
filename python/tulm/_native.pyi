"""The tulm package's own entry points into the kernel library."""

import numpy as np
from numpy.typing import NDArray

def select_candidates(
    values: NDArray[np.float64], bound: float, below: bool
) -> NDArray[np.float64]: ...
