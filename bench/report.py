"""Turns the JSON files of bench/run.py (one per interpreter) into a table and a plot.

    python bench/report.py build/bench/pypy-*.json build/bench/cpython.json \
        [--store build/bench/store.json] [--table out.md] [--plot out.png] [--sizes 10000 1000000]

Every ratio is corvane's time divided by the alternative's, both measured in
the same process: below 1 corvane is faster. Runs of several PyPy releases
each get their tables, and their targets and corvane's times are also shown
side by side. --plot out.png writes one figure per run beside it
(out-pypy-7.3.19.png, out-cpython.png): each implementation's time relative to
plain Python's, per workload and size. The plot is skipped (with a note) when
matplotlib is not installed.
"""

import argparse
import json
import pathlib

# Bytes each positional operation moves per entry: two reads and a write for
# add, one read and a write for a scalar operation, a write for reset.
MOVED_BYTES = {"add derived": 24, "add equal": 24, "multiply_scalar": 16, "reset": 8}
FLOOR_OF = {"sum": "sum", "product": "product"}


def fmt(x):
    if x is None:
        return "-"
    return "%.3g" % x if x < 100 else "%.0f" % x


def release_of(run):
    """PyPy's release for PyPy, the Python version for CPython; older runs
    recorded it only inside "python" ("3.9.16 (PyPy 7.3.11)")."""
    if "release" in run:
        return run["release"]
    python = run["python"]
    return python.split("PyPy ", 1)[1].rstrip(")") if "PyPy " in python else python.split()[0]


def label(run):
    """How a run is named in titles: "PyPy 7.3.19 (Python 3.11.11)", "CPython 3.11.2"."""
    if run["host"] == "pypy":
        return "PyPy %s (Python %s)" % (release_of(run), run["python"].split()[0])
    return "%s %s" % (HOST_TITLES.get(run["host"], run["host"]), run["python"].split()[0])


def short_label(run):
    return "%s %s" % (HOST_TITLES.get(run["host"], run["host"]), release_of(run))


def file_key(run):
    """The run's part of a file name: pypy-7.3.19, cpython."""
    return "pypy-" + release_of(run) if run["host"] == "pypy" else run["host"]


def version_key(release):
    return tuple(int(part) if part.isdigit() else 0 for part in release.split("."))


def ordered(runs):
    """PyPy's runs first, oldest release first, then the others as given."""
    pypys = sorted((run for run in runs if run["host"] == "pypy"), key=lambda run: version_key(release_of(run)))
    return pypys + [run for run in runs if run["host"] != "pypy"]


def host_table(run, sizes):
    if not run["times"] and not run.get("memory"):
        return []
    lines = []
    lines.append("### " + label(run))
    lines.append("")
    for n in sizes:
        key = str(n)
        if not run["times"] or key not in next(iter(run["times"].values()))["corvane"]:
            continue
        floor = run["floor"].get(key, {})
        lines.append("n = %s — CPU ns per entry (median); ratio = corvane / alternative" % f"{n:,}")
        lines.append("")
        lines.append("| workload | corvane | alternatives (ns, ratio) |")
        lines.append("|---|---:|---|")
        for workload, impls in run["times"].items():
            mine = impls["corvane"][key]
            others = []
            for impl, by_size in impls.items():
                if impl != "corvane" and key in by_size:
                    ratio = mine / by_size[key] if by_size[key] > 0 else None  # a collection can take it to 0
                    others.append("%s %s (%s)" % (impl, fmt(by_size[key]), fmt(ratio)))
            if workload in FLOOR_OF and FLOOR_OF[workload] in floor:
                c = floor[FLOOR_OF[workload]]
                others.append("C fold %s (%s)" % (fmt(c), fmt(mine / c)))
            if workload in MOVED_BYTES and "copy" in floor:
                copy_bw = 16 / floor["copy"]
                others.append("%.0f%% of copy bandwidth" % (100 * MOVED_BYTES[workload] / mine / copy_bw))
            lines.append("| %s | %s | %s |" % (workload, fmt(mine), "; ".join(others)))
        if floor:
            lines.append("")
            lines.append(
                "Machine floor in C at this n: copy %s ns/entry (%.1f GB/s), c=a+b %s ns/entry, "
                "sum fold %s, product fold %s." % (fmt(floor["copy"]), 16 / floor["copy"], fmt(floor["add"]),
                                                   fmt(floor["sum"]), fmt(floor["product"])))
        lines.append("")
    mem = run.get("memory")
    if mem:
        lines.append("Memory (%s, %d objects of %s entries): constructed %.1f bytes/entry, "
                     "derived result %.1f bytes/entry." % (mem["method"], mem["copies"], f"{mem['n']:,}",
                                                           mem["constructed"], mem["derived"]))
        lines.append("")
    return lines


