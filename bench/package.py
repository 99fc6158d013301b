"""The tulm package against its targets, as ratios measured side by side in
one run on the demo's simulated screen.

    .venv/bin/python bench/package.py            # m = 10^6
    .venv/bin/python bench/package.py --quick    # m = 10^4

On unsorted values, end to end (argument checks included):
- tulm.by and tulm.ebh, mask and count only, against np.copy of the input
  (target: at most 5x), and statsmodels' and scipy's BY against tulm.by
  (targets: at least 10x and 20x);
- the same with `adjusted` read, against np.sort of the input (at most 1.5x);
- tulm.closed_by and tulm.closed_ebh against their kernel on sorted input
  plus one np.sort (at most 1.2x);
- many families along an axis, workers=2 against workers=1.

Each pair's calls alternate; the ratio is that of the medians. Nothing is
asserted: the machine is shared and noisy, so read ratios, not times.
"""

import argparse
import os
import pathlib
import statistics
import sys
import time

for variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(variable, "1")

import numpy as np  # noqa: E402
from scipy.stats import false_discovery_control  # noqa: E402

import _tulm  # noqa: E402
import tulm  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from simulate import Screen  # noqa: E402

ALPHA = 0.05


def paired(first, second, seconds=2.0, least=7):
    """Median times of two calls run in turn, for about `seconds` in all."""
    times = ([], [])
    first(), second()  # warm: pages, caches, imports
    start = time.perf_counter()
    while len(times[0]) < least or time.perf_counter() - start < seconds:
        for call, record in ((first, times[0]), (second, times[1])):
            begin = time.perf_counter()
            call()
            record.append(time.perf_counter() - begin)
        if len(times[0]) >= 400:
            break
    return statistics.median(times[0]), statistics.median(times[1])


def show(label, package, other, other_name, target=""):
    print(
        f"{label:<46}{package * 1e3:>10.3f} ms{other * 1e3:>10.3f} ms"
        f"{package / other:>8.2f}x  {other_name:<34}{target}",
        flush=True,
    )


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--quick", action="store_true", help="m = 10^4")
    args = parser.parse_args()
    m = 10_000 if args.quick else 1_000_000
    print(f"tulm from {tulm.__file__}; numpy {np.__version__}; alpha = {ALPHA}; m = {m:,}")
    print(f"{'':<46}{'tulm':>13}{'other':>13}{'ratio':>9}")

    screen = Screen(m)
    p, e = screen.pvalues, screen.evalues
    assert tulm.by(p).count == int((false_discovery_control(p, method="by") <= ALPHA).sum())

    for name, function, values in (("by", tulm.by, p), ("ebh", tulm.ebh, e)):
        package, copy = paired(lambda: function(values, ALPHA), lambda: np.copy(values))
        show(f"tulm.{name}, mask and count", package, copy, "np.copy", "target <= 5x")
    try:
        from statsmodels.stats.multitest import multipletests
    except ImportError:
        print("statsmodels is not installed: its BY is left out")
    else:
        other, package = paired(
            lambda: multipletests(p, ALPHA, method="fdr_by"), lambda: tulm.by(p, ALPHA)
        )
        show("statsmodels multipletests fdr_by", other, package, "tulm.by", "target >= 10x")
    other, package = paired(
        lambda: false_discovery_control(p, method="by"), lambda: tulm.by(p, ALPHA)
    )
    show("scipy false_discovery_control by", other, package, "tulm.by", "target >= 20x")

    for name, function, values in (("by", tulm.by, p), ("ebh", tulm.ebh, e)):
        package, sort = paired(lambda: function(values, ALPHA).adjusted, lambda: np.sort(values))
        show(f"tulm.{name}, adjusted read", package, sort, "np.sort", "target <= 1.5x")

    # The kernels take e-values ascending and p-values descending.
    closed = [
        (
            "closed_ebh",
            lambda: tulm.closed_ebh(e, ALPHA),
            lambda: _tulm.closede_bh_cpp(screen.evalues_ascending, ALPHA),
            e,
        ),
        (
            "closed_by",
            lambda: tulm.closed_by(p, ALPHA),
            lambda: _tulm.largestcBYsignificant_cpp(screen.pvalues_descending, ALPHA),
            p,
        ),
    ]
    for name, package_call, kernel_call, values in closed:
        package, kernel = paired(
            package_call, lambda: (np.sort(values), kernel_call()), seconds=4.0, least=5
        )
        show(f"tulm.{name}, end to end", package, kernel, "kernel on sorted + np.sort", "<= 1.2x")

    families = np.stack([Screen(1_000, seed=seed).evalues for seed in range(200)])
    for name, function in (("ebh", tulm.ebh), ("closed_ebh", tulm.closed_ebh)):
        one, two = paired(
            lambda: function(families, ALPHA, workers=1),
            lambda: function(families, ALPHA, workers=2),
        )
        show(f"tulm.{name}, 200 families of 1,000", one, two, "workers=2 against 1")


if __name__ == "__main__":
    main()
