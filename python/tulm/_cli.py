"""The tulm command: a table of p-values or e-values in, the same table with a
`rejected` column out. Errors are one line on standard error, and nothing is
written unless every family was tested."""

from __future__ import annotations

import argparse
import contextlib
import csv
import io
import os
import sys
import tempfile
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import Any, NoReturn

import numpy as np
from numpy.typing import NDArray

from . import _procedures
from ._result import Rejections

USAGE = (
    "tulm PROCEDURE [FILE] --column NAME [--alpha A] [--method exact|approximate] "
    "[--nan-policy raise|omit] [--group-by COLUMN] [--output FILE]"
)

DESCRIPTION = """\
Reads a CSV or TSV table (FILE, or standard input when FILE is absent or -),
tests the hypotheses whose p-values or e-values are in the column NAME, and
writes the table back with a boolean column `rejected` (and, for by, the
BY-adjusted p-values in `adjusted`), in the input's delimiter. Each value of
--group-by names a family tested on its own. A one-line summary per family
goes to standard error."""

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

missing values: an empty cell or NA, NaN, N/A, null, None, #N/A (any case).
Under --nan-policy raise (the default) they are refused; under omit they are
left untested: never rejected, not counted in m.

exit status: 0 done, 1 an error in the data, the files or the installation,
2 a usage error, 130 interrupted."""

DATA_ERROR = 1
USAGE_ERROR = 2
INTERRUPTED = 130

# A progress bar from this many families on, when standard error is a terminal.
PROGRESS_FROM = 20
# Offending lines quoted in a message; the rest are counted.
QUOTED_LINES = 3
MISSING = frozenset({"", "na", "nan", "n/a", "null", "none", "#n/a"})
ADDED_COLUMNS = ("rejected", "adjusted")

type Procedure = Callable[..., Rejections[Any, Any]]

# name: (function, kind of value, whether it has a search method)
PROCEDURES: dict[str, tuple[Procedure, str, bool]] = {
    "ebh": (_procedures.ebh, "e", False),
    "closed-ebh": (_procedures.closed_ebh, "e", True),
    "by": (_procedures.by, "p", False),
    "closed-by": (_procedures.closed_by, "p", True),
}


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
        "--nan-policy", choices=["raise", "omit"], default="raise", help="missing values (raise)"
    )
    parser.add_argument("--group-by", metavar="COLUMN", help="one family per value of COLUMN")
    parser.add_argument(
        "--output", metavar="FILE", help="where to write the table (standard output)"
    )
    return parser


@dataclass
class Table:
    header: list[str]
    rows: list[list[str]]
    delimiter: str
    source: str
    text: str
    _starts: list[int] | None = field(default=None, init=False, repr=False)

    def line(self, row: int) -> int:
        """The line a row starts on, counting the header, blank lines and the
        line breaks inside quoted fields. Only error messages need it, so the
        text is read again, once, when one does."""
        if self._starts is None:
            reader = csv.reader(io.StringIO(self.text, newline=""), delimiter=self.delimiter)
            starts, start = [], 1
            for record in reader:
                if record:
                    starts.append(start)
                start = reader.line_num + 1
            self._starts = starts[1:]
        return self._starts[row]


def read_text(path: str) -> tuple[str, str]:
    """The file's text (standard input for -) and the name to report it by."""
    source = "standard input" if path == "-" else path
    try:
        if path == "-":
            data = sys.stdin.buffer.read()
        else:
            with open(path, "rb") as handle:
                data = handle.read()
    except OSError as error:
        raise DataError(f"cannot read {source}: {error.strerror}") from None
    try:
        return data.decode("utf-8-sig"), source
    except UnicodeDecodeError as error:
        raise DataError(f"{source} is not UTF-8 text (byte {error.start})") from None


