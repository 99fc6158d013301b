"""Multiple testing on simulated screens of 10,000 hypotheses.

Each hypothesis i has a statistic z_i ~ N(mu_i, 1). Most are nulls (mu_i = 0);
5 % are signals with mu_i = 3. From the same statistics the demo forms
  - likelihood-ratio e-values  e_i = exp(3 z_i - 9/2)  (alternative N(3, 1) over N(0, 1)),
  - one-sided p-values         p_i = P(N(0, 1) >= z_i),
asks the tulm package which hypotheses each procedure rejects on one screen,
and counts how many of those are true signals.

One screen is one draw: the same procedure finds noticeably more or fewer
signals on the next. So the demo then runs 100 screens at each of a range of
signal strengths (the table's screen is the first of those at mu = 3), prints
the mean and spread at mu = 3, and draws, for e-BH against closed e-BH and BY
against closed BY, the power (the share of the signals found) with its
spread, the signals only the closed procedure finds, and the realised false
discovery proportion against the level alpha, into a PNG whose path it
prints at the end. About ten seconds.
"""

import dataclasses
import math
import pathlib
import sys
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

# The picture: the same screen at these mean shifts, REPLICATES screens each.
# The table's screen is the first of those at SHIFT, so it is one of the
# screens its means average.
SHIFTS = np.arange(2.0, 5.01, 0.25)
REPLICATES = 100
TABLE_COLUMN = int(np.flatnonzero(np.isclose(SHIFTS, SHIFT))[0])
# The spread shown: the middle 80 % of the screens at a shift.
LOW, HIGH = 10, 90
# A relative gain is printed only above a base procedure that finds this many
# signals per screen on average: a percentage of a handful is noise.
GAIN_LABEL_BASE = 25
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


def screen(column: int, replicate: int) -> tuple[BoolArray, FloatArray, FloatArray]:
    """The replicate-th simulated screen at SHIFTS[column], the same on every run."""
    rng = np.random.default_rng([SEED, column, replicate])
    return simulate(M, SIGNAL_FRACTION, float(SHIFTS[column]), rng)


@dataclasses.dataclass
class Replicates:
    """Per procedure, one row per shift in SHIFTS and one column per screen."""

    rejections: dict[str, FloatArray]
    true: dict[str, FloatArray]
    # The realised false discovery proportion, 0 on a screen with no rejection:
    # its mean over screens estimates the false discovery rate.
    fdp: dict[str, FloatArray]


def replicate(progress: Callable[[int], None]) -> Replicates:
    """Every procedure on REPLICATES screens at each shift."""
    shape = (len(SHIFTS), REPLICATES)
    out = Replicates(*({name: np.zeros(shape) for name, *_ in PROCEDURES} for _ in range(3)))
    for column in range(len(SHIFTS)):
        for index in range(REPLICATES):
            is_signal, evalues, pvalues = screen(column, index)
            values = {"e": evalues, "p": pvalues}
            for name, kind, call in PROCEDURES:
                rejected = call(values[kind]).rejected
                k, true = int(rejected.sum()), int((is_signal & rejected).sum())
                out.rejections[name][column, index] = k
                out.true[name][column, index] = true
                out.fdp[name][column, index] = (k - true) / k if k else 0.0
        progress(column + 1)
    return out


def spread(values: FloatArray) -> tuple[FloatArray, FloatArray]:
    """The LOW-th and HIGH-th percentiles over the screens at each shift."""
    low, high = np.percentile(values, [LOW, HIGH], axis=-1)
    return low, high


def relative_gain(extra: float, base: float) -> str:
    if base < GAIN_LABEL_BASE or extra <= 0:
        return ""
    percent = 100 * extra / base
    return f"+{percent:.0f}%" if percent >= 1 else "<1%"


