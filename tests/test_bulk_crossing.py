"""Construction and to_dict take one of two ways across the host boundary on
PyPy: plain dicts of str keys and float (int, bool) values cross in bulk,
everything else entry by entry. Nothing may tell the two apart. A dict
subclass that overrides nothing always takes the entry-by-entry way, so it
serves as the reference for the same contents on every host."""
import os
import subprocess
import sys
import textwrap
import threading

import pytest

from corvane import CorvaneDict
from conftest import bulk_crossing_hooks, needs_host, same_values

EMULATED = os.environ.get("HYPOTHESIS_PROFILE") == "emulated"
SIZE = 300  # past the batch of 64 entries the store takes at once
# Below this many entries PyPy goes entry by entry both ways, even for a plain
# dict; the cases about text and values are padded to it so that they cross.
# A build with fault injection tells its sizes; any other was built with these.
HOOKS = bulk_crossing_hooks()
CROSSES = max(HOOKS["smallest_bulk_construction"](), HOOKS["smallest_bulk_export"]()) if HOOKS else 0
CROSSES = CROSSES or 12


def padded(keys):
    """keys with filler keys in between, so that there are at least CROSSES:
    the first and the last key stay where they are."""
    if len(keys) >= CROSSES:
        return keys
    return keys[:1] + [f"pad{i}" for i in range(CROSSES - len(keys))] + keys[1:]


class Plain(dict):
    """Walked entry by entry: a subclass is never served in bulk."""


class Text(str):
    """Distinct to Python from any equal text, with a length of its own."""

    def __hash__(self):
        return id(self)

    def __eq__(self, other):
        return self is other

    def __len__(self):
        return 1


class Number(float):
    """A float whose conversion says otherwise."""

    def __float__(self):
        return 42.0


def outcome(source):
    """The result's contents, or the exception's type and text."""
    try:
        return "built", CorvaneDict(source).to_dict
    except Exception as error:  # noqa: BLE001 - the exception is what is compared
        return type(error), str(error)


def assert_same_either_way(source):
    bulk, walked = outcome(source), outcome(Plain(source))
    if bulk[0] == "built" and walked[0] == "built":
        same_values(bulk[1], walked[1])
    else:
        assert bulk == walked
    return bulk


def base_entries():
    return [(f"key{i}", float(i) * 0.5) for i in range(SIZE)]


# Entries that leave the bulk way: the first four raise, the last four are
# converted entry by entry without error.
OFFENDERS = {
    "int key": (7, 1.0),
    "None value": ("odd", None),
    "lone surrogate": ("a\ud800b", 1.0),
    "int beyond floats": ("big", 2 ** 1024),
    "str subclass key": (Text("key3"), 2.0),  # the same text as an exact key
    "float subclass value": ("sub", Number(2.5)),
    "int value": ("int", 2 ** 53 + 1),
    "bool value": ("bool", True),
}


