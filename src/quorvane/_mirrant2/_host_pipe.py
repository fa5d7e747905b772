"""One model host child process and the three threads that keep its pipes moving.

The writer thread writes queued request words to the host's standard input; the reader thread
reads its standard output (the READY line, then frame and end records into a bounded queue); the
log thread keeps the tail of its standard error and its first FATAL line. The threads hold this
object, never the engine that owns it, so an engine that is dropped can still be collected and
stop its host.

What is kept of the host is bounded whatever it writes: the log tail holds the last
``_LOG_LINES`` lines, each cut at ``_LOG_LINE_BYTES``; at most ``_READY_BYTES`` are read looking for
the READY line; a READY line that is not the expected object with sane positive integers fails the
start at once (``start_error``). The host stages its model files in a directory of its own
(``stage_dir``), which is removed once the host is gone, however it ended.
"""

from __future__ import annotations

import collections
import json
import os
import queue
import shutil
import struct
import subprocess
import sys
import tempfile
import threading
import time

CLOSE_TIMEOUT_S = 10.0
_FRAME_QUEUE = 48  # about 43 MB of 720 x 416 frames held at most
_LOG_LINES = 8
_LOG_LINE_BYTES = 8192  # so the tail holds 64 KiB at most
_READY_BYTES = 64 << 10
_MAX_FRAME_BYTES = 64 << 20
_MAX_RATE = {"fps": 1000, "sample_rate": 1 << 20}
_PREFIX = "[render-stream-tensorhost] "


def _new_stage_dir() -> str:
    """A new private directory for one host's staged model files: inside MIRRANT2_STAGE_DIR when
    that names a usable directory (as the host itself would use it), else in the default one."""
    base = os.environ.get("MIRRANT2_STAGE_DIR", "").strip()
    if base:
        try:
            os.makedirs(base, exist_ok=True)
            return tempfile.mkdtemp(prefix="quorvane-host-", dir=base)
        except OSError:
            pass  # the host, too, would stage in the default directory
    return tempfile.mkdtemp(prefix="quorvane-host-")


def _host_env(stage_dir: str) -> dict:
    """The host's environment: this one, with its own staging directory, which it removes itself
    when it ends (also when its parent is gone by then), and without the settings of an interactive
    session: PYTHONINSPECT would turn the host's exit into a traceback and status 1."""
    env = dict(os.environ, MIRRANT2_STAGE_DIR=stage_dir, MIRRANT2_STAGE_DIR_OWNED="1")
    env.pop("PYTHONINSPECT", None)
    return env


def _hello(line: bytes) -> dict:
    """The description a READY line gives, checked: ValueError saying what is wrong with it."""
    shown = repr(line[:200]) + (" ..." if len(line) > 200 else "")
    if not line.startswith(b"READY "):
        raise ValueError(f"the host's first output is not its READY line: {shown}")
    try:
        hello = json.loads(line[6:])
    except (ValueError, RecursionError):  # a line of brackets nests past the decoder's depth
        hello = None
    if not isinstance(hello, dict):
        raise ValueError(f"the READY line holds no JSON object: {shown}")
    for k in ("fps", "width", "height", "sample_rate"):
        v = hello.get(k)
        if type(v) is not int or not 0 < v <= _MAX_RATE.get(k, _MAX_FRAME_BYTES):
            raise ValueError(f"the READY line has no sane positive integer {k}: {shown}")
    if hello["width"] * hello["height"] * 3 > _MAX_FRAME_BYTES:
        raise ValueError(f"the READY line's frames would be over {_MAX_FRAME_BYTES} bytes each: {shown}")
    return hello


