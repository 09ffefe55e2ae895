"""Runs the Python module's tests; exit status 77 (skipped) when NumPy, SciPy or
pytest is missing."""
import os
import sys

try:
    import numpy  # noqa: F401
    import pytest
    import scipy  # noqa: F401
except ImportError as missing:
    print(f"skipped: {missing}")
    sys.exit(77)

sys.exit(pytest.main(["-q", "-p", "no:cacheprovider", os.path.dirname(os.path.abspath(__file__))] + sys.argv[1:]))
