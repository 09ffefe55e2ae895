// Parallel locks: mutual-exclusion locks named by handles. Locks are created by
// one thread at a time, so creation takes no lock of its own. The solver holds a
// lock for a few instructions, so a task that finds it held tries it again for a
// while before it blocks (see spin.h).
#include "mtask/spin.h"
#include "mtask/tables.h"

namespace mtask {

using namespace def_lock;

namespace {

// Whether a handle names a lock in use; every other handle is ignored.
bool names(const int& lock) { return lock >= 1 && lock <= maxslots && lockinuse[lock] == 1; }

}  // namespace

void createparallellock(int& lock) {
  const int s = findslot(nextlock, [](int t) { return lockinuse[t] == 0; });
  lock = s;
  if (s == 0) return;
  nextlock = nextslot(s);
  pthread_mutex_init(&lockmutex[s], nullptr);
  lockinuse[s] = 1;
}

void lockonparallellock(const int& lock) {
  if (names(lock)) lockspinning(lockmutex[lock], true);
}

void unlockparallellock(const int& lock) {
  if (names(lock)) pthread_mutex_unlock(&lockmutex[lock]);
}

void deleteparallellock(const int& lock) {
  if (!names(lock)) return;
  pthread_mutex_destroy(&lockmutex[lock]);
  lockinuse[lock] = 0;
}

}  // namespace mtask
