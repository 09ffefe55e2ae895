// Parallel events: the plain barrier, the barrier whose last arrival runs a
// section alone, and a stress run of the solver's alternating-event stages.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <thread>

#include "mtask/detail.h"
#include "mtask/mtask.h"
#include "mtask/spin.h"

namespace {

using namespace std::chrono_literals;

TEST(Events, SingleParticipantNeverBlocks) {
  int event = 0, flag = 7;
  const int one = 1;
  mtask::createparallelevent(event);
  ASSERT_NE(event, 0);
  mtask::initializeparallelevent(event, one);
  mtask::postparallelevent(event);
  mtask::ifcompleteparallelevent(event, flag);
  EXPECT_EQ(flag, 0);
  mtask::completeparallelevent(event);
  mtask::initializeparallelevent(event, one);
  mtask::postparallelevent(event);
  mtask::waitforparallelevent(event);
  mtask::deleteparallelevent(event);
  // A new event that was never initialised has all counts at 0: every arrival is the last.
  mtask::createparallelevent(event);
  mtask::waitforparallelevent(event);
  flag = 7;
  mtask::ifcompleteparallelevent(event, flag);
  EXPECT_EQ(flag, 0);
  mtask::deleteparallelevent(event);
}

// Arrives at a plain barrier and records how many had arrived when it left.
void meet(const int& event, std::atomic<int>& arrived, int& seen) {
  ++arrived;
  mtask::postparallelevent(event);
  mtask::waitforparallelevent(event);
  seen = arrived;
}

TEST(Events, PlainBarrierHoldsAllUntilTheLastArrival) {
  int event = 0, tasks[2] = {};
  int seen[3] = {};
  const int three = 3;
  std::atomic<int> arrived{0};
  mtask::createparallelevent(event);
  mtask::initializeparallelevent(event, three);
  mtask::dispatch_3(tasks[0], meet, event, arrived, seen[0]);
  mtask::dispatch_3(tasks[1], meet, event, arrived, seen[1]);
  meet(event, arrived, seen[2]);
  for (int t : tasks) mtask::waitforandterminatetask(t);
  for (int s : seen) EXPECT_EQ(s, 3);
  mtask::deleteparallelevent(event);
}

// The state that the participants of the serial-section test share.
struct Section {
  std::atomic<int> lastarrivals{0};     // arrivals told they were last (flag 0)
  std::atomic<int> returned{0};         // participants that have left
  std::atomic<int> returnedinside{-1};  // returned, seen from inside the section
  std::atomic<bool> done{false};        // the section has ended
  std::atomic<int> leftearly{0};        // flag-1 returns before the section ended
};

void arrive(const int& event, Section& s) {
  int flag = 7;
  mtask::postparallelevent(event);
  mtask::ifcompleteparallelevent(event, flag);
  if (flag == 0) {
    ++s.lastarrivals;
    std::this_thread::sleep_for(50ms);  // the others must stay held meanwhile
    s.returnedinside = s.returned.load();
    s.done = true;
    mtask::completeparallelevent(event);
  } else if (!s.done) {
    ++s.leftearly;
  }
  ++s.returned;
}

TEST(Events, LastArrivalRunsItsSectionWhileTheOthersAreHeld) {
  int event = 0, tasks[2] = {};
  const int three = 3;
  Section s;
  mtask::createparallelevent(event);
  mtask::initializeparallelevent(event, three);
  mtask::dispatch_2(tasks[0], arrive, event, s);
  mtask::dispatch_2(tasks[1], arrive, event, s);
  arrive(event, s);
  for (int t : tasks) mtask::waitforandterminatetask(t);
  EXPECT_EQ(s.lastarrivals, 1);
  EXPECT_EQ(s.returnedinside, 0);
  EXPECT_EQ(s.leftearly, 0);
  EXPECT_EQ(s.returned, 3);
  mtask::deleteparallelevent(event);
}

void postandwait(const int& event, std::atomic<bool>& released) {
  mtask::postparallelevent(event);
  mtask::waitforparallelevent(event);
  released = true;
}

TEST(Events, PostingWakesNobody) {
  int event = 0, task = 0;
  const int two = 2;
  std::atomic<bool> released{false};
  mtask::createparallelevent(event);
  mtask::initializeparallelevent(event, two);
  mtask::dispatch_2(task, postandwait, event, released);
  std::this_thread::sleep_for(20ms);
  mtask::postparallelevent(event);  // every post is in; one arrival is still missing
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(released);
  mtask::waitforparallelevent(event);
  mtask::waitforandterminatetask(task);
  EXPECT_TRUE(released);
  mtask::deleteparallelevent(event);
}

// ----------------------------------------------------------------- stress

#if defined(__SANITIZE_THREAD__)
constexpr int nstages = 5000;
#else
constexpr int nstages = 20000;
#endif
constexpr int nblocks = 16;

// One task of the solver's stage pattern: take blocks under the lock until the
// stage has none left, then meet at the stage's event; the last arrival checks
// the stage, sets up the next one alone and re-initialises the other event
// before it releases the others. stage, blocksleft, blocksdone and serialruns
// are plain variables: only the lock and the events order their accesses.
void stages(int* events, const int& lock, const int& ntasks, int& stage, int& blocksleft,
            int& blocksdone, int& serialruns, std::atomic<int>& entered, std::atomic<int>& errors) {
  for (int k = 0; k < nstages; ++k) {
    ++entered;
    if (stage != k) ++errors;  // stage k − 1's section has not ended yet
    for (;;) {
      mtask::lockonparallellock(lock);
      const bool took = blocksleft > 0;
      if (took) {
        --blocksleft;
        ++blocksdone;
      }
      mtask::unlockparallellock(lock);
      if (!took) break;
    }
    const int& event = events[k % 2];
    int flag = 1;
    mtask::postparallelevent(event);
    mtask::ifcompleteparallelevent(event, flag);
    if (flag != 0) continue;
    // Alone: every task has entered stage k and none stage k + 1.
    if (entered != ntasks * (k + 1) || blocksdone != nblocks) ++errors;
    ++serialruns;
    blocksleft = nblocks;
    blocksdone = 0;
    stage = k + 1;
    mtask::initializeparallelevent(events[(k + 1) % 2], ntasks);
    mtask::completeparallelevent(event);
  }
}

// Runs the stage pattern in ntasks tasks and checks every stage.
template <int ntasks> void runstages() {
  const int n = ntasks;
  int events[2] = {}, lock = 0, tasks[ntasks - 1] = {};
  int stage = 0, blocksleft = nblocks, blocksdone = 0, serialruns = 0;
  std::atomic<int> entered{0}, errors{0};
  mtask::createparallelevent(events[0]);
  mtask::createparallelevent(events[1]);
  mtask::createparallellock(lock);
  mtask::initializeparallelevent(events[0], n);
  for (int& t : tasks) {
    mtask::dispatch_9(t, stages, events, lock, n, stage, blocksleft, blocksdone, serialruns, entered, errors);
    ASSERT_NE(t, 0);
  }
  stages(events, lock, n, stage, blocksleft, blocksdone, serialruns, entered, errors);
  for (int t : tasks) mtask::waitforandterminatetask(t);
  EXPECT_EQ(errors, 0);
  EXPECT_EQ(serialruns, nstages);
  EXPECT_EQ(stage, nstages);
  mtask::deleteparallellock(lock);
  mtask::deleteparallelevent(events[0]);
  mtask::deleteparallelevent(events[1]);
}

// Eight tasks: on most machines more than the processors, so the waiters block.
TEST(Events, AlternatingStagesUnderStress) { runstages<8>(); }

// Two tasks, whose waiters spin before they block: with no spin, with spins so
// short that most run out about when the release comes, and with the default.
TEST(Events, AlternatingStagesWhateverTheSpin) {
  const long standard = mtask::detail::spin_limit();
  for (long limit : {0L, 2'000L, standard}) {
    SCOPED_TRACE(limit);
    mtask::detail::set_spin_limit(limit);
    runstages<2>();
  }
  mtask::detail::set_spin_limit(standard);
}

// Waits of 3 µs after a run of waits that ran out: the bound has fallen to the
// floor, below them, and must climb back (through the probes) instead of
// letting every later wait sleep.
TEST(Events, SpinBoundRecoversAfterLongWaits) {
  using clock = std::chrono::steady_clock;
  const long standard = mtask::detail::spin_limit();
  mtask::detail::set_spin_limit(50'000);
  for (int k = 0; k < 8; ++k) mtask::spinuntil(true, [] { return false; });
  const long floor = mtask::spinbound.load();
  ASSERT_LT(floor, 3'000);
  long highest = floor;
  for (unsigned k = 0; k < 4 * mtask::probe_interval; ++k) {
    const clock::time_point ready = clock::now() + 3us;
    mtask::spinuntil(true, [&] { return clock::now() >= ready; });
    highest = std::max(highest, mtask::spinbound.load());
  }
  EXPECT_GE(highest, 6'000);
  mtask::detail::set_spin_limit(standard);
}

}  // namespace
