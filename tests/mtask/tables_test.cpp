// Handles of the task, event and lock tables: the cyclic first-fit allocation,
// the full table, and operations on handles that name nothing.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <thread>
#include <vector>

#include "mtask/mtask.h"

namespace {

using mtask::maxslots;

void noop() {}

// Each table seen through one create and one release operation.
struct Tasks {
  static void create(int& h) { mtask::dispatch_0(h, noop); }
  static void release(int h) { mtask::waitforandterminatetask(h); }
};
struct Events {
  static void create(int& h) { mtask::createparallelevent(h); }
  static void release(int h) { mtask::deleteparallelevent(h); }
};
struct Locks {
  static void create(int& h) { mtask::createparallellock(h); }
  static void release(int h) { mtask::deleteparallellock(h); }
};

template <class Table> class Handles : public ::testing::Test {
 protected:
  // Brings the cursor of the empty table round to slot 1.
  void SetUp() override {
    int h = 0;
    do {
      Table::create(h);
      ASSERT_NE(h, 0) << "the table is not empty";
      Table::release(h);
    } while (h != maxslots);
  }

  // Creates until the table is full; the handles in the order received.
  static std::vector<int> fill() {
    std::vector<int> handles;
    for (int h; Table::create(h), h != 0;) handles.push_back(h);
    return handles;
  }

  static void release(const std::vector<int>& handles) {
    for (int h : handles) Table::release(h);
  }

  static std::vector<int> ascending(int first, int last) {
    std::vector<int> v;
    for (int h = first; h <= last; ++h) v.push_back(h);
    return v;
  }
};

using Tables = ::testing::Types<Tasks, Events, Locks>;
TYPED_TEST_SUITE(Handles, Tables);

TYPED_TEST(Handles, CreateReleaseCreateMovesOn) {
  int first = 0, second = 0;
  TypeParam::create(first);
  TypeParam::release(first);
  TypeParam::create(second);
  TypeParam::release(second);
  EXPECT_EQ(first, 1);
  EXPECT_EQ(second, 2);
}

TYPED_TEST(Handles, FullTableYieldsZeroAndKeepsTheCursor) {
  const std::vector<int> handles = this->fill();  // stops at the first 0
  EXPECT_EQ(handles, this->ascending(1, maxslots));
  int h = 99;
  TypeParam::create(h);
  EXPECT_EQ(h, 0);
  this->release(handles);
  TypeParam::create(h);  // the cursor is still at 1
  EXPECT_EQ(h, 1);
  TypeParam::release(h);
}

TYPED_TEST(Handles, ReleasedSlotIsFoundFromTheCursorOn) {
  std::vector<int> handles = this->fill();
  ASSERT_EQ(handles.size(), std::size_t(maxslots));
  int h = 0;
  TypeParam::release(5);
  TypeParam::create(h);
  EXPECT_EQ(h, 5);
  TypeParam::release(3);
  TypeParam::release(7);
  TypeParam::create(h);  // the cursor is at 6: slot 7 comes before slot 3
  EXPECT_EQ(h, 7);
  TypeParam::create(h);
  EXPECT_EQ(h, 3);
  this->release(handles);
}

const int invalid[] = {0, -1, maxslots + 1, INT_MIN, INT_MAX};

void markone(int& x) { x = 1; }
void hold(std::atomic<bool>& gate) {
  while (!gate.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

TEST(InvalidHandles, TaskOperationsDoNothing) {
  int released = 0, x = 0;
  mtask::dispatch_1(released, markone, x);
  mtask::waitforandterminatetask(released);
  std::atomic<bool> gate{false};
  int live = 0;
  mtask::dispatch_1(live, hold, gate);
  ASSERT_NE(live, 0);
  std::vector<int> handles(std::begin(invalid), std::end(invalid));
  handles.push_back(released);
  for (int h : handles) {
    mtask::waitfortask(h);
    mtask::terminatetask(h);
    mtask::waitforandterminatetask(h);
  }
  mtask::terminatealltasks();  // the live task has not been waited for: it stays
  gate = true;
  mtask::waitforandterminatetask(live);
  mtask::waitforandterminatetask(live);  // now names nothing
  mtask::waitforalltasks();              // the table is empty
  mtask::waitforandterminatealltasks();
  EXPECT_EQ(x, 1);
}

TEST(InvalidHandles, EventOperationsDoNothing) {
  int deleted = 0, live = 0;
  mtask::createparallelevent(deleted);
  mtask::deleteparallelevent(deleted);
  mtask::createparallelevent(live);
  const int one = 1, two = 2;
  mtask::initializeparallelevent(live, one);
  std::vector<int> handles(std::begin(invalid), std::end(invalid));
  handles.push_back(deleted);
  for (int h : handles) {
    int flag = 7;
    mtask::initializeparallelevent(h, two);
    mtask::postparallelevent(h);
    mtask::waitforparallelevent(h);
    mtask::ifcompleteparallelevent(h, flag);
    mtask::completeparallelevent(h);
    mtask::deleteparallelevent(h);
    EXPECT_EQ(flag, 7) << "handle " << h;
  }
  // The live event still expects its one participant, which completes it.
  int flag = 7;
  mtask::postparallelevent(live);
  mtask::ifcompleteparallelevent(live, flag);
  EXPECT_EQ(flag, 0);
  mtask::completeparallelevent(live);
  mtask::deleteparallelevent(live);
}

TEST(InvalidHandles, LockOperationsDoNothing) {
  int deleted = 0;
  mtask::createparallellock(deleted);
  mtask::deleteparallellock(deleted);
  std::vector<int> handles(std::begin(invalid), std::end(invalid));
  handles.push_back(deleted);
  for (int h : handles) {
    mtask::lockonparallellock(h);
    mtask::lockonparallellock(h);  // would deadlock if the first had locked anything
    mtask::unlockparallellock(h);
    mtask::deleteparallellock(h);
  }
  SUCCEED();
}

}  // namespace
