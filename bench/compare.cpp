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
//
//        compare --sweep[=quick] [--sweep-size=ELEMENTS] [--sweep-repetitions=R]
// The band-width sweep instead: float and double, half bandwidths 1, 2, 4, …,
// 256, each at n·(m + 1) ≈ 25,000,000 band elements (1,000,000 when quick) and
// R interleaved repetitions (5; 1 when quick), one table of medians.
#include <benchmark/benchmark.h>
#include <dlfcn.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <map>
#include <random>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "bench/testsystem.h"
#include "mtask/mtask.h"
#include "solver/band.h"
#include "solver/bandstorage.h"
#include "solver/fpmode.h"
#include "solver/kernel.h"
#include "solver/velqo.h"

extern "C" void spbsv_(const char* uplo, const int* n, const int* kd, const int* nrhs, float* ab,
                       const int* ldab, float* b, const int* ldb, int* info);
extern "C" void dpbsv_(const char* uplo, const int* n, const int* kd, const int* nrhs, double* ab,
                       const int* ldab, double* b, const int* ldb, int* info);

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

/// The floating-point mode every row ran in; others names the work outside the
/// solver.
void print_floating_point_mode(const char* others) {
  const char* program = velqo::flushes_to_zero() ? "flush-to-zero" : "IEEE gradual underflow";
  if (velqo::fpmode::flush_bits == 0) {
    std::printf("\nFloating-point mode: %s in every row (this processor has no flush-to-zero mode).\n", program);
  } else {
    std::printf("\nFloating-point mode: the velqo rows flush subnormal results to zero (the solver sets this for\n"
                "its own work); %s ran in this program's mode, %s.\n",
                others, program);
  }
}

/// Which LAPACK answered the pbsv calls: the file it was loaded from, links
/// resolved (on Debian the reference LAPACK or OpenBLAS, as update-alternatives
/// or LD_LIBRARY_PATH chose), and OpenBLAS's thread count where it is OpenBLAS.
void print_lapack_library() {
  Dl_info info{};
  char resolved[PATH_MAX];
  const char* file = "not found";
  if (dladdr(reinterpret_cast<void*>(&spbsv_), &info) != 0 && info.dli_fname != nullptr)
    file = realpath(info.dli_fname, resolved) != nullptr ? resolved : info.dli_fname;
  std::printf("\nLAPACK: %s", file);
  if (auto threads = reinterpret_cast<int (*)()>(dlsym(RTLD_DEFAULT, "openblas_get_num_threads"))) {
    const int count = threads();
    std::printf(" (OpenBLAS, %d thread%s)", count, count == 1 ? "" : "s");
  }
  std::printf("\n");
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


// ------------------------------------------------------ the band-width sweep
//
// For each precision and half bandwidth m, one system of n = size / (m + 1)
// equations (a random band with a dominant diagonal, a random reference
// solution, one right-hand side), allocated once; then R rounds, each of which
// runs every method once in a fixed order (so that a change in the machine's
// load falls on all methods alike), every run on the system restored from its
// pristine copy outside the timed part. The table shows the medians.

struct sweep_options {
  bool chosen = false;
  long size = 25'000'000;  ///< band elements n·(m + 1) of each system
  int repetitions = 5;
};

/// Takes --sweep, --sweep=quick, --sweep-size=… and --sweep-repetitions=… out
/// of the arguments; either of the last two chooses the sweep as well.
sweep_options take_sweep_arguments(int& argc, char** argv) {
  sweep_options o;
  int kept = 1;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--sweep") == 0) {
      o.chosen = true;
    } else if (std::strcmp(arg, "--sweep=quick") == 0) {
      o = {true, 1'000'000, 1};
    } else if (std::strncmp(arg, "--sweep-size=", 13) == 0) {
      o.chosen = true;
      o.size = std::atol(arg + 13);
    } else if (std::strncmp(arg, "--sweep-repetitions=", 20) == 0) {
      o.chosen = true;
      o.repetitions = std::atoi(arg + 20);
    } else {
      argv[kept++] = argv[i];
    }
  }
  argc = kept;
  return o;
}

