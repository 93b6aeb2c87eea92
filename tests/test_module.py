import importlib
import sys

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
