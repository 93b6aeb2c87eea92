import builtins
import concurrent.futures
import copy
import multiprocessing
import pathlib
import pickle
import random
import struct
import subprocess
import sys

import pytest
from hypothesis import given, strategies as st

import corvane
from conftest import bits, needs_host
from corvane import CorvaneDict

EXAMPLES = pathlib.Path(__file__).resolve().parent.parent / "examples"


def from_bits(pattern):
    return struct.unpack("<d", struct.pack("<Q", pattern))[0]


# Every kind of value and key that a lossy round trip would betray: NaNs with
# payloads (quiet, signalling, negative), both zeros, infinities, the smallest
# subnormal, and keys with NUL, escapes, non-ASCII and astral characters.
AWKWARD = {
    "quiet nan": from_bits(0x7FF8000000000001),
    "signalling nan": from_bits(0x7FF0000000000123),
    "negative nan": from_bits(0xFFF800000000BEEF),
    "minus zero": -0.0,
    "zero": 0.0,
    "inf": float("inf"),
    "-inf": float("-inf"),
    "subnormal": 5e-324,
    "third": 1 / 3,
    "": 2.0,
    "nul\x00inside": 3.0,
    "back\\slash\nnewline\r\x1a": 4.0,
    "äöü 日本語 😀": 5.0,
}


def assert_same(rebuilt, original):
    """Same keys at the same positions, the same bits for every value."""
    assert type(rebuilt) is CorvaneDict and rebuilt is not original
    mine, theirs = rebuilt.to_dict, original.to_dict
    assert list(mine) == list(theirs)
    assert [bits(v) for v in mine.values()] == [bits(v) for v in theirs.values()]
    assert bits(rebuilt.sum()) == bits(original.sum())
    assert bits(rebuilt.product()) == bits(original.product())


@pytest.mark.parametrize("protocol", range(pickle.HIGHEST_PROTOCOL + 1))
def test_pickle_round_trips_bit_for_bit(protocol):
    for mapping in (AWKWARD, {}, {f"k{i}": i / 7 for i in range(5000)}):
        original = CorvaneDict(mapping)
        assert_same(pickle.loads(pickle.dumps(original, protocol)), original)
    derived = CorvaneDict(AWKWARD).multiply_scalar(-1.0)
    assert_same(pickle.loads(pickle.dumps(derived, protocol)), derived)


@given(st.dictionaries(st.text(max_size=8), st.floats(width=64)), st.integers(0, pickle.HIGHEST_PROTOCOL))
def test_pickle_round_trips_any_mapping(mapping, protocol):
    original = CorvaneDict(mapping)
    assert_same(pickle.loads(pickle.dumps(original, protocol)), original)


def test_pickle_keeps_shared_references_and_works_inside_structures():
    d = CorvaneDict({"a": 1.0})
    loaded = pickle.loads(pickle.dumps({"twice": [d, d], "other": CorvaneDict({})}))
    assert loaded["twice"][0] is loaded["twice"][1]
    assert loaded["twice"][0].to_dict == {"a": 1.0}
    assert loaded["other"].to_dict == {}


def test_copy_and_deepcopy_rebuild_an_equal_new_object():
    d = CorvaneDict(AWKWARD)
    for copied in (copy.copy(d), copy.deepcopy(d)):
        assert_same(copied, d)
        assert copied != d  # equality is identity, as for any instance
    twice = copy.deepcopy([d, d])
    assert twice[0] is twice[1] and twice[0] is not d


def test_reconstructor_lives_beside_the_module_and_nowhere_public():
    rebuild, arguments = CorvaneDict({"a": 1.0}).__reduce__()
    assert rebuild.__module__ == "_corvane_pickle" and rebuild.__name__ == "rebuild"
    assert pathlib.Path(sys.modules["_corvane_pickle"].__file__).parent == pathlib.Path(corvane.__file__).parent
    assert arguments == (["a"], struct.pack("<d", 1.0))
    assert CorvaneDict.__module__ == "builtins" and not hasattr(builtins, "CorvaneDict")
    assert [name for name in vars(corvane) if not name.startswith("__")] == ["CorvaneDict"]


