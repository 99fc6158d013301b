"""False discovery rate control with e-BH, BY and their closed versions.

Each procedure takes a screen of e-values or p-values in any order and
returns a `Rejections`: which hypotheses it rejects, aligned with the input.

- `ebh` and `closed_ebh` take e-values: closed e-BH rejects everything
  e-BH rejects, and often more, at the same level.
- `by` and `closed_by` take p-values, likewise.
- `is_mean_consistent` checks one set of hypotheses chosen by hand.
- `tulm.dask` (with Dask installed) runs e-BH and BY on one family beyond
  memory, and any procedure on many families of a Dask DataFrame.

Values may be a sequence, a numpy array or a pandas Series (a Series gives
Series back, on the same index). N-d arrays hold one family of hypotheses per
1-d slice along `axis`. A family may be given in part, its size stated as
`m`. Every result has the adjusted levels, the smallest level at which each
hypothesis is rejected (for the closed procedures, with ``adjusted=True``).
The counts are those of the exact kernels of the `_tulm` extension on the
sorted values, bit for bit; the package checks the arguments, sorts what the
kernels read, and maps the counts back to the input.

>>> import tulm
>>> p = [0.012, 0.5, 0.0005, 0.03, 0.008, 0.05, 0.001, 0.01]
>>> tulm.by(p).count, tulm.closed_by(p).count
(2, 5)
"""

from ._procedures import by, closed_by, closed_ebh, ebh, is_mean_consistent
from ._result import Rejections

__all__ = ["Rejections", "by", "closed_by", "closed_ebh", "ebh", "is_mean_consistent"]
