import gc
import math
import os
import platform
import struct
import sys
import warnings

import pytest
from hypothesis import settings

# Under an emulated interpreter every example costs many times more; the
# emulated leg checks the same properties on fewer of them.
settings.register_profile("default", max_examples=150, deadline=None)
settings.register_profile("emulated", max_examples=25, deadline=None)
settings.load_profile(os.environ.get("HYPOTHESIS_PROFILE", "default"))

IS_PYPY = platform.python_implementation() == "PyPy"

# Under the sanitizers the interpreter runs with AddressSanitizer preloaded, and
# numpy (and dask, which imports it) leave objects of their own unfreed at
# exit, which LeakSanitizer reports with stacks that end inside them, so no
# suppression can name them. There they count as not installed; the cases that
# use them run in the cluster and typing suite without the sanitizers.
class _NotInstalled:
    names = ("numpy", "dask", "distributed")

    @classmethod
    def find_spec(cls, name, path=None, target=None):
        if name.split(".")[0] in cls.names:
            raise ModuleNotFoundError(f"{name} is not used under the sanitizers", name=name)
        return None


if "libasan" in os.environ.get("LD_PRELOAD", ""):
    import sys

    sys.meta_path.insert(0, _NotInstalled)


def bits(value):
    """The binary64 pattern of a float, so that -0.0 and NaN compare exactly."""
    return struct.pack("<d", value)


def same_number(actual, expected):
    """Equal bit for bit, except that any NaN matches any NaN: which payload an
    operation on NaNs propagates is the processor's choice, not the module's."""
    if math.isnan(expected):
        return math.isnan(actual)
    return bits(actual) == bits(expected)


def same_values(actual, expected):
    """Dicts equal key for key, values as same_number() has it."""
    assert actual.keys() == expected.keys()
    for key, value in expected.items():
        assert same_number(actual[key], value), (key, actual[key], value)


def is_negative_zero(value):
    return value == 0.0 and math.copysign(1.0, value) < 0


# What a test needs from the host interpreter. Each probe asks the running
# host whether it has the behaviour, so a release that gains it runs the test
# and one that lacks it skips with the reason below, which names the releases
# seen to lack it. A probe runs at most once, at collection, and only when a
# selected test needs it. Where only the module's own class can show the
# behaviour, the probe is built so that the module cannot make it answer
# "lacking": it either looks at what the module cannot influence, or first
# checks that the module did its part.


def _gc_runs_callbacks():
    return isinstance(getattr(gc, "callbacks", None), list)


def _host_len_when_handed(base):
    """Whether the host calls __len__ of an object of a subclass of base when
    it hands the object to native code. The object goes in as `other`, whose
    type the module refuses without ever asking its length, so an exception
    of __len__ can only come from the host."""
    from corvane import CorvaneDict

    class Asked(Exception):
        pass

    def length(self):
        raise Asked

    kind = type("Handed", (base,), {"__len__": length, "__hash__": base.__hash__})
    try:
        CorvaneDict({}).add(kind("a") if base is str else kind(a=1.0))
    except Asked:
        return True
    except TypeError:
        return False
    raise AssertionError("a refused `other` was accepted")


def _str_subclass_len_not_asked():
    return not _host_len_when_handed(str)


def _dict_subclass_len_not_asked():
    return not _host_len_when_handed(dict)


def _conversion_warns_on_float_subclass():
    # The module hands every non-float to the host's conversion, which runs
    # __float__; a warning is recorded by the warnings machinery before the
    # module gets control back, so it cannot hide one.
    from corvane import CorvaneDict

    ran = []

    class Sub(float):
        pass

    class Converts:
        def __float__(self):
            ran.append(True)
            return Sub(2.5)

    with warnings.catch_warnings(record=True) as seen:
        warnings.simplefilter("always")
        CorvaneDict({}).add_scalar(Converts())
    assert ran, "the conversion never ran __float__"
    return any(issubclass(w.category, DeprecationWarning) for w in seen)


def _conversion_takes_index():
    # The refusal is the host's when __index__ never ran and the words are
    # its conversion's ("must be real number"), which no module message uses.
    from corvane import CorvaneDict

    ran = []

    class Index:
        def __index__(self):
            ran.append(True)
            return 3

    try:
        CorvaneDict({}).add_scalar(Index())
    except TypeError as refused:
        if not ran and "real number" in str(refused):
            return False
        raise
    return True


def _subclassing_refused():
    # The module's part, a type without the base-type flag, is checked by the
    # test itself; whether deriving from it is refused is then the host's.
    from corvane import CorvaneDict

    if CorvaneDict.__flags__ & (1 << 10):
        return True  # a base type: let the test fail on the flag
    try:
        type("Sub", (CorvaneDict,), {})
    except TypeError:
        return True
    return False


def _methods_show_text_signatures():
    # A method whose docstring carries no signature still has the attribute
    # (None); a host that never reads docstrings of a type built from a spec
    # has no such attribute at all, whatever the module wrote.
    from corvane import CorvaneDict

    return hasattr(CorvaneDict.add, "__text_signature__")


