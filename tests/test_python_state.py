"""Construction and to_dict run no Python code of their own and depend on no
state that Python code can change: a tracer or profiler sees only what the
conversion of a value inherently calls (its own __float__), never a frame of
the module's, nor any view of the module's memory; rebinding names in builtins
changes no result and raises nothing. Sizes past the batch of 64 entries and
keys with NUL take the bulk way on PyPy; the checks are the same on every host."""
import builtins
import contextlib
import gc
import os
import subprocess
import sys
import textwrap

import pytest

from corvane import CorvaneDict
from conftest import same_values

SIZE = 300


class Number:
    """A value whose conversion is Python code: the one call a tracer may see."""

    def __float__(self):
        return 2.5


def plain_sources():
    """Dicts of every shape that crosses in bulk on PyPy, and a few that do not."""
    floats = {f"key{i}": i * 0.5 for i in range(SIZE)}
    return {
        "floats": floats,
        "ints": {f"key{i}": i for i in range(SIZE)},
        "mixed": {f"key{i}": (i if i % 3 == 0 else True if i % 3 == 1 else i * 0.25) for i in range(SIZE)},
        "big int": {**floats, "big": 2 ** 70},
        "NUL in keys": {**floats, "a\x00b": 1.0, "\x00": 2.0},
        "every ASCII": {**{chr(c): float(c) for c in range(128)}, **floats},
        "non-ASCII": {f"\u00e9\u4e2d\U0001F600{i}": -float(i) for i in range(SIZE)},
        "smallest that crosses": {f"k{i}": float(i) for i in range(12)},
        "empty": {},
    }


def exported(source):
    return CorvaneDict(source).to_dict


class Watcher:
    """Records every Python frame that starts (but the test's own, which run
    the action), and every memoryview that a frame's locals hold, while it is
    installed as tracer or profiler."""

    def __init__(self):
        self.calls = []
        self.views = []

    def see(self, frame, event, arg):
        if event == "call":
            if frame.f_code.co_filename != __file__ or frame.f_code.co_name == "__float__":
                self.calls.append(frame.f_code.co_name)
            self.views += [value for value in frame.f_locals.values() if isinstance(value, memoryview)]
        return self.see if event == "call" else None


@contextlib.contextmanager
def collector_quiet():
    """Hooks on the host's collector (hypothesis times collections with them)
    run Python code whenever anything allocates; they are not the module's."""
    callbacks = getattr(gc, "callbacks", None)
    saved_callbacks = list(callbacks) if callbacks is not None else None
    hooks = getattr(gc, "hooks", None)
    names = ("on_gc_minor", "on_gc_collect_step", "on_gc_collect")
    saved_hooks = {name: getattr(hooks, name) for name in names} if hooks is not None else {}
    if callbacks is not None:
        callbacks.clear()
    for name in saved_hooks:
        setattr(hooks, name, None)
    try:
        yield
    finally:
        if callbacks is not None:
            callbacks[:] = saved_callbacks
        for name, hook in saved_hooks.items():
            setattr(hooks, name, hook)


def watched(install, action):
    with collector_quiet():
        return watched_quietly(install, action)


def watched_quietly(install, action):
    watcher = Watcher()
    if install == "trace":
        sys.settrace(watcher.see)
        try:
            action()
        finally:
            sys.settrace(None)
    else:
        sys.setprofile(watcher.see)
        try:
            action()
        finally:
            sys.setprofile(None)
    return watcher


@pytest.mark.parametrize("install", ["trace", "profile"])
@pytest.mark.parametrize("shape", list(plain_sources()))
class TestNoPythonCode:
    def test_construction_starts_no_python_frame(self, install, shape):
        source = plain_sources()[shape]
        watcher = watched(install, lambda: CorvaneDict(source))
        assert watcher.calls == []
        assert watcher.views == []

    def test_to_dict_starts_no_python_frame(self, install, shape):
        made = CorvaneDict(plain_sources()[shape])
        watcher = watched(install, lambda: made.to_dict)
        assert watcher.calls == []
        assert watcher.views == []


@pytest.mark.parametrize("install", ["trace", "profile"])
def test_only_a_values_own_conversion_is_seen(install):
    source = {f"key{i}": i * 0.5 for i in range(SIZE)}
    source["own"] = Number()
    made = []
    watcher = watched(install, lambda: made.append(CorvaneDict(source)))
    assert watcher.calls == ["__float__"]
    assert made[0].to_dict["own"] == 2.5


@pytest.mark.parametrize("install", ["trace", "profile"])
def test_a_failing_construction_starts_no_python_frame(install):
    for bad in [(7, 1.0), ("odd", None), ("a\ud800b", 1.0)]:
        source = {f"key{i}": i * 0.5 for i in range(SIZE)}
        source[bad[0]] = bad[1]
        outcome = []

        def build(source=source, outcome=outcome):
            try:
                CorvaneDict(source)
            except (TypeError, UnicodeEncodeError) as error:
                outcome.append(type(error))

        watcher = watched(install, build)
        assert outcome and watcher.calls == []


class Rebound(Exception):
    pass


def refuse(*args, **kwargs):
    raise Rebound("a rebound builtin was called")


REBINDABLE = ["len", "range", "map", "zip", "list", "tuple", "dict", "set", "str", "bytes", "bytearray", "type",
              "float", "int", "bool", "iter", "next", "id", "isinstance", "memoryview", "object", "enumerate",
              "sorted", "sum", "min", "max", "hash", "print", "__import__", "__build_class__"]


@pytest.mark.parametrize("names", [[name] for name in REBINDABLE] + [REBINDABLE], ids=[*REBINDABLE, "all-at-once"])
def test_rebinding_builtins_changes_no_result(names):
    sources = plain_sources()
    expected = {shape: exported(source) for shape, source in sources.items()}
    originals = {name: getattr(builtins, name) for name in names}
    got, errors = {}, {}
    try:
        for name in names:
            setattr(builtins, name, refuse)
        for shape, source in sources.items():
            try:
                got[shape] = exported(source)
            except BaseException as error:  # noqa: B036 - every outcome is compared below
                errors[shape] = error
    finally:
        for name, original in originals.items():
            setattr(builtins, name, original)
    assert errors == {}
    for shape in sources:
        same_values(got[shape], expected[shape])


def test_names_rebound_before_the_import_change_nothing():
    # Stand-ins of the same names, made in Python, are in place before the
    # module first loads: it must not take them for the host's own.
    script = textwrap.dedent("""
        import builtins, sys, types
        calls = []
        class map:
            def __init__(self, *args):
                calls.append("map")
                raise RuntimeError("stand-in map")
        class zip(map):
            pass
        class array(map):
            pass
        builtins.map, builtins.zip = map, zip
        fake = types.ModuleType("array")
        fake.array = array
        sys.modules["array"] = fake
        import corvane
        del sys.modules["array"]
        imported_with = list(calls)
        source = {f"key{i}": i * 0.5 for i in range(300)}
        seen = []
        sys.setprofile(lambda frame, event, arg: seen.append(frame.f_code.co_name) if event == "call" else None)
        made = corvane.CorvaneDict(source)
        back = made.to_dict
        sys.setprofile(None)
        assert back == source, "contents differ"
        assert calls == imported_with and seen == [], (imported_with, calls, seen)
        print("ok")
    """)
    ran = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, env=os.environ.copy(),
                         timeout=120)
    assert ran.returncode == 0, ran.stderr
    assert ran.stdout.strip() == "ok"
