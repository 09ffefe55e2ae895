// mpi_compare: the benchmark's system solved over the ranks of MPI_COMM_WORLD
// by the distributed solve (velqo::mpi::band_system) and, where the build found
// ScaLAPACK, by its band solver p?pbsv on the same ranks, with the shared-memory
// solve of the whole system on rank 0 as the reference.
//
//   mpirun -n P mpi_compare [--n=N] [--m=M] [--precision=float|double]
//                           [--repetitions=R] [--tasks=T] [--reference-tasks=T]
//                           [--rows=R0,R1,…] [--no-reference]
//
// The system is the one bench1 solves (generatedata), n = 2,000,000 and m = 8
// unless chosen otherwise, one right-hand side. The reference solve runs with
// ranks × tasks tasks (the cores the ranks use together), or --reference-tasks.
// Each rank builds only its own rows with generaterows, which skips the
// generator to them: the cost per rank is that of its rows,
// (m + 1 + nrhs)·(rows + 2·m) floats of scratch besides the rows themselves. In double precision the single-precision system is
// widened, which is exact, and solved in double.
//
// Per rank, besides that transient scratch, the program keeps for each solver a
// pristine copy and a working copy of its band columns and right-hand-side rows
// and the reference rows of x: about 2·(m + 1 + nrhs)·rows + nrhs·rows elements
// each (ScaLAPACK's rows are its own split, and it adds its work array of
// (rows + 2·m)·m + max(m·nrhs, m²) elements; band_system adds its own storage,
// about (3·m + 1 + nrhs)·rows). Rank 0 also holds the whole system for the
// reference solve: (m + 1 + 3·nrhs + 2·m)·n elements plus the float original.
//
// Timing: every repetition times each method once, the methods interleaved; a
// solve's time is MPI_Wtime around it after a barrier, the maximum over the
// ranks, and the table shows the median over the repetitions. Construction of
// the band system and the copies of a and b are outside the timed interval.
// band_system is timed twice: solving the caller's arrays, and solving rows
// placed in its own storage beforehand (which saves the copies in and out).
// While rank 0 runs the reference solve the other ranks wait without spinning.
//
// Exits with 1 when a solve fails or is wrong: a failed pivot, an error against
// the generator's x above 1000·eps of float (the precision the system is
// generated in, also for --precision=double), or a distributed x that differs
// in any bit from the shared-memory x.
#include <mpi.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "bench/testsystem.h"
#include "distributed/velqo_mpi.h"
#include "solver/bandstorage.h"
#include "solver/velqo.h"

#ifdef VELQO_HAVE_SCALAPACK
extern "C" {
void Cblacs_get(int context, int what, int* value);
void Cblacs_gridinit(int* context, const char* order, int rows, int columns);
void Cblacs_gridexit(int context);
void Cblacs_exit(int keep_mpi);
void pspbsv_(const char* uplo, const int* n, const int* bw, const int* nrhs, float* a, const int* ja,
             const int* desca, float* b, const int* ib, const int* descb, float* work, const int* lwork,
             int* info, std::size_t uplo_length);
void pdpbsv_(const char* uplo, const int* n, const int* bw, const int* nrhs, double* a, const int* ja,
             const int* desca, double* b, const int* ib, const int* descb, double* work, const int* lwork,
             int* info, std::size_t uplo_length);
}
#endif

