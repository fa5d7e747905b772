"""A parent process's side of the host's frame pipe, for tests and benchmarks."""

import array
import fcntl
import os
import select
import struct
import subprocess
import sys
import termios
import time

FRAME_BYTES = 720 * 416 * 3
FLUSH = struct.pack("<I", 0xFFFFFFFF)
RESET = struct.pack("<I", 0xFFFFFFFE)
F_GETPIPE_SZ = 1032  # Linux fcntl command: the capacity of a pipe


def host_command(bundle, *args):
    """The host program, started as its console entry starts it."""
    return [sys.executable, "-c", "from quorvane._mirrant2._entry import run; run()", "render-stream", bundle, *args]


def step(samples):
    """One sample step: the count word and the float32 little-endian payload."""
    import numpy as np

    a = np.asarray(samples, dtype="<f4")
    return struct.pack("<I", a.size) + a.tobytes()


def parse_records(data):
    """Splits host output after the READY line into ('frame', idx, bytes) and ('end',) items."""
    out, i = [], 0
    while i < len(data):
        (idx,) = struct.unpack_from("<i", data, i)
        i += 4
        if idx == -1:
            out.append(("end",))
        else:
            out.append(("frame", idx, data[i : i + FRAME_BYTES]))
            i += FRAME_BYTES
    return out


def split_ready(stdout):
    line, _, rest = stdout.partition(b"\n")
    return line + b"\n", rest


class Reader:
    """Reads a child's standard output with a deadline, so a missing flush fails instead of hanging."""

    def __init__(self, proc, timeout=30.0):
        self.fd = proc.stdout.fileno()
        self.timeout = timeout

    def read(self, n):
        buf = bytearray()
        deadline = time.monotonic() + self.timeout
        while len(buf) < n:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.fd], [], [], left)[0]:
                raise TimeoutError(f"got {len(buf)} of {n} bytes")
            chunk = os.read(self.fd, n - len(buf))
            if not chunk:
                raise EOFError(f"got {len(buf)} of {n} bytes before end of output")
            buf += chunk
        return bytes(buf)

    def line(self):
        buf = bytearray()
        while not buf.endswith(b"\n"):
            buf += self.read(1)
        return bytes(buf)

    def record(self):
        (idx,) = struct.unpack("<i", self.read(4))
        if idx == -1:
            return ("end",)
        return ("frame", idx, self.read(FRAME_BYTES))


def spawn(args, env=None):
    full = dict(os.environ)
    full.pop("PYTHONUNBUFFERED", None)
    if env:
        full.update(env)
    return subprocess.Popen(args, stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=full)


def pipe_filled(fd, timeout):
    """Waits until the pipe read through `fd` holds as much as it can: its writer is then blocked.

    The kernel keeps a pipe's bytes in page-sized slots and a write may leave its last slot part
    full, so a pipe holding more than its capacity less one page has every slot in use."""
    capacity = fcntl.fcntl(fd, F_GETPIPE_SZ)
    page = os.sysconf("SC_PAGE_SIZE")
    held = array.array("i", [0])
    deadline = time.monotonic() + timeout
    while True:
        fcntl.ioctl(fd, termios.FIONREAD, held)
        if held[0] > capacity - page:
            return
        if time.monotonic() > deadline:
            raise TimeoutError(f"the pipe holds {held[0]} of {capacity} bytes")
        time.sleep(0.005)
