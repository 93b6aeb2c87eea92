"""Inputs that fight back: conversions that run Python code against the call in
progress, subclasses that lie about hashing, equality and iteration, awkward
text and sizes. Each must end in its documented outcome and leave every object
involved usable."""
import warnings

import pytest

from corvane import CorvaneDict
from conftest import needs_host, same_values

D = CorvaneDict({"a": 1.0, "b": 2.0})
E = CorvaneDict({"a": 10.0})


def assert_usable(*instances):
    """The instances still answer every kind of call, with their old contents."""
    for d in instances:
        before = d.to_dict
        same_values(d.add(d).to_dict, {k: v + v for k, v in before.items()})
        same_values(d.add_scalar(1.0).to_dict, {k: v + 1.0 for k, v in before.items()})
        same_values(d.to_dict, before)
        d.sum(), d.product()


def panic_type():
    source = {"a": 0.0}

    class Grower:
        def __float__(self):
            source["grown"] = 0.0
            return 0.0

    source["a"] = Grower()
    try:
        CorvaneDict(source)
    except BaseException as caught:  # noqa: B036 - the panic is what we want
        return caught
    pytest.fail("growing the dict during construction did not panic")


def expect_panic(call, message):
    try:
        call()
    except Exception:
        pytest.fail("a PanicException must not be an Exception")
    except BaseException as caught:  # noqa: B036
        assert type(caught).__name__ == "PanicException"
        assert str(caught) == message
        return caught
    pytest.fail("no PanicException raised")


class Converts:
    """A number whose conversion runs `action` first."""

    def __init__(self, action, result=1.0):
        self.action, self.result = action, result

    def __float__(self):
        self.action()
        return self.result


# --- conversions that change the dict being read -------------------------------

def test_conversion_that_adds_deletes_or_replaces_keys():
    grown = {"a": 1.0}
    grown["a"] = Converts(lambda: grown.__setitem__("new", 2.0))
    expect_panic(lambda: CorvaneDict(grown), "dictionary changed size during iteration")
    assert set(grown) == {"a", "new"}

    # Deleting a key the walk has yet to reach.
    shrunk = {"a": 1.0, "b": 2.0, "c": 3.0}
    shrunk["a"] = Converts(lambda: shrunk.pop("c", None))
    expect_panic(lambda: CorvaneDict(shrunk), "dictionary changed size during iteration")
    assert set(shrunk) == {"a", "b"}

    # Replacing the key being converted by a new one keeps the size, but the
    # walk then meets one key more than the dict held.
    replaced = {"a": 1.0, "b": 2.0}

    def replace_a():
        if "a" in replaced:
            del replaced["a"]
            replaced["z"] = 26.0

    replaced["a"] = Converts(replace_a)
    expect_panic(lambda: CorvaneDict(replaced), "dictionary keys changed during iteration")
    assert CorvaneDict(replaced).to_dict == {"b": 2.0, "z": 26.0}


class Stored(dict):
    """A dict subclass whose own item lookup must never be asked."""

    def __getitem__(self, key):
        raise AssertionError("not to be called")


@pytest.mark.parametrize("make", [dict, Stored], ids=["dict", "subclass"])
def test_conversion_that_swaps_keys_keeping_the_size(make):
    # The walk skips a key deleted before it is reached and meets one added,
    # as CPython's does, at any distance and after any number of conversions.
    swapped = make(a=1.0, b=2.0, c=3.0)

    def swap_c():
        if dict.__contains__(swapped, "c"):
            dict.__delitem__(swapped, "c")
            dict.__setitem__(swapped, "z", 26.0)

    dict.__setitem__(swapped, "a", Converts(swap_c))
    assert CorvaneDict(swapped).to_dict == {"a": 1.0, "b": 2.0, "z": 26.0}

    keys = [f"k{i}" for i in range(300)]
    source = make((k, float(i)) for i, k in enumerate(keys))
    moved = keys[150:160]

    def swap_ten():
        for i, k in enumerate(moved):
            if dict.__contains__(source, k):
                dict.__delitem__(source, k)
                dict.__setitem__(source, f"new{i}", Converts(lambda: None, -2.0))

    for k in keys[::7]:
        dict.__setitem__(source, k, Converts(lambda: None, -1.0))
    dict.__setitem__(source, "k1", Converts(swap_ten, -3.0))
    expected = {k: (-1.0 if i % 7 == 0 else float(i)) for i, k in enumerate(keys) if k not in moved}
    expected.update({f"new{i}": -2.0 for i in range(10)}, k1=-3.0)
    assert CorvaneDict(source).to_dict == expected


