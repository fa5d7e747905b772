"""``Mirrant2Engine``: renders a mirrant-2 avatar through the model host program.

The engine starts one host per engine (``python -c <run quorvane._mirrant2._entry> render-stream
<avatar>``, with this interpreter: :func:`host_command`), waits for its READY line and keeps it for
every render. A render (:meth:`Mirrant2Engine.frames`) sends the reset word, the audio in sample
steps of at most ``STEP_SAMPLES`` float32 samples, then the flush word, and yields the frame
records as (height, width, 3) uint8 RGB arrays until the end record.

The consumer's thread only pulls audio chunks, queues their words for the writer thread and takes
frames off the reader thread's queue (``HostPipe``), so neither pipe can fill up with both sides
waiting on each other. An abandoned render (the consumer stopped early, or :meth:`interrupt`)
drops the words not yet written and sends reset and flush; what the host still sends for audio it
had already read is discarded, up to the end records owed, before the next render starts. An
engine still open when the interpreter exits is closed by an exit hook.

Errors: ``EngineUnavailable`` (of ``quorvane._session``) when the host module is not installed or
the program cannot be started; ``InvalidAvatar`` (of ``quorvane._errors``) when the host refuses the
avatar (exit status 3: the detail is its FATAL line); ``EngineFailed`` when the host fails its
start otherwise, exits or stops answering, or loses frames (the detail gives its exit status and
last log lines), and when a render in flight is stopped by anyone but its own consumer
(:meth:`interrupt` or :meth:`close` from elsewhere), so that it never ends as if complete;
FileNotFoundError for a missing avatar; RuntimeError from :meth:`frames` itself when a render is
still running on the same engine (that render goes on untouched). A start that fails or is
interrupted (Ctrl-C while the host loads) ends its host before the error goes on.
"""

from __future__ import annotations

import atexit
import importlib.util
import os
import queue
import struct
import sys
import threading
import weakref

import numpy as np

from ._host_pipe import HostPipe

STEP_SAMPLES = 16000  # one second per step, so an interrupt cuts in within about a second of audio
# Audio queued ahead of the frames received: well above the host's own lag (its first frames come
# once 1.6 s is in, and a frame can wait for two more 1.6 s chunks), so waiting never starves it.
AHEAD_SAMPLES = 10 * 16000
READY_TIMEOUT_S = 300.0
STALL_TIMEOUT_S = 300.0
_FLUSH = struct.pack("<I", 0xFFFFFFFF)
_RESET = struct.pack("<I", 0xFFFFFFFE)
_HOST_MODULE = "quorvane._mirrant2._tensorhost"
_PATH_MAX = os.pathconf("/", "PC_PATH_MAX") if hasattr(os, "pathconf") else 4096
FIRST_FRAME = 3  # the index of the first frame after a reset; each next one is one more


# Engines whose host may still run. They are closed while the interpreter can still run the pipe
# threads: at its final shutdown those threads are frozen wherever they stand, and a host that
# nobody closes only gets killed there.
_OPEN_ENGINES: "weakref.WeakSet[Mirrant2Engine]" = weakref.WeakSet()


@atexit.register
def _close_open_engines() -> None:
    for engine in list(_OPEN_ENGINES):
        try:
            engine.close()
        except Exception:
            pass


def _isolation_flags() -> list[str]:
    """The flags of this interpreter's isolation, for the host's: a parent run with -I, -E, -s or
    -P must not get a host that reads the environment, the user's site directory or the working
    directory it shut out (so multiprocessing passes them to its children too)."""
    if sys.flags.isolated:
        return ["-I"]
    flags = []
    if sys.flags.ignore_environment:
        flags.append("-E")
    if sys.flags.no_user_site:
        flags.append("-s")
    if getattr(sys.flags, "safe_path", False):
        flags.append("-P")
    return flags


def host_command() -> list[str]:
    """The command that starts the model host with this interpreter, isolated as it is.

    ``python -c`` puts the working directory first on the module search path, so the host would
    import json, numpy or this very package from wherever its parent happened to be started. That
    entry is taken off (unless the interpreter leaves it out already), and the directory this
    package was imported from is put last when the path would not hold it otherwise."""
    root = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
    code = ("import sys\n"
            "if not getattr(sys.flags, 'safe_path', False): del sys.path[0]\n"
            f"if {root!r} not in sys.path: sys.path.append({root!r})\n"
            "from quorvane._mirrant2._entry import run\nrun()")
    return [sys.executable, *_isolation_flags(), "-c", code]


def host_avatar_path(source: str) -> str:
    """The avatar's path as the host is handed it: absolute, so that a relative one starting with
    "-" cannot read as an option; but as given, against the working directory the host inherits,
    when the absolute one is too long for the system to open (a working directory nested that
    deep is still usable, relative to itself)."""
    try:
        full = os.path.abspath(source)
    except OSError:  # the working directory's own path is past what the system gives out
        full = None
    if full is not None and (len(os.fsencode(full)) < _PATH_MAX or os.path.isabs(source)):
        return full
    return source if not source.startswith("-") else os.path.join(os.curdir, source)