namespace {

using velqo::index_t;

struct options {
  int n = 2000000;
  int m = 8;
  int nrhs = 1;
  bool dbl = false;
  int repetitions = 5;
  int tasks = 0;            // 0: the library's count
  int reference_tasks = 0;  // 0: ranks × tasks, the same cores in one process
  std::vector<int> rows;
  bool reference = true;
};

[[noreturn]] void usage(const std::string& why) {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  if (rank == 0)
    std::fprintf(stderr,
                 "mpi_compare: %s\n"
                 "usage: mpirun -n P mpi_compare [--n=N] [--m=M] [--precision=float|double] "
                 "[--repetitions=R] [--tasks=T] [--reference-tasks=T] [--rows=R0,R1,...] [--no-reference]\n",
                 why.c_str());
  MPI_Finalize();
  std::exit(2);
}

int parse_int(std::string_view text, std::string_view what) {
  std::size_t used = 0;
  long v = 0;
  try {
    v = std::stol(std::string(text), &used);
  } catch (const std::exception&) {
    used = 0;
  }
  if (used != text.size() || v < 0 || v > std::numeric_limits<int>::max())
    usage("bad value for " + std::string(what) + ": '" + std::string(text) + "'");
  return int(v);
}

options parse(int argc, char** argv, int ranks) {
  options o;
  for (int k = 1; k < argc; ++k) {
    const std::string_view arg = argv[k];
    const std::size_t eq = arg.find('=');
    const std::string_view key = arg.substr(0, eq);
    const std::string_view value = eq == arg.npos ? std::string_view() : arg.substr(eq + 1);
    if (key == "--n") o.n = parse_int(value, key);
    else if (key == "--m") o.m = parse_int(value, key);
    else if (key == "--repetitions") o.repetitions = std::max(1, parse_int(value, key));
    else if (key == "--tasks") o.tasks = parse_int(value, key);
    else if (key == "--reference-tasks") o.reference_tasks = parse_int(value, key);
    else if (key == "--precision" && (value == "float" || value == "double")) o.dbl = value == "double";
    else if (key == "--no-reference" && eq == arg.npos) o.reference = false;
    else if (key == "--rows") {
      std::size_t at = 0;
      while (at <= value.size()) {
        const std::size_t comma = std::min(value.find(',', at), value.size());
        o.rows.push_back(parse_int(value.substr(at, comma - at), key));
        at = comma + 1;
      }
    } else usage("unknown option '" + std::string(arg) + "'");
  }
  if (o.n < 1) usage("n must be at least 1");
  if (o.m > o.n - 1) usage("m must be below n");
  if (o.rows.empty()) {
    for (int r = 0; r < ranks; ++r) o.rows.push_back(o.n / ranks + (r < o.n % ranks ? 1 : 0));
  } else {
    std::int64_t total = 0;
    for (int c : o.rows) total += c;
    if (int(o.rows.size()) != ranks || total != o.n) usage("--rows needs one count per rank, adding up to n");
  }
  return o;
}

template <class T> MPI_Datatype mpi_type() { return std::is_same_v<T, float> ? MPI_FLOAT : MPI_DOUBLE; }

/// A rank's part of the system: its band columns, right-hand-side rows and reference x rows.
template <class T> struct part {
  int first = 1, rows = 0;
  std::vector<T> a, b, x;
};

template <class T> part<T> make_part(const options& o, int first, int rows) {
  std::vector<float> a(index_t(o.m + 1) * rows), b(index_t(rows) * o.nrhs), x(index_t(rows) * o.nrhs);
  bench::generaterows(a.data(), b.data(), x.data(), o.n, o.m, o.nrhs, first, rows);
  return {first, rows, std::vector<T>(a.begin(), a.end()), std::vector<T>(b.begin(), b.end()),
          std::vector<T>(x.begin(), x.end())};
}

/// max |x − reference| over the rows x holds (leading dimensions ldx and ldr), NaN counted as infinite.
template <class T> double max_error(const T* x, index_t ldx, const T* reference, index_t ldr, int rows, int nrhs) {
  double e = 0;
  for (int k = 0; k < nrhs; ++k)
    for (int i = 0; i < rows; ++i) {
      const double d = std::abs(double(x[k * ldx + i]) - double(reference[k * ldr + i]));
      e = std::isnan(d) ? std::numeric_limits<double>::infinity() : std::max(e, d);
    }
  return e;
}

double reduce_max(double v) {
  double r = 0;
  MPI_Allreduce(&v, &r, 1, MPI_DOUBLE, MPI_MAX, MPI_COMM_WORLD);
  return r;
}

/// Times one collective call: barrier, MPI_Wtime around it, maximum over the ranks.
template <class F> double timed(F&& call) {
  MPI_Barrier(MPI_COMM_WORLD);
  const double start = MPI_Wtime();
  call();
  return reduce_max(MPI_Wtime() - start);
}

double median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  const std::size_t h = v.size() / 2;
  return v.size() % 2 ? v[h] : (v[h - 1] + v[h]) / 2;
}

