import collections
import datetime

import pytest

from corvane import CorvaneDict

D = CorvaneDict({"a": 1.0, "b": 2.0})
E = CorvaneDict({"a": 10.0})


@pytest.mark.parametrize("call, message", [
    (lambda: D.add(), "CorvaneDict.add() missing 1 required positional argument: 'other'"),
    (lambda: D.add(E, 1.0, 2.0), "CorvaneDict.add() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: D.add(E, 1.0, 2.0, fill=3.0),
     "CorvaneDict.add() takes from 1 to 2 positional arguments but 3 were given"),
    (lambda: D.reset(1.0, 2.0), "CorvaneDict.reset() takes 1 positional arguments but 2 were given"),
    (lambda: D.add(E, fil=1.0), "CorvaneDict.add() got an unexpected keyword argument 'fil'"),
    (lambda: D.add(E, fil=1.0, other=E), "CorvaneDict.add() got an unexpected keyword argument 'fil'"),
    (lambda: D.add(E, other=E), "CorvaneDict.add() got multiple values for argument 'other'"),
    (lambda: D.add(E, 1.0, fill=2.0), "CorvaneDict.add() got multiple values for argument 'fill'"),
    (lambda: D.multiply_scalar(), "CorvaneDict.multiply_scalar() missing 1 required positional argument: 'value'"),
    (lambda: D.divide(fill=1.0), "CorvaneDict.divide() missing 1 required positional argument: 'other'"),
    (lambda: CorvaneDict(), "CorvaneDict.__new__() missing 1 required positional argument: 'dict'"),
    (lambda: CorvaneDict({}, {}), "CorvaneDict.__new__() takes 1 positional arguments but 2 were given"),
    (lambda: CorvaneDict({}, dict={}), "CorvaneDict.__new__() got multiple values for argument 'dict'"),
    (lambda: CorvaneDict(mapping={}), "CorvaneDict.__new__() got an unexpected keyword argument 'mapping'"),
    (lambda: D.add({"a": 1.0}), "argument 'other': 'dict' object cannot be cast as 'CorvaneDict'"),
    (lambda: D.subtract(3.0), "argument 'other': 'float' object cannot be cast as 'CorvaneDict'"),
    (lambda: CorvaneDict([("a", 1.0)]), "argument 'dict': 'list' object cannot be cast as 'dict'"),
    (lambda: CorvaneDict({1: 2.0}), "'int' object cannot be cast as 'str'"),
    (lambda: CorvaneDict({1: "x"}), "'int' object cannot be cast as 'str'"),
])
def test_matching_and_cast_messages(call, message):
    with pytest.raises(TypeError) as caught:
        call()
    assert type(caught.value) is TypeError
    assert str(caught.value) == message


def test_keywords_and_defaults():
    assert D.add(other=E, fill=5.0).to_dict == {"a": 11.0, "b": 7.0}
    assert D.add(E, 5.0).to_dict == D.add(E, fill=5.0).to_dict
    assert D.add_scalar(value=1.0).to_dict == {"a": 2.0, "b": 3.0}
    assert CorvaneDict(dict={"a": 1.0}).to_dict == {"a": 1.0}
    assert D.add(E).to_dict == {"a": 11.0, "b": 2.0}
    assert D.multiply(E).to_dict == {"a": 10.0, "b": 2.0}
    assert D.add(E, 2).to_dict == {"a": 11.0, "b": 4.0}
    assert D.add(E, True).to_dict == {"a": 11.0, "b": 3.0}
    assert D.multiply_scalar(3).to_dict == {"a": 3.0, "b": 6.0}


@pytest.mark.parametrize("bad", [None, [1.0], "1.0"])
def test_fill_and_value_type_errors_name_the_argument(bad):
    with pytest.raises(TypeError, match=r"^argument 'fill': ") as caught:
        D.add(E, bad)
    assert type(caught.value) is TypeError
    with pytest.raises(TypeError, match=r"^argument 'value': "):
        D.add_scalar(bad)


class Unfloatable:
    def __init__(self, error):
        self.error = error

    def __float__(self):
        raise self.error


class MyTypeError(TypeError):
    pass


# Made afresh per run: a shared instance would carry every earlier run's traceback.
@pytest.mark.parametrize("kind", [ValueError, MyTypeError, OverflowError])
def test_other_conversion_failures_pass_unchanged(kind):
    error = kind("raised by __float__")
    with pytest.raises(type(error)) as caught:
        D.reset(Unfloatable(error))
    assert caught.value is error
    with pytest.raises(type(error)) as caught:
        D.add(E, fill=Unfloatable(error))
    assert caught.value is error


def test_conversion_failures_without_prefix_in_constructor():
    with pytest.raises(OverflowError):
        D.add_scalar(10 ** 400)
    with pytest.raises(OverflowError):
        CorvaneDict({"a": 10 ** 400})
    with pytest.raises(TypeError) as caught:
        CorvaneDict({"a": None})
    assert not str(caught.value).startswith("argument")


def test_type_error_cause_is_carried_over():
    class Chained:
        def __float__(self):
            try:
                raise KeyError("inner")
            except KeyError as inner:
                raise TypeError("outer") from inner

    with pytest.raises(TypeError) as caught:
        D.add_scalar(Chained())
    assert str(caught.value) == "argument 'value': outer"
    assert isinstance(caught.value.__cause__, KeyError)


def test_minus_one_is_a_value_not_an_error():
    class MinusOne:
        def __float__(self):
            return -1.0

    assert D.reset(-1.0).to_dict == {"a": -1.0, "b": -1.0}
    assert D.reset(MinusOne()).to_dict == {"a": -1.0, "b": -1.0}
    assert CorvaneDict({"a": MinusOne(), "b": -1}).to_dict == {"a": -1.0, "b": -1.0}


