"""The corvine-2 session runtime: the package's own plain-Python stand-in for that engine service.

A :class:`Session` renders one avatar from its unpacked bundle directory and parsed manifest.
Speech goes in as 16 kHz mono signed 16-bit little-endian PCM bytes (:meth:`Session.push`), frames
come out one per tick of ``BYTES_PER_FRAME`` bytes (640 samples, 40 ms) through :meth:`Session.pull`,
each with a kind: ``LE_UTT_SPEECH`` when the tick's RMS level is above ``SPEECH_RMS``, else
``LE_UTT_IDLE``. After :meth:`Session.end` the remaining partial tick (zero-padded) comes out, then
``REST_FRAMES`` rest frames of kind ``LE_UTT_IDLE``.

The renderer is deterministic and small: a frame is ``frame_height`` x ``frame_width`` x 3 uint8 in
red-green-blue order, a fixed gradient picture whose mouth box (``mouth_box``) has the brightness
``mouth_level`` of the tick's RMS. Silence and speech therefore give different pictures.

Rendering happens inside :meth:`push`, so :meth:`pull` never waits: it answers None when nothing is
ready. A session is used from one thread at a time.

Manifest keys read: ``engine`` ("corvine2-light" or "corvine2-golden", both rendered alike here),
``format`` (session format, at least ``MIN_FORMAT``; absent means ``MIN_FORMAT``), ``frame_width``
and ``frame_height`` (positive ints; absent means 64 x 48).

Errors: ``EngineFailed`` (a bundle the session cannot start with, a closed session),
``AvatarOutdated`` (a manifest of an older session format), ``EngineUnavailable`` (the engine cannot
run here; this stand-in runs everywhere, so it raises it for nothing itself), OSError for a bundle
directory that is not there, RuntimeError for calls out of order (push after end without reset).
"""

from __future__ import annotations

import collections
import os
from typing import Mapping

import numpy as np

FPS = 25
SAMPLE_RATE = 16000
SAMPLES_PER_FRAME = SAMPLE_RATE // FPS
BYTES_PER_FRAME = SAMPLES_PER_FRAME * 2  # s16le: FPS * BYTES_PER_FRAME is the PCM byte rate

LE_UTT_SPEECH = "speech"
LE_UTT_IDLE = "idle"

SPEECH_RMS = 0.01  # about -40 dBFS: quieter ticks count as no speech
REST_FRAMES = 3
MIN_FORMAT = 2
SESSION_ENGINES = frozenset({"corvine2-light", "corvine2-golden"})
_DEFAULT_SIZE = (64, 48)


class EngineUnavailable(Exception):
    """The engine cannot run on this machine. ``args[0]`` is the message, ``detail`` a text."""

    def __init__(self, message: str, detail: object = None) -> None:
        super().__init__(message)
        self.detail = detail


class EngineFailed(Exception):
    """The engine failed. ``args[0]`` is the message, ``detail`` a text or the causing exception."""

    def __init__(self, message: str, detail: object = None) -> None:
        super().__init__(message)
        self.detail = detail


class AvatarOutdated(Exception):
    """The avatar was made for an older engine. ``args[0]`` is the message; ``detail`` and
    ``code`` (a short text naming the failed check) say why."""

    def __init__(self, message: str, detail: object = None, code: object = None) -> None:
        super().__init__(message)
        self.detail = detail
        self.code = code


def mouth_level(rms: float) -> int:
    """Brightness 0..255 of the mouth box for a tick of RMS level ``rms`` (full at 0.25)."""
    return int(round(min(1.0, max(0.0, float(rms)) / 0.25) * 255.0))


def mouth_box(width: int, height: int) -> tuple[int, int, int, int]:
    """The mouth box (x0, y0, x1, y1), end-exclusive, of a ``width`` x ``height`` frame."""
    return width // 4, (height * 5) // 8, width - width // 4, (height * 7) // 8


def _positive_int(man: Mapping, key: str, default: int) -> int:
    v = man.get(key, default)
    if isinstance(v, bool) or not isinstance(v, int) or v <= 0:
        raise EngineFailed("that avatar's session could not start",
                           f"manifest {key} must be a positive integer, got {v!r}")
    return v