def test_an_entry_met_past_the_size_at_the_start_is_processed_before_the_fault():
    # Deleting a key already met and adding another keeps the size, but the
    # walk meets one entry more than the dict held: that entry is converted
    # (a failure of it wins), and then the fault is raised.
    def replaced_by(key, value):
        source = {"a": 1.0, "b": 2.0}

        def replace_a():
            if "a" in source:
                del source["a"]
                source[key] = value

        source["a"] = Converts(replace_a)
        return source

    expect_panic(lambda: CorvaneDict(replaced_by("z", 26.0)), "dictionary keys changed during iteration")
    with pytest.raises(TypeError, match="^'int' object cannot be cast as 'str'$"):
        CorvaneDict(replaced_by(5, 26.0))
    with pytest.raises(TypeError) as caught:
        CorvaneDict(replaced_by("z", None))
    assert not str(caught.value).startswith("argument")
    ran = []
    expect_panic(lambda: CorvaneDict(replaced_by("z", Converts(lambda: ran.append("z")))),
                 "dictionary keys changed during iteration")
    assert ran == ["z"]

    # A key moved to the end is met again.
    moved = {"a": 1.0, "b": 2.0}
    moved["a"] = Converts(lambda: moved.__setitem__("a", moved.pop("a")) if len(moved) == 2 else None)
    expect_panic(lambda: CorvaneDict(moved), "dictionary keys changed during iteration")


def test_conversion_that_clears_the_dict():
    source = {f"k{i}": float(i) for i in range(50)}
    source["k0"] = Converts(source.clear)
    expect_panic(lambda: CorvaneDict(source), "dictionary changed size during iteration")
    assert source == {}
    assert CorvaneDict(source).to_dict == {}


def test_conversion_that_changes_only_a_value_is_not_a_change_of_keys():
    source = {"a": 1.0, "b": 2.0}
    source["a"] = Converts(lambda: source.__setitem__("b", 20.0))
    # Every host's own walk reads a value when it reaches the entry.
    assert CorvaneDict(source).to_dict == {"a": 1.0, "b": 20.0}


@pytest.mark.parametrize("make", [dict, Stored], ids=["dict", "subclass"])
def test_values_are_read_when_their_entry_is_reached(make):
    # A conversion that replaces a value the walk has yet to reach: the walk
    # sees the new value, whatever it is.
    source = make(a=1.0, b=2.0)
    dict.__setitem__(source, "a", Converts(lambda: dict.__setitem__(source, "b", 7.0)))
    assert CorvaneDict(source).to_dict == {"a": 1.0, "b": 7.0}

    source = make(a=1.0, b=2.0)
    dict.__setitem__(source, "a", Converts(lambda: dict.__setitem__(source, "b", None)))
    with pytest.raises(TypeError) as caught:
        CorvaneDict(source)
    assert not str(caught.value).startswith("argument")

    # The new value is itself converted, and runs its own Python code.
    ran = []
    source = make(a=1.0, b=2.0)
    dict.__setitem__(source, "a", Converts(
        lambda: dict.__setitem__(source, "b", Converts(lambda: ran.append("b"), 9.0))))
    assert CorvaneDict(source).to_dict == {"a": 1.0, "b": 9.0}
    assert ran == ["b"]

    # Every later value, far past any batch of entries, and only once each:
    # a value replaced by a conversion after it was read stays as it was read.
    keys = [f"k{i}" for i in range(300)]
    converting = set(keys[::7])
    source = make((k, 0.0) for k in keys)

    def bump_the_plain_ones():
        for k in keys:
            if k not in converting:
                dict.__setitem__(source, k, dict.get(source, k) + 1.0)

    for k in converting:
        dict.__setitem__(source, k, Converts(bump_the_plain_ones, -1.0))
    read = CorvaneDict(source).to_dict
    assert set(read) == set(keys)
    # The walk follows the dict's order: a converted entry keeps its own
    # result, any other the count of conversions met before it.
    bumps = 0
    for k in source:
        if k in converting:
            assert read[k] == -1.0
            bumps += 1
        else:
            assert read[k] == float(bumps)


