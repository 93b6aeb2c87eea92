"""How deep the module can be called, against plain Python calls. Each case
runs in a child interpreter: running past a stack ends the process."""
import pytest

from test_crashes import run_child

# The child measures, at each recursion limit, how deep plain Python calls go
# and how deep a recursion calling the module goes before the module refuses.
# Every module call must return or raise its own error or RecursionError.
MEASURE = """
import sys, threading

# Where the host compiles hot code, how much stack a frame takes changes when
# it does; with compilation off each depth costs the same in every run.
try:
    import pypyjit
except ImportError:
    pass
else:
    pypyjit.set_param("off")

def plain():
    pass

def depth_reached(call):
    # The depth at which `call` first raised RecursionError, or at which the
    # recursion itself did; what else it raised, by kind. The recursion goes
    # on to its own limit, calling at every depth.
    state = {"depth": 0, "refused": None, "other": set()}
    def descend(depth):
        state["depth"] = depth
        try:
            call()
        except RecursionError:
            if state["refused"] is None:
                state["refused"] = depth
        except Exception as caught:
            state["other"].add(f"{type(caught).__name__}: {caught}")
        descend(depth + 1)
    try:
        descend(0)
    except RecursionError:
        pass
    refused = state["refused"] if state["refused"] is not None else state["depth"]
    return refused, sorted(state["other"])

def measure(limit):
    old = sys.getrecursionlimit()
    sys.setrecursionlimit(limit)
    try:
        plain_depth = depth_reached(plain)[0]
        module_depth, other = depth_reached(lambda: C({"a": 1.0, "b": 2.0}))
    finally:
        sys.setrecursionlimit(old)
    return [limit, plain_depth, module_depth, other]

def in_thread(stack_size, limits):
    results = []
    threading.stack_size(stack_size)
    def run():
        for limit in limits:
            results.append(measure(limit))
    thread = threading.Thread(target=run)
    thread.start()
    thread.join()
    threading.stack_size(0)
    return results
"""


def within_reach(results):
    """Checks each measurement: the module refused no deeper than plain calls
    reach and no more than the host's allowance shallower; no other error."""
    # A host that counts calls (CPython) lets plain calls reach about the
    # limit, and the module's guard costs a frame or two of it. A host that
    # counts machine stack (PyPy: 768 bytes of it per unit of the limit) lets
    # plain calls reach further, and the module keeps 16 KiB of that stack
    # for its own calls into the host, which need up to 8 KiB there. Measured
    # at the limits of these tests, in the main thread and in threads: 39 to 45
    # plain frames on PyPy 7.3.11, 7.3.19 and 8.0.1 (x86-64), 29 to 40 on their
    # 32-bit builds, 0 or 1 on CPython 3.11, 3.14 and 3.15.
    for limit, plain_depth, module_depth, other in results:
        counts_calls = plain_depth <= limit
        allowance = 4 if counts_calls else 48
        assert other == [], (limit, other)
        assert plain_depth - allowance <= module_depth <= plain_depth + 2, (limit, plain_depth, module_depth)


def test_depth_against_plain_calls_at_any_recursion_limit():
    lines = run_child(MEASURE + "print([measure(limit) for limit in (60, 100, 300, 1000)])")
    within_reach(eval(lines[0]))


@pytest.mark.parametrize("kib", [256, 512, 1024])
def test_recursion_in_a_thread_with_a_small_stack(kib):
    # Limits up to where plain calls just about fill the thread's stack on a
    # host that measures its limit as stack (768 bytes per unit on PyPy, plus
    # a few KiB the thread uses before its first frame); a host that counts
    # calls reaches them with room to spare. Past them, plain calls themselves
    # overflow the stack on PyPy.
    limits = [kib, kib * 6 // 5, kib * 5 // 4]
    lines = run_child(MEASURE + f"print(in_thread({kib} * 1024, {limits}))")
    results = eval(lines[0])
    assert [row[0] for row in results] == limits
    within_reach(results)
