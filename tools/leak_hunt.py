"""A pytest plugin that hunts reference and memory leaks on a debug CPython.

Each test function is run several times over with the fixtures it was given:
first WARMUPS runs that fill whatever caches the test touches, then RUNS
measured runs. Around every measured run the plugin collects garbage, clears the
interpreter's caches and reads sys.gettotalrefcount() and
sys.getallocatedblocks(). A test leaks when every measured run grows one of the
two: the rule the interpreter's own leak hunting (regrtest -R) applies, which
ignores the odd one-off allocation of a lazily filled cache but catches anything
that a test leaves behind each time it runs.

Load with `-p leak_hunt` (tools/ on PYTHONPATH), on an interpreter built with
Py_DEBUG; elsewhere the plugin refuses to start."""
import gc
import linecache
import re
import sys

import pytest

WARMUPS = 3
RUNS = 5

# Tests not hunted, with the reason. Matched against the node id's suffix.
EXCLUDED = {
    "test_differential.py": "hypothesis keeps growing its own caches and example database",
    "test_panic.py::test_reraised_panic_resumes_with_the_same_message":
        "the interesting code runs in a child process",
    "test_module.py::test_reimport_returns_the_same_module": "the import system caches modules by design",
    "test_hostile.py::test_a_million_entries": "runs for minutes on a debug interpreter; its paths are "
                                               "hunted on smaller inputs by the other tests",
}

LEAKS = []


def pytest_configure(config):
    if not hasattr(sys, "gettotalrefcount"):
        raise pytest.UsageError("leak_hunt needs a debug interpreter (sys.gettotalrefcount)")


def excluded(item):
    path = item.nodeid.split("/")[-1]
    for pattern, reason in EXCLUDED.items():
        if path == pattern or path.startswith((pattern + "::", pattern + "[")):
            return reason
    return None


def pytest_collection_modifyitems(config, items):
    for item in items:
        reason = excluded(item)
        if reason is not None:
            item.add_marker(pytest.mark.skip(reason=f"not hunted for leaks: {reason}"))


def clear_caches():
    # What regrtest clears between runs: caches that tests fill as a side effect.
    sys._clear_type_cache()
    re.purge()
    linecache.clearcache()
    gc.collect()
    gc.collect()


def counts():
    return sys.gettotalrefcount(), sys.getallocatedblocks()


@pytest.hookimpl(tryfirst=True)
def pytest_pyfunc_call(pyfuncitem):
    function = pyfuncitem.obj
    arguments = {name: pyfuncitem.funcargs[name] for name in pyfuncitem._fixtureinfo.argnames}
    ref_deltas, block_deltas = [], []
    for run in range(WARMUPS + RUNS):
        clear_caches()
        refs_before, blocks_before = counts()
        function(**arguments)
        clear_caches()
        refs_after, blocks_after = counts()
        if run >= WARMUPS:
            ref_deltas.append(refs_after - refs_before)
            block_deltas.append(blocks_after - blocks_before)
    grows = [label for label, deltas in (("references", ref_deltas), ("memory blocks", block_deltas))
             if all(delta >= 1 for delta in deltas)]
    if grows:
        LEAKS.append(pyfuncitem.nodeid)
        pytest.fail(f"leaks {' and '.join(grows)}: reference deltas {ref_deltas}, "
                    f"block deltas {block_deltas} over {RUNS} runs after {WARMUPS} warm-ups", pytrace=False)
    return True


def pytest_terminal_summary(terminalreporter):
    terminalreporter.write_line(
        f"leak hunt: each test run {WARMUPS} + {RUNS} times; {len(LEAKS)} leaking: {LEAKS or 'none'}")
