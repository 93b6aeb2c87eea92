"""Every operation against a plain-Python model, bit for bit, on generated data."""
import math
import operator

from hypothesis import given, strategies as st

from corvane import CorvaneDict
from conftest import same_number, same_values


def ieee_divide(a, b):
    if b == 0.0:
        if a == 0.0 or math.isnan(a):
            return math.nan
        return math.copysign(math.inf, a) * math.copysign(1.0, b)
    return a / b


OPERATORS = {"add": operator.add, "subtract": operator.sub, "multiply": operator.mul, "divide": ieee_divide}
DEFAULT_FILL = {"add": 0.0, "subtract": 0.0, "multiply": 1.0, "divide": 1.0}

keys = st.sampled_from(["", "a", "b", "ä", "日本", "k\x00", "😀", "long" * 8]) | st.text(max_size=6)
values = st.floats(allow_nan=True, allow_infinity=True, allow_subnormal=True) | st.sampled_from(
    [0.0, -0.0, 5e-324, -5e-324, 1e308, math.inf, -math.inf])
mappings = st.dictionaries(keys, values, max_size=30)


@given(mappings, mappings, st.sampled_from(sorted(OPERATORS)), st.none() | values)
def test_aligned_operations(left, right, method, fill):
    a, b = CorvaneDict(left), CorvaneDict(right)
    op = OPERATORS[method]
    used_fill = DEFAULT_FILL[method] if fill is None else fill
    expected = {k: op(v, right.get(k, used_fill)) for k, v in left.items()}
    call = getattr(a, method)
    result = call(b) if fill is None else call(b, fill=fill)
    same_values(result.to_dict, expected)
    # The positional path (a twin sharing the receiver's key index) agrees.
    twin = a.reset(0.0).add(b)
    same_values(getattr(a, method)(twin, 7.0).to_dict,
                {k: op(v, right.get(k, 0.0) + 0.0) for k, v in left.items()})
    same_values(a.to_dict, left)
    same_values(b.to_dict, right)


@given(mappings, values, st.sampled_from(sorted(OPERATORS) + ["reset"]))
def test_scalar_operations(source, value, method):
    d = CorvaneDict(source)
    if method == "reset":
        expected = {k: value for k in source}
        result = d.reset(value)
    else:
        expected = {k: OPERATORS[method](v, value) for k, v in source.items()}
        result = getattr(d, method + "_scalar")(value)
    same_values(result.to_dict, expected)
    same_values(d.to_dict, source)


@given(mappings)
def test_reductions_are_single_running_folds(source):
    d = CorvaneDict(source)
    # This implementation exports in position order, so the export shows the
    # order the folds must follow.
    ordered = list(d.to_dict.values())
    total, product = -0.0, 1.0
    for v in ordered:
        total += v
        product *= v
    assert same_number(d.sum(), total)
    assert same_number(d.product(), product)
