"""Adjusted levels of the closed procedures against one exact search, side by
side in one run, on the demo screen and on the screens hardest for them. See
bench/README.md.

    .venv/bin/python bench/levels.py            # m = 3,162, 10^4, 10^5, 10^6
    .venv/bin/python bench/levels.py --quick    # m = 3,162, 10^4, 10^5

Each row times tulm._native's levels of every hypothesis and the _tulm exact
search at alpha = 0.05 on the same sorted array, alternating, medians; the
ratio is the cost of the levels in exact searches. A size whose levels would
take longer than --budget seconds (extrapolated from the sizes below at the
growth measured so far) is not run; a screen that stops at 10^4 still gets a
growth figure, from 3,162. The screens:
    demo         the demo's simulated screen (simulate.py): 5 % signals, shift 3
    strong       e-values of a screen whose every hypothesis is a signal
    pareto       e-values 1 / U, U uniform: the null boundary P(e > x) = 1 / x
    log-uniform  p-values np.geomspace(1, 1e-12, m)
    linear       p-values at twice the BY critical values, min(1, 2 alpha i / (m H_m))
"""

import argparse
import datetime
import json
import os
import pathlib
import sys

for variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(variable, "1")

import numpy as np  # noqa: E402

BENCH = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))

import cby_screens  # noqa: E402
from run import fit_exponent, load_average, machine_description, measure, seconds  # noqa: E402
from simulate import Screen  # noqa: E402

import _tulm  # noqa: E402
import tulm._native  # noqa: E402

ALPHA = 0.05
# Targets on the demo screen: levels within 10 searches at 10^5 and 20 at
# 10^6; growth from 10^4 to 10^6 at most m^1.3 on every screen.
DEMO_TARGETS = {100_000: 10.0, 1_000_000: 20.0}
GROWTH_LIMIT = 1.3


def e_demo(m):
    return Screen(m).evalues_ascending


def e_strong(m):
    z = np.random.default_rng(2).standard_normal(m) + 3.0
    return np.sort(np.exp(3.0 * z - 4.5))


def e_pareto(m):
    return np.sort(1.0 / np.random.default_rng(1).uniform(0.0, 1.0, m))


# procedure: (levels, exact search, {screen: maker})
PROCEDURES = {
    "closed e-BH": (
        tulm._native.closed_ebh_levels,
        _tulm.largestmeanconsistent_cpp,
        {"demo": e_demo, "strong": e_strong, "pareto": e_pareto},
    ),
    "closed BY": (
        tulm._native.closed_by_levels,
        _tulm.largestcBYsignificant_cpp,
        cby_screens.SCREENS,
    ),
}


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--quick", action="store_true", help="m up to 10^5")
    parser.add_argument("--budget", type=float, default=60.0, help="seconds a call may take")
    parser.add_argument("--output", type=pathlib.Path, default=BENCH / "results")
    args = parser.parse_args()
    sizes = [3_162, 10_000, 100_000] + ([] if args.quick else [1_000_000])
    run = {
        "command": " ".join(["bench/levels.py", *sys.argv[1:]]),
        "started": datetime.datetime.now().isoformat(timespec="seconds"),
        "loads": [load_average()],
        "machine": machine_description(),
        "rows": [],
    }
    print(f"load {run['loads'][0]}", flush=True)
    for procedure, (levels_of, search, screens) in PROCEDURES.items():
        for screen, make in screens.items():
            points = []
            for m in sizes:
                if len(points) >= 1:
                    growth = fit_exponent(points) if len(points) >= 2 else 2.0
                    last_m, last_t = points[-1]
                    predicted = last_t * (m / last_m) ** max(growth, 1.0)
                    if predicted > args.budget:
                        print(f"{procedure} {screen} {m}: skipped, about {seconds(predicted)}")
                        run["rows"].append(
                            {"procedure": procedure, "screen": screen, "m": m, "skipped": predicted}
                        )
                        continue
                values = make(m)
                (t_levels, t_search), runs = measure(
                    lambda v=values: levels_of(v),
                    lambda v=values: search(v, ALPHA),
                    target_seconds=2.0,
                    max_runs=9,
                )
                levels = levels_of(values)
                count = search(values, ALPHA)
                if int((levels <= ALPHA).sum()) != count:
                    raise SystemExit(f"{procedure} {screen} {m}: levels disagree with the search")
                points.append((m, t_levels))
                row = {
                    "procedure": procedure,
                    "screen": screen,
                    "m": m,
                    "runs": runs,
                    "levels": t_levels,
                    "search": t_search,
                    "ratio": t_levels / t_search,
                    "below one": int((levels < 1.0).sum()),
                }
                run["rows"].append(row)
                print(
                    f"{procedure} {screen} {m}: levels {seconds(t_levels)}, search "
                    f"{seconds(t_search)}, ratio {row['ratio']:.1f}, "
                    f"{row['below one']} below 1",
                    flush=True,
                )
    run["loads"].append(load_average())
    args.output.mkdir(parents=True, exist_ok=True)
    (args.output / "levels.json").write_text(json.dumps(run, indent=1) + "\n")
    (args.output / "levels.md").write_text(report(run))
    print(f"wrote {args.output / 'levels.md'}")


