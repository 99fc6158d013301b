"""Many independent families of hypotheses through the tulm package, on Dask.

A screen often splits into families that are tested separately: one per gene
set, tissue or dataset. Each family is small, but thousands of them outgrow
one process. This example holds a few thousand simulated families of
different sizes in one long dask DataFrame (a row per hypothesis, a `family`
column), runs e-BH, closed e-BH, BY and closed BY on each family with
tulm.dask.per_family, and then checks every rejection against the same
families run in this process in one call per procedure: the families stacked
into a 2-d array, padded with NaN to the longest, with `axis=1` and
`nan_policy="omit"`.

    python examples/many_families.py                       # a LocalCluster on this machine
    python examples/many_families.py --scheduler tcp://scheduler-host:8786

Each partition simulates its families from their seeds, standing in for
loading a batch of families from storage: only the small specs travel to the
workers, and every family lies whole in one partition, so per_family needs no
shuffle (partitioned=True). Worker processes with one thread each are the
unit of parallelism.
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from collections.abc import Callable, Sequence
from typing import Any, NamedTuple

import dask.dataframe as dd
import numpy as np
import numpy.typing as npt
import pandas as pd
from dask.distributed import Client, LocalCluster

import tulm
import tulm.dask

FloatArray = npt.NDArray[np.float64]

ALPHA = 0.05
# Output column: (procedure, the column it reads).
PROCEDURES: dict[str, tuple[Callable[..., tulm.Rejections[Any, Any]], str]] = {
    "ebh": (tulm.ebh, "e"),
    "closed_ebh": (tulm.closed_ebh, "e"),
    "by": (tulm.by, "p"),
    "closed_by": (tulm.closed_by, "p"),
}
TESTED_COLUMNS = ["family", "e", "p", *PROCEDURES]


class FamilySpec(NamedTuple):
    """What a worker needs to produce one family's statistics."""

    name: str
    seed: int
    m: int
    signal_fraction: float
    shift: float


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
    """E-values and p-values of one family, in hypothesis order.

    z ~ N(shift, 1) for signals and N(0, 1) for nulls; likelihood-ratio
    e-values exp(shift z - shift^2 / 2) and one-sided p-values.
    """
    rng = np.random.default_rng(spec.seed)
    signals = rng.random(spec.m) < spec.signal_fraction
    z = rng.standard_normal(spec.m) + spec.shift * signals
    evalues = np.exp(spec.shift * z - spec.shift * spec.shift / 2)
    pvalues = np.array([0.5 * math.erfc(x / math.sqrt(2.0)) for x in z])
    return evalues, pvalues


# Partitions are made from plain tuples: an instance of a class defined in
# this script would carry the class itself, pickled by value, with every task.
SpecFields = tuple[str, int, int, float, float]


def family_column(specs: Sequence[FamilySpec]) -> npt.NDArray[np.object_]:
    """Each family's name once per hypothesis."""
    names = np.array([spec.name for spec in specs], dtype=object)
    return np.repeat(names, [spec.m for spec in specs])


def family_frame(batch: Sequence[SpecFields]) -> pd.DataFrame:
    """One partition: a row per hypothesis of each family in the batch."""
    specs = [FamilySpec._make(fields) for fields in batch]
    values = [simulate(spec) for spec in specs]
    return pd.DataFrame(
        {
            "family": family_column(specs),
            "e": np.concatenate([e for e, _ in values]) if values else np.empty(0),
            "p": np.concatenate([p for _, p in values]) if values else np.empty(0),
        }
    )


def run_on_dask(specs: Sequence[FamilySpec], batch_size: int) -> pd.DataFrame:
    """The tested table, computed on the cluster of the current Client."""
    batches = [
        [(*spec,) for spec in specs[i : i + batch_size]] for i in range(0, len(specs), batch_size)
    ]
    tested = dd.from_map(family_frame, batches, meta=family_frame([]))
    for name, (procedure, values) in PROCEDURES.items():
        tested = tulm.dask.per_family(
            tested, procedure, column=values, family="family", alpha=ALPHA, partitioned=True
        ).rename(columns={"rejected": name})
    computed: pd.DataFrame = tested.compute()
    return computed.reset_index(drop=True)


