"""The in-place, GIL-free and interruptible kernels, measured as ratios in one run.

    .venv/bin/python bench/speed.py            # m = 10^5 and 10^6
    .venv/bin/python bench/speed.py --quick    # m = 10^4 and 10^5

Prints each ratio with its target and writes bench/results/speed.json. On the
demo's screen (float64 arrays, sorted as the kernels take them):

- eBH_cpp, BY_cpp and cBY_check_cpp (at the BY count) against numpy.copy of
  the same array; closede_bh_cpp against numpy.copy; is_subset_mean_consistent
  (the true signals as the subset) against np.sort of its e-values;
- minor page faults per call, after a warm-up call: repeated calls should not
  fault their memory in again;
- a batch of closed searches (closed e-BH and approximate closed BY on eight
  screens of the larger m) on one thread against the same batch on two;
- refusing a 2^31-long broadcast view: time, and growth of the peak memory;
- every answer against a reference computed here with numpy (e-BH, BY, the
  subset layout), so the fast paths are checked on the screens themselves.
"""

import argparse
import json
import pathlib
import resource
import sys
import threading
import time

import numpy as np

BENCH = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH))

from run import load_average, machine_description, measure, seconds  # noqa: E402
from simulate import Screen  # noqa: E402

import _tulm  # noqa: E402

ALPHA = 0.05


def minor_faults(call, calls=5):
    call()
    before = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    for _ in range(calls):
        call()
    return (resource.getrusage(resource.RUSAGE_SELF).ru_minflt - before) / calls


def reference_ebh(e, alpha):
    m = len(e)
    k = np.arange(m, 0, -1, dtype=np.float64)
    passing = np.flatnonzero((k * e) * (alpha / m) >= 1.000000000001)
    return int(m - passing[0]) if len(passing) else 0


def reference_by(p, harmonic, alpha):
    m = len(p)
    k = np.arange(m, 0, -1, dtype=np.float64)
    passing = np.flatnonzero(((m * harmonic[m]) * p) / k - alpha <= 1e-10)
    return int(m - passing[0]) if len(passing) else 0


def reference_subset(evalues, positions, alpha):
    inside = np.zeros(len(evalues), dtype=bool)
    inside[positions] = True
    ordered = np.concatenate((np.sort(evalues[~inside]), np.sort(evalues[inside])))
    layout = np.concatenate(([0.0], np.cumsum(ordered)))  # cumsum adds in order
    return _tulm.meanconsistent_wrapper_cpp(layout, len(positions), alpha)


def kernel_ratios(m, log):
    screen = Screen(m)
    e, p, h = screen.evalues_ascending, screen.pvalues_descending, np.asarray(screen.harmonic)
    by = _tulm.BY_cpp(p, h, ALPHA)
    positions = screen.signal_positions
    checks = {
        "eBH_cpp": (_tulm.eBH_cpp(e, ALPHA), reference_ebh(e, ALPHA)),
        "BY_cpp": (by, reference_by(p, h, ALPHA)),
        "is_subset_mean_consistent": (
            _tulm.is_subset_mean_consistent(screen.evalues, positions, ALPHA),
            reference_subset(screen.evalues, positions, ALPHA),
        ),
    }
    for name, (got, expected) in checks.items():
        assert got == expected, f"{name} at m = {m}: {got} != reference {expected}"
    log(f"m = {m:,}: answers equal the references ({', '.join(checks)})")

    calls = {
        "eBH_cpp": (lambda: _tulm.eBH_cpp(e, ALPHA), "numpy.copy", 1.0),
        "BY_cpp": (lambda: _tulm.BY_cpp(p, h, ALPHA), "numpy.copy", 1.0),
        "cBY_check_cpp at the BY count": (
            lambda: _tulm.cBY_check_cpp(p, by, h, 0, ALPHA),
            "numpy.copy",
            2.0,
        ),
        "closede_bh_cpp": (lambda: _tulm.closede_bh_cpp(e, ALPHA), "numpy.copy", 20.0),
        "is_subset_mean_consistent": (
            lambda: _tulm.is_subset_mean_consistent(screen.evalues, positions, ALPHA),
            "np.sort",
            1.0,
        ),
    }
    baselines = {"numpy.copy": lambda: np.copy(p), "np.sort": lambda: np.sort(screen.evalues)}
    rows = []
    for name, (call, against, target) in calls.items():
        (t, t_base), runs = measure(call, baselines[against], target_seconds=2.0)
        ratio = t / t_base
        faults = minor_faults(call)
        rows.append(
            {
                "m": m,
                "function": name,
                "seconds": t,
                "against": against,
                "against seconds": t_base,
                "ratio": ratio,
                "target": target,
                "met": ratio <= target,
                "faults per call": faults,
            }
        )
        log(
            f"  {name}: {seconds(t)} = {ratio:.2f} x {against} ({seconds(t_base)}), "
            f"target <= {target:g}: {'met' if ratio <= target else 'MISSED'}; "
            f"{faults:.0f} page faults per call ({runs} runs)"
        )
    return rows


