"""The tulm command: a table of p-values or e-values in, the same table with a
`rejected` column out (and `adjusted` when asked).

The table is read twice, in chunks. The first pass checks every value and
keeps what the procedures need: the values that can be rejected (or have an
adjusted level below 1) for e-BH and BY, every value for the closed
procedures. The second pass copies each record through as it came, its line
break included, with the new columns appended. Standard input, or anything
else that cannot be read twice, is spooled to a temporary file first. Errors
are one line on standard error, and nothing is written unless every family
was tested: the table goes to a temporary file first."""

from __future__ import annotations

import argparse
import codecs
import contextlib
import csv
import io
import itertools
import math
import operator
import os
import shutil
import signal
import stat
import sys
import tempfile
import threading
import warnings
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import IO, Any, NoReturn

import numpy as np
from numpy.typing import NDArray

from . import _procedures, _select
from . import _validation as check
from ._result import Rejections
from ._tables import KERNEL_LARGEST, LARGEST_FAMILY, harmonic_number

USAGE = (
    "tulm PROCEDURE [FILE] --column NAME [--alpha A] [--method exact|approximate] "
    "[--adjusted] [--m M] [--cutoff C] [--nan-policy raise|omit] [--group-by COLUMN] "
    "[--per-family] [--output FILE]"
)

DESCRIPTION = """\
Reads a CSV or TSV table (FILE, or standard input when FILE is absent or -),
tests the hypotheses whose p-values or e-values are in the column NAME, and
writes the table back, every line as it came, with a boolean column
`rejected` and, for by or with --adjusted, the adjusted levels in `adjusted`.
Each value of --group-by names a family tested on its own. A summary goes to
standard error; on a terminal, a progress bar shows long work."""

EPILOG = """\
procedures:
  ebh         e-BH on e-values
  closed-ebh  closed e-BH on e-values: everything e-BH rejects, often more
  by          Benjamini-Yekutieli on p-values, with adjusted p-values
  closed-by   closed BY on p-values: everything BY rejects, often more

example, on examples/data/screen.csv of the source (columns gene, tissue, p):
  $ tulm closed-by screen.csv --column p --group-by tissue --output tested.csv
  closed BY (exact), alpha 0.05, tissue=liver: rejected 5 of 8
  closed BY (exact), alpha 0.05, tissue=brain: rejected 4 of 6

a family given in part: the p-values below 1e-5 of 10^10 tests
  $ tulm by kept.csv --column p --m 1e10 --cutoff 1e-5

missing values: an empty cell or NA, NaN, N/A, null, None, #N/A (any case).
Under --nan-policy raise (the default) they are refused; under omit they are
left untested: never rejected, not counted in m.

exit status: 0 done, 1 an error in the data, the files or the installation,
2 a usage error, 130 interrupted."""

DATA_ERROR = 1
USAGE_ERROR = 2
INTERRUPTED = 130

# Families listed one line each up to this many; beyond, one summary line
# (--per-family lists them all).
LISTED_FAMILIES = 10
# Progress bars appear once a phase has taken this long (seconds), and only
# when standard error is a terminal.
PROGRESS_DELAY = 0.5
# Records per chunk of either pass, and bytes per block of a spooled input.
CHUNK_ROWS = 1 << 16
BLOCK = 1 << 20
# Offending lines quoted in a message; the rest are counted.
QUOTED_LINES = 3
MISSING = frozenset({"", "na", "nan", "n/a", "null", "none", "#n/a"})
ADDED_COLUMNS = ("rejected", "adjusted")
# The delimiter is detected from this much of the text.
SNIFFED = 1 << 16

type Procedure = Callable[..., Rejections[Any, Any, Any]]

# name: (function, kind of value, whether it is closed: has a search method)
PROCEDURES: dict[str, tuple[Procedure, check.Kind, bool]] = {
    "ebh": (_procedures.ebh, "e", False),
    "closed-ebh": (_procedures.closed_ebh, "e", True),
    "by": (_procedures.by, "p", False),
    "closed-by": (_procedures.closed_by, "p", True),
}
NAMES = {"ebh": "e-BH", "closed-ebh": "closed e-BH", "by": "BY", "closed-by": "closed BY"}


class DataError(Exception):
    """A problem with the input, the output or the installation: exit status 1."""


class _Parser(argparse.ArgumentParser):
    def error(self, message: str) -> NoReturn:
        # One line, not argparse's usage block: the synopsis is in --help.
        self.exit(USAGE_ERROR, f"{self.prog}: error: {message} (see tulm --help)\n")


def _alpha(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not 0 < value <= 1:  # also refuses nan
        raise argparse.ArgumentTypeError(f"must satisfy 0 < A <= 1, got {text}")
    return value


def _size(text: str) -> int:
    # 1e10 reads as well as 10000000000, if it is a whole number.
    try:
        value = float(text) if "e" in text.lower() else int(text)
    except ValueError:
        value = math.nan
    if not (isinstance(value, int) or value.is_integer()):
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}")
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative, got {text}")
    if value > LARGEST_FAMILY:
        # The procedures' own check, for the closed ones' smaller bound,
        # takes only what fits in 64 bits.
        raise argparse.ArgumentTypeError(
            f"families hold at most {LARGEST_FAMILY:,} hypotheses, got {text}"
        )
    return int(value)


