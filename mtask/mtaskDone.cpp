// Shutdown: destroys the module-wide mutexes that were started. Tasks, events and
// locks still in use, and their own mutexes, stay as they are.
#include "mtask/tables.h"

namespace mtask {

void mtaskdone() {
  stopmutex(def_dispatch::dispatchmutex, def_dispatch::dispatchready);
  stopmutex(def_event::eventtablemutex, def_event::eventready);
}

}  // namespace mtask
