"""One model host child process and the three threads that keep its pipes moving.

The writer thread writes queued request words to the host's standard input; the reader thread
reads its standard output (the READY line, then frame and end records into a bounded queue); the
log thread keeps the tail of its standard error and its first FATAL line. The threads hold this
object, never the engine that owns it, so an engine that is dropped can still be collected and
stop its host.
"""

from __future__ import annotations

import collections
import json
import queue
import struct
import subprocess
import sys
import threading
import time

CLOSE_TIMEOUT_S = 10.0
_FRAME_QUEUE = 48  # about 43 MB of 720 x 416 frames held at most
_LOG_LINES = 50
_PREFIX = "[render-stream-tensorhost] "


class HostPipe:
    """The host started with ``cmd``. ``records`` yields ("frame", index, bytearray), ("end",) and,
    once its output ends, ("eof",); ``words`` takes bytes to write, and None to close its input."""

    def __init__(self, cmd: list[str]) -> None:
        self.log: collections.deque = collections.deque(maxlen=_LOG_LINES)
        self.fatal: str | None = None
        self.hello: dict | None = None
        self.ready = threading.Event()
        self.records: queue.Queue = queue.Queue(maxsize=_FRAME_QUEUE)
        self.words: queue.Queue = queue.Queue()
        self.proc = subprocess.Popen(cmd, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.threads = [threading.Thread(target=f, name=f"quorvane-m2-{n}", daemon=True)
                        for n, f in (("log", self._read_log), ("reader", self._read_records), ("writer", self._write_words))]
        for t in self.threads:
            t.start()

    def _read_log(self) -> None:
        for raw in self.proc.stderr:
            line = raw.decode("utf-8", "replace").rstrip("\n")
            text = line[len(_PREFIX):] if line.startswith(_PREFIX) else line
            if text.startswith("FATAL: ") and self.fatal is None:
                self.fatal = text
            self.log.append(text)

    def _read_records(self) -> None:
        out = self.proc.stdout
        try:
            line = out.readline()
            if line.startswith(b"READY "):
                hello = json.loads(line[6:].decode("utf-8"))
                for k in ("fps", "width", "height"):
                    if not isinstance(hello.get(k), int) or hello[k] <= 0:
                        raise ValueError(f"READY line has no positive {k}: {line!r}")
                self.hello = hello
        except (ValueError, OSError) as e:
            self.log.append(f"(bad start-up line: {e})")
        finally:
            self.ready.set()
        if self.hello is None:
            return
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
        self.records.put(("eof",))

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
        if self.proc.poll() is not None:
            return
        self.proc.terminate()
        try:
            self.proc.wait(max(grace_s, 1.0))
        except subprocess.TimeoutExpired:
            self.proc.kill()
