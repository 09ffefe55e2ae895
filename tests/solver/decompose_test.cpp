// The sequential band block factorisation against LAPACK and by reconstruction.
#include <cstring>

#include "lapack.h"
#include "solver/kernel.h"
#include "support.h"

namespace {

using namespace testing_support;

template <class T> class Decompose : public ::testing::Test {};
TYPED_TEST_SUITE(Decompose, ElementTypes);

// Rebuilds L·Lᵀ from the factor (no conjugation) and compares it with A.
template <class T> double reconstruction_error(const std::vector<T>& a, const std::vector<T>& l, int n, int m) {
  double worst = 0;
  for (int j = 1; j <= n; ++j)
    for (int k = j; k <= std::min(n, j + m); ++k) {
      T s(0);
      for (int q = std::max(1, k - m); q <= j; ++q) s += band(l.data(), m, k, q) * band(l.data(), m, j, q);
      worst = std::max(worst, double(magnitude(T(s - band(a.data(), m, k, j)))));
    }
  return worst / band_max(a);
}

TYPED_TEST(Decompose, ReproducesTheMatrix) {
  using T = TypeParam;
  for (int n : {1, 2, 7, 40}) {
    for (int m : {0, 1, 3, 8, 13, 60}) {
      const std::vector<T> a = random_spd_band<T>(n, m, 1000u * n + m);
      std::vector<T> l = a;
      int info[2] = {0, 0};
      velqo::decompose_csp<T>(l.data(), m, 1, n, real_type<T>(0), info, 1);
      ASSERT_EQ(info[0], 0) << "n=" << n << " m=" << m;
      EXPECT_LT(reconstruction_error(a, l, n, m), 4 * (m + 1) * tolerance<T>()) << "n=" << n << " m=" << m;
    }
  }
}

}  // namespace

