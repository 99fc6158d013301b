"""examples/many_families.py at small size: Dask answers against one process."""

import importlib.util
import pathlib
import subprocess
import sys

import pandas
import pytest

distributed = pytest.importorskip("distributed")

EXAMPLE = pathlib.Path(__file__).resolve().parents[2] / "examples" / "many_families.py"


@pytest.fixture(scope="module")
def many_families():
    spec = importlib.util.spec_from_file_location("many_families", EXAMPLE)
    module = importlib.util.module_from_spec(spec)
    # Registered so that tasks naming its functions unpickle in this process.
    sys.modules["many_families"] = module
    spec.loader.exec_module(module)
    yield module
    del sys.modules["many_families"]


def test_scheduler_option_runs_every_family_and_matches(many_families, capsys):
    # 23 families in partitions of 5: the last partition is short.
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None
    ) as cluster:
        status = many_families.main(
            ["--families", "23", "--batch-size", "5", "--scheduler", cluster.scheduler_address]
        )
    out = capsys.readouterr().out
    assert status == 0, out
    assert "all 23 families match the run in one process" in out


def test_local_cluster_script_end_to_end():
    """The script as users run it: its own LocalCluster of worker processes, to
    which the task functions travel by value from __main__."""
    result = subprocess.run(
        [sys.executable, str(EXAMPLE), "--families", "30", "--workers", "1"],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stdout + result.stderr
    assert "all 30 families match the run in one process" in result.stdout


def flip(table, family, column):
    table = table.copy()
    row = table.index[table["family"] == family][0]
    table.loc[row, column] = not table.loc[row, column]
    return table


@pytest.mark.parametrize(
    "change, expected",
    [
        pytest.param(lambda t: t, [], id="identical"),
        pytest.param(
            lambda t: flip(t, "family-00001", "closed_by"),
            ["family-00001"],
            id="one-rejection-differs",
        ),
        pytest.param(
            lambda t: t[t["family"] != "family-00002"], ["family-00002"], id="a-family-missing"
        ),
        pytest.param(lambda t: t.iloc[:-1], ["family-00002"], id="a-family-cut-short"),
        pytest.param(
            lambda t: pandas.concat([g for _, g in t.groupby("family")][::-1]),
            [],
            id="row-order-between-families-ignored",
        ),
    ],
)
def test_check_reports_every_difference(many_families, change, expected):
    serial = many_families.run_in_one_process(many_families.make_specs(3, seed=5))
    parallel = change(serial)
    assert many_families.mismatches(parallel, serial) == expected
    assert many_families.mismatches(serial, parallel) == expected


def test_families_are_reproducible_and_varied(many_families):
    specs = many_families.make_specs(200, seed=5)
    assert specs == many_families.make_specs(200, seed=5)
    assert len({spec.name for spec in specs}) == 200
    sizes = [spec.m for spec in specs]
    assert 20 <= min(sizes) < 100 and 1000 < max(sizes) <= 5000
