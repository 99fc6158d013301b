"""The tables callers build for the kernels, written the plain way the kernels
expect them: sums strictly from left to right, as Python floats."""

import itertools


def harmonic_table(m):
    """H_0 = 0, H_i = H_(i-1) + 1.0 / i for i = 1 .. m."""
    table = [0.0]
    for i in range(1, m + 1):
        table.append(table[-1] + 1.0 / i)
    return table


def prefix_sums(values):
    """0, v_1, v_1 + v_2, ...: m + 1 running totals."""
    return [0.0, *itertools.accumulate(values)]
