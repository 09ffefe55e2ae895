// The two-sided solve: the top of the band factorised from its first row, the
// bottom from its last, meeting around the cut. Its x agrees with LAPACK's
// (residual ratios for complex symmetric bands) and is the same bit for bit for
// every task count, the checked solve gives its bits, and a failure says which
// part failed.
#include <algorithm>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "lapack.h"
#include "solver/band.h"
#include "solver/entries.h"
#include "solver/velqo.h"
#include "support.h"

namespace {

using namespace testing_support;
using velqo::form;

template <class T> class TwoSided : public ::testing::Test {};
TYPED_TEST_SUITE(TwoSided, ElementTypes);

/// call(std::integral_constant<form, F>) for each form of T: the symmetric
/// one, and the Hermitian one for complex types.
template <class T, class Call> void for_each_form(Call call) {
  call(std::integral_constant<form, form::symmetric>{});
  if constexpr (velqo::is_complex<T>) call(std::integral_constant<form, form::hermitian>{});
}

/// A band with diagonal 2m + 1/100 and every other entry −1: positive definite,
/// but with a condition number that grows with n², so the meeting works on
/// nearly singular blocks.
template <class T> std::vector<T> stiff_band(int n, int m) {
  std::vector<T> a(static_cast<std::size_t>(band_length(n, m)), T(0));
  for (int j = 1; j <= n; ++j) {
    band(a.data(), m, j, j) = T(real_type<T>(2 * m + 0.01));
    for (int k = j + 1; k <= std::min(n, j + m); ++k) band(a.data(), m, k, j) = T(-1);
  }
  return a;
}

/// A random band positive definite in form F.
template <class T, form F> std::vector<T> random_band(int n, int m, std::uint32_t seed) {
  if constexpr (F == form::hermitian) {
    return random_hpd_band<T>(n, m, seed);
  } else {
    return random_spd_band<T>(n, m, seed);
  }
}

template <class T, form F>
std::vector<T> two_sided_x(std::vector<T> a, int n, int m, std::vector<T> b, int& status) {
  std::vector<T> work(static_cast<std::size_t>(velqo::two_sided_work<T>(m)));
  int row = 0;
  velqo::two_sided<T, F>(a.data(), n, m, b.data(), work.data(), status, row);
  return b;
}

// Narrow, medium and wide bands (the last on the pipeline's steps), from the
// smallest systems the solve serves (each part m rows at least) up, some large
// enough for two tasks.
TYPED_TEST(TwoSided, AgreesWithLapackForEveryTaskCount) {
  using T = TypeParam;
  const std::pair<int, int> shapes[] = {{3, 1}, {18, 8}, {41, 13}, {9000, 8}, {3000, 40}, {1000, 150}};
  for_each_form<T>([&](auto f) {
    constexpr form F = decltype(f)::value;
    constexpr bool hermitian = F == form::hermitian;
    for (bool stiff : {false, true})
      for (auto [n, m] : shapes) {
        SCOPED_TRACE(::testing::Message() << "n = " << n << ", m = " << m << ", stiff " << stiff << ", hermitian "
                                          << hermitian);
        ASSERT_TRUE(velqo::two_sided_serves<T>(n, m));
        const std::vector<T> a = stiff ? stiff_band<T>(n, m) : random_band<T, F>(n, m, 21),
                             b = random_rhs<T>(n, 1, 22);
        std::vector<T> first;
        for (int tasks : {1, 2, 3}) {
          velqo::settasks(tasks);
          int status = -1;
          const std::vector<T> x = two_sided_x<T, F>(a, n, m, b, status);
          ASSERT_EQ(status, 0);
          if (tasks > 1) {
            EXPECT_TRUE(same_bits(x, first)) << "tasks " << tasks;
            continue;
          }
          first = x;
          EXPECT_LT(residual_ratio(a, n, m, x, b, 1, hermitian), 30);
          // LAPACK's band solver is real or Hermitian.
          if (stiff || (velqo::is_complex<T> && !hermitian)) continue;
          std::vector<T> ab = lapack::padded(a, m), reference = b;
          ASSERT_EQ(lapack::pbsv(n, m, 1, ab.data(), reference.data()), 0);
          for (int i = 0; i < n; ++i) EXPECT_LE(magnitude(T(x[i] - reference[i])), 100 * tolerance<T>()) << i;
        }
      }
  });
  velqo::resettasks();
}

// The checked solve takes the two-sided path for one right-hand side where
// solve_path names it, in either form.
TYPED_TEST(TwoSided, IsTheCheckedSolvesPath) {
  using T = TypeParam;
  const int n = 500, m = 16;
  if (velqo::solve_path<T>(m) != velqo::path::two_sided) GTEST_SKIP() << "another path at m = 16";
  for_each_form<T>([&](auto f) {
    constexpr form F = decltype(f)::value;
    const std::vector<T> a = random_band<T, F>(n, m, 23), b = random_rhs<T>(n, 1, 24);
    int status = -1;
    const std::vector<T> x = two_sided_x<T, F>(a, n, m, b, status);
    std::vector<T> ca = a, cb = b;
    velqo::band_view<T> view(ca, n, m, F);
    ASSERT_TRUE(velqo::solve(view, cb, 1));
    EXPECT_TRUE(same_bits(cb, x));
  });
}

// n = 80, m = 16: the top part is rows 1 … 44, the bottom part rows 45 … 80.
TYPED_TEST(TwoSided, SaysWhichPartFailed) {
  using T = TypeParam;
  const int n = 80, m = 16;
  if (velqo::solve_path<T>(m) != velqo::path::two_sided) GTEST_SKIP() << "another path at m = 16";
  const std::vector<T> b = random_rhs<T>(n, 1, 26);
  struct failure {
    int row;  // the row made zero (its pivot is then exactly 0 in every form), or 0: the coupling across the cut
    int reported;
    bool minor;
    const char* says;
  };
  for (const failure f : {failure{10, 10, true, "leading minor of order 10"},
                          failure{70, 70, false, "trailing minor from row 70 to 80"},
                          failure{0, 44, false, "after row 44"}}) {
    std::vector<T> a = random_spd_band<T>(n, m, 25);
    if (f.row != 0) {
      for (int j = std::max(1, f.row - m); j <= f.row; ++j) band(a.data(), m, f.row, j) = T(0);
      for (int k = f.row + 1; k <= std::min(n, f.row + m); ++k) band(a.data(), m, k, f.row) = T(0);
    } else {
      // Both parts the identity, coupled by 1 across the cut: [1 1; 1 1] is singular.
      a.assign(a.size(), T(0));
      for (int j = 1; j <= n; ++j) band(a.data(), m, j, j) = T(1);
      band(a.data(), m, 45, 44) = T(1);
    }
    std::vector<T> cb = b;
    velqo::band_view<T> view(a, n, m);
    const velqo::result r = velqo::solve(view, cb, 1);
    EXPECT_EQ(r.status, velqo::status::not_positive_definite);
    EXPECT_EQ(r.row, f.reported);
    EXPECT_EQ(r.minor, f.minor);
    EXPECT_NE(r.message.find(f.says), std::string::npos) << r.message;
  }
}

}  // namespace
