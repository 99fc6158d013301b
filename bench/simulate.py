"""Simulated screens of m hypotheses, the data of examples/demo.py at any m.

Each hypothesis i has a statistic z_i ~ N(mu_i, 1): nulls have mu_i = 0, a
fixed 5 % of signals (at random positions) have mu_i = 3. From the same
statistics come
  - likelihood-ratio e-values  e_i = exp(3 z_i - 9/2),
  - one-sided p-values         p_i = P(N(0, 1) >= z_i) = 0.5 erfc(z_i / sqrt 2),
and the kernels' other inputs: the harmonic table (the package's own,
tulm._tables.harmonic_table) and the prefix sums, both summed from left to
right. simulate() is the demo's own.
"""

import pathlib
import sys

import numpy as np

from tulm._tables import harmonic_table

# The demo's own generator, so the benchmarks run on exactly the demo's data.
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent.parent / "examples"))
from demo import simulate

SIGNAL_FRACTION = 0.05
SHIFT = 3.0
SEED = 20261207


def prefix_sums(values):
    """[0, v_1, v_1 + v_2, ...], summed left to right (cumsum accumulates in order)."""
    return np.concatenate(([0.0], np.cumsum(values)))


class Screen:
    """One simulated screen in every layout the kernels take."""

    def __init__(self, m, signal_fraction=SIGNAL_FRACTION, shift=SHIFT, seed=SEED):
        self.m = m
        self.is_signal, self.evalues, self.pvalues = simulate(
            m, signal_fraction, shift, np.random.default_rng(seed)
        )
        self.evalues_ascending = np.sort(self.evalues)
        self.pvalues_descending = np.sort(self.pvalues)[::-1].copy()
        self.harmonic = harmonic_table(m)
        self.cum_e = prefix_sums(self.evalues_ascending)
        self.signal_positions = np.flatnonzero(self.is_signal).astype(np.int32)
