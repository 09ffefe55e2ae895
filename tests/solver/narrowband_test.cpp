// The steps compiled for narrow bands, and the medium-band steps of the real
// types, against the generic steps, and the complex steps' register-blocked
// kernels against their plain loops: the same operations in the same order, so
// the same bits, also when a pivot fails and the solve stops halfway.
#include <cstring>
#include <limits>
#include <type_traits>

#include "solver/def_velqo.h"
#include "solver/kernel.h"
#include "solver/mediumband.h"
#include "solver/narrowband.h"
#include "solver/testing.h"
#include "solver/velqo.h"
#include "solve_entry.h"
#include "support.h"

namespace {

using namespace testing_support;

template <class T> struct outcome {
  std::vector<T> a, b;
  int status = -1;
};

// The narrow-band steps exist for the real types (narrow_limit is 0 for the
// complex ones).
template <class T> class NarrowBand : public ::testing::Test {
 protected:
  // Grain 8 (block length max(64 / m, m + 1)) gives many blocks and levels on
  // small systems.
  void SetUp() override {
    velqo::testing::reset_library_state();
    velqo::testing::override_processor_count(8);
    velqo::settasks(8);
    velqo::def_velqo::requiregrainsizeforcomplex();
    ASSERT_EQ(velqo::def_velqo::grainsize, 8);
  }
  void TearDown() override {
    velqo::testing::force_generic_steps(false);
    velqo::testing::override_processor_count(0);
    velqo::testing::reset_library_state();
  }

  static outcome<T> solve(bool generic, std::vector<T> a, int n, int m, std::vector<T> b, int nrhs, int tasks) {
    velqo::testing::force_generic_steps(generic);
    velqo::settasks(tasks);
    // A workspace full of NaN: a step that reads an element neither path has
    // written spreads it into the result.
    std::vector<T> w(std::max<std::size_t>(1, 2 * std::size_t(n) * m), std::numeric_limits<T>::quiet_NaN());
    outcome<T> r;
    solve_entry(a.data(), n, m, b.data(), nrhs, w.data(), r.status);
    r.a = std::move(a);
    r.b = std::move(b);
    return r;
  }

  static void expect_same(const std::vector<T>& a, int n, int m, const std::vector<T>& b, int nrhs, int tasks) {
    const outcome<T> generic = solve(true, a, n, m, b, nrhs, tasks);
    const outcome<T> narrow = solve(false, a, n, m, b, nrhs, tasks);
    EXPECT_EQ(generic.status, narrow.status);
    EXPECT_TRUE(same_bits(generic.a, narrow.a)) << "a differs";
    EXPECT_TRUE(same_bits(generic.b, narrow.b)) << "b differs";
  }
};
TYPED_TEST_SUITE(NarrowBand, RealTypes);

// Every narrow bandwidth and the first wider one, then medium ones: odd and not
// a multiple of the vector width; for the factorisation also the widest one
// its medium-band kernel takes and the next.
template <class T> std::vector<int> widths(bool factorisation) {
  constexpr int W = velqo::medium::lanes<T>::W, widest = W * velqo::medium::max_column_vectors;
  std::vector<int> m(velqo::narrow_limit<T> + 1);
  for (int k = 0; k <= velqo::narrow_limit<T>; ++k) m[k] = k + 1;
  m.insert(m.end(), {W + 2, 2 * W, 2 * W + 1, 3 * W - 1, 32, 33});
  if (factorisation) m.insert(m.end(), {widest, widest + 1});
  return m;
}

// Each of these widths on one block, a block and a
// row, odd block counts and several levels, with 0, 1 and 3 right-hand sides;
// the largest size hands out blocks in batches, with its short last block in
// level 0.
TYPED_TEST(NarrowBand, SolveMatchesTheGenericStepsBitForBit) {
  using T = TypeParam;
  for (int m : widths<T>(false)) {
    const int L = std::max(64 / m, m + 1);
    for (int n : {1, L, L + 1, 3 * L + 5, 10 * L, 21 * L + 3, 40 * L + 5}) {
      for (int nrhs : {0, 1, 3}) {
        SCOPED_TRACE(::testing::Message() << "m=" << m << " n=" << n << " nrhs=" << nrhs);
        const std::vector<T> a = random_spd_band<T>(n, m, 7u * n + m);
        const std::vector<T> b = random_rhs<T>(n, nrhs, 11u * n + m);
        this->expect_same(a, n, m, b, nrhs, 1 + (n + nrhs) % 3);
      }
    }
  }
}

// The whole-vector complements against their plain loops, in 32- and 64-byte
// vectors, on every width up to 40 and some wider: the same bits, and nothing
// above the diagonal of c touched (nor anything, where the gram's panel does
// not fit). The operands sit at the end of their arrays, so that a read past
// them leaves the checked range.
TYPED_TEST(NarrowBand, WholeVectorComplementsAreThePlainLoopsBitForBit) {
  using T = TypeParam;
  using velqo::index_t;
  std::vector<int> widths(40);
  for (int m = 1; m <= 40; ++m) widths[m - 1] = m;
  widths.insert(widths.end(), {63, 64, 65, 130});
  for (int m : widths) {
    if (!velqo::medium::whole_vector_complements<T>(m)) continue;
    for (int rows : {1, m, m + 1, 3 * m + 2}) {
      SCOPED_TRACE(::testing::Message() << "m=" << m << " rows=" << rows);
      const index_t ld = rows + 3;
      const std::vector<T> s = random_rhs<T>(rows + 3, m, 31u * m + rows);
      const std::vector<T> c0 = random_rhs<T>(m, m, 37u * m + rows);
      std::vector<T> want_gram = c0, want_outer = c0;
      for (int v = 0; v < m; ++v)
        for (int u = v; u < m; ++u) {
          T sigma = T(0);
          for (int x = 0; x < rows; ++x) sigma = sigma + s[v * ld + x] * s[u * ld + x];
          want_gram[v * m + u] = want_gram[v * m + u] - sigma;
          for (int k = 0; k < m && rows >= m; ++k)
            want_outer[v * m + u] = want_outer[v * m + u] - s[k * ld + 3 + v] * s[k * ld + 3 + u];
        }
      const auto width = [&]<int B>() {
        if (m < velqo::blocked::lanes<T, B>::W) return;
        std::vector<T> gram = c0, outer = c0;
        const bool fits = velqo::medium::subtract_small_gram<T, B>(gram.data(), index_t(m), s.data(), ld, rows, m);
        EXPECT_TRUE(same_bits(gram, fits ? want_gram : c0)) << "gram, " << B << " bytes";
        if (rows < m) return;
        // y: rows 3 … 3 + m − 1 of s, the last column ending m rows past them at most.
        velqo::medium::subtract_lower_outer<T, B>(outer.data(), index_t(m), s.data() + 3, ld, m);
        EXPECT_TRUE(same_bits(outer, want_outer)) << "outer, " << B << " bytes";
      };
      width.template operator()<32>();
      width.template operator()<64>();
    }
  }
}

// The right complement beyond the small bands, whose panel the vector
// transposes fill, in 32- and 64-byte tiles: the plain loop's bits, nothing
// above the diagonal touched; 300 rows are too many for a float 64-byte panel,
// which then hands them to the 32-byte one.
TYPED_TEST(NarrowBand, WideRightComplementIsThePlainLoopBitForBit) {
  using T = TypeParam;
  using velqo::index_t;
  for (int m : {33, 47, 70}) {
    for (int rows : {1, m + 1, 300}) {
      SCOPED_TRACE(::testing::Message() << "m=" << m << " rows=" << rows);
      const index_t ld = rows + 3;
      const std::vector<T> s = random_rhs<T>(rows + 3, m, 41u * m + rows);
      const std::vector<T> c0 = random_rhs<T>(m, m, 43u * m + rows);
      std::vector<T> want = c0;
      for (int v = 0; v < m; ++v)
        for (int u = v; u < m; ++u) {
          T sigma = T(0);
          for (int x = 0; x < rows; ++x) sigma = sigma + s[v * ld + x] * s[u * ld + x];
          want[v * m + u] = want[v * m + u] - sigma;
        }
      std::vector<T> narrow = c0, wide = c0;
      ASSERT_TRUE((velqo::medium::subtract_lower_gram<T, 32>(narrow.data(), index_t(m), s.data(), ld, rows, m)));
      ASSERT_TRUE((velqo::medium::subtract_lower_gram<T, 64>(wide.data(), index_t(m), s.data(), ld, rows, m)));
      EXPECT_TRUE(same_bits(narrow, want)) << "32 bytes";
      EXPECT_TRUE(same_bits(wide, want)) << "64 bytes";
    }
  }
}

// A single task stops at the same place on both paths: a zero pivot in a
// level-0 block, a NaN in a level-1 block; the blocks already done, and the
// right-hand sides of the failing block, which the narrow steps put back after
// solving them along with the factorisation, must agree.
TYPED_TEST(NarrowBand, FailureLeavesTheSameState) {
  using T = TypeParam;
  for (int m : {1, 3, velqo::narrow_limit<T>, velqo::narrow_limit<T> + 1, 2 * velqo::narrow_limit<T> + 1}) {
    const int L = std::max(64 / m, m + 1), n = 12 * L;
    for (int row : {4 * L + 3, 5 * L + 2}) {
      for (bool nan : {false, true}) {
        SCOPED_TRACE(::testing::Message() << "m=" << m << " row=" << row << (nan ? " NaN" : " zero"));
        std::vector<T> a = random_spd_band<T>(n, m, 13u + m);
        band(a.data(), m, row, row) = nan ? std::numeric_limits<T>::quiet_NaN() : T(0);
        const std::vector<T> b = random_rhs<T>(n, 2, 17u + m);
        const outcome<T> narrow = this->solve(false, a, n, m, b, 2, 1);
        EXPECT_EQ(narrow.status, 1);
        this->expect_same(a, n, m, b, 2, 1);
      }
    }
  }
}

// The block factorisation on its own: whole matrices, blocks in the middle (the
// columns before them untouched), blocks shorter than the band, and a negative
// and a NaN pivot halfway through a block.
TYPED_TEST(NarrowBand, FactorisationMatchesTheGenericStepsBitForBit) {
  using T = TypeParam;
  const auto factor = [](bool generic, std::vector<T> a, int m, int first, int last, int* info) {
    velqo::testing::force_generic_steps(generic);
    velqo::decompose_csp<T>(a.data(), m, first, last, real_type<T>(0), info, 1);
    return a;
  };
  for (int m : widths<T>(true)) {
    const int n = std::max(120, m + 20);
    std::vector<T> a = random_spd_band<T>(n, m, 5u + m);
    for (const auto& [first, last] :
         {std::pair{1, n}, std::pair{30, 71}, std::pair{n - m, n}, std::pair{40, 42}, std::pair{n - 2, n}}) {
      int generic_info[2] = {0, 0}, narrow_info[2] = {0, 0};
      EXPECT_TRUE(same_bits(factor(true, a, m, first, last, generic_info), factor(false, a, m, first, last, narrow_info)))
          << "m=" << m << " rows " << first << " … " << last;
      EXPECT_EQ(narrow_info[0], 0);
    }
    for (T pivot : {T(-1), std::numeric_limits<T>::quiet_NaN()}) {
      std::vector<T> failing = a;
      band(failing.data(), m, 50, 50) = pivot;
      int generic_info[2] = {0, 0}, narrow_info[2] = {0, 0};
      EXPECT_TRUE(same_bits(factor(true, failing, m, 40, 80, generic_info),
                            factor(false, failing, m, 40, 80, narrow_info)))
          << "failing block, m=" << m << " pivot " << pivot;
      EXPECT_EQ(narrow_info[0], 1);
    }
  }
}

// The complex types run the generic steps at every bandwidth, their dense
// products in the register-blocked kernels from the bands where those pay: the
// plain loops' operations in the plain loops' order, in both forms. Bandwidths
// on both sides of each kernel's first band and around its tiles (4 or 2
// complex elements a vector), several levels, a short last block, a NaN pivot
// that stops the solve in a level-1 block.
template <class T> class BlockedProducts : public ::testing::Test {
 protected:
  void SetUp() override {
    velqo::testing::reset_library_state();
    velqo::testing::override_processor_count(8);
    velqo::def_velqo::requiregrainsizeforcomplex();
  }
  void TearDown() override {
    velqo::testing::force_plain_products(false);
    velqo::testing::override_processor_count(0);
    velqo::testing::reset_library_state();
  }
};
using ComplexTypes = ::testing::Types<complex4, complex8>;
TYPED_TEST_SUITE(BlockedProducts, ComplexTypes);

TYPED_TEST(BlockedProducts, ComplexSolveMatchesThePlainLoopsBitForBit) {
  using T = TypeParam;
  using R = real_type<T>;
  const T nan(std::numeric_limits<R>::quiet_NaN(), std::numeric_limits<R>::quiet_NaN());
  for (bool hermitian : {false, true}) {
    const auto entry = [&](std::vector<T> a, int n, int m, std::vector<T> b, int nrhs, int tasks, bool plain) {
      velqo::testing::force_plain_products(plain);
      velqo::settasks(tasks);
      std::vector<T> w(std::max<std::size_t>(1, 2 * std::size_t(n) * m), nan);
      outcome<T> r;
      if (!hermitian) {
        solve_entry(a.data(), n, m, b.data(), nrhs, w.data(), r.status);
      } else if constexpr (std::is_same_v<T, complex4>) {
        velqo::mesolution_hpd_z4(a.data(), n, m, b.data(), nrhs, w.data(), r.status);
      } else {
        velqo::mesolution_hpd_z8(a.data(), n, m, b.data(), nrhs, w.data(), r.status);
      }
      r.a = std::move(a);
      r.b = std::move(b);
      return r;
    };
    for (int m : {1, 2, 3, 4, 5, 7, 9, 11, 12, 15, 16, 17, 33}) {
      const int L = std::max(velqo::def_velqo::grainsize * velqo::def_velqo::grainsize / m, m + 1);
      for (int n : {L + 1, 3 * L + 5, 21 * L + 3}) {
        for (bool fails : {false, true}) {
          if (fails && n < 3 * L) continue;
          SCOPED_TRACE(::testing::Message() << (hermitian ? "hermitian" : "symmetric") << " m=" << m << " n=" << n
                                            << (fails ? " NaN pivot" : ""));
          std::vector<T> a = hermitian ? random_hpd_band<T>(n, m, 3u * n + m) : random_spd_band<T>(n, m, 3u * n + m);
          if (fails) band(a.data(), m, 2 * L - 1, 2 * L - 1) = nan;
          const std::vector<T> b = random_rhs<T>(n, 2, 5u * n + m);
          const int tasks = 1 + n % 3;
          const outcome<T> plain = entry(a, n, m, b, 2, tasks, true);
          const outcome<T> blocked = entry(a, n, m, b, 2, tasks, false);
          EXPECT_EQ(blocked.status, fails ? 1 : 0);
          EXPECT_EQ(plain.status, blocked.status);
          EXPECT_TRUE(same_bits(plain.a, blocked.a)) << "a differs";
          EXPECT_TRUE(same_bits(plain.b, blocked.b)) << "b differs";
        }
      }
    }
  }
}

}  // namespace
