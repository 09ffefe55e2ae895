// The library's internal kernel group: the sequential block factorisation, the
// per-task parallel kernels and the numerical block steps. Exposed for the tests
// and for callers who drive the kernels through the runtime themselves.
//
// Each routine is written once as a template over the element type T (float,
// double, complex4, complex8) and the form F (solver/scalar.h): form::symmetric
// factorises A = L·Lᵀ and never conjugates, form::hermitian factorises A = L·Lᴴ
// with a real positive diagonal. The named variants are thin wrappers: _csp_4,
// _csp_8, _csp_z4, _csp_z8 the symmetric form, _hpd_z4, _hpd_z8 the Hermitian
// one (for real types the forms are the same). real_type<T> is the type of the
// pivot threshold eps.
//
// The templates named after what they do (decompose_block, p_mesolution,
// p_decompose, p_substitute, p_solution) take the form and, where a pivot can
// fail, a pointer row (may be null) in which the tasks record the first row
// whose pivot failed, by an atomic minimum (record_row in solver/flags.h;
// *row = 0 before the call). The templates with _csp in their name are the
// symmetric form without a row.
//
// The parallel kernels compute in the floating-point mode of the thread that
// runs them. The entries run every share with flush-to-zero set (solver/team.h,
// solver/fpmode.h); a caller who drives the kernels itself gets the entries'
// bits when its tasks do the same. decompose_block sets flush-to-zero itself.
#pragma once

#include <atomic>

#include "mtask/mtask.h"
#include "solver/bandstorage.h"
#include "solver/scalar.h"

