"""A user's job and the steady cost of operations, in a clean process or in one
that holds a large live dict, as programs that use PyPy do.

bench/run.py starts this part in a child process of its own for each heap
size (0: clean), so that neither the live dict nor what the other parts left
behind changes the other's numbers:

    python bench/run.py --steady-child 4000000 --sizes 1000 10000 --out part.json

Every figure here is a mean over many calls with the collector on and each
result dropped at once: on PyPy a result's memory comes back only when the
collector runs, and a collection walks the whole live heap, so the collections
a loop's garbage sets off are part of what an operation costs. A benchmark that
keeps the best of a few short loops never sees them.
"""

import array
import gc
import os
import resource
import sys
import time

import corvane

try:
    import corvane_floor
except ImportError:  # run without the floor probe's build
    corvane_floor = None

CorvaneDict = corvane.CorvaneDict
IS_PYPY = hasattr(sys, "pypy_version_info")
PAGE = 4096
# The job: k aligned operations between the two objects, these in turn.
JOB_KS = (1, 2, 5, 20)
JOB_OPS = ("add", "multiply", "subtract")
# How much each measurement takes (bench/run.py's options can make it less):
SETTINGS = {
    # Fresh inputs for one timed pass of the job: at most this many entries
    # per dict over all its calls (the pool is live while the job runs)...
    "job_pool_entries": 3 * 10**5,
    # ...and the passes take at least this much CPU time in all (seconds; a
    # clean process, and one beside the live dict), in at most 20 passes.
    "job_min_s": {"clean": 0.1, "heap": 0.25},
    # The steady loops make results of this many bytes in all (at least), so
    # that the collector runs several times; beside a live dict, at least its
    # size, so that its major collections run too.
    "steady_bytes": 128 * 2**20,
}
JOB_CALLS = (1, 1000)
# The job's and the steady loops are short: 50 ms of calls compiles them.
JOB_WARM_S = 0.05
JOB_MAX_PASSES = 20
STEADY_HEAP_FACTOR = 1
STEADY_MIN_CALLS = 20
# On PyPy a steady loop first runs until the collector has completed a major
# collection (the process then holds what a loop of such results keeps), and
# its timed part runs until it has completed one more (so that the timed part
# pays for the collection its garbage sets off), each within these bounds.
STEADY_CYCLE_MAX_BYTES = 6 * 2**30
STEADY_CYCLE_MAX_S = 4.0


class Collections:
    """The major collections PyPy has completed, through its gc.hooks."""

    count = 0

    @classmethod
    def on_gc_collect(cls, stats):
        cls.count += stats.count


if IS_PYPY:
    gc.hooks.on_gc_collect = Collections.on_gc_collect


