// Task dispatch: takes a task slot, records the routine with the addresses of its
// arguments and starts the task on a thread of its own.
#include <algorithm>
#include <atomic>

#include "mtask/detail.h"
#include "mtask/tables.h"

namespace mtask {

using namespace def_dispatch;

namespace {

// Set by the tests' seam: the next thread creation counts as failed.
constinit std::atomic<bool> failcreation{false};

// Starts the task's thread; false when no thread could be created.
bool startthread(taskrecord& task) {
  if (failcreation.exchange(false)) return false;
  return pthread_create(&task.thread, nullptr, parallelworker, &task) == 0;
}

}  // namespace

void detail::fail_next_thread_creation() { failcreation.store(true); }

void detail::start_task(int& handle, routine_address routine, invoker call, int nargs,
                        void* const* args) {
  startmutex(dispatchmutex, dispatchready);
  pthread_mutex_lock(&dispatchmutex);  // one dispatch at a time searches, records and starts
  const int s = findslot(nexttask, [](int t) { return tasktable[t].taskid <= 0; });
  handle = s;
  if (s != 0) {
    taskrecord& task = tasktable[s];
    task.taskid = s;
    task.nargs = nargs;
    std::copy_n(args, nargs, task.args);
    task.routine = routine;
    task.call = call;
    if (startthread(task)) {
      task.threadid = 1;
      nexttask = nextslot(s);
    } else {
      // No thread runs the task: free the slot again and report no task, as for
      // a full table, rather than hand out a handle that would never finish.
      task.taskid = -1;
      handle = 0;
    }
  }
  pthread_mutex_unlock(&dispatchmutex);
}

void kso_dispatch_a() { kso_mtask(); }

}  // namespace mtask
