// The solve entries as templates over the element type and the form, with the
// row of the first failing pivot: the named entries of solver/velqo.h and the
// checked interface (solver/band.h) call these. Not installed.
//
// row ← 0 on success. When status is 1, row is the row whose pivot failed: for
// decompose and factorsolve the order of the first leading minor that is not
// positive definite; for solution the smallest row at which a block of the
// failing reduction stage failed (see p_mesolution in solver/kernel.h).
#pragma once

#include "solver/scalar.h"

namespace velqo {

template <class T, form F>
void solution(T* a, const int& n, const int& m, T* b, const int& nrhs, T* workspace, int& status, int& row);

template <class T, form F> void decompose(T* a, const int& n, const int& m, int& status, int& row);

template <class T, form F> void substitute(const T* a, const int& n, const int& m, T* b, const int& nrhs);

template <class T, form F> void factorsolve(T* a, const int& n, const int& m, T* b, int& status, int& row);

}  // namespace velqo
