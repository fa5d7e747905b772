import os
import subprocess
import sys

import pytest

HOST = "quorvane._mirrant2._tensorhost"


@pytest.fixture(scope="session")
def th():
    import importlib

    return importlib.import_module(HOST)


def run_python(code, *, stdin=b"", env=None, timeout=60, args=(), cwd=None):
    """Runs `code` in a fresh interpreter; returns the CompletedProcess (bytes out and err)."""
    full_env = dict(os.environ)
    full_env.pop("PYTHONUNBUFFERED", None)
    if env:
        full_env.update(env)
    return subprocess.run(
        [sys.executable, "-c", code, *args],
        input=stdin,
        capture_output=True,
        env=full_env,
        timeout=timeout,
        cwd=cwd,
    )
