"""What the host benchmarks share: a speech-like test clip, the command that starts the host, the
request words, and the renderer's chunk schedule seen from the parent's side of the pipe."""

import os
import struct
import sys

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
AVATAR = os.path.join(ROOT, "demo", "avatar.imx")
SR = 16000
FRAME_BYTES = 720 * 416 * 3
FLUSH = struct.pack("<I", 0xFFFFFFFF)
STEP_SAMPLES = 320  # 20 ms
SPC = 25600  # samples per steady chunk
WIN_SAMPLES = 44000


def speech_like(seconds, seed=7):
    """`seconds` of seeded, speech-like 16 kHz float32 audio: phrases of voiced syllables (a gliding
    pitch with its harmonics under a syllable envelope, a little breath noise) between pauses."""
    rng = np.random.default_rng(seed)
    n = int(round(seconds * SR))
    out = np.zeros(n, np.float32)
    t = int(rng.integers(0, SR // 4))
    while t < n:
        for _ in range(int(rng.integers(4, 13))):
            dur = int(rng.uniform(0.12, 0.30) * SR)
            k = np.arange(dur)
            f0 = rng.uniform(90.0, 220.0)
            f = f0 * (1.0 + rng.uniform(-0.15, 0.15) * k / dur)
            phase = 2.0 * np.pi * np.cumsum(f) / SR
            voiced = sum(np.sin(h * phase) / h for h in range(1, 9))
            env = np.sin(np.pi * k / dur) ** 2
            seg = env * (0.25 * voiced + 0.03 * rng.standard_normal(dur))
            m = min(dur, n - t)
            if m <= 0:
                break
            out[t : t + m] = seg[:m]
            t += dur + int(rng.uniform(0.0, 0.05) * SR)
        t += int(rng.uniform(0.2, 0.8) * SR)
    return out


def step_stream(pcm, step=STEP_SAMPLES):
    """The request words for `pcm` sent in steps of `step` samples (the last step may be shorter),
    as one bytes object."""
    n_full = pcm.size // step
    full = np.empty((n_full, step + 1), "<u4")
    full[:, 0] = step
    full[:, 1:] = np.ascontiguousarray(pcm[: n_full * step], "<f4").view("<u4").reshape(n_full, step)
    tail = pcm[n_full * step :]
    rest = struct.pack("<I", tail.size) + np.ascontiguousarray(tail, "<f4").tobytes() if tail.size else b""
    return full.tobytes() + rest


def host_command():
    """The host program, started through the interpreter running this script."""
    return [sys.executable, "-c", "from quorvane._mirrant2._entry import run; run()"]


def need(ci):
    """Fed samples that chunk `ci` waits for (the renderer's schedule)."""
    s0 = 0 if ci <= 1 else (ci - 1) * SPC
    return min((ci + 1) * SPC, s0 + WIN_SAMPLES)


def frames_of(ci):
    """Frame records chunk `ci` sends: the first chunk's 21 frames with its first one twice."""
    return 22 if ci == 0 else 32


def read_into(fd, view):
    """Fills `view` from `fd`; raises EOFError when the stream ends first."""
    got = 0
    while got < len(view):
        n = os.readv(fd, [view[got:]])
        if n == 0:
            raise EOFError(f"host output ended after {got} of {len(view)} bytes")
        got += n


def read_line(fd):
    buf = bytearray()
    while not buf.endswith(b"\n"):
        b = os.read(fd, 1)
        if not b:
            raise EOFError(f"host output ended inside its first line: {bytes(buf)!r}")
        buf += b
    return bytes(buf)


def vm_rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError(f"no VmRSS for process {pid}")
