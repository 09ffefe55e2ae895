// Parallel locks: held sections of different tasks never overlap.
#include <gtest/gtest.h>

#include "mtask/mtask.h"

namespace {

#if defined(__SANITIZE_THREAD__)
constexpr int increments = 20000;
#else
constexpr int increments = 200000;
#endif

// Adds 1 to a plain counter increments times, each under the lock.
void addup(const int& lock, long& counter) {
  for (int i = 0; i < increments; ++i) {
    mtask::lockonparallellock(lock);
    ++counter;
    mtask::unlockparallellock(lock);
  }
}

TEST(Locks, CounterUnderContentionReachesItsTotal) {
  constexpr int ntasks = 4;
  int lock = 0;
  mtask::createparallellock(lock);
  ASSERT_NE(lock, 0);
  long counter = 0;
  int tasks[ntasks] = {};
  for (int& t : tasks) mtask::dispatch_2(t, addup, lock, counter);
  addup(lock, counter);
  for (int t : tasks) mtask::waitforandterminatetask(t);
  EXPECT_EQ(counter, long(ntasks + 1) * increments);
  mtask::deleteparallellock(lock);
}

}  // namespace
