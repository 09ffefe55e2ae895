// Task dispatch, waiting and termination: routines run on the caller's own
// variables, tasks keep their slots until waited for and terminated, and a
// dispatch that starts no thread hands out no handle.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "mtask/detail.h"
#include "mtask/mtask.h"

namespace {

using mtask::maxslots;
using namespace std::chrono_literals;

void noop() {}
void markone(int& x) { x = 1; }
void count(std::atomic<int>& n) { ++n; }
void hold(std::atomic<bool>& gate) {
  while (!gate.load()) std::this_thread::sleep_for(1ms);
}
void slowmark(int& x) {
  std::this_thread::sleep_for(50ms);
  x = 1;
}

// The number of free task slots; leaves the table as it found it.
int free_task_slots() {
  std::vector<int> taken;
  for (int h; mtask::dispatch_0(h, noop), h != 0;) taken.push_back(h);
  for (int h : taken) mtask::waitforandterminatetask(h);
  return int(taken.size());
}

// Doubles a(1 … n), adds them into sum and scales x: reads and writes the
// caller's array and scalars.
void doubleandsum(float* a, const int& n, int& sum, double& x) {
  for (int i = 0; i < n; ++i) {
    a[i] *= 2;
    sum += int(a[i]);
  }
  x *= n;
}

TEST(Dispatch, RoutineWorksOnTheCallersVariables) {
  float a[4] = {1, 2, 3, 4};
  const int n = 4;
  int sum = 100;
  double x = 0.5;
  int h = 0;
  mtask::dispatch_4(h, doubleandsum, a, n, sum, x);
  ASSERT_NE(h, 0);
  mtask::waitforandterminatetask(h);
  EXPECT_EQ(a[0], 2);
  EXPECT_EQ(a[3], 8);
  EXPECT_EQ(sum, 120);
  EXPECT_EQ(x, 2.0);
}

TEST(Dispatch, RoutineWithoutArguments) {
  static std::atomic<int> runs{0};
  int h = 0;
  mtask::dispatch_0(h, +[] { ++runs; });
  ASSERT_NE(h, 0);
  mtask::waitforandterminatetask(h);
  EXPECT_EQ(runs, 1);
}

// Sets its k-th argument to k: every argument arrives in its own position.
template <std::size_t... I> void numbered(std::conditional_t<true, int&, decltype(I)>... a) {
  int k = 1;
  ((a = k++), ...);
}

TEST(Dispatch, FiftyTwoArgumentsArriveInOrder) {
  int v[mtask::maxargs] = {};
  int h = 0;
  [&]<std::size_t... I>(std::index_sequence<I...>) {
    mtask::dispatch_52(h, &numbered<I...>, v[I]...);
  }(std::make_index_sequence<mtask::maxargs>{});
  ASSERT_NE(h, 0);
  mtask::waitforandterminatetask(h);
  for (int k = 1; k <= mtask::maxargs; ++k) EXPECT_EQ(v[k - 1], k);
}

TEST(Dispatch, FullTableStartsNothing) {
  std::atomic<int> runs{0};
  std::vector<int> handles;
  for (int i = 0; i < maxslots; ++i) {
    int h = 0;
    mtask::dispatch_1(h, count, runs);
    ASSERT_NE(h, 0);
    handles.push_back(h);
  }
  mtask::waitforalltasks();  // finished and joined, but still holding their slots
  int h = 99;
  mtask::dispatch_1(h, count, runs);
  EXPECT_EQ(h, 0);
  std::this_thread::sleep_for(20ms);
  EXPECT_EQ(runs, maxslots);
  mtask::terminatealltasks();
  EXPECT_EQ(free_task_slots(), maxslots);
}

TEST(Dispatch, FailedThreadCreationHandsOutNoHandle) {
  int before = 0;
  mtask::dispatch_0(before, noop);
  mtask::waitforandterminatetask(before);
  int x = 0, h = 99;
  mtask::detail::fail_next_thread_creation();
  mtask::dispatch_1(h, markone, x);
  EXPECT_EQ(h, 0);
  mtask::dispatch_1(h, markone, x);  // the cursor did not move
  EXPECT_EQ(h, before % maxslots + 1);
  mtask::waitforandterminatetask(h);
  EXPECT_EQ(x, 1);
  EXPECT_EQ(free_task_slots(), maxslots);  // the failed dispatch gave its slot back
}

TEST(Waiting, SecondWaitReturnsAtOnce) {
  int x = 0, h = 0;
  mtask::dispatch_1(h, markone, x);
  mtask::waitfortask(h);
  mtask::waitfortask(h);
  EXPECT_EQ(x, 1);
  mtask::waitforandterminatetask(h);
  mtask::waitforandterminatetask(h);  // names nothing any more
  EXPECT_EQ(free_task_slots(), maxslots);
}

TEST(Waiting, TerminationBeforeTheWaitLeavesTheTaskInUse) {
  int x = 0, h = 0;
  mtask::dispatch_1(h, slowmark, x);
  mtask::terminatetask(h);
  mtask::waitforandterminatetask(h);  // still joins the task
  EXPECT_EQ(x, 1);
  EXPECT_EQ(free_task_slots(), maxslots);
}

TEST(Waiting, TerminateAllFreesOnlyTasksWaitedFor) {
  std::atomic<bool> gate{false};
  int x = 0, waited = 0, running = 0;
  mtask::dispatch_1(waited, markone, x);
  mtask::dispatch_1(running, hold, gate);
  mtask::waitfortask(waited);
  mtask::terminatealltasks();
  EXPECT_EQ(free_task_slots(), maxslots - 1);
  gate = true;
  mtask::waitforandterminatealltasks();
  EXPECT_EQ(free_task_slots(), maxslots);
}

}  // namespace
