// Arithmetic across the whole exponent range: the complex quotient, reciprocal,
// square root and modulus against a long double reference for operands from
// the subnormal numbers to the largest, the scaled forms giving the plain
// formulas' bits wherever those are safe, and systems scaled near underflow and
// overflow solved by every entry.
#include <complex>
#include <random>

#include "solver/band.h"
#include "solver/velqo.h"
#include "solve_entry.h"
#include "support.h"

namespace {

using namespace testing_support;
using long_complex = std::complex<long double>;

template <class T> struct Range : ::testing::Test {};
using ComplexTypes = ::testing::Types<complex4, complex8>;
TYPED_TEST_SUITE(Range, ComplexTypes);

template <class T> long_complex wide(const T& z) {
  if constexpr (velqo::is_complex<T>) {
    return {z.real(), z.imag()};
  } else {
    return {z, 0};
  }
}

template <class T> T narrow(const long_complex& z) {
  if constexpr (velqo::is_complex<T>) {
    return T(real_type<T>(z.real()), real_type<T>(z.imag()));
  } else {
    return T(z.real());
  }
}

/// A part of an operand: 0 now and then, otherwise ±(1 … 2)·2^e with e spread
/// evenly from below the smallest subnormal to the largest exponent.
template <class R> R random_part(std::mt19937& rng) {
  using limits = std::numeric_limits<R>;
  std::uniform_int_distribution<int> e(limits::min_exponent - limits::digits - 1, limits::max_exponent - 1);
  std::uniform_real_distribution<R> mantissa(1, 2);
  if (rng() % 16 == 0) return R(0);
  const R v = std::ldexp(mantissa(rng), e(rng));
  return rng() % 2 ? v : -v;
}

/// |z − reference| in ulps of |reference| (the smallest normal number's ulp
/// below it); where a part of the reference is beyond the range, the result must
/// have an infinite part.
template <class T> double ulps(const T& z, const long_complex& reference) {
  using R = real_type<T>;
  const long double size = std::abs(reference);
  if (std::max(std::fabs(reference.real()), std::fabs(reference.imag())) > std::numeric_limits<R>::max())
    return std::isinf(z.real()) || std::isinf(z.imag()) ? 0 : 1e30;
  const long double unit = std::max<long double>(size, std::numeric_limits<R>::min()) * epsilon<T>();
  return double(std::abs(wide(z) - reference) / unit);
}

// Every operation within a few ulps of exact arithmetic, wherever its operands lie.
TYPED_TEST(Range, OperationsAcrossTheExponentRange) {
  using T = TypeParam;
  using R = real_type<T>;
  if (std::numeric_limits<long double>::max_exponent < 2 * std::numeric_limits<R>::max_exponent + 8)
    GTEST_SKIP() << "long double has no wider range than the reference needs";
  std::mt19937 rng(29);
  double worst[5] = {};
  for (int trial = 0; trial < 200000; ++trial) {
    const T u(random_part<R>(rng), random_part<R>(rng)), d(random_part<R>(rng), random_part<R>(rng));
    if (d == T(0)) continue;
    const long_complex q = wide(u) / wide(d), r = 1.0L / wide(d);
    worst[0] = std::max(worst[0], ulps(velqo::divide(u, d), q));
    worst[1] = std::max(worst[1], ulps(velqo::divide_by(u, d), q));
    worst[2] = std::max(worst[2], ulps(velqo::reciprocal(d), r));
    worst[3] = std::max(worst[3], ulps(velqo::square_root(d), std::sqrt(wide(d))));
    worst[4] = std::max(worst[4], ulps(T(velqo::pivot_size(d)), long_complex(std::abs(wide(d)))));
  }
  const char* names[5] = {"divide", "divide_by", "reciprocal", "square_root", "pivot_size"};
  for (int i = 0; i < 5; ++i) EXPECT_LT(worst[i], 6) << names[i];
}

// Scaling by powers of two rounds nothing: where no intermediate of the plain
// formula leaves the normal range, the scaled forms give its bits.
TYPED_TEST(Range, ScaledFormsKeepThePlainBits) {
  using T = TypeParam;
  using R = real_type<T>;
  namespace detail = velqo::detail;
  // A product of nonzero parts, a sum, the reciprocal of the sum of squares and
  // the quotients: each 0 or normal, not near the top.
  const auto fits = [](R x) { return x == R(0) || (std::isnormal(x) && std::fabs(x) < std::numeric_limits<R>::max() / 4); };
  const auto product = [&](R x, R y) { return x == R(0) || y == R(0) || (x * y != R(0) && fits(x * y)); };
  const auto safe = [&](const T& u, const T& d) {
    const R den = d.real() * d.real() + d.imag() * d.imag();
    const T q = detail::divide_plain(u, d), p = detail::divide_by_plain(u, d);
    return product(u.real(), d.real()) && product(u.imag(), d.imag()) && product(u.imag(), d.real()) &&
           product(u.real(), d.imag()) && product(d.real(), d.real()) && product(d.imag(), d.imag()) &&
           fits(u.real() * d.real() + u.imag() * d.imag()) && fits(u.imag() * d.real() - u.real() * d.imag()) &&
           den != R(0) && fits(den) && fits(R(1) / den) && fits(q.real()) && fits(q.imag()) && fits(p.real()) &&
           fits(p.imag());
  };
  std::mt19937 rng(31);
  int compared = 0;
  for (int trial = 0; trial < 200000; ++trial) {
    // Parts within a quarter of the range of each other, so that many pairs are safe.
    const int shift = int(rng() % (std::numeric_limits<R>::max_exponent / 2));
    const auto part = [&] { return R(std::ldexp(R(rng() % 4096 + 1), int(rng() % 64) - shift / 2 - 32)); };
    const T u(part(), -part()), d(part() * R(rng() % 2 ? 1 : -1), part());
    if (!safe(u, d)) continue;
    ++compared;
    const T q = detail::divide_plain(u, d), qs = detail::divide_scaled<false>(u, d);
    const T p = detail::divide_by_plain(u, d), ps = detail::divide_scaled<true>(u, d);
    const T r = detail::reciprocal_plain(d), rs = detail::reciprocal_scaled(d);
    ASSERT_TRUE(same_bits(std::vector<T>{q, p, r}, std::vector<T>{qs, ps, rs}))
        << "u = " << u << ", d = " << d;
  }
  EXPECT_GT(compared, 10000);
}

// ------------------------------------------------------- scaled systems

/// ‖b − A·x‖∞ / (‖A‖∞·‖x‖∞·n·eps), formed in long double so that neither the
/// products nor the norms leave the range whatever the scaling.
template <class T>
double wide_residual_ratio(const std::vector<T>& a, int n, int m, const std::vector<T>& x, const std::vector<T>& b,
                           int nrhs) {
  long double worst = 0, norm_a = 0, norm_x = 0;
  for (int i = 1; i <= n; ++i) {
    long double row = 0;
    for (int j = std::max(1, i - m); j <= std::min(n, i + m); ++j)
      row += std::abs(wide(i >= j ? band(a.data(), m, i, j) : band(a.data(), m, j, i)));
    norm_a = std::max(norm_a, row);
  }
  for (int s = 0; s < nrhs; ++s)
    for (int i = 1; i <= n; ++i) {
      long_complex r = wide(b[s * std::size_t(n) + i - 1]);
      for (int j = std::max(1, i - m); j <= std::min(n, i + m); ++j)
        r -= wide(i >= j ? band(a.data(), m, i, j) : band(a.data(), m, j, i)) * wide(x[s * std::size_t(n) + j - 1]);
      worst = std::max(worst, std::abs(r));
      norm_x = std::max(norm_x, std::abs(wide(x[s * std::size_t(n) + i - 1])));
    }
  return double(worst / (norm_a * norm_x * n * epsilon<T>()));
}

/// A system whose matrix has the norm given, its right-hand sides b = A·x for a
/// random x rounded from long double.
template <class T> struct scaled_system {
  int n, m, nrhs;
  std::vector<T> a, b;

  scaled_system(int n_, int m_, int nrhs_, long double norm) : n(n_), m(m_), nrhs(nrhs_) {
    a = random_spd_band<T>(n, m, 41);
    const std::vector<T> x = random_rhs<T>(n, nrhs, 42);
    const long double factor = norm / (2 * m + 2);
    for (T& e : a) e = narrow<T>(wide(e) * factor);
    b.resize(x.size());
    for (int s = 0; s < nrhs; ++s)
      for (int i = 1; i <= n; ++i) {
        long_complex sum = 0;
        for (int j = std::max(1, i - m); j <= std::min(n, i + m); ++j)
          sum += wide(i >= j ? band(a.data(), m, i, j) : band(a.data(), m, j, i)) * wide(x[s * std::size_t(n) + j - 1]);
        b[s * std::size_t(n) + i - 1] = narrow<T>(sum);
      }
  }
};

template <class T> void solve_with_every_entry(const scaled_system<T>& sys, const std::string& what) {
  const int n = sys.n, m = sys.m, nrhs = sys.nrhs;
  for (int tasks = 1; tasks <= 4; ++tasks) {
    velqo::settasks(tasks);
    const std::string where = what + ", " + std::to_string(tasks) + " tasks";
    std::vector<T> a = sys.a, x = sys.b, w(2 * std::size_t(n) * m + 1);
    int status = -1;
    solve_entry(a.data(), n, m, x.data(), nrhs, w.data(), status);
    EXPECT_EQ(status, 0) << where;
    EXPECT_LT(wide_residual_ratio(sys.a, n, m, x, sys.b, nrhs), 30) << "mesolution, " << where;

    a = sys.a, x = sys.b, status = -1;
    decompose_entry(a.data(), n, m, status);
    EXPECT_EQ(status, 0) << where;
    substitute_entry(static_cast<const T*>(a.data()), n, m, x.data(), nrhs);
    EXPECT_LT(wide_residual_ratio(sys.a, n, m, x, sys.b, nrhs), 30) << "medecompose + mesubstitute, " << where;

    a = sys.a, x.assign(sys.b.begin(), sys.b.begin() + n), status = -1;
    factorsolve_entry(a.data(), n, m, x.data(), status);
    EXPECT_EQ(status, 0) << where;
    EXPECT_LT(wide_residual_ratio(sys.a, n, m, x, std::vector<T>(sys.b.begin(), sys.b.begin() + n), 1), 30)
        << "mefactorsolve, " << where;

    a = sys.a, x = sys.b;
    velqo::band_view<T> view(a, n, m);
    const velqo::result r = velqo::solve(view, x, nrhs);
    EXPECT_TRUE(r) << r.message << ", " << where;
    EXPECT_LT(wide_residual_ratio(sys.a, n, m, x, sys.b, nrhs), 30) << "checked solve, " << where;

    a = sys.a, x = sys.b;
    velqo::band_view<T> factored(a, n, m);
    const velqo::result f = velqo::factor(factored);
    EXPECT_TRUE(f) << f.message << ", " << where;
    if (f) {
      const velqo::result s = velqo::solve_factored(factored, x, nrhs);
      EXPECT_TRUE(s) << s.message << ", " << where;
      EXPECT_LT(wide_residual_ratio(sys.a, n, m, x, sys.b, nrhs), 30) << "checked factor, " << where;
    }
  }
  velqo::resettasks();
}

// The smallest systems, by hand: a = (2s, s), whose solution of a·x = a is 1, and
// a 2 × 2 one, at scales whose pivots' products left the range.
TYPED_TEST(Range, SmallSystemsNearUnderflowAndOverflow) {
  using T = TypeParam;
  using R = real_type<T>;
  const long double scales[2] = {std::is_same_v<R, float> ? 1e-36L : 1e-293L, std::is_same_v<R, float> ? 1e36L : 4e292L};
  for (long double s : scales) {
    const std::string what = "s = " + std::to_string(double(s));
    std::vector<T> one = {T(R(2 * s), R(s))}, x = one, w(1);
    int status = -1;
    solve_entry(one.data(), 1, 0, x.data(), 1, w.data(), status);
    EXPECT_EQ(status, 0) << what;
    EXPECT_LT(std::abs(wide(x[0]) - 1.0L), 4 * epsilon<T>()) << what << ": x = " << x[0];

    // a = s·[(4, 1) (1, 0.5); (1, 0.5) (3, 1)], x = (1, −i).
    scaled_system<T> two(2, 1, 1, 1);
    two.a = {T(R(4 * s), R(s)), T(R(s), R(s / 2)), T(R(3 * s), R(s))};
    two.b = {T(R(4 * s) + R(s / 2), R(s) - R(s)), T(R(s) + R(s), R(s / 2) - R(3 * s))};
    solve_with_every_entry(two, "2 × 2, " + what);
  }
}

template <class T> struct Scaled : ::testing::Test {};
TYPED_TEST_SUITE(Scaled, ElementTypes);

// A band matrix with the norm 0.25·safmin/(eps·base) and its reciprocal, the
// smallest and largest LAPACK scales its test matrices near underflow and
// overflow; the real types, which never needed scaling, check the test itself.
TYPED_TEST(Scaled, BandSystemsNearUnderflowAndOverflow) {
  using T = TypeParam;
  using R = real_type<T>;
  const long double small =
      0.25L * std::numeric_limits<R>::min() / (std::numeric_limits<R>::epsilon() / 2 * std::numeric_limits<R>::radix);
  for (long double norm : {small, 1 / small})
    for (auto [n, m] : {std::pair{120, 3}, std::pair{300, 9}})
      solve_with_every_entry(scaled_system<T>(n, m, 2, norm),
                             "n = " + std::to_string(n) + ", m = " + std::to_string(m) + ", ‖A‖ = " +
                                 std::to_string(double(norm)));
}

}  // namespace
