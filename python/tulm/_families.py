"""Runs a procedure over independent families of hypotheses, the rows of a
2-d array, in blocks of rows on `workers` threads.

Each family's hypotheses are ranked most significant first (largest e-value
or smallest p-value), NaN last; among equal values, earlier positions come
first, as a stable sort would place them. A family of `size` hypotheses of
which `tested` were given holds size - tested stand-ins, the least
significant possible values (p = 1, e = 0), ranked after the given ones and
never rejected.
"""

from __future__ import annotations

import itertools
import threading
from collections.abc import Callable, Sequence
from concurrent.futures import FIRST_EXCEPTION, ThreadPoolExecutor, wait
from typing import cast

import numpy as np
from numpy.typing import NDArray

from . import _select
from ._adjusted import ClosedProcedure, Progress, closed_levels
from ._tables import harmonic_number
from ._validation import Kind

# A kernel's count for one family, its values least significant first
# (e-values ascending, p-values descending) in a contiguous float64 array.
type Kernel = Callable[[Sequence[float]], int]

# Sorts of more values than this run off the main thread, which stays free
# to answer Ctrl-C (numpy sorts with the GIL released, but the main thread
# runs signal handlers only between bytecodes).
_LONG_SORT = 1 << 20
# e-BH and BY take threads from this many values on.
_THREADED = 1 << 20
# Closed procedures mark rows up to this long together, longer ones one by one.
_ROW_BY_ROW = 1 << 12


def interruptible[T](work: Callable[[], T], size: int) -> T:
    """work(), answering Ctrl-C at once when on the main thread; an
    interrupted work item finishes unobserved in the background."""
    if size < _LONG_SORT or threading.current_thread() is not threading.main_thread():
        return work()
    outcome: list[tuple[bool, object]] = []
    finished = threading.Event()

    def run() -> None:
        try:
            outcome.append((True, work()))
        except BaseException as error:  # handed to the caller below
            outcome.append((False, error))
        finally:
            finished.set()

    threading.Thread(target=run, daemon=True, name="tulm-sort").start()
    _wait(finished.wait)
    succeeded, value = outcome[0]
    if not succeeded:
        raise cast(BaseException, value)
    return cast(T, value)


def _wait(until: Callable[[float], bool]) -> None:
    """until(timeout) again and again until it is true. Ctrl-C may reach
    another thread than the main one, which would then sleep on; waking every
    few hundredths of a second, it runs the handler."""
    while not until(0.05):
        pass