def _number(text: str) -> float:
    try:
        return float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None


def build_parser() -> argparse.ArgumentParser:
    parser = _Parser(
        prog="tulm",
        usage=USAGE,
        description=DESCRIPTION,
        epilog=EPILOG,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "procedure",
        metavar="PROCEDURE",
        choices=list(PROCEDURES),
        help="ebh, closed-ebh, by or closed-by (see below)",
    )
    parser.add_argument("file", metavar="FILE", nargs="?", default="-", help="CSV or TSV table")
    parser.add_argument("--column", metavar="NAME", required=True, help="the values to test")
    parser.add_argument(
        "--alpha", metavar="A", type=_alpha, default=0.05, help="level, 0 < A <= 1 (0.05)"
    )
    parser.add_argument(
        "--method",
        choices=["exact", "approximate"],
        help="search of closed-ebh and closed-by (exact)",
    )
    parser.add_argument(
        "--adjusted",
        action="store_true",
        help="add the adjusted levels, the smallest alpha rejecting each (by: always)",
    )
    parser.add_argument(
        "--m",
        metavar="M",
        type=_size,
        help="family size, when the table holds only some of each family",
    )
    parser.add_argument(
        "--cutoff",
        metavar="C",
        type=_number,
        help="with --m: the p-value below (e-value above) which values were kept",
    )
    parser.add_argument(
        "--nan-policy", choices=["raise", "omit"], default="raise", help="missing values (raise)"
    )
    parser.add_argument("--group-by", metavar="COLUMN", help="one family per value of COLUMN")
    parser.add_argument(
        "--per-family",
        action="store_true",
        help=f"a summary line per family, even beyond {LISTED_FAMILIES} families",
    )
    parser.add_argument(
        "--output", metavar="FILE", help="where to write the table (standard output)"
    )
    return parser


def check_arguments(parser: argparse.ArgumentParser, args: argparse.Namespace) -> None:
    """What argparse cannot check alone: usage errors, before any file is read."""
    _, kind, closed = PROCEDURES[args.procedure]
    if args.method is not None and not closed:
        parser.error(f"--method applies to closed-ebh and closed-by, not {args.procedure}")
    if args.adjusted and args.method == "approximate":
        # The package's own refusal, with its reason.
        try:
            PROCEDURES[args.procedure][0]([], adjusted=True, method="approximate")
        except ValueError as error:
            parser.error(f"--adjusted: {error}")
    if args.cutoff is not None and args.m is None:
        parser.error(
            "--cutoff says how the values given were kept from a family of --m hypotheses: "
            "give --m too"
        )
    largest = KERNEL_LARGEST if closed else LARGEST_FAMILY
    for option, validate in (
        ("--m", lambda: check.family_sizes(args.m, NAMES[args.procedure], largest)),
        ("--cutoff", lambda: check.check_cutoff(args.cutoff, kind)),
    ):
        try:
            validate()
        except ValueError as error:  # the package's own words
            parser.error(f"argument {option}: {error}")
    if args.per_family and args.group_by is None:
        parser.error("--per-family applies with --group-by")


# Reading -----------------------------------------------------------------


def _bar(description: str, total: float | None, unit: str, show: bool = True) -> Any:
    """A tqdm bar on standard error, shown only on a terminal and once the
    work has taken PROGRESS_DELAY; gone when done (the summary follows)."""
    from tqdm import tqdm

    return tqdm(
        desc=description,
        total=total,
        unit=unit,
        unit_scale=True,
        unit_divisor=1024 if unit == "B" else 1000,
        file=sys.stderr,
        disable=not (show and sys.stderr.isatty()),
        delay=PROGRESS_DELAY,
        leave=False,
        dynamic_ncols=True,
    )


@dataclass
class Source:
    """The input, seekable: read once to test, once more to write."""

    name: str
    handle: IO[bytes]
    # (size, modification time) of a file read in place: it must not change
    # between the passes.
    stamp: tuple[int, int] | None = None
    bom: bool = False

    def rewind(self) -> IO[bytes]:
        if self.stamp is not None and _stamp(self.handle) != self.stamp:
            _changed(self)
        self.handle.seek(0)
        if self.bom:
            self.handle.seek(len(codecs.BOM_UTF8))
        return self.handle


def _changed(source: Source) -> NoReturn:
    raise DataError(f"{source.name} changed while tulm was reading it: run tulm again")


def _stamp(handle: IO[bytes]) -> tuple[int, int]:
    status = os.fstat(handle.fileno())
    return status.st_size, status.st_mtime_ns


