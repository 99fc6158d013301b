"""The installed tulm command, run as a subprocess on small tables (and its
main() in this process where many runs are needed): its output against the
package's own answers, and every refusal as one line with its exit status and
nothing written."""

import contextlib
import csv
import io
import os
import pathlib
import pty
import re
import shutil
import signal
import stat
import subprocess
import sys
import tempfile
import termios
import threading
import time
from unittest import mock

import numpy as np
import pytest
from hypothesis import given
from hypothesis import strategies as st

import tulm
from tulm import _cli

pytest.importorskip("pandas")
pytest.importorskip("tqdm")

# The console script installed beside this interpreter, as pip wrote it.
COMMAND = shutil.which("tulm", path=pathlib.Path(sys.executable).parent)
SCREEN = pathlib.Path(__file__).resolve().parents[2] / "examples" / "data" / "screen.csv"

P_TABLE = "gene,tissue,p\na,liver,0.012\nb,brain,0.5\nc,liver,0.0005\nd,brain,0.001\ne,liver,0.01\n"


def tulm_command(*args, stdin=None, cwd=None, module=False):
    assert COMMAND, "pip install should have put the tulm script beside python"
    command = [sys.executable, "-m", "tulm"] if module else [COMMAND]
    return subprocess.run(
        [*command, *args], input=stdin, capture_output=True, text=True, cwd=cwd, timeout=60
    )


def in_process(*args, stdin=b"", chunk=None):
    """(status, stdout bytes, stderr) of main(args), with records read in
    chunks of `chunk` if given."""
    out, err = io.BytesIO(), io.StringIO()
    with (
        mock.patch.object(sys, "stdin", io.TextIOWrapper(io.BytesIO(stdin or b""))),
        mock.patch.object(sys, "stdout", io.TextIOWrapper(out, write_through=True)),
        mock.patch.object(sys, "stderr", err),
        mock.patch.object(_cli, "CHUNK_ROWS", chunk or _cli.CHUNK_ROWS),
    ):
        try:
            status = _cli.main([str(arg) for arg in args])
        except SystemExit as exit:  # argparse's usage errors and --help
            status = exit.code
        return status, out.getvalue(), err.getvalue()


def parse(text, delimiter=","):
    rows = list(csv.reader(io.StringIO(text, newline=""), delimiter=delimiter))
    return rows[0], rows[1:]


def column(text, name, delimiter=","):
    header, rows = parse(text, delimiter)
    return [row[header.index(name)] for row in rows]


@pytest.mark.parametrize("adjusted", [False, True], ids=["plain", "adjusted"])
@pytest.mark.parametrize("procedure", ["ebh", "closed-ebh", "by", "closed-by"])
def test_rejections_are_the_packages_and_the_table_comes_back_unchanged(
    tmp_path, procedure, adjusted
):
    rng = np.random.default_rng(3)
    values = rng.random(60) ** 3 if "by" in procedure else rng.exponential(8.0, 60)
    # Text the command must copy as it is: quoting, a delimiter inside a field.
    lines = ["name,note,value"] + [
        f'h{i:02d},"x, ""{i}""",{v!r}' for i, v in enumerate(values.tolist())
    ]
    (tmp_path / "in.csv").write_text("\n".join(lines) + "\n")
    flag = ["--adjusted"] if adjusted else []
    status, out, err = in_process(procedure, tmp_path / "in.csv", "--column", "value", *flag)
    assert status == 0, err
    function = getattr(tulm, procedure.replace("-", "_"))
    expected = function(values, adjusted=True) if "closed" in procedure else function(values)
    text = out.decode()
    header, rows = parse(text)
    assert [row[:3] for row in rows] == list(csv.reader(lines[1:]))
    assert column(text, "rejected") == [str(bool(r)) for r in expected.rejected]
    if adjusted or procedure == "by":
        levels = [float(level) for level in column(text, "adjusted")]
        assert levels == expected.adjusted.tolist()  # printed exactly, read back exactly
    else:
        assert "adjusted" not in header
    assert err.strip().endswith(f"rejected {expected.count} of 60")


