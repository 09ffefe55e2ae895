// The register-blocked products of the wide-band steps against plain loops, on
// random pieces of every shape they meet: widths around the vector width and
// the tile sizes, short and long row counts, leading dimensions longer than the
// rows; every element type, complex ones in both forms. The plain loops are
// those of the block steps, written with the same scalar helpers (mul_sub,
// adjoint, the pivot divisions). The spike solves, the fill and both
// complements keep the loops' order (same bits); so do the complex right
// partner's right-hand sides, while the real ones are compared within a bound
// relative to ε.
// Real kernels run in 32- and 64-byte vectors (the library takes the wider ones
// where the processor has AVX-512); both are checked on every machine, in
// whatever this build compiles 64-byte vectors to.
// Elements outside what a product owns (the upper triangle, which in band
// storage holds other entries, and the rows past the leading rows) must come
// back untouched.
#include <algorithm>
#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "solver/blockkernels.h"
#include "support.h"

namespace {

using namespace testing_support;
using velqo::adjoint;
using velqo::form;
using velqo::index_t;
using velqo::mul_sub;

/// An element type and the form its kernels run in.
template <class E, form G> struct Case {
  using T = E;
  static constexpr form F = G;
};
using Cases = ::testing::Types<Case<float, form::symmetric>, Case<double, form::symmetric>,
                               Case<complex4, form::symmetric>, Case<complex8, form::symmetric>,
                               Case<complex4, form::hermitian>, Case<complex8, form::hermitian>>;

template <class C> class BlockKernels : public ::testing::Test {};
TYPED_TEST_SUITE(BlockKernels, Cases);

template <class T> std::vector<T> random_array(std::size_t count, std::mt19937& rng) {
  std::vector<T> x(count);
  for (T& e : x) e = random_value<T>(rng, -1.0, 1.0);
  return x;
}

template <class T> std::vector<int> widths() {
  constexpr int W = velqo::blocked::lanes<T>::W;
  return {1, 3, W - 1, W, W + 1, 2 * W - 1, 2 * W + 1, 4 * W + 1, 17, 33, 40};
}

/// kernel<Bytes>() for each vector width the library runs T's kernels in.
template <class T, class K> void for_each_width(const K& kernel) {
  kernel.template operator()<32>();
  if constexpr (!velqo::is_complex<T>) kernel.template operator()<64>();
}

template <class T> std::vector<int> row_counts(int m) {
  constexpr int W = velqo::blocked::lanes<T>::W;
  return {1, W - 1, 2 * W + 1, m, m + 1};
}

/// The i-th pivot of a dominant diagonal; complex ones with an imaginary part
/// (which the Hermitian form ignores).
template <class T> T pivot(int i) {
  if constexpr (velqo::is_complex<T>) {
    return T(real_type<T>(2 + i % 3), real_type<T>(i % 2 != 0 ? 0.5 : -0.75));
  } else {
    return T(2 + i % 3);
  }
}

/// A pivot whose complex quotients leave the range of the plain formula.
template <class T> T huge_pivot() {
  using R = real_type<T>;
  const R big = std::ldexp(R(1), std::numeric_limits<R>::max_exponent / 2 + 8);
  return T(big, big / 4);
}

TYPED_TEST(BlockKernels, FillIsThePlainLoopBitForBit) {
  using T = typename TypeParam::T;
  std::mt19937 rng(11);
  std::vector<std::pair<int, int>> shapes;
  for (int m : widths<T>())
    for (int rows : row_counts<T>(m)) shapes.emplace_back(m, rows);
  // Beyond the 64-byte panel's reach, where the 32-byte one takes over.
  if constexpr (!velqo::is_complex<T>)
    shapes.emplace_back(velqo::blocked::panel_capacity<T> / (2 * velqo::blocked::lanes<T, 64>::W) + 1, 9);
  for (const auto& shape : shapes) {
    const int m = shape.first, rows = shape.second;
    SCOPED_TRACE(::testing::Message() << "m=" << m << " rows=" << rows);
    const index_t ldy = rows + 3, ldx = m + 2;
    std::vector<T> y = random_array<T>(std::size_t(ldy * m), rng);
    const std::vector<T> x = random_array<T>(std::size_t(ldx * m), rng);
    std::vector<T> want = y;
    for (int t = 0; t < rows; ++t)
      for (int v = 0; v < m; ++v) {
        T f = T(0);
        for (int k = 0; k < m; ++k) f = mul_sub(f, y[k * ldy + t], x[v * ldx + k]);
        want[v * ldy + t] = f;
      }
    for_each_width<T>([&]<int B>() {
      std::vector<T> got = y;
      ASSERT_TRUE((velqo::blocked::negate_product_in_place<T, B>(got.data(), ldy, x.data(), ldx, rows, m)));
      EXPECT_TRUE(same_bits(got, want)) << B << " bytes";
    });
  }
}

TYPED_TEST(BlockKernels, SpikeSolveIsThePlainLoopBitForBit) {
  using T = typename TypeParam::T;
  constexpr form F = TypeParam::F;
  constexpr int W = velqo::blocked::lanes<T>::W;
  std::mt19937 rng(14);
  for (int m : widths<T>()) {
    std::vector<int> heights = {1, W - 1, m + 1, 3 * m + 2};
    if (m == 17) heights.push_back(1100);  // past a float 64-byte tile's reach: the 32-byte one takes over
    for (int rows : heights) {
      for (int q : {1, W + 1, 2 * W + 1, 4 * W + 3, m}) {
        SCOPED_TRACE(::testing::Message() << "m=" << m << " rows=" << rows << " q=" << q);
        // L(i, k) at l[m·k + i]; a dominant diagonal keeps the solution bounded.
        std::vector<T> l = random_array<T>(std::size_t(m) * (rows - 1) + rows, rng);
        for (int i = 0; i < rows; ++i) l[std::size_t(m + 1) * i] = pivot<T>(i);
        if constexpr (velqo::is_complex<T>) l[std::size_t(m + 1) * (rows / 2)] = huge_pivot<T>();
        const index_t lds = rows + 2;
        std::vector<T> s = random_array<T>(std::size_t(lds * q), rng);
        if constexpr (velqo::is_complex<T>) {
          // A first column near the bottom of the range, some of whose quotients
          // leave the plain formula's range.
          const real_type<T> tiny = std::ldexp(real_type<T>(1), std::numeric_limits<real_type<T>>::min_exponent);
          for (int x = 0; x < rows; ++x) s[x] *= tiny;
        }
        std::vector<T> want = s;
        for (int v = 0; v < q; ++v)
          for (int x = 0; x < rows; ++x) {
            T& sx = want[v * lds + x];
            sx = velqo::divide_by_block_pivot<F>(sx, l[std::size_t(m + 1) * x]);
            for (int y = x + 1; y <= std::min(rows - 1, x + m); ++y)
              want[v * lds + y] = mul_sub(want[v * lds + y], l[std::size_t(m) * x + y], sx);
          }
        for_each_width<T>([&]<int B>() {
          std::vector<T> got = s;
          ASSERT_TRUE((velqo::blocked::solve_lower_band<T, F, B>(l.data(), m, rows, got.data(), lds, q)));
          EXPECT_TRUE(same_bits(got, want)) << B << " bytes";
        });
      }
    }
  }
}

TYPED_TEST(BlockKernels, RightCouplingIsThePlainLoopBitForBit) {
  using T = typename TypeParam::T;
  constexpr form F = TypeParam::F;
  std::mt19937 rng(15);
  for (int m : widths<T>()) {
    for (int rows : row_counts<T>(m)) {
      if (rows > m) continue;
      SCOPED_TRACE(::testing::Message() << "m=" << m << " rows=" << rows);
      std::vector<T> l = random_array<T>(std::size_t(m) * m, rng);
      for (int i = 0; i < m; ++i) l[std::size_t(m + 1) * i] = pivot<T>(i);
      if constexpr (velqo::is_complex<T>) l[std::size_t(m + 1) * (m / 2)] = huge_pivot<T>();
      const index_t ldy = rows + 2;
      std::vector<T> y = random_array<T>(std::size_t(ldy * m), rng);
      std::vector<T> want = y;
      for (int v = 0; v < m; ++v) {
        const T w = velqo::pivot_reciprocal<F>(l[std::size_t(m + 1) * v]);
        for (int x = 0; x < rows; ++x) want[v * ldy + x] = velqo::times_pivot_reciprocal<F>(want[v * ldy + x], w);
        for (int i = v + 1; i < m; ++i)
          for (int x = 0; x < rows; ++x)
            want[i * ldy + x] = mul_sub(want[i * ldy + x], adjoint<F>(l[std::size_t(m) * v + i]), want[v * ldy + x]);
      }
      for_each_width<T>([&]<int B>() {
        std::vector<T> got = y;
        velqo::blocked::solve_right_transposed<T, F, B>(l.data(), m, got.data(), ldy, rows, m);
        EXPECT_TRUE(same_bits(got, want)) << B << " bytes";
      });
    }
  }
}

TYPED_TEST(BlockKernels, LeftComplementIsThePlainLoopBitForBit) {
  using T = typename TypeParam::T;
  constexpr form F = TypeParam::F;
  std::mt19937 rng(12);
  for (int m : widths<T>()) {
    for (int rows : {1, m / 2 + 1, m}) {
      SCOPED_TRACE(::testing::Message() << "m=" << m << " rows=" << rows);
      const index_t ldy = rows + 5;
      const std::vector<T> y = random_array<T>(std::size_t(ldy * m), rng);
      std::vector<T> c = random_array<T>(std::size_t(m * m), rng);
      std::vector<T> want = c;
      for (int v = 0; v < m; ++v)
        for (int r = 0; r < rows; ++r)
          for (int x = r; x < rows; ++x)
            want[r * m + x] = mul_sub(want[r * m + x], adjoint<F>(y[v * ldy + r]), y[v * ldy + x]);
      for_each_width<T>([&]<int B>() {
        std::vector<T> got = c;
        velqo::blocked::subtract_lower_outer<T, F, B>(got.data(), index_t(m), y.data(), ldy, rows, m);
        EXPECT_TRUE(same_bits(got, want)) << B << " bytes";
      });
    }
  }
}

TYPED_TEST(BlockKernels, RightComplementBitForBitAndRightHandSidesWithinRounding) {
  using T = typename TypeParam::T;
  constexpr form F = TypeParam::F;
  std::mt19937 rng(13);
  for (int m : widths<T>()) {
    for (int rows : row_counts<T>(m)) {
      SCOPED_TRACE(::testing::Message() << "m=" << m << " rows=" << rows);
      const index_t lds = rows + 3;
      const std::vector<T> s = random_array<T>(std::size_t(lds * m), rng);
      std::vector<T> c = random_array<T>(std::size_t(m * m), rng);
      std::vector<T> want_c = c;
      for (int v = 0; v < m; ++v)
        for (int u = v; u < m; ++u) {
          T sigma = T(0);
          for (int x = 0; x < rows; ++x) sigma = sigma + velqo::mul(s[v * lds + x], adjoint<F>(s[u * lds + x]));
          want_c[v * m + u] = want_c[v * m + u] - sigma;
        }
      if constexpr (velqo::is_complex<T>) {
        // Two right-hand sides from the gram's panel, in the plain loop's order.
        const int nrhs = 2;
        const index_t ldb = std::max(m, rows) + 1;
        const std::vector<T> b = random_array<T>(std::size_t(ldb * nrhs), rng);
        std::vector<T> r = random_array<T>(std::size_t(ldb * nrhs), rng);
        std::vector<T> want_r = r;
        for (int k = 0; k < nrhs; ++k)
          for (int v = 0; v < m; ++v)
            for (int x = 0; x < rows; ++x)
              want_r[k * ldb + v] = mul_sub(want_r[k * ldb + v], adjoint<F>(s[v * lds + x]), b[k * ldb + x]);
        ASSERT_TRUE((velqo::blocked::subtract_lower_gram<T, F>(c.data(), index_t(m), s.data(), lds, rows, m,
                                                               r.data(), b.data(), ldb, nrhs)));
        EXPECT_TRUE(same_bits(r, want_r));
      } else {
        const std::vector<T> b = random_array<T>(std::size_t(rows), rng);
        std::vector<T> r = random_array<T>(std::size_t(m + 1), rng);
        std::vector<T> want_r = r;
        std::vector<double> bound_r(r.size(), 0.0);
        const double eps = epsilon<T>();
        for (int v = 0; v < m; ++v) {
          double size_r = std::abs(double(r[v]));
          for (int x = 0; x < rows; ++x) {
            want_r[v] = want_r[v] - s[v * lds + x] * b[x];
            size_r += std::abs(double(s[v * lds + x]) * b[x]);
          }
          bound_r[v] = 2.0 * (rows + 1) * eps * size_r;
        }
        ASSERT_TRUE((velqo::blocked::subtract_lower_gram<T, F>(c.data(), index_t(m), s.data(), lds, rows, m)));
        velqo::blocked::subtract_transposed_product(r.data(), s.data(), lds, rows, m, b.data());
        for (std::size_t i = 0; i < r.size(); ++i) EXPECT_LE(std::abs(double(r[i]) - want_r[i]), bound_r[i]) << i;
      }
      EXPECT_TRUE(same_bits(c, want_c));
    }
  }
}

}  // namespace
