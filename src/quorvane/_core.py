"""The native avatar runtime: the package's own plain-Python stand-in for that native module.

A :class:`Fixture` is a loaded avatar model; a :class:`Runtime` renders one speech stream from it,
one BGR picture (uint8, ``frame_height`` x ``frame_width`` x 3) per tick of
``audio_samples_per_tick`` samples of 16 kHz mono float32 audio.

Fixture file (little-endian)::

    offset 0   4 bytes  magic b"QVFX"
    offset 4   u16      format version, 1
    offset 6   u16      reserved, 0
    offset 8   u32      n, length of the header
    offset 12  n bytes  header: a UTF-8 JSON object (keys below)
    then       frame_height * frame_width * 3 bytes: the resting picture, BGR, row-major
    nothing after it

A mirrant-2 avatar bundle (an .imx container, a directory or a zip) opens as well:
:class:`Fixture` and :class:`Runtime` then hand it to ``quorvane._m2_runtime``, which renders it with
the package's own model chain (the model host program) and delivers on that chain's chunk
schedule; what follows describes fixture files.

Header keys: ``engine`` (engine id text, e.g. "corvine1", "mirrant2"), ``frame_width``,
``frame_height``, ``audio_samples_per_tick``, ``audio_sample_rate`` (positive ints),
``audio_encoder`` (name of a registered audio encoder, see below), ``mouth`` ([x0, y0, x1, y1],
end-exclusive, inside the frame) and ``chunking`` (null, or an object with ``first_frames`` and
``frames``, positive ints, and ``lookahead_samples``, an int >= 0). :func:`write_fixture` writes one.

Delivery. Tick i covers samples i*spt .. (i+1)*spt of the utterance. Without chunking a tick can be
pulled as soon as its samples have been pushed. With chunking, frames are released in chunks: chunk
k ends at frame ``first_frames + k * frames`` and is released once that many ticks of audio plus
``lookahead_samples`` have arrived (``samples_for_chunk(k)``); the mirrant-2 fixtures use 21, 32 and
6400 (8 ticks of 800 samples). Silence rule: once the audio pushed so far ends in a run of exact
zeros at least ``lookahead_samples`` long (and at least one tick long), every whole tick pushed is
released, the pending partial chunk included: the look-ahead has nothing left to wait for. A stream
that pads its end with silence instead of calling ``end_utterance`` (the live API pads mirrant-2
streams with 8 ticks) thus gets its last frames. :meth:`Runtime.end_utterance` zero-pads a partial
last tick and releases everything.

Utterances. :meth:`Runtime.reset_stream` starts a new utterance; so does audio pushed after
:meth:`Runtime.end_utterance` (as if ``reset_stream()`` had come first), and so does a
:meth:`Runtime.tick_compose_to_size` buffer that does not continue the previous one: the runtime
remembers the last buffer it composed from, and a buffer continues it when it is that same array,
or at least as long with the remembered samples as its prefix. Callers must not change a buffer in
place between compose calls (they grow the utterance by building a new, longer array).

Pictures. A tick's picture is the resting picture with its mouth box set to the brightness
(all three channels) that the fixture's audio encoder gives for the tick's samples. A composed
picture is that picture scaled to the asked size (nearest neighbour); the fixture scales its
resting picture once per size (``Fixture.prepare_size``), so a compose copies it and paints the
mouth. The default
encoder, "rms" (``quorvane._loader`` registers it), maps the tick's RMS level r to
``round(min(1, r / 0.25) * 255)``. A fixture refuses to load while its encoder is not registered.

One tick cursor per runtime: :meth:`Runtime.pull_frame` and :meth:`Runtime.tick_compose_to_size`
both hand out the tick at the cursor and advance it; :meth:`Runtime.reset_stream` and a new runtime
start it at 0. The first item of their result pair is the tick's index.

Thread safety: every runtime operation holds the runtime's lock, so any operation (for instance
``get_source_frame`` or ``samples_for_chunk``) may be called on one thread while ``push_audio`` or
``pull_frame`` runs on another. A fixture is immutable once loaded.

Errors: OSError when a fixture file cannot be read; ValueError for a file that is not a fixture, for
bad arguments, and "cursor past end" from ``tick_compose_to_size``; TypeError for arguments of the
wrong type; RuntimeError for calls out of order (pull with no tick ready, any call after
``close``).
"""

