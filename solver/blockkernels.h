// Register-blocked products for the block steps of the parallel solve.
//
// The block steps of a band wider than a vector register spend their time in
// three dense products of m × m pieces: the fill −Y·X, the Schur complement
// Xᵀ·X of a right partner (its lower triangle) and the complement Y·Yᵀ of a
// left partner, besides the spike solve L·X = S and the right coupling
// Y·Lᵀ = F. Real types use the kernels above the narrow-band steps, complex
// types (which have none) from a few columns on. The kernels below keep a small tile of the result in vector
// registers for the whole inner loop and stream the operands with unit stride
// from their column-major arrays (leading dimensions as given), copying the
// operand that goes across the lanes into a small row-major panel on the stack. They work on
// all four element types in GCC vector extensions; nothing is fused
// (-ffp-contract=off, no FMA), and nothing allocates. They take the vector
// width in bytes as a template argument: 32, or for real types 64 (AVX-512),
// which the callers choose through in_widest_vectors; the tiles and panels
// hold as many elements more, and the order of every sum stays the same.
//
// A complex vector holds its elements as they lie in memory, real and
// imaginary part side by side. The product of such a vector x with one complex
// factor f is x·re(f) + x̃·im(f), x̃ being x with the parts of every element
// exchanged and the new real part negated, (−im(x), re(x)): the real part
// re(x)·re(f) − im(x)·im(f) and the imaginary part im(x)·re(f) + re(x)·im(f),
// the products and the sums of mul / mul_sub (solver/scalar.h), so an update
// c − x·f gives their bits. x̃ is formed once per vector, f once per element.
// Routines that read the upper triangle of a Hermitian matrix take the form F
// and conjugate (adjoint<F>) the operands the plain loops conjugate; pivots
// divide and reciprocals multiply as divide_by_block_pivot and
// times_pivot_reciprocal do.
//
// The spike solve, the fill, the right coupling and both complements sum every
// element in the same order as the plain loops (the products taken one after
// the other in ascending index), so they give the same bits. The right
// partner's right-hand sides are, for real types, dot products along the
// partner's rows, in an order that depends on the row count only; for complex
// types they come from the right complement's panel in the plain loop's order.
#pragma once

#include <algorithm>
#include <complex>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

#include "solver/bandstorage.h"
#include "solver/scalar.h"