def in_blocks(
    families: int, workers: int, run: Callable[[int, int, threading.Event], None]
) -> None:
    """run(start, stop, stopping) over blocks of families, one per thread.
    Each block is done on its own, so the outcome does not depend on how
    many there are. Only the main thread's kernels answer Ctrl-C: on
    KeyboardInterrupt (or any failure) the other threads stop after their
    current family (`stopping` is set), and the caller does not wait."""
    stopping = threading.Event()
    blocks = min(workers, families)
    if blocks <= 1:
        run(0, families, stopping)
        return
    bounds = [families * i // blocks for i in range(blocks + 1)]
    pool = ThreadPoolExecutor(max_workers=blocks)
    try:
        futures = [
            pool.submit(run, start, stop, stopping) for start, stop in itertools.pairwise(bounds)
        ]

        def settled(timeout: float) -> bool:
            finished, running = wait(futures, timeout, return_when=FIRST_EXCEPTION)
            return not running or any(done.exception() for done in finished)

        _wait(settled)
        for done in futures:
            if done.done():
                done.result()  # a failure raises here
    except BaseException:
        stopping.set()
        pool.shutdown(wait=False, cancel_futures=True)
        raise
    pool.shutdown()


def _harmonic(sizes: NDArray[np.intp]) -> NDArray[np.float64]:
    unique, inverse = np.unique(sizes, return_inverse=True)
    return np.array([harmonic_number(int(m)) for m in unique])[inverse.reshape(sizes.shape)]


class BaseRows:
    """e-BH or BY on each row of a 2-d array, from the candidates of each row."""

    def __init__(
        self,
        values: NDArray[np.float64],
        sizes: NDArray[np.intp],
        kind: Kind,
        alpha: float,
        workers: int,
    ):
        self.rejected = np.zeros(values.shape, dtype=bool)
        self.counts = np.zeros(len(values), dtype=np.intp)
        self._values, self._sizes, self._kind, self._alpha = values, sizes, kind, alpha
        self._harmonic = _harmonic(sizes)
        # Threads pay for themselves only on much work.
        self._workers = workers if values.size >= _THREADED else 1
        in_blocks(len(values), self._workers, self._run)

    def _run(self, start: int, stop: int, _stopping: threading.Event) -> None:
        rows, kind = self._values[start:stop], self._kind
        bounds = np.array(
            [_select.candidate_bound(kind, self._alpha, h) for h in self._harmonic[start:stop]]
        )
        # Keys ascending in significance; NaN and values that cannot pass are +inf.
        with np.errstate(invalid="ignore"):
            if kind == "p":
                keys = np.where(rows <= bounds[:, None], rows, np.inf)
            else:
                keys = np.where(rows >= bounds[:, None], -rows, np.inf)
        width = int((keys < np.inf).sum(axis=1).max(initial=0))
        if width == 0:
            return
        if width < keys.shape[1]:
            keys = np.partition(keys, width - 1, axis=1)[:, :width]
        keys = interruptible(lambda: np.sort(keys, axis=1), keys.size)
        ranked = keys if kind == "p" else -keys
        counts = _select.counts(
            kind, ranked, self._sizes[start:stop], self._alpha, self._harmonic[start:stop]
        )
        self.counts[start:stop] = counts
        chosen = counts > 0
        last = ranked[np.flatnonzero(chosen), counts[chosen] - 1]
        self.rejected[start:stop][chosen] = (
            rows[chosen] <= last[:, None] if kind == "p" else rows[chosen] >= last[:, None]
        )

    def adjusted(self) -> NDArray[np.float64]:
        adjusted = np.empty(self._values.shape)

        def run(start: int, stop: int, _stopping: threading.Event) -> None:
            rows = self._values[start:stop]
            # NaN sort last either way; equal values share their level, so
            # any order among them will do.
            order = interruptible(
                lambda: np.argsort(rows if self._kind == "p" else -rows, axis=1), rows.size
            )
            ranked = np.take_along_axis(rows, order, axis=1)
            sizes = self._sizes[start:stop].astype(np.float64)[:, None]
            levels = _select.adjusted_levels(
                self._kind, ranked, sizes, self._harmonic[start:stop, None]
            )
            np.put_along_axis(adjusted[start:stop], order, levels, axis=1)

        in_blocks(len(self._values), self._workers, run)
        return adjusted


class ClosedRows:
    """A closed procedure's kernel on each row of a 2-d array, and the
    adjusted levels when asked (`levels`)."""

    def __init__(
        self,
        values: NDArray[np.float64],
        tested: NDArray[np.intp],
        sizes: NDArray[np.intp],
        kind: Kind,
        procedure: ClosedProcedure,
        kernel: Kernel,
        workers: int,
        levels: bool,
        progress: Progress | None,
    ):
        self.rejected = np.zeros(values.shape, dtype=bool)
        self.counts = np.zeros(len(values), dtype=np.intp)
        self.adjusted = np.full(values.shape, np.nan) if levels else None
        self._values, self._tested, self._sizes = values, tested, sizes
        self._kind, self._procedure, self._kernel = kind, procedure, kernel
        self._progress = progress
        in_blocks(len(values), workers, self._run)

    def _run(self, start: int, stop: int, stopping: threading.Event) -> None:
        block, kind = self._values[start:stop], self._kind
        stand_in = 1.0 if kind == "p" else 0.0
        if self.adjusted is not None:
            # The ranks themselves: a stable sort, ties in order of position.
            def rank() -> tuple[NDArray[np.intp], NDArray[np.float64]]:
                order = np.argsort(block if kind == "p" else -block, axis=1, kind="stable")
                return order, np.take_along_axis(block, order, axis=1)

            order, ranked = interruptible(rank, block.size)
        else:
            # The values alone; ties are settled when the mask is made.
            ascending = interruptible(lambda: np.sort(block, axis=1), block.size)
        for row in range(stop - start):
            if stopping.is_set():
                return
            tested, size = int(self._tested[start + row]), int(self._sizes[start + row])
            if self.adjusted is not None:
                given = ranked[row, :tested][::-1]
            else:
                given = ascending[row, :tested]
                given = given if kind == "e" else given[::-1]

            def prepare(
                given: NDArray[np.float64] = given, size: int = size
            ) -> NDArray[np.float64]:
                # A reversed copy of a long family takes a while too.
                if size > len(given):
                    return np.concatenate((np.full(size - len(given), stand_in), given))
                return np.ascontiguousarray(given)

            family = interruptible(prepare, size)
            # At alpha = 1 a closed BY set may hold stand-ins; its given part is
            # rejected then, as any set is at that level.
            k = min(self._kernel(cast(Sequence[float], family)), tested)
            self.counts[start + row] = k
            if self.adjusted is not None:
                report = self._report(size)
                levels = closed_levels(self._procedure, family, report)
                self.adjusted[start + row, order[row, :tested]] = levels[::-1][:tested]
                self.rejected[start + row, order[row, :k]] = True
            else:
                if self._progress is not None:
                    self._progress(size)
                if k and block.shape[1] > _ROW_BY_ROW:
                    self._mark(start + row, ascending[row, :tested], k)
        if self.adjusted is None and block.shape[1] <= _ROW_BY_ROW:
            self._mark_rows(start, stop, ascending)

    def _report(self, size: int) -> Progress | None:
        """The progress of one family's levels, as increments of the whole."""
        if self._progress is None:
            return None
        told = 0
        progress = self._progress

        def report(done: int) -> None:
            nonlocal told
            progress(done - told)
            told = done

        return report

    def _mark_rows(self, start: int, stop: int, ascending: NDArray[np.float64]) -> None:
        """`_mark` for a block of short rows at once: a few passes over the
        block rather than a few calls per row."""
        values, counts = self._values[start:stop], self.counts[start:stop]
        chosen = np.flatnonzero(counts)
        if not chosen.size:
            return
        values, k = values[chosen], counts[chosen]
        if self._kind == "p":
            last = ascending[chosen, k - 1][:, None]
            before = values < last
        else:
            last = ascending[chosen, self._tested[start:stop][chosen] - k][:, None]
            before = values > last
        ties = values == last
        # Among equal values, the first ones by position fill the count.
        needed = (k - before.sum(axis=1))[:, None]
        self.rejected[start + chosen] = before | (ties & (np.cumsum(ties, axis=1) <= needed))

    def _mark(self, row: int, ascending: NDArray[np.float64], k: int) -> None:
        """Rejects the first k of the row in significance order, given its
        tested values sorted ascending."""
        values, mask = self._values[row], self.rejected[row]
        if self._kind == "p":
            last = ascending[k - 1]
            before = int(np.searchsorted(ascending, last, side="left"))
            mask[:] = values < last
        else:
            last = ascending[len(ascending) - k]
            before = len(ascending) - int(np.searchsorted(ascending, last, side="right"))
            mask[:] = values > last
        # The run of values equal to the last goes in order of position.
        ties = np.flatnonzero(values == last)
        mask[ties[: k - before]] = True