from __future__ import annotations

import json
import os
import struct
import tempfile
import threading
from typing import Callable

import numpy as np

EP_AUTO = "auto"
EP_CPU = "cpu"
_EPS = (EP_AUTO, EP_CPU)

MAGIC = b"QVFX"
VERSION = 1
_HEAD = struct.Struct("<4sHHI")
_MAX_HEADER_BYTES = 1 << 20

_ENCODERS: dict[str, Callable[[np.ndarray], int]] = {}
_ENCODERS_LOCK = threading.Lock()


def register_audio_encoder(name: str, encoder: Callable[[np.ndarray], int]) -> None:
    """Make ``encoder`` (float32 tick samples -> mouth brightness 0..255) available as ``name``.
    Registering the same name again replaces it."""
    if not isinstance(name, str) or not name:
        raise ValueError(f"an audio encoder needs a non-empty name; got {name!r}")
    if not callable(encoder):
        raise TypeError(f"an audio encoder must be callable; got {type(encoder).__name__}")
    with _ENCODERS_LOCK:
        _ENCODERS[name] = encoder


def audio_encoder(name: str) -> Callable[[np.ndarray], int] | None:
    """The audio encoder registered as ``name``, or None."""
    with _ENCODERS_LOCK:
        return _ENCODERS.get(name)


# -- fixture files ------------------------------------------------------------------------------


def _positive(header: dict, key: str, label: str = "") -> int:
    v = header.get(key)
    if isinstance(v, bool) or not isinstance(v, int) or v <= 0:
        raise ValueError(f"fixture header {label or key} must be a positive integer, got {v!r}")
    return v


