// The parallel block-cyclic-reduction solve kernel and its numerical block steps.
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
// The file has two halves: the block steps (pure arithmetic on one block, no
// synchronisation) and the kernel (stages, block hand-out and barriers), which
// decides which step runs on which block and never looks inside a step.
//
// Work arrays, both from the caller's workspace: spike(x, v), n × m with leading
// dimension n, holds the couplings by rows of the matrix; tspike(v, x), m × n
// with leading dimension m, keeps the transposed right couplings for the
// backward sweep.
#include <algorithm>

#include "mtask/mtask.h"
#include "solver/flags.h"
#include "solver/kernel.h"
#include "solver/team.h"

namespace velqo {
namespace {

// ================================================================ block steps
//
// Every step works on the block first … last and updates each element in place
// at once. Products go through mul / mul_sub, quotients through divide_by and
// reciprocals through reciprocal (solver/scalar.h), so the complex forms never
// conjugate and round the same way in every task.

/// Solves L_b·X = X in place for the first q columns of spike on the block's
/// rows, L_b being the block's factor.
template <class T>
void solve_spike_columns(T* a, const int& n, const int& m, T* spike, const int& first, const int& last,
                         const int& q) {
  for (int v = 1; v <= q; ++v) {
    for (int x = first; x <= last; ++x) {
      T& sx = at(spike, n, x, v);
      sx = divide_by(sx, band(a, m, x, x));
      const int yend = std::min(last, x + m);
      for (int y = x + 1; y <= yend; ++y) at(spike, n, y, v) = mul_sub(at(spike, n, y, v), band(a, m, y, x), sx);
    }
  }
}

/// Left spike from the band (S1): X = L_b⁻¹·C_left, C_left being the block's
/// rows against the last m rows of the block before it; column v belongs to row
/// first − m + v − 1. The first block of the matrix has none.
template <class T>
void left_spike_from_band(T* a, const int& n, const int& m, T* spike, const int& first, const int& last) {
  const int p0 = std::max(1, first - m);
  const int q = first - p0;
  for (int v = 1; v <= q; ++v) {
    const int r = p0 + v - 1;
    const int xend = std::min(last, r + m);
    for (int x = first; x <= xend; ++x) at(spike, n, x, v) = band(a, m, x, r);
    for (int x = xend + 1; x <= last; ++x) at(spike, n, x, v) = T(0);
  }
  solve_spike_columns(a, n, m, spike, first, last, q);
}

/// Right coupling from the band (S1): Y = C_right·L_b⁻ᵀ, C_right being the first
/// m rows of the next block against the block's last m rows; stored in the
/// spike rows of the next block, column v belonging to row last − m + v.
template <class T>
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
    const T w = reciprocal(band(a, m, j, j));
    for (int x = h0; x <= g0; ++x) at(spike, n, x, v) = mul(at(spike, n, x, v), w);
    const int iend = std::min(last, j + m);
    for (int i = j + 1; i <= iend; ++i) {
      const int vi = v + i - j;
      const T aij = band(a, m, i, j);
      for (int x = h0; x <= g0; ++x) at(spike, n, x, vi) = mul_sub(at(spike, n, x, vi), aij, at(spike, n, x, v));
    }
  }
}

/// Forward substitution (S1, S3): b ← L_b⁻¹·b on the block's rows.
template <class T>
void forward_substitution(T* a, const int& n, const int& m, T* b, const int& nrhs, const int& first,
                          const int& last) {
  for (int s = 1; s <= nrhs; ++s) {
    for (int x = first; x <= last; ++x) {
      T& bx = at(b, n, x, s);
      bx = divide_by(bx, band(a, m, x, x));
      const int yend = std::min(last, x + m);
      for (int y = x + 1; y <= yend; ++y) at(b, n, y, s) = mul_sub(at(b, n, y, s), band(a, m, y, x), bx);
    }
  }
}