def test_conversion_that_calls_back_into_the_module():
    source = {"a": 1.0, "b": 2.0}
    inner = []
    # A construction from the very dict being converted, and calls on the
    # receiver and the operand while they are borrowed by the outer call.
    source["a"] = Converts(lambda: inner.append(CorvaneDict(dict(source, a=5.0))), 3.0)
    assert CorvaneDict(source).to_dict == {"a": 3.0, "b": 2.0}
    assert inner[0].to_dict == {"a": 5.0, "b": 2.0}
    nested = Converts(lambda: inner.append((D.add(E, fill=D.sum()), E.multiply(D))), 4.0)
    assert D.add(E, fill=nested).to_dict == {"a": 11.0, "b": 6.0}
    assert inner[1][0].to_dict == {"a": 11.0, "b": 5.0}
    assert inner[1][1].to_dict == {"a": 10.0}
    assert_usable(D, E)


def test_conversion_that_drops_the_last_reference_to_an_operand():
    holder = [CorvaneDict({"x": 1.0}), CorvaneDict({"x": 2.0})]
    receiver, other = holder
    del receiver, other
    # The call itself keeps both operands alive while it runs.
    assert holder[0].add(holder[1], fill=Converts(holder.clear)).to_dict == {"x": 3.0}
    assert holder == []
    holder = [CorvaneDict({"y": 4.0})]
    assert holder[0].reset(Converts(holder.clear, 9.0)).to_dict == {"y": 9.0}


# --- conversions that fail or return odd things ----------------------------------

class Raises:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


# Exception classes, not instances: an instance raised again keeps growing its
# traceback, so one shared by repeated runs of a test would look like a leak.
@pytest.mark.parametrize("kind", [ValueError, ZeroDivisionError, KeyboardInterrupt, TypeError])
def test_raising_conversion_passes_through_every_entry_point(kind):
    error = kind("raised by __float__")
    with pytest.raises(type(error)) as caught:
        CorvaneDict({"ok": 1.0, "bad": Raises(error)})
    assert caught.value is error
    for call in (lambda: D.add(E, Raises(error)), lambda: D.multiply_scalar(Raises(error)),
                 lambda: D.reset(value=Raises(error))):
        with pytest.raises(type(error)) as caught:
            call()
        if type(error) is TypeError:
            # Only an exact TypeError is rewrapped with the argument's name.
            assert str(caught.value).startswith("argument '")
        else:
            assert caught.value is error
    assert_usable(D, E)


def test_conversion_returning_minus_one_is_a_value_everywhere():
    minus_one = Converts(lambda: None, -1.0)
    assert CorvaneDict({"a": minus_one}).to_dict == {"a": -1.0}
    assert D.add(E, fill=minus_one).to_dict == {"a": 11.0, "b": 1.0}
    assert D.divide_scalar(minus_one).to_dict == {"a": -1.0, "b": -2.0}


def test_conversion_returning_minus_one_while_an_error_is_pending_elsewhere():
    # A conversion that swallowed an exception of its own leaves nothing pending.
    class Swallows:
        def __float__(self):
            try:
                {}["missing"]
            except KeyError:
                pass
            return -1.0

    assert CorvaneDict({"a": Swallows()}).to_dict == {"a": -1.0}
    assert D.reset(Swallows()).to_dict == {"a": -1.0, "b": -1.0}


class Sub(float):
    pass


def test_conversion_returning_a_float_subclass():
    returns_sub = Converts(lambda: None, Sub(2.5))
    with warnings.catch_warnings():
        # CPython warns that returning a float subclass from __float__ is
        # deprecated; the value is used all the same.
        warnings.simplefilter("ignore", DeprecationWarning)
        assert CorvaneDict({"a": returns_sub}).to_dict == {"a": 2.5}
        assert D.add_scalar(returns_sub).to_dict == {"a": 3.5, "b": 4.5}
        assert D.add(E, fill=returns_sub).to_dict == {"a": 11.0, "b": 4.5}
    d = CorvaneDict({"s": Sub(-1.0)}).to_dict
    assert d == {"s": -1.0} and type(d["s"]) is float


@needs_host("conversion_warns_on_float_subclass")
def test_warning_turned_error_in_a_conversion_passes_through():
    returns_sub = Converts(lambda: None, Sub(2.5))
    with warnings.catch_warnings():
        warnings.simplefilter("error", DeprecationWarning)
        with pytest.raises(DeprecationWarning):
            CorvaneDict({"a": returns_sub})
        with pytest.raises(DeprecationWarning):
            D.multiply_scalar(returns_sub)
    assert_usable(D)


def test_conversion_returning_a_non_float():
    with pytest.raises(TypeError) as caught:
        D.add_scalar(Converts(lambda: None, "1.0"))
    assert str(caught.value).startswith("argument 'value': ")
    with pytest.raises(TypeError) as caught:
        CorvaneDict({"a": Converts(lambda: None, None)})
    assert not str(caught.value).startswith("argument")


