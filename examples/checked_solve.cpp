// The checked interface: a small symmetric positive-definite band system solved
// with one task and with two, and one call with a bad argument.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "solver/band.h"

namespace {

constexpr int n = 1000, m = 3;

// A in band storage: 2m + 2 on the diagonal, −1 on the m sub-diagonals.
std::vector<double> matrix() {
  std::vector<double> a(velqo::band_length(n, m));
  for (int j = 1; j <= n; ++j) {
    velqo::band(a.data(), m, j, j) = 2 * m + 2;
    for (int k = j + 1; k <= std::min(n, j + m); ++k) velqo::band(a.data(), m, k, j) = -1;
  }
  return a;
}

// b = A·x for the solution x(i) = sin(i).
std::vector<double> right_hand_side(std::vector<double> a) {
  std::vector<double> b(n, 0.0);
  for (int j = 1; j <= n; ++j) {
    b[j - 1] += velqo::band(a.data(), m, j, j) * std::sin(j);
    for (int k = j + 1; k <= std::min(n, j + m); ++k) {
      b[k - 1] += velqo::band(a.data(), m, k, j) * std::sin(j);
      b[j - 1] += velqo::band(a.data(), m, k, j) * std::sin(k);
    }
  }
  return b;
}

double error(const std::vector<double>& x) {
  double e = 0;
  for (int i = 1; i <= n; ++i) e = std::max(e, std::abs(x[i - 1] - std::sin(i)));
  return e;
}

}  // namespace

int main() {
  int failed = 0;
  for (int tasks : {1, 2}) {
    velqo::settasks(tasks);
    std::vector<double> storage = matrix(), b = right_hand_side(storage);
    velqo::band_view<double> a(storage, n, m);
    if (velqo::result r = velqo::solve(a, b, 1); !r) {
      std::printf("solve failed: %s\n", r.message.c_str());
      return 1;
    }
    std::printf("%d task(s): max |x - x_true| = %.3g\n", tasks, error(b));
    failed |= !(error(b) < 1e-12);
  }

  // A right-hand side that is one element short: reported, nothing touched.
  std::vector<double> storage = matrix(), b(n - 1, 1.0);
  velqo::band_view<double> a(storage, n, m);
  const velqo::result r = velqo::solve(a, b, 1);
  std::printf("short b: %s\n", r.message.c_str());
  failed |= r.status != velqo::status::bad_argument;

  velqo::velqodone();
  return failed;
}
