// The solve over MPI ranks against the shared-memory solve of the whole system:
// the same bits in the solution and in the block factors, for every layout of
// the rows on the ranks and every task count. Every rank builds the whole
// system, solves it alone, and compares its own rows; a case passes when it
// passes on every rank. Run under mpirun with any number of ranks.
#include <mpi.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "distributed/velqo_mpi.h"
#include "solver/def_velqo.h"
#include "solver/entries.h"
#include "solver/velqo.h"
#include "support.h"

namespace {

using namespace testing_support;
using velqo::form;

int ranks() {
  int size = 1;
  MPI_Comm_size(MPI_COMM_WORLD, &size);
  return size;
}

int my_rank() {
  int rank = 0;
  MPI_Comm_rank(MPI_COMM_WORLD, &rank);
  return rank;
}

/// Whether every rank says yes.
bool everywhere(bool mine) {
  int all = mine ? 1 : 0;
  MPI_Allreduce(MPI_IN_PLACE, &all, 1, MPI_INT, MPI_MIN, MPI_COMM_WORLD);
  return all == 1;
}

/// The block length the solves use for half bandwidth m.
template <class T> int block_length(int m) {
  if constexpr (velqo::is_complex<T>) {
    velqo::def_velqo::requiregrainsizeforcomplex();
  } else {
    velqo::def_velqo::requiregrainsize();
  }
  const int grain = velqo::def_velqo::grainsize;
  return std::max(grain * grain / std::max(m, 1), m + 1);
}

/// The ways the rows are laid out on the ranks.
enum class layout {
  even,     // n / P each
  uneven,   // in proportion 1 : 3 : 2 : 4 : …
  awkward,  // two blocks; one; half a block; the rest
  tail,     // all but the last row on the first ranks, none on the last but one, row n alone on the last
};

std::vector<int> row_counts(layout kind, int n, int L) {
  const int P = ranks();
  std::vector<int> counts(P, 0);
  switch (kind) {
    case layout::even:
      for (int r = 0; r < P; ++r) counts[r] = n / P + (r < n % P ? 1 : 0);
      break;
    case layout::uneven: {
      int total = 0, given = 0;
      for (int r = 0; r < P; ++r) total += 1 + (r * 7) % 4;
      for (int r = 0; r < P; ++r) given += counts[r] = n * (1 + (r * 7) % 4) / total;
      counts[P - 1] += n - given;
      break;
    }
    case layout::awkward: {
      const int shape[3] = {2 * L, L, L / 2};
      int given = 0;
      for (int r = 0; r + 1 < P && r < 3; ++r) given += counts[r] = std::min(shape[r], n - given);
      counts[P - 1] += n - given;
      break;
    }
    case layout::tail:
      if (P == 1) {
        counts[0] = n;
      } else {
        const int holding = std::max(P - 2, 1);
        for (int r = 0; r < holding; ++r) counts[r] = (n - 1) / holding + (r < (n - 1) % holding ? 1 : 0);
        counts[P - 1] = 1;
      }
      break;
  }
  return counts;
}

/// Solves one system both ways on every rank, distributed from the caller's
/// arrays with one task a rank and in the system's own storage with more; true
/// when this rank's rows match.
/// A failing system has a negative pivot at two thirds of its rows: status and
/// row must then match.
template <class T, form F>
bool matches_shared_memory(int n, int m, int nrhs, layout kind, int tasks, bool failing) {
  const int L = block_length<T>(m);
  std::vector<T> a;
  if constexpr (F == form::hermitian) {
    a = random_hpd_band<T>(n, m, 31u * n + m);
  } else {
    a = random_spd_band<T>(n, m, 31u * n + m);
  }
  if (failing) band(a.data(), m, 2 * n / 3, 2 * n / 3) = T(-1);
  const std::vector<T> b = random_rhs<T>(n, nrhs, 7u + m);

  velqo::settasks(tasks);
  std::vector<T> whole_a = a, whole_b = b, work(2 * std::size_t(n) * std::max(m, 1));
  int whole_status = 0, whole_row = 0;
  velqo::solution<T, F>(whole_a.data(), n, m, whole_b.data(), nrhs, work.data(), whole_status, whole_row);

  const std::vector<int> counts = row_counts(kind, n, L);
  const int rank = my_rank(), rows = counts[rank];
  int first = 1;
  for (int r = 0; r < rank; ++r) first += counts[r];
  const std::size_t band_begin = std::size_t(m + 1) * (first - 1),
                    band_end = std::min(a.size(), band_begin + std::size_t(m + 1) * rows);
  std::vector<T> my_a(a.begin() + band_begin, a.begin() + band_end), my_b(std::size_t(rows) * nrhs);
  for (int s = 0; s < nrhs; ++s)
    std::copy_n(b.begin() + std::size_t(s) * n + first - 1, rows, my_b.begin() + std::size_t(s) * rows);

  velqo::mpi::band_system<T, F> system(MPI_COMM_WORLD, n, m, nrhs, first, rows);
  int status = -1, row = -1;
  if (tasks == 1) {
    system.solve(my_a.data(), my_b.data(), status, row);
  } else {
    // The rows built in the system's own storage.
    std::copy(my_a.begin(), my_a.end(), system.band_columns());
    for (int s = 0; s < nrhs; ++s)
      std::copy_n(my_b.begin() + std::size_t(s) * rows, rows, system.rhs_rows() + s * system.rhs_stride());
    system.solve(status, row);
    std::copy_n(system.band_columns(), my_a.size(), my_a.begin());
    for (int s = 0; s < nrhs; ++s)
      std::copy_n(system.rhs_rows() + s * system.rhs_stride(), rows, my_b.begin() + std::size_t(s) * rows);
  }

  bool same = status == whole_status && row == whole_row;
  if (!failing && whole_status == 0) {
    same = same && std::equal(my_a.begin(), my_a.end(), whole_a.begin() + band_begin,
                              [](const T& x, const T& y) { return std::memcmp(&x, &y, sizeof(T)) == 0; });
    for (int s = 0; s < nrhs && rows > 0; ++s)
      same = same && std::memcmp(my_b.data() + std::size_t(s) * rows, whole_b.data() + std::size_t(s) * n + first - 1,
                                 sizeof(T) * rows) == 0;
  }
  return same;
}

template <class T, form F> struct variant {
  using type = T;
  static constexpr form shape = F;
};
using Variants = ::testing::Types<variant<float, form::symmetric>, variant<double, form::symmetric>,
                                  variant<complex4, form::symmetric>, variant<complex8, form::symmetric>,
                                  variant<complex4, form::hermitian>, variant<complex8, form::hermitian>>;

template <class V> class Distributed : public ::testing::Test {};
TYPED_TEST_SUITE(Distributed, Variants);

TYPED_TEST(Distributed, SameBitsAsTheSharedMemorySolve) {
  using T = typename TypeParam::type;
  constexpr form F = TypeParam::shape;
  const int wide = velqo::is_complex<T> ? 20 : 40;
  for (const int m : {0, 1, 8, wide})
    for (const layout kind : {layout::even, layout::uneven, layout::awkward, layout::tail})
      for (const int nrhs : {1, 3})
        for (const int tasks : {1, 2}) {
          // Thirteen blocks and a short one: four levels, several blocks a rank.
          const int n = 12 * block_length<T>(m) + 5;
          EXPECT_TRUE(everywhere(matches_shared_memory<T, F>(n, m, nrhs, kind, tasks, false)))
              << "m = " << m << ", layout " << int(kind) << ", nrhs = " << nrhs << ", tasks = " << tasks;
        }
}

TYPED_TEST(Distributed, FailingPivotIsReportedOnEveryRank) {
  using T = typename TypeParam::type;
  constexpr form F = TypeParam::shape;
  for (const layout kind : {layout::even, layout::awkward})
    for (const int m : {1, 8}) {
      const int n = 12 * block_length<T>(m) + 5;
      EXPECT_TRUE(everywhere(matches_shared_memory<T, F>(n, m, 1, kind, 2, true)))
          << "m = " << m << ", layout " << int(kind);
    }
}

TEST(Distributed, RowsThatDoNotCoverTheSystemAreRejectedEverywhere) {
  const int rank = my_rank(), n = 100;
  // Every rank claims the rows of an even split but the last one drops its last row.
  const int P = ranks(), rows = n / P + (rank < n % P ? 1 : 0) - (rank == P - 1 ? 1 : 0);
  int first = 1;
  for (int r = 0; r < rank; ++r) first += n / P + (r < n % P ? 1 : 0);
  EXPECT_THROW((velqo::mpi::band_system<double>(MPI_COMM_WORLD, n, 2, 1, first, rows)), std::invalid_argument);
}

}  // namespace

int main(int argc, char** argv) {
  int provided = 0;
  MPI_Init_thread(&argc, &argv, MPI_THREAD_FUNNELED, &provided);
  ::testing::InitGoogleTest(&argc, argv);
  // Failures show on the rank that sees them; the rest of the report on rank 0 only.
  if (my_rank() != 0) {
    auto& listeners = ::testing::UnitTest::GetInstance()->listeners();
    delete listeners.Release(listeners.default_result_printer());
  }
  const int result = RUN_ALL_TESTS();
  MPI_Finalize();
  return result;
}
