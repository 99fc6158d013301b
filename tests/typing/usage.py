"""Calls a user would write, checked by mypy --strict (make typecheck): arrays,
lists and Series go in without casts, and the results have precise types."""

from typing import assert_type

import numpy as np
import pandas as pd
from numpy.typing import NDArray

import tulm

pvalues = np.random.default_rng(0).random(100)
evalues = 1 / pvalues

by = tulm.by(pvalues)
assert_type(by, tulm.Rejections[NDArray[np.bool_], NDArray[np.float64], int])
assert_type(by.rejected, NDArray[np.bool_])
# Always there for e-BH and BY, computed when read.
assert_type(by.adjusted, NDArray[np.float64])
assert_type(by.full_family, bool | None)
genes = np.array([f"gene{i}" for i in range(100)])
discoveries = genes[by.rejected]

# One family, whatever the array's static shape: an int count.
n: int = tulm.closed_by(pvalues).count
size: int = tulm.by([0.01, 0.2, 0.003], m=10_000, cutoff=0.05).m
closed = tulm.closed_by([0.01, 0.2, 0.003], 0.1, method="approximate", nan_policy="omit")
assert_type(closed.rejected, NDArray[np.bool_])
assert_type(closed.method, "tulm._result.Method | None")
# The closed procedures' levels only when asked for.
assert_type(closed.adjusted, None)
assert_type(tulm.closed_ebh(evalues, adjusted=True).adjusted, NDArray[np.float64])
asked = bool(pvalues[0] < 0.5)
assert_type(tulm.closed_by(pvalues, adjusted=asked).adjusted, NDArray[np.float64] | None)

series = pd.Series(pvalues, index=genes)
by_series = tulm.by(series, workers=-1)
assert_type(by_series.rejected, "pd.Series[bool]")
assert_type(by_series.adjusted, "pd.Series[float]")
assert_type(by_series.count, int)
names = series.index[by_series.rejected]
assert_type(tulm.closed_by(series, adjusted=True, progress=True).adjusted, "pd.Series[float]")

# Several families: arrays of counts.
grid = np.ones((10, 10))
families = tulm.closed_ebh(grid, axis=0, workers=2)
assert_type(families.count, NDArray[np.intp])
assert_type(tulm.by([[0.01, 0.2], [0.5, 0.003]]).m, NDArray[np.intp])
assert_type(tulm.ebh(list(evalues)).alpha, float)

# A bare Rejections takes any procedure's result on arrays.
results: list[tulm.Rejections] = [tulm.ebh(evalues), tulm.closed_by(pvalues), families]

assert_type(tulm.is_mean_consistent(evalues, [0, 3]), bool)
assert_type(tulm.is_mean_consistent(evalues, evalues > 10), bool)
