// The compiled half of the Python module velqo (velqo._velqo).
//
// The Python half (velqo/__init__.py) validates and converts the caller's
// arrays and hands this module arrays that already have the element type, the
// layout and the band form the solver works on: the band in lower form, a
// Fortran-ordered (m + 1) × n array whose column j holds a(j, j) … a(j + m, j),
// which is exactly the solver's band storage, and right-hand sides as a
// Fortran-ordered n × nrhs array. The functions here check that once more and
// refuse anything else, so that an array is never read with the wrong layout and
// never written through a copy the caller does not see.
//
// Every call releases the interpreter lock while the solver runs; calls from
// several Python threads then take turns, since the task count and the solver's
// runtime belong to one call at a time.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <utility>

#include "solver/band.h"
#include "solver/def_velqo.h"
#include "solver/testing.h"
#include "solver/velqo.h"

namespace py = pybind11;

namespace {

using velqo::complex4;
using velqo::complex8;

// The task count is set and the solver run under this lock, as one step.
std::mutex one_call_at_a_time;

// The parallel solver's workspace (2·n·m elements), kept from call to call
// under the lock above and grown as needed: fresh pages for it on every call
// would cost a fault per page, as much time as half the solve.
class workspace_cache {
 public:
  template <class T> std::span<T> get(std::size_t length) {
    const std::size_t bytes = length * sizeof(T);
    if (bytes > size_) {
      storage_.reset();  // the old one goes before the new one is allocated
      size_ = 0;
      storage_ = std::make_unique_for_overwrite<std::byte[]>(bytes);
      size_ = bytes;
    }
    return {reinterpret_cast<T*>(storage_.get()), length};
  }