def open_source(path: str) -> Source:
    """The file in place when it is a regular file; otherwise (standard
    input, a pipe) its bytes spooled to a temporary file."""
    name = "standard input" if path == "-" else path
    typed = path == "-" and sys.stdin.isatty()
    try:
        if path == "-":
            if typed:
                # Not a refusal: pasting a table, ended by Ctrl-D, is a use.
                print(
                    "tulm: reading the table from standard input; end it with Ctrl-D "
                    "(tulm --help for usage)",
                    file=sys.stderr,
                )
            stream: IO[bytes] = sys.stdin.buffer
        else:
            stream = open(path, "rb")
            if stat.S_ISREG(os.fstat(stream.fileno()).st_mode):
                source = Source(name, stream, _stamp(stream))
                source.bom = stream.read(len(codecs.BOM_UTF8)) == codecs.BOM_UTF8
                return source
        spool = tempfile.TemporaryFile()
        # No bar over a table being typed or pasted.
        with _bar("receiving", None, "B", show=not typed) as progress:
            while block := stream.read(BLOCK):
                try:
                    spool.write(block)
                except OSError as error:
                    where = tempfile.gettempdir()
                    raise DataError(
                        f"cannot copy {name} to {where} to read it twice: {error.strerror}"
                    ) from None
                progress.update(len(block))
                if len(block) < BLOCK:
                    break  # the end: read again, a terminal would wait for more
        if stream is not sys.stdin.buffer:
            stream.close()
    except OSError as error:
        raise DataError(f"cannot read {name}: {error.strerror}") from None
    spool.seek(0)
    source = Source(name, spool)
    source.bom = spool.read(len(codecs.BOM_UTF8)) == codecs.BOM_UTF8
    return source


def _text(handle: IO[bytes]) -> io.TextIOWrapper:
    # newline="": line breaks come through as they are, as csv expects.
    return io.TextIOWrapper(handle, encoding="utf-8", newline="")


def _first_bad_byte(source: Source) -> int:
    """Where the input stops being UTF-8, counted from its first byte."""
    handle = source.rewind()
    decoder = codecs.getincrementaldecoder("utf-8")()
    offset = handle.tell()
    while True:
        block = handle.read(BLOCK)
        pending = len(decoder.getstate()[0])
        try:
            decoder.decode(block, final=not block)
        except UnicodeDecodeError as error:
            return offset - pending + error.start
        if not block:
            return offset
        offset += len(block)


def detect_delimiter(sample: str, path: str) -> str:
    # The suffix first: a comma inside a TSV's text fields can look like a
    # delimiter to the sniffer. A table of one column has none to find.
    if path.lower().endswith((".tsv", ".tab")):
        return "\t"
    try:
        return csv.Sniffer().sniff(sample, delimiters=",\t;").delimiter
    except csv.Error:
        return ","


class Lines:
    """The line each record starts on, counting blank lines and the line
    breaks inside quoted fields; records are numbered from 0, the header and
    blank lines included. While every record so far took one line, record r
    starts on line r + 1; past one that took more, only a message needs to
    know, and the text is read again to tell."""

    def __init__(self, source: Source, delimiter: str) -> None:
        self.source, self.delimiter = source, delimiter
        self.simple = 0  # records known to take one line each
        self._starts: list[int] = []

    def of(self, record: int) -> int:
        if record < self.simple:
            return record + 1
        if len(self._starts) <= record:
            text = _text(self.source.rewind())
            reader = csv.reader(text, delimiter=self.delimiter)
            self._starts, start = [], 1
            for _ in reader:
                self._starts.append(start)
                start = reader.line_num + 1
                if len(self._starts) > record:
                    break
            text.detach()
        return self._starts[record]


@dataclass
class Offences:
    """Entries of one kind refused: how many, and the first few (record, text)."""

    count: int = 0
    quoted: list[tuple[int, str]] = field(default_factory=list)

    def add(self, records: NDArray[np.int64], texts: Sequence[str], rows: NDArray[np.intp]) -> None:
        self.count += rows.size
        for row in rows[: QUOTED_LINES - len(self.quoted)].tolist():
            self.quoted.append((int(records[row]), texts[row]))

    def where(self, lines: Lines) -> str:
        quoted = [f"line {lines.of(record)} ({text!r})" for record, text in self.quoted]
        more = f" and {self.count - QUOTED_LINES} more" if self.count > QUOTED_LINES else ""
        return ", ".join(quoted) + more

    def counted(self, one: str, many: str) -> str:
        return f"{self.count} {one if self.count == 1 else many}"


@dataclass
class Family:
    label: str | None
    rows: int = 0  # records of the table in the family
    tested: int = 0  # those with a value
    size: int = 0  # m
    count: int = 0
    full_family: bool | None = True


