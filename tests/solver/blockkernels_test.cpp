// The register-blocked products of the wide-band steps against plain loops, on
// random pieces of every shape they meet: widths around the vector width and
// the tile sizes, short and long row counts, leading dimensions longer than the
// rows. The spike solves, the fill and both complements keep the loops' order
// (same bits); the right partner's right-hand sides are compared within a bound
// relative to ε.
// Elements outside what a product owns (the upper triangle, which in band
// storage holds other entries, and the rows past the leading rows) must come
// back untouched.
#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

#include "solver/blockkernels.h"
#include "support.h"

namespace {

using namespace testing_support;
using velqo::index_t;

template <class T> class BlockKernels : public ::testing::Test {};
TYPED_TEST_SUITE(BlockKernels, RealTypes);

template <class T> std::vector<T> random_array(std::size_t count, std::mt19937& rng) {
  std::vector<T> x(count);
  for (T& e : x) e = random_value<T>(rng, -1.0, 1.0);
  return x;
}

template <class T> std::vector<int> widths() {
  constexpr int W = velqo::blocked::lanes<T>::W;
  return {1, 3, W - 1, W, W + 1, 2 * W + 1, 17, 33, 40};
}

template <class T> std::vector<int> row_counts(int m) {
  constexpr int W = velqo::blocked::lanes<T>::W;
  return {1, W - 1, 2 * W + 1, m, m + 1};
}

TYPED_TEST(BlockKernels, FillIsThePlainLoopBitForBit) {
  using T = TypeParam;
  std::mt19937 rng(11);
  for (int m : widths<T>()) {
    for (int rows : row_counts<T>(m)) {
      SCOPED_TRACE(::testing::Message() << "m=" << m << " rows=" << rows);
      const index_t ldy = rows + 3, ldx = m + 2;
      std::vector<T> y = random_array<T>(std::size_t(ldy * m), rng);
      const std::vector<T> x = random_array<T>(std::size_t(ldx * m), rng);
      std::vector<T> want = y;
      for (int t = 0; t < rows; ++t)
        for (int v = 0; v < m; ++v) {
          T f = T(0);
          for (int k = 0; k < m; ++k) f = f - y[k * ldy + t] * x[v * ldx + k];
          want[v * ldy + t] = f;
        }
      ASSERT_TRUE(velqo::blocked::negate_product_in_place(y.data(), ldy, x.data(), ldx, rows, m));
      EXPECT_TRUE(same_bits(y, want));
    }
  }
}

TYPED_TEST(BlockKernels, SpikeSolveIsThePlainLoopBitForBit) {
  using T = TypeParam;
  constexpr int W = velqo::blocked::lanes<T>::W;
  std::mt19937 rng(14);
  for (int m : widths<T>()) {
    for (int rows : {1, W - 1, m + 1, 3 * m + 2}) {
      for (int q : {1, W + 1, 2 * W + 1, 4 * W + 3, m}) {
        SCOPED_TRACE(::testing::Message() << "m=" << m << " rows=" << rows << " q=" << q);
        // L(i, k) at l[m·k + i]; a dominant diagonal keeps the solution bounded.
        std::vector<T> l = random_array<T>(std::size_t(m) * (rows - 1) + rows, rng);
        for (int i = 0; i < rows; ++i) l[std::size_t(m + 1) * i] = T(2 + i % 3);
        const index_t lds = rows + 2;
        std::vector<T> s = random_array<T>(std::size_t(lds * q), rng);
        std::vector<T> want = s;
        for (int v = 0; v < q; ++v)
          for (int x = 0; x < rows; ++x) {
            T& sx = want[v * lds + x];
            sx = sx / l[std::size_t(m + 1) * x];
            for (int y = x + 1; y <= std::min(rows - 1, x + m); ++y)
              want[v * lds + y] = want[v * lds + y] - l[std::size_t(m) * x + y] * sx;
          }
        ASSERT_TRUE(velqo::blocked::solve_lower_band(l.data(), m, rows, s.data(), lds, q));
        EXPECT_TRUE(same_bits(s, want));
      }
    }
  }
}

TYPED_TEST(BlockKernels, RightCouplingIsThePlainLoopBitForBit) {
  using T = TypeParam;
  std::mt19937 rng(15);
  for (int m : widths<T>()) {
    for (int rows : row_counts<T>(m)) {
      if (rows > m) continue;
      SCOPED_TRACE(::testing::Message() << "m=" << m << " rows=" << rows);
      std::vector<T> l = random_array<T>(std::size_t(m) * m, rng);
      for (int i = 0; i < m; ++i) l[std::size_t(m + 1) * i] = T(2 + i % 3);
      const index_t ldy = rows + 2;
      std::vector<T> y = random_array<T>(std::size_t(ldy * m), rng);
      std::vector<T> want = y;
      for (int v = 0; v < m; ++v) {
        const T w = T(1) / l[std::size_t(m + 1) * v];
        for (int x = 0; x < rows; ++x) want[v * ldy + x] = want[v * ldy + x] * w;
        for (int i = v + 1; i < m; ++i)
          for (int x = 0; x < rows; ++x)
            want[i * ldy + x] = want[i * ldy + x] - l[std::size_t(m) * v + i] * want[v * ldy + x];
      }
      velqo::blocked::solve_right_transposed(l.data(), m, y.data(), ldy, rows, m);
      EXPECT_TRUE(same_bits(y, want));
    }
  }
}

TYPED_TEST(BlockKernels, LeftComplementIsThePlainLoopBitForBit) {
  using T = TypeParam;
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
          for (int x = r; x < rows; ++x) want[r * m + x] = want[r * m + x] - y[v * ldy + r] * y[v * ldy + x];
      velqo::blocked::subtract_lower_outer(c.data(), index_t(m), y.data(), ldy, rows, m);
      EXPECT_TRUE(same_bits(c, want));
    }
  }
}

