"""The procedures: checked arguments in, a Rejections out."""

from __future__ import annotations

import math
import threading
import warnings
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Literal, TypedDict, Unpack, cast, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

import _tulm

from . import _select
from . import _validation as check
from ._adjusted import ClosedProcedure, Progress
from ._families import BaseRows, ClosedRows, Kernel, interruptible
from ._result import Lazy, Method, Procedure, Rejections, ready
from ._tables import KERNEL_LARGEST, LARGEST_FAMILY, harmonic_number

if TYPE_CHECKING:
    import pandas as pd

type NanPolicy = Literal["raise", "omit"]
# Input whose type tells one family (an int count) or several (an array of counts).
type _OneFamily = np.ndarray[tuple[int], Any] | Sequence[float]
type _Families = np.ndarray[tuple[int, int, *tuple[int, ...]], Any] | Sequence[Sequence[float]]
type _Mask = NDArray[np.bool_]
type _Levels = NDArray[np.float64]
type _Counts = NDArray[np.intp]


class _Options(TypedDict, total=False):
    axis: int
    nan_policy: NanPolicy
    workers: int
    m: ArrayLike | None
    cutoff: float | None


class _ClosedOptions(_Options, total=False):
    method: Method
    progress: bool


def _run(
    values: object,
    name: str,
    kind: check.Kind,
    function: str,
    procedure: Procedure,
    alpha: object,
    axis: object,
    nan_policy: object,
    workers: object,
    m: object,
    cutoff: object,
    method: object = None,
    adjusted: object = False,
    progress: object = False,
) -> Rejections[Any, Any, Any]:
    level = check.check_alpha(alpha)
    closed = procedure.startswith("closed")
    levels = False
    if closed:
        check.check_choice(method, "method", ("exact", "approximate"))
        levels = check.check_flag(adjusted, "adjusted")
        if levels and method == "approximate":
            raise ValueError(
                "adjusted=True needs method='exact': the approximate search is not nested "
                "in alpha (the sets it rejects at two levels need not contain one another), "
                "so it defines no smallest level at which a hypothesis is rejected"
            )
    show_progress = check.check_flag(progress, "progress")
    check.check_nan_policy(nan_policy)
    threads = check.check_workers(workers)
    index = check.pandas_index(values, name, function)
    array = check.real_array(values, name)
    axis = check.check_axis(axis, array.ndim)
    stated = check.check_cutoff(cutoff, kind)
    largest = KERNEL_LARGEST if closed else LARGEST_FAMILY
    # The type and range of m, before any pass over the values.
    check.family_sizes(m, procedure, largest)
    bar = _progress_bar() if show_progress else None

    if array.ndim == 1 and not closed:
        return _base_family(
            array, kind, procedure, level, str(nan_policy), name, index, m, stated, values
        )
    nan = check.check_values(array, name, kind, str(nan_policy), labels=index)

    # One family per row, the tested axis last (moveaxis costs more than a
    # small family's kernel, so only when needed).
    last = array.ndim - 1
    moved = array if axis == last else np.moveaxis(array, axis, -1)
    n = moved.shape[-1]
    families = math.prod(moved.shape[:-1])
    rows = moved.reshape(families, n)
    if nan is None:
        tested = np.full(families, n, dtype=np.intp)
    else:
        nan = nan if axis == last else np.moveaxis(nan, axis, -1)
        tested = n - nan.reshape(families, n).sum(axis=1, dtype=np.intp)
    sizes = check.check_family_size(
        m, tested.reshape(moved.shape[:-1]), procedure, largest
    ).reshape(families)
    if procedure == "e-BH":
        _warn_if_unreachable(array, rows.size, depth=4)

    def shaped[T: np.generic](outcome: NDArray[T]) -> NDArray[T]:
        outcome = outcome.reshape(moved.shape)
        return outcome if axis == last else np.moveaxis(outcome, -1, axis)

    outcome_adjusted: Lazy[Any]
    outcome: ClosedRows | BaseRows
    if closed:
        with _counting(bar, procedure, int(sizes.sum())) as report:
            outcome = ClosedRows(
                rows,
                tested,
                sizes,
                kind,
                cast(ClosedProcedure, procedure),
                _closed_kernel(procedure, level, method == "approximate"),
                threads,
                levels,
                report,
            )
        found = outcome.adjusted
        outcome_adjusted = ready(None if found is None else shaped(found))
        full_family: bool | None = True if (sizes == tested).all() else None
    else:
        outcome = base = BaseRows(rows, sizes, kind, level, threads)
        outcome_adjusted = Lazy(lambda: shaped(base.adjusted()))
        full_family = _full_family(kind, level, sizes, tested, stated)

    rejected: Any = shaped(outcome.rejected)
    if index is not None:
        rejected = _series(rejected, index, values)
        outcome_adjusted = _series_of(outcome_adjusted, index, values)
    count: int | NDArray[np.intp]
    size: int | NDArray[np.intp]
    if array.ndim == 1:
        count, size = int(outcome.counts[0]), int(sizes[0])
    else:
        count, size = outcome.counts.reshape(moved.shape[:-1]), sizes.reshape(moved.shape[:-1])
    return Rejections(
        rejected,
        count,
        size,
        level,
        procedure,
        cast(Method | None, method),
        outcome_adjusted,
        full_family,
    )


