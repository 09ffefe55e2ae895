// Solves a small band system through the installed headers and libraries.
#include <cmath>
#include <cstdio>
#include <vector>

#include "solver/band.h"

int main() {
  // The tridiagonal matrix with 4 on the diagonal and 1 beside it; b = A·x for x = 1.
  const int n = 6, m = 1;
  std::vector<double> storage(velqo::band_length(n, m)), b(n, 6.0);
  for (int j = 1; j <= n; ++j) {
    velqo::band(storage.data(), m, j, j) = 4;
    if (j < n) velqo::band(storage.data(), m, j + 1, j) = 1;
  }
  b.front() = b.back() = 5;

  velqo::band_view<double> a(storage, n, m);
  if (velqo::result r = velqo::factor(a); !r) return std::puts(r.message.c_str()), 1;
  if (velqo::result r = velqo::solve_factored(a, b, 1); !r) return std::puts(r.message.c_str()), 1;
  velqo::velqodone();
  for (double x : b)
    if (std::abs(x - 1) > 1e-14) return std::puts("wrong solution"), 1;
  return 0;
}