def thread_scaling(m, families, log):
    """Closed searches, closed e-BH and approximate closed BY, one thread
    against two; each thread takes every other family."""
    # Four distinct screens, each searched families / 4 times.
    screens = [Screen(m, seed=seed) for seed in range(4)]
    work = [(s.evalues_ascending, s.pvalues_descending) for s in screens] * (families // 4)

    def batch(items):
        for e, p in items:
            _tulm.closede_bh_cpp(e, ALPHA)
            _tulm.largestcBYsignificant_approximate_cpp(p, ALPHA)

    def one_thread():
        batch(work)

    def two_threads():
        threads = [threading.Thread(target=batch, args=(work[i::2],)) for i in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()

    (t1, t2), _runs = measure(one_thread, two_threads, target_seconds=8.0, max_runs=41)
    speedup = t1 / t2
    log(
        f"threads: {families} families of {m:,}, one thread {seconds(t1)}, two {seconds(t2)}: "
        f"{speedup:.2f}x the throughput, target >= 1.7: {'met' if speedup >= 1.7 else 'MISSED'}"
    )
    return {"m": m, "families": families, "one": t1, "two": t2, "speedup": speedup}


def oversize_refusal(log):
    view = np.broadcast_to(np.float64(0.5), (2**31,))
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    try:
        _tulm.eBH_cpp(view, ALPHA)
        refused = False
    except ValueError:
        refused = True
    took = time.perf_counter() - start
    grown = (resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) / 1024
    log(
        f"2^31-long view: refused {refused} in {seconds(took)}, peak memory +{grown:.0f} MiB "
        f"(target under 1 s, no large allocation)"
    )
    return {"refused": refused, "seconds": took, "peak growth MiB": grown}


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--quick", action="store_true", help="m = 10^4 and 10^5")
    parser.add_argument("--output", type=pathlib.Path, default=BENCH / "results" / "speed.json")
    args = parser.parse_args()
    sizes = [10_000, 100_000] if args.quick else [100_000, 1_000_000]

    def log(message):
        print(message, flush=True)

    run = {
        "command": " ".join(["bench/speed.py", *sys.argv[1:]]),
        "machine": machine_description(),
        "loads": [load_average()],
    }
    log(f"{run['machine']['cpu']}; load {run['loads'][0]}")
    run["oversize"] = oversize_refusal(log)
    run["kernels"] = [row for m in sizes for row in kernel_ratios(m, log)]
    run["threads"] = thread_scaling(sizes[-1], 8, log)
    run["loads"].append(load_average())
    args.output.parent.mkdir(parents=True, exist_ok=True)
    args.output.write_text(json.dumps(run, indent=1))
    log(f"load {run['loads'][-1]}; wrote {args.output}")


if __name__ == "__main__":
    main()
