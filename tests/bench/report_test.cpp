// The benchmark run and its report, with a stand-in solve that records what the
// run hands it.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench/report.h"
#include "bench/testsystem.h"
#include "solver/testing.h"
#include "solver/velqo.h"

namespace {

using bench::storage;

// The storage the program reserves for its built-in problem.
constexpr storage builtin = {17999992, 2000000, 2000000, 32000000};

// A small problem for the runs.
constexpr int n = 40;
constexpr int m = 3;
constexpr int nrhs = 2;

std::string integer(int value, int width) {
  std::ostringstream out;
  bench::writeinteger(out, value, width);
  return out.str();
}

std::string fixed(float value) {
  std::ostringstream out;
  bench::writefixed(out, value);
  return out.str();
}

TEST(ReportFields, FixedPointEightColumnsTwoDecimals) {
  EXPECT_EQ(fixed(0.0f), "    0.00");
  EXPECT_EQ(fixed(0.5f), "    0.50");
  EXPECT_EQ(fixed(0.004f), "    0.00");
  EXPECT_EQ(fixed(3.517f), "    3.52");
  EXPECT_EQ(fixed(99999.99f), "99999.99");
  EXPECT_EQ(fixed(123456.78f), "********");
  EXPECT_EQ(fixed(99999.999f), "********");  // rounds up to 100000.00
}

TEST(ReportFields, IntegerRightAlignedOrAsterisks) {
  EXPECT_EQ(integer(1, 2), " 1");
  EXPECT_EQ(integer(99, 2), "99");
  EXPECT_EQ(integer(100, 2), "**");
  EXPECT_EQ(integer(-5, 2), "-5");
  EXPECT_EQ(integer(-10, 2), "**");
  EXPECT_EQ(integer(2000000, 11), "    2000000");
}

TEST(StorageGuard, ComparesEveryArrayIn64BitArithmetic) {
  EXPECT_FALSE(bench::storageoverflows(2000000, 8, 1, builtin));
  EXPECT_TRUE(bench::storageoverflows(2000001, 8, 1, builtin));
  EXPECT_TRUE(bench::storageoverflows(2000000, 9, 1, builtin));
  EXPECT_TRUE(bench::storageoverflows(2000000, 8, 2, builtin));
  // Sizes whose 32-bit products wrap to small values.
  EXPECT_TRUE(bench::storageoverflows(2000000, 8, 2148, builtin));
  EXPECT_TRUE(bench::storageoverflows(2000000, 1074, 1, builtin));
  EXPECT_TRUE(bench::storageoverflows(n, m, nrhs, {n + (n - 1) * m, n * nrhs, n * nrhs, 2 * n * m - 1}));
}

// What the stand-in solve saw.
struct SolveLog {
  int calls = 0;
  std::vector<int> tasks;
  bool freshsystem = true;
  std::vector<float> a, b;  // the system every solve must receive
  int sleepms = 0;
} solvelog;

void standinsolve(float* a, const int& nn, const int& mm, float* b, const int& nr, float*, int& status) {
  ++solvelog.calls;
  int count = 0;
  velqo::gettasks(count);
  solvelog.tasks.push_back(count);
  solvelog.freshsystem = solvelog.freshsystem && nn == n && mm == m && nr == nrhs &&
                         std::memcmp(a, solvelog.a.data(), solvelog.a.size() * sizeof(float)) == 0 &&
                         std::memcmp(b, solvelog.b.data(), solvelog.b.size() * sizeof(float)) == 0;
  // A solve destroys the system; the next run must rebuild it.
  std::fill(a, a + solvelog.a.size(), -1.0f);
  std::fill(b, b + solvelog.b.size(), -1.0f);
  if (solvelog.sleepms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(solvelog.sleepms));
  status = 1;  // a reported failure must not stop the run
}

class BenchmarkRun : public ::testing::Test {
 protected:
  std::vector<float> a = std::vector<float>(n + (n - 1) * m);
  std::vector<float> b = std::vector<float>(n * nrhs);
  std::vector<float> x = std::vector<float>(n * nrhs);
  std::vector<float> workspace = std::vector<float>(2 * n * m);
  storage reserved = {n + (n - 1) * m, n * nrhs, n * nrhs, 2 * n * m};

  void SetUp() override {
    velqo::testing::reset_library_state();
    velqo::testing::override_processor_count(64);
    solvelog = SolveLog{};
    solvelog.a = a;
    solvelog.b = b;
    bench::generatedata(solvelog.a.data(), solvelog.b.data(), x.data(), n, m, nrhs);
  }
  void TearDown() override {
    velqo::testing::override_processor_count(0);
    velqo::testing::reset_library_state();
  }

