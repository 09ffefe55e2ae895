// The stand-alone parallel entries: factorise, substitute with a factor, or
// factorise and solve in one pass, each in the library's number of tasks.
#include <algorithm>

#include "mtask/mtask.h"
#include "solver/def_velqo.h"
#include "solver/entries.h"
#include "solver/kernel.h"
#include "solver/team.h"
#include "solver/velqo.h"

namespace velqo {
namespace {

// Panel height nb. The stage's work lies in the m rows below the previous panel,
// cut into blocks of 2·nb rows, so a panel at least as high as the band leaves
// one block per stage; nb = grain keeps about m / (2·grain) blocks for the tasks
// on a wide band, each with some 2·grain²·m updates. A band narrower than the
// grain leaves the panel block alone in every stage, whatever the panel height:
// there is nothing to share, and each stage costs a barrier, so the panel grows
// to 64·grain² / m rows (a few thousand) to save barriers. nb depends on the
// band and the grain only, never on the task count, so the backward sweeps,
// whose rounding follows the panel height, give the same x for every task count.
template <class T> void panelheight(const int& m, int& nb) {
  if constexpr (is_complex<T>) {
    def_velqo::requiregrainsizeforcomplex();
  } else {
    def_velqo::requiregrainsize();
  }
  const int grain = std::max(def_velqo::grainsize, 1);
  const int narrow = m < grain ? 64 : 1;  // a narrow band's panels are 64 times taller
  nb = std::max(narrow * grain * grain / std::max(m, 1), grain);
}

// How many of the library's tasks share a factorisation. A stage hands out its
// panel block, which completes the previous panel's columns in its own rows,
// updates its diagonal block and factorises it, and blocks below it that only
// complete those columns in their rows, down to m rows below the panel. Only
// the latter can run beside the panel block. Each task beyond the first costs
// every stage a barrier and block hand-outs, and the tasks' rows share the
// band's cache lines (a band column holds the m + 1 rows of one column): on the
// 2-core development machine two tasks were never faster than one up to
// m = 256 (0.91 times as fast in float at m = 256, a third as fast in double),
// so a task is added only for every 2^20 multiply-adds of that work, from
// m ≈ 310 on with the real grain of 24.
// A band narrower than the panel leaves no such work: its factorisation is one
// chain of columns, each waiting for the one before, and runs in one task.
// Row d of the stage (counted from its first row, d ≥ nb) takes m − d − c
// updates in column c of the previous panel (c = 1 … nb, counted from its last
// column) where that is positive, so the work below the panel block is the sum
// over c of 1 + 2 + … + (m − nb − c). The factor is the same for every task
// count, so this choice changes the time only.
template <class T> int factorisation_tasks(const int& m, const int& nb, const int& count) {
  constexpr double per_task = is_complex<T> ? 1048576.0 / 4 : 1048576.0;  // a complex update is 4 real ones
  double below = 0;
  for (int c = 1; c <= nb && m - nb - c > 0; ++c) {
    const double x = m - nb - c;
    below += x * (x + 1) / 2;
  }
  return int(std::clamp(1 + below / per_task, 1.0, double(std::max(count, 1))));
}

// The substitution's panel height and task count. A stage of the forward or
// backward sweep solves its panel's rows one after the other and passes the
// panel's contributions on to the m rows beside it, fewer than nb·m
// multiply-adds, which is too little to share among tasks: the substitution
// runs in one task, in panels as tall as a narrow band's, so that it passes
// few barriers. Like nb, the height depends on the band and the grain only,
// so x is the same for every task count.
template <class T> void substitution_height(const int& m, int& h) {
  int nb = 1;
  panelheight<T>(m, nb);
  const int grain = std::max(def_velqo::grainsize, 1);
  h = std::max(nb, 64 * grain * grain / std::max(m, 1));
}

}  // namespace

template <class T, form F> void decompose(T* a, const int& n, const int& m, int& status, int& row) {
  int nb = 1;
  panelheight<T>(m, nb);
  int count = 0;
  gettasks(count);
  team crew(factorisation_tasks<T>(m, nb, count));

  // Shared variables on lines of their own (see own_line): the block counter is
  // written for every block, the flags and eps read for every block.
  own_line<int> s{1}, nextblock{1}, failed_row{0};
  own_line<failure_flags<T>> failure{};
  int* rowp = &failed_row.value;
  crew.run(&p_decompose<T, F>, a, n, m, nb, crew.lock, crew.events, crew.ntasks, s.value, nextblock.value,
           failure.value.eps, failure.value.info, rowp);
  status = failure.value.info[0] | failure.value.info[1];
  row = status != 0 ? failed_row.value : 0;
}

template <class T, form F> void substitute(const T* a, const int& n, const int& m, T* b, const int& nrhs) {
  int nb = 1;
  substitution_height<T>(m, nb);
  team crew(1);

  // The kernel solves one vector: one run per column of b.
  for (int k = 1; k <= nrhs; ++k) {
    T* column = &at(b, n, 1, k);
    own_line<int> s{1}, nextblock{1}, S{n}, nextb{n};
    if (k > 1) mtask::initializeparallelevent(crew.events[0], crew.ntasks);
    crew.run(&p_substitute<T, F>, a, n, m, column, nb, crew.lock, crew.events, crew.ntasks, s.value,
             nextblock.value, S.value, nextb.value);
  }
}

template <class T, form F> void factorsolve(T* a, const int& n, const int& m, T* b, int& status, int& row) {
  int nb = 1;
  panelheight<T>(m, nb);
  int count = 0;
  gettasks(count);
  team crew(factorisation_tasks<T>(m, nb, count));

  own_line<int> s{1}, nextblock{1}, S{n}, nextb{n}, failed_row{0};
  own_line<failure_flags<T>> failure{};
  int* rowp = &failed_row.value;
  crew.run(&p_solution<T, F>, a, n, m, b, nb, crew.lock, crew.events, crew.ntasks, s.value, nextblock.value,
           S.value, nextb.value, failure.value.eps, failure.value.info, rowp);
  status = failure.value.info[0] | failure.value.info[1];
  row = status != 0 ? failed_row.value : 0;
}

#define VELQO_INSTANTIATE(T, F)                                                               \
  template void decompose<T, F>(T*, const int&, const int&, int&, int&);                      \
  template void substitute<T, F>(const T*, const int&, const int&, T*, const int&);          \
  template void factorsolve<T, F>(T*, const int&, const int&, T*, int&, int&);
VELQO_FOR_EACH_TYPE_AND_FORM(VELQO_INSTANTIATE)
#undef VELQO_INSTANTIATE

// The named entries.
#define VELQO_STANDALONE_ENTRIES(KIND, SUFFIX, T, F)                                                         \
  void medecompose_##KIND##_##SUFFIX(T* a, const int& n, const int& m, int& status) {                       \
    int row = 0;                                                                                            \
    decompose<T, F>(a, n, m, status, row);                                                                  \
  }                                                                                                         \
  void mesubstitute_##KIND##_##SUFFIX(const T* a, const int& n, const int& m, T* b, const int& nrhs) {      \
    substitute<T, F>(a, n, m, b, nrhs);                                                                     \
  }                                                                                                         \
  void mefactorsolve_##KIND##_##SUFFIX(T* a, const int& n, const int& m, T* b, int& status) {               \
    int row = 0;                                                                                            \
    factorsolve<T, F>(a, n, m, b, status, row);                                                             \
  }
VELQO_STANDALONE_ENTRIES(csp, 4, float, form::symmetric)
VELQO_STANDALONE_ENTRIES(csp, 8, double, form::symmetric)
VELQO_STANDALONE_ENTRIES(csp, z4, complex4, form::symmetric)
VELQO_STANDALONE_ENTRIES(csp, z8, complex8, form::symmetric)
VELQO_STANDALONE_ENTRIES(hpd, z4, complex4, form::hermitian)
VELQO_STANDALONE_ENTRIES(hpd, z8, complex8, form::hermitian)
#undef VELQO_STANDALONE_ENTRIES

}  // namespace velqo
