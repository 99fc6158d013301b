"""examples/many_families.py at small size: Dask answers against serial calls."""

import importlib.util
import pathlib
import subprocess
import sys

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
    # 23 families in batches of 5: the last batch is short.
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=False, dashboard_address=None
    ) as cluster:
        status = many_families.main(
            ["--families", "23", "--batch-size", "5", "--scheduler", cluster.scheduler_address]
        )
    out = capsys.readouterr().out
    assert status == 0, out
    assert "all 23 families match the serial calls" in out


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
    assert "all 30 families match the serial calls" in result.stdout


def result(many_families, name, **changes):
    fields = {"name": name, "m": 100, "ebh": 3, "closed_ebh": 5, "by": 4, "closed_by": 4}
    return many_families.FamilyResult(**{**fields, **changes})


@pytest.mark.parametrize(
    "parallel_changes, extra, missing, expected",
    [
        pytest.param({}, False, False, 0, id="identical"),
        pytest.param({"closed_by": 5}, False, False, 1, id="one-count-differs"),
        pytest.param({}, False, True, 1, id="a-family-missing"),
        pytest.param({}, True, False, 1, id="an-unknown-family"),
    ],
)
def test_check_reports_every_difference(many_families, parallel_changes, extra, missing, expected):
    serial = [result(many_families, "a"), result(many_families, "b")]
    parallel = [result(many_families, "b"), result(many_families, "a", **parallel_changes)]
    if missing:
        parallel.pop()
    if extra:
        parallel.append(result(many_families, "c"))
    assert len(many_families.mismatches(parallel, serial)) == expected


def test_families_are_reproducible_and_varied(many_families):
    specs = many_families.make_specs(200, seed=5)
    assert specs == many_families.make_specs(200, seed=5)
    assert len({spec.name for spec in specs}) == 200
    sizes = [spec.m for spec in specs]
    assert 20 <= min(sizes) < 100 and 1000 < max(sizes) <= 5000
    evalues, pvalues = many_families.simulate(specs[0])
    assert list(evalues) == sorted(evalues)
    assert list(pvalues) == sorted(pvalues, reverse=True)
