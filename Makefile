# The two commands a new user needs: `make demo` and `make test`. Both install
# what is missing (Debian packages, project-local virtual environments), build,
# and run; run again, they skip what is already done.

SHELL := /bin/bash
BUILD := build
VENV := .venv
STAMPS := $(BUILD)/stamps
JOBS := $(shell nproc 2>/dev/null || echo 2)

PYPY := $(VENV)/pypy/bin/python
CPYTHON := $(VENV)/cpython/bin/python

DEBIAN_PACKAGES := pypy3 pypy3-dev pypy3-venv python3 python3-dev python3-venv g++ make cmake \
                   googletest libgtest-dev

CMAKE_FLAGS := -DCORVANE_WERROR=ON -DCMAKE_BUILD_TYPE=Release

.PHONY: demo test setup build build-pypy build-cpython test-store test-pypy test-cpython clean \
        bench bench-smoke bench-build

demo: build-pypy
	PYTHONPATH=$(BUILD)/pypy $(PYPY) examples/demo.py

test: test-store test-pypy test-cpython bench-smoke

setup: $(STAMPS)/debian $(VENV)/pypy/.ready $(VENV)/cpython/.ready

$(STAMPS)/debian: tools/debian-packages.sh
	tools/debian-packages.sh $(DEBIAN_PACKAGES)
	@mkdir -p $(STAMPS) && touch $@

$(VENV)/pypy/.ready: tests/requirements.txt | $(STAMPS)/debian
	pypy3 -m venv $(VENV)/pypy
	$(PYPY) -m pip install -q --disable-pip-version-check -r tests/requirements.txt
	touch $@

$(VENV)/cpython/.ready: tests/requirements.txt | $(STAMPS)/debian
	/usr/bin/python3 -m venv $(VENV)/cpython
	$(CPYTHON) -m pip install -q --disable-pip-version-check -r tests/requirements.txt
	touch $@

build: build-pypy build-cpython

# CMake decides what is out of date; these targets always ask it.
build-pypy: $(VENV)/pypy/.ready
	cmake -S . -B $(BUILD)/pypy $(CMAKE_FLAGS) -DCORVANE_PYTHON=$(abspath $(PYPY)) >/dev/null
	cmake --build $(BUILD)/pypy -j $(JOBS) --target corvane

build-cpython: $(VENV)/cpython/.ready
	cmake -S . -B $(BUILD)/cpython $(CMAKE_FLAGS) -DCORVANE_PYTHON=$(abspath $(CPYTHON)) >/dev/null
	cmake --build $(BUILD)/cpython -j $(JOBS) --target corvane

test-store: $(STAMPS)/debian
	cmake -S . -B $(BUILD)/store $(CMAKE_FLAGS) -DCORVANE_BUILD_MODULE=OFF -DCORVANE_BUILD_TESTS=ON >/dev/null
	cmake --build $(BUILD)/store -j $(JOBS)
	$(BUILD)/store/tests/store/store_tests --gtest_brief=1

test-pypy: build-pypy
	PYTHONPATH=$(BUILD)/pypy $(PYPY) -m pytest -q -p no:cacheprovider tests

test-cpython: build-cpython
	PYTHONPATH=$(BUILD)/cpython $(CPYTHON) -m pytest -q -p no:cacheprovider tests

# The benchmark (bench/): numpy, pandas and matplotlib live in a venv of their
# own, so that the tests never depend on them. The module and the floor probe
# are built in release mode for each host; CPython's build serves both of its
# venvs, which run the same interpreter.
BENCH_PY := $(VENV)/bench/bin/python
BENCH_OUT := $(BUILD)/bench

$(VENV)/bench/.ready: bench/requirements.txt | $(STAMPS)/debian
	/usr/bin/python3 -m venv $(VENV)/bench
	$(BENCH_PY) -m pip install -q --disable-pip-version-check -r bench/requirements.txt
	touch $@

bench-build: build-pypy build-cpython
	cmake --build $(BUILD)/pypy -j $(JOBS) --target corvane_floor
	cmake --build $(BUILD)/cpython -j $(JOBS) --target corvane_floor store_bench

bench: bench-build $(VENV)/bench/.ready
	@mkdir -p $(BENCH_OUT)
	PYTHONPATH=$(BUILD)/pypy:$(BUILD)/pypy/bench $(PYPY) bench/run.py --out $(BENCH_OUT)/pypy.json --reps 5
	PYTHONPATH=$(BUILD)/cpython:$(BUILD)/cpython/bench $(BENCH_PY) bench/run.py --out $(BENCH_OUT)/cpython.json --reps 5
	$(BUILD)/cpython/bench/store_bench 9 10000 1000000 > $(BENCH_OUT)/store.json
	$(BENCH_PY) bench/report.py $(BENCH_OUT)/pypy.json $(BENCH_OUT)/cpython.json --store $(BENCH_OUT)/store.json \
	    --table $(BENCH_OUT)/table.md --plot $(BENCH_OUT)/bench.png

# Once through the whole suite at a tiny size so that it cannot rot; the
# numbers mean nothing and nothing is asserted about them.
bench-smoke: bench-build
	@mkdir -p $(BUILD)/bench-smoke
	PYTHONPATH=$(BUILD)/pypy:$(BUILD)/pypy/bench $(PYPY) bench/run.py --out $(BUILD)/bench-smoke/pypy.json \
	    --sizes 1000 --reps 1 --min-rep-ms 0 --warm-s 0.01 --memory-n 1000 --memory-copies 2 >/dev/null
	PYTHONPATH=$(BUILD)/cpython:$(BUILD)/cpython/bench $(CPYTHON) bench/run.py --out $(BUILD)/bench-smoke/cpython.json \
	    --sizes 1000 --reps 1 --min-rep-ms 0 --warm-s 0.01 --memory-n 1000 --memory-copies 2 >/dev/null
	$(BUILD)/cpython/bench/store_bench 1 1000 > $(BUILD)/bench-smoke/store.json
	$(CPYTHON) bench/report.py $(BUILD)/bench-smoke/pypy.json $(BUILD)/bench-smoke/cpython.json \
	    --store $(BUILD)/bench-smoke/store.json --sizes 1000 >/dev/null

clean:
	rm -rf $(BUILD)
