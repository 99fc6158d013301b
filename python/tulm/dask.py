"""The procedures on Dask: one family larger than memory, or many families in
a Dask DataFrame.

- `ebh` and `by` take one family as a 1-d Dask array or a Dask Series of any
  length (beyond the kernels' 2^31 - 2 too). One pass on the workers counts
  the values, checks them, and keeps only the candidates, the values that
  can be rejected (a BY rejection has p <= (alpha + 1e-10) / H_m, an e-BH
  one e >= 1/alpha); this process finishes the count on them. The mask comes
  back lazy, aligned with the input: nothing of m values is ever held here.
- `per_family` runs any of the four procedures on each family of a Dask
  DataFrame grouped by a key column, and gives the frame back, lazy, with a
  `rejected` column (and `adjusted`, when asked).

>>> import dask.array as da
>>> import tulm.dask
>>> p = da.from_array([0.012, 0.5, 0.0005, 0.03, 0.008, 0.05, 0.001, 0.01], chunks=3)
>>> result = tulm.dask.by(p)
>>> result
Rejections(procedure='BY', alpha=0.05, rejected 2 of 8)
>>> result.rejected.compute()
array([False, False,  True, False, False, False,  True, False])
"""

from __future__ import annotations

import math
import warnings
from collections.abc import Callable
from typing import TYPE_CHECKING, Any, Literal, NamedTuple, overload

import numpy as np
from numpy.typing import NDArray

from . import _procedures, _select
from . import _validation as check
from ._procedures import NanPolicy
from ._result import Method, Procedure, Rejections, ready
from ._tables import LARGEST_FAMILY, harmonic_number

if TYPE_CHECKING:
    import dask.array as da
    import dask.dataframe as dd
    import pandas as pd

__all__ = ["by", "ebh", "per_family"]

type _Kind = Literal["e", "p"]


def _require_dask() -> None:
    try:
        import dask.dataframe  # noqa: F401  (Series and DataFrame need it too)
    except ImportError as error:
        raise ImportError(
            f"tulm.dask needs Dask, and {error.name} is missing: pip install 'tulm[dask]'"
        ) from None


class _Part(NamedTuple):
    """What one block tells of its values."""

    candidates: NDArray[np.float64]
    tested: int
    nan: int
    bad: int
    # The first NaN and the first value out of range: (position in the
    # block, label or None, value), or None.
    first_nan: tuple[int, Any, float] | None
    first_bad: tuple[int, Any, float] | None
    above_one: bool


def _scan_part(block: Any, kind: _Kind, bound: float) -> _Part:
    """One block's summary: runs on a worker."""
    labels = getattr(block, "index", None)
    values = np.asarray(block, dtype=np.float64).reshape(-1)
    nan = np.isnan(values)
    bad = (values < 0) | (values > 1) if kind == "p" else values < 0

    def first(mask: NDArray[np.bool_]) -> tuple[int, Any, float] | None:
        if not mask.any():
            return None
        i = int(np.argmax(mask))
        label = None if labels is None else labels[i]
        return i, label.item() if isinstance(label, np.generic) else label, float(values[i])

    candidates = _select.select(values, kind, bound)
    return _Part(
        candidates,
        int(values.size - nan.sum()),
        int(nan.sum()),
        int(bad.sum()),
        first(nan),
        first(bad),
        bool((values > 1).any()),
    )


def _past_block(block: Any, kind: _Kind, last: float | None) -> Any:
    """The mask of one block, a numpy array or pandas Series: runs on a worker."""
    if last is None:  # nothing rejected
        return (
            np.zeros(block.shape, dtype=bool)
            if isinstance(block, np.ndarray)
            else block.isna() & False
        )
    return block <= last if kind == "p" else block >= last


