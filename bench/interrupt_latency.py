"""How late each kernel answers Ctrl-C on large input: for each of the eleven
functions and the adjusted levels of the closed procedures (tulm._native) at
m = 2 x 10^7 (numpy arrays in), the call's duration, then SIGINT
sent at several moments of the call and the delay from the signal to the
KeyboardInterrupt. See bench/README.md.

    .venv/bin/python bench/interrupt_latency.py            # m = 2 x 10^7
    .venv/bin/python bench/interrupt_latency.py --quick    # m = 2 x 10^6

Each call runs in a child process of its own, on screens written once to
build/interrupt-latency/. The moments: 0.05 s after the call starts, and at
25, 50 and 75 % of its duration (calls longer than --cap seconds count as
--cap long). A call that ends before the signal has nothing to answer; its
duration bounds the delay. List inputs are converted by pybind11 before any
kernel runs, outside the kernels' reach: only arrays are measured here.
"""

import argparse
import os
import pathlib
import signal
import subprocess
import sys
import time

for variable in ("OPENBLAS_NUM_THREADS", "OMP_NUM_THREADS", "MKL_NUM_THREADS"):
    os.environ.setdefault(variable, "1")

import numpy as np  # noqa: E402

BENCH = pathlib.Path(__file__).resolve().parent
DATA = BENCH.parent / "build" / "interrupt-latency"
ALPHA = 0.05
TARGET = 0.2  # seconds from the signal to the KeyboardInterrupt


def screens(m):
    """The inputs, as arrays in DATA (written on first use)."""
    sys.path.insert(0, str(BENCH))
    from cby_screens import linear
    from simulate import Screen

    folder = DATA / str(m)
    if not (folder / "done").exists():
        folder.mkdir(parents=True, exist_ok=True)
        screen = Screen(m)
        arrays = {
            "e": screen.evalues_ascending,
            "e_unsorted": screen.evalues,
            "subset": screen.signal_positions,
            "cum_e": screen.cum_e,
            "p": screen.pvalues_descending,
            "harmonic": screen.harmonic,
            "p_linear": linear(m),
        }
        # Sizes at which one check passes, and so examines every size: the
        # answers of the closed searches.
        import _tulm

        arrays["sizes"] = np.array(
            [
                _tulm.largest_mean_consistent_k(arrays["e"], ALPHA, approximate=True),
                _tulm.largestcBYsignificant_approximate_cpp(arrays["p"], ALPHA),
            ]
        )
        for name, values in arrays.items():
            np.save(folder / f"{name}.npy", np.ascontiguousarray(values))
        (folder / "done").touch()
    return folder


# name: (arrays it reads, the call). Searches on the demo screen and on the
# linear screen of bench/cby_screens.py, where closed BY runs longest; the
# single checks at the size the search answers, where they pass.
CASES = {
    "eBH_cpp": (["e"], lambda t, d: t.eBH_cpp(d["e"], ALPHA)),
    "closede_bh_cpp": (["e"], lambda t, d: t.closede_bh_cpp(d["e"], ALPHA)),
    "largest_mean_consistent_k approximate": (
        ["e"],
        lambda t, d: t.largest_mean_consistent_k(d["e"], ALPHA, approximate=True),
    ),
    "is_subset_mean_consistent": (
        ["e_unsorted", "subset"],
        lambda t, d: t.is_subset_mean_consistent(d["e_unsorted"], d["subset"], ALPHA),
    ),
    "largestmeanconsistent_cpp": (["e"], lambda t, d: t.largestmeanconsistent_cpp(d["e"], ALPHA)),
    "largestmeanconsistent_approximate_cpp": (
        ["e"],
        lambda t, d: t.largestmeanconsistent_approximate_cpp(d["e"], ALPHA),
    ),
    "meanconsistent_wrapper_cpp": (
        ["cum_e", "sizes"],
        lambda t, d: t.meanconsistent_wrapper_cpp(d["cum_e"], int(d["sizes"][0]), ALPHA),
    ),
    "BY_cpp": (["p", "harmonic"], lambda t, d: t.BY_cpp(d["p"], d["harmonic"], ALPHA)),
    "largestcBYsignificant_cpp demo": (
        ["p"],
        lambda t, d: t.largestcBYsignificant_cpp(d["p"], ALPHA),
    ),
    "largestcBYsignificant_approximate_cpp demo": (
        ["p"],
        lambda t, d: t.largestcBYsignificant_approximate_cpp(d["p"], ALPHA),
    ),
    "largestcBYsignificant_cpp linear": (
        ["p_linear"],
        lambda t, d: t.largestcBYsignificant_cpp(d["p_linear"], ALPHA),
    ),
    "largestcBYsignificant_approximate_cpp linear": (
        ["p_linear"],
        lambda t, d: t.largestcBYsignificant_approximate_cpp(d["p_linear"], ALPHA),
    ),
    "cBY_check_cpp": (
        ["p", "harmonic", "sizes"],
        lambda t, d: t.cBY_check_cpp(d["p"], int(d["sizes"][1]), d["harmonic"], 0, ALPHA),
    ),
    "closed_ebh_levels": (["e"], lambda t, d: levels().closed_ebh_levels(d["e"])),
    "closed_by_levels demo": (["p"], lambda t, d: levels().closed_by_levels(d["p"])),
    "closed_by_levels linear": (
        ["p_linear"],
        lambda t, d: levels().closed_by_levels(d["p_linear"]),
    ),
}


