// The benchmark's test system: its matrix, reference solution and right-hand
// sides, the uniform generator, and the positive definiteness the solver needs.
#include <cstring>
#include <vector>

#include "bench/testsystem.h"
#include "lapack.h"
#include "support.h"

namespace {

using velqo::at;
using velqo::band;
using velqo::band_length;

struct TestSystem {
  std::vector<float> a, b, x;
};

TestSystem generate(int n, int m, int nrhs) {
  TestSystem s{std::vector<float>(band_length(n, m)), std::vector<float>(std::size_t(n) * nrhs),
               std::vector<float>(std::size_t(n) * nrhs)};
  bench::generatedata(s.a.data(), s.b.data(), s.x.data(), n, m, nrhs);
  return s;
}

// The matrix built from first principles in double: L has ((j − 1 + d) mod m) + 1
// in row j + d of column j (all ones for m = 0); A = L·Lᵀ with the diagonal
// multiplied by 10. Every value is a small integer, so float holds it exactly.
std::vector<double> expected_matrix(int n, int m) {
  const int period = std::max(m, 1);
  auto l = [&](int k, int j) { return k < j || k > j + m ? 0.0 : double((j - 1 + k - j) % period + 1); };
  std::vector<double> a(band_length(n, m));
  for (int j = 1; j <= n; ++j)
    for (int i = j; i <= std::min(n, j + m); ++i) {
      double s = 0;
      for (int q = std::max(1, i - m); q <= j; ++q) s += l(i, q) * l(j, q);
      band(a.data(), m, i, j) = i == j ? 10 * s : s;
    }
  return a;
}

TEST(Generation, SingleEquation) {
  for (int m : {0, 1, 8}) {
    TestSystem s = generate(1, m, 1);
    ASSERT_EQ(s.a.size(), 1u);
    EXPECT_EQ(s.a[0], 10.0f);
    EXPECT_EQ(s.b[0], 10.0f * s.x[0]);
  }
}

TEST(Generation, BandwidthOneGivesTenTwentyTwentyAndOnes) {
  const int n = 6, m = 1;
  TestSystem s = generate(n, m, 1);
  float* a = s.a.data();
  EXPECT_EQ(band(a, m, 1, 1), 10.0f);
  for (int i = 2; i <= n; ++i) EXPECT_EQ(band(a, m, i, i), 20.0f) << i;
  for (int i = 1; i < n; ++i) EXPECT_EQ(band(a, m, i + 1, i), 1.0f) << i;
}

TEST(Generation, MatrixIsTheProductOfTheCountedFactor) {
  for (int n : {1, 2, 5, 30}) {
    for (int m : {0, 1, 2, 3, 8, 40}) {
      TestSystem s = generate(n, m, 1);
      std::vector<double> expected = expected_matrix(n, m);
      float* a = s.a.data();
      for (int j = 1; j <= n; ++j)
        for (int i = j; i <= std::min(n, j + m); ++i)
          ASSERT_EQ(double(band(a, m, i, j)), band(expected.data(), m, i, j)) << "n=" << n << " m=" << m << " a(" << i << "," << j << ")";
    }
  }
}

TEST(Generation, DoublePrecisionProductAgreesWithSingle) {
  const int n = 25, m = 4;
  std::vector<float> a4(band_length(n, m));
  std::vector<double> a8(a4.size());
  for (std::size_t k = 0; k < a4.size(); ++k) a4[k] = float(a8[k] = double(k % 7 + 1));
  bench::makepositive_cb_4(a4.data(), n, m);
  bench::makepositive_cb_8(a8.data(), n, m);
  for (std::size_t k = 0; k < a4.size(); ++k) ASSERT_EQ(double(a4[k]), a8[k]) << k;
}

TEST(Generation, RightHandSidesAreMatrixTimesSolution) {
  const int n = 40, m = 8, nrhs = 3;
  TestSystem s = generate(n, m, nrhs);
  const std::vector<double> a(s.a.begin(), s.a.end()), x(s.x.begin(), s.x.end());
  const std::vector<double> ax = testing_support::band_multiply(a, n, m, x, nrhs);
  // Each b(i) is a sum of 2m + 1 float products of entries at most band_max.
  const double bound = 2 * (2 * m + 1) * testing_support::band_max(a) * testing_support::epsilon<float>();
  for (std::size_t i = 0; i < ax.size(); ++i) EXPECT_NEAR(s.b[i], ax[i], bound) << i;
}

TEST(Generation, RepeatedCallsAreBitIdentical) {
  const TestSystem first = generate(50, 8, 2);
  generate(13, 3, 4);  // draws a different number of values in between
  const TestSystem again = generate(50, 8, 2);
  EXPECT_EQ(std::memcmp(first.a.data(), again.a.data(), first.a.size() * sizeof(float)), 0);
  EXPECT_EQ(std::memcmp(first.b.data(), again.b.data(), first.b.size() * sizeof(float)), 0);
  EXPECT_EQ(std::memcmp(first.x.data(), again.x.data(), first.x.size() * sizeof(float)), 0);
}

TEST(Generation, WritesNothingBeyondItsArrays) {
  const int n = 9, m = 4, nrhs = 2, extra = 16;
  const float sentinel = -12345.0f;
  std::vector<float> a(band_length(n, m) + extra, sentinel), b(n * nrhs + extra, sentinel),
      x(n * nrhs + extra, sentinel);
  bench::generatedata(a.data(), b.data(), x.data(), n, m, nrhs);
  for (int k = 0; k < extra; ++k) {
    EXPECT_EQ(a[band_length(n, m) + k], sentinel);
    EXPECT_EQ(b[n * nrhs + k], sentinel);
    EXPECT_EQ(x[n * nrhs + k], sentinel);
  }
}

// A process's rows must be the slices of the whole system bit for bit, whatever
// the split: rows at either end, ranges shorter than the band, a lone row.
TEST(Generation, RowRangesAreSlicesOfTheWholeSystem) {
  for (int n : {1, 2, 9, 40}) {
    for (int m : {0, 1, 3, 8}) {
      const int nrhs = 2;
      const TestSystem whole = generate(n, m, nrhs);
      for (int size : {1, 3, 7, n}) {
        for (int first = 1; first <= n; first += size) {
          const int rows = std::min(size, n - first + 1);
          std::vector<float> a((m + 1) * rows), b(rows * nrhs), x(rows * nrhs);
          bench::generaterows(a.data(), b.data(), x.data(), n, m, nrhs, first, rows);
          const auto where = ::testing::Message() << "n=" << n << " m=" << m << " rows " << first << "+" << rows;
          const std::size_t stored = std::min<std::size_t>(a.size(), whole.a.size() - (m + 1) * (first - 1));
          EXPECT_EQ(std::memcmp(a.data(), &whole.a[(m + 1) * (first - 1)], stored * sizeof(float)), 0) << where;
          for (int k = 1; k <= nrhs; ++k) {
            EXPECT_EQ(std::memcmp(&at(b.data(), rows, 1, k), &at(whole.b.data(), n, first, k), rows * sizeof(float)), 0)
                << where << " b column " << k;
            EXPECT_EQ(std::memcmp(&at(x.data(), rows, 1, k), &at(whole.x.data(), n, first, k), rows * sizeof(float)), 0)
                << where << " x column " << k;
          }
        }
      }
    }
  }
}

TEST(Generation, EachSolutionColumnIsDrawnInOrder) {
  const int n = 7, nrhs = 3;
  TestSystem s = generate(n, 2, nrhs);
  bench::ini_random();
  for (int k = 1; k <= nrhs; ++k)
    for (int i = 1; i <= n; ++i)
      EXPECT_EQ(at(s.x.data(), n, i, k), bench::uniform_random()) << i << "," << k;
}

TEST(Generation, UniformValuesLieInTheHalfOpenUnitInterval) {
  bench::ini_random();
  const int draws = 2000000;
  double sum = 0;
  float lowest = 1, highest = 0;
  for (int k = 0; k < draws; ++k) {
    const float v = bench::uniform_random();
    ASSERT_GE(v, 0.0f);
    ASSERT_LT(v, 1.0f);
    sum += v;
    lowest = std::min(lowest, v);
    highest = std::max(highest, v);
  }
  EXPECT_NEAR(sum / draws, 0.5, 0.002);
  EXPECT_LT(lowest, 1e-5f);
  EXPECT_GT(highest, 1.0f - 1e-5f);
}

TEST(Generation, SeedComesFromTheTable) {
  ASSERT_GE(bench::random_seed_size(), 1);
  ASSERT_LE(bench::random_seed_size(), 8);
  bench::ini_random();
  const float a = bench::uniform_random();
  bench::random_put_seed(bench::seed_table);
  EXPECT_EQ(bench::uniform_random(), a);
  const int other[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  bench::random_put_seed(other);
  EXPECT_NE(bench::uniform_random(), a);
}

TEST(Generation, MatrixIsPositiveDefinite) {
  for (int n : {1, 3, 50, 300}) {
    for (int m : {0, 1, 2, 8, 13}) {
      TestSystem s = generate(n, m, 1);
      std::vector<double> a(s.a.begin(), s.a.end());
      std::vector<double> ab = lapack::padded(a, m);
      EXPECT_EQ(lapack::pbtrf(n, m, ab.data()), 0) << "n=" << n << " m=" << m;
    }
  }
}

}  // namespace
