"""tulm.dask and examples/many_families.py at small size: Dask answers
against the same procedures in one process."""

import importlib.util
import math
import pathlib
import subprocess
import sys

import numpy as np
import pandas
import pytest

import tulm

distributed = pytest.importorskip("distributed")
da = pytest.importorskip("dask.array")
dd = pytest.importorskip("dask.dataframe")
import tulm.dask  # noqa: E402  (needs dask)

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


@pytest.fixture(scope="module")
def client():
    with (
        distributed.LocalCluster(
            n_workers=1, threads_per_worker=2, processes=False, dashboard_address=None
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        yield client


def family(kind, m, seed, nan=0.0):
    rng = np.random.default_rng(seed)
    z = rng.standard_normal(m) + 3.0 * (rng.random(m) < 0.1)
    values = np.exp(3.0 * z - 4.5) if kind == "e" else 0.5 * np.vectorize(math.erfc)(z / 2**0.5)
    values[:: max(1, m // 40)] = values[0]  # ties
    values[rng.random(m) < nan] = np.nan
    return values


@pytest.mark.parametrize(
    ("kind", "options", "seed"),
    [
        pytest.param("p", {}, 1, id="BY"),
        pytest.param("e", {}, 2, id="e-BH"),
        pytest.param("p", {"nan_policy": "omit"}, 3, id="BY-nan-omitted"),
        pytest.param("p", {"m": 50_000, "cutoff": 0.02}, 4, id="BY-family-size"),
        pytest.param("e", {"m": 3_500, "nan_policy": "omit"}, 5, id="e-BH-family-size-nan"),
    ],
)
@pytest.mark.parametrize("as_series", [False, True], ids=["array", "series"])
def test_one_family_equals_the_answer_in_memory(client, kind, options, seed, as_series):
    values = family(kind, 3_000, seed, nan=0.05 if "nan_policy" in options else 0.0)
    if "cutoff" in options:
        values = values[values < options["cutoff"]]
    index = pandas.Index(np.arange(values.size) * 7 + 3)
    in_memory = (tulm.ebh if kind == "e" else tulm.by)(pandas.Series(values, index), **options)
    if as_series:
        lazy = dd.from_pandas(pandas.Series(values, index), npartitions=5)
    else:
        lazy = da.from_array(values, chunks=700)
    result = (tulm.dask.ebh if kind == "e" else tulm.dask.by)(lazy, **options)
    assert result.count > 0
    assert (result.count, result.m, result.full_family) == (
        in_memory.count,
        in_memory.m,
        in_memory.full_family,
    )
    rejected = result.rejected.compute()
    np.testing.assert_array_equal(np.asarray(rejected), in_memory.rejected.to_numpy())
    if as_series:
        assert rejected.index.equals(index)


@pytest.mark.parametrize(
    ("values", "error", "message"),
    [
        pytest.param(
            da.from_array(np.array([0.1, 0.2, np.nan, 0.3]), chunks=2),
            ValueError,
            "pvalues holds 1 NaN value, the first at index 2; nan_policy='omit'",
            id="nan-at-index",
        ),
        pytest.param(
            dd.from_pandas(pandas.Series([0.1, 0.2, 1.5], index=["a", "b", "c"]), npartitions=2),
            ValueError,
            r"pvalues must lie in \[0, 1\]; 1 do not, the first 1.5 at label 'c'",
            id="out-of-range-at-label",
        ),
        pytest.param(np.array([0.1, 0.2]), TypeError, "in-memory values go to tulm.by", id="numpy"),
        pytest.param(
            da.zeros((2, 2)), ValueError, "pvalues must be one family, a 1-d Dask array", id="2-d"
        ),
    ],
)
def test_one_family_refusals(client, values, error, message):
    with pytest.raises(error, match=message):
        tulm.dask.by(values)


@pytest.mark.parametrize(
    ("procedure", "column", "adjusted"),
    [
        pytest.param(tulm.ebh, "e", False, id="e-BH"),
        pytest.param(tulm.closed_ebh, "e", True, id="closed-e-BH-adjusted"),
        pytest.param(tulm.by, "p", True, id="BY-adjusted"),
        pytest.param(tulm.closed_by, "p", False, id="closed-BY"),
    ],
)
@pytest.mark.parametrize("partitioned", [False, True], ids=["shuffled", "partitioned"])
@pytest.mark.filterwarnings("ignore:no e-value exceeds 1:UserWarning")  # the family of one
def test_per_family_equals_each_family_in_memory(client, procedure, column, adjusted, partitioned):
    sizes = [30, 200, 1, 75, 120]
    frame = pandas.DataFrame(
        {
            "family": np.repeat([f"f{i}" for i in range(len(sizes))], sizes),
            "e": np.concatenate([family("e", n, i) for i, n in enumerate(sizes)]),
            "p": np.concatenate([family("p", n, i) for i, n in enumerate(sizes)]),
        },
        index=np.arange(sum(sizes))[::-1],
    )
    # Whole families per partition, or families cut across partitions.
    lazy = dd.from_pandas(frame, npartitions=len(sizes) if partitioned else 4, sort=False)
    if partitioned:
        lazy = dd.from_map(lambda i: frame[frame["family"] == f"f{i}"], range(len(sizes)))
    tested = tulm.dask.per_family(
        lazy, procedure, column=column, family="family", adjusted=adjusted, partitioned=partitioned
    ).compute()
    tested = tested.loc[frame.index]
    for _, group in frame.groupby("family"):
        options = {"adjusted": True} if procedure in (tulm.closed_ebh, tulm.closed_by) else {}
        expected = procedure(group[column].to_numpy(), **(options if adjusted else {}))
        got = tested.loc[group.index]
        np.testing.assert_array_equal(got["rejected"].to_numpy(), expected.rejected)
        if adjusted:
            np.testing.assert_array_equal(got["adjusted"].to_numpy(), expected.adjusted)
        else:
            assert "adjusted" not in got.columns
