"""The Python module against SciPy's banded Cholesky solvers, on the same arrays."""
import os
import subprocess
import sys
import threading

import numpy as np
import pytest

scipy_linalg = pytest.importorskip("scipy.linalg")
velqo = pytest.importorskip("velqo")

REAL = [np.float32, np.float64]
COMPLEX = [np.complex64, np.complex128]


def make_band(n, m, dtype, seed=0):
    """Lower form of a random, diagonally dominant band; zeros where no entry is.
    A complex one has imaginary parts on its diagonal too: a Hermitian solve
    ignores them, as SciPy's does."""
    rng = np.random.default_rng(seed)
    lo = rng.uniform(-1, 1, (m + 1, n))
    if np.dtype(dtype).kind == "c":
        lo = lo + 1j * rng.uniform(-1, 1, (m + 1, n))
    lo[0] += 4 * m + 1
    for d in range(1, m + 1):
        lo[d, max(n - d, 0):] = 0
    return np.asfortranarray(lo.astype(dtype))


def upper(lo, conjugate):
    """The same matrix in upper form."""
    m, n = lo.shape[0] - 1, lo.shape[1]
    up = np.zeros_like(lo)
    for d in range(min(m + 1, n)):
        up[m - d, d:] = lo[d, : n - d].conj() if conjugate else lo[d, : n - d]
    return up


def upper_to_lower(up):
    m, n = up.shape[0] - 1, up.shape[1]
    lo = np.zeros_like(up)
    for d in range(min(m + 1, n)):
        lo[d, : n - d] = up[m - d, d:]
    return lo


def dense(lo, conjugate):
    m, n = lo.shape[0] - 1, lo.shape[1]
    a = np.zeros((n, n), lo.dtype)
    for d in range(min(m + 1, n)):
        idx = np.arange(n - d)
        a[idx + d, idx] = lo[d, : n - d]
        a[idx, idx + d] = lo[d, : n - d].conj() if conjugate else lo[d, : n - d]
    return a


def rhs(n, k, dtype, seed=1):
    rng = np.random.default_rng(seed)
    b = rng.standard_normal((n, k if k else 1))
    if np.dtype(dtype).kind == "c":
        b = b + 1j * rng.standard_normal(b.shape)
    b = b.astype(dtype)
    return b if k else b[:, 0]


def tolerance(dtype):
    return 200 * np.finfo(dtype).eps


def band_args(lo, lower, conjugate):
    return lo if lower else upper(lo, conjugate)


# ---------------------------------------------------------------- against SciPy


@pytest.mark.parametrize("dtype", REAL + COMPLEX)
@pytest.mark.parametrize("lower", [False, True])
@pytest.mark.parametrize("n, m, k", [(200, 3, 0), (300, 8, 3), (50, 1, 2), (40, 0, 0), (5, 7, 1)])
def test_same_results_as_scipy(dtype, lower, n, m, k):
    ab = band_args(make_band(n, m, dtype), lower, True)
    b = rhs(n, k, dtype)
    expected = scipy_linalg.solveh_banded(ab, b, lower=lower)
    x = velqo.solveh_banded(ab, b, lower=lower)
    assert x.dtype == expected.dtype and x.shape == expected.shape
    np.testing.assert_allclose(x, expected, rtol=tolerance(dtype), atol=tolerance(dtype))

    # Factor once, solve many: velqo's factor equals SciPy's, and either one
    # serves either library's substitution.
    c = velqo.cholesky_banded(ab, lower=lower)
    c_scipy = scipy_linalg.cholesky_banded(ab, lower=lower)
    assert c.dtype == c_scipy.dtype and c.shape == c_scipy.shape
    np.testing.assert_allclose(c, c_scipy, rtol=tolerance(dtype), atol=tolerance(dtype))
    for factor in (c, c_scipy):
        for seed in (1, 2):
            b = rhs(n, k, dtype, seed)
            np.testing.assert_allclose(velqo.cho_solve_banded((factor, lower), b),
                                       scipy_linalg.cho_solve_banded((c_scipy, lower), b),
                                       rtol=tolerance(dtype), atol=tolerance(dtype))