  std::string run(int p) {
    std::ostringstream out;
    bench::runbenchmark(out, p, a.data(), b.data(), x.data(), workspace.data(), n, m, nrhs, reserved,
                        standinsolve);
    return out.str();
  }
};

// Expected lines; a line ending in <time> holds a time field there.
const std::string timefield = "<time>";

std::vector<std::string> header() {
  return {" Number of equations:           40", " Half bandwidth:            3"};
}

void appendrun(std::vector<std::string>& lines, const std::string& processorline) {
  lines.insert(lines.end(), {" ", processorline, " Elapsed Time (Seconds): <time>",
                             " CPU Time in User Mode (Seconds): <time>",
                             " CPU Time in Kernel Mode (Seconds): <time>", " Total CPU Time (Seconds): <time>"});
}

// The expected report of runs 1 … p.
std::vector<std::string> report(int p) {
  std::vector<std::string> lines = header();
  for (int t = 1; t <= p; ++t) {
    std::string number = "**";
    if (t < 100) {
      number[0] = t < 10 ? ' ' : char('0' + t / 10);
      number[1] = char('0' + t % 10);
    }
    appendrun(lines, (t == 1 ? " Processor: " : " Processors: ") + number);
  }
  lines.push_back(" ");
  return lines;
}

void expectreport(const std::string& report, const std::vector<std::string>& expected) {
  ASSERT_FALSE(report.empty());
  ASSERT_EQ(report.back(), '\n');
  std::vector<std::string> lines;
  std::istringstream in(report);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  ASSERT_EQ(lines.size(), expected.size()) << report;
  const std::regex time(R"(^ *[0-9]+\.[0-9]{2}$|^\*{8}$)");
  for (std::size_t k = 0; k < lines.size(); ++k) {
    const std::string& want = expected[k];
    if (want.ends_with(timefield)) {
      const std::string prefix = want.substr(0, want.size() - timefield.size());
      ASSERT_EQ(lines[k].substr(0, prefix.size()), prefix) << "line " << k + 1;
      const std::string field = lines[k].substr(prefix.size());
      EXPECT_EQ(field.size(), 8u) << "line " << k + 1 << ": '" << field << "'";
      EXPECT_TRUE(std::regex_match(field, time)) << "line " << k + 1 << ": '" << field << "'";
    } else {
      EXPECT_EQ(lines[k], want) << "line " << k + 1;
    }
  }
}

TEST_F(BenchmarkRun, NoProcessorsGiveHeaderAndOneBlankLine) {
  for (int p : {0, -3}) {
    EXPECT_EQ(run(p), " Number of equations:           40\n Half bandwidth:            3\n \n");
  }
  EXPECT_EQ(solvelog.calls, 0);

  // The built-in problem's header, with no array touched.
  std::ostringstream out;
  bench::runbenchmark(out, 0, nullptr, nullptr, nullptr, nullptr, 2000000, 8, 1, builtin, standinsolve);
  EXPECT_EQ(out.str(), " Number of equations:      2000000\n Half bandwidth:            8\n \n");
  EXPECT_EQ(solvelog.calls, 0);
}

TEST_F(BenchmarkRun, OneProcessor) {
  const std::string text = run(1);
  EXPECT_TRUE(text.starts_with(" Number of equations:           40\n Half bandwidth:            3\n \n"
                               " Processor:  1\n Elapsed Time (Seconds): "));
  expectreport(text, report(1));
  EXPECT_EQ(solvelog.tasks, std::vector<int>{1});
}

TEST_F(BenchmarkRun, EachRunSolvesTheFreshSystemWithItsTaskCount) {
  expectreport(run(3), report(3));
  EXPECT_EQ(solvelog.tasks, (std::vector<int>{1, 2, 3}));
  EXPECT_TRUE(solvelog.freshsystem);
}

TEST_F(BenchmarkRun, RunsBeyondThirtyTwoKeepTheirNumberButUseThirtyTwoTasks) {
  expectreport(run(33), report(33));
  ASSERT_EQ(solvelog.tasks.size(), 33u);
  EXPECT_EQ(solvelog.tasks[30], 31);
  EXPECT_EQ(solvelog.tasks[31], 32);
  EXPECT_EQ(solvelog.tasks[32], 32);
  EXPECT_TRUE(solvelog.freshsystem);
}

TEST_F(BenchmarkRun, RunNumbersFromHundredPrintAsterisks) {
  expectreport(run(100), report(100));
  EXPECT_EQ(solvelog.calls, 100);
}

TEST_F(BenchmarkRun, ElapsedTimeCoversTheSolve) {
  solvelog.sleepms = 120;
  const std::string text = run(1);
  const std::string label = " Elapsed Time (Seconds): ";
  const std::size_t at = text.find(label);
  ASSERT_NE(at, std::string::npos);
  EXPECT_GE(std::stod(text.substr(at + label.size(), 8)), 0.1);
}

TEST_F(BenchmarkRun, MemoryOverflowStopsBeforeAnyRun) {
  reserved.band -= 1;
  EXPECT_EQ(run(4), " Memory overflow\n");
  EXPECT_EQ(solvelog.calls, 0);
  EXPECT_TRUE(std::all_of(a.begin(), a.end(), [](float v) { return v == 0; }));
}

}  // namespace
