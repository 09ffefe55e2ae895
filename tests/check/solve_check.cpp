// The library's promises checked with nothing but the library: every precision
// solves random band systems to a residual bound, with bitwise the same result
// for 1 … 4 tasks; the narrow- and medium-band steps give the generic steps'
// bits, and the complex block kernels their plain loops' bits; and the
// stand-alone factor is the sequential decompose_csp's, bit for bit. Small
// enough to run under an instruction-set emulator. Exits non-zero on a failure.
#include <algorithm>
#include <complex>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <vector>

#include "solver/kernel.h"
#include "solver/narrowband.h"
#include "solver/testing.h"
#include "solver/velqo.h"
#include "tests/solver/solve_entry.h"

namespace {

using velqo::complex4;
using velqo::complex8;
using velqo::real_type;

int failures = 0;

void expect(bool ok, const char* type, const char* what, int n, int m, int tasks) {
  if (ok) return;
  ++failures;
  std::printf("FAILED %s n=%d m=%d tasks=%d: %s\n", type, n, m, tasks, what);
}

using testing_support::decompose_entry;
using testing_support::solve_entry;

template <class T> bool same_bits(const std::vector<T>& x, const std::vector<T>& y) {
  return x.size() == y.size() && std::memcmp(x.data(), y.data(), x.size() * sizeof(T)) == 0;
}

/// Uniform in [−1, 1), the same sequence on every platform.
struct random_values {
  std::uint64_t state;
  double next() {
    state = state * 6364136223846793005u + 1442695040888963407u;
    return double(state >> 11) / double(std::uint64_t(1) << 52) - 1;
  }
  template <class T> T value() {
    if constexpr (velqo::is_complex<T>) {
      const double re = next();
      return T(real_type<T>(re), real_type<T>(next()));
    } else {
      return T(next());
    }
  }
};

/// A random complex symmetric (or real symmetric) band matrix with a dominant
/// real diagonal, in band storage.
template <class T> std::vector<T> random_band(int n, int m, std::uint64_t seed) {
  random_values r{seed};
  std::vector<T> a(std::size_t(n) * (m + 1), T(0));
  for (int j = 0; j < n; ++j) {
    a[std::size_t(j) * m + j] = T(real_type<T>(2 * m + 2 + r.next()));
    for (int k = 1; k <= m && j + k < n; ++k) a[std::size_t(j) * m + j + k] = r.value<T>();
  }
  return a;
}

/// ‖b − A·x‖∞ / ((‖A‖∞·‖x‖∞ + ‖b‖∞)·eps), computed in double precision.
template <class T>
double backward_error(const std::vector<T>& a, int n, int m, const std::vector<T>& x, const std::vector<T>& b,
                      int nrhs) {
  using C = std::complex<double>;
  double worst = 0, norm_a = 0, norm_x = 0, norm_b = 0;
  for (int j = 0; j < n; ++j) {
    double row = 0;  // the row sum of |A| by symmetry: column j and row j of the lower part
    for (int k = std::max(0, j - m); k <= std::min(n - 1, j + m); ++k)
      row += std::abs(C(k <= j ? a[std::size_t(k) * m + j] : a[std::size_t(j) * m + k]));
    norm_a = std::max(norm_a, row);
  }
  for (int s = 0; s < nrhs; ++s) {
    const T* xs = x.data() + std::size_t(s) * n;
    const T* bs = b.data() + std::size_t(s) * n;
    for (int i = 0; i < n; ++i) {
      C r = C(bs[i]);
      for (int k = std::max(0, i - m); k <= std::min(n - 1, i + m); ++k)
        r -= C(k <= i ? a[std::size_t(k) * m + i] : a[std::size_t(i) * m + k]) * C(xs[k]);
      worst = std::max(worst, std::abs(r));
      norm_x = std::max(norm_x, std::abs(C(xs[i])));
      norm_b = std::max(norm_b, std::abs(C(bs[i])));
    }
  }
  return worst / ((norm_a * norm_x + norm_b) * double(std::numeric_limits<real_type<T>>::epsilon()));
}

template <class T> void check(const char* type, int n, int m, int nrhs) {
  const std::vector<T> a = random_band<T>(n, m, 17u + std::uint64_t(m));
  random_values r{99u};
  std::vector<T> b(std::size_t(n) * nrhs);
  for (T& v : b) v = r.value<T>();

  // The solve entry with 1 … 4 tasks.
  std::vector<T> first;
  for (int tasks = 1; tasks <= 4; ++tasks) {
    velqo::settasks(tasks);
    std::vector<T> f = a, x = b, w(std::max<std::size_t>(1, 2 * std::size_t(n) * m));
    int status = -1;
    solve_entry(f.data(), n, m, x.data(), nrhs, w.data(), status);
    expect(status == 0, type, "the solve reports a failure", n, m, tasks);
    if (tasks == 1) {
      const double e = backward_error(a, n, m, x, b, nrhs);
      expect(e <= 4.0 * (m + 1), type, "the residual exceeds its bound", n, m, tasks);
      first = x;
    } else {
      expect(same_bits(x, first), type, "the solution depends on the task count", n, m, tasks);
    }
    if (tasks == 4 && (velqo::use_narrow_steps<T>(m) || velqo::use_medium_steps<T>(m))) {
      velqo::testing::force_generic_steps(true);
      f = a;
      std::vector<T> g = b;
      solve_entry(f.data(), n, m, g.data(), nrhs, w.data(), status);
      velqo::testing::force_generic_steps(false);
      expect(same_bits(g, first), type, "the narrow- or medium-band steps differ from the generic ones", n, m,
             tasks);
    }
    if (tasks == 4 && velqo::is_complex<T>) {
      velqo::testing::force_plain_products(true);
      f = a;
      std::vector<T> g = b;
      solve_entry(f.data(), n, m, g.data(), nrhs, w.data(), status);
      velqo::testing::force_plain_products(false);
      expect(same_bits(g, first), type, "the block kernels differ from the plain loops", n, m, tasks);
    }
  }

  // The stand-alone factorisation against the sequential one.
  std::vector<T> sequential = a;
  int info[2] = {0, 0};
  velqo::decompose_csp<T>(sequential.data(), m, 1, n, real_type<T>(0), info, 1);
  for (int tasks = 1; tasks <= 4; ++tasks) {
    velqo::settasks(tasks);
    std::vector<T> f = a;
    int status = -1;
    decompose_entry(f.data(), n, m, status);
    expect(status == 0 && same_bits(f, sequential), type, "the stand-alone factor is not the sequential one", n,
           m, tasks);
  }
}

template <class T> void check_all(const char* type) {
  check<T>(type, 20000, 8, 2);  // the benchmark's band: narrow-band steps for the real types
  check<T>(type, 3001, 3, 1);
  check<T>(type, 2500, 11, 3);  // medium-band steps for the real types, generic ones for the complex
  check<T>(type, 1200, 17, 2);  // every complex product in its block kernel
  check<T>(type, 1500, 21, 1);
  std::printf("%s: solved and checked\n", type);
}

}  // namespace

int main() {
  // Four tasks whatever the machine has.
  velqo::testing::override_processor_count(4);
  check_all<float>("float");
  check_all<double>("double");
  check_all<complex4>("complex<float>");
  check_all<complex8>("complex<double>");
  velqo::velqodone();
  if (failures != 0) std::printf("%d checks failed\n", failures);
  return failures == 0 ? 0 : 1;
}
