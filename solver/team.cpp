// The lock and events of one parallel call.
#include "solver/team.h"

#include <algorithm>

namespace velqo {

team::team(const int& count) {
  mtask::createparallellock(lock);
  mtask::createparallelevent(events[0]);
  mtask::createparallelevent(events[1]);
  const bool complete = lock != 0 && events[0] != 0 && events[1] != 0;
  ntasks = complete ? std::clamp(count, 1, mtask::maxslots + 1) : 1;
  mtask::initializeparallelevent(events[0], ntasks);
}

team::~team() {
  mtask::deleteparallellock(lock);
  mtask::deleteparallelevent(events[0]);
  mtask::deleteparallelevent(events[1]);
}

}  // namespace velqo
