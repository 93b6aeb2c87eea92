"""to_dict makes every key a new str and every value a new float. ASCII keys
take a shorter way into their str than the rest; a key put on the wrong way
would come back with other characters, another hash or another length."""
import os
import struct

import pytest

from conftest import host_has
from corvane import CorvaneDict

EMULATED = os.environ.get("HYPOTHESIS_PROFILE") == "emulated"


def assert_exported_like(exported, source):
    assert len(exported) == len(source)
    for key, value in source.items():
        # A lookup by the original key finds the new one: equal text, equal hash.
        assert struct.pack("<d", exported[key]) == struct.pack("<d", value), key
    for key in exported:
        assert type(key) is str and key in source and hash(key) == hash("".join(list(key)))


@pytest.mark.parametrize("keys", [
    ["plain", "\x80", "mixed\u00e9", "\x7f", "caf\u00e9", "ascii_again"],  # either side of the ASCII bound
    ["", "a", "\x00", "a\x00b", "\x00\x00\x00"],                           # empty, one character, NUL
    ["\u4e2d", "k", "\U0001F600x", "kk", "kkk"],                            # wide keys between
])
def test_ascii_and_other_keys_side_by_side(keys):
    source = {k: float(i) for i, k in enumerate(keys)}
    exported = CorvaneDict(source).to_dict
    assert_exported_like(exported, source)
    for key in exported:
        assert [ord(c) for c in key] == [ord(c) for c in next(k for k in source if k == key)]


def test_keys_and_values_are_new_objects():
    source = {"first key": 1.5, "second key": -2.5, "third": 1e300}
    d = CorvaneDict(source)
    one, two = d.to_dict, d.to_dict
    originals = {id(k) for k in source}
    assert not any(id(k) in originals for k in one)
    assert not any(k1 is k2 for k1 in one for k2 in two)
    if host_has("float_identity"):
        assert not any(one[k] is two[k] or one[k] is source[k] for k in source)
    assert all(type(v) is float for v in one.values())


def test_values_keep_every_bit():
    patterns = [0x7FF8000000000123, 0xFFF8000000000001, 0x7FF0000000000000, 0x8000000000000000,
                0x0000000000000001, 0x7FEFFFFFFFFFFFFF]
    source = {"k%d" % i: struct.unpack("<d", struct.pack("<Q", p))[0] for i, p in enumerate(patterns)}
    exported = CorvaneDict(source).to_dict
    for i, pattern in enumerate(patterns):
        assert struct.unpack("<Q", struct.pack("<d", exported["k%d" % i]))[0] == pattern


def test_large_dict_with_scattered_non_ascii_keys():
    n = 20_000 if EMULATED else 200_000
    source = {("k\u00e9%d" if i % 997 == 0 else "key%d") % i: float(i) for i in range(n)}
    exported = CorvaneDict(source).to_dict
    assert exported == source
    assert sum(1 for k in exported if not k.isascii()) == len(range(0, n, 997))
