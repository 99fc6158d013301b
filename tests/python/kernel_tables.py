"""The tables callers build for the kernels, written the plain way the kernels
expect them: sums strictly from left to right, as Python floats. The harmonic
table is the package's own, tulm._tables.harmonic_table (checked against a
plain loop in test_package_procedures.py)."""

import itertools


def prefix_sums(values):
    """0, v_1, v_1 + v_2, ...: m + 1 running totals."""
    return [0.0, *itertools.accumulate(values)]
