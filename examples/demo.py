"""Multiple testing on a simulated screen of 10,000 hypotheses.

Each hypothesis i has a statistic z_i ~ N(mu_i, 1). Most are nulls (mu_i = 0);
5 % are signals with mu_i = 3. From the same statistics the demo forms
  - likelihood-ratio e-values  e_i = exp(3 z_i - 9/2)  (alternative N(3, 1) over N(0, 1)),
  - one-sided p-values         p_i = P(N(0, 1) >= z_i),
asks the tulm package which hypotheses each procedure rejects, and counts how
many of those are true signals.

Then it repeats the screen over a range of signal strengths and draws the
power (the share of signals found) of e-BH against closed e-BH and of BY
against closed BY into a PNG, whose path it prints at the end.
"""

import math
import pathlib
import time
from collections.abc import Callable

import numpy as np
import numpy.typing as npt
from matplotlib.figure import Figure

import tulm

FloatArray = npt.NDArray[np.float64]
BoolArray = npt.NDArray[np.bool_]

M = 10_000
SIGNAL_FRACTION = 0.05
SHIFT = 3.0
ALPHA = 0.05
SEED = 20261207

# The picture: the same screen at these mean shifts, REPLICATES times each.
SHIFTS = np.arange(2.0, 5.01, 0.25)
REPLICATES = 8
PICTURE = pathlib.Path(__file__).resolve().parent / "output" / "demo_power.png"


def simulate(
    m: int, signal_fraction: float, shift: float, rng: np.random.Generator
) -> tuple[BoolArray, FloatArray, FloatArray]:
    """Returns (is_signal, evalues, pvalues) for m independent hypotheses."""
    is_signal = np.zeros(m, dtype=bool)
    is_signal[: round(m * signal_fraction)] = True
    rng.shuffle(is_signal)
    z = rng.standard_normal(m) + shift * is_signal
    evalues = np.exp(shift * z - shift * shift / 2)
    pvalues = np.array([0.5 * math.erfc(x / math.sqrt(2.0)) for x in z])
    return is_signal, evalues, pvalues


# (procedure, kind, call): kind "e" gets the e-values, "p" the p-values.
PROCEDURES: list[tuple[str, str, Callable[[FloatArray], tulm.Rejections]]] = [
    ("e-BH", "e", lambda evalues: tulm.ebh(evalues, ALPHA)),
    ("closed e-BH", "e", lambda evalues: tulm.closed_ebh(evalues, ALPHA)),
    (
        "closed e-BH (approximate)",
        "e",
        lambda evalues: tulm.closed_ebh(evalues, ALPHA, method="approximate"),
    ),
    ("BY", "p", lambda pvalues: tulm.by(pvalues, ALPHA)),
    ("closed BY", "p", lambda pvalues: tulm.closed_by(pvalues, ALPHA)),
    (
        "closed BY (approximate)",
        "p",
        lambda pvalues: tulm.closed_by(pvalues, ALPHA, method="approximate"),
    ),
]
# The exact procedures compared in the picture, as (base, closed) pairs.
PAIRS = [("e-BH", "closed e-BH"), ("BY", "closed BY")]


def true_discoveries(rng: np.random.Generator) -> dict[str, FloatArray]:
    """Mean number of signals that each exact procedure finds, per shift in SHIFTS."""
    calls = {name: (kind, call) for name, kind, call in PROCEDURES}
    names = [name for pair in PAIRS for name in pair]
    found = {name: np.zeros(len(SHIFTS)) for name in names}
    for column, shift in enumerate(SHIFTS):
        for _ in range(REPLICATES):
            is_signal, evalues, pvalues = simulate(M, SIGNAL_FRACTION, float(shift), rng)
            values = {"e": evalues, "p": pvalues}
            for name in names:
                kind, call = calls[name]
                found[name][column] += (is_signal & call(values[kind]).rejected).sum()
    return {name: total / REPLICATES for name, total in found.items()}


def relative_gain(extra: float, base: float) -> str:
    if extra <= 0 or base < 1:
        return ""
    percent = 100 * extra / base
    return f"+{percent:.0f}%" if percent >= 1 else "<1%"


