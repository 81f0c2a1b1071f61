"""Benchmarks compare against the plain-Python renderings the tests check the modules with."""

import sys
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent.parent / "tests"))
