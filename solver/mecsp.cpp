// The parallel solve entries: size the blocks, set up the shared scheduling
// variables and run the solve kernel in the library's number of tasks.
#include <algorithm>

#include "mtask/mtask.h"
#include "solver/def_velqo.h"
#include "solver/kernel.h"
#include "solver/team.h"
#include "solver/velqo.h"

namespace velqo {
namespace {

template <class T>
using solve_kernel = void (*)(T*, const int&, const int&, T*, const int&, T*, T*, const int&, int*, const int&,
                              const int&, int&, int&, int&, int&, int&, int&, const real_type<T>&, int*);

template <class T>
void mesolution_csp(solve_kernel<T> kernel, T* a, const int& n, const int& m, T* b, const int& nrhs,
                    T* workspace, int& status) {
  if constexpr (is_complex<T>) {
    def_velqo::requiregrainsizeforcomplex();
  } else {
    def_velqo::requiregrainsize();
  }
  int count = 0;
  gettasks(count);
  team crew(count);

  // The shared scheduling state, as the kernel expects it at the start of S1.
  // The block counters change hands with every block, the failure flags and eps
  // are read for every block, the level variables change at barriers only.
  const int grain = def_velqo::grainsize;
  const int blocksize = std::max(grain * grain / std::max(m, 1), m + 1);
  own_line<int> nextblock{1}, backblock{0};
  struct level_state {
    int levelfactor, distance, stride, levelfirst;
  };
  own_line<level_state> level{{1, blocksize, 2 * blocksize, 1}};
  own_line<failure_flags<T>> failure{};
  T* tspike = workspace;
  T* spike = workspace + index_t(std::max(n, 0)) * m;

  level_state& l = level.value;
  // The team dispatches the kernel's share routine with the kernel and its 19 arguments.
  crew.run([](int& handle, auto routine, auto&... args) { mtask::dispatch_20(handle, routine, args...); },
           kernel, a, n, m, b, nrhs, tspike, spike, crew.lock, crew.events, blocksize, crew.ntasks, l.levelfactor,
           l.distance, l.stride, l.levelfirst, nextblock.value, backblock.value, failure.value.eps,
           failure.value.info);
  status = failure.value.info[0] | failure.value.info[1];
}  // the team deletes the lock and the events

}  // namespace

void mesolution_csp_4(float* a, const int& n, const int& m, float* b, const int& nrhs, float* workspace,
                      int& status) {
  mesolution_csp<float>(p_mesolution_csp_4, a, n, m, b, nrhs, workspace, status);
}
void mesolution_csp_8(double* a, const int& n, const int& m, double* b, const int& nrhs, double* workspace,
                      int& status) {
  mesolution_csp<double>(p_mesolution_csp_8, a, n, m, b, nrhs, workspace, status);
}
void mesolution_csp_z4(complex4* a, const int& n, const int& m, complex4* b, const int& nrhs,
                       complex4* workspace, int& status) {
  mesolution_csp<complex4>(p_mesolution_csp_z4, a, n, m, b, nrhs, workspace, status);
}
void mesolution_csp_z8(complex8* a, const int& n, const int& m, complex8* b, const int& nrhs,
                       complex8* workspace, int& status) {
  mesolution_csp<complex8>(p_mesolution_csp_z8, a, n, m, b, nrhs, workspace, status);
}

}  // namespace velqo