def detect_delimiter(text: str, path: str) -> str:
    # The suffix first: a comma inside a TSV's text fields can look like a
    # delimiter to the sniffer. A table of one column has none to find.
    if path.lower().endswith((".tsv", ".tab")):
        return "\t"
    try:
        return csv.Sniffer().sniff(text[:65536], delimiters=",\t;").delimiter
    except csv.Error:
        return ","


def parse_table(text: str, path: str, source: str) -> Table:
    delimiter = detect_delimiter(text, path)
    reader = csv.reader(io.StringIO(text, newline=""), delimiter=delimiter)
    try:
        records = [record for record in reader if record]  # blank lines skipped
    except csv.Error as error:
        raise DataError(f"{source}, line {reader.line_num}: {error}") from None
    if not records:
        raise DataError(f"{source} is empty: expected a header line, then one row per hypothesis")
    table = Table(records[0], records[1:], delimiter, source, text)
    width = len(table.header)
    for row, record in enumerate(table.rows):
        if len(record) != width:
            raise DataError(
                f"{source}, line {table.line(row)}: {len(record)} fields, "
                f"but the header has {width}"
            )
    return table


def column_position(table: Table, name: str, option: str) -> int:
    count = table.header.count(name)
    if count == 0:
        shown = ", ".join(repr(column) for column in table.header[:10])
        more = f" and {len(table.header) - 10} more" if len(table.header) > 10 else ""
        raise DataError(f"{option}: {table.source} has no column {name!r}; it has {shown}{more}")
    if count > 1:
        raise DataError(f"{option}: column {name!r} appears {count} times in {table.source}")
    return table.header.index(name)


def _where(table: Table, texts: Sequence[str], bad: NDArray[np.bool_]) -> str:
    """The first offending lines with their entries, and how many more."""
    rows = np.flatnonzero(bad)
    quoted = [f"line {table.line(row)} ({texts[row]!r})" for row in rows[:QUOTED_LINES]]
    more = f" and {len(rows) - QUOTED_LINES} more" if len(rows) > QUOTED_LINES else ""
    return ", ".join(quoted) + more


def _count(mask: NDArray[np.bool_], one: str, many: str) -> str:
    count = int(mask.sum())
    return f"{count} {one if count == 1 else many}"


def read_values(table: Table, column: int, kind: str, nan_policy: str) -> NDArray[np.float64]:
    """The column as float64, NaN where missing; refuses what the procedure
    would, but by line number."""
    import pandas

    name = table.header[column]
    texts = [row[column] for row in table.rows]
    values = pandas.to_numeric(pandas.Series(texts, dtype=object), errors="coerce").to_numpy(
        dtype=np.float64, na_value=np.nan
    )
    nan = np.isnan(values)
    garbled = np.zeros_like(nan)
    for row in np.flatnonzero(nan).tolist():
        garbled[row] = texts[row].strip().lower() not in MISSING
    if garbled.any():
        raise DataError(
            f"column {name!r} has "
            f"{_count(garbled, 'entry that is not a number', 'entries that are not numbers')}: "
            f"{_where(table, texts, garbled)}"
        )
    if nan_policy == "raise" and nan.any():
        raise DataError(
            f"column {name!r} has {_count(nan, 'missing value', 'missing values')}: "
            f"{_where(table, texts, nan)}; --nan-policy omit leaves them untested"
        )
    if kind == "p":
        outside = (values < 0) | (values > 1)
        if outside.any():
            raise DataError(
                f"column {name!r} holds p-values outside [0, 1] on {_where(table, texts, outside)}"
            )
    elif (values < 0).any():
        raise DataError(
            f"column {name!r} holds negative e-values on {_where(table, texts, values < 0)}"
        )
    return values


def families(table: Table, group: int | None) -> Iterator[tuple[str | None, NDArray[np.intp]]]:
    """(value of the group column, row positions) per family, in order of
    first appearance; one family of every row without a group column."""
    if group is None:
        yield None, np.arange(len(table.rows))
        return
    import pandas

    codes, labels = pandas.factorize(pandas.Series([row[group] for row in table.rows]))
    order = np.argsort(codes, kind="stable")
    bounds = np.searchsorted(codes[order], np.arange(len(labels) + 1))
    for family, label in enumerate(labels):
        yield str(label), order[bounds[family] : bounds[family + 1]]


