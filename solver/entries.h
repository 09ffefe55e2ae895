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

/// The two-sided solve of A·x = b for one right-hand side in form F (see
/// solver/mefactor.cpp): the top part of the rows factorised from the first
/// row, the bottom part from the last, in two tasks at once, meeting in the
/// 2·m rows around the cut. It serves where two_sided_serves(n, m) and needs
/// two_sided_work(m) elements of work. status ← 0 on success; 1 when the
/// leading minor of order row is not positive definite; 2 when the trailing
/// one from row row to n is not; 3 when both parts are but they do not meet in
/// a positive definite matrix at the cut after row row. a holds both parts'
/// factors afterwards, the bottom's reversed; after a failure b is partial.
template <class T> bool two_sided_serves(const int& n, const int& m);
template <class T> int two_sided_work(const int& m);
template <class T, form F>
void two_sided(T* a, const int& n, const int& m, T* b, T* work, int& status, int& row);

}  // namespace velqo
