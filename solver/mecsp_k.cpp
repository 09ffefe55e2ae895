// The parallel block-cyclic-reduction solve kernel and its numerical block steps,
// for the complex symmetric (A = L·Lᵀ) and the Hermitian (A = L·Lᴴ) form.
//
// The rows are cut into blocks of L = blocksize rows; block k holds rows
// k·L + 1 … min(n, (k + 1)·L). Level 0 is the blocks of even index, level r ≥ 1
// the blocks with k ≡ 2^r − 1 (mod 2^(r+1)). Each level is eliminated at once:
// an eliminated block passes the Schur complement of its couplings to its two
// partners (the surviving blocks at distance 2^(r−1)·L) and couples them by a
// fill; the survivors form a system of the same shape, reduced in turn, until one
// block is left. A backward sweep then solves the levels in the opposite order.
//
// Stages, each ended by a barrier: S1 eliminates level 0; for r = 1, 2, …,
// S2(r) passes the Schur complements to the survivors and S3(r) eliminates
// level r; then one stage S4 per level, from the last down to level 0, solves
// the level's blocks.
//
// The file has three parts: the block steps (pure arithmetic on one block, no
// synchronisation), the same steps for narrow bands (see solver/narrowband.h),
// and the kernel (stages, block hand-out and barriers), which decides which
// step runs on which block and never looks inside a step. A solve uses one set
// of steps throughout.
//
// Work arrays, both from the caller's workspace: spike(x, v), n × m with leading
// dimension n, holds the couplings by rows of the matrix; tspike(v, x), m × n
// with leading dimension m, keeps the transposed right couplings for the
// backward sweep.
#include <algorithm>
#include <array>
#include <atomic>
#include <type_traits>
#include <utility>

#include "mtask/mtask.h"
#include "solver/banded.h"
#include "solver/blockkernels.h"
#include "solver/flags.h"
#include "solver/kernel.h"
#include "solver/mediumband.h"
#include "solver/narrowband.h"
#include "solver/team.h"
#include "solver/testing.h"

