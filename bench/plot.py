#!/usr/bin/python3
"""Draws compare's results: time and speedup against the task count, and the
ratio to LAPACK against the half bandwidth when the results hold a sweep.

    build/bench/compare --benchmark_out=compare.json --benchmark_out_format=json
    build/bench/compare --sweep > sweep.txt                 (optional)
    /usr/bin/python3 bench/plot.py compare.json [sweep.txt] -o scaling.png

Inputs are Google Benchmark JSON files, in which a benchmark's name carries its
arguments as key:value parts ("mesolution_csp_4/tasks:2/manual_time"), and
compare's printed sweep table. Times are the medians of the repetitions. A
method measured at several task counts is drawn as a line; one measured at a
single count (LAPACK, the sequential code) as a horizontal reference. A sweep
(several half bandwidths m, in the JSON as an m:… argument or in the table)
adds a panel with each method's time at the most tasks over LAPACK's at the same
m and precision. The figure's format follows the output's extension (.png, .svg,
.pdf).
"""
import argparse
import collections
import json
import re
import statistics
import sys

SECONDS = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}


def _arguments(name):
    """Method name and key:value arguments of a benchmark name."""
    parts = name.split("/")
    method = parts[0]
    args = {}
    for part in parts[1:]:
        key, colon, value = part.partition(":")
        if colon:
            args[key] = value
    return method, args


def read_json(path):
    """{(method, precision, m): {tasks: [seconds]}} from Google Benchmark JSON."""
    with open(path) as f:
        data = json.load(f)
    runs = collections.defaultdict(lambda: collections.defaultdict(list))
    medians = collections.defaultdict(dict)
    for bench in data.get("benchmarks", []):
        method, args = _arguments(bench.get("run_name", bench["name"]))
        key = (method, args.get("type", ""), int(args["m"]) if "m" in args else None)
        tasks = int(args.get("tasks", 1))
        seconds = bench["real_time"] * SECONDS[bench.get("time_unit", "ns")]
        if bench.get("run_type", "iteration") == "iteration":
            runs[key][tasks].append(seconds)
        elif bench.get("aggregate_name") == "median":
            medians[key][tasks] = seconds
    result = {}
    for key in set(runs) | set(medians):
        result[key] = {t: statistics.median(v) for t, v in runs[key].items()} if key in runs else medians[key]
    return result


def read_sweep_table(path):
    """The same from compare --sweep's table (times in ms at 1 … P tasks)."""
    result = {}
    with open(path) as f:
        lines = f.read().splitlines()
    header = next((line for line in lines if line.split()[:3] == ["type", "m", "n"]), None)
    if header is None:
        raise ValueError(f"{path}: neither JSON nor a sweep table")
    counts = [int(t) for t in re.findall(r"(\d+) t\b", header)]
    row = re.compile(r"^(float|double)\s+(\d+)\s+(\d+)\s+(.*)$")
    for line in lines:
        match = row.match(line)
        if not match:
            continue
        fields = match.group(4).replace("FAILED", "").replace("WRONG", "").split()
        times = fields[-3 - len(counts):-3]
        method = " ".join(fields[: -3 - len(counts)])
        result[(method, match.group(1), int(match.group(2)))] = {
            t: float(v) * 1e-3 for t, v in zip(counts, times) if v != "-"}
    return result


def read(path):
    try:
        return read_json(path)
    except json.JSONDecodeError:
        return read_sweep_table(path)


def is_lapack(method):
    return "pbsv" in method.lower()


def label(method, precision):
    return f"{method} ({precision})" if precision else method


def draw(results, output):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    plain = {k: v for k, v in results.items() if k[2] is None}
    swept = {k: v for k, v in results.items() if k[2] is not None}
    sizes = sorted({m for (_, _, m) in swept})
    sweep = len(sizes) > 1
    # The scaling panels: the results without a half bandwidth, or else the
    # sweep's at the m nearest the benchmark's 8.
    if plain:
        scaling, where = plain, ""
    else:
        chosen = min(sizes, key=lambda m: abs(m - 8))
        scaling, where = {k: v for k, v in swept.items() if k[2] == chosen}, f" (m = {chosen})"

    panels = 3 if sweep else 2
    figure, axes = plt.subplots(1, panels, figsize=(6 * panels, 4.8), constrained_layout=True)
    time_axis, speedup_axis = axes[0], axes[1]
    top = max((max(v) for v in scaling.values() if v), default=1)
    for (method, precision, _), times in sorted(scaling.items()):
        counts = sorted(times)
        if len(counts) > 1:
            line, = time_axis.plot(counts, [times[t] for t in counts], "o-", label=label(method, precision))
            speedup_axis.plot(counts, [times[counts[0]] / times[t] for t in counts], "o-", color=line.get_color(),
                              label=label(method, precision))
        elif counts:
            time_axis.axhline(times[counts[0]], linestyle="--" if is_lapack(method) else ":",
                              color="black" if is_lapack(method) else "gray", label=label(method, precision))
    speedup_axis.plot([1, top], [1, top], color="lightgray", linewidth=1, label="ideal")
    time_axis.set(xlabel="tasks", ylabel="time (s), median", title="Solve time" + where, ylim=(0, None))
    speedup_axis.set(xlabel="tasks", ylabel="speedup over one task", title="Speedup" + where)
    for axis in (time_axis, speedup_axis):
        axis.xaxis.get_major_locator().set_params(integer=True)
        axis.grid(alpha=0.3)
        axis.legend(fontsize="small")

    if sweep:
        ratio_axis = axes[2]
        lines = collections.defaultdict(dict)
        for (method, precision, m), times in swept.items():
            lapack = next((v for (meth, p, mm), v in swept.items()
                           if is_lapack(meth) and p == precision and mm == m and v), None)
            if is_lapack(method) or not times or lapack is None:
                continue
            lines[(method, precision)][m] = times[max(times)] / lapack[min(lapack)]
        for (method, precision), ratios in sorted(lines.items()):
            ms = sorted(ratios)
            ratio_axis.plot(ms, [ratios[m] for m in ms], "o-", label=label(method, precision))
        ratio_axis.axhline(1, color="black", linestyle="--", label="LAPACK pbsv")
        ratio_axis.set_xscale("log", base=2)
        widths = sorted({m for ratios in lines.values() for m in ratios})
        ratio_axis.set_xticks(widths, [str(m) for m in widths])
        ratio_axis.set_ylim(bottom=0)
        ratio_axis.set(xlabel="half bandwidth m", ylabel="time / LAPACK's time",
                       title="Against LAPACK, at the most tasks")
        ratio_axis.grid(alpha=0.3)
        # Below the axes: the lines fill the whole height somewhere.
        ratio_axis.legend(fontsize="small", loc="upper center", bbox_to_anchor=(0.5, -0.14), ncol=2)
    figure.savefig(output)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("results", nargs="+", help="compare's JSON output, or its sweep table")
    parser.add_argument("-o", "--output", default="scaling.png", help="figure file (default scaling.png)")
    args = parser.parse_args(argv)
    results = {}
    for path in args.results:
        results.update(read(path))
    if not results:
        sys.exit("plot.py: no benchmark results in " + ", ".join(args.results))
    draw(results, args.output)
    print(f"{args.output}: {len(results)} methods and sizes")


if __name__ == "__main__":
    main()
