// Band block factorisation, and the stand-alone parallel factorisation,
// substitution and solution kernels built on it, in the four precisions and
// both forms (complex symmetric and Hermitian).
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <utility>

#include <unistd.h>

#include "mtask/mtask.h"
#include "mtask/spin.h"
#include "solver/banded.h"
#include "solver/blockkernels.h"
#include "solver/flags.h"
#include "solver/fpmode.h"
#include "solver/kernel.h"
#include "solver/mediumband.h"
#include "solver/narrowband.h"
#include "solver/team.h"

namespace velqo {

namespace {

/// Set by the test seam: every kernel uses the generic steps.
std::atomic<bool> generic_only{false};

/// Set by the test seam: the kernels keep to 32-byte vectors.
std::atomic<bool> narrow_vectors_only{false};

/// The factorisation for half bandwidth M; the row of the failing pivot, or 0.
/// With Solve, the forward substitution L·y = b for one right-hand side goes
/// along: row i is solved as soon as its column is finished, its products with
/// y(j) in ascending j and then its division, the operations of forward_within
/// on it in the same order.
template <class T, int M, bool Solve>
int decompose_banded(T* a, const int& first, const int& last, T* b, const real_type<T>& eps, int* info,
                     const int& parity) {
  int finished = first - 1;
  const bool done = factor_banded<T, M>(a, first, last, eps, info, parity, [&](int i) {
    finished = i;
    if constexpr (Solve) {
      T bi = entry(b, i);
      for (int j = std::max(first, i - M); j <= i - 1; ++j) bi = mul_sub(bi, entry(b, j), band(a, M, i, j));
      entry(b, i) = divide_by_pivot<form::symmetric>(bi, band(a, M, i, i));
    }
  });
  return done ? 0 : finished + 1;
}

template <class T> using banded_factorisation = int (*)(T*, const int&, const int&, T*, const real_type<T>&,
                                                        int*, const int&);

template <class T, bool Solve, std::size_t... I>
constexpr std::array<banded_factorisation<T>, sizeof...(I)> banded_factorisations(std::index_sequence<I...>) {
  return {&decompose_banded<T, int(I) + 1, Solve>...};
}

/// The narrow- or medium-band factorisation of the block first … last, with
/// the forward substitution for b along where b is not null; failed ← the
/// failing row or 0. False, with nothing done, where neither serves m.
template <class T>
bool factor_with_band_steps(T* a, const int& m, const int& first, const int& last, const real_type<T>& eps,
                            int* info, const int& parity, T* b, int& failed) {
  if constexpr (narrow_limit<T> > 0) {
    if (use_narrow_steps<T>(m)) {
      constexpr auto count = std::make_index_sequence<narrow_limit<T>>();
      static constexpr auto plain = banded_factorisations<T, false>(count);
      static constexpr auto solving = banded_factorisations<T, true>(count);
      failed = (b != nullptr ? solving : plain)[m - 1](a, first, last, b, eps, info, parity);
      return true;
    }
    if (use_medium_steps<T>(m) && medium::factors<T>(m)) {
      failed = medium::factor_block(a, m, first, last, eps, info, parity, b);
      return true;
    }
  }
  return false;
}

}  // namespace

bool narrow_steps_allowed() { return !generic_only.load(std::memory_order_relaxed); }

namespace blocked {
bool wide_vectors() {
#if defined(__x86_64__)
  static const bool avx512 = __builtin_cpu_supports("avx512f");
  return avx512 && !narrow_vectors_only.load(std::memory_order_relaxed);
#else
  return false;
#endif
}
}  // namespace blocked

namespace testing {
void force_generic_steps(bool generic) { generic_only.store(generic, std::memory_order_relaxed); }
void force_narrow_vectors(bool narrow) { narrow_vectors_only.store(narrow, std::memory_order_relaxed); }
}  // namespace testing

template <class T, form F>
int decompose_block(T* a, const int& m, const int& first, const int& last, const real_type<T>& eps, int* info,
                    const int& parity) {
  // The mode of the parallel entries, so that their factor is this one bit for bit.
  const flush_to_zero mode;
  T* const none = nullptr;
  if (int failed = 0; factor_with_band_steps(a, m, first, last, eps, info, parity, none, failed)) return failed;
  for (int i = first; i <= last; ++i)
    if (!factor_column<T, F>(a, m, first, last, i, eps, info, parity)) return i;
  return 0;
}

template <class T, form F>
bool decompose_forward(T* a, const int& n, const int& m, T* b, const real_type<T>& eps, int* info, int& row) {
  const flush_to_zero mode;
  return factor_with_band_steps(a, m, 1, n, eps, info, 1, b, row);
}

template <class T>
void decompose_csp(T* a, const int& m, const int& first, const int& last,
                   const real_type<T>& eps, int* info, const int& parity) {
  decompose_block<T, form::symmetric>(a, m, first, last, eps, info, parity);
}

namespace {

// ---------------------------------------------- numerical steps of the panels
//
// The previous panel is the columns lo … hi, finished on the diagonal in the
// stage before; a block is the rows first … last. Every update a(k, i) − a(i, j)ᴴ·a(k, j)
// is formed exactly as decompose_block forms it (ᴴ: conjugated in the Hermitian
// form only), and every element receives its updates from the earlier columns
// in ascending order, so the factor is the same, bit for bit, as one
// decompose_block over the whole matrix.

template <class T, form F>
void complete_from_panel(T* a, const int& m, const int& first, const int& last, const int& lo, const int& hi);

/// Completes the previous panel's columns in the rows of a block: L(k, i) for
/// i = lo … hi and k = first … last.
template <class T, form F>
void complete_panel_columns(T* a, const int& m, const int& first, const int& last, const int& lo,
                            const int& hi) {
  // a(k, i) ← a(k, i) − a(i, j)ᴴ·a(k, j) for the columns j before the panel.
  for (int j = std::max(1, first - m); j <= lo - 1; ++j) {
    const int kend = std::min(last, j + m);
    for (int i = lo; i <= hi; ++i) {
      const T aij = adjoint<F>(band(a, m, i, j));
      for (int k = first; k <= kend; ++k) band(a, m, k, i) = mul_sub(band(a, m, k, i), aij, band(a, m, k, j));
    }
  }
  complete_from_panel<T, F>(a, m, first, last, lo, hi);
}

/// The second half of complete_panel_columns: the rows first … last of the
/// panel's columns lo … hi, which hold the updates of every column before lo,
/// take those of the panel's own columns and are scaled: L(k, i) for
/// i = lo … hi and k = first … last, where the panel lies above first.
template <class T, form F>
void complete_from_panel(T* a, const int& m, const int& first, const int& last, const int& lo, const int& hi) {
  for (int i = lo; i <= hi; ++i) {
    // The updates of the panel's own columns j before i.
    for (int j = std::max(lo, i - m); j <= i - 1; ++j) {
      const int kend = std::min(last, j + m);
      const T aij = adjoint<F>(band(a, m, i, j));
      for (int k = first; k <= kend; ++k) band(a, m, k, i) = mul_sub(band(a, m, k, i), aij, band(a, m, k, j));
    }
    // L(k, i) = a(k, i) / L(i, i).
    const T lii = band(a, m, i, i);
    const int kend = std::min(last, i + m);
    if constexpr (is_complex<T> && !conjugates<T, F>) {
      if (kend >= first) divide_each(&band(a, m, first, i), kend - first + 1, lii);
    } else {
      for (int k = first; k <= kend; ++k) band(a, m, k, i) = divide_by_pivot<F>(band(a, m, k, i), lii);
    }
  }
}

/// Brings the diagonal block first … last up to date with every column before it
/// (1 … hi), so that decompose_block can finish it alone.
template <class T, form F>
void update_diagonal_block(T* a, const int& m, const int& first, const int& last, const int& hi) {
  // a(k, i) ← a(k, i) − a(i, j)ᴴ·a(k, j) for first ≤ i ≤ k ≤ min(last, j + m).
  for (int j = std::max(1, first - m); j <= hi; ++j) {
    const int kend = std::min(last, j + m);
    for (int i = first; i <= kend; ++i) {
      const T aij = adjoint<F>(band(a, m, i, j));
      for (int k = i; k <= kend; ++k) band(a, m, k, i) = mul_sub(band(a, m, k, i), aij, band(a, m, k, j));
    }
  }
}

/// Forward substitution, contributions of the solved rows lo … hi to the rows of
/// a block: b(k) ← b(k) − b(j)·L(k, j).
template <class T>
void forward_from_rows(const T* a, const int& m, T* b, const int& first, const int& last, const int& lo,
                       const int& hi) {
  for (int j = lo; j <= hi; ++j) {
    const int kend = std::min(last, j + m);
    const T bj = entry(b, j);
    for (int k = first; k <= kend; ++k) entry(b, k) = mul_sub(entry(b, k), bj, band(a, m, k, j));
  }
}

/// Forward substitution within a panel: y(i) = b(i) / L(i, i), removed from the
/// panel's later rows. The next row's b, with this removal, is also formed
/// apart in a register, so that its division waits for one product and not for
/// the store of the row and its load back (a vector of rows just stored in
/// pieces is read only once the stores are done).
template <class T, form F>
void forward_within(const T* a, const int& m, T* b, const int& first, const int& last) {
  if (first > last) return;
  T next = entry(b, first);
  for (int i = first; i <= last; ++i) {
    const T bi = divide_by_pivot<F>(next, band(a, m, i, i));
    entry(b, i) = bi;
    const int kend = std::min(i + m, last);
    if (i < last) next = kend > i ? mul_sub(entry(b, i + 1), bi, band(a, m, i + 1, i)) : entry(b, i + 1);
    for (int k = i + 1; k <= kend; ++k) entry(b, k) = mul_sub(entry(b, k), bi, band(a, m, k, i));
  }
}

// The backward substitution takes each row's products in descending order of
// the solved rows k, min(i + m, n) down to i + 1, whatever the panels: the
// product with the row solved last, x(i + 1), comes last, so that the others
// need not wait for it and a row waits for one product and one division only.

/// Backward substitution (Lᵀ or Lᴴ), contributions of the solved rows upper …
/// S + 1 (descending) to the rows of a block: b(i) ← b(i) − x(k)·L(k, i)ᴴ.
template <class T, form F>
void backward_from_rows(const T* a, const int& m, T* b, const int& first, const int& last, const int& S,
                        const int& upper) {
  for (int i = first; i <= last; ++i) {
    const int kend = std::min(i + m, upper);
    T bi = entry(b, i);
    for (int k = kend; k >= S + 1; --k) bi = mul_sub(bi, entry(b, k), adjoint<F>(band(a, m, k, i)));
    entry(b, i) = bi;
  }
}

/// Backward substitution within a panel, from its last row up: x(i) = (b(i) −
/// Σ x(k)·L(k, i)ᴴ) / L(i, i) over the panel's rows k below i, descending.
/// x(i + 1) comes from a register: read back with the rows below it as one
/// vector, it would wait for its store.
template <class T, form F>
void backward_within(const T* a, const int& m, T* b, const int& first, const int& last) {
  T previous{};  // x(i + 1)
  for (int i = last; i >= first; --i) {
    const int kend = std::min(i + m, last);
    T bi = entry(b, i);
    for (int k = kend; k >= i + 2; --k) bi = mul_sub(bi, entry(b, k), adjoint<F>(band(a, m, k, i)));
    if (kend > i) bi = mul_sub(bi, previous, adjoint<F>(band(a, m, i + 1, i)));
    previous = divide_by_pivot<F>(bi, band(a, m, i, i));
    entry(b, i) = previous;
  }
}

// ------------------------------------------------------ hand-out of blocks

/// Takes the next block of a downward stage under the lock: rows first … last
/// from nextblock on, while nextblock ≤ limit. The panel block (first = s) has
/// panelrows rows, every other block rows rows. False when the stage's blocks are
/// used up.
bool next_block_down(const int& lock, const int& n, const int& s, int& nextblock, const int& limit,
                     const int& panelrows, const int& rows, int& first, int& last, bool& panel) {
  mtask::lockonparallellock(lock);
  if (nextblock > limit) {
    mtask::unlockparallellock(lock);
    return false;
  }
  first = nextblock;
  panel = first == s;
  const int height = panel ? panelrows : rows;
  nextblock = nextblock + height;
  mtask::unlockparallellock(lock);
  last = std::min(n, first + height - 1);
  return true;
}

/// Takes the next block of an upward stage under the lock: rows first … last
/// ending at nextb, while nextb ≥ limit; the panel block ends at S.
bool next_block_up(const int& lock, const int& S, int& nextb, const int& limit, const int& h, int& first,
                   int& last, bool& panel) {
  mtask::lockonparallellock(lock);
  if (nextb < limit) {
    mtask::unlockparallellock(lock);
    return false;
  }
  last = nextb;
  nextb = nextb - h;
  mtask::unlockparallellock(lock);
  panel = last == S;
  first = std::max(1, last - h + 1);
  return true;
}

// ------------------------------------------------------------------ sweeps

/// The factorisation sweep, one panel of nb rows per stage from the top down.
/// In the stage whose panel begins at s, blocks of the rows s … (handed out while
/// they begin at most at s + m) complete the previous panel's columns; the panel
/// block (nb rows, the others 2·nb) also brings its diagonal block up to date and
/// factorises it. With b, the forward substitution L·y = b is carried along block
/// by block. p is the stage parity; false when a pivot failed (every task then
/// returns after that stage's barrier, its row recorded in row).
template <class T, form F>
bool factorisation_sweep(T* a, const int& n, const int& m, T* b, const int& nb, const int& lock, int* events,
                         const int& ntasks, int& s, int& nextblock, const real_type<T>& eps, int* info, int* row,
                         int& p) {
  const int rows = 2 * nb;
  int lo = 1, hi = 0;  // no previous panel in the first stage
  int limit = std::min(n, s + m);
  for (;;) {
    int first = 0, last = 0;
    bool panel = false;
    while (next_block_down(lock, n, s, nextblock, limit, nb, rows, first, last, panel)) {
      complete_panel_columns<T, F>(a, m, first, last, lo, hi);
      if (b != nullptr) forward_from_rows(a, m, b, first, last, lo, hi);
      if (!panel) continue;
      update_diagonal_block<T, F>(a, m, first, last, hi);
      // Only the panel block factorises: the failing row is the first one.
      if (const int failed = decompose_block<T, F>(a, m, first, last, eps, info, p)) record_row(row, failed);
      if (b != nullptr && read_flag(info, p) == 0) forward_within<T, F>(a, m, b, first, last);
    }
    stage_barrier(events, p, ntasks, [&] {
      s = s + nb;
      nextblock = s;
    });
    if (read_flag(info, p) != 0) return false;
    p = 3 - p;
    if (s > n) return true;
    lo = s - nb;
    hi = s - 1;
    limit = std::min(n, s + m);
  }
}

/// The forward substitution L·y = b with a finished factor, panels and blocks of
/// nb rows from the top down.
template <class T, form F>
void forward_sweep(const T* a, const int& n, const int& m, T* b, const int& nb, const int& lock, int* events,
                   const int& ntasks, int& s, int& nextblock, int& p) {
  int lo = 1, hi = 0;
  int limit = std::min(n, s + m);
  for (;;) {
    int first = 0, last = 0;
    bool panel = false;
    while (next_block_down(lock, n, s, nextblock, limit, nb, nb, first, last, panel)) {
      forward_from_rows(a, m, b, first, last, lo, hi);
      if (panel) forward_within<T, F>(a, m, b, first, last);
    }
    stage_barrier(events, p, ntasks, [&] {
      s = s + nb;
      nextblock = s;
    });
    p = 3 - p;
    if (s > n) return;
    lo = std::max(1, s - nb);
    hi = s - 1;
    limit = std::min(n, s + m);
  }
}

/// The backward substitution Lᵀ·x = y (Lᴴ·x = y), panels and blocks of h rows
/// from the bottom up: in the stage whose panel ends at S, the blocks of the
/// rows from S up to S − m take the contributions of the panel solved before
/// (rows S + 1 … upper), and the panel block then solves its own rows.
template <class T, form F>
void backward_sweep(const T* a, const int& n, const int& m, T* b, const int& h, const int& lock, int* events,
                    const int& ntasks, int& S, int& nextb, int& p) {
  int upper = n;  // no panel is solved before the first stage
  int limit = std::max(1, S - m);
  for (;;) {
    int first = 0, last = 0;
    bool panel = false;
    while (next_block_up(lock, S, nextb, limit, h, first, last, panel)) {
      backward_from_rows<T, F>(a, m, b, first, last, S, upper);
      if (panel) backward_within<T, F>(a, m, b, first, last);
    }
    stage_barrier(events, p, ntasks, [&] {
      S = S - h;
      nextb = S;
    });
    p = 3 - p;
    if (S <= 0) return;
    upper = S + h;
    limit = std::max(1, S - m);
  }
}

// --------------------------------------------------------- the pipeline

/// Applies to column i, rows i … min(n, j + m), the updates of the finished
/// columns j = max(lo, i − m) … hi in ascending order: the operations of
/// factor_column for a part of its columns. Four columns go together: the rows
/// that all four reach take the four updates one after the other, which loads
/// and stores column i once for four, and the three rows beyond take those
/// that reach them.
template <class T, form F>
void update_column(T* a, const int& n, const int& m, const int& i, const int& lo, const int& hi) {
  T* const x = &band(a, m, i, i);  // x[r] = a(i + r, i)
  int j = std::max(lo, i - m);
  for (; j + 3 <= hi; j += 4) {
    const T u0 = adjoint<F>(band(a, m, i, j)), u1 = adjoint<F>(band(a, m, i, j + 1));
    const T u2 = adjoint<F>(band(a, m, i, j + 2)), u3 = adjoint<F>(band(a, m, i, j + 3));
    const T* const v0 = &band(a, m, i, j);  // v0[r] = a(i + r, j)
    const T* const v1 = &band(a, m, i, j + 1);
    const T* const v2 = &band(a, m, i, j + 2);
    const T* const v3 = &band(a, m, i, j + 3);
    const int all = std::min(n, j + m) - i;
    for (int r = 0; r <= all; ++r) {
      T t = x[r];
      t = mul_sub(t, u0, v0[r]);
      t = mul_sub(t, u1, v1[r]);
      t = mul_sub(t, u2, v2[r]);
      x[r] = mul_sub(t, u3, v3[r]);
    }
    const T u[4] = {u0, u1, u2, u3};
    for (int d = 1; d <= 3 && j + m + d <= n; ++d) {
      T& t = band(a, m, j + m + d, i);
      for (int q = d; q <= 3; ++q) t = mul_sub(t, u[q], band(a, m, j + m + d, j + q));
    }
  }
  for (; j <= hi; ++j) {
    const T aij = adjoint<F>(band(a, m, i, j));
    const int kend = std::min(n, j + m);
    for (int k = i; k <= kend; ++k) band(a, m, k, i) = mul_sub(band(a, m, k, i), aij, band(a, m, k, j));
  }
}

/// The register-blocked kernel in the widest vectors the processor has for T;
/// returns the first column it leaves to the caller.
template <class T, form F>
int blocked_band_columns(T* a, const int& n, const int& m, const int& c, const int& e, const int& lo, const int& hi) {
  return blocked::in_widest_vectors<T>(m, [&]<int B>() __attribute__((always_inline)) {
    return blocked::subtract_band_columns<T, F, B>(a, n, m, c, e, lo, hi);
  });
}

/// The updates of the finished columns lo … hi on the block's columns c … e
/// (hi < c): four columns at a time in the register-blocked kernel, the last
/// few by update_column. Every element takes the same operations in the same
/// order as factor_column gives it. Out of line, so that the kernel's
/// registers do not depend on its caller's: inlined into the pipeline, GCC 12
/// spilled the complex kernel's accumulators or not as the pipeline's code
/// around it changed (one task at complex m = 128: 97 or 110 ms).
template <class T, form F>
[[gnu::noinline]] void update_columns(T* a, const int& n, const int& m, const int& c, const int& e, const int& lo,
                                     const int& hi) {
  for (int i = blocked_band_columns<T, F>(a, n, m, c, e, lo, hi); i <= e; ++i)
    update_column<T, F>(a, n, m, i, lo, hi);
}

/// Where the pipelines' tasks sleep once their spin has run out: one condition
/// variable for all of them, and the count of sleepers, so that a publish
/// costs a lock and a notification only while some task sleeps.
struct progress_sleep {
  std::mutex mutex;
  std::condition_variable moved;
  std::atomic<int> sleepers{0};
};

inline progress_sleep& pipeline_sleep() {
  static progress_sleep s;
  return s;
}

/// Waits until progress reaches column (acquire), or holds a failure (below 0),
/// and returns the value seen. The wait spins with the pause hint for as long
/// as the runtime's waits do and then sleeps, so that on a machine with more
/// tasks than free processors the task being waited for gets the processor.
/// A sleeper counts itself among the sleepers before it tests the counter
/// under the mutex, and a publish stores the counter before it reads the count
/// (both sequentially consistent), then takes the mutex before it notifies:
/// either the sleeper sees the new value or the publish wakes it. A sleep also
/// ends after a millisecond whatever happens. (The standard library's atomic
/// wait and notify, which the pipeline used before, once let both tasks of a
/// two-task pipeline sleep in their futex waits for eleven minutes after the
/// counter had moved, in a sweep on the 2-core Xeon; a debugger's attach, which
/// interrupts the waits, let them go on.)
inline int await_progress(const std::atomic<int>& progress, const int& column, const bool& spin) {
  int seen = progress.load(std::memory_order_acquire);
  if (seen >= column || seen < 0) return seen;
  mtask::spinuntil(spin, [&] {
    seen = progress.load(std::memory_order_acquire);
    return seen >= column || seen < 0;
  });
  if (seen >= column || seen < 0) return seen;
  progress_sleep& s = pipeline_sleep();
  s.sleepers.fetch_add(1, std::memory_order_seq_cst);
  {
    std::unique_lock<std::mutex> lock(s.mutex);
    for (;;) {
      seen = progress.load(std::memory_order_seq_cst);
      if (seen >= column || seen < 0) break;
      s.moved.wait_for(lock, std::chrono::milliseconds(1));
    }
  }
  s.sleepers.fetch_sub(1, std::memory_order_relaxed);
  return seen;
}

/// Stores a new progress value and wakes the tasks that sleep on it.
inline void publish(std::atomic<int>& progress, const int& value) {
  progress.store(value, std::memory_order_seq_cst);
  progress_sleep& s = pipeline_sleep();
  if (s.sleepers.load(std::memory_order_seq_cst) == 0) return;
  { const std::lock_guard<std::mutex> lock(s.mutex); }
  s.moved.notify_all();
}

/// How far ahead of a sweep its streamer fetches the band, in bytes: a quarter
/// of the level-2 cache of the processor (the fetched lines wait there until
/// the sweep's processor asks for them), from 128 KiB to 1 MiB, and 512 KiB
/// where the cache's size is unknown. On the 2-core Xeon (2 MiB) the sweeps
/// were as fast with 384 KiB to 1 MiB ahead, slower with 128 KiB (0.87 of the
/// time of a sweep alone against 0.65 to 0.71) and with 2 MiB and more (0.77 to
/// 0.94), where the lines leave the cache before they are read.
inline index_t stream_distance() {
  static const index_t bytes = [] {
    long cache = 0;
#ifdef _SC_LEVEL2_CACHE_SIZE
    cache = sysconf(_SC_LEVEL2_CACHE_SIZE);
#endif
    return index_t(cache > 0 ? std::clamp(cache / 4, 131072L, 1048576L) : 524288L);
  }();
  return bytes;
}

/// The streamer of p_streamed: prefetches, a line at a time, the elements of
/// the band that the sweep reads next, stream_distance() ahead of the position
/// it publishes in swept, until swept holds −1 or the passage ends. Positions
/// count elements along the passage of both sweeps: the forward sweep reads the
/// band (total elements, column after column) from the first element up, the
/// backward sweep from the last down, so position x is element x on the way
/// down and element 2·total − 1 − x on the way back.
template <class T> void stream_ahead(const T* a, const index_t& total, index_t mine, std::atomic<index_t>& swept) {
  const index_t ahead = stream_distance() / index_t(sizeof(T));
  const index_t line = std::max<index_t>(1, 64 / index_t(sizeof(T)));
  const index_t end = 2 * total;
  for (;;) {
    const index_t at = swept.load(std::memory_order_relaxed);
    if (at < 0 || mine >= end) return;
    mine = std::max(mine, at);
    const index_t upto = std::min(end, at + ahead);
    if (mine >= upto) {
      mtask::cpurelax();
      continue;
    }
    for (; mine < upto; mine += line) __builtin_prefetch(a + (mine < total ? mine : end - 1 - mine));
  }
}

}  // namespace

// -------------------------------------- stand-alone parallel kernels

/// How many of the last finished columns a task of p_pipeline leaves out of a
/// batch of updates until all that its block needs are finished. They lie in
/// memory right before the block that another task is factorising, and
/// reading them lets the processor's prefetchers run on into that block and
/// take its lines from the cache that is writing them; they come with the next
/// batch, once that block is finished. A held column lengthens the path from
/// block to block by its update, so the held columns' updates come to about
/// 2048 multiply-subtracts a row of the block (a complex one counted as four):
/// a block of 16 columns at real m = 128, 4 columns at complex m = 128, which
/// measured best or close among 2 to 16 (two tasks at double m = 128 on a
/// 2-core AMD EPYC guest took 0.91 of the time before where its two cores
/// share a level-3 cache, 0.75 where they do not).
template <class T> int held_columns(const int& m, const long& width) {
  const long row_cost = (long(m) + 1) * (is_complex<T> ? 4 : 1);
  return int(std::min(width, std::max(2L, (2048 + row_cost / 2) / row_cost)));
}

template <class T, form F>
void p_pipeline(T* a, const int& n, const int& m, T* b, const int& w, const int& ntasks, std::atomic<int>& next,
                std::atomic<int>& progress, const real_type<T>& eps, int* info, int* row) {
  const bool spin = mtask::mayspin(ntasks);
  const long width = std::max(w, 1);
  const int held = held_columns<T>(m, width);
  for (;;) {
    const long taken = width * next.fetch_add(1, std::memory_order_relaxed);
    if (taken >= n) return;
    const int c = int(taken) + 1, e = int(std::min<long>(n, taken + width));
    // The updates of the finished columns, in ascending order, as far as they
    // are finished: those of the columns before c − m do not reach the block.
    // Until all it needs are finished, a task leaves out the last few (see
    // held_columns).
    int applied = std::max(0, c - 1 - m);
    for (;;) {
      const int seen = await_progress(progress, std::min(applied + 1 + held, c - 1), spin);
      if (seen < 0) return;
      const int upto = seen >= c - 1 ? c - 1 : seen - held;
      if (upto > applied) update_columns<T, F>(a, n, m, c, e, applied + 1, upto);
      applied = upto;
      if (applied >= c - 1) break;
    }
    // The block's own columns, down to the end of the band: the updates of the
    // block's columns before each, then its pivot, square root and scaling,
    // as factor_column does them.
    for (int i = c; i <= e; ++i) {
      update_column<T, F>(a, n, m, i, c, i - 1);
      if (!factor_column<T, F>(a, m, i, n, i, eps, info, 1)) {
        record_row(row, i);
        publish(progress, -1);
        return;
      }
    }
    if (b != nullptr) {
      forward_from_rows(a, m, b, c, e, std::max(1, c - m), c - 1);
      forward_within<T, F>(a, m, b, c, e);
    }
    publish(progress, e);
  }
}

template <class T, form F>
void p_streamed(const T* a, const int& n, const int& m, T* b, const int& h, const bool& forward,
                std::atomic<int>& roles, std::atomic<index_t>& swept) {
  const int role = roles.fetch_add(1, std::memory_order_relaxed);
  const index_t column = index_t(m) + 1, total = column * n;
  if (role == 0) {
    // The sweeps by panels, each published as it starts, in the streamer's count.
    if (forward) {
      for (int s = 1; s <= n; s += h) {
        swept.store(column * (s - 1), std::memory_order_relaxed);
        const int e = std::min(n, s + h - 1);
        forward_from_rows(a, m, b, s, e, std::max(1, s - m), s - 1);
        forward_within<T, F>(a, m, b, s, e);
      }
    }
    for (int e = n; e >= 1; e -= h) {
      swept.store(total + column * (n - e), std::memory_order_relaxed);
      const int s = std::max(1, e - h + 1);
      backward_from_rows<T, F>(a, m, b, s, e, e, std::min(n, e + m));
      backward_within<T, F>(a, m, b, s, e);
    }
    swept.store(-1, std::memory_order_relaxed);
  } else if (role == 1) {
    stream_ahead(a, total, forward ? 0 : total, swept);
  }
}

template <class T, form F>
void p_backward(const T* a, const int& n, const int& m, T* b, const int& h, const int& lock, int* events,
                const int& ntasks, int& S, int& nextb) {
  int p = 1;
  backward_sweep<T, F>(a, n, m, b, h, lock, events, ntasks, S, nextb, p);
}

template <class T, form F>
void p_decompose(T* a, const int& n, const int& m, const int& nb, const int& lock, int* events, const int& ntasks,
                 int& s, int& nextblock, const real_type<T>& eps, int* info, int* row) {
  int p = 1;
  factorisation_sweep<T, F>(a, n, m, nullptr, nb, lock, events, ntasks, s, nextblock, eps, info, row, p);
}

template <class T, form F>
void p_substitute(const T* a, const int& n, const int& m, T* b, const int& nb, const int& lock, int* events,
                  const int& ntasks, int& s, int& nextblock, int& S, int& nextb) {
  int p = 1;
  forward_sweep<T, F>(a, n, m, b, nb, lock, events, ntasks, s, nextblock, p);
  backward_sweep<T, F>(a, n, m, b, nb, lock, events, ntasks, S, nextb, p);
}

template <class T, form F>
void p_solution(T* a, const int& n, const int& m, T* b, const int& nb, const int& lock, int* events,
                const int& ntasks, int& s, int& nextblock, int& S, int& nextb, const real_type<T>& eps, int* info,
                int* row) {
  int p = 1;
  if (!factorisation_sweep<T, F>(a, n, m, b, nb, lock, events, ntasks, s, nextblock, eps, info, row, p)) return;
  const int h = 2 * nb;
  backward_sweep<T, F>(a, n, m, b, h, lock, events, ntasks, S, nextb, p);
}

template <class T>
void p_decompose_csp(T* a, const int& n, const int& m, const int& nb, const int& lock, int* events,
                     const int& ntasks, int& s, int& nextblock, const real_type<T>& eps, int* info) {
  p_decompose<T, form::symmetric>(a, n, m, nb, lock, events, ntasks, s, nextblock, eps, info, nullptr);
}

template <class T>
void p_substitute_csp(const T* a, const int& n, const int& m, T* b, const int& nb, const int& lock, int* events,
                      const int& ntasks, int& s, int& nextblock, int& S, int& nextb) {
  p_substitute<T, form::symmetric>(a, n, m, b, nb, lock, events, ntasks, s, nextblock, S, nextb);
}

template <class T>
void p_solution_csp(T* a, const int& n, const int& m, T* b, const int& nb, const int& lock, int* events,
                    const int& ntasks, int& s, int& nextblock, int& S, int& nextb, const real_type<T>& eps,
                    int* info) {
  p_solution<T, form::symmetric>(a, n, m, b, nb, lock, events, ntasks, s, nextblock, S, nextb, eps, info, nullptr);
}

#define VELQO_INSTANTIATE_FORM(T, F)                                                                          \
  template int decompose_block<T, F>(T*, const int&, const int&, const int&, const real_type<T>&, int*,      \
                                     const int&);                                                             \
  template bool decompose_forward<T, F>(T*, const int&, const int&, T*, const real_type<T>&, int*, int&);     \
  template void p_decompose<T, F>(T*, const int&, const int&, const int&, const int&, int*, const int&, int&, \
                                  int&, const real_type<T>&, int*, int*);                                    \
  template void p_substitute<T, F>(const T*, const int&, const int&, T*, const int&, const int&, int*,       \
                                   const int&, int&, int&, int&, int&);                                      \
  template void p_solution<T, F>(T*, const int&, const int&, T*, const int&, const int&, int*, const int&,   \
                                 int&, int&, int&, int&, const real_type<T>&, int*, int*); \
  template void p_pipeline<T, F>(T*, const int&, const int&, T*, const int&, const int&, std::atomic<int>&,   \
                                 std::atomic<int>&, const real_type<T>&, int*, int*);                        \
  template void p_backward<T, F>(const T*, const int&, const int&, T*, const int&, const int&, int*,          \
                                 const int&, int&, int&);                                                    \
  template void p_streamed<T, F>(const T*, const int&, const int&, T*, const int&, const bool&,              \
                                 std::atomic<int>&, std::atomic<index_t>&);
VELQO_FOR_EACH_TYPE_AND_FORM(VELQO_INSTANTIATE_FORM)
#undef VELQO_INSTANTIATE_FORM

#define VELQO_INSTANTIATE(T)                                                                          \
  template void decompose_csp<T>(T*, const int&, const int&, const int&, const real_type<T>&, int*,       \
                                 const int&);                                                            \
  template void p_decompose_csp<T>(T*, const int&, const int&, const int&, const int&, int*, const int&, \
                                   int&, int&, const real_type<T>&, int*);                              \
  template void p_substitute_csp<T>(const T*, const int&, const int&, T*, const int&, const int&, int*,  \
                                    const int&, int&, int&, int&, int&);                                 \
  template void p_solution_csp<T>(T*, const int&, const int&, T*, const int&, const int&, int*,          \
                                  const int&, int&, int&, int&, int&, const real_type<T>&, int*);
VELQO_INSTANTIATE(float)
VELQO_INSTANTIATE(double)
VELQO_INSTANTIATE(complex4)
VELQO_INSTANTIATE(complex8)
#undef VELQO_INSTANTIATE

void decompose_csp_4(float* a, const int& m, const int& first, const int& last, const float& eps,
                     int* info, const int& parity) {
  decompose_csp(a, m, first, last, eps, info, parity);
}
void decompose_csp_8(double* a, const int& m, const int& first, const int& last, const double& eps,
                     int* info, const int& parity) {
  decompose_csp(a, m, first, last, eps, info, parity);
}
void decompose_csp_z4(complex4* a, const int& m, const int& first, const int& last,
                      const float& eps, int* info, const int& parity) {
  decompose_csp(a, m, first, last, eps, info, parity);
}
void decompose_csp_z8(complex8* a, const int& m, const int& first, const int& last,
                      const double& eps, int* info, const int& parity) {
  decompose_csp(a, m, first, last, eps, info, parity);
}

// The named variants of the stand-alone parallel kernels.
#define VELQO_PANEL_KERNELS(SUFFIX, T)                                                                         \
  void p_decompose_csp_##SUFFIX(T* a, const int& n, const int& m, const int& nb, const int& lock,            \
                                int* events, const int& ntasks, int& s, int& nextblock,                      \
                                const real_type<T>& eps, int* info) {                                        \
    p_decompose_csp(a, n, m, nb, lock, events, ntasks, s, nextblock, eps, info);                             \
  }                                                                                                          \
  void p_substitute_csp_##SUFFIX(const T* a, const int& n, const int& m, T* b, const int& nb,                \
                                 const int& lock, int* events, const int& ntasks, int& s, int& nextblock,     \
                                 int& S, int& nextb) {                                                       \
    p_substitute_csp(a, n, m, b, nb, lock, events, ntasks, s, nextblock, S, nextb);                          \
  }                                                                                                          \
  void p_solution_csp_##SUFFIX(T* a, const int& n, const int& m, T* b, const int& nb, const int& lock,       \
                               int* events, const int& ntasks, int& s, int& nextblock, int& S, int& nextb,   \
                               const real_type<T>& eps, int* info) {                                         \
    p_solution_csp(a, n, m, b, nb, lock, events, ntasks, s, nextblock, S, nextb, eps, info);                 \
  }