class Session:
    """One corvine-2 session over ``bundle_dir`` (an unpacked avatar) and its parsed ``manifest``."""

    def __init__(self, bundle_dir: str, manifest: Mapping) -> None:
        bundle_dir = os.fspath(bundle_dir)
        if not os.path.isdir(bundle_dir):
            if os.path.exists(bundle_dir):
                raise NotADirectoryError(f"not an avatar directory: {bundle_dir}")
            raise FileNotFoundError(f"no avatar directory at {bundle_dir}")
        if not isinstance(manifest, Mapping):
            raise EngineFailed("that avatar's session could not start",
                               f"the manifest must be a JSON object, got {type(manifest).__name__}")
        engine = manifest.get("engine")
        if engine not in SESSION_ENGINES:
            raise EngineFailed("that avatar's session could not start",
                               f"manifest engine {engine!r} is not a session engine ({', '.join(sorted(SESSION_ENGINES))})")
        fmt = manifest.get("format", MIN_FORMAT)
        if isinstance(fmt, bool) or not isinstance(fmt, int):
            raise EngineFailed("that avatar's session could not start", f"manifest format must be an integer, got {fmt!r}")
        if fmt < MIN_FORMAT:
            raise AvatarOutdated("that avatar was made for an older version of quorvane; export it again",
                                 f"session format {fmt}, this engine reads {MIN_FORMAT} and later",
                                 f"session-format-{fmt}")
        self.frame_width = _positive_int(manifest, "frame_width", _DEFAULT_SIZE[0])
        self.frame_height = _positive_int(manifest, "frame_height", _DEFAULT_SIZE[1])
        self.engine = engine
        self._base = _gradient(self.frame_width, self.frame_height)
        self._box = mouth_box(self.frame_width, self.frame_height)
        self._ready: collections.deque = collections.deque()
        self._carry = b""
        self._ended = False
        self._closed = False

    # -- the stream ---------------------------------------------------------------------------

    def reset(self) -> None:
        """Start a new utterance: drop buffered audio and frames not yet pulled."""
        self._check_open()
        self._ready.clear()
        self._carry = b""
        self._ended = False

    def push(self, pcm_bytes) -> None:
        """Hand over 16 kHz mono s16le bytes (any length; a split sample is kept for the next push)."""
        self._check_open()
        if self._ended:
            raise RuntimeError("Session.push after end(): call reset() to start the next utterance")
        data = self._carry + bytes(pcm_bytes)
        whole = len(data) - len(data) % BYTES_PER_FRAME
        for off in range(0, whole, BYTES_PER_FRAME):
            self._render_tick(data[off : off + BYTES_PER_FRAME])
        self._carry = data[whole:]

    def pull(self):
        """The next frame as (frame, kind), or None when none is ready. Never waits."""
        self._check_open()
        return self._ready.popleft() if self._ready else None

    def end(self) -> None:
        """No more audio this utterance: the partial tick and the rest frames become ready."""
        self._check_open()
        if self._ended:
            return
        tail = self._carry[: len(self._carry) - len(self._carry) % 2]
        if tail:
            self._render_tick(tail + bytes(BYTES_PER_FRAME - len(tail)))
        self._carry = b""
        for _ in range(REST_FRAMES):
            self._ready.append((self._picture(0), LE_UTT_IDLE))
        self._ended = True

    def check_render(self) -> None:
        """Returns while the render may go on; raises EngineFailed once the session is closed."""
        self._check_open()

    def close(self) -> None:
        """Free the session. Idempotent; later calls other than close() raise EngineFailed."""
        self._closed = True
        self._ready.clear()
        self._carry = b""

    # -- rendering ------------------------------------------------------------------------------

    def _render_tick(self, tick_bytes: bytes) -> None:
        samples = np.frombuffer(tick_bytes, dtype="<i2").astype(np.float64) / 32768.0
        rms = float(np.sqrt(np.mean(samples * samples))) if samples.size else 0.0
        kind = LE_UTT_SPEECH if rms > SPEECH_RMS else LE_UTT_IDLE
        self._ready.append((self._picture(mouth_level(rms)), kind))

    def _picture(self, level: int) -> np.ndarray:
        frame = self._base.copy()
        x0, y0, x1, y1 = self._box
        frame[y0:y1, x0:x1, :] = level
        return frame

    def _check_open(self) -> None:
        if self._closed:
            raise EngineFailed("the avatar session is closed", "Session.close() was called")


def _gradient(width: int, height: int) -> np.ndarray:
    """A fixed RGB picture whose three channels differ, so a swapped channel order shows."""
    y = np.arange(height, dtype=np.int64)[:, None]
    x = np.arange(width, dtype=np.int64)[None, :]
    img = np.empty((height, width, 3), dtype=np.uint8)
    img[:, :, 0] = 200
    img[:, :, 1] = (x * 255 // max(1, width - 1)).astype(np.uint8)
    img[:, :, 2] = (y * 255 // max(1, height - 1)).astype(np.uint8)
    return img
