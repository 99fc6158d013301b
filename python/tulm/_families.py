"""Runs a kernel over independent families of hypotheses: sorts each family,
calls the kernel on the sorted values and maps its count back to a mask."""

from __future__ import annotations

import itertools
import threading
from collections.abc import Callable, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import cast

import numpy as np
from numpy.typing import NDArray

# A kernel's count for one family, its values least significant first
# (e-values ascending, p-values descending) in a contiguous float64 array.
type Kernel = Callable[[Sequence[float]], int]


class Families:
    """The outcome of a kernel on each row of a 2-d array of values.

    Each row is one family. Its hypotheses are ranked most significant first
    (largest e-value or smallest p-value), NaN last, and the kernel's count k
    rejects the first k. Among equal values, earlier positions come first, as
    a stable sort would place them. `tested` holds each row's number of
    non-NaN values.
    """

    def __init__(
        self,
        values: NDArray[np.float64],
        tested: NDArray[np.intp],
        larger_first: bool,
        kernel: Kernel,
        workers: int,
        harmonic: NDArray[np.float64] | None = None,
    ):
        self.rejected = np.zeros(values.shape, dtype=bool)
        self.counts = np.zeros(len(values), dtype=np.intp)
        # Given a harmonic table, also the BY-adjusted p-values.
        self.adjusted = None if harmonic is None else np.empty(values.shape)
        self._values = np.ascontiguousarray(values)
        self._tested, self._harmonic = tested, harmonic
        self._larger_first, self._kernel = larger_first, kernel
        self._stopping = threading.Event()
        # Blocks of whole rows: each is sorted, counted and written on its own,
        # so the outcome does not depend on how many there are.
        blocks = min(workers, len(values))
        if blocks <= 1:
            self._run(0, len(values))
            return
        bounds = [len(values) * i // blocks for i in range(blocks + 1)]
        # Only the main thread's kernels answer Ctrl-C. On KeyboardInterrupt
        # (or any failure) the other threads stop after their current family,
        # and the caller does not wait for them.
        pool = ThreadPoolExecutor(max_workers=blocks)
        try:
            for done in [
                pool.submit(self._run, start, stop) for start, stop in itertools.pairwise(bounds)
            ]:
                done.result()
        except BaseException:
            self._stopping.set()
            pool.shutdown(wait=False, cancel_futures=True)
            raise
        pool.shutdown()

    def _run(self, start: int, stop: int) -> None:
        block, tested = self._values[start:stop], self._tested[start:stop]
        n = block.shape[1]
        # numpy's default sort is several times faster than its stable one;
        # the order among equal values matters only where a tie straddles a
        # family's cut, which is settled below.
        order = np.argsort(-block if self._larger_first else block, axis=-1)
        flat = order + (np.arange(start, stop) * n)[:, None]
        # The kernels take the least significant value first. A row's NaN rank
        # last, so its tested values are the contiguous tail of its row here.
        kernel_input = self._values.reshape(-1)[flat[:, ::-1]]
        for row, m in enumerate(tested.tolist()):
            if self._stopping.is_set():
                return
            tail = kernel_input[row, n - m :]
            k = self._kernel(cast(Sequence[float], tail))
            self.counts[start + row] = k
            chosen = order[row, :k]
            if 0 < k < m and tail[m - k] == tail[m - k - 1]:
                chosen = _earliest_first(order[row, :m], tail[::-1], k)
            self.rejected[start + row, chosen] = True
        if self.adjusted is not None and self._harmonic is not None:
            self.adjusted.reshape(-1)[flat] = by_adjusted(
                kernel_input[:, ::-1], tested, self._harmonic
            )


def _earliest_first(
    order: NDArray[np.intp], ranked: NDArray[np.float64], k: int
) -> NDArray[np.intp]:
    """The first k positions of a ranking whose k-th and (k+1)-th values are
    equal, with that run of equal values put in increasing position."""
    run = np.flatnonzero(ranked == ranked[k - 1])  # contiguous: ranked is sorted
    first = int(run[0])
    return np.concatenate((order[:first], np.sort(order[run])[: k - first]))


def by_adjusted(
    ascending: NDArray[np.float64], tested: NDArray[np.intp], harmonic: NDArray[np.float64]
) -> NDArray[np.float64]:
    """BY-adjusted p-values of rows sorted ascending, NaN last: the running
    minimum from the right of (m * H_m) * p_(k) / k, capped at 1. The scaled
    values are the ones the BY kernel compares with alpha, rounded the same way."""
    n = ascending.shape[1]
    factor = tested.astype(np.float64) * harmonic[tested]
    scaled = (factor[:, None] * ascending) / np.arange(1.0, n + 1.0)
    # fmin passes over the NaN at the end of a row, which stay NaN.
    adjusted = np.fmin.accumulate(scaled[:, ::-1], axis=-1)[:, ::-1]
    return np.minimum(adjusted, 1.0)