def _check_header(header: object) -> dict:
    """The validated header (a new dict with every key filled); ValueError naming the bad key."""
    if not isinstance(header, dict):
        raise ValueError(f"fixture header must be a JSON object, got {type(header).__name__}")
    engine = header.get("engine")
    if not isinstance(engine, str) or not engine:
        raise ValueError(f"fixture header engine must be a non-empty text, got {engine!r}")
    out = {"engine": engine}
    for key in ("frame_width", "frame_height", "audio_samples_per_tick", "audio_sample_rate"):
        out[key] = _positive(header, key)
    enc = header.get("audio_encoder", "rms")
    if not isinstance(enc, str) or not enc:
        raise ValueError(f"fixture header audio_encoder must be a non-empty text, got {enc!r}")
    out["audio_encoder"] = enc
    w, h = out["frame_width"], out["frame_height"]
    mouth = header.get("mouth", [w // 4, (h * 5) // 8, w - w // 4, (h * 7) // 8])
    if (not isinstance(mouth, list) or len(mouth) != 4
            or not all(isinstance(v, int) and not isinstance(v, bool) for v in mouth)
            or not (0 <= mouth[0] < mouth[2] <= w and 0 <= mouth[1] < mouth[3] <= h)):
        raise ValueError(f"fixture header mouth must be [x0, y0, x1, y1] inside {w}x{h}, got {mouth!r}")
    out["mouth"] = list(mouth)
    ch = header.get("chunking")
    if ch is not None:
        if not isinstance(ch, dict):
            raise ValueError(f"fixture header chunking must be null or an object, got {ch!r}")
        la = ch.get("lookahead_samples", 0)
        if isinstance(la, bool) or not isinstance(la, int) or la < 0:
            raise ValueError(f"fixture header chunking.lookahead_samples must be an integer >= 0, got {la!r}")
        ch = {"first_frames": _positive(ch, "first_frames", "chunking.first_frames"),
              "frames": _positive(ch, "frames", "chunking.frames"),
              "lookahead_samples": la}
    out["chunking"] = ch
    return out


def write_fixture(path, header: dict, picture: np.ndarray) -> None:
    """Write a fixture file: ``header`` (the keys above) and the resting ``picture`` (BGR uint8,
    frame_height x frame_width x 3). The file appears whole or not at all (temporary file beside
    it, then a rename)."""
    hdr = _check_header(header)
    pic = np.asarray(picture)
    want = (hdr["frame_height"], hdr["frame_width"], 3)
    if pic.dtype != np.uint8 or pic.shape != want:
        raise ValueError(f"fixture picture must be uint8 of shape {want}, got {pic.dtype} {pic.shape}")
    raw = json.dumps(hdr, separators=(",", ":"), sort_keys=True).encode("utf-8")
    path = os.fspath(path)
    fd, tmp = tempfile.mkstemp(dir=os.path.dirname(os.path.abspath(path)),
                               prefix="." + os.path.basename(path) + ".", suffix=".part")
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(_HEAD.pack(MAGIC, VERSION, 0, len(raw)) + raw + np.ascontiguousarray(pic).tobytes())
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(tmp, 0o666 & ~umask)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except FileNotFoundError:
            pass
        raise


def read_fixture_header(path) -> dict | None:
    """The validated header of the fixture file at ``path``, or None when the file does not start
    with the fixture magic. OSError when it cannot be read; ValueError for a broken header."""
    with open(os.fspath(path), "rb") as f:
        return _read_header(f)[0]


def _read_header(f) -> tuple[dict | None, int]:
    head = f.read(_HEAD.size)
    if len(head) < 4 or head[:4] != MAGIC:
        return None, 0
    if len(head) < _HEAD.size:
        raise ValueError("fixture file ends inside its header")
    _, version, _, n = _HEAD.unpack(head)
    if version != VERSION:
        raise ValueError(f"fixture format version {version} is not supported (this runtime reads {VERSION})")
    if n > _MAX_HEADER_BYTES:
        raise ValueError(f"fixture header of {n} bytes is too large")
    raw = f.read(n)
    if len(raw) != n:
        raise ValueError("fixture file ends inside its header")
    try:
        header = json.loads(raw.decode("utf-8"))
    except (UnicodeDecodeError, json.JSONDecodeError) as e:
        raise ValueError(f"fixture header is not valid JSON: {e}") from None
    return _check_header(header), _HEAD.size + n


def _check_load_args(preferred_ep, intra_op_threads) -> None:
    if preferred_ep not in _EPS:
        raise ValueError(f"preferred_ep must be one of {_EPS}; got {preferred_ep!r}")
    if isinstance(intra_op_threads, bool) or not isinstance(intra_op_threads, int):
        raise TypeError(f"intra_op_threads must be an int; got {type(intra_op_threads).__name__}")
    if intra_op_threads < 0:
        raise ValueError(f"intra_op_threads must be >= 0; got {intra_op_threads}")


def is_mirrant2_bundle(path) -> bool:
    """Whether ``path`` is a mirrant-2 avatar bundle (an .imx container, a directory or a zip whose
    engine id is "mirrant2") rather than a fixture file. OSError when it cannot be read."""
    path = os.fspath(path)
    if not os.path.isdir(path) and read_fixture_header(path) is not None:
        return False
    from ._imx_engine import read_manifest, resolve_engine

    man = read_manifest(path)
    if man is None:
        return False
    try:
        return resolve_engine(man) == "mirrant2"
    except ValueError:
        return False


class Fixture:
    """A loaded avatar model from the fixture file at ``path``.

    A mirrant-2 avatar bundle at ``path`` gives a fixture of the package's own model chain instead
    (``quorvane._m2_runtime``), with the same attributes, and ``Runtime`` over it renders through
    that chain.

    ``preferred_ep`` is ``EP_AUTO`` or ``EP_CPU`` (both run the same code here); ``intra_op_threads``
    is an int >= 0 (0 = the runtime's choice), kept as ``intra_op_threads``. Attributes:
    ``engine``, ``frame_width``, ``frame_height``, ``audio_samples_per_tick``, ``audio_sample_rate``
    (ints except ``engine``), ``chunking`` (dict or None), ``path``.
    """

    def __new__(cls, path, *, preferred_ep: str = EP_AUTO, intra_op_threads: int = 0):
        _check_load_args(preferred_ep, intra_op_threads)
        path = os.fspath(path)
        if is_mirrant2_bundle(path):
            from ._m2_runtime import ChainFixture

            return ChainFixture(path, preferred_ep=preferred_ep, intra_op_threads=intra_op_threads)
        return super().__new__(cls)

    def __init__(self, path, *, preferred_ep: str = EP_AUTO, intra_op_threads: int = 0) -> None:
        path = os.fspath(path)
        with open(path, "rb") as f:
            header, off = _read_header(f)
            if header is None:
                raise ValueError(f"not a quorvane fixture (no fixture magic) nor a mirrant-2 avatar: {path}")
            n_pic = header["frame_height"] * header["frame_width"] * 3
            pic = f.read(n_pic + 1)
        if len(pic) != n_pic:
            raise ValueError(f"fixture picture should be {n_pic} bytes after the header, found "
                             f"{'more' if len(pic) > n_pic else len(pic)}: {path}")
        encoder = audio_encoder(header["audio_encoder"])
        if encoder is None:
            raise RuntimeError(f"no audio encoder named {header['audio_encoder']!r} is registered; call "
                               "NativeFixtureLoaderMixin._register_default_audio_encoder() first")
        self.path = path
        self.engine = header["engine"]
        self.frame_width = header["frame_width"]
        self.frame_height = header["frame_height"]
        self.audio_samples_per_tick = header["audio_samples_per_tick"]
        self.audio_sample_rate = header["audio_sample_rate"]
        self.chunking = header["chunking"]
        self.mouth = tuple(header["mouth"])
        self.preferred_ep = preferred_ep
        self.intra_op_threads = intra_op_threads
        self._encoder = encoder
        rest = np.frombuffer(pic, dtype=np.uint8).reshape(self.frame_height, self.frame_width, 3)
        rest.setflags(write=False)
        self._rest = rest
        self._sized: dict[tuple[int, int], tuple[np.ndarray, tuple[slice, slice]]] = {}
        self._sized_lock = threading.Lock()

    def picture(self, level: int) -> np.ndarray:
        """A new BGR picture: the resting picture with the mouth box at brightness ``level``."""
        img = self._rest.copy()
        x0, y0, x1, y1 = self.mouth
        img[y0:y1, x0:x1, :] = level
        return img

    def prepare_size(self, width: int, height: int) -> tuple[np.ndarray, tuple[slice, slice]]:
        """The resting picture scaled to ``width`` x ``height`` (nearest neighbour, read-only) and
        the rows and columns of its mouth box there. Scaled once per size: a compose then copies it
        and paints the mouth, whatever the size. The few most recent sizes are kept."""
        key = (int(width), int(height))
        with self._sized_lock:
            got = self._sized.get(key)
        if got is not None:
            return got
        w, h = key
        rows = (np.arange(h) * self.frame_height) // h
        cols = (np.arange(w) * self.frame_width) // w
        img = np.ascontiguousarray(self._rest[rows[:, None], cols[None, :]])
        img.setflags(write=False)
        x0, y0, x1, y1 = self.mouth
        # The maps are non-decreasing, so the output pixels that come from the box form one box.
        box = (slice(int(np.searchsorted(rows, y0)), int(np.searchsorted(rows, y1))),
               slice(int(np.searchsorted(cols, x0)), int(np.searchsorted(cols, x1))))
        got = (img, box)
        with self._sized_lock:
            if len(self._sized) >= 4:
                self._sized.pop(next(iter(self._sized)))
            self._sized[key] = got
        return got

    def level_of(self, tick: np.ndarray) -> int:
        """Mouth brightness 0..255 of one tick's float32 samples, by the fixture's audio encoder."""
        v = int(self._encoder(tick))
        return min(255, max(0, v))

    def samples_for_chunk(self, n: int) -> int:
        """Samples of an utterance needed before chunk ``n`` (an int >= 0) is released."""
        if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 0:
            raise ValueError(f"chunk number must be an integer >= 0; got {n!r}")
        spt, ch = self.audio_samples_per_tick, self.chunking
        if ch is None:
            return (int(n) + 1) * spt
        return (ch["first_frames"] + ch["frames"] * int(n)) * spt + ch["lookahead_samples"]

    def _released(self, n_samples: int) -> int:
        """Frames released by the schedule once ``n_samples`` samples have arrived."""
        spt, ch = self.audio_samples_per_tick, self.chunking
        if ch is None:
            return n_samples // spt
        ticks = (n_samples - ch["lookahead_samples"]) // spt
        if ticks < ch["first_frames"]:
            return 0
        return ch["first_frames"] + ch["frames"] * ((ticks - ch["first_frames"]) // ch["frames"])


class Runtime:
    """One speech stream over ``fixture``. Thread-safe (one lock per runtime)."""

    def __new__(cls, fixture):
        from ._m2_runtime import ChainFixture, ChainRuntime

        if isinstance(fixture, ChainFixture):
            return ChainRuntime(fixture)
        return super().__new__(cls)

    def __init__(self, fixture: Fixture) -> None:
        if not isinstance(fixture, Fixture):
            raise TypeError(f"Runtime needs a Fixture; got {type(fixture).__name__}")
        self._fx = fixture
        self._lock = threading.Lock()
        self._closed = False
        self._clear()

    def _clear(self) -> None:
        self._carry = np.zeros(0, dtype=np.float32)  # samples of the unfinished tick
        self._levels: list[int] = []  # brightness of every completed tick of the utterance
        self._n_samples = 0
        self._trailing_zeros = 0  # exact zeros at the end of the audio pushed so far
        self._ended = False
        self._cursor = 0
        self._composed: np.ndarray | None = None  # the buffer of the last compose call

    def _check(self) -> None:
        if self._closed:
            raise RuntimeError("this runtime is closed")

    def _released(self) -> int:
        if self._ended:
            return len(self._levels)
        ch = self._fx.chunking
        if ch is not None and self._trailing_zeros >= max(ch["lookahead_samples"], self._fx.audio_samples_per_tick):
            return len(self._levels)  # the silence rule (module text)
        return min(len(self._levels), self._fx._released(self._n_samples))

    def _note_trailing_zeros(self, samples: np.ndarray) -> None:
        nonzero = np.flatnonzero(samples)
        if nonzero.size == 0:
            self._trailing_zeros += int(samples.size)
        else:
            self._trailing_zeros = int(samples.size - 1 - nonzero[-1])

    # -- streaming -------------------------------------------------------------------------------

    def push_audio(self, samples: np.ndarray) -> None:
        """Append new samples (1-D float32, 16 kHz mono, nominally in [-1, 1]) to the utterance;
        after ``end_utterance()`` they begin the next utterance."""
        if not isinstance(samples, np.ndarray):
            raise TypeError(f"push_audio takes a numpy float32 array; got {type(samples).__name__}")
        if samples.dtype != np.float32 or samples.ndim != 1:
            raise ValueError(f"push_audio takes a 1-D float32 array; got {samples.dtype} of shape {samples.shape}")
        spt = self._fx.audio_samples_per_tick
        with self._lock:
            self._check()
            if self._ended:
                self._clear()  # audio after end_utterance() begins the next utterance
            data = np.concatenate([self._carry, samples]) if self._carry.size else samples
            whole = data.size - data.size % spt
            for off in range(0, whole, spt):
                self._levels.append(self._fx.level_of(data[off : off + spt]))
            self._carry = np.array(data[whole:], dtype=np.float32)
            self._n_samples += int(samples.size)
            self._note_trailing_zeros(samples)

    def ticks_available(self) -> int:
        """Ticks that ``pull_frame`` can hand out now."""
        with self._lock:
            self._check()
            return max(0, self._released() - self._cursor)

    def pull_frame(self, idx: int = -1) -> tuple[int, np.ndarray]:
        """(tick index, BGR picture) of the next ready tick. ``idx`` must be -1 (the next tick)."""
        if idx != -1:
            raise ValueError(f"pull_frame takes -1 (the next ready tick); got {idx!r}")
        with self._lock:
            self._check()
            if self._cursor >= self._released():
                raise RuntimeError("pull_frame: no tick is ready (check ticks_available() first)")
            i = self._cursor
            self._cursor += 1
            return i, self._fx.picture(self._levels[i])

    def end_utterance(self) -> None:
        """No more audio this utterance: a partial last tick is zero-padded and every tick released."""
        with self._lock:
            self._check()
            if self._ended:
                return
            if self._carry.size:
                spt = self._fx.audio_samples_per_tick
                tick = np.zeros(spt, dtype=np.float32)
                tick[: self._carry.size] = self._carry
                self._levels.append(self._fx.level_of(tick))
                self._carry = np.zeros(0, dtype=np.float32)
            self._ended = True

    def reset_stream(self) -> None:
        """Forget the utterance: the next audio starts a new one and the tick cursor is back at 0."""
        with self._lock:
            self._check()
            self._clear()

    # -- compose ---------------------------------------------------------------------------------

    def tick_compose_to_size(self, pcm_buf: np.ndarray, idx: int, width: int, height: int) -> tuple[int, np.ndarray]:
        """(tick index, BGR picture at ``width`` x ``height``) of the tick at the cursor, taken from
        ``pcm_buf`` (1-D float32, the whole utterance so far); advances the cursor. ``idx`` must be
        -1. A buffer that does not continue the previous compose call's starts a new utterance
        (module text). A tick that begins at or past the end of ``pcm_buf`` raises ValueError("...
        cursor past end ..."); a partial last tick is zero-padded."""
        if idx != -1:
            raise ValueError(f"tick_compose_to_size takes -1 (the tick at the cursor); got {idx!r}")
        if not isinstance(pcm_buf, np.ndarray) or pcm_buf.dtype != np.float32 or pcm_buf.ndim != 1:
            raise ValueError("tick_compose_to_size takes a 1-D float32 numpy array")
        for name, v in (("width", width), ("height", height)):
            if isinstance(v, bool) or not isinstance(v, (int, np.integer)) or v <= 0:
                raise ValueError(f"tick_compose_to_size: {name} must be a positive integer; got {v!r}")
        spt = self._fx.audio_samples_per_tick
        with self._lock:
            self._check()
            if not self._continues_composed(pcm_buf):
                self._clear()  # a new utterance's buffer: start again at its first tick
            self._composed = pcm_buf
            i = self._cursor
            start = i * spt
            if start >= pcm_buf.size:
                raise ValueError(f"tick_compose_to_size: cursor past end (tick {i} starts at sample {start}, "
                                 f"the buffer holds {pcm_buf.size})")
            tick = np.zeros(spt, dtype=np.float32)
            part = pcm_buf[start : start + spt]
            tick[: part.size] = part
            level = self._fx.level_of(tick)
            self._cursor += 1
        rest, box = self._fx.prepare_size(width, height)
        img = rest.copy()
        img[box] = level
        return i, img

    def _continues_composed(self, pcm_buf: np.ndarray) -> bool:
        prev = self._composed
        if prev is None or pcm_buf is prev:
            return True
        return pcm_buf.size >= prev.size and np.array_equal(pcm_buf[: prev.size], prev)

    # -- queries ---------------------------------------------------------------------------------

    def get_source_frame(self, idx: int) -> np.ndarray | None:
        """The resting picture (a new BGR array) for ``idx`` 0 or -1; None for any other index (a
        fixture holds one source picture)."""
        with self._lock:
            self._check()
        if idx in (0, -1):
            return self._fx._rest.copy()
        return None

    def samples_for_chunk(self, n: int) -> int:
        """Samples of an utterance needed before chunk ``n`` can be made (see the module text)."""
        with self._lock:
            self._check()
        return self._fx.samples_for_chunk(n)

    def close(self) -> None:
        """Free the runtime. Idempotent; any other call afterwards raises RuntimeError."""
        with self._lock:
            self._closed = True
            self._clear()
