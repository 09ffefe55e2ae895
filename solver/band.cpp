// The checked interface: argument checks, then the unchecked routines.
#include "solver/band.h"

#include <functional>
#include <mutex>
#include <vector>

#include "solver/entries.h"

namespace velqo {

namespace detail {
// The calls' way to record what a view's storage holds after them.
struct band_access {
  template <class T> static void set(band_view<T>& a, holds contents) { a.contents_ = contents; }
};
}  // namespace detail

namespace {

// The unchecked routines of one precision in one form, with the failing row.
template <class T, form F> struct routines {
  static constexpr auto solution = velqo::solution<T, form_of<T, F>>;
  static constexpr auto decompose = velqo::decompose<T, form_of<T, F>>;
  static constexpr auto substitute = velqo::substitute<T, form_of<T, F>>;
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

// The report of a call whose pivot in row `row` failed (code 1): in the block
// reduction of solve, or in the factorisation, where the row is the order of
// the first leading minor that is not positive definite.
template <class T> result outcome(const band_view<T>& a, int code, int row, bool reduction) {
  if (code == 0) return {};
  const std::string r = str(row);
  return {status::not_positive_definite,
          "a: the matrix (n = " + str(a.n()) + ", m = " + str(a.m()) + ") is not positive definite: " +
              (reduction ? "the block reduction's pivot in row " + r + " was not positive"
                         : "its leading minor of order " + r + " is not (the pivot in row " + r + " was not positive)"),
          row};
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

}  // namespace

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
  std::vector<T> own;
  if (workspace.empty()) {
    own.resize(static_cast<std::size_t>(needed));
    workspace = own;
  }
  int code = 0, row = 0;
  {
    const std::lock_guard<std::mutex> turn(one_solve_at_a_time);
    in_form(a, [&](auto r) {
      r.solution(a.storage().data(), a.n(), a.m(), b.data(), nrhs, workspace.data(), code, row);
    });
  }
  detail::band_access::set(a, holds::overwritten);
  return outcome(a, code, row, true);
}

template <element T> result factor(band_view<T>& a) {
  if (result r = check_view(a); !r) return r;
  if (result r = check_contents(a, holds::matrix, "factor"); !r) return r;
  int code = 0, row = 0;
  {
    const std::lock_guard<std::mutex> turn(one_solve_at_a_time);
    in_form(a, [&](auto r) { r.decompose(a.storage().data(), a.n(), a.m(), code, row); });
  }
  detail::band_access::set(a, code == 0 ? holds::factor : holds::overwritten);
  return outcome(a, code, row, false);
}

template <element T>
result solve_factored(const band_view<T>& a, std::type_identity_t<std::span<T>> b, const int& nrhs) {
  if (result r = check_view(a); !r) return r;
  if (result r = check_contents(a, holds::factor, "solve_factored"); !r) return r;
  if (result r = check_rhs(a, b, nrhs); !r) return r;
  const std::lock_guard<std::mutex> turn(one_solve_at_a_time);
  in_form(a, [&](auto r) { r.substitute(a.storage().data(), a.n(), a.m(), b.data(), nrhs); });
  return {};
}

#define VELQO_INSTANTIATE(T)                                                  \
  template result solve<T>(band_view<T>&, std::span<T>, const int&, std::span<T>); \
  template result factor<T>(band_view<T>&);                                  \
  template result solve_factored<T>(const band_view<T>&, std::span<T>, const int&);
VELQO_INSTANTIATE(float)
VELQO_INSTANTIATE(double)
VELQO_INSTANTIATE(complex4)
VELQO_INSTANTIATE(complex8)
#undef VELQO_INSTANTIATE

}  // namespace velqo
