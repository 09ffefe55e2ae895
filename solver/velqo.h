// Public operations of the band solver library.
//
// A symmetric positive-definite band matrix of order n with half bandwidth m is
// held in band storage (solver/bandstorage.h): column by column, the diagonal
// entry first, then the m entries below it, n + (n − 1)·m elements in all. The
// right-hand sides b are n × nrhs, column-major with leading dimension n.
//
// The four precisions carry the suffixes _4 (float), _8 (double), _z4
// (std::complex<float>) and _z8 (std::complex<double>); complex matrices are
// complex symmetric, never conjugated. Every argument is passed by reference;
// arrays as a pointer to their first element.
#pragma once

#include "solver/scalar.h"

namespace velqo {

// ----------------------------------------------------------- task count

/// count ← the number of tasks the next solve will use (the processor count
/// unless settasks chose another).
void gettasks(int& count);
/// Sets the task count to min(count, 32, processor count).
void settasks(const int& count);
/// Sets the task count back to the processor count (no cap).
void resettasks();
/// Shuts the library down (and the runtime under it); called once, at the end.
void velqodone();

// ------------------------------------------------------------ solve entries

/// Solves a·x = b in parallel by block cyclic reduction: factorises a in place
/// and overwrites the nrhs right-hand sides in b with the solutions. workspace
/// holds at least 2·n·m elements. status ← 0 on success, 1 when a pivot was not
/// positive (the matrix is not positive definite); a and b are then partial.
void mesolution_csp_4(float* a, const int& n, const int& m, float* b, const int& nrhs,
                      float* workspace, int& status);
void mesolution_csp_8(double* a, const int& n, const int& m, double* b, const int& nrhs,
                      double* workspace, int& status);
void mesolution_csp_z4(complex4* a, const int& n, const int& m, complex4* b, const int& nrhs,
                       complex4* workspace, int& status);
void mesolution_csp_z8(complex8* a, const int& n, const int& m, complex8* b, const int& nrhs,
                       complex8* workspace, int& status);

}  // namespace velqo