def test_corrupt_state_is_refused():
    rebuild, _ = CorvaneDict({}).__reduce__()
    with pytest.raises(ValueError, match="2 keys but 1 values"):
        rebuild(["a", "b"], struct.pack("<d", 1.0))
    with pytest.raises(ValueError, match="repeated keys"):
        rebuild(["a", "a"], struct.pack("<2d", 1.0, 2.0))
    with pytest.raises(ValueError):
        rebuild(["a"], b"\x00" * 7)
    with pytest.raises(TypeError):
        rebuild([1], struct.pack("<d", 1.0))


# --- Process pools -------------------------------------------------------------
# Module-level functions, so that the workers can import them by name.

def chain(pair):
    """What a worker does with two mappings: aligned and scalar operations."""
    a, b = pair
    result = a.add(b, fill=0.5).multiply_scalar(3.0).divide(b, fill=7.0).subtract_scalar(1.0)
    return result, result.sum(), a.multiply(b).product()


def workload(count, size, seed):
    rng = random.Random(seed)
    pairs = []
    for _ in range(count):
        keys = ["k%d" % rng.randrange(2 * size) for _ in range(size)]
        a = CorvaneDict({k: rng.uniform(-1e3, 1e3) for k in keys})
        b = CorvaneDict({k: rng.choice([rng.uniform(-1, 1), 0.0, -0.0]) for k in keys[: size // 2]} | {"x": 1.0})
        pairs.append((a, b))
    pairs.append((CorvaneDict(AWKWARD), CorvaneDict({"third": 3.0, "minus zero": -0.0})))
    pairs.append((CorvaneDict({}), CorvaneDict({})))
    return pairs


def assert_same_results(remote, local):
    assert len(remote) == len(local)
    for (r_dict, r_sum, r_product), (l_dict, l_sum, l_product) in zip(remote, local):
        assert_same(r_dict, l_dict)
        assert bits(r_sum) == bits(l_sum) and bits(r_product) == bits(l_product)


def start_methods():
    return [m for m in ("fork", "spawn") if m in multiprocessing.get_all_start_methods()]


# Debian's PyPy 7.3.11 ships a ProcessPoolExecutor that cannot start workers
# other than by fork: it calls a method that its own module renamed.
pypy_executor_forks_only = needs_host("spawn_pool")


@pytest.mark.parametrize("method", [
    pytest.param(m, marks=pypy_executor_forks_only if m != "fork" else ()) for m in start_methods()
])
def test_process_pool_executor_computes_what_a_local_run_does(method):
    pairs = workload(count=20, size=200, seed=13)
    local = [chain(pair) for pair in pairs]
    context = multiprocessing.get_context(method)
    with concurrent.futures.ProcessPoolExecutor(max_workers=2, mp_context=context) as pool:
        remote = list(pool.map(chain, pairs, chunksize=4))
    assert_same_results(remote, local)


def test_spawned_multiprocessing_pool_computes_what_a_local_run_does():
    # Spawned workers start a new interpreter that imports the module afresh
    # (through the inherited PYTHONPATH when testing a build tree).
    pairs = workload(count=10, size=100, seed=17)
    local = [chain(pair) for pair in pairs]
    with multiprocessing.get_context("spawn").Pool(2) as pool:
        remote = pool.map(chain, pairs, chunksize=3)
    assert_same_results(remote, local)


def test_dask_cluster_computes_what_a_local_run_does():
    distributed = pytest.importorskip(
        "distributed", reason="dask.distributed is installed only into Debian CPython's test environment"
    )
    pairs = workload(count=40, size=100, seed=29)
    local = [chain(pair) for pair in pairs]
    with distributed.LocalCluster(
        n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1", dashboard_address=None,
        silence_logs=True,
    ) as cluster, distributed.Client(cluster) as client:
        futures = client.map(chain, pairs, pure=False)
        remote = client.gather(futures)
        workers = {w for (w, _) in client.has_what().items()}
    assert len(workers) == 2
    assert_same_results(remote, local)


def test_shard_example_runs():
    run = subprocess.run(
        [sys.executable, str(EXAMPLES / "shard.py"), "--entries", "20000", "--shards", "4", "--workers", "2"],
        capture_output=True, text=True, check=False, timeout=600,
    )
    assert run.returncode == 0, run.stderr
    assert "results match the single-process run" in run.stdout
