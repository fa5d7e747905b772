"""The native runtime over a mirrant-2 avatar bundle: the package's own model chain, in process.

``quorvane._core`` hands a bundle (an .imx container, a directory or a zip) here. The fixture loads
the bundle the way the model host does (the same members, colour table and thread count), so for
the same 16 kHz float audio a runtime gives the same pictures, in the same order, as the host's
frame pipe, turned from RGB to BGR. Tick i of an utterance is the renderer's i-th frame pair: the
first frame after a reset is the chain's first picture, which it gives twice.

Delivery follows the chain's chunk schedule: nothing is rendered ahead of the audio; a chunk is
rendered, inside ``push_audio``, once the audio it needs is there, and its frames become pullable
for the ticks whose audio has been pushed. ``samples_for_chunk(n)`` is the audio chunk n waits for.
The rest of an utterance is released by ``end_utterance`` (a partial last tick counts) or by the
silence rule: once the audio pushed ends in a run of exact zeros at least ``SILENCE_SAMPLES`` long,
the renderer is flushed (the audio it has not seen is taken as zeros, which it is, so far) and every
whole tick pushed is released. Audio that is not silence arriving after such a flush cannot change
the frames already rendered, so the runtime starts the renderer over at the first tick it has not
released: the pictures stay in step with their voice.

Threads. ``push_audio``, ``pull_frame`` and ``end_utterance`` may block for a chunk's render; they
are meant for one worker thread. Every other operation only takes the runtime's state lock, which
no render holds, so it answers at once while a render runs on another thread. ``reset_stream``
never waits for the renderer either: it forgets the utterance at once, and the worker resets the
renderer before its next use (the frames of a render that was running are dropped). Renders of
runtimes that share a fixture take turns on its chain.
"""

from __future__ import annotations

import collections
import os
import threading

import numpy as np

_LOAD_LOCK = threading.Lock()  # the host library's list of staged model files is not locked


def _host():
    from ._mirrant2 import _tensorhost

    return _tensorhost


def _bgr(frame) -> np.ndarray:
    """A new BGR picture from one of the renderer's RGB888 frames (rows of 720 x 416 pixels)."""
    th = _host()
    rgb = np.asarray(frame).reshape(int(th.FH), int(th.FW), 3)
    out = np.empty(rgb.shape, dtype=np.uint8)
    out[..., 0] = rgb[..., 2]
    out[..., 1] = rgb[..., 1]
    out[..., 2] = rgb[..., 0]
    return out


class ChainFixture:
    """A mirrant-2 avatar loaded from its bundle at ``path`` (the attributes of a ``_core`` fixture;
    ``intra_op_threads`` 0 takes the model host's own thread count)."""

    engine = "mirrant2"
    chunking = None

    def __init__(self, path: str, *, preferred_ep: str, intra_op_threads: int) -> None:
        th = _host()
        with _LOAD_LOCK:
            try:
                paths, name, canon = th.load_bundle(path)
                cc, _report = th.load_color_correct(path)
            except SystemExit:
                # The loader refuses a bundle that breaks its contract as the host program would
                # (it ends that process); here the avatar is refused, the process goes on.
                raise ValueError(f"not a usable mirrant-2 avatar (the log above says why): {path}") from None
            threads = th.default_threads(1, intra_op_threads)
            if len(paths) >= 2:
                threads = th.default_threads(len(paths), threads)
            self._chain = th.LitertChain(paths, canon, threads)
        self._cc = cc
        self.path = path
        self.model_name = name
        self.frame_width = int(th.FW)
        self.frame_height = int(th.FH)
        self.audio_samples_per_tick = int(th.SPF)
        self.audio_sample_rate = int(th.SR)
        self.preferred_ep = preferred_ep
        self.intra_op_threads = threads
        self.chain_lock = threading.Lock()  # one render at a time on the shared chain
        # The chain's picture of silence: what a fresh stream shows before speech.
        r = self.renderer()
        with self.chain_lock:
            pairs = r.flush_chunks()
        rest = _bgr(pairs[0][1])
        rest.setflags(write=False)
        self._rest = rest

    def renderer(self):
        return _host().Renderer(self._chain, self._cc)

    def samples_for_chunk(self, n) -> int:
        if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 0:
            raise ValueError(f"chunk number must be an integer >= 0; got {n!r}")
        return int(_host().Renderer._need(int(n)))


#: The run of exact zeros that releases the rest of an utterance: the live API's end-of-speech pad.
SILENCE_SAMPLES = 8 * 800


