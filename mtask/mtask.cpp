// The runtime's static state (modules def_dispatch, def_event and def_lock) and
// the lazy start of its module-wide mutexes.
#include <sched.h>

#include <algorithm>

#include "mtask/detail.h"
#include "mtask/spin.h"
#include "mtask/tables.h"

namespace mtask {

namespace def_dispatch {
constinit taskrecord tasktable[maxslots + 1]{};
constinit int nexttask = 1;
constinit int dispatchready = 0;
constinit pthread_mutex_t dispatchmutex{};
}  // namespace def_dispatch

namespace def_event {
constinit eventrecord eventtable[maxslots + 1]{};
constinit pthread_mutex_t eventmutex[maxslots + 1]{};
constinit pthread_cond_t eventcondition[maxslots + 1]{};
constinit int nextevent = 1;
constinit int eventready = 0;
constinit pthread_mutex_t eventtablemutex{};
}  // namespace def_event

namespace def_lock {
constinit int lockinuse[maxslots + 1]{};
constinit pthread_mutex_t lockmutex[maxslots + 1]{};
constinit int nextlock = 1;
}  // namespace def_lock

// Long enough for a barrier whose last task is a block's work away and for the
// pipeline's hand-overs when a partner is briefly held up, short enough to cost
// little where the partner has lost its processor (see spin.h).
constinit std::atomic<long> spinlimit{200'000};
constinit std::atomic<long> spinbound{200'000};
constinit std::atomic<unsigned> spincount{0};

int usableprocessors() {
  // Read once: a task's affinity is its creator's, and the solver's tasks are
  // created by the thread that calls it.
  static const int processors = [] {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) != 0) return 1;
    return std::max(CPU_COUNT(&set), 1);
  }();
  return processors;
}

long detail::spin_limit() { return spinlimit.load(); }
void detail::set_spin_limit(long nanoseconds) {
  spinlimit.store(nanoseconds);
  spinbound.store(nanoseconds);
}

namespace {
// Guards the ready flags, so that first uses from several threads start a mutex
// exactly once; being statically initialised, it needs no start of its own.
constinit pthread_mutex_t startguard = PTHREAD_MUTEX_INITIALIZER;
// Module-wide mutexes destroyed so far, for the tests. Guarded by startguard.
constinit int stopped = 0;
}  // namespace

void startmutex(pthread_mutex_t& mutex, int& ready) {
  pthread_mutex_lock(&startguard);  // the flag is tested and set by one thread at a time
  if (ready == 0) {
    pthread_mutex_init(&mutex, nullptr);
    ready = 1;
  }
  pthread_mutex_unlock(&startguard);
}

void stopmutex(pthread_mutex_t& mutex, const int& ready) {
  pthread_mutex_lock(&startguard);  // the flag is read under the guard that set it
  if (ready == 1) {
    pthread_mutex_destroy(&mutex);
    ++stopped;
  }
  pthread_mutex_unlock(&startguard);
}

int detail::stopped_mutexes() {
  pthread_mutex_lock(&startguard);
  const int count = stopped;
  pthread_mutex_unlock(&startguard);
  return count;
}

void kso_mtask() {}

}  // namespace mtask
