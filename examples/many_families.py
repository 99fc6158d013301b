"""Many independent families of hypotheses, one _tulm call per family, on Dask.

A screen often splits into families that are tested separately: one per gene
set, tissue or dataset. Each family is small enough for one call, but
thousands of them outgrow one process. This example simulates a few thousand
families of different sizes and signal strengths and runs e-BH, closed e-BH,
BY and closed BY on every family as one Dask task, then repeats every call
serially in this process and checks that both give the same answers (the
kernels are exact, so the answers match to the last rejection).

    python examples/many_families.py                       # a LocalCluster on this machine
    python examples/many_families.py --scheduler tcp://scheduler-host:8786

A task simulates its family from the family's seed, standing in for loading
that family's statistics from storage: only the small spec travels to the
worker. _tulm holds the GIL for the whole of a call, so a worker process with
one thread is the unit of parallelism.
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from collections.abc import Sequence
from typing import NamedTuple, cast

import numpy as np
import numpy.typing as npt
from dask.distributed import Client, LocalCluster

import _tulm

FloatArray = npt.NDArray[np.float64]

ALPHA = 0.05
PROCEDURES = ("e-BH", "closed e-BH", "BY", "closed BY")


class FamilySpec(NamedTuple):
    """What a worker needs to produce one family's statistics."""

    name: str
    seed: int
    m: int
    signal_fraction: float
    shift: float


class FamilyResult(NamedTuple):
    name: str
    m: int
    ebh: int
    closed_ebh: int
    by: int
    closed_by: int


def as_sequence(values: FloatArray) -> Sequence[float]:
    # The stub follows the runtime signature, Sequence[...]; numpy arrays are
    # read through their buffer at run time, but type checkers do not count
    # ndarray as a Sequence.
    return cast(Sequence[float], values)


def make_specs(families: int, seed: int) -> list[FamilySpec]:
    """Families of 20 to 5,000 hypotheses (log-uniform), each with its own signal."""
    rng = np.random.default_rng(seed)
    sizes = np.exp(rng.uniform(math.log(20), math.log(5000), families)).astype(int)
    fractions = rng.uniform(0.0, 0.2, families)
    shifts = rng.uniform(1.5, 4.0, families)
    seeds = rng.integers(0, 2**63, families)
    return [
        FamilySpec(
            f"family-{i:05d}", int(seeds[i]), int(sizes[i]), float(fractions[i]), float(shifts[i])
        )
        for i in range(families)
    ]


def simulate(spec: FamilySpec) -> tuple[FloatArray, FloatArray]:
    """Sorted e-values (ascending) and p-values (descending) of one family.

    z ~ N(shift, 1) for signals and N(0, 1) for nulls; likelihood-ratio
    e-values exp(shift z - shift^2 / 2) and one-sided p-values.
    """
    rng = np.random.default_rng(spec.seed)
    signals = rng.random(spec.m) < spec.signal_fraction
    z = rng.standard_normal(spec.m) + spec.shift * signals
    evalues = np.sort(np.exp(spec.shift * z - spec.shift * spec.shift / 2))
    pvalues = np.sort(np.array([0.5 * math.erfc(x / math.sqrt(2.0)) for x in z]))[::-1]
    return evalues, pvalues


def harmonic_table(m: int) -> FloatArray:
    """[0, H_1, ..., H_m], summed left to right as BY_cpp expects."""
    return np.concatenate(([0.0], np.cumsum(1.0 / np.arange(1, m + 1))))


def analyse_family(spec: FamilySpec) -> FamilyResult:
    """One task: the four rejection counts of one family."""
    evalues, pvalues = simulate(spec)
    e, p = as_sequence(evalues), as_sequence(pvalues)
    return FamilyResult(
        name=spec.name,
        m=spec.m,
        ebh=_tulm.eBH_cpp(e, ALPHA),
        closed_ebh=_tulm.closede_bh_cpp(e, ALPHA),
        by=_tulm.BY_cpp(p, as_sequence(harmonic_table(spec.m)), ALPHA),
        closed_by=_tulm.largestcBYsignificant_cpp(p, ALPHA),
    )


# Tasks take and return plain tuples: an instance of a class defined in this
# script would carry the class itself, pickled by value, with every task.
SpecFields = tuple[str, int, int, float, float]
ResultFields = tuple[str, int, int, int, int, int]


