// The stand-alone parallel factorisation, substitution and solution: kernels
// driven through the runtime against the sequential factorisation and LAPACK,
// failures in a given stage, and the entries that start them.
#include <atomic>
#include <cstring>

#include "lapack.h"
#include "mtask/mtask.h"
#include "solver/kernel.h"
#include "solver/team.h"
#include "solver/testing.h"
#include "solver/velqo.h"
#include "support.h"

namespace {

using namespace testing_support;
using velqo::entry;

// ------------------------------------------------ running the kernels

struct Run {
  int info[2] = {0, 0};
  int s = 1, nextblock = 1, S = 0, nextb = 0;
};

/// p_decompose_csp in ntasks tasks.
template <class T> Run factorise(std::vector<T>& a, int n, int m, int nb, int ntasks, real_type<T> eps = 0) {
  velqo::team crew(ntasks);
  EXPECT_EQ(crew.ntasks, ntasks);
  Run r;
  T* ap = a.data();
  crew.run(&velqo::p_decompose_csp<T>, ap, n, m, nb, crew.lock, crew.events, crew.ntasks, r.s, r.nextblock, eps,
           r.info);
  return r;
}

/// p_substitute_csp in ntasks tasks, for one vector b.
template <class T> Run substitute(const std::vector<T>& l, int n, int m, std::vector<T>& b, int nb, int ntasks) {
  velqo::team crew(ntasks);
  EXPECT_EQ(crew.ntasks, ntasks);
  Run r;
  r.S = r.nextb = n;
  const T* lp = l.data();
  T* bp = b.data();
  crew.run(&velqo::p_substitute_csp<T>, lp, n, m, bp, nb, crew.lock, crew.events, crew.ntasks, r.s, r.nextblock,
           r.S, r.nextb);
  return r;
}

/// p_solution_csp in ntasks tasks, for one vector b.
template <class T>
Run factorise_and_solve(std::vector<T>& a, int n, int m, std::vector<T>& b, int nb, int ntasks,
                        real_type<T> eps = 0) {
  velqo::team crew(ntasks);
  EXPECT_EQ(crew.ntasks, ntasks);
  Run r;
  r.S = r.nextb = n;
  T* ap = a.data();
  T* bp = b.data();
  crew.run(&velqo::p_solution_csp<T>, ap, n, m, bp, nb, crew.lock, crew.events, crew.ntasks, r.s, r.nextblock,
           r.S, r.nextb, eps, r.info);
  return r;
}

/// p_pipeline in ntasks tasks with blocks of w columns; with b, the forward
/// substitution is carried along.
struct Piped {
  int info[2] = {0, 0};
  int row = 0;
  std::atomic<int> next{0}, progress{0};
};
template <class T>
void pipeline(Piped& r, std::vector<T>& a, int n, int m, T* b, int w, int ntasks, real_type<T> eps = 0) {
  velqo::team crew(ntasks);
  EXPECT_EQ(crew.ntasks, ntasks);
  T* ap = a.data();
  int* rowp = &r.row;
  crew.run(&velqo::p_pipeline<T, velqo::form::symmetric>, ap, n, m, b, w, crew.ntasks, r.next, r.progress, eps,
           r.info, rowp);
}

/// The factor of one sequential decompose_csp over rows 1 … n.
template <class T> std::vector<T> sequential_factor(std::vector<T> a, int n, int m, real_type<T> eps = 0) {
  int info[2] = {0, 0};
  velqo::decompose_csp<T>(a.data(), m, 1, n, eps, info, 1);
  return a;
}

// A zero diagonal entry in row `bad` leaves, after its updates, a pivot of
// modulus below 1/2, while every sound pivot exceeds 1: with eps = 1 the
// factorisation fails in the stage whose panel holds row bad, for every type.
template <class T> std::vector<T> failing_matrix(int n, int m, int bad) {
  std::vector<T> a = random_spd_band<T>(n, m, 77u + bad);
  band(a.data(), m, bad, bad) = T(0);
  return a;
}

/// L·y = b, column by column: every y(k) takes the contributions of the rows
/// before it in ascending order.
template <class T> std::vector<T> forward_substitution(std::vector<T> l, int n, int m, std::vector<T> b) {
  for (int j = 1; j <= n; ++j) {
    entry(b.data(), j) = velqo::divide(entry(b.data(), j), band(l.data(), m, j, j));
    for (int k = j + 1; k <= std::min(n, j + m); ++k)
      entry(b.data(), k) = velqo::mul_sub(entry(b.data(), k), entry(b.data(), j), band(l.data(), m, k, j));
  }
  return b;
}

/// Lᵀ·x = y, row by row from the last: every x(i) takes the products of the
/// rows after it from the farthest, x(i + m), to the nearest, x(i + 1).
template <class T> std::vector<T> backward_substitution(std::vector<T> l, int n, int m, std::vector<T> y) {
  for (int i = n; i >= 1; --i) {
    T yi = entry(y.data(), i);
    for (int k = std::min(n, i + m); k > i; --k) yi = velqo::mul_sub(yi, entry(y.data(), k), band(l.data(), m, k, i));
    entry(y.data(), i) = velqo::divide(yi, band(l.data(), m, i, i));
  }
  return y;
}

/// Panel heights worth trying for bandwidth m and order n.
std::vector<int> panel_heights(int n, int m) {
  std::vector<int> nbs = {1, std::max(m, 1), 2 * m + 1, n + 5};
  std::sort(nbs.begin(), nbs.end());
  nbs.erase(std::unique(nbs.begin(), nbs.end()), nbs.end());
  return nbs;
}

template <class T> class Standalone : public ::testing::Test {};
TYPED_TEST_SUITE(Standalone, ElementTypes);

template <class T> class StandaloneReal : public ::testing::Test {};
TYPED_TEST_SUITE(StandaloneReal, RealTypes);

// ------------------------------------------------------ factorisation

// Any task count and panel height give the factor of the sequential
// factorisation, bit for bit; the bands include one wider than the matrix and a
// wide one whose stages hand out many blocks.
TYPED_TEST(Standalone, FactorIsBitwiseTheSequentialFactor) {
  using T = TypeParam;
  for (auto [n, m] : {std::pair{0, 3}, std::pair{1, 0}, std::pair{1, 8}, std::pair{37, 0}, std::pair{37, 3},
                      std::pair{90, 8}, std::pair{90, 13}, std::pair{12, 20}, std::pair{120, 40}}) {
    const std::vector<T> a = random_spd_band<T>(n, m, 100u * n + m);
    const std::vector<T> expected = sequential_factor(a, n, m);
    for (int nb : panel_heights(n, m)) {
      const int stages = std::max(1, (n + nb - 1) / nb);
      for (int ntasks = 1; ntasks <= 8; ++ntasks) {
        std::vector<T> l = a;
        const Run r = factorise(l, n, m, nb, ntasks);
        ASSERT_TRUE(same_bits(l, expected)) << "n=" << n << " m=" << m << " nb=" << nb << " tasks=" << ntasks;
        EXPECT_EQ(r.info[0] | r.info[1], 0);
        EXPECT_EQ(r.s, 1 + nb * stages);
        EXPECT_EQ(r.nextblock, r.s);
      }
    }
  }
}

// The pipeline gives the sequential factor and the plain forward substitution
// bit for bit for any block width and task count: blocks of one column, blocks
// narrower and wider than the band, one block for the whole matrix. Blocks of
// four columns and more take the register-blocked updates, in 64-byte vectors
// where the processor has them and in 32-byte ones.
TYPED_TEST(Standalone, PipelineIsBitwiseTheSequentialFactor) {
  using T = TypeParam;
  for (auto [n, m] : {std::pair{0, 3}, std::pair{1, 5}, std::pair{37, 0}, std::pair{90, 8}, std::pair{12, 20},
                      std::pair{150, 33}, std::pair{260, 70}}) {
    const std::vector<T> a = random_spd_band<T>(n, m, 7u * n + m);
    const std::vector<T> expected = sequential_factor(a, n, m);
    const std::vector<T> b = random_rhs<T>(n, 1, 3u + m);
    const std::vector<T> y = forward_substitution(expected, n, m, b);
    for (bool narrow : {false, true}) {
      velqo::testing::force_narrow_vectors(narrow);
      for (int w : {1, 3, 8, m + 2, n + 5}) {
        for (int ntasks : {1, 2, 3, 5}) {
          std::vector<T> l = a, x = b;
          Piped r;
          pipeline(r, l, n, m, x.data(), w, ntasks);
          const auto where = ::testing::Message()
                             << "n=" << n << " m=" << m << " w=" << w << " tasks=" << ntasks << " narrow=" << narrow;
          ASSERT_TRUE(same_bits(l, expected)) << where;
          ASSERT_TRUE(same_bits(x, y)) << where;
          EXPECT_EQ(r.info[0] | r.info[1] | r.row, 0);
          EXPECT_EQ(r.progress.load(), n);
        }
      }
    }
    velqo::testing::force_narrow_vectors(false);
  }
}

// A failing pivot stops every task (none waits for ever), gives the row of the
// first failing pivot, and leaves the columns of the blocks before its own as
// the sequential factorisation finishes them.
TYPED_TEST(Standalone, PipelineFailureStopsEveryTask) {
  using T = TypeParam;
  const int n = 60, m = 4;
  for (int bad : {1, 23, 60}) {
    const std::vector<T> a = failing_matrix<T>(n, m, bad);
    const std::vector<T> reference = sequential_factor(a, n, m, real_type<T>(1));
    for (int w : {1, 5}) {
      for (int ntasks : {1, 2, 5}) {
        std::vector<T> l = a;
        Piped r;
        pipeline(r, l, n, m, static_cast<T*>(nullptr), w, ntasks, real_type<T>(1));
        EXPECT_EQ(r.info[0], 1) << "bad=" << bad << " tasks=" << ntasks;
        EXPECT_EQ(r.row, bad) << "w=" << w << " tasks=" << ntasks;
        EXPECT_EQ(r.progress.load(), -1);
        for (int j = 1; j <= (bad - 1) / w * w; ++j)
          for (int k = j; k <= std::min(n, j + m); ++k)
            ASSERT_EQ(std::memcmp(&band(l.data(), m, k, j), &band(reference.data(), m, k, j), sizeof(T)), 0)
                << "a(" << k << "," << j << "), bad=" << bad << " w=" << w << " tasks=" << ntasks;
      }
    }
  }
}

// ------------------------------------------------ substitution and solution

TYPED_TEST(Standalone, SubstitutionIsIndependentOfTheTaskCount) {
  using T = TypeParam;
  for (int n : {1, 37, 90}) {
    for (int m : {0, 3, 8}) {
      const std::vector<T> a = random_spd_band<T>(n, m, 31u * n + m);
      const std::vector<T> l = sequential_factor(a, n, m);
      const std::vector<T> b = random_rhs<T>(n, 1, 5u + n);
      for (int nb : panel_heights(n, m)) {
        std::vector<T> one = b;
        substitute(l, n, m, one, nb, 1);
        EXPECT_LT(residual_ratio(a, n, m, one, b, 1), 30) << "n=" << n << " m=" << m << " nb=" << nb;
        for (int ntasks : {2, 3, 5, 8}) {
          std::vector<T> x = b;
          const Run r = substitute(l, n, m, x, nb, ntasks);
          ASSERT_TRUE(same_bits(x, one)) << "n=" << n << " m=" << m << " nb=" << nb << " tasks=" << ntasks;
          EXPECT_EQ(r.s, 1 + nb * ((n + nb - 1) / nb));
          EXPECT_LE(r.S, 0);
        }
      }
    }
  }
}

// Whatever the panels and tasks, each row takes its products in the documented
// order (README, "Rounding"): the textbook sweeps give the same bits.
TYPED_TEST(Standalone, SubstitutionSumsInTheDocumentedOrder) {
  using T = TypeParam;
  const int n = 90;
  for (int m : {1, 2, 5, 12}) {
    const std::vector<T> l = sequential_factor(random_spd_band<T>(n, m, 7u + m), n, m);
    const std::vector<T> b = random_rhs<T>(n, 1, 3u + m);
    const std::vector<T> expected = backward_substitution(l, n, m, forward_substitution(l, n, m, b));
    for (int nb : panel_heights(n, m))
      for (int ntasks : {1, 2}) {
        std::vector<T> x = b;
        substitute(l, n, m, x, nb, ntasks);
        EXPECT_TRUE(same_bits(x, expected)) << "m=" << m << " nb=" << nb << " tasks=" << ntasks;
      }
  }
}

// The forward sweep of the one-pass solution is the plain forward substitution,
// and its backward sweep that of the substitution with panels of 2·nb rows, so
// the two kernels agree bit for bit.
TYPED_TEST(Standalone, SolutionIsTheFactorThenTheSubstitution) {
  using T = TypeParam;
  for (int n : {1, 37, 90}) {
    for (int m : {0, 3, 8}) {
      const std::vector<T> a = random_spd_band<T>(n, m, 17u * n + m);
      const std::vector<T> l = sequential_factor(a, n, m);
      const std::vector<T> b = random_rhs<T>(n, 1, 9u + m);
      for (int nb : panel_heights(n, m)) {
        std::vector<T> x = b;
        substitute(l, n, m, x, 2 * nb, 1);
        for (int ntasks : {1, 2, 5, 8}) {
          std::vector<T> f = a, y = b;
          const Run r = factorise_and_solve(f, n, m, y, nb, ntasks);
          EXPECT_EQ(r.info[0] | r.info[1], 0);
          ASSERT_TRUE(same_bits(f, l)) << "factor, n=" << n << " m=" << m << " nb=" << nb << " tasks=" << ntasks;
          ASSERT_TRUE(same_bits(y, x)) << "solution, n=" << n << " m=" << m << " nb=" << nb << " tasks=" << ntasks;
        }
      }
    }
  }
}

TYPED_TEST(StandaloneReal, MatchesLapack) {
  using T = TypeParam;
  for (int n : {1, 37, 90}) {
    for (int m : {0, 3, 8, 13}) {
      const std::vector<T> a = random_spd_band<T>(n, m, 3u * n + m);
      const std::vector<T> b = random_rhs<T>(n, 1, 11u + n);
      std::vector<T> expected = b, ab = lapack::padded(a, m);
      ASSERT_EQ(lapack::pbsv(n, m, 1, ab.data(), expected.data()), 0);
      // The same factor through LAPACK's substitution.
      const std::vector<T> l = sequential_factor(a, n, m);
      std::vector<T> from_factor = b;
      ASSERT_EQ(lapack::pbtrs(n, m, 1, lapack::padded(l, m).data(), from_factor.data()), 0);
      const double bound = 30 * (m + 1) * tolerance<T>() * std::max(1.0, max_abs(expected));
      for (int nb : {1, 4, 50}) {
        std::vector<T> x = b, y = b, f = a;
        substitute(l, n, m, x, nb, 3);
        factorise_and_solve(f, n, m, y, nb, 3);
        for (int i = 0; i < n; ++i) {
          EXPECT_NEAR(x[i], from_factor[i], bound) << "substitution, n=" << n << " m=" << m << " nb=" << nb;
          EXPECT_NEAR(y[i], expected[i], bound) << "solution, n=" << n << " m=" << m << " nb=" << nb;
        }
      }
    }
  }
}

// With m = 0 the forward sweep divides every b(i) by L(i, i) and the backward
// sweep divides it once more.
TYPED_TEST(Standalone, DiagonalMatrixDividesTwice) {
  using T = TypeParam;
  const int n = 40, m = 0;
  const std::vector<T> l = sequential_factor(random_spd_band<T>(n, m, 1), n, m);
  const std::vector<T> b = random_rhs<T>(n, 1, 2);
  std::vector<T> expected = b;
  for (int i = 1; i <= n; ++i) {
    const T d = band(l.data(), m, i, i);
    entry(expected.data(), i) = velqo::divide(velqo::divide(entry(expected.data(), i), d), d);
  }
  std::vector<T> x = b;
  substitute(l, n, m, x, 3, 4);
  EXPECT_TRUE(same_bits(x, expected));
}

// ------------------------------------------------------------- failures

TYPED_TEST(Standalone, FailureStopsEveryTaskAfterItsStage) {
  using T = TypeParam;
  const int n = 60, m = 4, nb = 5;
  for (int bad : {3, 23, 28, 60}) {
    const int stage = (bad + nb - 1) / nb;  // the stage whose panel holds row bad
    const int parity = stage % 2 == 1 ? 1 : 2;
    const std::vector<T> a = failing_matrix<T>(n, m, bad);
    // Columns before the failing panel are finished as the sequential run finishes them.
    const std::vector<T> reference = sequential_factor(a, n, m, real_type<T>(1));
    const int finished = (stage - 1) * nb;
    for (int ntasks : {1, 2, 4, 7}) {
      std::vector<T> l = a;
      const Run r = factorise(l, n, m, nb, ntasks, real_type<T>(1));
      EXPECT_EQ(r.info[parity - 1], 1) << "bad=" << bad << " tasks=" << ntasks;
      EXPECT_EQ(r.info[2 - parity], 0) << "bad=" << bad << " tasks=" << ntasks;
      EXPECT_EQ(r.s, 1 + nb * stage) << "every task returns after stage " << stage;
      for (int j = 1; j <= finished; ++j)
        for (int k = j; k <= std::min(n, j + m); ++k)
          ASSERT_EQ(std::memcmp(&band(l.data(), m, k, j), &band(reference.data(), m, k, j), sizeof(T)), 0)
              << "a(" << k << "," << j << "), bad=" << bad << " tasks=" << ntasks;

      std::vector<T> f = a, y = random_rhs<T>(n, 1, 4);
      const std::vector<T> b = y;
      const Run q = factorise_and_solve(f, n, m, y, nb, ntasks, real_type<T>(1));
      EXPECT_EQ(q.info[parity - 1], 1);
      EXPECT_EQ(q.info[2 - parity], 0);
      EXPECT_EQ(q.s, 1 + nb * stage);
      EXPECT_EQ(q.S, n) << "the backward sweep does not run";
      EXPECT_TRUE(same_bits(f, l)) << "both kernels factorise the same way";
      // b holds y for the rows of the panels before the failing one.
      const std::vector<T> expected = forward_substitution(reference, finished, m, b);
      EXPECT_EQ(std::memcmp(y.data(), expected.data(), sizeof(T) * finished), 0) << "bad=" << bad;
    }
  }
}

// ------------------------------------------------------------- entries

template <class T> struct Entries;
template <> struct Entries<float> {
  static constexpr auto decompose = velqo::medecompose_csp_4;
  static constexpr auto substitute = velqo::mesubstitute_csp_4;
  static constexpr auto factorsolve = velqo::mefactorsolve_csp_4;
};
template <> struct Entries<double> {
  static constexpr auto decompose = velqo::medecompose_csp_8;
  static constexpr auto substitute = velqo::mesubstitute_csp_8;
  static constexpr auto factorsolve = velqo::mefactorsolve_csp_8;
};
template <> struct Entries<complex4> {
  static constexpr auto decompose = velqo::medecompose_csp_z4;
  static constexpr auto substitute = velqo::mesubstitute_csp_z4;
  static constexpr auto factorsolve = velqo::mefactorsolve_csp_z4;
};
template <> struct Entries<complex8> {
  static constexpr auto decompose = velqo::medecompose_csp_z8;
  static constexpr auto substitute = velqo::mesubstitute_csp_z8;
  static constexpr auto factorsolve = velqo::mefactorsolve_csp_z8;
};

/// Makes the library use ntasks tasks.
void use_tasks(int ntasks) {
  velqo::testing::override_processor_count(std::max(ntasks, 8));
  velqo::settasks(ntasks);
  int count = 0;
  velqo::gettasks(count);
  ASSERT_EQ(count, ntasks);
}

class StandaloneEntries : public ::testing::Test {
 protected:
  void TearDown() override { velqo::testing::reset_library_state(); }
};
template <class T> class StandaloneEntriesTyped : public StandaloneEntries {};
TYPED_TEST_SUITE(StandaloneEntriesTyped, ElementTypes);

// Factor once, solve many: the factor of the entry is that of the sequential
// factorisation for every task count, and it serves several substitutions whose
// solutions do not depend on the task count. The entries share a factorisation
// from m = 64 on, in systems of some millions of updates (the last two bands),
// and the right-hand sides of systems of some tens of thousands of elements
// (all but the first).
TYPED_TEST(StandaloneEntriesTyped, FactorOnceSolveMany) {
  using T = TypeParam;
  for (const auto& [n, m] : {std::pair{150, 30}, std::pair{2500, 63}, std::pair{2500, 64}, std::pair{700, 140}}) {
    SCOPED_TRACE(m);
    const int nrhs = 3;
    const std::vector<T> a = random_spd_band<T>(n, m, 8);
    const std::vector<T> expected = sequential_factor(a, n, m);
    const std::vector<T> b = random_rhs<T>(n, nrhs, 9);
    std::vector<T> first;
    for (int ntasks : {1, 2, 3, 5, 8}) {
      use_tasks(ntasks);
      std::vector<T> l = a;
      int status = -1;
      Entries<T>::decompose(l.data(), n, m, status);
      EXPECT_EQ(status, 0);
      ASSERT_TRUE(same_bits(l, expected)) << "tasks=" << ntasks;
      std::vector<T> x = b;
      Entries<T>::substitute(l.data(), n, m, x.data(), nrhs);
      EXPECT_LT(residual_ratio(a, n, m, x, b, nrhs), 30) << "tasks=" << ntasks;
      if (first.empty()) first = x;
      EXPECT_TRUE(same_bits(x, first)) << "tasks=" << ntasks;
      // A second right-hand side with the same factor.
      std::vector<T> again = b;
      Entries<T>::substitute(l.data(), n, m, again.data() + n, 1);
      EXPECT_EQ(std::memcmp(again.data() + n, x.data() + n, n * sizeof(T)), 0);
      EXPECT_EQ(std::memcmp(again.data(), b.data(), n * sizeof(T)), 0) << "other columns untouched";
    }
  }
}

// The one-pass entry gives the factor and the solution of medecompose and
// mesubstitute, bit for bit, for every task count.
TYPED_TEST(StandaloneEntriesTyped, FactorAndSolveInOnePass) {
  using T = TypeParam;
  for (const auto& [n, m] : {std::pair{200, 8}, std::pair{2500, 64}, std::pair{600, 130}}) {
    SCOPED_TRACE(m);
    const std::vector<T> a = random_spd_band<T>(n, m, 18);
    const std::vector<T> b = random_rhs<T>(n, 1, 19);
    const std::vector<T> expected = sequential_factor(a, n, m);
    use_tasks(1);
    std::vector<T> solution = b;
    Entries<T>::substitute(expected.data(), n, m, solution.data(), 1);
    for (int ntasks : {1, 2, 3, 5, 8}) {
      use_tasks(ntasks);
      std::vector<T> f = a, x = b;
      int status = -1;
      Entries<T>::factorsolve(f.data(), n, m, x.data(), status);
      EXPECT_EQ(status, 0);
      EXPECT_TRUE(same_bits(f, expected));
      EXPECT_LT(residual_ratio(a, n, m, x, b, 1), 30);
      EXPECT_TRUE(same_bits(x, solution)) << "tasks=" << ntasks;
    }
  }
}

// In bands of more than 16 MiB a second task fetches the band ahead of the one
// that sweeps for a single right-hand side; x stays that of one task, bit for
// bit, in the substitution and after the one-pass factorisation. The second
// band is wider than the matrix.
TYPED_TEST(StandaloneEntriesTyped, StreamedSweepsAreThoseOfOneTask) {
  using T = TypeParam;
  const int bytes = 20 << 20, size = int(sizeof(T));
  for (const auto& [n, m] : {std::pair{bytes / (3 * size), 2}, std::pair{600, bytes / (600 * size)}}) {
    SCOPED_TRACE(m);
    const std::vector<T> a = random_spd_band<T>(n, m, 28);
    const std::vector<T> l = sequential_factor(a, n, m);
    const std::vector<T> b = random_rhs<T>(n, 1, 29);
    use_tasks(1);
    std::vector<T> alone = b;
    Entries<T>::substitute(l.data(), n, m, alone.data(), 1);
    EXPECT_LT(residual_ratio(a, n, m, alone, b, 1), 30);
    use_tasks(2);
    std::vector<T> x = b, f = a, y = b;
    Entries<T>::substitute(l.data(), n, m, x.data(), 1);
    EXPECT_TRUE(same_bits(x, alone));
    int status = -1;
    Entries<T>::factorsolve(f.data(), n, m, y.data(), status);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(same_bits(y, alone));
  }
}

TYPED_TEST(StandaloneEntriesTyped, NotPositiveDefiniteGivesStatusOne) {
  using T = TypeParam;
  const int n = 50, m = 3;
  std::vector<T> a = random_spd_band<T>(n, m, 28);
  band(a.data(), m, 31, 31) = T(std::numeric_limits<real_type<T>>::quiet_NaN());
  for (int ntasks : {1, 3}) {
    use_tasks(ntasks);
    std::vector<T> f = a, x = random_rhs<T>(n, 1, 2);
    int status = -1;
    Entries<T>::decompose(f.data(), n, m, status);
    EXPECT_EQ(status, 1);
    f = a;
    status = -1;
    Entries<T>::factorsolve(f.data(), n, m, x.data(), status);
    EXPECT_EQ(status, 1);
  }
}

TEST_F(StandaloneEntries, EmptySystemsAndNoRightHandSides) {
  use_tasks(3);
  double a[1] = {4}, b[1] = {8};
  int status = -1;
  velqo::medecompose_csp_8(a, 0, 2, status);
  EXPECT_EQ(status, 0);
  velqo::mesubstitute_csp_8(a, 0, 2, b, 1);
  velqo::mesubstitute_csp_8(a, 1, 0, b, 0);
  status = -1;
  velqo::mefactorsolve_csp_8(a, 0, 2, b, status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(a[0], 4);
  EXPECT_EQ(b[0], 8);
  velqo::mefactorsolve_csp_8(a, 1, 5, b, status);
  EXPECT_EQ(status, 0);
  EXPECT_EQ(a[0], 2);
  EXPECT_EQ(b[0], 2);
}

// More tasks than the task table has room for, and no event left in the
// runtime's table: the entries still finish with the right results. The
// substitution asks for a task for each of its 70 right-hand sides, the
// factorisation for one for every 64 columns of band.
TEST_F(StandaloneEntries, ManyTasksAndFullEventTable) {
  const int n = 1000, m = 480, nrhs = 70;
  const std::vector<double> a = random_spd_band<double>(n, m, 3);
  const std::vector<double> expected = sequential_factor(a, n, m);
  const std::vector<double> b = random_rhs<double>(n, nrhs, 4);
  std::vector<double> reference = b;
  use_tasks(1);
  velqo::mesubstitute_csp_8(expected.data(), n, m, reference.data(), nrhs);

  velqo::testing::override_processor_count(100);
  velqo::resettasks();
  std::vector<double> l = a, x = b;
  int status = -1;
  velqo::medecompose_csp_8(l.data(), n, m, status);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(same_bits(l, expected));
  velqo::mesubstitute_csp_8(l.data(), n, m, x.data(), nrhs);
  EXPECT_TRUE(same_bits(x, reference));

  use_tasks(4);
  std::vector<int> held;
  for (;;) {
    int event = 0;
    mtask::createparallelevent(event);
    if (event == 0) break;
    held.push_back(event);
  }
  l = a;
  x = b;
  status = -1;
  velqo::medecompose_csp_8(l.data(), n, m, status);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(same_bits(l, expected));
  velqo::mesubstitute_csp_8(l.data(), n, m, x.data(), nrhs);
  EXPECT_TRUE(same_bits(x, reference));
  for (int event : held) mtask::deleteparallelevent(event);
}

}  // namespace
