"""How many hypotheses each procedure rejects as the screen grows.

The same kind of screen as the demo's (5 % signals whose z-statistics are
shifted by 3, likelihood-ratio e-values and one-sided p-values from the same
statistics) at sizes m from 100 to 100,000, as many screens per size as make
HYPOTHESES in all (at least MIN_REPLICATES), so small sizes are not noisier. The
picture shows the mean rejections of e-BH, closed e-BH, BY and closed BY
against m, and the share of the signals each one finds: the corrections grow
with m (BY's harmonic number, e-BH's m / alpha), so the share found falls.

    python examples/rejections_vs_m.py          # writes examples/output/rejections_vs_m.png
"""

import math
import pathlib
from collections.abc import Callable

import numpy as np
import numpy.typing as npt
from matplotlib.figure import Figure

import tulm

FloatArray = npt.NDArray[np.float64]

SIZES = np.unique(np.round(np.logspace(2, 5, 13)).astype(int))
SIGNAL_FRACTION = 0.05
SHIFT = 3.0
ALPHA = 0.05
HYPOTHESES = 300_000
MIN_REPLICATES = 4
SEED = 20261208
PICTURE = pathlib.Path(__file__).resolve().parent / "output" / "rejections_vs_m.png"

# (procedure, kind of value, call, colour, line style): base procedures dashed.
PROCEDURES: list[tuple[str, str, Callable[[FloatArray], tulm.Rejections], str, str]] = [
    ("e-BH", "e", lambda e: tulm.ebh(e, ALPHA), "#1b7f79", "--"),
    ("closed e-BH", "e", lambda e: tulm.closed_ebh(e, ALPHA), "#1b7f79", "-"),
    ("BY", "p", lambda p: tulm.by(p, ALPHA), "#b8562b", "--"),
    ("closed BY", "p", lambda p: tulm.closed_by(p, ALPHA), "#b8562b", "-"),
]


def screen(m: int, rng: np.random.Generator) -> tuple[int, dict[str, FloatArray]]:
    """Signals in the screen, and its e-values and p-values."""
    signals = round(m * SIGNAL_FRACTION)
    z = rng.standard_normal(m)
    z[:signals] += SHIFT
    evalues = np.exp(SHIFT * z - SHIFT * SHIFT / 2)
    pvalues = np.array([0.5 * math.erfc(x / math.sqrt(2.0)) for x in z])
    return signals, {"e": evalues, "p": pvalues}


def mean_rejections(rng: np.random.Generator) -> tuple[FloatArray, dict[str, FloatArray]]:
    """Signals per screen, and each procedure's mean rejections, per size."""
    signals = np.zeros(len(SIZES))
    found = {name: np.zeros(len(SIZES)) for name, *_ in PROCEDURES}
    for column, m in enumerate(SIZES):
        replicates = max(MIN_REPLICATES, HYPOTHESES // int(m))
        for _ in range(replicates):
            signals[column], values = screen(int(m), rng)
            for name, kind, call, *_ in PROCEDURES:
                found[name][column] += call(values[kind]).count / replicates
    return signals, found


def draw(signals: FloatArray, found: dict[str, FloatArray], path: pathlib.Path) -> None:
    figure = Figure(figsize=(11, 4.6), layout="constrained")
    count, share = figure.subplots(1, 2)
    count.plot(SIZES, signals, color="#999999", linewidth=1, linestyle=":", label="signals")
    for name, _, _, colour, style in PROCEDURES:
        count.plot(SIZES, found[name], color=colour, linestyle=style, marker="o", label=name)
        share.plot(SIZES, 100 * found[name] / signals, color=colour, linestyle=style, marker="o")
    count.set_xscale("log")
    count.set_yscale("log")
    count.set_ylabel("rejections per screen (mean)")
    count.legend(frameon=False)
    share.set_xscale("log")
    share.set_ylim(0, None)
    share.set_ylabel("signals found (%)")
    for axes in (count, share):
        axes.set_xlabel("m, hypotheses in the screen")
        axes.grid(True, color="#e6e6e6", linewidth=0.8)
        axes.spines[["top", "right"]].set_visible(False)
    figure.suptitle(
        f"Rejections against m at alpha = {ALPHA}: {SIGNAL_FRACTION:.0%} signals shifted by "
        f"{SHIFT:g}, mean over {HYPOTHESES:,} hypotheses per size"
    )
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=110)


def main() -> None:
    signals, found = mean_rejections(np.random.default_rng(SEED))
    print(f"{'m':>8}" + "".join(f"{name:>13}" for name, *_ in PROCEDURES))
    for column, m in enumerate(SIZES):
        print(f"{m:>8,}" + "".join(f"{found[name][column]:>13,.1f}" for name, *_ in PROCEDURES))
    draw(signals, found, PICTURE)
    print(f"\nrejections against m: {PICTURE}")


if __name__ == "__main__":
    main()
