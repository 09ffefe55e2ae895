// Block steps for medium bands, real types.
//
// Between the narrow bands (solver/narrowband.h: one vector register per
// column) and the wide ones, whose time goes into the dense products of
// solver/blockkernels.h, a block's own column steps dominate: the
// factorisation of the block, the substitutions with its factor and the
// partner contributions. The kernels below keep the column (or the rows) being
// worked on in 32-byte vectors for the whole of its update loop, so that every
// update is one vector multiply and subtract with an operand streamed from the
// band, instead of a load and a store per element; the row-major tiles they
// need are filled and emptied by W × W vector transposes.
//
// Every element receives exactly the operations of the plain loops
// (factor_column in solver/banded.h and the generic steps of the solve
// kernel), in the same order, so the results are the same bit for bit. Lanes
// beyond an element's last update are computed from other elements of the
// block's own part of the band array and dropped; nothing outside it is read
// or written.
#pragma once

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "solver/banded.h"
#include "solver/bandstorage.h"
#include "solver/blockkernels.h"
#include "solver/flags.h"
#include "solver/scalar.h"

namespace velqo::medium {

template <class T> using lanes = blocked::lanes<T>;

/// Most vectors a column of the factorisation is held in, its diagonal element
/// apart (rows i + 1 … i + m need ⌈m / W⌉): m ≤ 128 doubles or 256 floats.
/// Beyond 16 vectors the column no longer fits the 16 registers of AVX2 and
/// parts of it pass through the stack, which still halves the time of the plain
/// loop.
inline constexpr int max_column_vectors = 32;

/// Vectors for rows 1 … reach of a column.
template <class T> constexpr int vectors_for(int reach) { return (reach + lanes<T>::W - 1) / lanes<T>::W; }

/// Whether factor_block serves half bandwidth m.
template <class T> constexpr bool factors(int m) { return m >= 1 && vectors_for<T>(m) <= max_column_vectors; }

namespace detail {

/// Lanes 1 … W − 1 of x, then lane 0 of y: a column one row further down.
template <class V, int... I>
[[gnu::always_inline]] inline V shift_down(const V& x, const V& y, std::integer_sequence<int, I...>) {
#if __has_builtin(__builtin_shufflevector)
  return __builtin_shufflevector(x, y, (I + 1)...);
#else
  typedef decltype(x < x) index;
  return __builtin_shuffle(x, y, index{(I + 1)...});
#endif
}

/// The lane numbers 0 … W − 1 as a mask-typed vector.
template <class T> [[gnu::always_inline]] inline auto lane_numbers() {
  typedef typename lanes<T>::vec vec;
  typedef decltype(vec{} < vec{}) mask;
  mask idx{};
  for (int l = 0; l < lanes<T>::W; ++l) idx[l] = l;
  return idx;
}

/// p[0 … count − 1] ← the first count lanes of the NV vectors of x.
template <class T, int NV>
[[gnu::always_inline]] inline void store_first(T* p, const typename lanes<T>::vec (&x)[NV], const int& count) {
  constexpr int W = lanes<T>::W;
  const int full = count / W;
#pragma GCC unroll 16
  for (int v = 0; v < NV; ++v) {
    if (v < full) {
      lanes<T>::store(p + v * W, x[v]);
    } else if (v == full) {
      T e[W];
      lanes<T>::store(e, x[v]);
      for (int l = 0; l < count - full * W; ++l) p[v * W + l] = e[l];
    }
  }
}

/// Columns ibegin … iend (< last) of the factorisation of the block first …
/// last whose rows i + 1 … min(i + m, last) fit in NV vectors. Each column is
/// loaded, its diagonal element apart, takes the updates of the columns
/// j = max(first, i − m) … i − 1 in ascending order (rows i + t with
/// t ≤ j + m − i, the others left as they are), is tested, rooted and scaled in
/// registers, and stored. The column just finished stays in registers for the
/// last update of the next one, so that the next pivot waits for one division
/// and never for a store. The failing row, or 0.
///
/// With Solve, the forward substitution L·y = b for one right-hand side goes
/// along: as soon as column i is finished, y(i) = b(i) / L(i, i) and the rows
/// i + 1 … i + m of b take their products with it, each row its products in
/// ascending columns and then its division, as forward_within does it. The rows
/// of b below i stay in vectors, a window moved down one row a column, so that a
/// row's division waits for one product and the factorisation's own chain of
/// dependences runs beside it.
template <class T, int NV, bool Solve>
int factor_run(T* a, const int& m, const int& first, const int& last, const int& ibegin, const int& iend,
               const T& eps, int* info, const int& parity, T* b) {
  using L = lanes<T>;
  constexpr int W = L::W;
  typedef typename L::vec vec;
  // Carrying the previous column costs NV more registers; beyond six vectors the
  // column is long enough for its stores to be done before they are read.
  constexpr bool carry = NV <= 6;
  const auto idx = lane_numbers<T>();
  vec prev[NV];  // L(i … i + NV·W − 1, i − 1)
  bool carried = false;
  // With Solve: bi = b(i) and window lane l of vector v = b(i + 1 + v·W + l),
  // with the products of the columns before i; rows beyond last read as zero
  // and are never written.
  T bi = T(0);
  vec window[NV];
  if constexpr (Solve) {
    bi = entry(b, ibegin);
    for (int v = 0; v < NV; ++v)
      for (int l = 0; l < W; ++l) {
        const int r = ibegin + 1 + v * W + l;
        window[v][l] = r <= last ? entry(b, r) : T(0);
      }
  }
  // b(i) and the window's rows back into b.
  const auto put_back = [&](const int& i) {
    if constexpr (Solve) {
      entry(b, i) = bi;
      for (int v = 0; v < NV; ++v)
        for (int l = 0; l < W; ++l)
          if (const int r = i + 1 + v * W + l; r <= last) entry(b, r) = window[v][l];
    }
  };
  for (int i = ibegin; i <= iend; ++i) {
    T* const ci = &band(a, m, i, i);
    const int reach = std::min(m, last - i);  // rows i + t, t ≤ reach, lie in the block
    T pivot = ci[0];
    vec col[NV];  // rows i + 1 … i + NV·W: lane l of col[v] is row i + 1 + v·W + l
#pragma GCC unroll 16
    for (int v = 0; v < NV; ++v) L::load(col[v], ci + 1 + v * W);
    // The update from column j = i − m + s reaches rows i + t with t ≤ s; its
    // operand a(i + t, j) lies at ci − m·(m − s) + t.
    const int s0 = std::max(0, first - (i - m));
    for (int s = s0; s <= m - 2; ++s) {
      const T aij = ci[-index_t(m) * (m - s)];
      pivot = pivot - aij * aij;
    }
#pragma GCC unroll 16
    for (int g = 0; g < NV; ++g) {
      // s − 1 in g·W … g·W + W − 1: vectors below g whole, vector g up to lane s − 1 − g·W.
      const int se = std::min(g * W + W, m - 2);
      for (int s = std::max(s0, g * W + 1); s <= se; ++s) {
        const T* p = ci - index_t(m) * (m - s);
        const T aij = p[0];
#pragma GCC unroll 16
        for (int v = 0; v < g; ++v) {
          vec x;
          L::load(x, p + 1 + v * W);
          col[v] = col[v] - x * aij;
        }
        vec x;
        L::load(x, p + 1 + g * W);
        col[g] = idx <= s - 1 - g * W ? col[g] - x * aij : col[g];
      }
    }
    for (int s = std::max(s0, NV * W + 1); s <= m - 2; ++s) {
      const T* p = ci - index_t(m) * (m - s);
      const T aij = p[0];
#pragma GCC unroll 16
      for (int v = 0; v < NV; ++v) {
        vec x;
        L::load(x, p + 1 + v * W);
        col[v] = col[v] - x * aij;
      }
    }
    // The last update, from column i − 1.
    if (i > first) {
      vec x[NV];
      T aij;
      if (carry && carried) {
        aij = prev[0][0];
#pragma GCC unroll 16
        for (int v = 0; v < NV; ++v)
          x[v] = shift_down(prev[v], prev[v + 1 < NV ? v + 1 : v], std::make_integer_sequence<int, W>());
      } else {
        const T* p = ci - m;
        aij = p[0];
#pragma GCC unroll 16
        for (int v = 0; v < NV; ++v) L::load(x[v], p + 1 + v * W);
      }
      pivot = pivot - aij * aij;
      const int g = (m - 2) / W;  // rows i + 1 + g·W + l with l ≤ m − 2 − g·W take it
#pragma GCC unroll 16
      for (int v = 0; v < NV; ++v) {
        if (v < g) {
          col[v] = col[v] - x[v] * aij;
        } else if (v == g) {
          col[v] = idx <= m - 2 - g * W ? col[v] - x[v] * aij : col[v];
        }
      }
    }
    // The pivot must be strictly greater than eps; a NaN fails every comparison.
    if (!(pivot > eps)) {
      ci[0] = pivot;
      store_first<T, NV>(ci + 1, col, reach);
      raise_flag(info, parity);
      put_back(i);
      return i;
    }
    const T lii = std::sqrt(pivot);
#pragma GCC unroll 16
    for (int v = 0; v < NV; ++v) col[v] = col[v] / lii;
    ci[0] = lii;
    store_first<T, NV>(ci + 1, col, reach);
    if constexpr (carry) {
#pragma GCC unroll 16
      for (int v = 0; v < NV; ++v) prev[v] = col[v];
      carried = true;
    }
    if constexpr (Solve) {
      const T y = bi / lii;
      entry(b, i) = y;
#pragma GCC unroll 16
      for (int v = 0; v < NV; ++v) window[v] = idx < reach - v * W ? window[v] - col[v] * y : window[v];
      // One row down: the next row's b out of lane 0, the row after the window in.
      const int r = i + 1 + NV * W;
      vec tail{};
      tail[0] = r <= last ? entry(b, r) : T(0);
      bi = window[0][0];
#pragma GCC unroll 16
      for (int v = 0; v < NV; ++v)
        window[v] = shift_down(window[v], v + 1 < NV ? window[v + 1] : tail, std::make_integer_sequence<int, W>());
    }
  }
  put_back(iend + 1);
  return 0;
}

template <class T, bool Solve, std::size_t... I>
constexpr auto factor_runs(std::index_sequence<I...>) {
  using run = int (*)(T*, const int&, const int&, const int&, const int&, const int&, const T&, int*, const int&,
                      T*);
  return std::array<run, sizeof...(I)>{&factor_run<T, int(I) + 1, Solve>...};
}

}  // namespace detail

/// The factorisation of the block first … last of the band (half bandwidth m,
/// factors<T>(m)), with the operations of factor_column on every element: a
/// pivot not greater than eps (or NaN) sets info(parity), leaves its column
/// updated but not scaled and the later ones untouched. The failing row, or 0.
///
/// With b (not null), the forward substitution L·y = b for one right-hand side
/// on the block's rows goes along (see factor_run), y overwriting b: bit for bit
/// that of forward_within after the factorisation. After a failed pivot b holds
/// a partly transformed right-hand side.
template <class T>
int factor_block(T* a, const int& m, const int& first, const int& last, const T& eps, int* info,
                 const int& parity, T* b = nullptr) {
  constexpr int W = lanes<T>::W;
  static constexpr auto runs = detail::factor_runs<T, false>(std::make_index_sequence<max_column_vectors>());
  static constexpr auto solving_runs =
      detail::factor_runs<T, true>(std::make_index_sequence<max_column_vectors>());
  int i = first;
  while (i < last) {
    // Columns with the same number of vectors for their rows in the block.
    const int nv = vectors_for<T>(std::min(m, last - i));
    const int iend = std::min(last - 1, last - (nv - 1) * W - 1);
    if (const int failed = (b != nullptr ? solving_runs : runs)[nv - 1](a, m, first, last, i, iend, eps, info,
                                                                          parity, b))
      return failed;
    i = iend + 1;
  }
  // The last column alone: a vector from a(last, last) would pass the block.
  if (i == last) {
    if (!factor_column(a, m, first, last, last, eps, info, parity)) return last;
    if (b != nullptr) entry(b, last) = entry(b, last) / band(a, m, last, last);
  }
  return 0;
}

// ------------------------------------------------- substitutions of a block

namespace detail {

/// Lanes I… of the pair (x, y), lanes W … 2W − 1 being y's.
template <int... I, class V> [[gnu::always_inline]] inline V shuffle(const V& x, const V& y) {
#if __has_builtin(__builtin_shufflevector)
  return __builtin_shufflevector(x, y, I...);
#else
  typedef decltype(x < x) index;
  return __builtin_shuffle(x, y, index{I...});
#endif
}

/// out[r·ldo + c] ← in[c·ldi + r] for a W × W block: W columns of a
/// column-major array into W rows of a row-major one, or back.
template <class T>
[[gnu::always_inline]] inline void transpose_block(const T* in, const index_t& ldi, T* out, const index_t& ldo) {
  using L = lanes<T>;
  typedef typename L::vec vec;
  if constexpr (L::W == 4) {
    vec c[4];
#pragma GCC unroll 4
    for (int k = 0; k < 4; ++k) L::load(c[k], in + k * ldi);
    const vec t0 = shuffle<0, 4, 2, 6>(c[0], c[1]), t1 = shuffle<1, 5, 3, 7>(c[0], c[1]);
    const vec t2 = shuffle<0, 4, 2, 6>(c[2], c[3]), t3 = shuffle<1, 5, 3, 7>(c[2], c[3]);
    L::store(out, shuffle<0, 1, 4, 5>(t0, t2));
    L::store(out + ldo, shuffle<0, 1, 4, 5>(t1, t3));
    L::store(out + 2 * ldo, shuffle<2, 3, 6, 7>(t0, t2));
    L::store(out + 3 * ldo, shuffle<2, 3, 6, 7>(t1, t3));
  } else {
    static_assert(L::W == 8);
    vec c[8], u[8], v[8];
#pragma GCC unroll 8
    for (int k = 0; k < 8; ++k) L::load(c[k], in + k * ldi);
#pragma GCC unroll 4
    for (int k = 0; k < 8; k += 2) {
      u[k] = shuffle<0, 8, 1, 9, 4, 12, 5, 13>(c[k], c[k + 1]);
      u[k + 1] = shuffle<2, 10, 3, 11, 6, 14, 7, 15>(c[k], c[k + 1]);
    }
#pragma GCC unroll 2
    for (int k = 0; k < 8; k += 4) {
      v[k] = shuffle<0, 1, 8, 9, 4, 5, 12, 13>(u[k], u[k + 2]);
      v[k + 1] = shuffle<2, 3, 10, 11, 6, 7, 14, 15>(u[k], u[k + 2]);
      v[k + 2] = shuffle<0, 1, 8, 9, 4, 5, 12, 13>(u[k + 1], u[k + 3]);
      v[k + 3] = shuffle<2, 3, 10, 11, 6, 7, 14, 15>(u[k + 1], u[k + 3]);
    }
#pragma GCC unroll 4
    for (int r = 0; r < 4; ++r) {
      L::store(out + r * ldo, shuffle<0, 1, 2, 3, 8, 9, 10, 11>(v[r], v[r + 4]));
      L::store(out + (r + 4) * ldo, shuffle<4, 5, 6, 7, 12, 13, 14, 15>(v[r], v[r + 4]));
    }
  }
}

/// Solves L·X = tile in place for the NC·W columns of a row-major tile, row by
/// row: row y takes the products of rows max(0, y − m) … y − 1 in ascending
/// order and is then divided by L(y, y), the order of the column-by-column
/// loop. Up to six vectors a row, the row just solved stays in registers for
/// the next, whose last product it is, so that no row waits for the store of
/// the one before.
template <class T, int NC>
void solve_tile_rows(const T* l, const int& m, const int& rows, T* tile) {
  using L = lanes<T>;
  constexpr int W = L::W;
  constexpr int C = NC * W;
  constexpr bool carry = NC <= 6;
  typedef typename L::vec vec;
  vec last[NC] = {};
  for (int y = 0; y < rows; ++y) {
    vec acc[NC];
#pragma GCC unroll 16
    for (int c = 0; c < NC; ++c) L::load(acc[c], tile + index_t(y) * C + c * W);
    for (int x = y - m < 0 ? 0 : y - m; x < (carry ? y - 1 : y); ++x) {
      const T lyx = l[index_t(m) * x + y];
      const T* tx = tile + index_t(x) * C;
#pragma GCC unroll 16
      for (int c = 0; c < NC; ++c) {
        vec t;
        L::load(t, tx + c * W);
        acc[c] = acc[c] - t * lyx;
      }
    }
    if (carry && y > 0) {
      const T lyx = l[index_t(m) * (y - 1) + y];
#pragma GCC unroll 16
      for (int c = 0; c < NC; ++c) acc[c] = acc[c] - last[c] * lyx;
    }
    const T d = l[index_t(m + 1) * y];
#pragma GCC unroll 16
    for (int c = 0; c < NC; ++c) {
      acc[c] = acc[c] / d;
      if constexpr (carry) last[c] = acc[c];
      L::store(tile + index_t(y) * C + c * W, acc[c]);
    }
  }
}

/// The q columns of s and the nrhs columns of b, rows 0 … rows − 1, through one
/// row-major tile of NC·W columns (the rest zero). Whole W × W blocks of s go
/// through transpose_block, the rest one element at a time.
template <class T, int NC>
void solve_through_tile(const T* l, const int& m, const int& rows, T* s, const index_t& lds, const int& q, T* b,
                        const index_t& ldb, const int& nrhs, T* tile) {
  constexpr int W = lanes<T>::W;
  constexpr int C = NC * W;
  const int qw = q / W * W, yw = rows / W * W;
  for (int y0 = 0; y0 < yw; y0 += W)
    for (int j0 = 0; j0 < qw; j0 += W) transpose_block(s + j0 * lds + y0, lds, tile + index_t(y0) * C + j0, C);
  for (int y = 0; y < rows; ++y) {
    T* t = tile + index_t(y) * C;
    for (int j = y < yw ? qw : 0; j < q; ++j) t[j] = s[j * lds + y];
    for (int j = 0; j < nrhs; ++j) t[q + j] = b[j * ldb + y];
    for (int j = q + nrhs; j < C; ++j) t[j] = T(0);
  }
  solve_tile_rows<T, NC>(l, m, rows, tile);
  for (int y0 = 0; y0 < yw; y0 += W)
    for (int j0 = 0; j0 < qw; j0 += W) transpose_block(tile + index_t(y0) * C + j0, C, s + j0 * lds + y0, lds);
  for (int y = 0; y < rows; ++y) {
    const T* t = tile + index_t(y) * C;
    for (int j = y < yw ? qw : 0; j < q; ++j) s[j * lds + y] = t[j];
    for (int j = 0; j < nrhs; ++j) b[j * ldb + y] = t[q + j];
  }
}

template <class T, std::size_t... I> constexpr auto tile_solves(std::index_sequence<I...>) {
  using solve = void (*)(const T*, const int&, const int&, T*, const index_t&, const int&, T*, const index_t&,
                         const int&, T*);
  return std::array<solve, sizeof...(I)>{&solve_through_tile<T, int(I) + 1>...};
}

}  // namespace detail

/// out(v, t) ← x(t, v) for the rows × columns array x (leading dimension ldx)
/// and out of leading dimension ldo, whole W × W blocks by vector transposes.
template <class T>
void transpose(const T* x, const index_t& ldx, const int& rows, const int& columns, T* out, const index_t& ldo) {
  constexpr int W = lanes<T>::W;
  const int rw = rows / W * W, cw = columns / W * W;
  for (int t0 = 0; t0 < rw; t0 += W)
    for (int v0 = 0; v0 < cw; v0 += W) detail::transpose_block(x + v0 * ldx + t0, ldx, out + t0 * ldo + v0, ldo);
  for (int t = 0; t < rows; ++t)
    for (int v = t < rw ? cw : 0; v < columns; ++v) out[t * ldo + v] = x[v * ldx + t];
}

/// blocked::subtract_lower_gram with the panel of rows filled by W × W
/// transposes: c(u, v) ← c(u, v) − Σ_x s(x, v)·s(x, u) for 0 ≤ v ≤ u < m,
/// each sum formed from zero in ascending rows (the same bits). The tiles run
/// in vectors of Bytes bytes, two of them a panel row (the transposes stay at
/// 32). False, with c untouched, when the panel does not fit.
template <class T, int Bytes = 32>
[[gnu::always_inline]] inline bool subtract_lower_gram(T* c, const index_t& ldc, const T* s, const index_t& lds,
                                                       const int& rows, const int& m) {
  constexpr int W = lanes<T>::W;
  constexpr int R = 2 * blocked::lanes<T, Bytes>::W;
  if (index_t(rows) * R > blocked::panel_capacity<T>) {
    if constexpr (Bytes > 32) return subtract_lower_gram<T, 32>(c, ldc, s, lds, rows, m);
    return false;
  }
  alignas(64) T panel[blocked::panel_capacity<T>];
  const int xw = rows / W * W;
  for (int u0 = 0; u0 < m; u0 += R) {
    const int ru = m - u0 < R ? m - u0 : R;
    const int iw = ru / W * W;  // columns u0 … u0 + iw − 1 go by whole blocks
    for (int x0 = 0; x0 < xw; x0 += W)
      for (int i0 = 0; i0 < iw; i0 += W)
        detail::transpose_block(s + (u0 + i0) * lds + x0, lds, panel + index_t(x0) * R + i0, index_t(R));
    for (int x = 0; x < rows; ++x)
      for (int i = x < xw ? iw : 0; i < R; ++i) panel[index_t(x) * R + i] = i < ru ? s[(u0 + i) * lds + x] : T(0);
    const int vend = u0 + ru;  // columns v < vend meet rows u ≥ v of this panel
    int v0 = 0;
    for (; v0 + 4 <= vend; v0 += 4) blocked::gram_tile<T, 4, Bytes>(c, ldc, panel, s, lds, rows, m, u0, v0);
    for (; v0 < vend; ++v0) blocked::gram_tile<T, 1, Bytes>(c, ldc, panel, s, lds, rows, m, u0, v0);
  }
  return true;
}

// --------------------------------------------- complements of whole vectors
//
// The two complements of a block keep all of an m × m lower triangle's vectors
// for four columns at once, up to three vectors a column in 32-byte vectors
// (four in the 32 registers of AVX-512), in registers: the vectors of column v
// start at the one holding row v, so no product above the diagonal is formed,
// the rows past the last whole vector go in a vector moved back to end at row
// m − 1 instead of one element at a time, and the operands are streamed once
// per group of four columns instead of once per tile of two vectors. Against
// the register-blocked kernels, which form the triangle's edges element by
// element, this took 0.93 to 0.76 of a one-task mesolution's time from m = 32
// on (see "Where the time goes" in the README).

namespace detail {

/// Lanes lo … W − 1 of p into r, the others zero; nothing else is read.
template <class T, int Bytes = 32>
[[gnu::always_inline]] inline void load_from(typename blocked::lanes<T, Bytes>::vec& r, const T* p, const int& lo) {
  using L = blocked::lanes<T, Bytes>;
  if (lo == 0) {
    L::load(r, p);
  } else {
    T e[L::W] = {};
    for (int l = lo; l < L::W; ++l) e[l] = p[l];
    L::load(r, e);
  }
}

/// p[lo … W − 1] ← the lanes lo … W − 1 of x; nothing else is written.
template <class T, int Bytes = 32>
[[gnu::always_inline]] inline void store_from(T* p, const typename blocked::lanes<T, Bytes>::vec& x, const int& lo) {
  using L = blocked::lanes<T, Bytes>;
  if (lo == 0) {
    L::store(p, x);
  } else {
    T e[L::W];
    L::store(e, x);
    for (int l = lo; l < L::W; ++l) p[l] = e[l];
  }
}

/// Columns r0 … r0 + NR − 1 (within one vector of rows) of the left
/// complement, rows in the vectors g0 … g0 + NG − 1 of 0 … m − 1. The last
/// vector starts at row m − W when m is no multiple of W, so that no row past
/// m − 1 is read; each element is stored from the one vector that owns it and
/// only on or below the diagonal.
template <class T, int NG, int NR, int Bytes>
[[gnu::always_inline]] inline void outer_columns(T* c, const index_t& ldc, const T* y, const index_t& ldy,
                                                 const int& m, const int& g0, const int& r0) {
  using L = blocked::lanes<T, Bytes>;
  constexpr int W = L::W;
  typename L::vec acc[NG][NR];
  int xo[NG], own[NG];  // first row of vector g0 + i, and its first lane no earlier vector owns
  for (int i = 0; i < NG; ++i) {
    const int g = (g0 + i) * W;
    xo[i] = std::min(g, m - W);
    own[i] = g - xo[i];
  }
#pragma GCC unroll 4
  for (int j = 0; j < NR; ++j)
#pragma GCC unroll 4
    for (int i = 0; i < NG; ++i)
      load_from<T, Bytes>(acc[i][j], c + index_t(r0 + j) * ldc + xo[i], std::max(own[i], r0 + j - xo[i]));
  const T* yv = y;
  for (int v = 0; v < m; ++v, yv += ldy) {
    typename L::vec yx[NG];
#pragma GCC unroll 4
    for (int i = 0; i < NG; ++i) L::load(yx[i], yv + xo[i]);
#pragma GCC unroll 4
    for (int j = 0; j < NR; ++j) {
      const T yr = yv[r0 + j];
#pragma GCC unroll 4
      for (int i = 0; i < NG; ++i) acc[i][j] = acc[i][j] - yx[i] * yr;
    }
  }
#pragma GCC unroll 4
  for (int j = 0; j < NR; ++j)
#pragma GCC unroll 4
    for (int i = 0; i < NG; ++i)
      store_from<T, Bytes>(c + index_t(r0 + j) * ldc + xo[i], acc[i][j], std::max(own[i], r0 + j - xo[i]));
}

/// Columns v0 … v0 + NR − 1 of the right complement, rows u in the vectors
/// g0 … g0 + NG − 1 of a panel row (panel[x·C + u] = s(x, u), zero past m − 1):
/// σ(u, v) from zero in ascending x, then c(u, v) − σ(u, v) for v ≤ u < m.
template <class T, int NG, int NR, int Bytes>
[[gnu::always_inline]] inline void gram_columns(T* c, const index_t& ldc, const T* panel, const int& C,
                                                const int& rows, const int& m, const int& g0, const int& v0) {
  using L = blocked::lanes<T, Bytes>;
  constexpr int W = L::W;
  typename L::vec acc[NG][NR];
#pragma GCC unroll 4
  for (int j = 0; j < NR; ++j)
#pragma GCC unroll 4
    for (int i = 0; i < NG; ++i) acc[i][j] = typename L::vec{};
  const T* px = panel + g0 * W;
  const T* pv = panel + v0;
  for (int x = 0; x < rows; ++x, px += C, pv += C) {
    typename L::vec sx[NG];
#pragma GCC unroll 4
    for (int i = 0; i < NG; ++i) L::load(sx[i], px + i * W);
#pragma GCC unroll 4
    for (int j = 0; j < NR; ++j) {
      const T sv = pv[j];
#pragma GCC unroll 4
      for (int i = 0; i < NG; ++i) acc[i][j] = acc[i][j] + sx[i] * sv;
    }
  }
#pragma GCC unroll 4
  for (int j = 0; j < NR; ++j) {
    T* cv = c + index_t(v0 + j) * ldc;
#pragma GCC unroll 4
    for (int i = 0; i < NG; ++i) {
      const int u0 = (g0 + i) * W, lo = std::max(0, v0 + j - u0), hi = std::min(W, m - u0);
      if (lo == 0 && hi == W) {
        typename L::vec cu;
        L::load(cu, cv + u0);
        L::store(cv + u0, cu - acc[i][j]);
      } else {
        T e[W];
        L::store(e, acc[i][j]);
        for (int l = lo; l < hi; ++l) cv[u0 + l] = cv[u0 + l] - e[l];
      }
    }
  }
}

/// The column groups of four (fewer at the end) and, for each, the vectors
/// from the one holding its first column, up to three at a time in 32-byte
/// vectors and four in 64-byte ones.
template <class T, int Bytes, template <class, int, int, int> class Columns, class Call>
[[gnu::always_inline]] inline void by_column_groups(const int& m, const int& vectors, const Call& call) {
  constexpr int W = blocked::lanes<T, Bytes>::W, most = Bytes == 64 ? 4 : 3;
  for (int r0 = 0; r0 < m; r0 += 4) {
    const int nr = std::min(4, m - r0);
    for (int g0 = r0 / W; g0 < vectors; g0 += most) {
      const int ng = std::min(most, vectors - g0);
#define VELQO_GROUP(NG, NR)                                              \
  case 4 * (NG - 1) + NR - 1:                                            \
    if constexpr (NG <= most) call(Columns<T, NG, NR, Bytes>{}, g0, r0); \
    break;
      switch (4 * (ng - 1) + nr - 1) {
        VELQO_GROUP(1, 1) VELQO_GROUP(1, 2) VELQO_GROUP(1, 3) VELQO_GROUP(1, 4)
        VELQO_GROUP(2, 1) VELQO_GROUP(2, 2) VELQO_GROUP(2, 3) VELQO_GROUP(2, 4)
        VELQO_GROUP(3, 1) VELQO_GROUP(3, 2) VELQO_GROUP(3, 3) VELQO_GROUP(3, 4)
        VELQO_GROUP(4, 1) VELQO_GROUP(4, 2) VELQO_GROUP(4, 3) VELQO_GROUP(4, 4)
        default: break;
      }
#undef VELQO_GROUP
    }
  }
}

template <class T, int NG, int NR, int Bytes> struct outer_group {
  [[gnu::always_inline]] void operator()(T* c, const index_t& ldc, const T* y, const index_t& ldy, const int& m,
                                         const int& g0, const int& r0) const {
    outer_columns<T, NG, NR, Bytes>(c, ldc, y, ldy, m, g0, r0);
  }
};

template <class T, int NG, int NR, int Bytes> struct gram_group {
  [[gnu::always_inline]] void operator()(T* c, const index_t& ldc, const T* panel, const int& C, const int& rows,
                                         const int& m, const int& g0, const int& v0) const {
    gram_columns<T, NG, NR, Bytes>(c, ldc, panel, C, rows, m, g0, v0);
  }
};

}  // namespace detail

/// Whether the whole-vector complements serve half bandwidth m: from one
/// 32-byte vector on (in 64-byte vectors where blocked::in_widest_vectors
/// picks them, from four of them on).
template <class T> constexpr bool whole_vector_complements(int m) { return m >= lanes<T>::W; }

/// blocked::subtract_lower_outer<T, form::symmetric> for an m × m piece:
/// c(x, r) ← c(x, r) − y(r, 0)·y(x, 0) − … − y(r, m − 1)·y(x, m − 1) for
/// 0 ≤ r ≤ x < m, the products subtracted one after the other (the same bits),
/// nothing of c above the diagonal touched, in vectors of Bytes bytes. Needs
/// whole_vector_complements<T>(m).
template <class T, int Bytes = 32>
[[gnu::always_inline]] inline void subtract_lower_outer(T* c, const index_t& ldc, const T* y, const index_t& ldy,
                                                        const int& m) {
  constexpr int W = blocked::lanes<T, Bytes>::W;
  const auto columns = [&](auto group, int g0, int r0) __attribute__((always_inline)) {
    group(c, ldc, y, ldy, m, g0, r0);
  };
  detail::by_column_groups<T, Bytes, detail::outer_group>(m, (m + W - 1) / W, columns);
}

/// subtract_lower_gram for whole_vector_complements<T>(m): the rows of s in
/// one panel of whole rows (by W × W transposes of 32-byte vectors), each
/// column's sums formed only on and below the diagonal in vectors of Bytes
/// bytes. False, with c untouched, when the panel does not fit.
template <class T, int Bytes = 32>
[[gnu::always_inline]] inline bool subtract_small_gram(T* c, const index_t& ldc, const T* s, const index_t& lds,
                                                       const int& rows, const int& m) {
  constexpr int W = lanes<T>::W, V = blocked::lanes<T, Bytes>::W;
  const int vectors = (m + V - 1) / V, C = vectors * V;
  if (index_t(rows) * C > blocked::panel_capacity<T>) return false;
  alignas(64) T panel[blocked::panel_capacity<T>];
  const int xw = rows / W * W, uw = m / W * W;
  for (int x0 = 0; x0 < xw; x0 += W)
    for (int u0 = 0; u0 < uw; u0 += W)
      detail::transpose_block(s + u0 * lds + x0, lds, panel + index_t(x0) * C + u0, index_t(C));
  for (int x = 0; x < rows; ++x)
    for (int u = x < xw ? uw : 0; u < C; ++u) panel[index_t(x) * C + u] = u < m ? s[u * lds + x] : T(0);
  const auto columns = [&](auto group, int g0, int v0) __attribute__((always_inline)) {
    group(c, ldc, panel, C, rows, m, g0, v0);
  };
  detail::by_column_groups<T, Bytes, detail::gram_group>(m, vectors, columns);
  return true;
}

/// Most vectors of a row of the tile in which solve_with_right_hand_sides
/// solves the spike columns and the right-hand sides together.
inline constexpr int max_tile_vectors = 12;

/// Solves L·X = S and L·Y = B in place, S being the q columns of s and B the
/// nrhs columns of b (rows × q and rows × nrhs, leading dimensions lds and ldb),
/// L the rows × rows lower band matrix of half bandwidth m with L(i, k) at
/// l[m·k + i]: the spike solve and the forward substitution of a block in one
/// sweep over its rows, whose chain of divisions the right-hand sides then
/// share. Every element takes its updates in ascending order and is then
/// divided by the pivot, as the column-by-column loops do: the same bits. False,
/// with s and b untouched, when the columns need more than max_tile_vectors
/// vectors a row or the tile does not fit on the stack.
template <class T>
bool solve_with_right_hand_sides(const T* l, const int& m, const int& rows, T* s, const index_t& lds, const int& q,
                                 T* b, const index_t& ldb, const int& nrhs) {
  constexpr int W = lanes<T>::W;
  const int nc = (q + nrhs + W - 1) / W;
  if (nc < 1 || nc > max_tile_vectors || index_t(rows) * nc * W > blocked::tile_capacity<T>) return false;
  static constexpr auto solves = detail::tile_solves<T>(std::make_index_sequence<max_tile_vectors>());
  alignas(64) T tile[blocked::tile_capacity<T>];
  solves[nc - 1](l, m, rows, s, lds, q, b, ldb, nrhs, tile);
  return true;
}

/// One right-hand side's backward substitution on the block first … last,
/// x = L_b⁻ᵀ·b, a row at a time from the last: b(x) − b(x + 1)·a(x + 1, x) −
/// b(x + 2)·a(x + 2, x) − … over the block's rows, divided by a(x, x), as the
/// generic step forms it. The row just solved stays in a register for the next
/// row, whose first product it is.
template <class T> class backward_rows {
 public:
  backward_rows(const T* a, const int& m, T* bs, const int& first, const int& last)
      : a_(a), m_(m), bs_(bs), x_(last), first_(first), last_(last) {}

  bool done() const { return x_ < first_; }

  /// Solves row x and moves to row x − 1.
  [[gnu::always_inline]] void row() {
    const int x = x_;
    const T* ax = &band(a_, m_, x, x);  // a(x + k, x) = ax[k]
    const T* bx1 = &entry(bs_, x);       // b(x + k) = bx1[k]
    const int kend = std::min(m_, last_ - x);
    T bx = bx1[0];
    if (kend >= 1) bx = bx - bnext_ * ax[1];
    for (int k = 2; k <= kend; ++k) bx = bx - bx1[k] * ax[k];
    bnext_ = bx / ax[0];
    bs_[x - 1] = bnext_;
    --x_;
  }

 private:
  const T* a_;
  const int m_;
  T* bs_;
  int x_;
  const int first_, last_;
  T bnext_ = T(0);  // b(x + 1), solved
};

/// The backward substitution of the nrhs right-hand sides of b (n rows) on one
/// block.
template <class T>
void backward_substitution(const T* a, const int& n, const int& m, T* b, const int& nrhs, const int& first,
                           const int& last) {
  for (int s = 1; s <= nrhs; ++s) {
    backward_rows<T> sweep(a, m, &at(b, n, 1, s), first, last);
    while (!sweep.done()) sweep.row();
  }
}

/// The same for two blocks, row by row in turn: each row waits for the one
/// below it and a division, and the two blocks' chains are independent, so the
/// processor works on both at once. Each block's rows are formed as alone.
template <class T>
void backward_substitution_pair(const T* a, const int& n, const int& m, T* b, const int& nrhs, const int& first1,
                                const int& last1, const int& first2, const int& last2) {
  for (int s = 1; s <= nrhs; ++s) {
    backward_rows<T> one(a, m, &at(b, n, 1, s), first1, last1);
    backward_rows<T> two(a, m, &at(b, n, 1, s), first2, last2);
    while (!one.done() && !two.done()) {
      one.row();
      two.row();
    }
    while (!one.done()) one.row();
    while (!two.done()) two.row();
  }
}

namespace detail {

/// Rows x … x + NV·W − 1 of subtract_row_products, in NV vectors at once.
template <class T, int NV>
[[gnu::always_inline]] inline void row_products(T* b, const T* c, const T* s, const index_t& ld, const int& columns,
                                                const int& x) {
  using L = lanes<T>;
  constexpr int W = L::W;
  typename L::vec acc[NV];
#pragma GCC unroll 4
  for (int r = 0; r < NV; ++r) L::load(acc[r], &entry(b, x + r * W));
  const T* sv = &entry(s, x);
  for (int v = 0; v < columns; ++v, sv += ld) {
    const T cv = c[v];
#pragma GCC unroll 4
    for (int r = 0; r < NV; ++r) {
      typename L::vec y;
      L::load(y, sv + r * W);
      acc[r] = acc[r] - y * cv;
    }
  }
#pragma GCC unroll 4
  for (int r = 0; r < NV; ++r) L::store(&entry(b, x + r * W), acc[r]);
}

}  // namespace detail

/// b(x) ← b(x) − c(1)·s(x, 1) − c(2)·s(x, 2) − … − c(columns)·s(x, columns)
/// for the rows x = first … last of b (one right-hand side), s having leading
/// dimension ld: the products subtracted in ascending column, as the
/// column-by-column loop does, for up to 4·W rows at a time across vectors (the
/// whole vectors left after the groups of four in one pass, so that their
/// chains and the loads of their columns overlap), the last rows together. c
/// lies apart from the rows.
template <class T>
void subtract_row_products(T* b, const T* c, const T* s, const index_t& ld, const int& columns, const int& first,
                           const int& last) {
  constexpr int W = lanes<T>::W;
  int x = first;
  for (; x + 4 * W - 1 <= last; x += 4 * W) detail::row_products<T, 4>(b, c, s, ld, columns, x);
  switch ((last - x + 1) / W) {
    case 3: detail::row_products<T, 3>(b, c, s, ld, columns, x); x += 3 * W; break;
    case 2: detail::row_products<T, 2>(b, c, s, ld, columns, x); x += 2 * W; break;
    case 1: detail::row_products<T, 1>(b, c, s, ld, columns, x); x += W; break;
    default: break;
  }
  if (x > last) return;
  T bx[W];
  const int tail = last - x + 1;
  for (int t = 0; t < tail; ++t) bx[t] = entry(b, x + t);
  const T* sv = &entry(s, x);
  for (int v = 0; v < columns; ++v, sv += ld)
    for (int t = 0; t < tail; ++t) bx[t] = bx[t] - sv[t] * c[v];
  for (int t = 0; t < tail; ++t) entry(b, x + t) = bx[t];
}

}  // namespace velqo::medium
