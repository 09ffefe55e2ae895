// The column steps of the band block factorisation (decompose_block), shared by
// the factorisation itself and by the solve kernel, which runs its triangular
// solves with the block's factor alongside.
//
// factor_column is the factorisation of one column as decompose_block defines
// it. banded_factor is the block's factorisation for a fixed half bandwidth M,
// a column at a time, and factor_banded runs it over the whole block: each
// column is held in a pack, rows i … i + M − 1 updated together, row i + t
// taking the updates of the columns max(first, i + t − M) … i − 1 in ascending
// order; the operations on every element are those of factor_column.
#pragma once

#include <algorithm>
#include <type_traits>

#include "solver/bandstorage.h"
#include "solver/flags.h"
#include "solver/pack.h"
#include "solver/scalar.h"

namespace velqo {

/// Column i of the factorisation of the block first … last: its updates from
/// the block's earlier columns, the pivot test, the square root and the scaling.
/// False when the pivot fails (info(parity) is then set). Form F as in
/// solver/scalar.h: L·Lᵀ, or L·Lᴴ with a real diagonal.
template <class T, form F = form::symmetric>
bool factor_column(T* a, const int& m, const int& first, const int& last, const int& i,
                   const real_type<T>& eps, int* info, const int& parity) {
  // Column i receives the updates of the block's earlier columns j:
  // a(k, i) ← a(k, i) − a(k, j)·a(i, j)ᴴ for the rows k = i … min(last, j + m)
  // (ᴴ: conjugated in the Hermitian form only).
  for (int j = std::max(i - m, first); j <= i - 1; ++j) {
    const T aij = adjoint<F>(band(a, m, i, j));
    const int kend = std::min(last, j + m);
    for (int k = i; k <= kend; ++k) band(a, m, k, i) = mul_sub(band(a, m, k, i), aij, band(a, m, k, j));
  }
  // The pivot must be strictly greater than eps; a NaN fails every comparison.
  T& pivot = band(a, m, i, i);
  if (!(pivot_test_value<F>(pivot) > eps)) {
    raise_flag(info, parity);
    return false;
  }
  pivot = pivot_root<F>(pivot);
  // L(k, i) = a(k, i) / L(i, i).
  const T lii = pivot;
  const int kend = std::min(i + m, last);
  if constexpr (is_complex<T> && !conjugates<T, F>) {
    if (kend > i) divide_each(&band(a, m, i + 1, i), kend - i, lii);
  } else {
    for (int k = i + 1; k <= kend; ++k) band(a, m, k, i) = divide_by_pivot<F>(band(a, m, k, i), lii);
  }
  return true;
}

/// The factorisation of the block first … last for half bandwidth M, a column
/// at a time. A column is held in a pack; its lanes for rows beyond last or
/// beyond the reach of a column j are computed from other elements of the band
/// array between a(first, first) and a(last, last), which no other block's work
/// writes, and dropped. The finished column stays in a pack for the last update
/// of the next one, and the next pivot's own copy of that update is formed
/// apart, so that each square root waits for one division only.
template <class T, int M> class banded_factor {
 public:
  banded_factor(T* a, const int& first, const int& last, const real_type<T>& eps, int* info, const int& parity)
      : a_(a), i1_(first), i2_(last), threshold_(eps), info_(info), parity_(parity), i_(first) {
    for (column& r : recent_) r = column::zero();
  }

  bool done() const { return i_ > i2_; }
  /// The column that step() factorises next.
  int next() const { return i_; }

  /// Factorises the next column. False when its pivot fails, as for factor_column.
  [[gnu::always_inline]] bool step() {
    constexpr int m = M;
    const int i = i_++;
    const int i1 = i1_, i2 = i2_;
    // A pack reads P elements from a(i, i) on; they must not pass a(last, last), the
    // last element the block's factorisation may touch (beyond it the band array
    // can end). So the last columns go through factor_column.
    if (index_t(M + 1) * (i2 - i) < P - 1 || i == i2) return factor_column(a_, m, i1, i2, i, threshold_, info_, parity_);
    const int reach = std::min(M, i2 - i);  // rows i + t, t ≤ reach, lie in the block
    T* const ci = &band(a_, m, i, i);       // a(i … i + M, i)
    column col = column::load(ci);
    T pivot;
    // a(i + t, i) ← a(i + t, i) − a(i, j)·a(i + t, j) for j = i − M + s ≥ first and
    // t ≤ min(s, reach), s ascending; the update from column i − 1 (s = M − 1) last.
    const auto update = [&](auto inside) __attribute__((always_inline)) {
      const int s0 = std::max(0, i1 - (i - M));
#pragma GCC unroll 16
      for (int s = 0; s < M - H; ++s) {
        if (s < s0) continue;
        const int j = i - M + s;
        const int lanes = inside ? s : std::min(s, reach);
        col = select_up_to(lanes, mul_sub(col, band(a_, m, i, j), column::load(&band(a_, m, i, j))), col);
      }
      const auto from_recent = [&]<int h>() __attribute__((always_inline)) {
        constexpr int s = M - 1 - h;
        if constexpr (h >= 1 && h < H && s >= 0) {
          if (s >= s0) {
            const int lanes = inside ? s : std::min(s, reach);
            col = select_up_to(lanes, mul_sub(col, recent_[h].get(h), rotate_down<h>(recent_[h])), col);
          }
        }
      };
      from_recent.template operator()<2>();
      from_recent.template operator()<1>();
      const int lanes = inside ? M - 1 : std::min(M - 1, reach);
      pivot = col.get(0);
      if (carried_) {
        pivot = mul_sub(pivot, lprevious_, lprevious_);
        col = select_up_to(lanes, mul_sub(col, lprevious_, recent_[0]), col);
      }
    };
    if (reach == M) {
      update(std::true_type());
    } else {
      update(std::false_type());
    }
    if (!(pivot_size(pivot) > threshold_)) {
      col.store_first(ci, std::min(M, reach + 1));
      raise_flag(info_, parity_);
      return false;
    }
    const T lii = square_root(pivot);
    // L(i + 1, i) on its own first: the next pivot waits for it.
    if constexpr (M > 1) {
      lprevious_ = divide(col.get(1), lii);
    } else {
      lprevious_ = divide(ci[1], lii);
    }
    // L(i + t, i) = a(i + t, i) / L(i, i) for t = 1 … reach; row i + M has no updates.
    column below = rotate_down(col);
    below.set(M - 1, ci[M]);
    below = divide(below, lii);
    ci[0] = lii;
    below.store_first(ci + 1, reach);
    for (int h = H - 1; h >= 1; --h) recent_[h] = recent_[h - 1];
    recent_[0] = below;
    carried_ = true;
    return true;
  }

 private:
  static constexpr int P = pack_width(M);
  using column = pack<T, P>;
  // The last columns finished stay in packs: recent_[h] = L(i − h … i − h + M − 1, i − 1 − h),
  // so that a column never waits for the stores of the columns just before it.
  static constexpr int H = M - 1 < 3 ? (M - 1 > 0 ? M - 1 : 1) : 3;

  T* const a_;
  const int i1_, i2_;
  const real_type<T> threshold_;
  int* const info_;
  const int parity_;
  int i_;                  // the next column
  column recent_[H];
  T lprevious_ = T(0);     // L(i, i − 1), the value of recent_[0] element 0, formed on its own
  bool carried_ = false;   // whether there is a column i − 1
};

/// Factorises the block first … last for half bandwidth M (see banded_factor)
/// and calls finished(i) after each column i. False when a pivot fails, as for
/// factor_column.
template <class T, int M, class Finished>
bool factor_banded(T* a, const int& first, const int& last, const real_type<T>& eps, int* info,
                   const int& parity, Finished&& finished) {
  banded_factor<T, M> factor(a, first, last, eps, info, parity);
  while (!factor.done()) {
    const int i = factor.next();
    if (!factor.step()) return false;
    finished(i);
  }
  return true;
}

}  // namespace velqo
