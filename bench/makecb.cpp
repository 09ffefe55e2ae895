// Forms the lower band of L·Lᵀ from a lower band L, in place.
#include <algorithm>

#include "bench/testsystem.h"
#include "solver/bandstorage.h"

namespace bench {
namespace {

using velqo::band;

// a(i, j) ← Σ_{q = lo … j} L(i, q)·L(j, q), lo = max(1, i − m), row i from the
// last to the first and within a row from the diagonal leftwards, so every L
// entry the sum reads is still unchanged.
template <class T> void makepositive(T* a, int n, int m) {
  for (int i = n; i >= 1; --i) {
    const int lo = std::max(1, i - m);
    for (int j = i; j >= lo; --j) {
      T s = band(a, m, j, j) * band(a, m, i, j);
      for (int q = lo; q <= j - 1; ++q) s += band(a, m, j, q) * band(a, m, i, q);
      band(a, m, i, j) = s;
    }
  }
}

}  // namespace

void makepositive_cb_4(float* a, const int& n, const int& m) { makepositive(a, n, m); }
void makepositive_cb_8(double* a, const int& n, const int& m) { makepositive(a, n, m); }

}  // namespace bench
