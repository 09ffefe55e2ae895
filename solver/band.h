// A checked C++ interface over the band solver.
//
// The routines of solver/velqo.h trust their arguments: they take raw pointers
// and sizes and read and write whatever those describe. This header puts a thin,
// checked layer on top. A band_view knows its order n, its half bandwidth m, the
// storage it looks at, the form of a complex matrix (complex symmetric or
// Hermitian) and what that storage holds (the matrix, its factor L, or neither
// after a solve). Every call checks its arguments before it touches
// anything and answers with a result that says what went wrong, naming the
// argument and the sizes; on a bad argument the caller's arrays are left exactly
// as they were. The values are checked too: a matrix or right-hand side holding
// NaN or infinity is rejected as not_finite, untouched, and a factor or a
// solution that comes out holding one is reported as not_finite rather than
// handed back as ok.
//
//   std::vector<double> storage(velqo::band_length(n, m)), b(n);
//   ... fill the lower band column by column, and b ...
//   velqo::band_view<double> a(storage, n, m);
//   if (velqo::result r = velqo::solve(a, b, 1); !r) std::cerr << r.message << '\n';
//
//   velqo::band_view<std::complex<double>> h(zstorage, n, m, velqo::form::hermitian);  // A = Aᴴ
//
// Checked calls from several threads run one at a time; the task count is the
// library's (velqo::settasks).
#pragma once

#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <type_traits>
#include <utility>

#include "solver/bandstorage.h"
#include "solver/scalar.h"
#include "solver/velqo.h"

namespace velqo {

/// The element types the solver is built for.
template <class T>
concept element = std::is_same_v<T, float> || std::is_same_v<T, double> || std::is_same_v<T, complex4> ||
                  std::is_same_v<T, complex8>;

/// Largest order and half bandwidth a checked call accepts: the solver's row
/// arithmetic runs in 32-bit integers and reaches a few times n + m.
inline constexpr int max_order = std::numeric_limits<int>::max() / 8;

/// What a checked call reports. not_finite: an element of the matrix or of the
/// right-hand sides is NaN or infinite (reported before anything is touched),
/// or the factor or the solution came out so (beyond the range of the type).
enum class status { ok, not_positive_definite, bad_argument, not_finite };

struct [[nodiscard]] result {
  velqo::status status = velqo::status::ok;
  std::string message;  ///< empty on success
  /// With not_positive_definite, the row (from 1) whose pivot failed, else 0.
  /// From factor it is the order of the first leading minor that is not
  /// positive definite (LAPACK's info). From solve it is the row at which the
  /// block reduction found that the matrix is not positive definite: the
  /// smallest failing row of the reduction stage that failed, the same for
  /// every task count; that stage works on Schur complements once past the
  /// first, so an earlier leading minor may already be the first that fails.
  int row = 0;
  /// Whether row is the order of the first leading minor that is not positive
  /// definite: from factor always, from solve when it took the factorisation
  /// path, or the two-sided path and the top part failed. (When the bottom part
  /// fails, its trailing minor from row to n is not positive definite.)
  bool minor = false;

