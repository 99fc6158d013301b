"""Benchmark suite for _tulm: time against m for every function, list against
numpy inputs, and the reference comparisons. See bench/README.md.

    .venv/bin/python bench/run.py            # the full suite, m = 10^3 ... 10^6
    .venv/bin/python bench/run.py --quick    # a smoke run up to m = 10^4
"""

import argparse
import datetime
import gc
import json
import math
import os
import pathlib
import platform
import statistics
import subprocess
import sys
import time

# One thread for numpy's BLAS: its idle workers would spin beside the kernels.
for variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(variable, "1")

import numpy as np  # noqa: E402

BENCH = pathlib.Path(__file__).resolve().parent
ROOT = BENCH.parent
sys.path.insert(0, str(BENCH))

from numpy_ebh import ebh_count_numpy  # noqa: E402
from simulate import Screen  # noqa: E402

import _tulm  # noqa: E402

ALPHA = 0.05
SIZES = [1_000, 3_162, 10_000, 31_623, 100_000, 316_228, 1_000_000]
# Above this array time a call's list variant is not timed: conversion is a
# few percent of it at most.
LIST_LIMIT_SECONDS = 2.0


# Every function of the module, as (name, call): each call builds the
# function's arguments from a screen, passing every array through `conv`
# (identity for array input, tolist for list input).
FUNCTION_NAMES = [
    "eBH_cpp",
    "closede_bh_cpp",
    "largest_mean_consistent_k",
    "largestmeanconsistent_cpp",
    "largestmeanconsistent_approximate_cpp",
    "is_subset_mean_consistent",
    "meanconsistent_wrapper_cpp",
    "BY_cpp",
    "largestcBYsignificant_cpp",
    "largestcBYsignificant_approximate_cpp",
    "cBY_check_cpp",
]


def function_table(module):
    def arguments(s, conv):
        e, p = conv(s.evalues_ascending), conv(s.pvalues_descending)
        return {
            "eBH_cpp": (e, ALPHA),
            "closede_bh_cpp": (e, ALPHA, False),
            "largest_mean_consistent_k": (e, ALPHA, True),
            "largestmeanconsistent_cpp": (e, ALPHA),
            "largestmeanconsistent_approximate_cpp": (e, ALPHA),
            "is_subset_mean_consistent": (conv(s.evalues), conv(s.signal_positions), ALPHA),
            "meanconsistent_wrapper_cpp": (conv(s.cum_e), s.ebh_count, ALPHA),
            "BY_cpp": (p, conv(s.harmonic), ALPHA),
            "largestcBYsignificant_cpp": (p, ALPHA),
            "largestcBYsignificant_approximate_cpp": (p, ALPHA),
            "cBY_check_cpp": (p, s.by_count, conv(s.harmonic), 0, ALPHA),
        }

    def call_of(name):
        function = getattr(module, name)

        def prepare(screen, conv):
            args = arguments(screen, conv)[name]
            return lambda: function(*args)

        return prepare

    return [(name, call_of(name)) for name in FUNCTION_NAMES if hasattr(module, name)]


def as_array(values):
    return values


def as_list(values):
    return values.tolist()


# ---------------------------------------------------------------------------
# Timing