class Outer:
    class Inner:
        pass


def test_cast_failure_shows_qualified_name():
    with pytest.raises(TypeError, match=r"^argument 'other': 'Outer.Inner' object cannot be cast as 'CorvaneDict'$"):
        D.add(Outer.Inner())
    # The host's own descriptor check refuses a foreign receiver first.
    with pytest.raises(TypeError):
        CorvaneDict.sum(Outer.Inner())


class Posing(type):
    """What a metaclass answers for its classes is not their name."""

    def __getattribute__(cls, name):
        return "Posing.Pretence" if name == "__qualname__" else type.__getattribute__(cls, name)


class Posed(metaclass=Posing):
    pass


class Renamed:
    pass


Renamed.__qualname__ = "Somewhere.Else"


NAMED = [
    (CorvaneDict({}), "CorvaneDict"),  # a class made by the module itself
    (Outer.Inner(), "Outer.Inner"),
    (Posed(), "Posed"),
    (Renamed(), "Somewhere.Else"),
    (1, "int"),
    (None, "NoneType"),
    (collections.deque(), "deque"),  # a built-in type whose full name has a module
    (datetime.date(2000, 1, 1), "date"),
]


@pytest.mark.parametrize("instance, name", [pytest.param(instance, name, id=name) for instance, name in NAMED])
def test_cast_failures_name_the_class_by_its_own_qualified_name(instance, name):
    with pytest.raises(TypeError) as caught:
        CorvaneDict(instance)
    assert str(caught.value) == f"argument 'dict': '{name}' object cannot be cast as 'dict'"
    if not isinstance(instance, CorvaneDict):
        with pytest.raises(TypeError) as caught:
            D.add(instance)
        assert str(caught.value) == f"argument 'other': '{name}' object cannot be cast as 'CorvaneDict'"
    if not isinstance(instance, collections.deque):
        with pytest.raises(TypeError) as caught:
            CorvaneDict({instance: 1.0})
        assert str(caught.value) == f"'{name}' object cannot be cast as 'str'"


def test_no_argument_methods_refuse_arguments():
    with pytest.raises(TypeError):
        D.sum(1)
    with pytest.raises(TypeError):
        D.product(None)


def test_failed_calls_leave_objects_usable():
    for call in (lambda: D.add(), lambda: D.add(E, None), lambda: D.add({}), lambda: D.reset([1])):
        with pytest.raises(TypeError):
            call()
        assert D.add(E).to_dict == {"a": 11.0, "b": 2.0}
        assert D.to_dict == {"a": 1.0, "b": 2.0} and E.to_dict == {"a": 10.0}


# --- messages that hold text of their own ----------------------------------------

@pytest.mark.parametrize("text", ["lone \ud800 high", "\udfff", "pair? \ud83d\ude00", "\u00e9t\u00e9 \U0001F600"])
def test_rewrapped_type_error_keeps_its_text_as_str_shows_it(text):
    # Text without a UTF-8 form (lone surrogates) stays exactly what str()
    # of the original gave, as the unexpected-keyword message keeps a name.
    for call, name in ((lambda: D.add_scalar(Unfloatable(TypeError(text))), "value"),
                       (lambda: D.add(E, fill=Unfloatable(TypeError(text))), "fill"),
                       (lambda: D.reset(Unfloatable(TypeError(text))), "value")):
        with pytest.raises(TypeError) as caught:
            call()
        assert type(caught.value) is TypeError
        assert str(caught.value) == f"argument '{name}': {text}"


class Unprintable(str):
    """A keyword name whose str() fails."""

    def __str__(self):
        raise ValueError("no text for this name")


def unprintable_type_error():
    # An exact TypeError whose str() fails: its one argument's str() raises.
    class Opaque:
        def __str__(self):
            raise ValueError("no text for this error")

    return TypeError(Opaque())


@pytest.fixture
def unraisable(monkeypatch):
    seen = []
    monkeypatch.setattr("sys.unraisablehook", seen.append)
    return seen


def reports_on(report, culprit):
    """Whether an unraisable report names the object it was raised for. CPython
    hands the hook the object; PyPy hands it none and names the object in the
    message instead."""
    if report.object is not None:
        return report.object is culprit
    return report.err_msg == f"Exception ignored in: {culprit!r}"


def test_unprintable_rewrapped_error_goes_to_the_unraisable_hook(unraisable):
    error = unprintable_type_error()
    with pytest.raises(TypeError) as caught:
        D.add_scalar(Unfloatable(error))
    assert str(caught.value) == "argument 'value': <unprintable TypeError object>"
    assert len(unraisable) == 1
    assert unraisable[0].exc_type is ValueError
    assert str(unraisable[0].exc_value) == "no text for this error"
    assert reports_on(unraisable[0], error)


@pytest.mark.parametrize("name", ["nope", "nope\ud800"])
def test_unprintable_keyword_name_goes_to_the_unraisable_hook(unraisable, name):
    keyword = Unprintable(name)
    for call, function in ((lambda: D.add(E, **{keyword: 1.0}), "add"),
                           (lambda: CorvaneDict(**{keyword: {}}), "__new__")):
        with pytest.raises(TypeError) as caught:
            call()
        assert type(caught.value) is TypeError
        message = f"CorvaneDict.{function}() got an unexpected keyword argument "
        if not unraisable:
            # This host handed the module a plain str of the name, whose str()
            # cannot fail.
            assert str(caught.value) == message + f"'{name}'"
            continue
        assert str(caught.value) == message + "'<unprintable keyword>'"
        report = unraisable.pop()
        assert report.exc_type is ValueError
        assert str(report.exc_value) == "no text for this name"
        assert reports_on(report, keyword)
        assert unraisable == []
