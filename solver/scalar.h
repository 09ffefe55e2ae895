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

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <complex>
#include <limits>
#include <type_traits>

#include "solver/bandstorage.h"

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

// ------------------------------------------------- complex quotients and roots
//
// The quotient, the reciprocal and the square root of complex elements are
// formed by plain formulas (below, in detail::) whenever the operands' sizes
// keep every intermediate inside the normal range, and otherwise from operands
// scaled by exact powers of two. Scaling by 2^k rounds nothing, so where the
// plain formula is safe the scaled one gives the same bits; where it is not (a
// matrix scaled near the bottom or the top of the exponent range, whose pivots
// are of size √‖A‖ and whose products u·conj(d) are of size ‖A‖^1.5), the scaled
// one still gives what exact arithmetic rounds to within a few ulps. Operands
// that are not finite, and a zero divisor, go through the plain formulas, which
// give the IEEE results of them (NaN or infinity).

namespace detail {

/// 2^k, for the range limits below.
template <class R> constexpr R power_of_two(int k) {
  R r = 1;
  for (; k > 0; --k) r *= 2;
  for (; k < 0; ++k) r /= 2;
  return r;
}

/// Where the plain complex quotient and reciprocal are safe. Let e_min be the
/// exponent of the smallest normal number, e_max that of the largest power of
/// two, p the digits, |d| the larger of the magnitudes of the parts of d, likewise
/// |u|. The divisor needs re(d)² + im(d)² < 4·|d|² to have a normal reciprocal,
/// so |d| < 2^(hi+1) with 2·hi + 3 ≤ −e_min, and its larger square to be at least
/// 2^(e_min+2), so |d| ≥ 2^lo with 2·lo ≥ e_min + 2: a square or product that
/// underflows loses at most 2^(e_min−p), less than a quarter of an ulp of the
/// result. The quotient needs the same of its products, 2^(e_min+2) ≤ |u|·|d|
/// (or u = 0), and re(u·conj(d)) ≤ 2·|u|·|d| finite: |u|·|d| < 2^(e_max−1).
/// For double |d| lies in 2^−510 … 2^510, for float in 2^−62 … 2^62.
template <class R> struct plain_range {
  static constexpr int e_min = std::numeric_limits<R>::min_exponent - 1;
  static constexpr int e_max = std::numeric_limits<R>::max_exponent - 1;
  static constexpr int lo = (e_min + 2) / 2;  // e_min is even
  static constexpr int hi = (-e_min - 3) / 2;
  static constexpr R low = power_of_two<R>(lo);
  static constexpr R high = power_of_two<R>(hi + 1);
  static constexpr R product_low = power_of_two<R>(e_min + 2);
  static constexpr R product_high = power_of_two<R>(e_max - 1);
};

/// std::sqrt needs no scaling where neither part is beyond a quarter of the
/// largest number nor both below twice the smallest normal one (the C library
/// scales beyond these itself, the standard library's own formula does not).
template <class R> struct root_range {
  static constexpr R low = power_of_two<R>(std::numeric_limits<R>::min_exponent);
  static constexpr R high = power_of_two<R>(std::numeric_limits<R>::max_exponent - 3);
};

/// The larger of the magnitudes of the two parts.
template <class R> inline R larger_part(const std::complex<R>& z) {
  const R re = std::fabs(z.real()), im = std::fabs(z.imag());
  return re > im ? re : im;
}

template <class R> inline bool divisor_in_range(const std::complex<R>& d) {
  const R big = larger_part(d);
  return big >= plain_range<R>::low && big < plain_range<R>::high;
}

template <class R> inline bool quotient_in_range(const std::complex<R>& u, const std::complex<R>& d) {
  const R bu = larger_part(u), bd = larger_part(d), product = bu * bd;
  return bd >= plain_range<R>::low && bd < plain_range<R>::high &&
         ((product >= plain_range<R>::product_low && product < plain_range<R>::product_high) || bu == R(0));
}

/// u / d = u·conj(d) / (re(d)² + im(d)²), without scaling.
template <class R> inline std::complex<R> divide_plain(const std::complex<R>& u, const std::complex<R>& d) {
  const R den = d.real() * d.real() + d.imag() * d.imag();
  return {(u.real() * d.real() + u.imag() * d.imag()) / den, (u.imag() * d.real() - u.real() * d.imag()) / den};
}

/// 1 / d = conj(d)·s with s = 1 / (re(d)² + im(d)²), without scaling.
template <class R> inline std::complex<R> reciprocal_plain(const std::complex<R>& d) {
  const R s = R(1) / (d.real() * d.real() + d.imag() * d.imag());
  return {d.real() * s, -d.imag() * s};
}

/// u / d = (u·conj(d))·s with s = 1 / (re(d)² + im(d)²), without scaling.
template <class R> inline std::complex<R> divide_by_plain(const std::complex<R>& u, const std::complex<R>& d) {
  const R s = R(1) / (d.real() * d.real() + d.imag() * d.imag());
  return {(u.real() * d.real() + u.imag() * d.imag()) * s, (u.imag() * d.real() - u.real() * d.imag()) * s};
}

template <class R> inline bool finite(const std::complex<R>& z) {
  return std::isfinite(z.real()) && std::isfinite(z.imag());
}

template <class R> inline bool zero(const std::complex<R>& z) { return z.real() == R(0) && z.imag() == R(0); }

template <class R> using bits_of = std::conditional_t<sizeof(R) == 4, std::uint32_t, std::uint64_t>;
template <class R> inline constexpr int fraction_bits = std::numeric_limits<R>::digits - 1;
template <class R> inline constexpr int exponent_bias = std::numeric_limits<R>::max_exponent - 1;

/// 2^k for a k of the normal range, e_min ≤ k ≤ e_max, from its bits.
template <class R> inline R exact_power(int k) {
  return std::bit_cast<R>(bits_of<R>(k + exponent_bias<R>) << fraction_bits<R>);
}

/// z·2^k in two steps, each by a power of two of the normal range: exact
/// wherever the parts stay normal, one rounding where a part ends below.
/// 2^k beyond twice the normal range leaves 0 or infinity as 2^k would.
template <class R> inline std::complex<R> scaled(const std::complex<R>& z, int k) {
  constexpr int lowest = std::numeric_limits<R>::min_exponent - 1, highest = std::numeric_limits<R>::max_exponent - 1;
  k = std::clamp(k, 2 * lowest, 2 * highest);
  const R f1 = exact_power<R>(k / 2), f2 = exact_power<R>(k - k / 2);
  return {z.real() * f1 * f2, z.imag() * f1 * f2};
}

/// The exponent of the larger part of a finite z ≠ 0: 2^e ≤ max(|re|, |im|) < 2^(e+1).
template <class R> inline int exponent(const std::complex<R>& z) {
  constexpr int digits = std::numeric_limits<R>::digits;
  R big = larger_part(z);
  int shift = 0;
  if (big < std::numeric_limits<R>::min()) big *= exact_power<R>(digits), shift = digits;  // subnormal: exactly
  return int(std::bit_cast<bits_of<R>>(big) >> fraction_bits<R>) - exponent_bias<R> - shift;
}

/// The quotient forms for operands outside plain_range: the divisor is scaled
/// so that its larger part lies in [1, 2), the dividend likewise, and the plain
/// quotient of the scaled operands is scaled back by the difference of the
/// exponents. by_reciprocal selects the divide_by form. Inlined rather than
/// called, so that the solver's inner loops need not save their registers
/// around the rarely taken branch.
template <bool by_reciprocal, class R>
[[gnu::always_inline]] inline std::complex<R> divide_scaled(const std::complex<R>& u, const std::complex<R>& d) {
  constexpr auto plain = by_reciprocal ? divide_by_plain<R> : divide_plain<R>;
  if (!finite(u) || !finite(d) || zero(d)) return plain(u, d);
  const int ed = exponent(d);
  const int eu = zero(u) ? 0 : exponent(u);
  return scaled(plain(scaled(u, -eu), scaled(d, -ed)), eu - ed);
}

/// The reciprocal for divisors outside plain_range: 1/d = 2^−e·(1 / (2^−e·d)).
template <class R> [[gnu::always_inline]] inline std::complex<R> reciprocal_scaled(const std::complex<R>& d) {
  if (!finite(d) || zero(d)) return reciprocal_plain(d);
  const int ed = exponent(d);
  return scaled(reciprocal_plain(scaled(d, -ed)), -ed);
}

/// The square root outside root_range: √d = 2^k·√(4^−k·d), the larger part of
/// 4^−k·d in [1, 4).
template <class R> [[gnu::noinline, gnu::cold]] std::complex<R> square_root_scaled(const std::complex<R>& d) {
  if (!finite(d) || zero(d)) return std::sqrt(d);
  const int e = exponent(d);
  const int k = (e >= 0 ? e : e - 1) / 2;  // ⌊e / 2⌋
  return scaled(std::sqrt(scaled(d, -2 * k)), k);
}

}  // namespace detail