@pytest.mark.parametrize("dtype", COMPLEX)
@pytest.mark.parametrize("lower", [False, True])
def test_complex_symmetric(dtype, lower):
    n, m = 120, 4
    lo = make_band(n, m, dtype)
    ab = band_args(lo, lower, False)
    a = dense(lo, False).astype(np.complex128)
    b = rhs(n, 2, dtype)
    x = velqo.solveh_banded(ab, b, lower=lower, symmetric=True)
    assert x.dtype == dtype
    np.testing.assert_allclose(a @ x, b, rtol=tolerance(dtype), atol=tolerance(dtype))
    # The factor: A = L·Lᵀ, or A = Uᵀ·U, never conjugated.
    c = velqo.cholesky_banded(ab, lower=lower, symmetric=True)
    f = np.tril(dense(c if lower else upper_to_lower(c), False))
    np.testing.assert_allclose(f @ f.T, a, rtol=tolerance(dtype), atol=tolerance(dtype) * n)
    np.testing.assert_allclose(velqo.cho_solve_banded((c, lower), b, symmetric=True), x,
                               rtol=tolerance(dtype), atol=tolerance(dtype))


@pytest.mark.parametrize("lower", [False, True])
@pytest.mark.parametrize("fails_at", [1, 7, 60])
def test_not_positive_definite(lower, fails_at):
    lo = make_band(60, 3, np.float64)
    lo[0, fails_at - 1] = -1.0
    ab = band_args(lo, lower, True)
    b = rhs(60, 0, np.float64)
    for ours, theirs in ((lambda: velqo.solveh_banded(ab, b, lower=lower),
                          lambda: scipy_linalg.solveh_banded(ab, b, lower=lower)),
                         (lambda: velqo.cholesky_banded(ab, lower=lower),
                          lambda: scipy_linalg.cholesky_banded(ab, lower=lower))):
        with pytest.raises(np.linalg.LinAlgError) as expected:
            theirs()
        with pytest.raises(np.linalg.LinAlgError) as raised:
            ours()
        assert str(raised.value) == str(expected.value)
    # Solved in place, the matrix is gone when the failure shows: still an error.
    with pytest.raises(np.linalg.LinAlgError):
        velqo.solveh_banded(lo.copy(order="F"), b, lower=True, overwrite_ab=True)


# ------------------------------------------------------------ task count


@pytest.fixture
def six_processors():
    velqo._velqo._see_processors(6)
    yield
    velqo._velqo._see_processors(0)


@pytest.mark.parametrize("dtype, symmetric", [(t, False) for t in REAL + COMPLEX] + [(t, True) for t in COMPLEX])
def test_bitwise_independent_of_task_count(dtype, symmetric, six_processors):
    n, m = 3000, 5
    ab, b = make_band(n, m, dtype), rhs(n, 2, dtype)
    runs = []
    for tasks in range(1, 7):
        assert velqo._velqo.tasks(tasks) == tasks
        x = velqo.solveh_banded(ab, b, lower=True, symmetric=symmetric, tasks=tasks)
        c = velqo.cholesky_banded(ab, lower=True, symmetric=symmetric, tasks=tasks)
        y = velqo.cho_solve_banded((c, True), b, symmetric=symmetric, tasks=tasks)
        runs.append((x.tobytes(), c.tobytes(), y.tobytes()))
    assert all(run == runs[0] for run in runs)
    assert velqo._velqo.tasks(0) == 6 and velqo._velqo.tasks(40) == 6


def test_results_do_not_depend_on_what_was_solved_before():
    """Fresh interpreters that solve something else first, in another type or
    with more tasks, give the same bits."""
    script = """if True:
        import hashlib, sys, numpy as np, velqo
        velqo._velqo._see_processors(6)
        lo = np.zeros((4, 500), order="F"); lo[0], lo[1:] = 9, 1
        b = np.arange(500.0)
        if sys.argv[1] == "complex":
            velqo.solveh_banded(lo + 1j, b + 0j, lower=True, symmetric=True, tasks=6)
        x = velqo.solveh_banded(lo, b, lower=True, tasks=1)
        z = velqo.solveh_banded(lo + 1j, b + 0j, lower=True, symmetric=True, tasks=1)
        print(hashlib.md5(x.tobytes() + z.tobytes()).hexdigest())
    """
    runs = [subprocess.run([sys.executable, "-c", script, first], capture_output=True, text=True, check=True,
                           env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}).stdout
            for first in ("real", "complex")]
    assert runs[0] == runs[1]