def _base_family(
    values: NDArray[np.float64],
    kind: check.Kind,
    procedure: Procedure,
    alpha: float,
    nan_policy: str,
    name: str,
    index: Any | None,
    m: object,
    cutoff: float | None,
    original: object,
) -> Rejections[Any, Any, Any]:
    """e-BH or BY on one family: one pass checks the values and selects the
    candidates, and only they are sorted."""
    n = values.size
    # The size the selection assumes; m's shape is checked after the pass.
    size = n if m is None or np.ndim(cast(ArrayLike, m)) else int(cast(int, m))
    harmonic = harmonic_number(size) if kind == "p" else 1.0
    bound = _select.candidate_bound(kind, alpha, harmonic)
    candidates, extreme = _select.scan(values, kind, bound)
    # Negative p-values are candidates; the scan saw the other end of the
    # range, and NaN.
    low = float(candidates.min()) if kind == "p" and candidates.size else extreme
    nan = None
    if math.isnan(extreme) or low < 0 or (kind == "p" and extreme > 1):
        # The refusals, with their messages, or the NaN to omit.
        nan = check.check_values(values, name, kind, nan_policy, labels=index)
    tested = n if nan is None else n - int(nan.sum())
    size = int(check.check_family_size(m, np.array(tested), procedure, LARGEST_FAMILY))
    if kind == "p" and size != n:
        harmonic = harmonic_number(size)
        wider = _select.candidate_bound(kind, alpha, harmonic)
        if wider > bound:
            candidates = _select.select(values, kind, wider)
    if procedure == "e-BH" and tested and not (candidates.size and candidates.max() > 1):
        _warn_if_unreachable(values, n, depth=5)
    last = _select.narrowed(kind, candidates, size, alpha, harmonic)
    candidates = candidates[candidates <= last] if kind == "p" else candidates[candidates >= last]
    ranked = interruptible(lambda: np.sort(candidates), candidates.size)
    ranked = ranked if kind == "p" else ranked[::-1]
    count = _select.count(kind, ranked, size, alpha, harmonic)
    if count:
        rejected: Any = _select.past(values, kind, float(ranked[count - 1]))
    else:
        rejected = np.zeros(n, dtype=bool)

    def levels() -> NDArray[np.float64]:
        out = np.ones(n) if nan is None else np.where(nan, np.nan, 1.0)
        with np.errstate(invalid="ignore"):
            bound = _select.adjusted_bound(kind, harmonic)
            chosen = np.flatnonzero(values < bound if kind == "p" else values > bound)
            picked = values[chosen]
            # Only the values with a level below 1 need one; the others keep 1.
            last = _select.narrowed(kind, picked, size, 1.0, harmonic, tolerance=0.0)
            kept = picked <= last if kind == "p" else picked >= last
        chosen, picked = chosen[kept], picked[kept]
        # Equal values share their level: any order among them will do.
        order = interruptible(lambda: np.argsort(picked if kind == "p" else -picked), picked.size)
        out[chosen[order]] = _select.adjusted_levels(kind, picked[order], float(size), harmonic)
        return out

    adjusted: Lazy[Any] = Lazy(levels)
    full_family = _full_family(kind, alpha, np.array([size]), np.array([tested]), cutoff, harmonic)
    if index is not None:
        rejected = _series(rejected, index, original)
        adjusted = _series_of(adjusted, index, original)
    return Rejections(rejected, count, size, alpha, procedure, None, adjusted, full_family)


def _full_family(
    kind: check.Kind,
    alpha: float,
    sizes: NDArray[np.intp],
    tested: NDArray[np.intp],
    cutoff: float | None,
    harmonic: float | None = None,
) -> bool | None:
    """Whether the answer is the full family's: every hypothesis given, or
    every one left out beyond the stated cutoff, where it could not pass at
    any size and so changes neither the count nor the ranks of those that do."""
    partial = np.flatnonzero(sizes != tested)
    if partial.size == 0:
        return True
    if cutoff is None:
        return None
    for size in np.unique(sizes[partial]).tolist():
        h = harmonic if harmonic is not None else harmonic_number(size)
        if _select.passes_at_m(kind, cutoff, size, alpha, h):
            return False
    return True


