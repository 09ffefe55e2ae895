// The benchmark's test-system generation.
#include <algorithm>

#include "bench/testsystem.h"
#include "solver/bandstorage.h"

namespace bench {

using velqo::at;
using velqo::band;
using velqo::band_length;
using velqo::index_t;

void generatedata(float* a, float* b, float* x, const int& n, const int& m, const int& nrhs) {
  ini_random();

  // Lower band L: the elements in storage order receive 1, 2, …, m, 1, 2, …
  // (all 1 when m = 0), so every diagonal entry is at least 1.
  const index_t length = band_length(n, m);
  int counter = 0;
  for (index_t k = 0; k < length; ++k) {
    counter = counter + 1 > std::max(m, 1) ? 1 : counter + 1;
    a[k] = static_cast<float>(counter);
  }

  // a ← L·Lᵀ, then a(i, i) ← 10·a(i, i): positive definite with a strong diagonal.
  makepositive_cb_4(a, n, m);
  for (int i = 1; i <= n; ++i) band(a, m, i, i) = 10.0f * band(a, m, i, i);

  // The reference solution: the only random draws, column by column.
  for (int k = 1; k <= nrhs; ++k)
    for (int i = 1; i <= n; ++i) at(x, n, i, k) = uniform_random();

  // b = a·x, row i from the lower part a(i, t), t < i, and the upper part read
  // from column i by symmetry.
  for (int k = nrhs; k >= 1; --k) {
    for (int i = 1; i <= n; ++i) {
      float s = band(a, m, i, i) * at(x, n, i, k);
      for (int t = std::max(1, i - m); t <= i - 1; ++t) s += band(a, m, i, t) * at(x, n, t, k);
      at(b, n, i, k) = s;
      const int tend = std::min(n, i + m);
      for (int t = i + 1; t <= tend; ++t) at(b, n, i, k) += band(a, m, t, i) * at(x, n, t, k);
    }
  }
}

}  // namespace bench