def _family(
    values: Any,
    kind: _Kind,
    name: str,
    procedure: Procedure,
    alpha: object,
    m: object,
    cutoff: object,
    nan_policy: object,
) -> Rejections[Any, None, int]:
    _require_dask()
    from dask.base import compute
    from dask.delayed import delayed

    level = check.check_alpha(alpha)
    check.check_nan_policy(nan_policy)
    stated = check.check_cutoff(cutoff, kind)
    given = check.family_sizes(m, procedure, LARGEST_FAMILY)
    if given is not None and given.ndim:
        raise ValueError(f"m must be one integer for one family, got shape {given.shape}")
    series, blocks, starts = _blocks(values, name)
    # The bound of each block must hold for the family's size, which only
    # the pass tells: H_n for n at most that size selects a superset.
    known = None if given is None else int(given)
    if known is None and nan_policy == "raise" and starts is not None:
        known = starts[-1]
    parts = []
    for i, block in enumerate(blocks):
        length = None if starts is None else starts[i + 1] - starts[i]
        least = known if known is not None else max(length or 1, 1)
        h = harmonic_number(least) if kind == "p" else 1.0
        parts.append(delayed(_scan_part)(block, kind, _select.candidate_bound(kind, level, h)))
    found: list[_Part] = list(compute(*parts))

    tested = sum(part.tested for part in found)
    nans = sum(part.nan for part in found)
    if nans and nan_policy == "raise":
        where = _first(found, "first_nan", starts, series)
        raise ValueError(
            f"{name} holds {nans} NaN value{'s' if nans > 1 else ''}, the first at {where}; "
            "nan_policy='omit' leaves them untested"
        )
    bad = sum(part.bad for part in found)
    if bad:
        value = next(part.first_bad for part in found if part.first_bad is not None)[2]
        where = _first(found, "first_bad", starts, series)
        rule = "must lie in [0, 1]; {} do not" if kind == "p" else "must be >= 0; {} are not"
        raise ValueError(f"{name} {rule.format(bad)}, the first {value!r} at {where}")
    size = int(check.check_family_size(m, np.array(tested), procedure, LARGEST_FAMILY))
    if procedure == "e-BH" and tested and not any(part.above_one for part in found):
        warnings.warn(
            "no e-value exceeds 1, so e-BH can reject none of them at any level: a rejection "
            "needs (k * e) * (alpha / m) >= 1 + 1e-12 with k <= m. P-values belong to tulm.by",
            UserWarning,
            stacklevel=3,
        )

    harmonic = harmonic_number(size) if kind == "p" else 1.0
    # Narrowed part by part: only the survivors are ever together.
    parts = [part.candidates for part in found]
    last = _select.narrowed(kind, parts, size, level, harmonic)
    del found
    for i, part in enumerate(parts):
        parts[i] = part[part <= last] if kind == "p" else part[part >= last]
    candidates = np.concatenate([np.empty(0), *parts])
    del parts
    ranked = np.sort(candidates) if kind == "p" else np.sort(candidates)[::-1]
    count = _select.count(kind, ranked, size, level, harmonic)
    threshold = float(ranked[count - 1]) if count else None
    if series:
        rejected = values.map_partitions(_past_block, kind, threshold, meta=(values.name, bool))
    else:
        rejected = values.map_blocks(_past_block, kind, threshold, dtype=bool)
    full_family = _procedures._full_family(
        kind, level, np.array([size]), np.array([tested]), stated, harmonic
    )
    return Rejections(rejected, count, size, level, procedure, None, ready(None), full_family)


def _blocks(values: Any, name: str) -> tuple[bool, list[Any], list[int] | None]:
    """(is a Series, its blocks as delayed objects, the blocks' starting
    positions and the total, when known)."""
    import dask.array
    import dask.dataframe

    if isinstance(values, dask.dataframe.Series):
        return True, list(values.to_delayed()), None
    if isinstance(values, dask.array.Array):
        if values.ndim != 1:
            raise ValueError(
                f"{name} must be one family, a 1-d Dask array; got {values.ndim} dimensions "
                "(many families go to tulm.dask.per_family, or to tulm.by with axis on arrays "
                "in memory)"
            )
        if values.dtype.kind not in "iuf":
            raise TypeError(f"{name} must hold real numbers, got a Dask array of {values.dtype}")
        lengths = values.chunks[0]
        starts = None if any(math.isnan(n) for n in lengths) else [0, *np.cumsum(lengths).tolist()]
        return False, list(values.to_delayed().ravel()), starts
    raise TypeError(
        f"{name} must be a 1-d Dask array or a Dask Series, got {type(values).__name__}: "
        "in-memory values go to tulm.by and tulm.ebh"
    )


