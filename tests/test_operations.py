import math

import pytest

from corvane import CorvaneDict
from conftest import is_negative_zero, same_values

nan, inf = float("nan"), math.inf
ALIGNED = ["add", "subtract", "multiply", "divide"]
SCALAR = ["add_scalar", "subtract_scalar", "multiply_scalar", "divide_scalar"]


def C(**values):
    return CorvaneDict(values)


def positional_twin(d, values):
    """A store on the positional path with `d`: same key index, other values."""
    return d.reset(0.0).add(CorvaneDict(values))


@pytest.mark.parametrize("path", ["keyed", "positional"])
def test_operand_order(path):
    a = C(a=10.0)
    b = C(a=4.0) if path == "keyed" else positional_twin(a, {"a": 4.0})
    assert [a.subtract(b).to_dict["a"], a.divide(b).to_dict["a"]] == [6.0, 2.5]
    assert [b.subtract(a).to_dict["a"], b.divide(a).to_dict["a"]] == [-6.0, 0.4]
    assert a.add(b).to_dict["a"] == 14.0 and a.multiply(b).to_dict["a"] == 40.0


def test_fill_is_the_right_operand_and_only_receiver_keys_count():
    a = C(a=10.0, b=5.0)
    assert a.subtract(C(b=2.0), fill=1.0).to_dict == {"a": 9.0, "b": 3.0}
    assert a.divide(C(b=2.0), fill=4.0).to_dict == {"a": 2.5, "b": 2.5}
    assert C(a=1.0).add(C(a=2.0, z=9.0)).to_dict == {"a": 3.0}


def test_defaults_keep_values_except_negative_zero_under_add():
    a = C(z=-0.0, v=7.0)
    other = C(q=1.0)
    for method in ALIGNED:
        result = getattr(a, method)(other).to_dict
        assert result["v"] == 7.0
        assert is_negative_zero(result["z"]) == (method != "add"), method


def test_empty_and_disjoint_operands():
    empty = CorvaneDict({})
    assert C(a=2.0).multiply(empty).to_dict == {"a": 2.0}
    assert C(a=2.0).multiply(empty, fill=0.0).to_dict == {"a": 0.0}
    assert empty.add(C(a=1.0), fill=5.0).to_dict == {}
    assert empty.add(empty).to_dict == {}
    assert C(a=1.0, b=2.0).add(C(x=1.0), fill=10.0).to_dict == {"a": 11.0, "b": 12.0}
    for method in SCALAR + ["reset"]:
        assert getattr(empty, method)(3.0).to_dict == {}


def test_self_combination_takes_the_positional_path_and_ignores_fill():
    d = C(a=1.5, z=0.0, i=inf, n=nan)
    same_values(d.add(d, fill=nan).to_dict, {"a": 3.0, "z": 0.0, "i": inf, "n": nan})
    same_values(d.subtract(d).to_dict, {"a": 0.0, "z": 0.0, "i": nan, "n": nan})
    same_values(d.divide(d).to_dict, {"a": 1.0, "z": nan, "i": nan, "n": nan})


def test_derived_and_separate_stores_agree():
    source = {f"key{i}": i * 0.5 - 3.0 for i in range(200)}
    d = CorvaneDict(source)
    e = d.multiply_scalar(2.0)
    assert d.add(e).to_dict == {k: v * 3.0 for k, v in source.items()}
    separate = CorvaneDict({k: v * 2.0 for k, v in source.items()})
    for method in ALIGNED:
        same_values(getattr(d, method)(separate).to_dict, getattr(d, method)(e).to_dict)
    # Same keys built in another order: still the same result.
    shuffled = CorvaneDict(dict(reversed(list(source.items()))))
    assert d.subtract(shuffled).to_dict == {k: 0.0 for k in source}


def test_ieee_arithmetic():
    ones = C(a=1.0, b=-1.0, c=0.0)
    zeros = C(a=0.0, b=0.0, c=0.0)
    same_values(ones.divide(zeros).to_dict, {"a": inf, "b": -inf, "c": nan})
    same_values(ones.divide(CorvaneDict({}), fill=0.0).to_dict, {"a": inf, "b": -inf, "c": nan})
    same_values(ones.divide_scalar(0.0).to_dict, {"a": inf, "b": -inf, "c": nan})
    same_values(ones.divide_scalar(-0.0).to_dict, {"a": -inf, "b": inf, "c": nan})
    same_values(C(a=1.0).add(C(b=1.0), fill=nan).to_dict, {"a": nan})
    same_values(C(i=inf, j=0.0).multiply(C(i=-inf, j=inf)).to_dict, {"i": -inf, "j": nan})
    # True division, not a multiplication by the reciprocal.
    assert C(a=3.0).divide_scalar(10.0).to_dict["a"] == 0.3
    assert C(a=3.0).divide(C(a=10.0)).to_dict["a"] == 0.3


