"""Shared helpers for the test suite."""

import os
import subprocess
import sys
import textwrap

import pytest


def run_python(code: str, *, env: dict | None = None, timeout: float = 60) -> subprocess.CompletedProcess:
    """Runs `code` in a fresh interpreter (same executable and sys.path)."""
    full_env = dict(os.environ)
    full_env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code)],
        capture_output=True,
        text=True,
        env=full_env,
        timeout=timeout,
    )


@pytest.fixture
def python_subprocess():
    """The run_python helper, for tests that need a fresh process (import-time behaviour)."""
    return run_python