namespace velqo {
namespace {

/// Set by the test seam: the generic steps keep their plain loops.
std::atomic<bool> plain_products_only{false};

/// The dense products of the generic steps that have register-blocked kernels.
enum class product { spike_solve, right_complement, left_complement, fill, right_coupling };

/// For complex types, the narrowest band at which each product's kernel takes
/// less time than its plain loop (in that order; measured with one task, both
/// forms, both precisions). Below these a product has a few elements per vector
/// register and the kernel's copies and tile edges cost more than it saves.
constexpr int complex_blocked_from[] = {2, 4, 12, 4, 16};

/// Whether the generic steps hand a dense product to the register-blocked
/// kernels of solver/blockkernels.h: real types wider than the narrow-band
/// steps go (those, and the generic steps for their bandwidths, keep the plain
/// loops, whose order they share), complex types from the band above. Both
/// give the same bits, except the real right partner's right-hand sides.
template <class T> bool blocked_products(const int& m, const product& which) {
  if (plain_products_only.load(std::memory_order_relaxed)) return false;
  if constexpr (is_complex<T>) {
    return m >= complex_blocked_from[int(which)];
  } else {
    return m > narrow_limit<T>;
  }
}

/// The rows first … last of one block.
struct block_range {
  int first, last;
};

// ================================================================ block steps
//
// Every step works on the block first … last and updates each element in place
// at once. Products go through mul / mul_sub, quotients through divide_by and
// reciprocals through reciprocal (solver/scalar.h), so that they round the same
// way in every task. The steps are templates over the form F as well: the
// complex symmetric form never conjugates; the Hermitian form conjugates
// (adjoint<F>) where a transpose below is a conjugate transpose (Xᴴ·X, Y·Yᴴ,
// L_b⁻ᴴ) and divides by its real pivots. Steps without a transpose have no F.

/// Solves L_b·X = X in place for the first q columns of spike on the block's
/// rows, L_b being the block's factor.
template <class T, form F>
void solve_spike_columns(T* a, const int& n, const int& m, T* spike, const int& first, const int& last,
                         const int& q) {
  if (blocked_products<T>(m, product::spike_solve) && first <= last &&
      blocked::in_widest_vectors<T>(m, [&]<int B>() __attribute__((always_inline)) {
        return blocked::solve_lower_band<T, F, B>(&band(a, m, first, first), m, last - first + 1,
                                                  &at(spike, n, first, 1), index_t(n), q);
      }))
    return;
  for (int v = 1; v <= q; ++v) {
    for (int x = first; x <= last; ++x) {
      T& sx = at(spike, n, x, v);
      sx = divide_by_block_pivot<F>(sx, band(a, m, x, x));
      const int yend = std::min(last, x + m);
      for (int y = x + 1; y <= yend; ++y) at(spike, n, y, v) = mul_sub(at(spike, n, y, v), band(a, m, y, x), sx);
    }
  }
}

/// C_left into the block's spike rows: the block's rows against the last m rows
/// of the block before it, column v belonging to row first − m + v − 1.
template <class T>
void left_spike_columns_from_band(const T* a, const int& n, const int& m, T* spike, const int& first,
                                  const int& last) {
  const int p0 = std::max(1, first - m);
  const int q = first - p0;
  for (int v = 1; v <= q; ++v) {
    const int r = p0 + v - 1;
    const int xend = std::min(last, r + m);
    for (int x = first; x <= xend; ++x) at(spike, n, x, v) = band(a, m, x, r);
    for (int x = xend + 1; x <= last; ++x) at(spike, n, x, v) = T(0);
  }
}

/// Left spike from the band (S1): X = L_b⁻¹·C_left, C_left being the block's
/// rows against the last m rows of the block before it; column v belongs to row
/// first − m + v − 1. The first block of the matrix has none.
template <class T, form F>
void left_spike_from_band(T* a, const int& n, const int& m, T* spike, const int& first, const int& last) {
  left_spike_columns_from_band(a, n, m, spike, first, last);
  solve_spike_columns<T, F>(a, n, m, spike, first, last, first - std::max(1, first - m));
}

/// Right coupling from the band (S1): Y = C_right·L_b⁻ᵀ (L_b⁻ᴴ), C_right being
/// the first m rows of the next block against the block's last m rows; stored
/// in the spike rows of the next block, column v belonging to row last − m + v.
template <class T, form F>
void right_coupling_from_band(T* a, const int& n, const int& m, T* spike, const int& first, const int& last) {
  if (last >= n) return;
  const int h0 = last + 1;
  const int o = std::min(last + m, n);
  const int r0 = std::max(first, last + 1 - m);
  const int q = last - r0 + 1;
  for (int v = 1; v <= q; ++v) {
    const int j = r0 + v - 1;
    const int xend = std::min(j + m, n);
    for (int x = h0; x <= xend; ++x) at(spike, n, x, v) = band(a, m, x, j);
    for (int x = xend + 1; x <= o; ++x) at(spike, n, x, v) = T(0);
  }
  for (int v = 1; v <= q; ++v) {
    const int j = r0 + v - 1;
    const int g0 = std::min(o, j + m);
    const T w = pivot_reciprocal<F>(band(a, m, j, j));
    for (int x = h0; x <= g0; ++x) at(spike, n, x, v) = times_pivot_reciprocal<F>(at(spike, n, x, v), w);
    const int iend = std::min(last, j + m);
    for (int i = j + 1; i <= iend; ++i) {
      const int vi = v + i - j;
      const T aij = adjoint<F>(band(a, m, i, j));
      for (int x = h0; x <= g0; ++x) at(spike, n, x, vi) = mul_sub(at(spike, n, x, vi), aij, at(spike, n, x, v));
    }
  }
}

/// Forward substitution (S1, S3): b ← L_b⁻¹·b on the block's rows.
template <class T, form F>
void forward_substitution(T* a, const int& n, const int& m, T* b, const int& nrhs, const int& first,
                          const int& last) {
  for (int s = 1; s <= nrhs; ++s) {
    for (int x = first; x <= last; ++x) {
      T& bx = at(b, n, x, s);
      bx = divide_by_block_pivot<F>(bx, band(a, m, x, x));
      const int yend = std::min(last, x + m);
      for (int y = x + 1; y <= yend; ++y) at(b, n, y, s) = mul_sub(at(b, n, y, s), band(a, m, y, x), bx);
    }
  }
}

/// Right-partner update (S2): the survivor's last m rows receive the Schur
/// complement Xᵀ·X (Xᴴ·X) of its right partner's left spike X, and its
/// right-hand sides b − Xᵀ·b_partner (b − Xᴴ·b_partner). σ is summed in the
/// element type.
template <class T, form F>
void right_partner_update(T* a, const int& n, const int& m, T* b, const int& nrhs, T* spike,
                          const int& blocksize, const int& distance, const int& first, const int& last) {
  const int p = first + distance;
  const int pe = std::min(n, p + blocksize - 1);
  if (blocked_products<T>(m, product::right_complement)) {
    const int j0 = last - m + 1;
    const T* x = &at(spike, n, p, 1);
    if constexpr (is_complex<T>) {
      // The right-hand sides from the same panel, in the plain loop's order
      // (b may be null without right-hand sides).
      T* bj = nrhs > 0 ? &at(b, n, j0, 1) : nullptr;
      const T* bp = nrhs > 0 ? &at(b, n, p, 1) : nullptr;
      if (blocked::subtract_lower_gram<T, F>(&band(a, m, j0, j0), index_t(m), x, index_t(n), pe - p + 1, m, bj, bp,
                                             index_t(n), nrhs))
        return;
    } else if (blocked::subtract_lower_gram<T, F>(&band(a, m, j0, j0), index_t(m), x, index_t(n), pe - p + 1, m)) {
      for (int s = 1; s <= nrhs; ++s)
        blocked::subtract_transposed_product(&at(b, n, j0, s), x, index_t(n), pe - p + 1, m, &at(b, n, p, s));
      return;
    }
  }
  for (int v = 1; v <= m; ++v) {
    const int j = last - m + v;
    for (int u = v; u <= m; ++u) {
      const int k = last - m + u;
      T sigma = T(0);
      for (int x = p; x <= pe; ++x) sigma = sigma + mul(at(spike, n, x, v), adjoint<F>(at(spike, n, x, u)));
      band(a, m, k, j) = band(a, m, k, j) - sigma;
    }
  }
  for (int s = 1; s <= nrhs; ++s) {
    for (int v = 1; v <= m; ++v) {
      const int j = last - m + v;
      T& bj = at(b, n, j, s);
      for (int x = p; x <= pe; ++x) bj = mul_sub(bj, adjoint<F>(at(spike, n, x, v)), at(b, n, x, s));
    }
  }
}

/// Left-partner update (S2): the survivor's first m rows receive the Schur
/// complement Y·Yᵀ (Y·Yᴴ) of its left partner's right coupling Y, and its
/// right-hand sides b − Y·b_partner; Yᵀ (Yᴴ) is saved into tspike for the
/// backward sweep.
template <class T, form F>
void left_partner_update(T* a, const int& n, const int& m, T* b, const int& nrhs, T* tspike, T* spike,
                         const int& blocksize, const int& distance, const int& first) {
  const int p = first - distance;
  const int top = std::min(n, first + m - 1);
  if (blocked_products<T>(m, product::left_complement)) {
    blocked::in_widest_vectors<T>(m, [&]<int B>() __attribute__((always_inline)) {
      blocked::subtract_lower_outer<T, F, B>(&band(a, m, first, first), index_t(m), &at(spike, n, first, 1),
                                             index_t(n), top - first + 1, m);
    });
  } else {
    for (int v = 1; v <= m; ++v) {
      for (int r = first; r <= top; ++r) {
        const T yr = adjoint<F>(at(spike, n, r, v));
        for (int x = r; x <= top; ++x) band(a, m, x, r) = mul_sub(band(a, m, x, r), yr, at(spike, n, x, v));
      }
    }
  }
  for (int s = 1; s <= nrhs; ++s) {
    for (int v = 1; v <= m; ++v) {
      const int j = p + blocksize - m + v - 1;
      const T bj = at(b, n, j, s);
      for (int x = first; x <= top; ++x) at(b, n, x, s) = mul_sub(at(b, n, x, s), bj, at(spike, n, x, v));
    }
  }
  for (int v = 1; v <= m; ++v)
    for (int t = 0; t <= top - first; ++t) at(tspike, m, v, p + blocksize + t) = adjoint<F>(at(spike, n, first + t, v));
}

/// Fill (S2, after the left-partner update): F = −Y·X, the coupling between the
/// survivor's first m rows and the last m rows of the survivor two distances
/// before it (X being the left partner's left spike). F replaces Y in the
/// survivor's spike rows; the block's further spike rows are cleared. Each row
/// of Y is first moved into a scratch row, the sub-diagonal entries of band
/// column first − 1, whose couplings are no longer needed.
template <class T>
void fill(T* a, const int& n, const int& m, T* spike, const int& blocksize, const int& distance,
          const int& first, const int& last) {
  const int p = first - distance;
  const int top = std::min(n, first + m - 1);
  const int xrow = p + blocksize - m - 1;  // row xrow + k of X belongs to column k of Y
  if (blocked_products<T>(m, product::fill)) {
    // Y's last row to the scratch row first, as the loop below leaves it.
    for (int k = 1; k <= m; ++k) band(a, m, first + k - 1, first - 1) = at(spike, n, top, k);
    if (blocked::in_widest_vectors<T>(m, [&]<int B>() __attribute__((always_inline)) {
          return blocked::negate_product_in_place<T, B>(&at(spike, n, first, 1), index_t(n),
                                                        &at(spike, n, xrow + 1, 1), index_t(n), top - first + 1, m);
        })) {
      for (int v = 1; v <= m; ++v)
        for (int x = top + 1; x <= last; ++x) at(spike, n, x, v) = T(0);
      return;
    }
  }
  for (int x = first; x <= top; ++x) {
    for (int k = 1; k <= m; ++k) {
      band(a, m, first + k - 1, first - 1) = at(spike, n, x, k);
      at(spike, n, x, k) = T(0);
    }
    for (int v = 1; v <= m; ++v) {
      T& fx = at(spike, n, x, v);
      for (int k = 1; k <= m; ++k) fx = mul_sub(fx, band(a, m, first + k - 1, first - 1), at(spike, n, xrow + k, v));
    }
  }
  for (int v = 1; v <= m; ++v)
    for (int x = top + 1; x <= last; ++x) at(spike, n, x, v) = T(0);
}

/// Left spike from the fill (S3): X = L_b⁻¹·F for the level-r block.
template <class T, form F>
void left_spike_from_fill(T* a, const int& n, const int& m, T* spike, const int& first, const int& last) {
  solve_spike_columns<T, F>(a, n, m, spike, first, last, m);
}

/// Right coupling from the fill (S3): Y = F·L_b⁻ᵀ (F·L_b⁻ᴴ), F being the fill
/// that the right partner received against the block's last m rows; Y replaces
/// F in the partner's first m spike rows.
template <class T, form F>
void right_coupling_from_fill(T* a, const int& n, const int& m, T* spike, const int& distance,
                              const int& first, const int& last) {
  const int p = first + distance;
  const int top2 = std::min(n, p + m - 1);
  if (blocked_products<T>(m, product::right_coupling)) {
    const int j0 = last - m + 1;
    blocked::in_widest_vectors<T>(m, [&]<int B>() __attribute__((always_inline)) {
      blocked::solve_right_transposed<T, F, B>(&band(a, m, j0, j0), m, &at(spike, n, p, 1), index_t(n),
                                               top2 - p + 1, m);
    });
    return;
  }
  for (int v = 1; v <= m; ++v) {
    const int j = last - m + v;
    const T w = pivot_reciprocal<F>(band(a, m, j, j));
    for (int x = p; x <= top2; ++x) at(spike, n, x, v) = times_pivot_reciprocal<F>(at(spike, n, x, v), w);
    const int iend = std::min(last, j + m);
    for (int i = j + 1; i <= iend; ++i) {
      const int vi = v + i - j;
      const T aij = adjoint<F>(band(a, m, i, j));
      for (int x = p; x <= top2; ++x) at(spike, n, x, vi) = mul_sub(at(spike, n, x, vi), aij, at(spike, n, x, v));
    }
  }
}

/// Left-partner contribution (S4): b ← b − X·x_left on the block's rows.
template <class T>
void left_partner_contribution(T* b, const int& n, const int& m, const int& nrhs, T* spike,
                               const int& blocksize, const int& distance, const int& first, const int& last) {
  const int p = first - distance;
  for (int s = 1; s <= nrhs; ++s) {
    for (int v = 1; v <= m; ++v) {
      const int j = p + blocksize - m + v - 1;
      const T bj = at(b, n, j, s);
      for (int x = first; x <= last; ++x) at(b, n, x, s) = mul_sub(at(b, n, x, s), bj, at(spike, n, x, v));
    }
  }
}

/// Right-partner contribution (S4): b ← b − Yᵀ·x_right (b − Yᴴ·x_right) on the
/// block's last m rows, Yᵀ (Yᴴ) read back from tspike.
template <class T>
void right_partner_contribution(T* b, const int& n, const int& m, const int& nrhs, T* tspike,
                                const int& blocksize, const int& distance, const int& first, const int& last) {
  const int p = first + distance;
  const int q = std::min(m, std::min(n, p + blocksize - 1) - p + 1);
  for (int s = 1; s <= nrhs; ++s) {
    for (int t = 0; t <= q - 1; ++t) {
      const T bp = at(b, n, p + t, s);
      for (int k = 0; k <= m - 1; ++k)
        at(b, n, last - k, s) = mul_sub(at(b, n, last - k, s), bp, at(tspike, m, m - k, last + 1 + t));
    }
  }
}

/// Backward substitution (S4): b ← L_b⁻ᵀ·b (L_b⁻ᴴ·b) on the block's rows.
template <class T, form F>
void backward_substitution(T* a, const int& n, const int& m, T* b, const int& nrhs, const int& first,
                           const int& last) {
  for (int s = 1; s <= nrhs; ++s) {
    for (int x = last; x >= first; --x) {
      T& bx = at(b, n, x, s);
      const int yend = std::min(last, x + m);
      for (int y = x + 1; y <= yend; ++y) bx = mul_sub(bx, at(b, n, y, s), adjoint<F>(band(a, m, y, x)));
      bx = divide_by_block_pivot<F>(bx, band(a, m, x, x));
    }
  }
}

/// S1: the factorisation of a level-0 block, then, unless a pivot of the stage
/// has failed, its left spike from the band and its forward substitution. False
/// when the stage's failure flag is set; a pivot of this block that fails has
/// its row recorded in row.
template <class T, form F>
bool eliminate_from_band(T* a, const int& n, const int& m, T* spike, T* b, const int& nrhs, const int& first,
                         const int& last, const real_type<T>& eps, int* info, int* row, const int& parity) {
  if (const int failed = decompose_block<T, F>(a, m, first, last, eps, info, parity)) record_row(row, failed);
  if (read_flag(info, parity) != 0) return false;
  left_spike_from_band<T, F>(a, n, m, spike, first, last);
  forward_substitution<T, F>(a, n, m, b, nrhs, first, last);
  return true;
}

/// S3: the factorisation of a level-r block, then, unless a pivot of the stage
/// has failed, its left spike from the fill (when it has a left partner) and
/// its forward substitution. False when the stage's failure flag is set; row as
/// for eliminate_from_band.
template <class T, form F>
bool eliminate_from_fill(T* a, const int& n, const int& m, T* spike, T* b, const int& nrhs, const int& first,
                         const int& last, const bool& left, const real_type<T>& eps, int* info, int* row,
                         const int& parity) {
  if (const int failed = decompose_block<T, F>(a, m, first, last, eps, info, parity)) record_row(row, failed);
  if (read_flag(info, parity) != 0) return false;
  if (left) left_spike_from_fill<T, F>(a, n, m, spike, first, last);
  forward_substitution<T, F>(a, n, m, b, nrhs, first, last);
  return true;
}

/// The generic steps have no paired form: one block after the other.
template <class T, form F>
void backward_substitution_pair(T* a, const int& n, const int& m, T* b, const int& nrhs, const block_range& one,
                                const block_range& two) {
  backward_substitution<T, F>(a, n, m, b, nrhs, one.first, one.last);
  backward_substitution<T, F>(a, n, m, b, nrhs, two.first, two.last);
}

// ================================================ steps for a fixed bandwidth
//
// The same steps for half bandwidth M (1 … narrow_limit), with the same
// operations in the same order for every element; only the loops differ. They
// run across the M columns of the spike (or the rows of a column) with fixed
// trip counts, keep short columns in local arrays and copy a block's spike rows
// into a row-major tile when the work goes along the rows. A case outside their
// shape (a block too short or too long, a partner cut by the end of the matrix)
// goes to the generic step.

/// Elements of the largest tile kept on the stack.
constexpr int tile_capacity = 4096;

/// A block's spike rows as a row-major tile: row t holds spike(first + t, v),
/// v = 1 … M, in its first M of P = pack_width(M) elements (the others are 0).
template <class T, int M> struct tile_shape {
  static constexpr int P = pack_width(M);
  using row = pack<T, P>;
  /// Whether rows rows fit in a tile.
  static bool fits(int rows) { return rows * P <= tile_capacity; }
};

/// tile(t) ← spike row first + t, t = 0 … rows − 1.
template <class T, int M>
void rows_from_spike(const T* spike, const int& n, const int& first, const int& rows, T* tile) {
  constexpr int P = tile_shape<T, M>::P;
  int t0 = 0;
  if constexpr (std::is_same_v<T, float> && M == 8) {
    for (; t0 + 8 <= rows; t0 += 8) {
      const float* columns[8];
      float* out[8];
      for (int v = 0; v < 8; ++v) columns[v] = &at(spike, n, first + t0, v + 1);
      for (int t = 0; t < 8; ++t) out[t] = tile + (t0 + t) * P;
      transpose8(columns, out);
    }
  }
  for (int t = t0; t < rows; ++t) {
    for (int v = 1; v <= M; ++v) tile[t * P + v - 1] = at(spike, n, first + t, v);
    for (int v = M; v < P; ++v) tile[t * P + v] = T(0);
  }
}

/// spike row first + t ← tile(t), t = 0 … rows − 1.
template <class T, int M>
void rows_to_spike(const T* tile, const int& n, const int& first, const int& rows, T* spike) {
  constexpr int P = tile_shape<T, M>::P;
  int t0 = 0;
  if constexpr (std::is_same_v<T, float> && M == 8) {
    for (; t0 + 8 <= rows; t0 += 8) {
      const float* in[8];
      float* columns[8];
      for (int t = 0; t < 8; ++t) in[t] = tile + (t0 + t) * P;
      for (int v = 0; v < 8; ++v) columns[v] = &at(spike, n, first + t0, v + 1);
      transpose8(in, columns);
    }
  }
  for (int t = t0; t < rows; ++t)
    for (int v = 1; v <= M; ++v) at(spike, n, first + t, v) = tile[t * P + v - 1];
}

/// The two triangular solves with the block's factor, L_b·X = C for the tile
/// (when there is one) and L_b·y = b for the right-hand sides, row by row: row
/// x takes the updates of the rows x′ = max(first, x − M) … x − 1 in ascending
/// order and is then divided by a(x, x), exactly as the column-by-column loops
/// of solve_spike_columns and forward_substitution do it. The tile holds the
/// first M rows of C; its further rows are zero in both couplings the kernel
/// solves for (C_left, and the fill) and are not read. Row x needs only the
/// finished columns x − M … x of the factor, so the solves can go along with
/// the factorisation, a row as soon as its column is done; the row just
/// finished stays in registers for the next.
template <class T, int M> class row_solver {
 public:
  row_solver(const T* a, const int& n, T* tile, T* b, const int& nrhs, const int& first)
      : a_(a), n_(n), tile_(tile), b_(b), nrhs_(nrhs), first_(first) {}

  [[gnu::always_inline]] void operator()(const int& x) {
    constexpr int m = M;
    const T* ax = a_ + (index_t(m) * (x - 1) + (x - 1));  // a(x, x); a(x, x − k) = ax[−m·k]
    const T d = *ax;
    const int count = std::min(x - first_, M);
    if (tile_ != nullptr) {
      T* stored = tile_ + index_t(x - first_) * P;
      row r = x - first_ < M ? row::load(stored) : row::zero();
      if (count == M) {
#pragma GCC unroll 16
        for (int k = M; k >= 2; --k) r = mul_sub(r, ax[-index_t(m) * k], row::load(stored - index_t(k) * P));
      } else {
        for (int k = count; k >= 2; --k) r = mul_sub(r, ax[-index_t(m) * k], row::load(stored - index_t(k) * P));
      }
      if (count >= 1) r = mul_sub(r, ax[-index_t(m)], previous_);
      previous_ = divide_by(r, d);
      previous_.store(stored);
    }
    if (nrhs_ >= 1) {
      T* bs = b_ + (x - 1);
      T bx = *bs;
      if (count == M) {
#pragma GCC unroll 16
        for (int k = M; k >= 2; --k) bx = mul_sub(bx, ax[-index_t(m) * k], bs[-k]);
      } else {
        for (int k = count; k >= 2; --k) bx = mul_sub(bx, ax[-index_t(m) * k], bs[-k]);
      }
      if (count >= 1) bx = mul_sub(bx, ax[-index_t(m)], bprevious_);
      bprevious_ = divide_by(bx, d);
      *bs = bprevious_;
    }
    for (int s = 2; s <= nrhs_; ++s) {
      T* bs = &at(b_, n_, x, s);
      T bx = *bs;
      for (int k = count; k >= 1; --k) bx = mul_sub(bx, ax[-index_t(m) * k], bs[-k]);
      *bs = divide_by(bx, d);
    }
  }

 private:
  static constexpr int P = tile_shape<T, M>::P;
  using row = typename tile_shape<T, M>::row;
  const T* a_;
  const int n_;
  T* const tile_;
  T* const b_;
  const int nrhs_;
  const int first_;
  row previous_ = row::zero();  // tile row x − 1, finished
  T bprevious_ = T(0);          // b(x − 1, 1), finished
};

/// Right-hand-side elements that an elimination keeps aside.
constexpr int saved_capacity = 1024;

/// One block's elimination for m = M, a column at a time: the factorisation as
/// decompose_csp does it, with the tile (when there is one) and the right-hand
/// sides solved along with it. b is kept aside first, so that undo() can put it
/// back when a pivot fails, in this block or in another block of the stage (the
/// tile is then left partly solved).
template <class T, int M> class elimination {
 public:
  elimination(T* a, const int& n, T* tile, T* b, const int& nrhs, const block_range& block, const real_type<T>& eps,
              int* info, const int& parity)
      : a_(a),
        n_(n),
        b_(b),
        nrhs_(nrhs),
        block_(block),
        rows_(block.last - block.first + 1),
        along_(index_t(std::max(nrhs, 0)) * rows_ <= saved_capacity),
        factor_(a, block.first, block.last, eps, info, parity),
        solve_(a, n, tile, b, along_ ? nrhs : 0, block.first) {
    if (along_)
      for (int s = 1; s <= nrhs_; ++s) std::copy_n(&at(b_, n_, block_.first, s), rows_, saved_ + index_t(s - 1) * rows_);
  }

  bool done() const { return factor_.done(); }
  /// The column that column() factorises next.
  int next() const { return factor_.next(); }

  /// The next column and the rows it finishes; false when its pivot fails.
  [[gnu::always_inline]] bool column() {
    const int i = factor_.next();
    if (!factor_.step()) return false;
    solve_(i);
    return true;
  }

  /// The right-hand sides as they were.
  void undo() {
    if (along_)
      for (int s = 1; s <= nrhs_; ++s) std::copy_n(saved_ + index_t(s - 1) * rows_, rows_, &at(b_, n_, block_.first, s));
  }

  /// After the last column: the right-hand sides that were too many to keep aside.
  void finish() {
    if (along_) return;
    row_solver<T, M> forward(a_, n_, nullptr, b_, nrhs_, block_.first);
    for (int x = block_.first; x <= block_.last; ++x) forward(x);
  }

 private:
  T* const a_;
  const int n_;
  T* const b_;
  const int nrhs_;
  const block_range block_;
  const int rows_;
  const bool along_;
  banded_factor<T, M> factor_;
  row_solver<T, M> solve_;
  T saved_[saved_capacity];
};

/// Eliminates one block (see elimination); false when a pivot of the stage has
/// failed, b then as it was (a failing pivot of this block has its row recorded
/// in row).
template <class T, int M>
bool eliminate(T* a, const int& n, T* tile, T* b, const int& nrhs, const block_range& block,
               const real_type<T>& eps, int* info, int* row, const int& parity) {
  elimination<T, M> e(a, n, tile, b, nrhs, block, eps, info, parity);
  while (!e.done()) {
    const int i = e.next();
    if (!e.column()) {
      record_row(row, i);
      e.undo();
      return false;
    }
  }
  if (read_flag(info, parity) != 0) {
    e.undo();
    return false;
  }
  e.finish();
  return true;
}

/// How a block's left spike is formed in the narrow steps.
enum class left_spike { none, tile, generic };

/// S1: the tile C_left of a level-0 block (row first + t against row
/// first − M + v − 1, nonzero for t < v), when the block's shape allows one.
template <class T, int M>
left_spike tile_from_band(const T* a, const int& m, const block_range& block, T* tile) {
  using shape = tile_shape<T, M>;
  const int first = block.first, rows = block.last - block.first + 1;
  const int q = first - std::max(1, first - M);
  if (q == 0) return left_spike::none;
  if (q != M || !shape::fits(rows)) return left_spike::generic;
  for (int t = 0; t < std::min(M, rows); ++t) {
    T* r = tile + t * shape::P;
    for (int v = 1; v <= shape::P; ++v) r[v - 1] = t < v && v <= M ? band(a, m, first + t, first - M + v - 1) : T(0);
  }
  return left_spike::tile;
}

/// S3: the tile of a level-r block, the fill F in its first M rows (the rows
/// after them are zero; fill_m leaves them unwritten for a block whose tile
/// fits), when the block has a left partner and its shape allows a tile.
template <class T, int M>
left_spike tile_from_fill(const T* spike, const int& n, const block_range& block, const bool& left, T* tile) {
  const int rows = block.last - block.first + 1;
  if (!left) return left_spike::none;
  if (!tile_shape<T, M>::fits(rows)) return left_spike::generic;
  rows_from_spike<T, M>(spike, n, block.first, std::min(M, rows), tile);
  return left_spike::tile;
}

/// S1 for m = M: the factorisation, the left spike from the band and the
/// forward substitution of one level-0 block in one sweep.
template <class T, int M>
bool eliminate_from_band_m(T* a, const int& n, const int& m, T* spike, T* b, const int& nrhs, const int& first,
                           const int& last, const real_type<T>& eps, int* info, int* row, const int& parity) {
  const block_range block{first, last};
  alignas(64) T tile[tile_capacity];
  const left_spike kind = tile_from_band<T, M>(a, m, block, tile);
  if (kind == left_spike::generic)
    return eliminate_from_band<T, form::symmetric>(a, n, m, spike, b, nrhs, first, last, eps, info, row, parity);
  T* const t = kind == left_spike::tile ? tile : nullptr;
  if (!eliminate<T, M>(a, n, t, b, nrhs, block, eps, info, row, parity)) return false;
  if (t != nullptr) rows_to_spike<T, M>(tile, n, first, last - first + 1, spike);
  return true;
}

/// S3 for m = M: the factorisation, the left spike from the fill (when the
/// block has a left partner) and the forward substitution in one sweep.
template <class T, int M>
bool eliminate_from_fill_m(T* a, const int& n, const int& m, T* spike, T* b, const int& nrhs, const int& first,
                           const int& last, const bool& left, const real_type<T>& eps, int* info, int* row,
                           const int& parity) {
  const block_range block{first, last};
  alignas(64) T tile[tile_capacity];
  const left_spike kind = tile_from_fill<T, M>(spike, n, block, left, tile);
  if (kind == left_spike::generic)
    return eliminate_from_fill<T, form::symmetric>(a, n, m, spike, b, nrhs, first, last, left, eps, info, row, parity);
  T* const t = kind == left_spike::tile ? tile : nullptr;
  if (!eliminate<T, M>(a, n, t, b, nrhs, block, eps, info, row, parity)) return false;
  if (t != nullptr) rows_to_spike<T, M>(tile, n, first, last - first + 1, spike);
  return true;
}

/// Right coupling from the band (S1) when the next block has M rows and this
/// one at least M: column v of C_right holds rows last + 1 … last + v, and only
/// those are scaled and passed on, as in the generic step.
template <class T, int M>
void right_coupling_from_band_m(T* a, const int& n, const int& m, T* spike, const int& first, const int& last) {
  using column = pack<T, pack_width(M)>;
  if (last >= n) return;
  if (last + M > n || last - M + 1 < first) {
    right_coupling_from_band<T, form::symmetric>(a, n, m, spike, first, last);
    return;
  }
  column c[M];  // element t of c[v − 1]: spike(last + 1 + t, v)
  for (int v = 1; v <= M; ++v) {
    c[v - 1] = column::zero();
    for (int t = 0; t < v; ++t) c[v - 1].set(t, band(a, m, last + 1 + t, last - M + v));
  }
#pragma GCC unroll 16
  for (int v = 1; v <= M; ++v) {
    const int j = last - M + v;
    const T w = reciprocal(band(a, m, j, j));
    c[v - 1] = select_up_to(v - 1, mul(c[v - 1], w), c[v - 1]);
    for (int i = j + 1; i <= last; ++i) {
      const int vi = v + i - j;
      c[vi - 1] = select_up_to(v - 1, mul_sub(c[vi - 1], band(a, m, i, j), c[v - 1]), c[vi - 1]);
    }
  }
  for (int v = 1; v <= M; ++v) c[v - 1].store_first(&at(spike, n, last + 1, v), M);
}

/// Right-partner update (S2): σ(u, ·) for all u at once, row by row of the
/// partner's spike, each summed from zero in ascending rows; b(j) for the first
/// right-hand side in the same sweep, the others one sweep each.
template <class T, int M>
void right_partner_update_m(T* a, const int& n, const int& m, T* b, const int& nrhs, T* spike,
                            const int& blocksize, const int& distance, const int& first, const int& last) {
  using shape = tile_shape<T, M>;
  using row = typename shape::row;
  constexpr int P = shape::P;
  if (last - M + 1 < first) {
    right_partner_update<T, form::symmetric>(a, n, m, b, nrhs, spike, blocksize, distance, first, last);
    return;
  }
  const int p = first + distance;
  const int pe = std::min(n, p + blocksize - 1);
  row sigma[M];  // sigma[u − 1] element v − 1: Σ spike(x, v)·spike(x, u)
  for (int u = 0; u < M; ++u) sigma[u] = row::zero();
  row bj = row::zero();  // b(last − M + v, 1) in element v − 1
  T* const b1 = nrhs >= 1 ? &at(b, n, 1, 1) : nullptr;
  if (b1 != nullptr)
    for (int v = 1; v <= M; ++v) bj.set(v - 1, entry(b1, last - M + v));
  // The partner's rows, a chunk at a time through a small tile.
  constexpr int chunk = 8;
  alignas(64) T rows[chunk * P];
  for (int x0 = p; x0 <= pe; x0 += chunk) {
    const int count = std::min(chunk, pe - x0 + 1);
    rows_from_spike<T, M>(spike, n, x0, count, rows);
    for (int t = 0; t < count; ++t) {
      const row r = row::load(rows + t * P);
#pragma GCC unroll 16
      for (int u = 0; u < M; ++u) sigma[u] = add_mul(sigma[u], r, rows[t * P + u]);
      if (b1 != nullptr) bj = mul_sub(bj, r, entry(b1, x0 + t));
    }
  }
  for (int v = 1; v <= M; ++v) {
    const int j = last - M + v;
    for (int u = v; u <= M; ++u) band(a, m, last - M + u, j) = band(a, m, last - M + u, j) - sigma[u - 1].get(v - 1);
  }
  if (b1 == nullptr) return;
  for (int v = 1; v <= M; ++v) entry(b1, last - M + v) = bj.get(v - 1);
  for (int s = 2; s <= nrhs; ++s) {
    T* bs = &at(b, n, 1, s);
    for (int v = 1; v <= M; ++v) {
      T& bv = entry(bs, last - M + v);
      const T* column = &at(spike, n, 1, v);
      for (int x = p; x <= pe; ++x) bv = mul_sub(bv, column[x - 1], entry(bs, x));
    }
  }
}

/// Left-partner update (S2) when the block's first M rows and the band columns
/// after them lie in the matrix: Y (M × M) in local columns, each band column r
/// of the block's first rows updated in a pack.
template <class T, int M>
void left_partner_update_m(T* a, const int& n, const int& m, T* b, const int& nrhs, T* tspike, T* spike,
                           const int& blocksize, const int& distance, const int& first) {
  constexpr int P = pack_width(M);
  using column = pack<T, P>;
  if (first + M + P > n) {
    left_partner_update<T, form::symmetric>(a, n, m, b, nrhs, tspike, spike, blocksize, distance, first);
    return;
  }
  const int p = first - distance;
  alignas(64) T y[M + 1][P];  // y[v − 1][t] = spike(first + t, v); one spare row for loads past the end
  for (int v = 1; v <= M; ++v) column::load_first(&at(spike, n, first, v), M).store(y[v - 1]);
  column::zero().store(y[M]);
  // a(x, r) ← a(x, r) − Y(r, v)·Y(x, v) for v ascending, r = first + tr, x = r … first + M − 1;
  // the pack also reads rows of column r past first + M − 1 and leaves them alone.
#pragma GCC unroll 16
  for (int tr = 0; tr < M; ++tr) {
    T* ar = &band(a, m, first + tr, first + tr);
    column col = column::load(ar);
    for (int v = 0; v < M; ++v) col = mul_sub(col, y[v][tr], column::load(&y[v][tr]));
    col.store_first(ar, M - tr);
  }
  for (int s = 1; s <= nrhs; ++s) {
    T* bs = &at(b, n, 1, s);
    column rows = column::load_first(&entry(bs, first), M);
    for (int v = 1; v <= M; ++v) rows = mul_sub(rows, entry(bs, p + blocksize - M + v - 1), column::load(y[v - 1]));
    rows.store_first(&entry(bs, first), M);
  }
  // Yᵀ into tspike: column p + L + t holds row t of Y.
  if constexpr (std::is_same_v<T, float> && M == 8) {
    const float* in[8];
    float* out[8];
    for (int v = 0; v < 8; ++v) in[v] = y[v];
    for (int t = 0; t < 8; ++t) out[t] = &at(tspike, M, 1, p + blocksize + t);
    transpose8(in, out);
  } else {
    for (int t = 0; t < M; ++t)
      for (int v = 1; v <= M; ++v) at(tspike, M, v, p + blocksize + t) = y[v - 1][t];
  }
}

/// Fill (S2) when the block's first M rows are all in the matrix: F = −Y·X by
/// columns, F(x, v) summed over k in ascending order from zero; the scratch row
/// ends holding the last row of Y, as after the generic step. The block's
/// further spike rows, which the generic step sets to zero, are read by nothing
/// but the left spike from the fill; when that runs through eliminate_from_fill_m
/// (the block's tile fits) it takes them as zero, and they are not written.
template <class T, int M>
void fill_m(T* a, const int& n, const int& m, T* spike, const int& blocksize, const int& distance,
            const int& first, const int& last) {
  using column = pack<T, pack_width(M)>;
  if (first + M - 1 > n) {
    fill(a, n, m, spike, blocksize, distance, first, last);
    return;
  }
  const int p = first - distance;
  const int xrow = p + blocksize - M - 1;
  const bool zeros_implied = tile_shape<T, M>::fits(last - first + 1);
  column y[M];  // element t of y[k − 1]: Y(first + t, k)
  for (int k = 1; k <= M; ++k) y[k - 1] = column::load_first(&at(spike, n, first, k), M);
  for (int v = 1; v <= M; ++v) {
    column f = column::zero();
#pragma GCC unroll 16
    for (int k = 1; k <= M; ++k) f = mul_sub(f, y[k - 1], at(spike, n, xrow + k, v));
    T* col = &at(spike, n, first, v);
    f.store_first(col, M);
    if (!zeros_implied)
      for (int x = first + M; x <= last; ++x) col[x - first] = T(0);
  }
  for (int k = 1; k <= M; ++k) band(a, m, first + k - 1, first - 1) = y[k - 1].get(M - 1);
}

/// Right coupling from the fill (S3) when the partner's first M rows are all in
/// the matrix and the block has at least M rows.
template <class T, int M>
void right_coupling_from_fill_m(T* a, const int& n, const int& m, T* spike, const int& distance,
                                const int& first, const int& last) {
  using column = pack<T, pack_width(M)>;
  const int p = first + distance;
  if (p + M - 1 > n || last - M + 1 < first) {
    right_coupling_from_fill<T, form::symmetric>(a, n, m, spike, distance, first, last);
    return;
  }
  column c[M];  // element t of c[v − 1]: spike(p + t, v)
  for (int v = 1; v <= M; ++v) c[v - 1] = column::load_first(&at(spike, n, p, v), M);
#pragma GCC unroll 16
  for (int v = 1; v <= M; ++v) {
    const int j = last - M + v;
    const T w = reciprocal(band(a, m, j, j));
    c[v - 1] = mul(c[v - 1], w);
    for (int i = j + 1; i <= last; ++i) c[v + i - j - 1] = mul_sub(c[v + i - j - 1], band(a, m, i, j), c[v - 1]);
  }
  for (int v = 1; v <= M; ++v) c[v - 1].store_first(&at(spike, n, p, v), M);
}

/// Left-partner contribution (S4): each row takes its M products in ascending v,
/// a pack of rows at a time.
template <class T, int M>
void left_partner_contribution_m(T* b, const int& n, const int&, const int& nrhs, T* spike, const int& blocksize,
                                 const int& distance, const int& first, const int& last) {
  constexpr int W = 32 / sizeof(T) > 0 ? 32 / sizeof(T) : 1;  // rows per pack
  using rows = pack<T, W>;
  const int p = first - distance;
  const int x1 = first, x2 = last;
  const T* columns[M];
  for (int v = 1; v <= M; ++v) columns[v - 1] = &at(spike, n, 1, v);
  for (int s = 1; s <= nrhs; ++s) {
    T* bs = &at(b, n, 1, s);
    T bj[M];
    for (int v = 1; v <= M; ++v) bj[v - 1] = entry(bs, p + blocksize - M + v - 1);
    int x = x1;
    for (; x + W - 1 <= x2; x += W) {
      rows bx = rows::load(&entry(bs, x));
#pragma GCC unroll 16
      for (int v = 0; v < M; ++v) bx = mul_sub(bx, bj[v], rows::load(columns[v] + (x - 1)));
      bx.store(&entry(bs, x));
    }
    for (; x <= x2; ++x) {
      T bx = entry(bs, x);
      for (int v = 0; v < M; ++v) bx = mul_sub(bx, bj[v], columns[v][x - 1]);
      entry(bs, x) = bx;
    }
  }
}

/// Right-partner contribution (S4): the block's last M rows in a pack, each
/// taking the partner's rows in ascending order.
template <class T, int M>
void right_partner_contribution_m(T* b, const int& n, const int& m, const int& nrhs, T* tspike,
                                  const int& blocksize, const int& distance, const int& first, const int& last) {
  using column = pack<T, pack_width(M)>;
  if (last - M + 1 < first) {
    right_partner_contribution(b, n, m, nrhs, tspike, blocksize, distance, first, last);
    return;
  }
  const int p = first + distance;
  const int q = std::min(M, std::min(n, p + blocksize - 1) - p + 1);
  for (int s = 1; s <= nrhs; ++s) {
    T* bs = &at(b, n, 1, s);
    // b(last − M + v) ← b(last − M + v) − b(p + t)·tspike(v, last + 1 + t)
    column rows = column::load_first(&entry(bs, last - M + 1), M);
    for (int t = 0; t < q; ++t)
      rows = mul_sub(rows, entry(bs, p + t), column::load_first(&at(tspike, M, 1, last + 1 + t), M));
    rows.store_first(&entry(bs, last - M + 1), M);
  }
}

/// Backward substitution (S4) of one right-hand side on one block, a row at a
/// time; the row just solved stays in a register for the next, whose first
/// update it is.
template <class T, int M> class backward_sweep {
 public:
  backward_sweep(const T* a, T* bs, const int& first, const int& last)
      : a_(a), bs_(bs), x_(last), first_(first), last_(last) {}

  bool done() const { return x_ < first_; }

  /// Solves row x and moves to row x − 1.
  [[gnu::always_inline]] void row() {
    constexpr int m = M;
    const int x = x_;
    const T* ax = &band(a_, m, x, x);  // a(x + k, x) = ax[k]
    T bx = entry(bs_, x);
    if (x + M <= last_) {
      bx = mul_sub(bx, bnext_, ax[1]);
#pragma GCC unroll 16
      for (int k = 2; k <= M; ++k) bx = mul_sub(bx, entry(bs_, x + k), ax[k]);
    } else {
      if (x < last_) bx = mul_sub(bx, bnext_, ax[1]);
      for (int k = 2; k <= last_ - x; ++k) bx = mul_sub(bx, entry(bs_, x + k), ax[k]);
    }
    bnext_ = divide_by(bx, ax[0]);
    entry(bs_, x) = bnext_;
    --x_;
  }

 private:
  const T* a_;
  T* bs_;
  int x_;
  const int first_, last_;
  T bnext_ = T(0);  // b(x + 1), solved
};

template <class T, int M>
void backward_substitution_m(T* a, const int& n, const int& m, T* b, const int& nrhs, const int& first,
                             const int& last) {
  (void)m;
  for (int s = 1; s <= nrhs; ++s) {
    backward_sweep<T, M> sweep(a, &at(b, n, 1, s), first, last);
    while (!sweep.done()) sweep.row();
  }
}

/// Backward substitution of two blocks of the same stage, row by row in turn.
/// Each row waits for a division and the row before it; the two blocks'
/// chains are independent, so the processor works on both at once.
template <class T, int M>
void backward_substitution_pair_m(T* a, const int& n, const int& m, T* b, const int& nrhs, const block_range& one,
                                  const block_range& two) {
  (void)m;
  for (int s = 1; s <= nrhs; ++s) {
    backward_sweep<T, M> first(a, &at(b, n, 1, s), one.first, one.last);
    backward_sweep<T, M> second(a, &at(b, n, 1, s), two.first, two.last);
    while (!first.done() && !second.done()) {
      first.row();
      second.row();
    }
    while (!first.done()) first.row();
    while (!second.done()) second.row();
  }
}

// ======================================== steps for medium bands, real types
//
// Above the narrow limit the real types' steps use the kernels of
// solver/mediumband.h, with the generic steps' operations in their order: the
// spike solve and the forward substitution in one tile, the partners' updates
// and contributions across vectors of rows, the backward substitution with the
// row just solved in a register and two blocks in turn. The products of the
// couplings stay with solver/blockkernels.h, and decompose_block chooses its
// medium-band factorisation itself.

/// S1: the factorisation, then the left spike from the band and the forward
/// substitution in one sweep over the block's rows.
template <class T>
bool eliminate_from_band_medium(T* a, const int& n, const int& m, T* spike, T* b, const int& nrhs,
                                const int& first, const int& last, const real_type<T>& eps, int* info, int* row,
                                const int& parity) {
  constexpr form F = form::symmetric;
  if (const int failed = decompose_block<T, F>(a, m, first, last, eps, info, parity)) record_row(row, failed);
  if (read_flag(info, parity) != 0) return false;
  const int q = first - std::max(1, first - m);
  left_spike_columns_from_band(a, n, m, spike, first, last);
  if (!medium::solve_with_right_hand_sides(&band(a, m, first, first), m, last - first + 1, &at(spike, n, first, 1),
                                           index_t(n), q, nrhs > 0 ? &at(b, n, first, 1) : nullptr, index_t(n),
                                           nrhs)) {
    solve_spike_columns<T, F>(a, n, m, spike, first, last, q);
    forward_substitution<T, F>(a, n, m, b, nrhs, first, last);
  }
  return true;
}

/// S3: the factorisation, then the left spike from the fill (when the block has
/// a left partner) and the forward substitution in one sweep.
template <class T>
bool eliminate_from_fill_medium(T* a, const int& n, const int& m, T* spike, T* b, const int& nrhs,
                                const int& first, const int& last, const bool& left, const real_type<T>& eps,
                                int* info, int* row, const int& parity) {
  constexpr form F = form::symmetric;
  if (const int failed = decompose_block<T, F>(a, m, first, last, eps, info, parity)) record_row(row, failed);
  if (read_flag(info, parity) != 0) return false;
  const int q = left ? m : 0;
  if (!medium::solve_with_right_hand_sides(&band(a, m, first, first), m, last - first + 1, &at(spike, n, first, 1),
                                           index_t(n), q, nrhs > 0 ? &at(b, n, first, 1) : nullptr, index_t(n),
                                           nrhs)) {
    if (left) left_spike_from_fill<T, F>(a, n, m, spike, first, last);
    forward_substitution<T, F>(a, n, m, b, nrhs, first, last);
  }
  return true;
}

/// The whole-vector complements of solver/mediumband.h in the widest vectors,
/// each in a function of its own: inlined into their callers, they kept their
/// accumulators on the stack (the 64-byte ones) or ran 2 % slower (the 32-byte
/// ones, double m = 8 and 16).
template <class T>
[[gnu::noinline]] void whole_vector_outer(T* c, const index_t& ldc, const T* y, const index_t& ldy, const int& m) {
  blocked::in_widest_vectors<T>(m, [&]<int B>() __attribute__((always_inline)) {
    medium::subtract_lower_outer<T, B>(c, ldc, y, ldy, m);
  });
}

template <class T>
[[gnu::noinline]] bool whole_vector_gram(T* c, const index_t& ldc, const T* s, const index_t& lds, const int& rows,
                                         const int& m) {
  return blocked::in_widest_vectors<T>(m, [&]<int B>() __attribute__((always_inline)) {
    return medium::subtract_small_gram<T, B>(c, ldc, s, lds, rows, m);
  });
}

/// Left-partner update (S2): the complement through the whole-vector kernel
/// (the register-blocked one on a short last block), the right-hand sides
/// across vectors of rows in ascending v, and Yᵀ into tspike by W × W
/// transposes.
template <class T>
void left_partner_update_medium(T* a, const int& n, const int& m, T* b, const int& nrhs, T* tspike, T* spike,
                                const int& blocksize, const int& distance, const int& first) {
  const int p = first - distance;
  const int top = std::min(n, first + m - 1);
  if (top - first + 1 == m && medium::whole_vector_complements<T>(m)) {
    whole_vector_outer(&band(a, m, first, first), index_t(m), &at(spike, n, first, 1), index_t(n), m);
  } else {
    blocked::in_widest_vectors<T>(m, [&]<int B>() __attribute__((always_inline)) {
      blocked::subtract_lower_outer<T, form::symmetric, B>(&band(a, m, first, first), index_t(m),
                                                           &at(spike, n, first, 1), index_t(n), top - first + 1, m);
    });
  }
  for (int s = 1; s <= nrhs; ++s)
    medium::subtract_row_products(&at(b, n, 1, s), &at(b, n, p + blocksize - m, s), spike, index_t(n), m, first,
                                  top);
  medium::transpose(&at(spike, n, first, 1), index_t(n), top - first + 1, m, &at(tspike, m, 1, p + blocksize),
                    index_t(m));
}

/// Right-partner update (S2): the complement with the panel filled by vector
/// transposes (one panel of whole rows in the whole-vector kernel where it
/// fits), the right-hand sides as in the generic step.
template <class T>
void right_partner_update_medium(T* a, const int& n, const int& m, T* b, const int& nrhs, T* spike,
                                 const int& blocksize, const int& distance, const int& first, const int& last) {
  const int p = first + distance;
  const int pe = std::min(n, p + blocksize - 1);
  const int j0 = last - m + 1;
  const T* x = &at(spike, n, p, 1);
  const bool whole = medium::whole_vector_complements<T>(m) &&
                     whole_vector_gram(&band(a, m, j0, j0), index_t(m), x, index_t(n), pe - p + 1, m);
  if (!whole && !blocked::in_widest_vectors<T>(m, [&]<int B>() __attribute__((always_inline)) {
        return medium::subtract_lower_gram<T, B>(&band(a, m, j0, j0), index_t(m), x, index_t(n), pe - p + 1, m);
      })) {
    right_partner_update<T, form::symmetric>(a, n, m, b, nrhs, spike, blocksize, distance, first, last);
    return;
  }
  for (int s = 1; s <= nrhs; ++s)
    blocked::subtract_transposed_product(&at(b, n, j0, s), x, index_t(n), pe - p + 1, m, &at(b, n, p, s));
}

/// Left-partner contribution (S4), rows across vectors, columns in ascending v.
template <class T>
void left_partner_contribution_medium(T* b, const int& n, const int& m, const int& nrhs, T* spike,
                                      const int& blocksize, const int& distance, const int& first, const int& last) {
  const int p = first - distance;
  for (int s = 1; s <= nrhs; ++s)
    medium::subtract_row_products(&at(b, n, 1, s), &at(b, n, p + blocksize - m, s), spike, index_t(n), m, first,
                                  last);
}

/// Right-partner contribution (S4): the block's last m rows across vectors,
/// the partner's rows in ascending order.
template <class T>
void right_partner_contribution_medium(T* b, const int& n, const int& m, const int& nrhs, T* tspike,
                                       const int& blocksize, const int& distance, const int& first,
                                       const int& last) {
  const int p = first + distance;
  const int q = std::min(m, std::min(n, p + blocksize - 1) - p + 1);
  for (int s = 1; s <= nrhs; ++s)
    medium::subtract_row_products(&at(b, n, last - m + 1, s), &at(b, n, p, s), &at(tspike, m, 1, last + 1),
                                  index_t(m), q, 1, m);
}

template <class T>
void backward_substitution_medium(T* a, const int& n, const int& m, T* b, const int& nrhs, const int& first,
                                  const int& last) {
  medium::backward_substitution<T>(a, n, m, b, nrhs, first, last);
}

template <class T>
void backward_substitution_pair_medium(T* a, const int& n, const int& m, T* b, const int& nrhs,
                                       const block_range& one, const block_range& two) {
  medium::backward_substitution_pair<T>(a, n, m, b, nrhs, one.first, one.last, two.first, two.last);
}

// ------------------------------------------------------ choice of the steps

/// The block steps the kernel calls, in the variant for one bandwidth.
template <class T> struct block_steps {
  bool (*eliminate_from_band)(T*, const int&, const int&, T*, T*, const int&, const int&, const int&,
                              const real_type<T>&, int*, int*, const int&);
  void (*right_coupling_from_band)(T*, const int&, const int&, T*, const int&, const int&);
  void (*right_partner_update)(T*, const int&, const int&, T*, const int&, T*, const int&, const int&, const int&,
                               const int&);
  void (*left_partner_update)(T*, const int&, const int&, T*, const int&, T*, T*, const int&, const int&,
                              const int&);
  void (*fill)(T*, const int&, const int&, T*, const int&, const int&, const int&, const int&);
  bool (*eliminate_from_fill)(T*, const int&, const int&, T*, T*, const int&, const int&, const int&, const bool&,
                              const real_type<T>&, int*, int*, const int&);
  void (*right_coupling_from_fill)(T*, const int&, const int&, T*, const int&, const int&, const int&);
  void (*left_partner_contribution)(T*, const int&, const int&, const int&, T*, const int&, const int&,
                                    const int&, const int&);
  void (*right_partner_contribution)(T*, const int&, const int&, const int&, T*, const int&, const int&,
                                     const int&, const int&);
  void (*backward_substitution)(T*, const int&, const int&, T*, const int&, const int&, const int&);
  void (*backward_substitution_pair)(T*, const int&, const int&, T*, const int&, const block_range&,
                                     const block_range&);
};

template <class T, form F>
constexpr block_steps<T> generic_steps = {
    eliminate_from_band<T, F>,       right_coupling_from_band<T, F>,  right_partner_update<T, F>,
    left_partner_update<T, F>,       fill<T>,                         eliminate_from_fill<T, F>,
    right_coupling_from_fill<T, F>,  left_partner_contribution<T>,    right_partner_contribution<T>,
    backward_substitution<T, F>,     backward_substitution_pair<T, F>};

template <class T, int M>
constexpr block_steps<T> banded_steps = {
    eliminate_from_band_m<T, M>,         right_coupling_from_band_m<T, M>,   right_partner_update_m<T, M>,
    left_partner_update_m<T, M>,         fill_m<T, M>,                       eliminate_from_fill_m<T, M>,
    right_coupling_from_fill_m<T, M>,    left_partner_contribution_m<T, M>,  right_partner_contribution_m<T, M>,
    backward_substitution_m<T, M>,       backward_substitution_pair_m<T, M>};

template <class T>
constexpr block_steps<T> medium_steps = {
    eliminate_from_band_medium<T>,                right_coupling_from_band<T, form::symmetric>,
    right_partner_update_medium<T>,               left_partner_update_medium<T>,
    fill<T>,                                      eliminate_from_fill_medium<T>,
    right_coupling_from_fill<T, form::symmetric>, left_partner_contribution_medium<T>,
    right_partner_contribution_medium<T>,         backward_substitution_medium<T>,
    backward_substitution_pair_medium<T>};

template <class T, std::size_t... I>
constexpr std::array<const block_steps<T>*, sizeof...(I)> banded_step_table(std::index_sequence<I...>) {
  return {&banded_steps<T, int(I) + 1>...};
}

/// The steps for half bandwidth m in form F (the narrow- and medium-band steps
/// are real, so symmetric, only).
template <class T, form F> const block_steps<T>& steps_for(const int& m) {
  if constexpr (narrow_limit<T> > 0) {
    static constexpr auto table = banded_step_table<T>(std::make_index_sequence<narrow_limit<T>>());
    if (use_narrow_steps<T>(m)) return *table[m - 1];
    if (use_medium_steps<T>(m)) return medium_steps<T>;
  }
  return generic_steps<T, F>;
}

// ===================================================================== kernel


/// The most blocks a task takes at once.
constexpr int max_taken = 8;

/// Hands out the stage's next blocks under the lock: for each, first ← counter
/// and counter advanced by stride, while counter ≤ until; 0 once the blocks are
/// used up. A block's work takes a microsecond or two, and a contended lock puts
/// a task to sleep in the kernel, which costs more than that; so a task takes up
/// to max_taken blocks at once while the stage has at least four per task and
/// batch left, down to one block each at its end, where the tasks share the last
/// blocks evenly. A task count below 1 counts as one task.
int take_blocks(const int& lock, int& counter, const int& stride, const int& until, const int& n,
                const int& blocksize, const int& ntasks, block_range* taken) {
  mtask::lockonparallellock(lock);
  int count = 0;
  if (counter <= until) {
    const index_t remaining = (index_t(until) - counter) / stride + 1;
    const index_t tasks = std::max(ntasks, 1);
    const int wanted = int(std::clamp<index_t>(remaining / (4 * tasks), 1, max_taken));
    for (; count < wanted && counter <= until; ++count) {
      taken[count].first = counter;
      counter = counter + stride;
    }
  }
  mtask::unlockparallellock(lock);
  for (int k = 0; k < count; ++k) taken[k].last = std::min(n, taken[k].first + blocksize - 1);
  return count;
}

/// Hands out the stage's next blocks from runs (solver/kernel.h) under the lock:
/// the stage's blocks, first rows counter, counter + stride, … up to until, cut
/// into one run per task, ntasks runs of equal length to within a block; the
/// blocks come from the task's own run home, and once that is used up from the
/// runs after it in turn. Within a run they go in ascending rows, in batches
/// that shrink towards the run's end as take_blocks's do; 0 once every run is
/// used up. The runs cover the stage's rows the same way in every stage, so a
/// task keeps to the same rows.
int take_from_runs(const int& lock, block_runs& runs, const int& home, const int& counter, const int& stride,
                   const int& until, const int& n, const int& blocksize, const int& ntasks, block_range* taken) {
  mtask::lockonparallellock(lock);
  const index_t blocks = counter <= until ? (index_t(until) - counter) / stride + 1 : 0;
  const int tasks = std::clamp(ntasks, 1, block_runs::most);
  int count = 0;
  for (int k = 0; k < tasks && count == 0; ++k) {
    const int run = (home + k) % tasks;
    const index_t next = blocks * run / tasks + runs.taken[run], end = blocks * (run + 1) / tasks;
    if (next >= end) continue;
    const int wanted = int(std::clamp<index_t>((end - next) / 4, 1, max_taken));
    for (; count < wanted && next + count < end; ++count) taken[count].first = int(counter + (next + count) * stride);
    runs.taken[run] += count;
  }
  mtask::unlockparallellock(lock);
  for (int k = 0; k < count; ++k) taken[k].last = std::min(n, taken[k].first + blocksize - 1);
  return count;
}

/// Asks the processor to bring rows first … last of columns 1 … columns of x
/// (leading dimension ld) into the cache; Write when they are to be written.
/// The spike columns lie n elements apart, and a block touches a few lines of
/// each, too short a stretch for the processor's own prefetching to see.
/// Always inlined: a function that only prefetches has no effect the compiler
/// can see, and GCC drops every call of it.
template <bool Write, class T>
[[gnu::always_inline]] inline void prefetch_rows(const T* x, const int& ld, const int& columns, const int& first,
                                                 const int& last) {
  constexpr int line = 64;
  for (int v = 1; v <= columns; ++v) {
    const char* begin = reinterpret_cast<const char*>(&at(x, ld, first, v));
    const char* end = reinterpret_cast<const char*>(&at(x, ld, last, v)) + sizeof(T);
    for (const char* p = begin; p < end; p += line) __builtin_prefetch(p, Write ? 1 : 0);
    __builtin_prefetch(end - 1, Write ? 1 : 0);
  }
}

/// One task's work in the stages of a solve: the blocks of a stage taken from
/// its counter and the steps run on each. n, m, nrhs and blocksize refer to the
/// task's own copies, and the values fixed during a stage come with each call,
/// so that a task's block loop reads nothing shared but the block counter and
/// the failure flag.
template <class T, form F> class stage_worker {
 public:
  stage_worker(T* a, const int& n, const int& m, T* b, const int& nrhs, T* tspike, T* spike, const int& lock,
               const int& blocksize, const int& ntasks, const real_type<T>& eps, int* info, int* row,
               block_runs* runs = nullptr)
      : a(a), n(n), m(m), b(b), nrhs(nrhs), tspike(tspike), spike(spike), lock(lock), blocksize(blocksize),
        ntasks(ntasks), eps(eps), info(info), row(row), step(steps_for<T, F>(m)),
        prefetching(index_t(m) * index_t(sizeof(T)) <= 64), runs(runs) {
    if (runs != nullptr) {
      mtask::lockonparallellock(lock);
      home = runs->arrivals++ % std::clamp(ntasks, 1, block_runs::most);
      mtask::unlockparallellock(lock);
    }
  }

  /// The stage's blocks, from counter on while it is at most until. Returns
  /// when they are used up, or when an elimination stage's flag is set and
  /// this task has nothing left to do for the failing row.
  void run(const stage_kind& kind, const stage_values& now, int& counter, const int& until, const int& parity) {
    switch (kind) {
      case stage_kind::eliminate_band:
        // S1: eliminate level 0, the blocks of even index.
        each_block(counter, now, until, [&](const block_range& block) {
          const int &first = block.first, &last = block.last;
          if (read_flag(info, parity) != 0) return locate_failure(block, parity);
          if (!step.eliminate_from_band(a, n, m, spike, b, nrhs, first, last, eps, info, row, parity)) {
            return row != nullptr;
          }
          step.right_coupling_from_band(a, n, m, spike, first, last);
          return true;
        }, [&](const block_range& block) {
          prefetch_rows<true>(spike, n, m, block.first, block.last);
          prefetch_rows<true>(b, n, nrhs, block.first, block.last);
        });
        return;
      case stage_kind::update:
        // S2(r): the survivors receive the Schur complements of the eliminated blocks.
        each_block(counter, now, until, [&](const block_range& block) {
          const int &d = now.distance, &first = block.first, &last = block.last;
          if (first + d <= n) step.right_partner_update(a, n, m, b, nrhs, spike, blocksize, d, first, last);
          if (first - d >= now.levelfirst) {
            step.left_partner_update(a, n, m, b, nrhs, tspike, spike, blocksize, d, first);
            if (first - d > now.levelfirst) step.fill(a, n, m, spike, blocksize, d, first, last);
          }
          return true;
        }, [&](const block_range& block) {
          const int &d = now.distance, &first = block.first;
          // The right partner's spike and right-hand sides.
          if (const int p = first + d; p <= n) {
            const int pe = std::min(n, p + blocksize - 1);
            prefetch_rows<false>(spike, n, m, p, pe);
            prefetch_rows<false>(b, n, nrhs, p, pe);
          }
          // The block's right coupling Y in its first m spike rows (the left
          // partner's complement, then the fill in place) and the left
          // partner's spike X in its last m rows (the fill's other operand).
          if (first - d >= now.levelfirst) {
            prefetch_rows<true>(spike, n, m, first, std::min(n, first + m - 1));
            const int x = first - d + blocksize - m;
            prefetch_rows<false>(spike, n, m, x, x + m - 1);
          }
        });
        return;
      case stage_kind::eliminate_fill:
        // S3(r): eliminate level r.
        each_block(counter, now, until, [&](const block_range& block) {
          const int &d = now.distance, &first = block.first, &last = block.last;
          const bool left = first - d >= now.levelfirst;
          if (read_flag(info, parity) != 0) return locate_failure(block, parity);
          if (!step.eliminate_from_fill(a, n, m, spike, b, nrhs, first, last, left, eps, info, row, parity)) {
            return row != nullptr;
          }
          if (first + d <= n) step.right_coupling_from_fill(a, n, m, spike, d, first, last);
          return true;
        }, [&](const block_range& block) {
          prefetch_rows<true>(spike, n, m, block.first, block.last);
          prefetch_rows<true>(b, n, nrhs, block.first, block.last);
        });
        return;
      case stage_kind::backward: {
        // S4: one level of the backward sweep.
        const auto contributions = [&](const block_range& block) {
          const int &d = now.distance, &first = block.first, &last = block.last;
          if (first - d >= 1) step.left_partner_contribution(b, n, m, nrhs, spike, blocksize, d, first, last);
          if (first + d <= n) step.right_partner_contribution(b, n, m, nrhs, tspike, blocksize, d, first, last);
        };
        each_pair(
            counter, now, until,
            [&](const block_range& block) {
              contributions(block);
              step.backward_substitution(a, n, m, b, nrhs, block.first, block.last);
              return true;
            },
            [&](const block_range& one, const block_range& two) {
              contributions(one);
              contributions(two);
              step.backward_substitution_pair(a, n, m, b, nrhs, one, two);
              return true;
            },
            [&](const block_range& block) {
              prefetch_rows<false>(spike, n, m, block.first, block.last);
              prefetch_rows<true>(b, n, nrhs, block.first, block.last);
            });
        return;
      }
    }
  }

 private:
  // The stage's blocks, a batch at a time: single(block) for each, until one
  // returns false; ahead(block) asks for the memory of the batch's next block
  // while the current one is worked on.
  template <class Single, class Ahead>
  void each_block(int& counter, const stage_values& now, const int& until, Single single, Ahead ahead) {
    while (const int count = take(counter, now, until)) {
      for (int k = 0; k < count; ++k) {
        if (prefetching && k + 1 < count) ahead(taken[k + 1]);
        if (!single(taken[k])) return;
      }
    }
  }
  // The same with pair(one, two) for two blocks at a time and single(block) for
  // a batch's odd one out.
  template <class Single, class Pair, class Ahead>
  void each_pair(int& counter, const stage_values& now, const int& until, Single single, Pair pair, Ahead ahead) {
    while (const int count = take(counter, now, until)) {
      int k = 0;
      for (; k + 1 < count; k += 2) {
        if (prefetching)
          for (int l = k + 2; l < std::min(k + 4, count); ++l) ahead(taken[l]);
        if (!pair(taken[k], taken[k + 1])) return;
      }
      if (k < count && !single(taken[k])) return;
    }
  }
  // The next batch of the stage's blocks into taken, from the runs or the counter.
  int take(int& counter, const stage_values& now, const int& until) {
    if (runs != nullptr)
      return take_from_runs(lock, *runs, home, counter, now.stride, until, n, blocksize, ntasks, taken);
    return take_blocks(lock, counter, now.stride, until, n, blocksize, ntasks, taken);
  }
  // A block of an elimination stage whose failure flag is set, not started:
  // false without row (the task stops); with row, the block is factorised for
  // its failing row alone while it begins before the first failing row found so
  // far (false once it does not). The blocks come in ascending rows, from the
  // one counter or within each run, and every run is some task's own, which
  // leaves it only when it is used up or at a block at or after the row found;
  // so every block that could fail before the smallest row recorded is
  // factorised, and the row does not depend on the task count.
  bool locate_failure(const block_range& block, const int& parity) {
    if (row == nullptr) return false;
    const int found = recorded_row(row);
    if (found != 0 && block.first >= found) return false;
    if (const int failed = decompose_block<T, F>(a, m, block.first, block.last, eps, info, parity))
      record_row(row, failed);
    return true;
  }

  T* a;
  const int& n;
  const int& m;
  T* b;
  const int& nrhs;
  T* tspike;
  T* spike;
  const int& lock;
  const int& blocksize;
  const int& ntasks;
  const real_type<T>& eps;
  int* info;
  int* row;
  const block_steps<T>& step;
  // The next blocks' memory is asked for where a row of the spike fits in one
  // 64-byte line. There a two-task solve of 25 million band elements took
  // 0.84 to 0.99 of the time without (median 0.89) at double m = 2 and single
  // m = 4 and 8, and 0.83 to 1.0 at complex double m = 2 and 4; at double
  // m = 32 and 128, with hundreds of requests per block, 1.00 to 1.08 times
  // as long (median 1.03), and in between (double m = 16, single m = 32) no
  // measurable change.
  const bool prefetching;
  block_runs* runs;
  int home = 0;  // this task's run
  block_range taken[max_taken];
};

/// One task's share of the solve, with n, m, nrhs and blocksize referring to
/// the task's own copies.
template <class T, form F>
void solve_share(T* a, const int& n, const int& m, T* b, const int& nrhs, T* tspike, T* spike, const int& lock,
                 int* events, const int& blocksize, const int& ntasks, int& levelfactor, int& distance,
                 int& stride, int& levelfirst, int& nextblock, int& backblock, const real_type<T>& eps,
                 int* info, int* row, block_runs* runs) {
  stage_worker<T, F> worker(a, n, m, b, nrhs, tspike, spike, lock, blocksize, ntasks, eps, info, row, runs);
  int parity = 1;
  // The stage barrier, with the runs restarted for the next stage.
  const auto end_stage = [&](auto bookkeeping) {
    stage_barrier(events, parity, ntasks, [&] {
      bookkeeping();
      if (runs != nullptr) runs->restart();
    });
  };
  stage_values now = {distance, stride, levelfirst};

  worker.run(stage_kind::eliminate_band, now, nextblock, n, parity);
  end_stage([&] {
    levelfactor = 2 * levelfactor;
    nextblock = (levelfactor - 1) * blocksize + 1;
  });
  if (read_flag(info, parity) != 0) return;
  parity = 3 - parity;
  now = {distance, stride, levelfirst};

  // Levels r = 1, 2, … until the last one holds at most one block.
  bool reducing = true;
  while (reducing) {
    worker.run(stage_kind::update, now, nextblock, n, parity);
    end_stage([&] {
      const int t = (levelfactor - 1) * blocksize;
      nextblock = t + 1;
      levelfirst = t + 1;
      distance = 2 * distance;
      stride = 2 * stride;
    });
    parity = 3 - parity;
    now = {distance, stride, levelfirst};

    worker.run(stage_kind::eliminate_fill, now, nextblock, n, parity);
    end_stage([&] {
      const int f2 = 2 * levelfactor;
      nextblock = (f2 - 1) * blocksize + 1;
      if (nextblock <= n) {
        levelfactor = f2;
      } else {
        backblock = (levelfactor - 1) * blocksize + 1;
      }
    });
    if (read_flag(info, parity) != 0) return;
    parity = 3 - parity;
    now = {distance, stride, levelfirst};

    // A task already in the backward sweep may be advancing backblock.
    mtask::lockonparallellock(lock);
    reducing = backblock == 0;
    mtask::unlockparallellock(lock);
  }

  // S4: the backward sweep, level R down to level 0.
  do {
    worker.run(stage_kind::backward, now, backblock, n, parity);
    end_stage([&] {
      stride = stride / 2;
      levelfactor = levelfactor / 2;
      distance = distance / 2;
      backblock = (levelfactor - 1) * blocksize + 1;
    });
    parity = 3 - parity;
    now = {distance, stride, levelfirst};
  } while (levelfactor >= 1);
}

}  // namespace

template <class T, form F>
void p_mesolution(T* a, const int& n, const int& m, T* b, const int& nrhs, T* tspike, T* spike, const int& lock,
                  int* events, const int& blocksize, const int& ntasks, int& levelfactor, int& distance,
                  int& stride, int& levelfirst, int& nextblock, int& backblock, const real_type<T>& eps, int* info,
                  int* row, block_runs* runs) {
  // The problem's constants are set before any task starts; ntasks is not (the
  // team may lower it under the lock), so it is read where it is used.
  const int rows = n, band = m, columns = nrhs, length = blocksize;
  solve_share<T, F>(a, rows, band, b, columns, tspike, spike, lock, events, length, ntasks, levelfactor, distance,
                    stride, levelfirst, nextblock, backblock, eps, info, row, runs);
}

template <class T, form F>
void p_stage(T* a, const int& n, const int& m, T* b, const int& nrhs, T* tspike, T* spike, const int& lock,
             const int& blocksize, const int& ntasks, const stage_kind& kind, const stage_values& now,
             int& nextblock, const int& until, const real_type<T>& eps, int* info, int* row) {
  const int rows = n, band = m, columns = nrhs, length = blocksize, last = until;
  const stage_values values = now;
  stage_worker<T, F> worker(a, rows, band, b, columns, tspike, spike, lock, length, ntasks, eps, info, row);
  worker.run(kind, values, nextblock, last, 1);
}

template <class T>
void p_mesolution_csp(T* a, const int& n, const int& m, T* b, const int& nrhs, T* tspike, T* spike,
                      const int& lock, int* events, const int& blocksize, const int& ntasks, int& levelfactor,
                      int& distance, int& stride, int& levelfirst, int& nextblock, int& backblock,
                      const real_type<T>& eps, int* info) {
  p_mesolution<T, form::symmetric>(a, n, m, b, nrhs, tspike, spike, lock, events, blocksize, ntasks, levelfactor,
                                   distance, stride, levelfirst, nextblock, backblock, eps, info, nullptr);
}

#define VELQO_INSTANTIATE_FORM(T, F)                                                                          \
  template void p_mesolution<T, F>(T*, const int&, const int&, T*, const int&, T*, T*, const int&, int*,     \
                                   const int&, const int&, int&, int&, int&, int&, int&, int&,               \
                                   const real_type<T>&, int*, int*, block_runs*);                           \
  template void p_stage<T, F>(T*, const int&, const int&, T*, const int&, T*, T*, const int&, const int&,   \
                              const int&, const stage_kind&, const stage_values&, int&, const int&,         \
                              const real_type<T>&, int*, int*);
VELQO_FOR_EACH_TYPE_AND_FORM(VELQO_INSTANTIATE_FORM)
#undef VELQO_INSTANTIATE_FORM

#define VELQO_INSTANTIATE(T)                                                                              \
  template void p_mesolution_csp<T>(T*, const int&, const int&, T*, const int&, T*, T*, const int&, int*, \
                                    const int&, const int&, int&, int&, int&, int&, int&, int&,           \
                                    const real_type<T>&, int*);
VELQO_INSTANTIATE(float)
VELQO_INSTANTIATE(double)
VELQO_INSTANTIATE(complex4)
VELQO_INSTANTIATE(complex8)
#undef VELQO_INSTANTIATE

void p_mesolution_csp_4(float* a, const int& n, const int& m, float* b, const int& nrhs, float* tspike,
                        float* spike, const int& lock, int* events, const int& blocksize, const int& ntasks,
                        int& levelfactor, int& distance, int& stride, int& levelfirst, int& nextblock,
                        int& backblock, const float& eps, int* info) {
  p_mesolution_csp(a, n, m, b, nrhs, tspike, spike, lock, events, blocksize, ntasks, levelfactor, distance,
                   stride, levelfirst, nextblock, backblock, eps, info);
}
void p_mesolution_csp_8(double* a, const int& n, const int& m, double* b, const int& nrhs, double* tspike,
                        double* spike, const int& lock, int* events, const int& blocksize, const int& ntasks,
                        int& levelfactor, int& distance, int& stride, int& levelfirst, int& nextblock,
                        int& backblock, const double& eps, int* info) {
  p_mesolution_csp(a, n, m, b, nrhs, tspike, spike, lock, events, blocksize, ntasks, levelfactor, distance,
                   stride, levelfirst, nextblock, backblock, eps, info);
}
void p_mesolution_csp_z4(complex4* a, const int& n, const int& m, complex4* b, const int& nrhs,
                         complex4* tspike, complex4* spike, const int& lock, int* events, const int& blocksize,
                         const int& ntasks, int& levelfactor, int& distance, int& stride, int& levelfirst,
                         int& nextblock, int& backblock, const float& eps, int* info) {
  p_mesolution_csp(a, n, m, b, nrhs, tspike, spike, lock, events, blocksize, ntasks, levelfactor, distance,
                   stride, levelfirst, nextblock, backblock, eps, info);
}
void p_mesolution_csp_z8(complex8* a, const int& n, const int& m, complex8* b, const int& nrhs,
                         complex8* tspike, complex8* spike, const int& lock, int* events, const int& blocksize,
                         const int& ntasks, int& levelfactor, int& distance, int& stride, int& levelfirst,
                         int& nextblock, int& backblock, const double& eps, int* info) {
  p_mesolution_csp(a, n, m, b, nrhs, tspike, spike, lock, events, blocksize, ntasks, levelfactor, distance,
                   stride, levelfirst, nextblock, backblock, eps, info);
}

// The named variants of the Hermitian form.
void p_mesolution_hpd_z4(complex4* a, const int& n, const int& m, complex4* b, const int& nrhs,
                         complex4* tspike, complex4* spike, const int& lock, int* events, const int& blocksize,
                         const int& ntasks, int& levelfactor, int& distance, int& stride, int& levelfirst,
                         int& nextblock, int& backblock, const float& eps, int* info) {
  p_mesolution<complex4, form::hermitian>(a, n, m, b, nrhs, tspike, spike, lock, events, blocksize, ntasks,
                                          levelfactor, distance, stride, levelfirst, nextblock, backblock, eps,
                                          info, nullptr);
}
void p_mesolution_hpd_z8(complex8* a, const int& n, const int& m, complex8* b, const int& nrhs,
                         complex8* tspike, complex8* spike, const int& lock, int* events, const int& blocksize,
                         const int& ntasks, int& levelfactor, int& distance, int& stride, int& levelfirst,
                         int& nextblock, int& backblock, const double& eps, int* info) {
  p_mesolution<complex8, form::hermitian>(a, n, m, b, nrhs, tspike, spike, lock, events, blocksize, ntasks,
                                          levelfactor, distance, stride, levelfirst, nextblock, backblock, eps,
                                          info, nullptr);
}

namespace testing {

void force_plain_products(bool plain) { plain_products_only.store(plain, std::memory_order_relaxed); }

}  // namespace testing
}  // namespace velqo
