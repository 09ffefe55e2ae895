// Element types of the four precisions and the exact arithmetic they share.
//
// The solver works on float, double, std::complex<float> and std::complex<double>.
// Complex matrices are complex symmetric (A = Aᵀ): no routine ever conjugates an
// operand of a product. std::complex is used for storage only (real part, then
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

}  // namespace velqo
