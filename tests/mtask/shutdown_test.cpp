// Shutdown: mtaskdone destroys the module-wide mutexes that were started and
// nothing else; the ready flags keep their values. A shutdown ends the
// runtime's use, so each case runs in a process of its own.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>

#include "mtask/detail.h"
#include "mtask/mtask.h"
#include "mtask/tables.h"

namespace {

using mtask::def_dispatch::dispatchready;
using mtask::def_event::eventready;

void noop() {}

/// Runs scenario in a fresh process of this program; it fails the test by
/// returning false (after saying why on standard error).
void in_own_process(bool (*scenario)()) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit(scenario() ? 0 : 1), ::testing::ExitedWithCode(0), "");
}

bool expect(bool ok, const char* what) {
  if (!ok) std::fprintf(stderr, "not so: %s\n", what);
  return ok;
}

TEST(Shutdown, BeforeAnyStartDestroysNothing) {
  in_own_process([] {
    mtask::mtaskdone();
    return expect(mtask::detail::stopped_mutexes() == 0, "nothing destroyed") &&
           expect(dispatchready == 0 && eventready == 0, "flags still 0");
  });
}

TEST(Shutdown, DestroysOnlyTheEventTableMutexWhenNothingWasDispatched) {
  in_own_process([] {
    int event = 0, lock = 0;
    mtask::createparallelevent(event);
    mtask::createparallellock(lock);
    mtask::mtaskdone();
    return expect(mtask::detail::stopped_mutexes() == 1, "one mutex destroyed") &&
           expect(dispatchready == 0 && eventready == 1, "flags kept") &&
           expect(mtask::def_event::eventtable[event].eventid == event, "the event is still in use") &&
           expect(mtask::def_lock::lockinuse[lock] == 1, "the lock is still in use");
  });
}

TEST(Shutdown, DestroysBothAfterDispatchAndEventAndKeepsTheFlags) {
  in_own_process([] {
    int task = 0, event = 0;
    mtask::dispatch_0(task, noop);
    mtask::waitforandterminatetask(task);
    mtask::createparallelevent(event);
    mtask::deleteparallelevent(event);
    mtask::mtaskdone();
    return expect(mtask::detail::stopped_mutexes() == 2, "two mutexes destroyed") &&
           expect(dispatchready == 1 && eventready == 1, "flags kept");
  });
}

}  // namespace