 private:
  std::unique_ptr<std::byte[]> storage_;
  std::size_t size_ = 0;
};
workspace_cache workspace;

// tasks ≤ 0: one task per processor; otherwise min(tasks, 32, processors).
void choose_tasks(int tasks) {
  if (tasks <= 0) {
    velqo::resettasks();
  } else {
    velqo::settasks(tasks);
  }
}

template <class T> const char* type_name() {
  if constexpr (std::is_same_v<T, float>) return "float32";
  if constexpr (std::is_same_v<T, double>) return "float64";
  if constexpr (std::is_same_v<T, complex4>) return "complex64";
  if constexpr (std::is_same_v<T, complex8>) return "complex128";
}

// The data of x, which must be a 2-D Fortran-ordered, aligned array of T
// (writeable when the call writes it).
template <class T> T* fortran_data(const py::array& x, const char* name, bool written) {
  if (!py::isinstance<py::array_t<T>>(x))
    throw py::type_error(std::string(name) + ": expected an array of " + type_name<T>());
  if (x.ndim() != 2) throw py::value_error(std::string(name) + ": expected a 2-D array");
  const int flags = x.flags();
  if (!(flags & py::array::f_style) || !(flags & py::detail::npy_api::NPY_ARRAY_ALIGNED_))
    throw py::value_error(std::string(name) + ": expected an aligned, Fortran-ordered array");
  if (written && !(flags & py::detail::npy_api::NPY_ARRAY_WRITEABLE_))
    throw py::value_error(std::string(name) + ": the array is read-only");
  return static_cast<T*>(const_cast<void*>(x.data()));
}

int checked_size(py::ssize_t value, const char* what) {
  if (value > velqo::max_order)
    throw py::value_error(std::string(what) + " = " + std::to_string(value) + " exceeds the solver's limit of " +
                          std::to_string(velqo::max_order));
  return int(value);
}

// A band argument (m + 1) × n in lower form and what it holds.
template <class T> struct band_arg {
  T* data;
  int n, m;
  std::span<T> storage() const { return {data, std::size_t(m + 1) * std::size_t(n)}; }
};

template <class T> band_arg<T> band_of(const py::array& ab, const char* name, bool written) {
  T* data = fortran_data<T>(ab, name, written);
  if (ab.shape(0) < 1) throw py::value_error(std::string(name) + ": the band needs at least one row");
  return {data, checked_size(ab.shape(1), "n"), checked_size(ab.shape(0) - 1, "m")};
}

// The view of a band in the form the call asks for: Hermitian (complex types
// only) or symmetric.
template <class T> velqo::band_view<T> view(const band_arg<T>& a, bool hermitian, velqo::holds contents) {
  const velqo::form f = hermitian && velqo::is_complex<T> ? velqo::form::hermitian : velqo::form::symmetric;
  return velqo::band_view<T>(a.storage(), a.n, a.m, f, contents);
}

// Right-hand sides n × nrhs for a band of order n.
template <class T> std::span<T> rhs_of(const py::array& b, int n, int& nrhs) {
  T* data = fortran_data<T>(b, "b", true);
  if (b.shape(0) != n)
    throw py::value_error("b: has " + std::to_string(b.shape(0)) + " rows, but the band has order " +
                          std::to_string(n));
  nrhs = checked_size(b.shape(1), "nrhs");
  return {data, std::size_t(n) * std::size_t(nrhs)};
}

// What a call returns to the Python half: 0 on success, the 1-based row of the
// failed pivot when the matrix is not positive definite (−1 when the library
// does not say which); a bad argument raises ValueError.
//
// NaN or infinity only reaches the library with check_finite=False, where SciPy
// promises nothing. The library refuses such input, or finds a result beyond
// the range of the type; the array it would have written is then filled with
// NaN, so the answer is plainly not one rather than the untouched input.
template <class T> int outcome(const velqo::result& r, std::span<T> written) {
  switch (r.status) {
    case velqo::status::ok: return 0;
    case velqo::status::not_positive_definite: return r.row > 0 ? r.row : -1;
    case velqo::status::not_finite:
      std::fill(written.begin(), written.end(), T(std::numeric_limits<velqo::real_type<T>>::quiet_NaN()));
      return 0;
    case velqo::status::bad_argument: break;
  }
  throw py::value_error(r.message);
}

// A·X = B by the parallel solver: ab (lower form) is left holding factors, b
// the solutions. The row of a failed pivot, and whether it is the order of the
// first leading minor that is not positive definite (the factorisation path,
// or the top part of the two-sided one) rather than another row of the solve.
template <class T>
std::pair<int, bool> solve(const py::array& ab, const py::array& b, bool hermitian, int tasks) {
  const band_arg<T> a = band_of<T>(ab, "ab", true);
  int nrhs = 0;
  const std::span<T> x = rhs_of<T>(b, a.n, nrhs);
  velqo::band_view<T> v = view(a, hermitian, velqo::holds::matrix);
  velqo::result r;
  {
    py::gil_scoped_release unlocked;
    const std::lock_guard<std::mutex> turn(one_call_at_a_time);
    const std::span<T> work = workspace.get<T>(std::size_t(v.workspace_length()));
    choose_tasks(tasks);
    r = velqo::solve(v, x, nrhs, work);
  }
  return {outcome(r, x), r.minor};
}

// A = L·Lᵀ (or L·Lᴴ) in place in ab.
template <class T> int factor(const py::array& ab, bool hermitian, int tasks) {
  const band_arg<T> a = band_of<T>(ab, "ab", true);
  velqo::band_view<T> v = view(a, hermitian, velqo::holds::matrix);
  py::gil_scoped_release unlocked;
  const std::lock_guard<std::mutex> turn(one_call_at_a_time);
  choose_tasks(tasks);
  return outcome(velqo::factor(v), v.storage());
}

// A·X = B with the factor L in cb (lower form, only read).
template <class T> void solve_factored(const py::array& cb, const py::array& b, bool hermitian, int tasks) {
  const band_arg<T> a = band_of<T>(cb, "cb", false);
  int nrhs = 0;
  const std::span<T> x = rhs_of<T>(b, a.n, nrhs);
  const velqo::band_view<T> v = view(a, hermitian, velqo::holds::factor);
  velqo::result r;
  {
    py::gil_scoped_release unlocked;
    const std::lock_guard<std::mutex> turn(one_call_at_a_time);
    choose_tasks(tasks);
    r = velqo::solve_factored(v, x, nrhs);
  }
  outcome(r, x);
}

template <class T> T maybe_conj(const T& x, bool conjugate) {
  if constexpr (velqo::is_complex<T>) {
    return conjugate ? std::conj(x) : x;
  } else {
    return x;
  }
}

// The lower form of a band given in upper form (any strides): lower(d, j) =
// upper(m − d, j + d), conjugated for a Hermitian matrix. The positions of rows
// past n in the last columns, which hold no entry, are zero.
template <class T> py::array lower_from_upper(const py::array& upper, bool conjugate) {
  if (upper.ndim() != 2) throw py::value_error("ab: expected a 2-D array");
  const py::array_t<T> source(upper);  // upper itself when its type is T
  const auto u = source.template unchecked<2>();
  const py::ssize_t rows = upper.shape(0), n = upper.shape(1), m = rows - 1;
  py::array_t<T, py::array::f_style> lower({rows, n});
  auto l = lower.template mutable_unchecked<2>();
  py::gil_scoped_release unlocked;
  for (py::ssize_t j = 0; j < n; ++j)
    for (py::ssize_t d = 0; d <= m; ++d) l(d, j) = j + d < n ? maybe_conj(u(m - d, j + d), conjugate) : T(0);
  return lower;
}

// The reverse: upper(m − d, j + d) = lower(d, j) for every entry of the band,
// into upper (any strides); its other positions are left as they are.
template <class T> void upper_from_lower(const py::array& lower, const py::array& upper, bool conjugate) {
  const band_arg<T> a = band_of<T>(lower, "lower", false);
  if (!py::isinstance<py::array_t<T>>(upper) || upper.ndim() != 2 || upper.shape(0) != a.m + 1 ||
      upper.shape(1) != a.n)
    throw py::value_error("upper: expected an array of the lower band's type and shape");
  py::array_t<T> target(upper);  // upper itself: the type was checked
  auto u = target.template mutable_unchecked<2>();
  py::gil_scoped_release unlocked;
  const std::int64_t ld = a.m + 1;
  for (std::int64_t j = 0; j < a.n; ++j)
    for (std::int64_t d = 0; d <= a.m && j + d < a.n; ++d)
      u(a.m - d, j + d) = maybe_conj(a.data[ld * j + d], conjugate);
}

// Runs f<T> for the element type of x.
template <template <class> class F, class... Args> auto by_type(const py::array& x, const Args&... args) {
  if (py::isinstance<py::array_t<float>>(x)) return F<float>::run(x, args...);
  if (py::isinstance<py::array_t<double>>(x)) return F<double>::run(x, args...);
  if (py::isinstance<py::array_t<complex4>>(x)) return F<complex4>::run(x, args...);
  if (py::isinstance<py::array_t<complex8>>(x)) return F<complex8>::run(x, args...);
  throw py::type_error("expected an array of float32, float64, complex64 or complex128");
}

template <class T> struct solve_fn {
  static std::pair<int, bool> run(const py::array& ab, const py::array& b, bool h, int t) {
    return solve<T>(ab, b, h, t);
  }
};
template <class T> struct factor_fn {
  static int run(const py::array& ab, bool h, int t) { return factor<T>(ab, h, t); }
};
template <class T> struct solve_factored_fn {
  static void run(const py::array& cb, const py::array& b, bool h, int t) { solve_factored<T>(cb, b, h, t); }
};
template <class T> struct lower_fn {
  static py::array run(const py::array& upper, bool c) { return lower_from_upper<T>(upper, c); }
};
template <class T> struct upper_fn {
  static void run(const py::array& lower, const py::array& upper, bool c) { upper_from_lower<T>(lower, upper, c); }
};

}  // namespace

