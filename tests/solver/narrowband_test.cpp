// The steps compiled for narrow bands against the generic steps: the same
// operations in the same order, so the same bits.
#include <cstring>

#include "solver/kernel.h"
#include "solver/narrowband.h"
#include "solver/testing.h"
#include "solver/velqo.h"
#include "support.h"

namespace {

using namespace testing_support;

template <class T> class NarrowBand : public ::testing::Test {
 protected:
  void TearDown() override { velqo::testing::force_generic_steps(false); }
};
TYPED_TEST_SUITE(NarrowBand, ElementTypes);

void entry(float* a, const int& n, const int& m, float* b, const int& nrhs, float* w, int& s) {
  velqo::mesolution_csp_4(a, n, m, b, nrhs, w, s);
}
void entry(double* a, const int& n, const int& m, double* b, const int& nrhs, double* w, int& s) {
  velqo::mesolution_csp_8(a, n, m, b, nrhs, w, s);
}
void entry(complex4* a, const int& n, const int& m, complex4* b, const int& nrhs, complex4* w, int& s) {
  velqo::mesolution_csp_z4(a, n, m, b, nrhs, w, s);
}
void entry(complex8* a, const int& n, const int& m, complex8* b, const int& nrhs, complex8* w, int& s) {
  velqo::mesolution_csp_z8(a, n, m, b, nrhs, w, s);
}

template <class T> bool same_bits(const std::vector<T>& x, const std::vector<T>& y) {
  return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * sizeof(T)) == 0;
}

// Solves with the steps of the given kind; returns the matrix and the solutions.
template <class T> std::pair<std::vector<T>, std::vector<T>> solve(bool generic, int n, int m, int nrhs) {
  velqo::testing::force_generic_steps(generic);
  std::vector<T> a = random_spd_band<T>(n, m, 7u * n + m), b = random_rhs<T>(n, nrhs, 11u * n + m);
  std::vector<T> w(std::max<std::size_t>(1, 2 * std::size_t(n) * m));
  int status = -1;
  entry(a.data(), n, m, b.data(), nrhs, w.data(), status);
  EXPECT_EQ(status, 0);
  return {std::move(a), std::move(b)};
}

TYPED_TEST(NarrowBand, SolveMatchesTheGenericStepsBitForBit) {
  using T = TypeParam;
  velqo::settasks(2);
  for (int m : {1, 2, 5, 8, 16})
    for (int n : {7, 300, 2000})
      for (int nrhs : {1, 3}) {
        const auto generic = solve<T>(true, n, m, nrhs);
        const auto narrow = solve<T>(false, n, m, nrhs);
        EXPECT_TRUE(same_bits(generic.first, narrow.first)) << "a: n=" << n << " m=" << m << " nrhs=" << nrhs;
        EXPECT_TRUE(same_bits(generic.second, narrow.second)) << "b: n=" << n << " m=" << m << " nrhs=" << nrhs;
      }
}

TYPED_TEST(NarrowBand, FactorisationMatchesTheGenericStepsBitForBit) {
  using T = TypeParam;
  for (int m : {1, 3, 8, 16}) {
    const int n = 200;
    std::vector<T> generic = random_spd_band<T>(n, m, 5u + m), narrow = generic;
    int info[2] = {0, 0};
    velqo::testing::force_generic_steps(true);
    velqo::decompose_csp<T>(generic.data(), m, 1, n, real_type<T>(0), info, 1);
    velqo::testing::force_generic_steps(false);
    velqo::decompose_csp<T>(narrow.data(), m, 1, n, real_type<T>(0), info, 1);
    EXPECT_EQ(info[0], 0);
    EXPECT_TRUE(same_bits(generic, narrow)) << "m=" << m;
  }
}

}  // namespace