class Scan:
    """The first pass: checks the values chunk by chunk, as they come, and
    keeps the candidates of each family (values, rows) in parts."""

    def __init__(self, args: argparse.Namespace) -> None:
        _, self.kind, self.closed = PROCEDURES[args.procedure]
        self.args = args
        self.name = args.column
        self.alpha: float = args.alpha
        self.levels = args.adjusted or args.procedure == "by"
        self.garbled, self.missing, self.outside = Offences(), Offences(), Offences()
        self.labels: dict[str, int] = {}
        self.rows = np.zeros(0, dtype=np.int64)
        self.tested = np.zeros(0, dtype=np.int64)
        self.above_one = np.zeros(0, dtype=np.int64)  # e-values above 1, per family
        self.values: list[NDArray[np.float64]] = []
        self.positions: list[NDArray[np.int64]] = []
        self.codes: list[NDArray[np.intp]] = []
        self.missing_rows: list[NDArray[np.int64]] = []
        self.done = 0  # rows scanned
        if not self.closed and args.m is not None:
            harmonic = harmonic_number(args.m) if self.kind == "p" else 1.0
            self.fixed_bound: float | None = self._bound(harmonic)
        else:
            self.fixed_bound = None

    def _bound(self, harmonic: float | NDArray[np.float64]) -> Any:
        """The values at or past this bound (below for p-values, above for
        e-values) are all the candidates a family needs; one bound per
        harmonic number given."""

        def one(h: float) -> float:
            bound = _select.candidate_bound(self.kind, self.alpha, h)
            if not self.levels:
                return bound
            # Values with an adjusted level below 1 are needed too.
            wider = _select.adjusted_bound(self.kind, h)
            return max(bound, wider) if self.kind == "p" else min(bound, wider)

        if np.ndim(harmonic) == 0:
            return one(float(harmonic))
        return np.array([one(h) for h in np.asarray(harmonic).tolist()])

    def add(self, records: NDArray[np.int64], texts: list[str], labels: list[str] | None) -> None:
        """A chunk of rows: the records they came from, their values' text,
        and their families' (None without --group-by)."""
        import pandas

        values = pandas.to_numeric(pandas.Series(texts, dtype=object), errors="coerce").to_numpy(
            dtype=np.float64, na_value=np.nan
        )
        nan = np.isnan(values)
        nan_rows = np.flatnonzero(nan)
        garbled = [row for row in nan_rows.tolist() if texts[row].strip().lower() not in MISSING]
        if garbled:
            self.garbled.add(records, texts, np.array(garbled, dtype=np.intp))
        if self.args.nan_policy == "raise" and nan_rows.size:
            self.missing.add(records, texts, nan_rows)
        if self.kind == "p":
            outside = np.flatnonzero((values < 0) | (values > 1))
        else:
            outside = np.flatnonzero(values < 0)
        if outside.size:
            self.outside.add(records, texts, outside)
        first = self.done
        self.done += len(texts)
        if self.garbled.count or self.missing.count or self.outside.count:
            return  # refused: only the offences are counted from here on

        if labels is None:
            codes = np.zeros(len(texts), dtype=np.intp)
            families = 1
        else:
            known = self.labels
            codes = np.array([known.setdefault(label, len(known)) for label in labels], np.intp)
            families = len(known)
        self.rows = _grow(self.rows, families) + np.bincount(codes, minlength=families)
        tested = np.bincount(codes[~nan], minlength=families)
        self.tested = _grow(self.tested, families) + tested
        if self.kind == "e":
            above = np.bincount(codes[values > 1], minlength=families)
            self.above_one = _grow(self.above_one, families) + above
        if nan_rows.size:
            self.missing_rows.append(first + nan_rows)

        if self.closed:
            keep = ~nan
        else:
            bound = self.fixed_bound
            if bound is None:
                # H_n > ln(n + 1), and n only grows: a bound from the values
                # seen so far holds every candidate of the whole family.
                bound = self._bound(np.log1p(np.maximum(self.tested, 1).astype(np.float64)))[codes]
            with np.errstate(invalid="ignore"):
                keep = values <= bound if self.kind == "p" else values >= bound
        kept = np.flatnonzero(keep)
        self.values.append(values[kept])
        self.positions.append(first + kept)
        self.codes.append(codes[kept])

    def refuse(self, lines: Lines) -> None:
        """The first kind of offence found, with its lines."""
        name = self.name
        if self.garbled.count:
            raise DataError(
                f"column {name!r} has "
                f"{self.garbled.counted('entry that is not a number', 'entries that are not numbers')}: "
                f"{self.garbled.where(lines)}"
            )
        if self.missing.count:
            raise DataError(
                f"column {name!r} has {self.missing.counted('missing value', 'missing values')}: "
                f"{self.missing.where(lines)}; --nan-policy omit leaves them untested"
            )
        if self.outside.count:
            values = "p-values outside [0, 1]" if self.kind == "p" else "negative e-values"
            raise DataError(f"column {name!r} holds {values} on {self.outside.where(lines)}")


def _grow(counts: NDArray[np.int64], size: int) -> NDArray[np.int64]:
    if counts.size >= size:
        return counts
    return np.concatenate([counts, np.zeros(size - counts.size, dtype=np.int64)])


