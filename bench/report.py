"""Turns the JSON files of bench/run.py (one per host) into a table and a plot.

    python bench/report.py build/bench/pypy.json build/bench/cpython.json \
        [--store build/bench/store.json] [--table out.md] [--plot out.png] [--sizes 10000 1000000]

Every ratio is corvane's time divided by the alternative's, both measured in
the same process: below 1 corvane is faster. The plot is skipped (with a note)
when matplotlib is not installed.
"""

import argparse
import json

# Bytes each positional operation moves per entry: two reads and a write for
# add, one read and a write for a scalar operation, a write for reset.
MOVED_BYTES = {"add derived": 24, "add equal": 24, "multiply_scalar": 16, "reset": 8}
FLOOR_OF = {"sum": "sum", "product": "product"}


def fmt(x):
    if x is None:
        return "-"
    return "%.3g" % x if x < 100 else "%.0f" % x


def host_table(run, sizes):
    lines = []
    title = "%s (Python %s)" % (run["host"], run["python"])
    lines.append("### " + title)
    lines.append("")
    for n in sizes:
        key = str(n)
        if key not in next(iter(run["times"].values()))["corvane"]:
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


# The PyPy targets: (label, workload, alternative, bound at 10^4, bound at 10^6).
RATIO_TARGETS = [
    ("construction (fresh dict) / `{k: v for k, v in d.items()}`", "construct", "python comprehension", 1.5, 1.0),
    ("to_dict / `{k: v for k, v in d.items()}`", "to_dict", "python comprehension", 2.0, 2.0),
    ("chain / plain Python's chain", "chain", "python", 1.0, 0.5),
]
POSITIONAL = ["add derived", "add equal", "multiply_scalar", "reset", "sum", "product"]
CROSS_HOST_BOUND = 1.5
MEMORY_TOLERANCE = 0.10


def verdict(ratio, bound):
    return "%s (%s %s)" % (fmt(ratio), "met" if ratio <= bound else "MISSED", "\u2264 %g" % bound)


def targets_table(runs, sizes):
    """PyPy's targets as ratios measured in one run (or, PyPy against CPython,
    in one benchmark invocation)."""
    by_host = {run["host"]: run for run in runs}
    pypy, cpython = by_host.get("pypy"), by_host.get("cpython")
    if pypy is None:
        return []
    small, large = str(min(sizes)), str(max(sizes))
    shown = [small] if small == large else [small, large]
    lines = ["### Targets on PyPy", "",
             "| target | " + " | ".join("n = %s" % f"{int(n):,}" for n in shown) + " |",
             "|---|" + "---:|" * len(shown)]

    def cell(workload, impl, key, bound, against=None):
        mine = pypy["times"].get(workload, {}).get("corvane", {}).get(key)
        other = (against or pypy)["times"].get(workload, {}).get(impl, {}).get(key)
        return "-" if mine is None or not other else verdict(mine / other, bound)

    for label, workload, impl, bound_small, bound_large in RATIO_TARGETS:
        bounds = {large: bound_large, small: bound_small}
        lines.append("| %s | %s |" % (label, " | ".join(cell(workload, impl, n, bounds[n]) for n in shown)))
    if cpython is not None:
        for workload in POSITIONAL:
            lines.append("| %s, PyPy ns / CPython ns | %s |" % (
                workload, " | ".join(cell(workload, "corvane", n, CROSS_HOST_BOUND, cpython) for n in shown)))
    mem_pypy, mem_cpython = pypy.get("memory"), (cpython or {}).get("memory")
    if mem_pypy and mem_cpython and mem_cpython["constructed"] > 0:
        ratio = mem_pypy["constructed"] / mem_cpython["constructed"]
        lines.append("")
        lines.append("Bytes per entry of a constructed object (%s entries): PyPy %.1f, CPython %.1f, ratio %s." % (
            f"{mem_pypy['n']:,}", mem_pypy["constructed"], mem_cpython["constructed"],
            verdict(ratio, 1 + MEMORY_TOLERANCE)))
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


def plot(runs, path):
    try:
        import matplotlib
    except ImportError:
        print("matplotlib is not installed: no plot")
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    workloads = list(runs[0]["times"])
    cols = 5
    rows = (len(workloads) + cols - 1) // cols
    fig, axes = plt.subplots(rows, cols, figsize=(4 * cols, 3.4 * rows), squeeze=False)
    styles = {"pypy": "--", "cpython": "-"}
    # One colour per implementation in every panel; the line style tells the host.
    names = sorted({impl for run in runs for impls in run["times"].values() for impl in impls})
    colours = {name: "C%d" % (i % 10) for i, name in enumerate(names)}
    for ax, workload in zip(axes.flat, workloads):
        for run in runs:
            for impl, by_size in run["times"].get(workload, {}).items():
                xs = sorted(int(n) for n in by_size)
                ax.plot(xs, [by_size[str(x)] for x in xs], styles.get(run["host"], "-"),
                        color=colours[impl], marker="o",
                        markersize=3, label="%s %s" % (run["host"], impl),
                        linewidth=2.2 if impl == "corvane" else 1.2)
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_title(workload)
        ax.set_xlabel("entries")
        ax.set_ylabel("CPU ns per entry")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize=6)
    for ax in list(axes.flat)[len(workloads):]:
        ax.axis("off")
    fig.tight_layout()
    fig.savefig(path, dpi=90)
    print("plot written to %s" % path)


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
    m = runs[0]["machine"]
    lines = ["Machine: %s, %d CPUs, %s." % (m["cpu"], m["cpus"], m["platform"]), ""]
    lines += targets_table(runs, args.sizes)
    for run in runs:
        lines += host_table(run, args.sizes)
    if args.store:
        with open(args.store) as f:
            lines += store_table(json.load(f))
    text = "\n".join(lines)
    print(text)
    if args.table:
        with open(args.table, "w") as f:
            f.write(text + "\n")
    if args.plot:
        plot(runs, args.plot)


if __name__ == "__main__":
    main()
