"""Large native blocks are reported to the host, so memory stays bounded."""
import os
import subprocess
import sys
import textwrap

import pytest

from conftest import IS_PYPY

N = 1_000_000
DOMAIN = 0x636F7276

LOOP = textwrap.dedent(f"""
    import corvane, gc, time

    def status(field):
        with open("/proc/self/status") as f:
            for line in f:
                if line.startswith(field):
                    return int(line.split()[1]) * 1024

    base = corvane.CorvaneDict({{f"k{{i}}": float(i) for i in range({N})}})
    kept = [base.multiply_scalar(2.0) for _ in range(3)]
    gc.collect()  # start from a heap without the source dict's garbage
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")  # start the peak over from here
    before = status("VmRSS")
    started = time.perf_counter()
    for i in range(300):
        kept[i % 3] = kept[(i + 1) % 3].add(base)
    print(status("VmHWM") - before, time.perf_counter() - started)
""")


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""),
                    reason="AddressSanitizer's quarantine holds freed blocks back, so resident size "
                           "says nothing about the module's memory there")
def test_deriving_large_results_keeps_memory_bounded():
    result = subprocess.run([sys.executable, "-c", LOOP], capture_output=True, text=True, timeout=300)
    assert result.returncode == 0, result.stderr
    growth, _seconds = map(float, result.stdout.split())
    # What the loop keeps alive: the base (within its budget of 48 bytes per
    # entry) and four results of 8 bytes per entry. A collector that does not
    # hear of the native blocks lets hundreds of dead results pile up instead.
    live_need = N * (48 + 4 * 8)
    assert growth < 3 * live_need, f"peak grew by {growth / 1e6:.0f} MB"


@pytest.mark.skipif(IS_PYPY, reason="tracemalloc is a CPython facility")
def test_tracemalloc_attributes_results_to_the_calling_line():
    import tracemalloc

    from corvane import CorvaneDict

    base = CorvaneDict({f"k{i}": float(i) for i in range(N)})
    tracemalloc.start()
    try:
        result = base.multiply_scalar(2.0)  # the line that should be blamed
        snapshot = tracemalloc.take_snapshot().filter_traces([tracemalloc.DomainFilter(True, DOMAIN)])
    finally:
        tracemalloc.stop()
    stats = snapshot.statistics("lineno")
    assert stats, "no block of the module was traced"
    top = stats[0]
    assert 7.9e6 < top.size < 8.5e6
    assert top.traceback[0].filename == __file__
    assert "multiply_scalar" in open(__file__).read().splitlines()[top.traceback[0].lineno - 1]
    del result