@dataclass
class Layout:
    """What the first pass learnt of the text, for the second."""

    delimiter: str
    rows: int = 0
    one_line_each: bool = True  # no record spans lines: the fast copy applies


def scan_table(source: Source, args: argparse.Namespace) -> tuple[Scan, Layout]:
    handle = source.rewind()
    try:
        sample = handle.read(SNIFFED).decode("utf-8", errors="ignore")
        text = _text(source.rewind())
        try:
            return _scan(text, source, args, detect_delimiter(sample, args.file))
        finally:
            text.detach()
    except UnicodeDecodeError:
        raise DataError(
            f"{source.name} is not UTF-8 text (byte {_first_bad_byte(source)})"
        ) from None
    except OSError as error:
        raise DataError(f"cannot read {source.name}: {error.strerror}") from None


def _scan(
    text: io.TextIOWrapper, source: Source, args: argparse.Namespace, delimiter: str
) -> tuple[Scan, Layout]:
    reader = csv.reader(text, delimiter=delimiter)
    lines = Lines(source, delimiter)
    layout = Layout(delimiter)
    done = 0  # records read, blank ones too (csv reads each as an empty record)
    with _bar("reading", os.fstat(source.handle.fileno()).st_size, "B") as progress:
        try:
            header: list[str] = []
            for header in reader:
                done += 1
                if header:
                    break
            if not header:
                raise DataError(
                    f"{source.name} is empty: expected a header line, then one row per hypothesis"
                )
            column = column_position(header, args.column, "--column", source.name)
            group = (
                None
                if args.group_by is None
                else column_position(header, args.group_by, "--group-by", source.name)
            )
            for added in ADDED_COLUMNS:
                if added in header:
                    raise DataError(
                        f"{source.name} already has a column {added!r}, which the output adds: "
                        "rename it"
                    )
            scan = Scan(args)
            width = len(header)
            position = source.handle.tell()
            while True:
                if reader.line_num == done:  # so every record took one line
                    lines.simple = done
                chunk = list(itertools.islice(reader, CHUNK_ROWS))
                if not chunk:
                    break
                if set(map(len, chunk)) == {width}:
                    rows = chunk
                    records = np.arange(done, done + len(chunk), dtype=np.int64)
                else:
                    # Blank lines are skipped; a row of another width is refused.
                    kept = [i for i, fields in enumerate(chunk) if fields]
                    for i in kept:
                        if len(chunk[i]) != width:
                            raise DataError(
                                f"{source.name}, line {lines.of(done + i)}: "
                                f"{len(chunk[i])} fields, but the header has {width}"
                            )
                    rows = [chunk[i] for i in kept]
                    records = done + np.array(kept, dtype=np.int64)
                labels = None if group is None else list(map(operator.itemgetter(group), rows))
                scan.add(records, list(map(operator.itemgetter(column), rows)), labels)
                layout.rows += len(rows)
                done += len(chunk)
                moved = source.handle.tell()
                progress.update(moved - position)
                position = moved
        except csv.Error as error:
            raise DataError(f"{source.name}, line {reader.line_num}: {error}") from None
    layout.one_line_each = lines.simple == done
    scan.refuse(lines)
    return scan, layout


def column_position(header: list[str], name: str, option: str, source: str) -> int:
    count = header.count(name)
    if count == 0:
        shown = ", ".join(repr(column) for column in header[:10])
        more = f" and {len(header) - 10} more" if len(header) > 10 else ""
        raise DataError(f"{option}: {source} has no column {name!r}; it has {shown}{more}")
    if count > 1:
        raise DataError(f"{option}: column {name!r} appears {count} times in {source}")
    return header.index(name)


# Testing -----------------------------------------------------------------


@dataclass
class Outcome:
    families: list[Family]
    rejected: NDArray[np.int64]  # rows rejected, ascending
    level_rows: NDArray[np.int64]  # rows with an adjusted level other than 1, ascending
    levels: NDArray[np.float64]
    missing: NDArray[np.int64]  # rows without a value, ascending


