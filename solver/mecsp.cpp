// The parallel solve entries: size the blocks, set up the shared scheduling
// variables and run the solve kernel in the library's number of tasks.
#include <algorithm>

#include "mtask/mtask.h"
#include "solver/def_velqo.h"
#include "solver/entries.h"
#include "solver/kernel.h"
#include "solver/team.h"
#include "solver/velqo.h"

namespace velqo {

template <class T, form F>
void solution(T* a, const int& n, const int& m, T* b, const int& nrhs, T* workspace, int& status, int& row) {
  if constexpr (is_complex<T>) {
    def_velqo::requiregrainsizeforcomplex();
  } else {
    def_velqo::requiregrainsize();
  }
  int count = 0;
  gettasks(count);
  team crew(count);

  // The shared scheduling state, as the kernel expects it at the start of S1.
  // The block counters and the runs change hands with every batch of blocks,
  // the failure flags and eps are read for every block, the level variables
  // change at barriers only.
  const int grain = def_velqo::grainsize;
  const int blocksize = std::max(grain * grain / std::max(m, 1), m + 1);
  own_line<int> nextblock{1}, backblock{0}, failed_row{0};
  struct level_state {
    int levelfactor, distance, stride, levelfirst;
  };
  own_line<level_state> level{{1, blocksize, 2 * blocksize, 1}};
  own_line<failure_flags<T>> failure{};
  own_line<block_runs> runs{};
  T* tspike = workspace;
  T* spike = workspace + index_t(std::max(n, 0)) * m;
  int* rowp = &failed_row.value;

  level_state& l = level.value;
  block_runs* runsp = &runs.value;
  // The team dispatches the kernel's share routine with the kernel and its 21 arguments.
  crew.run([](int& handle, auto routine, auto&... args) { mtask::dispatch_22(handle, routine, args...); },
           &p_mesolution<T, F>, a, n, m, b, nrhs, tspike, spike, crew.lock, crew.events, blocksize, crew.ntasks,
           l.levelfactor, l.distance, l.stride, l.levelfirst, nextblock.value, backblock.value, failure.value.eps,
           failure.value.info, rowp, runsp);
  status = failure.value.info[0] | failure.value.info[1];
  row = status != 0 ? failed_row.value : 0;
}  // the team deletes the lock and the events

#define VELQO_INSTANTIATE(T, F) \
  template void solution<T, F>(T*, const int&, const int&, T*, const int&, T*, int&, int&);
VELQO_FOR_EACH_TYPE_AND_FORM(VELQO_INSTANTIATE)
#undef VELQO_INSTANTIATE

// The named entries.
#define VELQO_SOLVE_ENTRY(NAME, T, F)                                                                        \
  void NAME(T* a, const int& n, const int& m, T* b, const int& nrhs, T* workspace, int& status) {           \
    int row = 0;                                                                                            \
    solution<T, F>(a, n, m, b, nrhs, workspace, status, row);                                               \
  }
VELQO_SOLVE_ENTRY(mesolution_csp_4, float, form::symmetric)
VELQO_SOLVE_ENTRY(mesolution_csp_8, double, form::symmetric)
VELQO_SOLVE_ENTRY(mesolution_csp_z4, complex4, form::symmetric)
VELQO_SOLVE_ENTRY(mesolution_csp_z8, complex8, form::symmetric)
VELQO_SOLVE_ENTRY(mesolution_hpd_z4, complex4, form::hermitian)
VELQO_SOLVE_ENTRY(mesolution_hpd_z8, complex8, form::hermitian)
#undef VELQO_SOLVE_ENTRY

}  // namespace velqo