TYPED_TEST(BlockKernels, RightComplementBitForBitAndRightHandSidesWithinRounding) {
  using T = TypeParam;
  std::mt19937 rng(13);
  for (int m : widths<T>()) {
    for (int rows : row_counts<T>(m)) {
      SCOPED_TRACE(::testing::Message() << "m=" << m << " rows=" << rows);
      const index_t lds = rows + 3;
      const std::vector<T> s = random_array<T>(std::size_t(lds * m), rng);
      const std::vector<T> b = random_array<T>(std::size_t(rows), rng);
      std::vector<T> c = random_array<T>(std::size_t(m * m), rng);
      std::vector<T> r = random_array<T>(std::size_t(m + 1), rng);
      std::vector<T> want_c = c, want_r = r;
      std::vector<double> bound_r(r.size(), 0.0);
      const double eps = epsilon<T>();
      for (int v = 0; v < m; ++v) {
        double size_r = std::abs(double(r[v]));
        for (int x = 0; x < rows; ++x) {
          want_r[v] = want_r[v] - s[v * lds + x] * b[x];
          size_r += std::abs(double(s[v * lds + x]) * b[x]);
        }
        bound_r[v] = 2.0 * (rows + 1) * eps * size_r;
        for (int u = v; u < m; ++u) {
          T sigma = T(0);
          for (int x = 0; x < rows; ++x) sigma = sigma + s[v * lds + x] * s[u * lds + x];
          want_c[v * m + u] = want_c[v * m + u] - sigma;
        }
      }
      ASSERT_TRUE(velqo::blocked::subtract_lower_gram(c.data(), index_t(m), s.data(), lds, rows, m));
      velqo::blocked::subtract_transposed_product(r.data(), s.data(), lds, rows, m, b.data());
      EXPECT_TRUE(same_bits(c, want_c));
      for (std::size_t i = 0; i < r.size(); ++i) EXPECT_LE(std::abs(double(r[i]) - want_r[i]), bound_r[i]) << i;
    }
  }
}

}  // namespace