def _instances_without_declared_dict_have_none():
    # The type declares no dict offset (the test checks where the host shows
    # it); an attribute dict on its instances is then the host's addition.
    from corvane import CorvaneDict

    if getattr(CorvaneDict, "__dictoffset__", 0) != 0:
        return True  # declared by the module: let the test fail
    return not hasattr(CorvaneDict({}), "__dict__") and "__weakref__" not in dir(CorvaneDict)


def _reimport_returns_the_cached_module():
    # When the module body did not run again (same class, __all__ unchanged),
    # the module handed back its cached object; a different one is the host's.
    import importlib

    first = sys.modules.pop("corvane")
    try:
        again = importlib.import_module("corvane")
    finally:
        sys.modules["corvane"] = first
    if again.CorvaneDict is not first.CorvaneDict or again.__all__ != ["CorvaneDict"]:
        return True  # the module ran twice: let the test fail
    return again is first


def _floats_have_identity():
    one, two = float("1.5"), float("1.5")
    return one is not two


# Three properties that belong to every PyPy by its design (objects the
# collector moves, seen by native code through proxies of their own; memory
# given back when the collector runs; a recursion limit measured as machine
# stack), asked of the host all the same.
def _id_is_the_native_address():
    # ctypes hands native code the pointer it stores for an object.
    import ctypes

    class Probe:
        pass

    probe = Probe()
    try:
        stored = ctypes.cast(ctypes.pointer(ctypes.py_object(probe)), ctypes.POINTER(ctypes.c_void_p))
    except TypeError:
        return False
    return stored.contents.value == id(probe)


def _freed_at_last_reference():
    import weakref

    class Probe:
        pass

    for _ in range(3):
        probe = Probe()
        gone = weakref.ref(probe)
        del probe
        if gone() is not None:
            return False
    return True


def _recursion_limit_counts_calls():
    # Raising a counted limit by 100 lets a plain recursion go exactly 100
    # calls deeper; a limit measured as stack moves it by what frames weigh.
    def reached():
        depth = 0

        def descend():
            nonlocal depth
            depth += 1
            descend()

        try:
            descend()
        except RecursionError:
            pass
        return depth

    limit = sys.getrecursionlimit()
    try:
        depths = []
        for extra in (100, 200, 300):
            sys.setrecursionlimit(limit + extra)
            depths.append(reached())
    finally:
        sys.setrecursionlimit(limit)
    return depths[1] - depths[0] == depths[2] - depths[1] == 100


def _spawn_pool_starts():
    import concurrent.futures
    import multiprocessing

    if "spawn" not in multiprocessing.get_all_start_methods():
        return True  # the test is not parametrised with it
    try:
        context = multiprocessing.get_context("spawn")
        with concurrent.futures.ProcessPoolExecutor(max_workers=1, mp_context=context) as pool:
            return list(pool.map(abs, [-1])) == [1]
    except AttributeError:
        return False


def _makes_interpreters_from_c():
    # _testcapi.run_in_subinterp is Py_NewInterpreter, as an embedding calls it.
    # PyPy's _testcapi compiles a C source at import, which Debian does not ship.
    try:
        import _testcapi
    except Exception:
        return False
    return hasattr(_testcapi, "run_in_subinterp")


def _makes_legacy_interpreters():
    for name in ("_interpreters", "_xxsubinterpreters"):
        try:
            __import__(name)
        except ImportError:
            continue
        return True
    return False


def _has_reference_counts():
    return hasattr(sys, "getrefcount")


def _reports_minor_collections():
    import gc

    return hasattr(getattr(gc, "hooks", None), "on_gc_minor")


def _traces_allocations():
    try:
        import tracemalloc
    except ImportError:
        return False
    return hasattr(tracemalloc, "take_snapshot")


def bulk_crossing_hooks():
    """The bulk crossing's test hooks of a build with fault injection, as
    ctypes functions by name; None for a build without them."""
    import ctypes

    import corvane

    try:
        library = ctypes.CDLL(corvane.__file__)
        hooks = {name: getattr(library, "corvane_" + name) for name in (
            "smallest_bulk_construction", "smallest_bulk_export", "bulk_crossings", "bulk_crossing_usable",
            "withhold_builtins")}
    except (AttributeError, OSError):
        return None
    for name in ("smallest_bulk_construction", "smallest_bulk_export", "bulk_crossings"):
        hooks[name].restype = ctypes.c_long
    hooks["bulk_crossing_usable"].restype = ctypes.c_int
    hooks["withhold_builtins"].argtypes = [ctypes.c_int]
    hooks["withhold_builtins"].restype = None
    return hooks


def _crosses_in_bulk():
    hooks = bulk_crossing_hooks()
    return hooks is not None and hooks["bulk_crossing_usable"]() == 1