def analyse_batch(batch: Sequence[SpecFields]) -> list[ResultFields]:
    """One task: a batch of families, one call per family and procedure."""
    return [(*analyse_family(FamilySpec._make(fields)),) for fields in batch]


def run_on_dask(client: Client, specs: Sequence[FamilySpec], batch_size: int) -> list[FamilyResult]:
    # A Dask task costs about a millisecond of scheduling, as much as the calls
    # of a typical family: each task takes a batch of families.
    batches = [
        [tuple(spec) for spec in specs[i : i + batch_size]]
        for i in range(0, len(specs), batch_size)
    ]
    futures = client.map(analyse_batch, batches, pure=False)
    results: list[list[ResultFields]] = client.gather(futures)
    return [FamilyResult._make(fields) for batch in results for fields in batch]


def mismatches(
    parallel: Sequence[FamilyResult], serial: Sequence[FamilyResult]
) -> list[tuple[FamilyResult | None, FamilyResult | None]]:
    """Pairs that differ, family by family; a missing family counts as a difference."""
    by_name = {result.name: result for result in parallel}
    differences: list[tuple[FamilyResult | None, FamilyResult | None]] = [
        (by_name.get(expected.name), expected)
        for expected in serial
        if by_name.get(expected.name) != expected
    ]
    known = {expected.name for expected in serial}
    differences += [(result, None) for result in parallel if result.name not in known]
    return differences


def summarise(results: Sequence[FamilyResult]) -> str:
    hypotheses = sum(result.m for result in results)
    totals = [
        sum(result.ebh for result in results),
        sum(result.closed_ebh for result in results),
        sum(result.by for result in results),
        sum(result.closed_by for result in results),
    ]
    gained_e = sum(result.closed_ebh > result.ebh for result in results)
    gained_p = sum(result.closed_by > result.by for result in results)
    lines = [f"{len(results):,} families, {hypotheses:,} hypotheses, level alpha = {ALPHA}", ""]
    lines += [
        f"  {name:<12}{total:>10,} rejections"
        for name, total in zip(PROCEDURES, totals, strict=True)
    ]
    lines += [
        "",
        f"closed e-BH rejects more than e-BH in {gained_e:,} families, "
        f"closed BY more than BY in {gained_p:,}",
    ]
    return "\n".join(lines)


def parse_args(argv: Sequence[str] | None) -> argparse.Namespace:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0] if __doc__ else None)
    parser.add_argument(
        "--families", type=int, default=3000, help="number of simulated families (default 3000)"
    )
    parser.add_argument(
        "--scheduler",
        metavar="ADDRESS",
        help="address of a running Dask scheduler; default: start a LocalCluster",
    )
    parser.add_argument(
        "--workers", type=int, default=2, help="worker processes of the LocalCluster (default 2)"
    )
    parser.add_argument(
        "--batch-size", type=int, default=25, help="families per Dask task (default 25)"
    )
    parser.add_argument("--seed", type=int, default=20261207)
    return parser.parse_args(argv)


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    specs = make_specs(args.families, args.seed)

    start = time.perf_counter()
    if args.scheduler:
        with Client(args.scheduler) as client:
            parallel = run_on_dask(client, specs, args.batch_size)
    else:
        # One thread per worker: a call holds the GIL throughout.
        with (
            LocalCluster(
                n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=None
            ) as cluster,
            Client(cluster) as client,
        ):
            parallel = run_on_dask(client, specs, args.batch_size)
    dask_seconds = time.perf_counter() - start

    start = time.perf_counter()
    serial = [analyse_family(spec) for spec in specs]
    serial_seconds = time.perf_counter() - start

    print(summarise(parallel))
    print(f"Dask {dask_seconds:.1f} s (cluster start-up included), serial {serial_seconds:.1f} s")
    differences = mismatches(parallel, serial)
    if differences:
        print(
            f"MISMATCH: {len(differences)} families differ from the serial calls", file=sys.stderr
        )
        for got, expected in differences[:10]:
            print(f"  dask {got}\n  serial {expected}", file=sys.stderr)
        return 1
    print(f"all {len(serial):,} families match the serial calls")
    return 0


if __name__ == "__main__":
    sys.exit(main())
