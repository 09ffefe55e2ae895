// The LAPACK routines the tests use as independent references (Fortran
// interface, every argument by address, band storage in LAPACK's lower layout):
// real symmetric and complex Hermitian positive-definite band matrices.
#pragma once

#include <complex>
#include <vector>

extern "C" {
void spbtrf_(const char* uplo, const int* n, const int* kd, float* ab, const int* ldab, int* info);
void dpbtrf_(const char* uplo, const int* n, const int* kd, double* ab, const int* ldab, int* info);
void spbtrs_(const char* uplo, const int* n, const int* kd, const int* nrhs, const float* ab,
             const int* ldab, float* b, const int* ldb, int* info);
void dpbtrs_(const char* uplo, const int* n, const int* kd, const int* nrhs, const double* ab,
             const int* ldab, double* b, const int* ldb, int* info);
void spbsv_(const char* uplo, const int* n, const int* kd, const int* nrhs, float* ab,
            const int* ldab, float* b, const int* ldb, int* info);
void dpbsv_(const char* uplo, const int* n, const int* kd, const int* nrhs, double* ab,
            const int* ldab, double* b, const int* ldb, int* info);
// Hermitian positive-definite band (A = L·Lᴴ).
void cpbtrf_(const char* uplo, const int* n, const int* kd, std::complex<float>* ab, const int* ldab, int* info);
void zpbtrf_(const char* uplo, const int* n, const int* kd, std::complex<double>* ab, const int* ldab, int* info);
void cpbsv_(const char* uplo, const int* n, const int* kd, const int* nrhs, std::complex<float>* ab,
            const int* ldab, std::complex<float>* b, const int* ldb, int* info);
void zpbsv_(const char* uplo, const int* n, const int* kd, const int* nrhs, std::complex<double>* ab,
            const int* ldab, std::complex<double>* b, const int* ldb, int* info);
}

namespace lapack {

// Our band array is LAPACK's lower band layout with ldab = m + 1, except that it
// stops after a(n, n); LAPACK addresses the whole (m + 1)·n array, so these
// wrappers take a copy padded by m elements (see padded()).
template <class T> std::vector<T> padded(const std::vector<T>& band, int m) {
  std::vector<T> ab(band);
  ab.resize(band.size() + static_cast<std::size_t>(m), T(0));
  return ab;
}

inline int pbtrf(int n, int m, float* ab) {
  int ld = m + 1, info = 0;
  spbtrf_("L", &n, &m, ab, &ld, &info);
  return info;
}
inline int pbtrf(int n, int m, double* ab) {
  int ld = m + 1, info = 0;
  dpbtrf_("L", &n, &m, ab, &ld, &info);
  return info;
}
inline int pbtrs(int n, int m, int nrhs, const float* ab, float* b) {
  int ld = m + 1, ldb = n > 1 ? n : 1, info = 0;
  spbtrs_("L", &n, &m, &nrhs, ab, &ld, b, &ldb, &info);
  return info;
}
inline int pbtrs(int n, int m, int nrhs, const double* ab, double* b) {
  int ld = m + 1, ldb = n > 1 ? n : 1, info = 0;
  dpbtrs_("L", &n, &m, &nrhs, ab, &ld, b, &ldb, &info);
  return info;
}
inline int pbsv(int n, int m, int nrhs, float* ab, float* b) {
  int ld = m + 1, ldb = n > 1 ? n : 1, info = 0;
  spbsv_("L", &n, &m, &nrhs, ab, &ld, b, &ldb, &info);
  return info;
}
inline int pbsv(int n, int m, int nrhs, double* ab, double* b) {
  int ld = m + 1, ldb = n > 1 ? n : 1, info = 0;
  dpbsv_("L", &n, &m, &nrhs, ab, &ld, b, &ldb, &info);
  return info;
}
// The complex ones factorise a Hermitian matrix.
inline int pbtrf(int n, int m, std::complex<float>* ab) {
  int ld = m + 1, info = 0;
  cpbtrf_("L", &n, &m, ab, &ld, &info);
  return info;
}
inline int pbtrf(int n, int m, std::complex<double>* ab) {
  int ld = m + 1, info = 0;
  zpbtrf_("L", &n, &m, ab, &ld, &info);
  return info;
}
inline int pbsv(int n, int m, int nrhs, std::complex<float>* ab, std::complex<float>* b) {
  int ld = m + 1, ldb = n > 1 ? n : 1, info = 0;
  cpbsv_("L", &n, &m, &nrhs, ab, &ld, b, &ldb, &info);
  return info;
}
inline int pbsv(int n, int m, int nrhs, std::complex<double>* ab, std::complex<double>* b) {
  int ld = m + 1, ldb = n > 1 ? n : 1, info = 0;
  zpbsv_("L", &n, &m, &nrhs, ab, &ld, b, &ldb, &info);
  return info;
}

}  // namespace lapack
