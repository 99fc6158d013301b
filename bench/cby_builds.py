"""The closed BY searches of two builds of _tulm side by side: the three
screens of cby_screens.py, calls alternating between the builds run by run,
medians, answers compared. For a change that must not slow the searches down.

    .venv/bin/python bench/cby_builds.py BEFORE [AFTER] [--sizes 1000000] [--runs 25]

A build is a directory that holds _tulm*.so (a CMake build directory of the
module); without AFTER, the installed module. Each build runs in a worker
process of its own, which builds the screens once and times one call per
request. Prints a table; writes nothing.
"""

import argparse
import json
import os
import pathlib
import statistics
import subprocess
import sys

BENCH = pathlib.Path(__file__).resolve().parent
SEARCHES = ["exact", "approximate"]

WORKER = f"""
import json, sys, time
sys.path.insert(0, {str(BENCH)!r})
import _tulm
from cby_screens import ALPHA, SCREENS
search = {{"exact": _tulm.largestcBYsignificant_cpp,
           "approximate": _tulm.largestcBYsignificant_approximate_cpp}}
screens = {{}}
print(json.dumps(_tulm.__file__), flush=True)
for line in sys.stdin:
    name, m, which = line.split()
    if (name, m) not in screens:
        screens[name, m] = SCREENS[name](int(m))
    start = time.perf_counter()
    answer = search[which](screens[name, m], ALPHA)
    print(json.dumps([time.perf_counter() - start, answer]), flush=True)
"""


class Build:
    def __init__(self, path):
        env = dict(os.environ, OPENBLAS_NUM_THREADS="1")
        if path:
            env["PYTHONPATH"] = str(path)
        self.process = subprocess.Popen(
            [sys.executable, "-c", WORKER],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
            env=env,
        )
        self.module = json.loads(self.process.stdout.readline())

    def time(self, name, m, which):
        self.process.stdin.write(f"{name} {m} {which}\n")
        self.process.stdin.flush()
        return json.loads(self.process.stdout.readline())


def main():
    parser = argparse.ArgumentParser(
        description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter
    )
    parser.add_argument("before", type=pathlib.Path)
    parser.add_argument("after", type=pathlib.Path, nargs="?")
    parser.add_argument("--sizes", type=int, nargs="+", default=[1_000_000])
    parser.add_argument("--runs", type=int, default=25)
    args = parser.parse_args()
    before, after = Build(args.before), Build(args.after)
    print(f"before: {before.module}\nafter:  {after.module}\n")
    print("| screen | m | search | before | after | after / before | answer |")
    print("|---|---:|---|---:|---:|---:|---:|")
    from cby_screens import SCREENS

    for m in args.sizes:
        for name in SCREENS:
            for which in SEARCHES:
                answers = {before.time(name, m, which)[1], after.time(name, m, which)[1]}
                if len(answers) != 1:
                    raise SystemExit(f"{name}, m = {m}, {which}: answers differ: {answers}")
                times = {before: [], after: []}
                for run in range(args.runs):
                    for build in (before, after) if run % 2 == 0 else (after, before):
                        times[build].append(build.time(name, m, which)[0])
                t_before, t_after = (statistics.median(times[b]) for b in (before, after))
                print(
                    f"| {name} | {m:,} | {which} | {t_before * 1e3:.2f} ms | "
                    f"{t_after * 1e3:.2f} ms | {t_after / t_before:.3f} | {answers.pop()} |",
                    flush=True,
                )


if __name__ == "__main__":
    sys.path.insert(0, str(BENCH))
    main()
