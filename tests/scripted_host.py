"""A host whose renderer is scripted: one frame per UNIT samples fed, the rest at a flush.

Run as a program; it serves its standard streams with the real serve loop and exits with its status.
Every renderer call is appended to the file named by EVENTS, so a test sees what the loop asked for.

For the parent's side, it misbehaves as its environment asks, before it serves: FLOOD_ERR=n writes
n bytes to standard error without a newline (then one), FLOOD_OUT=n writes n bytes to standard
output; FATAL=n logs a FATAL line of n bytes and exits 3; READY_LINE=text writes that as its
start-up line instead of serving, and HANG=1 writes nothing; both then wait for the end of input;
READY_AGAIN=1 writes the start-up line once more when it is first fed.
PIDFILE names a file it writes its process id to once it runs, and MIRRANT2_STAGE_DIR, when set, gets
one file, as if a model had been staged there.
"""

import os
import sys

import numpy as np

from quorvane._mirrant2 import _tensorhost as th

FRAME_BYTES = 720 * 416 * 3
UNIT = int(os.environ.get("UNIT", "1000"))
EVENTS = os.environ.get("EVENTS")


def note(*a):
    if EVENTS:
        with open(EVENTS, "a") as f:
            f.write(" ".join(str(x) for x in a) + "\n")


class Scripted:
    cc = None

    def __init__(self):
        self.reset()

    def reset(self):
        note("reset")
        self.fed = 0
        self.done = 0
        self.next = 3
        self._c_n = 0
        self._c_wall = 0.0

    def _frames(self, n):
        out = []
        for _ in range(n):
            out.append((self.next, bytes([self.next % 256]) * FRAME_BYTES))
            self.next += 1
        return out

    def feed(self, pcm):
        assert pcm.dtype == np.float32 and pcm.ndim == 1
        note("feed", pcm.size, repr(float(pcm.astype(np.float64).sum())))
        if os.environ.pop("READY_AGAIN", None):  # a host out of step: its start-up line twice
            write_all(1, b'READY {"fps":20,"width":416,"height":720,"sample_rate":16000,"color":null}\n')
        self.fed += pcm.size

    def ready_chunks(self):
        n = self.fed // UNIT - self.done
        self.done += n
        self._c_n += n
        self._c_wall += 0.01 * n
        return self._frames(n)

    def flush_chunks(self):
        note("flush")
        n = 1 if self.fed > self.done * UNIT else 0
        self.done = -(-self.fed // UNIT)
        return self._frames(n)

    def rtf(self):
        return None if self._c_n == 0 else 0.5


def write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view):]


def misbehave():
    if os.environ.get("MIRRANT2_STAGE_DIR"):
        with open(os.path.join(os.environ["MIRRANT2_STAGE_DIR"], "tmp_staged_combined_litert.tflite"), "wb") as f:
            f.write(b"model")
    if os.environ.get("PIDFILE"):
        with open(os.environ["PIDFILE"] + ".tmp", "w") as f:
            f.write(str(os.getpid()))
        os.rename(os.environ["PIDFILE"] + ".tmp", os.environ["PIDFILE"])
    if "FLOOD_ERR" in os.environ:
        write_all(2, b"e" * int(os.environ["FLOOD_ERR"]) + b"\n")
    if "FLOOD_OUT" in os.environ:
        write_all(1, b"o" * int(os.environ["FLOOD_OUT"]))
    if "FATAL" in os.environ:
        write_all(2, b"[render-stream-tensorhost] FATAL: " + b"f" * int(os.environ["FATAL"]) + b"\n")
        sys.exit(3)
    if "READY_LINE" in os.environ or "HANG" in os.environ:
        write_all(1, os.environ.get("READY_LINE", "").encode())
        while os.read(0, 1 << 16):
            pass
        sys.exit(0)


if __name__ == "__main__":
    misbehave()
    r = Scripted()
    if len(sys.argv) > 1 and sys.argv[1] == "nocc":
        del Scripted.cc
    sys.exit(th._serve(r, None, "scripted-model"))