class ChainRuntime:
    """One speech stream over a :class:`ChainFixture` (see the module text)."""

    def __init__(self, fixture: ChainFixture) -> None:
        self._fx = fixture
        self._spt = fixture.audio_samples_per_tick
        self._lock = threading.Lock()  # the state below; never held across a render
        self._work = threading.Lock()  # the worker's calls, one at a time
        self._closed = False
        self._gen = 0  # bumped by every forget: a render of an older one is dropped
        self._r = None  # the renderer, made and reset by the worker only
        self._r_gen = -1  # the generation the renderer holds the audio of
        self._clear()

    def _clear(self) -> None:
        self._gen += 1
        self._frames: collections.deque = collections.deque()  # RGB frames made, not pulled
        self._made = 0  # ticks with a frame made
        self._cursor = 0  # the next tick to pull
        self._pushed = 0  # samples pushed this utterance
        self._zeros = 0  # exact zeros at the end of the audio pushed
        self._flushed = False  # the renderer has taken the audio it has not seen as zeros
        self._limit = 0  # ticks releasable once made
        self._ended = False

    def _check(self) -> None:
        if self._closed:
            raise RuntimeError("this runtime is closed")

    def _released(self) -> int:
        return min(self._made, self._limit)

    # -- the worker's side -----------------------------------------------------------------------

    def _render(self, gen: int, feed: list, flush: bool, restart: bool) -> None:
        """Reset the renderer when the utterance is not the one it holds (or on ``restart``), feed
        it, render what is ready (everything when ``flush``), and keep the frames if the utterance
        is still the same one."""
        r = self._r
        if r is None:
            with self._lock:
                if self._closed:
                    return
            r = self._r = self._fx.renderer()
            self._r_gen = gen
        elif self._r_gen != gen or restart:
            r.reset()
            self._r_gen = gen
        for pcm in feed:
            if pcm.size:
                r.feed(pcm)
        with self._fx.chain_lock:
            pairs = r.ready_chunks()
            if flush:
                pairs += r.flush_chunks()
        with self._lock:
            if self._gen != gen or self._closed:
                return
            self._frames.extend(rgb for _idx, rgb in pairs)
            self._made += len(pairs)

    def push_audio(self, samples: np.ndarray) -> None:
        if not isinstance(samples, np.ndarray):
            raise TypeError(f"push_audio takes a numpy float32 array; got {type(samples).__name__}")
        if samples.dtype != np.float32 or samples.ndim != 1:
            raise ValueError(f"push_audio takes a 1-D float32 array; got {samples.dtype} of shape {samples.shape}")
        spt = self._spt
        with self._work:
            with self._lock:
                self._check()
                if self._ended:
                    self._clear()  # audio after end_utterance() begins the next utterance
                gen = self._gen
                nonzero = np.flatnonzero(samples)
                feed, restart = [samples], False
                if self._flushed and nonzero.size:
                    # Speech after a flush: the frames not yet released were made from zeros
                    # that are not there. Drop them and start the renderer at the first tick not
                    # released, with the silence of that tick already pushed.
                    keep = self._released()
                    while len(self._frames) > keep - self._cursor:
                        self._frames.pop()
                    self._made = keep
                    lead = self._pushed - keep * spt
                    feed = [np.zeros(lead, dtype=np.float32), samples]
                    restart, self._flushed = True, False
                self._pushed += int(samples.size)
                if nonzero.size == 0:
                    self._zeros += int(samples.size)
                else:
                    self._zeros = int(samples.size - 1 - nonzero[-1])
                # Flushing again while the silence goes on renders only what the new zeros need.
                flush = self._zeros >= SILENCE_SAMPLES
                self._flushed = self._flushed or flush
                self._limit = self._pushed // spt
            self._render(gen, feed, flush, restart)

    def pull_frame(self, idx: int = -1) -> tuple[int, np.ndarray]:
        if idx != -1:
            raise ValueError(f"pull_frame takes -1 (the next ready tick); got {idx!r}")
        with self._lock:
            self._check()
            if self._cursor >= self._released():
                raise RuntimeError("pull_frame: no tick is ready (check ticks_available() first)")
            rgb = self._frames.popleft()
            i = self._cursor
            self._cursor += 1
        return i, _bgr(rgb)

    def end_utterance(self) -> None:
        with self._work:
            with self._lock:
                self._check()
                if self._ended:
                    return
                self._ended = True
                gen = self._gen
                self._limit = -(-self._pushed // self._spt)
                self._flushed = True
            self._render(gen, [], True, False)

    # -- any thread ------------------------------------------------------------------------------

    def ticks_available(self) -> int:
        with self._lock:
            self._check()
            return max(0, self._released() - self._cursor)

    def reset_stream(self) -> None:
        with self._lock:
            self._check()
            self._clear()

    def get_source_frame(self, idx: int) -> np.ndarray | None:
        with self._lock:
            self._check()
        if idx in (0, -1):
            return self._fx._rest.copy()
        return None

    def samples_for_chunk(self, n) -> int:
        with self._lock:
            self._check()
        return self._fx.samples_for_chunk(n)

    def tick_compose_to_size(self, pcm_buf, idx, width, height):
        raise ValueError("a mirrant-2 runtime makes its frames in chunks, from audio still to come; it "
                         "cannot compose one tick on demand: stream it instead (output_size=None)")

    def close(self) -> None:
        with self._lock:
            self._closed = True
            self._clear()
            self._r = None
