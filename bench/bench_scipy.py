#!/usr/bin/python3
"""SciPy's solveh_banded against velqo's at 1 … P tasks, on the benchmark's system.

    PYTHONPATH=build/python /usr/bin/python3 bench/bench_scipy.py [--n N] [--m M] [--repeats R]

The system has n = 2,000,000 equations and half bandwidth m = 8, as bench1's; its
band is random and diagonally dominant (off-diagonal entries uniform in [0, 1),
diagonal 2·m + 1) from a fixed seed, so positive definite. Each run solves it
from the caller's arrays with default arguments (both libraries copy ab and b),
in float32 and float64, in both band forms, the methods of one repetition one
after another, so that a busy machine slows them alike. The table gives the
medians, the speedup over velqo with one task and the time against SciPy's in
the same form, and the largest difference between the two libraries'
solutions, relative to the largest entry of the solution.
"""
import argparse
import os
import statistics
import time

import numpy as np
import scipy.linalg

import velqo


def system(n, m, dtype, seed=2000):
    rng = np.random.default_rng(seed)
    lower = np.empty((m + 1, n), dtype, order="F")
    lower[1:] = rng.random((m, n), dtype=np.float64 if dtype == np.float64 else np.float32)
    lower[0] = 2 * m + 1
    for d in range(1, m + 1):
        lower[d, n - d:] = 0
    upper = np.zeros_like(lower)
    for d in range(m + 1):
        upper[m - d, d:] = lower[d, : n - d]
    b = rng.random(n).astype(dtype)
    return {"lower": lower, "upper": upper}, b


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--n", type=int, default=2_000_000)
    parser.add_argument("--m", type=int, default=8)
    parser.add_argument("--repeats", type=int, default=5, help="runs per method (default 5)")
    parser.add_argument("--tasks", type=int, default=os.cpu_count(), help="largest task count (default: processors)")
    args = parser.parse_args()

    print(f"n = {args.n}, m = {args.m}, one right-hand side; medians of {args.repeats} runs (s)")
    print(f"{'dtype':9} {'form':6} {'method':18} {'tasks':>5} {'time':>9} {'speedup':>8} {'vs SciPy':>9} {'difference':>11}")
    for dtype in (np.float32, np.float64):
        bands, b = system(args.n, args.m, dtype)
        methods = []
        for form, ab in bands.items():
            lower = form == "lower"
            methods.append((form, "scipy solveh_banded", 1,
                            lambda ab=ab, lower=lower: scipy.linalg.solveh_banded(ab, b, lower=lower)))
            for tasks in sorted({velqo._velqo.tasks(t) for t in range(1, args.tasks + 1)}):
                methods.append((form, "velqo solveh_banded", tasks,
                                lambda ab=ab, lower=lower, tasks=tasks: velqo.solveh_banded(ab, b, lower=lower,
                                                                                           tasks=tasks)))
        times = {i: [] for i in range(len(methods))}
        solutions = {}
        for _ in range(args.repeats):
            for i, (_, _, _, run) in enumerate(methods):
                start = time.perf_counter()
                solutions[i] = run()
                times[i].append(time.perf_counter() - start)
        for i, (form, method, tasks, _) in enumerate(methods):
            median = statistics.median(times[i])
            first = next(j for j, (f, name, t, _) in enumerate(methods) if f == form and name == method)
            scipy_index = next(j for j, (f, name, _, _) in enumerate(methods) if f == form and name.startswith("scipy"))
            reference = solutions[scipy_index]
            difference = np.abs(solutions[i] - reference).max() / np.abs(reference).max()
            print(f"{np.dtype(dtype).name:9} {form:6} {method:18} {tasks:5d} {median:9.4f} "
                  f"{statistics.median(times[first]) / median:8.2f} "
                  f"{median / statistics.median(times[scipy_index]):9.3f} {difference:11.2e}")


if __name__ == "__main__":
    main()