def run_procedures(scan: Scan, args: argparse.Namespace) -> Outcome:
    function, kind, closed = PROCEDURES[args.procedure]
    labels: list[str | None] = list(scan.labels) if args.group_by is not None else [None]
    families = [
        Family(label, int(rows), int(tested))
        for label, rows, tested in zip(
            labels, _grow(scan.rows, len(labels)), _grow(scan.tested, len(labels)), strict=True
        )
    ]
    for family in families:
        family.size = family.tested if args.m is None else args.m
        if family.size < family.tested:
            where = "" if family.label is None else f" (family {args.group_by}={family.label})"
            raise DataError(
                f"--m {args.m} is smaller than the {family.tested} values tested{where}: "
                "the family size counts every hypothesis, given or not"
            )
    if kind == "e" and args.procedure == "ebh":
        _warn_if_unreachable(scan, families, args)

    values = _joined(scan.values, np.float64)
    positions = _joined(scan.positions, np.int64)
    codes = _joined(scan.codes, np.intp)
    order = np.argsort(codes, kind="stable")
    bounds = np.searchsorted(codes[order], np.arange(len(families) + 1))
    options: dict[str, Any] = {"alpha": args.alpha}
    if closed:
        options.update(method=args.method or "exact", adjusted=args.adjusted, cutoff=args.cutoff)
    levels = args.adjusted or args.procedure == "by"
    rejected, level_rows, level_values = [], [], []
    one = len(families) == 1
    total = sum(family.tested for family in families)
    # One closed family shows the package's own bar, over its search.
    with _bar("testing", total, " hypotheses", show=not (closed and one)) as progress:
        for number, family in enumerate(families):
            chosen = order[bounds[number] : bounds[number + 1]]
            given = values[chosen] if not one else values
            rows = positions[chosen] if not one else positions
            if closed and one and sys.stderr.isatty():
                options["progress"] = True
            with warnings.catch_warnings():
                # e-BH's warning about e-values that cannot reach the bound
                # is the command's own, above, for the whole family.
                warnings.simplefilter("ignore")
                result = function(given, m=family.size, **options)
            family.count = result.count
            if closed:
                family.full_family = result.full_family
            else:
                family.full_family = _procedures._full_family(
                    kind,
                    args.alpha,
                    np.array([family.size]),
                    np.array([family.tested]),
                    args.cutoff,
                )
            rejected.append(rows[result.rejected])
            if levels:
                adjusted = result.adjusted
                changed = adjusted != 1.0
                level_rows.append(rows[changed])
                level_values.append(adjusted[changed])
            progress.update(family.tested)
    rejected_rows = np.sort(_joined(rejected, np.int64))
    level_positions = _joined(level_rows, np.int64)
    by_row = np.argsort(level_positions)
    return Outcome(
        families,
        rejected_rows,
        level_positions[by_row],
        _joined(level_values, np.float64)[by_row],
        _joined(scan.missing_rows, np.int64),
    )


def _joined[T: np.generic](parts: list[NDArray[T]], dtype: type[T]) -> NDArray[T]:
    if len(parts) == 1:
        return parts[0]
    return np.concatenate([np.empty(0, dtype=dtype), *parts])


def _warn_if_unreachable(scan: Scan, families: list[Family], args: argparse.Namespace) -> None:
    above = _grow(scan.above_one, len(families))
    hopeless = [
        family for family, count in zip(families, above, strict=True) if family.tested and not count
    ]
    if not hopeless:
        return
    where = ""
    if args.group_by is not None:
        where = (
            f" of family {args.group_by}={hopeless[0].label}"
            if len(hopeless) == 1
            else f" of {len(hopeless)} families"
        )
    print(
        f"tulm: warning: no e-value{where} in column {args.column!r} exceeds 1, so e-BH "
        "can reject none of them at any level; p-values belong to tulm by",
        file=sys.stderr,
    )


# Writing -----------------------------------------------------------------


BLANK = ("\n", "\r\n", "\r")


def _record_chunks(
    text: io.TextIOWrapper, delimiter: str, one_line_each: bool
) -> Iterator[list[str]]:
    """The text of the non-blank records as it came, line breaks included,
    in chunks."""
    if one_line_each:
        while chunk := list(itertools.islice(text, CHUNK_ROWS)):
            if any(blank in chunk for blank in BLANK):
                chunk = [line for line in chunk if line not in BLANK]
            yield chunk
        return
    # A record may span lines (a quoted line break): csv says where it ends.
    pending: list[str] = []

    def lines() -> Iterator[str]:
        for line in text:
            pending.append(line)
            yield line

    chunk = []
    for fields in csv.reader(lines(), delimiter=delimiter):
        if fields:
            chunk.append(pending[0] if len(pending) == 1 else "".join(pending))
            if len(chunk) == CHUNK_ROWS:
                yield chunk
                chunk = []
        pending.clear()
    yield chunk


def _appended(records: list[str], added: list[str], newline: str) -> str:
    """The records with `added` before each one's line break (`newline`
    where it has none)."""
    joined = "".join(records)
    n = len(records)
    breaks, returns = joined.count("\n"), joined.count("\r")
    # One kind of line break, one at the end of each record: split on it.
    for end, uniform in (("\n", returns == 0), ("\r\n", returns == n)):
        if breaks == n and uniform and joined.endswith(end):
            bodies = joined.split(end)
            bodies.pop()
            return end.join(map(operator.add, bodies, added)) + end
    lines = []
    for record, extra in zip(records, added, strict=True):
        body = record.rstrip("\r\n")
        lines.append(body + extra + (record[len(body) :] or newline))
    return "".join(lines)


def _rows_in(rows: NDArray[np.int64], start: int, stop: int) -> NDArray[np.int64]:
    """Those of the sorted `rows` in [start, stop), less start; and the slice."""
    low, high = np.searchsorted(rows, [start, stop])
    return rows[low:high] - start