def run_in_one_process(specs: Sequence[FamilySpec]) -> pd.DataFrame:
    """The same table from one call per procedure on the stacked families: a
    row per family, NaN past its end, left untested by nan_policy="omit"."""
    width = max((spec.m for spec in specs), default=0)
    stacked = {name: np.full((len(specs), width), np.nan) for name in ("e", "p")}
    for row, spec in enumerate(specs):
        stacked["e"][row, : spec.m], stacked["p"][row, : spec.m] = simulate(spec)
    present = ~np.isnan(stacked["p"])
    # Boolean indexing reads row by row: family after family, as the frame holds them.
    columns: dict[str, Any] = {
        "family": family_column(specs),
        "e": stacked["e"][present],
        "p": stacked["p"][present],
    }
    for column, (procedure, values) in PROCEDURES.items():
        columns[column] = procedure(stacked[values], ALPHA, axis=1, nan_policy="omit").rejected[
            present
        ]
    return pd.DataFrame(columns)


def mismatches(parallel: pd.DataFrame, serial: pd.DataFrame) -> list[str]:
    """The families whose rows differ between the two tables in any column, or
    that only one of them holds."""
    numbered = [
        table.assign(hypothesis=table.groupby("family", sort=False).cumcount())
        for table in (parallel, serial)
    ]
    both = numbered[0].merge(
        numbered[1], on=["family", "hypothesis"], how="outer", indicator=True, suffixes=("", "_")
    )
    differ = both["_merge"] != "both"
    for column in TESTED_COLUMNS[1:]:
        differ |= both[column] != both[f"{column}_"]
    return sorted(set(both.loc[differ, "family"]))


def summarise(tested: pd.DataFrame) -> str:
    counts = tested.groupby("family", sort=False)[list(PROCEDURES)].sum()
    gained_e = int((counts["closed_ebh"] > counts["ebh"]).sum())
    gained_p = int((counts["closed_by"] > counts["by"]).sum())
    lines = [f"{len(counts):,} families, {len(tested):,} hypotheses, level alpha = {ALPHA}", ""]
    lines += [f"  {name:<12}{int(counts[name].sum()):>10,} rejections" for name in PROCEDURES]
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
        "--batch-size", type=int, default=100, help="families per partition (default 100)"
    )
    parser.add_argument("--seed", type=int, default=20261207)
    return parser.parse_args(argv)


def main(argv: Sequence[str] | None = None) -> int:
    args = parse_args(argv)
    specs = make_specs(args.families, args.seed)

    start = time.perf_counter()
    if args.scheduler:
        with Client(args.scheduler):
            parallel = run_on_dask(specs, args.batch_size)
    else:
        with (
            LocalCluster(
                n_workers=args.workers, threads_per_worker=1, processes=True, dashboard_address=None
            ) as cluster,
            Client(cluster),
        ):
            parallel = run_on_dask(specs, args.batch_size)
    dask_seconds = time.perf_counter() - start

    start = time.perf_counter()
    serial = run_in_one_process(specs)
    serial_seconds = time.perf_counter() - start

    print(summarise(parallel))
    print(
        f"Dask {dask_seconds:.1f} s (cluster start-up included), one process {serial_seconds:.1f} s"
    )
    differences = mismatches(parallel, serial)
    if differences:
        print(
            f"MISMATCH: {len(differences)} families differ from the run in one process: "
            + ", ".join(differences[:10]),
            file=sys.stderr,
        )
        return 1
    print(f"all {len(specs):,} families match the run in one process")
    return 0


if __name__ == "__main__":
    sys.exit(main())
