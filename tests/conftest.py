"""Shared helpers for the test suite.

Hypothesis runs under the profile named by KORVANE_HYPOTHESIS: "fast" (the
default, for every submission) or "deep" (make check-deep). Tests that set
their own max_examples keep it under both profiles.
"""

import gc
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from hypothesis import HealthCheck, settings

# The modules publish their probes (test-only controls that park a chosen
# thread at a named point of the free-threaded code) when this is set at
# their import.
os.environ.setdefault("KORVANE_PROBES", "1")

# Built with AddressSanitizer (make sanitize): its quarantine keeps freed
# memory mapped, so resident-size checks do not apply.
SANITIZED = os.environ.get("KORVANE_SANITIZED") == "1"

_common = {"deadline": None, "suppress_health_check": [HealthCheck.too_slow]}
settings.register_profile("fast", max_examples=40, stateful_step_count=30, **_common)
# "deep" is sized to finish `make check-deep` within 20 minutes on a loaded 2-core machine: the state
# machines run 25 times the fast profile's steps, the property tests 7.5 times its examples.
settings.register_profile("deep", max_examples=300, stateful_step_count=100, **_common)
settings.load_profile(os.environ.get("KORVANE_HYPOTHESIS", "fast"))


class Boom(Exception):
    """Raised by Hostile."""


class Hostile:
    """An argument whose conversions, comparisons and truth test all raise Boom."""

    def _boom(self, *args):
        raise Boom

    __int__ = __index__ = __float__ = __bool__ = __eq__ = __lt__ = __len__ = __iter__ = _boom
    __hash__ = object.__hash__


def run_python(code: str, *, env: dict | None = None, timeout: float = 60,
               options: tuple[str, ...] = ()) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter (same executable and sys.path, with the command-line
    `options`)."""
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, *options, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
    )


def tracked_as_inserted(d: dict) -> bool:
    """Whether the collector tracks a dict that got d's items by inserts: 3.13
    leaves one untracked while no value can hold a reference, 3.14 tracks every dict."""
    filled = {}
    for key, value in d.items():
        filled[key] = value
    return gc.is_tracked(filled)


@pytest.fixture
def readme_path():
    """The README beside the tests; skips the test where the tests run without the source tree."""
    path = Path(__file__).resolve().parent.parent / "README.md"
    if not path.is_file():
        pytest.skip(f"no README.md at {path}: the tests run outside the source tree")
    return path


@pytest.fixture
def python_subprocess():
    """The run_python helper, for tests that need a fresh process (import-time behaviour)."""
    return run_python
