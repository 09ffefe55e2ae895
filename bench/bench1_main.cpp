// The benchmark program: solves the built-in test system once for every task
// count from 1 to the number of processors and reports the times of each solve.
#include <algorithm>
#include <iostream>

#include "bench/report.h"
#include "mtask/mtask.h"
#include "solver/velqo.h"

namespace {

// The built-in problem: equations, half bandwidth, right-hand sides.
constexpr int equations = 2000000;
constexpr int halfbandwidth = 8;
constexpr int rhscount = 1;

// Storage reserved for the built-in problem.
constexpr bench::storage reserved = {
    .band = equations + std::int64_t(equations - 1) * halfbandwidth,
    .rhs = std::int64_t(equations) * rhscount,
    .solution = std::int64_t(equations) * rhscount,
    .workspace = std::int64_t(2) * equations * halfbandwidth,
};

float a[reserved.band];
float b[reserved.rhs];
float x[reserved.solution];
float workspace[reserved.workspace];

}  // namespace

int main() {
  int n = equations;
  int m = halfbandwidth;
  int nrhs = rhscount;
  int p = 0;
  mtask::getcpus(p);
  // Write every page of the static arrays once, before the first timed run, so
  // that the first run does not pay page faults that the later runs do not.
  std::fill_n(a, reserved.band, 0.0f);
  std::fill_n(b, reserved.rhs, 0.0f);
  std::fill_n(x, reserved.solution, 0.0f);
  std::fill_n(workspace, reserved.workspace, 0.0f);
  bench::runbenchmark(std::cout, p, a, b, x, workspace, n, m, nrhs, reserved, velqo::mesolution_csp_4);
  velqo::velqodone();
  return 0;
}
