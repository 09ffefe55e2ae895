// The runtime's static state: the task, event and lock tables with their cursors
// and module-wide mutexes (defined in mtask.cpp), and the cyclic first-fit search
// by which all three tables hand out handles.
//
// Every table is indexed by slot number 1 … maxslots (element 0 is never used),
// and all of it is constant-initialised: in its initial state at load, with no
// code running before the first call.
#pragma once

#include <pthread.h>

#include <atomic>

#include "mtask/mtask.h"

namespace mtask {

// ------------------------------------------------------------ def_dispatch
namespace def_dispatch {

/// One dispatched task. threadid keeps the task's progress as a sign, since a
/// pthread_t is no signed integer: the thread itself is kept in thread.
struct taskrecord {
  int taskid = -1;               ///< −1 when free; the slot's own number while in use
  int threadid = 0;              ///< +1 dispatched, −1 waited for (joined), 0 none
  pthread_t thread{};            ///< the task's thread, joined by the wait
  routine_address routine = nullptr;
  invoker call = nullptr;        ///< the worker of the routine's signature
  int nargs = 0;
  void* args[maxargs]{};         ///< addresses of the caller's arguments, in order
};

extern taskrecord tasktable[maxslots + 1];
extern int nexttask;
extern int dispatchready;
extern pthread_mutex_t dispatchmutex;

/// The start routine of every task thread (pworker.cpp).
void* parallelworker(void* record);
/// Runs a task's routine through the worker of its argument count (pworkers.cpp).
void callworker(const taskrecord& task);

}  // namespace def_dispatch

// --------------------------------------------------------------- def_event
namespace def_event {

struct eventrecord {
  int eventid = -1;              ///< −1 when free; the slot's own number while in use
  int pending_posts = 0;
  int pending_arrivals = 0;
  int pending_releases = 0;
  int participants = 0;          ///< n of the last initialisation; sets how long waiters spin
  /// Releases handed out and not yet taken by a waiter. Changed under the
  /// event's mutex only; atomic because spinning waiters read it without.
  std::atomic<int> handed_out{0};
};

extern eventrecord eventtable[maxslots + 1];
extern pthread_mutex_t eventmutex[maxslots + 1];
extern pthread_cond_t eventcondition[maxslots + 1];
extern int nextevent;
extern int eventready;
extern pthread_mutex_t eventtablemutex;

}  // namespace def_event

// ---------------------------------------------------------------- def_lock
namespace def_lock {

extern int lockinuse[maxslots + 1];
extern pthread_mutex_t lockmutex[maxslots + 1];
extern int nextlock;

}  // namespace def_lock

// ------------------------------------------------------- handle allocation

/// The slot after s, 65 becoming 1.
inline int nextslot(int s) { return s % maxslots + 1; }

/// Cyclic first-fit search: the first slot from the cursor on (wrapping once
/// round the table) for which free(s) holds, or 0 when every slot is taken. The
/// caller moves the cursor past the slot it takes.
template <class Free> int findslot(int cursor, Free free) {
  int s = cursor;
  do {
    if (free(s)) return s;
    s = nextslot(s);
  } while (s != cursor);
  return 0;
}

/// Starts a module-wide mutex on its first use (ready 0 → 1).
void startmutex(pthread_mutex_t& mutex, int& ready);
/// Destroys a module-wide mutex if it was started; ready keeps its value.
void stopmutex(pthread_mutex_t& mutex, const int& ready);

/// Procedures that do nothing; nothing calls them.
void kso_mtask();
void kso_dispatch_a();
void kso_dispatch_b();
void kso_events();

}  // namespace mtask
