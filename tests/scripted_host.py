"""A host whose renderer is scripted: one frame per UNIT samples fed, the rest at a flush.

Run as a program; it serves its standard streams with the real serve loop and exits with its status.
Every renderer call is appended to the file named by EVENTS, so a test sees what the loop asked for.
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


if __name__ == "__main__":
    r = Scripted()
    if len(sys.argv) > 1 and sys.argv[1] == "nocc":
        del Scripted.cc
    sys.exit(th._serve(r, None, "scripted-model"))
