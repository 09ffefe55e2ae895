// The parallel entries of each precision under one overloaded name each, for
// the typed tests (and the check that builds without GoogleTest).
#pragma once

#include "solver/velqo.h"

namespace testing_support {

inline void solve_entry(float* a, const int& n, const int& m, float* b, const int& nrhs, float* w, int& status) {
  velqo::mesolution_csp_4(a, n, m, b, nrhs, w, status);
}
inline void solve_entry(double* a, const int& n, const int& m, double* b, const int& nrhs, double* w, int& status) {
  velqo::mesolution_csp_8(a, n, m, b, nrhs, w, status);
}
inline void solve_entry(velqo::complex4* a, const int& n, const int& m, velqo::complex4* b, const int& nrhs,
                        velqo::complex4* w, int& status) {
  velqo::mesolution_csp_z4(a, n, m, b, nrhs, w, status);
}
inline void solve_entry(velqo::complex8* a, const int& n, const int& m, velqo::complex8* b, const int& nrhs,
                        velqo::complex8* w, int& status) {
  velqo::mesolution_csp_z8(a, n, m, b, nrhs, w, status);
}

inline void decompose_entry(float* a, const int& n, const int& m, int& status) {
  velqo::medecompose_csp_4(a, n, m, status);
}
inline void decompose_entry(double* a, const int& n, const int& m, int& status) {
  velqo::medecompose_csp_8(a, n, m, status);
}
inline void decompose_entry(velqo::complex4* a, const int& n, const int& m, int& status) {
  velqo::medecompose_csp_z4(a, n, m, status);
}
inline void decompose_entry(velqo::complex8* a, const int& n, const int& m, int& status) {
  velqo::medecompose_csp_z8(a, n, m, status);
}

inline void substitute_entry(const float* a, const int& n, const int& m, float* b, const int& nrhs) {
  velqo::mesubstitute_csp_4(a, n, m, b, nrhs);
}
inline void substitute_entry(const double* a, const int& n, const int& m, double* b, const int& nrhs) {
  velqo::mesubstitute_csp_8(a, n, m, b, nrhs);
}
inline void substitute_entry(const velqo::complex4* a, const int& n, const int& m, velqo::complex4* b,
                             const int& nrhs) {
  velqo::mesubstitute_csp_z4(a, n, m, b, nrhs);
}
inline void substitute_entry(const velqo::complex8* a, const int& n, const int& m, velqo::complex8* b,
                             const int& nrhs) {
  velqo::mesubstitute_csp_z8(a, n, m, b, nrhs);
}

inline void factorsolve_entry(float* a, const int& n, const int& m, float* b, int& status) {
  velqo::mefactorsolve_csp_4(a, n, m, b, status);
}
inline void factorsolve_entry(double* a, const int& n, const int& m, double* b, int& status) {
  velqo::mefactorsolve_csp_8(a, n, m, b, status);
}
inline void factorsolve_entry(velqo::complex4* a, const int& n, const int& m, velqo::complex4* b, int& status) {
  velqo::mefactorsolve_csp_z4(a, n, m, b, status);
}
inline void factorsolve_entry(velqo::complex8* a, const int& n, const int& m, velqo::complex8* b, int& status) {
  velqo::mefactorsolve_csp_z8(a, n, m, b, status);
}

}  // namespace testing_support
