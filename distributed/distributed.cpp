// The band solve over MPI ranks. Every rank runs the stages of the shared-memory
// reduction in the same order, each on the blocks that begin in its own rows;
// before a stage it receives the partner rows that its blocks read or write and
// that another rank holds, and after the stage it passes the rows it wrote back
// to that rank. Each rank works in whole-system arrays indexed by the rows of
// the system, as the shared-memory kernel does, of which it touches only its own
// rows and the partner rows it receives; so every step sees exactly what it sees
// in the shared-memory solve, and computes the same bits.
//
// The plan (which rank sends which rows to which before and after each stage)
// depends on n, m, nrhs and the row ranges only: it is made once, when the
// system is constructed, by walking the stages of the whole reduction on every
// rank alike, so that a send always meets its receive.
#include "distributed/velqo_mpi.h"

#include <sys/mman.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <new>
#include <stdexcept>
#include <vector>

#include "solver/bandstorage.h"
#include "solver/def_velqo.h"
#include "solver/kernel.h"
#include "solver/team.h"
#include "solver/velqo.h"

namespace velqo::mpi {
namespace {

/// The working arrays of a solve, each indexed by the rows of the whole system:
/// the band (columns), the spikes (rows, leading dimension n), the transposed
/// couplings (columns of m) and the right-hand sides (rows, leading dimension n).
enum class array { band, spike, tspike, rhs };

/// Rows (columns of the band and of tspike) first … last of one working array.
struct region {
  array which;
  int first, last;
};

/// Rows that one rank passes to another.
struct transfer {
  int from, to;
  region rows;
};

/// One stage of the reduction as this rank runs it: its blocks begin at rows
/// from, from + stride, … ≤ until (none when from > until); before and after
/// list the transfers between the ranks that this rank takes part in, in the
/// same order on every rank.
struct stage {
  stage_kind kind;
  stage_values now;
  int from, until;
  std::vector<transfer> before, after;
};

/// Address space for the whole-system arrays, of which only the touched pages
/// take memory.
class reservation {
 public:
  explicit reservation(std::size_t bytes) : bytes_(std::max<std::size_t>(bytes, 1)) {
    void* p = ::mmap(nullptr, bytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    base_ = p == MAP_FAILED ? nullptr : p;
  }
  ~reservation() {
    if (base_ != nullptr) ::munmap(base_, bytes_);
  }
  reservation(const reservation&) = delete;
  reservation& operator=(const reservation&) = delete;
  void* base() const { return base_; }

 private:
  std::size_t bytes_;
  void* base_ = nullptr;
};

}  // namespace

template <class T, form F> struct band_system<T, F>::state {
  state(MPI_Comm comm, const int& n, const int& m, const int& nrhs, const int& first, const int& rows);
  ~state() { MPI_Comm_free(&comm); }

  int owner(const int& row) const;
  void plan();
  void add_stage(const stage_kind& kind, const stage_values& now, const int& from);
  void exchange(const std::vector<transfer>& list);
  index_t elements(const region& r) const;
  void copy(const region& r, T* buffer, const bool& into_buffer);
  bool run_stage(stage& s, int* info, int* row);

  MPI_Comm comm = MPI_COMM_NULL;
  int rank = 0, size = 1;
  int n, m, nrhs, first, rows, blocksize = 1;
  int block_from = 1, block_until = 0;  // first rows of this rank's blocks
  std::vector<int> firsts, counts;      // every rank's rows
  std::vector<stage> stages;
  std::vector<transfer> gather;   // rows of this rank's blocks held by other ranks, to it
  std::vector<transfer> scatter;  // the same rows back after the solve
  std::vector<T> sendbuffer, receivebuffer;
  std::vector<index_t> sendcount, receivecount;
  std::vector<MPI_Request> requests;
  std::unique_ptr<reservation> memory;
  T *a = nullptr, *b = nullptr, *spike = nullptr, *tspike = nullptr;
};

template <class T, form F>
band_system<T, F>::state::state(MPI_Comm parent, const int& n, const int& m, const int& nrhs, const int& first,
                                const int& rows)
    : n(n), m(m), nrhs(nrhs), first(first), rows(rows) {
  MPI_Comm_dup(parent, &comm);
  MPI_Comm_rank(comm, &rank);
  MPI_Comm_size(comm, &size);

  // Every rank checks every rank's arguments, so that all throw or none does.
  const int mine[5] = {n, m, nrhs, first, rows};
  std::vector<int> all(std::size_t(5) * size);
  MPI_Allgather(mine, 5, MPI_INT, all.data(), 5, MPI_INT, comm);
  firsts.resize(size);
  counts.resize(size);
  bool valid = n >= 0 && m >= 0 && nrhs >= 0;
  index_t next = 1;
  for (int r = 0; r < size; ++r) {
    const int* x = &all[std::size_t(5) * r];
    valid = valid && x[0] == n && x[1] == m && x[2] == nrhs && x[4] >= 0 && x[3] == next;
    firsts[r] = x[3];
    counts[r] = x[4];
    next += x[4];
  }
  if (!valid || next != index_t(n) + 1) {
    MPI_Comm_free(&comm);
    throw std::invalid_argument(
        "velqo::mpi::band_system: the ranks' rows must cover 1 … n in rank order, with the same n, m and nrhs");
  }

  // The block length of the shared-memory solve, as rank 0 has it.
  if constexpr (is_complex<T>) {
    def_velqo::requiregrainsizeforcomplex();
  } else {
    def_velqo::requiregrainsize();
  }
  const int grain = def_velqo::grainsize;
  blocksize = std::max(grain * grain / std::max(m, 1), m + 1);
  MPI_Bcast(&blocksize, 1, MPI_INT, 0, comm);

  // The whole-system arrays.
  const index_t band_elements = index_t(n) * (m + 1), rhs_elements = index_t(n) * nrhs,
                spike_elements = index_t(n) * m;
  memory = std::make_unique<reservation>(sizeof(T) * std::size_t(band_elements + rhs_elements + 2 * spike_elements));
  int ok = memory->base() != nullptr ? 1 : 0;
  MPI_Allreduce(MPI_IN_PLACE, &ok, 1, MPI_INT, MPI_MIN, comm);
  if (ok == 0) {
    MPI_Comm_free(&comm);
    throw std::bad_alloc();
  }
  a = static_cast<T*>(memory->base());
  b = a + band_elements;
  spike = b + rhs_elements;
  tspike = spike + spike_elements;

  // This rank's blocks: those that begin in its rows.
  if (rows > 0) {
    const int L = blocksize;
    block_from = (first - 1 + L - 1) / L * L + 1;
    block_until = (first + rows - 2) / L * L + 1;
  }
  plan();

  // The buffers for the largest exchange.
  sendcount.assign(size, 0);
  receivecount.assign(size, 0);
  requests.resize(std::size_t(2) * size);
  index_t most_sent = 0, most_received = 0;
  const auto measure = [&](const std::vector<transfer>& list) {
    index_t sent = 0, received = 0;
    for (const transfer& t : list) (t.from == rank ? sent : received) += elements(t.rows);
    most_sent = std::max(most_sent, sent);
    most_received = std::max(most_received, received);
  };
  measure(gather);
  measure(scatter);
  for (const stage& s : stages) {
    measure(s.before);
    measure(s.after);
  }
  sendbuffer.resize(std::size_t(most_sent));
  receivebuffer.resize(std::size_t(most_received));
}

/// The rank whose blocks include the block of row row: the rank that holds the
/// block's first row.
template <class T, form F> int band_system<T, F>::state::owner(const int& row) const {
  const int block_first = (row - 1) / blocksize * blocksize + 1;
  int r = int(std::upper_bound(firsts.begin(), firsts.end(), block_first) - firsts.begin()) - 1;
  while (r > 0 && counts[r] == 0) --r;
  return r;
}

/// The stages of the reduction, walked as the shared-memory kernel's barriers
/// advance its scheduling variables.
template <class T, form F> void band_system<T, F>::state::plan() {
  const int L = blocksize;
  // Rows of this rank's blocks held by other ranks, and this rank's rows in the
  // block of another rank: a range's first rows when the range begins inside a
  // block.
  for (int r = 0; r < size; ++r) {
    if (counts[r] == 0) continue;
    const int x1 = firsts[r], block_first = (x1 - 1) / L * L + 1;
    if (block_first == x1) continue;
    const int x2 = std::min(x1 + counts[r] - 1, block_first + L - 1);
    const int w = owner(block_first);
    if (w != rank && r != rank) continue;
    gather.push_back({r, w, {array::band, x1, x2}});
    if (nrhs > 0) gather.push_back({r, w, {array::rhs, x1, x2}});
  }
  scatter = gather;
  for (transfer& t : scatter) std::swap(t.from, t.to);
  if (n == 0) return;

  int levelfactor = 1, distance = L, stride = 2 * L, levelfirst = 1, nextblock = 1, backblock = 0;
  add_stage(stage_kind::eliminate_band, {distance, stride, levelfirst}, nextblock);
  levelfactor = 2 * levelfactor;
  nextblock = (levelfactor - 1) * L + 1;
  while (backblock == 0) {
    add_stage(stage_kind::update, {distance, stride, levelfirst}, nextblock);
    const int t = (levelfactor - 1) * L;
    nextblock = t + 1;
    levelfirst = t + 1;
    distance = 2 * distance;
    stride = 2 * stride;
    add_stage(stage_kind::eliminate_fill, {distance, stride, levelfirst}, nextblock);
    const int f2 = 2 * levelfactor;
    nextblock = (f2 - 1) * L + 1;
    if (nextblock <= n) {
      levelfactor = f2;
    } else {
      backblock = (levelfactor - 1) * L + 1;
    }
  }
  do {
    add_stage(stage_kind::backward, {distance, stride, levelfirst}, backblock);
    stride = stride / 2;
    levelfactor = levelfactor / 2;
    distance = distance / 2;
    backblock = (levelfactor - 1) * L + 1;
  } while (levelfactor >= 1);
}

/// One stage whose blocks begin at from, from + now.stride, …: this rank's
/// share of them, and the rows each block reads or writes where another rank
/// works the block holding them. A row read comes before the stage; a row
/// written comes before it too (it may be written in part) and goes back after.
template <class T, form F>
void band_system<T, F>::state::add_stage(const stage_kind& kind, const stage_values& now, const int& from) {
  stage s{kind, now, 1, 0, {}, {}};
  const int L = blocksize, d = now.distance, stride = now.stride;
  if (block_from <= block_until && from <= n) {
    s.from = from >= block_from ? from : from + (block_from - from + stride - 1) / stride * stride;
    s.until = std::min(block_until, n);
  }
  for (index_t fl = from; fl <= n; fl += stride) {
    const int f = int(fl), l = std::min(n, f + L - 1);
    const int w = owner(f);
    const auto need = [&](const array& which, const int& x1, const int& x2, const bool& written) {
      if (x1 > x2 || elements({which, x1, x2}) == 0) return;
      const int o = owner(x1);
      if (o == w || (o != rank && w != rank)) return;
      s.before.push_back({o, w, {which, x1, x2}});
      if (written) s.after.push_back({w, o, {which, x1, x2}});
    };
    switch (kind) {
      case stage_kind::eliminate_band:
        need(array::band, std::max(1, f - m), f - 1, false);
        need(array::spike, l + 1, std::min(l + m, n), true);
        break;
      case stage_kind::update:
        if (f + d <= n) {
          const int p = f + d, pe = std::min(n, p + L - 1);
          need(array::spike, p, pe, false);
          need(array::rhs, p, pe, false);
        }
        if (f - d >= now.levelfirst) {
          const int p = f - d, top = std::min(n, f + m - 1);
          need(array::rhs, p + L - m, p + L - 1, false);
          need(array::tspike, p + L, p + L + top - f, true);
          if (f - d > now.levelfirst) {
            need(array::band, f - 1, f - 1, true);
            need(array::spike, p + L - m, p + L - 1, false);
          }
        }
        break;
      case stage_kind::eliminate_fill:
        if (f + d <= n) need(array::spike, f + d, std::min(n, f + d + m - 1), true);
        break;
      case stage_kind::backward:
        if (f - d >= 1) need(array::rhs, f - d + L - m, f - d + L - 1, false);
        if (f + d <= n) {
          const int p = f + d, q = std::min(m, std::min(n, p + L - 1) - p + 1);
          need(array::rhs, p, p + q - 1, false);
          need(array::tspike, l + 1, l + q, false);
        }
        break;
    }
  }
  stages.push_back(std::move(s));
}

template <class T, form F> index_t band_system<T, F>::state::elements(const region& r) const {
  const index_t rows_in = r.last - r.first + 1;
  switch (r.which) {
    case array::band: return rows_in * (m + 1);
    case array::spike:
    case array::tspike: return rows_in * m;
    case array::rhs: return rows_in * nrhs;
  }
  return 0;
}

/// Copies the region between its array and buffer (in the direction
/// into_buffer says).
template <class T, form F>
void band_system<T, F>::state::copy(const region& r, T* buffer, const bool& into_buffer) {
  const auto move = [&](T* x, const index_t& count) {
    if (into_buffer) {
      std::memcpy(buffer, x, sizeof(T) * std::size_t(count));
    } else {
      std::memcpy(x, buffer, sizeof(T) * std::size_t(count));
    }
    buffer += count;
  };
  const index_t rows_in = r.last - r.first + 1;
  switch (r.which) {
    case array::band: move(&at(a, m + 1, 1, r.first), rows_in * (m + 1)); break;
    case array::tspike: move(&at(tspike, m, 1, r.first), rows_in * m); break;
    case array::spike:
      for (int v = 1; v <= m; ++v) move(&at(spike, n, r.first, v), rows_in);
      break;
    case array::rhs:
      for (int s = 1; s <= nrhs; ++s) move(&at(b, n, r.first, s), rows_in);
      break;
  }
}

/// Passes the listed rows: each rank sends one message to each rank it has
/// rows for, the regions in the list's order, and receives likewise.
template <class T, form F> void band_system<T, F>::state::exchange(const std::vector<transfer>& list) {
  if (list.empty()) return;
  std::fill(sendcount.begin(), sendcount.end(), 0);
  std::fill(receivecount.begin(), receivecount.end(), 0);
  for (const transfer& t : list) {
    if (t.from == rank) sendcount[t.to] += elements(t.rows);
    if (t.to == rank) receivecount[t.from] += elements(t.rows);
  }
  // Messages in whole elements of bytes; the plan keeps them far below INT_MAX
  // bytes (a region is at most a block of rows).
  constexpr int tag = 17;
  int posted = 0;
  index_t offset = 0;
  for (int r = 0; r < size; ++r) {
    if (receivecount[r] == 0) continue;
    MPI_Irecv(receivebuffer.data() + offset, int(sizeof(T) * receivecount[r]), MPI_BYTE, r, tag, comm,
              &requests[posted++]);
    offset += receivecount[r];
  }
  offset = 0;
  for (int r = 0; r < size; ++r) {
    if (sendcount[r] == 0) continue;
    T* start = sendbuffer.data() + offset;
    T* cursor = start;
    for (const transfer& t : list) {
      if (t.from != rank || t.to != r) continue;
      copy(t.rows, cursor, true);
      cursor += elements(t.rows);
    }
    MPI_Isend(start, int(sizeof(T) * sendcount[r]), MPI_BYTE, r, tag, comm, &requests[posted++]);
    offset += sendcount[r];
  }
  MPI_Waitall(posted, requests.data(), MPI_STATUSES_IGNORE);
  offset = 0;
  for (int r = 0; r < size; ++r) {
    if (receivecount[r] == 0) continue;
    T* cursor = receivebuffer.data() + offset;
    for (const transfer& t : list) {
      if (t.to != rank || t.from != r) continue;
      copy(t.rows, cursor, false);
      cursor += elements(t.rows);
    }
    offset += receivecount[r];
  }
}

/// Runs this rank's blocks of the stage with the library's task count, between
/// the stage's exchanges; for an elimination stage, true when a pivot failed on
/// any rank, with row ← the smallest failing row of all.
template <class T, form F> bool band_system<T, F>::state::run_stage(stage& s, int* info, int* row) {
  exchange(s.before);
  if (s.from <= s.until) {
    int count = 0;
    gettasks(count);
    team crew(count);
    int next = s.from;
    const real_type<T> eps = 0;
    crew.run(&p_stage<T, F>, a, n, m, b, nrhs, tspike, spike, crew.lock, blocksize, crew.ntasks, s.kind, s.now,
             next, s.until, eps, info, row);
  }
  exchange(s.after);
  if (s.kind != stage_kind::eliminate_band && s.kind != stage_kind::eliminate_fill) return false;
  int failure[2] = {-info[0], *row != 0 ? *row : INT_MAX};
  MPI_Allreduce(MPI_IN_PLACE, failure, 2, MPI_INT, MPI_MIN, comm);
  if (failure[0] == 0) return false;
  info[0] = 1;
  *row = failure[1] == INT_MAX ? 0 : failure[1];
  return true;
}

template <class T, form F>
band_system<T, F>::band_system(MPI_Comm comm, const int& n, const int& m, const int& nrhs, const int& first,
                               const int& rows)
    : s_(std::make_unique<state>(comm, n, m, nrhs, first, rows)) {}

template <class T, form F> band_system<T, F>::~band_system() = default;

template <class T, form F> int band_system<T, F>::first() const { return s_->first; }
template <class T, form F> int band_system<T, F>::rows() const { return s_->rows; }
template <class T, form F> int band_system<T, F>::blocksize() const { return s_->blocksize; }

template <class T, form F> T* band_system<T, F>::band_columns() { return &at(s_->a, s_->m + 1, 1, s_->first); }
template <class T, form F> T* band_system<T, F>::rhs_rows() { return s_->b + (s_->first - 1); }
template <class T, form F> std::ptrdiff_t band_system<T, F>::rhs_stride() const { return s_->n; }

template <class T, form F> void band_system<T, F>::solve(int& status, int& row) {
  state& s = *s_;
  s.exchange(s.gather);
  int info[2] = {0, 0};
  int failed_row = 0;
  for (stage& x : s.stages)
    if (s.run_stage(x, info, &failed_row)) break;
  // Rows of other ranks' blocks back to the ranks that hold them.
  s.exchange(s.scatter);
  status = info[0];
  row = status != 0 ? failed_row : 0;
}

template <class T, form F> void band_system<T, F>::solve(T* a, T* b, int& status, int& row) {
  const state& s = *s_;
  const int n = s.n, m = s.m, nrhs = s.nrhs, first = s.first, rows = s.rows;
  // The rank holding row n may have left out the positions after a(n, n).
  const index_t band_count = rows == 0 ? 0 : index_t(rows - 1) * (m + 1) + (first + rows - 1 == n ? 1 : m + 1);
  T* const columns = band_columns();
  T* const right = rhs_rows();
  if (band_count > 0) std::memcpy(columns, a, sizeof(T) * std::size_t(band_count));
  for (int k = 1; k <= nrhs && rows > 0; ++k)
    std::memcpy(&at(right, n, 1, k), &at(b, rows, 1, k), sizeof(T) * std::size_t(rows));
  solve(status, row);
  if (band_count > 0) std::memcpy(a, columns, sizeof(T) * std::size_t(band_count));
  for (int k = 1; k <= nrhs && rows > 0; ++k)
    std::memcpy(&at(b, rows, 1, k), &at(right, n, 1, k), sizeof(T) * std::size_t(rows));
}

template class band_system<float, form::symmetric>;
template class band_system<double, form::symmetric>;
template class band_system<complex4, form::symmetric>;
template class band_system<complex8, form::symmetric>;
template class band_system<complex4, form::hermitian>;
template class band_system<complex8, form::hermitian>;

#define VELQO_MPI_ENTRY(NAME, T, F)                                                                         \
  void NAME(MPI_Comm comm, T* a, const int& n, const int& m, const int& first, const int& rows, T* b,      \
            const int& nrhs, int& status) {                                                                \
    band_system<T, F> system(comm, n, m, nrhs, first, rows);                                               \
    int row = 0;                                                                                           \
    system.solve(a, b, status, row);                                                                       \
  }
VELQO_MPI_ENTRY(mesolution_csp_4, float, form::symmetric)
VELQO_MPI_ENTRY(mesolution_csp_8, double, form::symmetric)
VELQO_MPI_ENTRY(mesolution_csp_z4, complex4, form::symmetric)
VELQO_MPI_ENTRY(mesolution_csp_z8, complex8, form::symmetric)
VELQO_MPI_ENTRY(mesolution_hpd_z4, complex4, form::hermitian)
VELQO_MPI_ENTRY(mesolution_hpd_z8, complex8, form::hermitian)
#undef VELQO_MPI_ENTRY

}  // namespace velqo::mpi
