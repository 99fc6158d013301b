"""The tulm command on a large table: time and peak memory, side by side.

Writes a CSV of --rows hypotheses (gene, tissue, p, e: the demo's screen, 5 %
signals with mean shift 3, in four tissues at random), then runs each command
in turn --repeat times and prints the median wall time and the largest peak
resident memory of each, with the time as a ratio to `tulm by`. The reference
is pandas reading the table as text and writing it back, what a command built
on pandas does at least. --before FILE also times an older _cli.py (say, one
saved from git) on the same table. --results FILE writes the table as
Markdown too (bench/results/cli.md).

    .venv/bin/python bench/cli.py                 # 10^6 rows, 5 rounds
    .venv/bin/python bench/cli.py --rows 100000 --repeat 3
    git show aa4c278:python/tulm/_cli.py > /tmp/cli_before.py
    .venv/bin/python bench/cli.py --before /tmp/cli_before.py --results bench/results/cli.md
"""

import argparse
import math
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile
import time

import numpy as np

BIN = pathlib.Path(sys.executable).parent
SHIFT = 3.0


def write_table(path: pathlib.Path, rows: int) -> None:
    rng = np.random.default_rng(20261207)
    signal = rng.random(rows) < 0.05
    z = rng.standard_normal(rows) + SHIFT * signal
    evalues = np.exp(SHIFT * z - SHIFT * SHIFT / 2)
    pvalues = [0.5 * math.erfc(x / math.sqrt(2.0)) for x in z.tolist()]
    tissues = np.array(["liver", "brain", "heart", "lung"])[rng.integers(0, 4, rows)]
    with open(path, "w") as handle:
        handle.write("gene,tissue,p,e\n")
        handle.writelines(
            f"g{i:07d},{t},{p!r},{e!r}\n"
            for i, (t, p, e) in enumerate(zip(tissues, pvalues, evalues.tolist(), strict=True))
        )


def run(command: list[str]) -> tuple[float, float]:
    """(wall seconds, peak resident MiB) of one run, which must succeed."""
    start = time.perf_counter()
    process = subprocess.Popen(command, stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    _, status, usage = os.wait4(process.pid, 0)
    elapsed = time.perf_counter() - start
    process.returncode = os.waitstatus_to_exitcode(status)
    stderr = process.stderr.read().decode() if process.stderr else ""
    if process.returncode:
        sys.exit(f"{' '.join(command)} failed ({process.returncode}): {stderr}")
    return elapsed, usage.ru_maxrss / 1024


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rows", type=int, default=1_000_000)
    parser.add_argument("--repeat", type=int, default=5)
    parser.add_argument("--before", metavar="FILE", help="an older _cli.py to time beside")
    parser.add_argument("--results", metavar="FILE", help="also write the table here, as Markdown")
    args = parser.parse_args()

    with tempfile.TemporaryDirectory() as directory:
        table = pathlib.Path(directory) / "screen.csv"
        out = str(pathlib.Path(directory) / "out.csv")
        write_table(table, args.rows)
        tulm = [str(BIN / "tulm")]
        commands = {
            "tulm by": [*tulm, "by", str(table), "--column", "p", "--output", out],
            "tulm by --group-by tissue": [
                *tulm, "by", str(table), "--column", "p", "--group-by", "tissue", "--output", out,
            ],
            "tulm ebh --adjusted": [
                *tulm, "ebh", str(table), "--column", "e", "--adjusted", "--output", out,
            ],
            "tulm closed-by": [*tulm, "closed-by", str(table), "--column", "p", "--output", out],
            "pandas read_csv, to_csv": [
                sys.executable,
                "-c",
                "import sys, pandas; pandas.read_csv(sys.argv[1], dtype=str, "
                "keep_default_na=False).to_csv(sys.argv[2], index=False)",
                str(table),
                out,
            ],
        }  # fmt: skip
        if args.before:
            loader = (
                "import importlib.util, sys; "
                "spec = importlib.util.spec_from_file_location('tulm._cli_before', sys.argv[1]); "
                "module = sys.modules[spec.name] = importlib.util.module_from_spec(spec); "
                "spec.loader.exec_module(module); "
                "sys.exit(module.main(sys.argv[2:]))"
            )
            commands["before: tulm by"] = [
                sys.executable, "-c", loader, args.before,
                "by", str(table), "--column", "p", "--output", out,
            ]  # fmt: skip
        size = table.stat().st_size / 2**20
        head = f"{args.rows:,} rows, {size:.0f} MiB, {args.repeat} rounds"
        print(f"{head}; load {os.getloadavg()[0]:.2f}")
        times: dict[str, list[float]] = {name: [] for name in commands}
        peaks: dict[str, float] = dict.fromkeys(commands, 0.0)
        for _ in range(args.repeat):
            for name, command in commands.items():
                elapsed, peak = run(command)
                times[name].append(elapsed)
                peaks[name] = max(peaks[name], peak)
        reference = statistics.median(times["tulm by"])
        print(f"{'command':32} {'median s':>9} {'x tulm by':>10} {'peak MiB':>9}")
        rows = []
        for name in commands:
            median = statistics.median(times[name])
            print(f"{name:32} {median:9.2f} {median / reference:10.2f} {peaks[name]:9.0f}")
            rows.append(f"| {name} | {median:.2f} | {median / reference:.2f} | {peaks[name]:.0f} |")
        load = f"load {os.getloadavg()[0]:.2f}"
        print(load)
        if args.results:
            with open(args.results, "w") as handle:
                handle.write(f"`bench/cli.py`: {head}, medians; {load} at the end.\n\n")
                handle.write("| command | median s | x tulm by | peak MiB |\n|---|---|---|---|\n")
                handle.write("\n".join(rows) + "\n")


if __name__ == "__main__":
    main()
