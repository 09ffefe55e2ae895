// The checked interface: every bad argument is reported by name and size with
// the caller's arrays untouched, failures of the factorisation are reported,
// and the checked calls give bit for bit what the unchecked entries give.
#include <cstring>
#include <functional>
#include <initializer_list>
#include <limits>
#include <string>
#include <thread>

#include "solver/band.h"
#include "support.h"

namespace {

using namespace testing_support;

// The unchecked entries of each precision.
void unchecked(float* a, int n, int m, float* b, int nrhs, float* w, int& s) { velqo::mesolution_csp_4(a, n, m, b, nrhs, w, s); }
void unchecked(double* a, int n, int m, double* b, int nrhs, double* w, int& s) { velqo::mesolution_csp_8(a, n, m, b, nrhs, w, s); }
void unchecked(complex4* a, int n, int m, complex4* b, int nrhs, complex4* w, int& s) { velqo::mesolution_csp_z4(a, n, m, b, nrhs, w, s); }
void unchecked(complex8* a, int n, int m, complex8* b, int nrhs, complex8* w, int& s) { velqo::mesolution_csp_z8(a, n, m, b, nrhs, w, s); }
void unchecked(float* a, int n, int m, int& s) { velqo::medecompose_csp_4(a, n, m, s); }
void unchecked(double* a, int n, int m, int& s) { velqo::medecompose_csp_8(a, n, m, s); }
void unchecked(complex4* a, int n, int m, int& s) { velqo::medecompose_csp_z4(a, n, m, s); }
void unchecked(complex8* a, int n, int m, int& s) { velqo::medecompose_csp_z8(a, n, m, s); }
void unchecked(const float* a, int n, int m, float* b, int nrhs) { velqo::mesubstitute_csp_4(a, n, m, b, nrhs); }
void unchecked(const double* a, int n, int m, double* b, int nrhs) { velqo::mesubstitute_csp_8(a, n, m, b, nrhs); }
void unchecked(const complex4* a, int n, int m, complex4* b, int nrhs) { velqo::mesubstitute_csp_z4(a, n, m, b, nrhs); }
void unchecked(const complex8* a, int n, int m, complex8* b, int nrhs) { velqo::mesubstitute_csp_z8(a, n, m, b, nrhs); }

// ------------------------------------------------------------- bad arguments

// A system of order 10, half bandwidth 2, two right-hand sides, a workspace of
// 2·n·m = 40 elements; each case breaks one thing and must leave all of it as it was.
struct BadArgument : ::testing::Test {
  static constexpr int n = 10, m = 2, nrhs = 2;
  std::vector<double> a = random_spd_band<double>(n, m, 7), b = random_rhs<double>(n, nrhs, 8),
                      w = std::vector<double>(2 * n * m, 3.0);

