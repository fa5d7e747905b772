"""Fakes of the outside modules the avatar cache calls (quorvane._errors, the one fake of
open_fakes; quorvane._offline) and helpers that build cache entries and hold their locks from
another process."""

import os
import subprocess
import sys
import textwrap
import types

import numpy as np
import pytest

from open_fakes import make_errors


class Offline(types.ModuleType):
    """quorvane._offline: unfold_imx writes a small bundle (manifest.json and one member), or
    does what `behaviour` says; every call is recorded with what the directory held at the call."""

    def __init__(self):
        super().__init__("quorvane._offline")
        self.calls = []
        self.behaviour = None

    def unfold_imx(self, source, tmp):
        self.calls.append((source, tmp, sorted(os.listdir(tmp))))
        if self.behaviour is not None:
            return self.behaviour(source, tmp)
        write_bundle(tmp)


def write_bundle(directory, payload=b"model bytes"):
    with open(os.path.join(directory, "manifest.json"), "w") as f:
        f.write('{"engine": "fake"}')
    with open(os.path.join(directory, "model.bin"), "wb") as f:
        f.write(payload)


def avatar_file(path, size=1000, seed=0):
    data = np.random.default_rng(seed).integers(0, 256, size, dtype=np.uint8).tobytes()
    with open(path, "wb") as f:
        f.write(data)
    return str(path)


@pytest.fixture
def fakes(monkeypatch):
    errors, offline = make_errors(), Offline()
    monkeypatch.setitem(sys.modules, "quorvane._errors", errors)
    monkeypatch.setitem(sys.modules, "quorvane._offline", offline)
    return types.SimpleNamespace(errors=errors, offline=offline)


@pytest.fixture
def op(monkeypatch):
    """quorvane._open with fresh process-wide cache state; descriptors it records are closed
    afterwards, so no test keeps another's locks."""
    import quorvane._open as module

    held = {}
    monkeypatch.setattr(module, "_HELD", held)
    monkeypatch.setattr(module, "_SWEPT", False)
    yield module
    for fd in held.values():
        os.close(fd)


class LockHolder:
    """A child process that holds an advisory lock on `path` until closed."""

    def __init__(self, path, exclusive=False):
        code = textwrap.dedent(
            """
            import fcntl, os, sys
            fd = os.open(sys.argv[1], os.O_RDONLY)
            fcntl.flock(fd, fcntl.LOCK_EX if sys.argv[2] == "1" else fcntl.LOCK_SH)
            print("locked", flush=True)
            sys.stdin.read()
            """
        )
        self.proc = subprocess.Popen(
            [sys.executable, "-c", code, str(path), "1" if exclusive else "0"],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            text=True,
        )
        assert self.proc.stdout.readline() == "locked\n"

    def close(self):
        self.proc.stdin.close()
        self.proc.wait(timeout=20)
        self.proc.stdout.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