HOST_BEHAVIOURS = {
    "gc_callbacks": (_gc_runs_callbacks, "PyPy 7.3.11, 7.3.19 and 8.0.1 have no gc.callbacks to run Python code "
                                         "during the import"),
    "str_subclass_len_not_asked": (
        _str_subclass_len_not_asked,
        "PyPy 7.3.11 and 7.3.19 call a str subclass's __len__ when they hand the object to native code, and abort "
        "the process inside PyDict_Next when that raises, before the module sees the key"),
    "dict_subclass_len_not_asked": (
        _dict_subclass_len_not_asked,
        "PyPy 7.3.11, 7.3.19 and 8.0.1 size their native view of a dict subclass from its __len__ whenever they hand "
        "the object to native code, before the module runs: a huge length costs gigabytes, one that raises aborts "
        "the process inside PyDict_Next"),
    "conversion_warns_on_float_subclass": (
        _conversion_warns_on_float_subclass,
        "PyPy 7.3.11's PyFloat_AsDouble does not warn when __float__ returns a float subclass"),
    "conversion_takes_index": (
        _conversion_takes_index,
        "PyPy 7.3.11's and 7.3.19's PyFloat_AsDouble, the host conversion the module uses, ignores __index__"),
    "subclassing_refused": (
        _subclassing_refused,
        "PyPy 7.3.11 does not refuse subclassing of a type without the base-type flag"),
    "method_text_signatures": (
        _methods_show_text_signatures,
        "PyPy 7.3.11 and 7.3.19 expose no method docstrings or text signatures of a type built from a spec"),
    "no_instance_dict": (
        _instances_without_declared_dict_have_none,
        "PyPy 7.3.11, 7.3.19 and 8.0.1 give instances of a type built from a spec an attribute dict and weak "
        "references"),
    "reimport_returns_cached_module": (
        _reimport_returns_the_cached_module,
        "PyPy 7.3.11, 7.3.19 and 8.0.1 wrap a re-imported extension module in a new module object"),
    "float_identity": (_floats_have_identity, "PyPy 7.3.11, 7.3.19 and 8.0.1 compare floats by value in `is`"),
    "id_is_native_address": (_id_is_the_native_address,
                             "PyPy 7.3.11, 7.3.19 and 8.0.1 give id()s that are not the address native code sees"),
    "freed_at_last_reference": (_freed_at_last_reference,
                                "PyPy 7.3.11, 7.3.19 and 8.0.1 free an object only when the collector runs"),
    "recursion_limit_counts_calls": (
        _recursion_limit_counts_calls,
        "PyPy 7.3.11, 7.3.19 and 8.0.1 measure the recursion limit as machine stack and end the process when a "
        "C-API call runs past it, so there every entry checks the stack before its first call"),
    "spawn_pool": (
        _spawn_pool_starts,
        "Debian's PyPy 7.3.11 ProcessPoolExecutor starts no spawn workers (calls a renamed method)"),
    "interpreters_from_c": (
        _makes_interpreters_from_c,
        "PyPy 7.3.11, 7.3.19 and 8.0.1 have no subinterpreters (no _testcapi.run_in_subinterp)"),
    "legacy_interpreters": (
        _makes_legacy_interpreters,
        "PyPy 7.3.11, 7.3.19 and 8.0.1 have no subinterpreters (no _interpreters or _xxsubinterpreters module)"),
    "reference_counts": (_has_reference_counts, "PyPy 7.3.11, 7.3.19 and 8.0.1 have no sys.getrefcount"),
    "bulk_crossing": (
        _crosses_in_bulk,
        "CPython 3.9 to 3.15 hand native code their own objects and serve nothing in bulk; a build without fault "
        "injection cannot tell"),
    "minor_collection_hooks": (
        _reports_minor_collections,
        "CPython 3.9 to 3.15 free objects at their last reference and have no gc.hooks to report minor collections"),
    "tracemalloc": (_traces_allocations, "PyPy 7.3.11, 7.3.19 and 8.0.1 have no tracemalloc"),
}

_answers = {}


def host_has(name):
    """Whether the running host has the behaviour; asked once per session."""
    if name not in _answers:
        _answers[name] = bool(HOST_BEHAVIOURS[name][0]())
    return _answers[name]


def needs_host(name):
    """Marks a test (or a parameter) that runs only where the host has the behaviour."""
    if name not in HOST_BEHAVIOURS:
        raise KeyError(f"no probe for host behaviour {name!r}")
    return pytest.mark.needs_host(name)


def pytest_configure(config):
    config.addinivalue_line("markers", "needs_host(name): runs only where the host has the named behaviour")


# Last, so that only the tests that remain after selection pay for probes.
@pytest.hookimpl(trylast=True)
def pytest_collection_modifyitems(config, items):
    for item in items:
        for mark in item.iter_markers("needs_host"):
            name = mark.args[0]
            if not host_has(name):
                item.add_marker(pytest.mark.skip(reason=HOST_BEHAVIOURS[name][1]))
