"""Parallel solvers for banded positive-definite systems.

velqo solves A·x = b for a band matrix A that is positive definite, sharing the
work among several threads ("tasks"). Its three functions take the arguments
of SciPy's scipy.linalg.solveh_banded, cholesky_banded and cho_solve_banded and
give the same results, errors and return values, plus two keywords:

symmetric : bool, default False
    For complex arrays: the matrix is complex symmetric (A = Aᵀ, never
    conjugated) instead of Hermitian (A = Aᴴ). Ignored for real arrays.
tasks : int or None, default None
    Number of tasks (threads) the solve shares out; None uses one per processor.
    At most 32 and at most the processor count are used. The result is the same,
    bit for bit, whatever the task count.

Band forms are SciPy's: the upper form (the default) ab[m + i - j, j] = a[i, j]
for i <= j, the lower form (lower=True) ab[i - j, j] = a[i, j] for i >= j, both
of shape (m + 1, n) for half bandwidth m. A Fortran-ordered array in lower form
is the solver's own storage and is used as it is; any other is copied first.
Arrays are converted as SciPy converts them: float32 and complex64 stay in
single precision, smaller types (bool, int8/16, uint8/16, float16) become
float32, other integers and long doubles float64 (complex128 for complex).
"""

import operator

import numpy as np
from numpy.linalg import LinAlgError

from . import _velqo

__all__ = ["solveh_banded", "cholesky_banded", "cho_solve_banded", "LinAlgError"]

# The element type a group of arrays is solved in, by the highest score among
# them, as SciPy picks its LAPACK routines.
_SCORE = {**dict.fromkeys("?bBhHef", 1), **dict.fromkeys("iIlLqQdg", 2), "F": 3, "D": 4, "G": 4}
_TYPES = {1: np.dtype(np.float32), 2: np.dtype(np.float64), 3: np.dtype(np.complex64), 4: np.dtype(np.complex128)}


def _solver_type(*arrays):
    scores = [_SCORE.get(a.dtype.char, 5) for a in arrays]
    best = max(scores)
    if best == 3 and 2 in scores:  # complex64 with a double-precision array
        best = 4
    return _TYPES.get(best, _TYPES[2])


def _validated(a, check_finite):
    if np.ma.isMaskedArray(a):
        raise ValueError("masked arrays are not supported")
    a = np.asarray_chkfinite(a) if check_finite else np.asarray(a)
    if a.dtype == np.dtype("O"):
        raise ValueError("object arrays are not supported")
    return a


def _datacopied(arr, original):
    """True when arr = asarray(original) shares no data with original."""
    if arr is original:
        return False
    if not isinstance(original, np.ndarray) and hasattr(original, "__array__"):
        return False
    return arr.base is None


def _band(a, name):
    if a.ndim != 2 or a.shape[0] < 1:
        raise ValueError(f"{name} must be a 2-D array of shape (m + 1, n), not of shape {a.shape}")
    return a


def _rhs(b):
    if b.ndim not in (1, 2):
        raise ValueError(f"b must be a 1-D or 2-D array, not of shape {b.shape}")
    return b


def _tasks(tasks):
    if tasks is None:
        return 0
    count = operator.index(tasks)
    if count < 1:
        raise ValueError(f"tasks must be at least 1, not {count}")
    return count


def _hermitian(dtype, symmetric):
    return dtype.kind == "c" and not symmetric


def _work(x, dtype, may_overwrite, written=True):
    """x as a Fortran-ordered array of dtype for the solver (to write, unless
    written is false): x itself when the caller allows it and the layout fits, a
    copy otherwise."""
    if (may_overwrite and x.dtype == dtype and x.flags.f_contiguous and x.flags.aligned
            and (x.flags.writeable or not written)):
        return x
    return np.array(x, dtype=dtype, order="F")


def _lower_band(a, dtype, lower, hermitian, may_overwrite, written=True):
    """The band in the solver's lower form, a new array unless lower form a may be
    overwritten (or is only read) and fits."""
    if lower:
        return _work(a, dtype, may_overwrite, written)
    return _velqo.lower_from_upper(np.asarray(a, dtype=dtype), hermitian)


def _not_positive_definite(row, template):
    if row > 0:
        return LinAlgError(template % row)
    return LinAlgError("the matrix is not positive definite")


def _solve_failure(row, minor, a1, band, dtype, lower, hermitian, count):
    """The error of a failed solve. Where minor is true, row is the first
    leading minor that is not positive definite. Elsewhere (the block
    reduction, which works on Schur complements, or the two-sided path's
    bottom part or meeting) it need not be; while the caller's matrix is
    intact, factorising a copy names the minor."""
    if minor:
        return _not_positive_definite(row, "%dth leading minor not positive definite")
    if band is not a1:
        minor = _velqo.factor(_lower_band(a1, dtype, lower, hermitian, False), hermitian, count)
        if minor:
            return _not_positive_definite(minor, "%dth leading minor not positive definite")
    if row > 0:
        return LinAlgError(f"the matrix is not positive definite: the solve's pivot of row {row} "
                           "was not positive")
    return _not_positive_definite(row, "")


