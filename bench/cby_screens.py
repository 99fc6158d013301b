"""The three p-value screens of the closed BY benchmark, sorted descending.

    demo         the demo's simulated screen (simulate.py): 5 % signals, shift 3
    log-uniform  np.geomspace(1, 1e-12, m): strong signals everywhere
    linear       twice the BY critical values, min(1, 2 alpha i / (m H_m)),
                 i = 1 ... m, with H_m summed left to right

Each is a pure function of m, so answers computed once stay valid.
"""

import numpy as np

from simulate import Screen, harmonic_table

ALPHA = 0.05


def demo(m):
    return Screen(m).pvalues_descending


def log_uniform(m):
    return np.geomspace(1.0, 1e-12, m)


def linear(m):
    i = np.arange(1, m + 1, dtype=np.float64)
    critical = 2.0 * ALPHA * i / (m * harmonic_table(m)[m])
    return np.minimum(1.0, critical)[::-1].copy()


SCREENS = {"demo": demo, "log-uniform": log_uniform, "linear": linear}