def test_tasks_argument():
    ab, b = make_band(10, 1, np.float64), rhs(10, 0, np.float64)
    for bad in (0, -2):
        with pytest.raises(ValueError, match="tasks"):
            velqo.solveh_banded(ab, b, tasks=bad)
    with pytest.raises(TypeError):
        velqo.cholesky_banded(ab, tasks=1.5)


# ------------------------------------------------- arrays: shapes, layouts, types


@pytest.mark.parametrize("call, message", [
    (lambda: velqo.solveh_banded(np.ones((2, 5)), np.ones(4)), "shapes of ab and b are not compatible."),
    (lambda: velqo.cho_solve_banded((np.ones((2, 5)), False), np.ones((4, 2))),
     "shapes of cb and b are not compatible."),
    (lambda: velqo.solveh_banded(np.ones(5), np.ones(5)), "2-D array"),
    (lambda: velqo.solveh_banded(np.ones((0, 5)), np.ones(5)), "2-D array"),
    (lambda: velqo.cholesky_banded(np.ones((2, 5, 1))), "2-D array"),
    (lambda: velqo.solveh_banded(np.ones((2, 5)), np.ones((5, 1, 1))), "1-D or 2-D"),
    (lambda: velqo.solveh_banded(np.ones((2, 5)), np.float64(1.0)), "1-D or 2-D"),
    (lambda: velqo.solveh_banded(np.ones((2, 3), dtype=object), np.ones(3)), "object arrays"),
])
def test_bad_shapes(call, message):
    with pytest.raises(ValueError, match=message.replace(".", r"\.")):
        call()


@pytest.mark.parametrize("where", ["ab", "b"])
@pytest.mark.parametrize("value", [np.nan, np.inf])
def test_check_finite(where, value):
    ab, b = make_band(20, 2, np.float64), rhs(20, 0, np.float64)
    (ab if where == "ab" else b)[1] = value
    for call in (lambda f: velqo.solveh_banded(ab, b, check_finite=f, lower=True),
                 lambda f: velqo.cho_solve_banded((ab, True), b, check_finite=f)):
        with pytest.raises(ValueError, match="infs or NaNs"):
            call(True)
    if where == "b":  # unchecked, the value goes through
        assert not np.isfinite(velqo.solveh_banded(ab, b, lower=True, check_finite=False)).all()


@pytest.mark.parametrize("lower", [False, True])
def test_positions_outside_the_band_are_not_read(lower):
    n, m = 30, 4
    lo = make_band(n, m, np.float64)
    ab = band_args(lo, lower, True)
    junk = ab.copy(order="F")
    outside = (np.arange(m + 1)[:, None] + np.arange(n)[None, :] >= n) if lower else \
        (np.arange(m + 1)[:, None] + np.arange(n)[None, :] < m)
    junk[outside] = np.nan
    b = rhs(n, 2, np.float64)
    x = velqo.solveh_banded(ab, b, lower=lower)
    assert np.array_equal(velqo.solveh_banded(junk, b, lower=lower, check_finite=False), x)
    c = velqo.cholesky_banded(junk, lower=lower, check_finite=False)
    c0 = velqo.cholesky_banded(ab, lower=lower)
    assert np.isnan(c[outside]).all() and np.array_equal(c[~outside], c0[~outside])
    assert np.array_equal(velqo.cho_solve_banded((c, lower), b, check_finite=False),
                          velqo.cho_solve_banded((c0, lower), b))