namespace velqo {

// ------------------------------------------------- templates over the form

/// decompose_csp in form F; returns the row (and column) of the pivot that
/// failed, 0 when none did.
template <class T, form F>
int decompose_block(T* a, const int& m, const int& first, const int& last, const real_type<T>& eps, int* info,
                    const int& parity);

/// decompose_block over rows 1 … n (parity 1) with the forward substitution
/// L·y = b for one right-hand side carried along, y overwriting b, where one
/// task factorises m with the narrow- or medium-band steps (real types);
/// false, with nothing done, elsewhere. The factor and y are bit for bit those of
/// decompose_block and of p_substitute's forward sweep; row as there.
template <class T, form F>
bool decompose_forward(T* a, const int& n, const int& m, T* b, const real_type<T>& eps, int* info, int& row);

/// Where the tasks of a team take a stage's blocks, so that a task works on the
/// same rows from stage to stage and finds in its own caches the spikes and
/// right-hand sides it wrote in the stage before. The stage's blocks are cut
/// into one run of consecutive blocks per task, and each task takes its run's
/// index on arrival; a task takes the blocks of its own run first, then helps
/// with the runs after it in turn. The entries keep one for each solve, zero
/// at the start; the last task at a stage barrier restarts it.
struct block_runs {
  static constexpr int most = mtask::maxslots + 1;  // the calling thread and a task per slot
  int arrivals = 0;                                 // the runs handed out so far
  int taken[most] = {};                             // the blocks taken from each run in this stage
  void restart() {
    for (int& t : taken) t = 0;
  }
};

/// p_mesolution_csp in form F. In a stage whose pivot failed, row receives the
/// smallest row at which a block of the stage fails its factorisation: every
/// block of the stage that begins before it is factorised (and nothing more is
/// done with it), so the row does not depend on the task count. It says where
/// the reduction found that the matrix is not positive definite; a block of a
/// level above 0 holds Schur complements, so an earlier leading minor may be
/// the first that is not.
/// With runs, the tasks take the blocks by runs (above) and leave nextblock and
/// backblock at each stage's first block; without, they take them from those
/// counters in ascending order. x is the same bit for bit.
template <class T, form F>
void p_mesolution(T* a, const int& n, const int& m, T* b, const int& nrhs, T* tspike, T* spike, const int& lock,
                  int* events, const int& blocksize, const int& ntasks, int& levelfactor, int& distance,
                  int& stride, int& levelfirst, int& nextblock, int& backblock, const real_type<T>& eps, int* info,
                  int* row, block_runs* runs = nullptr);

/// The stages of p_mesolution: S1 eliminates level 0, S2(r) passes the Schur
/// complements to the survivors of level r − 1, S3(r) eliminates level r, and
/// S4 solves one level of the backward sweep.
enum class stage_kind { eliminate_band, update, eliminate_fill, backward };

/// The scheduling values that stay fixed during a stage, as p_mesolution holds
/// them: the partner distance, the stride between the stage's blocks and the
/// first row of the level's first block. Every task keeps its own copy.
struct stage_values {
  int distance, stride, levelfirst;
};

/// One task's share of one stage of p_mesolution in form F, for the stage's
/// blocks that begin at rows nextblock, nextblock + stride, … up to until: the
/// blocks are taken from the shared counter nextblock under lock and worked with
/// the steps p_mesolution runs on them. The stage ends when the tasks have
/// returned (the caller joins them; there is no barrier). A pivot not greater
/// than eps in an elimination stage sets info(1) and records the row as
/// p_mesolution does. Run over a stage's blocks in any split into ranges, the
/// stages in p_mesolution's order give its bits.
template <class T, form F>
void p_stage(T* a, const int& n, const int& m, T* b, const int& nrhs, T* tspike, T* spike, const int& lock,
             const int& blocksize, const int& ntasks, const stage_kind& kind, const stage_values& now,
             int& nextblock, const int& until, const real_type<T>& eps, int* info, int* row);

/// p_decompose_csp in form F; row receives the row of the failing pivot, the
/// order of the first leading minor that is not positive definite.
template <class T, form F>
void p_decompose(T* a, const int& n, const int& m, const int& nb, const int& lock, int* events, const int& ntasks,
                 int& s, int& nextblock, const real_type<T>& eps, int* info, int* row);

/// p_substitute_csp in form F: L·Lᴴ·x = b in the Hermitian form.
template <class T, form F>
void p_substitute(const T* a, const int& n, const int& m, T* b, const int& nb, const int& lock, int* events,
                  const int& ntasks, int& s, int& nextblock, int& S, int& nextb);

/// p_solution_csp in form F; row as for p_decompose.
template <class T, form F>
void p_solution(T* a, const int& n, const int& m, T* b, const int& nb, const int& lock, int* events,
                const int& ntasks, int& s, int& nextblock, int& S, int& nextb, const real_type<T>& eps, int* info,
                int* row);

/// A share of the pipelined factorisation of the whole band (rows 1 … n), for
/// tasks started with the same arguments, next = progress = 0 and info = (0, 0).
/// Each task takes the next block of w columns from the counter next and owns
/// it: it applies the updates of the earlier columns as they are finished (a
/// column's factorisation publishes it in progress, release; a task waits for
/// it with acquire, spinning, then sleeping), then factorises the block's
/// columns down to the end of the band. While the block before is being
/// factorised, the next block's owner applies the updates of the columns before
/// it but the last few (which lie in memory next to the block being factorised:
/// see the kernel), so two tasks overlap wherever the band is wider than about
/// three blocks. Every
/// element takes the operations of decompose_block over rows 1 … n in the same
/// order, so the factor is that one bit for bit, for any w and task count.
/// With b, the forward substitution L·y = b is carried along block by block. A
/// pivot not greater than eps sets info(1), records its row and stores −1 in
/// progress, and every task then returns; the columns of the blocks before the
/// failing one are finished, the later ones may hold some of their updates.
template <class T, form F>
void p_pipeline(T* a, const int& n, const int& m, T* b, const int& w, const int& ntasks, std::atomic<int>& next,
                std::atomic<int>& progress, const real_type<T>& eps, int* info, int* row);

/// The backward sweep of p_substitute alone (Lᵀ·x = y, or Lᴴ·x = y), by panels
/// of h rows, for a y left in b by p_pipeline; S = nextb = n on entry.
template <class T, form F>
void p_backward(const T* a, const int& n, const int& m, T* b, const int& h, const int& lock, int* events,
                const int& ntasks, int& S, int& nextb);

/// The substitution for one right-hand side in two tasks (with forward: L·y = b
/// and then Lᵀ·x = y, or Lᴴ·x = y; without: the backward sweep alone, for a y
/// left in b). One task sweeps by panels of h rows as p_substitute does in one
/// task, so x is that one bit for bit; the other fetches the band into the
/// caches ahead of it. A sweep reads each element of the band once for one
/// multiply-add, and one processor keeps too few reads in flight to use the
/// memory's bandwidth; a second one fetching the lines the sweep reads next
/// keeps more. Started with roles = 0 and swept = 0 (with forward) or
/// n·(m + 1) (without); a task started alone sweeps alone.
template <class T, form F>
void p_streamed(const T* a, const int& n, const int& m, T* b, const int& h, const bool& forward,
                std::atomic<int>& roles, std::atomic<index_t>& swept);

// ------------------------------------------------- band block factorisation

/// Factorises the diagonal block first … last of the band matrix a in place as
/// L·Lᵀ (left-looking, column by column), using only the block's own columns.
/// A pivot not strictly greater than eps (its modulus, for complex types; NaN
/// always fails) sets info(parity) ← 1 and stops: the earlier columns are then
/// finished, the failing column is updated but not scaled, the later ones are
/// untouched. A successful call never clears info. It computes with
/// flush-to-zero set, as the parallel entries do, so that their factor is this
/// one bit for bit also where an update would be subnormal; the caller's mode is
/// back on return.
template <class T>
void decompose_csp(T* a, const int& m, const int& first, const int& last,
                   const real_type<T>& eps, int* info, const int& parity);

void decompose_csp_4(float* a, const int& m, const int& first, const int& last,
                     const float& eps, int* info, const int& parity);
void decompose_csp_8(double* a, const int& m, const int& first, const int& last,
                     const double& eps, int* info, const int& parity);
void decompose_csp_z4(complex4* a, const int& m, const int& first, const int& last,
                      const float& eps, int* info, const int& parity);
void decompose_csp_z8(complex8* a, const int& m, const int& first, const int& last,
                      const double& eps, int* info, const int& parity);

// ------------------------------------------------------ parallel solve kernel

/// The share of one task in a parallel solve of a·x = b by block cyclic
/// reduction: every task of the solve calls it with the same arguments. It
/// factorises blocks of blocksize rows taken from the shared counters nextblock
/// and backblock under lock, applies the Schur updates between them level by
/// level, and solves the nrhs right-hand sides in b in place. tspike (m × n) and
/// spike (n × m) are work arrays. The scheduling variables levelfactor, distance,
/// stride, levelfirst, nextblock and backblock start at 1, blocksize, 2·blocksize,
/// 1, 1 and 0; events(1) is initialised for ntasks arrivals and info = (0, 0).
/// Each stage ends at a barrier on events(parity); a pivot not greater than eps
/// sets info(parity) ← 1, and every task returns after that stage's barrier.
/// The results do not depend on the task count; a count below 1 counts as one.
template <class T>
void p_mesolution_csp(T* a, const int& n, const int& m, T* b, const int& nrhs, T* tspike, T* spike,
                      const int& lock, int* events, const int& blocksize, const int& ntasks, int& levelfactor,
                      int& distance, int& stride, int& levelfirst, int& nextblock, int& backblock,
                      const real_type<T>& eps, int* info);

void p_mesolution_csp_4(float* a, const int& n, const int& m, float* b, const int& nrhs, float* tspike,
                        float* spike, const int& lock, int* events, const int& blocksize, const int& ntasks,
                        int& levelfactor, int& distance, int& stride, int& levelfirst, int& nextblock,
                        int& backblock, const float& eps, int* info);
void p_mesolution_csp_8(double* a, const int& n, const int& m, double* b, const int& nrhs, double* tspike,
                        double* spike, const int& lock, int* events, const int& blocksize, const int& ntasks,
                        int& levelfactor, int& distance, int& stride, int& levelfirst, int& nextblock,
                        int& backblock, const double& eps, int* info);
void p_mesolution_csp_z4(complex4* a, const int& n, const int& m, complex4* b, const int& nrhs,
                         complex4* tspike, complex4* spike, const int& lock, int* events, const int& blocksize,
                         const int& ntasks, int& levelfactor, int& distance, int& stride, int& levelfirst,
                         int& nextblock, int& backblock, const float& eps, int* info);
void p_mesolution_csp_z8(complex8* a, const int& n, const int& m, complex8* b, const int& nrhs,
                         complex8* tspike, complex8* spike, const int& lock, int* events, const int& blocksize,
                         const int& ntasks, int& levelfactor, int& distance, int& stride, int& levelfirst,
                         int& nextblock, int& backblock, const double& eps, int* info);

}  // namespace velqo