/// Right-partner update (S2): the survivor's last m rows receive the Schur
/// complement Xᵀ·X of its right partner's left spike X, and its right-hand
/// sides b − Xᵀ·b_partner. σ is summed in the element type.
template <class T>
void right_partner_update(T* a, const int& n, const int& m, T* b, const int& nrhs, T* spike,
                          const int& blocksize, const int& distance, const int& first, const int& last) {
  const int p = first + distance;
  const int pe = std::min(n, p + blocksize - 1);
  for (int v = 1; v <= m; ++v) {
    const int j = last - m + v;
    for (int u = v; u <= m; ++u) {
      const int k = last - m + u;
      T sigma = T(0);
      for (int x = p; x <= pe; ++x) sigma = sigma + mul(at(spike, n, x, v), at(spike, n, x, u));
      band(a, m, k, j) = band(a, m, k, j) - sigma;
    }
  }
  for (int s = 1; s <= nrhs; ++s) {
    for (int v = 1; v <= m; ++v) {
      const int j = last - m + v;
      T& bj = at(b, n, j, s);
      for (int x = p; x <= pe; ++x) bj = mul_sub(bj, at(spike, n, x, v), at(b, n, x, s));
    }
  }
}

/// Left-partner update (S2): the survivor's first m rows receive the Schur
/// complement Y·Yᵀ of its left partner's right coupling Y, and its right-hand
/// sides b − Y·b_partner; Yᵀ is saved into tspike for the backward sweep.
template <class T>
void left_partner_update(T* a, const int& n, const int& m, T* b, const int& nrhs, T* tspike, T* spike,
                         const int& blocksize, const int& distance, const int& first) {
  const int p = first - distance;
  const int top = std::min(n, first + m - 1);
  for (int v = 1; v <= m; ++v) {
    for (int r = first; r <= top; ++r) {
      const T yr = at(spike, n, r, v);
      for (int x = r; x <= top; ++x) band(a, m, x, r) = mul_sub(band(a, m, x, r), yr, at(spike, n, x, v));
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
    for (int t = 0; t <= top - first; ++t) at(tspike, m, v, p + blocksize + t) = at(spike, n, first + t, v);
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
template <class T>
void left_spike_from_fill(T* a, const int& n, const int& m, T* spike, const int& first, const int& last) {
  solve_spike_columns(a, n, m, spike, first, last, m);
}

/// Right coupling from the fill (S3): Y = F·L_b⁻ᵀ, F being the fill that the
/// right partner received against the block's last m rows; Y replaces F in the
/// partner's first m spike rows.
template <class T>
void right_coupling_from_fill(T* a, const int& n, const int& m, T* spike, const int& distance,
                              const int& first, const int& last) {
  const int p = first + distance;
  const int top2 = std::min(n, p + m - 1);
  for (int v = 1; v <= m; ++v) {
    const int j = last - m + v;
    const T w = reciprocal(band(a, m, j, j));
    for (int x = p; x <= top2; ++x) at(spike, n, x, v) = mul(at(spike, n, x, v), w);
    const int iend = std::min(last, j + m);
    for (int i = j + 1; i <= iend; ++i) {
      const int vi = v + i - j;
      const T aij = band(a, m, i, j);
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

/// Right-partner contribution (S4): b ← b − Yᵀ·x_right on the block's last m
/// rows, Yᵀ read back from tspike.
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

/// Backward substitution (S4): b ← L_b⁻ᵀ·b on the block's rows.
template <class T>
void backward_substitution(T* a, const int& n, const int& m, T* b, const int& nrhs, const int& first,
                           const int& last) {
  for (int s = 1; s <= nrhs; ++s) {
    for (int x = last; x >= first; --x) {
      T& bx = at(b, n, x, s);
      const int yend = std::min(last, x + m);
      for (int y = x + 1; y <= yend; ++y) bx = mul_sub(bx, at(b, n, y, s), band(a, m, y, x));
      bx = divide_by(bx, band(a, m, x, x));
    }
  }
}

// ===================================================================== kernel

/// Hands out the stage's next block: first ← counter and counter advanced by
/// stride, under the lock; false once the stage's blocks are used up.
bool take_block(const int& lock, int& counter, const int& stride, const int& n, const int& blocksize,
                int& first, int& last) {
  mtask::lockonparallellock(lock);
  if (counter > n) {
    mtask::unlockparallellock(lock);
    return false;
  }
  first = counter;
  counter = counter + stride;
  mtask::unlockparallellock(lock);
  last = std::min(n, first + blocksize - 1);
  return true;
}

}  // namespace

template <class T>
void p_mesolution_csp(T* a, const int& n, const int& m, T* b, const int& nrhs, T* tspike, T* spike,
                      const int& lock, int* events, const int& blocksize, const int& ntasks, int& levelfactor,
                      int& distance, int& stride, int& levelfirst, int& nextblock, int& backblock,
                      const real_type<T>& eps, int* info) {
  int parity = 1;
  int first = 0, last = 0;

  // S1: eliminate level 0, the blocks of even index.
  while (take_block(lock, nextblock, stride, n, blocksize, first, last)) {
    decompose_csp(a, m, first, last, eps, info, parity);
    if (read_flag(info, parity) != 0) break;
    left_spike_from_band(a, n, m, spike, first, last);
    right_coupling_from_band(a, n, m, spike, first, last);
    forward_substitution(a, n, m, b, nrhs, first, last);
  }
  stage_barrier(events, parity, ntasks, [&] {
    levelfactor = 2 * levelfactor;
    nextblock = (levelfactor - 1) * blocksize + 1;
  });
  if (read_flag(info, parity) != 0) return;
  parity = 3 - parity;

  // Levels r = 1, 2, … until the last one holds at most one block.
  bool reducing = true;
  while (reducing) {
    // S2(r): the survivors receive the Schur complements of the eliminated blocks.
    while (take_block(lock, nextblock, stride, n, blocksize, first, last)) {
      if (first + distance <= n) right_partner_update(a, n, m, b, nrhs, spike, blocksize, distance, first, last);
      if (first - distance >= levelfirst) {
        left_partner_update(a, n, m, b, nrhs, tspike, spike, blocksize, distance, first);
        if (first - distance > levelfirst) fill(a, n, m, spike, blocksize, distance, first, last);
      }
    }
    stage_barrier(events, parity, ntasks, [&] {
      const int t = (levelfactor - 1) * blocksize;
      nextblock = t + 1;
      levelfirst = t + 1;
      distance = 2 * distance;
      stride = 2 * stride;
    });
    parity = 3 - parity;

    // S3(r): eliminate level r.
    while (take_block(lock, nextblock, stride, n, blocksize, first, last)) {
      decompose_csp(a, m, first, last, eps, info, parity);
      if (read_flag(info, parity) != 0) break;
      if (first - distance >= levelfirst) left_spike_from_fill(a, n, m, spike, first, last);
      if (first + distance <= n) right_coupling_from_fill(a, n, m, spike, distance, first, last);
      forward_substitution(a, n, m, b, nrhs, first, last);
    }
    stage_barrier(events, parity, ntasks, [&] {
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

    // A task already in the backward sweep may be advancing backblock.
    mtask::lockonparallellock(lock);
    reducing = backblock == 0;
    mtask::unlockparallellock(lock);
  }

  // S4: the backward sweep, level R down to level 0.
  do {
    while (take_block(lock, backblock, stride, n, blocksize, first, last)) {
      if (first - distance >= 1) left_partner_contribution(b, n, m, nrhs, spike, blocksize, distance, first, last);
      if (first + distance <= n) right_partner_contribution(b, n, m, nrhs, tspike, blocksize, distance, first, last);
      backward_substitution(a, n, m, b, nrhs, first, last);
    }
    stage_barrier(events, parity, ntasks, [&] {
      stride = stride / 2;
      levelfactor = levelfactor / 2;
      distance = distance / 2;
      backblock = (levelfactor - 1) * blocksize + 1;
    });
    parity = 3 - parity;
  } while (levelfactor >= 1);
}

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

}  // namespace velqo