@pytest.mark.parametrize("lower", [False, True])
@pytest.mark.parametrize("layout", ["F", "C", "strided", "readonly"])
def test_layouts_and_copies(lower, layout):
    """Every layout gives the same solution; the inputs are left alone unless
    overwriting is allowed, and then written only where the layout fits."""
    n, m = 40, 3
    ab0 = band_args(make_band(n, m, np.float64), lower, True)
    b0 = rhs(n, 3, np.float64)
    expected = scipy_linalg.solveh_banded(ab0, b0, lower=lower)

    def arrange(x):
        if layout == "C":
            return np.ascontiguousarray(x)
        if layout == "strided":
            wide = np.zeros((x.shape[0], 2 * x.shape[1]), x.dtype, order="F")
            wide[:, ::2] = x
            return wide[:, ::2]
        y = np.asfortranarray(x).copy(order="F")
        y.flags.writeable = layout != "readonly"
        return y

    for overwrite in (False, True):
        ab, b = arrange(ab0), arrange(b0)
        ab_before, b_before = ab.copy(), b.copy()
        x = velqo.solveh_banded(ab, b, lower=lower, overwrite_ab=overwrite, overwrite_b=overwrite)
        np.testing.assert_allclose(x, expected, rtol=1e-13)
        fits = overwrite and layout == "F"
        assert np.shares_memory(x, b) == fits
        assert np.array_equal(b, b_before) != fits
        assert np.array_equal(ab, ab_before) != (fits and lower)

        ab = arrange(ab0)
        c = velqo.cholesky_banded(ab, lower=lower, overwrite_ab=overwrite)
        assert np.shares_memory(c, ab) == fits
        b = arrange(b0)
        np.testing.assert_allclose(velqo.cho_solve_banded((c, lower), b, overwrite_b=overwrite), expected,
                                   rtol=1e-13)
        assert np.array_equal(b, b_before) != fits

    # A one-column b keeps its shape, whether 1-D or (n, 1).
    assert velqo.solveh_banded(ab0, b0[:, 0], lower=lower).shape == (n,)
    assert velqo.solveh_banded(ab0, b0[:, :1], lower=lower).shape == (n, 1)


@pytest.mark.parametrize("ab_type, b_type", [
    (np.int64, np.int64), (np.int8, np.float16), (np.float32, np.float64), (np.float32, np.int32),
    (np.float32, np.bool_), (np.longdouble, np.float32)])
def test_types_converted_as_scipy_converts(ab_type, b_type):
    ab = np.zeros((2, 6))
    ab[1], ab[0, 1:] = 4, 1
    b = np.arange(6)
    expected = scipy_linalg.solveh_banded(ab.astype(ab_type), b.astype(b_type))
    x = velqo.solveh_banded(ab.astype(ab_type), b.astype(b_type))
    assert x.dtype == expected.dtype
    np.testing.assert_allclose(x, expected, rtol=tolerance(x.dtype))
    assert velqo.cholesky_banded(ab.astype(ab_type)).dtype == scipy_linalg.cholesky_banded(ab.astype(ab_type)).dtype


def test_lists_and_empty_systems():
    x = velqo.solveh_banded([[0, 1, 1], [4, 4, 4]], [1, 2, 3])
    np.testing.assert_allclose(x, scipy_linalg.solveh_banded([[0, 1, 1], [4, 4, 4]], [1, 2, 3]))
    assert velqo.solveh_banded(np.ones((3, 0)), np.ones(0)).shape == (0,)
    assert velqo.cholesky_banded(np.ones((3, 0))).shape == (3, 0)
    assert velqo.solveh_banded(make_band(4, 1, np.float64), np.ones((4, 0)), lower=True).shape == (4, 0)


def test_concurrent_calls_from_threads():
    ab = make_band(20000, 6, np.float64)
    rhss = [rhs(20000, 0, np.float64, seed) for seed in range(6)]
    expected = [velqo.solveh_banded(ab, b, lower=True) for b in rhss]
    results = [None] * len(rhss)

    def work(i):
        results[i] = velqo.solveh_banded(ab, rhss[i], lower=True)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(rhss))]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert all(np.array_equal(r, e) for r, e in zip(results, expected))