def _first(found: list[_Part], field: str, starts: list[int] | None, series: bool) -> str:
    for i, part in enumerate(found):
        first = getattr(part, field)
        if first is not None:
            position, label, _ = first
            if series:
                return f"label {label!r} (partition {i}, position {position})"
            if starts is not None:
                return f"index {starts[i] + position}"
            return f"block {i}, position {position}"
    raise AssertionError("no block holds it")  # pragma: no cover


@overload
def ebh(
    evalues: dd.Series,
    alpha: float = 0.05,
    *,
    m: int | None = None,
    cutoff: float | None = None,
    nan_policy: NanPolicy = "raise",
) -> Rejections[dd.Series, None, int]: ...
@overload
def ebh(
    evalues: da.Array,
    alpha: float = 0.05,
    *,
    m: int | None = None,
    cutoff: float | None = None,
    nan_policy: NanPolicy = "raise",
) -> Rejections[da.Array, None, int]: ...
def ebh(
    evalues: Any,
    alpha: float = 0.05,
    *,
    m: int | None = None,
    cutoff: float | None = None,
    nan_policy: NanPolicy = "raise",
) -> Rejections[Any, None, int]:
    """e-BH on one family held by Dask.

    Parameters
    ----------
    evalues : dask.array.Array or dask.dataframe.Series
        One family of non-negative e-values, 1-d, of any length.
    alpha : float, default 0.05
        Level of false discovery rate control, ``0 < alpha <= 1``.
    m : int, optional
        The family size, when `evalues` holds only some of the family; as
        for `tulm.ebh`.
    cutoff : float, optional
        The e-value the given values were selected by; as for `tulm.ebh`.
    nan_policy : {"raise", "omit"}, default "raise"
        "raise" refuses NaN; "omit" leaves NaN hypotheses untested.

    Returns
    -------
    Rejections
        ``rejected``, a lazy Dask array or Series of bool aligned with
        `evalues`; ``count``, ``m``, ``alpha``, ``procedure="e-BH"`` and
        ``full_family`` as for `tulm.ebh`. ``adjusted`` is None: adjusted
        levels of a family beyond memory would need a distributed sort.

    Raises
    ------
    TypeError
        If `evalues` is not a 1-d Dask array or a Dask Series of numbers.
    ValueError
        As for `tulm.ebh`.

    See Also
    --------
    tulm.ebh : The same in memory; the answers are equal.

    Notes
    -----
    One pass over the data, on the workers, keeps the e-values of at least
    ``1/alpha`` (with a margin for rounding); the count is then that of the
    kernel over them, bit for bit. Computing ``rejected`` reads the data a
    second time. This process holds the candidates only, 8 bytes each.

    Examples
    --------
    >>> import dask.array as da
    >>> import tulm.dask
    >>> e = da.from_array([0.3, 1.0, 0.8, 14.0, 31.0, 35.0, 40.0, 400.0], chunks=4)
    >>> tulm.dask.ebh(e).count
    1
    """
    return _family(evalues, "e", "evalues", "e-BH", alpha, m, cutoff, nan_policy)


