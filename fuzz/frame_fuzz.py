"""Fuzzes the module from Python: random calls with random arguments, each
checked against a plain-Python model.

Each input is a small program over a pool of instances: constructions from
dicts (and from things that are not dicts), every method called with a random
number of positional arguments and random keywords (unknown, duplicated and
odd ones included), argument values of every kind the float protocol meets
(exact floats as raw bit patterns, ints, bools, huge ints, float subclasses,
objects with __float__ or __index__ that return odd things or raise), str
subclass keys and dict subclasses that lie. A result must equal the model's bit
for bit (any NaN matches any NaN), a failure must be an exception of the type
the model expects, and no call may change an operand.

Run with atheris: python fuzz/frame_fuzz.py [libFuzzer options] CORPUS...
"""
import math
import struct
import sys
import warnings

import atheris
import corvane
from corvane import CorvaneDict

# Returning a float subclass from __float__ is deprecated; the value is used
# all the same, and the warning would only flood the output.
warnings.simplefilter("ignore", DeprecationWarning)

ALIGNED = {"add": (lambda a, b: a + b, 0.0), "subtract": (lambda a, b: a - b, 0.0),
           "multiply": (lambda a, b: a * b, 1.0), "divide": (None, 1.0)}
SCALAR = {"add_scalar": lambda a, b: a + b, "subtract_scalar": lambda a, b: a - b,
          "multiply_scalar": lambda a, b: a * b, "divide_scalar": None, "reset": lambda a, b: b}
METHODS = sorted(ALIGNED) + sorted(SCALAR) + ["sum", "product"]
PARAMETERS = {**{name: ("other", "fill") for name in ALIGNED}, **{name: ("value",) for name in SCALAR},
              "sum": (), "product": ()}
KEYWORDS = ["other", "fill", "value", "dict", "fil", "fill\x00", "valu\u00e9", "", "self", "\U0001F600"]
TEXT = ["", "a", "b", "k\x00", "\x00", "\u00e4", "\u65e5\u672c", "\U0001F600", "e\u0301", "long" * 10]


def ieee_divide(a, b):
    if b == 0.0:
        if a == 0.0 or math.isnan(a):
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)
    return a / b


def ieee(op):
    return op if op is not None else ieee_divide


def same_number(actual, expected):
    if math.isnan(expected):
        return math.isnan(actual)
    return struct.pack("<d", actual) == struct.pack("<d", expected)


class Mismatch(AssertionError):
    pass


def require(condition, *detail):
    if not condition:
        raise Mismatch(*detail)


def same_mapping(actual, expected):
    require(type(actual) is dict, "not a dict", type(actual))
    require(actual.keys() == expected.keys(), "keys differ", actual, expected)
    for key, value in expected.items():
        require(type(actual[key]) is float, "value not a float", key, actual[key])
        require(same_number(actual[key], value), "value differs", key, actual[key], value)


# --- hostile argument values ---------------------------------------------------

class FuzzError(Exception):
    pass


class FuzzTypeError(TypeError):
    pass


class Floats:
    """__float__ returns `result` (which may be no float at all) or raises it."""

    def __init__(self, result):
        self.result = result

    def __float__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result

    def __repr__(self):
        return f"Floats({self.result!r})"


class Indexes:
    def __init__(self, result):
        self.result = result

    def __index__(self):
        if isinstance(self.result, BaseException):
            raise self.result
        return self.result

    def __repr__(self):
        return f"Indexes({self.result!r})"


class Reenters:
    """__float__ calls into the module before it answers."""

    def __init__(self, result):
        self.result = result

    def __float__(self):
        inner = CorvaneDict({"x": self.result, "y": 1.0})
        require(len(inner.add(inner.multiply_scalar(2.0), fill=inner.sum()).to_dict) == 2, "nested call")
        return self.result


class SubFloat(float):
    def __float__(self):  # never asked: the stored value is what counts
        raise FuzzError("float subclass asked for __float__")


class SubInt(int):
    pass


class Key(str):
    """A str subclass whose methods lie; only its stored text may count."""

    def __len__(self):
        return 7

    def __iter__(self):
        return iter("lie")

    def encode(self, *args, **kwargs):
        return b"lie"

    def __str__(self):
        return "lie"


class Mapping(dict):
    """A dict subclass whose methods lie; only its storage may count."""

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


def convert(value):
    """What the module's float conversion gives: a float, or the exception
    type it raises."""
    if isinstance(value, (str, bytes, bytearray)):
        return TypeError  # float() parses text; the module takes numbers only
    if isinstance(value, float):
        return float.__float__(value)  # float() would ask a subclass's __float__; the module reads the value
    try:
        return float(value)
    except BaseException as caught:  # noqa: B036 - the type is the outcome
        # An exact TypeError is rewrapped with the argument's name: the same type.
        return type(caught)