# Every bound the report checks, one per workload and size, whatever the
# table: corvane / plain Python on the same PyPy release for the crossings...
SIZE_TARGETS = {
    "construct": {10**3: 3.0, 10**4: 3.0, 10**6: 1.0},
    "to_dict": {10**4: 2.0, 10**6: 2.0},
    "chain": {10**3: 1.0, 10**4: 0.7, 10**6: 0.4},
}
SIZE_WORKLOADS = [("construct", "python comprehension"), ("to_dict", "python comprehension"), ("chain", "python")]
RATIO_TARGETS = [
    ("construction (fresh dict) / `{k: v for k, v in d.items()}`", "construct", "python comprehension"),
    ("to_dict / `{k: v for k, v in d.items()}`", "to_dict", "python comprehension"),
    ("chain / plain Python's chain", "chain", "python"),
]
POSITIONAL = ["add derived", "add equal", "multiply_scalar", "reset", "sum", "product"]
# ...PyPy's time per entry / CPython's for an operation, where a bound is set:
# at 10^3 the host's own cost of a call that returns a new object counts.
CROSS_HOST_BOUNDS = ((10**4, 1.5), (10**3, 3.0))
# ...page faults per 4 KiB of a result dropped in a steady loop...
FAULT_BOUND = 0.05
# ...and the smallest size from which the user's job must pay off on PyPy, by k.
JOB_PAYS_OFF_FROM = {5: 10**3, 2: 10**5}
MEMORY_TOLERANCE = 0.10
# The memory loop's peak growth: at most this times the bytearray loop's, or
# this many times the live set, whichever is more.
LOOP_GROWTH_BOUND = 1.25
LOOP_LIVE_BOUND = 3


def size_bound(workload, n):
    return SIZE_TARGETS.get(workload, {}).get(int(n))


def cross_host_bound(n):
    for least, bound in CROSS_HOST_BOUNDS:
        if int(n) >= least:
            return bound
    return None


def verdict(ratio, bound):
    return "%s (%s %s)" % (fmt(ratio), "met" if ratio <= bound else "MISSED", "\u2264 %g" % bound)


def targets_table(runs, sizes):
    """PyPy's targets as ratios measured in one run (or, PyPy against CPython,
    in one benchmark invocation), every PyPy release side by side."""
    pypys = [run for run in runs if run["host"] == "pypy" and run["times"]]
    cpython = next((run for run in runs if run["host"] == "cpython"), None)
    if not pypys:
        return []
    small, large = str(min(sizes)), str(max(sizes))
    shown = [small] if small == large else [small, large]
    columns = [(n, pypy) for n in shown for pypy in pypys]
    headers = ["%s, n = %s" % (short_label(pypy), f"{int(n):,}") for n, pypy in columns]
    lines = ["### Targets on PyPy", "",
             "| target | " + " | ".join(headers) + " |",
             "|---|" + "---:|" * len(columns)]

    def cell(pypy, workload, impl, key, bound, against=None):
        mine = pypy["times"].get(workload, {}).get("corvane", {}).get(key)
        other = (against or pypy)["times"].get(workload, {}).get(impl, {}).get(key)
        if mine is None or not other:
            return "-"
        return verdict(mine / other, bound) if bound else fmt(mine / other)

    for target, workload, impl in RATIO_TARGETS:
        lines.append("| %s | %s |" % (target, " | ".join(
            cell(pypy, workload, impl, n, size_bound(workload, n)) for n, pypy in columns)))
    if cpython is not None:
        for workload in POSITIONAL:
            lines.append("| %s, PyPy ns / CPython ns | %s |" % (workload, " | ".join(
                cell(pypy, workload, "corvane", n, cross_host_bound(n), cpython) for n, pypy in columns)))
    mem_cpython = (cpython or {}).get("memory")
    memory = []
    for pypy in pypys:
        mem_pypy = pypy.get("memory")
        if mem_pypy and mem_cpython and mem_cpython["constructed"] > 0:
            ratio = mem_pypy["constructed"] / mem_cpython["constructed"]
            memory.append("Bytes per entry of a constructed object (%s entries): %s %.1f, CPython %.1f, ratio %s." % (
                f"{mem_pypy['n']:,}", short_label(pypy), mem_pypy["constructed"], mem_cpython["constructed"],
                verdict(ratio, 1 + MEMORY_TOLERANCE)))
    for pypy in pypys:
        loop = (pypy.get("memory") or {}).get("loop")
        if loop:
            bound = max(LOOP_GROWTH_BOUND * loop["bytearray"], LOOP_LIVE_BOUND * loop["live"])
            memory.append(
                "Peak growth of a loop that keeps %d of %d derived %s-entry results (%s): %.0f MB; the same loop "
                "of bytearrays %.0f MB, live set %.0f MB, bound %.0f MB: %s." % (
                    loop["kept"], loop["rounds"], f"{loop['n']:,}", short_label(pypy), loop["corvane"] / 1e6,
                    loop["bytearray"] / 1e6, loop["live"] / 1e6, bound / 1e6,
                    "met" if loop["corvane"] <= bound else "MISSED"))
    if memory:
        lines.append("")
        lines += memory
    lines.append("")
    return lines


