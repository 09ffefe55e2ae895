// The tasks of one parallel call: the lock, the two barrier events, the task
// count and the task handles that a parallel entry owns while its kernel runs,
// and the stage barrier that every parallel kernel ends its stages with.
//
// An entry builds a team, sets up its own shared variables and calls run with
// the kernel and the kernel's arguments (among them the team's lock, events and
// ntasks). run starts ntasks − 1 tasks on the kernel, runs the last share in the
// calling thread and joins the tasks in ascending order; the team's destructor
// deletes the lock, then events(1), then events(2).
//
// A solve never waits for a task that was not started. The team holds the lock
// while it dispatches, and every kernel takes that lock before it reads ntasks or
// touches an event. When a dispatch yields handle 0, run stops dispatching and,
// still holding the lock, lowers ntasks to the number of tasks really running
// and re-initialises events(1) for that count. When the lock or an event cannot
// be created, the team runs the kernel in the calling thread alone (ntasks = 1):
// the runtime ignores invalid handles, and a lone task that finds no valid event
// is its own last arrival. The kernels' results do not depend on the task count,
// so these fallbacks cost speed only.
//
// Every share of the kernel, the calling thread's too, runs with flush-to-zero
// set (solver/fpmode.h): each started task sets it first thing, since a new
// thread need not start in its creator's mode, and the calling thread has its
// own mode back as soon as its share is done, whichever way the kernel ended.
#pragma once

#include <cstddef>

#include "mtask/mtask.h"
#include "solver/fpmode.h"
#include "solver/scalar.h"

namespace velqo {

/// Bytes kept between variables that different tasks write: two 64-byte cache
/// lines, since processors prefetch lines in adjacent pairs.
inline constexpr std::size_t cache_line = 128;

/// A value on cache lines of its own. The entries put the kernels' shared
/// variables in these: they live in the calling thread's stack frame, right
/// above the frame in which that thread runs its own share of the kernel, and a
/// block counter that every task writes for every block would otherwise drag
/// that frame's lines, and the flags every block reads, from task to task.
template <class V> struct alignas(cache_line) own_line {
  V value;
};

/// A kernel's two failure flags (one per stage parity) and the pivot threshold,
/// all read for every block.
template <class T> struct failure_flags {
  int info[2] = {0, 0};
  real_type<T> eps = 0;
};

class team {
 public:
  /// Creates the lock and both events and initialises events(1) for count tasks,
  /// count brought into 1 … maxslots + 1 (the calling thread and one task per
  /// slot of the task table); ntasks = 1 when a creation failed.
  explicit team(const int& count);
  /// Deletes the lock, events(1) and events(2), in this order.
  ~team();
  team(const team&) = delete;
  team& operator=(const team&) = delete;

  /// Runs kernel(args…) in ntasks tasks, each with flush-to-zero set;
  /// start(handle, share, kernel, args…) dispatches one task running
  /// share(kernel, args…) (the default dispatches through mtask::dispatch).
  /// Returns when every task has ended.
  template <class Start, class R, class... P, class... A>
  void run(Start start, R (*kernel)(P...), A&... args);
  template <class R, class... P, class... A>
  void run(R (*kernel)(P...), A&... args) {
    run([](int& handle, auto routine, auto&... xs) { mtask::dispatch(handle, routine, xs...); }, kernel,
        args...);
  }

  int lock = 0;            ///< guards the kernel's block counters
  int events[2] = {0, 0};  ///< the barrier events, used alternately
  int ntasks = 1;          ///< the number of tasks running the kernel

 private:
  int tasks[mtask::maxslots] = {};  ///< tasks(1) … tasks(ntasks − 1)
};

/// One task's share of a kernel: kernel(args…) with flush-to-zero set.
template <class R, class... P> void flushed_share(R (*const& kernel)(P...), P... args) {
  const flush_to_zero mode;
  kernel(args...);
}

template <class Start, class R, class... P, class... A>
void team::run(Start start, R (*kernel)(P...), A&... args) {
  R (*const share)(R (*const&)(P...), P...) = &flushed_share<R, P...>;
  // The start gate: no task passes its first lockonparallellock before ntasks is final.
  mtask::lockonparallellock(lock);
  int running = 1;  // the calling thread
  while (running < ntasks) {
    start(tasks[running - 1], share, kernel, args...);
    if (tasks[running - 1] == 0) break;
    ++running;
  }
  if (running < ntasks) {
    ntasks = running;
    mtask::initializeparallelevent(events[0], ntasks);
  }
  mtask::unlockparallellock(lock);

  share(kernel, args...);

  for (int i = 1; i <= running - 1; ++i) mtask::waitforandterminatetask(tasks[i - 1]);
}

/// The barrier at the end of a stage: posts events(parity) and arrives at it.
/// The last task to arrive runs bookkeeping() alone while the others wait,
/// initialises events(3 − parity) for ntasks arrivals (at least one: a kernel
/// called with a task count below 1 runs as one task) and releases the others.
template <class Bookkeeping>
void stage_barrier(int* events, const int& parity, const int& ntasks, Bookkeeping bookkeeping) {
  mtask::postparallelevent(events[parity - 1]);
  int done = 0;  // an invalid event leaves it 0: a lone task is then the last arrival
  mtask::ifcompleteparallelevent(events[parity - 1], done);
  if (done == 0) {
    bookkeeping();
    mtask::initializeparallelevent(events[2 - parity], ntasks < 1 ? 1 : ntasks);
    mtask::completeparallelevent(events[parity - 1]);
  }
}

}  // namespace velqo
