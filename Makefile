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
TOOLS := $(VENV)/tools/bin

DEBIAN_PACKAGES := pypy3 pypy3-dev pypy3-venv python3 python3-dev python3-venv g++ make cmake \
                   googletest libgtest-dev clang-format-16 clang-tidy-16

CMAKE_FLAGS := -DCORVANE_WERROR=ON -DCMAKE_BUILD_TYPE=Release

.PHONY: demo test setup build build-pypy build-cpython lint test-store test-pypy test-cpython test-installed \
        setup-i386 build-i386 test-i386 clean

demo: build-pypy
	PYTHONPATH=$(BUILD)/pypy $(PYPY) examples/demo.py

# The Python suite runs against the installed wheels (PyPy and CPython) and the
# 32-bit build; test-pypy and test-cpython run it against the build trees, for
# quicker turns while working.
test: lint test-store test-installed test-i386

setup: $(STAMPS)/debian $(VENV)/pypy/.ready $(VENV)/cpython/.ready $(VENV)/tools/.ready

$(STAMPS)/debian: tools/debian-packages.sh Makefile
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

$(VENV)/tools/.ready: tools/requirements.txt | $(STAMPS)/debian
	/usr/bin/python3 -m venv $(VENV)/tools
	$(TOOLS)/pip install -q --disable-pip-version-check -r tools/requirements.txt
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

# Checks only, never changes a file. clang-tidy reads the compile commands
# that configuring the PyPy build writes.
lint: $(STAMPS)/debian $(VENV)/pypy/.ready $(VENV)/tools/.ready
	git ls-files '*.cpp' '*.hpp' | xargs clang-format-16 --dry-run --Werror
	cmake -S . -B $(BUILD)/pypy $(CMAKE_FLAGS) -DCORVANE_PYTHON=$(abspath $(PYPY)) >/dev/null
	tools/clang-tidy.sh $(BUILD)/pypy
	$(TOOLS)/ruff check .

# A wheel per host from one sdist, each installed into a new virtual
# environment and tested there.
test-installed: $(STAMPS)/debian $(VENV)/tools/.ready
	tools/test-installed.sh $(TOOLS)/python pypy3 /usr/bin/python3

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
