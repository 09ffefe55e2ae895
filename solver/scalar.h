// Element types of the four precisions and the exact arithmetic they share.
//
// The solver works on float, double, std::complex<float> and std::complex<double>.
// A complex matrix is complex symmetric (A = Aᵀ), and then no routine ever
// conjugates an operand of a product, or Hermitian (A = Aᴴ; see form at the end
// of this header). std::complex is used for storage only (real part, then
// imaginary part); products, divisions, the modulus and the reciprocal are written
// out here so that every routine rounds exactly the same way and no library
// scaling or special-value recovery changes the result.
#pragma once

#include <cmath>
#include <complex>
#include <type_traits>

namespace velqo {

using complex4 = std::complex<float>;
using complex8 = std::complex<double>;

template <class T> struct real_of { using type = T; };
template <class R> struct real_of<std::complex<R>> { using type = R; };

/// The real type of an element type: float for float and complex4, and so on.
template <class T> using real_type = typename real_of<T>::type;

/// True for the two complex element types.
template <class T> inline constexpr bool is_complex = !std::is_same_v<T, real_type<T>>;

/// Product u·v; for complex operands the plain formula, no operand conjugated.
template <class T> inline T mul(const T& u, const T& v) {
  if constexpr (is_complex<T>) {
    return T(u.real() * v.real() - u.imag() * v.imag(), u.real() * v.imag() + u.imag() * v.real());
  } else {
    return u * v;
  }
}

/// c − u·v, the update every elimination step is made of.
template <class T> inline T mul_sub(const T& c, const T& u, const T& v) {
  if constexpr (is_complex<T>) {
    return T(c.real() - (u.real() * v.real() - u.imag() * v.imag()),
             c.imag() - (u.real() * v.imag() + u.imag() * v.real()));
  } else {
    return c - u * v;
  }
}

/// Product of an element with a real scale factor.
template <class T> inline T scale(const T& u, const real_type<T>& s) {
  if constexpr (is_complex<T>) {
    return T(u.real() * s, u.imag() * s);
  } else {
    return u * s;
  }
}

/// Quotient u / d as the factorisation forms it: u·conj(d) / (re(d)² + im(d)²),
/// without scaling.
template <class T> inline T divide(const T& u, const T& d) {
  if constexpr (is_complex<T>) {
    const real_type<T> den = d.real() * d.real() + d.imag() * d.imag();
    return T((u.real() * d.real() + u.imag() * d.imag()) / den,
             (u.imag() * d.real() - u.real() * d.imag()) / den);
  } else {
    return u / d;
  }
}

/// Reciprocal 1 / d as the block steps form it: conj(d)·s with s = 1 / (re(d)² + im(d)²).
template <class T> inline T reciprocal(const T& d) {
  if constexpr (is_complex<T>) {
    const real_type<T> s = real_type<T>(1) / (d.real() * d.real() + d.imag() * d.imag());
    return T(d.real() * s, -d.imag() * s);
  } else {
    return T(1) / d;
  }
}

/// Quotient u / d as the block steps form it: (u·conj(d))·s with
/// s = 1 / (re(d)² + im(d)²), without scaling.
template <class T> inline T divide_by(const T& u, const T& d) {
  if constexpr (is_complex<T>) {
    const real_type<T> s = real_type<T>(1) / (d.real() * d.real() + d.imag() * d.imag());
    return T((u.real() * d.real() + u.imag() * d.imag()) * s,
             (u.imag() * d.real() - u.real() * d.imag()) * s);
  } else {
    return u / d;
  }
}

/// The value a pivot is tested by: the value itself for real types, the modulus
/// for complex ones. Single precision forms √(re² + im²) (in double, converted
/// to float); double precision scales by the larger part, max·√(1 + (min/max)²),
/// and gives 0 when both parts are 0.
template <class T> inline real_type<T> pivot_size(const T& d) {
  if constexpr (std::is_same_v<T, complex4>) {
    const double re = d.real(), im = d.imag();
    return static_cast<float>(std::sqrt(re * re + im * im));
  } else if constexpr (std::is_same_v<T, complex8>) {
    const double re = std::fabs(d.real()), im = std::fabs(d.imag());
    const double big = re > im ? re : im;
    const double small = re > im ? im : re;
    if (big == 0.0) return 0.0;
    const double q = small / big;
    return big * std::sqrt(1.0 + q * q);
  } else {
    return d;
  }
}

/// Square root: the real one, or the principal complex square root of the value.
template <class T> inline T square_root(const T& d) {
  return std::sqrt(d);
}

// ------------------------------------------------- symmetric and Hermitian
//
// A stored lower band describes a complex matrix in one of two forms: complex
// symmetric (A = Aᵀ, the _csp_ routines: A = L·Lᵀ, no operand ever conjugated)
// or Hermitian (A = Aᴴ, the _hpd_ routines: A = L·Lᴴ with a real positive
// diagonal). Every routine is written once for both; the helpers below are the
// only places where the two differ. For real element types the forms coincide.

/// The form of a complex band matrix: what its upper triangle is.
enum class form {
  symmetric,  ///< the transpose of the stored lower triangle, A = Aᵀ
  hermitian   ///< the conjugate transpose of the stored lower triangle, A = Aᴴ
};

/// True when form F conjugates elements of type T (Hermitian, complex T).
template <class T, form F> inline constexpr bool conjugates = F == form::hermitian && is_complex<T>;

/// The form in which routines for element type T run form F: real types always
/// run the symmetric one (the same arithmetic), so that they have one variant.
template <class T, form F> inline constexpr form form_of = conjugates<T, F> ? form::hermitian : form::symmetric;

/// u as the upper triangle of form F reads a stored element: conj(u) for a
/// Hermitian matrix, u itself otherwise. Only the sign of the imaginary part
/// changes, so a product with adjoint<F>(u) rounds as the written-out formula.
template <form F, class T> inline T adjoint(const T& u) {
  if constexpr (conjugates<T, F>) {
    return T(u.real(), -u.imag());
  } else {
    return u;
  }
}

/// The value a pivot d = a(i, i) − Σ … is tested by: pivot_size(d) for the
/// symmetric form, the real part for the Hermitian one (whose pivots are real:
/// the imaginary part of a stored diagonal entry is ignored).
template <form F, class T> inline real_type<T> pivot_test_value(const T& d) {
  if constexpr (conjugates<T, F>) {
    return d.real();
  } else {
    return pivot_size(d);
  }
}

/// L(i, i) from the tested pivot d: square_root(d), or for the Hermitian form
/// the real √re(d) with a zero imaginary part.
template <form F, class T> inline T pivot_root(const T& d) {
  if constexpr (conjugates<T, F>) {
    return T(std::sqrt(d.real()), real_type<T>(0));
  } else {
    return square_root(d);
  }
}

/// u / L(i, i) in the factorisations and the stand-alone substitutions:
/// divide(u, d), or for the Hermitian form the real division of both parts by
/// the real diagonal.
template <form F, class T> inline T divide_by_pivot(const T& u, const T& d) {
  if constexpr (conjugates<T, F>) {
    return T(u.real() / d.real(), u.imag() / d.real());
  } else {
    return divide(u, d);
  }
}

/// u / L(i, i) in the block steps: divide_by(u, d), or for the Hermitian form
/// the real division of both parts by the real diagonal.
template <form F, class T> inline T divide_by_block_pivot(const T& u, const T& d) {
  if constexpr (conjugates<T, F>) {
    return T(u.real() / d.real(), u.imag() / d.real());
  } else {
    return divide_by(u, d);
  }
}

/// w = 1 / conj(L(j, j)) for the right couplings Y = C·L⁻ᴴ (1 / L(j, j) of the
/// symmetric form, Y = C·L⁻ᵀ): reciprocal(d), or for the Hermitian form the
/// real 1 / re(d) with a zero imaginary part.
template <form F, class T> inline T pivot_reciprocal(const T& d) {
  if constexpr (conjugates<T, F>) {
    return T(real_type<T>(1) / d.real(), real_type<T>(0));
  } else {
    return reciprocal(d);
  }
}

/// u·w with w from pivot_reciprocal: mul(u, w), or for the Hermitian form the
/// product of both parts with the real w.
template <form F, class T> inline T times_pivot_reciprocal(const T& u, const T& w) {
  if constexpr (conjugates<T, F>) {
    return scale(u, w.real());
  } else {
    return mul(u, w);
  }
}

}  // namespace velqo