@overload
def by(
    pvalues: dd.Series,
    alpha: float = 0.05,
    *,
    m: int | None = None,
    cutoff: float | None = None,
    nan_policy: NanPolicy = "raise",
) -> Rejections[dd.Series, None, int]: ...
@overload
def by(
    pvalues: da.Array,
    alpha: float = 0.05,
    *,
    m: int | None = None,
    cutoff: float | None = None,
    nan_policy: NanPolicy = "raise",
) -> Rejections[da.Array, None, int]: ...
def by(
    pvalues: Any,
    alpha: float = 0.05,
    *,
    m: int | None = None,
    cutoff: float | None = None,
    nan_policy: NanPolicy = "raise",
) -> Rejections[Any, None, int]:
    """The Benjamini-Yekutieli procedure on one family held by Dask.

    Parameters
    ----------
    pvalues : dask.array.Array or dask.dataframe.Series
        One family of p-values in [0, 1], 1-d, of any length.
    alpha : float, default 0.05
        Level of false discovery rate control, ``0 < alpha <= 1``.
    m : int, optional
        The family size, when `pvalues` holds only some of the family; as
        for `tulm.by`.
    cutoff : float, optional
        The p-value the given values were selected by; as for `tulm.by`.
    nan_policy : {"raise", "omit"}, default "raise"
        "raise" refuses NaN; "omit" leaves NaN hypotheses untested.

    Returns
    -------
    Rejections
        ``rejected``, a lazy Dask array or Series of bool aligned with
        `pvalues`; ``count``, ``m``, ``alpha``, ``procedure="BY"`` and
        ``full_family`` as for `tulm.by`. ``adjusted`` is None: adjusted
        p-values of a family beyond memory would need a distributed sort.

    Raises
    ------
    TypeError
        If `pvalues` is not a 1-d Dask array or a Dask Series of numbers.
    ValueError
        As for `tulm.by`.

    See Also
    --------
    tulm.by : The same in memory; the answers are equal.

    Notes
    -----
    One pass over the data, on the workers, counts the values and keeps the
    p-values of at most ``(alpha + 1e-10) / H_n`` (with a margin for
    rounding), n being the family size when it is known before the pass (the
    length, under ``nan_policy="raise"``, or `m`) and the block's size
    otherwise; the count is then that of the kernel over them, bit for bit,
    with H_m as `tulm.by` computes it. Computing ``rejected`` reads the data a
    second time. This process holds the candidates only, 8 bytes each.

    Examples
    --------
    >>> import dask.array as da
    >>> import tulm.dask
    >>> p = da.from_array([0.012, 0.5, 0.0005, 0.03, 0.008, 0.05, 0.001, 0.01], chunks=3)
    >>> tulm.dask.by(p).rejected.compute()
    array([False, False,  True, False, False, False,  True, False])
    """
    return _family(pvalues, "p", "pvalues", "BY", alpha, m, cutoff, nan_policy)


_PROCEDURES: dict[Callable[..., Any], tuple[str, bool]] = {
    _procedures.ebh: ("ebh", False),
    _procedures.closed_ebh: ("closed_ebh", True),
    _procedures.by: ("by", False),
    _procedures.closed_by: ("closed_by", True),
}


class _PerFamily:
    """The procedure on each family of a pandas DataFrame: a `rejected`
    column, and `adjusted` when asked. Runs on the workers, so it holds only
    names and plain options, and pickles by reference to this module."""

    def __init__(
        self,
        procedure: Callable[..., Any],
        column: str,
        family: str,
        alpha: float,
        adjusted: bool,
        options: dict[str, Any],
    ) -> None:
        self.name, self.closed = _PROCEDURES[procedure]
        self.column, self.family, self.alpha = column, family, alpha
        self.adjusted, self.options = adjusted, options

    def __call__(self, frame: pd.DataFrame) -> pd.DataFrame:
        function = getattr(_procedures, self.name)
        options = dict(self.options)
        if self.closed and self.adjusted:
            options["adjusted"] = True
        values = frame[self.column].to_numpy(dtype=np.float64, na_value=np.nan)
        rejected = np.zeros(len(frame), dtype=bool)
        levels = np.full(len(frame), np.nan)
        for rows in frame.groupby(self.family, sort=False, dropna=False).indices.values():
            result = function(values[rows], self.alpha, **options)
            rejected[rows] = result.rejected
            if self.adjusted:
                levels[rows] = result.adjusted
        columns: dict[str, Any] = {"rejected": rejected}
        if self.adjusted:
            columns["adjusted"] = levels
        return frame.assign(**columns)


