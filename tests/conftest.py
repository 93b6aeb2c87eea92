import math
import os
import platform
import struct

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


pypy_hides_method_docs = pytest.mark.skipif(
    IS_PYPY, reason="PyPy 7.3.11 exposes no method docstrings or text signatures of a type built from a spec"
)
pypy_allows_subclassing = pytest.mark.skipif(
    IS_PYPY, reason="PyPy 7.3.11 does not refuse subclassing of a type without the base-type flag"
)
