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

.PHONY: demo test setup build build-pypy build-cpython test-store test-pypy test-cpython \
        setup-i386 build-i386 test-i386 clean

demo: build-pypy
	PYTHONPATH=$(BUILD)/pypy $(PYPY) examples/demo.py

test: test-store test-pypy test-cpython test-i386

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

# The 32-bit x86 leg: the module and the store tests built with -m32 and SSE2
# arithmetic, run by Debian's i386 PyPy under qemu-i386 (tools/i386/setup.sh
# unpacks it into .hosts/i386). Pure-Python test tools come from the x86-64
# PyPy environment. Set CORVANE_I386_RUNNER=native where the kernel runs
# 32-bit programs itself.
I386_PYPY := .hosts/i386/bin/pypy3
I386_SITE := $(abspath $(VENV)/pypy/lib/pypy3.9/site-packages)

setup-i386: $(STAMPS)/debian
	tools/i386/setup.sh

build-i386: setup-i386
	cmake -S . -B $(BUILD)/i386 $(CMAKE_FLAGS) -DCMAKE_TOOLCHAIN_FILE=cmake/i386-toolchain.cmake \
	      -DCORVANE_BUILD_TESTS=ON >/dev/null
	cmake --build $(BUILD)/i386 -j $(JOBS)

test-i386: build-i386 $(VENV)/pypy/.ready
	tools/i386/run32 $(BUILD)/i386/tests/store/store_tests --gtest_brief=1
	PYTHONDONTWRITEBYTECODE= HYPOTHESIS_PROFILE=emulated PYTHONPATH=$(BUILD)/i386:$(I386_SITE) \
	    $(I386_PYPY) -m pytest -q -p no:cacheprovider tests

clean:
	rm -rf $(BUILD)
