"""The checks make docs runs: over the built pages, anything loaded from the
network is found and links a reader follows are not loads; over the README,
an import that the demo group does not install is found."""

import importlib.util
import pathlib

import pytest

_SCRIPTS = pathlib.Path(__file__).resolve().parents[2] / "scripts"


def _load(name):
    spec = importlib.util.spec_from_file_location(name, _SCRIPTS / f"{name}.py")
    assert spec is not None and spec.loader is not None
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


check = _load("check_docs_offline")
readme = _load("check_readme")


@pytest.mark.parametrize(
    ("page", "remote"),
    [
        pytest.param('<script src="https://cdn.x.org/m.js" defer></script>', 1, id="cdn-script"),
        pytest.param('<script src="//cdn.x.org/m.js"></script>', 1, id="scheme-relative-host"),
        pytest.param('<SCRIPT SRC="HTTP://cdn.x.org/m.js"></SCRIPT>', 1, id="upper-case"),
        pytest.param('<link rel="Stylesheet" href="https://f.x.org/a.css">', 1, id="stylesheet"),
        pytest.param('<link rel="preload icon" href="http://x.org/f.woff2">', 1, id="preload"),
        pytest.param('<img srcset="a.png 1x, https://x.org/b.png 2x">', 1, id="srcset-second"),
        pytest.param("<style>@import 'https://f.x.org/c.css';</style>", 1, id="style-import"),
        pytest.param('<div style="background: url(https://x.org/i.png)">', 1, id="style-attr"),
        pytest.param('<script src="_static/doctools.js?v=1"></script>', 0, id="local-script"),
        pytest.param('<link rel="stylesheet" href="../_static/a.css">', 0, id="local-sheet"),
        pytest.param('<img src="data:image/png;base64,AAAA">', 0, id="inline-data"),
        pytest.param('<a href="https://www.sphinx-doc.org/">Sphinx</a>', 0, id="link-followed"),
        pytest.param('<link rel="next" href="https://x.org/p.html">', 0, id="rel-next"),
        pytest.param("<p>see https://x.org/m.js</p>", 0, id="url-in-text"),
    ],
)
def test_finds_every_resource_from_the_network(page, remote):
    assert len(check.remote_loads(page)) == remote


@pytest.mark.parametrize(
    ("sheet", "remote"),
    [
        pytest.param('@import url("https://fonts.x.org/css?f=A");', 1, id="import-url"),
        pytest.param("@font-face { src: url(//x.org/f.woff2) }", 1, id="font-host"),
        pytest.param("/* from https://x.org/commit */ a { color: red }", 0, id="comment"),
        pytest.param("@import 'basic.css'; b { background: url(file.png) }", 0, id="local"),
    ],
)
def test_finds_stylesheet_loads_outside_comments(sheet, remote):
    assert len(check.remote_in_css(sheet)) == remote


def test_fails_on_a_remote_load_and_on_no_pages(tmp_path):
    assert check.main([str(tmp_path)]) == 1  # nothing built is no pass
    (tmp_path / "index.html").write_text('<script src="_static/a.js"></script>')
    (tmp_path / "_static").mkdir()
    (tmp_path / "_static" / "a.css").write_text("a { color: red }")
    assert check.main([str(tmp_path)]) == 0
    (tmp_path / "_static" / "b.css").write_text("@import 'https://x.org/c.css';")
    assert check.main([str(tmp_path)]) == 1


@pytest.mark.parametrize(
    ("source", "missing"),
    [
        pytest.param("import scipy", ["scipy"], id="undeclared"),
        pytest.param("from scipy.stats import norm", ["scipy"], id="undeclared-from"),
        pytest.param("import numpy.typing as npt", [], id="declared-submodule"),
        pytest.param("import os, json\nfrom collections import abc", [], id="stdlib"),
        pytest.param("import tulm, _tulm", [], id="the-project"),
        pytest.param("from . import sibling", [], id="relative"),
    ],
)
def test_finds_readme_imports_the_demo_group_lacks(source, missing):
    assert readme.undeclared(readme.imported_modules(source), {"numpy"}) == missing


def test_reads_included_groups_and_normalises_names():
    pyproject = {
        "dependency-groups": {
            "demo": ["numpy>=2", {"include-group": "plots"}],
            "plots": ["Matplotlib_Inline[x] >=0.1; python_version>'3'"],
        }
    }
    assert readme.group_requirements(pyproject, "demo") == {"numpy", "matplotlib-inline"}
