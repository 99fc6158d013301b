# make demo: set up, build, install and run the demo.
# make test: set up, build, install and run every test suite.
# The CMake configurations (test, sanitize, fuzz, lint) are CMakePresets.json.

PYTHON ?= $(shell scripts/find-python3.13)
VENV   := .venv
VPY    := $(VENV)/bin/python
BUILD  := build
JOBS   ?= $(shell nproc 2>/dev/null || echo 2)

.PHONY: demo test test-cpp test-python install sanitize memcheck stress fuzz lint clean \
	stubs stubs-check typecheck wheel-test bench bench-cby bench-levels bench-package docs

demo: install $(VENV)/.group-demo
	$(VPY) examples/demo.py

test: test-cpp test-python

# The virtual environment with the build requirements of pyproject.toml (read
# from it, so the pins live in one place); each target adds the dependency
# group it needs.
$(VENV)/.ready: pyproject.toml
	@test -n "$(PYTHON)" || { scripts/find-python3.13; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade "pip>=25.1"
	$(VPY) -m pip install --quiet $$($(VPY) -c 'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"])')
	touch $@

$(VENV)/.group-%: pyproject.toml $(VENV)/.ready
	$(VPY) -m pip install --quiet --group $*
	touch $@

install: $(VENV)/.ready
	$(VPY) -m pip install --quiet --no-build-isolation --no-deps \
	    -Ccmake.define.TULM_WERROR=ON .

test-python: install $(VENV)/.group-test
	$(VPY) -m pytest

test-cpp:
	cmake --preset test
	cmake --build --preset test -j $(JOBS)
	ctest --preset test

# The C++ tests and the extension built with AddressSanitizer and
# UndefinedBehaviorSanitizer; Python runs with the ASan runtime preloaded and
# its own allocator off, so every allocation is checked. The runtimes come from
# the compiler that built the extension. libstdc++ is preloaded too: ASan must
# find __cxa_throw when it starts, and Python does not link it. Reports go to
# files, since pytest's capture would swallow them with the process; a huge
# request returns null (MemoryError) instead of aborting.
SANITIZE_DIR := $(BUILD)/sanitize
SANITIZE_CXX  = $$(sed -n 's/^CMAKE_CXX_COMPILER:[A-Z]*=//p' $(SANITIZE_DIR)/CMakeCache.txt)
sanitize: $(VENV)/.group-test
	cmake --preset sanitize
	cmake --build --preset sanitize -j $(JOBS)
	ctest --preset sanitize
	rm -f $(SANITIZE_DIR)/report.*
	ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:log_path=$(abspath $(SANITIZE_DIR))/report \
	UBSAN_OPTIONS=print_stacktrace=1:log_path=$(abspath $(SANITIZE_DIR))/report \
	PYTHONMALLOC=malloc PYTHONPATH=$(abspath $(SANITIZE_DIR)) TULM_HYPOTHESIS_PROFILE=thorough \
	LD_PRELOAD="$$($(SANITIZE_CXX) -print-file-name=libasan.so) $$($(SANITIZE_CXX) -print-file-name=libstdc++.so)" \
	    $(VPY) -m pytest || { cat $(SANITIZE_DIR)/report.* 2>/dev/null; exit 1; }
	@! ls $(SANITIZE_DIR)/report.* 2>/dev/null || { cat $(SANITIZE_DIR)/report.*; exit 1; }

# Valgrind's memcheck over the C++ kernel tests.
memcheck: test-cpp
	valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
	    $(BUILD)/test/tests/cpp/tulm_kernel_tests --gtest_brief=1

# Every function called STRESS_CALLS times per case, succeeding and failing:
# resident and traced memory and the arguments' reference counts stay flat.
STRESS_CALLS ?= 100000
stress: install $(VENV)/.group-test
	TULM_STRESS_CALLS=$(STRESS_CALLS) $(VPY) -m pytest -m stress

# libFuzzer (Debian's clang) over the two checks, with AddressSanitizer and
# UBSan, FUZZ_SECONDS each. The corpus grows in $(FUZZ_DIR)/corpus from run to
# run; an input that fails is left beside it and its report printed.
FUZZ_DIR     := $(BUILD)/fuzz
FUZZ_SECONDS ?= 60
FUZZERS      := mean_consistency_fuzz cby_check_fuzz
fuzz:
	cmake --preset fuzz
	cmake --build --preset fuzz -j $(JOBS)
	@for fuzzer in $(FUZZERS); do \
	    mkdir -p $(FUZZ_DIR)/corpus/$$fuzzer; \
	    echo "$$fuzzer: $(FUZZ_SECONDS) s"; \
	    $(FUZZ_DIR)/tests/fuzz/$$fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	        -artifact_prefix=$(FUZZ_DIR)/$$fuzzer- $(FUZZ_DIR)/corpus/$$fuzzer \
	        > $(FUZZ_DIR)/$$fuzzer.log 2>&1 \
	        || { tail -n 60 $(FUZZ_DIR)/$$fuzzer.log; exit 1; }; \
	    grep -E '^Done [0-9]+ runs' $(FUZZ_DIR)/$$fuzzer.log; \
	done

# clang-format in check mode over every C++ file; clang-tidy (warnings are
# errors: .clang-tidy) over the kernels and the module, from the compile
# commands of the lint preset (clang 14 does not recognise the atomics of
# Python 3.13's headers by itself, hence the define); ruff over the Python.
# The tests are left out of clang-tidy: GoogleTest's macros double its time.
lint: $(VENV)/.group-lint
	clang-format --dry-run --Werror $$(git ls-files '*.cpp' '*.hpp')
	cmake --preset lint > /dev/null
	run-clang-tidy -p $(BUILD)/lint -j $(JOBS) -quiet \
	    -extra-arg=-D_Py_USE_GCC_BUILTIN_ATOMICS=1 '$(CURDIR)/src/' > $(BUILD)/lint/tidy.log 2>&1 \
	    || { grep -E -A3 'warning:|error:' $(BUILD)/lint/tidy.log; exit 1; }
	$(VPY) -m ruff check .
	$(VPY) -m ruff format --check .

# _tulm.pyi is generated from the built module by pybind11-stubgen (pinned in
# the typecheck group): make stubs rewrites it, make stubs-check fails when the
# committed file differs from a fresh generation.
STUB_DIR := $(BUILD)/stubs
stubs: install $(VENV)/.group-typecheck
	$(VPY) -m pybind11_stubgen --exit-code -o . _tulm

stubs-check: install $(VENV)/.group-typecheck
	rm -rf $(STUB_DIR)
	$(VPY) -m pybind11_stubgen --exit-code -o $(STUB_DIR) _tulm
	@diff -u _tulm.pyi $(STUB_DIR)/_tulm.pyi \
	    || { echo "_tulm.pyi differs from the module: run make stubs and commit it"; exit 1; }

# mypy --strict over examples/ against the committed stub (configured in pyproject.toml).
typecheck: $(VENV)/.group-typecheck
	$(VPY) -m mypy

# Builds the sdist and, with pip wheel, the wheel; installs the wheel (not the
# source tree) with the test group into a fresh virtual environment and runs
# the Python tests from a directory outside the tree, so nothing there can
# shadow the installed module. mypy, told to use that environment, must find
# the installed stub.
WHEEL_VENV := $(BUILD)/wheel-venv
WHEEL_RUN  := $(BUILD)/wheel-run
wheel-test: export PYTHONPATH :=
wheel-test: $(VENV)/.group-dist $(VENV)/.group-typecheck
	rm -rf dist $(WHEEL_VENV) $(WHEEL_RUN)
	$(VPY) -m build --sdist --outdir dist .
	$(VPY) -m pip wheel . --no-deps -w dist -Cbuild-dir=$(BUILD)/wheel
	$(PYTHON) -m venv $(WHEEL_VENV)
	$(WHEEL_VENV)/bin/python -m pip install --quiet --upgrade "pip>=25.1"
	$(WHEEL_VENV)/bin/python -m pip install --quiet --group test dist/tulm-*.whl
	mkdir -p $(WHEEL_RUN)
	cd $(WHEEL_RUN) && ../wheel-venv/bin/python -c \
	    'import _tulm, sys; assert _tulm.__file__.startswith(sys.prefix), _tulm.__file__'
	cd $(WHEEL_RUN) && $(abspath $(VPY)) -m mypy --strict --config-file= \
	    --python-executable ../wheel-venv/bin/python \
	    -c 'import _tulm, typing; typing.assert_type(_tulm.closede_bh_cpp([2.0]), int)'
	cd $(WHEEL_RUN) && $(abspath $(VPY)) -m mypy --strict --config-file= \
	    --python-executable ../wheel-venv/bin/python \
	    -c 'import tulm, typing; typing.assert_type(tulm.by([0.5]).alpha, float)'
	cd $(WHEEL_RUN) && ../wheel-venv/bin/python -m pytest -p no:cacheprovider \
	    -c $(CURDIR)/pyproject.toml $(CURDIR)/tests/python

# The documentation into build/docs. The examples draw the gallery's pictures
# first (the benchmark's is committed: it takes minutes). Two passes over one
# fresh environment (-E, so the shell examples rerun): the doctest builder runs
# and checks every Python example, the HTML builder writes the pages; the shell
# examples run as the pages are read, with .venv/bin first on PATH. Any
# warning fails the build, and so does a page that would load a script, a
# stylesheet or anything else from the network: the pages must read offline.
# The README's examples run too, and may import only what make demo installs.
DOCS_OUT     := $(BUILD)/docs
GALLERY      := $(BUILD)/gallery
SPHINX        = PATH="$(abspath $(VENV))/bin:$$PATH" $(VPY) -m sphinx -W --keep-going -q -d $(BUILD)/docs-doctrees
docs: install $(VENV)/.group-docs
	$(VPY) scripts/check_readme.py README.md
	mkdir -p $(GALLERY)
	$(VPY) examples/demo.py > $(GALLERY)/demo.txt
	$(VPY) examples/rejections_vs_m.py > $(GALLERY)/rejections_vs_m.txt
	$(VPY) examples/rejections_vs_alpha.py > $(GALLERY)/rejections_vs_alpha.txt
	$(SPHINX) -E -b doctest docs $(BUILD)/docs-doctest
	$(SPHINX) -b html docs $(DOCS_OUT)
	$(VPY) scripts/check_docs_offline.py $(DOCS_OUT)
	@echo "documentation: $(DOCS_OUT)/index.html"

# The benchmark suite, not part of make test: it rewrites bench/results/.
# BENCH_ARGS=--quick gives a smoke run.
bench: install $(VENV)/.group-bench
	$(VPY) bench/run.py $(BENCH_ARGS)
	$(VPY) bench/speed.py $(BENCH_ARGS)
	$(VPY) bench/cby_screens.py $(BENCH_ARGS)
	$(VPY) bench/package_scaling.py $(BENCH_ARGS)

# Closed BY on the demo, log-uniform and linear screens, answers checked
# against the reference check (bench/cby_screens.py; BENCH_ARGS=--quick).
bench-cby: install $(VENV)/.group-bench
	$(VPY) bench/cby_screens.py $(BENCH_ARGS)

# Adjusted levels of the closed procedures against one exact search, on the
# demo screen and the hardest (bench/levels.py; BENCH_ARGS=--quick).
bench-levels: install $(VENV)/.group-bench
	$(VPY) bench/levels.py $(BENCH_ARGS)

# The tulm package against scipy and the bare kernels; prints ratios, writes nothing.
bench-package: install $(VENV)/.group-bench
	$(VPY) bench/package.py $(BENCH_ARGS)

clean:
	rm -rf $(BUILD) $(VENV) dist