class HostPipe:
    """The host started with ``cmd``. ``records`` yields ("frame", index, bytearray), ("end",) and,
    once its output ends, ("eof",); ``words`` takes bytes to write, and None to close its input."""

    def __init__(self, cmd: list[str]) -> None:
        self.log: collections.deque = collections.deque(maxlen=_LOG_LINES)
        self.fatal: str | None = None
        self.hello: dict | None = None
        self.start_error: str | None = None  # why the host's start-up output was refused
        self.ready = threading.Event()
        self.records: queue.Queue = queue.Queue(maxsize=_FRAME_QUEUE)
        self.words: queue.Queue = queue.Queue()
        self.stage_dir = _new_stage_dir()
        try:
            self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                         env=_host_env(self.stage_dir))
        except BaseException:
            self._remove_stage_dir()
            raise
        self.threads = [threading.Thread(target=f, name=f"quorvane-m2-{n}", daemon=True)
                        for n, f in (("log", self._read_log), ("reader", self._read_records), ("writer", self._write_words))]
        try:
            for t in self.threads:
                t.start()
        except BaseException:
            self.proc.kill()
            self.proc.wait()
            self._remove_stage_dir()
            raise

    def _read_log(self) -> None:
        err = self.proc.stderr
        rest_of_long_line = False
        while raw := err.readline(_LOG_LINE_BYTES):
            whole = raw.endswith(b"\n")
            if rest_of_long_line:  # what is past the cut of a long line is dropped
                rest_of_long_line = not whole
                continue
            rest_of_long_line = not whole
            line = raw.decode("utf-8", "replace").rstrip("\n") + ("" if whole else " [...]")
            text = line[len(_PREFIX):] if line.startswith(_PREFIX) else line
            if text.startswith("FATAL: ") and self.fatal is None:
                self.fatal = text
            self.log.append(text)

    def _read_records(self) -> None:
        out = self.proc.stdout
        try:
            try:
                line = out.readline(_READY_BYTES + 1)
                if len(line) > _READY_BYTES:
                    raise ValueError(f"no READY line in the first {_READY_BYTES} bytes of the host's output")
                if line.endswith(b"\n"):
                    self.hello = _hello(line)
                # else the output ended before a whole line: the host's exit status tells why
            except (ValueError, OSError) as e:
                self.start_error = str(e)
            finally:
                self.ready.set()
            if self.hello is not None:
                self._read_frames(out)
        except BaseException as e:  # the reader never ends without a word: the render would wait
            self.log.append(f"(the frame reader failed: {e!r})")
        finally:
            self.records.put(("eof",))

    def _read_frames(self, out) -> None:
        n = self.hello["width"] * self.hello["height"] * 3
        try:
            while True:
                head = out.read(4)
                if len(head) < 4:
                    break
                (idx,) = struct.unpack("<i", head)
                if idx == -1:
                    self.records.put(("end",))
                    continue
                if idx < 0:  # no frame has such a number: what follows cannot be trusted either
                    self.log.append(f"(the host broke the frame protocol: a record numbered {idx})")
                    break
                buf = bytearray(n)  # frames are handed out as writable arrays over this buffer
                view, got = memoryview(buf), 0
                while got < n:
                    k = out.readinto(view[got:])
                    if not k:
                        break
                    got += k
                if got < n:
                    break
                self.records.put(("frame", idx, buf))
        except (OSError, ValueError):
            pass

    def _write_words(self) -> None:
        stdin = self.proc.stdin
        try:
            while True:
                item = self.words.get()
                if item is None:
                    break
                stdin.write(item)
                stdin.flush()
        except (OSError, ValueError):
            pass  # the host is gone; the reader sees its output end
        finally:
            try:
                stdin.close()
            except OSError:
                pass

    def tail(self) -> str:
        """The host's last log lines, for error details."""
        lines = list(self.log)[-8:]
        return "host log: " + (" | ".join(lines) if lines else "(empty)")

    def wait_exit(self, timeout: float = CLOSE_TIMEOUT_S):
        """The host's exit status, waiting up to ``timeout`` s (None if still running); the log
        thread has then read what the host wrote."""
        try:
            status = self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None
        self.threads[0].join(timeout)
        return status

    def drop_words(self) -> list:
        """Take every word not yet written off the queue and return them."""
        dropped = []
        while True:
            try:
                dropped.append(self.words.get_nowait())
            except queue.Empty:
                return dropped

    def drain_records(self) -> None:
        while True:
            try:
                self.records.get_nowait()
            except queue.Empty:
                return

    def kill(self) -> None:
        """Kill the host at once, from any thread; whoever waits on it sees its output end, and
        stop() still does the rest."""
        try:
            if self.proc.poll() is None:
                self.proc.kill()
        except OSError:
            pass

    def stop(self, grace_s: float = 0.0) -> None:
        """End the host: its input is closed (after the words still queued); after ``grace_s``
        seconds it is killed. The threads are joined and the pipes closed."""
        if sys.is_finalizing():
            self._end_at_shutdown(grace_s)
            return
        self.words.put(None)
        deadline = time.monotonic() + grace_s
        while self.proc.poll() is None and time.monotonic() < deadline:
            self.drain_records()
            time.sleep(0.01)
        if self.proc.poll() is None:
            self.proc.kill()
        while True:
            self.drain_records()  # a reader blocked on a full queue must see the output end
            try:
                self.proc.wait(0.05)
                break
            except subprocess.TimeoutExpired:
                pass
        for t in self.threads:
            while t.is_alive():
                self.drain_records()
                t.join(0.05)
        for f in (self.proc.stdout, self.proc.stderr):
            try:
                f.close()
            except OSError:
                pass
        self._remove_stage_dir()
        # The draining above may have taken the reader's end record: a caller still waiting for a
        # record (a render on another thread) must learn that the host is gone, not wait out its
        # stall time-out. (A full queue has records for it to take, the reader's last among them.)
        try:
            self.records.put_nowait(("eof",))
        except queue.Full:
            pass

    def _end_at_shutdown(self, grace_s: float) -> None:
        """At interpreter shutdown the pipe threads can no longer run, and one frozen inside a
        read keeps that file's lock for good: closing or even flushing the pipes from here aborts
        the interpreter. So the host is only asked to end (it removes its staged files on
        SIGTERM), then killed; the pipes are left for the system to close at exit."""
        if self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(max(grace_s, 1.0))
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self._remove_stage_dir()

    def _remove_stage_dir(self) -> None:
        """The host's staging directory goes once the host is gone: files it staged and could not
        remove itself (it was killed, say) go with it."""
        shutil.rmtree(self.stage_dir, ignore_errors=True)
