"""Small fakes of the package modules that quorvane._open reaches by name, for asserting the exact
calls, arguments, order and error mapping. Each fixture installs its module in sys.modules."""

import sys
import types

import pytest

from quorvane import _open


def _module(name, **attrs):
    mod = types.ModuleType(name)
    for key, value in attrs.items():
        setattr(mod, key, value)
    return mod


def make_errors():
    """quorvane._errors: the error classes, and `refuse` returning cls(message, detail) and
    recording each call in `refused`."""
    class AvatarError(Exception):
        def __init__(self, message, detail=None):
            super().__init__(message)
            self.message = message
            self.detail = detail

    class InvalidAvatar(AvatarError):
        pass

    class NotSupported(AvatarError):
        pass

    class Failed(AvatarError):
        pass

    class _Outdated(InvalidAvatar):
        def __init__(self, message, code):
            super().__init__(message)
            self.code = code

    mod = _module(
        "quorvane._errors",
        AvatarError=AvatarError,
        InvalidAvatar=InvalidAvatar,
        NotSupported=NotSupported,
        Failed=Failed,
        _Outdated=_Outdated,
        refused=[],
    )

    def refuse(cls, message, detail):
        mod.refused.append((cls, message, detail))
        return cls(message, detail)

    mod.refuse = refuse
    return mod


class ScriptedSession:
    """A session whose frames are scripted: `on_push(chunk)` gives the frames made ready by a push,
    `drain` the pulls after end() (a pair, None, or a callable run at that pull giving either)."""

    def __init__(self, log, kinds, on_push=None, drain=()):
        self.log = log
        self.kinds = kinds
        self.on_push = on_push or (lambda chunk: [])
        self.drain = list(drain)
        self.ready = []
        self.ended = False

    def reset(self):
        self.log.append("reset")
        self.ready.clear()
        self.ended = False

    def push(self, chunk):
        self.log.append(("push", chunk))
        self.ready.extend(self.on_push(chunk))

    def pull(self):
        if self.ready:
            return self.ready.pop(0)
        if self.ended and self.drain:
            item = self.drain.pop(0)
            return item() if callable(item) else item
        return None

    def end(self):
        self.log.append("end")
        self.ended = True

    def check_render(self):
        self.log.append("check")

    def close(self):
        self.log.append("close")


def make_session():
    class _EngineError(Exception):
        def __init__(self, message, detail=""):
            super().__init__(message)
            self.detail = detail

    class EngineUnavailable(_EngineError):
        pass

    class EngineFailed(_EngineError):
        pass

    class AvatarOutdated(Exception):
        def __init__(self, message, detail, code):
            super().__init__(message)
            self.detail = detail
            self.code = code

    mod = _module(
        "quorvane._session",
        EngineUnavailable=EngineUnavailable,
        EngineFailed=EngineFailed,
        AvatarOutdated=AvatarOutdated,
        FPS=25,
        BYTES_PER_FRAME=1280,  # 25 frames a second of 16 kHz s16le: 32000 bytes a second
        LE_UTT_SPEECH="speech",
        LE_UTT_IDLE="idle",
        built=[],
    )

    def Session(bundle, manifest):  # noqa: N802 - the outside module's class name
        mod.built.append((bundle, manifest))
        return ScriptedSession([], mod)

    mod.Session = Session
    return mod


class FakeClock:
    """Stands in for the module's `time`: monotonic and perf_counter read `now`; sleep advances it."""

    def __init__(self, now=100.0):
        self.now = now
        self.sleeps = []

    def monotonic(self):
        return self.now

    def perf_counter(self):
        return self.now

    def sleep(self, seconds):
        self.sleeps.append(seconds)
        self.now += seconds


@pytest.fixture
def errors(monkeypatch):
    mod = make_errors()
    monkeypatch.setitem(sys.modules, "quorvane._errors", mod)
    return mod


@pytest.fixture
def session_mod(monkeypatch):
    mod = make_session()
    monkeypatch.setitem(sys.modules, "quorvane._session", mod)
    return mod


@pytest.fixture
def clock(monkeypatch):
    fake = FakeClock()
    monkeypatch.setattr(_open, "time", fake)
    return fake


def assert_in_place(exc):
    """Raised in place of the caught error: neither chained nor carrying it as context."""
    assert exc.__cause__ is None
    assert exc.__context__ is None