def summary(result: Rejections[Any, Any], size: int, group: str | None, label: str | None) -> str:
    method = "" if result.method is None else f" ({result.method})"
    family = "" if group is None else f", {group}={label}"
    untested = f", {size - result.m} missing left untested" if size > result.m else ""
    return (
        f"{result.procedure}{method}, alpha {result.alpha!r}{family}: "
        f"rejected {result.count} of {result.m}{untested}"
    )


def write_table(frame: Any, target: str | None, delimiter: str) -> None:
    """To standard output, or to a temporary file beside `target` renamed onto
    it once complete, so that a failure leaves no partial file."""
    options: dict[str, Any] = {"sep": delimiter, "index": False, "lineterminator": "\n"}
    if target is None or target == "-":
        sys.stdout.buffer.write(frame.to_csv(**options).encode())
        sys.stdout.flush()
        return
    directory = os.path.dirname(os.path.abspath(target))
    try:
        handle, temporary = tempfile.mkstemp(
            dir=directory, prefix=f".{os.path.basename(target)}.", suffix=".tmp"
        )
    except OSError as error:
        raise DataError(f"cannot write {target}: {error.strerror}") from None
    os.close(handle)
    try:
        frame.to_csv(temporary, encoding="utf-8", **options)
        # mkstemp creates the file readable by its owner only.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        os.replace(temporary, target)
    except BaseException as error:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        if isinstance(error, OSError):
            raise DataError(f"cannot write {target}: {error.strerror}") from None
        raise


def run(args: argparse.Namespace) -> int:
    try:
        import pandas
        from tqdm import tqdm
    except ImportError as error:
        raise DataError(
            f"the command line needs pandas and tqdm, and {error.name} is missing: "
            "pip install 'tulm[cli]'"
        ) from None
    function, kind, searches = PROCEDURES[args.procedure]
    text, source = read_text(args.file)
    table = parse_table(text, args.file, source)
    column = column_position(table, args.column, "--column")
    group = None if args.group_by is None else column_position(table, args.group_by, "--group-by")
    for added in ADDED_COLUMNS:
        if added in table.header:
            raise DataError(
                f"{source} already has a column {added!r}, which the output adds: rename it"
            )
    values = read_values(table, column, kind, args.nan_policy)

    options: dict[str, Any] = {"nan_policy": args.nan_policy}
    if searches:
        options["method"] = args.method or "exact"
    rejected = np.zeros(len(table.rows), dtype=bool)
    adjusted = np.full(len(table.rows), np.nan) if args.procedure == "by" else None
    split = list(families(table, group))
    with tqdm(
        total=len(split),
        unit="family",
        file=sys.stderr,
        disable=len(split) < PROGRESS_FROM or not sys.stderr.isatty(),
    ) as progress:
        for label, rows in split:
            result = function(values[rows], args.alpha, **options)
            rejected[rows] = result.rejected
            if adjusted is not None:
                adjusted[rows] = result.adjusted
            progress.write(summary(result, len(rows), args.group_by, label), file=sys.stderr)
            progress.update()

    frame = pandas.DataFrame(table.rows, columns=table.header, dtype=object)
    frame.insert(len(table.header), "rejected", rejected)
    if adjusted is not None:
        frame.insert(len(table.header) + 1, "adjusted", adjusted)
    write_table(frame, args.output, table.delimiter)
    return 0


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command on argv (sys.argv[1:] when None); returns the exit status."""
    try:
        parser = build_parser()
        args = parser.parse_intermixed_args(argv)
        if args.method is not None and not PROCEDURES[args.procedure][2]:
            parser.error(f"--method applies to closed-ebh and closed-by, not {args.procedure}")
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