class Input:
    """Draws program parts from the fuzzer's bytes."""

    def __init__(self, data):
        self.fdp = atheris.FuzzedDataProvider(data)

    def left(self):
        return self.fdp.remaining_bytes() > 0

    def pick(self, items):
        return items[self.fdp.ConsumeIntInRange(0, len(items) - 1)]

    def int(self, low, high):
        return self.fdp.ConsumeIntInRange(low, high)

    def bits(self):
        return struct.unpack("<d", struct.pack("<Q", self.fdp.ConsumeInt(8) & (2 ** 64 - 1)))[0]

    def special(self):
        return self.pick([0.0, -0.0, math.inf, -math.inf, math.nan, -math.nan, 5e-324, 1.0, -1.0, 1e308, 0.5])

    def number(self):
        """A value that converts to a float."""
        kind = self.int(0, 9)
        if kind <= 2:
            return self.bits()
        if kind == 3:
            return self.special()
        if kind == 4:
            return self.int(-(2 ** 60), 2 ** 60)
        if kind == 5:
            return self.pick([True, False, SubInt(3), 2 ** 53 + 1, -(2 ** 63)])
        if kind == 6:
            return SubFloat(self.special())
        if kind == 7:
            return Floats(self.pick([self.bits(), self.special(), SubFloat(2.5)]))
        if kind == 8:
            return Indexes(self.pick([self.int(-1000, 1000), 2 ** 70, True]))
        return Reenters(self.special())

    def argument(self):
        """Anything at all a caller might pass."""
        kind = self.int(0, 12)
        if kind <= 6:
            return self.number()
        if kind == 7:
            return self.pick([None, "1.0", [1.0], {}, b"1", object(), 10 ** 400, -(2 ** 1024)])
        if kind == 8:
            error = self.pick([ValueError, ZeroDivisionError, FuzzError, TypeError, FuzzTypeError,
                               OverflowError, ArithmeticError])
            return Floats(error("raised by the fuzzer"))
        if kind == 9:
            return Floats(self.pick(["1.0", None, 1, [], SubInt(1)]))
        if kind == 10:
            return Indexes(self.pick([1.5, "1", None, ValueError("raised by the fuzzer"), 10 ** 400]))
        return CorvaneDict({})

    def key(self):
        kind = self.int(0, 5)
        if kind <= 2:
            return self.pick(TEXT)
        if kind == 3:
            return self.fdp.ConsumeUnicodeNoSurrogates(self.int(0, 6))
        if kind == 4:
            return Key(self.pick(TEXT))
        return self.pick([1, None, 2.5, b"a", "\ud800", "ok\udc80"])  # refused keys

    def source(self, valid):
        """A dict to construct from; with `valid`, one that must be accepted."""
        entries = []
        for _ in range(self.int(0, 12)):
            if not self.left():
                break
            key = self.pick(TEXT) if valid and self.int(0, 1) else self.key()
            value = self.number() if valid or self.int(0, 5) else self.argument()
            if valid and not (encodes(key) and isinstance(convert(value), float)):
                continue
            entries.append((key, value))
        made = Mapping() if self.int(0, 4) == 0 else {}
        for key, value in entries:
            dict.__setitem__(made, key, value)
        return made


def encodes(key):
    if not isinstance(key, str):
        return False
    try:
        str.encode(key, "utf-8")
    except UnicodeEncodeError:
        return False
    return True


def model_of(source):
    """The mapping the module builds from `source`, or the exception type."""
    if not isinstance(source, dict):
        return TypeError
    model = {}
    for key, value in dict.items(source):
        if not isinstance(key, str):
            return TypeError
        try:
            str.encode(key, "utf-8")
        except UnicodeEncodeError:
            return UnicodeEncodeError
        converted = convert(value)
        if not isinstance(converted, float):
            return converted
        model[str.__str__(key)] = converted
    return model


def bind(parameters, args, kwargs):
    """The module's argument matching: the bound values, or None for a TypeError."""
    if len(args) > len(parameters):
        return None
    bound = dict(zip(parameters, args))
    for name, value in kwargs.items():
        text = str.__str__(name)
        if text not in parameters or text in bound:
            return None
        bound[text] = value
    return bound


def expected_call(method, left, model_for, args, kwargs):
    """What receiver.method(*args, **kwargs) gives: a mapping, a float or an exception type."""
    parameters = PARAMETERS[method]
    if not parameters:
        return TypeError if args or kwargs else None
    bound = bind(parameters, args, kwargs)
    if bound is None or parameters[0] not in bound:
        return TypeError
    if method in ALIGNED:
        op, default = ALIGNED[method]
        other = bound["other"]
        if type(other) is not CorvaneDict:
            return TypeError
        fill = convert(bound["fill"]) if "fill" in bound else default
        if not isinstance(fill, float):
            return fill
        right = model_for(other)
        return {k: ieee(op)(v, right.get(k, fill)) for k, v in left.items()}
    value = convert(bound["value"])
    if not isinstance(value, float):
        return value
    return {k: ieee(SCALAR[method])(v, value) for k, v in left.items()}


