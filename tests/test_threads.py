"""Several threads share instances and call every operation on them at once.
The interpreter lock serialises the calls themselves, but conversions run
Python code in the middle of a call, and a thread switch there leaves borrows
and shared key indexes in use by two calls at a time."""
import sys
import threading
import time

import pytest

from corvane import CorvaneDict
from conftest import same_values

THREADS = 8
ROUNDS = 150

LEFT = {f"k{i}": float(i) - 7.5 for i in range(40)}
RIGHT = {f"k{i}": 0.25 * i + 1.0 for i in range(0, 60, 3)}


class Yielding:
    """A number whose conversion gives other threads a chance to run."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        time.sleep(0)  # releases the interpreter lock: another thread may run
        return self.value


def expected_results(fill):
    def aligned(op, default):
        return {k: op(v, RIGHT.get(k, default)) for k, v in LEFT.items()}

    return {
        "add": aligned(lambda a, b: a + b, fill),
        "subtract": aligned(lambda a, b: a - b, fill),
        "multiply": aligned(lambda a, b: a * b, fill),
        "divide": aligned(lambda a, b: a / b, fill),
        "add_scalar": {k: v + fill for k, v in LEFT.items()},
        "subtract_scalar": {k: v - fill for k, v in LEFT.items()},
        "multiply_scalar": {k: v * fill for k, v in LEFT.items()},
        "divide_scalar": {k: v / fill for k, v in LEFT.items()},
        "reset": {k: fill for k in LEFT},
    }


@pytest.fixture
def switch_often():
    before = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    yield
    sys.setswitchinterval(before)


def run_threads(work):
    errors = []
    start = threading.Barrier(THREADS)

    def runner(index):
        try:
            start.wait()
            work(index)
        except BaseException as error:  # noqa: B036 - report everything, panics included
            errors.append((index, error))

    threads = [threading.Thread(target=runner, args=(i,)) for i in range(THREADS)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert errors == []


def test_every_operation_on_shared_instances(switch_often):
    left, right = CorvaneDict(LEFT), CorvaneDict(RIGHT)
    twin = left.reset(1.0)  # shares left's key index: the positional path
    fill = 3.0
    expected = expected_results(fill)
    expected_sum = sum(LEFT.values())  # every partial sum is exact, so order is moot

    def work(index):
        for round_ in range(ROUNDS):
            # Alternate exact floats (no Python code runs) with yielding ones.
            number = Yielding(fill) if (index + round_) % 2 else fill
            for name in ("add", "subtract", "multiply", "divide"):
                same_values(getattr(left, name)(right, number).to_dict, expected[name])
            for name in ("add_scalar", "subtract_scalar", "multiply_scalar", "divide_scalar", "reset"):
                same_values(getattr(left, name)(number).to_dict, expected[name])
            same_values(left.add(twin).to_dict, {k: v + 1.0 for k, v in LEFT.items()})
            assert left.sum() == expected_sum
            same_values(left.to_dict, LEFT)
            same_values(right.to_dict, RIGHT)

    run_threads(work)
    # Later calls on the same objects go through: no borrow was left behind.
    same_values(left.add(right, fill).to_dict, expected["add"])
    same_values(right.add(left).to_dict, {k: v + LEFT.get(k, 0.0) for k, v in RIGHT.items()})


def test_chains_built_concurrently_from_one_instance(switch_often):
    base = CorvaneDict(LEFT)

    def work(index):
        step = float(index + 1)
        current = base
        for _ in range(ROUNDS):
            current = current.add_scalar(Yielding(step)).subtract(base).add(base)
        expected = {k: v + step * ROUNDS for k, v in LEFT.items()}
        same_values(current.to_dict, expected)

    run_threads(work)
    same_values(base.to_dict, LEFT)


def test_construction_from_one_dict_in_many_threads(switch_often):
    source = {k: Yielding(v) for k, v in LEFT.items()}
    built = [[] for _ in range(THREADS)]

    def work(index):
        for _ in range(ROUNDS // 5):
            built[index].append(CorvaneDict(source))

    run_threads(work)
    for results in built:
        for d in results:
            same_values(d.to_dict, LEFT)
    first = built[0][0]
    same_values(first.add(built[-1][-1]).to_dict, {k: 2 * v for k, v in LEFT.items()})


def test_failures_in_many_threads_leave_objects_usable(switch_often):
    left, right = CorvaneDict(LEFT), CorvaneDict(RIGHT)

    class Fails:
        def __float__(self):
            time.sleep(0)
            raise ValueError("no number here")

    def work(index):
        for _ in range(ROUNDS):
            with pytest.raises(ValueError):
                left.add(right, Fails())
            with pytest.raises(TypeError):
                left.multiply(LEFT)
            with pytest.raises(ValueError):
                CorvaneDict({"a": 1.0, "b": Fails()})
            assert left.reset(2.0).sum() == 2.0 * len(LEFT)

    run_threads(work)
    same_values(left.add(right).to_dict, {k: v + RIGHT.get(k, 0.0) for k, v in LEFT.items()})
