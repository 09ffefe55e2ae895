// Parallel events: counted meeting points for n participants. Each participant
// posts once and arrives once; the arrival that completes the count goes on, the
// others block and are released one after the other, each signalling the next
// (a chain of single signals, never a broadcast).
//
// A barrier's last arrival is usually microseconds away, so a waiter first spins
// on the event's count of releases handed out (see spin.h) and blocks on the
// condition variable only when none has come by then (at once when the event
// has more participants than processors). The count, not the signal, is what
// releases a waiter: a signal that finds only spinners wakes nobody, and every
// waiter tests the count under the mutex before it blocks.
#include "mtask/spin.h"
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

// Locks the event's mutex, trying it for a while first. participants may be read
// before the mutex is held: the event is initialised before any participant uses it.
void lockevent(int event) { lockspinning(eventmutex[event], mayspin(eventtable[event].participants)); }

// Waits until a release has been handed out, then takes it: spins without the
// mutex for a while (unless the event has more participants than processors),
// then blocks; a wake-up with no release handed out waits again. Caller holds
// the event's mutex, which it gives up while it waits.
void awaitrelease(int event) {
  std::atomic<int>& handed_out = eventtable[event].handed_out;
  const bool spin = mayspin(eventtable[event].participants);
  // Relaxed loads throughout: the count only says when to look; the release's
  // writes are ordered by the mutex, which the passer held and this waiter takes.
  if (spin && handed_out.load(std::memory_order_relaxed) == 0) {
    pthread_mutex_unlock(&eventmutex[event]);
    spinuntil(true, [&] { return handed_out.load(std::memory_order_relaxed) > 0; });
    lockspinning(eventmutex[event], true);
  }
  while (handed_out.load(std::memory_order_relaxed) == 0)
    pthread_cond_wait(&eventcondition[event], &eventmutex[event]);
  handed_out.fetch_sub(1, std::memory_order_relaxed);  // under the mutex, like every change of the count
}

// Counts one release and hands the next one on while releases remain. Caller
// holds the event's mutex.
void passrelease(int event) {
  eventrecord& e = eventtable[event];
  if (--e.pending_releases <= 0) return;
  e.handed_out.fetch_add(1, std::memory_order_relaxed);  // a spinner sees it, then takes the mutex
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
  e.pending_posts = e.pending_arrivals = e.pending_releases = e.participants = n;
  e.handed_out.store(0, std::memory_order_relaxed);
  pthread_mutex_unlock(&eventmutex[event]);
}

void postparallelevent(const int& event) {
  if (!names(event)) return;
  lockevent(event);  // posts and arrivals are counted under the event's mutex
  --eventtable[event].pending_posts;
  pthread_mutex_unlock(&eventmutex[event]);
}

void waitforparallelevent(const int& event) {
  if (!names(event)) return;
  lockevent(event);  // every earlier arrival has been counted and is waiting by now
  --eventtable[event].pending_arrivals;
  if (incomplete(eventtable[event])) awaitrelease(event);
  passrelease(event);
  pthread_mutex_unlock(&eventmutex[event]);
}

void ifcompleteparallelevent(const int& event, int& flag) {
  if (!names(event)) return;
  lockevent(event);  // every earlier arrival has been counted and is waiting by now
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
  lockevent(event);  // the release count and the hand-out change together
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