def _warn_if_unreachable(values: NDArray[np.float64], size: int, depth: int) -> None:
    """Warns when no e-value exceeds 1 (NaN aside); `depth` counts the calls
    from here up to the user's line."""
    if size and not interruptible(lambda: bool((values > 1).any()), size):
        if not np.isnan(values).all():
            warnings.warn(
                "no e-value exceeds 1, so e-BH can reject none of them at any level: a "
                "rejection needs (k * e) * (alpha / m) >= 1 + 1e-12 with k <= m. P-values "
                "belong to tulm.by",
                UserWarning,
                stacklevel=depth,
            )


def _closed_kernel(procedure: Procedure, level: float, approximate: bool) -> Kernel:
    if procedure == "closed e-BH":
        return lambda e: _tulm.closede_bh_cpp(e, level, approximate)
    if approximate:
        return lambda p: _tulm.largestcBYsignificant_approximate_cpp(p, level)
    return lambda p: _tulm.largestcBYsignificant_cpp(p, level)


def _series(values: NDArray[Any], index: Any, original: object) -> Any:
    import pandas

    return pandas.Series(values, index=index, name=getattr(original, "name", None))


def _series_of(lazy: Lazy[Any], index: Any, original: object) -> Lazy[Any]:
    def series() -> Any:
        values = lazy.get()
        return None if values is None else _series(values, index, original)

    return Lazy(series)


def _progress_bar() -> Any:
    """tqdm's bar class, or the ImportError that says it is missing."""
    try:
        from tqdm.auto import tqdm
    except ImportError:
        raise ImportError(
            "progress=True shows a bar drawn by tqdm, which is not installed: "
            "pip install tqdm (or 'tulm[progress]')"
        ) from None
    return tqdm


class _counting:
    """A progress bar over `total` hypotheses and its updater for the
    families' threads; the bar is closed when the work ends, however it ends."""

    def __init__(self, bar: Any, procedure: Procedure, total: int) -> None:
        self._lock = threading.Lock()
        self._bar = (
            None
            if bar is None
            else bar(desc=procedure, total=total, unit=" hypotheses", unit_scale=True, delay=0.5)
        )

    def __enter__(self) -> Progress | None:
        bar = self._bar
        if bar is None:
            return None

        def report(done: int) -> None:
            with self._lock:
                bar.update(done)

        return report

    def __exit__(self, *exc: object) -> None:
        if self._bar is not None:
            self._bar.close()


