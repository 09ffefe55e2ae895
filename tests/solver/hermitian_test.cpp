// The Hermitian positive-definite band routines (A = L·Lᴴ): a factor to check
// by hand, solutions and factors against LAPACK's Hermitian band routines,
// results independent of the task count, the stand-alone factor against the
// sequential one, and failing pivots reported at their row.
#include <atomic>
#include <cstring>

#include "lapack.h"
#include "solver/def_velqo.h"
#include "solver/entries.h"
#include "solver/kernel.h"
#include "solver/team.h"
#include "solver/testing.h"
#include "solver/velqo.h"
#include "support.h"

namespace {

using namespace testing_support;
using velqo::form;

#if defined(__SANITIZE_THREAD__)
constexpr bool under_tsan = true;
#else
constexpr bool under_tsan = false;
#endif

using ComplexTypes = ::testing::Types<complex4, complex8>;

template <class T> struct Hpd;
template <> struct Hpd<complex4> {
  static constexpr auto solution = velqo::mesolution_hpd_z4;
  static constexpr auto decompose = velqo::medecompose_hpd_z4;
  static constexpr auto substitute = velqo::mesubstitute_hpd_z4;
  static constexpr auto factorsolve = velqo::mefactorsolve_hpd_z4;
  static constexpr auto sequential = velqo::decompose_hpd_z4;
};
template <> struct Hpd<complex8> {
  static constexpr auto solution = velqo::mesolution_hpd_z8;
  static constexpr auto decompose = velqo::medecompose_hpd_z8;
  static constexpr auto substitute = velqo::mesubstitute_hpd_z8;
  static constexpr auto factorsolve = velqo::mefactorsolve_hpd_z8;
  static constexpr auto sequential = velqo::decompose_hpd_z8;
};

/// The factor of one sequential Hermitian factorisation over rows 1 … n.
template <class T> std::vector<T> sequential_factor(std::vector<T> a, int n, int m) {
  int info[2] = {0, 0};
  Hpd<T>::sequential(a.data(), m, 1, n, real_type<T>(0), info, 1);
  EXPECT_EQ(info[0], 0);
  return a;
}

/// The shared variables of one stand-alone kernel run.
template <class T> struct Run {
  int s = 1, next = 1, S = 0, nextb = 0, info[2] = {0, 0}, row = 0;
  int* rowp = &row;
  real_type<T> eps = 0;
};

template <class T> class Hermitian : public ::testing::Test {
 protected:
  void SetUp() override { use(1); }
  void TearDown() override {
    velqo::testing::override_processor_count(0);
    velqo::testing::reset_library_state();
  }
  /// A fresh library on a machine seen with 8 processors, grain 8 for the
  /// complex entries, and tasks tasks.
  static void use(int tasks) {
    if (velqo::def_velqo::grainsize == 0) {
      velqo::testing::override_processor_count(8);
      velqo::settasks(8);
      velqo::def_velqo::requiregrainsizeforcomplex();
    }
    velqo::settasks(tasks);
  }
  /// mesolution_hpd on copies of a and b with the given task count.
  static std::pair<std::vector<T>, std::vector<T>> solve(std::vector<T> a, int n, int m, std::vector<T> b,
                                                         int nrhs, int tasks) {
    use(tasks);
    const T nan(std::numeric_limits<real_type<T>>::quiet_NaN());
    std::vector<T> w(std::max<std::size_t>(1, 2 * std::size_t(n) * m), nan);
    int status = -1;
    Hpd<T>::solution(a.data(), n, m, b.data(), nrhs, w.data(), status);
    EXPECT_EQ(status, 0);
    return {std::move(a), std::move(b)};
  }
};
TYPED_TEST_SUITE(Hermitian, ComplexTypes);

// A = [4 2−2i; 2+2i 6] has L = [2 0; 1+i 2], all exact; the imaginary parts
// stored on the diagonal are ignored. x = (1, 1) gives b = (6 − 2i, 8 + 2i).
TYPED_TEST(Hermitian, FactorByHand) {
  using T = TypeParam;
  const std::vector<T> a = {T(4, 7), T(2, 2), T(6, -3)};
  const std::vector<T> l = {T(2, 0), T(1, 1), T(2, 0)};
  EXPECT_TRUE(same_bits(sequential_factor(a, 2, 1), l));
  std::vector<T> f = a;
  int status = -1;
  Hpd<T>::decompose(f.data(), 2, 1, status);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(same_bits(f, l));
  for (bool one_pass : {true, false}) {
    std::vector<T> x = {T(6, -2), T(8, 2)};
    if (one_pass) {
      f = a;
      Hpd<T>::factorsolve(f.data(), 2, 1, x.data(), status);
      EXPECT_EQ(status, 0);
    } else {
      Hpd<T>::substitute(l.data(), 2, 1, x.data(), 1);
    }
    for (const T& xi : x) EXPECT_LT(magnitude(T(xi - T(1))), 4 * tolerance<T>());
  }
}

// Against cpbsv / zpbsv, on bands from diagonal to wider than a block, orders
// that are not a multiple of the block length, one and three right-hand sides;
// every task count gives the bits of one task.
TYPED_TEST(Hermitian, SolveMatchesLapackForEveryTaskCount) {
  using T = TypeParam;
  for (int m : {0, 1, 3, 13, 40}) {
    const int L = std::max(64 / std::max(m, 1), m + 1);  // the block length of grain 8
    for (int n : {1, L + 1, 3 * L + 5, 10 * L + 3}) {
      if (under_tsan && n > 300) continue;
      for (int nrhs : {1, 3}) {
        SCOPED_TRACE(::testing::Message() << "n=" << n << " m=" << m << " nrhs=" << nrhs);
        const std::vector<T> a = random_hpd_band<T>(n, m, 100u * n + m), b = random_rhs<T>(n, nrhs, 7u + n);
        std::vector<T> ab = lapack::padded(a, m), expected = b;
        ASSERT_EQ(lapack::pbsv(n, m, nrhs, ab.data(), expected.data()), 0);
        const auto [factors, x] = this->solve(a, n, m, b, nrhs, 1);
        EXPECT_LT(residual_ratio(a, n, m, x, b, nrhs, true), 30);
        double worst = 0;
        for (std::size_t i = 0; i < x.size(); ++i) worst = std::max(worst, double(magnitude(T(x[i] - expected[i]))));
        EXPECT_LE(worst, (4.0 * m + 2) * tolerance<T>() * std::max(1.0, max_abs(expected)));
        for (int tasks : {2, 3, 4, 8}) {
          const auto [other_factors, y] = this->solve(a, n, m, b, nrhs, tasks);
          EXPECT_TRUE(same_bits(other_factors, factors) && same_bits(y, x)) << tasks << " tasks";
        }
      }
    }
  }
}

// The stand-alone kernels for any panel height and task count: the factor of
// the sequential factorisation bit for bit, real positive diagonal, close to
// cpbtrf / zpbtrf; the one-pass solution is the factor and its substitution.
TYPED_TEST(Hermitian, StandaloneKernelsGiveTheSequentialFactor) {
  using T = TypeParam;
  for (auto [n, m] : {std::pair{1, 0}, std::pair{37, 0}, std::pair{37, 3}, std::pair{90, 8}, std::pair{12, 20},
                      std::pair{120, 40}}) {
    const std::vector<T> a = random_hpd_band<T>(n, m, 10u * n + m), b = random_rhs<T>(n, 1, 3u + m);
    const std::vector<T> expected = sequential_factor(a, n, m);
    std::vector<T> ref = lapack::padded(a, m);
    ASSERT_EQ(lapack::pbtrf(n, m, ref.data()), 0);
    for (int j = 1; j <= n; ++j) {
      const T d = band(expected.data(), m, j, j);
      EXPECT_TRUE(d.real() > 0 && d.imag() == 0) << "L(" << j << "," << j << ") = " << d;
      for (int k = j; k <= std::min(n, j + m); ++k)
        EXPECT_LE(magnitude(T(band(expected.data(), m, k, j) - band(ref.data(), m, k, j))),
                  (m + 1) * tolerance<T>() * std::sqrt(band_max(a)));
    }
    for (int nb : {1, std::max(m, 1), 2 * m + 1}) {
      for (int ntasks : {1, 2, 5}) {
        SCOPED_TRACE(::testing::Message() << "n=" << n << " m=" << m << " nb=" << nb << " tasks=" << ntasks);
        std::vector<T> l = a, f = a, x = b, y = b, z = b;
        Run<T> r, q, t, u;
        T *lp = l.data(), *fp = f.data(), *xp = x.data(), *yp = y.data(), *zp = z.data();
        const T* factor = expected.data();
        const int twice = 2 * nb;
        {
          velqo::team crew(ntasks);
          crew.run(&velqo::p_decompose<T, form::hermitian>, lp, n, m, nb, crew.lock, crew.events, crew.ntasks, r.s,
                   r.next, r.eps, r.info, r.rowp);
        }
        EXPECT_TRUE(same_bits(l, expected));
        EXPECT_EQ(r.info[0] | r.info[1] | r.row, 0);
        t.S = t.nextb = q.S = q.nextb = u.S = u.nextb = n;
        {
          velqo::team crew(ntasks);
          crew.run(&velqo::p_substitute<T, form::hermitian>, factor, n, m, xp, nb, crew.lock, crew.events,
                   crew.ntasks, t.s, t.next, t.S, t.nextb);
        }
        EXPECT_LT(residual_ratio(a, n, m, x, b, 1, true), 30);
        {
          velqo::team crew(ntasks);
          crew.run(&velqo::p_solution<T, form::hermitian>, fp, n, m, yp, nb, crew.lock, crew.events, crew.ntasks,
                   q.s, q.next, q.S, q.nextb, q.eps, q.info, q.rowp);
        }
        EXPECT_TRUE(same_bits(f, expected));
        // Its backward sweep goes by panels of 2·nb rows: the substitution's with 2·nb.
        {
          velqo::team crew(1);
          crew.run(&velqo::p_substitute<T, form::hermitian>, factor, n, m, zp, twice, crew.lock, crew.events,
                   crew.ntasks, u.s, u.next, u.S, u.nextb);
        }
        EXPECT_TRUE(same_bits(y, z));
        // The pipeline with blocks of nb columns, its forward substitution and
        // the backward sweep by panels of 2·nb rows give the same bits.
        std::vector<T> g = a, v = b;
        T *gp = g.data(), *vp = v.data();
        std::atomic<int> blocks{0}, progress{0};
        Run<T> p;
        p.S = p.nextb = n;
        {
          velqo::team crew(ntasks);
          crew.run(&velqo::p_pipeline<T, form::hermitian>, gp, n, m, vp, nb, crew.ntasks, blocks, progress, p.eps,
                   p.info, p.rowp);
        }
        EXPECT_TRUE(same_bits(g, expected));
        {
          velqo::team crew(ntasks);
          crew.run(&velqo::p_backward<T, form::hermitian>, factor, n, m, vp, twice, crew.lock, crew.events,
                   crew.ntasks, p.S, p.nextb);
        }
        EXPECT_TRUE(same_bits(v, z));
      }
    }
  }
}

// A zero diagonal entry leaves the pivot −Σ |L(j, k)|² < 0. Two of them in
// level-0 blocks: every entry reports the first row, the reduction for every
// task count; a matrix made indefinite by a smaller diagonal fails where
// cpbtrf / zpbtrf do.
TYPED_TEST(Hermitian, FailingPivotIsReportedAtItsRow) {
  using T = TypeParam;
  const int m = 8, L = std::max(64 / m, m + 1), n = 20 * L;
  std::vector<T> a = random_hpd_band<T>(n, m, 5u);
  const int bad = 4 * L + 3;
  band(a.data(), m, bad, bad) = T(0, 1);
  band(a.data(), m, 12 * L + 1, 12 * L + 1) = T(0);
  std::vector<T> indefinite = random_hpd_band<T>(n, m, 6u);
  for (int x = 30; x <= 40; ++x) band(indefinite.data(), m, x, x) = T(real_type<T>(0.5));
  std::vector<T> ab = lapack::padded(indefinite, m);
  const int minor = lapack::pbtrf(n, m, ab.data());
  ASSERT_GE(minor, 30);
  ASSERT_LE(minor, 40);
  for (int tasks : {1, 2, 3, 4, 8}) {
    SCOPED_TRACE(::testing::Message() << tasks << " tasks");
    this->use(tasks);
    const std::vector<T> b = random_rhs<T>(n, 2, 9u);
    std::vector<T> f = a, x = b, w(2 * std::size_t(n) * m);
    int status = -1, row = -1;
    velqo::solution<T, form::hermitian>(f.data(), n, m, x.data(), 2, w.data(), status, row);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(row, bad);
    f = a, x = b;
    velqo::factorsolve<T, form::hermitian>(f.data(), n, m, x.data(), status, row);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(row, bad);
    f = indefinite;
    velqo::decompose<T, form::hermitian>(f.data(), n, m, status, row);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(row, minor);
  }
}

}  // namespace
