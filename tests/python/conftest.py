"""Shared set-up of the korlib tests: the package from the source tree, the published
vectors, and the library under test (KORLIB_LIBRARY, set by ctest)."""

import os
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "python"))

VECTORS = Path(os.environ.get("KOR_VECTORS_DIR", ROOT / "vectors"))


@pytest.fixture
def tmp(tmp_path):
    return tmp_path
