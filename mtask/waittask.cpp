// Task waiting and termination. A task is waited for (its thread joined) and then
// terminated (its slot freed). These run on the dispatching thread, never during
// a dispatch, so the table is read and changed without a lock.
#include "mtask/tables.h"

namespace mtask {

using namespace def_dispatch;

namespace {

bool inuse(int s) { return tasktable[s].taskid != -1; }

// Whether a handle names a task in use.
bool names(const int& task) { return task >= 1 && task <= maxslots && tasktable[task].taskid == task; }

// Joins the slot's thread unless it has been waited for already. The join makes
// everything the routine wrote visible here.
void waitslot(int s) {
  taskrecord& task = tasktable[s];
  if (task.threadid <= 0) return;
  pthread_join(task.thread, nullptr);
  task.threadid = -task.threadid;
}

void freeslot(int s) {
  tasktable[s].threadid = 0;
  tasktable[s].taskid = -1;
}

// Frees the slot of a task that has been waited for; any other stays in use.
void terminateslot(int s) {
  if (tasktable[s].threadid < 0) freeslot(s);
}

}  // namespace

void waitfortask(const int& task) {
  if (names(task)) waitslot(task);
}

void terminatetask(const int& task) {
  if (names(task)) terminateslot(task);
}

void waitforandterminatetask(const int& task) {
  waitfortask(task);
  terminatetask(task);
}

void waitforalltasks() {
  for (int s = 1; s <= maxslots; ++s)
    if (inuse(s)) waitslot(s);
}

void terminatealltasks() {
  for (int s = 1; s <= maxslots; ++s)
    if (inuse(s)) terminateslot(s);
}

void waitforandterminatealltasks() {
  for (int s = 1; s <= maxslots; ++s) {
    if (!inuse(s)) continue;
    waitslot(s);
    freeslot(s);
  }
}

void kso_dispatch_b() { kso_mtask(); }

}  // namespace mtask