PYBIND11_MODULE(_velqo, module) {
  module.doc() = "The solver entries behind velqo's functions; use those, not these.";
  // The first grain rule that runs fixes the grain sizes, and with them the
  // block lengths and so the rounding, of every precision for the rest of the
  // process, and the complex rule decides by the task count of its call. Left
  // to the first solve, a result would depend on the type and the task count of
  // whatever was solved before it; the real rule, which depends on nothing,
  // runs first instead.
  velqo::def_velqo::requiregrainsize();
  module.def(
      "solve", [](const py::array& ab, const py::array& b, bool h, int t) { return by_type<solve_fn>(ab, b, h, t); },
      py::arg("ab"), py::arg("b"), py::arg("hermitian"), py::arg("tasks"),
      "Solves in place; (0, False), or the row of a failed pivot (-1: not known) and whether it is a "
      "leading minor's order.");
  module.def(
      "factor", [](const py::array& ab, bool h, int t) { return by_type<factor_fn>(ab, h, t); }, py::arg("ab"),
      py::arg("hermitian"), py::arg("tasks"),
      "Factorises in place; 0, or the order of the failing leading minor (-1: not known).");
  module.def(
      "solve_factored",
      [](const py::array& cb, const py::array& b, bool h, int t) { by_type<solve_factored_fn>(cb, b, h, t); },
      py::arg("cb"), py::arg("b"), py::arg("hermitian"), py::arg("tasks"), "Solves in place with a factor.");
  module.def(
      "lower_from_upper", [](const py::array& upper, bool c) { return by_type<lower_fn>(upper, c); },
      py::arg("upper"), py::arg("conjugate"), "A new lower-form band from an upper-form one.");
  module.def(
      "upper_from_lower",
      [](const py::array& lower, const py::array& upper, bool c) { by_type<upper_fn>(lower, upper, c); },
      py::arg("lower"), py::arg("upper"), py::arg("conjugate"), "Writes a lower-form band into an upper-form array.");
  module.def(
      "tasks",
      [](int tasks) {
        py::gil_scoped_release unlocked;
        const std::lock_guard<std::mutex> turn(one_call_at_a_time);
        choose_tasks(tasks);
        int count = 0;
        velqo::gettasks(count);
        return count;
      },
      py::arg("tasks"), "The task count a call with this tasks argument runs with (0: the default).");
  module.def(
      "_see_processors",
      [](int count) {
        py::gil_scoped_release unlocked;
        const std::lock_guard<std::mutex> turn(one_call_at_a_time);
        velqo::testing::override_processor_count(count);
      },
      py::arg("count"), "For the tests: the task count rules see count processors (0: the machine's).");
}