/// One row of the table.
struct result {
  result(std::string name, int rank_count, int task_count)
      : method(std::move(name)), ranks(rank_count), tasks(task_count) {}
  std::string method;
  int ranks = 0, tasks = 0;
  std::vector<double> times;
  bool ran = false, failed = false;
  bool must_match = false;  // its x must be the shared-memory x bit for bit
  double error = std::numeric_limits<double>::quiet_NaN();       // against the generator's x
  double difference = std::numeric_limits<double>::quiet_NaN();  // against the shared-memory x
  std::string note;
};

#ifdef VELQO_HAVE_SCALAPACK
/// ScaLAPACK's band solver on a 1 × P grid: column blocks of nb rows, the last
/// rank's block the remainder.
template <class T> class scalapack_peer {
 public:
  scalapack_peer(const options& o, int rank, int ranks)
      : o_(o), nb_((o.n + ranks - 1) / ranks) {
    const int first = std::min(o.n, rank * nb_) + 1;
    const int rows = std::max(0, std::min(nb_, o.n - rank * nb_));
    pristine_ = make_part<T>(o, first, rows);
    Cblacs_get(0, 0, &context_);
    Cblacs_gridinit(&context_, "Row", 1, ranks);
    // 1-D descriptors: the band by column blocks (type 501), B by row blocks (502).
    const int desca[7] = {501, context_, o.n, nb_, 0, o.m + 1, 0};
    const int descb[7] = {502, context_, o.n, nb_, 0, nb_, 0};
    std::copy(desca, desca + 7, desca_);
    std::copy(descb, descb + 7, descb_);
    // The work array p?pbsv checks for: (nb + 2·bw)·bw for the factorisation's
    // fill, then max(bw·nrhs, bw²) for the solve. (Its workspace query does not
    // reach through to p?pbtrf, which rejects it.)
    const index_t bw = o.m;
    const index_t lwork = (nb_ + 2 * bw) * bw + std::max(bw * o.nrhs, bw * bw);
    a_.assign(index_t(o.m + 1) * nb_, T(0));
    b_.assign(index_t(nb_) * o.nrhs, T(0));
    work_.assign(std::max<index_t>(lwork, 1), T(0));
  }
  ~scalapack_peer() { Cblacs_gridexit(context_); }
  scalapack_peer(const scalapack_peer&) = delete;
  scalapack_peer& operator=(const scalapack_peer&) = delete;

  index_t elements() const {
    return index_t(pristine_.a.size() + a_.size() + pristine_.b.size() + b_.size() + pristine_.x.size() +
                   work_.size());
  }

  /// Fresh copies of a and b, outside the timed interval.
  void prepare() {
    std::copy(pristine_.a.begin(), pristine_.a.end(), a_.begin());
    for (int k = 0; k < o_.nrhs; ++k)
      std::copy_n(pristine_.b.begin() + index_t(k) * pristine_.rows, pristine_.rows, b_.begin() + index_t(k) * nb_);
  }
  void solve(int& info) { call(a_.data(), b_.data(), work_.data(), int(std::min<index_t>(work_.size(), INT32_MAX)), info); }
  double error() const {
    return max_error(b_.data(), nb_, pristine_.x.data(), pristine_.rows, pristine_.rows, o_.nrhs);
  }

 private:
  void call(T* a, T* b, T* work, int lwork, int& info) {
    const int one = 1;
    if constexpr (std::is_same_v<T, float>)
      pspbsv_("L", &o_.n, &o_.m, &o_.nrhs, a, &one, desca_, b, &one, descb_, work, &lwork, &info, 1);
    else
      pdpbsv_("L", &o_.n, &o_.m, &o_.nrhs, a, &one, desca_, b, &one, descb_, work, &lwork, &info, 1);
  }

  const options& o_;
  int nb_;
  int context_ = 0;
  int desca_[7] = {}, descb_[7] = {};
  part<T> pristine_;
  std::vector<T> a_, b_, work_;
};
#endif

