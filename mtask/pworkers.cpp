// The workers, one per routine signature: pworker<R, P...> (mtask.h) calls a
// routine of N = sizeof...(P) arguments with the recorded addresses, in order.
#include "mtask/tables.h"

namespace mtask::def_dispatch {

// Calls the worker recorded for the task's routine; a record whose count lies
// outside 0 … maxargs runs nothing.
void callworker(const taskrecord& task) {
  if (task.nargs >= 0 && task.nargs <= maxargs) task.call(task.routine, task.args);
}

}  // namespace mtask::def_dispatch
