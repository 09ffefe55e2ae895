// The stand-alone parallel entries: factorise, substitute with a factor, or
// factorise and solve in one pass, each in as many of the library's tasks as
// pay for themselves.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>

#include "mtask/mtask.h"
#include "mtask/spin.h"
#include "solver/def_velqo.h"
#include "solver/entries.h"
#include "solver/kernel.h"
#include "solver/narrowband.h"
#include "solver/team.h"
#include "solver/velqo.h"

namespace velqo {
namespace {

// The grain-sized panel height of the sweeps, 64 times taller on a band
// narrower than the grain, where a panel's rows are a chain.
template <class T> void panelheight(const int& m, int& nb) {
  if constexpr (is_complex<T>) {
    def_velqo::requiregrainsizeforcomplex();
  } else {
    def_velqo::requiregrainsize();
  }
  const int grain = std::max(def_velqo::grainsize, 1);
  const int narrow = m < grain ? 64 : 1;  // a narrow band's panels are 64 times taller
  nb = std::max(narrow * grain * grain / std::max(m, 1), grain);
}

// The factorisation's task count and block width. The tasks run a pipeline
// over blocks of w columns (p_pipeline): while one task factorises its block,
// the next block's owner applies the updates of the columns before that block,
// so only the updates of the block just before its own and its own columns lie
// on the path that passes from task to task, together with a hand-over: the
// progress counter and the block's w·(m + 1) elements move from one processor's
// cache to the other's. Measured in one task (double, 25 million band elements,
// one source column per pass over the target; ns per block: the far updates;
// the block before and the block's own columns):
//
//     m = 16, w = 4:     210;  219    (half of the work on the path)
//     m = 32, w = 4:     599;  272    (31 %)
//     m = 64, w = 8:    2569; 1113    (30 %)
//     m = 128, w = 8:   9053; 1954    (18 %)
//
// A hand-over costs 120 to 400 ns on the 2-core development machine (an atomic
// counter passed back and forth between two threads), and the block's data
// some hundreds more. Below m = 64 the path, hand-over included, is about as
// long as half a block's work or longer, and two tasks gained nothing or
// little (m = 32: 108 ms in one task, 110 to 113 in two; m = 48 with w = 8:
// 114 to 117 in one task, 117 to 136 in two; quiet moments of a busy machine):
// the factorisation is a chain of columns, each pivot waiting for the square
// root of the one before and a division, and a band that narrow leaves too
// little beside the chain to pay for a hand-over per block. From m = 64 on two
// tasks gain (m = 64: 129 → 108 ms, m = 128: 213 → 132), and a further task
// pays for every 64 columns of band or so, as the path's share falls with 1/m.
// w = m / 8, 8 to 16 columns, was best or close among 4, 8, 16 and m / 4.
// A system too small to pay for starting a task (2^22 multiply-adds, a few
// milliseconds) keeps one task. The factor is the same for every task count
// and width, so these choices change the time only. (The far updates have
// since moved into a register-blocked kernel, blocked::subtract_band_columns,
// in AVX-512 vectors for real types where the processor has them, which makes
// them 1.5 to 1.8 times as fast and the path's share larger than above; two
// tasks still gain from m = 128 on: double m = 128, 211 → 148 ms; m = 256,
// 326 → 221; float m = 256, 192 → 118.)
inline constexpr int pipeline_from = 64;

inline int pipeline_width(const int& m) { return std::clamp(m / 8, 8, 16); }

// The block factorisation's own kernels for real bands of up to 512 bytes a
// column (the narrow-band steps, and the medium-band ones with the column in
// at most 16 vectors) hold a column in registers for its whole update loop and
// run a factorisation in one task faster than the pipeline does in one (25
// million band elements, ms: double m = 8, 16, 32, 64: 39, 40, 53, 84 in the
// block factorisation against 132, 115, 109, 134 in the pipeline's one task,
// the latter beside a build). Below m = 128 they are as fast as the pipeline
// in two tasks or faster (with the pipeline's blocked updates: the block
// factorisation, the pipeline in one task and in two, double m = 48: 96, 130,
// 137; m = 64: 120, 153, 127; float m = 96: 89, 103, 94; m = 112: 106, 133,
// 105), and at float m = 128 two tasks of the pipeline are faster (138; 147,
// 100), so there the pipeline takes two tasks where the library has them.
// Wider columns pass through the stack, and the pipeline is faster in one task
// too (double m = 128: 359 against 211; float m = 256: 389 against 192).
// Since the pipeline holds back the last finished columns (held_columns in
// solver/csp_k.cpp), its two tasks overtake the one-task kernel from float
// m = 88 on, on the 2-core AMD EPYC guest (25 million band elements,
// medecompose + mesubstitute, two tasks over one, medians of 9 alternating
// runs: m = 72, 80, 88, 96, 104, 112, 120: 1.02, 0.98, 0.95, 0.88, 0.92, 0.78,
// 0.72); double m = 64, the widest band its kernel serves, stays with it (1.45).
template <class T> bool sequential_kernel_pays(const int& m) {
  return use_narrow_steps<T>(m) || (use_medium_steps<T>(m) && m * int(sizeof(T)) <= 512);
}

/// The band from which two tasks of the pipeline outrun one of the block
/// factorisation's kernels.
inline constexpr int pipeline_over_block_kernels_from = 88;

template <class T> int factorisation_tasks(const int& n, const int& m, const int& count) {
  if (m < pipeline_from || (sequential_kernel_pays<T>(m) && m < pipeline_over_block_kernels_from)) return 1;
  const double work = 0.5 * double(n) * m * m * (is_complex<T> ? 4 : 1);  // a complex update is 4 real ones
  if (work < 4194304.0) return 1;
  const int blocks = (n + pipeline_width(m) - 1) / pipeline_width(m);
  return std::clamp(std::min(std::max(2, m / pipeline_from), blocks), 1, std::max(count, 1));
}

// The substitution's panel height. A stage of the forward or backward sweep
// solves its panel's rows one after the other and passes the panel's
// contributions on to the m rows beside it, fewer than nb·m multiply-adds,
// which is too little to share among tasks: each right-hand side is solved in
// one task, in panels as tall as a narrow band's, so that it passes few
// barriers, and several right-hand sides are shared among the tasks. The
// height depends on the band and the grain only, so x is the same for
// every task count.
template <class T> void substitution_height(const int& m, int& h) {
  int nb = 1;
  panelheight<T>(m, nb);
  const int grain = std::max(def_velqo::grainsize, 1);
  h = std::max(nb, 64 * grain * grain / std::max(m, 1));
}

// A right-hand side's sweeps read each element of the band once for a
// multiply-add, and in one task they wait on memory: one processor keeps too
// few reads in flight (a plain sum over 200 MB ran at 7 GB/s in one thread of
// the 2-core Xeon, 16 GB/s in two). Where the tasks allow, a second task
// fetches the band ahead of the sweep (p_streamed), which gives the same x.
// Measured on the Xeon (25 million band elements, one right-hand side, both
// sweeps, medians of 7 alternating runs): 0.62 to 0.73 of the time of one task
// at double m = 8, 32, 128 and float m = 256, 0.78 at float m = 16. A band that
// the caches still hold gains nothing, and loses nothing (32 MB: 0.92 to 1.02).
inline constexpr double stream_from_bytes = 16.0 * 1048576.0;

template <class T> bool stream_pays(const int& n, const int& m, const int& count) {
  return count >= 2 && mtask::mayspin(2) && double(n) * (m + 1) * sizeof(T) >= stream_from_bytes;
}

/// One right-hand side's sweeps (forward: both; else the backward sweep alone)
/// in a task that sweeps and one that streams the band in ahead of it.
template <class T, form F> void streamed(const T* a, const int& n, const int& m, T* b, const bool& forward) {
  int h = 1;
  substitution_height<T>(m, h);
  team crew(2);
  own_line<std::atomic<int>> roles{0};
  own_line<std::atomic<index_t>> swept{forward ? 0 : index_t(n) * (m + 1)};
  crew.run(&p_streamed<T, F>, a, n, m, b, h, forward, roles.value, swept.value);
}

/// The factorisation in tasks tasks, with the forward substitution for b when b
/// is not null.
template <class T, form F>
void pipelined(T* a, const int& n, const int& m, T* b, const int& tasks, int& status, int& row) {
  team crew(tasks);
  const int w = pipeline_width(m);
  own_line<std::atomic<int>> next{0}, progress{0};
  own_line<failure_flags<T>> failure{};
  own_line<int> failed_row{0};
  int* rowp = &failed_row.value;
  crew.run(&p_pipeline<T, F>, a, n, m, b, w, crew.ntasks, next.value, progress.value, failure.value.eps,
           failure.value.info, rowp);
  status = failure.value.info[0] | failure.value.info[1];
  row = status != 0 ? failed_row.value : 0;
}

/// One task's share of a substitution for several right-hand sides: it takes
/// columns of b from next and solves each alone, as the substitution in one
/// task does, so every column's bits are those of that substitution.
template <class T, form F>
void substitute_columns(const T* a, const int& n, const int& m, T* b, const int& nrhs, const int& h,
                        std::atomic<int>& next) {
  int none = 0, alone = 1;
  int events[2] = {0, 0};  // no lock and no events: a lone task is its own last arrival
  for (;;) {
    const int k = next.fetch_add(1, std::memory_order_relaxed) + 1;
    if (k > nrhs) return;
    int s = 1, nextblock = 1, S = n, nextb = n;
    p_substitute<T, F>(a, n, m, &at(b, n, 1, k), h, none, events, alone, s, nextblock, S, nextb);
  }
}

/// The backward sweep for one right-hand side after a factorisation that
/// carried the forward sweep, in one task by the panels of the substitution,
/// so that x is that of medecompose and mesubstitute, bit for bit.
template <class T, form F> void backward_alone(const T* a, const int& n, const int& m, T* b) {
  int h = 1;
  substitution_height<T>(m, h);
  int none = 0, alone = 1, S = n, nextb = n;
  int events[2] = {0, 0};
  const flush_to_zero mode;
  p_backward<T, F>(a, n, m, b, h, none, events, alone, S, nextb);
}

/// backward_alone, with a second task streaming the band in where that pays;
/// for callers that hold no other task.
template <class T, form F> void backward_streamed(const T* a, const int& n, const int& m, T* b) {
  int count = 0;
  gettasks(count);
  if (stream_pays<T>(n, m, count)) {
    streamed<T, F>(a, n, m, b, false);
  } else {
    backward_alone<T, F>(a, n, m, b);
  }
}

}  // namespace

template <class T, form F> void decompose(T* a, const int& n, const int& m, int& status, int& row) {
  int count = 0;
  gettasks(count);
  if (const int tasks = factorisation_tasks<T>(n, m, count); tasks > 1 || !sequential_kernel_pays<T>(m)) {
    T* none = nullptr;
    pipelined<T, F>(a, n, m, none, tasks, status, row);
    return;
  }
  // One task with the narrow- or medium-band steps.
  int info[2] = {0, 0};
  row = decompose_block<T, F>(a, m, 1, n, real_type<T>(0), info, 1);
  status = info[0];
}

template <class T, form F> void substitute(const T* a, const int& n, const int& m, T* b, const int& nrhs) {
  int count = 0;
  gettasks(count);
  if (nrhs == 1 && stream_pays<T>(n, m, count)) {
    streamed<T, F>(a, n, m, b, true);
    return;
  }
  int h = 1;
  substitution_height<T>(m, h);
  // A task for each right-hand side, where a column's work pays for starting one.
  const bool share = double(n) * (m + 1) * (is_complex<T> ? 4 : 1) >= 65536.0;
  team crew(share ? std::clamp(nrhs, 1, std::max(count, 1)) : 1);
  own_line<std::atomic<int>> next{0};
  crew.run(&substitute_columns<T, F>, a, n, m, b, nrhs, h, next.value);
}

template <class T, form F> void factorsolve(T* a, const int& n, const int& m, T* b, int& status, int& row) {
  int count = 0;
  gettasks(count);
  if (const int tasks = factorisation_tasks<T>(n, m, count); tasks > 1 || !sequential_kernel_pays<T>(m)) {
    pipelined<T, F>(a, n, m, b, tasks, status, row);
    if (status == 0) backward_streamed<T, F>(a, n, m, b);
    return;
  }
  // One task: where the narrow- or medium-band factorisation serves the band,
  // the forward substitution goes along with it and only the backward sweep is left.
  int info[2] = {0, 0};
  if (decompose_forward<T, F>(a, n, m, b, real_type<T>(0), info, row)) {
    status = info[0];
    if (status == 0) backward_streamed<T, F>(a, n, m, b);
    return;
  }
  decompose<T, F>(a, n, m, status, row);
  if (status == 0) substitute<T, F>(a, n, m, b, 1);
}

// ------------------------------------------------------- the two-sided solve
//
// The band is cut after row p into a top part (rows 1 … p) and a bottom part
// (rows p + 1 … n). The top is factorised from its first row, A₁₁ = L₁·L₁ᴴ,
// carrying the forward sweep y₁ = L₁⁻¹·b₁; the bottom from its last row: its
// rows and columns are reversed in place (the band of a reversed band matrix is
// the reversed band), so that the same kernels factorise it, A₂₂′ = L₂·L₂ᴴ with
// y₂ = L₂⁻¹·b₂′. (ᴴ is the transpose in the symmetric form, the conjugate
// transpose in the Hermitian one.) The two parts are independent, and two tasks
// factorise them at once, each reading its own half of the band from memory.
// They meet in the m rows on each side of the cut: with T₁, T₂ the trailing
// m × m blocks of L₁ and L₂ and K the coupling block (row r: row p + m − r of A,
// the bottom's rows in reversed order; column c: column p − m + 1 + c),
// H = T₁⁻¹·Kᴴ·T₂⁻ᴴ, and the last m entries t₁ of y₁ and t₂ of y₂,
//
//     [ I   H ] [u]   [t₁]
//     [ Hᴴ  I ] [v] = [t₂],   solved as (I − Hᴴ·H)·v = t₂ − Hᴴ·t₁, u = t₁ − H·v,
//
// and u, v replace t₁, t₂: L₁ᴴ·x₁ = y₁ and L₂ᴴ·x₂′ = y₂ then give the solution,
// each part's backward sweep in its own task again. (The system above is A's
// restricted to the m + m rows around the cut after both eliminations, scaled
// by T₁ and T₂; it is positive definite when A is.)
namespace {

/// The cut: the bottom part takes 9/20 of the rows, as reversing it costs one
/// more pass over its band.
inline int top_rows(const int& n) { return n - int(std::int64_t(n) * 9 / 20); }

/// Reverses the order of the rows and columns of the band matrix of order n in
/// a and of the vector b: entry (k, j) moves to (n + 1 − j, n + 1 − k) on the
/// same diagonal, so every diagonal is reversed in place; it now stands in the
/// upper triangle's place, and is conjugated in the Hermitian form. Column j of
/// the first half swaps its entries (j + d, j) with their partners
/// (n + 1 − j, n + 1 − j − d) at or after it, which lie m elements apart in the
/// band: the loop runs on pointers alone (a third of the time of one that
/// indexed both entries and skipped the partners before j; single m = 8 on a
/// 2-core AMD EPYC guest, inside the solve: 3.4 against 10.6 ms).
template <class T, form F> void reverse_band(T* a, const int& n, const int& m, T* b) {
  for (int j = 1; 2 * j <= n + 1; ++j) {
    const int dend = std::min(m, n + 1 - 2 * j);  // row j + d ≤ n follows from j ≤ partner
    T* const x = &band(a, m, j, j);                  // x[d] = a(j + d, j)
    T* const y = &band(a, m, n + 1 - j, n + 1 - j);  // y[−d·m] = a(n + 1 − j, n + 1 − j − d)
    for (int d = 0; d <= dend; ++d) {
      T& partner = y[-index_t(d) * m];
      const T moved = adjoint<F>(x[d]);
      x[d] = adjoint<F>(partner);
      partner = moved;  // the same element where 2·j + d = n + 1
    }
  }
  std::reverse(b, b + n);
}

template <class T> struct two_sided_job {
  T* a;
  int n, m, p;
  T* b;
  T* work;  // 2·m² + m elements for the meeting
  std::atomic<int> next_part{0}, next_sweep{0};
  int failed[2] = {0, 0};  // the failing row of each part's factorisation, or 0
  bool met = false;        // whether the meeting succeeded
  T* part(int k) const { return k == 0 ? a : &band(a, m, p + 1, p + 1); }
  int rows(int k) const { return k == 0 ? p : n - p; }
  T* rhs(int k) const { return k == 0 ? b : b + p; }
};

/// Factorises part k with the forward sweep, the bottom reversed first: by the
/// narrow- or medium-band kernels, elsewhere by the pipeline in this one task,
/// whose factor and y are the same.
template <class T, form F> void factor_part(two_sided_job<T>& job, const int& k) {
  T* const a = job.part(k);
  T* const b = job.rhs(k);
  const int n = job.rows(k), m = job.m;
  if (k == 1) reverse_band<T, F>(a, n, m, b);
  int info[2] = {0, 0}, row = 0;
  if (!decompose_forward<T, F>(a, n, m, b, real_type<T>(0), info, row)) {
    std::atomic<int> next{0}, progress{0};
    p_pipeline<T, F>(a, n, m, b, pipeline_width(m), 1, next, progress, real_type<T>(0), info, &row);
  }
  job.failed[k] = info[0] != 0 ? row : 0;
}

/// The meeting of the parts (see above); false when I − Hᴴ·H is not positive
/// definite. The pivots are tested, rooted and divided by as the factorisation's.
template <class T, form F> bool meet(two_sided_job<T>& job) {
  const int m = job.m, p = job.p, q = job.n - p;
  T* const a = job.a;
  T* const a2 = job.part(1);
  T* const h = job.work;              // H, m × m column-major
  T* const s = job.work + m * m;      // I − Hᴴ·H, its lower triangle, then its factor
  T* const w = s + m * m;             // t₂ − Hᴴ·t₁, then v
  T* const t1 = job.b + (p - m);      // t₁(r) = y₁(p − m + 1 + r)
  T* const t2 = job.b + (p + q - m);  // t₂(c) = y₂(q − m + 1 + c)
  const auto H = [&](int r, int c) -> T& { return h[r + c * m]; };
  const auto S = [&](int r, int c) -> T& { return s[r + c * m]; };
  const auto T1 = [&](int r, int c) -> T& { return band(a, m, p - m + 1 + r, p - m + 1 + c); };
  const auto T2 = [&](int r, int c) -> T& { return band(a2, m, q - m + 1 + r, q - m + 1 + c); };
  // Kᴴ(r, c) = A(p + m − c, p − m + 1 + r)ᴴ, inside the band where r + c ≥ m − 1.
  for (int c = 0; c < m; ++c)
    for (int r = 0; r < m; ++r)
      H(r, c) = r + c >= m - 1 ? adjoint<F>(band(a, m, p + m - c, p - m + 1 + r)) : T(0);
  // H ← T₁⁻¹·H, column by column.
  for (int c = 0; c < m; ++c)
    for (int r = 0; r < m; ++r) {
      T sum = H(r, c);
      for (int j = 0; j < r; ++j) sum = mul_sub(sum, T1(r, j), H(j, c));
      H(r, c) = divide_by_pivot<F>(sum, T1(r, r));
    }
  // H ← H·T₂⁻ᴴ, row by row: T₂·H(r, :)ᴴ = H(r, :)ᴴ.
  for (int r = 0; r < m; ++r)
    for (int c = 0; c < m; ++c) {
      T sum = H(r, c);
      for (int j = 0; j < c; ++j) sum = mul_sub(sum, H(r, j), adjoint<F>(T2(c, j)));
      H(r, c) = divide_by_pivot<F>(sum, adjoint<F>(T2(c, c)));
    }
  // I − Hᴴ·H and t₂ − Hᴴ·t₁.
  for (int c = 0; c < m; ++c) {
    for (int d = c; d < m; ++d) {
      T sum = d == c ? T(1) : T(0);
      for (int r = 0; r < m; ++r) sum = mul_sub(sum, adjoint<F>(H(r, d)), H(r, c));
      S(d, c) = sum;
    }
    T sum = t2[c];
    for (int r = 0; r < m; ++r) sum = mul_sub(sum, adjoint<F>(H(r, c)), t1[r]);
    w[c] = sum;
  }
  // Its factor, column by column; a pivot that fails the factorisation's test fails.
  for (int c = 0; c < m; ++c) {
    T pivot = S(c, c);
    for (int j = 0; j < c; ++j) pivot = mul_sub(pivot, S(c, j), adjoint<F>(S(c, j)));
    if (!(pivot_test_value<F>(pivot) > real_type<T>(0))) return false;
    S(c, c) = pivot_root<F>(pivot);
    for (int d = c + 1; d < m; ++d) {
      T sum = S(d, c);
      for (int j = 0; j < c; ++j) sum = mul_sub(sum, S(d, j), adjoint<F>(S(c, j)));
      S(d, c) = divide_by_pivot<F>(sum, S(c, c));
    }
  }
  // v: the forward and backward sweeps with it.
  for (int c = 0; c < m; ++c) {
    T sum = w[c];
    for (int j = 0; j < c; ++j) sum = mul_sub(sum, S(c, j), w[j]);
    w[c] = divide_by_pivot<F>(sum, S(c, c));
  }
  for (int c = m - 1; c >= 0; --c) {
    T sum = w[c];
    for (int j = m - 1; j > c; --j) sum = mul_sub(sum, adjoint<F>(S(j, c)), w[j]);
    w[c] = divide_by_pivot<F>(sum, adjoint<F>(S(c, c)));
  }
  // u = t₁ − H·v, then v in place of t₂.
  for (int r = 0; r < m; ++r) {
    T sum = t1[r];
    for (int c = 0; c < m; ++c) sum = mul_sub(sum, H(r, c), w[c]);
    t1[r] = sum;
  }
  std::copy(w, w + m, t2);
  return true;
}

/// One task's share: the parts' factorisations as the counter hands them out,
/// the meeting at the barrier (by the last task to arrive), then the backward
/// sweeps, the bottom's x put back in order.
template <class T, form F>
void two_sided_share(two_sided_job<T>& job, const int& lock, int* events, const int& ntasks) {
  mtask::lockonparallellock(lock);  // the team's start gate: ntasks is final after it
  const int tasks = ntasks;
  mtask::unlockparallellock(lock);
  for (int k; (k = job.next_part.fetch_add(1, std::memory_order_relaxed)) < 2;) factor_part<T, F>(job, k);
  stage_barrier(events, 1, tasks, [&] { job.met = job.failed[0] == 0 && job.failed[1] == 0 && meet<T, F>(job); });
  if (!job.met) return;
  for (int k; (k = job.next_sweep.fetch_add(1, std::memory_order_relaxed)) < 2;) {
    backward_alone<T, F>(job.part(k), job.rows(k), job.m, job.rhs(k));
    if (k == 1) std::reverse(job.rhs(k), job.rhs(k) + job.rows(k));
  }
}

}  // namespace

template <class T> bool two_sided_serves(const int& n, const int& m) {
  return m >= 1 && n - top_rows(n) >= m && top_rows(n) >= m;
}

template <class T> int two_sided_work(const int& m) { return 2 * m * m + m; }

template <class T, form F>
void two_sided(T* a, const int& n, const int& m, T* b, T* work, int& status, int& row) {
  int count = 0;
  gettasks(count);
  // Two tasks where a part's work pays for starting one.
  team crew(double(n) * (m + 1) * (is_complex<T> ? 4 : 1) >= 65536.0 ? std::min(count, 2) : 1);
  two_sided_job<T> job{a, n, m, top_rows(n), b, work};
  crew.run(&two_sided_share<T, F>, job, crew.lock, crew.events, crew.ntasks);
  status = 0;
  row = 0;
  if (job.failed[0] != 0) {
    status = 1;
    row = job.failed[0];
  } else if (job.failed[1] != 0) {
    status = 2;
    row = n + 1 - job.failed[1];
  } else if (!job.met) {
    status = 3;
    row = job.p;
  }
}

#define VELQO_INSTANTIATE(T, F)                                                               \
  template void decompose<T, F>(T*, const int&, const int&, int&, int&);                      \
  template void substitute<T, F>(const T*, const int&, const int&, T*, const int&);          \
  template void factorsolve<T, F>(T*, const int&, const int&, T*, int&, int&);
VELQO_FOR_EACH_TYPE_AND_FORM(VELQO_INSTANTIATE)
#undef VELQO_INSTANTIATE

#define VELQO_INSTANTIATE(T, F) \
  template void two_sided<T, F>(T*, const int&, const int&, T*, T*, int&, int&);
VELQO_FOR_EACH_TYPE_AND_FORM(VELQO_INSTANTIATE)
#undef VELQO_INSTANTIATE
#define VELQO_INSTANTIATE(T)                                  \
  template bool two_sided_serves<T>(const int&, const int&); \
  template int two_sided_work<T>(const int&);
VELQO_INSTANTIATE(float)
VELQO_INSTANTIATE(double)
VELQO_INSTANTIATE(complex4)
VELQO_INSTANTIATE(complex8)
#undef VELQO_INSTANTIATE

// The named entries.
#define VELQO_STANDALONE_ENTRIES(KIND, SUFFIX, T, F)                                                         \
  void medecompose_##KIND##_##SUFFIX(T* a, const int& n, const int& m, int& status) {                       \
    int row = 0;                                                                                            \
    decompose<T, F>(a, n, m, status, row);                                                                  \
  }                                                                                                         \
  void mesubstitute_##KIND##_##SUFFIX(const T* a, const int& n, const int& m, T* b, const int& nrhs) {      \
    substitute<T, F>(a, n, m, b, nrhs);                                                                     \
  }                                                                                                         \
  void mefactorsolve_##KIND##_##SUFFIX(T* a, const int& n, const int& m, T* b, int& status) {               \
    int row = 0;                                                                                            \
    factorsolve<T, F>(a, n, m, b, status, row);                                                             \
  }
VELQO_STANDALONE_ENTRIES(csp, 4, float, form::symmetric)
VELQO_STANDALONE_ENTRIES(csp, 8, double, form::symmetric)
VELQO_STANDALONE_ENTRIES(csp, z4, complex4, form::symmetric)
VELQO_STANDALONE_ENTRIES(csp, z8, complex8, form::symmetric)
VELQO_STANDALONE_ENTRIES(hpd, z4, complex4, form::hermitian)
VELQO_STANDALONE_ENTRIES(hpd, z8, complex8, form::hermitian)
#undef VELQO_STANDALONE_ENTRIES

}  // namespace velqo
