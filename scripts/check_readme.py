"""Run the README's Python examples and check they need nothing `make demo`
does not install.

    python scripts/check_readme.py README.md

Every ```pycon block runs as a doctest, in order, in one namespace, and its
printed output must match (ellipsis and whitespace as in the documentation).
Every module the blocks import must be in the standard library, the project
itself, or installed by a requirement of the `demo` dependency group of
pyproject.toml: the README promises its examples work after `make demo`.
"""

import ast
import doctest
import functools
import importlib.metadata
import pathlib
import re
import sys
import tomllib

BLOCK = re.compile(r"^```pycon\n(.*?)^```$", re.DOTALL | re.MULTILINE)
PROJECT_MODULES = {"tulm", "_tulm"}
FLAGS = doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE | doctest.DONT_ACCEPT_TRUE_FOR_1


def _normalise(name: str) -> str:
    return re.sub(r"[-_.]+", "-", name).lower()


def group_requirements(pyproject: dict, group: str) -> set[str]:
    """Distribution names a dependency group lists, its included groups' too."""
    names = set()
    for entry in pyproject["dependency-groups"][group]:
        if isinstance(entry, dict):
            names |= group_requirements(pyproject, entry["include-group"])
        else:
            names.add(_normalise(re.split(r"[\s\[<>=!~;]", entry, maxsplit=1)[0]))
    return names


def imported_modules(source: str) -> set[str]:
    """Top-level modules that Python source imports."""
    modules = set()
    for node in ast.walk(ast.parse(source)):
        if isinstance(node, ast.Import):
            modules |= {alias.name.partition(".")[0] for alias in node.names}
        elif isinstance(node, ast.ImportFrom) and node.level == 0 and node.module:
            modules.add(node.module.partition(".")[0])
    return modules


@functools.cache
def _providers() -> dict[str, list[str]]:
    """Installed distributions by the top-level modules they provide."""
    return dict(importlib.metadata.packages_distributions())


def undeclared(modules: set[str], declared: set[str]) -> list[str]:
    """Modules that no declared distribution provides."""
    providers = _providers()
    return sorted(
        module
        for module in modules - PROJECT_MODULES - set(sys.stdlib_module_names)
        if not {_normalise(d) for d in providers.get(module, [])} & declared
    )


def main(argv: list[str]) -> int:
    if len(argv) != 1:
        print(__doc__, file=sys.stderr)
        return 2
    readme = pathlib.Path(argv[0])
    text = readme.read_text(encoding="utf-8")
    parser = doctest.DocTestParser()
    blocks = list(BLOCK.finditer(text))
    if not blocks:
        print(f"{readme}: no pycon blocks to run", file=sys.stderr)
        return 1
    examples = []
    for block in blocks:
        # Failures are reported at their line in the README, not in the block.
        offset = text.count("\n", 0, block.start(1))
        for example in parser.get_examples(block.group(1)):
            example.lineno += offset
            examples.append(example)
    test = doctest.DocTest(examples, {}, readme.name, str(readme), 0, text)
    runner = doctest.DocTestRunner(optionflags=FLAGS)
    runner.run(test)
    pyproject = tomllib.loads((readme.parent / "pyproject.toml").read_text(encoding="utf-8"))
    missing = undeclared(
        set().union(*(imported_modules(example.source) for example in examples)),
        group_requirements(pyproject, "demo"),
    )
    for module in missing:
        print(f"{readme}: imports {module}, which the demo group does not install", file=sys.stderr)
    if runner.failures or missing:
        return 1
    print(f"{readme}: {len(examples)} examples in {len(blocks)} blocks pass")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