@pytest.mark.parametrize("kind", OFFENDERS)
@pytest.mark.parametrize("position", [0, 1, 63, 64, SIZE // 2, SIZE - 1])
def test_one_offending_entry_anywhere(kind, position):
    entries = base_entries()
    entries.insert(position, OFFENDERS[kind])
    status = assert_same_either_way(dict(entries))[0]
    assert (status == "built") == (kind in ("str subclass key", "float subclass value", "int value", "bool value"))


@pytest.mark.parametrize("first, second", [
    ("int key", "None value"), ("None value", "int key"), ("lone surrogate", "int beyond floats"),
    ("int beyond floats", "lone surrogate"), ("str subclass key", "None value"),
])
def test_the_first_failing_entry_in_dict_order_decides(first, second):
    entries = base_entries()
    entries.insert(SIZE - 2, OFFENDERS[second])
    entries.insert(5, OFFENDERS[first])
    assert_same_either_way(dict(entries))


def test_errors_are_the_hosts_own():
    with pytest.raises(TypeError, match="^'int' object cannot be cast as 'str'$"):
        CorvaneDict(dict(base_entries() + [(7, 1.0)]))
    with pytest.raises(OverflowError, match="int too large to convert to float"):
        CorvaneDict(dict(base_entries() + [("big", 2 ** 1024)]))
    with pytest.raises(UnicodeEncodeError):
        CorvaneDict(dict(base_entries() + [("\udc80", 1.0)]))


def test_surrogate_halves_in_neighbouring_keys_stay_lone():
    # Joined, "\ud83d" and "\ude00" sit side by side; they must not pair up.
    source = dict([("a", 1.0), (chr(0xD83D), 2.0), (chr(0xDE00), 3.0), ("b", 4.0)])
    assert len(source) == 4
    assert assert_same_either_way(source)[0] is UnicodeEncodeError


@pytest.mark.parametrize("value", [
    0, -1, 1, 2 ** 53 + 1, -(2 ** 53 + 1), 2 ** 63, 2 ** 64 - 1, 3 ** 200, 10 ** 308,
    2 ** 1024 - 2 ** 971, -(2 ** 1024 - 2 ** 971), 2 ** 1024 - 2 ** 970, True, False,
])
def test_integer_values_round_as_the_host_converts_them(value):
    source = {f"k{i}": float(i) for i in range(10)}
    source["int"] = value
    status, made = assert_same_either_way(source)
    try:
        expected = float(value)
    except OverflowError:
        assert status is OverflowError
        return
    assert status == "built"
    assert made["int"] == expected


@pytest.mark.parametrize("keys", [
    ["a\x00b", "a\x00", "\x00", "", "a", "\x00\x00"],                   # NUL inside, alone, at either end
    ["", "x"],                                                          # the empty key first and last
    ["x", ""],
    ["\u00e9", "e\u0301", "\u4e2d\u6587", "\U0001F600", "\u0000\u00ff"],  # non-ASCII, all widths of UTF-8
    [chr(c) for c in range(128)] + ["\x7f\x00", "more"],                # every ASCII character occurs
    [chr(c) for c in range(1, 128)] + ["\u0101"],                      # all but NUL occur
    ["k" * 100_000, "k" * 99_999 + "\x00"],                            # long keys
])
def test_any_text_crosses_both_ways(keys):
    source = {k: float(i) - 3.5 for i, k in enumerate(padded(keys))}
    d = CorvaneDict(source)
    exported = d.to_dict
    assert exported == source
    assert all(type(k) is str for k in exported) and all(type(v) is float for v in exported.values())
    assert d.add_scalar(1.0).to_dict == {k: v + 1.0 for k, v in source.items()}
    assert_same_either_way(source)


def test_special_floats_keep_their_bits():
    source = {"nan": float("nan"), "inf": float("inf"), "-inf": float("-inf"), "-0": -0.0, "tiny": 5e-324,
              "max": sys.float_info.max, "one": 1.0}
    source.update({key: 1.0 for key in padded([])})
    same_values(CorvaneDict(source).to_dict, source)
    assert_same_either_way(source)


def test_small_dicts_either_way():
    for size in range(CROSSES + 2):
        source = {f"k{i}": float(i) for i in range(size)}
        assert CorvaneDict(source).to_dict == source
        assert_same_either_way(source)


def test_huge_dict_with_the_offender_last():
    n = 20_000 if EMULATED else 300_000
    source = {f"key{i}": float(i) for i in range(n)}
    assert CorvaneDict(source).to_dict == source
    source["z"] = "not a number"
    status, message = outcome(source)
    assert status is TypeError and message == outcome(Plain(source))[1]


def test_construction_sees_one_state_of_a_dict_another_thread_reorders():
    # Each value names its key; the other thread keeps moving keys to the end
    # (a delete and an insert), so a result that took its keys and its values
    # at different moments would pair them wrongly.
    n = 2_000
    source = {f"k{i}": float(i) for i in range(n)}
    keys = list(source)
    stop = threading.Event()

    def reorder():
        i = 0
        while not stop.is_set():
            key = keys[i % n]
            source[key] = source.pop(key)
            i += 1

    previous = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    mover = threading.Thread(target=reorder)
    mover.start()
    try:
        for _ in range(20 if EMULATED else 200):
            try:
                made = CorvaneDict(source).to_dict
            except BaseException as error:  # noqa: B036 - a panic for a size change is allowed
                assert "changed size during iteration" in str(error)
                continue
            assert len(made) in (n - 1, n)
            assert all(value == float(key[1:]) for key, value in made.items())
    finally:
        stop.set()
        mover.join()
        sys.setswitchinterval(previous)


# Reads to_dict of one mapping (or, with "host", makes the same dicts of new
# keys and floats in Python) in a loop that keeps only the last result, and
# prints the median of what each minor collection kept: with nothing but the
# loop alive, that is the result being read and the crossing's own leftovers.
SURVIVORS = textwrap.dedent("""
    import array, gc, statistics, sys
    from corvane import CorvaneDict

    source = {f"key{i:07d}": i * 0.5 for i in range(20000)}
    made = CorvaneDict(source)
    text, numbers = "\\0".join(source), array.array("d", source.values())
    make = (lambda: made.to_dict) if sys.argv[1] == "module" else (lambda: dict(zip(text.split("\\0"), numbers)))
    kept, last = [], [None]

    def minor(stats):
        if last[0] is not None and stats.count == 1:
            kept.append(stats.total_memory_used - last[0])
        last[0] = stats.total_memory_used

    def major_step(stats):
        last[0] = None  # a major collection frees what the minor ones kept

    gc.collect()
    gc.hooks.on_gc_minor, gc.hooks.on_gc_collect_step = minor, major_step
    for _ in range(300):
        result = make()
    gc.hooks.on_gc_minor = gc.hooks.on_gc_collect_step = None
    print(statistics.median(kept))
""")


def kept_by_minor_collections(kind):
    # A fixed nursery, large enough for several results between two minor
    # collections: PyPy sizes it from the processor's cache otherwise.
    env = dict(os.environ, PYPY_GC_NURSERY="64MB")
    done = subprocess.run([sys.executable, "-c", SURVIVORS, kind], capture_output=True, text=True, env=env,
                          timeout=300)
    assert done.returncode == 0, done.stderr[-3000:]
    return float(done.stdout)


@needs_host("minor_collection_hooks")
def test_dicts_read_and_dropped_do_not_outlive_the_next_minor_collection():
    # What C held of a crossing's objects when a minor collection ran kept
    # them alive into the old generation, until a major collection: every
    # result read since the last minor collection, ten times what the same
    # loop in Python keeps.
    assert kept_by_minor_collections("module") < 2 * kept_by_minor_collections("host")