def draw(runs: Replicates, path: pathlib.Path) -> None:
    """Per column (e-values, p-values): the power of the base and the closed
    procedure with its spread and the table's screen; the signals only the
    closed one finds; the realised false discovery proportion against alpha."""
    colours = {"e": "#1b7f79", "p": "#b8562b"}
    base_colour = "#555555"
    signals = round(M * SIGNAL_FRACTION)
    x = SHIFTS
    figure = Figure(figsize=(12, 11), layout="constrained")
    grid = figure.add_gridspec(3, 2, height_ratios=[3, 1.7, 2])
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
        for name, line_colour, style, width in (
            (base, base_colour, "--", 1.8),
            (closed, colour, "-", 2.6),
        ):
            share = 100 * runs.true[name] / signals
            low, high = spread(share)
            power.fill_between(x, low, high, color=line_colour, alpha=0.16, linewidth=0)
            power.plot(
                x,
                share.mean(axis=1),
                color=line_colour,
                linestyle=style,
                linewidth=width,
                marker="o",
                markersize=4,
                label=f"{name}: mean",
            )
            power.plot(
                SHIFT,
                share[TABLE_COLUMN, 0],
                linestyle="none",
                marker="D",
                markersize=8,
                markerfacecolor="white" if name == base else colour,
                markeredgecolor=line_colour,
                markeredgewidth=1.6,
                zorder=5,
            )
        power.fill_between(
            [], [], [], color="#999999", alpha=0.3, label=f"{LOW}-{HIGH}% of screens"
        )
        power.plot(
            [],
            [],
            linestyle="none",
            marker="D",
            markerfacecolor="white",
            markeredgecolor="#333333",
            label="the table's screen",
        )
        table_share = 100 * runs.true[closed][TABLE_COLUMN, 0] / signals
        power.annotate(
            f"the table's screen: one of the\n{REPLICATES} screens at shift {SHIFT:g}",
            xy=(SHIFT, table_share),
            xytext=(SHIFT + 0.45, max(table_share - 12, 3)),
            fontsize=9,
            color="#444444",
            arrowprops={"arrowstyle": "-", "color": "#888888", "linewidth": 0.8},
        )
        power.set_title(heading, fontsize=12, loc="left", fontweight="bold")
        power.set_ylabel("power: signals found (%)")
        power.set_ylim(0, 100)
        power.legend(loc="upper left", frameon=False, fontsize=9)

        extra = runs.true[closed] - runs.true[base]
        gain = figure.add_subplot(grid[1, column], sharex=power)
        mean_extra = extra.mean(axis=1)
        low, high = spread(extra)
        bars = gain.bar(x, mean_extra, width=0.18, color=colour, alpha=0.85)
        # The spread as a line from the LOW-th to the HIGH-th percentile: a
        # skewed count can have its mean outside that range.
        gain.vlines(x, low, high, color="#333333", linewidth=0.9, alpha=0.7)
        labels = [
            relative_gain(e, b)
            for e, b in zip(mean_extra, runs.true[base].mean(axis=1), strict=True)
        ]
        gain.bar_label(
            bars,
            labels=labels,
            fontsize=8,
            color=colour,
            padding=2,
            bbox={"facecolor": "white", "edgecolor": "none", "pad": 0.5},
        )
        gain.set_ylabel(f"signals found only\nby {closed}, per screen")
        gain.set_ylim(0, max(1.0, float(high.max())) * 1.2)

        fdp = figure.add_subplot(grid[2, column], sharex=power)
        fdp.axhline(
            ALPHA, color="#c0392b", linewidth=1.2, label=f"\u03b1 = {ALPHA}, the level controlled"
        )
        if kind == "p":
            harmonic = float(np.sum(1.0 / np.arange(1, M + 1)))
            bound = ALPHA * (M - signals) / (M * harmonic)
            fdp.axhline(
                bound,
                color="#777777",
                linewidth=1,
                linestyle=":",
                label=rf"$\alpha\, m_0 / (m H_m)$ = {bound:.4f}: BY's FDR on independent tests",
            )
        for name, line_colour, style in ((base, base_colour, "--"), (closed, colour, "-")):
            fdp.plot(
                x,
                runs.fdp[name].mean(axis=1),
                color=line_colour,
                linestyle=style,
                marker="o",
                markersize=4,
                label=f"{name}: mean FDP (the FDR)",
            )
        high_fdp = spread(runs.fdp[closed])[1]
        fdp.plot(
            x,
            high_fdp,
            color=colour,
            linewidth=0.8,
            linestyle="-.",
            label=f"{closed}: {HIGH}th percentile of the FDP",
        )
        fdp.set_ylim(0, 1.4 * ALPHA)
        fdp.set_ylabel("false discovery proportion\n(false / rejections)")
        fdp.set_xlabel("signal strength: mean shift of a signal's z-statistic")
        fdp.legend(loc="upper right", frameon=False, fontsize=8.5)
        for axes in (power, gain, fdp):
            axes.set_xlim(x[0] - 0.15, x[-1] + 0.15)
            axes.grid(True, axis="y", color="#e6e6e6", linewidth=0.8)
            axes.spines[["top", "right"]].set_visible(False)
            axes.set_axisbelow(True)
        power.tick_params(labelbottom=False)
        gain.tick_params(labelbottom=False)
    figure.suptitle(
        f"Closing e-BH and BY finds more signals at the same level \u03b1 = {ALPHA}\n"
        f"{M:,} hypotheses, {signals:,} of them signals; at each shift {REPLICATES} simulated "
        f"screens: their mean, and the middle {HIGH - LOW} % of them",
        fontsize=13,
    )
    path.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(path, dpi=110)


def main() -> None:
    is_signal, evalues, pvalues = screen(TABLE_COLUMN, 0)
    values = {"e": evalues, "p": pvalues}
    print(
        f"{M:,} hypotheses, {is_signal.sum():,} signals (mean shift {SHIFT:g}), "
        f"level alpha = {ALPHA}, seed {SEED}\n\n"
        f"One screen (the first of the {REPLICATES} at shift {SHIFT:g} summarised below):"
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

    # Progress on standard error, where it stays out of the table.
    print(f"{REPLICATES} screens at each of {len(SHIFTS)} shifts ", end="", file=sys.stderr)
    runs = replicate(
        lambda done: print(
            "." if done < len(SHIFTS) else ".\n", end="", file=sys.stderr, flush=True
        )
    )
    print(
        f"\nThe {REPLICATES} screens at shift {SHIFT:g}: means, the {LOW}-{HIGH}% range of "
        f"the true rejections,\nand the mean FDP, which estimates the false discovery rate:"
    )
    header = f"{'procedure':<28}{'rejections':>11}{'true':>7}{f'{LOW}-{HIGH}%':>10}{'FDP':>8}"
    print(header)
    print("-" * len(header))
    for name, *_ in PROCEDURES:
        true = runs.true[name][TABLE_COLUMN]
        low, high = spread(true)
        print(
            f"{name:<28}{runs.rejections[name][TABLE_COLUMN].mean():>11.1f}{true.mean():>7.1f}"
            f"{f'{low:.0f}-{high:.0f}':>10}{runs.fdp[name][TABLE_COLUMN].mean():>8.4f}"
        )

    draw(runs, PICTURE)
    print(f"\npower and false discovery proportion against signal strength: {PICTURE}")


if __name__ == "__main__":
    main()