def default_live_heap():
    """4,000,000 entries, as a program that holds data; a quarter of that on a
    32-bit host, whose address space (and the collector's copy of it during a
    major collection) would not hold the full dict beside the benchmark's own
    data. Fewer still if the machine has not the memory (about 400 bytes per
    entry on PyPy, counted generously)."""
    entries = 4_000_000 if sys.maxsize > 2**32 else 1_000_000
    available = mem_available()
    if available:
        entries = min(entries, max(0, available // 2 // 400))
    return entries


def mem_available():
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    return 0


def rss_bytes():
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    return 0


def build_live_heap(entries):
    """A dict of str keys and float values, every key and value an object of
    its own, as data a program read in."""
    return {"live%010d" % i: i * 0.5 for i in range(entries)}


def job_corvane(a, b, k):
    x, y = CorvaneDict(a), CorvaneDict(b)
    r = x
    for i in range(k):
        r = getattr(r, JOB_OPS[i % 3])(y)
    return r.to_dict


def job_python(a, b, k):
    r = a
    for i in range(k):
        op = i % 3
        if op == 0:
            r = {key: v + b[key] for key, v in r.items()}
        elif op == 1:
            r = {key: v * b[key] for key, v in r.items()}
        else:
            r = {key: v - b[key] for key, v in r.items()}
    return r


JOBS = {"corvane": job_corvane, "python": job_python}


def fresh_maker(d, d2):
    """Makes pairs of dicts equal to (d, d2) whose keys and values are new
    objects, as a program's freshly built dicts have them: reading a dict from
    C makes PyPy attach a C-level copy to every key and value, so a dict read a
    second time costs much less than a new one."""
    text, text2 = "\0".join(d), "\0".join(d2)
    values, values2 = array.array("d", d.values()), array.array("d", d2.values())

    def pairs(count):
        return [(dict(zip(text.split("\0"), values.tolist())), dict(zip(text2.split("\0"), values2.tolist())))
                for _ in range(count)]

    return pairs


def warm(fn, seconds):
    """Calls fn for about `seconds` (at least once): on PyPy long enough for
    the JIT to compile the loops involved."""
    until = time.perf_counter() + seconds
    fn()
    while time.perf_counter() < until:
        fn()


def time_job(impl, n, fresh_pairs, k, warm_s, warm_pair, min_s, pool_entries):
    """Mean CPU ns per entry of one job, each call on a fresh input pair, over
    passes of calls until they took min_s of CPU time: with a live heap, one
    major collection more or less in a short pass would double its figure."""
    job = JOBS[impl]
    warm(lambda: job(warm_pair[0], warm_pair[1], k), min(warm_s, JOB_WARM_S))
    calls = max(JOB_CALLS[0], min(JOB_CALLS[1], pool_entries // n))
    elapsed = passes = 0
    while passes == 0 or (elapsed < min_s * 1e9 and passes < JOB_MAX_PASSES):
        pool = fresh_pairs(calls)
        start = time.process_time_ns()
        for pair in pool:
            job(pair[0], pair[1], k)
        elapsed += time.process_time_ns() - start
        passes += 1
        del pool
    return {"ns": elapsed / (passes * calls * n), "calls": passes * calls}


def check_job(d, d2):
    """Both implementations give the same dict (the benchmark times the same job)."""
    for k in JOB_KS:
        mine, theirs = job_corvane(d, d2, k), job_python(d, d2, k)
        if mine != theirs:
            raise AssertionError("the job of k = %d differs between corvane and plain Python" % k)


def until_collection(fn, n, least_calls):
    """Calls fn at least least_calls times and, on PyPy, on until a major
    collection has completed since the start (within the cycle bounds); the
    number of calls."""
    seen = Collections.count
    most_calls = max(least_calls, STEADY_CYCLE_MAX_BYTES // (8 * n))
    until = time.perf_counter() + STEADY_CYCLE_MAX_S
    calls = 0
    while calls < least_calls or (IS_PYPY and Collections.count == seen and calls < most_calls
                                  and time.perf_counter() < until):
        for _ in range(16):
            fn()
        calls += 16
    return calls


def steady(fn, n, budget_bytes, warm_s):
    """fn() called in a loop, each result dropped: mean CPU ns per entry and
    minor page faults per 4 KiB of result (8 bytes an entry). On PyPy the loop
    first fills the process up to a collection, and the timed part takes at
    least one collection in: what it shows is the loop's steady state, the
    collections its garbage sets off included."""
    warm(fn, min(warm_s, JOB_WARM_S))
    until_collection(fn, n, 0)
    calls = max(STEADY_MIN_CALLS, -(-budget_bytes // (8 * n)))
    collections = Collections.count
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt
    start = time.process_time_ns()
    calls = until_collection(fn, n, calls)
    elapsed = time.process_time_ns() - start
    faults = resource.getrusage(resource.RUSAGE_SELF).ru_minflt - faults
    return {"ns": elapsed / (calls * n), "faults_per_4k": faults / (calls * n * 8 / PAGE), "calls": calls,
            "collections": Collections.count - collections}


def steady_cases(d, d2, dh):
    """{case: zero-argument callable}: the operations, and the host's own
    floor for a call that returns a new object of n doubles."""
    fill, s = 0.5, 1.5
    a = CorvaneDict(d)
    shared, equal, half = a.multiply_scalar(2.0), CorvaneDict(d2), CorvaneDict(dh)
    a.add(equal)  # the first operation between two separately built objects proves their keys equal
    values = array.array("d", d.values())
    size = 8 * len(d)
    cases = {
        "add shared": lambda: a.add(shared),
        "add equal": lambda: a.add(equal),
        "add half": lambda: a.add(half, fill),
        "multiply_scalar": lambda: a.multiply_scalar(s),
        "reset": lambda: a.reset(s),
        "floor: bytearray(8n)": lambda: bytearray(size),
        "floor: array('d') copy": lambda: values[:],
    }
    if corvane_floor is not None:
        corvane_floor.hold(len(d))
        cases["floor: C object of n doubles"] = corvane_floor.fresh
    return cases


def measure(live_entries, sizes, make_data, warm_s, parts, settings=None):
    """Everything this part measures, in this process, with a live dict of
    live_entries entries built first and kept referenced to the end."""
    settings = dict(SETTINGS, **(settings or {}))
    out = {"live_entries": live_entries, "sizes": sizes, "settings": settings, "job": {}, "steady": {},
           "elapsed": {}}
    started = time.perf_counter()
    gc.collect()
    before = rss_bytes()
    live = build_live_heap(live_entries)
    gc.collect()
    out["live_bytes"] = rss_bytes() - before
    out["elapsed"]["live heap"] = time.perf_counter() - started
    budget = max(settings["steady_bytes"], STEADY_HEAP_FACTOR * out["live_bytes"])
    out["steady_budget_bytes"] = budget
    for n in sizes:
        d, d2, dh = make_data(n)
        tag = "heap" if live_entries else "clean"
        if "job" in parts:
            started = time.perf_counter()
            check_job(*[dict(list(x.items())[:100]) for x in (d, d2)])
            warm_n = min(n, 10**4)
            warm_pair = tuple(dict(list(x.items())[:warm_n]) for x in (d, d2))
            fresh_pairs = fresh_maker(d, d2)
            for k in JOB_KS:
                for impl in JOBS:
                    r = time_job(impl, n, fresh_pairs, k, warm_s, warm_pair, settings["job_min_s"][tag],
                                 settings["job_pool_entries"])
                    out["job"].setdefault(str(k), {}).setdefault(impl, {})[str(n)] = r
                    progress("job k=%-2d %-8s %-5s n=%-8d %9.2f ns/entry" % (k, impl, tag, n, r["ns"]))
            del warm_pair, fresh_pairs
            out["elapsed"]["job %d" % n] = time.perf_counter() - started
        if "steady" in parts:
            started = time.perf_counter()
            for case, fn in steady_cases(d, d2, dh).items():
                r = steady(fn, n, budget, warm_s)
                out["steady"].setdefault(case, {})[str(n)] = r
                progress("steady %-22s %-5s n=%-8d %8.2f ns/entry %6.3f faults/4KiB" % (
                    case, tag, n, r["ns"], r["faults_per_4k"]))
            out["elapsed"]["steady %d" % n] = time.perf_counter() - started
        del d, d2, dh
    out["live_still_there"] = len(live) == live_entries
    return out


def progress(line):
    print(("pypy     " if IS_PYPY else "cpython  ") + line, flush=True)


if __name__ == "__main__":
    sys.exit("run bench/run.py --steady-child LIVE_ENTRIES instead (pid %d)" % os.getpid())
