"""False discovery rate control with e-BH, BY and their closed versions.

Each procedure takes a screen of e-values or p-values in any order and
returns a `Rejections`: which hypotheses it rejects, aligned with the input.

- `ebh` and `closed_ebh` take e-values: closed e-BH rejects everything
  e-BH rejects, and often more, at the same level.
- `by` and `closed_by` take p-values, likewise; `by` also gives the
  BY-adjusted p-values.
- `is_mean_consistent` checks one set of hypotheses chosen by hand.

Values may be a sequence, a numpy array or a pandas Series (a Series gives
Series back, on the same index). N-d arrays hold one family of hypotheses per
1-d slice along `axis`. The counts are those of the exact kernels of the
`_tulm` extension on the sorted values; the package sorts, checks the
arguments and maps the counts back to the input.

>>> import tulm
>>> p = [0.012, 0.5, 0.0005, 0.03, 0.008, 0.05, 0.001, 0.01]
>>> tulm.by(p).count, tulm.closed_by(p).count
(2, 5)
"""

from ._procedures import by, closed_by, closed_ebh, ebh, is_mean_consistent
from ._result import Rejections

__all__ = ["Rejections", "by", "closed_by", "closed_ebh", "ebh", "is_mean_consistent"]
