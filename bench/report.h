// The benchmark run: one timed solve of the test system per task count, and the
// report it writes.
#pragma once

#include <cstdint>
#include <iosfwd>

namespace bench {

/// A solve routine with the signature of the library's single-precision entry.
using solveroutine = void (*)(float* a, const int& n, const int& m, float* b, const int& nrhs,
                              float* workspace, int& status);

/// Element counts reserved for the four arrays of a run.
struct storage {
  std::int64_t band;       ///< band matrix
  std::int64_t rhs;        ///< right-hand sides
  std::int64_t solution;   ///< reference solution
  std::int64_t workspace;  ///< solver workspace
};

/// Whether the problem n, m, nrhs needs more of any array than reserved holds.
bool storageoverflows(const int& n, const int& m, const int& nrhs, const storage& reserved);

/// Writes value right-aligned in width columns, or width asterisks when it needs
/// more columns.
void writeinteger(std::ostream& out, const int& value, const int& width);

/// Writes value rounded to 2 decimals right-aligned in 8 columns (a 0 before the
/// point below 1), or 8 asterisks when it needs more columns.
void writefixed(std::ostream& out, const float& value);

/// The benchmark: writes the header, then for every task count t = 1 … p rebuilds
/// the test system into a, b and x, solves it with t tasks and writes the four
/// times of the solve, and ends with a blank line. Writes only " Memory overflow"
/// when the problem does not fit the reserved storage.
void runbenchmark(std::ostream& out, const int& p, float* a, float* b, float* x, float* workspace,
                  const int& n, const int& m, const int& nrhs, const storage& reserved,
                  solveroutine solve);

}  // namespace bench
