// The library's unchecked entries: solve one system in parallel, then factor a
// matrix once and solve with its factor for several right-hand sides.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <vector>

#include "solver/velqo.h"

int main() {
  const int n = 1000, m = 2, nrhs = 3;

  // A in band storage, column by column: a(j, j) = 5, a(j + 1, j) = a(j + 2, j) = −1.
  std::vector<double> a(n + (n - 1) * m);
  for (int j = 0; j < n; ++j) {
    a[j * m + j] = 5;
    for (int k = 1; k <= m && j + k < n; ++k) a[j * m + j + k] = -1;
  }
  const std::vector<double> matrix = a;
  // Right-hand sides with the solution x = 1 in every column: b(i) = the row sum of A.
  std::vector<double> b(std::size_t(n) * nrhs);
  for (int k = 0; k < nrhs; ++k)
    for (int i = 0; i < n; ++i) b[k * n + i] = 5 - std::min(i, m) - std::min(n - 1 - i, m);
  const std::vector<double> rhs = b;

  // Factorise and solve in one call; the workspace holds 2·n·m elements.
  std::vector<double> workspace(2 * n * m);
  int status = 0;
  velqo::mesolution_csp_8(a.data(), n, m, b.data(), nrhs, workspace.data(), status);
  if (status != 0) return 1;
  double error = 0;
  for (double x : b) error = std::max(error, std::abs(x - 1));
  std::printf("mesolution_csp_8: max |x - 1| = %.3g\n", error);

  // Factor once, then solve as often as needed with the factor L left in a.
  a = matrix;
  velqo::medecompose_csp_8(a.data(), n, m, status);
  if (status != 0) return 1;
  for (int round = 0; round < 2; ++round) {
    b = rhs;
    velqo::mesubstitute_csp_8(a.data(), n, m, b.data(), nrhs);
    for (double x : b) error = std::max(error, std::abs(x - 1));
  }
  std::printf("medecompose_csp_8 + mesubstitute_csp_8: max |x - 1| = %.3g\n", error);

  velqo::velqodone();
  return error < 1e-12 ? 0 : 1;
}