/// Quotient u / d as the factorisation forms it: u·conj(d) / (re(d)² + im(d)²),
/// with the operands scaled by powers of two where that formula would leave the
/// normal range (see above).
template <class T> inline T divide(const T& u, const T& d) {
  if constexpr (is_complex<T>) {
    // Formed ahead of the test, so that it stays one block with the loads.
    const T q = detail::divide_plain(u, d);
    if (detail::quotient_in_range(u, d)) [[likely]] return q;
    return detail::divide_scaled<false>(u, d);
  } else {
    return u / d;
  }
}

/// x[k] ← divide(x[k], d) for k = 0 … count − 1. For complex elements the
/// range of all is tested first, so that the common case runs the plain
/// quotients as one loop the compiler can vectorise.
template <class T> inline void divide_each(T* x, index_t count, const T& d) {
  if constexpr (is_complex<T>) {
    bool plain = true;
    for (index_t k = 0; k < count; ++k) plain &= detail::quotient_in_range(x[k], d);
    if (plain) [[likely]] {
      for (index_t k = 0; k < count; ++k) x[k] = detail::divide_plain(x[k], d);
    } else {
      for (index_t k = 0; k < count; ++k) x[k] = divide(x[k], d);
    }
  } else {
    for (index_t k = 0; k < count; ++k) x[k] = x[k] / d;
  }
}