def levels():
    """tulm._native, imported in the child only."""
    import tulm._native

    return tulm._native


def child(case, folder):
    """Loads the case's arrays, says when the call starts, and when it ended:
    interrupted or finished (then waits for the signal, so that it lands
    outside the call)."""
    import _tulm

    # A shell starts background jobs with SIGINT ignored, and Python then
    # leaves it so: raise KeyboardInterrupt however this was started.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    names, call = CASES[case]
    data = {name: np.load(folder / f"{name}.npy") for name in names}
    sys.stdin.readline()
    try:
        print(f"start {time.monotonic()}", flush=True)
        call(_tulm, data)
        print(f"finished {time.monotonic()}", flush=True)
        time.sleep(3600)
    except KeyboardInterrupt:
        print(f"interrupted {time.monotonic()}", flush=True)


def run(case, folder, delay, cap):
    """(outcome, seconds): ("finished", duration), ("interrupted", delay from
    the signal) or ("running", cap) when no signal was asked for."""
    process = subprocess.Popen(
        [sys.executable, __file__, "--child", case, "--folder", str(folder)],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        text=True,
    )
    try:
        process.stdin.write("go\n")
        process.stdin.flush()
        started = float(process.stdout.readline().split()[1])
        wait = cap if delay is None else delay
        os.set_blocking(process.stdout.fileno(), False)
        line = ""
        while time.monotonic() < started + wait and not line:
            time.sleep(0.001)
            line = process.stdout.readline()
        if line:
            return "finished", float(line.split()[1]) - started
        if delay is None:
            return "running", cap
        sent = time.monotonic()
        process.send_signal(signal.SIGINT)
        os.set_blocking(process.stdout.fileno(), True)
        word, at = process.stdout.readline().split()
        return ("interrupted", float(at) - sent) if word == "interrupted" else ("finished", 0.0)
    finally:
        process.kill()
        process.wait()


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("--quick", action="store_true", help="m = 2 x 10^6")
    parser.add_argument("--m", type=int, help="the screens' size (default 2 x 10^7)")
    parser.add_argument("--cap", type=float, default=10.0, help="longest duration timed (s)")
    parser.add_argument("--repeat", type=int, default=2, help="signals at each moment")
    parser.add_argument("--cases", nargs="+", choices=list(CASES), default=list(CASES))
    parser.add_argument("--child", help=argparse.SUPPRESS)
    parser.add_argument("--folder", type=pathlib.Path, help=argparse.SUPPRESS)
    parser.add_argument("--prepare", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    m = args.m or (2_000_000 if args.quick else 20_000_000)
    if args.child:
        child(args.child, args.folder)
        return
    if args.prepare:
        screens(m)
        return
    print(f"screens of m = {m:,} ...", flush=True)
    # In a process of its own: this one stays small while the children run.
    subprocess.run([sys.executable, __file__, "--prepare", "--m", str(m)], check=True)
    folder = DATA / str(m)
    print(
        "\n| function | duration | worst delay | at | delays (s) by moment |\n"
        "|---|---:|---:|---|---|",
        flush=True,
    )
    misses = []
    for case in args.cases:
        outcome, duration = run(case, folder, None, args.cap)
        long = outcome == "running"
        moments = [0.05] + [fraction * duration for fraction in (0.25, 0.5, 0.75)]
        delays, worst, worst_at = [], None, "—"
        for moment in moments:
            seen = []
            for _ in range(args.repeat):
                what, seconds = run(case, folder, moment, args.cap)
                seen.append(seconds if what == "interrupted" else None)
                if what == "interrupted" and (worst is None or seconds > worst):
                    worst, worst_at = seconds, f"{moment:.2f} s"
            shown = ", ".join("ended first" if s is None else f"{s:.3f}" for s in seen)
            delays.append(f"{moment:.2f} s: {shown}")
        if worst is not None and worst > TARGET:
            misses.append(case)
        print(
            f"| {case} | {'> ' if long else ''}{duration:.3f} s | "
            f"{'—' if worst is None else f'{worst:.3f} s'} | {worst_at} | {'; '.join(delays)} |",
            flush=True,
        )
    print(
        f"\ntarget: every delay at most {TARGET} s: "
        + ("met" if not misses else "missed by ")
        + ", ".join(misses)
    )


if __name__ == "__main__":
    main()
