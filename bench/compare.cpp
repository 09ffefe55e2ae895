// Side-by-side timings of the benchmark's system: the parallel block-cyclic-
// reduction solve with every task count, LAPACK's band solver, one sequential
// band factorisation with a sequential substitution, and the stand-alone
// parallel factorisation and substitution.
//
// Every method solves the same system, rebuilt by bench::generatedata once at
// start-up; before each timed solve the matrix and the right-hand side are
// copied back from pristine copies, outside the timed part (manual timing with
// a monotonic clock). Google Benchmark runs the repetitions and computes their
// statistics; a summary table from the medians follows its output.
//
// Usage: compare [--n=EQUATIONS] [--m=HALFBANDWIDTH] [Google Benchmark flags]
// The defaults are the benchmark's system and 11 repetitions of one solve each.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "bench/testsystem.h"
#include "mtask/mtask.h"
#include "solver/bandstorage.h"
#include "solver/fpmode.h"
#include "solver/kernel.h"
#include "solver/velqo.h"

extern "C" void spbsv_(const char* uplo, const int* n, const int* kd, const int* nrhs, float* ab,
                       const int* ldab, float* b, const int* ldb, int* info);

namespace {

using velqo::band;
using velqo::entry;
using velqo::index_t;

// ------------------------------------------------------------ the system

/// The test system and the arrays every method works in. The band array has m
/// elements beyond the last column, so that LAPACK, which addresses (m + 1)·n
/// elements, can use it in place.
struct testsystem {
  int n = 2000000;
  int m = 8;
  int nrhs = 1;
  std::vector<float> pristine_a, pristine_b, x;  // as generated
  std::vector<float> a, b, workspace;            // what a solve works on

  void build() {
    const index_t length = velqo::band_length(n, m);
    pristine_a.assign(length + m, 0.0f);
    pristine_b.assign(index_t(n) * nrhs, 0.0f);
    x.assign(index_t(n) * nrhs, 0.0f);
    bench::generatedata(pristine_a.data(), pristine_b.data(), x.data(), n, m, nrhs);
    // Writing every element now keeps first-touch page faults out of the timings.
    a = pristine_a;
    b = pristine_b;
    workspace.assign(std::max<index_t>(1, 2 * index_t(n) * m), 0.0f);
  }

  /// Back to the generated matrix and right-hand side.
  void restore() {
    std::memcpy(a.data(), pristine_a.data(), a.size() * sizeof(float));
    std::memcpy(b.data(), pristine_b.data(), b.size() * sizeof(float));
  }

  /// max |x − x_ref| over the solution now in b.
  double max_error() const {
    double worst = 0;
    for (std::size_t i = 0; i < b.size(); ++i) {
      const double e = std::fabs(double(b[i]) - double(x[i]));
      if (!(e <= worst)) worst = e;  // a NaN shows as NaN
    }
    return worst;
  }
};

testsystem sys;

// ----------------------------------------------------------- the methods

/// Sequential substitution with the band factor L in a: L·y = b, then Lᵀ·x = y,
/// x overwriting b; each loop runs down one column of L.
void substitute_sequential(const float* a, const int& n, const int& m, float* b) {
  for (int i = 1; i <= n; ++i) {
    const float bi = entry(b, i) / band(a, m, i, i);
    entry(b, i) = bi;
    const int kend = std::min(n, i + m);
    for (int k = i + 1; k <= kend; ++k) entry(b, k) = entry(b, k) - band(a, m, k, i) * bi;
  }
  for (int i = n; i >= 1; --i) {
    float bi = entry(b, i);
    const int kend = std::min(n, i + m);
    for (int k = i + 1; k <= kend; ++k) bi = bi - band(a, m, k, i) * entry(b, k);
    entry(b, i) = bi / band(a, m, i, i);
  }
}

using method = int (*)(int tasks);

int solve_mesolution(int tasks) {
  velqo::settasks(tasks);
  int status = 0;
  velqo::mesolution_csp_4(sys.a.data(), sys.n, sys.m, sys.b.data(), sys.nrhs, sys.workspace.data(), status);
  return status;
}

int solve_lapack(int) {
  const int ldab = sys.m + 1, ldb = std::max(sys.n, 1);
  int info = 0;
  spbsv_("L", &sys.n, &sys.m, &sys.nrhs, sys.a.data(), &ldab, sys.b.data(), &ldb, &info);
  return info;
}

int solve_sequential(int) {
  int info[2] = {0, 0};
  const int first = 1, parity = 1;
  const float eps = 0;
  velqo::decompose_csp_4(sys.a.data(), sys.m, first, sys.n, eps, info, parity);
  if (info[0] != 0) return info[0];
  for (int k = 1; k <= sys.nrhs; ++k) substitute_sequential(sys.a.data(), sys.n, sys.m, &velqo::at(sys.b.data(), sys.n, 1, k));
  return 0;
}

int solve_standalone(int tasks) {
  velqo::settasks(tasks);
  int status = 0;
  velqo::medecompose_csp_4(sys.a.data(), sys.n, sys.m, status);
  if (status != 0) return status;
  velqo::mesubstitute_csp_4(sys.a.data(), sys.n, sys.m, sys.b.data(), sys.nrhs);
  return 0;
}

/// One repetition: restore the system, time one solve, check the solution.
void run_method(benchmark::State& state, method solve) {
  const int tasks = int(state.range(0));
  int status = 0;
  for (auto _ : state) {
    sys.restore();
    const auto start = std::chrono::steady_clock::now();
    status = solve(tasks);
    const auto stop = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(stop - start).count());
  }
  if (status != 0) state.SkipWithError("the solve reported a non-positive pivot");
  state.counters["max_err"] = sys.max_error();
}

