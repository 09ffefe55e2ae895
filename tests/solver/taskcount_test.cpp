// The task-count rules and the grain rules of module def_velqo.
#include <gtest/gtest.h>

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
