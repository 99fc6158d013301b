"""Sphinx configuration: make docs builds the pages, runs every example in
them (the doctest builder, and the shell commands when the pages are read)
and fails on any warning."""

import doctest
import importlib.metadata
import pathlib
import sys

# The math renderer of these pages (docs/_ext/mathml.py).
sys.path.insert(0, str(pathlib.Path(__file__).parent / "_ext"))

project = "tulm"
author = "the tulm developers"
copyright = f"2026, {author}"
release = importlib.metadata.version("tulm")
version = release

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.doctest",
    "mathml",
    "numpydoc",
    "sphinxcontrib.programoutput",
]

exclude_patterns = ["_build"]
# Formulas become MathML as the pages are built: they read offline, with no script.
html_math_renderer = "mathml"
# `name` in a docstring links to the object when there is one, as in numpy's docs.
default_role = "autolink"

# The functions' own pages: numpydoc renders the docstrings; the class's
# attributes are its Attributes section, not a second list of members.
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
# Every parameter documented, every documented parameter real.
numpydoc_validation_checks = {"PR01", "PR02", "PR10", "RT01"}
# A dataclass: its fields are the Attributes section, not parameters.
numpydoc_validation_exclude = {r"\.Rejections$"}
autodoc_typehints = "none"
autodoc_typehints_format = "short"

# Every snippet runs against the installed package.
doctest_global_setup = """
import numpy as np
import tulm
"""
doctest_default_flags = (
    doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE | doctest.DONT_ACCEPT_TRUE_FOR_1
)

# Shell examples run from the example tables' folder, shown as typed.
programoutput_prompt_template = "$ {command}\n{output}"

html_theme = "alabaster"
html_title = f"tulm {release}"
html_theme_options = {
    "description": "Exact FDR control: e-BH, BY and their closures",
    "page_width": "1160px",
}
html_sidebars = {"**": ["about.html", "navigation.html", "searchbox.html"]}