def test_integers_beyond_binary64():
    for big in (10 ** 400, -(10 ** 400), 2 ** 1024):
        with pytest.raises(OverflowError):
            CorvaneDict({"a": 1.0, "b": big})
        with pytest.raises(OverflowError):
            D.add(E, fill=big)
        with pytest.raises(OverflowError):
            D.reset(big)
    # The largest integers that do fit round like float() does.
    fits = 2 ** 1024 - 2 ** 970 - 1
    assert CorvaneDict({"a": fits}).to_dict == {"a": float(fits)}
    assert D.reset(2 ** 53 + 1).to_dict["a"] == float(2 ** 53 + 1)
    assert_usable(D, E)


def test_reraised_panic_in_every_conversion(capfd):
    caught = panic_type()
    message = str(caught)

    class Again:
        def __float__(self):
            raise caught

    for call in (lambda: CorvaneDict({"a": Again()}), lambda: D.add(E, fill=Again()),
                 lambda: D.subtract_scalar(Again()), lambda: D.reset(Again())):
        again = expect_panic(call, message)
        assert type(again) is type(caught) and again is not caught
    err = capfd.readouterr().err
    assert err.count("Python stack trace below:") == 4
    assert_usable(D, E)


def test_panic_subclass_is_an_ordinary_exception_to_the_module():
    # Only the exact panic type resumes a fault; a subclass is just an error.
    Panic = type(panic_type())
    Derived = type("Derived", (Panic,), {})
    with pytest.raises(Derived):
        D.reset(Raises(Derived("mine")))
    assert_usable(D)


# --- subclasses that lie ---------------------------------------------------------

class Liar(str):
    """Equal to everything, hashing to one value, iterating and measuring wrongly."""

    def __hash__(self):
        return 42

    def __eq__(self, other):
        return True

    def __ne__(self, other):
        return False

    def __iter__(self):
        return iter("lie")

    def __len__(self):
        return 1000

    def __str__(self):
        return "lie"

    def encode(self, *args, **kwargs):
        return b"lie"


def test_str_subclass_methods_are_never_consulted():
    # A Liar equals every key, so each dict holds one of them, beside keys of
    # other hashes; the module reads the text the str object stores.
    source = {Liar("first"): 1.0, "plain": 3.0}
    d = CorvaneDict(source)
    assert d.to_dict == {"first": 1.0, "plain": 3.0}
    assert all(type(k) is str for k in d.to_dict)
    assert d.add(CorvaneDict({Liar("plain"): 10.0})).to_dict == {"first": 1.0, "plain": 13.0}


def test_dict_subclass_overriding_everything_is_read_as_stored():
    class Fake(dict):
        def __iter__(self):
            return iter(["ghost"])

        def __len__(self):
            return 99

        def __getitem__(self, key):
            return 7.0

        def keys(self):
            return ["ghost"]

        def items(self):
            return [("ghost", 7.0)]

        def values(self):
            return [7.0]

        def __contains__(self, key):
            return True

    fake = Fake(a=1.0, b=2.0)
    d = CorvaneDict(fake)
    assert d.to_dict == {"a": 1.0, "b": 2.0}
    assert D.add(d).to_dict == {"a": 2.0, "b": 4.0}


