// The floating-point mode of the solver's work: every share of a parallel call
// flushes subnormal results to zero, the caller gets its own mode back from
// every entry, and the flushed results still do not depend on the task count.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <optional>
#include <random>

#include "mtask/detail.h"
#include "solver/def_velqo.h"
#include "solver/fpmode.h"
#include "solver/kernel.h"
#include "solver/testing.h"
#include "solver/velqo.h"
#include "solve_entry.h"
#include "support.h"

namespace {

using namespace testing_support;

constexpr bool can_flush = velqo::fpmode::flush_bits != 0;

/// The calling thread's mode: its control bits, without the exception flags.
std::uint64_t mode() {
#if defined(__x86_64__) || defined(__i386__)
  return velqo::fpmode::read() & 0xffc0;
#else
  return velqo::fpmode::read();
#endif
}

template <class T> bool subnormal(const T& x) {
  if constexpr (velqo::is_complex<T>) {
    return subnormal(x.real()) || subnormal(x.imag());
  } else {
    return x != 0 && std::abs(x) < std::numeric_limits<T>::min();
  }
}
template <class T> bool any_subnormal(const std::vector<T>& x) {
  return std::any_of(x.begin(), x.end(), [](const T& v) { return subnormal(v); });
}

class FpMode : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!can_flush) GTEST_SKIP() << "this processor has no flush-to-zero mode";
    ASSERT_FALSE(velqo::flushes_to_zero()) << "an earlier test left flush-to-zero set";
    velqo::testing::override_processor_count(8);
  }
  void TearDown() override { velqo::testing::reset_library_state(); }
};

template <class T> class FpModeEntries : public FpMode {};
TYPED_TEST_SUITE(FpModeEntries, ElementTypes);
template <class T> class FpModeReal : public FpMode {};
TYPED_TEST_SUITE(FpModeReal, RealTypes);

/// Every entry once on copies of a and b, the first task start failing when
/// asked; the statuses of the solve, the factorisation and the factorise-and-
/// solve pass, in bits 0, 1 and 2.
template <class T> int every_entry(std::vector<T> a, int n, int m, std::vector<T> b, bool start_fails) {
  std::vector<T> w(2 * std::size_t(n) * m), l = a, f = a, x = b, y = b;
  int solved = -1, factored = -1, both = -1;
  if (start_fails) mtask::detail::fail_next_thread_creation();
  solve_entry(a.data(), n, m, b.data(), 1, w.data(), solved);
  if constexpr (std::is_same_v<T, float>) {
    velqo::medecompose_csp_4(l.data(), n, m, factored);
    velqo::mesubstitute_csp_4(l.data(), n, m, x.data(), 1);
    velqo::mefactorsolve_csp_4(f.data(), n, m, y.data(), both);
  } else {
    velqo::medecompose_csp_8(l.data(), n, m, factored);
    velqo::mesubstitute_csp_8(l.data(), n, m, x.data(), 1);
    velqo::mefactorsolve_csp_8(f.data(), n, m, y.data(), both);
  }
  return solved | factored << 1 | both << 2;
}

TYPED_TEST(FpModeReal, CallerModeComesBackFromEveryEntry) {
  using T = TypeParam;
  const int n = 300, m = 3;
  std::vector<T> a = random_spd_band<T>(n, m, 11u);
  const std::vector<T> b = random_rhs<T>(n, 1, 12u);
  velqo::settasks(3);
  for (bool caller_flushes : {false, true})
    for (bool definite : {true, false}) {
      std::optional<velqo::flush_to_zero> set;
      if (caller_flushes) set.emplace();
      band(a.data(), m, n / 2, n / 2) = definite ? T(2 * m + 1) : std::numeric_limits<T>::quiet_NaN();
      const std::uint64_t before = mode();
      EXPECT_EQ(every_entry(a, n, m, b, !definite), definite ? 0 : 7);
      EXPECT_EQ(mode(), before) << "caller_flushes=" << caller_flushes << " definite=" << definite;
    }
}

// Spikes of a matrix with a diagonal 10¹² times its off-diagonal decay by that
// factor a row: within a block they pass through the subnormal range in both
// precisions. None is left, and the flushed results agree for every task count.
TYPED_TEST(FpModeEntries, UnderflowingSpikesAreFlushedInEveryTask) {
  using T = TypeParam;
  velqo::def_velqo::requiregrainsizeforcomplex();  // grain 8: blocks of 32 rows
  const int n = 700, m = 2;
  std::vector<T> a(band_length(n, m), T(1));
  for (int j = 1; j <= n; ++j) band(a.data(), m, j, j) = T(1e12);
  const std::vector<T> b = random_rhs<T>(n, 1, 13u);
  std::vector<T> first_a, first_b;
  for (int tasks = 1; tasks <= 4; ++tasks) {
    velqo::settasks(tasks);
    std::vector<T> x = a, y = b, w(2 * std::size_t(n) * m, T(0));
    int status = -1;
    solve_entry(x.data(), n, m, y.data(), 1, w.data(), status);
    ASSERT_EQ(status, 0);
    EXPECT_FALSE(any_subnormal(w) || any_subnormal(x) || any_subnormal(y)) << tasks << " tasks";
    if (tasks == 1) {
      first_a = x;
      first_b = y;
    }
    EXPECT_TRUE(same_bits(x, first_a) && same_bits(y, first_b)) << tasks << " tasks";
  }
}

// Off-diagonal entries s or 0 with s² subnormal: updates of a zero entry give
// subnormal values unless flushed. The parallel factor is the sequential one.
TYPED_TEST(FpModeReal, FactorWithSubnormalUpdatesIsTheSequentialOne) {
  using T = TypeParam;
  using R = real_type<T>;
  const int n = 400, m = 3;
  const R s = std::sqrt(std::numeric_limits<R>::min()) / R(64);
  std::mt19937 rng(14u);
  std::vector<T> a(band_length(n, m), T(0));
  for (int j = 1; j <= n; ++j) {
    band(a.data(), m, j, j) = T(1);
    for (int k = j + 1; k <= std::min(n, j + m); ++k)
      if (rng() % 2 == 0) band(a.data(), m, k, j) = T(s);
  }
  int info[2] = {0, 0};
  std::vector<T> sequential = a;
  velqo::decompose_csp<T>(sequential.data(), m, 1, n, R(0), info, 1);
  EXPECT_FALSE(any_subnormal(sequential));
  for (int tasks : {1, 3}) {
    velqo::settasks(tasks);
    std::vector<T> l = a;
    int status = -1;
    if constexpr (std::is_same_v<T, float>) {
      velqo::medecompose_csp_4(l.data(), n, m, status);
    } else {
      velqo::medecompose_csp_8(l.data(), n, m, status);
    }
    ASSERT_EQ(status, 0);
    EXPECT_TRUE(same_bits(l, sequential)) << tasks << " tasks";
  }
}

}  // namespace
