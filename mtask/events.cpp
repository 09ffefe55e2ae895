// Parallel events: counted meeting points for n participants. Each participant
// posts once and arrives once; the arrival that completes the count goes on, the
// others block and are released one after the other, each signalling the next
// (a chain of single signals, never a broadcast).
#include "mtask/tables.h"

namespace mtask {

using namespace def_event;

namespace {

// Whether a handle names an event in use.
bool names(const int& event) {
  return event >= 1 && event <= maxslots && eventtable[event].eventid == event;
}

// Whether posts or arrivals are still expected. Caller holds the event's mutex.
bool incomplete(const eventrecord& e) { return e.pending_posts > 0 || e.pending_arrivals > 0; }

// Blocks until a release has been handed out, then takes it. A wake-up with no
// release handed out waits again. Caller holds the event's mutex, which the wait
// gives up while blocked.
void awaitrelease(int event) {
  while (eventtable[event].handed_out == 0) pthread_cond_wait(&eventcondition[event], &eventmutex[event]);
  --eventtable[event].handed_out;
}

// Counts one release and hands the next one on while releases remain. Caller
// holds the event's mutex.
void passrelease(int event) {
  eventrecord& e = eventtable[event];
  if (--e.pending_releases <= 0) return;
  ++e.handed_out;
  pthread_cond_signal(&eventcondition[event]);
}

}  // namespace

void createparallelevent(int& event) {
  startmutex(eventtablemutex, eventready);
  pthread_mutex_lock(&eventtablemutex);  // one creation at a time searches and takes a slot
  const int s = findslot(nextevent, [](int t) { return eventtable[t].eventid == -1; });
  if (s != 0) {
    nextevent = nextslot(s);
    eventtable[s].eventid = s;
    pthread_cond_init(&eventcondition[s], nullptr);
    pthread_mutex_init(&eventmutex[s], nullptr);
  }
  event = s;
  pthread_mutex_unlock(&eventtablemutex);
}

void initializeparallelevent(const int& event, const int& n) {
  if (!names(event)) return;
  eventrecord& e = eventtable[event];
  pthread_mutex_lock(&eventmutex[event]);  // orders the new counts before every later post and arrival
  e.pending_posts = e.pending_arrivals = e.pending_releases = n;
  e.handed_out = 0;
  pthread_mutex_unlock(&eventmutex[event]);
}

void postparallelevent(const int& event) {
  if (!names(event)) return;
  pthread_mutex_lock(&eventmutex[event]);  // posts and arrivals are counted under the event's mutex
  --eventtable[event].pending_posts;
  pthread_mutex_unlock(&eventmutex[event]);
}

void waitforparallelevent(const int& event) {
  if (!names(event)) return;
  pthread_mutex_lock(&eventmutex[event]);  // every earlier arrival is blocked in its wait by now
  --eventtable[event].pending_arrivals;
  if (incomplete(eventtable[event])) awaitrelease(event);
  passrelease(event);
  pthread_mutex_unlock(&eventmutex[event]);
}

void ifcompleteparallelevent(const int& event, int& flag) {
  if (!names(event)) return;
  pthread_mutex_lock(&eventmutex[event]);  // every earlier arrival is blocked in its wait by now
  --eventtable[event].pending_arrivals;
  if (incomplete(eventtable[event])) {
    awaitrelease(event);
    passrelease(event);
    flag = 1;
  } else {
    flag = 0;  // the releases wait for completeparallelevent
  }
  pthread_mutex_unlock(&eventmutex[event]);
}

void completeparallelevent(const int& event) {
  if (!names(event)) return;
  pthread_mutex_lock(&eventmutex[event]);  // the release count and the hand-out change together
  passrelease(event);
  pthread_mutex_unlock(&eventmutex[event]);
}

void deleteparallelevent(const int& event) {
  if (!names(event)) return;
  pthread_cond_destroy(&eventcondition[event]);
  pthread_mutex_destroy(&eventmutex[event]);
  eventtable[event].eventid = -1;
}

void kso_events() { kso_mtask(); }

}  // namespace mtask
