// The band solve over the ranks of an MPI communicator.
//
// Each rank holds a contiguous range of rows of one band system: rank r the
// rows first_r … first_r + rows_r − 1, the ranges ascending with the rank and
// covering 1 … n without gaps (a rank may hold none). Its part of the band
// matrix is the band columns of its rows in the library's band storage
// (solver/bandstorage.h), (m + 1) × rows elements with the columns m + 1 apart
// (the rank holding row n may leave out the m positions after a(n, n)), and
// its part of the right-hand sides is their rows, rows × nrhs, column-major
// with leading dimension rows.
//
// The solve runs the block cyclic reduction of the shared-memory entries
// (mesolution_csp_*, mesolution_hpd_*) with the same block length, the same
// stages and the same block steps: every block is worked by the rank that
// holds its first row, with the tasks of that rank, and a step whose partner
// block lies on another rank gets the partner's rows (spike rows, couplings,
// right-hand-side rows) in a message between the stages. The solution, and the
// block factors left in each rank's band columns, are bit for bit those of the
// shared-memory solve of the whole system, for any number of ranks and of tasks
// per rank.
//
// Memory: a rank reserves address space for whole-system work arrays, but
// touches only the rows of its own blocks and of the partner rows it receives:
// about (3·m + 1 + nrhs) · (its rows) elements, plus a few blocks.
#pragma once

#include <mpi.h>

#include <cstddef>
#include <memory>

#include "solver/scalar.h"

namespace velqo::mpi {

/// One band system distributed over the ranks of a communicator, with the
/// working storage of its solves. Constructing it is collective: every rank of
/// comm passes the same n, m and nrhs and its own first row and row count. It
/// throws std::invalid_argument on every rank when the ranges do not cover
/// 1 … n in rank order or n, m or nrhs is negative. The communicator must stay
/// valid while the object lives. MPI must be initialised; a rank that runs more
/// than one task needs MPI_THREAD_FUNNELED (only the calling thread calls MPI).
template <class T, form F = form::symmetric>
class band_system {
 public:
  band_system(MPI_Comm comm, const int& n, const int& m, const int& nrhs, const int& first, const int& rows);
  ~band_system();
  band_system(const band_system&) = delete;
  band_system& operator=(const band_system&) = delete;

  /// Solves a·x = b, collectively: a this rank's band columns, b its rows of
  /// the right-hand sides, x overwriting b; the factor is left in a as the
  /// shared-memory solve leaves it. status ← 0, or 1 on every rank when a pivot
  /// failed anywhere (the matrix is not positive definite; b is then partly
  /// transformed), with row ← the failing row that mesolution reports (0 when
  /// none). The tasks per rank are the library's task count (settasks). Nothing
  /// is allocated here beyond what MPI itself allocates.
  void solve(T* a, T* b, int& status, int& row);

  /// The same solve on the rows held in the system's own storage, which saves
  /// the copies in and out: a caller that builds its band columns at
  /// band_columns() (columns m + 1 apart) and its right-hand sides at rhs_rows()
  /// (column k at rhs_rows() + (k − 1)·rhs_stride()) finds x and the factor
  /// there afterwards.
  void solve(int& status, int& row);
  T* band_columns();
  T* rhs_rows();
  std::ptrdiff_t rhs_stride() const;

  /// This rank's rows, and the block length of the reduction.
  int first() const;
  int rows() const;
  int blocksize() const;

 private:
  struct state;
  std::unique_ptr<state> s_;
};

extern template class band_system<float, form::symmetric>;
extern template class band_system<double, form::symmetric>;
extern template class band_system<complex4, form::symmetric>;
extern template class band_system<complex8, form::symmetric>;
extern template class band_system<complex4, form::hermitian>;
extern template class band_system<complex8, form::hermitian>;

/// The named entries: one solve with storage of its own, as band_system does.
void mesolution_csp_4(MPI_Comm comm, float* a, const int& n, const int& m, const int& first, const int& rows,
                      float* b, const int& nrhs, int& status);
void mesolution_csp_8(MPI_Comm comm, double* a, const int& n, const int& m, const int& first, const int& rows,
                      double* b, const int& nrhs, int& status);
void mesolution_csp_z4(MPI_Comm comm, complex4* a, const int& n, const int& m, const int& first, const int& rows,
                       complex4* b, const int& nrhs, int& status);
void mesolution_csp_z8(MPI_Comm comm, complex8* a, const int& n, const int& m, const int& first, const int& rows,
                       complex8* b, const int& nrhs, int& status);
void mesolution_hpd_z4(MPI_Comm comm, complex4* a, const int& n, const int& m, const int& first, const int& rows,
                       complex4* b, const int& nrhs, int& status);
void mesolution_hpd_z8(MPI_Comm comm, complex8* a, const int& n, const int& m, const int& first, const int& rows,
                       complex8* b, const int& nrhs, int& status);

}  // namespace velqo::mpi