def _errors():
    from .._session import EngineFailed, EngineUnavailable

    return EngineFailed, EngineUnavailable


class _StartFailed(Exception):
    """The host did not start: its exit status (None while it runs) and what to tell about it
    (its FATAL line for a refused avatar, else its status or why its start-up line was refused,
    and its last log lines)."""

    def __init__(self, status, detail: str) -> None:
        super().__init__(detail)
        self.status = status
        self.detail = detail


def _await_ready(host: HostPipe) -> None:
    """Waits for the READY line of a host just started. A host that does not start is stopped
    before _StartFailed is raised, and so is one whose wait is interrupted (KeyboardInterrupt
    included), before that goes on."""
    try:
        if not host.ready.wait(READY_TIMEOUT_S):
            raise _StartFailed(None, f"no READY line within {READY_TIMEOUT_S:.0f} s; {host.tail()}")
        if host.hello is not None:
            return
        if host.start_error is not None:
            raise _StartFailed(None, f"{host.start_error}; {host.tail()}")
        status = host.wait_exit()
        if status == 3:
            raise _StartFailed(3, host.fatal or f"the host exited with status 3; {host.tail()}")
        raise _StartFailed(status, f"the host exited with status {status}; {host.tail()}")
    except BaseException:
        host.stop()
        raise


