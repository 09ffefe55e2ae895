// The kernels touch nothing outside their arrays. Each array is placed against
// an inaccessible page, at its end or at its start, so that a read or write past
// that end faults; the narrow-band steps, which work on whole packs of elements,
// are the ones at risk.
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "solver/entries.h"
#include "solver/kernel.h"
#include "solver/velqo.h"
#include "solve_entry.h"
#include "support.h"

namespace {

using namespace testing_support;

/// count elements of T with an inaccessible page right after them (or right
/// before them), and the rest of the mapping accessible.
template <class T> class guarded {
 public:
  guarded(std::size_t count, bool at_end) : count_(count) {
    const std::size_t page = std::size_t(sysconf(_SC_PAGESIZE));
    const std::size_t bytes = std::max<std::size_t>(count, 1) * sizeof(T);
    const std::size_t usable = (bytes + page - 1) / page * page;
    size_ = usable + 2 * page;
    void* map = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    EXPECT_NE(map, MAP_FAILED);
    base_ = static_cast<char*>(map);
    mprotect(base_, page, PROT_NONE);
    mprotect(base_ + page + usable, page, PROT_NONE);
    data_ = reinterpret_cast<T*>(at_end ? base_ + page + usable - count * sizeof(T) : base_ + page);
  }
  ~guarded() { munmap(base_, size_); }
  guarded(const guarded&) = delete;
  guarded& operator=(const guarded&) = delete;

  T* data() { return data_; }
  void assign(const std::vector<T>& x) { std::memcpy(data_, x.data(), count_ * sizeof(T)); }
  std::vector<T> copy() const { return std::vector<T>(data_, data_ + count_); }

 private:
  std::size_t count_;
  std::size_t size_ = 0;
  char* base_ = nullptr;
  T* data_ = nullptr;
};

template <class T> class Bounds : public ::testing::Test {
 protected:
  void TearDown() override { velqo::settasks(2); }
};
TYPED_TEST_SUITE(Bounds, ElementTypes);

// Block lengths of 24²/m (real) or 16²/m (complex) rows with these sizes give
// one block, a block and a row, short last blocks and several levels; the
// widest bands reach the register-blocked products of the wide-band steps
// (from m = 33 in double and m = 70 in single precision their 64-byte tiles,
// where the processor has AVX-512).
TYPED_TEST(Bounds, SolveStaysInsideItsArrays) {
  using T = TypeParam;
  for (int m : {1, 2, 3, 5, 7, 8, 9, 12, 13, 16, 17, 20, 24, 33, 40, 48, 70}) {
    for (int n : {1, 2, m + 1, 40, 97, 600}) {
      for (bool at_end : {true, false}) {
        SCOPED_TRACE(::testing::Message() << "m=" << m << " n=" << n << (at_end ? " guard after" : " guard before"));
        const int nrhs = 1 + n % 2;
        const std::size_t work = std::max<std::size_t>(1, 2 * std::size_t(n) * m);
        guarded<T> a(band_length(n, m), at_end), b(std::size_t(n) * nrhs, at_end), w(work, at_end);
        a.assign(random_spd_band<T>(n, m, 3u * n + m));
        b.assign(random_rhs<T>(n, nrhs, 5u * n + m));
        for (int tasks : {1, 2}) {
          velqo::settasks(tasks);
          guarded<T> a2(band_length(n, m), at_end), b2(std::size_t(n) * nrhs, at_end);
          a2.assign(a.copy());
          b2.assign(b.copy());
          int status = -1;
          solve_entry(a2.data(), n, m, b2.data(), nrhs, w.data(), status);
          EXPECT_EQ(status, 0);
        }
      }
    }
  }
}

// The two-sided solve's parts are bands of their own inside the caller's band;
// the bottom one ends where the caller's does.
TYPED_TEST(Bounds, TwoSidedSolveStaysInsideItsArrays) {
  using T = TypeParam;
  for (int m : {1, 3, 5, 8, 13, 16, 40, 64, 70, 128, 130}) {
    for (int n : {(20 * m + 8) / 9, 97, 600}) {
      if (!velqo::two_sided_serves<T>(n, m)) continue;
      for (bool at_end : {true, false}) {
        SCOPED_TRACE(::testing::Message() << "m=" << m << " n=" << n << (at_end ? " guard after" : " guard before"));
        guarded<T> a(band_length(n, m), at_end), b(std::size_t(n), at_end),
            w(std::size_t(velqo::two_sided_work<T>(m)), at_end);
        for (int tasks : {1, 2}) {
          velqo::settasks(tasks);
          a.assign(random_spd_band<T>(n, m, 3u * n + m));
          b.assign(random_rhs<T>(n, 1, 5u * n + m));
          int status = -1, row = 0;
          velqo::two_sided<T, velqo::form::symmetric>(a.data(), n, m, b.data(), w.data(), status, row);
          EXPECT_EQ(status, 0);
        }
      }
    }
  }
}

TYPED_TEST(Bounds, BlockFactorisationStaysInsideTheBand) {
  using T = TypeParam;
  for (int m : {1, 2, 3, 5, 7, 8, 9, 12, 13, 16, 17, 20, 33, 48, 96, 128, 256}) {
    for (int n : {1, 2, m, m + 1, 2 * m + 3, 75}) {
      SCOPED_TRACE(::testing::Message() << "m=" << m << " n=" << n);
      guarded<T> a(band_length(n, m), true);
      a.assign(random_spd_band<T>(n, m, 7u * n + m));
      // The whole matrix, then its last rows as a block of their own.
      int info[2] = {0, 0};
      velqo::decompose_csp<T>(a.data(), m, 1, n, real_type<T>(0), info, 1);
      a.assign(random_spd_band<T>(n, m, 7u * n + m));
      const int first = std::max(1, n - m - 2);
      velqo::decompose_csp<T>(a.data(), m, first, n, real_type<T>(0), info, 1);
      EXPECT_EQ(info[0], 0);
    }
  }
}

}  // namespace
