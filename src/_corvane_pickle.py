"""Rebuilds a corvane.CorvaneDict from what its __reduce__ gave pickle or copy.

The class lives in "builtins" (where pickle cannot look it up by name) and the
corvane module exports nothing but the class, so the reconstructor lives here,
installed beside the extension module. Private: not an interface to call.
"""

import sys
from array import array


def rebuild(keys, values):
    """A CorvaneDict of `keys` (a list of str, in position order) and `values`
    (bytes: one little-endian binary64 per key). The keys go in in order, so
    the new mapping holds them at the same positions as the one reduced."""
    from corvane import CorvaneDict

    numbers = array("d")
    numbers.frombytes(values)
    if sys.byteorder == "big":
        numbers.byteswap()
    if len(numbers) != len(keys):
        raise ValueError("corrupt CorvaneDict state: %d keys but %d values" % (len(keys), len(numbers)))
    mapping = dict(zip(keys, numbers))
    if len(mapping) != len(keys):
        raise ValueError("corrupt CorvaneDict state: repeated keys")
    return CorvaneDict(mapping)
