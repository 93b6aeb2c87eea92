import importlib
import os
import subprocess
import sys
import textwrap

import pytest

import corvane
from conftest import HOST_BEHAVIOURS, host_has, needs_host

CorvaneDict = corvane.CorvaneDict


def test_module_face():
    assert corvane.__name__ == "corvane"
    assert corvane.__doc__ == "A Python module implemented in C++."
    assert corvane.__all__ == ["CorvaneDict"]
    public = {name for name in vars(corvane) if not name.startswith("__")}
    assert public == {"CorvaneDict"}


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("corvane")
    try:
        again = importlib.import_module("corvane")
        assert again.__all__ == ["CorvaneDict"]
        assert again.CorvaneDict is CorvaneDict
        if host_has("reimport_returns_cached_module"):
            assert again is first
    finally:
        sys.modules["corvane"] = first


def test_class_names_and_signature():
    assert CorvaneDict.__name__ == "CorvaneDict"
    assert CorvaneDict.__qualname__ == "CorvaneDict"
    assert CorvaneDict.__module__ == "builtins"
    assert CorvaneDict.__text_signature__ == "(dict)"


@needs_host("no_instance_dict")
def test_instances_have_no_attribute_dict():
    d = CorvaneDict({})
    assert not hasattr(d, "__dict__")
    assert "__weakref__" not in dir(CorvaneDict)
    with pytest.raises(AttributeError):
        d.extra = 1


def test_class_is_final():
    assert not CorvaneDict.__flags__ & (1 << 10), "declared as a base type"
    if not host_has("subclassing_refused"):
        pytest.skip(HOST_BEHAVIOURS["subclassing_refused"][1])
    with pytest.raises(TypeError):
        type("Sub", (CorvaneDict,), {})


@needs_host("method_text_signatures")
def test_method_signatures_and_docs():
    assert CorvaneDict.sum.__text_signature__ == "($self)"
    assert CorvaneDict.add.__text_signature__ == "($self, other, fill=0.0)"
    assert CorvaneDict.reset.__text_signature__ == "($self, value)"
    assert CorvaneDict.add.__doc__.startswith("Adds values (d1 + d2), aligned on d1s keys.")
    assert CorvaneDict.to_dict.__doc__.startswith("Returns the underlying dictionary.")


def test_method_table_order():
    names = [name for name in vars(CorvaneDict) if not name.startswith("__")]
    assert names == ["add_scalar", "add", "subtract_scalar", "subtract", "multiply_scalar", "multiply",
                     "divide_scalar", "divide", "sum", "product", "reset", "to_dict"]


def test_default_object_behaviour():
    d = CorvaneDict({"a": 1.0})
    assert d == d and d != CorvaneDict({"a": 1.0})
    assert hash(d) == hash(d)
    assert "CorvaneDict object at 0x" in repr(d)


@needs_host("reference_counts")
def test_instances_keep_the_type_reference_count_balanced():
    before = sys.getrefcount(CorvaneDict)
    for _ in range(100_000):
        CorvaneDict({})
    d = CorvaneDict({"a": 1.0})
    for _ in range(1000):
        d.add_scalar(1.0)
    del d
    assert sys.getrefcount(CorvaneDict) == before


# Ways to run code in a second interpreter that shares the process, as an
# embedding (a web server module, say) does: Py_NewInterpreter itself, and the
# interpreters module asked for the legacy configuration, under which the host
# refuses no single-phase extension module on its own.
SECOND_INTERPRETERS = {
    "interpreters_from_c": """
        import _testcapi
        def run_elsewhere(code):
            _testcapi.run_in_subinterp(code)
    """,
    "legacy_interpreters": """
        try:
            import _interpreters as interpreters
            def create():
                return interpreters.create("legacy")
            run = interpreters.exec
        except ImportError:
            import _xxsubinterpreters as interpreters
            def create():
                return interpreters.create(isolated=False)
            run = interpreters.run_string
        def run_elsewhere(code):
            interpreter = create()
            try:
                run(interpreter, code)
            finally:
                interpreters.destroy(interpreter)
    """,
}

ELSEWHERE = """
try:
    import corvane
    print("imported:", corvane.__all__, flush=True)
except ImportError as caught:
    print("ImportError:", caught, flush=True)
"""


@pytest.mark.parametrize("way", [pytest.param(way, marks=needs_host(way)) for way in SECOND_INTERPRETERS])
def test_only_the_main_interpreter_imports_the_module(way):
    # Imported elsewhere before and after the main interpreter has it: each is
    # refused, and the main interpreter's module stays whole once the other
    # interpreter has ended.
    body = textwrap.dedent(SECOND_INTERPRETERS[way]) + textwrap.dedent(f"""
        import pickle
        def in_main():
            import corvane
            made = corvane.CorvaneDict({{"a": 1.5}}).add_scalar(1.0)
            print(corvane.__all__, pickle.loads(pickle.dumps(made)).to_dict, flush=True)
        run_elsewhere({ELSEWHERE!r})
        in_main()
        run_elsewhere({ELSEWHERE!r})
        in_main()
    """)
    done = subprocess.run([sys.executable, "-c", body], capture_output=True, text=True, timeout=60,
                          env=dict(os.environ))
    assert done.returncode == 0, done.stderr[-3000:]
    refused = "ImportError: module 'corvane' can be imported only in the main interpreter, not in a subinterpreter"
    assert done.stdout.splitlines() == [refused, "['CorvaneDict'] {'a': 2.5}"] * 2, done.stderr[-3000:]
