// Process times over one interval: collectusertimes marks the start,
// getusertimes reports elapsed, user-mode, kernel-mode and total seconds since.
#include <sys/times.h>
#include <unistd.h>

#include <cstdint>

#include "mtask/detail.h"
#include "mtask/mtask.h"

namespace mtask {

namespace {

// The counts at the start mark; all 0 before the first mark.
constinit detail::tickcounts mark{};

// The process's tick counts now, each cut to its low 32 bits (modulo 2^32).
detail::tickcounts readticks() {
  tms now{};
  const clock_t clock = times(&now);
  return {int(now.tms_utime), int(now.tms_stime), int(now.tms_cutime), int(now.tms_cstime), int(clock)};
}

// later − earlier in ticks, counted modulo 2^32: a count that wraps past the
// 32-bit range between the two readings still gives the true difference.
double ticksbetween(std::uint32_t earlier, std::uint32_t later) { return double(later - earlier); }

}  // namespace

void detail::intervaltimes(const tickcounts& start, const tickcounts& now, const int& rate,
                           float& elapsed, float& user, float& kernel, float& total) {
  using u32 = std::uint32_t;
  const float r = float(unsignedi4(rate));
  elapsed = float(ticksbetween(u32(start.clock), u32(now.clock)) / r);
  user = float(ticksbetween(u32(start.user) + u32(start.childuser), u32(now.user) + u32(now.childuser)) / r);
  kernel = float(ticksbetween(u32(start.system) + u32(start.childsystem), u32(now.system) + u32(now.childsystem)) / r);
  total = kernel + user;
}

void collectusertimes() { mark = readticks(); }

void getusertimes(float& elapsed, float& user, float& kernel, float& total) {
  const detail::tickcounts now = readticks();
  const int rate = int(sysconf(_SC_CLK_TCK));
  detail::intervaltimes(mark, now, rate, elapsed, user, kernel, total);
}

double unsignedi4(const int& count) { return double(std::uint32_t(count)); }

}  // namespace mtask
