// Process times: the tick arithmetic, including counts that wrap past 32 bits,
// and one measurement of the running process.
#include <gtest/gtest.h>

#include <climits>

#include "mtask/detail.h"
#include "mtask/mtask.h"

namespace {

using mtask::detail::tickcounts;

struct Times {
  float elapsed = -1, user = -1, kernel = -1, total = -1;
};

Times between(const tickcounts& start, const tickcounts& now, int rate) {
  Times t;
  mtask::detail::intervaltimes(start, now, rate, t.elapsed, t.user, t.kernel, t.total);
  return t;
}

TEST(ProcessTimes, TicksBecomeSeconds) {
  // 250 user and 50 system ticks, part of them in children, in 400 ticks.
  const tickcounts start{1000, 200, 10, 0, 5000};
  const tickcounts now{1200, 240, 60, 10, 5400};
  const Times t = between(start, now, 100);
  EXPECT_EQ(t.elapsed, 4.0f);
  EXPECT_EQ(t.user, 2.5f);
  EXPECT_EQ(t.kernel, 0.5f);
  EXPECT_EQ(t.total, 3.0f);
}

TEST(ProcessTimes, CountsWrappingPast32BitsGiveTheTrueInterval) {
  // The elapsed count passes 2147483647: 2147483600 → 2147483700.
  EXPECT_EQ(between({0, 0, 0, 0, 2147483600}, {0, 0, 0, 0, INT_MIN + 52}, 100).elapsed, 1.0f);
  // The elapsed count passes 2^32: 4294967246 → 50.
  EXPECT_EQ(between({0, 0, 0, 0, -50}, {0, 0, 0, 0, 50}, 100).elapsed, 1.0f);
  // So do the processor times.
  const Times t = between({INT_MAX, -10, 0, 0, 0}, {INT_MIN + 49, 40, 0, 0, 0}, 100);
  EXPECT_EQ(t.user, 0.5f);
  EXPECT_EQ(t.kernel, 0.5f);
}

TEST(ProcessTimes, CountsReadAsUnsigned) {
  const int minusone = -1, lowest = INT_MIN, five = 5;
  EXPECT_EQ(mtask::unsignedi4(minusone), 4294967295.0);
  EXPECT_EQ(mtask::unsignedi4(lowest), 2147483648.0);
  EXPECT_EQ(mtask::unsignedi4(five), 5.0);
}

TEST(ProcessTimes, MeasuresTheRunningProcess) {
  Times t;
  mtask::collectusertimes();
  volatile double sink = 0;
  do {  // burn processor time until it shows
    for (int i = 0; i < 1000000; ++i) sink = sink + 1e-9 * i;
    mtask::getusertimes(t.elapsed, t.user, t.kernel, t.total);
  } while (t.total < 0.1f && t.elapsed < 20);
  EXPECT_GE(t.total, 0.1f);
  EXPECT_GE(t.user, 0.0f);
  EXPECT_GE(t.kernel, 0.0f);
  EXPECT_EQ(t.total, t.user + t.kernel);
  EXPECT_GE(t.elapsed + 0.03f, t.total);  // one thread spends no more than the wall-clock time
}

}  // namespace
