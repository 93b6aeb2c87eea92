"""Times CorvaneDict and its alternatives on the running interpreter.

Writes one JSON file of raw numbers: for every workload, implementation and
size the median CPU ns per entry over several repetitions, plus the machine's
floor (copy and add bandwidth, C folds) and the memory per entry. Every
number comes from this one process, so ratios between them are fair.

    python bench/run.py --out build/bench/cpython.json [--sizes 1000 10000] [--reps 5]

It also times a user's job (two dicts in, k operations, one dict out, against
plain Python) and the steady cost of the operations and of the host's own
allocation floor, each in a child process: once clean, once holding a large
live dict (bench/steady.py). --parts picks what runs.
"""

import argparse
import array
import collections
import datetime
import gc
import json
import math
import os
import platform
import random
import string
import struct
import subprocess
import sys
import tempfile
import time

import corvane
import corvane_floor
import steady

try:
    import numpy
    import pandas
except ImportError:  # PyPy, and the test environment
    numpy = pandas = None

CorvaneDict = corvane.CorvaneDict
IS_PYPY = platform.python_implementation() == "PyPy"
KEY_LENGTH = 11
SEED = 20240601


def make_data(n):
    """Keys and values for one size: d, d2 (same keys) and dh (half shared)."""
    rng = random.Random(SEED + n)
    letters = string.ascii_letters + string.digits

    def keys(count):
        out = set()
        while len(out) < count:
            out.add("".join(rng.choices(letters, k=KEY_LENGTH)))
        return list(out)

    k = keys(n + n // 2)
    own, extra = k[:n], k[n:]
    d = {key: rng.uniform(-1e3, 1e3) for key in own}
    d2 = {key: rng.uniform(-1e3, 1e3) for key in own}
    half = own[: n // 2] + extra[: n - n // 2]
    rng.shuffle(half)
    dh = {key: rng.uniform(-1e3, 1e3) for key in half}
    return d, d2, dh


class Fresh:
    """A case whose every call gets inputs of its own, made by make() before the
    clock starts: a dict of new key and value objects, as a caller's freshly
    built dict has them. Reading a dict from C makes PyPy attach a C-level copy
    to every key and value, kept as long as the object lives, so a dict read a
    second time costs much less than a new one."""

    def __init__(self, make, use):
        self.make, self.use = make, use


def fresh_maker(d):
    """Makes copies of d whose keys and values are new objects."""
    text = "\0".join(d)  # the benchmark's keys hold no NUL
    numbers = array.array("d", d.values())
    return lambda: dict(zip(text.split("\0"), numbers.tolist()))


def comprehension(d):
    return {k: v for k, v in d.items()}


def workloads(d, d2, dh):
    """{workload: {implementation: zero-argument callable or Fresh}}."""
    fill, s = 0.5, 1.5
    # The keys of d in another order: the key-by-key path over every key.
    shuffled = list(d2.items())
    random.Random(SEED).shuffle(shuffled)
    ds = dict(shuffled)
    a, b_equal, b_half, b_shuffled = CorvaneDict(d), CorvaneDict(d2), CorvaneDict(dh), CorvaneDict(ds)
    b_derived = a.multiply_scalar(2.0)
    p_derived = {k: v * 2.0 for k, v in d.items()}
    keys, values = list(d), list(d.values())
    corvane_floor.load(keys, values)
    fresh_d, fresh_d2 = fresh_maker(d), fresh_maker(d2)

    def fresh_pair():
        return fresh_d(), fresh_d2()

    def chain_corvane(pair):
        x, y = CorvaneDict(pair[0]), CorvaneDict(pair[1])
        return x.add(y).multiply_scalar(s).subtract(x).divide(y).add_scalar(1.0).to_dict

    def chain_python(pair):
        x, y = dict(pair[0]), dict(pair[1])
        r = {k: v + y.get(k, 0.0) for k, v in x.items()}
        r = {k: v * s for k, v in r.items()}
        r = {k: v - x.get(k, 0.0) for k, v in r.items()}
        r = {k: v / y.get(k, 1.0) for k, v in r.items()}
        return dict({k: v + 1.0 for k, v in r.items()})

    w = {
        "construct": {
            "corvane": Fresh(fresh_d, CorvaneDict),
            "corvane, reused dict": lambda: CorvaneDict(d),
            "python comprehension": Fresh(fresh_d, comprehension),
            "python dict(d)": lambda: dict(d),
            "C-API floor": Fresh(fresh_d, corvane_floor.walk),
            "C-API bulk floor": Fresh(fresh_d, corvane_floor.walk_bulk),
        },
        "add derived": {
            "corvane": lambda: a.add(b_derived),
            "python": lambda: {k: v + p_derived.get(k, 0.0) for k, v in d.items()},
        },
        # Two objects built separately from the same keys. time_one() calls
        # once before it times, so this is the cost from the second operation
        # between them on.
        "add equal": {
            "corvane": lambda: a.add(b_equal),
            "python": lambda: {k: v + d2.get(k, 0.0) for k, v in d.items()},
        },
        "add shuffled": {
            "corvane": lambda: a.add(b_shuffled, fill),
            "python": lambda: {k: v + ds.get(k, fill) for k, v in d.items()},
        },
        "add half": {
            "corvane": lambda: a.add(b_half, fill),
            "python": lambda: {k: v + dh.get(k, fill) for k, v in d.items()},
        },
        "multiply_scalar": {
            "corvane": lambda: a.multiply_scalar(s),
            "python": lambda: {k: v * s for k, v in d.items()},
        },
        "reset": {
            "corvane": lambda: a.reset(s),
            "python": lambda: dict.fromkeys(d, s),
        },
        "sum": {
            "corvane": lambda: a.sum(),
            "python": lambda: sum(d.values(), -0.0),
        },
        "product": {
            "corvane": lambda: a.product(),
            "python": lambda: math.prod(d.values()),
        },
        "to_dict": {
            "corvane": lambda: a.to_dict,
            "python comprehension": lambda: comprehension(d),
            "python dict(d)": lambda: dict(d),
            "C-API floor": lambda: corvane_floor.build(),
            "C-API bulk floor": lambda: corvane_floor.build_bulk(),
        },
        "chain": {
            "corvane": Fresh(fresh_pair, chain_corvane),
            "python": Fresh(fresh_pair, chain_python),
        },
    }
    if numpy is not None:
        x = numpy.array(values)
        y_derived = x * 2.0
        y_equal = numpy.array([d2[k] for k in keys])
        sa, sd, s2, sh = pandas.Series(d), pandas.Series(p_derived), pandas.Series(d2), pandas.Series(dh)

        def chain_pandas():
            px, py = pandas.Series(d), pandas.Series(d2)
            r = px.add(py.reindex(px.index), fill_value=0.0) * s
            r = r.sub(px.reindex(r.index), fill_value=0.0)
            r = r.div(py.reindex(r.index), fill_value=1.0) + 1.0
            return r.to_dict()

        def chain_numpy(pair):
            # numpy's best case: it takes on trust that both dicts list the
            # same keys in the same order, which these do.
            x, y = pair
            n = len(x)
            px = numpy.fromiter(x.values(), dtype=float, count=n)
            py = numpy.fromiter(y.values(), dtype=float, count=n)
            r = ((px + py) * s - px) / py + 1.0
            return dict(zip(list(x), r.tolist()))

        w["construct"]["pandas"] = lambda: pandas.Series(d)
        ss = pandas.Series(ds)
        for name, other in (("add derived", sd), ("add equal", s2), ("add shuffled", ss), ("add half", sh)):
            w[name]["pandas"] = lambda other=other: sa.add(other.reindex(sa.index), fill_value=fill)
        w["add derived"]["numpy"] = lambda: x + y_derived
        w["add equal"]["numpy"] = lambda: x + y_equal
        w["multiply_scalar"]["numpy"] = lambda: x * s
        w["multiply_scalar"]["pandas"] = lambda: sa * s
        w["reset"]["numpy"] = lambda: numpy.full_like(x, s)
        w["reset"]["pandas"] = lambda: pandas.Series(s, index=sa.index)
        w["sum"]["numpy"] = lambda: x.sum()
        w["sum"]["pandas"] = lambda: sa.sum()
        w["product"]["numpy"] = lambda: x.prod()
        w["product"]["pandas"] = lambda: sa.prod()
        w["to_dict"]["numpy"] = lambda: dict(zip(keys, x.tolist()))
        w["to_dict"]["pandas"] = lambda: sa.to_dict()
        w["chain"]["pandas"] = chain_pandas
        w["chain"]["numpy"] = Fresh(fresh_pair, chain_numpy)
    return w


def time_one(fn, n, reps, min_rep_ns, warm_s):
    """Median ns per entry of fn() over reps repetitions."""
    if isinstance(fn, Fresh):
        return time_fresh(fn, n, reps, min_rep_ns, warm_s)
    # Warm-up: on PyPy long enough for the JIT to compile the loops involved.
    warm_until = time.perf_counter() + warm_s
    while True:
        start = time.perf_counter_ns()
        fn()
        once = max(time.perf_counter_ns() - start, 1)
        if time.perf_counter() >= warm_until:
            break
    inner = max(1, min(1000, min_rep_ns // once))
    if once > 10 * min_rep_ns:
        reps = min(reps, 3)  # the slowest pure-Python cases: the median of three is enough
    samples = []
    gc.collect()
    gc.disable()
    try:
        for _ in range(reps):
            # CPU time, kernel time (page faults) included: on a shared machine
            # the wall clock also counts the time other jobs held the CPU.
            start = time.process_time_ns()
            for _ in range(inner):
                fn()
            samples.append((time.process_time_ns() - start) / (inner * n))
            gc.collect()
    finally:
        gc.enable()
    samples.sort()
    return samples[len(samples) // 2]


def time_fresh(case, n, reps, min_rep_ns, warm_s):
    """Median ns per entry of case.use(input), each call on its own input. The
    collector's share is counted: a collection runs inside the timed span, less
    the time of a collection that follows it over the same live heap, so what
    remains is what the garbage of the calls cost it."""
    warm_until = time.perf_counter() + warm_s
    while True:
        item = case.make()
        start = time.perf_counter_ns()
        case.use(item)
        once = max(time.perf_counter_ns() - start, 1)
        if time.perf_counter() >= warm_until:
            break
    del item
    inner = max(1, min(200, min_rep_ns // once))
    samples = []
    gc.collect()
    gc.disable()
    try:
        for _ in range(reps):
            items = [case.make() for _ in range(inner)]
            gc.collect()
            start = time.process_time_ns()
            for item in items:
                case.use(item)
            gc.collect()
            middle = time.process_time_ns()
            gc.collect()
            end = time.process_time_ns()
            samples.append(max(0, (middle - start) - (end - middle)) / (inner * n))
            del items, item
            gc.collect()
    finally:
        gc.enable()
    samples.sort()
    return samples[len(samples) // 2]


def status_bytes(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    return 0


def rss_bytes():
    return status_bytes("VmRSS")


def memory_per_entry(d, copies):
    """Bytes per entry from the growth of the resident set over many objects.

    Run in a fresh process (see measure_memory): in one that has already
    allocated and freed a lot, new objects reuse freed pages and the resident
    set does not grow.
    """
    n = len(d)
    # Every object is built from a dict of its own, as a caller builds it; the
    # dicts stay alive, so whatever a construction leaves attached to their
    # keys and values (PyPy's C-level copies of them, on a walk from C) counts.
    fresh = fresh_maker(d)
    first = CorvaneDict(fresh())
    sources = [fresh() for _ in range(copies)]

    def settled_rss():
        gc.collect()
        trim()  # freed pages go back to the system, so reusing them shows
        return rss_bytes()

    before = settled_rss()
    built = [CorvaneDict(source) for source in sources]
    constructed = (settled_rss() - before) / (copies * n)
    before = settled_rss()
    derived = [first.add_scalar(1.0) for _ in range(copies)]
    derived_bytes = (settled_rss() - before) / (copies * n)
    del built, derived, first, sources
    return {"constructed": constructed, "derived": derived_bytes, "n": n, "copies": copies,
            "method": "RSS growth in a fresh process, after a collection, each object from a dict of its own"}


LOOP_KEPT = 4
LOOP_ROUNDS = 50


def memory_loop(n, kind):
    """The peak growth of the resident set while a loop makes results of n
    entries and keeps the last LOOP_KEPT alive: derived CorvaneDicts, or, for
    comparison, bytearrays of their values' size, which the host's collector
    weighs itself. Run in a fresh process (see measure_memory)."""
    base = CorvaneDict({f"k{i:09d}": float(i) for i in range(n)})
    kept = collections.deque(maxlen=LOOP_KEPT)
    gc.collect()
    before = rss_bytes()
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # the peak starts again from here
    except OSError:
        pass
    for i in range(LOOP_ROUNDS):
        kept.append(base.add_scalar(float(i)) if kind == "corvane" else bytearray(8 * n))
    return status_bytes("VmHWM") - before


def trim():
    try:
        import ctypes

        ctypes.CDLL(None).malloc_trim(0)
    except (OSError, AttributeError):
        pass


def measure_memory(n, copies):
    command = [sys.executable, os.path.abspath(__file__), "--out", "-", "--memory-n", str(n),
               "--memory-copies", str(copies), "--memory-only"]
    done = subprocess.run(command, stdout=subprocess.PIPE, check=True)
    memory = json.loads(done.stdout)
    loop = {"n": n, "kept": LOOP_KEPT, "rounds": LOOP_ROUNDS, "live": LOOP_KEPT * 8 * n}
    for kind in ("corvane", "bytearray"):
        done = subprocess.run(command + ["--memory-loop", kind], stdout=subprocess.PIPE, check=True)
        loop[kind] = json.loads(done.stdout)
    memory["loop"] = loop
    return memory


PARTS = ("workloads", "memory", "job", "steady")


def run_steady(args, live_entries):
    """bench/steady.py's part in a child process of its own, with a live dict
    of live_entries entries (0: clean); its progress goes to our output."""
    parts = [part for part in ("job", "steady") if part in args.parts]
    with tempfile.TemporaryDirectory() as scratch:
        out = os.path.join(scratch, "steady.json")
        command = [sys.executable, os.path.abspath(__file__), "--out", out, "--steady-child", str(live_entries),
                   "--warm-s", str(args.warm_s), "--parts", *parts, "--sizes", *map(str, args.sizes),
                   "--steady-mb", str(args.steady_mb), "--job-entries", str(args.job_entries)]
        if args.job_min_s is not None:
            command += ["--job-min-s", str(args.job_min_s)]
        subprocess.run(command, check=True)
        with open(out) as f:
            return json.load(f)


def commit_of_checkout():
    """The checkout's commit, when git is at hand (a host tree may lack it:
    bench/hosts.sh then passes --commit)."""
    try:
        done = subprocess.run(["git", "rev-parse", "--short", "HEAD"], cwd=os.path.dirname(os.path.abspath(__file__)),
                              stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True, check=True)
        return done.stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return None


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--out", required=True)
    parser.add_argument("--sizes", type=int, nargs="+", default=[10**2, 10**3, 10**4, 10**5, 10**6])
    parser.add_argument("--reps", type=int, default=7)
    parser.add_argument("--min-rep-ms", type=float, default=20.0)
    parser.add_argument("--warm-s", type=float, default=0.3 if IS_PYPY else 0.02,
                        help="seconds of calls before timing each case (JIT warm-up)")
    parser.add_argument("--memory-n", type=int, default=10**6)
    parser.add_argument("--memory-copies", type=int, default=5)
    parser.add_argument("--workloads", nargs="+", help="time only these workloads (default: all)")
    parser.add_argument("--parts", nargs="+", choices=PARTS, default=list(PARTS),
                        help="workloads: the per-workload timings and the machine floor; memory: bytes per entry "
                             "and the memory loop; job: the user's job; steady: the operations and the host's "
                             "floor as steady loops (job and steady run clean and with the live dict)")
    parser.add_argument("--live-heap", type=int, default=steady.default_live_heap(),
                        help="entries of the live dict the job and the steady loops also run beside "
                             "(default: 4,000,000; fewer on a 32-bit host; 0: clean runs only)")
    parser.add_argument("--steady-sizes", type=int, nargs="+",
                        help="sizes for the job and the steady loops (default: --sizes)")
    parser.add_argument("--steady-mb", type=float, default=steady.SETTINGS["steady_bytes"] / 2**20,
                        help="MiB of results each steady loop makes at least (beside the live dict, at least "
                             "its size)")
    parser.add_argument("--job-entries", type=int, default=steady.SETTINGS["job_pool_entries"],
                        help="entries per input dict over one timed pass of the job (at least one call)")
    parser.add_argument("--job-min-s", type=float,
                        help="CPU seconds the job's passes take at least (default: 0.1 clean, 0.25 with the live dict)")
    parser.add_argument("--commit", default=None, help="the commit measured (default: git rev-parse --short HEAD)")
    parser.add_argument("--steady-child", type=int, metavar="LIVE_ENTRIES",
                        help="run the job and steady parts here, beside a live dict of this many entries")
    parser.add_argument("--memory-only", action="store_true", help="print the memory figures as JSON and stop")
    parser.add_argument("--memory-loop", choices=["corvane", "bytearray"],
                        help="with --memory-only: print the peak growth of that loop instead")
    args = parser.parse_args()
    if args.memory_only and args.memory_loop:
        print(json.dumps(memory_loop(args.memory_n, args.memory_loop)))
        return
    if args.memory_only:
        print(json.dumps(memory_per_entry(make_data(args.memory_n)[0], args.memory_copies)))
        return
    if args.steady_child is not None:
        settings = {"steady_bytes": int(args.steady_mb * 2**20), "job_pool_entries": args.job_entries}
        if args.job_min_s is not None:
            settings["job_min_s"] = {"clean": args.job_min_s, "heap": args.job_min_s}
        part = steady.measure(args.steady_child, args.sizes, make_data, args.warm_s, args.parts, settings)
        with open(args.out, "w") as f:
            json.dump(part, f)
        return

    host = "pypy" if IS_PYPY else "cpython"
    release = ".".join(map(str, sys.pypy_version_info[:3])) if IS_PYPY else sys.version.split()[0]
    if struct.calcsize("P") == 4:
        release += "-i386"  # a 32-bit build of a release is a host of its own
    result = {
        "host": host,
        # PyPy's own release number for PyPy, the Python version for CPython:
        # what tells two runs of one host apart.
        "release": release,
        "python": sys.version.split()[0] + (" (PyPy %s)" % release if IS_PYPY else ""),
        "version": sys.version,
        "machine": {"platform": platform.platform(), "cpu": cpu_name(), "cpus": os.cpu_count()},
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "commit": args.commit or commit_of_checkout(),
        "sizes": args.sizes,
        "times": {},
        "floor": {},
        "elapsed": {},
    }
    if "workloads" in args.parts:
        started = time.perf_counter()
        for n in args.sizes:
            d, d2, dh = make_data(n)
            for workload, impls in workloads(d, d2, dh).items():
                if args.workloads and workload not in args.workloads:
                    continue
                for impl, fn in impls.items():
                    ns = time_one(fn, n, args.reps, int(args.min_rep_ms * 1e6), args.warm_s)
                    result["times"].setdefault(workload, {}).setdefault(impl, {})[str(n)] = ns
                    print("%-8s %-16s %-16s n=%-8d %9.2f ns/entry" % (host, workload, impl, n, ns), flush=True)
            result["floor"][str(n)] = corvane_floor.machine(n, args.reps)
            del d, d2, dh
            gc.collect()
        result["elapsed"]["workloads"] = time.perf_counter() - started
    if "memory" in args.parts:
        started = time.perf_counter()
        result["memory"] = measure_memory(min(args.memory_n, max(args.sizes)), args.memory_copies)
        result["elapsed"]["memory"] = time.perf_counter() - started
    if "job" in args.parts or "steady" in args.parts:
        if args.steady_sizes:
            args.sizes = args.steady_sizes
        result["steady"] = {}
        for mode, live_entries in (("clean", 0), ("heap", args.live_heap)):
            if mode == "heap" and not live_entries:
                continue
            started = time.perf_counter()
            result["steady"][mode] = run_steady(args, live_entries)
            result["elapsed"]["job and steady, " + mode] = time.perf_counter() - started
    os.makedirs(os.path.dirname(os.path.abspath(args.out)), exist_ok=True)
    with open(args.out, "w") as f:
        json.dump(result, f, indent=1)


def cpu_name():
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown"


if __name__ == "__main__":
    main()
