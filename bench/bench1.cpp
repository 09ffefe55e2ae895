// The benchmark's test-system generation and the benchmark run.
#include <algorithm>
#include <cstdio>
#include <ostream>

#include "bench/report.h"
#include "bench/testsystem.h"
#include "mtask/mtask.h"
#include "solver/bandstorage.h"
#include "solver/velqo.h"

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

// ------------------------------------------------------------ benchmark run

bool storageoverflows(const int& n, const int& m, const int& nrhs, const storage& reserved) {
  const std::int64_t n64 = n;
  const std::int64_t m64 = m;
  const std::int64_t nrhs64 = nrhs;
  return n64 + (n64 - 1) * m64 > reserved.band || n64 * nrhs64 > reserved.rhs ||
         n64 * nrhs64 > reserved.solution || 2 * n64 * m64 > reserved.workspace;
}

namespace {

/// Writes text right-aligned in width columns, or width asterisks when longer.
void writefield(std::ostream& out, const char* text, const int& length, const int& width) {
  if (length < 0 || length > width) {
    for (int k = 0; k < width; ++k) out << '*';
  } else {
    for (int k = length; k < width; ++k) out << ' ';
    out << text;
  }
}

void writetimeline(std::ostream& out, const char* label, const float& seconds) {
  out << label;
  writefixed(out, seconds);
  out << '\n';
}

}  // namespace

void writeinteger(std::ostream& out, const int& value, const int& width) {
  char text[16];
  const int length = std::snprintf(text, sizeof text, "%d", value);
  writefield(out, text, length, width);
}

void writefixed(std::ostream& out, const float& value) {
  char text[64];
  const int length = std::snprintf(text, sizeof text, "%.2f", double(value));
  writefield(out, text, length, 8);
}

void runbenchmark(std::ostream& out, const int& p, float* a, float* b, float* x, float* workspace,
                  const int& n, const int& m, const int& nrhs, const storage& reserved,
                  solveroutine solve) {
  if (storageoverflows(n, m, nrhs, reserved)) {
    out << " Memory overflow\n";
    return;
  }

  out << " Number of equations:  ";
  writeinteger(out, n, 11);
  out << "\n Half bandwidth:  ";
  writeinteger(out, m, 11);
  out << '\n';

  int status = 0;
  float elapsed = 0;
  float user = 0;
  float kernel = 0;
  float total = 0;
  for (int t = 1; t <= p; ++t) {
    out << " \n" << (t == 1 ? " Processor: " : " Processors: ");
    writeinteger(out, t, 2);
    out << '\n';

    velqo::settasks(t);
    generatedata(a, b, x, n, m, nrhs);

    // The timed interval holds the solve alone.
    mtask::collectusertimes();
    solve(a, n, m, b, nrhs, workspace, status);
    mtask::getusertimes(elapsed, user, kernel, total);

    writetimeline(out, " Elapsed Time (Seconds): ", elapsed);
    writetimeline(out, " CPU Time in User Mode (Seconds): ", user);
    writetimeline(out, " CPU Time in Kernel Mode (Seconds): ", kernel);
    writetimeline(out, " Total CPU Time (Seconds): ", total);
    out.flush();
  }
  out << " \n";
  out.flush();
}

}  // namespace bench
