"""The summary of a `make bench` run: korvane against each alternative, per operation.

Reads the JSON that pytest-benchmark writes (--benchmark-json) and writes, into
the output folder:

- summary.md    the ratio table (also printed), the shape of the README's table;
- summary.json  the same figures, per call and per second, with the chart series;
- summary.png   time per call against the number of stored sizes for the block
                index and SortedKeyList, and calls per second against the number
                of calling threads for the contention groups.

Every benchmark reports the median time of a round; `extra_info["calls"]` (1 when
absent) is the number of calls in a round. Groups measured with threads carry
`extra_info["threads"]` and are reported in calls per second. A ratio "Nx" is the
alternative's time per call over korvane's: above 1 korvane is faster.

    python benchmarks/report.py build/bench/raw.json build/bench [--readme README.md] [--beside OTHER/summary.json]

With --readme, the table between the README's bench-table markers is replaced
by this run's (for a free-threaded run, the table of readers between the
ft-handles-table markers). With --beside OTHER/summary.json, the checks of another run (the
GIL build's, beside a free-threaded run) are printed after this run's.
"""

import json
import sys
from pathlib import Path

# Ratios the package is held to: (group, alternative, least ratio).
TARGETS = [
    ("insert + remove_ge, 1,000 sizes", "sortedcontainers SortedKeyList", 4.0),
    ("find_best_fit, 1,000,000 sizes", "sortedcontainers SortedKeyList", 8.0),
    ("CounterAggregator.get_stats", "runstats", 2.0),
    ("CounterAggregator.get_stats", "Python with threading.Lock", 2.5),
]


def load(path):
    """One record per benchmark, in run order."""
    records = []
    for bench in json.loads(Path(path).read_text())["benchmarks"]:
        info = bench.get("extra_info", {})
        impl = info.get("impl") or (bench.get("params") or {}).get("impl")
        if not isinstance(impl, str) or impl.startswith("UNSERIALIZABLE"):
            impl = bench.get("param") or bench["name"]  # the parameter's id, as in the test name
        calls = info.get("calls", 1)
        seconds = bench["stats"]["median"] / calls
        records.append({
            "file": bench["fullname"].split("::")[0],
            "group": bench["group"] or bench["name"],
            "impl": str(impl),
            "ns_per_call": seconds * 1e9,
            "calls_per_s": 1.0 / seconds,
            "threads": info.get("threads"),
            "busy": info.get("busy", False),
            "series": info.get("series"),
            "stored": info.get("stored"),
            "against_alone": info.get("against_alone"),
        })
    return records


def is_korvane(record):
    return record["impl"].startswith("korvane")


# Files in the order of the package's layers; others follow in run order.
FILES = ["bench_lockfree_core.py", "bench_block_index.py", "bench_contention.py", "bench_slab_engine.py",
         "bench_counter_hub.py", "bench_task_scoring.py", "bench_adaptation_policy.py", "bench_accel_planner.py",
         "bench_host_probe.py"]


def ordered(records):
    """Files by FILES, groups in run order, except that the groups of one series follow each other: by
    stored sizes, then by threads."""
    first = {}
    for name in FILES:
        first[name] = len(first)
    for r in records:
        first.setdefault(Path(r["file"]).name, len(first))
        first.setdefault((r["file"], r["series"] or r["group"]), len(first))

    def key(r):
        series = first[(r["file"], r["series"] or r["group"])]
        return first[Path(r["file"]).name], series, r["busy"], r["threads"] or 0, r["stored"] or 0

    return sorted(records, key=key)


def rows(records):
    """Per group: korvane's record and every alternative with its ratio, in the order of `ordered`."""
    groups = {}
    for r in ordered(records):
        groups.setdefault(r["group"], []).append(r)
    result = []
    for group, members in groups.items():
        ours = [r for r in members if is_korvane(r)]
        if len(ours) != 1:
            continue
        ours = ours[0]
        others = [dict(r, ratio=r["ns_per_call"] / ours["ns_per_call"]) for r in members if not is_korvane(r)]
        result.append({"operation": group, "korvane": ours, "alternatives": others})
    return result