VELQO_PANEL_KERNELS(4, float)
VELQO_PANEL_KERNELS(8, double)
VELQO_PANEL_KERNELS(z4, complex4)
VELQO_PANEL_KERNELS(z8, complex8)
#undef VELQO_PANEL_KERNELS

// The named variants of the Hermitian form.
#define VELQO_HERMITIAN_KERNELS(SUFFIX, T)                                                                      \
  void decompose_hpd_##SUFFIX(T* a, const int& m, const int& first, const int& last, const real_type<T>& eps, \
                              int* info, const int& parity) {                                                \
    decompose_block<T, form::hermitian>(a, m, first, last, eps, info, parity);                                \
  }                                                                                                          \
  void p_decompose_hpd_##SUFFIX(T* a, const int& n, const int& m, const int& nb, const int& lock,            \
                                int* events, const int& ntasks, int& s, int& nextblock,                      \
                                const real_type<T>& eps, int* info) {                                        \
    p_decompose<T, form::hermitian>(a, n, m, nb, lock, events, ntasks, s, nextblock, eps, info, nullptr);     \
  }                                                                                                          \
  void p_substitute_hpd_##SUFFIX(const T* a, const int& n, const int& m, T* b, const int& nb,                \
                                 const int& lock, int* events, const int& ntasks, int& s, int& nextblock,     \
                                 int& S, int& nextb) {                                                       \
    p_substitute<T, form::hermitian>(a, n, m, b, nb, lock, events, ntasks, s, nextblock, S, nextb);           \
  }                                                                                                          \
  void p_solution_hpd_##SUFFIX(T* a, const int& n, const int& m, T* b, const int& nb, const int& lock,       \
                               int* events, const int& ntasks, int& s, int& nextblock, int& S, int& nextb,   \
                               const real_type<T>& eps, int* info) {                                         \
    p_solution<T, form::hermitian>(a, n, m, b, nb, lock, events, ntasks, s, nextblock, S, nextb, eps, info,   \
                                   nullptr);                                                                 \
  }
VELQO_HERMITIAN_KERNELS(z4, complex4)
VELQO_HERMITIAN_KERNELS(z8, complex8)
#undef VELQO_HERMITIAN_KERNELS

}  // namespace velqo