# The overloads say what a call gives: Series in, Series out; one family in,
# int counts out; several, arrays of counts.
@overload
def ebh(
    evalues: pd.Series[Any], alpha: float = 0.05, **options: Unpack[_Options]
) -> Rejections[pd.Series[bool], pd.Series[float], int]: ...
@overload
def ebh(
    evalues: _OneFamily, alpha: float = 0.05, **options: Unpack[_Options]
) -> Rejections[_Mask, _Levels, int]: ...
@overload
def ebh(
    evalues: _Families, alpha: float = 0.05, **options: Unpack[_Options]
) -> Rejections[_Mask, _Levels, _Counts]: ...
@overload
def ebh(
    evalues: ArrayLike, alpha: float = 0.05, **options: Unpack[_Options]
) -> Rejections[_Mask, _Levels, int | _Counts]: ...
def ebh(
    evalues: Any,
    alpha: float = 0.05,
    *,
    axis: int = -1,
    nan_policy: NanPolicy = "raise",
    workers: int = 1,
    m: ArrayLike | None = None,
    cutoff: float | None = None,
) -> Rejections[Any, Any, Any]:
    """The e-BH procedure: reject the hypotheses with the largest e-values.

    Parameters
    ----------
    evalues : array_like or pandas.Series
        Non-negative e-values (``+inf`` allowed), in any order.
    alpha : float, default 0.05
        Level of false discovery rate control, ``0 < alpha <= 1``.
    axis : int, default -1
        For N-d input, the axis along which each 1-d slice is one family,
        tested on its own.
    nan_policy : {"raise", "omit"}, default "raise"
        "raise" refuses NaN; "omit" leaves NaN hypotheses untested: they are
        never rejected and do not count in ``m``.
    workers : int, default 1
        Threads to test families on; -1 uses every core. The result does not
        depend on it.
    m : int or array_like of int, optional
        The family size, when `evalues` holds only some of the family (say,
        the e-values above a threshold): the hypotheses not given count as
        e = 0, which is never rejected. At least the number of values tested;
        for N-d input, one size or one per family. Called ``m`` as in the
        formulas and in the result (R's ``p.adjust`` calls it ``n``).
    cutoff : float, optional
        With `m`: the e-value the given values were selected by, every e-value
        left out being at most `cutoff`. The result's ``full_family`` then
        says whether the answer is exactly that of the full family, which it
        is when `cutoff` is at most ``1/alpha``.

    Returns
    -------
    Rejections
        ``rejected`` in the input's shape (a Series on the same index for a
        Series), ``count``, ``m``, ``alpha``, ``procedure="e-BH"``,
        ``full_family``, and ``adjusted``, the e-BH adjusted levels, computed
        when first read.

    Warns
    -----
    UserWarning
        When no e-value exceeds 1: e-BH can then reject nothing at any level,
        as when p-values are given by mistake.

    Raises
    ------
    TypeError
        If `evalues` is not numeric or is a DataFrame, or `alpha`, `axis`,
        `workers`, `m` or `cutoff` has the wrong type.
    ValueError
        If `alpha` is not in (0, 1], an e-value is negative, `evalues` holds
        NaN under ``nan_policy="raise"`` or is a single number, `m` is smaller
        than the number of values tested, or an option has an unknown value
        (`axis` out of range raises numpy's AxisError).

    See Also
    --------
    closed_ebh : Rejects everything e-BH rejects, and often more.
    by : The Benjamini-Yekutieli procedure on p-values.

    Notes
    -----
    With :math:`e_{(k)}` the k-th largest of m e-values, e-BH rejects the k
    largest for the largest k with :math:`k e_{(k)} \\ge m/\\alpha` [1]_,
    computed exactly as ``(k * e) * (alpha / m) >= 1.000000000001``: the
    product must exceed 1 by 1e-12. So an e-value exactly at the bound, such
    as e = 1/alpha with m = 1, is not rejected, while `closed_ebh` rejects it.
    e-BH controls the false discovery rate at level alpha under any
    dependence between the e-values.

    The adjusted level of the k-th largest e-value is
    :math:`\\min(1, \\min_{j \\ge k} m / (j e_{(j)}))`: the smallest level at
    which e-BH rejects it, with the kernel's tolerance taken out.

    The hypotheses rejected are the first ``count`` in the order of a stable
    sort by decreasing e-value: among equal e-values, earlier positions are
    rejected first, so the same input always gives the same mask. Only the
    e-values of at least ``1/alpha`` can be rejected: they alone are sorted.

    References
    ----------
    .. [1] Wang, R., & Ramdas, A. (2022). False discovery rate control with
       e-values. Journal of the Royal Statistical Society Series B, 84(3),
       822-852.

    Examples
    --------
    >>> import tulm
    >>> e = [0.3, 1.0, 0.8, 14.0, 31.0, 35.0, 40.0, 400.0]
    >>> result = tulm.ebh(e)
    >>> result
    Rejections(procedure='e-BH', alpha=0.05, rejected 1 of 8)
    >>> result.rejected
    array([False, False, False, False, False, False, False,  True])
    >>> result.adjusted.round(4)
    array([1.    , 1.    , 1.    , 0.1143, 0.0645, 0.0645, 0.0645, 0.02  ])

    At the bound itself nothing is rejected, and closed e-BH rejects it:

    >>> tulm.ebh([20.0]).count, tulm.closed_ebh([20.0]).count
    (0, 1)
    """
    return _run(evalues, "evalues", "e", "ebh", "e-BH", alpha, axis, nan_policy, workers, m, cutoff)


