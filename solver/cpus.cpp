// The library's task count: how many tasks the next solve uses, and the library's
// shutdown.
#include <algorithm>

#include "mtask/mtask.h"
#include "solver/def_velqo.h"
#include "solver/testing.h"
#include "solver/velqo.h"

namespace velqo {
namespace {

/// The processor count as getcpus returned it; 0 until asked (and asked again
/// while the answer is 0).
int cpucount = 0;
/// The number of tasks of the next solve; 0 until chosen.
int taskcount = 0;
/// Processor count the tests make the rules see instead of the machine's; 0 for
/// the machine's own.
int seenprocessors = 0;
/// The tests' stand-in for getcpus; nullptr for getcpus itself.
void (*askprocessors)(int&) = nullptr;

/// Largest task count settasks accepts.
constexpr int maxtasks = 32;

/// cpucount ← the processor count, unless it is already known.
void askcpus() {
  if (cpucount != 0) return;
  if (askprocessors != nullptr) {
    askprocessors(cpucount);
  } else if (seenprocessors > 0) {
    cpucount = seenprocessors;
  } else {
    mtask::getcpus(cpucount);
  }
}

}  // namespace

void gettasks(int& count) {
  // No task count chosen yet: one task per processor.
  if (taskcount == 0) {
    askcpus();
    taskcount = cpucount;
  }
  count = taskcount;
}

void settasks(const int& count) {
  askcpus();
  taskcount = std::min(std::min(count, maxtasks), cpucount);
}

void resettasks() {
  askcpus();
  taskcount = cpucount;
}

void velqodone() { mtask::mtaskdone(); }

namespace testing {

void override_processor_count(int count) {
  seenprocessors = std::max(count, 0);
  // The next rule asks for the processor count again.
  cpucount = 0;
}

void ask_processor_count_with(void (*ask)(int& count)) {
  askprocessors = ask;
  cpucount = 0;
}

void reset_library_state() {
  cpucount = 0;
  taskcount = 0;
  // The grain sizes are unset until the next rule runs again.
  def_velqo::grainsize = 0;
  def_velqo::grainsize2 = 0;
  def_velqo::grainsize3 = 0;
}

}  // namespace testing
}  // namespace velqo
