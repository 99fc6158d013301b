"""The installed tulm command, run as a subprocess on small tables: its output
against the package's own answers, and every refusal as one line with its exit
status and nothing written."""

import contextlib
import csv
import io
import os
import pathlib
import pty
import re
import shutil
import signal
import subprocess
import sys
import termios
import time

import numpy as np
import pytest

import tulm

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


def parse(text, delimiter=","):
    rows = list(csv.reader(io.StringIO(text, newline=""), delimiter=delimiter))
    return rows[0], rows[1:]


def column(text, name, delimiter=","):
    header, rows = parse(text, delimiter)
    return [row[header.index(name)] for row in rows]


@pytest.mark.parametrize("procedure", ["ebh", "closed-ebh", "by", "closed-by"])
def test_rejections_are_the_packages_and_the_table_comes_back_unchanged(tmp_path, procedure):
    rng = np.random.default_rng(3)
    values = rng.random(60) ** 3 if "by" in procedure else rng.exponential(8.0, 60)
    # Text the command must copy as it is: quoting, a delimiter inside a field.
    lines = ["name,note,value"] + [
        f'h{i:02d},"x, ""{i}""",{v!r}' for i, v in enumerate(values.tolist())
    ]
    (tmp_path / "in.csv").write_text("\n".join(lines) + "\n")
    result = tulm_command(procedure, "in.csv", "--column", "value", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    function = getattr(tulm, procedure.replace("-", "_"))
    expected = function(values)
    header, rows = parse(result.stdout)
    assert [row[:3] for row in rows] == list(csv.reader(lines[1:]))
    assert column(result.stdout, "rejected") == [str(bool(r)) for r in expected.rejected]
    if procedure == "by":
        adjusted = [float(text) for text in column(result.stdout, "adjusted")]
        assert adjusted == expected.adjusted.tolist()  # printed exactly, read back exactly
    else:
        assert "adjusted" not in header
    assert result.stderr.strip().endswith(f"rejected {expected.count} of 60")


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


def test_missing_values_omitted_are_never_rejected_and_not_counted(tmp_path):
    table = "gene,p\na,0.001\nb,NA\nc,\nd,0.002\ne,nan\n"
    result = tulm_command("by", "--column", "p", "--nan-policy", "omit", stdin=table)
    assert result.returncode == 0, result.stderr
    assert column(result.stdout, "rejected") == ["True", "False", "False", "True", "False"]
    assert column(result.stdout, "adjusted")[1:3] == ["", ""]
    assert result.stderr == "BY, alpha 0.05: rejected 2 of 2, 3 missing left untested\n"


def test_help_shows_an_example_that_runs_as_shown(tmp_path):
    result = tulm_command("--help")
    assert result.returncode == 0
    assert result.stdout.startswith(
        "usage: tulm PROCEDURE [FILE] --column NAME [--alpha A] [--method exact|approximate] "
        "[--nan-policy raise|omit] [--group-by COLUMN] [--output FILE]\n"
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
]  # fmt: skip


@pytest.mark.parametrize(
    "args, stdin, status, message",
    [pytest.param(*case[1:], id=case[0]) for case in REFUSALS],
)
def test_refusals_are_one_line_with_their_status(tmp_path, args, stdin, status, message):
    if isinstance(stdin, bytes):
        (tmp_path / "in.csv").write_bytes(stdin)
        args, stdin = [*args, "in.csv"], None
    result = tulm_command(*args, stdin=stdin, cwd=tmp_path)
    assert result.returncode == status
    assert result.stdout == ""
    assert result.stderr.count("\n") == 1 and result.stderr.startswith("tulm: error: ")
    assert message in result.stderr


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


@pytest.mark.parametrize(
    "families, bar", [pytest.param(25, True, id="many"), pytest.param(3, False, id="few")]
)
def test_progress_bar_on_a_terminal_for_many_families(tmp_path, families, bar):
    rows = [f"f{i % families},{(i + 1) / 200}" for i in range(4 * families)]
    (tmp_path / "in.csv").write_text("family,p\n" + "\n".join(rows) + "\n")
    controller, terminal = pty.openpty()
    termios.tcsetwinsize(terminal, (24, 100))  # a new pseudo-terminal is 0 columns wide
    with open(os.devnull, "w") as devnull:
        process = subprocess.Popen(
            [COMMAND, "by", "in.csv", "--column", "p", "--group-by", "family"],
            stdout=devnull,
            stderr=terminal,
            cwd=tmp_path,
        )
    os.close(terminal)
    chunks = []
    with contextlib.suppress(OSError):  # EIO once the process has closed the terminal
        while chunk := os.read(controller, 65536):
            chunks.append(chunk)
    os.close(controller)
    assert process.wait(timeout=60) == 0
    text = b"".join(chunks).decode()
    assert text.count("BY, alpha 0.05, family=") == families
    assert (f"{families}/{families}" in text) == bar
