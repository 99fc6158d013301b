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
assert_type(by, tulm.Rejections[NDArray[np.bool_], NDArray[np.float64]])
assert_type(by.rejected, NDArray[np.bool_])
assert_type(by.adjusted, NDArray[np.float64] | None)
assert_type(by.count, int | NDArray[np.intp])
genes = np.array([f"gene{i}" for i in range(100)])
discoveries = genes[by.rejected]

closed = tulm.closed_by([0.01, 0.2, 0.003], 0.1, method="approximate", nan_policy="omit")
assert_type(closed.rejected, NDArray[np.bool_])
assert_type(closed.method, "tulm._result.Method | None")

series = pd.Series(pvalues, index=genes)
by_series = tulm.by(series, workers=-1)
assert_type(by_series.rejected, "pd.Series[bool]")
assert_type(by_series.adjusted, "pd.Series[float] | None")
names = series.index[by_series.rejected]

families = tulm.closed_ebh(evalues.reshape(10, 10), axis=0, workers=2)
assert_type(families.count, int | NDArray[np.intp])
assert_type(tulm.ebh(list(evalues)).alpha, float)
assert_type(tulm.is_mean_consistent(evalues, [0, 3]), bool)
assert_type(tulm.is_mean_consistent(evalues, evalues > 10), bool)
