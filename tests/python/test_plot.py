"""bench/plot.py reads compare's JSON and its sweep table and draws them."""
import json
import pathlib
import sys

import pytest

pytest.importorskip("matplotlib")
sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[2] / "bench"))
import plot  # noqa: E402  (bench/plot.py, found through the path above)


def benchmark_json(path):
    runs = []
    for method, tasks, times in (("mesolution_csp_4", 1, [90, 80, 85]), ("mesolution_csp_4", 2, [50, 40, 60]),
                                 ("lapack_spbsv", 1, [80, 81, 82])):
        name = f"{method}/tasks:{tasks}/iterations:1/manual_time"
        runs += [{"name": name, "run_name": name, "run_type": "iteration", "real_time": t, "time_unit": "ms"}
                 for t in times]
        runs.append({"name": name + "_median", "run_name": name, "run_type": "aggregate",
                     "aggregate_name": "median", "real_time": 1.0, "time_unit": "ms"})
    path.write_text(json.dumps({"context": {}, "benchmarks": runs}))


def sweep_table(path):
    lines = ["Band-width sweep: medians of 5 interleaved runs", "",
             f"{'type':<6} {'m':>4} {'n':>9}  {'method':<27}       1 t       2 t  speedup  vs pbsv  max error"]
    for m in (1, 8):
        for method, times in (("mesolution", (20.0, 11.0)), ("LAPACK spbsv", (10.0, None))):
            cells = "".join(f" {t:9.1f}" if t else f" {'-':>9}" for t in times)
            lines.append(f"{'float':<6} {m:4d} {1000:9d}  {method:<27}{cells} {1.8:8.2f} {1.1:8.3f} {1e-6:10.2e}"
                         + ("  FAILED  WRONG" if m == 8 and method == "mesolution" else ""))
    path.write_text("\n".join(lines) + "\n")


def test_reads_medians_and_draws(tmp_path):
    benchmark_json(tmp_path / "compare.json")
    sweep_table(tmp_path / "sweep.txt")
    results = plot.read(tmp_path / "compare.json")
    assert results[("mesolution_csp_4", "", None)] == {1: pytest.approx(0.085), 2: pytest.approx(0.05)}
    assert results[("lapack_spbsv", "", None)] == {1: pytest.approx(0.081)}
    sweep = plot.read(tmp_path / "sweep.txt")
    assert sweep[("mesolution", "float", 8)] == {1: pytest.approx(0.02), 2: pytest.approx(0.011)}
    assert sweep[("LAPACK spbsv", "float", 1)] == {1: pytest.approx(0.01)}
    for name in ("scaling.png", "scaling.svg"):
        plot.main([str(tmp_path / "compare.json"), str(tmp_path / "sweep.txt"), "-o", str(tmp_path / name)])
        assert (tmp_path / name).stat().st_size > 1000
