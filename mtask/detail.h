// Internals of the runtime that its tests reach directly: the process-time
// arithmetic apart from the system call, a seam that makes a thread creation
// fail, the spin limit of waits and a count of what shutdowns destroyed. The
// solver and the benchmark never use them.
#pragma once

namespace mtask::detail {

/// Clock-tick counts of one reading of the process times, cut to 32 bits.
struct tickcounts {
  int user = 0;
  int system = 0;
  int childuser = 0;
  int childsystem = 0;
  int clock = 0;  ///< elapsed ticks since a fixed point in the past
};

/// The times between two readings at rate ticks per second: elapsed wall-clock,
/// user-mode and kernel-mode seconds (children's included), and user + kernel.
void intervaltimes(const tickcounts& start, const tickcounts& now, const int& rate,
                   float& elapsed, float& user, float& kernel, float& total);

/// Makes the next dispatch find its thread creation failed.
void fail_next_thread_creation();

/// How long a task waiting at an event or a lock spins before it blocks, in
/// nanoseconds; 0 makes it block at once. Set it while no task waits.
long spin_limit();
void set_spin_limit(long nanoseconds);

/// How many module-wide mutexes shutdowns have destroyed so far.
int stopped_mutexes();

}  // namespace mtask::detail