def duration(ns):
    for unit, scale in (("ns", 1.0), ("us", 1e3), ("ms", 1e6)):
        if ns < 1000 * scale or unit == "ms":
            return f"{ns / scale:.{0 if ns / scale >= 100 else 1}f} {unit}"


def rate(per_s):
    for unit, scale in (("M/s", 1e6), ("k/s", 1e3)):
        if per_s >= scale:
            return f"{per_s / scale:.{0 if per_s / scale >= 100 else 1 if per_s / scale >= 10 else 2}f} {unit}"
    return f"{per_s:.0f}/s"


def ratio(x):
    return f"{x:.{2 if x < 0.1 else 1}f}x"


def table(result):
    lines = ["| Operation | korvane | alternatives (time per call against korvane's) |", "|---|---|---|"]
    for row in result:
        ours = row["korvane"]
        figure = rate(ours["calls_per_s"]) if ours["threads"] else duration(ours["ns_per_call"])
        alternatives = ", ".join(f"{a['impl']} {ratio(a['ratio'])}" for a in row["alternatives"])
        lines.append(f"| {row['operation']} | {figure} | {alternatives} |")
    return "\n".join(lines)


def target_lines(result):
    by_group = {row["operation"]: row for row in result}
    lines = []
    for group, alternative, least in TARGETS:
        row = by_group.get(group)
        found = [a["ratio"] for a in row["alternatives"] if a["impl"] == alternative] if row else []
        if found:
            verdict = "met" if found[0] >= least else "NOT met"
            lines.append(f"{group}: {ratio(found[0])} against {alternative} (at least {ratio(least)}: {verdict})")
    write = by_group.get("insert + remove_ge, 1,000 sizes")
    read = by_group.get("find_best_fit, 1,000 sizes")
    if write and read:
        times = write["korvane"]["ns_per_call"] / read["korvane"]["ns_per_call"]
        verdict = "met" if times <= 4.0 else "NOT met"
        lines.append(f"insert + remove_ge costs {times:.1f} find_best_fit calls at 1,000 sizes "
                     f"(at most 4.0: {verdict})")
    return lines


FT = ", 3.13t"
READS = "find_best_fit, 1,000 sizes"


def against_lone(record, lone):
    """A reader row's calls against 1 reader through a handle (`lone`): from the rounds taken in turn
    where the row has them, else from the two groups."""
    paired = record["against_alone"]
    return paired if paired is not None else record["calls_per_s"] / lone["calls_per_s"]


def ft_target_lines(result):
    """The checks of a free-threaded run (`make bench-ft`): empty for other runs."""
    by_group = {row["operation"]: row for row in result}
    alone = by_group.get("AtomicCounter.increment" + FT)
    if alone is None:
        return []
    lines = []

    def check(text, value, least=None, most=None):
        met = (least is None or value >= least) and (most is None or value <= most)
        bound = f"at least {least:.2f}x" if least is not None else f"at most {most:.2f}x"
        lines.append(f"{text}: {value:.2f}x ({bound}: {'met' if met else 'NOT met'})")

    beside = by_group.get("AtomicCounter.increment beside an idle thread" + FT)
    if beside:  # no slower, allowing 3% for the noise between runs
        check("AtomicCounter.increment beside an idle thread against alone (time per call)",
              beside["korvane"]["ns_per_call"] / alone["korvane"]["ns_per_call"], most=1.03)
    for impl, least in (("ft_utils AtomicInt64", 1 / 1.25), ("cereggii AtomicInt64", 1.0)):
        found = [a["ratio"] for a in alone["alternatives"] if a["impl"] == impl]
        if found:
            check(f"AtomicCounter.increment against {impl}", found[0], least=least)
    # Readers of one shared tree, each through a handle it made (the korvane row of these groups).
    one, two = by_group.get(f"{READS}, 1 reader{FT}"), by_group.get(f"{READS}, 2 readers{FT}")
    writer = by_group.get(f"{READS}, 2 readers beside a writer{FT}")
    def against_one(row):
        return against_lone(row["korvane"], one["korvane"])

    if one and two:
        check("find_best_fit from 2 readers through handles against 1 (calls per second)", against_one(two),
              least=1.8)
    if one and writer:
        check("find_best_fit from 2 readers through handles beside a writer against 1 reader alone "
              "(calls per second)", against_one(writer), least=1.2)
    # The same rows with nothing of one tree shared: what the machine itself allows them in this run.
    for beside, target in (("", "2 readers"), (" beside a writer of another", "2 readers beside a writer")):
        own = by_group.get(f"{READS}, 2 readers of their own trees{beside}{FT}")
        if one and own:
            lines.append(f"find_best_fit from 2 readers of their own trees{beside} against 1 reader alone, what "
                         f"this machine allows the row of {target}: {against_one(own):.2f}x")
    if one:  # the bound method's calls against the handle's, in rounds taken in turn where they were
        found = [against_lone(a, one["korvane"]) for a in one["alternatives"] if a["impl"] == "bound method"]
        if found:
            check("find_best_fit from 1 thread, a handle's time per call against the bound method's", found[0],
                  most=1.05)
    for op in ("AtomicCounter.increment", "LockFreeStatistics.record_allocation", "CounterAggregator.update"):
        single, both = by_group.get(f"{op}, one object, 1 thread{FT}"), by_group.get(f"{op}, one object, 2 threads{FT}")
        if single and both:
            lines.append(f"{op} from 2 threads through handles against 1, on one object (calls per second): "
                         f"{both['korvane']['calls_per_s'] / single['korvane']['calls_per_s']:.2f}x")
    stats = by_group.get("LockFreeStatistics.record_allocation, 2 threads")
    found = [a["ratio"] for a in stats["alternatives"] if a["impl"] == "Python with threading.Lock"] if stats else []
    if found:
        check("LockFreeStatistics.record_allocation from 2 threads against Python with threading.Lock",
              found[0], least=5.0)
    return lines