// --------------------------------------------------------- the summary

/// Passes every run on to Google Benchmark's own display reporter (the one its
/// flags choose) and keeps the per-benchmark medians for the summary (the single
/// run's values when there is only one repetition).
class summary_reporter : public benchmark::BenchmarkReporter {
 public:
  struct row {
    double seconds = 0;
    double error = 0;
    bool median = false;
  };
  std::map<std::string, row> rows;  // by benchmark name, e.g. "mesolution_csp_4/tasks:2"

  bool ReportContext(const Context& context) override { return display->ReportContext(context); }
  void Finalize() override { display->Finalize(); }

  void ReportRuns(const std::vector<Run>& runs) override {
    display->ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Aggregate && !median) continue;
      std::string name = run.run_name.function_name;
      if (!run.run_name.args.empty()) name += "/" + run.run_name.args;
      row& r = rows[name];
      if (r.median && !median) continue;
      r.median = median;
      r.seconds = run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit);
      const auto e = run.counters.find("max_err");
      r.error = e != run.counters.end() ? double(e->second) : NAN;
    }
  }

 private:
  benchmark::BenchmarkReporter* display = benchmark::CreateDefaultDisplayReporter();
};

void print_summary(const summary_reporter& reporter, int processors) {
  const auto find = [&](const std::string& name) -> const summary_reporter::row* {
    const auto it = reporter.rows.find(name);
    return it == reporter.rows.end() ? nullptr : &it->second;
  };
  const summary_reporter::row* lapack = find("lapack_spbsv/tasks:1");

  std::printf("\nSummary (medians; n = %d, m = %d, nrhs = %d)\n", sys.n, sys.m, sys.nrhs);
  std::printf("%-34s %5s %11s %8s %10s %10s %10s\n", "method", "tasks", "time (s)", "speedup", "efficiency",
              "vs spbsv", "max error");
  const auto line = [&](const char* label, const std::string& family, int tasks) {
    const summary_reporter::row* r = find(family + "/tasks:" + std::to_string(tasks));
    if (r == nullptr) return;
    const summary_reporter::row* one = find(family + "/tasks:1");
    std::printf("%-34s %5d %11.4f", label, tasks, r->seconds);
    if (one != nullptr) {
      const double speedup = one->seconds / r->seconds;
      std::printf(" %8.2f %10.2f", speedup, speedup / tasks);
    } else {
      std::printf(" %8s %10s", "-", "-");
    }
    if (lapack != nullptr) {
      std::printf(" %10.3f", r->seconds / lapack->seconds);
    } else {
      std::printf(" %10s", "-");
    }
    std::printf(" %10.2e\n", r->error);
  };
  for (int t = 1; t <= processors; ++t) line("mesolution_csp_4", "mesolution_csp_4", t);
  line("LAPACK spbsv", "lapack_spbsv", 1);
  line("decompose_csp_4 + substitution", "decompose_csp_4+substitution", 1);
  for (int t = 1; t <= processors; ++t) line("medecompose + mesubstitute_csp_4", "medecompose+mesubstitute", t);
}

