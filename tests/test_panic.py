import subprocess
import sys

import pytest

from corvane import CorvaneDict


def adds_a_key(target):
    class Mutator:
        def __float__(self):
            target["added"] = 0.0
            return 1.0
    return Mutator()


def catch_panic(call):
    try:
        call()
    except Exception:  # a panic must not be caught here
        pytest.fail("PanicException was caught by 'except Exception'")
    except BaseException as caught:
        return caught
    pytest.fail("no PanicException raised")


def test_dict_changing_size_is_a_panic():
    source = {"a": 0.0}
    source["a"] = adds_a_key(source)
    panic = catch_panic(lambda: CorvaneDict(source))
    assert str(panic) == "dictionary changed size during iteration"
    assert panic.args == ("dictionary changed size during iteration",)
    kind = type(panic)
    assert (kind.__name__, kind.__module__, kind.__bases__) == ("PanicException", "corvane_runtime",
                                                                (BaseException,))
    assert "added" in source
    # The same class every time.
    source2 = {"b": 0.0}
    source2["b"] = adds_a_key(source2)
    assert type(catch_panic(lambda: CorvaneDict(source2))) is kind


def test_removing_a_key_is_a_panic():
    source = {"a": 0.0, "b": 1.0}

    class Remover:
        def __float__(self):
            source.pop("b", None) if "b" in source else source.pop("a", None)
            return 1.0
    source["a"] = Remover()
    source["b"] = Remover()
    assert str(catch_panic(lambda: CorvaneDict(source))) == "dictionary changed size during iteration"


def test_replaced_key_is_a_panic_where_the_host_can_show_it():
    source = {"a": 0.0, "b": 0.0}

    class Replacer:
        def __float__(self):
            if "b" in source:
                del source["b"]
                source["c"] = 0.0
            return 1.0
    source["a"] = Replacer()
    try:
        d = CorvaneDict(source)
    except BaseException as caught:  # noqa: B036
        assert type(caught).__name__ == "PanicException"
        assert str(caught) == "dictionary keys changed during iteration"
    else:
        # A host that walks a snapshot of the keys never sees the change.
        assert set(d.to_dict) <= {"a", "b", "c"}


def test_reraised_panic_resumes_with_the_same_message():
    script = r"""
import corvane
src = {"a": 0.0}
class M:
    def __float__(self):
        src["x"] = 1.0
        return 1.0
src["a"] = M()
try:
    corvane.CorvaneDict(src)
except BaseException as e:
    caught = e
class Again:
    def __float__(self):
        raise caught
d = corvane.CorvaneDict({"a": 1.0})
try:
    d.add_scalar(Again())
except BaseException as e:
    print("again:", type(e) is type(caught), e is not caught, str(e))
print("after:", d.add_scalar(1.0).to_dict)
"""
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120)
    assert "again: True True dictionary changed size during iteration" in result.stdout
    assert "after: {'a': 2.0}" in result.stdout
    assert "Python stack trace below:" in result.stderr
    assert "PanicException" in result.stderr