class Mirrant2Engine:
    """The engine of one mirrant-2 avatar file (``source``), over one model host process.

    ``frames_per_second`` is the host's frame rate (20); ``frame_width`` and ``frame_height`` its
    frame size; ``stop_reason`` says how the last render ended ("unfinished", "flushed",
    "interrupted"). Used from one thread at a time.
    """

    def __init__(self, source) -> None:
        EngineFailed, EngineUnavailable = _errors()
        self._host = None
        source = os.fspath(source)
        if not isinstance(source, str):
            raise TypeError(f"Mirrant2Engine takes the path of an avatar; got {type(source).__name__}")
        if not os.path.exists(source):
            raise FileNotFoundError(2, "no avatar at", source)
        try:
            found = importlib.util.find_spec(_HOST_MODULE) is not None
        except (ImportError, ValueError):
            found = False
        if not found:
            raise EngineUnavailable("the mirrant-2 engine is not available on this machine",
                                    f"the model host module {_HOST_MODULE} is not installed")
        self._active = None  # token of the render in flight
        self._claim_lock = threading.Lock()  # a render may be asked for from any thread
        self._ends_owed = 0  # end records the host will still send for flushes already queued
        self.stop_reason = "not started"
        try:
            host = HostPipe(host_command() + ["render-stream", host_avatar_path(source)])
        except OSError as e:
            raise EngineUnavailable("the mirrant-2 engine could not be started", repr(e)) from None
        try:
            _await_ready(host)
        except _StartFailed as e:
            if e.status == 3:
                from .._errors import InvalidAvatar, refuse

                raise refuse(InvalidAvatar, "that avatar could not be loaded by the mirrant-2 engine", e.detail) from None
            raise EngineFailed("the mirrant-2 engine did not start", e.detail) from None
        self._host = host
        _OPEN_ENGINES.add(self)
        self.frames_per_second = host.hello["fps"]
        self.frame_width = host.hello["width"]
        self.frame_height = host.hello["height"]

    # -- the pipe ----------------------------------------------------------------------------------

    def _died(self):
        EngineFailed, _ = _errors()
        status = self._host.wait_exit()
        return EngineFailed("the mirrant-2 engine stopped", f"the host exited with status {status}; "
                            f"{self._host.fatal or self._host.tail()}")

    def _next_record(self, wait: bool = True):
        try:
            if wait:
                rec = self._host.records.get(timeout=STALL_TIMEOUT_S)
            else:
                rec = self._host.records.get_nowait()
        except queue.Empty:
            if not wait:
                return None
            EngineFailed, _ = _errors()
            raise EngineFailed("the mirrant-2 engine stopped answering",
                               f"no frame for {STALL_TIMEOUT_S:.0f} s; {self._host.tail()}") from None
        if rec[0] == "eof":
            self._host.records.put(rec)  # every later read sees the end too
            raise self._died()
        if rec[0] == "end":
            self._ends_owed -= 1
        return rec

    def _resync(self) -> None:
        """Discard what the host still sends for abandoned renders, up to the end records owed."""
        while self._ends_owed > 0:
            self._next_record()

    def _abandon(self) -> None:
        """Stop the render in flight: unsent words are dropped, reset + flush sent."""
        self._active = None
        self._ends_owed -= sum(1 for w in self._host.drop_words() if w is _FLUSH)
        self._host.words.put(_RESET)
        self._put_flush()

    def _put_flush(self) -> None:
        self._ends_owed += 1
        self._host.words.put(_FLUSH)

    def _frame(self, rec, last):
        EngineFailed, _ = _errors()
        if rec[0] != "frame":
            raise EngineFailed("the mirrant-2 engine lost step", f"an end record came before the flush; {self._host.tail()}")
        # Checked from the first record on: a host out of step (a second READY line read as a
        # record, say) gives a number no render can have, and none of its bytes reach the consumer.
        if rec[1] != (FIRST_FRAME if last is None else last + 1):
            after = "as the first frame of a render" if last is None else f"after frame {last}"
            raise EngineFailed("the mirrant-2 engine lost frames", f"frame {rec[1]} came {after}; {self._host.tail()}")
        return rec[1], np.frombuffer(rec[2], dtype=np.uint8).reshape(self.frame_height, self.frame_width, 3)

    # -- the engine interface --------------------------------------------------------------------

    def frames(self, chunks):
        """Frames (RGB uint8, height x width x 3) for the 16 kHz mono s16le byte chunks of
        ``chunks``, lazily: a chunk is taken only while no frame is waiting, and never more than
        ``AHEAD_SAMPLES`` of audio beyond the frames that came back. A sample split across two
        chunks is joined; a dangling last byte is ignored.

        The engine is claimed by this call, not by the first frame asked for: a render refused
        because another is in flight raises here and leaves that one untouched."""
        gen = self._render(chunks)
        next(gen)  # runs up to the claim; the generator's own cleanup gives the engine back
        return gen

    def _claim(self):
        EngineFailed, _ = _errors()
        with self._claim_lock:
            if self._host is None:
                raise EngineFailed("the mirrant-2 engine is closed", "Mirrant2Engine.close() was called")
            if self._active is not None:
                raise RuntimeError("a render of this avatar is still running; finish or close it first")
            token = self._active = object()
        return token

    def _cut_short(self, token):
        """What a render stopped by someone other than its own consumer raises: frames it owed
        will never come, and ending quietly would pass a short video off as complete."""
        EngineFailed, _ = _errors()
        why = "the engine was closed" if self._host is None else "Mirrant2Engine.interrupt() was called"
        return EngineFailed("the mirrant-2 render was stopped before its end", why)

    def _render(self, chunks):
        token = self._claim()
        sent = False
        try:
            yield  # primed by frames(); the frames follow
            self.stop_reason = "unfinished"
            last = None
            got = 0  # frames of this render received so far
            fed = 0  # samples of this render queued for the host
            per_frame = 16000 // self.frames_per_second
            self._resync()
            sent = True
            self._host.words.put(_RESET)
            carry = b""
            for chunk in chunks:
                data = carry + bytes(chunk)
                whole = len(data) - len(data) % 2
                carry = data[whole:]
                pcm = (np.frombuffer(data, dtype="<i2", count=whole // 2).astype(np.float32) / 32768.0).astype("<f4")
                for off in range(0, pcm.size, STEP_SAMPLES):
                    step = pcm[off : off + STEP_SAMPLES]
                    self._host.words.put(struct.pack("<I", step.size) + step.tobytes())
                fed += pcm.size
                # Beyond the bound the next record is waited for, so a long file is read and
                # queued only as fast as the host renders it.
                while (rec := self._next_record(wait=fed - got * per_frame > AHEAD_SAMPLES)) is not None:
                    last, img = self._frame(rec, last)
                    got += 1
                    yield img
                    if self._active is not token:
                        raise self._cut_short(token)
            self._put_flush()
            while (rec := self._next_record())[0] != "end":
                last, img = self._frame(rec, last)
                yield img
                if self._active is not token:
                    raise self._cut_short(token)
            self._active = None
            self.stop_reason = "flushed"
        finally:
            if self._active is token:
                if sent and self._host is not None:
                    self._abandon()
                    self.stop_reason = "interrupted"
                else:
                    self._active = None

    def interrupt(self) -> None:
        """Stop the render in flight, if any; its frame iterator then ends at its next step."""
        if self._active is not None and self._host is not None:
            self._abandon()
            self.stop_reason = "interrupted"

    def close(self) -> None:
        """Stop the host and its threads. An idle host exits on the end of its input; one still
        rendering (a render in flight, or the tail of an abandoned one) is killed, since nobody
        wants its frames. Idempotent."""
        host, self._host = self._host, None
        busy = self._active is not None or self._ends_owed > 0
        self._active = None
        if host is not None:
            host.drop_words()
            host.stop(grace_s=0.0 if busy else 5.0)

    def __del__(self) -> None:
        try:
            self.close()
        except Exception:
            pass