def check_outcome(expected, function, /, *args, **kwargs):
    """Calls `function`; its outcome must be `expected` (a mapping, a float or an exception type)."""
    try:
        result = function(*args, **kwargs)
    except Mismatch:
        raise
    except BaseException as caught:  # noqa: B036 - compared with the model below
        if isinstance(expected, type) and issubclass(expected, BaseException):
            require(type(caught) is expected, "wrong exception", type(caught), caught, expected)
            return None
        raise Mismatch("unexpected exception", expected) from caught
    require(not (isinstance(expected, type) and issubclass(expected, BaseException)),
            "no exception", expected, result)
    return result


def run(data):
    draw = Input(data)
    pool = [CorvaneDict({"a": 1.0, "b": -0.0}), CorvaneDict({})]
    models = [{"a": 1.0, "b": -0.0}, {}]
    while draw.left():
        action = draw.int(0, 9)
        if action == 0:
            source = draw.source(valid=draw.int(0, 3) > 0)
            if draw.int(0, 7) == 0:
                source = draw.pick([[("a", 1.0)], None, "a", pool[0], 1.0])
            expected = model_of(source)
            if draw.int(0, 3):
                made = check_outcome(expected, CorvaneDict, source)
            else:
                made = check_outcome(expected, CorvaneDict, dict=source)
            if made is not None:
                require(type(made) is CorvaneDict, "construction made", type(made))
                same_mapping(made.to_dict, expected)
                if len(pool) < 10:
                    pool.append(made)
                    models.append(expected)
            continue
        if action == 1:
            # Construction with odd arguments: none, several, unknown keywords.
            args = [draw.source(valid=True) for _ in range(draw.int(0, 2))]
            kwargs = {draw.pick(KEYWORDS): draw.source(valid=True) for _ in range(draw.int(0, 2))}
            bound = bind(("dict",), args, kwargs)
            expected = TypeError if bound is None or "dict" not in bound else model_of(bound["dict"])
            made = check_outcome(expected, CorvaneDict, *args, **kwargs)
            if made is not None:
                same_mapping(made.to_dict, expected)
            continue
        index = draw.int(0, len(pool) - 1)
        receiver = pool[index]
        method = draw.pick(METHODS)
        args = []
        for _ in range(draw.int(0, 3)):
            args.append(draw.pick(pool) if draw.int(0, 2) == 0 else draw.argument())
        kwargs = {}
        for _ in range(draw.int(0, 2)):
            name = draw.pick(KEYWORDS)
            if draw.int(0, 4) == 0:
                name = Key(name)
            kwargs[name] = draw.pick(pool) if draw.int(0, 2) == 0 else draw.argument()
        if method in ALIGNED and draw.int(0, 1):
            # Mostly well-formed calls, so that the arithmetic gets its share.
            args = [draw.pick(pool)] + ([draw.number()] if draw.int(0, 1) else [])
            kwargs = {}
        elif method in SCALAR and draw.int(0, 1):
            args, kwargs = [draw.number()], {}
        def model_for(d):
            for known, model in zip(pool, models):
                if known is d:
                    return model
            return d.to_dict  # made by draw.argument(): an empty one

        expected = expected_call(method, models[index], model_for, args, kwargs)
        before = [d.to_dict for d in pool]
        result = check_outcome(expected, getattr(receiver, method), *args, **kwargs)
        if method in ("sum", "product") and result is not None:
            require(type(result) is float, "reduction gave", type(result))
            total = -0.0 if method == "sum" else 1.0
            for key in receiver.to_dict:  # exported in position order
                value = models[index][key]
                total = total + value if method == "sum" else total * value
            require(same_number(result, total), method, result, total)
        elif result is not None:
            require(type(result) is CorvaneDict and result is not receiver, "result", result)
            same_mapping(result.to_dict, expected)
            if len(pool) < 10:
                pool.append(result)
                models.append(expected)
        for d, old, model in zip(pool, before, models):
            same_mapping(d.to_dict, old)
            same_mapping(d.to_dict, model)


def main():
    require(corvane.__all__ == ["CorvaneDict"], "module namespace")
    # Coverage of the fuzzer's own decisions, so that it keeps inputs that
    # reach new kinds of calls (the module itself is native code).
    for name in ("run", "model_of", "bind", "expected_call", "convert", "check_outcome"):
        globals()[name] = atheris.instrument_func(globals()[name])
    for name in ("number", "argument", "key", "source"):
        setattr(Input, name, atheris.instrument_func(getattr(Input, name)))
    atheris.Setup(sys.argv, run)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
