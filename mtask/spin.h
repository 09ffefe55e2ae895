// Short waits. A task that waits for something another running task will do
// within microseconds (a barrier's last arrival, a lock held for a few
// instructions) spins a while on an atomic before it asks the kernel to put it
// to sleep: a sleep and a wake-up cost some microseconds and two context
// switches each.
//
// The spin is bounded in time, so that a waiter whose partner has lost its
// processor soon blocks and gives its own up, and the bound adapts: a spin that
// runs out halves the next one's, down to a sixty-fourth of spinlimit, and a
// spin that ends in time lengthens it by a quarter, up to spinlimit. The bound
// grows only while fewer than about a quarter of the spins run out, so on a
// machine busy with other work, where a partner often waits for a processor,
// the waits soon cost little more than blocking at once. A barrier with more
// participants than the process has processors does not spin at all: one of
// them is then always waiting for a processor, very likely the one the others
// wait for.
//
// Halving alone cannot find its way back: once waits of some microseconds have
// run the bound down below them, every spin runs out and the bound stays at
// the floor for the rest of the process, so that each later wait sleeps. So
// every probe_interval-th spin is a probe that may run to eight times the
// bound (at most spinlimit); one that ends in time after t raises the bound to
// at least 2t. From the floor a few probes climb back to spinlimit, and on a
// busy machine a probe costs eight floors once in probe_interval waits.
#pragma once

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <chrono>

namespace mtask {

/// The longest spin before blocking, in nanoseconds (0: block at once).
extern std::atomic<long> spinlimit;
/// The present bound of a spin, adapted as above.
extern std::atomic<long> spinbound;
/// The spins begun so far, which picks the probes.
extern std::atomic<unsigned> spincount;
inline constexpr unsigned probe_interval = 16;

/// The number of processors this process may run on.
int usableprocessors();

/// Tells the processor that this is a spin-wait loop: it lets a sibling
/// hardware thread run and avoids the memory-order flush when the wait ends.
inline void cpurelax() {
#if defined(__x86_64__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield" ::: "memory");
#endif
}

/// Whether waiters among this many participants should spin before blocking.
inline bool mayspin(int participants) { return participants <= usableprocessors(); }

/// Spins until ready() holds or the present bound has passed (eight times as
/// long for a probe; at once when spinning is not allowed); whether ready()
/// held. The clock is read at the start, once per 8 tries, and at the end of a
/// probe.
template <class Ready> bool spinuntil(bool allowed, Ready ready) {
  using clock = std::chrono::steady_clock;
  // All three are tuning values, read and written relaxed: they order nothing,
  // and a lost update among concurrent waiters only shifts one bound.
  const long limit = spinlimit.load(std::memory_order_relaxed);
  if (!allowed || limit <= 0) return false;
  const long floor = limit / 64;
  const long bound = std::clamp(spinbound.load(std::memory_order_relaxed), floor, limit);
  const bool probe = bound < limit && spincount.fetch_add(1, std::memory_order_relaxed) % probe_interval == 0;
  const clock::time_point start = clock::now();
  const clock::time_point deadline = start + std::chrono::nanoseconds(probe ? std::min(8 * bound, limit) : bound);
  bool held = ready();
  while (!held) {
    for (int i = 0; i < 8 && !held; ++i) {
      cpurelax();
      held = ready();
    }
    if (!held && clock::now() >= deadline) break;
  }
  long next = held ? std::min(bound + bound / 4 + 1, limit) : std::max(bound / 2, floor);
  if (probe && held) {
    const long waited = std::chrono::duration_cast<std::chrono::nanoseconds>(clock::now() - start).count();
    next = std::clamp(2 * waited, next, limit);
  }
  spinbound.store(next, std::memory_order_relaxed);
  return held;
}

/// Locks a mutex; while it is held elsewhere, tries it again for a while (if
/// allowed) before blocking on it.
inline void lockspinning(pthread_mutex_t& mutex, bool allowed) {
  if (pthread_mutex_trylock(&mutex) == 0) return;
  if (spinuntil(allowed, [&] { return pthread_mutex_trylock(&mutex) == 0; })) return;
  pthread_mutex_lock(&mutex);
}

}  // namespace mtask