def crossover_table(runs):
    """corvane / plain Python at every size each run measured, for the jobs
    that cross the boundary, and the size from which corvane is the faster."""
    lines = ["### corvane / plain Python by size", "",
             "Construction and `to_dict` against `{k: v for k, v in d.items()}`, the chain against "
             "plain Python's; a bound is shown where one is set. Last column: the smallest size "
             "measured from which corvane is faster at every larger size.", ""]
    sizes = sorted({int(n) for run in runs for n in run["times"].get("chain", {}).get("corvane", {})})
    if not sizes:
        return []
    lines.append("| host | workload | " + " | ".join(f"{n:,}" for n in sizes) + " | corvane faster from |")
    lines.append("|---|---|" + "---:|" * (len(sizes) + 1))
    for run in runs:
        for workload, impl in SIZE_WORKLOADS:
            times = run["times"].get(workload, {})
            ratios = {}
            for n in sizes:
                mine, other = times.get("corvane", {}).get(str(n)), times.get(impl, {}).get(str(n))
                if mine is not None and other:
                    ratios[n] = mine / other
            cells = []
            for n in sizes:
                bound = size_bound(workload, n) if run["host"] == "pypy" else None
                ratio = ratios.get(n)
                cells.append("-" if ratio is None else verdict(ratio, bound) if bound else fmt(ratio))
            faster_from = "never"
            for n in sorted(ratios, reverse=True):
                if ratios[n] >= 1:
                    break
                faster_from = f"{n:,}"
            lines.append("| %s | %s | %s | %s |" % (short_label(run), workload, " | ".join(cells), faster_from))
    lines.append("")
    return lines


def releases_table(runs, sizes):
    """corvane's time per workload on every PyPy release side by side, each
    with its ratio to plain Python on that release. Only with two or more."""
    pypys = [run for run in runs if run["host"] == "pypy"]
    if len(pypys) < 2:
        return []
    lines = ["### corvane across PyPy releases", "",
             "CPU ns per entry (median); in brackets corvane / plain Python on the same release.", ""]
    for n in sizes:
        key = str(n)
        if not any(key in run["times"].get("construct", {}).get("corvane", {}) for run in pypys):
            continue
        lines.append("| n = %s | %s |" % (f"{n:,}", " | ".join(short_label(run) for run in pypys)))
        lines.append("|---|" + "---:|" * len(pypys))
        workloads = list(dict.fromkeys(w for run in pypys for w in run["times"]))
        for workload in workloads:
            cells = []
            for run in pypys:
                impls = run["times"].get(workload, {})
                mine = impls.get("corvane", {}).get(key)
                base = impls.get(baseline_of(impls) or "", {}).get(key)
                if mine is None:
                    cells.append("-")
                else:
                    cells.append("%s (%s)" % (fmt(mine), fmt(mine / base) if base else "-"))
            lines.append("| %s | %s |" % (workload, " | ".join(cells)))
        lines.append("")
    return lines