def test_scalar_signed_zeros_and_nan():
    z = C(n=-0.0, p=0.0)
    assert not is_negative_zero(z.add_scalar(0.0).to_dict["n"])
    assert is_negative_zero(z.subtract_scalar(0.0).to_dict["n"])
    assert is_negative_zero(z.multiply_scalar(-1.0).to_dict["p"])
    for method in SCALAR:
        assert all(math.isnan(v) for v in getattr(C(a=1.0, b=nan), method)(nan).to_dict.values())
        assert math.isnan(getattr(C(b=nan), method)(2.0).to_dict["b"])
    assert C(a=5.0).subtract_scalar(3.0).to_dict == {"a": 2.0}
    assert C(a=10.0).divide_scalar(2.0).to_dict == {"a": 5.0}


def test_reset():
    d = C(a=1.0, b=2.0)
    assert d.reset(99.0).to_dict == {"a": 99.0, "b": 99.0}
    assert all(is_negative_zero(v) for v in d.reset(-0.0).to_dict.values())
    assert all(math.isnan(v) for v in d.reset(nan).to_dict.values())
    assert d.add(d.reset(1.0)).to_dict == {"a": 2.0, "b": 3.0}
    assert d.multiply(d.reset(2.0)).to_dict == {"a": 2.0, "b": 4.0}


def test_reductions():
    assert C(a=0.0).sum() == 0.0 and not is_negative_zero(C(a=0.0).sum())
    assert is_negative_zero(C(a=-0.0).sum())
    assert math.isnan(C(a=1.0, b=nan).sum()) and math.isnan(C(a=1.0, b=nan).product())
    assert math.isnan(C(a=inf, b=-inf).sum())
    assert math.isnan(C(a=0.0, b=inf).product())
    assert C(a=1.0, b=2.0, c=3.0).sum() == 6.0
    assert C(a=2.0, b=3.0, c=4.0).product() == 24.0
    assert type(C(a=1.0).sum()) is float


def test_reductions_fold_once_in_position_order():
    # Whatever order the positions take, the result is that of one running fold.
    values = [1e16, 1.0, -1e16]
    total = CorvaneDict(dict(zip("abc", values))).sum()
    assert total in (0.0, 1.0)
    product = CorvaneDict(dict(zip("abc", [1e300, 1e300, 1e-300]))).product()
    assert product in (inf, 1e300)


def test_to_dict_is_fresh_exact_and_read_only():
    class S(str):
        pass

    d = CorvaneDict({S("k"): 1, "j": True})
    first, second = d.to_dict, d.to_dict
    assert first is not second and first == {"k": 1.0, "j": 1.0}
    assert all(type(k) is str for k in first) and all(type(v) is float for v in first.values())
    first["k"] = 5.0
    assert d.to_dict == {"k": 1.0, "j": 1.0}
    with pytest.raises(AttributeError):
        d.to_dict = {}
    with pytest.raises(AttributeError):
        del d.to_dict


def test_operands_unchanged_and_results_new():
    a, b = C(a=1.0, b=-0.0), C(a=3.0)
    before = (a.to_dict, b.to_dict)
    results = [getattr(a, m)(b, 2.0) for m in ALIGNED] + [getattr(a, m)(2.0) for m in SCALAR + ["reset"]]
    results.append(a.add(a))
    for r in results:
        assert r is not a and r is not b and type(r) is CorvaneDict
    for call in (lambda: a.add(b, None), lambda: a.add_scalar([1])):
        with pytest.raises(TypeError):
            call()
    same_values(a.to_dict, before[0])
    same_values(b.to_dict, before[1])


def test_results_outlive_their_receiver():
    d = CorvaneDict({"a": 1.0, "b": 2.0})
    r = d.add_scalar(1.0)
    del d
    assert r.to_dict == {"a": 2.0, "b": 3.0}
    assert r.add(r.reset(1.0)).to_dict == {"a": 3.0, "b": 4.0}
