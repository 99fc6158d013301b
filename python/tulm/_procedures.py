"""The procedures: checked arguments in, a Rejections out."""

from __future__ import annotations

import math
from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, Literal, cast, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

import _tulm

from . import _validation as check
from ._families import Families, Kernel
from ._result import Method, Procedure, Rejections
from ._tables import harmonic_table

if TYPE_CHECKING:
    import pandas as pd

type NanPolicy = Literal["raise", "omit"]


def _run(
    values: object,
    name: str,
    kind: check.Kind,
    alpha: object,
    axis: object,
    nan_policy: object,
    workers: object,
    procedure: Procedure,
    method: object = None,
) -> Rejections[Any, Any]:
    level = check.check_alpha(alpha)
    if procedure.startswith("closed"):
        check.check_choice(method, "method", ("exact", "approximate"))
    check.check_nan_policy(nan_policy)
    threads = check.check_workers(workers)
    index = check.pandas_index(values)
    array = check.real_array(values, name)
    axis = check.check_axis(axis, array.ndim)
    nan = check.check_values(array, name, kind, str(nan_policy))

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

    harmonic = harmonic_table(n) if procedure == "BY" else None
    approximate = method == "approximate"
    kernel: Kernel
    match procedure:
        case "e-BH":
            kernel = lambda e: _tulm.eBH_cpp(e, level)  # noqa: E731
        case "closed e-BH":
            kernel = lambda e: _tulm.closede_bh_cpp(e, level, approximate)  # noqa: E731
        case "BY":
            table = cast(Sequence[float], harmonic)
            kernel = lambda p: _tulm.BY_cpp(p, table, level)  # noqa: E731
        case "closed BY" if approximate:
            kernel = lambda p: _tulm.largestcBYsignificant_approximate_cpp(p, level)  # noqa: E731
        case "closed BY":
            kernel = lambda p: _tulm.largestcBYsignificant_cpp(p, level)  # noqa: E731
    outcome = Families(rows, tested, kind == "e", kernel, threads, harmonic)

    def shaped[T: np.generic](outcome: NDArray[T]) -> NDArray[T]:
        outcome = outcome.reshape(moved.shape)
        return outcome if axis == last else np.moveaxis(outcome, -1, axis)

    rejected: Any = shaped(outcome.rejected)
    adjusted: Any = None if outcome.adjusted is None else shaped(outcome.adjusted)
    if index is not None:
        import pandas

        name_ = getattr(values, "name", None)
        rejected = pandas.Series(rejected, index=index, name=name_)
        if adjusted is not None:
            adjusted = pandas.Series(adjusted, index=index, name=name_)
    count: int | NDArray[np.intp]
    m: int | NDArray[np.intp]
    if array.ndim == 1:
        count, m = int(outcome.counts[0]), int(tested[0])
    else:
        count, m = outcome.counts.reshape(moved.shape[:-1]), tested.reshape(moved.shape[:-1])
    return Rejections(rejected, count, m, level, procedure, cast(Method | None, method), adjusted)