# The speed targets on every run at the largest n: (label, workload, bound,
# alternatives). A bound in ns per entry is met by corvane's own time; a bound
# written as a ratio ("x numpy") by its ratio to the first alternative.
SPEED_TARGETS = [
    ("add, equal indexes, from the second operation on", "add equal", (1.25, "numpy"), ["numpy", "pandas"]),
    ("add, shuffled keys", "add shuffled", (80, None), ["pandas", "python"]),
    ("add, half the keys shared", "add half", (80, None), ["pandas", "python"]),
    ("construction from a fresh dict", "construct", (80, None), ["pandas", "python comprehension"]),
    ("to_dict", "to_dict", (250, None), ["numpy", "pandas", "python comprehension"]),
    ("chain: build two, five operations, export", "chain", (440, None), ["numpy", "pandas", "python"]),
]


def speed_targets_table(runs, sizes):
    """Each target per run with corvane's time and its ratio to every
    alternative. An alternative a run lacks (numpy and pandas on PyPy) is
    taken from another run of the same benchmark that has it, and marked so."""
    by_host = {short_label(run): run for run in runs}
    present = [n for n in sizes if any(str(n) in r["times"].get("construct", {}).get("corvane", {}) for r in runs)]
    if not present:
        return []
    key = str(max(present))
    lines = ["### Speed targets at n = %s" % f"{int(key):,}", "",
             "CPU ns per entry (median); ratio = corvane / alternative, measured in the same benchmark run.", "",
             "| host | target | bound | corvane | alternatives (ns, ratio) | verdict |",
             "|---|---|---:|---:|---|---|"]
    for host, run in by_host.items():
        others = [r for h, r in by_host.items() if h != host]
        for label, workload, (bound, against), alternatives in SPEED_TARGETS:
            mine = run["times"].get(workload, {}).get("corvane", {}).get(key)
            if mine is None:
                continue
            cells, ratios = [], {}
            for impl in alternatives:
                source, theirs = run, run["times"].get(workload, {}).get(impl, {}).get(key)
                for other in others:
                    if theirs is None:
                        source, theirs = other, other["times"].get(workload, {}).get(impl, {}).get(key)
                if not theirs:
                    continue
                ratios[impl] = mine / theirs
                where = "" if source is run else " (%s)" % short_label(source)
                cells.append("%s%s %s (%s)" % (impl, where, fmt(theirs), fmt(ratios[impl])))
            if against is None:
                shown, met = "\u2264 %g ns" % bound, mine <= bound
            elif against in ratios:
                shown, met = "\u2264 %gx %s" % (bound, against), ratios[against] <= bound
            else:
                shown, met = "\u2264 %gx %s" % (bound, against), None
            verdict_text = "-" if met is None else ("met" if met else "MISSED")
            lines.append("| %s | %s | %s | %s | %s | %s |" % (host, label, shown, fmt(mine), "; ".join(cells) or "-",
                                                             verdict_text))
    lines.append("")
    return lines


def run_label(runs):
    """Date, commit and machine of the runs a table comes from."""
    dates = sorted({run.get("date", "?").split()[0] for run in runs})
    commits = sorted({run.get("commit") or "?" for run in runs})
    m = runs[0]["machine"]
    return "Run of %s, commit %s; %s, %d cores." % (" to ".join(dates[:: max(1, len(dates) - 1)]),
                                                    ", ".join(commits), m["cpu"], m["cpus"])


def size_name(n):
    n = int(n)
    exponent = len(str(n)) - 1
    return "10^%d" % exponent if n == 10**exponent else f"{n:,}"


def steady_runs(runs):
    return [run for run in runs if run.get("steady")]


def live_note(runs):
    """The live dict each host ran beside, as measured."""
    notes = []
    for run in steady_runs(runs):
        heap = run["steady"].get("heap")
        if heap:
            notes.append("%s %s entries (%.0f MB)" % (short_label(run), f"{heap['live_entries']:,}",
                                                      heap["live_bytes"] / 1e6))
    return "Live dict (str keys, float values, built before timing, kept referenced): %s." % "; ".join(notes) \
        if notes else ""


