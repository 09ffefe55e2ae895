// Public operations of the band solver library.
//
// A symmetric positive-definite band matrix of order n with half bandwidth m is
// held in band storage (solver/bandstorage.h): column by column, the diagonal
// entry first, then the m entries below it, n + (n − 1)·m elements in all. The
// right-hand sides b are n × nrhs, column-major with leading dimension n.
//
// The four precisions carry the suffixes _4 (float), _8 (double), _z4
// (std::complex<float>) and _z8 (std::complex<double>). A complex matrix is
// either complex symmetric (A = Aᵀ, the _csp_ entries, never conjugated) or
// Hermitian (A = Aᴴ, the _hpd_ entries, at the end of this header). Every
// argument is passed by reference; arrays as a pointer to their first element.
//
// Floating-point mode. The entries compute with flush-to-zero set (x86-64:
// MXCSR.FTZ; AArch64: FPCR.FZ; other processors: plain IEEE arithmetic): a
// result that would be subnormal, below 2⁻¹²⁶ ≈ 1.2·10⁻³⁸ in single and
// 2⁻¹⁰²² ≈ 2.2·10⁻³⁰⁸ in double precision (each part of a complex value
// alone), becomes zero. Every task of a call runs in this mode, and so does the
// calling thread while it works its share; the caller's own mode is back before
// any entry returns, whatever the outcome, and exception flags raised meanwhile
// stay raised. Subnormal inputs are used as they are on x86-64 (DAZ stays as
// the caller set it); AArch64 reads them as zero. The spikes of a block decay
// through the subnormal range, where some processors take a slow path for every
// operation; flushed, they stop at zero instead. For data and solutions of
// ordinary size a flushed value lies far below the rounding error: the solution
// of the benchmark's system is the same bit for bit, and only block-factor
// entries left in a that would be subnormal read zero. A system whose true
// intermediates are themselves subnormal (data or solution near the underflow
// threshold) loses the digits gradual underflow would keep, and a pivot that
// would come out subnormal counts as zero (status 1); scale such a system by a
// power of two into the normal range first, which is exact. Results stay
// independent of the task count bit for bit, and the stand-alone factor stays
// that of the sequential factorisation (decompose_csp, decompose_hpd), which
// computes in the same mode.
//
// Range: the complex quotients, reciprocals and square roots scale their
// operands by powers of two where the plain formulas would leave the normal
// range, so a system is solved as accurately near the bottom or the top of the
// exponent range (LAPACK's test scales 0.25·safmin/(eps·base) and its
// reciprocal) as near 1, in all four precisions.
//
// Status: 0 says that every pivot passed its test; 1 that one did not, the
// matrix not being positive definite (a NaN pivot fails too, so a NaN in a
// normally gives 1). The entries do not look at the values otherwise: an
// infinity in a, a NaN or infinity in b, or a solution (or, for a complex
// symmetric matrix, a factor) beyond the range of the type can leave NaN or
// infinity in the result with status 0. The checked interface (solver/band.h)
// rejects such input and reports such results as not_finite.
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

namespace velqo {

// ------------------------------- stand-alone factorisation and substitution
//
// The factor these entries leave in a is the band factor L of A = L·Lᵀ in band
// storage, the same bit for bit whatever the task count: one medecompose_csp
// (or the sequential decompose_csp over rows 1 … n) serves any number of
// mesubstitute_csp calls. From m = 64 on the factorisation runs as a pipeline
// of tasks over blocks of 8 to 16 columns (two tasks, and one more for every 64
// columns of band beyond 128, at most the library's count); a narrower band, or
// a system of fewer than some millions of updates, is factorised in one task. The substitution
// solves each right-hand side in one task, by panels of a height that depends
// on the band and the grain size only, and shares the right-hand sides among
// the tasks; mefactorsolve_csp gives the x of medecompose_csp and
// mesubstitute_csp bit for bit.

/// Factorises a = L·Lᵀ in place in parallel. status ← 0 on success, 1 when a
/// pivot was not positive; a then holds L only for the columns before the
/// failing pivot's block.
void medecompose_csp_4(float* a, const int& n, const int& m, int& status);
void medecompose_csp_8(double* a, const int& n, const int& m, int& status);
void medecompose_csp_z4(complex4* a, const int& n, const int& m, int& status);
void medecompose_csp_z8(complex8* a, const int& n, const int& m, int& status);

/// Solves L·Lᵀ·x = b with the factor L held in a, for the nrhs right-hand sides
/// in b (n × nrhs, leading dimension n), which are overwritten by the solutions.
/// a is only read.
void mesubstitute_csp_4(const float* a, const int& n, const int& m, float* b, const int& nrhs);
void mesubstitute_csp_8(const double* a, const int& n, const int& m, double* b, const int& nrhs);
void mesubstitute_csp_z4(const complex4* a, const int& n, const int& m, complex4* b, const int& nrhs);
void mesubstitute_csp_z8(const complex8* a, const int& n, const int& m, complex8* b, const int& nrhs);

/// Factorises a = L·Lᵀ in place and solves a·x = b for one right-hand side in
/// one parallel pass; b (n elements) is overwritten by x. status ← 0 on success,
/// 1 when a pivot was not positive; a and b are then partial.
void mefactorsolve_csp_4(float* a, const int& n, const int& m, float* b, int& status);
void mefactorsolve_csp_8(double* a, const int& n, const int& m, double* b, int& status);
void mefactorsolve_csp_z4(complex4* a, const int& n, const int& m, complex4* b, int& status);
void mefactorsolve_csp_z8(complex8* a, const int& n, const int& m, complex8* b, int& status);

}  // namespace velqo

namespace velqo {

// ------------------------------------------- Hermitian positive-definite band
//
// The same entries for a Hermitian matrix, A = Aᴴ: the band storage holds its
// lower triangle, the upper triangle is the conjugate transpose, and the
// imaginary parts of the stored diagonal are ignored. The factor is L of
// A = L·Lᴴ with a real positive diagonal (stored with zero imaginary parts). A
// pivot d = a(j, j) − Σ |L(j, k)|² that is not greater than 0 (or NaN) fails:
// status ← 1. Arguments, work arrays, task counts and the partial results after
// a failure are those of the _csp_ entries above, and the results likewise do
// not depend on the task count.

void mesolution_hpd_z4(complex4* a, const int& n, const int& m, complex4* b, const int& nrhs,
                       complex4* workspace, int& status);
void mesolution_hpd_z8(complex8* a, const int& n, const int& m, complex8* b, const int& nrhs,
                       complex8* workspace, int& status);

void medecompose_hpd_z4(complex4* a, const int& n, const int& m, int& status);
void medecompose_hpd_z8(complex8* a, const int& n, const int& m, int& status);

void mesubstitute_hpd_z4(const complex4* a, const int& n, const int& m, complex4* b, const int& nrhs);
void mesubstitute_hpd_z8(const complex8* a, const int& n, const int& m, complex8* b, const int& nrhs);

void mefactorsolve_hpd_z4(complex4* a, const int& n, const int& m, complex4* b, int& status);
void mefactorsolve_hpd_z8(complex8* a, const int& n, const int& m, complex8* b, int& status);

}  // namespace velqo