/// Reciprocal 1 / d as the block steps form it: conj(d)·s with s = 1 / (re(d)² + im(d)²),
/// d scaled by a power of two where that would leave the normal range.
template <class T> inline T reciprocal(const T& d) {
  if constexpr (is_complex<T>) {
    const T r = detail::reciprocal_plain(d);
    if (detail::divisor_in_range(d)) [[likely]] return r;
    return detail::reciprocal_scaled(d);
  } else {
    return T(1) / d;
  }
}

/// Quotient u / d as the block steps form it: (u·conj(d))·s with
/// s = 1 / (re(d)² + im(d)²), the operands scaled by powers of two where that
/// would leave the normal range.
template <class T> inline T divide_by(const T& u, const T& d) {
  if constexpr (is_complex<T>) {
    const T q = detail::divide_by_plain(u, d);
    if (detail::quotient_in_range(u, d)) [[likely]] return q;
    return detail::divide_scaled<true>(u, d);
  } else {
    return u / d;
  }
}

/// The value a pivot is tested by: the value itself for real types, the modulus
/// for complex ones. Single precision forms √(re² + im²) in double, where the
/// squares of any two floats and their sum are normal and finite, converted to
/// float; double precision scales by the larger part, max·√(1 + (min/max)²),
/// and gives 0 when both parts are 0. Both hold across the whole exponent range
/// (a modulus beyond the largest float becomes infinity).
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

/// Square root: the real one, or the principal complex square root of the
/// value. The complex one is the standard library's (with GNU's, the C library's
/// csqrt: the branch cut follows the sign of the imaginary part, so −4 − 0i
/// gives −2i), taken of 4^−k·d and scaled back by 2^k where d is too large or too
/// small for a library that does not scale itself.
template <class T> inline T square_root(const T& d) {
  if constexpr (is_complex<T>) {
    using R = real_type<T>;
    const R big = detail::larger_part(d);
    if (big >= detail::root_range<R>::low && big < detail::root_range<R>::high) [[likely]] return std::sqrt(d);
    return detail::square_root_scaled(d);
  } else {
    return std::sqrt(d);
  }
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

/// MACRO(T, F) for every element type and form the library is built for: the
/// four precisions in the symmetric form, the two complex ones in the Hermitian
/// form. Each routine's explicit instantiations come from this one list.
#define VELQO_FOR_EACH_TYPE_AND_FORM(MACRO)                                             \
  MACRO(float, form::symmetric)                                                         \
  MACRO(double, form::symmetric)                                                        \
  MACRO(complex4, form::symmetric)                                                      \
  MACRO(complex8, form::symmetric)                                                      \
  MACRO(complex4, form::hermitian)                                                      \
  MACRO(complex8, form::hermitian)

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