def report(run):
    lines = [
        "# Adjusted levels of the closed procedures",
        "",
        f"`{run['command']}`, {run['started']}; {run['machine']['cpu']}, "
        f"{run['machine']['logical cpus']} logical CPUs; load {run['loads'][0]} at the start, "
        f"{run['loads'][-1]} at the end.",
        "",
        "Levels of every hypothesis (tulm._native) against one exact search at alpha = 0.05 "
        "(_tulm) on the same sorted array, medians of alternating runs.",
        "",
        "| procedure | screen | m | levels | exact search | ratio | below 1 |",
        "|---|---|---:|---:|---:|---:|---:|",
    ]
    growth = {}
    targets = []
    for row in run["rows"]:
        key = (row["procedure"], row["screen"])
        if "skipped" in row:
            lines.append(
                f"| {row['procedure']} | {row['screen']} | {row['m']:,} | not run "
                f"(about {seconds(row['skipped'])}) | | | |"
            )
            continue
        growth.setdefault(key, []).append((row["m"], row["levels"]))
        lines.append(
            f"| {row['procedure']} | {row['screen']} | {row['m']:,} | {seconds(row['levels'])} "
            f"| {seconds(row['search'])} | {row['ratio']:.1f} | {row['below one']:,} |"
        )
        limit = DEMO_TARGETS.get(row["m"]) if row["screen"] == "demo" else None
        if limit is not None:
            targets.append(
                (
                    f"{row['procedure']}, demo, m = {row['m']:,}: levels within {limit:g} "
                    f"exact searches",
                    f"{row['ratio']:.1f}",
                    row["ratio"] <= limit,
                )
            )
    lines += ["", "| target | measured | met |", "|---|---:|:---:|"]
    for (procedure, screen), points in growth.items():
        # From 10^4 where two sizes reach it; from below where only one does.
        from_ten_thousand = [point for point in points if point[0] >= 10_000]
        points = from_ten_thousand if len(from_ten_thousand) >= 2 else points
        exponent = fit_exponent(points) if len(points) >= 2 else None
        if exponent is None:
            continue
        span = f"{points[0][0]:,} to {points[-1][0]:,}"
        targets.append(
            (
                f"{procedure}, {screen}: growth {span} at most {GROWTH_LIMIT}",
                f"{exponent:.2f}",
                exponent <= GROWTH_LIMIT and points[-1][0] >= 1_000_000,
            )
        )
    for label, measured, met in targets:
        lines.append(f"| {label} | {measured} | {'yes' if met else 'no'} |")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    main()