@overload
def closed_ebh(
    evalues: pd.Series[Any],
    alpha: float = 0.05,
    *,
    adjusted: Literal[False] = False,
    **options: Unpack[_ClosedOptions],
) -> Rejections[pd.Series[bool], None, int]: ...
@overload
def closed_ebh(
    evalues: pd.Series[Any],
    alpha: float = 0.05,
    *,
    adjusted: Literal[True],
    **options: Unpack[_ClosedOptions],
) -> Rejections[pd.Series[bool], pd.Series[float], int]: ...
@overload
def closed_ebh(
    evalues: _OneFamily,
    alpha: float = 0.05,
    *,
    adjusted: Literal[False] = False,
    **options: Unpack[_ClosedOptions],
) -> Rejections[_Mask, None, int]: ...
@overload
def closed_ebh(
    evalues: _OneFamily,
    alpha: float = 0.05,
    *,
    adjusted: Literal[True],
    **options: Unpack[_ClosedOptions],
) -> Rejections[_Mask, _Levels, int]: ...
@overload
def closed_ebh(
    evalues: _Families,
    alpha: float = 0.05,
    *,
    adjusted: Literal[False] = False,
    **options: Unpack[_ClosedOptions],
) -> Rejections[_Mask, None, _Counts]: ...
@overload
def closed_ebh(
    evalues: _Families,
    alpha: float = 0.05,
    *,
    adjusted: Literal[True],
    **options: Unpack[_ClosedOptions],
) -> Rejections[_Mask, _Levels, _Counts]: ...
@overload
def closed_ebh(
    evalues: ArrayLike,
    alpha: float = 0.05,
    *,
    adjusted: bool = False,
    **options: Unpack[_ClosedOptions],
) -> Rejections[_Mask, _Levels | None, int | _Counts]: ...
def closed_ebh(
    evalues: Any,
    alpha: float = 0.05,
    *,
    method: Method = "exact",
    adjusted: bool = False,
    axis: int = -1,
    nan_policy: NanPolicy = "raise",
    workers: int = 1,
    m: ArrayLike | None = None,
    cutoff: float | None = None,
    progress: bool = False,
) -> Rejections[Any, Any, Any]:
    """Closed e-BH: reject the largest mean-consistent set of e-values.

    Parameters
    ----------
    evalues : array_like or pandas.Series
        Non-negative e-values (``+inf`` allowed), in any order.
    alpha : float, default 0.05
        Level of false discovery rate control, ``0 < alpha <= 1``.
    method : {"exact", "approximate"}, default "exact"
        "exact" tries every size from m down; "approximate" bisects over the
        sizes above the e-BH count, which is faster and agrees with "exact"
        whenever passing the check is monotone in the size.
    adjusted : bool, default False
        Also compute the adjusted levels (``method="exact"`` only): they
        cost more than the search itself, so only when asked.
    axis : int, default -1
        For N-d input, the axis along which each 1-d slice is one family.
    nan_policy : {"raise", "omit"}, default "raise"
        "raise" refuses NaN; "omit" leaves NaN hypotheses untested.
    workers : int, default 1
        Threads to test families on; -1 uses every core.
    m : int or array_like of int, optional
        The family size when `evalues` holds only some of the family: the
        hypotheses not given count as e = 0. The answer then rejects at most
        what the full family would. At most 2,147,483,646, the kernels' limit.
    cutoff : float, optional
        The e-value the given values were selected by; accepted as for
        `ebh`, but the closed answer depends on every value, so
        ``full_family`` stays None when hypotheses were left out.
    progress : bool, default False
        Show a progress bar over the hypotheses (needs tqdm).

    Returns
    -------
    Rejections
        ``rejected``, ``count``, ``m``, ``alpha``, ``procedure="closed e-BH"``,
        ``method``, ``full_family``, and ``adjusted``: the adjusted levels
        with ``adjusted=True``, None otherwise.

    Raises
    ------
    TypeError
        If `evalues` is not numeric or is a DataFrame, or an option has the
        wrong type.
    ImportError
        If ``progress=True`` and tqdm is not installed.
    ValueError
        As for `ebh`; if `method` is unknown, or ``adjusted=True`` with
        ``method="approximate"``.

    See Also
    --------
    ebh : The procedure this one closes.
    is_mean_consistent : Whether a given set of hypotheses may be reported.

    Notes
    -----
    A set R of k hypotheses is mean-consistent at level alpha when, for every
    o in 1..k and j in 0..m-k, the o smallest e-values in R and the j
    smallest outside R sum to at least :math:`o (o + j) / (k \\alpha)`, up
    to 1e-12. Closed e-BH rejects the k largest e-values for the largest such
    k; it is the closure of e-BH [2]_, so it rejects everything e-BH rejects
    at the same level [1]_ and controls the false discovery rate under any
    dependence.

    The adjusted level of a hypothesis is the smallest alpha at which the
    exact search rejects it, capped at 1. It is well defined because the
    exact search is nested in alpha: what it rejects at one level it rejects
    at every larger one. The approximate search is not, so it has none.

    Ties are broken as in `ebh`: earlier positions first.

    References
    ----------
    .. [1] Wang, R., & Ramdas, A. (2022). False discovery rate control with
       e-values. Journal of the Royal Statistical Society Series B, 84(3),
       822-852.
    .. [2] Xu, Z., Fischer, L., & Ramdas, A. (2025). Bringing closure to FDR
       control: beating the e-Benjamini-Hochberg procedure.

    Examples
    --------
    >>> import tulm
    >>> e = [0.3, 1.0, 0.8, 14.0, 31.0, 35.0, 40.0, 400.0]
    >>> tulm.closed_ebh(e)
    Rejections(procedure='closed e-BH', method='exact', alpha=0.05, rejected 5 of 8)
    >>> tulm.closed_ebh(e, method="approximate").rejected
    array([False, False, False,  True,  True,  True,  True,  True])
    """
    return _run(
        evalues,
        "evalues",
        "e",
        "closed_ebh",
        "closed e-BH",
        alpha,
        axis,
        nan_policy,
        workers,
        m,
        cutoff,
        method,
        adjusted,
        progress,
    )


