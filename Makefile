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
        test-faults test-faults-pypy test-faults-cpython

demo: build-pypy
	PYTHONPATH=$(BUILD)/pypy $(PYPY) examples/demo.py

# The everyday run: unit tests, both hosts' suites (hostile inputs and threads
# included) and allocation failure injection on both hosts.
test: test-store test-pypy test-cpython test-faults

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

# --- Allocation failure injection -------------------------------------------
# A module whose store allocations can be made to fail on demand, and which
# exports C hooks (not attributes) for tests to drive it through ctypes.
FAULT_FLAGS := $(CMAKE_FLAGS) -DCORVANE_FAULT_INJECTION=ON

test-faults: test-faults-pypy test-faults-cpython

test-faults-pypy: $(VENV)/pypy/.ready
	cmake -S . -B $(BUILD)/faults-pypy $(FAULT_FLAGS) -DCORVANE_PYTHON=$(abspath $(PYPY)) >/dev/null
	cmake --build $(BUILD)/faults-pypy -j $(JOBS) --target corvane
	PYTHONPATH=$(BUILD)/faults-pypy $(PYPY) -m pytest -q -p no:cacheprovider tests/test_faults.py

test-faults-cpython: $(VENV)/cpython/.ready
	cmake -S . -B $(BUILD)/faults-cpython $(FAULT_FLAGS) -DCORVANE_PYTHON=$(abspath $(CPYTHON)) >/dev/null
	cmake --build $(BUILD)/faults-cpython -j $(JOBS) --target corvane
	PYTHONPATH=$(BUILD)/faults-cpython $(CPYTHON) -m pytest -q -p no:cacheprovider tests/test_faults.py

clean:
	rm -rf $(BUILD)