@overload
def ebh(
    evalues: pd.Series[Any],
    alpha: float = 0.05,
    *,
    axis: int = -1,
    nan_policy: NanPolicy = "raise",
    workers: int = 1,
) -> Rejections[pd.Series[bool], pd.Series[float]]: ...
@overload
def ebh(
    evalues: ArrayLike,
    alpha: float = 0.05,
    *,
    axis: int = -1,
    nan_policy: NanPolicy = "raise",
    workers: int = 1,
) -> Rejections: ...
def ebh(
    evalues: Any,
    alpha: float = 0.05,
    *,
    axis: int = -1,
    nan_policy: NanPolicy = "raise",
    workers: int = 1,
) -> Rejections[Any, Any]:
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

    Returns
    -------
    Rejections
        ``rejected`` in the input's shape (a Series on the same index for a
        Series), ``count``, ``m``, ``alpha`` and ``procedure="e-BH"``.

    Raises
    ------
    TypeError
        If `evalues` is not numeric, or `alpha`, `axis` or `workers` has the
        wrong type.
    ValueError
        If `alpha` is not in (0, 1], an e-value is negative, `evalues` holds
        NaN under ``nan_policy="raise"`` or is a single number, or an option
        has an unknown value (`axis` out of range raises numpy's AxisError).

    See Also
    --------
    closed_ebh : Rejects everything e-BH rejects, and often more.
    by : The Benjamini-Yekutieli procedure on p-values.

    Notes
    -----
    With :math:`e_{(k)}` the k-th largest of m e-values, e-BH rejects the k
    largest for the largest k with :math:`k e_{(k)} \\ge m/\\alpha`
    (computed as ``(k * e) * (alpha / m) >= 1 + 1e-12``). It controls the false
    discovery rate at level alpha under any dependence between the e-values
    [1]_.

    The hypotheses rejected are the first ``count`` in the order of a stable
    sort by decreasing e-value: among equal e-values, earlier positions are
    rejected first, so the same input always gives the same mask.

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
    """
    return _run(evalues, "evalues", "e", alpha, axis, nan_policy, workers, "e-BH")


@overload
def closed_ebh(
    evalues: pd.Series[Any],
    alpha: float = 0.05,
    *,
    method: Method = "exact",
    axis: int = -1,
    nan_policy: NanPolicy = "raise",
    workers: int = 1,
) -> Rejections[pd.Series[bool], pd.Series[float]]: ...
@overload
def closed_ebh(
    evalues: ArrayLike,
    alpha: float = 0.05,
    *,
    method: Method = "exact",
    axis: int = -1,
    nan_policy: NanPolicy = "raise",
    workers: int = 1,
) -> Rejections: ...
def closed_ebh(
    evalues: Any,
    alpha: float = 0.05,
    *,
    method: Method = "exact",
    axis: int = -1,
    nan_policy: NanPolicy = "raise",
    workers: int = 1,
) -> Rejections[Any, Any]:
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
    axis : int, default -1
        For N-d input, the axis along which each 1-d slice is one family.
    nan_policy : {"raise", "omit"}, default "raise"
        "raise" refuses NaN; "omit" leaves NaN hypotheses untested.
    workers : int, default 1
        Threads to test families on; -1 uses every core.

    Returns
    -------
    Rejections
        ``rejected``, ``count``, ``m``, ``alpha``, ``procedure="closed e-BH"``
        and ``method``.

    Raises
    ------
    TypeError
        If `evalues` is not numeric, or an option has the wrong type.
    ValueError
        As for `ebh`, and if `method` is unknown.

    See Also
    --------
    ebh : The procedure this one closes.
    is_mean_consistent : Whether a given set of hypotheses may be reported.

    Notes
    -----
    A set R of k hypotheses is mean-consistent at level alpha when, for every
    o in 1..k and j in 0..m-k, the o smallest e-values in R and the j
    smallest outside R sum to at least :math:`o (o + j) / (k \\alpha)`.
    Closed e-BH rejects the k largest e-values for the largest such k; it is
    the closure of e-BH [2]_, so it rejects everything e-BH rejects at the
    same level [1]_ and controls the false discovery rate under any
    dependence.

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
    return _run(evalues, "evalues", "e", alpha, axis, nan_policy, workers, "closed e-BH", method)


@overload
def by(
    pvalues: pd.Series[Any],
    alpha: float = 0.05,
    *,
    axis: int = -1,
    nan_policy: NanPolicy = "raise",
    workers: int = 1,
) -> Rejections[pd.Series[bool], pd.Series[float]]: ...
@overload
def by(
    pvalues: ArrayLike,
    alpha: float = 0.05,
    *,
    axis: int = -1,
    nan_policy: NanPolicy = "raise",
    workers: int = 1,
) -> Rejections: ...
def by(
    pvalues: Any,
    alpha: float = 0.05,
    *,
    axis: int = -1,
    nan_policy: NanPolicy = "raise",
    workers: int = 1,
) -> Rejections[Any, Any]:
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

    Returns
    -------
    Rejections
        ``rejected``, ``count``, ``m``, ``alpha``, ``procedure="BY"`` and
        ``adjusted``, the BY-adjusted p-values in the input's order and shape
        (a Series on the same index for a Series).

    Raises
    ------
    TypeError
        If `pvalues` is not numeric, or an option has the wrong type.
    ValueError
        If `alpha` is not in (0, 1], a p-value lies outside [0, 1],
        `pvalues` holds NaN under ``nan_policy="raise"`` or is a single
        number, or an option has an unknown value.

    See Also
    --------
    closed_by : Rejects everything BY rejects, and often more.
    scipy.stats.false_discovery_control : BY-adjusted p-values alone.

    Notes
    -----
    With :math:`p_{(k)}` the k-th smallest of m p-values and
    :math:`H_m = \\sum_{i=1}^m 1/i`, BY rejects the k smallest for the largest
    k with :math:`p_{(k)} \\le k \\alpha / (m H_m)`, up to a tolerance of
    1e-10. It controls the false discovery rate at level alpha under any
    dependence between the p-values [1]_.

    The adjusted p-value of the i-th smallest is
    :math:`\\min(1, \\min_{k \\ge i} m H_m p_{(k)} / k)`, as R's
    ``p.adjust(p, "BY")``; a hypothesis is rejected where its adjusted
    p-value is at most alpha, up to the tolerance. The hypotheses rejected are
    the first ``count`` of a stable sort by increasing p-value: among equal
    p-values, earlier positions are rejected first.

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
    """
    return _run(pvalues, "pvalues", "p", alpha, axis, nan_policy, workers, "BY")


@overload
def closed_by(
    pvalues: pd.Series[Any],
    alpha: float = 0.05,
    *,
    method: Method = "exact",
    axis: int = -1,
    nan_policy: NanPolicy = "raise",
    workers: int = 1,
) -> Rejections[pd.Series[bool], pd.Series[float]]: ...
@overload
def closed_by(
    pvalues: ArrayLike,
    alpha: float = 0.05,
    *,
    method: Method = "exact",
    axis: int = -1,
    nan_policy: NanPolicy = "raise",
    workers: int = 1,
) -> Rejections: ...
def closed_by(
    pvalues: Any,
    alpha: float = 0.05,
    *,
    method: Method = "exact",
    axis: int = -1,
    nan_policy: NanPolicy = "raise",
    workers: int = 1,
) -> Rejections[Any, Any]:
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
    axis : int, default -1
        For N-d input, the axis along which each 1-d slice is one family.
    nan_policy : {"raise", "omit"}, default "raise"
        "raise" refuses NaN; "omit" leaves NaN hypotheses untested.
    workers : int, default 1
        Threads to test families on; -1 uses every core.

    Returns
    -------
    Rejections
        ``rejected``, ``count``, ``m``, ``alpha``, ``procedure="closed BY"``
        and ``method``.

    Raises
    ------
    TypeError
        If `pvalues` is not numeric, or an option has the wrong type.
    ValueError
        As for `by`, and if `method` is unknown.

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
    """
    return _run(pvalues, "pvalues", "p", alpha, axis, nan_policy, workers, "closed BY", method)


def is_mean_consistent(evalues: ArrayLike, subset: ArrayLike, alpha: float = 0.05) -> bool:
    """Whether a set of hypotheses forms a mean-consistent set of e-values.

    Closed e-BH may report any mean-consistent set: this checks one chosen
    by hand (say, the genes of a pathway) rather than the largest.

    Parameters
    ----------
    evalues : array_like
        The m e-values of all the hypotheses, non-negative, in any order,
        without NaN.
    subset : array_like of bool or int
        The set: a boolean mask of length m (a sequence of bools is always
        read as a mask), or distinct 0-based integer positions. Negative
        positions are refused, not counted from the end.
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
        range or repeated; if `alpha` is not in (0, 1].

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
    """
    level = check.check_alpha(alpha)
    values = check.real_array(evalues, "evalues")
    if values.ndim != 1:
        raise ValueError(f"evalues must be one-dimensional, got {values.ndim} dimensions")
    check.check_values(values, "evalues", "e", "raise")
    positions = check.subset_positions(subset, len(values))
    return _tulm.is_subset_mean_consistent(
        cast(Sequence[float], values), cast(Sequence[int], positions), level
    )