def _added(outcome: Outcome, start: int, stop: int, levels: bool, d: str) -> list[str]:
    """The new fields of rows start to stop, each with its delimiter before it."""
    flags = np.zeros(stop - start, dtype=bool)
    flags[_rows_in(outcome.rejected, start, stop)] = True
    added: list[str] = np.where(flags, d + "True", d + "False").tolist()
    if not levels:
        return added
    texts = np.full(stop - start, d + "1.0", dtype=object)
    texts[_rows_in(outcome.missing, start, stop)] = d
    low, high = np.searchsorted(outcome.level_rows, [start, stop])
    # repr: the shortest text that reads back to the same double.
    texts[outcome.level_rows[low:high] - start] = [
        d + repr(level) for level in outcome.levels[low:high].tolist()
    ]
    return list(map(operator.add, added, texts.tolist()))


def write_rows(
    source: Source, layout: Layout, outcome: Outcome, levels: bool, target: IO[bytes]
) -> None:
    """The table with the new columns, from a second pass over the source."""
    handle = source.rewind()
    text = _text(handle)
    output = io.TextIOWrapper(target, encoding="utf-8", newline="")
    d = layout.delimiter
    try:
        if source.bom:
            output.write("\ufeff")
        chunks = _record_chunks(text, d, layout.one_line_each)
        for chunk in chunks:  # the header, past any blank lines
            if chunk:
                break
        else:
            _changed(source)
        header = chunk.pop(0)
        body = header.rstrip("\r\n")
        newline = header[len(body) :] or "\n"
        output.write(body + d + "rejected" + (d + "adjusted" if levels else "") + newline)
        start, position = 0, handle.tell()
        with _bar("writing", os.fstat(handle.fileno()).st_size, "B") as progress:
            for records in itertools.chain([chunk], chunks):
                stop = start + len(records)
                if stop > layout.rows:
                    break
                output.write(_appended(records, _added(outcome, start, stop, levels, d), newline))
                start = stop
                moved = handle.tell()
                progress.update(moved - position)
                position = moved
        if start != layout.rows:
            _changed(source)
        output.flush()
    except UnicodeDecodeError:
        _changed(source)
    finally:
        text.detach()
        output.detach()


def write_table(
    source: Source, layout: Layout, outcome: Outcome, levels: bool, target: str | None
) -> None:
    """The table to `target`, through a temporary file, so that a failure or
    Ctrl-C leaves nothing half written: a file is replaced by the complete
    table (renamed onto it); standard output, a device (/dev/null) or a named
    pipe is given a copy of it once complete."""
    if target is None or target == "-":
        _copied(source, layout, outcome, levels, "standard output", lambda: sys.stdout.buffer)
        return
    try:
        status: os.stat_result | None = os.stat(target)
    except FileNotFoundError:
        status = None
    except OSError as error:
        raise DataError(f"cannot write {target}: {error.strerror}") from None
    if status is not None and not (stat.S_ISREG(status.st_mode) or stat.S_ISDIR(status.st_mode)):
        # Renamed onto, a device or a pipe would be replaced by a file.
        _copied(source, layout, outcome, levels, target, lambda: open(target, "wb"))
        return
    # Through a link the file it names is replaced, and the link kept.
    path = os.path.realpath(target)
    try:
        handle, temporary = tempfile.mkstemp(
            dir=os.path.dirname(path), prefix=f".{os.path.basename(path)}.", suffix=".tmp"
        )
    except OSError as error:
        raise DataError(f"cannot write {target}: {error.strerror}") from None
    try:
        with os.fdopen(handle, "wb") as spool:
            write_rows(source, layout, outcome, levels, spool)
        # mkstemp creates the file readable by its owner only; a file
        # replaced keeps its own permissions.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask if status is None else stat.S_IMODE(status.st_mode))
        _hold_interrupts()
        os.replace(temporary, path)
    except BaseException as error:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        if isinstance(error, OSError):
            raise DataError(f"cannot write {target}: {error.strerror}") from None
        raise


def _copied(
    source: Source,
    layout: Layout,
    outcome: Outcome,
    levels: bool,
    name: str,
    sink: Callable[[], IO[bytes]],
) -> None:
    """The table written to a temporary file, then copied to `sink`, opened
    only then (a named pipe waits for its reader)."""
    with tempfile.TemporaryFile() as spool:
        try:
            write_rows(source, layout, outcome, levels, spool)
        except OSError as error:
            where = tempfile.gettempdir()
            raise DataError(f"cannot write the table to {where}: {error.strerror}") from None
        spool.seek(0)
        try:
            out = sink()
            try:
                # A file is written in a moment: all of it. A pipe may wait
                # on its reader, and Ctrl-C must still stop that.
                if _regular_file(out):
                    _hold_interrupts()
                shutil.copyfileobj(spool, out, BLOCK)
                out.flush()
            finally:
                if out is not sys.stdout.buffer:
                    out.close()
        except BrokenPipeError:
            raise
        except OSError as error:
            raise DataError(f"cannot write {name}: {error.strerror}") from None