template <class T> struct precision;
template <> struct precision<float> {
  static constexpr const char* name = "float";
  static constexpr const char* pbsv = "LAPACK spbsv";
  static void mesolution(float* a, int n, int m, float* b, float* w, int& status) {
    const int one = 1;
    velqo::mesolution_csp_4(a, n, m, b, one, w, status);
  }
  static void medecompose(float* a, int n, int m, int& status) { velqo::medecompose_csp_4(a, n, m, status); }
  static void mesubstitute(float* a, int n, int m, float* b) {
    const int one = 1;
    velqo::mesubstitute_csp_4(a, n, m, b, one);
  }
  static void lapack(float* a, int n, int m, float* b, int& info) {
    const int ldab = m + 1, one = 1, ldb = std::max(n, 1);
    spbsv_("L", &n, &m, &one, a, &ldab, b, &ldb, &info);
  }
};
template <> struct precision<double> {
  static constexpr const char* name = "double";
  static constexpr const char* pbsv = "LAPACK dpbsv";
  static void mesolution(double* a, int n, int m, double* b, double* w, int& status) {
    const int one = 1;
    velqo::mesolution_csp_8(a, n, m, b, one, w, status);
  }
  static void medecompose(double* a, int n, int m, int& status) { velqo::medecompose_csp_8(a, n, m, status); }
  static void mesubstitute(double* a, int n, int m, double* b) {
    const int one = 1;
    velqo::mesubstitute_csp_8(a, n, m, b, one);
  }
  static void lapack(double* a, int n, int m, double* b, int& info) {
    const int ldab = m + 1, one = 1, ldb = std::max(n, 1);
    dpbsv_("L", &n, &m, &one, a, &ldab, b, &ldb, &info);
  }
};

/// The most tasks settasks gives a solve.
constexpr int sweep_max_tasks = 32;

/// The sweep's methods, in the order of the table.
enum sweep_method { sweep_mesolution, sweep_factor_once, sweep_checked, sweep_pbsv, sweep_methods };
constexpr const char* sweep_labels[sweep_methods] = {"mesolution", "medecompose + mesubstitute",
                                                     "velqo::solve (checked)", nullptr};

/// The medians of one system: seconds by method and task count (0 where not
/// run), and the largest error against the reference solution over all runs.
struct sweep_row {
  const char* precision = "";
  int m = 0, n = 0;
  double tolerance = 0;  ///< an error above it (√ε, far above any rounding) marks a wrong solution
  std::vector<double> seconds[sweep_methods];
  double error[sweep_methods] = {};
  bool failed[sweep_methods] = {};
};

template <class T> sweep_row sweep_system(int m, const sweep_options& o, int processors) {
  using P = precision<T>;
  sweep_row row;
  row.precision = P::name;
  row.tolerance = std::sqrt(double(std::numeric_limits<T>::epsilon()));
  row.m = m;
  row.n = int(std::max<long>(1, o.size / (m + 1)));
  const int n = row.n;
  const int rounds = std::max(o.repetitions, 1);

  // The system, with m spare elements for LAPACK's (m + 1)·n array.
  const index_t length = velqo::band_length(n, m) + m;
  std::vector<T> pristine(length, T(0)), x(n), rhs(n, T(0));
  std::mt19937 generator(12345678);
  std::uniform_real_distribution<double> uniform(-1.0, 1.0);
  for (int j = 1; j <= n; ++j) {
    band(pristine.data(), m, j, j) = T(2 * m + 1 + uniform(generator));
    for (int k = j + 1; k <= std::min(n, j + m); ++k) band(pristine.data(), m, k, j) = T(uniform(generator));
  }
  for (T& xi : x) xi = T(uniform(generator));
  // b = A·x, the lower band and its mirror image, summed in double.
  std::vector<double> sum(n, 0.0);
  for (int j = 1; j <= n; ++j)
    for (int k = j; k <= std::min(n, j + m); ++k) {
      const double akj = band(pristine.data(), m, k, j);
      sum[k - 1] += akj * double(x[j - 1]);
      if (k != j) sum[j - 1] += akj * double(x[k - 1]);
    }
  for (int i = 0; i < n; ++i) rhs[i] = T(sum[i]);
  // Written once in full here, so that first-touch page faults stay out of the timings.
  std::vector<T> a = pristine, b = rhs, workspace(std::max<index_t>(1, 2 * index_t(n) * m), T(0));

  std::vector<double> runs[sweep_methods][sweep_max_tasks + 1];
  const auto time = [&](sweep_method method, int tasks, auto solve) {
    std::memcpy(a.data(), pristine.data(), a.size() * sizeof(T));
    std::memcpy(b.data(), rhs.data(), b.size() * sizeof(T));
    velqo::settasks(tasks);
    const auto start = std::chrono::steady_clock::now();
    const bool ok = solve();
    const auto stop = std::chrono::steady_clock::now();
    runs[method][tasks].push_back(std::chrono::duration<double>(stop - start).count());
    row.failed[method] = row.failed[method] || !ok;
    for (int i = 0; i < n; ++i) {
      const double e = std::fabs(double(b[i]) - double(x[i]));
      if (!(e <= row.error[method])) row.error[method] = e;  // a NaN shows as NaN
    }
  };
  for (int r = 0; r < rounds; ++r) {
    for (int t = 1; t <= processors; ++t)
      time(sweep_mesolution, t, [&] {
        int status = 0;
        P::mesolution(a.data(), n, m, b.data(), workspace.data(), status);
        return status == 0;
      });
    for (int t = 1; t <= processors; ++t)
      time(sweep_factor_once, t, [&] {
        int status = 0;
        P::medecompose(a.data(), n, m, status);
        if (status == 0) P::mesubstitute(a.data(), n, m, b.data());
        return status == 0;
      });
    for (int t = 1; t <= processors; ++t)
      time(sweep_checked, t, [&] {
        velqo::band_view<T> view(std::span<T>(a), n, m);
        return bool(velqo::solve(view, std::span<T>(b), 1, std::span<T>(workspace)));
      });
    time(sweep_pbsv, 1, [&] {
      int info = 0;
      P::lapack(a.data(), n, m, b.data(), info);
      return info == 0;
    });
  }
  velqo::resettasks();

  for (int method = 0; method < sweep_methods; ++method) {
    row.seconds[method].assign(processors + 1, 0.0);
    for (int t = 1; t <= processors; ++t) {
      std::vector<double>& v = runs[method][t];
      if (v.empty()) continue;
      std::sort(v.begin(), v.end());
      row.seconds[method][t] = v[v.size() / 2];
    }
  }
  return row;
}

