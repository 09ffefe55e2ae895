// Module def_velqo: the grain sizes, fixed by the first grain rule that runs.
#include "solver/def_velqo.h"
#include "solver/velqo.h"

namespace velqo::def_velqo {

int grainsize = 0;
int grainsize2 = 0;
int grainsize3 = 0;

namespace {

/// The task count a rule found when it fixed the grain sizes.
int ntasks = 0;

void setgrainsizes(const int& first, const int& second, const int& third) {
  grainsize = first;
  grainsize2 = second;
  grainsize3 = third;
}

}  // namespace

void def_velqo() {}

void requiregrainsize() {
  if (grainsize > 0) return;
  gettasks(ntasks);
  setgrainsizes(24, 12, 8);
}

void requiregrainsizeforcomplex() {
  if (grainsize > 0) return;
  gettasks(ntasks);
  // The task count of this first call decides; later changes do not count.
  if (ntasks <= 2) {
    setgrainsizes(16, 8, 6);
  } else {
    setgrainsizes(8, 6, 4);
  }
}

void requiregrainsizeforqp() {
  if (grainsize > 0) return;
  gettasks(ntasks);
  setgrainsizes(8, 6, 4);
}

}  // namespace velqo::def_velqo