MODES = (("clean", "clean"), ("heap", "live dict"))


def loops_note(runs, mode):
    """How long the steady loops ran: the results each made, in all."""
    notes = []
    for run in steady_runs(runs):
        part = run["steady"].get(mode)
        if part and part.get("steady"):
            calls = [r["calls"] for by_size in part["steady"].values() for r in by_size.values()]
            notes.append("%s %.0f MiB (%s to %s calls)" % (short_label(run), part["steady_budget_bytes"] / 2**20,
                                                           f"{min(calls):,}", f"{max(calls):,}"))
    return "Results each loop made, at least: %s." % "; ".join(notes) if notes else ""


def job_ratios(part):
    """{k: {n: corvane / plain Python}} of one process's job."""
    out = {}
    for k, impls in part.get("job", {}).items():
        for n, mine in impls.get("corvane", {}).items():
            theirs = impls.get("python", {}).get(n)
            if theirs and theirs["ns"] > 0:
                out.setdefault(int(k), {})[int(n)] = mine["ns"] / theirs["ns"]
    return out


def break_even(ratios):
    """The smallest size measured from which the ratio stays below 1, or None."""
    found = None
    for n in sorted(ratios, reverse=True):
        if ratios[n] >= 1:
            break
        found = n
    return found


def job_tables(runs):
    """The user's job, corvane / plain Python per k and size, and the size
    from which it pays off, per host, clean and beside the live dict."""
    runs = [run for run in steady_runs(runs) if any(part.get("job") for part in run["steady"].values())]
    if not runs:
        return []
    ks = sorted({int(k) for run in runs for part in run["steady"].values() for k in part.get("job", {})})
    lines = ["### The user's job: where it pays off", "", run_label(runs), "",
             "Two plain dicts in (the same keys, every call a new pair), k aligned operations (add, multiply, "
             "subtract in turn), one plain dict out; the construction of both objects and `to_dict` counted. "
             "Against plain Python's dict comprehensions computing the same dict. Each cell: the smallest "
             "size measured from which corvane is faster at every larger size (\"never\": not within the "
             "sizes measured); on PyPy the bound is the size from which it must pay off.", "",
             "| host | process | " + " | ".join("k = %d" % k for k in ks) + " |",
             "|---|---|" + "---:|" * len(ks)]
    for run in runs:
        for mode, mode_label in MODES:
            part = run["steady"].get(mode)
            if not part or not part.get("job"):
                continue
            ratios = job_ratios(part)
            cells = []
            for k in ks:
                if k not in ratios:
                    cells.append("-")
                    continue
                found = break_even(ratios[k])
                text = "never" if found is None else size_name(found)
                bound = JOB_PAYS_OFF_FROM.get(k) if run["host"] == "pypy" else None
                if bound and max(ratios[k]) >= bound:  # a verdict only where the sizes reach the bound
                    met = found is not None and found <= bound
                    text += " (%s from %s)" % ("met" if met else "MISSED", size_name(bound))
                cells.append(text)
            lines.append("| %s | %s | %s |" % (short_label(run), mode_label, " | ".join(cells)))
    lines += ["", live_note(runs), ""]
    sizes = sorted({int(n) for run in runs for part in run["steady"].values() for impls in part.get("job", {}).values()
                    for n in impls.get("corvane", {})})
    lines += ["### The user's job: corvane / plain Python", "", run_label(runs), "",
              "Mean CPU time of the job over many calls, corvane's divided by plain Python's on the same "
              "interpreter in the same process (below 1: corvane is faster); in brackets corvane's CPU ns "
              "per entry.", "",
              "| host | process | k | " + " | ".join(size_name(n) for n in sizes) + " |",
              "|---|---|---:|" + "---:|" * len(sizes)]
    for run in runs:
        for mode, mode_label in MODES:
            part = run["steady"].get(mode)
            if not part or not part.get("job"):
                continue
            ratios = job_ratios(part)
            for k in ks:
                mine = part["job"].get(str(k), {}).get("corvane", {})
                cells = ["-" if n not in ratios.get(k, {}) else "%s (%s)" % (fmt(ratios[k][n]), fmt(mine[str(n)]["ns"]))
                         for n in sizes]
                lines.append("| %s | %s | %d | %s |" % (short_label(run), mode_label, k, " | ".join(cells)))
    lines.append("")
    return lines


