"""Running out of memory inside the store. In a build with allocation failure
injection, the k-th store allocation of a call is made to fail, for k = 1, 2, ...
until the call needs fewer allocations than k. Every failing call must raise
MemoryError, change neither operand, hold no borrow and leave no store block
behind. A normal build exports no hooks, and these tests are skipped there."""
import contextlib
import ctypes
import gc
import sys

import pytest

import corvane
from corvane import CorvaneDict
from conftest import host_has, same_values


def load_hooks():
    # None of the hooks touches the interpreter, so CDLL (which releases the
    # interpreter lock around the call) is safe, and PyPy has nothing else.
    library = ctypes.CDLL(corvane.__file__)
    try:
        hooks = {name: getattr(library, "corvane_" + name)
                 for name in ("fail_allocation_after", "live_allocations", "allocations_made", "borrow_flag")}
    except AttributeError:
        return None
    hooks["fail_allocation_after"].argtypes = [ctypes.c_long]
    hooks["fail_allocation_after"].restype = None
    hooks["live_allocations"].restype = ctypes.c_long
    hooks["allocations_made"].restype = ctypes.c_long
    hooks["borrow_flag"].argtypes = [ctypes.c_void_p]
    hooks["borrow_flag"].restype = ctypes.c_long
    return hooks


HOOKS = load_hooks()
pytestmark = pytest.mark.skipif(HOOKS is None, reason="a build without allocation failure injection exports no hooks")

def assert_unborrowed(d, context=""):
    assert type(d) is CorvaneDict
    # Where id() is not the address native code sees, the flag cannot be read;
    # a later call's success is all it shows.
    if host_has("id_is_native_address"):
        assert HOOKS["borrow_flag"](id(d)) == 0, f"borrow left raised {context}"


def live_blocks():
    # Where instances that died earlier give their blocks back only when the
    # collector runs, that could happen in the middle of a measured call.
    if not host_has("freed_at_last_reference"):
        gc.collect()
    return HOOKS["live_allocations"]()


def refcounts(objects):
    if not host_has("reference_counts"):
        return None
    return [sys.getrefcount(o) for o in objects]


@contextlib.contextmanager
def failing_allocation(k):
    """The k-th store allocation from here on fails, until the block ends."""
    HOOKS["fail_allocation_after"](k)
    try:
        yield
    finally:
        HOOKS["fail_allocation_after"](0)


def assert_unchanged(name, snapshots, k):
    for d, before in snapshots:
        same_values(d.to_dict, before)
        assert_unborrowed(d, f"by {name} (k = {k})")


def exhaust(name, call, operands=()):
    """Fails the 1st, 2nd, ... store allocation of `call` until it succeeds;
    returns the successful result and the number of failing runs."""
    snapshots = [(d, d.to_dict) for d in operands]
    counts = refcounts(operands)
    for k in range(1, 1000):
        live = live_blocks()
        result, failed = None, False
        with failing_allocation(k):
            try:
                result = call()
            except MemoryError:
                failed = True
        assert_unchanged(name, snapshots, k)
        if not failed:
            return result, k - 1
        # Checked once the exception and its traceback are gone.
        assert live_blocks() == live, f"{name}: store blocks leaked when allocation {k} failed"
        assert refcounts(operands) == counts, f"{name}: references leaked when allocation {k} failed"
    pytest.fail(f"{name} still failing after 1000 injected failures")


LEFT = {f"key{i}": float(i) for i in range(20)}
RIGHT = {f"key{i}": 0.5 * i for i in range(0, 40, 2)}


class Named(str):
    """Distinct to Python, the same text to the store: keys that collide."""

    def __hash__(self):
        return id(self)

    def __eq__(self, other):
        return self is other


@pytest.mark.parametrize("source", [
    {},
    {"a": 1.0},
    LEFT,
    {f"k{i}": float(i) for i in range(2000)},          # tables and arenas past their first size
    {("x" * 300) + str(i): 1.0 for i in range(64)},   # keys longer than the arena's guess
    {Named("same"): 1.0, Named("same"): 2.0, "other": 3.0},  # repeated text: the vector is trimmed
], ids=["empty", "one", "twenty", "large", "long-keys", "repeated-text"])
def test_construction(source):
    made, failures = exhaust("construct", lambda: CorvaneDict(source))
    assert failures >= (1 if source else 0)
    expected = {}
    for k, v in source.items():
        expected[str(k)] = v
    same_values(made.to_dict, expected)
    assert_unborrowed(made)


def aligned_cases():
    left, right = CorvaneDict(LEFT), CorvaneDict(RIGHT)
    return {
        "identical": (left, left.multiply_scalar(2.0)),
        "equal": (left, CorvaneDict(LEFT)),
        "keyed": (left, right),
        "empty-other": (left, CorvaneDict({})),
        "empty-receiver": (CorvaneDict({}), right),
        "self": (left, left),
    }


@pytest.mark.parametrize("method", ["add", "subtract", "multiply", "divide"])
@pytest.mark.parametrize("case", ["identical", "equal", "keyed", "empty-other", "empty-receiver", "self"])
def test_aligned_operations(method, case):
    receiver, other = aligned_cases()[case]
    expected = getattr(receiver, method)(other, 3.0).to_dict
    result, failures = exhaust(method, lambda: getattr(receiver, method)(other, 3.0), (receiver, other))
    assert failures >= 1
    same_values(result.to_dict, expected)


@pytest.mark.parametrize("method", ["add_scalar", "subtract_scalar", "multiply_scalar", "divide_scalar", "reset"])
@pytest.mark.parametrize("source", [{}, LEFT], ids=["empty", "twenty"])
def test_scalar_operations(method, source):
    receiver = CorvaneDict(source)
    expected = getattr(receiver, method)(4.0).to_dict
    result, failures = exhaust(method, lambda: getattr(receiver, method)(4.0), (receiver,))
    assert failures >= 1
    same_values(result.to_dict, expected)


def test_reads_allocate_nothing_in_the_store():
    d = CorvaneDict(LEFT)
    for name, call in (("sum", d.sum), ("product", d.product), ("to_dict", lambda: d.to_dict)):
        _, failures = exhaust(name, call, (d,))
        assert failures == 0, name


def test_failures_leave_no_pending_state():
    d, e = CorvaneDict(LEFT), CorvaneDict(RIGHT)
    with failing_allocation(1), pytest.raises(MemoryError):
        d.add(e)
    # The next call, on the same objects, succeeds and computes the right thing.
    same_values(d.add(e).to_dict, {k: v + RIGHT.get(k, 0.0) for k, v in LEFT.items()})
    # A chain interrupted half-way: the finished links are intact.
    first = d.add_scalar(1.0)
    with failing_allocation(1), pytest.raises(MemoryError):
        first.multiply(e)
    same_values(first.to_dict, {k: v + 1.0 for k, v in LEFT.items()})