@overload
def by(
    pvalues: pd.Series[Any], alpha: float = 0.05, **options: Unpack[_Options]
) -> Rejections[pd.Series[bool], pd.Series[float], int]: ...
@overload
def by(
    pvalues: _OneFamily, alpha: float = 0.05, **options: Unpack[_Options]
) -> Rejections[_Mask, _Levels, int]: ...
@overload
def by(
    pvalues: _Families, alpha: float = 0.05, **options: Unpack[_Options]
) -> Rejections[_Mask, _Levels, _Counts]: ...
@overload
def by(
    pvalues: ArrayLike, alpha: float = 0.05, **options: Unpack[_Options]
) -> Rejections[_Mask, _Levels, int | _Counts]: ...
def by(
    pvalues: Any,
    alpha: float = 0.05,
    *,
    axis: int = -1,
    nan_policy: NanPolicy = "raise",
    workers: int = 1,
    m: ArrayLike | None = None,
    cutoff: float | None = None,
) -> Rejections[Any, Any, Any]:
    """The Benjamini-Yekutieli procedure: reject the smallest p-values.

    Parameters
    ----------
    pvalues : array_like or pandas.Series
        P-values in [0, 1], in any order.
    alpha : float, default 0.05
        Level of false discovery rate control, ``0 < alpha <= 1``.
    axis : int, default -1
        For N-d input, the axis along which each 1-d slice is one family.
    nan_policy : {"raise", "omit"}, default "raise"
        "raise" refuses NaN; "omit" leaves NaN hypotheses untested: they are
        never rejected, do not count in ``m`` and have NaN adjusted p-values.
    workers : int, default 1
        Threads to test families on; -1 uses every core.
    m : int or array_like of int, optional
        The family size, when `pvalues` holds only some of the family (say,
        the p-values a scan stored below a threshold): the hypotheses not
        given count as p = 1, which is never rejected. At least the number of
        values tested; for N-d input, one size or one per family. Called
        ``m`` as in the formulas and in the result (R's ``p.adjust`` calls it
        ``n``). Beyond 2,147,483,646 values, H_m is computed as described in
        the Notes.
    cutoff : float, optional
        With `m`: the p-value the given values were selected by, every
        p-value left out being at least `cutoff`. The result's
        ``full_family`` then says whether the answer is exactly that of the
        full family, which it is when `cutoff` is above
        ``(alpha + 1e-10) / H_m``.

    Returns
    -------
    Rejections
        ``rejected``, ``count``, ``m``, ``alpha``, ``procedure="BY"``,
        ``full_family``, and ``adjusted``, the BY-adjusted p-values in the
        input's order and shape (a Series on the same index for a Series),
        computed when first read.

    Raises
    ------
    TypeError
        If `pvalues` is not numeric or is a DataFrame, or an option has the
        wrong type.
    ValueError
        If `alpha` is not in (0, 1], a p-value lies outside [0, 1],
        `pvalues` holds NaN under ``nan_policy="raise"`` or is a single
        number, `m` is smaller than the number of values tested, or an option
        has an unknown value.

    See Also
    --------
    closed_by : Rejects everything BY rejects, and often more.
    scipy.stats.false_discovery_control : BY-adjusted p-values alone.

    Notes
    -----
    With :math:`p_{(k)}` the k-th smallest of m p-values and
    :math:`H_m = \\sum_{i=1}^m 1/i`, BY rejects the k smallest for the largest
    k with :math:`p_{(k)} \\le k \\alpha / (m H_m)` [1]_, computed as
    ``((m * H_m) * p) / k - alpha <= 1e-10``. It controls the false
    discovery rate at level alpha under any dependence between the p-values.
    H_m is summed from left to right as the kernels' tables are; beyond
    2,147,483,646 it is the double nearest H_m, from its asymptotic
    expansion in 40-digit decimal arithmetic.

    The adjusted p-value of the i-th smallest is
    :math:`\\min(1, \\min_{k \\ge i} m H_m p_{(k)} / k)`, as R's
    ``p.adjust(p, "BY")``; a hypothesis is rejected where its adjusted
    p-value is at most alpha, up to the tolerance. The hypotheses rejected are
    the first ``count`` of a stable sort by increasing p-value: among equal
    p-values, earlier positions are rejected first. Only p-values of at most
    ``(alpha + 1e-10) / H_m`` can be rejected: they alone are sorted.

    References
    ----------
    .. [1] Benjamini, Y., & Yekutieli, D. (2001). The control of the false
       discovery rate in multiple testing under dependency. The Annals of
       Statistics, 29(4), 1165-1188.

    Examples
    --------
    >>> import numpy as np
    >>> import tulm
    >>> p = [0.012, 0.5, 0.0005, 0.03, 0.008, 0.05, 0.001, 0.01]
    >>> result = tulm.by(p)
    >>> result
    Rejections(procedure='BY', alpha=0.05, rejected 2 of 8)
    >>> np.flatnonzero(result.rejected)
    array([2, 6])
    >>> np.round(result.adjusted, 4)
    array([0.0522, 1.    , 0.0109, 0.1087, 0.0522, 0.1553, 0.0109, 0.0522])

    Each row of a 2-d array is a family of its own:

    >>> tulm.by([p, p[::-1]]).count
    array([2, 2])

    A scan that stored only its p-values below 0.01, out of a million tests:
    that is above ``(alpha + 1e-10) / H_m``, about 0.0035, so the answer is
    the full family's:

    >>> kept = [1e-9, 4e-9, 2e-7, 0.004]
    >>> result = tulm.by(kept, m=1_000_000, cutoff=0.01)
    >>> result.count, result.full_family
    (2, True)
    """
    return _run(pvalues, "pvalues", "p", "by", "BY", alpha, axis, nan_policy, workers, m, cutoff)


