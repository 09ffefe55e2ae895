// Failure flags shared by the tasks of one parallel call.
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

}  // namespace velqo
