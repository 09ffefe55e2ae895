// Failure flags shared by the tasks of one parallel call, and the first row
// whose pivot failed.
//
// info(1) and info(2) belong to the two alternating stage parities. A task sets
// the flag of its stage while other tasks of the same stage may already be testing
// it, so every access goes through std::atomic_ref. Relaxed order is enough: a
// flag carries no data, and the stage barriers order everything else.
#pragma once

#include <atomic>

namespace velqo {

/// info(parity) ← 1.
inline void raise_flag(int* info, int parity) {
  std::atomic_ref<int>(info[parity - 1]).store(1, std::memory_order_relaxed);
}

/// info(parity).
inline int read_flag(int* info, int parity) {
  return std::atomic_ref<int>(info[parity - 1]).load(std::memory_order_relaxed);
}

/// *row ← r unless *row already holds a row before r (0 holds none); nothing
/// when row is null. Tasks that find failing pivots in the same stage record
/// them at once, so the smallest wins (an atomic minimum); the entry reads *row
/// after the tasks have joined.
inline void record_row(int* row, int r) {
  if (row == nullptr) return;
  std::atomic_ref<int> first(*row);
  int seen = first.load(std::memory_order_relaxed);
  while ((seen == 0 || r < seen) && !first.compare_exchange_weak(seen, r, std::memory_order_relaxed)) {
  }
}

/// *row, or 0 when row is null or holds none.
inline int recorded_row(int* row) {
  return row == nullptr ? 0 : std::atomic_ref<int>(*row).load(std::memory_order_relaxed);
}

}  // namespace velqo