def draw_power(found: dict[str, FloatArray], path: pathlib.Path) -> None:
    """Top: power of each pair, the closed procedure's gain shaded. Bottom: that
    gain as extra signals found per screen, with the relative gain above."""
    colours = {"e": "#1b7f79", "p": "#b8562b"}
    signals = round(M * SIGNAL_FRACTION)
    figure = Figure(figsize=(12, 7.6), layout="constrained")
    grid = figure.add_gridspec(2, 2, height_ratios=[3, 2])
    x = SHIFTS
    for column, ((base, closed), kind, heading) in enumerate(
        zip(
            PAIRS,
            "ep",
            ["e-values: e-BH and closed e-BH", "p-values: BY and closed BY"],
            strict=True,
        )
    ):
        colour = colours[kind]
        power = figure.add_subplot(grid[0, column])
        low, high = 100 * found[base] / signals, 100 * found[closed] / signals
        power.fill_between(x, low, high, color=colour, alpha=0.22, linewidth=0)
        power.plot(
            x,
            low,
            color="#555555",
            linestyle="--",
            linewidth=1.8,
            marker="o",
            markersize=4,
            label=base,
        )
        power.plot(x, high, color=colour, linewidth=2.6, marker="o", markersize=5, label=closed)
        power.axvline(SHIFT, color="#999999", linewidth=0.8, linestyle=":")
        power.text(
            SHIFT + 0.05,
            97,
            "the table's\nscreen",
            ha="left",
            va="top",
            fontsize=8,
            color="#777777",
        )
        power.set_title(heading, fontsize=12, loc="left", fontweight="bold")
        power.set_ylabel("power: signals found (%)")
        power.set_ylim(0, 100)
        power.legend(loc="upper left", frameon=False, fontsize=10)

        extra = found[closed] - found[base]
        gain = figure.add_subplot(grid[1, column], sharex=power)
        bars = gain.bar(x, extra, width=0.18, color=colour, alpha=0.85)
        labels = [relative_gain(e, b) for e, b in zip(extra, found[base], strict=True)]
        gain.bar_label(bars, labels=labels, fontsize=8, color=colour, padding=2)
        gain.set_ylabel(f"signals found only by\n{closed}, per screen")
        gain.set_xlabel("signal strength: mean shift of a signal's z-statistic")
        gain.set_ylim(0, max(1.0, float(extra.max())) * 1.25)
        for axes in (power, gain):
            axes.set_xlim(x[0] - 0.15, x[-1] + 0.15)
            axes.grid(True, axis="y", color="#e6e6e6", linewidth=0.8)
            axes.spines[["top", "right"]].set_visible(False)
            axes.set_axisbelow(True)
        power.tick_params(labelbottom=False)
    figure.suptitle(
        f"Closing e-BH and BY finds more signals at the same level \u03b1 = {ALPHA}\n"
        f"{M:,} hypotheses, {signals:,} of them signals; each point is the mean of "
        f"{REPLICATES} simulated screens",
        fontsize=13,
    )
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=120)


def main() -> None:
    rng = np.random.default_rng(SEED)
    is_signal, evalues, pvalues = simulate(M, SIGNAL_FRACTION, SHIFT, rng)
    values = {"e": evalues, "p": pvalues}

    print(
        f"{M:,} hypotheses, {is_signal.sum():,} signals (mean shift {SHIFT}), "
        f"level alpha = {ALPHA}, seed {SEED}\n"
    )
    header = f"{'procedure':<28}{'rejections':>11}{'true':>7}{'false':>7}{'FDP':>7}{'time':>11}"
    print(header)
    print("-" * len(header))
    for name, kind, call in PROCEDURES:
        start = time.perf_counter()
        result = call(values[kind])
        elapsed = time.perf_counter() - start
        k = int(result.rejected.sum())
        true = int((is_signal & result.rejected).sum())
        false = k - true
        fdp = false / k if k else 0.0
        print(f"{name:<28}{k:>11,}{true:>7,}{false:>7,}{fdp:>7.3f}{elapsed * 1e3:>8.2f} ms")

    draw_power(true_discoveries(rng), PICTURE)
    print(f"\npower of e-BH, closed e-BH, BY and closed BY against signal strength: {PICTURE}")


if __name__ == "__main__":
    main()