  explicit operator bool() const { return status == velqo::status::ok; }
};

/// What the storage of a band_view holds.
enum class holds {
  matrix,      ///< the matrix A
  factor,      ///< its factor L of A = L·Lᵀ (Hermitian: L·Lᴴ), from factor()
  overwritten  ///< neither: block factors left by solve(), or a failed factor()
};

namespace detail {
struct band_access;
}

/// A symmetric (or, for complex T, Hermitian) band matrix of order n with half
/// bandwidth m, held in band storage (solver/bandstorage.h) in a span the caller
/// owns; the span may be longer than the n + (n − 1)·m elements the layout needs
/// (LAPACK's (m + 1)·n array holds the same layout). The form says what the
/// upper triangle is: form::symmetric (the default) the transpose of the stored
/// lower triangle, form::hermitian its conjugate transpose, with the imaginary
/// parts of the stored diagonal ignored (for real T both are the same). A view
/// cannot be copied, so that one view alone records what its storage holds; a
/// view moved from looks at nothing.
template <element T> class band_view {
 public:
  band_view(std::span<T> storage, const int& n, const int& m, velqo::holds contents = velqo::holds::matrix)
      : storage_(storage), n_(n), m_(m), contents_(contents) {}
  band_view(std::span<T> storage, const int& n, const int& m, velqo::form f,
            velqo::holds contents = velqo::holds::matrix)
      : storage_(storage), n_(n), m_(m), form_(f), contents_(contents) {}
  band_view(const band_view&) = delete;
  band_view& operator=(const band_view&) = delete;
  band_view(band_view&& other) noexcept
      : storage_(std::exchange(other.storage_, {})), n_(std::exchange(other.n_, 0)),
        m_(std::exchange(other.m_, 0)), form_(other.form_),
        contents_(std::exchange(other.contents_, velqo::holds::overwritten)) {}
  band_view& operator=(band_view&& other) noexcept {
    storage_ = std::exchange(other.storage_, {});
    n_ = std::exchange(other.n_, 0);
    m_ = std::exchange(other.m_, 0);
    form_ = other.form_;
    contents_ = std::exchange(other.contents_, velqo::holds::overwritten);
    return *this;
  }

  int n() const { return n_; }
  int m() const { return m_; }
  std::span<T> storage() const { return storage_; }
  /// The form of the matrix: complex symmetric or Hermitian.
  velqo::form form() const { return form_; }
  velqo::holds contents() const { return contents_; }
  bool factored() const { return contents_ == velqo::holds::factor; }

  /// Elements the band storage of this order and bandwidth needs: n + (n − 1)·m.
  std::int64_t required_length() const { return band_length(n_, m_); }
  /// Elements of the workspace solve() needs: 2·n·m.
  std::int64_t workspace_length() const {
    return n_ <= 0 || m_ <= 0 ? 0 : 2 * std::int64_t(n_) * m_;
  }

 private:
  friend struct detail::band_access;
  std::span<T> storage_;
  int n_;
  int m_;
  velqo::form form_ = velqo::form::symmetric;
  velqo::holds contents_;
};

/// The ways solve can go.
enum class path {
  block_reduction,  ///< mesolution_*: the tasks share every stage of the block reduction
  factorisation,    ///< medecompose_* then mesubstitute_*: a third to a fifth of the arithmetic
  /// For one right-hand side, from m = 3 in real and m = 1 in complex
  /// precision up to m = 64 in double and 128 in the other precisions: the top
  /// part of the rows factorised from the first row and the bottom part from
  /// the last, in two tasks at once, meeting in the 2·m rows around the cut. A
  /// system too small for each part to hold m rows takes the factorisation path.
  two_sided
};

/// The path solve takes for element type T, half bandwidth m and nrhs
/// right-hand sides: the faster on the measurements (README, "Which path
/// serves which band"), chosen from the precision, m and nrhs alone, so that a
/// solve's bits never depend on the task count.
template <element T> path solve_path(const int& m, const int& nrhs = 1);

/// Solves A·X = B in place by solve_path<T>(m, nrhs): the block reduction
/// (mesolution_csp_*, or mesolution_hpd_* for a Hermitian view), the
/// factorisation followed by the substitutions (medecompose_*, mesubstitute_*)
/// or the two-sided factorisation (README, "Which path serves which band"). The view's storage is overwritten
/// by factors that serve no later call (the view then holds::overwritten), b
/// (n × nrhs, column-major, leading dimension n) by the solutions. workspace
/// needs a.workspace_length() = 2·n·m elements for the block reduction (and
/// uses 2·m² + m of them on the two-sided path); an
/// empty span lets the call allocate its own when it needs one (std::bad_alloc
/// if it cannot). On not_positive_definite, a and b are partial, and the
/// result's row says where the solve failed (minor tells which kind of row it
/// is); on not_finite from the solution (message "x: …"), b holds it.
template <element T>
result solve(band_view<T>& a, std::type_identity_t<std::span<T>> b, const int& nrhs,
             std::type_identity_t<std::span<T>> workspace = {});

/// Factorises A = L·Lᵀ (Hermitian: A = L·Lᴴ) in place with the parallel
/// factorisation (medecompose_csp_*, medecompose_hpd_*); the view then holds
/// its factor and serves any number of solve_factored calls. On
/// not_positive_definite the storage is partial, and the result's row is the
/// order of the first leading minor that is not positive definite; on
/// not_finite from the factor (message "a: the factor …") it holds that factor,
/// and the view then holds::overwritten.
template <element T> result factor(band_view<T>& a);

/// Solves A·X = B with a factored view (mesubstitute_csp_*, mesubstitute_hpd_*),
/// for nrhs right-hand sides in b, which are overwritten by the solutions (also
/// when they come out not finite).
template <element T>
result solve_factored(const band_view<T>& a, std::type_identity_t<std::span<T>> b, const int& nrhs);

}  // namespace velqo
