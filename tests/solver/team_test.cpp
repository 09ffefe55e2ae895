// The tasks of one parallel call: every started task passes the barriers, the
// task count follows what could really be started, and the slots come back.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "mtask/mtask.h"
#include "solver/team.h"

namespace {

// A kernel of three stages: each task counts itself under the lock in every
// stage; the last arrival records the count and resets it for the next stage.
void count_in(const int& lock, int* events, const int& ntasks, int& arrivals, int* seen) {
  int parity = 1;
  for (int stage = 0; stage < 3; ++stage) {
    mtask::lockonparallellock(lock);
    ++arrivals;
    mtask::unlockparallellock(lock);
    velqo::stage_barrier(events, parity, ntasks, [&] {
      seen[stage] = arrivals;
      arrivals = 0;
    });
    parity = 3 - parity;
  }
}

/// Runs count_in in a team built for count tasks; the number of tasks that ran.
int run_team(int count) {
  velqo::team crew(count);
  int arrivals = 0, seen[3] = {-1, -1, -1};
  crew.run(count_in, crew.lock, crew.events, crew.ntasks, arrivals, seen);
  EXPECT_EQ(seen[0], crew.ntasks);
  EXPECT_EQ(seen[1], crew.ntasks);
  EXPECT_EQ(seen[2], crew.ntasks);
  return crew.ntasks;
}

TEST(Team, TaskCountBroughtIntoRange) {
  for (int count : {-3, 0, 1, 2, 5, 8, mtask::maxslots + 1, 200}) {
    EXPECT_EQ(run_team(count), std::clamp(count, 1, mtask::maxslots + 1)) << count;
  }
}

void blocker(std::atomic<bool>& release) {
  while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST(Team, RunsOnTheTasksThatCouldStart) {
  for (int free : {3, 0}) {
    std::atomic<bool> release{false};
    std::vector<int> blockers(mtask::maxslots - free, 0);
    for (int& handle : blockers) mtask::dispatch(handle, blocker, release);
    EXPECT_EQ(run_team(8), free + 1);
    release.store(true);
    for (int handle : blockers) mtask::waitforandterminatetask(handle);
  }
}

TEST(Team, RunsAloneWithoutLockOrEvents) {
  std::vector<int> locks(mtask::maxslots, 0);
  for (int& lock : locks) mtask::createparallellock(lock);
  EXPECT_EQ(run_team(8), 1);
  for (int lock : locks) mtask::deleteparallellock(lock);

  std::vector<int> events(mtask::maxslots - 1, 0);  // one left: events(2) fails
  for (int& event : events) mtask::createparallelevent(event);
  EXPECT_EQ(run_team(8), 1);
  for (int event : events) mtask::deleteparallelevent(event);
}

TEST(Team, GivesItsSlotsBack) {
  for (int i = 0; i < 3 * mtask::maxslots; ++i) run_team(2);
  std::vector<int> locks(mtask::maxslots, 0), events(mtask::maxslots, 0);
  for (int& lock : locks) mtask::createparallellock(lock);
  for (int& event : events) mtask::createparallelevent(event);
  EXPECT_EQ(std::count(locks.begin(), locks.end(), 0), 0);
  EXPECT_EQ(std::count(events.begin(), events.end(), 0), 0);
  for (int lock : locks) mtask::deleteparallellock(lock);
  for (int event : events) mtask::deleteparallelevent(event);
}

}  // namespace
