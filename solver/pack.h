// A row of P consecutive real elements in vector registers (GCC vector
// extensions), for the narrow-band steps that work across the columns of a band
// or a spike. Every operation works element by element and rounds exactly as
// the scalar helper it is named after: a vector subtraction or division is the
// scalar one in every lane, and nothing is fused or reordered
// (-ffp-contract=off, no FMA).
#pragma once

#include <cstring>
#include <utility>

#include "solver/scalar.h"

// The x86 intrinsics only where the target has them; other targets take the
// portable code below.
#if defined(__AVX__)
#include <immintrin.h>
#endif

/// For the small functions of the narrow-band steps' inner loops: the compiler
/// must not leave a call in a column's or a row's dependency chain.
#define VELQO_ALWAYS_INLINE [[gnu::always_inline]] inline

namespace velqo {

/// Smallest power of two not below m: the width of the packs for m columns.
constexpr int pack_width(int m) {
  int p = 1;
  while (p < m) p *= 2;
  return p;
}

/// P real elements in one GCC vector.
template <class T, int P> struct pack {
  static_assert(!is_complex<T>, "packs hold real elements");
  typedef T vec __attribute__((vector_size(sizeof(T) * P)));
  vec v;

  [[gnu::always_inline]] static pack zero() { return pack{vec{}}; }
  /// p[0 … P − 1].
  [[gnu::always_inline]] static pack load(const T* p) {
    pack r;
    std::memcpy(&r.v, p, sizeof r.v);
    return r;
  }
  /// p[0 … count − 1] into the first count elements, 0 into the others.
  [[gnu::always_inline]] static pack load_first(const T* p, int count) {
    if (count == P) return load(p);
    T e[P] = {};
    for (int i = 0; i < count && i < P; ++i) e[i] = p[i];
    return load(e);
  }
  [[gnu::always_inline]] void store(T* p) const { std::memcpy(p, &v, sizeof v); }
  /// The first count elements to p[0 … count − 1].
  [[gnu::always_inline]] void store_first(T* p, int count) const {
    if (count == P) {
      store(p);
    } else {
      // Through an array, so that the vector itself never needs an address.
      T e[P];
      std::memcpy(e, &v, sizeof v);
      for (int i = 0; i < count && i < P; ++i) p[i] = e[i];
    }
  }
  [[gnu::always_inline]] T get(int i) const { return v[i]; }
  [[gnu::always_inline]] void set(int i, const T& x) { v[i] = x; }

  /// x·c in every element.
  [[gnu::always_inline]] friend pack mul(const pack& x, const T& c) { return pack{x.v * c}; }
  /// r − c·x in every element.
  [[gnu::always_inline]] friend pack mul_sub(const pack& r, const T& c, const pack& x) { return pack{r.v - c * x.v}; }
  /// r − x·c in every element.
  [[gnu::always_inline]] friend pack mul_sub(const pack& r, const pack& x, const T& c) { return pack{r.v - x.v * c}; }
  /// r + x·c in every element.
  [[gnu::always_inline]] friend pack add_mul(const pack& r, const pack& x, const T& c) { return pack{r.v + x.v * c}; }
  /// x / d in every element (divide_by and divide agree for real types).
  [[gnu::always_inline]] friend pack divide_by(const pack& x, const T& d) { return pack{x.v / d}; }
  [[gnu::always_inline]] friend pack divide(const pack& x, const T& d) { return pack{x.v / d}; }
  /// The elements i ≤ s from x, the others from r.
  [[gnu::always_inline]] friend pack select_up_to(const int& s, const pack& x, const pack& r) {
    typedef decltype(r.v < r.v) mask;
    mask lane{};
    for (int i = 0; i < P; ++i) lane[i] = i;
    return pack{lane <= s ? x.v : r.v};
  }
  /// Element i ← element i + K, cyclically.
  template <int K = 1> [[gnu::always_inline]] friend pack rotate_down(const pack& r) {
    return rotated<K>(r, std::make_integer_sequence<int, P>{});
  }

 private:
  // A permutation with constant lanes, which Clang and GCC 12 and later take
  // on every target; older GCC has only its own shuffle.
  template <int K, int... I>
  [[gnu::always_inline]] static pack rotated(const pack& r, std::integer_sequence<int, I...>) {
#if __has_builtin(__builtin_shufflevector)
    return pack{__builtin_shufflevector(r.v, r.v, ((I + K) % P)...)};
#else
    typedef decltype(r.v < r.v) index;
    return pack{__builtin_shuffle(r.v, index{((I + K) % P)...})};
#endif
  }
};

/// out(t)(v) ← in(v)(t) for an 8 × 8 block of floats: rows from 8 columns that
/// start at in[v], each 8 consecutive elements, or the other way round.
VELQO_ALWAYS_INLINE void transpose8(const float* const in[8], float* const out[8]) {
#if defined(__AVX__)
  __m256 r[8], u[8];
  for (int i = 0; i < 8; ++i) r[i] = _mm256_loadu_ps(in[i]);
  for (int i = 0; i < 8; i += 2) {
    u[i] = _mm256_unpacklo_ps(r[i], r[i + 1]);
    u[i + 1] = _mm256_unpackhi_ps(r[i], r[i + 1]);
  }
  for (int i = 0; i < 8; i += 4) {
    r[i] = _mm256_shuffle_ps(u[i], u[i + 2], 0x44);
    r[i + 1] = _mm256_shuffle_ps(u[i], u[i + 2], 0xEE);
    r[i + 2] = _mm256_shuffle_ps(u[i + 1], u[i + 3], 0x44);
    r[i + 3] = _mm256_shuffle_ps(u[i + 1], u[i + 3], 0xEE);
  }
  for (int i = 0; i < 4; ++i) {
    _mm256_storeu_ps(out[i], _mm256_permute2f128_ps(r[i], r[i + 4], 0x20));
    _mm256_storeu_ps(out[i + 4], _mm256_permute2f128_ps(r[i], r[i + 4], 0x31));
  }
#else
  float block[8][8];
  for (int i = 0; i < 8; ++i)
    for (int t = 0; t < 8; ++t) block[t][i] = in[i][t];
  for (int t = 0; t < 8; ++t)
    for (int i = 0; i < 8; ++i) out[t][i] = block[t][i];
#endif
}

}  // namespace velqo