@overload
def closed_by(
    pvalues: pd.Series[Any],
    alpha: float = 0.05,
    *,
    adjusted: Literal[False] = False,
    **options: Unpack[_ClosedOptions],
) -> Rejections[pd.Series[bool], None, int]: ...
@overload
def closed_by(
    pvalues: pd.Series[Any],
    alpha: float = 0.05,
    *,
    adjusted: Literal[True],
    **options: Unpack[_ClosedOptions],
) -> Rejections[pd.Series[bool], pd.Series[float], int]: ...
@overload
def closed_by(
    pvalues: _OneFamily,
    alpha: float = 0.05,
    *,
    adjusted: Literal[False] = False,
    **options: Unpack[_ClosedOptions],
) -> Rejections[_Mask, None, int]: ...
@overload
def closed_by(
    pvalues: _OneFamily,
    alpha: float = 0.05,
    *,
    adjusted: Literal[True],
    **options: Unpack[_ClosedOptions],
) -> Rejections[_Mask, _Levels, int]: ...
@overload
def closed_by(
    pvalues: _Families,
    alpha: float = 0.05,
    *,
    adjusted: Literal[False] = False,
    **options: Unpack[_ClosedOptions],
) -> Rejections[_Mask, None, _Counts]: ...
@overload
def closed_by(
    pvalues: _Families,
    alpha: float = 0.05,
    *,
    adjusted: Literal[True],
    **options: Unpack[_ClosedOptions],
) -> Rejections[_Mask, _Levels, _Counts]: ...
@overload
def closed_by(
    pvalues: ArrayLike,
    alpha: float = 0.05,
    *,
    adjusted: bool = False,
    **options: Unpack[_ClosedOptions],
) -> Rejections[_Mask, _Levels | None, int | _Counts]: ...
def closed_by(
    pvalues: Any,
    alpha: float = 0.05,
    *,
    method: Method = "exact",
    adjusted: bool = False,
    axis: int = -1,
    nan_policy: NanPolicy = "raise",
    workers: int = 1,
    m: ArrayLike | None = None,
    cutoff: float | None = None,
    progress: bool = False,
) -> Rejections[Any, Any, Any]:
    """Closed BY: the closure of the Benjamini-Yekutieli procedure.

    Parameters
    ----------
    pvalues : array_like or pandas.Series
        P-values in [0, 1], in any order.
    alpha : float, default 0.05
        Level of false discovery rate control, ``0 < alpha <= 1``.
    method : {"exact", "approximate"}, default "exact"
        "exact" tries every size from m down, deciding most from bounds: near
        linear in m on the benchmark's screens, quadratic at worst;
        "approximate" bisects over the sizes above the BY count
        and agrees with "exact" whenever passing the check is monotone in the
        size.
    adjusted : bool, default False
        Also compute the adjusted levels (``method="exact"`` only): they
        cost more than the search itself, so only when asked.
    axis : int, default -1
        For N-d input, the axis along which each 1-d slice is one family.
    nan_policy : {"raise", "omit"}, default "raise"
        "raise" refuses NaN; "omit" leaves NaN hypotheses untested.
    workers : int, default 1
        Threads to test families on; -1 uses every core.
    m : int or array_like of int, optional
        The family size when `pvalues` holds only some of the family: the
        hypotheses not given count as p = 1. The answer then rejects at most
        what the full family would. At most 2,147,483,646, the kernels' limit.
    cutoff : float, optional
        The p-value the given values were selected by; accepted as for `by`,
        but the closed answer depends on every value, so ``full_family``
        stays None when hypotheses were left out.
    progress : bool, default False
        Show a progress bar over the hypotheses (needs tqdm).

    Returns
    -------
    Rejections
        ``rejected``, ``count``, ``m``, ``alpha``, ``procedure="closed BY"``,
        ``method``, ``full_family``, and ``adjusted``: the adjusted levels
        with ``adjusted=True``, None otherwise.

    Raises
    ------
    TypeError
        If `pvalues` is not numeric or is a DataFrame, or an option has the
        wrong type.
    ImportError
        If ``progress=True`` and tqdm is not installed.
    ValueError
        As for `by`; if `method` is unknown, or ``adjusted=True`` with
        ``method="approximate"``.

    See Also
    --------
    by : The procedure this one closes.

    Notes
    -----
    Closed BY rejects the k smallest p-values for the largest k whose set is
    cBY-significant. At a size s, a p-value x weighs :math:`1/(\\alpha q)`,
    with q the first of the BY steps :math:`q \\alpha / (s H_s)` that x
    meets, and 0 when it meets none; the set is cBY-significant when, for
    every s in 1..m and i in 1..k, every s hypotheses of which i are in the
    set weigh at least :math:`i / (\\alpha k)` in total, up to 1e-10. As
    the closure of BY [2]_ it rejects everything BY [1]_ rejects at the same
    level, and controls the false discovery rate under any dependence. Zero
    p-values are checked as 1e-12.

    The adjusted level of a hypothesis is the smallest alpha at which the
    exact search rejects it, capped at 1; the exact search is nested in
    alpha, the approximate one is not and has none.

    Ties are broken as in `by`: earlier positions first.

    References
    ----------
    .. [1] Benjamini, Y., & Yekutieli, D. (2001). The control of the false
       discovery rate in multiple testing under dependency. The Annals of
       Statistics, 29(4), 1165-1188.
    .. [2] Xu, Z., Fischer, L., & Ramdas, A. (2025). Bringing closure to FDR
       control: beating the e-Benjamini-Hochberg procedure.

    Examples
    --------
    >>> import numpy as np
    >>> import tulm
    >>> p = [0.012, 0.5, 0.0005, 0.03, 0.008, 0.05, 0.001, 0.01]
    >>> tulm.closed_by(p)
    Rejections(procedure='closed BY', method='exact', alpha=0.05, rejected 5 of 8)
    >>> np.flatnonzero(tulm.closed_by(p).rejected)
    array([0, 2, 4, 6, 7])
    >>> tulm.closed_by(p, adjusted=True).adjusted.round(4)
    array([0.0294, 0.5   , 0.0109, 0.055 , 0.0274, 0.075 , 0.0109, 0.0294])
    """
    return _run(
        pvalues,
        "pvalues",
        "p",
        "closed_by",
        "closed BY",
        alpha,
        axis,
        nan_policy,
        workers,
        m,
        cutoff,
        method,
        adjusted,
        progress,
    )