namespace {

using namespace testing_support;

// ------------------------------------------------------- against LAPACK

template <class T> class DecomposeReal : public ::testing::Test {};
TYPED_TEST_SUITE(DecomposeReal, RealTypes);

TYPED_TEST(DecomposeReal, MatchesLapackFactor) {
  using T = TypeParam;
  for (int n : {1, 5, 31, 200}) {
    for (int m : {0, 1, 8, 13, n, n + 4}) {
      const std::vector<T> a = random_spd_band<T>(n, m, 7u * n + m);
      std::vector<T> l = a;
      int info[2] = {0, 0};
      velqo::decompose_csp<T>(l.data(), m, 1, n, T(0), info, 1);
      ASSERT_EQ(info[0], 0);
      std::vector<T> ref = lapack::padded(a, m);
      ASSERT_EQ(lapack::pbtrf(n, m, ref.data()), 0);
      double worst = 0;
      for (int j = 1; j <= n; ++j)
        for (int k = j; k <= std::min(n, j + m); ++k)
          worst = std::max(worst, double(std::abs(band(l.data(), m, k, j) - band(ref.data(), m, k, j))));
      EXPECT_LE(worst, (m + 1) * tolerance<T>() * std::sqrt(band_max(a))) << "n=" << n << " m=" << m;
    }
  }
}

// ------------------------------------------------------ block boundaries

// A block in the middle of the matrix reads and writes only its own rows and
// columns: everything else keeps its bytes, and the block's factor is that of the
// block taken out as a matrix of its own.
TYPED_TEST(Decompose, MiddleBlockTouchesOnlyItself) {
  using T = TypeParam;
  const int n = 30, m = 5, first = 11, last = 19;
  std::vector<T> a = random_spd_band<T>(n, m, 42);
  // Poison everything outside the block; a read of it would spread NaNs.
  const T sentinel(std::numeric_limits<real_type<T>>::quiet_NaN());
  for (int j = 1; j <= n; ++j)
    for (int k = j; k <= j + m && m * (j - 1) + k <= band_length(n, m); ++k)
      if (j < first || k > last) band(a.data(), m, k, j) = sentinel;
  const std::vector<T> before = a;

  const int nb = last - first + 1;
  std::vector<T> alone(band_length(nb, m));
  for (int j = 1; j <= nb; ++j)
    for (int k = j; k <= std::min(nb, j + m); ++k)
      band(alone.data(), m, k, j) = band(a.data(), m, first - 1 + k, first - 1 + j);

  int info[2] = {0, 0};
  velqo::decompose_csp<T>(a.data(), m, first, last, real_type<T>(0), info, 1);
  velqo::decompose_csp<T>(alone.data(), m, 1, nb, real_type<T>(0), info, 1);
  ASSERT_EQ(info[0], 0);
  for (int j = 1; j <= n; ++j)
    for (int k = j; k <= j + m && m * (j - 1) + k <= band_length(n, m); ++k) {
      const T& got = band(a.data(), m, k, j);
      if (j < first || k > last) {
        EXPECT_EQ(std::memcmp(&got, &band(before.data(), m, k, j), sizeof(T)), 0) << "a(" << k << "," << j << ")";
      } else {
        EXPECT_EQ(std::memcmp(&got, &band(alone.data(), m, k - first + 1, j - first + 1), sizeof(T)), 0)
            << "a(" << k << "," << j << ")";
      }
    }
}

TYPED_TEST(Decompose, EmptyBlockChangesNothing) {
  using T = TypeParam;
  std::vector<T> a = random_spd_band<T>(6, 2, 3);
  const std::vector<T> before = a;
  int info[2] = {0, 0};
  velqo::decompose_csp<T>(a.data(), 2, 4, 3, real_type<T>(0), info, 1);
  EXPECT_EQ(std::memcmp(a.data(), before.data(), a.size() * sizeof(T)), 0);
  EXPECT_EQ(info[0], 0);
  EXPECT_EQ(info[1], 0);
}

// ------------------------------------------------------------- failures

// Column `bad` of an n × n matrix with half bandwidth m is made to fail; the
// columns before it must be the factor of a sound run, the failing column must
// hold its updated values, the columns after it must be untouched.
template <class T> void expect_failure_at(std::vector<T> a, int n, int m, int bad, const T& pivot,
                                          const real_type<T>& eps) {
  band(a.data(), m, bad, bad) = pivot;
  // The updates of column bad from columns 1 … bad − 1, as plain arithmetic.
  std::vector<T> sound = random_spd_band<T>(n, m, 5);
  for (int j = 1; j < bad; ++j)
    for (int k = j; k <= std::min(n, j + m); ++k) band(sound.data(), m, k, j) = band(a.data(), m, k, j);
  int ok[2] = {0, 0};
  velqo::decompose_csp<T>(sound.data(), m, 1, n, eps, ok, 1);
  ASSERT_EQ(ok[0], 0) << "the reference must factorise";

  const std::vector<T> before = a;
  int info[2] = {0, 0};
  velqo::decompose_csp<T>(a.data(), m, 1, n, eps, info, 2);
  EXPECT_EQ(info[0], 0);
  EXPECT_EQ(info[1], 1);
  for (int j = 1; j <= n; ++j)
    for (int k = j; k <= std::min(n, j + m); ++k) {
      const T got = band(a.data(), m, k, j);
      if (j < bad) {
        EXPECT_EQ(std::memcmp(&got, &band(sound.data(), m, k, j), sizeof(T)), 0) << "finished a(" << k << "," << j << ")";
      } else if (j > bad) {
        EXPECT_EQ(std::memcmp(&got, &band(before.data(), m, k, j), sizeof(T)), 0) << "untouched a(" << k << "," << j << ")";
      } else {
        T expected = band(before.data(), m, k, j);
        for (int q = std::max(1, bad - m); q < bad; ++q)
          if (k <= q + m) expected = velqo::mul_sub(expected, band(a.data(), m, bad, q), band(a.data(), m, k, q));
        EXPECT_EQ(std::memcmp(&got, &expected, sizeof(T)), 0) << "updated a(" << k << "," << j << ")";
      }
    }
}

TYPED_TEST(Decompose, PivotEqualToThresholdFails) {
  using T = TypeParam;
  // Column 1 has no updates, so its pivot is exactly the stored value.
  const std::vector<T> a = random_spd_band<T>(8, 3, 11);
  expect_failure_at<T>(a, 8, 3, 1, T(real_type<T>(0.75)), real_type<T>(0.75));
  expect_failure_at<T>(a, 8, 3, 1, T(0), real_type<T>(0));
  // The same value just above the threshold passes.
  std::vector<T> b = a;
  band(b.data(), 3, 1, 1) = T(std::nextafter(real_type<T>(0.75), real_type<T>(1)));
  int info[2] = {0, 0};
  velqo::decompose_csp<T>(b.data(), 3, 1, 1, real_type<T>(0.75), info, 1);
  EXPECT_EQ(info[0], 0);
}

TYPED_TEST(Decompose, FailureMidwayLeavesFinishedUpdatedAndUntouchedColumns) {
  using T = TypeParam;
  for (int m : {1, 3, 8}) {
    // The sub-diagonal entries lie in [−1, 1] and the diagonal above 2m + 1, so
    // every sound pivot exceeds 1, while a zero diagonal entry leaves a pivot of
    // modulus below 1/2 after its updates.
    const std::vector<T> a = random_spd_band<T>(20, m, 13u + m);
    expect_failure_at<T>(a, 20, m, 9, T(0), real_type<T>(1));
    expect_failure_at<T>(a, 20, m, 20, T(0), real_type<T>(1));
  }
}

TYPED_TEST(Decompose, NotANumberPivotFails) {
  using T = TypeParam;
  const std::vector<T> a = random_spd_band<T>(10, 2, 17);
  expect_failure_at<T>(a, 10, 2, 4, T(std::numeric_limits<real_type<T>>::quiet_NaN()), real_type<T>(0));
}

TYPED_TEST(Decompose, SuccessNeverClearsAnEarlierFlag) {
  using T = TypeParam;
  std::vector<T> a = random_spd_band<T>(10, 2, 19);
  int info[2] = {0, 1};
  velqo::decompose_csp<T>(a.data(), 2, 1, 10, real_type<T>(0), info, 2);
  EXPECT_EQ(info[0], 0);
  EXPECT_EQ(info[1], 1);
}

// ------------------------------------------------------ complex pivots

template <class T> class DecomposeComplex : public ::testing::Test {};
using ComplexTypes = ::testing::Types<complex4, complex8>;
TYPED_TEST_SUITE(DecomposeComplex, ComplexTypes);

// [−4 2; 2 3] passes: |−4| = 4 > 0, L(1,1) = 2i, L(2,1) = 2 / 2i = −i and
// L(2,2) = √(3 − (−i)²) = 2, all exact.
TYPED_TEST(DecomposeComplex, NegativeRealPivotPassesWithImaginaryRoot) {
  using T = TypeParam;
  using R = real_type<T>;
  T a[3] = {T(-4, 0), T(2, 0), T(3, 0)};
  int info[2] = {0, 0};
  velqo::decompose_csp<T>(a, 1, 1, 2, R(0), info, 1);
  EXPECT_EQ(info[0], 0);
  EXPECT_EQ(a[0], T(0, 2));
  EXPECT_EQ(a[1], T(0, -1));
  EXPECT_EQ(a[2], T(2, 0));
}

TEST(PivotSize, DoubleComplexModulusIsScaled) {
  EXPECT_EQ(velqo::pivot_size(complex8(0, 0)), 0.0);
  EXPECT_EQ(velqo::pivot_size(complex8(-3, 4)), 5.0);
  const double huge = velqo::pivot_size(complex8(1e300, -1e300));
  EXPECT_TRUE(std::isfinite(huge));
  EXPECT_NEAR(huge / 1e300, std::sqrt(2.0), 1e-15);
  EXPECT_NEAR(velqo::pivot_size(complex8(1e-300, 1e-300)) / 1e-300, std::sqrt(2.0), 1e-15);
  EXPECT_TRUE(std::isnan(velqo::pivot_size(complex8(std::nan(""), 1))));
}

TEST(PivotSize, SingleComplexModulus) {
  EXPECT_EQ(velqo::pivot_size(complex4(0, 0)), 0.0f);
  EXPECT_EQ(velqo::pivot_size(complex4(3, -4)), 5.0f);
}

TEST(PivotSize, HugeComplexPivotFactorises) {
  complex8 a[1] = {complex8(1e300, 1e300)};
  int info[2] = {0, 0};
  velqo::decompose_csp_z8(a, 0, 1, 1, 1e299, info, 1);
  EXPECT_EQ(info[0], 0);
  EXPECT_TRUE(std::isfinite(a[0].real()) && std::isfinite(a[0].imag()));
}

}  // namespace