@pytest.mark.parametrize(
    "args, stdin",
    [
        pytest.param(["in.csv"], None, id="file-after-the-options"),
        pytest.param([], P_TABLE, id="standard-input-when-no-file"),
        pytest.param(["-"], P_TABLE, id="standard-input-as-dash"),
        pytest.param(["--output", "-", "in.csv"], None, id="output-dash-is-standard-output"),
    ],
)
def test_input_and_output_streams(tmp_path, args, stdin):
    (tmp_path / "in.csv").write_text(P_TABLE)
    result = tulm_command("closed-by", "--column", "p", *args, stdin=stdin, cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    expected = tulm.closed_by([0.012, 0.5, 0.0005, 0.001, 0.01]).rejected
    assert column(result.stdout, "rejected") == [str(bool(r)) for r in expected]


def test_tsv_comes_back_as_tsv_and_output_goes_to_the_file(tmp_path):
    # Commas in a text column, as many on every line: the suffix, not the sniffer, decides.
    table = (
        P_TABLE.replace(",", "\t")
        .replace("\tliver", "\tliver, adult")
        .replace("\tbrain", "\tbrain, adult")
    )
    (tmp_path / "in.tsv").write_text(table)
    result = tulm_command("by", "in.tsv", "--column", "p", "--output", "out.tsv", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stdout == ""
    written = (tmp_path / "out.tsv").read_text()
    assert written.splitlines()[:2] == [
        "gene\ttissue\tp\trejected\tadjusted",
        "a\tliver, adult\t0.012\tTrue\t"
        + repr(tulm.by([0.012, 0.5, 0.0005, 0.001, 0.01]).adjusted.tolist()[0]),
    ]
    assert column(written, "rejected", "\t") == ["True", "False", "True", "True", "True"]


@pytest.mark.parametrize(
    "table, written",
    [
        pytest.param("g,e\r\na,100\r\nb,0.5\r\n", "g,e,rejected\r\na,100,True\r\nb,0.5,False\r\n", id="crlf"),
        pytest.param("\ufeffg,e\na,100\nb,0.5\n", "\ufeffg,e,rejected\na,100,True\nb,0.5,False\n", id="byte-order-mark"),
        pytest.param('g,e\r\n"a\r\nx",100\r\n\r\nb,0.5', 'g,e,rejected\r\n"a\r\nx",100,True\r\nb,0.5,False\r\n',
                     id="quoted-break-blank-line-no-final-break"),
        pytest.param('"g","e"\n"a",1e2\nb,0.50\n', '"g","e",rejected\n"a",1e2,True\nb,0.50,False\n', id="quotes-and-numbers-as-written"),
        pytest.param("g,e\ra,100\rb,0.5\r", "g,e,rejected\ra,100,True\rb,0.5,False\r", id="carriage-returns-alone"),
        pytest.param("g,e\na,100\r\nb,0.5\n", "g,e,rejected\na,100,True\r\nb,0.5,False\n", id="mixed-breaks-each-kept"),
    ],
)  # fmt: skip
@pytest.mark.parametrize("via", ["file", "stdin"])
def test_every_line_comes_back_as_it_came_with_the_new_fields(tmp_path, table, written, via):
    (tmp_path / "in.csv").write_bytes(table.encode())
    if via == "file":
        status, _, _ = in_process(
            "ebh", tmp_path / "in.csv", "--column", "e", "--output", tmp_path / "out.csv"
        )
        out = (tmp_path / "out.csv").read_bytes()
    else:
        status, out, _ = in_process("ebh", "--column", "e", stdin=table.encode(), chunk=1)
    assert status == 0
    assert out == written.encode()


def test_group_by_tests_each_family_on_its_own_in_order_of_appearance(tmp_path):
    result = tulm_command("closed-by", str(SCREEN), "--column", "p", "--group-by", "tissue")
    assert result.returncode == 0, result.stderr
    _, rows = parse(result.stdout)
    summaries = result.stderr.splitlines()
    for line, tissue in zip(summaries, ["liver", "brain"], strict=True):
        members = [row for row in rows if row[1] == tissue]
        expected = tulm.closed_by([float(row[2]) for row in members])
        assert [row[3] for row in members] == [str(bool(r)) for r in expected.rejected]
        assert line == (
            f"closed BY (exact), alpha 0.05, tissue={tissue}: "
            f"rejected {expected.count} of {len(members)}"
        )
    # Pooled into one family the same values give other answers.
    pooled = tulm.closed_by([float(row[2]) for row in rows]).rejected
    assert [row[3] for row in rows] != [str(bool(r)) for r in pooled]


# Pools with ties, zeros and ones; labels, one with a quoted line break.
P_POOL = st.sampled_from([0.0, 1e-5, 0.001, 0.003, 0.01, 0.02, 0.5, 1.0]) | st.floats(0, 1)
E_POOL = st.sampled_from([0.0, 0.5, 1.0, 5.0, 20.0, 40.0, 1e3]) | st.floats(0, 1e4)
LABELS = st.sampled_from(["x", "y", '"two\nlines"'])


@pytest.mark.filterwarnings("ignore:no e-value exceeds 1")
@given(
    procedure=st.sampled_from(["ebh", "closed-ebh", "by", "closed-by"]),
    adjusted=st.booleans(),
    data=st.data(),
    extra=st.none() | st.integers(0, 500),
    alpha=st.sampled_from([0.05, 0.3, 1.0]),
    chunk=st.integers(1, 6),
    newline=st.sampled_from(["\n", "\r\n"]),
)
def test_chunked_passes_give_the_packages_answer_per_family(
    procedure, adjusted, data, extra, alpha, chunk, newline
):
    kind = "e" if "ebh" in procedure else "p"
    rows = data.draw(
        st.lists(
            st.tuples(LABELS, E_POOL if kind == "e" else P_POOL, st.integers(0, 9)), max_size=40
        )
    )
    # A tenth of the values missing, a blank line after some rows.
    lines = ["g,v"] + [
        f"{label},{'NA' if spin == 0 else repr(value)}" + (newline if spin == 1 else "")
        for label, value, spin in rows
    ]
    values = {}
    for label, value, spin in rows:
        values.setdefault(label.strip('"'), []).append(np.nan if spin == 0 else value)
    m = None if extra is None else max(map(len, values.values()), default=0) + extra
    sizes = [] if m is None else ["--m", m]
    flags = ["--adjusted"] if adjusted else []
    status, out, err = in_process(
        procedure, "--column", "v", "--group-by", "g", "--nan-policy", "omit", "--alpha", alpha,
        *sizes, *flags, stdin=newline.join(lines).encode(), chunk=chunk,
    )  # fmt: skip
    assert status == 0, err
    _, written = parse(out.decode())
    function = getattr(tulm, procedure.replace("-", "_"))
    options = {"adjusted": True} if "closed" in procedure else {}
    for label, family in values.items():
        expected = function(family, alpha, m=m, nan_policy="omit", **options)
        mine = [row for row in written if row[0] == label]
        assert [row[2] for row in mine] == [str(bool(r)) for r in expected.rejected]
        if adjusted or procedure == "by":
            levels = [float(row[3]) if row[3] else np.nan for row in mine]
            np.testing.assert_array_equal(levels, expected.adjusted)


@pytest.mark.parametrize(
    "args, newline",
    [
        pytest.param(["by", "--group-by", "g"], "\n", id="by-in-two-families"),
        pytest.param(["ebh", "--adjusted"], "\r\n", id="ebh-adjusted-crlf"),
    ],
)
def test_a_table_of_many_chunks_gives_the_in_memory_answer(tmp_path, args, newline):
    chunk = 4096
    rows = 5 * chunk + 99
    rng = np.random.default_rng(7)
    signal = rng.random(rows) < 0.05
    values = (
        rng.random(rows) * np.where(signal, 1e-4, 1)
        if args[0] == "by"
        else rng.exponential(np.where(signal, 60, 1))
    )
    families = (
        np.where(rng.random(rows) < 0.3, "a", "b") if "--group-by" in args else np.full(rows, "a")
    )
    with open(tmp_path / "in.csv", "w", newline="") as handle:
        handle.write(f"g,v{newline}")
        handle.writelines(
            f"{g},{v!r}{newline}" for g, v in zip(families, values.tolist(), strict=True)
        )
    status, _, err = in_process(
        *args, tmp_path / "in.csv", "--column", "v", "--output", tmp_path / "out.csv", chunk=chunk
    )
    assert status == 0, err
    import pandas as pd

    written = pd.read_csv(tmp_path / "out.csv", dtype={"rejected": bool})
    function = getattr(tulm, args[0])
    for label in np.unique(families):
        mine = families == label
        expected = function(values[mine])
        np.testing.assert_array_equal(written["rejected"][mine], expected.rejected)
        np.testing.assert_array_equal(written["adjusted"][mine], expected.adjusted)
    assert (tmp_path / "out.csv").read_bytes().count(newline.encode()) == rows + 1


def test_missing_values_omitted_are_never_rejected_and_not_counted(tmp_path):
    table = "gene,p\na,0.001\nb,NA\nc,\nd,0.002\ne,nan\n"
    result = tulm_command("by", "--column", "p", "--nan-policy", "omit", stdin=table)
    assert result.returncode == 0, result.stderr
    assert column(result.stdout, "rejected") == ["True", "False", "False", "True", "False"]
    assert column(result.stdout, "adjusted")[1:3] == ["", ""]
    assert result.stderr == "BY, alpha 0.05: rejected 2 of 2, 3 missing left untested\n"


MANY = "f,p\n" + "".join(f"f{i % 12},{(i + 1) / 400}\n" for i in range(36))
KEPT = "g,p\na,1e-9\nb,4e-9\nc,2e-7\nd,0.004\n"
PARTLY = "the full family's answer exactly, as no value left out (beyond --cutoff 0.01) could be rejected"

SUMMARIES = [
    # (id, args, stdin, the lines on standard error)
    ("few-families-a-line-each", ["by", "--group-by", "tissue"], P_TABLE,
     ["BY, alpha 0.05, tissue=liver: rejected 3 of 3", "BY, alpha 0.05, tissue=brain: rejected 1 of 2"]),
    ("many-families-one-summary", ["by", "--group-by", "f"], MANY,
     ["BY, alpha 0.05, 12 families by f: rejected 3 of 36; 3 families with rejections"]),
    ("per-family-lines-then-the-summary", ["by", "--group-by", "f", "--per-family"], MANY,
     [f"BY, alpha 0.05, f=f{i}: rejected {int(i < 3)} of 3" for i in range(12)]
     + ["BY, alpha 0.05, 12 families by f: rejected 3 of 36; 3 families with rejections"]),
    ("cutoff-past-the-bound", ["by", "--m", "1e6", "--cutoff", "0.01"], KEPT,
     [f"BY, alpha 0.05: rejected 2 of 1000000, 4 given: {PARTLY}"]),
    ("cutoff-within-the-bound", ["by", "--m", "1000000", "--cutoff", "1e-6"], KEPT,
     ["BY, alpha 0.05: rejected 2 of 1000000, 4 given: perhaps fewer rejections than the full "
      "family's, as values left out (beyond --cutoff 1e-06) could be rejected"]),
    ("no-cutoff-given", ["by", "--m", "1000000"], KEPT,
     ["BY, alpha 0.05: rejected 2 of 1000000, 4 given: at most the full family's rejections "
      "(--cutoff would tell whether exactly)"]),
    ("closed-answer-depends-on-every-value", ["closed-by", "--m", "1000000", "--cutoff", "0.01"], KEPT,
     ["closed BY (exact), alpha 0.05: rejected 2 of 1000000, 4 given: at most the full family's rejections"]),
    ("missing-not-counted-in-m", ["by", "--m", "10", "--nan-policy", "omit"], "g,p\na,0.001\nb,NA\nc,0.002\n",
     ["BY, alpha 0.05: rejected 2 of 10, 2 given: at most the full family's rejections "
      "(--cutoff would tell whether exactly), 1 missing left untested"]),
    ("e-bh-given-p-values-warns", ["ebh"], KEPT,
     ["tulm: warning: no e-value in column 'p' exceeds 1, so e-BH can reject none of them at any "
      "level; p-values belong to tulm by", "e-BH, alpha 0.05: rejected 0 of 4"]),
]  # fmt: skip


@pytest.mark.parametrize(
    "args, stdin, lines", [pytest.param(*case[1:], id=case[0]) for case in SUMMARIES]
)
def test_summary_on_standard_error(args, stdin, lines):
    status, out, err = in_process(*args, "--column", "p", stdin=stdin.encode())
    assert status == 0, err
    assert err.splitlines() == lines
    # The rejections are the package's, with the same family size and cutoff.
    if "--m" in args and "--group-by" not in args:
        function = getattr(tulm, args[0].replace("-", "_"))
        m = int(float(args[args.index("--m") + 1]))
        values = [float(v) if v != "NA" else np.nan for v in column(stdin, "p")]
        expected = function(values, m=m, nan_policy="omit").rejected
        assert column(out.decode(), "rejected") == [str(bool(r)) for r in expected]


def test_help_shows_an_example_that_runs_as_shown(tmp_path):
    result = tulm_command("--help")
    assert result.returncode == 0
    assert result.stdout.startswith(
        "usage: tulm PROCEDURE [FILE] --column NAME [--alpha A] [--method exact|approximate] "
        "[--adjusted] [--m M] [--cutoff C] [--nan-policy raise|omit] [--group-by COLUMN] "
        "[--per-family] [--output FILE]\n"
    )
    example = result.stdout.split("\n  $ ", 1)[1].split("\n\n", 1)[0].splitlines()
    command, shown = example[0].split(), [line.strip() for line in example[1:]]
    assert command[0] == "tulm"
    shutil.copy(SCREEN, tmp_path / "screen.csv")
    ran = tulm_command(*command[1:], cwd=tmp_path)
    assert ran.returncode == 0 and ran.stderr.splitlines() == shown
    assert (tmp_path / command[command.index("--output") + 1]).exists()


def test_python_dash_m_is_the_same_command():
    by_module = tulm_command("closed-by", str(SCREEN), "--column", "p", module=True)
    by_script = tulm_command("closed-by", str(SCREEN), "--column", "p")
    assert by_module.returncode == by_script.returncode == 0
    assert (by_module.stdout, by_module.stderr) == (by_script.stdout, by_script.stderr)


NOT_UTF8 = "gene,p\na,0.5\n".encode("utf-16")

REFUSALS = [
    # (id, args, stdin, status, message fragment)
    ("missing-file", ["by", "absent.csv", "--column", "p"], None, 1,
     "cannot read absent.csv: No such file or directory"),
    ("unknown-column-lists-the-columns", ["by", "--column", "q"], P_TABLE, 1,
     "has no column 'q'; it has 'gene', 'tissue', 'p'"),
    ("non-numeric-by-line", ["by", "--column", "p"], 'g,p\na,0.1\nb,abc\nc,0.2\nd,"0,5"\n', 1,
     "2 entries that are not numbers: line 3 ('abc'), line 5 ('0,5')"),
    ("line-numbers-count-quoted-newlines-and-blank-lines", ["by", "--column", "p"],
     'g,p\n"a\nb",0.1\n\nc,x\n', 1, "line 5 ('x')"),
    ("missing-value-under-raise", ["by", "--column", "p"], "g,p\na,0.1\nb,NA\n", 1,
     "1 missing value: line 3 ('NA'); --nan-policy omit"),
    ("p-value-above-one", ["closed-by", "--column", "p"], "g,p\na,0.1\nb,1.5\n", 1,
     "p-values outside [0, 1] on line 3 ('1.5')"),
    ("negative-e-value", ["ebh", "--column", "e"], "g,e\na,3\nb,-0.1\n", 1,
     "negative e-values on line 3 ('-0.1')"),
    ("ragged-row", ["by", "--column", "p"], "g,p\na,0.1\nb,0.2,x\n", 1,
     "line 3: 3 fields, but the header has 2"),
    ("empty-input", ["by", "--column", "p"], "", 1, "standard input is empty"),
    ("output-column-taken", ["by", "--column", "p"], "g,p,adjusted\na,0.1,0\n", 1,
     "already has a column 'adjusted'"),
    ("column-named-twice", ["by", "--column", "p"], "p,p\n0.1,0.2\n", 1,
     "column 'p' appears 2 times"),
    ("not-utf8", ["by", "--column", "p"], NOT_UTF8, 1, "is not UTF-8 text"),
    ("alpha-out-of-range", ["by", "--column", "p", "--alpha", "5"], P_TABLE, 2,
     "argument --alpha: must satisfy 0 < A <= 1, got 5"),
    ("alpha-nan", ["by", "--column", "p", "--alpha", "nan"], P_TABLE, 2, "0 < A <= 1"),
    ("alpha-not-a-number", ["by", "--column", "p", "--alpha", "5%"], P_TABLE, 2,
     "expected a number, got '5%'"),
    ("method-without-a-search", ["by", "--column", "p", "--method", "exact"], P_TABLE, 2,
     "--method applies to closed-ebh and closed-by, not by"),
    ("unknown-procedure", ["bh", "--column", "p"], P_TABLE, 2, "invalid choice: 'bh'"),
    ("column-required", ["by"], P_TABLE, 2, "the following arguments are required: --column"),
    ("adjusted-needs-the-exact-search",
     ["closed-ebh", "--column", "p", "--adjusted", "--method", "approximate"], P_TABLE, 2,
     "--adjusted: adjusted=True needs method='exact': the approximate search is not nested"),
    ("cutoff-without-m", ["by", "--column", "p", "--cutoff", "0.01"], P_TABLE, 2, "give --m too"),
    ("cutoff-not-a-p-value", ["by", "--column", "p", "--m", "9", "--cutoff", "2"], P_TABLE, 2,
     "argument --cutoff: cutoff must be a p-value, in [0, 1], got 2.0"),
    ("m-below-the-values-tested", ["by", "--column", "p", "--m", "4"], P_TABLE, 1,
     "--m 4 is smaller than the 5 values tested: the family size counts every hypothesis"),
    ("m-below-a-familys-values", ["by", "--column", "p", "--m", "2", "--group-by", "tissue"],
     P_TABLE, 1, "--m 2 is smaller than the 3 values tested (family tissue=liver)"),
    ("m-beyond-the-kernels", ["closed-by", "--column", "p", "--m", "1e10"], P_TABLE, 2,
     "argument --m: closed BY takes families of at most 2,147,483,646 hypotheses"),
    ("m-not-whole", ["by", "--column", "p", "--m", "2.5"], P_TABLE, 2,
     "argument --m: expected a whole number, got '2.5'"),
    ("m-negative", ["by", "--column", "p", "--m", "-3"], P_TABLE, 2, "must not be negative"),
    ("per-family-without-groups", ["by", "--column", "p", "--per-family"], P_TABLE, 2,
     "--per-family applies with --group-by"),
]  # fmt: skip


@pytest.mark.parametrize(
    "args, stdin, status, message",
    [pytest.param(*case[1:], id=case[0]) for case in REFUSALS],
)
def test_refusals_are_one_line_with_their_status(
    tmp_path, monkeypatch, args, stdin, status, message
):
    monkeypatch.chdir(tmp_path)
    if isinstance(stdin, bytes):
        (tmp_path / "in.csv").write_bytes(stdin)
        args, stdin = [*args, "in.csv"], None
    got, out, err = in_process(*args, stdin=stdin and stdin.encode())
    assert got == status
    assert out == b""
    assert err.count("\n") == 1 and err.startswith("tulm: error: ")
    assert message in err


@pytest.mark.parametrize(
    "stdin, output",
    [
        pytest.param("g,p\na,0.1\nb,oops\n", "out.csv", id="data-error"),
        pytest.param(P_TABLE, "missing-directory/out.csv", id="directory-absent"),
        pytest.param(P_TABLE, "sub", id="target-is-a-directory"),
    ],
)
def test_a_failure_leaves_the_output_as_it_was(tmp_path, stdin, output):
    (tmp_path / "out.csv").write_text("previous\n")
    (tmp_path / "sub").mkdir()
    before = sorted(os.listdir(tmp_path))
    result = tulm_command("by", "--column", "p", "--output", output, stdin=stdin, cwd=tmp_path)
    assert result.returncode == 1, result.stderr
    assert sorted(os.listdir(tmp_path)) == before  # no temporary file left beside it
    assert (tmp_path / "out.csv").read_text() == "previous\n"


def _fifo(path):
    os.mkfifo(path)
    received = []
    reader = threading.Thread(target=lambda: received.append(path.read_bytes()), daemon=True)
    reader.start()
    return lambda: (reader.join(10), received[0])[1]


def _link(path):
    (path.parent / "real.csv").write_text("previous\n")
    (path.parent / "real.csv").chmod(0o640)
    path.symlink_to("real.csv")
    return lambda: (path.parent / "real.csv").read_bytes()


@pytest.mark.parametrize(
    "make, kind, mode",
    [
        pytest.param(_fifo, stat.S_ISFIFO, None, id="named-pipe-written-into-not-replaced"),
        pytest.param(_link, stat.S_ISLNK, 0o640, id="link-kept-the-file-replaced-keeps-its-mode"),
    ],
)
def test_output_onto_a_pipe_or_a_link(tmp_path, make, kind, mode):
    target = tmp_path / "out"
    received = make(target)
    status, _, err = in_process("by", "--column", "p", "--output", target, stdin=P_TABLE.encode())
    assert status == 0, err
    assert kind(os.lstat(target).st_mode)
    assert received().startswith(b"gene,tissue,p,rejected,adjusted\na,liver,0.012,True,")
    if mode is not None:
        assert stat.S_IMODE(os.stat(target).st_mode) == mode


def _interrupt(*args, **kwargs):
    raise KeyboardInterrupt


def _append_a_row(scan, args, run_procedures=_cli.run_procedures):
    with open(args.file, "a") as handle:
        handle.write("z,0.3\n")
    return run_procedures(scan, args)


@pytest.mark.parametrize(
    "patched, replacement, status, message",
    [
        pytest.param("_appended", _interrupt, 130, "tulm: interrupted\n", id="ctrl-c-while-writing"),
        pytest.param("run_procedures", _append_a_row, 1,
                     "tulm: error: {} changed while tulm was reading it: run tulm again\n",
                     id="table-changed-between-the-passes"),
    ],
)  # fmt: skip
@pytest.mark.parametrize("output", ["out.csv", "-"])
def test_stopped_mid_way_nothing_is_written(
    tmp_path, patched, replacement, status, message, output
):
    (tmp_path / "in.csv").write_text(P_TABLE)
    (tmp_path / "out.csv").write_text("previous\n")
    with mock.patch.object(_cli, patched, replacement):
        got = in_process(
            "by", tmp_path / "in.csv", "--column", "p", "--output", tmp_path / output, chunk=2
        )
    assert got == (status, b"", message.format(tmp_path / "in.csv"))
    assert sorted(os.listdir(tmp_path)) == ["in.csv", "out.csv"]
    assert (tmp_path / "out.csv").read_text() == "previous\n"


def test_ctrl_c_as_the_table_is_committed_is_too_late_to_stop_it(tmp_path):
    def interrupted_rename(source, target, replace=os.replace):
        os.kill(os.getpid(), signal.SIGINT)
        replace(source, target)

    (tmp_path / "in.csv").write_text(P_TABLE)
    with mock.patch.object(os, "replace", interrupted_rename):
        status, _, err = in_process(
            "by", tmp_path / "in.csv", "--column", "p", "--output", tmp_path / "out.csv"
        )
    # The table written is reported so, and the handler is back.
    assert (status, err) == (0, "BY, alpha 0.05: rejected 4 of 5\n")
    assert (tmp_path / "out.csv").read_text().startswith("gene,tissue,p,rejected,adjusted\n")
    assert signal.getsignal(signal.SIGINT) is signal.default_int_handler


def test_ctrl_c_exits_130_without_traceback_or_output(tmp_path):
    (tmp_path / "out.csv").write_text("previous\n")
    process = subprocess.Popen(
        [COMMAND, "by", "--column", "p", "--output", "out.csv"],
        stdin=subprocess.PIPE,
        stdout=subprocess.PIPE,
        stderr=subprocess.PIPE,
        cwd=tmp_path,
    )
    try:
        # Wait until it blocks reading its table (read, on fd 0), past start-up.
        syscall = pathlib.Path(f"/proc/{process.pid}/syscall")
        deadline = time.monotonic() + 30
        while not re.match(r"0 0x0 ", syscall.read_text()) and time.monotonic() < deadline:
            time.sleep(0.02)
        process.stdin.write(b"gene,p\na,0.1\n")
        process.stdin.flush()
        process.send_signal(signal.SIGINT)
        stdout, stderr = process.communicate(timeout=30)
    finally:
        process.kill()
    assert process.returncode == 130
    assert (stdout, stderr) == (b"", b"tulm: interrupted\n")
    assert os.listdir(tmp_path) == ["out.csv"]
    assert (tmp_path / "out.csv").read_text() == "previous\n"


def test_without_the_cli_extra_it_says_what_to_install():
    code = (
        "import sys; sys.modules['tqdm'] = None; from tulm._cli import main; "
        "sys.exit(main(['by', '--column', 'p']))"
    )
    result = subprocess.run(
        [sys.executable, "-c", code], input=P_TABLE, capture_output=True, text=True, timeout=60
    )
    assert result.returncode == 1
    assert result.stderr == (
        "tulm: error: the command line needs pandas and tqdm, and tqdm is missing: "
        "pip install 'tulm[cli]'\n"
    )


def on_a_terminal(args, stdin=None, cwd=None):
    """(stdout, what a terminal on standard error showed, status) of the
    command with progress bars shown from the start; standard input is the
    terminal when `stdin` is None."""
    controller, terminal = pty.openpty()
    termios.tcsetwinsize(terminal, (24, 100))  # a new pseudo-terminal is 0 columns wide
    code = (
        "import sys, tqdm; from tulm import _cli, _procedures; _cli.PROGRESS_DELAY = 0; "
        "_procedures._progress_bar = lambda: lambda **bar: tqdm.tqdm(**bar | {'delay': 0}); "
        "sys.exit(_cli.main())"
    )
    # Standard output to a file: a full pipe would hold the command up.
    out = tempfile.TemporaryFile()
    process = subprocess.Popen(
        [sys.executable, "-c", code, *args],
        stdin=terminal if stdin is None else subprocess.PIPE,
        stdout=out,
        stderr=terminal,
        cwd=cwd,
    )
    os.close(terminal)
    if stdin is None:
        os.write(controller, b"g,p\na,0.01\n\x04")  # a table typed, then Ctrl-D
    else:
        process.stdin.write(stdin)
        process.stdin.close()
    chunks = []
    with contextlib.suppress(OSError):  # EIO once the process has closed the terminal
        while chunk := os.read(controller, 65536):
            chunks.append(chunk)
    os.close(controller)
    status = process.wait(timeout=60)
    with out:
        out.seek(0)
        return out.read().decode(), b"".join(chunks).decode(), status


@pytest.mark.parametrize(
    "procedure, bars",
    [
        pytest.param("by", ["reading", "testing", "writing"], id="e-bh-and-by"),
        pytest.param(
            "closed-by", ["reading", "closed BY", "writing"], id="closed-the-packages-bar"
        ),
        pytest.param("by --group-by g", ["reading", "testing", "writing"], id="families"),
    ],
)
def test_progress_bars_on_a_terminal_over_reading_testing_and_writing(tmp_path, procedure, bars):
    rows = "".join(f"f{i % 30},{(i + 1) / 3000}\n" for i in range(3000))
    stdout, shown, status = on_a_terminal(
        [*procedure.split(), "--column", "p"], stdin=("g,p\n" + rows).encode(), cwd=tmp_path
    )
    assert status == 0
    assert len(stdout.splitlines()) == 3001
    for bar in ["receiving", *bars]:
        assert f"\r{bar}:" in shown


def test_reading_a_terminal_says_so():
    stdout, shown, status = on_a_terminal(["by", "--column", "p"])
    assert status == 0
    assert "tulm: reading the table from standard input; end it with Ctrl-D" in shown
    assert stdout == "g,p,rejected,adjusted\na,0.01,True,0.01\n"