/// Rank 0's shared-memory solve of the whole system, while the other ranks wait
/// in a barrier that they poll with sleeps, so that they leave the cores alone.
template <class F> void on_rank0_alone(int rank, F&& call) {
  MPI_Barrier(MPI_COMM_WORLD);
  if (rank == 0) call();
  MPI_Request request;
  MPI_Ibarrier(MPI_COMM_WORLD, &request);
  int done = 0;
  MPI_Test(&request, &done, MPI_STATUS_IGNORE);
  while (!done) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    MPI_Test(&request, &done, MPI_STATUS_IGNORE);
  }
}

/// Whether the whole system and its copies (bytes) fit in half the machine's memory.
bool fits(double bytes) {
  const long pages = sysconf(_SC_PHYS_PAGES), size = sysconf(_SC_PAGE_SIZE);
  return pages <= 0 || size <= 0 || bytes <= 0.5 * double(pages) * double(size);
}

void print_cell(double v, const char* format, int width) {
  if (std::isnan(v)) std::printf("%*s", width, "-");
  else std::printf(format, width, v);
}

template <class T> int run(const options& o, int rank, int ranks) {
  const int tasks = [&] {
    if (o.tasks > 0) velqo::settasks(o.tasks);
    int t = 0;
    velqo::gettasks(t);
    return t;
  }();
  const char* precision = std::is_same_v<T, float> ? "float" : "double";
  // The system is generated in single precision (b is a·x rounded to float),
  // so even the double solve only reaches x to about float's rounding.
  const double tolerance = 1000 * double(std::numeric_limits<float>::epsilon());

  // The distributed solve's rows.
  int first = 1;
  for (int r = 0; r < rank; ++r) first += o.rows[r];
  const int rows = o.rows[rank];
  const part<T> mine = make_part<T>(o, first, rows);
  std::vector<T> a(mine.a.size()), b(mine.b.size());
  velqo::mpi::band_system<T> system(MPI_COMM_WORLD, o.n, o.m, o.nrhs, first, rows);

  result distributed{"velqo::mpi::band_system", ranks, tasks};
  result inplace{"  the same, in its own storage", ranks, tasks};
  distributed.must_match = inplace.must_match = true;
  result peer{std::string("ScaLAPACK p") + (std::is_same_v<T, float> ? "s" : "d") + "pbsv", ranks, 1};
  // The reference runs on the cores of all ranks together, unless told otherwise.
  const int reference_tasks = o.reference_tasks > 0 ? o.reference_tasks : ranks * tasks;
  result shared{std::string("velqo::mesolution_csp_") + (std::is_same_v<T, float> ? "4" : "8") + " (rank 0)", 1,
                reference_tasks};

#ifdef VELQO_HAVE_SCALAPACK
  // p?pbsv's divide and conquer over more than one rank wants column blocks of
  // at least 2·m rows, and a band (m = 0 fails inside its local solves).
  const int nb = (o.n + ranks - 1) / ranks;
  std::optional<scalapack_peer<T>> scalapack;
  if (ranks == 1 || (o.m > 0 && nb >= 2 * o.m)) scalapack.emplace(o, rank, ranks);
#endif

  // Rank 0's whole system for the reference solve, when it fits.
  const index_t band = velqo::band_length(o.n, o.m), rhs = index_t(o.n) * o.nrhs;
  const double whole_bytes = double(band + 3 * rhs) * sizeof(float) +
                             double(2 * band + 3 * rhs + 2 * index_t(o.n) * o.m) * sizeof(T);
  int reference = o.reference && fits(whole_bytes);
  MPI_Bcast(&reference, 1, MPI_INT, 0, MPI_COMM_WORLD);
  std::vector<T> wa, wb, wx, ra, rb, work;
  if (reference && rank == 0) {
    std::vector<float> fa(band), fb(rhs), fx(rhs);
    bench::generatedata(fa.data(), fb.data(), fx.data(), o.n, o.m, o.nrhs);
    wa.assign(fa.begin(), fa.end());
    wb.assign(fb.begin(), fb.end());
    wx.assign(fx.begin(), fx.end());
    ra.resize(band);
    rb.resize(rhs);
    work.resize(std::max<index_t>(2 * index_t(o.n) * o.m, 1));
  }

  if (rank == 0) {
    std::printf("mpi_compare: n = %d, m = %d, nrhs = %d, %s, %d repetitions, %d ranks x %d tasks\n", o.n, o.m,
                o.nrhs, precision, o.repetitions, ranks, tasks);
    const auto [lo, hi] = std::minmax_element(o.rows.begin(), o.rows.end());
    std::printf("  band_system: %d to %d rows per rank\n", *lo, *hi);
#ifdef VELQO_HAVE_SCALAPACK
    if (scalapack)
      std::printf("  ScaLAPACK: 1 x %d grid, column blocks of %d rows, one task per rank\n", ranks, nb);
    else
      std::printf("  ScaLAPACK: skipped, its band solver needs m >= 1 and blocks of n / ranks >= 2·m rows\n");
#else
    std::printf("  ScaLAPACK: not found when this program was configured; built without it\n");
#endif
    if (!reference)
      std::printf("  shared-memory reference: %s\n", o.reference ? "skipped, the whole system does not fit" : "off");
  }
  {
    // The arrays this program holds per rank, largest rank.
    double elements = 2 * double(mine.a.size()) + 2 * double(mine.b.size()) + double(mine.x.size());
#ifdef VELQO_HAVE_SCALAPACK
    if (scalapack) elements += double(scalapack->elements());
#endif
    const double mib = reduce_max(elements * sizeof(T)) / (1 << 20);
    if (rank == 0) std::printf("  arrays per rank: at most %.1f MiB (band_system's own storage not counted)\n", mib);
  }

  bool failed = false;
  for (int rep = 0; rep < o.repetitions; ++rep) {
    // The distributed solve, on the caller's arrays, then on the rows placed
    // in the system's own storage (which saves its copies in and out).
    std::copy(mine.a.begin(), mine.a.end(), a.begin());
    std::copy(mine.b.begin(), mine.b.end(), b.begin());
    int status = 0, row = 0;
    distributed.times.push_back(timed([&] { system.solve(a.data(), b.data(), status, row); }));
    distributed.ran = true;
    if (status != 0) {
      distributed.failed = true;
      distributed.note = "status " + std::to_string(status) + ", row " + std::to_string(row);
    }
    std::copy(mine.a.begin(), mine.a.end(), system.band_columns());
    for (int k = 0; k < o.nrhs; ++k)
      std::copy_n(mine.b.begin() + index_t(k) * rows, rows, system.rhs_rows() + k * system.rhs_stride());
    inplace.times.push_back(timed([&] { system.solve(status, row); }));
    inplace.ran = true;
    if (status != 0) {
      inplace.failed = true;
      inplace.note = "status " + std::to_string(status) + ", row " + std::to_string(row);
    }

#ifdef VELQO_HAVE_SCALAPACK
    if (scalapack) {
      scalapack->prepare();
      int info = 0;
      peer.times.push_back(timed([&] { scalapack->solve(info); }));
      peer.ran = true;
      int worst = 0;
      MPI_Allreduce(&info, &worst, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
      if (worst == 0) MPI_Allreduce(&info, &worst, 1, MPI_INT, MPI_MAX, MPI_COMM_WORLD);
      if (worst != 0) {
        peer.failed = true;
        peer.note = "info " + std::to_string(worst);
      } else if (rep + 1 == o.repetitions) {
        peer.error = reduce_max(scalapack->error());
      }
    }
#endif

    if (reference) {
      double seconds = 0;
      int shared_status = 0;
      on_rank0_alone(rank, [&] {
        std::copy(wa.begin(), wa.end(), ra.begin());
        std::copy(wb.begin(), wb.end(), rb.begin());
        velqo::settasks(reference_tasks);
        const double start = MPI_Wtime();
        if constexpr (std::is_same_v<T, float>)
          velqo::mesolution_csp_4(ra.data(), o.n, o.m, rb.data(), o.nrhs, work.data(), shared_status);
        else
          velqo::mesolution_csp_8(ra.data(), o.n, o.m, rb.data(), o.nrhs, work.data(), shared_status);
        seconds = MPI_Wtime() - start;
        velqo::settasks(tasks);
      });
      shared.times.push_back(seconds);
      shared.ran = true;
      if (rank == 0 && shared_status != 0) {
        shared.failed = true;
        shared.note = "status " + std::to_string(shared_status);
      }
    }
  }

  // Errors of the last repetition's solutions, and the distributed x beside
  // the shared-memory x, row range by row range.
  std::vector<T> own(index_t(rows) * o.nrhs);
  for (int k = 0; k < o.nrhs; ++k)
    std::copy_n(system.rhs_rows() + k * system.rhs_stride(), rows, own.begin() + index_t(k) * rows);
  if (reference && rank == 0) shared.error = max_error(rb.data(), o.n, wx.data(), o.n, o.n, o.nrhs);
  for (auto [r, x] : {std::pair{&distributed, b.data()}, std::pair{&inplace, own.data()}}) {
    r->error = reduce_max(max_error(x, rows, mine.x.data(), rows, rows, o.nrhs));
    if (!reference || rhs > std::numeric_limits<int>::max()) {
      r->must_match = false;
      continue;
    }
    std::vector<int> counts(ranks), displacements(ranks);
    for (int q = 0, at = 0; q < ranks; at += counts[q++]) {
      counts[q] = o.rows[q] * o.nrhs;
      displacements[q] = at;
    }
    std::vector<T> gathered(rank == 0 ? rhs : 0);
    MPI_Gatherv(x, rows * o.nrhs, mpi_type<T>(), gathered.data(), counts.data(), displacements.data(),
                mpi_type<T>(), 0, MPI_COMM_WORLD);
    if (rank == 0) {
      double d = 0;
      for (int q = 0, f = 1; q < ranks; f += o.rows[q++])
        d = std::max(d, max_error(gathered.data() + displacements[q], o.rows[q], rb.data() + (f - 1), o.n,
                                  o.rows[q], o.nrhs));
      r->difference = d;
    }
  }

  if (rank == 0) {
    const double peer_time = peer.ran && !peer.failed ? median(peer.times) : std::nan("");
    std::printf("\n%-34s %6s %11s %11s %16s %16s %20s\n", "method", "ranks", "tasks/rank", "time [s]",
                "time/ScaLAPACK", "max|x-x_gen|", "max|x-x_shared|");
    for (result* r : {&distributed, &inplace, &peer, &shared}) {
      if (!r->ran) continue;
      const double t = median(r->times);
      std::printf("%-34s %6d %11d", r->method.c_str(), r->ranks, r->tasks);
      print_cell(t, " %*.4f", 11);
      print_cell(t / peer_time, " %*.3f", 16);
      print_cell(r->error, " %*.3e", 16);
      print_cell(r->difference, " %*.3g", 20);
      const bool wrong = r->failed || !(r->error <= tolerance) || (r->must_match && r->difference != 0);
      if (wrong) failed = true;
      std::printf("%s%s\n", wrong ? "  WRONG" : "", r->note.empty() ? "" : ("  (" + r->note + ")").c_str());
    }
    std::printf("\ntimes: median of %d, each the slowest rank's after a barrier; errors of the last repetition "
                "(tolerance %.1e)\n",
                o.repetitions, tolerance);
    std::fflush(stdout);
  }
  int bad = failed;
  MPI_Bcast(&bad, 1, MPI_INT, 0, MPI_COMM_WORLD);
  return bad ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  int provided = 0;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
  int rank = 0, ranks = 1;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  MPI_Comm_size(MPI_COMM_WORLD, &ranks);
  const options o = parse(argc, argv, ranks);
  if (provided < MPI_THREAD_FUNNELED && o.tasks != 1) {
    if (rank == 0) std::fprintf(stderr, "mpi_compare: MPI gives no MPI_THREAD_FUNNELED; run with --tasks=1\n");
    MPI_Finalize();
    return 2;
  }
  int code = 0;
  try {
    code = o.dbl ? run<double>(o, rank, ranks) : run<float>(o, rank, ranks);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "mpi_compare: rank %d: %s\n", rank, e.what());
    MPI_Abort(MPI_COMM_WORLD, 2);
  }
#ifdef VELQO_HAVE_SCALAPACK
  Cblacs_exit(1);
#endif
  velqo::velqodone();
  MPI_Finalize();
  return code;
}