// --------------------------------------------------------- the machine

/// Seconds for work() run once in each of `threads` threads at the same time.
template <class Work> double run_threads(int threads, Work work) {
  const auto start = std::chrono::steady_clock::now();
  std::vector<std::thread> others;
  for (int t = 1; t < threads; ++t) others.emplace_back(work, t);
  work(0);
  for (std::thread& t : others) t.join();
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

/// How much more work `threads` threads get done than one: floating-point work
/// that stays in registers, and memory traffic (a triad over arrays much larger
/// than the caches). On a machine whose processors are independent the first is
/// the thread count; a virtual machine whose processors share a core, or whose
/// host is busy, shows less. The speedups in the summary are only as good as
/// these, so they are measured before and after the benchmarks.
struct capacity {
  double arithmetic = 0, memory = 0;
};

capacity measure_machine(int threads) {
  constexpr int lanes = 64;
  const auto arithmetic = [](int) {
    float x[lanes];
    for (int k = 0; k < lanes; ++k) x[k] = 1.0f + 1e-3f * float(k);
    for (long i = 0; i < 20000000; ++i)
      for (int k = 0; k < lanes; ++k) x[k] = x[k] * 0.9999f + 1e-3f;
    float sum = 0;
    for (int k = 0; k < lanes; ++k) sum += x[k];
    benchmark::DoNotOptimize(sum);
  };
  const std::size_t length = std::size_t(8) << 20;  // floats per array and thread: 32 MiB
  std::vector<std::vector<float>> arrays(3 * std::size_t(threads), std::vector<float>(length, 1.0f));
  const auto triad = [&](int t) {
    float* a = arrays[3 * t].data();
    const float* b = arrays[3 * t + 1].data();
    const float* c = arrays[3 * t + 2].data();
    for (int pass = 0; pass < 4; ++pass)
      for (std::size_t i = 0; i < length; ++i) a[i] = b[i] + 0.5f * c[i];
    benchmark::DoNotOptimize(a[length / 2]);
  };
  run_threads(threads, triad);  // every array once through the caches and the page tables
  capacity c;
  c.arithmetic = threads * run_threads(1, arithmetic) / run_threads(threads, arithmetic);
  c.memory = threads * run_threads(1, triad) / run_threads(threads, triad);
  return c;
}

/// Sixteen chains x ← x·f + g, one per lane. The same machine code serves the
/// normal and the subnormal operands, which come in at run time, so neither can
/// be folded or compiled differently.
[[gnu::noinline]] float multiply_add_chains(float x0, float f, float g, long iterations) {
  constexpr int lanes = 16;
  float x[lanes];
  for (int k = 0; k < lanes; ++k) x[k] = x0 * (1.0f + 0.001f * float(k));
  for (long i = 0; i < iterations; ++i)
    for (int k = 0; k < lanes; ++k) x[k] = x[k] * f + g;
  float sum = 0;
  for (int k = 0; k < lanes; ++k) sum += x[k];
  return sum;
}

/// How many times longer the chains take on subnormal operands with subnormal
/// results (x about 10⁻³⁹) than on normal ones (10⁻²⁹), in the calling thread's
/// mode: the best of eleven short runs each, taken in turn, which a busy machine
/// disturbs least. Near 1 on a processor that does subnormal arithmetic at full
/// speed; a processor that takes a slow path for it shows that path's price.
double subnormal_charge() {
  volatile float one = 1.0f;  // the operands are unknown to the compiler
  const auto seconds = [&](float scale) {
    const float x = 2e-10f * scale * one, f = 0.5f * one, g = 1e-10f * scale * one;  // x ≈ 2g, the chains' limit
    const auto start = std::chrono::steady_clock::now();
    benchmark::DoNotOptimize(multiply_add_chains(x, f, g, 1000000));
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  };
  double normal = 1e30, subnormal = 1e30;
  for (int run = 0; run < 11; ++run) {
    normal = std::min(normal, seconds(1e-19f));
    subnormal = std::min(subnormal, seconds(1e-29f));
  }
  return subnormal / normal;
}

/// The floating-point mode every row ran in.
void print_floating_point_mode() {
  const char* program = velqo::flushes_to_zero() ? "flush-to-zero" : "IEEE gradual underflow";
  if (velqo::fpmode::flush_bits == 0) {
    std::printf("\nFloating-point mode: %s in every row (this processor has no flush-to-zero mode).\n", program);
  } else {
    std::printf("\nFloating-point mode: the velqo rows flush subnormal results to zero (the solver sets this for\n"
                "its own work); LAPACK spbsv and the sequential row's substitution ran in this program's mode,\n"
                "%s.\n",
                program);
  }
}

/// What subnormal arithmetic costs on this processor (charge = 0: not measured).
void print_subnormal_charge(double charge) {
  if (charge == 0) {
    std::printf("\nMachine: subnormal arithmetic not timed, this program runs with flush-to-zero set.\n");
    return;
  }
  const char* verdict = charge < 1.1 ? "does not charge for subnormal arithmetic"
                        : charge < 4 ? "charges a little for subnormal arithmetic"
                                     : "charges heavily for subnormal arithmetic, which the solver's mode avoids";
  std::printf("\nMachine: multiply-adds on subnormal operands take %.2f times as long as on normal ones\n"
              "(flush-to-zero off): this processor %s.\n",
              charge, verdict);
}

/// Takes --n=… and --m=… out of the arguments.
void take_problem_arguments(int& argc, char** argv) {
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    if (std::strncmp(argv[i], "--n=", 4) == 0) {
      sys.n = std::atoi(argv[i] + 4);
    } else if (std::strncmp(argv[i], "--m=", 4) == 0) {
      sys.m = std::atoi(argv[i] + 4);
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
}

}  // namespace

int main(int argc, char** argv) {
  take_problem_arguments(argc, argv);
  if (sys.n < 1 || sys.m < 0) {
    std::fprintf(stderr, "compare: need n >= 1 and m >= 0\n");
    return 1;
  }

  // Our defaults go first, so that the same flags on the command line win.
  std::vector<char*> args = {argv[0]};
  std::string repetitions = "--benchmark_repetitions=11";
  std::string aggregates = "--benchmark_display_aggregates_only=true";
  args.push_back(repetitions.data());
  args.push_back(aggregates.data());
  for (int i = 1; i < argc; ++i) args.push_back(argv[i]);
  int count = int(args.size());
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;

  int processors = 0;
  mtask::getcpus(processors);
  processors = std::max(processors, 1);
  sys.build();

  const auto add = [](const char* name, method solve, int tasks) {
    benchmark::RegisterBenchmark(name, run_method, solve)
        ->ArgName("tasks")
        ->Arg(tasks)
        ->Iterations(1)
        ->UseManualTime()
        ->Unit(benchmark::kMillisecond);
  };
  for (int t = 1; t <= processors; ++t) add("mesolution_csp_4", solve_mesolution, t);
  add("lapack_spbsv", solve_lapack, 1);
  add("decompose_csp_4+substitution", solve_sequential, 1);
  for (int t = 1; t <= processors; ++t) add("medecompose+mesubstitute", solve_standalone, t);

  const double charge = velqo::flushes_to_zero() ? 0 : subnormal_charge();
  const capacity before = processors > 1 ? measure_machine(processors) : capacity{};
  summary_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  print_summary(reporter, processors);
  print_floating_point_mode();
  print_subnormal_charge(charge);
  if (processors > 1) {
    const capacity after = measure_machine(processors);
    std::printf("Machine: %d threads do %.2f (before) and %.2f (after) times the arithmetic of one thread,\n"
                "and move %.2f and %.2f times its memory traffic; %d would be independent processors.\n",
                processors, before.arithmetic, after.arithmetic, before.memory, after.memory, processors);
  }
  benchmark::Shutdown();
  velqo::velqodone();
  return 0;
}
