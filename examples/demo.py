"""Multiple testing on a simulated screen of 10,000 hypotheses.

Each hypothesis i has a statistic z_i ~ N(mu_i, 1). Most are nulls (mu_i = 0);
5 % are signals with mu_i = 3. From the same statistics the demo forms
  - likelihood-ratio e-values  e_i = exp(3 z_i - 9/2)  (alternative N(3, 1) over N(0, 1)),
  - one-sided p-values         p_i = P(N(0, 1) >= z_i),
sorts them the way the kernels expect (e-values ascending, p-values
descending), asks _tulm how many hypotheses each procedure rejects, and
counts how many of those are true signals.
"""

import math
import time

import numpy as np

import _tulm

M = 10_000
SIGNAL_FRACTION = 0.05
SHIFT = 3.0
ALPHA = 0.05
SEED = 20261207


def simulate(m, signal_fraction, shift, rng):
    """Returns (is_signal, evalues, pvalues) for m independent hypotheses."""
    is_signal = np.zeros(m, dtype=bool)
    is_signal[: round(m * signal_fraction)] = True
    rng.shuffle(is_signal)
    z = rng.standard_normal(m) + shift * is_signal
    evalues = np.exp(shift * z - shift * shift / 2)
    pvalues = np.array([0.5 * math.erfc(x / math.sqrt(2.0)) for x in z])
    return is_signal, evalues, pvalues


def harmonic_table(m):
    """[0, H_1, ..., H_m], summed left to right as the BY kernels expect."""
    return np.concatenate(([0.0], np.cumsum(1.0 / np.arange(1, m + 1))))


# (procedure, kind, call): kind "e" gets ascending e-values, "p" descending p-values.
PROCEDURES = [
    ("e-BH", "e", lambda evalues: _tulm.eBH_cpp(evalues, ALPHA)),
    ("closed e-BH", "e", lambda evalues: _tulm.closede_bh_cpp(evalues, ALPHA)),
    ("closed e-BH (approximate)", "e",
     lambda evalues: _tulm.closede_bh_cpp(evalues, ALPHA, approximate=True)),
    ("BY", "p", lambda pvalues: _tulm.BY_cpp(pvalues, harmonic_table(len(pvalues)), ALPHA)),
    ("closed BY", "p", lambda pvalues: _tulm.largestcBYsignificant_cpp(pvalues, ALPHA)),
    ("closed BY (approximate)", "p",
     lambda pvalues: _tulm.largestcBYsignificant_approximate_cpp(pvalues, ALPHA)),
]


def main():
    rng = np.random.default_rng(SEED)
    is_signal, evalues, pvalues = simulate(M, SIGNAL_FRACTION, SHIFT, rng)
    # The k rejected hypotheses are always the last k of the sorted order.
    order = {
        "e": np.argsort(evalues, kind="stable"),
        "p": np.argsort(-pvalues, kind="stable"),
    }
    sorted_values = {"e": evalues[order["e"]], "p": pvalues[order["p"]]}

    print(f"{M:,} hypotheses, {is_signal.sum():,} signals (mean shift {SHIFT}), "
          f"level alpha = {ALPHA}, seed {SEED}\n")
    header = f"{'procedure':<28}{'rejections':>11}{'true':>7}{'false':>7}{'FDP':>7}{'time':>11}"
    print(header)
    print("-" * len(header))
    for name, kind, call in PROCEDURES:
        start = time.perf_counter()
        k = call(sorted_values[kind])
        elapsed = time.perf_counter() - start
        rejected = order[kind][M - k:]
        true = int(is_signal[rejected].sum())
        false = k - true
        fdp = false / k if k else 0.0
        print(f"{name:<28}{k:>11,}{true:>7,}{false:>7,}{fdp:>7.3f}{elapsed * 1e3:>8.2f} ms")


if __name__ == "__main__":
    main()
