"""The tulm package against scipy and against the bare kernels, as ratios
measured side by side in one run on the demo's simulated screen.

    .venv/bin/python bench/package.py            # m = 10^3 and 10^6
    .venv/bin/python bench/package.py --quick    # m = 10^3 and 10^4

- tulm.by on unsorted p-values, end to end (checks, sort, kernel, mask,
  adjusted p-values), against scipy.stats.false_discovery_control(p, "by");
- each procedure on pre-sorted input against its bare kernel call on the
  same sorted array (the harmonic table precomputed): the package's overhead;
- many families along an axis with workers=2 against workers=1.

Each pair's calls alternate, median of the repeats. Nothing is asserted.
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


def paired(first, second, seconds=1.5, least=5):
    """Median times of two calls run in turn, for about `seconds` in all."""
    times = ([], [])
    first(), second()  # warm: pages, caches, imports
    start = time.perf_counter()
    while len(times[0]) < least or time.perf_counter() - start < seconds:
        for call, record in ((first, times[0]), (second, times[1])):
            begin = time.perf_counter()
            call()
            record.append(time.perf_counter() - begin)
        if len(times[0]) >= 200:
            break
    return statistics.median(times[0]), statistics.median(times[1])


def show(label, package, other, other_name):
    print(
        f"{label:<50}{package * 1e3:>11.3f} ms{other * 1e3:>11.3f} ms"
        f"{package / other:>9.2f}x  ({other_name})",
        flush=True,
    )


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--quick", action="store_true", help="m = 10^3 and 10^4 only")
    args = parser.parse_args()
    sizes = [1_000, 10_000] if args.quick else [1_000, 1_000_000]
    print(f"tulm from {tulm.__file__}; numpy {np.__version__}; alpha = {ALPHA}")
    print(f"{'':<50}{'package':>14}{'other':>14}{'ratio':>10}")

    for m in sizes:
        screen = Screen(m)
        p = screen.pvalues
        ascending_p = np.ascontiguousarray(screen.pvalues_descending[::-1])
        descending_e = np.ascontiguousarray(screen.evalues_ascending[::-1])
        assert tulm.by(p).count == int((false_discovery_control(p, method="by") <= ALPHA).sum())
        package, scipy_time = paired(
            lambda: tulm.by(p, ALPHA), lambda: false_discovery_control(p, method="by")
        )
        show(f"tulm.by, unsorted, m = {m:,}", package, scipy_time, "scipy BY")

        # Pre-sorted input: the package still checks and sorts, the kernel does not.
        pairs = [
            (
                "ebh",
                lambda: tulm.ebh(descending_e, ALPHA),
                lambda: _tulm.eBH_cpp(screen.evalues_ascending, ALPHA),
                "eBH_cpp",
            ),
            (
                "closed_ebh",
                lambda: tulm.closed_ebh(descending_e, ALPHA),
                lambda: _tulm.closede_bh_cpp(screen.evalues_ascending, ALPHA),
                "closede_bh_cpp",
            ),
            (
                "by",
                lambda: tulm.by(ascending_p, ALPHA),
                lambda: _tulm.BY_cpp(screen.pvalues_descending, screen.harmonic, ALPHA),
                "BY_cpp",
            ),
        ]
        if m <= 10_000:  # the closed BY searches take seconds at 10^6
            pairs.append(
                (
                    "closed_by",
                    lambda: tulm.closed_by(ascending_p, ALPHA),
                    lambda: _tulm.largestcBYsignificant_cpp(screen.pvalues_descending, ALPHA),
                    "largestcBYsignificant_cpp",
                )
            )
        for name, package_call, kernel_call, kernel_name in pairs:
            package, kernel = paired(package_call, kernel_call)
            show(f"tulm.{name}, pre-sorted, m = {m:,}", package, kernel, kernel_name)

    families = np.stack([Screen(1_000, seed=seed).evalues for seed in range(200)])
    for name, function in (("ebh", tulm.ebh), ("closed_ebh", tulm.closed_ebh)):
        one, two = paired(
            lambda: function(families, ALPHA, workers=1),
            lambda: function(families, ALPHA, workers=2),
        )
        show(f"tulm.{name}, 200 families of 1,000, workers=1", one, two, "workers=2")


if __name__ == "__main__":
    main()