def series(records):
    """Chart data: per series and implementation, the points in run order."""
    sizes, threads = {}, {}
    for r in records:
        if r["series"] is None:
            continue
        if r["stored"] is not None and r["threads"] is None:
            sizes.setdefault(r["series"], {}).setdefault(r["impl"], []).append((r["stored"], r["ns_per_call"]))
        elif r["threads"] is not None:
            x = f"{r['threads']} + busy" if r["busy"] else str(r["threads"])
            threads.setdefault(r["series"], {}).setdefault(r["impl"], []).append((x, r["calls_per_s"]))
    for by_impl in sizes.values():
        for points in by_impl.values():
            points.sort()
    return {"time_per_call_by_sizes": sizes, "calls_per_s_by_threads": threads}


def chart(data, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    by_sizes, by_threads = data["time_per_call_by_sizes"], data["calls_per_s_by_threads"]
    counters = [s for s in by_threads if "sizes" not in s]
    trees = [s for s in by_threads if "sizes" in s]
    fig, axes = plt.subplots(1, 3, figsize=(18, 7), constrained_layout=True)
    colours = {}

    def colour(impl):
        return colours.setdefault(impl, f"C{len(colours)}")

    def style(name):  # writes and the statistics dashed, the same in every panel
        return "--" if name.startswith(("insert", "LockFreeStatistics")) else "-"

    def finish(ax):
        ax.grid(True, which="both", alpha=0.3)
        if ax.lines:
            ax.legend(fontsize=8, loc="upper center", bbox_to_anchor=(0.5, -0.16), ncol=1, frameon=False)
        else:
            ax.text(0.5, 0.5, "not measured in this run", ha="center", transform=ax.transAxes)

    ax = axes[0]
    for name in sorted(by_sizes):
        for impl, points in by_sizes[name].items():
            if not (impl.startswith("korvane") or "SortedKeyList" in impl):
                continue
            xs, ys = zip(*points)
            ax.plot(xs, ys, style(name), marker="o", color=colour(impl), label=f"{name}: {impl}")
    ax.set(xscale="log", yscale="log", xlabel="stored sizes", ylabel="time per call (ns)",
           title="Block index: time per call against stored sizes")
    finish(ax)

    for ax, names, title in ((axes[1], counters, "Counters: calls per second against calling threads"),
                             (axes[2], trees, "Block index (1,000 sizes): calls per second against threads")):
        order = []
        for name in names:
            for points in by_threads[name].values():
                for x, _ in points:
                    if x not in order:
                        order.append(x)
        order.sort(key=lambda x: (x.endswith("busy"), int(x.split()[0])))
        for name in names:
            for impl, points in by_threads[name].items():
                got = dict(points)
                xs = [i for i, x in enumerate(order) if x in got and not x.endswith("busy")]
                ax.plot(xs, [got[order[i]] for i in xs], style(name), marker="o", color=colour(impl),
                        label=f"{name}: {impl}")
                busy = [i for i, x in enumerate(order) if x in got and x.endswith("busy")]
                ax.plot(busy, [got[order[i]] for i in busy], "s", color=colour(impl))
        if any(x.endswith("busy") for x in order):
            ax.axvline(len(order) - 1.5, color="grey", linestyle=":")
        ax.set_xticks(range(len(order)), [x.replace(" + busy", " beside\na busy thread") for x in order])
        ax.set(yscale="log", xlabel="calling threads", ylabel="calls per second (all threads)", title=title)
        finish(ax)
    fig.savefig(path, dpi=110)
    plt.close(fig)


BEGIN, END = "<!-- bench-table -->", "<!-- /bench-table -->"
FT_BEGIN, FT_END = "<!-- ft-handles-table -->", "<!-- /ft-handles-table -->"
FT_CALLERS = ["korvane handle", "bound method", "cereggii ThreadHandle", "ft_utils LocalWrapper"]


def handles_table(records):
    """The free-threaded readers' groups: calls per second of each way of calling, and against 1 reader
    through handles; empty for other runs."""
    groups = {}
    for r in records:
        if r["group"].startswith(READS) and r["group"].endswith(FT) and r["threads"]:
            groups.setdefault(r["group"], {})[r["impl"]] = r
    one = groups.get(f"{READS}, 1 reader{FT}", {}).get("korvane handle")
    if not one:
        return ""

    def cell(r):
        return f"{rate(r['calls_per_s'])} ({against_lone(r, one):.2f}x)"

    lines = ["| Readers of one tree | " + " | ".join(FT_CALLERS) + " |", "|---" * (len(FT_CALLERS) + 1) + "|"]
    for group, by_caller in groups.items():
        cells = [cell(by_caller[c]) if c in by_caller else "" for c in FT_CALLERS]
        lines.append(f"| {group[len(READS) + 2:-len(FT)]} | " + " | ".join(cells) + " |")
    return "\n".join(lines) + "\n\n(x: against 1 reader through a handle, in rounds run in turn with the row's own)"


def update_readme(path, text, begin=BEGIN, end_marker=END):
    readme = Path(path).read_text()
    start, end = readme.index(begin) + len(begin), readme.index(end_marker)
    Path(path).write_text(readme[:start] + "\n" + text + "\n" + readme[end:])


def main(argv):
    options = {}
    for option in ("--readme", "--beside"):
        if option in argv:
            i = argv.index(option)
            options[option] = argv[i + 1]
            argv = argv[:i] + argv[i + 2:]
    readme, beside = options.get("--readme"), options.get("--beside")
    source = Path(argv[1] if len(argv) > 1 else "build/bench/raw.json")
    out = Path(argv[2] if len(argv) > 2 else source.parent)
    out.mkdir(parents=True, exist_ok=True)
    records = load(source)
    result = rows(records)
    data = series(records)
    text = table(result)
    targets = target_lines(result) + ft_target_lines(result)
    (out / "summary.md").write_text(text + "\n")
    (out / "summary.json").write_text(json.dumps({"rows": result, "targets": targets, **data}, indent=1) + "\n")
    chart(data, out / "summary.png")
    handles = handles_table(records)
    if readme is not None:
        if handles:  # a free-threaded run fills its own table only
            update_readme(readme, handles, FT_BEGIN, FT_END)
        else:
            update_readme(readme, text)
    print(f"\nSummary written to {out}/summary.md, summary.json and summary.png")
    for line in targets:
        print(line)
    if beside is not None and Path(beside).is_file():
        print(f"\nThe GIL build, from {beside}:")
        for line in json.loads(Path(beside).read_text())["targets"]:
            print(line)
    print()
    print(text)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
