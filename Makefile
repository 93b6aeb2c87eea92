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

# The virtual environments under $(VENV)/: the interpreter each is made from,
# then the requirements files it installs. pypy and cpython test the module
# (the cluster's packages live in CPython's alone), tools holds the linters and
# the wheel builders; the leak hunt, the benchmark and the frame fuzzer each
# have one of their own, made only when their target first runs.
venv.pypy := pypy3 tests/requirements.txt
venv.cpython := /usr/bin/python3 tests/requirements.txt tests/requirements-cluster.txt
venv.tools := /usr/bin/python3 tools/requirements.txt tools/wheel-requirements.txt
venv.cpython-dbg := /usr/bin/python3-dbg tests/requirements.txt
venv.bench := /usr/bin/python3 bench/requirements.txt
venv.fuzz := /usr/bin/python3 fuzz/requirements.txt
venv-python = $(firstword $(venv.$(1)))
venv-requirements = $(wordlist 2,$(words $(venv.$(1))),$(venv.$(1)))

# The demo needs only a compiler and PyPy with its headers; the tests add the
# rest.
DEMO_PACKAGES := pypy3 pypy3-dev g++ make cmake
DEBIAN_PACKAGES := $(DEMO_PACKAGES) pypy3-venv python3 python3-dev python3-venv debootstrap \
                   googletest libgtest-dev clang-format-16 clang-tidy-16

CMAKE_FLAGS := -DCORVANE_WERROR=ON -DCMAKE_BUILD_TYPE=Release

# $(call configure-and-build,TREE,FLAGS[,TARGETS]): configures the build tree
# $(BUILD)/TREE with FLAGS and builds TARGETS there (all of its default targets
# when none are named). CMake decides what is out of date.
define configure-and-build
	cmake -S . -B $(BUILD)/$(1) $(2) >/dev/null
	cmake --build $(BUILD)/$(1) -j $(JOBS)$(if $(3), --target $(3))
endef

# The flag that builds the module for the interpreter at the given path.
for-host = -DCORVANE_PYTHON=$(abspath $(1))

# $(call pytest,TREE,PYTHON,ARGS): pytest with ARGS (the suite, or the files
# named) on PYTHON, importing the module from the build tree(s) TREE.
pytest = PYTHONPATH=$(1) $(2) -m pytest -q -p no:cacheprovider $(3)

.PHONY: demo test setup build build-pypy build-cpython lint test-store test-pypy test-cpython test-installed \
        hosts test-i386 clean test-faults test-faults-pypy test-faults-cpython \
        sanitize sanitize-store sanitize-python leaks fuzz fuzz-build fuzz-frame check-deep \
        bench bench-smoke bench-build test-cluster wheels

# Built for Debian's PyPy itself, without a virtual environment: the demo
# imports nothing but the module, so it installs no test tools.
demo: $(STAMPS)/debian-demo
	$(call configure-and-build,demo,$(CMAKE_FLAGS) $(call for-host,/usr/bin/pypy3),corvane)
	PYTHONPATH=$(BUILD)/demo /usr/bin/pypy3 examples/demo.py

# The everyday run: lint, the store's unit tests, the Python suite (hostile
# inputs and threads included) against the installed wheels of PyPy and of
# every CPython present, pickling through a real cluster on CPython, and on
# the 32-bit build; allocation failure injection on both hosts, the Python
# suite under the sanitizers, and the benchmark once at a tiny size; last, the
# summary of the interpreters tested. test-pypy and test-cpython run the suite
# against the build trees, for quicker turns while working.
test: lint test-store test-installed test-cluster test-i386 test-faults sanitize-python bench-smoke
	@cat $(BUILD)/installed/summary.txt

# The long runs, for a release or a night: everything above, the store's unit
# tests under the sanitizers (their sanitized build alone takes minutes), the
# leak hunt on a debug interpreter and bounded fuzzing sessions of the store
# and of the module.
check-deep: test sanitize-store leaks fuzz fuzz-frame

setup: $(STAMPS)/debian $(VENV)/pypy/.ready $(VENV)/cpython/.ready $(VENV)/tools/.ready

$(STAMPS)/debian: tools/debian-packages.sh Makefile
	tools/debian-packages.sh $(DEBIAN_PACKAGES)
	@mkdir -p $(STAMPS) && touch $@

$(STAMPS)/debian-demo: tools/debian-packages.sh Makefile
	tools/debian-packages.sh $(DEMO_PACKAGES)
	@mkdir -p $(STAMPS) && touch $@

# Every virtual environment, as the table above has it; Debian's debug CPython
# is installed when its venv is first made.
.SECONDEXPANSION:
$(VENV)/%/.ready: $$(call venv-requirements,$$*) | $(STAMPS)/debian
	$(if $(filter cpython-dbg,$*),tools/debian-packages.sh python3-dbg)
	$(call venv-python,$*) -m venv $(VENV)/$*
	$(VENV)/$*/bin/python -m pip install -q --disable-pip-version-check $(addprefix -r ,$(call venv-requirements,$*))
	touch $@

