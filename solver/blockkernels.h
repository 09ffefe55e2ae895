// Register-blocked products for the block steps of wide bands, real types.
//
// The block steps of a band wider than a vector register spend their time in
// three dense products of m × m pieces: the fill −Y·X, the Schur complement
// Xᵀ·X of a right partner (its lower triangle) and the complement Y·Yᵀ of a
// left partner. The kernels below keep a small tile of the result in vector
// registers for the whole inner loop and stream the operands with unit stride
// from their column-major arrays (leading dimensions as given), copying the
// operand that goes across the lanes into a small row-major panel on the stack. They work on
// float and double in GCC vector extensions; nothing is fused (-ffp-contract=off,
// no FMA), and nothing allocates.
//
// The spike solve, the fill and both complements sum every element in the same
// order as the plain loops (the products taken one after the other in
// ascending index), so they give the same bits. The right partner's right-hand
// sides are dot products along the partner's rows, in an order that depends on
// the row count only.
#pragma once

#include <cstring>

#include "solver/bandstorage.h"
#include "solver/scalar.h"

namespace velqo::blocked {

/// Elements of the panel the fill and the right complement copy onto the stack.
inline constexpr int panel_capacity = 8192;

/// W real elements of type T in one 32-byte GCC vector.
template <class T> struct lanes {
  static constexpr int W = int(32 / sizeof(T));
  typedef T vec __attribute__((vector_size(32)));

  /// r ← p[0 … W − 1] (through a reference: a vector return value would depend
  /// on the instruction set the caller is compiled for).
  [[gnu::always_inline]] static void load(vec& r, const T* p) { std::memcpy(&r, p, sizeof r); }
  [[gnu::always_inline]] static void store(T* p, const vec& v) { std::memcpy(p, &v, sizeof v); }
  /// Lane 0 + lane 1 + … in lane order.
  [[gnu::always_inline]] static T sum(const vec& v) {
    T s = v[0];
    for (int i = 1; i < W; ++i) s = s + v[i];
    return s;
  }
};

// ---------------------------------------------------- spike columns, L·X = S

/// Elements of the row-major tile the spike solve copies onto the stack.
inline constexpr int tile_capacity = 16384;

/// Solves L·X = tile in place for the NC·W columns of a row-major tile (row y
/// at tile + y·NC·W), row by row: row y takes the products of rows
/// max(0, y − m) … y − 1 in ascending order and is then divided by L(y, y), the
/// order of the column-by-column loop.
template <class T, int NC>
void solve_tile_rows(const T* l, const int& m, const int& rows, T* tile) {
  using L = lanes<T>;
  constexpr int W = L::W;
  constexpr int C = NC * W;
  for (int y = 0; y < rows; ++y) {
    typename L::vec acc[NC];
    for (int c = 0; c < NC; ++c) L::load(acc[c], tile + index_t(y) * C + c * W);
    for (int x = y - m < 0 ? 0 : y - m; x < y; ++x) {
      const T lyx = l[index_t(m) * x + y];
      const T* tx = tile + index_t(x) * C;
#pragma GCC unroll 4
      for (int c = 0; c < NC; ++c) {
        typename L::vec t;
        L::load(t, tx + c * W);
        acc[c] = acc[c] - t * lyx;
      }
    }
    const T d = l[index_t(m + 1) * y];
    for (int c = 0; c < NC; ++c) L::store(tile + index_t(y) * C + c * W, acc[c] / d);
  }
}

/// The columns v0 … v0 + count − 1 of s through a tile of NC·W columns.
template <class T, int NC>
void solve_columns_through_tile(const T* l, const int& m, const int& rows, T* s, const index_t& lds, const int& v0,
                                const int& count, T* tile) {
  constexpr int C = NC * lanes<T>::W;
  for (int j = 0; j < C; ++j) {
    const T* column = s + index_t(v0 + j) * lds;
    for (int y = 0; y < rows; ++y) tile[index_t(y) * C + j] = j < count ? column[y] : T(0);
  }
  solve_tile_rows<T, NC>(l, m, rows, tile);
  for (int j = 0; j < count; ++j) {
    T* column = s + index_t(v0 + j) * lds;
    for (int y = 0; y < rows; ++y) column[y] = tile[index_t(y) * C + j];
  }
}

/// Solves L·X = S in place for the q columns of s (rows × q, leading dimension
/// lds), L being the rows × rows lower band matrix of half bandwidth m with
/// L(i, k) at l[m·k + i] (a block's factor in band storage, from its first
/// diagonal entry on). Every element takes its updates in ascending order and
/// is then divided by the pivot, as the column-by-column loop does: the same
/// bits. The columns go a tile at a time across vector registers. False, with
/// s untouched, when a tile of rows rows does not fit on the stack.
template <class T>
bool solve_lower_band(const T* l, const int& m, const int& rows, T* s, const index_t& lds, const int& q) {
  constexpr int W = lanes<T>::W;
  if (index_t(rows) * W > tile_capacity) return false;
  alignas(64) T tile[tile_capacity];
  int v0 = 0;
  if (index_t(rows) * 4 * W <= tile_capacity) {
    for (; v0 + 2 * W < q; v0 += 4 * W)
      solve_columns_through_tile<T, 4>(l, m, rows, s, lds, v0, q - v0 < 4 * W ? q - v0 : 4 * W, tile);
  }
  if (index_t(rows) * 2 * W <= tile_capacity) {
    for (; v0 + W < q; v0 += 2 * W)
      solve_columns_through_tile<T, 2>(l, m, rows, s, lds, v0, q - v0 < 2 * W ? q - v0 : 2 * W, tile);
  }
  for (; v0 < q; v0 += W) solve_columns_through_tile<T, 1>(l, m, rows, s, lds, v0, q - v0 < W ? q - v0 : W, tile);
  return true;
}

// ------------------------------------------------ right couplings, Y·Lᵀ = F

/// Rows x0 … x0 + NX·W − 1 of columns r0 … r0 + NR − 1 of solve_right_transposed.
template <class T, int NX, int NR>
[[gnu::always_inline]] inline void right_tile(const T* l, const int& m, T* y, const index_t& ldy, const int& x0,
                                              const int& r0) {
  using L = lanes<T>;
  constexpr int W = L::W;
  typename L::vec acc[NX][NR];
  for (int j = 0; j < NR; ++j)
    for (int i = 0; i < NX; ++i) L::load(acc[i][j], y + index_t(r0 + j) * ldy + x0 + i * W);
  for (int v = 0; v < r0; ++v) {
    typename L::vec yv[NX];
    for (int i = 0; i < NX; ++i) L::load(yv[i], y + index_t(v) * ldy + x0 + i * W);
    const T* lv = l + index_t(m) * v + r0;  // L(r0 + j, v) = lv[j]
#pragma GCC unroll 4
    for (int j = 0; j < NR; ++j)
      for (int i = 0; i < NX; ++i) acc[i][j] = acc[i][j] - yv[i] * lv[j];
  }
  for (int j = 0; j < NR; ++j) {
    for (int k = 0; k < j; ++k) {
      const T ljk = l[index_t(m) * (r0 + k) + r0 + j];
      for (int i = 0; i < NX; ++i) acc[i][j] = acc[i][j] - acc[i][k] * ljk;
    }
    const T w = T(1) / l[index_t(m + 1) * (r0 + j)];
    for (int i = 0; i < NX; ++i) acc[i][j] = acc[i][j] * w;
  }
  for (int j = 0; j < NR; ++j)
    for (int i = 0; i < NX; ++i) L::store(y + index_t(r0 + j) * ldy + x0 + i * W, acc[i][j]);
}

template <class T, int NR>
void right_tile_columns(const T* l, const int& m, T* y, const index_t& ldy, const int& rows, const int& r0) {
  constexpr int W = lanes<T>::W;
  int x0 = 0;
  for (; x0 + 2 * W <= rows; x0 += 2 * W) right_tile<T, 2, NR>(l, m, y, ldy, x0, r0);
  for (; x0 + W <= rows; x0 += W) right_tile<T, 1, NR>(l, m, y, ldy, x0, r0);
  for (int r = r0; r < r0 + NR; ++r) {
    const T w = T(1) / l[index_t(m + 1) * r];
    for (int x = x0; x < rows; ++x) {
      T sum = y[index_t(r) * ldy + x];
      for (int v = 0; v < r; ++v) sum = sum - y[index_t(v) * ldy + x] * l[index_t(m) * v + r];
      y[index_t(r) * ldy + x] = sum * w;
    }
  }
}

/// Solves Y·Lᵀ = F in place for y (rows × cols, leading dimension ldy), L
/// being the cols × cols lower triangle with L(i, k) at l[m·k + i] (the last
/// cols ≤ m rows of a block's factor in band storage). Element (x, r) takes
/// y(x, v)·L(r, v) for v = 0 … r − 1 in ascending order and is then multiplied
/// by 1 / L(r, r), as the column-by-column loop forms it: the same bits.
template <class T>
void solve_right_transposed(const T* l, const int& m, T* y, const index_t& ldy, const int& rows, const int& cols) {
  int r0 = 0;
  for (; r0 + 4 <= cols; r0 += 4) right_tile_columns<T, 4>(l, m, y, ldy, rows, r0);
  switch (cols - r0) {
    case 3: right_tile_columns<T, 3>(l, m, y, ldy, rows, r0); break;
    case 2: right_tile_columns<T, 2>(l, m, y, ldy, rows, r0); break;
    case 1: right_tile_columns<T, 1>(l, m, y, ldy, rows, r0); break;
    default: break;
  }
}

// ------------------------------------------------------------------- fill

/// Columns v0 … v0 + NV − 1 of f(0 … R − 1, ·) = −panel·x, panel being R rows
/// (2 vectors) stored column by column (panel[k·R + t]), x being m × m with
/// leading dimension ldx; f(t, v) − Σ … in ascending k from zero.
template <class T, int NV>
[[gnu::always_inline]] inline void fill_tile(const T* panel, const T* x, const index_t& ldx, const int& m,
                                             const int& v0, typename lanes<T>::vec (&out)[2][4]) {
  using L = lanes<T>;
  constexpr int W = L::W;
  constexpr int R = 2 * W;
  typename L::vec acc[2][NV];
  for (int j = 0; j < NV; ++j) acc[0][j] = acc[1][j] = typename L::vec{};
  const T* xc[NV];
  for (int j = 0; j < NV; ++j) xc[j] = x + index_t(v0 + j) * ldx;
  for (int k = 0; k < m; ++k) {
    typename L::vec y0, y1;
    L::load(y0, panel + index_t(k) * R);
    L::load(y1, panel + index_t(k) * R + W);
#pragma GCC unroll 4
    for (int j = 0; j < NV; ++j) {
      const T xs = xc[j][k];
      acc[0][j] = acc[0][j] - y0 * xs;
      acc[1][j] = acc[1][j] - y1 * xs;
    }
  }
  for (int j = 0; j < NV; ++j) {
    out[0][j] = acc[0][j];
    out[1][j] = acc[1][j];
  }
}

/// y ← −y·x in place: y holds rows × m elements (leading dimension ldy), x is
/// m × m (leading dimension ldx) and lies apart from y. Element (t, v) is
/// 0 − y(t, 1)·x(1, v) − y(t, 2)·x(2, v) − … in ascending order, as the plain
/// loop forms it. False, with y untouched, when a panel of m columns does not
/// fit on the stack.
template <class T>
bool negate_product_in_place(T* y, const index_t& ldy, const T* x, const index_t& ldx, const int& rows,
                             const int& m) {
  using L = lanes<T>;
  constexpr int W = L::W;
  constexpr int R = 2 * W;
  if (index_t(R) * m > panel_capacity) return false;
  alignas(64) T panel[panel_capacity];
  for (int t0 = 0; t0 < rows; t0 += R) {
    const int rr = rows - t0 < R ? rows - t0 : R;
    for (int k = 0; k < m; ++k) {
      const T* yk = y + index_t(k) * ldy + t0;
      T* pk = panel + index_t(k) * R;
      for (int t = 0; t < rr; ++t) pk[t] = yk[t];
      for (int t = rr; t < R; ++t) pk[t] = T(0);
    }
    int v0 = 0;
    typename L::vec out[2][4];
    for (; v0 < m; v0 += 4) {
      const int nv = m - v0 < 4 ? m - v0 : 4;
      switch (nv) {
        case 4: fill_tile<T, 4>(panel, x, ldx, m, v0, out); break;
        case 3: fill_tile<T, 3>(panel, x, ldx, m, v0, out); break;
        case 2: fill_tile<T, 2>(panel, x, ldx, m, v0, out); break;
        default: fill_tile<T, 1>(panel, x, ldx, m, v0, out); break;
      }
      for (int j = 0; j < nv; ++j) {
        T* f = y + index_t(v0 + j) * ldy + t0;
        if (rr == R) {
          L::store(f, out[0][j]);
          L::store(f + W, out[1][j]);
        } else {
          alignas(64) T e[R];
          L::store(e, out[0][j]);
          L::store(e + W, out[1][j]);
          for (int t = 0; t < rr; ++t) f[t] = e[t];
        }
      }
    }
  }
  return true;
}

// ------------------------------------------- complement of a right partner

/// c(u, v) ← c(u, v) − σ(u, v) for the NV columns v0 … of a tile whose rows
/// u0 … u0 + 2W − 1 are in the panel (panel[x·2W + i] = s(x, u0 + i)),
/// σ(u, v) = 0 + s(x₀, v)·s(x₀, u) + s(x₁, v)·s(x₁, u) + … in ascending rows,
/// the order of the plain loop; only u ≥ v, u < m is stored.
template <class T, int NV>
[[gnu::always_inline]] inline void gram_tile(T* c, const index_t& ldc, const T* panel, const T* s,
                                             const index_t& lds, const int& rows, const int& m, const int& u0,
                                             const int& v0) {
  using L = lanes<T>;
  constexpr int W = L::W;
  constexpr int R = 2 * W;
  const T* sv[NV];
  for (int j = 0; j < NV; ++j) sv[j] = s + index_t(v0 + j) * lds;
  typename L::vec acc[2][NV];
  for (int j = 0; j < NV; ++j) acc[0][j] = acc[1][j] = typename L::vec{};
  for (int x = 0; x < rows; ++x) {
    typename L::vec p0, p1;
    L::load(p0, panel + index_t(x) * R);
    L::load(p1, panel + index_t(x) * R + W);
#pragma GCC unroll 4
    for (int j = 0; j < NV; ++j) {
      const T svx = sv[j][x];
      acc[0][j] = acc[0][j] + p0 * svx;
      acc[1][j] = acc[1][j] + p1 * svx;
    }
  }
  for (int j = 0; j < NV; ++j) {
    alignas(64) T e[R];
    L::store(e, acc[0][j]);
    L::store(e + W, acc[1][j]);
    T* cv = c + index_t(v0 + j) * ldc;
    for (int i = 0; i < R; ++i) {
      const int u = u0 + i;
      if (u >= v0 + j && u < m) cv[u] = cv[u] - e[i];
    }
  }
}

/// c(u, v) ← c(u, v) − Σ_x s(x, v)·s(x, u) for 0 ≤ v ≤ u < m, x = 0 … rows − 1,
/// each sum formed from zero in ascending rows as the plain loop forms it; c
/// has leading dimension ldc and its upper triangle is left alone (in band
/// storage it holds other entries). Rows u go 2W at a time through a panel on
/// the stack; false, with c untouched, when the panel of rows rows does not fit.
template <class T>
bool subtract_lower_gram(T* c, const index_t& ldc, const T* s, const index_t& lds, const int& rows, const int& m) {
  using L = lanes<T>;
  constexpr int R = 2 * L::W;
  if (index_t(rows) * R > panel_capacity) return false;
  alignas(64) T panel[panel_capacity];
  for (int u0 = 0; u0 < m; u0 += R) {
    const int ru = m - u0 < R ? m - u0 : R;
    for (int x = 0; x < rows; ++x)
      for (int i = 0; i < R; ++i) panel[index_t(x) * R + i] = i < ru ? s[index_t(u0 + i) * lds + x] : T(0);
    const int vend = u0 + ru;  // columns v < vend meet rows u ≥ v of this panel
    int v0 = 0;
    for (; v0 + 4 <= vend; v0 += 4) gram_tile<T, 4>(c, ldc, panel, s, lds, rows, m, u0, v0);
    for (; v0 < vend; ++v0) gram_tile<T, 1>(c, ldc, panel, s, lds, rows, m, u0, v0);
  }
  return true;
}

/// r(v) ← r(v) − Σ_x s(x, v)·b(x) for v = 0 … m − 1, x = 0 … rows − 1, four
/// columns at a time, as dot products: each vector lane sums every W-th row,
/// the lanes are added in lane order and the last rows one by one. r lies apart
/// from s and b.
template <class T>
void subtract_transposed_product(T* r, const T* s, const index_t& lds, const int& rows, const int& m, const T* b) {
  using L = lanes<T>;
  constexpr int W = L::W;
  for (int v0 = 0; v0 < m; v0 += 4) {
    const int nv = m - v0 < 4 ? m - v0 : 4;
    typename L::vec acc[4] = {};
    const T* sv[4];
    for (int j = 0; j < nv; ++j) sv[j] = s + index_t(v0 + j) * lds;
    int x = 0;
    if (nv == 4) {
      for (; x + W <= rows; x += W) {
        typename L::vec bx, t;
        L::load(bx, b + x);
        for (int j = 0; j < 4; ++j) {
          L::load(t, sv[j] + x);
          acc[j] = acc[j] + t * bx;
        }
      }
    } else {
      for (; x + W <= rows; x += W) {
        typename L::vec bx, t;
        L::load(bx, b + x);
        for (int j = 0; j < nv; ++j) {
          L::load(t, sv[j] + x);
          acc[j] = acc[j] + t * bx;
        }
      }
    }
    for (int j = 0; j < nv; ++j) {
      T sum = L::sum(acc[j]);
      for (int t = x; t < rows; ++t) sum = sum + sv[j][t] * b[t];
      r[v0 + j] = r[v0 + j] - sum;
    }
  }
}

// -------------------------------------------- complement of a left partner

/// Rows x0 … x0 + NX·W − 1 of columns r0 … r0 + NR − 1 of the update of
/// subtract_lower_outer (all of them on or below the diagonal).
template <class T, int NX, int NR>
[[gnu::always_inline]] inline void outer_tile(T* c, const index_t& ldc, const T* y, const index_t& ldy,
                                              const int& cols, const int& x0, const int& r0) {
  using L = lanes<T>;
  constexpr int W = L::W;
  typename L::vec acc[NX][NR];
  for (int j = 0; j < NR; ++j)
    for (int i = 0; i < NX; ++i) L::load(acc[i][j], c + index_t(r0 + j) * ldc + x0 + i * W);
  for (int v = 0; v < cols; ++v) {
    const T* yv = y + index_t(v) * ldy;
    typename L::vec yx[NX];
    for (int i = 0; i < NX; ++i) L::load(yx[i], yv + x0 + i * W);
#pragma GCC unroll 4
    for (int j = 0; j < NR; ++j) {
      const T yr = yv[r0 + j];
      for (int i = 0; i < NX; ++i) acc[i][j] = acc[i][j] - yx[i] * yr;
    }
  }
  for (int j = 0; j < NR; ++j)
    for (int i = 0; i < NX; ++i) L::store(c + index_t(r0 + j) * ldc + x0 + i * W, acc[i][j]);
}

/// c(x, r) ← c(x, r) − y(r, 0)·y(x, 0) − y(r, 1)·y(x, 1) − … − y(r, cols − 1)·y(x, cols − 1)
/// for 0 ≤ r ≤ x < rows, the products subtracted one after the other as the
/// plain loop does; y is rows × cols (leading dimension ldy), c has leading
/// dimension ldc and its upper triangle is left alone.
template <class T>
void subtract_lower_outer(T* c, const index_t& ldc, const T* y, const index_t& ldy, const int& rows,
                          const int& cols) {
  using L = lanes<T>;
  constexpr int W = L::W;
  constexpr int NR = 4;
  auto single = [&](int x, int r) {
    T& cxr = c[index_t(r) * ldc + x];
    T sum = cxr;
    for (int v = 0; v < cols; ++v) sum = sum - y[index_t(v) * ldy + r] * y[index_t(v) * ldy + x];
    cxr = sum;
  };
  int r0 = 0;
  for (; r0 + NR <= rows; r0 += NR) {
    // The triangle above row r0 + NR − 1, one element at a time.
    for (int r = r0; r < r0 + NR - 1; ++r)
      for (int x = r; x < r0 + NR - 1; ++x) single(x, r);
    int x0 = r0 + NR - 1;
    for (; x0 + 2 * W <= rows; x0 += 2 * W) outer_tile<T, 2, NR>(c, ldc, y, ldy, cols, x0, r0);
    for (; x0 + W <= rows; x0 += W) outer_tile<T, 1, NR>(c, ldc, y, ldy, cols, x0, r0);
    for (int r = r0; r < r0 + NR; ++r)
      for (int x = x0; x < rows; ++x) single(x, r);
  }
  for (int r = r0; r < rows; ++r)
    for (int x = r; x < rows; ++x) single(x, r);
}

}  // namespace velqo::blocked
