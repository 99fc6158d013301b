# make demo: set up, build, install and run the demo.
# make test: set up, build, install and run every test suite.

PYTHON ?= $(shell scripts/find-python3.13)
VENV   := .venv
VPY    := $(VENV)/bin/python
BUILD  := build
JOBS   ?= 2

.PHONY: demo test test-cpp test-python install sanitize memcheck clean \
	stubs stubs-check typecheck wheel-test bench bench-cby

demo: install $(VENV)/.group-demo
	$(VPY) examples/demo.py

test: test-cpp test-python

# The virtual environment holds the build requirements of pyproject.toml
# (read from it, so the pins live in one place) and the test group.
$(VENV)/.ready: pyproject.toml
	@test -n "$(PYTHON)" || { scripts/find-python3.13; exit 1; }
	$(PYTHON) -m venv $(VENV)
	$(VPY) -m pip install --quiet --upgrade "pip>=25.1"
	$(VPY) -m pip install --quiet --group test $$($(VPY) -c 'import tomllib; print(*tomllib.load(open("pyproject.toml", "rb"))["build-system"]["requires"])')
	touch $@

# The other dependency groups of pyproject.toml, installed when a target needs one.
$(VENV)/.group-%: pyproject.toml $(VENV)/.ready
	$(VPY) -m pip install --quiet --group $*
	touch $@

install: $(VENV)/.ready
	$(VPY) -m pip install --quiet --no-build-isolation --no-deps \
	    -Ccmake.define.TULM_WERROR=ON .

test-python: install
	$(VPY) -m pytest

test-cpp:
	cmake -S . -B $(BUILD)/cpp -DTULM_BUILD_MODULE=OFF -DTULM_BUILD_TESTS=ON -DTULM_WERROR=ON
	cmake --build $(BUILD)/cpp -j $(JOBS)
	ctest --test-dir $(BUILD)/cpp --output-on-failure

# The C++ tests and the extension built with AddressSanitizer and
# UndefinedBehaviorSanitizer; Python runs with the ASan runtime preloaded and
# its own allocator off, so every allocation is checked. libstdc++ is preloaded
# too: ASan must find __cxa_throw when it starts, and Python does not link it.
# Reports go to files, since pytest's capture would swallow them with the
# process; a huge request returns null (MemoryError) instead of aborting.
SANITIZE_DIR := $(BUILD)/sanitize
sanitize: $(VENV)/.ready
	cmake -S . -B $(SANITIZE_DIR) -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTULM_SANITIZE=ON \
	    -DTULM_BUILD_TESTS=ON -DTULM_WERROR=ON -DPython_EXECUTABLE=$(abspath $(VPY)) \
	    -Dpybind11_DIR=$$($(VPY) -m pybind11 --cmakedir)
	cmake --build $(SANITIZE_DIR) -j $(JOBS)
	ctest --test-dir $(SANITIZE_DIR) --output-on-failure
	rm -f $(SANITIZE_DIR)/report.*
	ASAN_OPTIONS=detect_leaks=0:allocator_may_return_null=1:log_path=$(abspath $(SANITIZE_DIR))/report \
	UBSAN_OPTIONS=print_stacktrace=1:log_path=$(abspath $(SANITIZE_DIR))/report \
	PYTHONMALLOC=malloc PYTHONPATH=$(abspath $(SANITIZE_DIR)) TULM_HYPOTHESIS_PROFILE=thorough \
	LD_PRELOAD="$$($(CXX) -print-file-name=libasan.so) $$($(CXX) -print-file-name=libstdc++.so)" \
	    $(VPY) -m pytest || { cat $(SANITIZE_DIR)/report.* 2>/dev/null; exit 1; }
	@! ls $(SANITIZE_DIR)/report.* 2>/dev/null || { cat $(SANITIZE_DIR)/report.*; exit 1; }

# Valgrind's memcheck over the C++ kernel tests.
memcheck: test-cpp
	valgrind --error-exitcode=1 --leak-check=full --errors-for-leak-kinds=definite \
	    $(BUILD)/cpp/tests/cpp/tulm_kernel_tests --gtest_brief=1

.PHONY: stress fuzz

# Every function called STRESS_CALLS times per case, succeeding and failing:
# resident and traced memory and the arguments' reference counts stay flat.
STRESS_CALLS ?= 100000
stress: install
	TULM_STRESS_CALLS=$(STRESS_CALLS) $(VPY) -m pytest -m stress

# libFuzzer (Debian's clang) over the two checks, with AddressSanitizer and
# UBSan, FUZZ_SECONDS each. The corpus grows in $(FUZZ_DIR)/corpus from run to
# run; an input that fails is left beside it and its report printed.
FUZZ_DIR     := $(BUILD)/fuzz
FUZZ_SECONDS ?= 60
FUZZERS      := mean_consistency_fuzz cby_check_fuzz
fuzz:
	cmake -S . -B $(FUZZ_DIR) -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	    -DTULM_FUZZ=ON -DTULM_BUILD_MODULE=OFF -DTULM_WERROR=ON
	cmake --build $(FUZZ_DIR) -j $(JOBS)
	@for fuzzer in $(FUZZERS); do \
	    mkdir -p $(FUZZ_DIR)/corpus/$$fuzzer; \
	    echo "$$fuzzer: $(FUZZ_SECONDS) s"; \
	    $(FUZZ_DIR)/tests/fuzz/$$fuzzer -max_total_time=$(FUZZ_SECONDS) -timeout=10 \
	        -artifact_prefix=$(FUZZ_DIR)/$$fuzzer- $(FUZZ_DIR)/corpus/$$fuzzer \
	        > $(FUZZ_DIR)/$$fuzzer.log 2>&1 \
	        || { tail -n 60 $(FUZZ_DIR)/$$fuzzer.log; exit 1; }; \
	    grep -E '^Done [0-9]+ runs' $(FUZZ_DIR)/$$fuzzer.log; \
	done

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
	cd $(WHEEL_RUN) && ../wheel-venv/bin/python -m pytest -p no:cacheprovider \
	    -c $(CURDIR)/pyproject.toml $(CURDIR)/tests/python

# The benchmark suite, not part of make test: it rewrites bench/results/.
# BENCH_ARGS=--quick gives a smoke run.
bench: install $(VENV)/.group-bench
	$(VPY) bench/run.py $(BENCH_ARGS)

# Closed BY on the demo, log-uniform and linear screens, answers checked
# against the reference check (bench/cby_screens.py; BENCH_ARGS=--quick).
bench-cby: install $(VENV)/.group-bench
	$(VPY) bench/cby_screens.py $(BENCH_ARGS)

clean:
	rm -rf $(BUILD) $(VENV) dist
