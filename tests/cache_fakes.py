"""Fakes of the outside modules the avatar cache calls (quorvane._errors, the one fake of
open_fakes; quorvane._offline), helpers that build cache entries and hold their locks from
another process, and a child interpreter that uses the cache as another user (NOBODY)."""

import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import textwrap
import threading
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


KEY_RECORD = ".quorvane-key"  # the record of its key that the cache writes into every entry it publishes


def publish(entry, payload=b"model bytes"):
    """Makes `entry` a complete entry as the cache publishes one: the bundle and the record
    naming its key (the entry's name)."""
    entry = pathlib.Path(entry)
    entry.mkdir(mode=0o700, parents=True, exist_ok=True)
    write_bundle(entry, payload)
    (entry / KEY_RECORD).write_text(entry.name)
    return str(entry)


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


# ---- another user ---------------------------------------------------------------------------

NOBODY = 65534  # the user the cache is tried as, through setpriv
OTHER = 65533  # the owner of what "another user" left behind (made as root, then chowned)

AS_NOBODY = [shutil.which("setpriv") or "setpriv", "--reuid", str(NOBODY), "--regid", str(NOBODY), "--clear-groups"]

# A child interpreter that materialises one avatar with the package's own modules faked as in
# `fakes`, then prints the outcome as JSON ("unpack_source": the bundle holds the avatar file's own
# bytes). With "wait" it first prints its pid and waits for a
# line; with "pause_in_sweep" the sweep's first probe of a candidate prints "sweeping" and waits
# for a line, so the test can act between the sweep's listing and its removals.
CHILD = textwrap.dedent(
    f"""
    import json, os, sys

    sys.path.insert(0, {os.path.dirname(os.path.abspath(__file__))!r})
    from cache_fakes import Offline
    from open_fakes import make_errors

    job = json.loads(sys.argv[1])
    errors = make_errors()
    sys.modules["quorvane._errors"] = errors
    sys.modules["quorvane._offline"] = Offline()
    import quorvane._open as op

    if job.get("unpack_source"):  # the bundle's member holds the avatar file's own bytes
        from cache_fakes import write_bundle
        sys.modules["quorvane._offline"].behaviour = lambda s, t: write_bundle(t, open(s, "rb").read())
    if job.get("pause_in_sweep"):
        real_in_use, paused = op._in_use, []
        def in_use(path, idle):
            if not paused:
                paused.append(path)
                print("sweeping", flush=True)
                sys.stdin.readline()
            return real_in_use(path, idle)
        op._in_use = in_use
    if job.get("wait"):
        print(os.getpid(), flush=True)
        sys.stdin.readline()
    try:
        out = {{"dest": op._materialise(job["source"])}}
    except errors.AvatarError as e:
        out = {{"error": type(e).__name__, "message": str(e), "detail": repr(e.detail)}}
    print(json.dumps(out), flush=True)
    """
)


def _nobody_can_run():
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        return False
    try:
        r = subprocess.run([*AS_NOBODY, sys.executable, "-c", "import quorvane._open"], capture_output=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired):
        return False
    return r.returncode == 0


_NOBODY_OK = []


@pytest.fixture
def users():
    """A directory under /tmp that every user can reach (pytest's own is root's alone), removed
    afterwards; skips unless this runs as root with setpriv able to start the interpreter as
    NOBODY."""
    if not _NOBODY_OK:
        _NOBODY_OK.append(_nobody_can_run())
    if not _NOBODY_OK[0]:
        pytest.skip("needs root and setpriv to run the interpreter as another user")
    top = tempfile.mkdtemp(prefix="qv-users-", dir="/tmp")
    os.chmod(top, 0o755)
    try:
        yield pathlib.Path(top)
    finally:
        shutil.rmtree(top, ignore_errors=True)


def chown_tree(path, uid, gid=None):
    """Gives `path` and everything below it (links themselves) to `uid`."""
    gid = uid if gid is None else gid
    os.lchown(path, uid, gid)
    for dirpath, dirs, files in os.walk(path):
        for n in dirs + files:
            os.lchown(os.path.join(dirpath, n), uid, gid)


class Nobody:
    """The child CHILD running as NOBODY with a home of its own under `top`; `env` adds to or
    (with None) removes from its environment."""

    def __init__(self, top, job, env=None):
        home = pathlib.Path(top) / "home-nobody"
        if not home.exists():
            home.mkdir(mode=0o700)
            os.chown(home, NOBODY, NOBODY)
        full = {k: v for k, v in os.environ.items() if not k.startswith("QUORVANE_")}
        full.update(HOME=str(home), PYTHONDONTWRITEBYTECODE="1")
        for k, v in (env or {}).items():
            if v is None:
                full.pop(k, None)
            else:
                full[k] = v
        self.proc = subprocess.Popen(
            [*AS_NOBODY, sys.executable, "-c", CHILD, json.dumps(job)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
            env=full,
            cwd=str(home),
        )

    def line(self, timeout=30):
        """The child's next line of output; fails the test when none comes within `timeout`."""
        got = []
        t = threading.Thread(target=lambda: got.append(self.proc.stdout.readline()), daemon=True)
        t.start()
        t.join(timeout)
        if not got:
            self.proc.kill()
            pytest.fail("the child printed nothing in time")
        return got[0]

    def go(self):
        self.proc.stdin.write("\n")
        self.proc.stdin.flush()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        if self.proc.poll() is None:
            self.proc.kill()
        self.proc.communicate()

    def result(self, line=None, timeout=30):
        """The outcome JSON (from `line` when it has been read already); the child must end well."""
        line = self.line(timeout) if line is None else line
        try:
            _, err = self.proc.communicate(timeout=timeout)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            pytest.fail("the child did not end")
        assert self.proc.returncode == 0, err
        return json.loads(line)


def run_as_nobody(top, job, env=None):
    with Nobody(top, job, env) as child:
        return child.result()


def run_child(job, env, timeout=20):
    """The outcome of CHILD run as this user under a watchdog: a child that does not end within
    `timeout` seconds is killed and fails the test."""
    full = {k: v for k, v in os.environ.items() if not k.startswith("QUORVANE_")}
    full.update(env)
    try:
        r = subprocess.run([sys.executable, "-c", CHILD, json.dumps(job)], capture_output=True, text=True,
                           env=full, timeout=timeout, stdin=subprocess.DEVNULL)
    except subprocess.TimeoutExpired:
        r = None
    if r is None:
        pytest.fail(f"the child still waited after {timeout} s")
    assert r.returncode == 0, r.stderr
    return json.loads(r.stdout.splitlines()[-1])