def time_once(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def measure(*calls, target_seconds=0.5, max_runs=25):
    """Median seconds of each call over 3 to max_runs runs (more for fast calls,
    up to about target_seconds in all). Calls under 0.1 s run in blocks, each
    block after one untimed run: whether a large allocation finds its pages
    mapped depends on what the previous call freed, so each call is timed in
    its own steady state. The calls take turns block by block (by run for
    slower calls), so drifting load hits them alike."""
    gc.collect()
    gc.disable()
    try:
        samples = [[time_once(call)] for call in calls]
        slowest = max(max(s[0] for s in samples), 1e-9)
        runs = int(min(max_runs, max(3, target_seconds / slowest)))
        block = max(1, runs // 3) if slowest < 0.1 else 1
        while len(samples[0]) < runs:
            for call, sample in zip(calls, samples, strict=True):
                if block > 1:
                    call()
                sample.extend(time_once(call) for _ in range(block))
        return [statistics.median(s) for s in samples], len(samples[0])
    finally:
        gc.enable()


def fit_exponent(points, min_m=10_000):
    """Least-squares slope of log t against log m, over m >= min_m when at
    least three such points exist (smaller m measure call overhead)."""
    large = [(m, t) for m, t in points if m >= min_m]
    use = large if len(large) >= 3 else points
    if len(use) < 2:
        return None
    xs = np.log([m for m, _ in use])
    ys = np.log([t for _, t in use])
    return float(np.polyfit(xs, ys, 1)[0])


# ---------------------------------------------------------------------------
# Machine description


def machine_description():
    cpu = platform.processor() or platform.machine()
    try:
        for line in pathlib.Path("/proc/cpuinfo").read_text().splitlines():
            if line.startswith("model name"):
                cpu = line.split(":", 1)[1].strip()
                break
    except OSError:
        pass
    memory = ""
    try:
        kib = int(pathlib.Path("/proc/meminfo").read_text().split()[1])
        memory = f"{kib / 2**20:.1f} GiB"
    except (OSError, ValueError, IndexError):
        pass
    versions = {"Python": platform.python_version(), "numpy": np.__version__}
    for name in ("scipy", "matplotlib"):
        try:
            versions[name] = __import__(name).__version__
        except ImportError:
            versions[name] = "not installed"
    return {
        "cpu": cpu,
        "logical cpus": os.cpu_count(),
        "memory": memory,
        "system": f"{platform.system()} {platform.release()}",
        "versions": versions,
        "module": _tulm.__file__,
    }


def load_average():
    try:
        return " ".join(f"{x:.2f}" for x in os.getloadavg())
    except OSError:
        return "n/a"


def seconds(t):
    if t is None:
        return "—"
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if t >= scale:
            return f"{t / scale:.3g} {unit}"
    return f"{t * 1e9:.3g} ns"


# ---------------------------------------------------------------------------
# The suite


def prepared_screen(m):
    """A screen with the counts that the check functions take as r."""
    screen = Screen(m)
    screen.ebh_count = _tulm.eBH_cpp(screen.evalues_ascending, ALPHA)
    screen.by_count = (
        _tulm.BY_cpp(screen.pvalues_descending, screen.harmonic, ALPHA)
        if hasattr(_tulm, "BY_cpp")
        else 0
    )
    return screen


def run_scaling(sizes, budget, log):
    functions = function_table(_tulm)
    absent = [name for name in FUNCTION_NAMES if not hasattr(_tulm, name)]
    results = {
        name: {"array": [], "list": [], "stopped": None, "edge": None} for name, _ in functions
    }
    active = {name for name, _ in functions}
    for m in sizes:
        log(f"m = {m:,}: simulating ...")
        screen = prepared_screen(m)
        for name, call in functions:
            if name not in active:
                continue
            entry = results[name]
            # A size whose time, extrapolated from the two below, exceeds the
            # budget is first tried in a child process that is stopped at the budget.
            points = entry["array"]
            if len(points) >= 2 and extrapolate(points, m) > budget:
                probed = probe_in_subprocess(name, m, budget)
                if probed is None or probed > budget:
                    entry["stopped"] = {"m": m, "seconds": probed}
                    active.discard(name)
                    log(
                        f"  {name}: over budget at m = {m:,} ({seconds(probed) if probed else 'stopped'}), done"
                    )
                    continue
            array_call = call(screen, as_array)
            t_first = time_once(array_call)
            if t_first > budget:
                entry["stopped"] = {"m": m, "seconds": t_first}
                active.discard(name)
                log(f"  {name}: {seconds(t_first)} at m = {m:,} (one run), over budget, stopped")
                continue
            # The input kinds are timed alternately, in one loop.
            calls = [array_call]
            if t_first <= LIST_LIMIT_SECONDS:
                calls.append(call(screen, as_list))
            medians, runs = measure(*calls)
            # The list call is left out above LIST_LIMIT_SECONDS.
            for kind, t in zip(("array", "list"), medians, strict=False):
                entry[kind].append((m, t))
            log(
                f"  {name}: "
                + ", ".join(
                    f"{kind} {seconds(t)}"
                    for kind, t in zip(("array", "list"), medians, strict=False)
                )
                + f" ({runs} runs)"
            )
    for name, _ in functions:
        entry = results[name]
        if entry["stopped"] and len(entry["array"]) >= 2:
            measure_budget_edge(name, entry, budget, log)
    return results, absent


def extrapolate(points, m):
    """Time at m from the last two points, growing at least linearly."""
    (m0, t0), (m1, t1) = points[-2], points[-1]
    slope = max(math.log(t1 / t0) / math.log(m1 / m0), 1.0)
    return t1 * (m / m1) ** slope


def measure_budget_edge(name, entry, budget, log):
    """One call, in a child process, at the m where the extrapolated time is
    80 % of the budget: the furthest m tried under it."""
    (m0, t0), (m1, t1) = entry["array"][-2], entry["array"][-1]
    slope = max(math.log(t1 / t0) / math.log(m1 / m0), 1.0)
    m = int(float(f"{m1 * (0.8 * budget / t1) ** (1 / slope):.2g}"))
    if not m1 < m < entry["stopped"]["m"]:
        return
    log(f"  {name}: edge of the budget, m = {m:,} ...")
    t = probe_in_subprocess(name, m, budget)
    entry["edge"] = {"m": m, "seconds": t}
    if t is not None and t <= budget:
        entry["array"].append((m, t))
    log(f"  {name}: {seconds(t) if t else 'over budget'} at m = {m:,}")


def probe_in_subprocess(name, m, budget):
    """Seconds of one call in a child process, or None when it ran past the budget."""
    command = [
        sys.executable,
        str(BENCH / "run.py"),
        "--probe",
        name,
        str(m),
        "--budget",
        str(budget),
    ]
    try:
        result = subprocess.run(command, capture_output=True, text=True, timeout=budget + 300)
    except subprocess.TimeoutExpired:
        return None
    return float(result.stdout.split()[-1]) if result.returncode == 0 else None


def probe(name, m, budget):
    """The child side: faulthandler's watchdog ends the process at the budget,
    even inside a kernel that holds the GIL."""
    import faulthandler

    call = dict(function_table(_tulm))[name](prepared_screen(m), as_array)
    with open(os.devnull, "w") as devnull:
        faulthandler.dump_traceback_later(budget, exit=True, file=devnull)
        t = time_once(call)
        faulthandler.cancel_dump_traceback_later()
    print(t)


def run_comparisons(m, log):
    """The reference ratios of the issue, at m values."""
    screen = Screen(m)
    e, p, h = screen.evalues_ascending, screen.pvalues_descending, screen.harmonic
    e_list, p_list, h_list = e.tolist(), p.tolist(), h.tolist()
    rows = []

    def row(label, numerator, denominator, target, better):
        ratio = numerator / denominator
        met = None if target is None else (ratio <= target if better == "<=" else ratio >= target)
        rows.append(
            {"label": label, "ratio": ratio, "target": target, "better": better, "met": met}
        )
        log(f"  {label}: {ratio:.2f}" + ("" if target is None else f" (target {better} {target})"))

    log(f"comparisons at m = {m:,}")
    # Each ratio is timed in its own alternating loop: an 8 MB allocation is
    # cheap or costly (fresh pages) depending on what the previous call freed.
    # At alpha = 1e300 the first value passes: the call is the conversion alone.
    (t_copy_e, t_ebh, t_convert), _ = measure(
        lambda: np.copy(e),
        lambda: _tulm.eBH_cpp(e, ALPHA),
        lambda: _tulm.eBH_cpp(e, 1e300),
        target_seconds=2.0,
    )
    (t_ebh_2, t_ebh_list), _ = measure(
        lambda: _tulm.eBH_cpp(e, ALPHA), lambda: _tulm.eBH_cpp(e_list, ALPHA), target_seconds=2.0
    )
    (t_ebh_3, t_ebh_numpy), _ = measure(
        lambda: _tulm.eBH_cpp(e, ALPHA), lambda: ebh_count_numpy(e, ALPHA), target_seconds=2.0
    )
    assert ebh_count_numpy(e, ALPHA) == _tulm.eBH_cpp(e, ALPHA)
    assert _tulm.eBH_cpp(e, 1e300) == m
    times = {
        "numpy.copy(evalues)": t_copy_e,
        "eBH_cpp(array)": t_ebh,
        "eBH_cpp(array), conversion only": t_convert,
        "eBH_cpp(list)": t_ebh_list,
        "numpy e-BH": t_ebh_numpy,
    }
    row("eBH_cpp(array) / numpy.copy", t_ebh, t_copy_e, 3.0, "<=")
    row("eBH_cpp(array) conversion only / numpy.copy", t_convert, t_copy_e, None, "<=")
    row("eBH_cpp(list) / eBH_cpp(array)", t_ebh_list, t_ebh_2, 20.0, ">=")
    row("numpy e-BH / eBH_cpp(array)", t_ebh_numpy, t_ebh_3, None, ">=")

    if hasattr(_tulm, "BY_cpp"):
        (t_copy_p, t_by), _ = measure(
            lambda: np.copy(p), lambda: _tulm.BY_cpp(p, h, ALPHA), target_seconds=2.0
        )
        (t_by_2, t_by_list), _ = measure(
            lambda: _tulm.BY_cpp(p, h, ALPHA),
            lambda: _tulm.BY_cpp(p_list, h_list, ALPHA),
            target_seconds=2.0,
        )
        times.update(
            {"numpy.copy(pvalues)": t_copy_p, "BY_cpp(array)": t_by, "BY_cpp(list)": t_by_list}
        )
        row("BY_cpp(array) / numpy.copy", t_by, t_copy_p, 3.0, "<=")
        row("BY_cpp(list) / BY_cpp(array)", t_by_list, t_by_2, 20.0, ">=")
        try:
            from scipy.stats import false_discovery_control
        except ImportError:
            log("  scipy not installed: BY comparison skipped")
        else:
            unsorted = screen.pvalues

            def by_end_to_end():
                return _tulm.BY_cpp(np.sort(unsorted)[::-1], h, ALPHA)

            (t_scipy_sorted, t_by_3), _ = measure(
                lambda: false_discovery_control(p, method="by"),
                lambda: _tulm.BY_cpp(p, h, ALPHA),
                target_seconds=2.0,
            )
            (t_scipy, t_by_e2e), _ = measure(
                lambda: false_discovery_control(unsorted, method="by"),
                by_end_to_end,
                target_seconds=2.0,
            )
            times.update(
                {
                    "scipy BY (pre-sorted input)": t_scipy_sorted,
                    "scipy BY (unsorted input)": t_scipy,
                    "sort + BY_cpp": t_by_e2e,
                }
            )
            row("scipy BY / BY_cpp, pre-sorted input", t_scipy_sorted, t_by_3, 20.0, ">=")
            row("scipy BY / (sort + BY_cpp), unsorted input", t_scipy, t_by_e2e, 1.0, ">=")
            scipy_count = int((false_discovery_control(unsorted, method="by") <= ALPHA).sum())
            log(f"  rejections: BY_cpp {by_end_to_end()}, scipy {scipy_count}")
            times["rejections BY_cpp / scipy"] = (by_end_to_end(), scipy_count)
    return rows, times


# ---------------------------------------------------------------------------
# Report


def write_report(out, run):
    """benchmark.md from the record that results.json holds."""
    machine, results, budget, sizes = run["machine"], run["scaling"], run["budget"], run["sizes"]
    rows, times, absent = run["comparisons"], run["times"], run["absent"]
    started = datetime.datetime.fromisoformat(run["started"])
    finished = datetime.datetime.fromisoformat(run["finished"])
    loads = run["loads"]
    lines = [
        "# _tulm benchmark",
        "",
        f"Run {started:%Y-%m-%d %H:%M} to {finished:%H:%M} with `{run['command']}`; "
        f"load average {loads[0]} at the start, {loads[1]} at the end.",
        "",
        "| machine | |",
        "|---|---|",
        f"| CPU | {machine['cpu']} ({machine['logical cpus']} logical) |",
        f"| memory | {machine['memory']} |",
        f"| system | {machine['system']} |",
        "| versions | " + ", ".join(f"{k} {v}" for k, v in machine["versions"].items()) + " |",
        f"| module | `{machine['module']}` |",
        "",
        f"Data: the demo's simulated screen (5 % signals, shift 3), alpha = {ALPHA}; e-values ascending, "
        "p-values descending, as float64 numpy arrays or as lists of floats. Median of repeated "
        f"runs (3 to 25, about 0.5 s per point; calls under 0.1 s take turns in blocks, each "
        f"after one untimed run, so their large allocations are measured in their steady "
        f"state); one call is allowed {budget:g} s.",
        "",
        "## Time per call against m",
        "",
        "| function | input | " + " | ".join(f"{m:,}" for m in sizes) + " | exponent |",
        "|---|---|" + "---:|" * (len(sizes) + 1),
    ]
    for name, entry in results.items():
        for kind in ("array", "list"):
            if not entry[kind] and kind != "array":
                continue
            found = dict(entry[kind])
            exponent = fit_exponent(entry[kind]) if kind == "array" else None
            cells = [seconds(found.get(m)) for m in sizes]
            lines.append(
                f"| `{name}` | {kind} | "
                + " | ".join(cells)
                + f" | {'' if exponent is None else f'{exponent:.2f}'} |"
            )
    lines += [
        "",
        "The exponent is the least-squares slope of log time against log m for the array "
        "input, over m ≥ 10,000.",
    ]
    if absent:
        lines += [
            "",
            "Not built yet, so not measured: " + ", ".join(f"`{n}`" for n in absent) + ".",
        ]

    lines += ["", "## Budget", ""]
    for name, entry in results.items():
        if entry["stopped"]:
            stop = entry["stopped"]
            last_m, last_t = entry["array"][-1] if entry["array"] else (None, None)
            exponent = fit_exponent(entry["array"])
            reach = ""
            if last_m and exponent:
                reach = f"; {budget:g} s would be reached near m ≈ {last_m * (budget / last_t) ** (1 / exponent):,.0f}"
            edge = entry["edge"]
            over = ""
            if edge and (edge["seconds"] is None or edge["seconds"] > budget):
                over = f" (m = {edge['m']:,}: {seconds(edge['seconds']) if edge['seconds'] else 'over'})"
            took = (
                f"takes {seconds(stop['seconds'])}"
                if stop["seconds"]
                else f"did not finish within {budget:g} s"
            )
            lines.append(
                f"- `{name}`: the largest m measured under {budget:g} s per call is {last_m:,} "
                f"({seconds(last_t)}){over}; m = {stop['m']:,} {took}{reach}."
            )
    if not any(entry["stopped"] for entry in results.values()):
        lines.append(f"Every function stayed under {budget:g} s per call up to m = {sizes[-1]:,}.")

    lines += [
        "",
        "## Comparisons",
        "",
        "| ratio | measured | target | met |",
        "|---|---:|---:|:---:|",
    ]
    for r in rows:
        target = "" if r["target"] is None else f"{r['better']} {r['target']:g}"
        met = "" if r["met"] is None else ("yes" if r["met"] else "**no**")
        lines.append(f"| {r['label']} | {r['ratio']:.2f} | {target} | {met} |")
    lines += ["", "| call | median |", "|---|---:|"]
    for label, t in times.items():
        lines.append(
            f"| {label} | {' / '.join(map(str, t)) if isinstance(t, (tuple, list)) else seconds(t)} |"
        )
    lines += [
        "",
        "The harmonic table for `BY_cpp` is precomputed (it depends on m only); "
        "the end-to-end call sorts the unsorted p-values (`np.sort(p)[::-1]`, a reversed view "
        'read in place) and calls `BY_cpp`. scipy\'s `false_discovery_control(p, method="by")` '
        "returns adjusted p-values and always sorts internally.",
        "",
        "At m = 10^6 each vector is 8 MB. Whether its pages are still mapped depends on "
        "glibc's trim and mmap thresholds, which the previous calls' frees move: `BY_cpp` frees "
        "16 MB, and after calls that left a low trim threshold every call faults its pages in "
        "afresh (microseconds per 4 KiB page on a virtual machine), so the same call can take "
        "4 ms or 20 ms. The scaling table, where a function's calls follow one another, shows "
        "the steady state.",
        "",
        "![time against m](scaling.png)",
        "",
    ]
    (out / "benchmark.md").write_text("\n".join(lines))


def plot(out, results, budget):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, axes = plt.subplots(figsize=(9, 6.5))
    colors = plt.get_cmap("tab20").colors
    for index, (name, entry) in enumerate(results.items()):
        color = colors[(2 * index) % 20 + (2 * index) // 20]
        if entry["array"]:
            ms, ts = zip(*entry["array"], strict=True)
            exponent = fit_exponent(entry["array"])
            label = name + ("" if exponent is None else f" (m^{exponent:.2f})")
            axes.plot(ms, ts, "-", marker="os^vD<>ph*X"[index % 11], color=color, label=label)
        if entry["list"]:
            ms, ts = zip(*entry["list"], strict=True)
            axes.plot(ms, ts, ":", color=color, alpha=0.6)
    axes.axhline(
        budget,
        color="grey",
        linewidth=0.8,
        linestyle="--",
        label=f"budget of one call ({budget:g} s)",
    )
    axes.set_xscale("log")
    axes.set_yscale("log")
    axes.set_xlabel("m (hypotheses)")
    axes.set_ylabel("seconds per call (median)")
    axes.set_title("_tulm: time against m (solid: numpy array input, dotted: list input)")
    axes.grid(True, which="major", alpha=0.3)
    axes.legend(fontsize=7, loc="upper left")
    figure.tight_layout()
    figure.savefig(out / "scaling.png", dpi=120)


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument(
        "--quick", action="store_true", help="sizes up to 10^4, comparisons at 10^4"
    )
    parser.add_argument("--max-m", type=int, default=None, help="largest m of the scaling runs")
    parser.add_argument(
        "--budget", type=float, default=10.0, help="seconds one call may take (default 10)"
    )
    parser.add_argument("--output", type=pathlib.Path, default=BENCH / "results")
    parser.add_argument(
        "--from-json",
        type=pathlib.Path,
        default=None,
        help="rewrite benchmark.md and scaling.png from a results.json, measuring nothing",
    )
    parser.add_argument("--probe", nargs=2, metavar=("NAME", "M"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.probe:
        probe(args.probe[0], int(args.probe[1]), args.budget)
        return

    sizes = [m for m in SIZES if m <= (args.max_m or (10_000 if args.quick else SIZES[-1]))]
    comparison_m = 10_000 if args.quick else 1_000_000
    out = args.output
    out.mkdir(parents=True, exist_ok=True)

    def log(message):
        print(message, flush=True)

    if args.from_json:
        run = json.loads(args.from_json.read_text())
    else:
        run = {
            "command": " ".join(["bench/run.py", *sys.argv[1:]]),
            "started": datetime.datetime.now().isoformat(timespec="seconds"),
            "loads": [load_average()],
            "machine": machine_description(),
            "sizes": sizes,
            "budget": args.budget,
            "absent": [],
        }
        log(
            f"_tulm from {run['machine']['module']}; {run['machine']['cpu']}; load {run['loads'][0]}"
        )
        run["scaling"], run["absent"] = run_scaling(sizes, args.budget, log)
        run["comparisons"], run["times"] = run_comparisons(comparison_m, log)
        run["loads"].append(load_average())
        run["finished"] = datetime.datetime.now().isoformat(timespec="seconds")
        (out / "results.json").write_text(json.dumps(run, indent=1))
    write_report(out, run)
    try:
        plot(out, run["scaling"], run["budget"])
    except ImportError:
        log("matplotlib not installed: no plot")
    log(f"wrote {out / 'benchmark.md'}")


if __name__ == "__main__":
    main()
