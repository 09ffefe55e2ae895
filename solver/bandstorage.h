// Band storage of a symmetric matrix with constant half bandwidth m.
//
// Only the lower triangle of the band is held, column by column: column j holds
// a(j, j), a(j + 1, j), …, a(j + m, j), m + 1 consecutive elements, so the
// entry in row k and column j (j ≤ k ≤ j + m) is element m·(j − 1) + k of the
// array counted from 1. The last column holds only a(n, n), so the array has
// n + (n − 1)·m elements. Positions of rows beyond n in the last m columns lie
// inside the array but hold no matrix entry.
//
// Right-hand sides and the solver's work arrays are dense column-major arrays:
// element (i, j) of an array with leading dimension ld is element (j − 1)·ld + i.
//
// The accessors take the 1-based indices of the formulas, so code reads like them.
#pragma once

#include <cstddef>

namespace velqo {

using index_t = std::ptrdiff_t;

/// Number of elements of the band array of an n × n matrix with half bandwidth m.
inline index_t band_length(int n, int m) {
  return n <= 0 ? 0 : index_t(n) + index_t(n - 1) * m;
}

/// a(k, j): row k, column j of the stored lower band, element m·(j − 1) + k.
template <class T> inline T& band(T* a, int m, int k, int j) {
  return a[index_t(m) * (j - 1) + (k - 1)];
}

/// x(i): element i of a vector, counted from 1.
template <class T> inline T& entry(T* x, index_t i) {
  return x[i - 1];
}

/// Element (i, j) of a column-major array with leading dimension ld.
template <class T> inline T& at(T* x, index_t ld, index_t i, index_t j) {
  return x[ld * (j - 1) + (i - 1)];
}

}  // namespace velqo