/// One line of the sweep's table: a method's times at 1 … P tasks, its speedup
/// from 1 to P tasks, its time at P tasks over pbsv's and its largest error,
/// marked FAILED where a solve reported a failure and WRONG where the error is
/// far beyond rounding.
void print_sweep_line(const sweep_row& row, const char* label, int method, int processors) {
  const std::vector<double>& s = row.seconds[method];
  const double pbsv = row.seconds[sweep_pbsv][1];
  std::printf("%-6s %4d %9d  %-27s", row.precision, row.m, row.n, label);
  for (int t = 1; t <= processors; ++t) {
    if (s[t] > 0) {
      std::printf(" %9.1f", 1e3 * s[t]);
    } else {
      std::printf(" %9s", "-");
    }
  }
  const double last = s[processors] > 0 ? s[processors] : s[1];
  if (s[1] > 0 && s[processors] > 0 && processors > 1) {
    std::printf(" %8.2f", s[1] / s[processors]);
  } else {
    std::printf(" %8s", "-");
  }
  const bool wrong = !(row.error[method] <= row.tolerance);
  std::printf(" %8.3f %10.2e%s%s\n", last / pbsv, row.error[method], row.failed[method] ? "  FAILED" : "",
              wrong ? "  WRONG" : "");
}

int run_sweep(const sweep_options& o) {
  if (o.size < 2) {
    std::fprintf(stderr, "compare: the sweep needs a size of at least 2\n");
    return 1;
  }
  int processors = 0;
  mtask::getcpus(processors);
  processors = std::clamp(processors, 1, sweep_max_tasks);

  const int rounds = std::max(o.repetitions, 1);
  std::printf("Band-width sweep: medians of %d interleaved run%s, n·(m + 1) ≈ %ld, one right-hand side;\n"
              "times in ms at 1 … %d tasks;\n"
              "speedup = 1 task / %d tasks; vs pbsv = time at %d tasks / pbsv's time\n\n",
              rounds, rounds == 1 ? "" : "s", o.size, processors, processors, processors);
  std::printf("%-6s %4s %9s  %-27s", "type", "m", "n", "method");
  for (int t = 1; t <= processors; ++t) std::printf(" %7d t", t);
  std::printf(" %8s %8s %10s\n", "speedup", "vs pbsv", "max error");
  // Each system's lines as soon as it is measured: a full sweep takes a while.
  const auto print = [&](const sweep_row& row, const char* pbsv) {
    for (int method = 0; method < sweep_pbsv; ++method)
      print_sweep_line(row, sweep_labels[method], method, processors);
    print_sweep_line(row, pbsv, sweep_pbsv, processors);
    std::fflush(stdout);
  };
  for (int m : {1, 2, 4, 8, 16, 32, 64, 128, 256}) {
    print(sweep_system<float>(m, o, processors), precision<float>::pbsv);
    print(sweep_system<double>(m, o, processors), precision<double>::pbsv);
  }
  print_floating_point_mode("LAPACK's spbsv and dpbsv");
  print_lapack_library();
  print_subnormal_charge(velqo::flushes_to_zero() ? 0 : subnormal_charge());
  velqo::velqodone();
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (const sweep_options sweep = take_sweep_arguments(argc, argv); sweep.chosen) return run_sweep(sweep);
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
  print_floating_point_mode("LAPACK spbsv and the sequential row's substitution");
  print_lapack_library();
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
