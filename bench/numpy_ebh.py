"""The e-BH count written with vectorised numpy, as a caller without the
extension would: the same products in the same order, so the same count."""

import numpy as np

EBH_THRESHOLD = 1.000000000001


def ebh_count_numpy(evalues, alpha):
    """Largest k with (k * e_(k)) * (alpha / m) >= 1.000000000001 for ascending
    e-values (entry i holds the (m - i)-th largest), else 0."""
    m = len(evalues)
    if m == 0:
        return 0
    sizes = np.arange(m, 0, -1, dtype=np.float64)
    passing = (sizes * evalues) * (alpha / m) >= EBH_THRESHOLD
    first = int(passing.argmax())
    return m - first if passing[first] else 0
