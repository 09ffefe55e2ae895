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

}  // namespace

template <class T, form F> void decompose(T* a, const int& n, const int& m, int& status, int& row) {
  int nb = 1;
  panelheight<T>(m, nb);
  int count = 0;
  gettasks(count);
  team crew(count);

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
  panelheight<T>(m, nb);
  int count = 0;
  gettasks(count);
  team crew(count);

  // The kernel solves one vector: one parallel run per column of b.
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
  team crew(count);

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
VELQO_INSTANTIATE(float, form::symmetric)
VELQO_INSTANTIATE(double, form::symmetric)
VELQO_INSTANTIATE(complex4, form::symmetric)
VELQO_INSTANTIATE(complex8, form::symmetric)
VELQO_INSTANTIATE(complex4, form::hermitian)
VELQO_INSTANTIATE(complex8, form::hermitian)
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