def _regular_file(stream: IO[Any]) -> bool:
    try:
        return stat.S_ISREG(os.fstat(stream.fileno()).st_mode)
    except (OSError, ValueError):  # no file behind it
        return False


def _hold_interrupts() -> None:
    """Ignores Ctrl-C from here to the end of the run: the table is being
    committed, and an interrupt now would report as undone a table that is
    written (or write half of it). main() restores the handler."""
    if threading.current_thread() is threading.main_thread():
        signal.signal(signal.SIGINT, signal.SIG_IGN)


# Summary -----------------------------------------------------------------


def _head(args: argparse.Namespace) -> str:
    method = f" ({args.method or 'exact'})" if PROCEDURES[args.procedure][2] else ""
    return f"{NAMES[args.procedure]}{method}, alpha {args.alpha!r}"


def _given(full_family: bool | None, args: argparse.Namespace) -> str:
    """What the answer is when the table held only part of a family."""
    if full_family:
        return (
            "the full family's answer exactly, as no value left out "
            f"(beyond --cutoff {args.cutoff!r}) could be rejected"
        )
    if full_family is False:
        return (
            "perhaps fewer rejections than the full family's, as values left out "
            f"(beyond --cutoff {args.cutoff!r}) could be rejected"
        )
    if PROCEDURES[args.procedure][2]:
        return "at most the full family's rejections"
    return "at most the full family's rejections (--cutoff would tell whether exactly)"


def family_line(family: Family, args: argparse.Namespace) -> str:
    where = "" if family.label is None else f", {args.group_by}={family.label}"
    line = f"{_head(args)}{where}: rejected {family.count} of {family.size}"
    if family.size > family.tested:
        line += f", {family.tested} given: {_given(family.full_family, args)}"
    if family.rows > family.tested:
        line += f", {family.rows - family.tested} missing left untested"
    return line


def summary_line(families: list[Family], args: argparse.Namespace) -> str:
    count = sum(family.count for family in families)
    size = sum(family.size for family in families)
    with_some = sum(1 for family in families if family.count)
    line = (
        f"{_head(args)}, {len(families)} families by {args.group_by}: "
        f"rejected {count} of {size}; {with_some} families with rejections"
    )
    partial = [family for family in families if family.size > family.tested]
    if partial:
        kinds = [family.full_family for family in partial]
        if all(kinds):
            told = _given(True, args)
        elif any(kind is False for kind in kinds):
            told = _given(False, args)
        else:
            told = _given(None, args)
        line += f"; {len(partial)} given in part: {told}"
    missing = sum(family.rows - family.tested for family in families)
    if missing:
        line += f"; {missing} missing left untested"
    return line


def summary(families: list[Family], args: argparse.Namespace) -> list[str]:
    if args.group_by is None:
        return [family_line(families[0], args)]
    lines = []
    if args.per_family or len(families) <= LISTED_FAMILIES:
        lines = [family_line(family, args) for family in families]
    if len(families) > LISTED_FAMILIES or not families:
        lines.append(summary_line(families, args))
    return lines


def run(args: argparse.Namespace) -> int:
    try:
        # Both are needed later on; say so before any work.
        import pandas  # noqa: F401
        import tqdm  # noqa: F401
    except ImportError as error:
        raise DataError(
            f"the command line needs pandas and tqdm, and {error.name} is missing: "
            "pip install 'tulm[cli]'"
        ) from None
    source = open_source(args.file)
    with source.handle:
        scan, layout = scan_table(source, args)
        outcome = run_procedures(scan, args)
        levels = args.adjusted or args.procedure == "by"
        write_table(source, layout, outcome, levels, args.output)
    for line in summary(outcome.families, args):
        print(line, file=sys.stderr)
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command on argv (sys.argv[1:] when None); returns the exit status."""
    main_thread = threading.current_thread() is threading.main_thread()
    handler = signal.getsignal(signal.SIGINT) if main_thread else None
    try:
        parser = build_parser()
        args = parser.parse_intermixed_args(argv)
        check_arguments(parser, args)
        return run(args)
    except DataError as error:
        print(f"tulm: error: {error}", file=sys.stderr)
        return DATA_ERROR
    except KeyboardInterrupt:
        print("tulm: interrupted", file=sys.stderr)
        return INTERRUPTED
    except BrokenPipeError:
        # The reader went away (tulm ... | head): say nothing more, and keep
        # the interpreter from complaining when it flushes stdout at exit.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        return DATA_ERROR
    except Exception as error:  # a fault of ours: still one line, never a traceback
        print(f"tulm: error: unexpected {type(error).__name__}: {error}", file=sys.stderr)
        return DATA_ERROR
    finally:
        if main_thread and handler is not None:
            signal.signal(signal.SIGINT, handler)