def is_mean_consistent(evalues: ArrayLike, subset: ArrayLike, alpha: float = 0.05) -> bool:
    """Whether a set of hypotheses forms a mean-consistent set of e-values.

    Closed e-BH may report any mean-consistent set: this checks one chosen
    by hand (say, the genes of a pathway) rather than the largest.

    Parameters
    ----------
    evalues : array_like or pandas.Series
        The m e-values of all the hypotheses, non-negative, in any order,
        without NaN.
    subset : array_like of bool or int, or pandas.Series or Index
        The set: a boolean mask of length m (a sequence of bools is always
        read as a mask), or distinct 0-based integer positions. Negative
        positions are refused, not counted from the end. When `evalues` is a
        Series, a boolean Series is aligned on its labels, and a Series or
        Index of anything else holds labels; labels that do not match are
        refused.
    alpha : float, default 0.05
        Level, ``0 < alpha <= 1``.

    Returns
    -------
    bool
        True when the set is mean-consistent (an empty set is).

    Raises
    ------
    TypeError
        If `evalues` is not numeric, `subset` is neither booleans nor
        integers, or `alpha` is not a real number.
    ValueError
        If `evalues` is not one-dimensional, holds NaN or a negative value;
        if a mask's length differs from m, or a position is negative, out of
        range or repeated; if a label is not in the index of `evalues`; if
        `alpha` is not in (0, 1].

    See Also
    --------
    closed_ebh : Rejects the largest mean-consistent set.

    Notes
    -----
    A set R of k hypotheses is mean-consistent at level alpha when, for every
    o in 1..k and j in 0..m-k, the o smallest e-values in R and the j
    smallest outside R sum to at least :math:`o (o + j) / (k \\alpha)` [1]_.

    References
    ----------
    .. [1] Xu, Z., Fischer, L., & Ramdas, A. (2025). Bringing closure to FDR
       control: beating the e-Benjamini-Hochberg procedure.

    Examples
    --------
    >>> import tulm
    >>> e = [60.0, 1.0, 50.0]
    >>> tulm.is_mean_consistent(e, [0, 2])
    True
    >>> tulm.is_mean_consistent(e, [True, False, True])
    True
    >>> tulm.is_mean_consistent(e, [1])
    False

    On a Series, a mask or labels are read by label:

    >>> import pandas as pd
    >>> genes = pd.Series(e, index=["abc1", "abc2", "abc3"])
    >>> tulm.is_mean_consistent(genes, pd.Index(["abc3", "abc1"]))
    True
    """
    level = check.check_alpha(alpha)
    index = check.pandas_index(evalues, "evalues", "is_mean_consistent")
    values = check.real_array(evalues, "evalues")
    if values.ndim != 1:
        raise ValueError(f"evalues must be one-dimensional, got {values.ndim} dimensions")
    check.check_values(values, "evalues", "e", "raise", labels=index, omit_offered=False)
    positions = check.subset_positions(check.aligned_subset(subset, index), len(values))
    return _tulm.is_subset_mean_consistent(
        cast(Sequence[float], values), cast(Sequence[int], positions), level
    )