  // Runs call on copies; it must answer bad_argument with a message holding every
  // one of parts and touch none of the arrays.
  template <class Call> void expect_rejected(Call call, std::initializer_list<std::string> parts) {
    auto a2 = a, b2 = b, w2 = w;
    const velqo::result r = call(a2, b2, w2);
    EXPECT_EQ(r.status, velqo::status::bad_argument);
    for (const std::string& part : parts)
      EXPECT_NE(r.message.find(part), std::string::npos) << r.message << " lacks " << part;
    EXPECT_TRUE(same_bits(a2, a) && same_bits(b2, b) && same_bits(w2, w)) << r.message;
  }
};

TEST_F(BadArgument, SizesAndLengths) {
  using V = std::vector<double>;
  auto solve_with = [](int vn, int vm, int k, std::size_t alen, std::size_t blen, std::size_t wlen) {
    return [=](V& a, V& b, V& w) {
      velqo::band_view<double> view{std::span(a).first(alen), vn, vm};
      return velqo::solve(view, std::span(b).first(blen), k, std::span(w).first(wlen));
    };
  };
  expect_rejected(solve_with(-1, m, nrhs, a.size(), b.size(), w.size()), {"n = -1"});
  expect_rejected(solve_with(n, -2, nrhs, a.size(), b.size(), w.size()), {"m = -2"});
  expect_rejected(solve_with(velqo::max_order + 1, 0, 1, a.size(), b.size(), w.size()),
                  {"n = " + std::to_string(velqo::max_order + 1)});
  expect_rejected(solve_with(n, m, nrhs, a.size() - 1, b.size(), w.size()), {"a:", "27", "28"});
  expect_rejected(solve_with(n, m, -1, a.size(), b.size(), w.size()), {"nrhs = -1"});
  expect_rejected(solve_with(n, m, nrhs, a.size(), b.size() - 1, w.size()), {"b:", "19", "20"});
  expect_rejected(solve_with(n, m, nrhs, a.size(), b.size(), w.size() - 1), {"workspace:", "39", "40"});
}

TEST_F(BadArgument, OverlappingArrays) {
  using V = std::vector<double>;
  a.resize(28 + 20 + 40);  // room for b or a workspace inside a's array
  w.resize(10 + 40);       // room for one right-hand side and a workspace
  expect_rejected([](V& a, V&, V& w) {
    velqo::band_view<double> view{std::span(a).first(28), n, m};
    return velqo::solve(view, std::span(a).subspan(20, 20), nrhs, w);
  }, {"b:", "overlap the band storage of a"});
  expect_rejected([](V& a, V& b, V&) {
    velqo::band_view<double> view{std::span(a).first(28), n, m};
    return velqo::solve(view, b, nrhs, std::span(a).subspan(27, 40));
  }, {"workspace:", "overlap the band storage of a"});
  expect_rejected([](V& a, V&, V& w) {
    velqo::band_view<double> view{std::span(a).first(28), n, m};
    return velqo::solve(view, std::span(w).first(n), 1, std::span(w).subspan(n - 1, 40));
  }, {"workspace:", "overlap b"});
}

// A view records what its storage holds; each call wants one thing.
TEST_F(BadArgument, WhatTheStorageHolds) {
  using V = std::vector<double>;
  using velqo::holds;
  auto solve_on = [](holds what) {
    return [=](V& a, V& b, V& w) { velqo::band_view<double> view(a, n, m, what); return velqo::solve(view, b, nrhs, w); };
  };
  auto factor_on = [](holds what) {
    return [=](V& a, V&, V&) { velqo::band_view<double> view(a, n, m, what); return velqo::factor(view); };
  };
  auto solve_factored_on = [](holds what) {
    return [=](V& a, V& b, V&) { velqo::band_view<double> view(a, n, m, what); return velqo::solve_factored(view, b, nrhs); };
  };
  expect_rejected(solve_factored_on(holds::matrix), {"a:", "holds the matrix", "call factor"});
  expect_rejected(solve_on(holds::factor), {"a:", "holds the factor", "use solve_factored"});
  expect_rejected(factor_on(holds::factor), {"a:", "holds the factor"});
  expect_rejected(solve_on(holds::overwritten), {"a:", "overwritten"});
  expect_rejected(factor_on(holds::overwritten), {"a:", "overwritten"});
  expect_rejected(solve_factored_on(holds::overwritten), {"a:", "overwritten"});
  // After a solve, and once moved from, a view serves nothing more.
  V s = random_spd_band<double>(n, m, 9), x = b;
  velqo::band_view<double> view(s, n, m);
  EXPECT_TRUE(velqo::solve(view, x, nrhs));
  EXPECT_EQ(velqo::solve(view, x, nrhs).status, velqo::status::bad_argument);
  velqo::band_view<double> moved(std::move(view));
  EXPECT_EQ(moved.contents(), velqo::holds::overwritten);
  EXPECT_EQ(velqo::factor(view).status, velqo::status::bad_argument);
}

TEST(Checked, NotPositiveDefinite) {
  const int n = 30, m = 3;
  for (bool one_pass : {true, false}) {
    std::vector<double> a = random_spd_band<double>(n, m, 5), b = random_rhs<double>(n, 1, 6);
    band(a.data(), m, 17, 17) = -1;
    velqo::band_view<double> view(a, n, m);
    const velqo::result r = one_pass ? velqo::solve(view, b, 1) : velqo::factor(view);
    EXPECT_EQ(r.status, velqo::status::not_positive_definite);
    EXPECT_NE(r.message.find("not positive definite"), std::string::npos) << r.message;
    EXPECT_EQ(r.row, 17);
    EXPECT_NE(r.message.find("row 17"), std::string::npos) << r.message;
    EXPECT_EQ(view.contents(), velqo::holds::overwritten);
    EXPECT_EQ(velqo::solve_factored(view, b, 1).status, velqo::status::bad_argument);
  }
}

// NaN or infinity in the matrix or the right-hand sides is named, by argument
// and position, before anything is touched.
TEST(Checked, ValuesThatAreNotFinite) {
  const int n = 10, m = 2;
  const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
  const std::vector<double> a = random_spd_band<double>(n, m, 7), b = random_rhs<double>(n, 2, 8);
  auto expect = [](const velqo::result& r, std::initializer_list<std::string> parts) {
    EXPECT_EQ(r.status, velqo::status::not_finite) << r.message;
    for (const std::string& part : parts)
      EXPECT_NE(r.message.find(part), std::string::npos) << r.message << " lacks " << part;
  };
  for (int call = 0; call < 3; ++call) {
    std::vector<double> bad_a = a, bad_b = b;
    band(bad_a.data(), m, 7, 5) = call == 1 ? -inf : nan;
    bad_b[n + 3] = inf;  // b(4, 2)
    // A position of a row beyond n holds no entry: its value does not matter.
    band(bad_a.data(), m, n + 1, n - 1) = nan;
    std::vector<double> ca = bad_a, cb = b, fa = a;
    velqo::band_view<double> view(ca, n, m), factored(fa, n, m);
    ASSERT_TRUE(velqo::factor(factored));
    const std::vector<double> factor = fa;
    if (call == 0) expect(velqo::solve(view, cb, 2), {"a: a(7, 5) = nan"});
    if (call == 1) expect(velqo::factor(view), {"a: a(7, 5) = -inf"});
    if (call == 2) {
      cb = bad_b;
      expect(velqo::solve_factored(factored, cb, 2), {"b: b(4, 2) = inf"});
      ca = a;
      velqo::band_view<double> fresh(ca, n, m);
      expect(velqo::solve(fresh, cb, 2), {"b: b(4, 2) = inf"});
      EXPECT_EQ(fresh.contents(), velqo::holds::matrix);
      EXPECT_TRUE(same_bits(ca, a));
    }
    EXPECT_TRUE(same_bits(cb, call == 2 ? bad_b : b) && same_bits(fa, factor));
    if (call < 2) {
      EXPECT_TRUE(same_bits(ca, bad_a) && view.contents() == velqo::holds::matrix);
    }
  }
  // The band's own entries are all that is read: the bad position alone passes.
  std::vector<double> ca = a, cb = b;
  band(ca.data(), m, n + 1, n - 1) = nan;
  velqo::band_view<double> view(ca, n, m);
  EXPECT_TRUE(velqo::solve(view, cb, 2));
}

// A solution or a factor beyond the range of the type is not handed back as ok.
TEST(Checked, ResultsBeyondTheRange) {
  // x = 1e30 / 1e-30 overflows float.
  std::vector<float> a = {1e-30f}, b = {1e30f};
  velqo::band_view<float> view(a, 1, 0);
  velqo::result r = velqo::solve(view, b, 1);
  EXPECT_EQ(r.status, velqo::status::not_finite);
  EXPECT_NE(r.message.find("x: the solution holds x(1, 1) = inf"), std::string::npos) << r.message;
  a = {1e-30f}, b = {1e30f};
  velqo::band_view<float> factored(a, 1, 0);
  ASSERT_TRUE(velqo::factor(factored));
  r = velqo::solve_factored(factored, b, 1);
  EXPECT_EQ(r.status, velqo::status::not_finite);
  EXPECT_NE(r.message.find("x: the solution holds x(1, 1)"), std::string::npos) << r.message;

  // Complex symmetric: the second pivot 1 − (1e20)² is −∞, of modulus ∞, so it
  // passes, and L(2, 2) = √−∞ = ∞·i; the unchecked entries report success.
  const std::vector<complex4> c = {complex4(1, 0), complex4(1e20f, 0), complex4(1, 0)};
  std::vector<complex4> ua = c;
  int status = -1;
  velqo::medecompose_csp_z4(ua.data(), 2, 1, status);
  EXPECT_EQ(status, 0);
  std::vector<complex4> ca = c, cb = {complex4(1, 0), complex4(1, 0)};
  velqo::band_view<complex4> cview(ca, 2, 1);
  r = velqo::factor(cview);
  EXPECT_EQ(r.status, velqo::status::not_finite);
  EXPECT_NE(r.message.find("a: the factor holds L(2, 2) = (0, inf)"), std::string::npos) << r.message;
  EXPECT_EQ(cview.contents(), velqo::holds::overwritten);
  ca = c;
  velqo::band_view<complex4> sview(ca, 2, 1);
  r = velqo::solve(sview, cb, 1);
  EXPECT_EQ(r.status, velqo::status::not_finite) << r.message;
  EXPECT_NE(r.message.find("x: the solution holds x("), std::string::npos) << r.message;
}

TEST(Checked, EmptySystemsAndNoRightHandSides) {
  velqo::band_view<double> none({}, 0, 4);
  EXPECT_TRUE(velqo::solve(none, {}, 3));
  std::vector<double> a = random_spd_band<double>(5, 1, 3);
  velqo::band_view<double> view(a, 5, 1);
  EXPECT_TRUE(velqo::factor(view));
  std::vector<double> factor = a;
  EXPECT_TRUE(velqo::solve_factored(view, {}, 0));
  EXPECT_TRUE(same_bits(a, factor));
}

// ------------------------------------------------ checked against unchecked

template <class T> struct Checked : ::testing::Test {};
TYPED_TEST_SUITE(Checked, ElementTypes);

TYPED_TEST(Checked, SameBitsAsTheUncheckedEntries) {
  using T = TypeParam;
  velqo::settasks(2);
  // Bands narrower than the matrix on both sides of the change of path, one
  // wider (m ≥ n), and a system whose own workspace (over 2 MiB) comes as
  // fresh pages from the system.
  for (auto [n, m] : {std::pair{200, 4}, std::pair{200, 12}, std::pair{7, 9}, std::pair{140000, 2}}) {
    const int nrhs = 3;
    const std::vector<T> a = random_spd_band<T>(n, m, 11), b = random_rhs<T>(n, nrhs, 12);

    // One pass, with a workspace of its own and with the caller's, by the path
    // solve_path names.
    std::vector<T> ua = a, ub = b, w(2 * std::size_t(n) * m);
    int code = -1;
    if (velqo::solve_path<T>(m, nrhs) == velqo::path::block_reduction) {
      unchecked(ua.data(), n, m, ub.data(), nrhs, w.data(), code);
    } else {
      unchecked(ua.data(), n, m, code);
      unchecked(static_cast<const T*>(ua.data()), n, m, ub.data(), nrhs);
    }
    ASSERT_EQ(code, 0);
    for (bool own : {true, false}) {
      std::vector<T> ca = a, cb = b, cw(own ? 0 : w.size());
      velqo::band_view<T> view(ca, n, m);
      ASSERT_TRUE(velqo::solve(view, cb, nrhs, cw));
      EXPECT_TRUE(same_bits(ca, ua) && same_bits(cb, ub)) << "n = " << n << ", own workspace " << own;
    }
    EXPECT_LT(residual_ratio(a, n, m, ub, b, nrhs), 30);

    // Factor once, solve twice.
    ua = a, ub = b;
    unchecked(ua.data(), n, m, code);
    ASSERT_EQ(code, 0);
    unchecked(static_cast<const T*>(ua.data()), n, m, ub.data(), nrhs);
    std::vector<T> ca = a;
    velqo::band_view<T> view(ca, n, m);
    ASSERT_TRUE(velqo::factor(view));
    EXPECT_TRUE(same_bits(ca, ua));
    for (int round = 0; round < 2; ++round) {
      std::vector<T> cb = b;
      ASSERT_TRUE(velqo::solve_factored(view, cb, nrhs));
      EXPECT_TRUE(same_bits(cb, ub)) << "n = " << n << ", round " << round;
    }
  }
  velqo::resettasks();
}

// Row 23 of A is zero below the diagonal and on it, so its pivot is exactly 0
// in every precision and form, while the leading minor of order 22 is positive
// definite: factor and solve, on either path, report row 23.
TYPED_TEST(Checked, RowOfTheFailingPivotInEveryForm) {
  using T = TypeParam;
  const int n = 60, bad = 23;
  for (auto [m, f] : {std::pair{4, velqo::form::symmetric}, std::pair{4, velqo::form::hermitian},
                      std::pair{12, velqo::form::hermitian}}) {
    std::vector<T> a = random_spd_band<T>(n, m, 31);
    for (int j = bad - m; j <= bad; ++j) band(a.data(), m, bad, j) = T(0);
    for (bool one_pass : {true, false}) {
      std::vector<T> s = a, b = random_rhs<T>(n, 1, 6);
      velqo::band_view<T> view(s, n, m, f);
      const velqo::result r = one_pass ? velqo::solve(view, b, 1) : velqo::factor(view);
      EXPECT_EQ(r.status, velqo::status::not_positive_definite);
      EXPECT_EQ(r.row, bad) << r.message;
      EXPECT_EQ(r.minor, !one_pass || velqo::solve_path<T>(m) != velqo::path::block_reduction);
    }
  }
}

// A Hermitian view runs the _hpd_ entries (for real types, the same as a
// symmetric view); a factored view keeps its form for solve_factored.
TYPED_TEST(Checked, HermitianViewRunsTheHermitianEntries) {
  using T = TypeParam;
  const int n = 150, m = 6, nrhs = 2;
  const std::vector<T> a = random_spd_band<T>(n, m, 41), b = random_rhs<T>(n, nrhs, 42);
  std::vector<T> ua = a, ub = b, fa = a, fb = b, w(2 * n * m);
  int code = -1;
  if constexpr (velqo::is_complex<T>) {
    constexpr bool single = std::is_same_v<T, complex4>;
    if constexpr (single) {
      velqo::mesolution_hpd_z4(ua.data(), n, m, ub.data(), nrhs, w.data(), code);
      velqo::medecompose_hpd_z4(fa.data(), n, m, code);
      velqo::mesubstitute_hpd_z4(fa.data(), n, m, fb.data(), nrhs);
    } else {
      velqo::mesolution_hpd_z8(ua.data(), n, m, ub.data(), nrhs, w.data(), code);
      velqo::medecompose_hpd_z8(fa.data(), n, m, code);
      velqo::mesubstitute_hpd_z8(fa.data(), n, m, fb.data(), nrhs);
    }
  } else {
    unchecked(ua.data(), n, m, ub.data(), nrhs, w.data(), code);
    unchecked(fa.data(), n, m, code);
    unchecked(static_cast<const T*>(fa.data()), n, m, fb.data(), nrhs);
  }
  ASSERT_EQ(code, 0);
  EXPECT_LT(residual_ratio(a, n, m, ub, b, nrhs, true), 30);
  std::vector<T> ca = a, cb = b;
  velqo::band_view<T> one(ca, n, m, velqo::form::hermitian);
  EXPECT_EQ(one.form(), velqo::form::hermitian);
  ASSERT_TRUE(velqo::solve(one, cb, nrhs));
  if (velqo::solve_path<T>(m, nrhs) == velqo::path::block_reduction) {
    EXPECT_TRUE(same_bits(ca, ua) && same_bits(cb, ub));
  } else {
    EXPECT_TRUE(same_bits(ca, fa) && same_bits(cb, fb));
  }
  ca = a, cb = b;
  velqo::band_view<T> factored(ca, n, m, velqo::form::hermitian);
  ASSERT_TRUE(velqo::factor(factored));
  const velqo::band_view<T> moved(std::move(factored));
  ASSERT_TRUE(velqo::solve_factored(moved, cb, nrhs));
  EXPECT_TRUE(same_bits(ca, fa) && same_bits(cb, fb));
}

// Checked calls from two threads take turns in the runtime and both come out right.
TEST(Checked, CallsFromTwoThreads) {
  velqo::settasks(2);
  const int n = 300, m = 4;
  const std::vector<double> a = random_spd_band<double>(n, m, 21), b = random_rhs<double>(n, 2, 22);
  std::vector<double> expected = b;
  {
    std::vector<double> s = a;
    velqo::band_view<double> view(s, n, m);
    ASSERT_TRUE(velqo::solve(view, expected, 2));
  }
  auto solve_repeatedly = [&](std::vector<double>& x) {
    for (int round = 0; round < 20; ++round) {
      std::vector<double> s = a;
      x = b;
      velqo::band_view<double> view(s, n, m);
      if (!velqo::solve(view, x, 2)) return;
    }
  };
  std::vector<double> x1, x2;
  std::thread other(solve_repeatedly, std::ref(x1));
  solve_repeatedly(x2);
  other.join();
  EXPECT_TRUE(same_bits(x1, expected) && same_bits(x2, expected));
  velqo::resettasks();
}

}  // namespace