build: build-pypy build-cpython

# The module for the test venv's interpreter, into $(BUILD)/pypy or
# $(BUILD)/cpython. CMake decides what is out of date; these targets always ask it.
build-pypy build-cpython: build-%: $(VENV)/%/.ready
	$(call configure-and-build,$*,$(CMAKE_FLAGS) $(call for-host,$(VENV)/$*/bin/python),corvane)

test-store: $(STAMPS)/debian
	$(call configure-and-build,store,$(CMAKE_FLAGS) -DCORVANE_BUILD_MODULE=OFF -DCORVANE_BUILD_TESTS=ON)
	$(BUILD)/store/tests/store/store_tests --gtest_brief=1

# Checks only, never changes a file. clang-tidy reads the compile commands
# that configuring the PyPy build writes.
lint: $(STAMPS)/debian $(VENV)/pypy/.ready $(VENV)/tools/.ready
	git ls-files '*.cpp' '*.hpp' | xargs clang-format-16 --dry-run --Werror
	cmake -S . -B $(BUILD)/pypy $(CMAKE_FLAGS) $(call for-host,$(PYPY)) >/dev/null
	tools/clang-tidy.sh $(BUILD)/pypy
	$(TOOLS)/ruff check .

# What we distribute, into dist/: the sdist and, built from it, one wheel per
# interpreter that tools/interpreters.sh names (Debian's PyPy and CPython here,
# each pyenv CPython 3.9, 3.10, 3.12 and 3.13 present, and every interpreter of
# the host trees in tools/hosts/list), each built where its interpreter lives,
# repaired by auditwheel and tagged with the manylinux policy it meets.
wheels: hosts $(VENV)/tools/.ready
	tools/wheels.sh $(TOOLS)/python

# Those wheels, each installed into a new virtual environment and tested
# there; ends with a summary of the interpreters tested and skipped.
test-installed: hosts $(VENV)/tools/.ready
	tools/test-installed.sh $(TOOLS)/python

# The quick loop while working: the whole suite against one host's build tree.
test-pypy test-cpython: test-%: build-%
	$(call pytest,$(BUILD)/$*,$(VENV)/$*/bin/python,tests)

# What needs the packages that only Debian CPython's test venv holds: the
# Dask cluster, the shard example over a process pool, and the stub checked
# with numpy scalars (mypy there, basedpyright from the tools venv).
test-cluster: build-cpython $(VENV)/tools/.ready
	$(call pytest,$(BUILD)/cpython,$(CPYTHON),tests/test_pickle.py tests/test_typing.py)

# The host trees: minimal Debian trees of other suites and architectures in
# .hosts/, each holding interpreters of tools/hosts/list with its own compiler
# (PyPy 3.11 7.3.19 and 8.0, CPython 3.14 and 3.15, and the 32-bit x86 PyPys).
# Made once, then skipped while they hold what the list names.
hosts: $(STAMPS)/debian
	tools/hosts/setup.sh

# The 32-bit x86 leg of the store: its unit tests built and run natively inside
# the Debian 12 i386 tree, with that tree's own compiler, as on a 32-bit
# system (the module's own 32-bit leg is its wheel, tested on every i386 PyPy
# by test-installed).
I386_TREE := bookworm-i386

test-i386: hosts
	tools/hosts/run.sh $(I386_TREE) cmake -S . -B $(BUILD)/store-i386 $(CMAKE_FLAGS) \
	    -DCORVANE_BUILD_MODULE=OFF -DCORVANE_BUILD_TESTS=ON >/dev/null
	tools/hosts/run.sh $(I386_TREE) cmake --build $(BUILD)/store-i386 -j $(JOBS)
	tools/hosts/run.sh $(I386_TREE) $(BUILD)/store-i386/tests/store/store_tests --gtest_brief=1

# --- Allocation failure injection -------------------------------------------
# A module whose store allocations can be made to fail on demand, and which
# exports C hooks (not attributes) for tests to drive it through ctypes.
FAULT_FLAGS := $(CMAKE_FLAGS) -DCORVANE_FAULT_INJECTION=ON

test-faults: test-faults-pypy test-faults-cpython

test-faults-pypy test-faults-cpython: test-faults-%: $(VENV)/%/.ready
	$(call configure-and-build,faults-$*,$(FAULT_FLAGS) $(call for-host,$(VENV)/$*/bin/python),corvane)
	$(call pytest,$(BUILD)/faults-$*,$(VENV)/$*/bin/python,tests/test_faults.py tests/test_bulk_path.py)

