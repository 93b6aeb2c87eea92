import collections
import math
import types

import pytest

from corvane import CorvaneDict
from conftest import bits, is_negative_zero, needs_host, same_values


def test_values_are_stored_bit_for_bit():
    values = {"nan": float("nan"), "inf": math.inf, "-inf": -math.inf, "-0": -0.0, "": 5.0,
              "tiny": 5e-324, "big": 1.7976931348623157e308}
    same_values(CorvaneDict(values).to_dict, values)
    assert CorvaneDict({}).to_dict == {}


def test_numbers_of_other_types_convert():
    class F(float):
        pass

    d = CorvaneDict({"int": 1, "bool": True, "sub": F(-1.0), "neg": -1}).to_dict
    assert d == {"int": 1.0, "bool": 1.0, "sub": -1.0, "neg": -1.0}
    assert all(type(v) is float for v in d.values())


def test_keys_are_text_compared_by_their_bytes():
    keys = ["a", "ä", "日本", "\x00nul", "😀", "a" * 10_000]
    d = CorvaneDict({k: float(i) for i, k in enumerate(keys)})
    assert d.to_dict == {k: float(i) for i, k in enumerate(keys)}


def test_str_subclass_keys_become_plain_str_and_collide_by_text():
    class Loud(str):
        def __hash__(self):
            return id(self)

        def __eq__(self, other):
            return self is other

    first, second = Loud("k"), Loud("k")
    d = CorvaneDict({first: 1.0, second: 2.0}).to_dict
    assert d == {"k": 2.0}
    assert all(type(k) is str for k in d)


def test_dict_subclasses_are_read_without_calling_their_methods():
    class Sneaky(dict):
        def items(self):
            raise AssertionError("not to be called")

        def __iter__(self):
            raise AssertionError("not to be called")

    assert CorvaneDict(collections.OrderedDict(a=1.0)).to_dict == {"a": 1.0}
    assert CorvaneDict(Sneaky(a=1.0, b=2.0)).to_dict == {"a": 1.0, "b": 2.0}
    with pytest.raises(TypeError, match="argument 'dict': 'mappingproxy' object cannot be cast as 'dict'"):
        CorvaneDict(types.MappingProxyType({}))


def test_lone_surrogate_key_raises_the_host_error():
    with pytest.raises(UnicodeEncodeError):
        CorvaneDict({"\ud800": 1.0})


def test_first_failing_entry_decides():
    with pytest.raises(TypeError, match="'int' object cannot be cast as 'str'"):
        CorvaneDict({"a": 1.0, 2: None, "c": None})


def test_two_constructions_share_nothing_and_agree():
    source = {f"k{i}": float(i) for i in range(100)}
    a, b = CorvaneDict(source), CorvaneDict(source)
    assert a.to_dict == b.to_dict == source
    source["k0"] = 99.0
    assert a.to_dict["k0"] == 0.0


def test_empty_store_reductions():
    d = CorvaneDict({})
    assert is_negative_zero(d.sum())
    assert bits(d.product()) == bits(1.0)


@needs_host("recursion_limit_counts_calls")
@pytest.mark.parametrize("size", [1, 3, 1000])
def test_exact_numbers_are_read_at_any_depth_where_a_class_can_be_called(size):
    # Reading exact numbers runs no Python code, so construction has no reason
    # to refuse where the host still calls a class of its own.
    class Plain:
        pass

    source = {f"k{i}": float(i) for i in range(size)}
    refused_at = []

    def descend(depth):
        try:
            Plain()
        except RecursionError:
            return
        try:
            CorvaneDict(source)
        except RecursionError:
            refused_at.append(depth)
        descend(depth + 1)

    try:
        descend(0)
    except RecursionError:
        pass
    assert refused_at == []
