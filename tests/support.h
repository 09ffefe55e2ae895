// Shared helpers of the test suites: random band systems, tolerances scaled by
// the precision's epsilon, residuals and typed-test lists over the four element
// types.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

#include "solver/bandstorage.h"
#include "solver/scalar.h"

namespace testing_support {

using velqo::band;
using velqo::band_length;
using velqo::complex4;
using velqo::complex8;
using velqo::real_type;

using ElementTypes = ::testing::Types<float, double, complex4, complex8>;
using RealTypes = ::testing::Types<float, double>;

/// Whether x and y hold the same elements, bit for bit (NaNs included).
template <class T> bool same_bits(const std::vector<T>& x, const std::vector<T>& y) {
  return x.size() == y.size() && (x.empty() || std::memcmp(x.data(), y.data(), x.size() * sizeof(T)) == 0);
}

template <class T> constexpr real_type<T> epsilon() { return std::numeric_limits<real_type<T>>::epsilon(); }

/// Tolerance factor of the Ginkgo habit: 10·eps, times √2 for complex types.
template <class T> real_type<T> tolerance() {
  return real_type<T>(10) * epsilon<T>() * (velqo::is_complex<T> ? real_type<T>(std::sqrt(2.0)) : 1);
}

template <class T> real_type<T> magnitude(const T& x) { return std::abs(x); }

/// A random value; complex types get a random imaginary part too.
template <class T> T random_value(std::mt19937& rng, double lo, double hi) {
  std::uniform_real_distribution<double> d(lo, hi);
  if constexpr (velqo::is_complex<T>) {
    return T(real_type<T>(d(rng)), real_type<T>(d(rng)));
  } else {
    return T(d(rng));
  }
}

/// A random symmetric band matrix made positive definite (for complex types:
/// complex symmetric with a dominant real diagonal, so that its factorisation
/// needs no pivoting) by strict diagonal dominance.
template <class T> std::vector<T> random_spd_band(int n, int m, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<T> a(static_cast<std::size_t>(band_length(n, m)), T(0));
  for (int j = 1; j <= n; ++j)
    for (int k = j + 1; k <= std::min(n, j + m); ++k) band(a.data(), m, k, j) = random_value<T>(rng, -1, 1);
  for (int j = 1; j <= n; ++j) band(a.data(), m, j, j) = T(real_type<T>(2 * m + 1 + std::uniform_real_distribution<double>(0, 1)(rng)));
  return a;
}

/// A random Hermitian band matrix made positive definite by strict diagonal
/// dominance; the stored diagonal gets imaginary parts too, which a Hermitian
/// factorisation must ignore.
template <class T> std::vector<T> random_hpd_band(int n, int m, std::uint32_t seed) {
  std::vector<T> a = random_spd_band<T>(n, m, seed);
  std::mt19937 rng(seed + 1);
  std::uniform_real_distribution<double> d(-1, 1);
  for (int j = 1; j <= n; ++j) band(a.data(), m, j, j) += T(0, real_type<T>(d(rng)));
  return a;
}

/// Random n × nrhs right-hand sides.
template <class T> std::vector<T> random_rhs(int n, int nrhs, std::uint32_t seed) {
  std::mt19937 rng(seed);
  std::vector<T> b(static_cast<std::size_t>(n) * std::max(nrhs, 0));
  for (auto& v : b) v = random_value<T>(rng, -1, 1);
  return b;
}

/// y = A·x for a symmetric band matrix in band storage (no conjugation), in the
/// precision of T; a Hermitian one (hermitian: the upper triangle conjugated,
/// the imaginary parts of the diagonal ignored).
template <class T>
std::vector<T> band_multiply(const std::vector<T>& a, int n, int m, const std::vector<T>& x, int nrhs,
                             bool hermitian = false) {
  std::vector<T> y(static_cast<std::size_t>(n) * std::max(nrhs, 0), T(0));
  const T* ap = a.data();
  for (int s = 0; s < nrhs; ++s)
    for (int j = 1; j <= n; ++j) {
      const T xj = x[s * std::size_t(n) + j - 1];
      y[s * std::size_t(n) + j - 1] += (hermitian ? T(std::real(band(ap, m, j, j))) : band(ap, m, j, j)) * xj;
      for (int k = j + 1; k <= std::min(n, j + m); ++k) {
        const T akj = band(ap, m, k, j);
        y[s * std::size_t(n) + k - 1] += akj * xj;
        const T upper = hermitian ? velqo::adjoint<velqo::form::hermitian>(akj) : akj;
        y[s * std::size_t(n) + j - 1] += upper * x[s * std::size_t(n) + k - 1];
      }
    }
  return y;
}

/// Largest entry magnitude of the matrix stored in band form (a bound on ‖A‖ up
/// to the factor 2m + 1).
template <class T> double band_max(const std::vector<T>& a) {
  double r = 0;
  for (const T& v : a) r = std::max(r, double(magnitude(v)));
  return r;
}

template <class T> double max_abs(const std::vector<T>& x) {
  double r = 0;
  for (const T& v : x) r = std::max(r, double(magnitude(v)));
  return r;
}

/// Scaled residual ‖b − A·x‖∞ / (‖A‖∞·‖x‖∞·n·eps), LAPACK's test ratio; a correct
/// solve gives a value of order 1 (LAPACK's threshold is 30).
template <class T> double residual_ratio(const std::vector<T>& a, int n, int m, const std::vector<T>& x,
                                         const std::vector<T>& b, int nrhs, bool hermitian = false) {
  const std::vector<T> ax = band_multiply(a, n, m, x, nrhs, hermitian);
  double r = 0;
  for (std::size_t i = 0; i < ax.size(); ++i) r = std::max(r, double(magnitude(T(b[i] - ax[i]))));
  const double norm_a = band_max(a) * (2 * m + 1);
  const double denom = norm_a * std::max(max_abs(x), 1e-300) * std::max(n, 1) * double(epsilon<T>());
  return denom > 0 ? r / denom : r;
}

}  // namespace testing_support