def solveh_banded(ab, b, overwrite_ab=False, overwrite_b=False, lower=False, check_finite=True, *,
                  symmetric=False, tasks=None):
    """Solve A·x = b for a positive-definite band matrix A.

    Parameters
    ----------
    ab : (m + 1, n) array_like
        The band of A in upper form (default) or lower form (lower=True).
    b : (n,) or (n, k) array_like
        Right-hand sides.
    overwrite_ab, overwrite_b : bool
        The solve may overwrite ab (with factors, useless afterwards) and
        b (with the solution) when their layout fits, instead of copying them.
    lower : bool
        ab is in lower form.
    check_finite : bool
        Raise ValueError when ab or b holds infinities or NaNs.
    symmetric : bool
        Complex A is symmetric (A = Aᵀ), not Hermitian. Keyword only.
    tasks : int or None
        Task count; None for one per processor. Keyword only.

    Returns
    -------
    x : (n,) or (n, k) ndarray
        The solution, of b's shape.

    Raises
    ------
    LinAlgError
        A is not positive definite; the message names a leading minor that is not.
    ValueError
        Shapes that do not fit, or non-finite values with check_finite.
    """
    a1 = _band(_validated(ab, check_finite), "ab")
    b1 = _rhs(_validated(b, check_finite))
    if a1.shape[-1] != b1.shape[0]:
        raise ValueError("shapes of ab and b are not compatible.")
    count = _tasks(tasks)
    dtype = _solver_type(a1, b1)
    hermitian = _hermitian(dtype, symmetric)
    band = _lower_band(a1, dtype, lower, hermitian, overwrite_ab or _datacopied(a1, ab))
    x = _work(b1 if b1.ndim == 2 else b1[:, None], dtype, overwrite_b or _datacopied(b1, b))
    row, minor = _velqo.solve(band, x, hermitian, count)
    if row:
        raise _solve_failure(row, minor, a1, band, dtype, lower, hermitian, count)
    return x if b1.ndim == 2 else x[:, 0]


def cholesky_banded(ab, overwrite_ab=False, lower=False, check_finite=True, *, symmetric=False, tasks=None):
    """Cholesky factor of a positive-definite band matrix A.

    Parameters
    ----------
    ab : (m + 1, n) array_like
        The band of A in upper form (default) or lower form (lower=True).
    overwrite_ab : bool
        The factor may overwrite ab when its layout fits.
    lower : bool
        ab is in lower form.
    check_finite : bool
        Raise ValueError when ab holds infinities or NaNs.
    symmetric : bool
        Complex A is symmetric (A = Aᵀ), not Hermitian. Keyword only.
    tasks : int or None
        Task count; None for one per processor. Keyword only.

    Returns
    -------
    c : (m + 1, n) ndarray
        The factor in ab's form: U with A = Uᴴ·U in upper form, L with A = L·Lᴴ
        in lower form (Uᵀ·U and L·Lᵀ for a complex symmetric A). Positions of
        ab outside the band are copied unchanged.

    Raises
    ------
    LinAlgError
        A is not positive definite; the message names the first leading minor
        that is not.
    """
    a1 = _band(_validated(ab, check_finite), "ab")
    count = _tasks(tasks)
    dtype = _solver_type(a1)
    hermitian = _hermitian(dtype, symmetric)
    may_overwrite = overwrite_ab or _datacopied(a1, ab)
    band = _lower_band(a1, dtype, lower, hermitian, may_overwrite)
    row = _velqo.factor(band, hermitian, count)
    if row:
        raise _not_positive_definite(row, "%d-th leading minor not positive definite")
    if lower:
        return band
    c = _work(a1, dtype, may_overwrite)
    _velqo.upper_from_lower(band, c, hermitian)
    return c


def cho_solve_banded(cb_and_lower, b, overwrite_b=False, check_finite=True, *, symmetric=False, tasks=None):
    """Solve A·x = b with the Cholesky factor from cholesky_banded.

    Parameters
    ----------
    (cb, lower) : tuple (array_like, bool)
        The factor and whether it is in lower form, as cholesky_banded gave it
        (or scipy.linalg.cholesky_banded: the factor is the same).
    b : (n,) or (n, k) array_like
        Right-hand sides.
    overwrite_b : bool
        The solution may overwrite b when its layout fits.
    check_finite : bool
        Raise ValueError when cb or b holds infinities or NaNs.
    symmetric : bool
        Complex cb is the factor of a symmetric A (Uᵀ·U or L·Lᵀ), not of a
        Hermitian one. Keyword only.
    tasks : int or None
        Task count; None for one per processor. Keyword only.

    Returns
    -------
    x : (n,) or (n, k) ndarray
        The solution, of b's shape.
    """
    (cb, lower) = cb_and_lower
    c1 = _band(_validated(cb, check_finite), "cb")
    b1 = _rhs(_validated(b, check_finite))
    if c1.shape[-1] != b1.shape[0]:
        raise ValueError("shapes of cb and b are not compatible.")
    count = _tasks(tasks)
    dtype = _solver_type(c1, b1)
    hermitian = _hermitian(dtype, symmetric)
    # The factor is only read: a lower-form one that fits is used as it is.
    band = _lower_band(c1, dtype, lower, hermitian, True, written=False)
    x = _work(b1 if b1.ndim == 2 else b1[:, None], dtype, overwrite_b or _datacopied(b1, b))
    _velqo.solve_factored(band, x, hermitian, count)
    return x if b1.ndim == 2 else x[:, 0]