namespace velqo {

// ------------------------------- stand-alone parallel factorisation and solve
//
// Every task of a call runs the kernel with the same arguments. The work goes
// by panels of nb rows (nb ≥ 1), one panel per stage; blocks of rows are taken
// from the shared counter nextblock (nextb upwards) under lock, and each stage
// ends at a barrier on events(parity), the parity alternating from 1. Before the
// first task starts the caller creates lock and both events, initialises
// events(1) for ntasks arrivals, sets s = nextblock = 1, S = nextb = n and
// info = (0, 0). A pivot not greater than eps sets info(parity) of its stage;
// every task then returns after that stage's barrier. Results do not depend on
// the task count; a count below 1 counts as one.

/// Factorises the whole band matrix in place as A = L·Lᵀ. The factor is bit for
/// bit that of decompose_csp over rows 1 … n, for any nb and task count.
template <class T>
void p_decompose_csp(T* a, const int& n, const int& m, const int& nb, const int& lock, int* events,
                     const int& ntasks, int& s, int& nextblock, const real_type<T>& eps, int* info);

/// Solves L·Lᵀ·x = b for one right-hand side with the factor L held in a: the
/// forward sweep L·y = b, then the backward sweep Lᵀ·x = y, both by panels of nb
/// rows; x overwrites b. Nothing is checked: a zero in the diagonal of L gives
/// infinite or undefined values.
template <class T>
void p_substitute_csp(const T* a, const int& n, const int& m, T* b, const int& nb, const int& lock, int* events,
                      const int& ntasks, int& s, int& nextblock, int& S, int& nextb);

/// Factorises a as p_decompose_csp does, carrying the forward sweep for one
/// right-hand side b along, then solves the backward sweep by panels of 2·nb
/// rows. After a failed pivot b holds a partly transformed right-hand side.
template <class T>
void p_solution_csp(T* a, const int& n, const int& m, T* b, const int& nb, const int& lock, int* events,
                    const int& ntasks, int& s, int& nextblock, int& S, int& nextb, const real_type<T>& eps,
                    int* info);

void p_decompose_csp_4(float* a, const int& n, const int& m, const int& nb, const int& lock, int* events,
                       const int& ntasks, int& s, int& nextblock, const float& eps, int* info);
void p_decompose_csp_8(double* a, const int& n, const int& m, const int& nb, const int& lock, int* events,
                       const int& ntasks, int& s, int& nextblock, const double& eps, int* info);
void p_decompose_csp_z4(complex4* a, const int& n, const int& m, const int& nb, const int& lock, int* events,
                        const int& ntasks, int& s, int& nextblock, const float& eps, int* info);
void p_decompose_csp_z8(complex8* a, const int& n, const int& m, const int& nb, const int& lock, int* events,
                        const int& ntasks, int& s, int& nextblock, const double& eps, int* info);

void p_substitute_csp_4(const float* a, const int& n, const int& m, float* b, const int& nb, const int& lock,
                        int* events, const int& ntasks, int& s, int& nextblock, int& S, int& nextb);
void p_substitute_csp_8(const double* a, const int& n, const int& m, double* b, const int& nb, const int& lock,
                        int* events, const int& ntasks, int& s, int& nextblock, int& S, int& nextb);
void p_substitute_csp_z4(const complex4* a, const int& n, const int& m, complex4* b, const int& nb,
                         const int& lock, int* events, const int& ntasks, int& s, int& nextblock, int& S,
                         int& nextb);
void p_substitute_csp_z8(const complex8* a, const int& n, const int& m, complex8* b, const int& nb,
                         const int& lock, int* events, const int& ntasks, int& s, int& nextblock, int& S,
                         int& nextb);

void p_solution_csp_4(float* a, const int& n, const int& m, float* b, const int& nb, const int& lock,
                      int* events, const int& ntasks, int& s, int& nextblock, int& S, int& nextb,
                      const float& eps, int* info);
void p_solution_csp_8(double* a, const int& n, const int& m, double* b, const int& nb, const int& lock,
                      int* events, const int& ntasks, int& s, int& nextblock, int& S, int& nextb,
                      const double& eps, int* info);
void p_solution_csp_z4(complex4* a, const int& n, const int& m, complex4* b, const int& nb, const int& lock,
                       int* events, const int& ntasks, int& s, int& nextblock, int& S, int& nextb,
                       const float& eps, int* info);
void p_solution_csp_z8(complex8* a, const int& n, const int& m, complex8* b, const int& nb, const int& lock,
                       int* events, const int& ntasks, int& s, int& nextblock, int& S, int& nextb,
                       const double& eps, int* info);

}  // namespace velqo