# --- Sanitizers ----------------------------------------------------------------
# AddressSanitizer and UndefinedBehaviorSanitizer, any finding fatal, over the
# store's unit tests and over the whole Python suite on CPython (with failure
# injection built in, so the failure paths run under the sanitizers too). The
# interpreter itself is not instrumented: the ASan runtime is preloaded into it,
# with libstdc++ beside it so that ASan finds the C++ runtime's throw it wraps
# (the interpreter does not link libstdc++ itself). PYTHONMALLOC=malloc hands
# every Python object to ASan as well. Leaks of the interpreter itself at exit
# are named in tools/lsan-interpreter.supp by function, so the interpreter's
# frames must be symbolised: python3-dbg carries the detached symbols of the
# release interpreter and llvm the symboliser. Without them every stack stops
# at an unnamed address and no suppression can match.
SANITIZE_FLAGS := -DCMAKE_CXX_COMPILER=g++ -DCORVANE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
                 -DCORVANE_SANITIZE=address,undefined
SANITIZER_PRELOAD = $(shell g++ -print-file-name=libasan.so) $(shell g++ -print-file-name=libstdc++.so.6)
SANITIZER_ENV = ASAN_OPTIONS=detect_leaks=1:abort_on_error=1:strict_string_checks=1:detect_stack_use_after_return=1 \
                LSAN_OPTIONS=suppressions=$(abspath tools/lsan-interpreter.supp) \
                UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

sanitize: sanitize-store sanitize-python

sanitize-store: $(STAMPS)/debian
	$(call configure-and-build,sanitize-store,$(SANITIZE_FLAGS) -DCORVANE_BUILD_MODULE=OFF -DCORVANE_BUILD_TESTS=ON)
	$(SANITIZER_ENV) $(BUILD)/sanitize-store/tests/store/store_tests --gtest_brief=1

sanitize-python: $(VENV)/cpython/.ready
	tools/debian-packages.sh python3-dbg llvm
	$(call configure-and-build,sanitize-cpython,$(SANITIZE_FLAGS) -DCORVANE_FAULT_INJECTION=ON $(call for-host,$(CPYTHON)),corvane)
	$(SANITIZER_ENV) PYTHONMALLOC=malloc LD_PRELOAD="$(SANITIZER_PRELOAD)" \
	    $(call pytest,$(BUILD)/sanitize-cpython,$(CPYTHON),tests)

# --- Reference leaks -----------------------------------------------------------
# Debian's debug CPython counts every reference and memory block; the leak_hunt
# plugin runs each test repeatedly and fails a test that grows either count.
DEBUG_PYTHON := $(VENV)/cpython-dbg/bin/python

leaks: $(VENV)/cpython-dbg/.ready
	$(call configure-and-build,cpython-dbg,$(CMAKE_FLAGS) $(call for-host,$(DEBUG_PYTHON)),corvane)
	$(call pytest,$(BUILD)/cpython-dbg:tools,$(DEBUG_PYTHON),-p leak_hunt tests)

# --- Fuzzing -------------------------------------------------------------------
# libFuzzer over the store layer alone, against a plain reference model. Runs
# for FUZZ_SECONDS from the corpus in fuzz/corpus/ (new finds go to build/).
# Clang 16, the first Debian clang whose std::source_location works with
# libstdc++ 12; clang enables sized deallocation only on request.
# Inputs of at most 512 bytes describe maps of up to ~50 entries, enough to
# grow every table several times over; longer ones only make each run dearer.
# AddressSanitizer's fake stacks are left out here: every injected allocation
# failure throws, and each throw makes it sweep all of them, which cost a third
# of the run (the sanitizer suites keep them). A crash found here replays with
# `build/fuzz/fuzz/store_fuzz FILE`.
FUZZ_SECONDS ?= 600
FUZZ_CXX := clang++-16
FUZZ_ENV := ASAN_OPTIONS=detect_stack_use_after_return=0
FUZZ_FLAGS := -DCMAKE_CXX_COMPILER=$(FUZZ_CXX) -DCMAKE_CXX_FLAGS=-fsized-deallocation \
              -DCORVANE_WERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo \
              -DCORVANE_BUILD_MODULE=OFF -DCORVANE_BUILD_FUZZER=ON \
              -DCORVANE_SANITIZE=fuzzer-no-link,address,undefined

fuzz-build: $(STAMPS)/debian
	tools/debian-packages.sh clang-16 libclang-rt-16-dev
	$(call configure-and-build,fuzz,$(FUZZ_FLAGS),store_fuzz)

