// Sequential band block factorisation in the four precisions.
#include <algorithm>

#include "solver/flags.h"
#include "solver/kernel.h"

namespace velqo {

template <class T>
void decompose_csp(T* a, const int& m, const int& first, const int& last,
                   const real_type<T>& eps, int* info, const int& parity) {
  for (int i = first; i <= last; ++i) {
    // Column i receives the updates of the block's earlier columns j:
    // a(k, i) ← a(k, i) − a(i, j)·a(k, j) for the rows k = i … min(last, j + m).
    for (int j = std::max(i - m, first); j <= i - 1; ++j) {
      const T aij = band(a, m, i, j);
      const int kend = std::min(last, j + m);
      for (int k = i; k <= kend; ++k) band(a, m, k, i) = mul_sub(band(a, m, k, i), aij, band(a, m, k, j));
    }
    // The pivot must be strictly greater than eps; a NaN fails every comparison.
    T& pivot = band(a, m, i, i);
    if (!(pivot_size(pivot) > eps)) {
      raise_flag(info, parity);
      return;
    }
    pivot = square_root(pivot);
    // L(k, i) = a(k, i) / L(i, i).
    const int kend = std::min(i + m, last);
    for (int k = i + 1; k <= kend; ++k) band(a, m, k, i) = divide(band(a, m, k, i), pivot);
  }
}

#define VELQO_INSTANTIATE(T)                                                                  \
  template void decompose_csp<T>(T*, const int&, const int&, const int&, const real_type<T>&, \
                                 int*, const int&);
VELQO_INSTANTIATE(float)
VELQO_INSTANTIATE(double)
VELQO_INSTANTIATE(complex4)
VELQO_INSTANTIATE(complex8)
#undef VELQO_INSTANTIATE

void decompose_csp_4(float* a, const int& m, const int& first, const int& last, const float& eps,
                     int* info, const int& parity) {
  decompose_csp(a, m, first, last, eps, info, parity);
}
void decompose_csp_8(double* a, const int& m, const int& first, const int& last, const double& eps,
                     int* info, const int& parity) {
  decompose_csp(a, m, first, last, eps, info, parity);
}
void decompose_csp_z4(complex4* a, const int& m, const int& first, const int& last,
                      const float& eps, int* info, const int& parity) {
  decompose_csp(a, m, first, last, eps, info, parity);
}
void decompose_csp_z8(complex8* a, const int& m, const int& first, const int& last,
                      const double& eps, int* info, const int& parity) {
  decompose_csp(a, m, first, last, eps, info, parity);
}

}  // namespace velqo
