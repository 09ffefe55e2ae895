// One part of the benchmark's test system, for a process that holds a range of
// its rows.
//
// generatedata builds the whole system from one sequential stream, but nothing
// in it needs the whole system: the factor L it starts from is a fixed pattern
// of the storage position, row i of L·Lᵀ reads the rows i − m … i of L, b(i)
// reads the rows i − m … i + m of the matrix and of x, and the generator reaches
// any draw in constant time. So the rows first … last are built from the local
// band of rows lo = max(1, first − m) … hi = min(n, last + m), with the same
// statements in the same order as generatedata, which makes every value the same
// bit for bit. Rows lo … first − 1 of the local product come out wrong (their
// sums lack the terms before lo) and are never read.
#include <algorithm>
#include <cstdint>
#include <vector>

#include "bench/testsystem.h"
#include "solver/bandstorage.h"

namespace bench {

using velqo::at;
using velqo::band;
using velqo::index_t;

void generaterows(float* a, float* b, float* x, const int& n, const int& m, const int& nrhs, const int& first,
                  const int& rows) {
  if (rows <= 0) return;
  const int last = first + rows - 1;
  const int lo = std::max(1, first - m);
  const int hi = std::min(n, last + m);
  const int count = hi - lo + 1;

  // The local band, whole columns m + 1 apart (the last m positions of the
  // last column lie beyond row hi and only keep the pattern going).
  std::vector<float> l(index_t(m + 1) * count);
  const index_t offset = index_t(m + 1) * (lo - 1);
  const index_t period = std::max(m, 1);
  for (index_t k = 0; k < index_t(l.size()); ++k) l[k] = static_cast<float>((offset + k) % period + 1);
  makepositive_cb_4(l.data(), count, m);
  auto entry = [&](int i, int j) -> float& { return band(l.data(), m, i - lo + 1, j - lo + 1); };
  for (int i = first; i <= hi; ++i) entry(i, i) = 10.0f * entry(i, i);

  // x(i, k) is draw (k − 1)·n + i − 1 of the stream.
  std::vector<float> xl(index_t(count) * nrhs);
  for (int k = 1; k <= nrhs; ++k) {
    ini_random();
    random_skip(std::int64_t(k - 1) * n + (lo - 1));
    for (int i = 1; i <= count; ++i) at(xl.data(), count, i, k) = uniform_random();
  }
  auto xg = [&](int i, int k) { return at(xl.data(), count, i - lo + 1, k); };

  for (int k = nrhs; k >= 1; --k) {
    for (int i = first; i <= last; ++i) {
      float s = entry(i, i) * xg(i, k);
      for (int t = std::max(1, i - m); t <= i - 1; ++t) s += entry(i, t) * xg(t, k);
      float& bi = at(b, rows, i - first + 1, k);
      bi = s;
      const int tend = std::min(n, i + m);
      for (int t = i + 1; t <= tend; ++t) bi += entry(t, i) * xg(t, k);
    }
  }

  std::copy_n(l.data() + index_t(m + 1) * (first - lo), index_t(m + 1) * rows, a);
  for (int k = 1; k <= nrhs; ++k)
    for (int i = first; i <= last; ++i) at(x, rows, i - first + 1, k) = xg(i, k);
}

}  // namespace bench
