"""How many hypotheses each procedure rejects at every level, read off the
adjusted levels of one screen.

The demo's kind of screen (5 % signals whose z-statistics are shifted by 3,
likelihood-ratio e-values and one-sided p-values from the same statistics),
m = 20,000. Each procedure's adjusted levels are computed once; the number
rejected at level alpha is then the number of levels at most alpha, for every
alpha at once, and it is what running the procedure at alpha gives (checked
here at a few levels). The picture shows the rejections and the signals among
them against alpha.

    python examples/rejections_vs_alpha.py     # writes examples/output/rejections_vs_alpha.png
"""

import math
import pathlib
from collections.abc import Callable

import numpy as np
import numpy.typing as npt
from matplotlib.figure import Figure

import tulm

FloatArray = npt.NDArray[np.float64]
BoolArray = npt.NDArray[np.bool_]

M = 20_000
SIGNAL_FRACTION = 0.05
SHIFT = 3.0
SEED = 20261208
CHECKED_LEVELS = (0.01, 0.05, 0.2)
PICTURE = pathlib.Path(__file__).resolve().parent / "output" / "rejections_vs_alpha.png"

# (procedure, kind of value, adjusted levels, procedure at a level, colour, line style)
PROCEDURES: list[
    tuple[
        str, str, Callable[[FloatArray], FloatArray], Callable[[FloatArray, float], int], str, str
    ]
] = [
    (
        "e-BH",
        "e",
        lambda e: tulm.ebh(e).adjusted,
        lambda e, a: tulm.ebh(e, a).count,
        "#1b7f79",
        "--",
    ),
    (
        "closed e-BH",
        "e",
        lambda e: tulm.closed_ebh(e, adjusted=True).adjusted,
        lambda e, a: tulm.closed_ebh(e, a).count,
        "#1b7f79",
        "-",
    ),
    ("BY", "p", lambda p: tulm.by(p).adjusted, lambda p, a: tulm.by(p, a).count, "#b8562b", "--"),
    (
        "closed BY",
        "p",
        lambda p: tulm.closed_by(p, adjusted=True).adjusted,
        lambda p, a: tulm.closed_by(p, a).count,
        "#b8562b",
        "-",
    ),
]


def screen(rng: np.random.Generator) -> tuple[BoolArray, dict[str, FloatArray]]:
    """Which hypotheses are signals, and the screen's e-values and p-values."""
    signal = rng.random(M) < SIGNAL_FRACTION
    z = rng.standard_normal(M) + SHIFT * signal
    evalues = np.exp(SHIFT * z - SHIFT * SHIFT / 2)
    pvalues = np.array([0.5 * math.erfc(x / math.sqrt(2.0)) for x in z])
    return signal, {"e": evalues, "p": pvalues}


def main() -> None:
    signal, values = screen(np.random.default_rng(SEED))
    # Below 1: at 1 itself every level, capped there, counts.
    alphas = np.geomspace(1e-4, 0.5, 400)
    figure = Figure(figsize=(11, 4.6), layout="constrained")
    rejected_axes, signals_axes = figure.subplots(1, 2, sharex=True)
    print(f"{'procedure':<13}" + "".join(f"{f'alpha {a:g}':>13}" for a in CHECKED_LEVELS))
    for name, kind, adjusted, at_level, colour, style in PROCEDURES:
        levels = np.asarray(adjusted(values[kind]))
        # Sorted once, every alpha is a search in the sorted levels.
        ordered = np.sort(levels)
        ordered_signals = np.sort(levels[signal])
        rejected = np.searchsorted(ordered, alphas, side="right")
        found = np.searchsorted(ordered_signals, alphas, side="right")
        counts = [int((levels <= a).sum()) for a in CHECKED_LEVELS]
        if counts != [at_level(values[kind], a) for a in CHECKED_LEVELS]:
            raise SystemExit(f"{name}: the adjusted levels disagree with the procedure")
        print(f"{name:<13}" + "".join(f"{c:>13,}" for c in counts))
        rejected_axes.step(
            alphas, rejected, where="post", color=colour, linestyle=style, label=name
        )
        signals_axes.step(alphas, found, where="post", color=colour, linestyle=style)
    for axes, label in ((rejected_axes, "rejected"), (signals_axes, "signals among them")):
        axes.set_xscale("log")
        axes.set_xlabel("alpha")
        axes.set_ylabel(label)
        axes.grid(True, color="#e6e6e6", linewidth=0.8)
        axes.spines[["top", "right"]].set_visible(False)
    signals_axes.axhline(int(signal.sum()), color="#999999", linewidth=1, linestyle=":")
    signals_axes.annotate("signals in the screen", (1e-4, int(signal.sum())), va="bottom")
    rejected_axes.legend(frameon=False)
    figure.suptitle(
        f"Rejections against alpha, read off the adjusted levels: one screen of {M:,} "
        f"hypotheses, {SIGNAL_FRACTION:.0%} signals shifted by {SHIFT:g}"
    )
    PICTURE.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(PICTURE, dpi=110)
    print(f"\nrejections against alpha: {PICTURE}")


if __name__ == "__main__":
    main()
