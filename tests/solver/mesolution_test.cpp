// The parallel solve entries: solutions against LAPACK and by residual, results
// independent of the task count, failing matrices, solves with the runtime's
// tables full, and the benchmark's own system.
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstring>
#include <iostream>
#include <thread>

#include "bench/testsystem.h"
#include "lapack.h"
#include "mtask/mtask.h"
#include "solver/def_velqo.h"
#include "solver/entries.h"
#include "solver/kernel.h"
#include "solver/team.h"
#include "solver/testing.h"
#include "solver/velqo.h"
#include "solve_entry.h"
#include "support.h"

namespace {

using namespace testing_support;

#if defined(__SANITIZE_THREAD__)
constexpr bool under_tsan = true;
#else
constexpr bool under_tsan = false;
#endif

/// A fresh library state on a machine seen with 8 processors, the grain size
/// fixed at 8, 16 or 24 by the rule that gives it.
void fix_grain(int grain) {
  velqo::testing::reset_library_state();
  velqo::testing::override_processor_count(8);
  velqo::settasks(grain == 16 ? 2 : 8);
  if (grain == 24) {
    velqo::def_velqo::requiregrainsize();
  } else {
    velqo::def_velqo::requiregrainsizeforcomplex();
  }
  ASSERT_EQ(velqo::def_velqo::grainsize, grain);
}

int block_length(int grain, int m) { return std::max(grain * grain / std::max(m, 1), m + 1); }

template <class T> struct outcome {
  std::vector<T> a, b;
  int status = -1;
};

/// One solve with the given task count, on copies of a and b. The workspace
/// starts as NaN, so that a read of a work element before its write shows.
template <class T> outcome<T> solve(std::vector<T> a, int n, int m, std::vector<T> b, int nrhs, int tasks) {
  velqo::settasks(tasks);
  std::vector<T> w(std::max<std::size_t>(1, 2 * std::size_t(n) * m),
                   T(std::numeric_limits<real_type<T>>::quiet_NaN()));
  outcome<T> r;
  solve_entry(a.data(), n, m, b.data(), nrhs, w.data(), r.status);
  r.a = std::move(a);
  r.b = std::move(b);
  return r;
}

/// max |x − y| / max |y|; NaN when x holds a NaN.
template <class T> double relative_difference(const std::vector<T>& x, const std::vector<T>& y) {
  double d = 0;
  for (std::size_t i = 0; i < x.size(); ++i) {
    const double e = magnitude(T(x[i] - y[i]));
    if (!(e <= d)) d = e;
  }
  return d / std::max(max_abs(y), 1e-30);
}

// ------------------------------------------------------------- solutions

template <class T> class Solve : public ::testing::Test {
 protected:
  void TearDown() override {
    velqo::testing::force_narrow_vectors(false);
    velqo::testing::override_processor_count(0);
    velqo::testing::reset_library_state();
  }

  /// Solves one system with 1 … 8 tasks, and with 3 tasks in 32-byte vectors
  /// only: every result bitwise equal to the one of a single task, and that one
  /// correct (against LAPACK for the real types,
  /// by residual for the complex ones).
  void check(int n, int m, int nrhs, std::uint32_t seed) {
    SCOPED_TRACE(::testing::Message() << "n=" << n << " m=" << m << " nrhs=" << nrhs);
    const std::vector<T> a = random_spd_band<T>(n, m, seed);
    const std::vector<T> b = random_rhs<T>(n, nrhs, seed + 1);
    const outcome<T> one = solve(a, n, m, b, nrhs, 1);
    ASSERT_EQ(one.status, 0);
    if constexpr (velqo::is_complex<T>) {
      if (nrhs > 0) {
        EXPECT_LT(residual_ratio(a, n, m, one.b, b, nrhs), 30.0);
      }
    } else {
      std::vector<T> ab = lapack::padded(a, m), x = b;
      ASSERT_EQ(lapack::pbsv(n, m, nrhs, ab.data(), x.data()), 0);
      // The matrices are strictly diagonally dominant: eigenvalues in [1, 4m + 2].
      const double kappa = 4.0 * m + 2;
      if (nrhs > 0) {
        EXPECT_LE(relative_difference(one.b, x), kappa * tolerance<T>());
      }
    }
    for (int tasks = 2; tasks <= 8; ++tasks) {
      const outcome<T> r = solve(a, n, m, b, nrhs, tasks);
      EXPECT_EQ(r.status, 0) << tasks << " tasks";
      EXPECT_TRUE(same_bits(r.a, one.a)) << "factors differ with " << tasks << " tasks";
      EXPECT_TRUE(same_bits(r.b, one.b)) << "solutions differ with " << tasks << " tasks";
    }
    velqo::testing::force_narrow_vectors(true);
    const outcome<T> narrow = solve(a, n, m, b, nrhs, 3);
    velqo::testing::force_narrow_vectors(false);
    EXPECT_TRUE(same_bits(narrow.a, one.a) && same_bits(narrow.b, one.b)) << "32-byte vectors differ";
  }
};
TYPED_TEST_SUITE(Solve, ElementTypes);

// Small blocks (grain 8) give many levels with few rows: one block, one block
// and a row, odd block counts, and up to five levels.
TYPED_TEST(Solve, AnyBlockCountAndBandwidth) {
  fix_grain(8);
  for (int m : {0, 1, 2, 8, 13, 40, 100}) {
    const int L = block_length(8, m);
    std::vector<int> sizes = {1, L, L + 1, 3 * L + 5};
    if (m < 100) sizes.insert(sizes.end(), {10 * L, 21 * L + 3});
    for (int n : sizes) {
      if (under_tsan && n > 400) continue;
      for (int nrhs : {0, 1, 3}) {
        if (under_tsan && nrhs == 1) continue;
        this->check(n, m, nrhs, 1000u * n + 10u * m + nrhs);
      }
    }
  }
}

// The block lengths of the benchmark's setting: grain 24, 72 rows for m = 8.
TYPED_TEST(Solve, BenchmarkGrain) {
  fix_grain(24);
  this->check(under_tsan ? 600 : 3001, 8, 2, 77u);
  this->check(under_tsan ? 300 : 1000, 2, 1, 78u);
}

TYPED_TEST(Solve, EmptySystemIsNoFailure) {
  fix_grain(8);
  for (int tasks : {1, 4}) EXPECT_EQ(solve(std::vector<TypeParam>(1), 0, 3, std::vector<TypeParam>(1), 1, tasks).status, 0);
}

// --------------------------------------------------------------- failures

template <class T> class Failure : public Solve<T> {
 protected:
  /// The level-factor a single task reaches when it drives the kernel alone
  /// (no lock, no events) until the failing stage: 2 after S1, 2^(r+1) after S3(r).
  static int failing_levelfactor(std::vector<T> a, int n, int m, int blocksize) {
    std::vector<T> b(n, T(1)), w(2 * std::size_t(n) * m);
    int lock = 0, events[2] = {0, 0}, ntasks = 1;
    int levelfactor = 1, distance = blocksize, stride = 2 * blocksize, levelfirst = 1, nextblock = 1,
        backblock = 0, info[2] = {0, 0};
    const int one = 1;
    velqo::p_mesolution_csp<T>(a.data(), n, m, b.data(), one, w.data(), w.data() + std::size_t(n) * m, lock,
                               events, blocksize, ntasks, levelfactor, distance, stride, levelfirst, nextblock,
                               backblock, real_type<T>(0), info);
    return (info[0] | info[1]) != 0 ? levelfactor : 0;
  }

  /// Every task count reports the failure and returns, and finds it at the
  /// same row, one of first … last.
  static void expect_failure(const std::vector<T>& a, int n, int m, int first, int last) {
    const std::vector<T> b = random_rhs<T>(n, 2, 5u);
    int found = 0;
    for (int tasks = 1; tasks <= 8; ++tasks) {
      velqo::settasks(tasks);
      std::vector<T> x = a, y = b, w(2 * std::size_t(n) * m);
      int status = -1, row = -1;
      velqo::solution<T, velqo::form::symmetric>(x.data(), n, m, y.data(), 2, w.data(), status, row);
      EXPECT_EQ(status, 1) << tasks << " tasks";
      if (tasks == 1) found = row;
      EXPECT_EQ(row, found) << tasks << " tasks";
    }
    EXPECT_GE(found, first);
    EXPECT_LE(found, last);
  }
};
TYPED_TEST_SUITE(Failure, ElementTypes);

// A zero pivot in the first column of block 4, a level-0 block, and another in
// block 16: the row is the first of them whatever the task count.
TYPED_TEST(Failure, ZeroPivotInLevelZero) {
  using T = TypeParam;
  fix_grain(8);
  const int m = 8, L = block_length(8, m), n = 20 * L;
  std::vector<T> a = random_spd_band<T>(n, m, 11u);
  band(a.data(), m, 4 * L + 1, 4 * L + 1) = T(0);
  band(a.data(), m, 16 * L + 1, 16 * L + 1) = T(0);
  EXPECT_EQ(this->failing_levelfactor(a, n, m, L), 2);
  this->expect_failure(a, n, m, 4 * L + 1, 4 * L + 1);
}

// Block 3 survives levels 0 and 1 and is eliminated at level 2. Its first row
// has a zero diagonal and no coupling to the rows before it, so no Schur update
// reaches that diagonal: the zero pivot first shows in S3(2).
TYPED_TEST(Failure, ZeroPivotOfSurvivorAtItsLevel) {
  using T = TypeParam;
  fix_grain(8);
  const int m = 8, L = block_length(8, m), n = 20 * L;
  const int row = 3 * L + 1;
  std::vector<T> a = random_spd_band<T>(n, m, 12u);
  for (int j = row - m; j <= row; ++j) band(a.data(), m, row, j) = T(0);
  EXPECT_EQ(this->failing_levelfactor(a, n, m, L), 8);
  this->expect_failure(a, n, m, row, row);
}

// A NaN on the diagonal of a level-1 block fails its factorisation in S3(1).
TYPED_TEST(Failure, NotANumberInSurvivor) {
  using T = TypeParam;
  fix_grain(8);
  const int m = 13, L = block_length(8, m), n = 9 * L + 4;
  std::vector<T> a = random_spd_band<T>(n, m, 13u);
  band(a.data(), m, 5 * L + 2, 5 * L + 2) = T(std::numeric_limits<real_type<T>>::quiet_NaN());
  EXPECT_EQ(this->failing_levelfactor(a, n, m, L), 4);
  this->expect_failure(a, n, m, 5 * L + 2, 5 * L + 2);
}

template <class T> class FailureReal : public Failure<T> {};
TYPED_TEST_SUITE(FailureReal, RealTypes);

// A tiny diagonal on block 3 makes it indefinite; the level-0 and level-1 blocks
// stay positive definite, so only its own factorisation in S3(2) fails.
TYPED_TEST(FailureReal, IndefiniteSurvivorFailsAtItsLevel) {
  using T = TypeParam;
  fix_grain(8);
  const int m = 8, L = block_length(8, m), n = 20 * L;
  std::vector<T> a = random_spd_band<T>(n, m, 14u);
  for (int x = 3 * L + 1; x <= 4 * L; ++x) band(a.data(), m, x, x) = T(0.01);
  std::vector<T> ab = lapack::padded(a, m);
  ASSERT_NE(lapack::pbtrf(n, m, ab.data()), 0) << "the test matrix should not be positive definite";
  EXPECT_EQ(this->failing_levelfactor(a, n, m, L), 8);
  this->expect_failure(a, n, m, 3 * L + 1, 4 * L);
}

// ---------------------------------------------- full runtime tables

class Fallback : public ::testing::Test {
 protected:
  static constexpr int n = 400, m = 8, nrhs = 2;
  void SetUp() override {
    fix_grain(8);
    a = random_spd_band<double>(n, m, 21u);
    b = random_rhs<double>(n, nrhs, 22u);
    expected = solve(a, n, m, b, nrhs, 1);
    ASSERT_EQ(expected.status, 0);
  }
  void TearDown() override {
    velqo::testing::override_processor_count(0);
    velqo::testing::reset_library_state();
  }
  void expect_same_result() {
    const outcome<double> r = solve(a, n, m, b, nrhs, 8);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(same_bits(r.a, expected.a));
    EXPECT_TRUE(same_bits(r.b, expected.b));
  }
  std::vector<double> a, b;
  outcome<double> expected;
};

void blocker(std::atomic<bool>& release) {
  while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// With only `free` task slots left, the solve runs on the tasks it could start.
TEST_F(Fallback, TaskTableAlmostFull) {
  for (int free : {3, 1, 0}) {
    SCOPED_TRACE(::testing::Message() << free << " free task slots");
    std::atomic<bool> release{false};
    std::vector<int> blockers(mtask::maxslots - free, 0);
    for (int& handle : blockers) {
      mtask::dispatch(handle, blocker, release);
      ASSERT_NE(handle, 0);
    }
    expect_same_result();
    release.store(true);
    for (int handle : blockers) mtask::waitforandterminatetask(handle);
  }
}

TEST_F(Fallback, NoLockSlotLeft) {
  std::vector<int> locks(mtask::maxslots, 0);
  for (int& lock : locks) mtask::createparallellock(lock);
  expect_same_result();
  for (int lock : locks) mtask::deleteparallellock(lock);
}

// 63 events taken leaves one for events(1) but none for events(2).
TEST_F(Fallback, NoEventSlotLeft) {
  for (int taken : {mtask::maxslots - 1, mtask::maxslots}) {
    std::vector<int> events(taken, 0);
    for (int& event : events) mtask::createparallelevent(event);
    expect_same_result();
    for (int event : events) mtask::deleteparallelevent(event);
  }
}

// A task count beyond the task table (possible without settasks' cap).
TEST_F(Fallback, TaskCountAboveTheTable) {
  velqo::testing::reset_library_state();
  velqo::testing::override_processor_count(100);
  velqo::def_velqo::requiregrainsizeforcomplex();  // grain 8 again
  velqo::resettasks();                             // 100 tasks, uncapped
  std::vector<double> x = a, y = b, w(2 * n * m);
  int status = -1;
  velqo::mesolution_csp_8(x.data(), n, m, y.data(), nrhs, w.data(), status);
  EXPECT_EQ(status, 0);
  EXPECT_TRUE(same_bits(x, expected.a));
  EXPECT_TRUE(same_bits(y, expected.b));
}

// The kernel called directly with a task count below 1 (reachable through the
// installed kernel header) runs as one task: no division by the count, and each
// barrier waits for one arrival.
TEST_F(Fallback, KernelTakesTaskCountBelowOneAsOne) {
  const int L = block_length(8, m);
  for (int ntasks : {0, -1}) {
    SCOPED_TRACE(::testing::Message() << "ntasks = " << ntasks);
    velqo::team crew(1);
    std::vector<double> x = a, y = b, w(2 * n * m);
    int levelfactor = 1, distance = L, stride = 2 * L, levelfirst = 1, nextblock = 1, backblock = 0;
    int info[2] = {0, 0};
    velqo::p_mesolution_csp<double>(x.data(), n, m, y.data(), nrhs, w.data(), w.data() + n * m, crew.lock,
                                    crew.events, L, ntasks, levelfactor, distance, stride, levelfirst, nextblock,
                                    backblock, 0.0, info);
    EXPECT_EQ(info[0] | info[1], 0);
    EXPECT_TRUE(same_bits(x, expected.a));
    EXPECT_TRUE(same_bits(y, expected.b));
  }
}

// ------------------------------------------------------ benchmark system

void solve_benchmark_system(int n, int tasks) {
  const int m = 8, nrhs = 1;
  std::vector<float> a(band_length(n, m)), b(n), x(n), w(2 * std::size_t(n) * m);
  bench::generatedata(a.data(), b.data(), x.data(), n, m, nrhs);
  velqo::testing::reset_library_state();
  velqo::settasks(tasks);
  int status = -1;
  velqo::mesolution_csp_4(a.data(), n, m, b.data(), nrhs, w.data(), status);
  ASSERT_EQ(status, 0);
  double worst = 0;
  for (int i = 0; i < n; ++i) worst = std::max(worst, double(std::fabs(b[i] - x[i])));
  std::cout << "benchmark system n=" << n << " m=" << m << " tasks=" << tasks << ": max |x - x_ref| = " << worst
            << '\n';
  ::testing::Test::RecordProperty("max_error_n" + std::to_string(n), std::to_string(worst));
  // x is uniform in [0, 1); the matrix is well conditioned by its tenfold diagonal.
  EXPECT_LT(worst, 1e-4);
}

TEST(BenchmarkSystem, SolvesToTheReferenceSolution) {
  solve_benchmark_system(under_tsan ? 20000 : 200000, 2);
}

TEST(BenchmarkSystem, FullSize) {
  if (under_tsan) GTEST_SKIP() << "too large under ThreadSanitizer";
  solve_benchmark_system(2000000, 2);
}

}  // namespace
