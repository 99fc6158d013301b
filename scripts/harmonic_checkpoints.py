"""Writes python/tulm/_harmonic_checkpoints.npy: the harmonic numbers H_0,
H_S, H_2S, ... (S = 2^16) below the kernels' largest family, 2^31 - 2, each
summed strictly from left to right (H_i = H_(i-1) + 1.0 / i) as the kernels'
tables are. The package continues from the nearest checkpoint below m, so
H_m costs at most S additions instead of m.

    .venv/bin/python scripts/harmonic_checkpoints.py    # about a minute
"""

import pathlib

import numpy as np

STEP = 1 << 16
LARGEST = (1 << 31) - 2
TARGET = pathlib.Path(__file__).resolve().parent.parent / "python/tulm/_harmonic_checkpoints.npy"


def main() -> None:
    count = LARGEST // STEP + 1
    checkpoints = np.zeros(count)
    block = np.empty(STEP + 1)
    for j in range(1, count):
        # cumsum accumulates in order: [H, 1/(i+1), ..., 1/(i+S)] continues the sum.
        block[0] = checkpoints[j - 1]
        np.divide(1.0, np.arange((j - 1) * STEP + 1.0, j * STEP + 1.0), out=block[1:])
        checkpoints[j] = np.cumsum(block)[-1]
    np.save(TARGET, checkpoints)
    print(f"{TARGET}: {count} checkpoints, H_{(count - 1) * STEP} = {checkpoints[-1]!r}")


if __name__ == "__main__":
    main()