def operations_tables(runs):
    """The steady loops on every PyPy against CPython's, per entry, clean and
    beside the live dict; the host's own floor beside them."""
    runs = steady_runs(runs)
    pypys = [run for run in runs if run["host"] == "pypy"]
    cpython = next((run for run in runs if run["host"] == "cpython"), None)
    if not pypys:
        return []
    lines = []
    for mode, _ in MODES:
        parts = [(run, run["steady"].get(mode, {}).get("steady")) for run in pypys]
        parts = [(run, part) for run, part in parts if part]
        if not parts:
            continue
        base = (cpython or {}).get("steady", {}).get(mode, {}).get("steady", {})
        cases = list(dict.fromkeys(case for _, part in parts for case in part))
        sizes = sorted({int(n) for _, part in parts for by_size in part.values() for n in by_size})
        title = "clean process" if mode == "clean" else "beside the live dict"
        lines += ["### Operations per entry, PyPy against CPython, %s" % title, "", run_label(runs), "",
                  "Mean CPU ns per entry of a steady loop that drops each result (the collections it sets off "
                  "included); in brackets PyPy's time / CPython's, each from its own process%s. The floor rows "
                  "are the host's own cost of a call that returns a new object of n doubles: they bound what a "
                  "PyPy ratio can reach. Bounds: %s; none at smaller sizes." % (
                      " with the same live dict" if mode == "heap" else "",
                      ", ".join("\u2264 %g from %s" % (b, size_name(n)) for n, b in sorted(CROSS_HOST_BOUNDS))), ""]
        if mode == "heap":
            lines += [live_note(runs), ""]
        lines += [loops_note(runs, mode), ""]
        lines.append("| operation | n | " + " | ".join(short_label(run) for run, _ in parts) +
                     (" | %s |" % short_label(cpython) if cpython else " |"))
        lines.append("|---|---:|" + "---:|" * (len(parts) + (1 if cpython else 0)))
        for case in cases:
            for n in sizes:
                key = str(n)
                theirs = base.get(case, {}).get(key)
                cells = []
                for _, part in parts:
                    mine = part.get(case, {}).get(key)
                    if mine is None:
                        cells.append("-")
                    elif not theirs or theirs["ns"] <= 0:
                        cells.append(fmt(mine["ns"]))
                    else:
                        ratio = mine["ns"] / theirs["ns"]
                        bound = None if case.startswith("floor") else cross_host_bound(n)
                        judged = ", %s \u2264 %g" % ("met" if ratio <= bound else "MISSED", bound) if bound else ""
                        cells.append("%s (%sx%s)" % (fmt(mine["ns"]), fmt(ratio), judged))
                if cpython:
                    cells.append(fmt(theirs["ns"]) if theirs else "-")
                lines.append("| %s | %s | %s |" % (case, size_name(n), " | ".join(cells)))
        lines.append("")
    return lines


def faults_table(runs):
    """Page faults per 4 KiB of dropped result, every host, clean and beside
    the live dict."""
    runs = steady_runs(runs)
    if not runs:
        return []
    sizes = sorted({int(n) for run in runs for part in run["steady"].values()
                    for by_size in part.get("steady", {}).values() for n in by_size})
    if not sizes:
        return []
    lines = ["### Page faults per 4 KiB of a dropped result", "", run_label(runs), "",
             "Minor page faults (`getrusage`) over the steady loops above, divided by the result's bytes "
             "(8 per entry) / 4096; each cell clean / beside the live dict. Bound: \u2264 %g on every host; the "
             "last column holds the largest figure and its verdict. The floor rows are the host's own." % FAULT_BOUND,
             "", "| host | operation | " + " | ".join(size_name(n) for n in sizes) + " | worst |",
             "|---|---|" + "---:|" * (len(sizes) + 1)]
    for run in runs:
        cases = list(dict.fromkeys(case for part in run["steady"].values() for case in part.get("steady", {})))
        for case in cases:
            cells, worst = [], None
            for n in sizes:
                figures = []
                for mode, _ in MODES:
                    r = run["steady"].get(mode, {}).get("steady", {}).get(case, {}).get(str(n))
                    figures.append("-" if r is None else "%.3f" % r["faults_per_4k"])
                    if r is not None:
                        worst = r["faults_per_4k"] if worst is None else max(worst, r["faults_per_4k"])
                cells.append(" / ".join(figures))
            end = "-" if worst is None else ("%.3f" % worst if case.startswith("floor") else
                                             "%.3f (%s)" % (worst, "met" if worst <= FAULT_BOUND else "MISSED"))
            lines.append("| %s | %s | %s | %s |" % (short_label(run), case, " | ".join(cells), end))
    lines.append("")
    return lines