namespace velqo::blocked {

/// Elements of the panel the fill and the right complement copy onto the stack
/// (at most 64 KiB: complex<double> has half as many).
template <class T> inline constexpr int panel_capacity = sizeof(T) > 8 ? 4096 : 8192;

/// W elements of type T in one GCC vector of Bytes bytes (32 unless a kernel
/// asks for the 64 of AVX-512), and the product of a vector with one element:
/// the vector taken as an operand (take), the element spread as a factor
/// (spread), each formed once for all the products it enters.
template <class T, int Bytes = 32> struct lanes {
  static constexpr int W = int(Bytes / sizeof(T));
  typedef T vec __attribute__((vector_size(Bytes)));
  using factor = T;
  struct operand {
    vec x;
  };

  /// r ← p[0 … W − 1] (through a reference: a vector return value would depend
  /// on the instruction set the caller is compiled for).
  [[gnu::always_inline]] static void load(vec& r, const T* p) { std::memcpy(&r, p, sizeof r); }
  [[gnu::always_inline]] static void store(T* p, const vec& v) { std::memcpy(p, &v, sizeof v); }
  [[gnu::always_inline]] static void spread(factor& f, const T& s) { f = s; }
  [[gnu::always_inline]] static void take(operand& p, const vec& x) { p.x = x; }
  /// x·f elementwise.
  [[gnu::always_inline]] static void product(vec& r, const operand& p, const factor& f) { r = p.x * f; }
  /// Lane 0 + lane 1 + … in lane order.
  [[gnu::always_inline]] static T sum(const vec& v) {
    T s = v[0];
    for (int i = 1; i < W; ++i) s = s + v[i];
    return s;
  }
};

/// W complex elements in one 32-byte vector of their parts, interleaved. The
/// operand keeps x and x̃ = (−im(x), re(x)) of each element, the factor re(f) and
/// im(f) in every part: x·re(f) + x̃·im(f) is re(x)·re(f) − im(x)·im(f) and
/// im(x)·re(f) + re(x)·im(f), the products and the sums of mul.
template <class R> struct lanes<std::complex<R>, 32> {
  using T = std::complex<R>;
  static constexpr int W = int(32 / sizeof(T));
  typedef R vec __attribute__((vector_size(32)));
  struct factor {
    vec re, im;
  };
  struct operand {
    vec x, turned;
  };

  /// Unaligned and free to alias the elements: a plain vector load, which
  /// keeps the accumulators of a tile in registers where a copy would not.
  typedef R unaligned __attribute__((vector_size(32), aligned(alignof(R)), may_alias));
  [[gnu::always_inline]] static void load(vec& r, const T* p) { r = *reinterpret_cast<const unaligned*>(p); }
  [[gnu::always_inline]] static void store(T* p, const vec& v) { *reinterpret_cast<unaligned*>(p) = v; }
  /// The parts are copied, not computed (0 + x would flush a subnormal x).
  [[gnu::always_inline]] static void spread(factor& f, const T& s) {
    const R re = s.real(), im = s.imag();
    if constexpr (W == 4) {
      f.re = vec{re, re, re, re, re, re, re, re};
      f.im = vec{im, im, im, im, im, im, im, im};
    } else {
      f.re = vec{re, re, re, re};
      f.im = vec{im, im, im, im};
    }
  }
  /// p.turned: the parts of every element exchanged and the new real part
  /// negated, by its sign bit (exact, subnormals included).
  [[gnu::always_inline]] static void take(operand& p, const vec& x) {
    using bits = std::conditional_t<sizeof(R) == 4, std::int32_t, std::int64_t>;
    typedef bits ivec __attribute__((vector_size(32)));
    constexpr bits sign = std::numeric_limits<bits>::min();
    p.x = x;
    if constexpr (W == 4) {
      const vec exchanged = __builtin_shufflevector(x, x, 1, 0, 3, 2, 5, 4, 7, 6);
      p.turned = (vec)((ivec)exchanged ^ ivec{sign, 0, sign, 0, sign, 0, sign, 0});
    } else {
      const vec exchanged = __builtin_shufflevector(x, x, 1, 0, 3, 2);
      p.turned = (vec)((ivec)exchanged ^ ivec{sign, 0, sign, 0});
    }
  }
  /// x·f elementwise, each element as mul forms it.
  [[gnu::always_inline]] static void product(vec& r, const operand& p, const factor& f) {
    r = p.x * f.re + p.turned * f.im;
  }
};

/// Whether the kernels that have a variant in 64-byte vectors use it: on x86-64
/// processors with AVX-512 (which the build itself leaves out, see
/// cmake/compiler_flags.cmake), unless the test seam keeps them to 32 bytes.
bool wide_vectors();

#if defined(__x86_64__)
/// kernel.operator()<64>(), compiled for AVX-512.
template <class K> [[gnu::target("avx512f")]] auto in_wide_vectors(const K& kernel) {
  return kernel.template operator()<64>();
}
#endif

/// Whether 64-byte tiles pay at half bandwidth m: from 256 bytes of band a
/// row on (32 doubles, 64 floats). Below, the lanes that the tiles' rounding
/// up leaves idle cost more than the wider vectors save: float m = 12 to 48
/// took up to 1.18 times as long in them, double m = 16 to 24 about as long.
template <class T> constexpr bool wide_tiles_pay(const int& m) { return m * int(sizeof(T)) >= 256; }

/// kernel.operator()<Bytes>() in the widest vectors the processor has for T at
/// half bandwidth m: 64 bytes for real types where wide_vectors() says so and
/// the wide tiles pay, else 32 (complex types keep to 32). The kernel is a
/// generic lambda marked always_inline, so that its body is compiled for the
/// instruction set of the variant that calls it. Real kernels only multiply
/// and subtract, nothing fused, so both widths give the same bits.
template <class T, class K>
[[gnu::always_inline]] inline auto in_widest_vectors([[maybe_unused]] const int& m, const K& kernel) {
#if defined(__x86_64__)
  if constexpr (!is_complex<T>) {
    if (wide_tiles_pay<T>(m) && wide_vectors()) return in_wide_vectors(kernel);
  }
#endif
  return kernel.template operator()<32>();
}

/// Room for N elements of T on the stack, left uninitialised: an array of
/// std::complex would be cleared on every call (a tile of 256 KiB for
/// complex<double>).
template <class T, int N> struct scratch {
  alignas(64) unsigned char bytes[N * sizeof(T)];
  T* data() { return reinterpret_cast<T*>(bytes); }
};

/// x·w for w = pivot_reciprocal<F>(d), each element as times_pivot_reciprocal forms it.
template <class T, form F, int Bytes = 32>
[[gnu::always_inline]] inline void times_reciprocal(typename lanes<T, Bytes>::vec& x, const T& w) {
  using L = lanes<T, Bytes>;
  if constexpr (conjugates<T, F>) {
    x = x * w.real();
  } else {
    typename L::factor f;
    typename L::operand u;
    L::spread(f, w);
    L::take(u, x);
    L::product(x, u, f);
  }
}

/// row[0 … count − 1] ← divide_by(row[k], d) for complex elements, through
/// vectors of W elements (count a multiple of W): the range of every quotient
/// is tested first, and a row with one out of range divides element by element.
template <class T> void divide_row(T* row, const int& count, const T& d) {
  using L = lanes<T>;
  using R = real_type<T>;
  constexpr int W = L::W;
  bool plain = true;
  for (int k = 0; k < count; ++k) plain &= detail::quotient_in_range(row[k], d);
  if (!plain) [[unlikely]] {
    for (int k = 0; k < count; ++k) row[k] = divide_by(row[k], d);
    return;
  }
  // (u·conj(d))·s with s = 1 / (re(d)² + im(d)²), as divide_by_plain.
  const R s = R(1) / (d.real() * d.real() + d.imag() * d.imag());
  typename L::factor f;
  L::spread(f, T(d.real(), -d.imag()));
  for (int k = 0; k < count; k += W) {
    typename L::vec x;
    typename L::operand u;
    L::load(x, row + k);
    L::take(u, x);
    L::product(x, u, f);
    L::store(row + k, x * s);
  }
}

// ---------------------------------------------------- spike columns, L·X = S

/// Elements of the row-major tile the spike solve copies onto the stack (at
/// most 128 KiB: complex<double> has half as many).
template <class T> inline constexpr int tile_capacity = sizeof(T) > 8 ? 8192 : 16384;

/// Solves L·X = tile in place for the NC·W columns of a row-major tile (row y
/// at tile + y·NC·W), row by row: row y takes the products of rows
/// max(0, y − m) … y − 1 in ascending order and is then divided by L(y, y), the
/// order of the column-by-column loop.
template <class T, form F, int NC, int Bytes>
[[gnu::always_inline]] inline void solve_tile_rows(const T* l, const int& m, const int& rows, T* tile) {
  using L = lanes<T, Bytes>;
  constexpr int W = L::W;
  constexpr int C = NC * W;
  for (int y = 0; y < rows; ++y) {
    typename L::vec acc[NC];
    T* ty = tile + index_t(y) * C;
    for (int c = 0; c < NC; ++c) L::load(acc[c], ty + c * W);
    for (int x = y - m < 0 ? 0 : y - m; x < y; ++x) {
      typename L::factor lyx;
      L::spread(lyx, l[index_t(m) * x + y]);
      const T* tx = tile + index_t(x) * C;
#pragma GCC unroll 4
      for (int c = 0; c < NC; ++c) {
        typename L::vec t;
        typename L::operand u;
        L::load(t, tx + c * W);
        L::take(u, t);
        L::product(t, u, lyx);
        acc[c] = acc[c] - t;
      }
    }
    const T d = l[index_t(m + 1) * y];
    if constexpr (!is_complex<T>) {
      for (int c = 0; c < NC; ++c) L::store(ty + c * W, acc[c] / d);
    } else if constexpr (conjugates<T, F>) {
      for (int c = 0; c < NC; ++c) L::store(ty + c * W, acc[c] / d.real());  // a real pivot divides both parts
    } else {
      for (int c = 0; c < NC; ++c) L::store(ty + c * W, acc[c]);
      divide_row(ty, C, d);
    }
  }
}

/// The columns v0 … v0 + count − 1 of s through a tile of NC·W columns.
template <class T, form F, int NC, int Bytes>
[[gnu::always_inline]] inline void solve_columns_through_tile(const T* l, const int& m, const int& rows, T* s,
                                                              const index_t& lds, const int& v0, const int& count,
                                                              T* tile) {
  constexpr int C = NC * lanes<T, Bytes>::W;
  for (int j = 0; j < C; ++j) {
    const T* column = s + index_t(v0 + j) * lds;
    for (int y = 0; y < rows; ++y) tile[index_t(y) * C + j] = j < count ? column[y] : T(0);
  }
  solve_tile_rows<T, F, NC, Bytes>(l, m, rows, tile);
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
template <class T, form F, int Bytes = 32>
[[gnu::always_inline]] inline bool solve_lower_band(const T* l, const int& m, const int& rows, T* s,
                                                    const index_t& lds, const int& q) {
  constexpr int W = lanes<T, Bytes>::W;
  if (index_t(rows) * W > tile_capacity<T>) {
    if constexpr (Bytes > 32) return solve_lower_band<T, F, 32>(l, m, rows, s, lds, q);
    return false;
  }
  scratch<T, tile_capacity<T>> room;
  T* tile = room.data();
  int v0 = 0;
  if (index_t(rows) * 4 * W <= tile_capacity<T>) {
    for (; v0 + 2 * W < q; v0 += 4 * W)
      solve_columns_through_tile<T, F, 4, Bytes>(l, m, rows, s, lds, v0, q - v0 < 4 * W ? q - v0 : 4 * W, tile);
  }
  if (index_t(rows) * 2 * W <= tile_capacity<T>) {
    for (; v0 + W < q; v0 += 2 * W)
      solve_columns_through_tile<T, F, 2, Bytes>(l, m, rows, s, lds, v0, q - v0 < 2 * W ? q - v0 : 2 * W, tile);
  }
  for (; v0 < q; v0 += W)
    solve_columns_through_tile<T, F, 1, Bytes>(l, m, rows, s, lds, v0, q - v0 < W ? q - v0 : W, tile);
  return true;
}

// ------------------------------------------------ right couplings, Y·Lᵀ = F

/// Rows x0 … x0 + NX·W − 1 of columns r0 … r0 + NR − 1 of solve_right_transposed.
template <class T, form F, int NX, int NR, int Bytes>
[[gnu::always_inline]] inline void right_tile(const T* l, const int& m, T* y, const index_t& ldy, const int& x0,
                                              const int& r0) {
  using L = lanes<T, Bytes>;
  constexpr int W = L::W;
  typename L::vec acc[NX][NR];
  for (int j = 0; j < NR; ++j)
    for (int i = 0; i < NX; ++i) L::load(acc[i][j], y + index_t(r0 + j) * ldy + x0 + i * W);
  for (int v = 0; v < r0; ++v) {
    typename L::operand yv[NX];
    for (int i = 0; i < NX; ++i) {
      typename L::vec t;
      L::load(t, y + index_t(v) * ldy + x0 + i * W);
      L::take(yv[i], t);
    }
    const T* lv = l + index_t(m) * v + r0;  // L(r0 + j, v) = lv[j]
#pragma GCC unroll 4
    for (int j = 0; j < NR; ++j) {
      typename L::factor f;
      L::spread(f, adjoint<F>(lv[j]));
      for (int i = 0; i < NX; ++i) {
        typename L::vec t;
        L::product(t, yv[i], f);
        acc[i][j] = acc[i][j] - t;
      }
    }
  }
  for (int j = 0; j < NR; ++j) {
    for (int k = 0; k < j; ++k) {
      typename L::factor f;
      L::spread(f, adjoint<F>(l[index_t(m) * (r0 + k) + r0 + j]));
      for (int i = 0; i < NX; ++i) {
        typename L::vec t;
        typename L::operand u;
        L::take(u, acc[i][k]);
        L::product(t, u, f);
        acc[i][j] = acc[i][j] - t;
      }
    }
    const T w = pivot_reciprocal<F>(l[index_t(m + 1) * (r0 + j)]);
    for (int i = 0; i < NX; ++i) times_reciprocal<T, F, Bytes>(acc[i][j], w);
  }
  for (int j = 0; j < NR; ++j)
    for (int i = 0; i < NX; ++i) L::store(y + index_t(r0 + j) * ldy + x0 + i * W, acc[i][j]);
}

template <class T, form F, int NR, int Bytes>
[[gnu::always_inline]] inline void right_tile_columns(const T* l, const int& m, T* y, const index_t& ldy,
                                                      const int& rows, const int& r0) {
  constexpr int W = lanes<T, Bytes>::W;
  int x0 = 0;
  for (; x0 + 2 * W <= rows; x0 += 2 * W) right_tile<T, F, 2, NR, Bytes>(l, m, y, ldy, x0, r0);
  for (; x0 + W <= rows; x0 += W) right_tile<T, F, 1, NR, Bytes>(l, m, y, ldy, x0, r0);
  for (int r = r0; r < r0 + NR; ++r) {
    const T w = pivot_reciprocal<F>(l[index_t(m + 1) * r]);
    for (int x = x0; x < rows; ++x) {
      T sum = y[index_t(r) * ldy + x];
      for (int v = 0; v < r; ++v) sum = mul_sub(sum, y[index_t(v) * ldy + x], adjoint<F>(l[index_t(m) * v + r]));
      y[index_t(r) * ldy + x] = times_pivot_reciprocal<F>(sum, w);
    }
  }
}

/// Solves Y·Lᵀ = F (Y·Lᴴ = F) in place for y (rows × cols, leading dimension
/// ldy), L being the cols × cols lower triangle with L(i, k) at l[m·k + i] (the
/// last cols ≤ m rows of a block's factor in band storage). Element (x, r) takes
/// y(x, v)·L(r, v) (conjugated) for v = 0 … r − 1 in ascending order and is then
/// multiplied by pivot_reciprocal<F>(L(r, r)), as the column-by-column loop
/// forms it: the same bits.
template <class T, form F, int Bytes = 32>
[[gnu::always_inline]] inline void solve_right_transposed(const T* l, const int& m, T* y, const index_t& ldy,
                                                          const int& rows, const int& cols) {
  int r0 = 0;
  for (; r0 + 4 <= cols; r0 += 4) right_tile_columns<T, F, 4, Bytes>(l, m, y, ldy, rows, r0);
  switch (cols - r0) {
    case 3: right_tile_columns<T, F, 3, Bytes>(l, m, y, ldy, rows, r0); break;
    case 2: right_tile_columns<T, F, 2, Bytes>(l, m, y, ldy, rows, r0); break;
    case 1: right_tile_columns<T, F, 1, Bytes>(l, m, y, ldy, rows, r0); break;
    default: break;
  }
}

// ------------------------------------------------------------------- fill

/// p0, p1 ← row k of a panel (its R = 2W elements from panel[k·R] on), as
/// operands of L::product.
template <class T, int Bytes = 32>
[[gnu::always_inline]] inline void panel_row(const T* panel, const index_t& k, typename lanes<T, Bytes>::operand& p0,
                                             typename lanes<T, Bytes>::operand& p1) {
  using L = lanes<T, Bytes>;
  constexpr int W = L::W;
  typename L::vec t0, t1;
  L::load(t0, panel + k * (2 * W));
  L::load(t1, panel + k * (2 * W) + W);
  L::take(p0, t0);
  L::take(p1, t1);
}

/// acc[·][j] ← acc[·][j] ∓ panel(k)·col_j(k) for k = 0 … count − 1 in
/// ascending order (Subtract: −, else +), panel(k) being the R = 2W elements
/// panel[k·R …] and col_j(k) = cols[j][k]: the inner loop of the fill and of
/// the right partner's complement.
template <class T, int NV, bool Subtract, int Bytes = 32>
[[gnu::always_inline]] inline void accumulate_panel(const T* panel, const T* (&cols)[NV], const int& count,
                                                    typename lanes<T, Bytes>::vec (&acc)[2][NV]) {
  using L = lanes<T, Bytes>;
  for (int k = 0; k < count; ++k) {
    typename L::operand p0, p1;
    panel_row<T, Bytes>(panel, k, p0, p1);
#pragma GCC unroll 4
    for (int j = 0; j < NV; ++j) {
      typename L::factor f;
      L::spread(f, cols[j][k]);
      typename L::vec q0, q1;
      L::product(q0, p0, f);
      L::product(q1, p1, f);
      if constexpr (Subtract) {
        acc[0][j] = acc[0][j] - q0;
        acc[1][j] = acc[1][j] - q1;
      } else {
        acc[0][j] = acc[0][j] + q0;
        acc[1][j] = acc[1][j] + q1;
      }
    }
  }
}

/// Columns v0 … v0 + NV − 1 of f(0 … R − 1, ·) = −panel·x, panel being R rows
/// (2 vectors) stored column by column (panel[k·R + t]), x being m × m with
/// leading dimension ldx; f(t, v) − Σ … in ascending k from zero.
template <class T, int NV, int Bytes>
[[gnu::always_inline]] inline void fill_tile(const T* panel, const T* x, const index_t& ldx, const int& m,
                                             const int& v0, typename lanes<T, Bytes>::vec (&out)[2][4]) {
  typename lanes<T, Bytes>::vec acc[2][NV];
  for (int j = 0; j < NV; ++j) acc[0][j] = acc[1][j] = typename lanes<T, Bytes>::vec{};
  const T* xc[NV];
  for (int j = 0; j < NV; ++j) xc[j] = x + index_t(v0 + j) * ldx;
  accumulate_panel<T, NV, true, Bytes>(panel, xc, m, acc);
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
template <class T, int Bytes = 32>
[[gnu::always_inline]] inline bool negate_product_in_place(T* y, const index_t& ldy, const T* x, const index_t& ldx,
                                                           const int& rows, const int& m) {
  using L = lanes<T, Bytes>;
  constexpr int W = L::W;
  constexpr int R = 2 * W;
  if (index_t(R) * m > panel_capacity<T>) {
    if constexpr (Bytes > 32) return negate_product_in_place<T, 32>(y, ldy, x, ldx, rows, m);
    return false;
  }
  scratch<T, panel_capacity<T>> room;
  T* panel = room.data();
  for (int t0 = 0; t0 < rows; t0 += R) {
    const int rr = rows - t0 < R ? rows - t0 : R;
    for (int k = 0; k < m; ++k) {
      const T* yk = y + index_t(k) * ldy + t0;
      T* pk = panel + index_t(k) * R;
      if (rr == R) {
        // Two vectors: a copy loop of unknown length becomes a string move,
        // whose start-up costs more than the copy.
        typename L::vec v0, v1;
        L::load(v0, yk);
        L::load(v1, yk + W);
        L::store(pk, v0);
        L::store(pk + W, v1);
      } else {
        for (int t = 0; t < rr; ++t) pk[t] = yk[t];
        for (int t = rr; t < R; ++t) pk[t] = T(0);
      }
    }
    int v0 = 0;
    typename L::vec out[2][4];
    for (; v0 < m; v0 += 4) {
      const int nv = m - v0 < 4 ? m - v0 : 4;
      switch (nv) {
        case 4: fill_tile<T, 4, Bytes>(panel, x, ldx, m, v0, out); break;
        case 3: fill_tile<T, 3, Bytes>(panel, x, ldx, m, v0, out); break;
        case 2: fill_tile<T, 2, Bytes>(panel, x, ldx, m, v0, out); break;
        default: fill_tile<T, 1, Bytes>(panel, x, ldx, m, v0, out); break;
      }
      for (int j = 0; j < nv; ++j) {
        T* f = y + index_t(v0 + j) * ldy + t0;
        if (rr == R) {
          L::store(f, out[0][j]);
          L::store(f + W, out[1][j]);
        } else {
          scratch<T, R> room;
          T* e = room.data();
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
/// u0 … u0 + 2W − 1 are in the panel (panel[x·2W + i] = s(x, u0 + i), conjugated
/// in the Hermitian form), σ(u, v) = 0 + s(x₀, v)·s(x₀, u) + s(x₁, v)·s(x₁, u) + …
/// in ascending rows,
/// the order of the plain loop; only u ≥ v, u < m is stored.
template <class T, int NV, int Bytes = 32>
[[gnu::always_inline]] inline void gram_tile(T* c, const index_t& ldc, const T* panel, const T* s,
                                             const index_t& lds, const int& rows, const int& m, const int& u0,
                                             const int& v0) {
  using L = lanes<T, Bytes>;
  constexpr int W = L::W;
  constexpr int R = 2 * W;
  const T* sv[NV];
  for (int j = 0; j < NV; ++j) sv[j] = s + index_t(v0 + j) * lds;
  typename L::vec acc[2][NV];
  for (int j = 0; j < NV; ++j) acc[0][j] = acc[1][j] = typename L::vec{};
  accumulate_panel<T, NV, false, Bytes>(panel, sv, rows, acc);
  for (int j = 0; j < NV; ++j) {
    scratch<T, R> room;
    T* e = room.data();
    L::store(e, acc[0][j]);
    L::store(e + W, acc[1][j]);
    T* cv = c + index_t(v0 + j) * ldc;
    for (int i = 0; i < R; ++i) {
      const int u = u0 + i;
      if (u >= v0 + j && u < m) cv[u] = cv[u] - e[i];
    }
  }
}

/// r(u0 + i, k) ← r(u0 + i, k) − panel(x, i)·b(x, k) for x = 0 … rows − 1 one
/// after the other, i < ru, every right-hand side k < nrhs (leading dimension
/// ldb of b and r): the order of the plain loop.
template <class T>
void subtract_panel_product(T* r, const T* b, const index_t& ldb, const int& nrhs, const T* panel, const int& rows,
                            const int& u0, const int& ru) {
  using L = lanes<T>;
  constexpr int W = L::W;
  constexpr int R = 2 * W;
  for (int k = 0; k < nrhs; ++k) {
    const T* bk = b + index_t(k) * ldb;
    scratch<T, R> room;
    T* e = room.data();
    for (int i = ru; i < R; ++i) e[i] = T(0);
    T* rk = r + index_t(k) * ldb + u0;
    for (int i = 0; i < ru; ++i) e[i] = rk[i];
    typename L::vec acc0, acc1;
    L::load(acc0, e);
    L::load(acc1, e + W);
    for (int x = 0; x < rows; ++x) {
      typename L::operand p0, p1;
      panel_row<T>(panel, x, p0, p1);
      typename L::vec t0, t1;
      typename L::factor f;
      L::spread(f, bk[x]);
      L::product(t0, p0, f);
      L::product(t1, p1, f);
      acc0 = acc0 - t0;
      acc1 = acc1 - t1;
    }
    L::store(e, acc0);
    L::store(e + W, acc1);
    for (int i = 0; i < ru; ++i) rk[i] = e[i];
  }
}

/// c(u, v) ← c(u, v) − Σ_x s(x, v)·s(x, u) (s(x, u) conjugated in the Hermitian
/// form: Xᴴ·X) for 0 ≤ v ≤ u < m, x = 0 … rows − 1, each sum formed from zero
/// in ascending rows as the plain loop forms it; c has leading dimension ldc
/// and its upper triangle is left alone (in band storage it holds other
/// entries). Given nrhs right-hand sides, also r(u, k) ← r(u, k) − s(x, u)·b(x, k)
/// (conjugated likewise: Xᴴ·b) for x = 0, 1, … one after the other, the plain
/// loop's order (b, r with leading dimension ldb, r apart from b and s). Rows u
/// go 2W at a time through a panel on the stack; false, with c and r untouched,
/// when the panel of rows rows does not fit.
template <class T, form F>
bool subtract_lower_gram(T* c, const index_t& ldc, const T* s, const index_t& lds, const int& rows, const int& m,
                         T* r = nullptr, const T* b = nullptr, const index_t& ldb = 0, const int& nrhs = 0) {
  using L = lanes<T>;
  constexpr int R = 2 * L::W;
  if (index_t(rows) * R > panel_capacity<T>) return false;
  scratch<T, panel_capacity<T>> room;
  T* panel = room.data();
  for (int u0 = 0; u0 < m; u0 += R) {
    const int ru = m - u0 < R ? m - u0 : R;
    for (int x = 0; x < rows; ++x)
      for (int i = 0; i < R; ++i) panel[index_t(x) * R + i] = i < ru ? adjoint<F>(s[index_t(u0 + i) * lds + x]) : T(0);
    const int vend = u0 + ru;  // columns v < vend meet rows u ≥ v of this panel
    int v0 = 0;
    for (; v0 + 4 <= vend; v0 += 4) gram_tile<T, 4>(c, ldc, panel, s, lds, rows, m, u0, v0);
    for (; v0 < vend; ++v0) gram_tile<T, 1>(c, ldc, panel, s, lds, rows, m, u0, v0);
    if (nrhs > 0) subtract_panel_product(r, b, ldb, nrhs, panel, rows, u0, ru);
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
template <class T, form F, int NX, int NR, int Bytes>
[[gnu::always_inline]] inline void outer_tile(T* c, const index_t& ldc, const T* y, const index_t& ldy,
                                              const int& cols, const int& x0, const int& r0) {
  using L = lanes<T, Bytes>;
  constexpr int W = L::W;
  typename L::vec acc[NX][NR];
  for (int j = 0; j < NR; ++j)
    for (int i = 0; i < NX; ++i) L::load(acc[i][j], c + index_t(r0 + j) * ldc + x0 + i * W);
  for (int v = 0; v < cols; ++v) {
    const T* yv = y + index_t(v) * ldy;
    typename L::operand yx[NX];
    for (int i = 0; i < NX; ++i) {
      typename L::vec t;
      L::load(t, yv + x0 + i * W);
      L::take(yx[i], t);
    }
#pragma GCC unroll 4
    for (int j = 0; j < NR; ++j) {
      typename L::factor yr;
      L::spread(yr, adjoint<F>(yv[r0 + j]));
      for (int i = 0; i < NX; ++i) {
        typename L::vec t;
        L::product(t, yx[i], yr);
        acc[i][j] = acc[i][j] - t;
      }
    }
  }
  for (int j = 0; j < NR; ++j)
    for (int i = 0; i < NX; ++i) L::store(c + index_t(r0 + j) * ldc + x0 + i * W, acc[i][j]);
}

/// c(x, r) ← c(x, r) − y(r, 0)·y(x, 0) − y(r, 1)·y(x, 1) − … − y(r, cols − 1)·y(x, cols − 1)
/// (y(r, v) conjugated in the Hermitian form: Y·Yᴴ)
/// for 0 ≤ r ≤ x < rows, the products subtracted one after the other as the
/// plain loop does; y is rows × cols (leading dimension ldy), c has leading
/// dimension ldc and its upper triangle is left alone.
template <class T, form F, int Bytes = 32>
[[gnu::always_inline]] inline void subtract_lower_outer(T* c, const index_t& ldc, const T* y, const index_t& ldy,
                                                        const int& rows, const int& cols) {
  using L = lanes<T, Bytes>;
  constexpr int W = L::W;
  constexpr int NR = 4;
  auto single = [&](int x, int r) {
    T& cxr = c[index_t(r) * ldc + x];
    T sum = cxr;
    for (int v = 0; v < cols; ++v) sum = mul_sub(sum, adjoint<F>(y[index_t(v) * ldy + r]), y[index_t(v) * ldy + x]);
    cxr = sum;
  };
  int r0 = 0;
  for (; r0 + NR <= rows; r0 += NR) {
    // The triangle above row r0 + NR − 1, one element at a time.
    for (int r = r0; r < r0 + NR - 1; ++r)
      for (int x = r; x < r0 + NR - 1; ++x) single(x, r);
    int x0 = r0 + NR - 1;
    for (; x0 + 2 * W <= rows; x0 += 2 * W) outer_tile<T, F, 2, NR, Bytes>(c, ldc, y, ldy, cols, x0, r0);
    for (; x0 + W <= rows; x0 += W) outer_tile<T, F, 1, NR, Bytes>(c, ldc, y, ldy, cols, x0, r0);
    for (int r = r0; r < r0 + NR; ++r)
      for (int x = x0; x < rows; ++x) single(x, r);
  }
  for (int r = r0; r < rows; ++r)
    for (int x = r; x < rows; ++x) single(x, r);
}

// -------------------------------- band updates of the factorisation pipeline
//
// The pipeline applies the updates of finished columns j = lo … hi to a block
// of later columns i = c … e of the band itself (solver/bandstorage.h):
// a(k, i) ← a(k, i) − a(i, j)ᴴ·a(k, j), for every row k = i … min(n, hi + m)
// over the columns j = max(lo, k − m) … hi in ascending order (ᴴ: conjugated
// in the Hermitian form only), as factor_column forms them. In the band array
// element (k, j) lies at m·(j − 1) + k − 1: the band is a column-major array
// of leading dimension m, so a tile of rows of four target columns takes one
// vector of a column j per row vector and one element of it per target.

/// The updates of the elements (k, i0) … (k, i0 + C − 1) of one row side by
/// side: their sums run over the same columns j, each in the order of
/// factor_column, as C chains the processor overlaps.
template <class T, form F, int C>
inline void subtract_band_row(T* a, const int& m, const int& k, const int& i0, const int& lo, const int& hi) {
  T t[C];
  for (int r = 0; r < C; ++r) t[r] = band(a, m, k, i0 + r);
  for (int j = std::max(lo, k - m); j <= hi; ++j) {
    const T akj = band(a, m, k, j);
    for (int r = 0; r < C; ++r) t[r] = mul_sub(t[r], adjoint<F>(band(a, m, i0 + r, j)), akj);
  }
  for (int r = 0; r < C; ++r) band(a, m, k, i0 + r) = t[r];
}

/// Rows k0 … k0 + NX·W − 1 of the columns i0 … i0 + NR − 1 (k0 ≥ i0 + NR − 1).
/// Row k0 + x takes the columns from max(lo, k0 + x − m) on, so the columns
/// before the last row's first go under a mask of the rows they reach; the
/// other rows' lanes then read elements of the next column, which stay unused.
template <class T, form F, int Bytes, int NX, int NR>
[[gnu::always_inline]] inline void band_columns_tile(T* a, const int& m, const int& lo, const int& hi,
                                                     const int& k0, const int& i0) {
  using L = lanes<T, Bytes>;
  using R = real_type<T>;
  typedef R parts __attribute__((vector_size(Bytes)));
  constexpr int W = L::W, P = int(Bytes / sizeof(R)), H = NX * W;
  T* const c = &band(a, m, k0, i0);  // c[x + r·m] = a(k0 + x, i0 + r)
  typename L::vec acc[NX][NR];
  for (int r = 0; r < NR; ++r)
    for (int x = 0; x < NX; ++x) L::load(acc[x][r], c + index_t(r) * m + x * W);
  parts row[NX];  // the row of every part of a vector, counted from k0
  for (int x = 0; x < NX; ++x)
    for (int p = 0; p < P; ++p) row[x][p] = R(x * W + p / (P / W));
  // The columns before unmasked go under the mask, the others take every row:
  // two loops, so that the second, the longer, keeps no mask in registers.
  const int first = std::max(lo, k0 - m), unmasked = std::max(lo, std::min(hi + 1, k0 + H - 1 - m));
  const auto update = [&](const int& j, auto masked) __attribute__((always_inline)) {
    const T* const column = &band(a, m, k0, j);  // column[x] = a(k0 + x, j)
    typename L::operand v[NX];
    for (int x = 0; x < NX; ++x) {
      typename L::vec t;
      L::load(t, column + x * W);
      L::take(v[x], t);
    }
    const R reach = R(j + m - k0);  // column j reaches rows k0 … j + m
#pragma GCC unroll 4
    for (int r = 0; r < NR; ++r) {
      typename L::factor u;
      L::spread(u, adjoint<F>(band(a, m, i0 + r, j)));
      for (int x = 0; x < NX; ++x) {
        typename L::vec t;
        L::product(t, v[x], u);
        if constexpr (decltype(masked)::value) {
          const auto in = row[x] <= reach;  // a mask of 0 or −1 a part
          acc[x][r] = in ? acc[x][r] - t : acc[x][r];
        } else {
          acc[x][r] = acc[x][r] - t;
        }
      }
    }
  };
  int j = first;
  for (; j < unmasked; ++j) update(j, std::true_type{});
  for (; j <= hi; ++j) update(j, std::false_type{});
  for (int r = 0; r < NR; ++r)
    for (int x = 0; x < NX; ++x) L::store(c + index_t(r) * m + x * W, acc[x][r]);
}

/// The updates of the columns lo … hi (hi < c) on the columns c … e of a band
/// matrix of order n, four target columns at a time in vectors of Bytes bytes
/// (64 only for real types); every element takes its updates in the order of
/// factor_column, so the factor is the same bit for bit. Returns the first
/// column left to the caller (those of a last group of fewer than four).
template <class T, form F, int Bytes>
[[gnu::always_inline]] inline int subtract_band_columns(T* a, const int& n, const int& m, const int& c, const int& e,
                                                        const int& lo, const int& hi) {
  constexpr int NR = 4, NX = Bytes == 64 ? 3 : 2, W = lanes<T, Bytes>::W;
  const int kend = std::min(n, hi + m);
  int i0 = c;
  for (; i0 + NR - 1 <= e; i0 += NR) {
    // The triangle above row i0 + NR − 1 and the rows below the last tile go
    // a row at a time.
    static_assert(NR == 4);
    if (i0 <= kend) subtract_band_row<T, F, 1>(a, m, i0, i0, lo, hi);
    if (i0 + 1 <= kend) subtract_band_row<T, F, 2>(a, m, i0 + 1, i0, lo, hi);
    if (i0 + 2 <= kend) subtract_band_row<T, F, 3>(a, m, i0 + 2, i0, lo, hi);
    int k0 = i0 + NR - 1;
    for (; k0 + NX * W - 1 <= kend; k0 += NX * W) band_columns_tile<T, F, Bytes, NX, NR>(a, m, lo, hi, k0, i0);
    for (; k0 + W - 1 <= kend; k0 += W) band_columns_tile<T, F, Bytes, 1, NR>(a, m, lo, hi, k0, i0);
    for (int k = k0; k <= kend; ++k) subtract_band_row<T, F, NR>(a, m, k, i0, lo, hi);
  }
  return i0;
}

}  // namespace velqo::blocked