namespace velqo {

// --------------------------------------------------------- Hermitian form
//
// The same kernels for a Hermitian positive-definite band matrix, A = L·Lᴴ:
// the arguments are those of the _csp_ variants, the factor L has a real
// positive diagonal (zero imaginary parts), a pivot fails when its real part is
// not greater than eps (or NaN), and the imaginary parts of the stored diagonal
// of A are ignored.

void decompose_hpd_z4(complex4* a, const int& m, const int& first, const int& last, const float& eps, int* info,
                      const int& parity);
void decompose_hpd_z8(complex8* a, const int& m, const int& first, const int& last, const double& eps, int* info,
                      const int& parity);

void p_mesolution_hpd_z4(complex4* a, const int& n, const int& m, complex4* b, const int& nrhs,
                         complex4* tspike, complex4* spike, const int& lock, int* events, const int& blocksize,
                         const int& ntasks, int& levelfactor, int& distance, int& stride, int& levelfirst,
                         int& nextblock, int& backblock, const float& eps, int* info);
void p_mesolution_hpd_z8(complex8* a, const int& n, const int& m, complex8* b, const int& nrhs,
                         complex8* tspike, complex8* spike, const int& lock, int* events, const int& blocksize,
                         const int& ntasks, int& levelfactor, int& distance, int& stride, int& levelfirst,
                         int& nextblock, int& backblock, const double& eps, int* info);

void p_decompose_hpd_z4(complex4* a, const int& n, const int& m, const int& nb, const int& lock, int* events,
                        const int& ntasks, int& s, int& nextblock, const float& eps, int* info);
void p_decompose_hpd_z8(complex8* a, const int& n, const int& m, const int& nb, const int& lock, int* events,
                        const int& ntasks, int& s, int& nextblock, const double& eps, int* info);
void p_substitute_hpd_z4(const complex4* a, const int& n, const int& m, complex4* b, const int& nb,
                         const int& lock, int* events, const int& ntasks, int& s, int& nextblock, int& S,
                         int& nextb);
void p_substitute_hpd_z8(const complex8* a, const int& n, const int& m, complex8* b, const int& nb,
                         const int& lock, int* events, const int& ntasks, int& s, int& nextblock, int& S,
                         int& nextb);
void p_solution_hpd_z4(complex4* a, const int& n, const int& m, complex4* b, const int& nb, const int& lock,
                       int* events, const int& ntasks, int& s, int& nextblock, int& S, int& nextb,
                       const float& eps, int* info);
void p_solution_hpd_z8(complex8* a, const int& n, const int& m, complex8* b, const int& nb, const int& lock,
                       int* events, const int& ntasks, int& s, int& nextblock, int& S, int& nextb,
                       const double& eps, int* info);

}  // namespace velqo