@pytest.mark.parametrize("length", [
    # Huge, yet within a 32-bit machine word, which is all a length can be there.
    pytest.param(lambda self: 2 ** 31 - 1, marks=needs_host("dict_subclass_len_not_asked")),
    lambda self: 0,
    pytest.param(lambda self: 1 // 0, marks=needs_host("dict_subclass_len_not_asked")),
], ids=["huge", "zero", "raises"])
def test_dict_subclass_len_is_never_asked(length):
    Lying = type("Lying", (dict,), {"__len__": length})
    assert CorvaneDict(Lying(a=1.0, b=2.0)).to_dict == {"a": 1.0, "b": 2.0}
    # A change of size is seen through the storage, not through __len__.
    grown = Lying(a=1.0, b=2.0)
    grown["a"] = Converts(lambda: dict.__setitem__(grown, "new", 0.0))
    expect_panic(lambda: CorvaneDict(grown), "dictionary changed size during iteration")


def test_dict_subclass_getitem_is_never_asked():
    class Deleting(dict):
        def __getitem__(self, key):
            # Deleting a key that a walk of the dict has yet to reach.
            if "c" in self:
                dict.__delitem__(self, "c")
            raise AssertionError("not to be called")

    d = CorvaneDict(Deleting(a=1.0, b=2.0, c=3.0))
    assert d.to_dict == {"a": 1.0, "b": 2.0, "c": 3.0}


@pytest.mark.parametrize("length", [0, 2, 1000])
def test_str_subclass_len_does_not_decide_the_text(length):
    Short = type("Short", (str,), {"__len__": lambda self: length, "__hash__": str.__hash__})
    keys = [Short("first"), Short("\u00e9t\u00e9"), Short("")]
    d = CorvaneDict({k: float(i) for i, k in enumerate(keys)})
    assert d.to_dict == {"first": 0.0, "\u00e9t\u00e9": 1.0, "": 2.0}
    # The text also decides equality with the other operand's keys.
    assert d.add(CorvaneDict({"first": 10.0})).to_dict["first"] == 10.0
    replaced = {Short("a"): 1.0, Short("b"): 2.0}

    def swap():
        dict.pop(replaced, "a")
        dict.__setitem__(replaced, Short("c"), 3.0)

    replaced[Short("a")] = Converts(swap)
    expect_panic(lambda: CorvaneDict(replaced), "dictionary keys changed during iteration")


def test_keyword_names_that_are_odd_strings():
    with pytest.raises(TypeError) as caught:
        D.add(E, **{"\ud800": 1.0})
    assert type(caught.value) is TypeError
    # The name is shown as str() shows it, lone surrogate and all.
    assert str(caught.value) == "CorvaneDict.add() got an unexpected keyword argument '\ud800'"
    with pytest.raises(TypeError) as caught:
        D.add(E, **{"fill\x00": 1.0})
    assert str(caught.value) == "CorvaneDict.add() got an unexpected keyword argument 'fill\x00'"
    with pytest.raises(TypeError) as caught:
        CorvaneDict(**{"dict\ud800": {}})
    assert str(caught.value) == "CorvaneDict.__new__() got an unexpected keyword argument 'dict\ud800'"
    assert_usable(D, E)


# --- awkward text and sizes ------------------------------------------------------

def test_keys_differing_only_after_a_nul_byte_or_in_normalisation():
    keys = ["a\x00b", "a\x00c", "a", "a\x00", "\x00", "", "e\u0301", "\u00e9"]
    source = {k: float(i) for i, k in enumerate(keys)}
    d = CorvaneDict(source)
    assert d.to_dict == source
    assert d.add(CorvaneDict({"a\x00": 100.0})).to_dict["a\x00"] == 103.0
    assert d.add(CorvaneDict({"a": 100.0})).to_dict["a\x00"] == 3.0


@pytest.mark.parametrize("key", ["\ud800", "\udfff", "ok\udc80ok", "\ud83d"])
def test_lone_surrogates_anywhere_are_refused_and_nothing_is_built(key):
    source = {"fine": 1.0, key: 2.0, "also fine": 3.0}
    with pytest.raises(UnicodeEncodeError):
        CorvaneDict(source)
    # In Python text even two surrogates that would pair in UTF-16 stay two
    # lone code points.
    with pytest.raises(UnicodeEncodeError):
        CorvaneDict({"\ud83d\ude00": 1.0})
    assert CorvaneDict({"\U0001F600": 1.0}).to_dict == {"\U0001F600": 1.0}


def test_very_long_keys():
    long_a, long_b = "k" * 5_000_000, "k" * 4_999_999 + "j"
    d = CorvaneDict({long_a: 1.0, long_b: 2.0, "": 3.0})
    assert d.to_dict == {long_a: 1.0, long_b: 2.0, "": 3.0}
    other = CorvaneDict({long_b: 10.0})
    assert d.add(other).to_dict == {long_a: 1.0, long_b: 12.0, "": 3.0}


def test_a_million_entries():
    n = 10 ** 6
    source = {f"key{i}": float(i) for i in range(n)}
    d = CorvaneDict(source)
    assert d.sum() == float(sum(range(n)))
    doubled = d.add(d)
    half = CorvaneDict({f"key{i}": 1.0 for i in range(0, n, 2)})
    shifted = d.add(half, fill=-1.0).to_dict
    assert len(shifted) == n
    assert shifted["key0"] == 1.0 and shifted["key1"] == 0.0 and shifted[f"key{n - 1}"] == float(n - 2)
    assert doubled.to_dict[f"key{n - 1}"] == 2.0 * (n - 1)
    assert d.to_dict == source
