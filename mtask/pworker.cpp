// The start routine of every task thread.
#include "mtask/tables.h"

namespace mtask::def_dispatch {

// Runs the task of its slot. The record was complete before the thread was
// created and stays untouched until the task has been waited for, so it is read
// without a lock.
void* parallelworker(void* record) {
  callworker(*static_cast<const taskrecord*>(record));
  return nullptr;
}

}  // namespace mtask::def_dispatch