# One fuzzing process per core, sharing the corpus; each writes its log to
# build/fuzz/logs/, and the executions of all of them are added up at the end.
fuzz: fuzz-build
	@mkdir -p $(BUILD)/fuzz/corpus $(BUILD)/fuzz/logs && rm -f $(BUILD)/fuzz/logs/fuzz-*.log
	cd $(BUILD)/fuzz/logs && $(FUZZ_ENV) ../fuzz/store_fuzz -jobs=$(JOBS) -workers=$(JOBS) \
	    -max_total_time=$(FUZZ_SECONDS) -print_final_stats=1 -max_len=512 -artifact_prefix=$(abspath $(BUILD)/fuzz)/ \
	    ../corpus $(abspath fuzz/corpus) >/dev/null
	@awk '/^stat::number_of_executed_units/ {runs += $$2; jobs++} /^stat::average_exec_per_sec/ {rate += $$2} \
	    END {printf "store_fuzz: %d processes, %d executions, %d per second\n", jobs, runs, rate}' \
	    $(BUILD)/fuzz/logs/fuzz-*.log

# The module driven from Python on CPython: random calls with random
# arguments, hostile ones included, each checked against a plain-Python model
# (fuzz/frame_fuzz.py). atheris lives in a venv of its own; the module is the
# CPython build, which the venv's interpreter (the same one) loads. Runs for
# FRAME_FUZZ_SECONDS from the seed corpus in fuzz/frame-corpus/.
FRAME_FUZZ_SECONDS ?= 300
FUZZ_PY := $(VENV)/fuzz/bin/python

fuzz-frame: build-cpython $(VENV)/fuzz/.ready
	@mkdir -p $(BUILD)/fuzz-frame/corpus
	PYTHONPATH=$(BUILD)/cpython $(FUZZ_PY) fuzz/frame_fuzz.py -max_total_time=$(FRAME_FUZZ_SECONDS) \
	    -print_final_stats=1 -max_len=2048 -artifact_prefix=$(BUILD)/fuzz-frame/ \
	    $(BUILD)/fuzz-frame/corpus fuzz/frame-corpus

# The benchmark (bench/): numpy, pandas and matplotlib live in a venv of their
# own, so that the tests never depend on them. The module and the floor probe
# are built in release mode for each host; CPython's build serves both of its
# venvs, which run the same interpreter.
BENCH_PY := $(VENV)/bench/bin/python
BENCH_OUT := $(BUILD)/bench

# Every PyPy the benchmark times: Debian 12's here, then the trees' releases
# (bench/hosts.sh builds the module and the floor probe inside each host).
BENCH_PYPYS := /usr/bin/pypy3 trixie-amd64:/usr/bin/pypy3 sid-amd64:/usr/bin/pypy3

bench-build: build-cpython
	cmake --build $(BUILD)/cpython -j $(JOBS) --target corvane_floor store_bench

bench: bench-build hosts $(VENV)/bench/.ready
	@mkdir -p $(BENCH_OUT)
	bench/hosts.sh --build $(BUILD) $(BENCH_OUT) $(BENCH_PYPYS) -- --reps 3 --warm-s 0.15
	PYTHONPATH=$(BUILD)/cpython:$(BUILD)/cpython/bench $(BENCH_PY) bench/run.py --out $(BENCH_OUT)/cpython.json --reps 3
	$(BUILD)/cpython/bench/store_bench 9 10000 1000000 > $(BENCH_OUT)/store.json
	$(BENCH_PY) bench/report.py $(BENCH_OUT)/pypy-*.json $(BENCH_OUT)/cpython.json --store $(BENCH_OUT)/store.json \
	    --table $(BENCH_OUT)/table.md --plot $(BENCH_OUT)/bench.png

# Once through the whole suite at a tiny size on every PyPy and on CPython so
# that it cannot rot; the numbers mean nothing and nothing is asserted about them.
# The job and the steady loops run beside a live dict of 10,000 entries here.
BENCH_SMOKE_ARGS := --sizes 1000 --reps 1 --min-rep-ms 0 --warm-s 0.01 --memory-n 1000 --memory-copies 2 \
                    --live-heap 10000 --steady-mb 1 --job-entries 2000 --job-min-s 0

bench-smoke: bench-build hosts
	@mkdir -p $(BUILD)/bench-smoke
	bench/hosts.sh --build $(BUILD) $(BUILD)/bench-smoke $(BENCH_PYPYS) -- $(BENCH_SMOKE_ARGS) >/dev/null
	PYTHONPATH=$(BUILD)/cpython:$(BUILD)/cpython/bench $(CPYTHON) bench/run.py --out $(BUILD)/bench-smoke/cpython.json \
	    $(BENCH_SMOKE_ARGS) >/dev/null
	$(BUILD)/cpython/bench/store_bench 1 1000 > $(BUILD)/bench-smoke/store.json
	$(CPYTHON) bench/report.py $(BUILD)/bench-smoke/pypy-*.json $(BUILD)/bench-smoke/cpython.json \
	    --store $(BUILD)/bench-smoke/store.json --sizes 1000 >/dev/null

clean:
	rm -rf $(BUILD)
