"""One family of 2 x 10^9 p-values on a local Dask cluster: tulm.dask.by
against one pass of Dask alone over the same data, (x < c).sum().

    .venv/bin/python bench/dask_family.py                 # 2 x 10^9, minutes
    .venv/bin/python bench/dask_family.py --m 200000000   # smaller

The p-values are generated chunk by chunk on the workers (a genome-wide scan:
one-sided p-values of z ~ N(0, 1), and a sparse 10^-4 of signals with z ~
N(6, 1)), so the family is never held in memory; each pass generates it
again. Reported: the time of each pass, their ratio, and the peak resident
memory of every process (this one, with the scheduler, and each worker). The
family size is beyond the kernels' 2^31 - 2 when m is.
"""

import argparse
import os
import resource
import time

for variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(variable, "1")

import dask.array as da  # noqa: E402
import numpy as np  # noqa: E402
from dask.distributed import Client, LocalCluster  # noqa: E402
from scipy.special import ndtr  # noqa: E402

import tulm.dask  # noqa: E402

ALPHA = 0.05
CHUNK = 1 << 23
SIGNALS = 1e-4


def chunk(block_id=None, size=CHUNK, seed=0):
    """One chunk of p-values, the same for the same block and seed."""
    rng = np.random.default_rng([seed, block_id[0]])
    z = rng.standard_normal(size)
    signals = rng.random(size) < SIGNALS
    z[signals] += 6.0
    return ndtr(-z)


def family(m):
    sizes = [CHUNK] * (m // CHUNK) + ([m % CHUNK] if m % CHUNK else [])
    blocks = [
        da.from_delayed(_delayed_chunk(i, n), shape=(n,), dtype=np.float64)
        for i, n in enumerate(sizes)
    ]
    return da.concatenate(blocks)


def _delayed_chunk(i, n):
    from dask import delayed

    return delayed(chunk)(block_id=(i,), size=n)


def peak_mib():
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--m", type=int, default=2 * 10**9)
    parser.add_argument("--workers", type=int, default=2)
    parser.add_argument("--memory-limit", default="2GiB", help="per worker (2GiB)")
    args = parser.parse_args()
    with (
        LocalCluster(
            n_workers=args.workers,
            threads_per_worker=1,
            processes=True,
            memory_limit=args.memory_limit,
            dashboard_address=None,
        ) as cluster,
        Client(cluster) as client,
    ):
        x = family(args.m)
        print(f"m = {args.m:,} in {x.numblocks[0]} chunks of {CHUNK:,}; {args.workers} workers")

        start = time.perf_counter()
        below = int((x < 0.05 / 22).sum().compute())
        alone = time.perf_counter() - start
        print(f"Dask alone, (x < c).sum():     {alone:8.1f} s  ({below:,} below c)")

        start = time.perf_counter()
        result = tulm.dask.by(x, ALPHA)
        package = time.perf_counter() - start
        print(f"tulm.dask.by, count:           {package:8.1f} s  {result!r}")
        print(f"ratio {package / alone:.2f}x")

        workers = client.run(peak_mib)
        scheduler = client.run_on_scheduler(peak_mib)
        print(
            f"peak resident memory: this process {peak_mib():.0f} MiB, scheduler {scheduler:.0f} MiB"
        )
        for address, mib in workers.items():
            print(f"  worker {address}: {mib:.0f} MiB")


if __name__ == "__main__":
    main()
