// The sequential band block factorisation against LAPACK and by reconstruction.
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
