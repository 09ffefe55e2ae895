// The parallel solve entry of each precision under one overloaded name, for the
// typed tests.
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

}  // namespace testing_support
