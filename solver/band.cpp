// The checked interface: argument checks, then the unchecked routines.
#include "solver/band.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <type_traits>

#include "solver/entries.h"
#include "solver/team.h"

namespace velqo {

namespace detail {
// The calls' way to record what a view's storage holds after them.
struct band_access {
  template <class T> static void set(band_view<T>& a, holds contents) { a.contents_ = contents; }
};
}  // namespace detail

namespace {

// The workspace a solve allocates for itself when the caller gives none, from
// calloc: zeroed, but a large one comes as fresh pages from the system that
// nothing writes before the solve, so that each page faults in inside the
// solve, in the task that first writes it. Zero-filling it here would cost a
// pass over its 2·n·m elements and a fault per page in one task before the
// solve: at m ≤ 2 a call then takes 1.3 to 1.6 times as long as one with a
// workspace the caller has used before, against 1.13 to 1.24 this way (and
// 1.09 to 1.38 with huge pages, mapped and advised).
struct free_memory {
  void operator()(void* p) const { std::free(p); }
};
using own_workspace = std::unique_ptr<void, free_memory>;

// The unchecked routines of one precision in one form, with the failing row.
template <class T, form F> struct routines {
  static constexpr auto solution = velqo::solution<T, form_of<T, F>>;
  static constexpr auto decompose = velqo::decompose<T, form_of<T, F>>;
  static constexpr auto substitute = velqo::substitute<T, form_of<T, F>>;
  static constexpr auto factorsolve = velqo::factorsolve<T, form_of<T, F>>;
  static constexpr auto two_sided = velqo::two_sided<T, form_of<T, F>>;
};

/// call(routines<T, F>) for the view's form.
template <class T, class Call> void in_form(const band_view<T>& a, Call call) {
  if (a.form() == form::hermitian) {
    call(routines<T, form::hermitian>{});
  } else {
    call(routines<T, form::symmetric>{});
  }
}

// The runtime's tables belong to one solve at a time: checked calls from
// several threads take turns.
std::mutex one_solve_at_a_time;

std::string str(std::int64_t v) { return std::to_string(v); }

result bad(std::string message) { return {status::bad_argument, std::move(message)}; }

// Which part of a solve or factorisation failed, for the report.
enum class failure { reduction, leading_minor, trailing_minor, meeting };

// The report of a call whose pivot in row `row` failed (code 1): in the block
// reduction of solve, in a factorisation from the first row (row is the order
// of the first leading minor that is not positive definite) or from the last
// (the trailing minor from row on is not), or where the two-sided solve's
// parts meet.
template <class T> result outcome(const band_view<T>& a, int row, failure where) {
  const std::string r = str(row);
  std::string why;
  switch (where) {
    case failure::reduction: why = "the block reduction's pivot in row " + r + " was not positive"; break;
    case failure::leading_minor:
      why = "its leading minor of order " + r + " is not (the pivot in row " + r + " was not positive)";
      break;
    case failure::trailing_minor:
      why = "its trailing minor from row " + r + " to " + str(a.n()) +
            " is not (the factorisation from the last row failed there)";
      break;
    case failure::meeting:
      why = "the factorisations from the first and from the last row do not meet in a positive definite "
            "matrix after row " + r;
      break;
  }
  return {status::not_positive_definite,
          "a: the matrix (n = " + str(a.n()) + ", m = " + str(a.m()) + ") is not positive definite: " + why, row,
          where == failure::leading_minor};
}

// True when the first x elements of span u and the first y of span v share memory.
template <class T> bool overlap(std::span<T> u, std::int64_t x, std::span<T> v, std::int64_t y) {
  if (x == 0 || y == 0) return false;
  const std::less<const T*> before;
  return before(u.data(), v.data() + y) && before(v.data(), u.data() + x);
}

// The checks every call shares: sizes within range and band storage of the
// length the order and bandwidth need.
template <class T> result check_view(const band_view<T>& a) {
  if (a.n() < 0) return bad("n = " + str(a.n()) + ": the order must not be negative");
  if (a.m() < 0) return bad("m = " + str(a.m()) + ": the half bandwidth must not be negative");
  if (a.n() > max_order) return bad("n = " + str(a.n()) + ": the order must not exceed " + str(max_order));
  if (a.m() > max_order)
    return bad("m = " + str(a.m()) + ": the half bandwidth must not exceed " + str(max_order));
  if (std::int64_t(a.storage().size()) < a.required_length())
    return bad("a: the storage holds " + str(a.storage().size()) + " elements, but n = " + str(a.n()) +
               " and m = " + str(a.m()) + " need n + (n − 1)·m = " + str(a.required_length()));
  return {};
}

// What the call needs the storage to hold.
template <class T> result check_contents(const band_view<T>& a, holds needed, const char* call) {
  if (a.contents() == needed) return {};
  const std::string what = std::string(call) + " needs " + (needed == holds::matrix ? "the matrix" : "its factor");
  switch (a.contents()) {
    case holds::matrix: return bad("a: the storage holds the matrix, not its factor; " + what + " (call factor first)");
    case holds::factor: return bad("a: the storage holds the factor L from factor; " + what + " (use solve_factored)");
    case holds::overwritten: break;
  }
  return bad("a: the storage was overwritten by a solve or a failed factorisation; " + what);
}

// ------------------------------------------------------------- values

template <class T> bool finite(const T& v) {
  if constexpr (is_complex<T>) {
    return std::isfinite(v.real()) && std::isfinite(v.imag());
  } else {
    return std::isfinite(v);
  }
}

template <class T> std::string show(const T& v) {
  char text[64];
  if constexpr (is_complex<T>) {
    std::snprintf(text, sizeof text, "(%g, %g)", double(v.real()), double(v.imag()));
  } else {
    std::snprintf(text, sizeof text, "%g", double(v));
  }
  return text;
}

// Whether the count numbers from p are all finite: none has an exponent field of
// all ones. The test runs on the bits as integers, so that the loop vectorises
// (a check should cost little beside the solve it guards); a complex number
// counts as its two parts.
template <class T> bool all_finite(const T* p, std::int64_t count) {
  using R = real_type<T>;
  using bits = std::conditional_t<sizeof(R) == 4, std::uint32_t, std::uint64_t>;
  constexpr bits exponent = sizeof(R) == 4 ? bits(0x7f800000u) : bits(0x7ff0000000000000u);
  const auto* parts = reinterpret_cast<const unsigned char*>(p);
  const std::int64_t words = count * std::int64_t(sizeof(T) / sizeof(R));
  bits seen = 0;
  for (std::int64_t i = 0; i < words; ++i) {
    bits w;
    std::memcpy(&w, parts + i * sizeof(bits), sizeof w);
    seen |= bits((w & exponent) == exponent);
  }
  return seen == 0;
}

// The reading is shared among the library's tasks where an array is large: one
// core reads memory at a fraction of the rate of several (the band of 25
// million doubles: 31 ms in one task, 17 ms in two, on a 2-core Xeon), and a
// solve's own time is often not ten times that. Pieces of 2^20 elements are
// taken from a counter, so a slow task holds up the others by one piece at
// most; an array of fewer than 8 pieces is read by the calling thread alone.
constexpr std::int64_t scan_piece = std::int64_t(1) << 20;

template <class T>
void finite_pieces(const T* const& p, const std::int64_t& count, std::atomic<std::int64_t>& next,
                   std::atomic<bool>& all) {
  for (;;) {
    const std::int64_t start = next.fetch_add(scan_piece, std::memory_order_relaxed);
    if (start >= count || !all.load(std::memory_order_relaxed)) return;
    if (!all_finite(p + start, std::min(scan_piece, count - start))) all.store(false, std::memory_order_relaxed);
  }
}

// all_finite with the tasks sharing the reading; the caller holds one_solve_at_a_time.
template <class T> bool all_finite_shared(const T* p, std::int64_t count) {
  int tasks = 0;
  gettasks(tasks);
  if (count < 8 * scan_piece || tasks <= 1) return all_finite(p, count);
  team crew(int(std::min<std::int64_t>(tasks, (count + scan_piece - 1) / scan_piece)));
  own_line<std::atomic<std::int64_t>> next{0};
  own_line<std::atomic<bool>> all{true};
  crew.run(&finite_pieces<T>, p, count, next.value, all.value);
  return all.value.load(std::memory_order_relaxed);
}

// The first element of the band (rows j … min(n, j + m) of each column j) that
// is NaN or infinite, as "name(k, j) = value", or "" when all are finite. The
// positions of rows beyond n hold no entry and are not looked at.
template <class T> std::string first_not_finite_in_band(const band_view<T>& a, const char* name) {
  T* const storage = a.storage().data();
  const int n = a.n(), m = a.m();
  // The columns 1 … n − m hold m + 1 entries each, one run of the array; a
  // search element by element only where the quick test finds something.
  const int full = std::max(0, n - m);
  const int from = all_finite_shared(storage, std::int64_t(full) * (m + 1)) ? full + 1 : 1;
  for (int j = from; j <= n; ++j) {
    const int kend = std::min(n, j + m);
    for (int k = j; k <= kend; ++k)
      if (!finite(band(storage, m, k, j)))
        return std::string(name) + "(" + str(k) + ", " + str(j) + ") = " + show(band(storage, m, k, j));
  }
  return {};
}

// The same for the n × nrhs right-hand sides or solutions.
template <class T> std::string first_not_finite_in_rhs(std::span<T> b, int n, int nrhs, const char* name) {
  if (all_finite_shared(b.data(), std::int64_t(n) * nrhs)) return {};
  for (int s = 1; s <= nrhs; ++s)
    for (int i = 1; i <= n; ++i)
      if (const T& v = at(b.data(), n, i, s); !finite(v))
        return std::string(name) + "(" + str(i) + ", " + str(s) + ") = " + show(v);
  return {};
}

result not_finite(std::string message) { return {status::not_finite, std::move(message)}; }

// The values of the matrix and of the right-hand sides must be numbers.
template <class T> result check_values(const band_view<T>& a, std::span<T> b, const int& nrhs, bool matrix) {
  if (matrix)
    if (const std::string where = first_not_finite_in_band(a, "a"); !where.empty())
      return not_finite("a: " + where + " is not finite; the matrix must hold finite numbers");
  if (const std::string where = first_not_finite_in_rhs(b, a.n(), nrhs, "b"); !where.empty())
    return not_finite("b: " + where + " is not finite; the right-hand sides must hold finite numbers");
  return {};
}

// A solution that came out holding NaN or infinity: it lies beyond the range of
// the type (or the factor does).
template <class T> result check_solution(const band_view<T>& a, std::span<T> b, const int& nrhs) {
  if (const std::string where = first_not_finite_in_rhs(b, a.n(), nrhs, "x"); !where.empty())
    return not_finite("x: the solution holds " + where + ", beyond the range of the type (n = " + str(a.n()) +
                      ", m = " + str(a.m()) + ")");
  return {};
}

// The right-hand sides: n·nrhs elements that do not share memory with a.
template <class T> result check_rhs(const band_view<T>& a, std::span<T> b, const int& nrhs) {
  if (nrhs < 0) return bad("nrhs = " + str(nrhs) + ": the number of right-hand sides must not be negative");
  const std::int64_t needed = std::int64_t(a.n()) * nrhs;
  if (std::int64_t(b.size()) < needed)
    return bad("b: holds " + str(b.size()) + " elements, but n·nrhs = " + str(a.n()) + "·" + str(nrhs) + " = " +
               str(needed) + " are needed");
  if (overlap(b, needed, a.storage(), a.required_length()))
    return bad("b: its n·nrhs = " + str(a.n()) + "·" + str(nrhs) + " = " + str(needed) +
               " elements overlap the band storage of a");
  return {};
}

// ------------------------------------------------------------- the path

// From this half bandwidth on, solve takes the factorisation path; for one
// right-hand side, the two-sided path from two_sided_from to two_sided_to. A
// real band takes it as long as a column fits the one-task kernels (512 bytes:
// beyond, its parts would run on the plain steps, slower than the
// factorisation's pipeline of two tasks); a complex band, whose parts run the
// pipeline's steps in one task each, up to m = 128, where the factorisation's
// pipeline of two tasks catches up.
template <class T> constexpr int factorisation_from = 0;
template <> constexpr int factorisation_from<float> = 8;
template <> constexpr int factorisation_from<double> = 5;
template <> constexpr int factorisation_from<complex4> = 5;
template <> constexpr int factorisation_from<complex8> = 3;
template <class T> constexpr int two_sided_from = is_complex<T> ? 1 : 3;
template <class T> constexpr int two_sided_to = is_complex<T> ? 128 : 512 / int(sizeof(T));

}  // namespace

// solve takes one of three paths: the block reduction (mesolution), whose tasks
// share every stage; the factorisation followed by the substitutions
// (medecompose, mesubstitute), which does a third to a fifth of the arithmetic
// but, for all but wide bands, as one sequential chain; and, for one
// right-hand side, the two-sided factorisation, two such chains at once. Which
// one is faster depends on the precision, the band and the number of
// right-hand sides; the thresholds above follow the measurements on the
// development machines (README, "Which path serves which band") and never look
// at the task count, so that a solve's bits never depend on it.
template <element T> path solve_path(const int& m, const int& nrhs) {
  if (nrhs == 1 && m >= two_sided_from<T> && m <= two_sided_to<T>) return path::two_sided;
  return m >= factorisation_from<T> ? path::factorisation : path::block_reduction;
}

template <element T>
result solve(band_view<T>& a, std::type_identity_t<std::span<T>> b, const int& nrhs,
             std::type_identity_t<std::span<T>> workspace) {
  if (result r = check_view(a); !r) return r;
  if (result r = check_contents(a, holds::matrix, "solve"); !r) return r;
  if (result r = check_rhs(a, b, nrhs); !r) return r;
  const std::int64_t needed = a.workspace_length();
  if (!workspace.empty()) {
    if (std::int64_t(workspace.size()) < needed)
      return bad("workspace: holds " + str(workspace.size()) + " elements, but 2·n·m = 2·" + str(a.n()) + "·" +
                 str(a.m()) + " = " + str(needed) + " are needed");
    if (overlap(workspace, needed, a.storage(), a.required_length()))
      return bad("workspace: its 2·n·m = " + str(needed) + " elements overlap the band storage of a");
    if (overlap(workspace, needed, b, std::int64_t(a.n()) * nrhs))
      return bad("workspace: its 2·n·m = " + str(needed) + " elements overlap b");
  }
  // The value checks share the runtime's tasks too: one call at a time from here on.
  const std::lock_guard<std::mutex> turn(one_solve_at_a_time);
  if (result r = check_values(a, b, nrhs, true); !r) return r;
  const path way = solve_path<T>(a.m(), nrhs);
  // A system too small for the two-sided path's parts takes the factorisation path.
  const bool two_sided = way == path::two_sided && two_sided_serves<T>(a.n(), a.m());
  const bool factorisation = !two_sided && way != path::block_reduction;
  const std::size_t own_length =
      workspace.empty() && !factorisation ? std::size_t(two_sided ? two_sided_work<T>(a.m()) : needed) : 0;
  own_workspace own;
  if (own_length > 0) {
    own.reset(std::calloc(own_length, sizeof(T)));
    if (!own) throw std::bad_alloc();
    workspace = std::span<T>(static_cast<T*>(own.get()), own_length);
  }
  int code = 0, row = 0;
  in_form(a, [&](auto r) {
    T* const storage = a.storage().data();
    if (two_sided) {
      r.two_sided(storage, a.n(), a.m(), b.data(), workspace.data(), code, row);
    } else if (factorisation && nrhs == 1) {
      // The same bits as the two calls below, with the forward sweep inside the factorisation.
      r.factorsolve(storage, a.n(), a.m(), b.data(), code, row);
    } else if (factorisation) {
      r.decompose(storage, a.n(), a.m(), code, row);
      if (code == 0) r.substitute(storage, a.n(), a.m(), b.data(), nrhs);
    } else {
      r.solution(storage, a.n(), a.m(), b.data(), nrhs, workspace.data(), code, row);
    }
  });
  detail::band_access::set(a, holds::overwritten);
  if (code != 0) {
    const failure where = two_sided ? (code == 1   ? failure::leading_minor
                                       : code == 2 ? failure::trailing_minor
                                                   : failure::meeting)
                          : factorisation ? failure::leading_minor
                                          : failure::reduction;
    return outcome(a, row, where);
  }
  return check_solution(a, b, nrhs);
}

template <element T> result factor(band_view<T>& a) {
  if (result r = check_view(a); !r) return r;
  if (result r = check_contents(a, holds::matrix, "factor"); !r) return r;
  const std::lock_guard<std::mutex> turn(one_solve_at_a_time);
  if (result r = check_values(a, {}, 0, true); !r) return r;
  int code = 0, row = 0;
  in_form(a, [&](auto r) { r.decompose(a.storage().data(), a.n(), a.m(), code, row); });
  if (code != 0) {
    detail::band_access::set(a, holds::overwritten);
    return outcome(a, row, failure::leading_minor);
  }
  // A complex symmetric matrix of finite numbers can have a factor beyond the
  // range of the type whose pivots all pass (a pivot of −∞ has modulus ∞).
  if (const std::string where = first_not_finite_in_band(a, "L"); !where.empty()) {
    detail::band_access::set(a, holds::overwritten);
    return not_finite("a: the factor holds " + where + ", beyond the range of the type (n = " + str(a.n()) +
                      ", m = " + str(a.m()) + ")");
  }
  detail::band_access::set(a, holds::factor);
  return {};
}

template <element T>
result solve_factored(const band_view<T>& a, std::type_identity_t<std::span<T>> b, const int& nrhs) {
  if (result r = check_view(a); !r) return r;
  if (result r = check_contents(a, holds::factor, "solve_factored"); !r) return r;
  if (result r = check_rhs(a, b, nrhs); !r) return r;
  const std::lock_guard<std::mutex> turn(one_solve_at_a_time);
  if (result r = check_values(a, b, nrhs, false); !r) return r;
  in_form(a, [&](auto r) { r.substitute(a.storage().data(), a.n(), a.m(), b.data(), nrhs); });
  return check_solution(a, b, nrhs);
}

#define VELQO_INSTANTIATE(T)                                                  \
  template path solve_path<T>(const int&, const int&);                                   \
  template result solve<T>(band_view<T>&, std::span<T>, const int&, std::span<T>); \
  template result factor<T>(band_view<T>&);                                  \
  template result solve_factored<T>(const band_view<T>&, std::span<T>, const int&);
VELQO_INSTANTIATE(float)
VELQO_INSTANTIATE(double)
VELQO_INSTANTIATE(complex4)
VELQO_INSTANTIATE(complex8)
#undef VELQO_INSTANTIATE

}  // namespace velqo
