"""The tulm functions users call, timed end to end against m: the picture of
the documentation's gallery.

    .venv/bin/python bench/package_scaling.py            # m = 10^3 ... 10^6
    .venv/bin/python bench/package_scaling.py --quick    # m up to 10^4

tulm.ebh and tulm.closed_ebh on the demo's e-values, tulm.by and
tulm.closed_by on its p-values, unsorted as a screen comes (checks, sort,
kernel, mask and, for BY, the adjusted p-values), with two references on the
same p-values: numpy's argsort of them, the sort every call includes, and scipy's
false_discovery_control(p, method="by"). At each m the six calls take turns
(run.py's measure: median of 3 to 25 runs, about 3 s of the slowest). Writes
results/package_scaling.json and results/package_scaling.png.
"""

import argparse
import datetime
import json
import os
import pathlib
import sys

# One thread for numpy's BLAS, as in run.py, before numpy is imported.
for variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(variable, "1")

import numpy as np  # noqa: E402
from scipy.stats import false_discovery_control  # noqa: E402

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parent))
from run import SIZES, load_average, machine_description, measure, seconds  # noqa: E402
from simulate import Screen  # noqa: E402

import tulm  # noqa: E402

BENCH = pathlib.Path(__file__).resolve().parent
ALPHA = 0.05


def scipy_by(p):
    return false_discovery_control(p, method="by")


# (label, kind of value, call, reference): references are drawn grey and dashed.
CALLS = [
    ("tulm.ebh", "e", lambda e: tulm.ebh(e, ALPHA), False),
    ("tulm.closed_ebh", "e", lambda e: tulm.closed_ebh(e, ALPHA), False),
    ("tulm.by", "p", lambda p: tulm.by(p, ALPHA), False),
    ("tulm.closed_by", "p", lambda p: tulm.closed_by(p, ALPHA), False),
    ("np.argsort(p), the sort every call includes", "p", np.argsort, True),
    ('scipy false_discovery_control(p, method="by")', "p", scipy_by, True),
]
COLOURS = {
    "tulm.ebh": "#7fb8b3",
    "tulm.closed_ebh": "#1b7f79",
    "tulm.by": "#e0a27f",
    "tulm.closed_by": "#b8562b",
}


def run_sizes(sizes, log):
    times = {label: [] for label, *_ in CALLS}
    for m in sizes:
        screen = Screen(m)
        values = {"e": screen.evalues, "p": screen.pvalues}
        calls = [lambda call=call, v=values[kind]: call(v) for _, kind, call, _ in CALLS]
        medians, runs = measure(*calls, target_seconds=3.0)
        for (label, *_), t in zip(CALLS, medians, strict=True):
            times[label].append([m, t])
        log(f"m = {m:>9,}: " + ", ".join(seconds(t) for t in medians) + f" ({runs} runs)")
    return times


def plot(path, run):
    import matplotlib

    matplotlib.use("Agg")
    from matplotlib.figure import Figure

    figure = Figure(figsize=(9, 6), layout="constrained")
    axes = figure.subplots()
    references = iter(
        [
            {"color": "#888888", "linestyle": ":", "marker": "x", "linewidth": 1.4},
            {"color": "#888888", "linestyle": "--", "marker": "s", "markersize": 4},
        ]
    )
    for label, _, _, reference in CALLS:
        ms, ts = zip(*run["times"][label], strict=True)
        if reference:
            style = next(references)
        else:
            style = {"color": COLOURS[label], "linestyle": "-", "marker": "o", "linewidth": 2}
        axes.plot(ms, ts, label=f"{label}: {seconds(ts[-1])} at m = {ms[-1]:,}", **style)
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel("m, hypotheses in the screen (unsorted float64 array)")
    axes.set_ylabel("seconds per call (median)")
    axes.grid(True, which="major", color="#e6e6e6")
    axes.spines[["top", "right"]].set_visible(False)
    axes.legend(loc="upper left", frameon=False, fontsize=9)
    axes.set_title(
        f"The tulm functions end to end at alpha = {ALPHA}, on the demo's screen\n"
        f"({run['finished'][:10]}, {run['machine']['cpu']}, "
        f"{run['machine']['logical cpus']} logical CPUs, load average {run['loads'][0].split()[0]})",
        fontsize=10,
    )
    figure.savefig(path, dpi=110)


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--quick", action="store_true", help="m up to 10^4")
    parser.add_argument("--output", type=pathlib.Path, default=BENCH / "results")
    parser.add_argument(
        "--from-json",
        action="store_true",
        help="redraw package_scaling.png from package_scaling.json, measuring nothing",
    )
    args = parser.parse_args()
    out = args.output
    out.mkdir(parents=True, exist_ok=True)
    data = out / "package_scaling.json"

    def log(message):
        print(message, flush=True)

    if args.from_json:
        run = json.loads(data.read_text())
    else:
        sizes = [m for m in SIZES if m <= (10_000 if args.quick else SIZES[-1])]
        run = {
            "command": " ".join(["bench/package_scaling.py", *sys.argv[1:]]),
            "loads": [load_average()],
            "machine": machine_description(),
        }
        log(f"tulm from {tulm.__file__}; {run['machine']['cpu']}; load {run['loads'][0]}")
        log("calls: " + "; ".join(label for label, *_ in CALLS))
        run["times"] = run_sizes(sizes, log)
        run["loads"].append(load_average())
        run["finished"] = datetime.datetime.now().isoformat(timespec="seconds")
        data.write_text(json.dumps(run, indent=1))
    plot(out / "package_scaling.png", run)
    log(f"wrote {out / 'package_scaling.png'}")


if __name__ == "__main__":
    main()