def elapsed_table(runs):
    """Wall time of each part of each run, so the benchmark's cost stays visible."""
    runs = [run for run in runs if run.get("elapsed")]
    if not runs:
        return []
    lines = ["### Wall time of the benchmark's parts (s)", "", "| host | part | s |", "|---|---|---:|"]
    for run in runs:
        for part, seconds in run["elapsed"].items():
            lines.append("| %s | %s | %.1f |" % (short_label(run), part, seconds))
        lines.append("| %s | all parts | %.1f |" % (short_label(run), sum(run["elapsed"].values())))
        for mode, part in run.get("steady", {}).items():
            for step, seconds in part.get("elapsed", {}).items():
                lines.append("| %s | %s: %s | %.1f |" % (short_label(run), mode, step, seconds))
    lines.append("")
    return lines


def store_table(store):
    lines = ["### Store layer, C++ (CPU ns per element, median)", "",
             "| n | fused aligned | copy then update | fused, equal index | copy then update, equal index "
             "| packed kernel | scalar kernel |", "|---:|---:|---:|---:|---:|---:|---:|"]
    for n, r in store.items():
        lines.append("| %s | %s | %s | %s | %s | %s | %s |" % (
            f"{int(n):,}", fmt(r["aligned_fused"]), fmt(r["aligned_copy_then_update"]),
            fmt(r["aligned_fused_equal_index"]), fmt(r["aligned_copy_then_update_equal_index"]),
            fmt(r["kernel_packed"]), fmt(r["kernel_scalar"])))
    lines.append("")
    return lines


# One colour per implementation, the same in every panel and in both hosts'
# figures; corvane is drawn thickest. Others get the next free colour.
COLOURS = {
    "corvane": "#d62728",
    "numpy": "#1f77b4",
    "pandas": "#9467bd",
    "C-API floor": "#2ca02c",
    "python dict(d)": "#7f7f7f",
    "python comprehension": "#000000",
    "python": "#000000",
    "corvane, reused dict": "#ff9896",
    "C-API bulk floor": "#98df8a",
}
SPARE_COLOURS = ["#ff7f0e", "#8c564b", "#e377c2", "#17becf", "#bcbd22"]
HOST_TITLES = {"pypy": "PyPy", "cpython": "CPython"}
LEGEND_NAMES = {"python": "plain Python (= 1x)", "python comprehension": "plain Python (= 1x)",
                "python dict(d)": "dict(d), a plain copy"}


def colour_of(impl, colours):
    if impl not in colours:
        colours[impl] = SPARE_COLOURS[(len(colours) - len(COLOURS)) % len(SPARE_COLOURS)]
    return colours[impl]


def baseline_of(impls):
    """Plain Python's way of doing the workload: its loop, or for construction
    and export the comprehension that copies a dict (older runs: dict(d))."""
    for name in ("python", "python comprehension", "python dict(d)"):
        if name in impls:
            return name
    return None


def plot_path(path, run):
    path = pathlib.Path(path)
    return path.with_name("%s-%s%s" % (path.stem, file_key(run), path.suffix or ".png"))


