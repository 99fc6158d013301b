# make demo: set up, build, install and run the demo.
# make test: set up, build, install and run every test suite.

PYTHON ?= $(shell scripts/find-python3.13)
VENV   := .venv
VPY    := $(VENV)/bin/python
BUILD  := build
JOBS   ?= 2

.PHONY: demo test test-cpp test-python install clean

demo: install
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

install: $(VENV)/.ready
	$(VPY) -m pip install --quiet --no-build-isolation --no-deps \
	    -Ccmake.define.TULM_WERROR=ON .

test-python: install
	$(VPY) -m pytest

test-cpp:
	cmake -S . -B $(BUILD)/cpp -DTULM_BUILD_MODULE=OFF -DTULM_BUILD_TESTS=ON -DTULM_WERROR=ON
	cmake --build $(BUILD)/cpp -j $(JOBS)
	ctest --test-dir $(BUILD)/cpp --output-on-failure

clean:
	rm -rf $(BUILD) $(VENV)