def per_family(
    frame: dd.DataFrame,
    procedure: Callable[..., Rejections[Any, Any, Any]],
    *,
    column: str,
    family: str,
    alpha: float = 0.05,
    adjusted: bool = False,
    method: Method | None = None,
    nan_policy: NanPolicy = "raise",
    partitioned: bool = False,
) -> dd.DataFrame:
    """A procedure on each family of a Dask DataFrame.

    Parameters
    ----------
    frame : dask.dataframe.DataFrame
        One row per hypothesis: its value in `column`, its family in `family`.
    procedure : {tulm.ebh, tulm.closed_ebh, tulm.by, tulm.closed_by}
        The procedure to run on each family.
    column : str
        The column of p-values or e-values.
    family : str
        The column naming each row's family.
    alpha : float, default 0.05
        Level of false discovery rate control in each family.
    adjusted : bool, default False
        Add the adjusted levels as a column `adjusted` (for the closed
        procedures, ``method="exact"`` only).
    method : {"exact", "approximate"}, optional
        The search of a closed procedure ("exact" when not given).
    nan_policy : {"raise", "omit"}, default "raise"
        "raise" refuses NaN; "omit" leaves NaN hypotheses untested.
    partitioned : bool, default False
        True when every family lies whole in one partition (as when the frame
        was built family by family): each partition is tested as it is.
        Otherwise the rows are first shuffled by `family`.

    Returns
    -------
    dask.dataframe.DataFrame
        `frame`, lazy, with a boolean column `rejected` (and `adjusted`).
        Rows keep their index; without `partitioned`, the shuffle moves them
        between partitions.

    Raises
    ------
    TypeError
        If `procedure` is not one of the four, or `frame` not a Dask
        DataFrame.
    ValueError
        If a column is missing, or the frame already has a column the
        result adds; the procedure's own refusals when the frame is computed.

    See Also
    --------
    tulm.by, tulm.closed_by, tulm.ebh, tulm.closed_ebh : The procedures.

    Notes
    -----
    Each family is tested as `procedure` tests an array of its values, in
    the order of the rows: the answers equal those in memory. Under Spark the
    same runs with ``groupby(family).applyInPandas`` (see the Genome scale
    page).

    Examples
    --------
    >>> import dask.dataframe as dd
    >>> import pandas as pd
    >>> import tulm, tulm.dask
    >>> screen = pd.DataFrame(
    ...     {"tissue": ["liver"] * 3 + ["brain"] * 3, "p": [0.001, 0.5, 0.01, 0.2, 0.002, 0.03]}
    ... )
    >>> tested = tulm.dask.per_family(
    ...     dd.from_pandas(screen, npartitions=2), tulm.by, column="p", family="tissue"
    ... )
    >>> tested.compute().sort_index()
      tissue      p  rejected
    0  liver  0.001      True
    1  liver  0.500     False
    2  liver  0.010      True
    3  brain  0.200     False
    4  brain  0.002      True
    5  brain  0.030     False
    """
    _require_dask()
    import dask.dataframe

    if not isinstance(frame, dask.dataframe.DataFrame):
        raise TypeError(
            f"frame must be a Dask DataFrame, got {type(frame).__name__}: for a pandas "
            "DataFrame, run the procedure on each group of frame.groupby(family)[column]"
        )
    if procedure not in _PROCEDURES:
        raise TypeError(
            "procedure must be tulm.ebh, tulm.closed_ebh, tulm.by or tulm.closed_by, "
            f"got {procedure!r}"
        )
    for name, value in (("column", column), ("family", family)):
        if value not in frame.columns:
            raise ValueError(f"{name}: frame has no column {value!r}")
    added = ["rejected", "adjusted"] if adjusted else ["rejected"]
    for name in added:
        if name in frame.columns:
            raise ValueError(f"frame already has a column {name!r}, which the result adds")
    level = check.check_alpha(alpha)
    check.check_nan_policy(nan_policy)
    options: dict[str, Any] = {"nan_policy": nan_policy}
    if _PROCEDURES[procedure][1]:
        options["method"] = method or "exact"
        check.check_choice(options["method"], "method", ("exact", "approximate"))
        if adjusted and options["method"] == "approximate":
            raise ValueError("adjusted=True needs method='exact'")
    elif method is not None:
        raise ValueError(f"method applies to the closed procedures, not {procedure.__name__}")
    tester = _PerFamily(procedure, column, family, level, adjusted, options)
    meta = tester(frame._meta)
    source = frame if partitioned else frame.shuffle(on=family)
    tested: dd.DataFrame = source.map_partitions(tester, meta=meta)
    return tested