def plot_host(plt, ticker, run, path, colours):
    """One figure per host: a panel per workload, each implementation's time
    divided by plain Python's at every n (below the 1x line: faster than
    Python), one legend for the figure, outside the panels."""
    workloads = list(run["times"])
    cols = 5
    rows = (len(workloads) + cols - 1) // cols
    fig, axes = plt.subplots(rows, cols, figsize=(3.3 * cols, 2.9 * rows + 1.2), squeeze=False)
    handles = {}
    for ax, workload in zip(axes.flat, workloads):
        impls = run["times"][workload]
        baseline = baseline_of(impls)
        if baseline is None:
            ax.set_title(workload + " (no Python baseline)", fontsize=10)
            continue
        base = impls[baseline]
        ax.axhline(1.0, color=colour_of(baseline, colours), linewidth=1.0, linestyle="--")
        handles.setdefault(baseline, plt.Line2D([], [], color=colour_of(baseline, colours), linestyle="--"))
        for impl, by_size in impls.items():
            if impl == baseline:
                continue
            xs = sorted(int(n) for n in by_size if n in base)
            ratios = [by_size[str(x)] / base[str(x)] for x in xs]
            mine = impl == "corvane"
            (line,) = ax.plot(xs, ratios, color=colour_of(impl, colours), marker="o", markersize=4 if mine else 3,
                              linewidth=2.6 if mine else 1.4, zorder=3 if mine else 2, label=impl)
            handles.setdefault(impl, line)
        ax.set_xscale("log")
        ax.set_yscale("log")
        # Ratios read as 0.01x, 0.2x, 5x rather than powers of ten.
        ax.yaxis.set_major_locator(ticker.LogLocator(base=10, subs=(1.0, 2.0, 5.0)))
        ax.yaxis.set_major_formatter(ticker.FuncFormatter(lambda y, _: "%gx" % y))
        ax.yaxis.set_minor_formatter(ticker.NullFormatter())
        ax.set_title("%s  (vs %s)" % (workload, baseline), fontsize=10)
        ax.grid(True, which="major", alpha=0.35)
        ax.tick_params(labelsize=8)
    for ax in axes[-1]:
        ax.set_xlabel("entries", fontsize=9)
    for row in axes:
        row[0].set_ylabel("time / plain Python", fontsize=9)
    for ax in list(axes.flat)[len(workloads):]:
        ax.axis("off")
    title = "%s: CPU time relative to plain Python on the same interpreter (below 1: faster)" % label(run)
    fig.suptitle(title, fontsize=12, fontweight="bold")
    order = ["corvane"] + sorted(name for name in handles if name != "corvane")
    labelled = {}  # one entry a label: both plain-Python baselines read "plain Python"
    for name in order:
        labelled.setdefault(LEGEND_NAMES.get(name, name), handles[name])
    fig.legend(list(labelled.values()), list(labelled), loc="lower center", ncol=len(labelled), fontsize=9,
               frameon=False)
    fig.tight_layout(rect=(0, 0.06, 1, 0.95))
    fig.savefig(path, dpi=90)
    plt.close(fig)
    print("plot written to %s" % path)


def plot(runs, path):
    """Writes one figure per run beside `path`: bench.png -> bench-pypy-7.3.19.png, bench-cpython.png."""
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed: no plot")
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib import ticker

    colours = dict(COLOURS)
    for run in runs:
        if not run["times"]:
            continue
        plot_host(plt, ticker, run, plot_path(path, run), colours)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("runs", nargs="+")
    parser.add_argument("--store")
    parser.add_argument("--table")
    parser.add_argument("--plot")
    parser.add_argument("--sizes", type=int, nargs="+", default=[10**4, 10**6])
    args = parser.parse_args()
    runs = []
    for path in args.runs:
        with open(path) as f:
            runs.append(json.load(f))
    runs = ordered(runs)
    m = runs[0]["machine"]
    lines = ["Machine: %s, %d CPUs, %s. %s" % (m["cpu"], m["cpus"], m["platform"], run_label(runs)), ""]
    lines += job_tables(runs)
    lines += operations_tables(runs)
    lines += faults_table(runs)
    lines += targets_table(runs, args.sizes)
    lines += crossover_table(runs)
    lines += speed_targets_table(runs, args.sizes)
    lines += releases_table(runs, args.sizes)
    for run in runs:
        lines += host_table(run, args.sizes)
    if args.store:
        with open(args.store) as f:
            lines += store_table(json.load(f))
    lines += elapsed_table(runs)
    text = "\n".join(lines)
    print(text)
    if args.table:
        with open(args.table, "w") as f:
            f.write(text + "\n")
    if args.plot:
        plot(runs, args.plot)


if __name__ == "__main__":
    main()
