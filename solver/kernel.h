// The library's internal kernel group: the sequential block factorisation, the
// per-task parallel kernels and the numerical block steps. Exposed for the tests
// and for callers who drive the kernels through the runtime themselves.
//
// Each routine is written once as a template over the element type T (float,
// double, complex4, complex8); the named variants _4, _8, _z4, _z8 are thin
// wrappers. real_type<T> is the type of the pivot threshold eps.
#pragma once

#include "solver/bandstorage.h"
#include "solver/scalar.h"

namespace velqo {

// ------------------------------------------------- band block factorisation

/// Factorises the diagonal block first … last of the band matrix a in place as
/// L·Lᵀ (left-looking, column by column), using only the block's own columns.
/// A pivot not strictly greater than eps (its modulus, for complex types; NaN
/// always fails) sets info(parity) ← 1 and stops: the earlier columns are then
/// finished, the failing column is updated but not scaled, the later ones are
/// untouched. A successful call never clears info.
template <class T>
void decompose_csp(T* a, const int& m, const int& first, const int& last,
                   const real_type<T>& eps, int* info, const int& parity);

void decompose_csp_4(float* a, const int& m, const int& first, const int& last,
                     const float& eps, int* info, const int& parity);
void decompose_csp_8(double* a, const int& m, const int& first, const int& last,
                     const double& eps, int* info, const int& parity);
void decompose_csp_z4(complex4* a, const int& m, const int& first, const int& last,
                      const float& eps, int* info, const int& parity);
void decompose_csp_z8(complex8* a, const int& m, const int& first, const int& last,
                      const double& eps, int* info, const int& parity);

}  // namespace velqo
