// The task-count rules and the grain rules of module def_velqo.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <vector>

#include "mtask/detail.h"
#include "mtask/mtask.h"
#include "solver/def_velqo.h"
#include "solver/testing.h"
#include "solver/velqo.h"

namespace {

using namespace velqo;
using velqo::testing::override_processor_count;
using velqo::testing::reset_library_state;

class TaskCount : public ::testing::Test {
 protected:
  void SetUp() override { reset_library_state(); }
  void TearDown() override {
    velqo::testing::ask_processor_count_with(nullptr);
    override_processor_count(0);
    reset_library_state();
  }
  /// A fresh run on a machine with the given number of processors.
  static void machine(int processors) {
    reset_library_state();
    override_processor_count(processors);
  }
  static int tasks() {
    int count = -1;
    gettasks(count);
    return count;
  }
};

TEST_F(TaskCount, FirstRequestTakesEveryProcessorUncapped) {
  for (int processors : {1, 4, 64}) {
    machine(processors);
    EXPECT_EQ(tasks(), processors);
  }
  // Without the override the machine's own count applies.
  machine(0);
  int cpus = 0;
  mtask::getcpus(cpus);
  EXPECT_EQ(tasks(), cpus);
}

TEST_F(TaskCount, SetTasksCapsAtThirtyTwoAndAtTheProcessors) {
  machine(64);
  const std::pair<int, int> on64[] = {{40, 32}, {32, 32}, {33, 32}, {1, 1}, {17, 17}};
  for (const auto& [asked, granted] : on64) {
    settasks(asked);
    EXPECT_EQ(tasks(), granted) << "settasks(" << asked << ")";
  }
  machine(4);
  settasks(8);
  EXPECT_EQ(tasks(), 4);
}

TEST_F(TaskCount, ZeroAndResetChooseEveryProcessorAgain) {
  machine(64);
  settasks(0);
  EXPECT_EQ(tasks(), 64);  // 0 means "not chosen"
  settasks(-3);
  EXPECT_EQ(tasks(), -3);  // no lower bound
  resettasks();
  EXPECT_EQ(tasks(), 64);  // no cap
}

// The processor count as a scripted sequence of answers (the last one repeated),
// counting how often the rules ask.
struct ScriptedProcessors {
  static inline std::vector<int> answers;
  static inline int asked = 0;
  static void ask(int& count) {
    count = answers[std::min<std::size_t>(asked, answers.size() - 1)];
    ++asked;
  }
  static void script(std::vector<int> sequence) {
    reset_library_state();
    answers = std::move(sequence);
    asked = 0;
    velqo::testing::ask_processor_count_with(ask);
  }
};

TEST_F(TaskCount, ProcessorCountOfZeroIsAskedForAgainAtEachUse) {
  ScriptedProcessors::script({0, 0, 6});
  EXPECT_EQ(tasks(), 0);
  EXPECT_EQ(tasks(), 0);
  EXPECT_EQ(ScriptedProcessors::asked, 2);
  settasks(3);  // the third answer, 6, is kept from now on
  EXPECT_EQ(tasks(), 3);
  resettasks();
  EXPECT_EQ(tasks(), 6);
  settasks(0);
  EXPECT_EQ(tasks(), 6);
  EXPECT_EQ(ScriptedProcessors::asked, 3);
}

TEST_F(TaskCount, NegativeProcessorCountIsKept) {
  ScriptedProcessors::script({-1, 5});
  EXPECT_EQ(tasks(), -1);
  settasks(4);
  EXPECT_EQ(tasks(), -1);
  resettasks();
  EXPECT_EQ(tasks(), -1);
  EXPECT_EQ(ScriptedProcessors::asked, 1);
}

// velqodone shuts the runtime down (what a solve started) and keeps the task
// count and the grain sizes. It ends the runtime's use: a process of its own.
TEST_F(TaskCount, DoneShutsTheRuntimeDownAndKeepsTheLibraryState) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(std::exit([] {
    machine(4);
    settasks(2);
    const int n = 50, m = 2;
    std::vector<double> a(n + (n - 1) * m, -1.0), b(n, 1.0), w(2 * n * m);
    for (int j = 0; j < n; ++j) a[j * (m + 1)] = 5;
    int status = -1;
    mesolution_csp_8(a.data(), n, m, b.data(), 1, w.data(), status);
    velqodone();
    return status == 0 && mtask::detail::stopped_mutexes() == 2 && tasks() == 2 && def_velqo::grainsize == 24
               ? 0
               : 1;
  }()),
              ::testing::ExitedWithCode(0), "");
}

class GrainRules : public TaskCount {
 protected:
  static void expect_grains(int first, int second, int third) {
    EXPECT_EQ(def_velqo::grainsize, first);
    EXPECT_EQ(def_velqo::grainsize2, second);
    EXPECT_EQ(def_velqo::grainsize3, third);
  }
};

TEST_F(GrainRules, UnsetUntilTheFirstRule) {
  machine(8);
  def_velqo::def_velqo();
  expect_grains(0, 0, 0);
  def_velqo::requiregrainsizeforqp();
  def_velqo::requiregrainsize();
  expect_grains(8, 6, 4);
  reset_library_state();
  expect_grains(0, 0, 0);
}

TEST_F(GrainRules, FirstComplexSolveWithTwoTasksFixesTheRun) {
  machine(64);
  settasks(2);
  def_velqo::requiregrainsizeforcomplex();
  expect_grains(16, 8, 6);
  settasks(8);
  def_velqo::requiregrainsizeforcomplex();
  def_velqo::requiregrainsize();
  def_velqo::requiregrainsizeforqp();
  expect_grains(16, 8, 6);
}

TEST_F(GrainRules, FirstComplexSolveWithThreeTasksFixesTheRun) {
  machine(64);
  settasks(3);
  def_velqo::requiregrainsizeforcomplex();
  expect_grains(8, 6, 4);
  settasks(1);
  def_velqo::requiregrainsize();
  def_velqo::requiregrainsizeforcomplex();
  expect_grains(8, 6, 4);
}

TEST_F(GrainRules, FirstRealSolveFixesTheRun) {
  machine(64);
  settasks(2);
  def_velqo::requiregrainsize();
  expect_grains(24, 12, 8);
  def_velqo::requiregrainsizeforcomplex();
  expect_grains(24, 12, 8);
}

TEST_F(GrainRules, ComplexRuleChoosesTheTaskCountWhenNoneWasChosen) {
  // On two processors the first request chooses two tasks, on three three.
  machine(2);
  def_velqo::requiregrainsizeforcomplex();
  expect_grains(16, 8, 6);
  EXPECT_EQ(tasks(), 2);

  machine(3);
  def_velqo::requiregrainsizeforcomplex();
  expect_grains(8, 6, 4);
  EXPECT_EQ(tasks(), 3);
}

}  // namespace
