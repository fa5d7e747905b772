"""The native runtime over a mirrant-2 avatar bundle: the package's own model chain, run by the
model host program in a child process and driven over its frame pipe.

``quorvane._core`` hands a bundle (an .imx container, a directory or a zip) here. A fixture starts
one host for the bundle (the program the local API's ``Mirrant2Engine`` runs, so the members,
colour table and thread count are the same), and its runtimes send it their audio. For the same
16 kHz float audio a runtime gives the same pictures as the local API, turned from RGB to BGR: tick
i of an utterance is the host's i-th frame after a reset (the chain gives its first picture twice).
The chain runs in its own process because in this one its model calls hold the interpreter lock
for long stretches, which stalls the event loop of the live API (bench/live_m2.py measures both).

Delivery follows the chain's chunk schedule, which the runtime mirrors to know how many frames each
word it sends will bring: ``push_audio`` sends the audio and waits for the frames of every chunk the
audio completes; they become pullable for the ticks whose audio has been pushed.
``samples_for_chunk(n)`` is the audio chunk n waits for. The rest of an utterance is released by
``end_utterance`` (a partial last tick counts) or by the silence rule: once the audio pushed ends in
a run of exact zeros at least ``SILENCE_SAMPLES`` long (the live API's end-of-speech pad), the host
is flushed (the audio it has not seen is taken as zeros, which it is, so far) and every whole tick
pushed is released. Speech arriving after such a flush cannot change the frames already rendered,
so the runtime starts the chain over at the first tick it has not released, with that tick's
silence: the pictures stay in step with their voice.

Threads. ``push_audio``, ``pull_frame`` and ``end_utterance`` wait for the host; they are meant for
one worker thread, and runtimes of one fixture take turns on its host. Every other operation only
takes the runtime's state lock, which no wait holds, so it answers at once while the host renders.
``reset_stream`` forgets the utterance at once; frames the host still sends for it are dropped, and
the next audio starts the chain over. One stream at a time per fixture: a runtime whose utterance
the host dropped for another runtime's raises RuntimeError at its next push. ``close`` ends the
host process and its threads (the next runtime use starts a new one); so does dropping the fixture.
"""

from __future__ import annotations

import collections
import contextlib
import queue
import struct
import threading
import weakref

import numpy as np

from ._mirrant2._engine import (_FLUSH, _RESET, FIRST_FRAME, STALL_TIMEOUT_S, STEP_SAMPLES, _await_ready, _StartFailed,
                               host_avatar_path, host_command)
from ._mirrant2._host_pipe import HostPipe

FW, FH, FPS, SR, SPF = 416, 720, 20, 16000, 800  # the chain's frame geometry and rate
#: The run of exact zeros that releases the rest of an utterance: the live API's end-of-speech pad.
SILENCE_SAMPLES = 8 * SPF
_DROPPED = ("the model host dropped this utterance (another stream of the same avatar took it, or the "
            "host was closed); call reset_stream() to start it over")
_CHUNK0_FRAMES, _CHUNK_FRAMES = 22, 32  # frames out of the first chunk after a reset, and of each later one


def samples_for_chunk(n) -> int:
    """Samples of an utterance that chunk ``n`` waits for: 25600 for the first, then the window
    (44000 samples) of each later one."""
    if isinstance(n, bool) or not isinstance(n, (int, np.integer)) or n < 0:
        raise ValueError(f"chunk number must be an integer >= 0; got {n!r}")
    n = int(n)
    return 25600 if n == 0 else (n - 1) * 25600 + 44000


def _bgr(buf) -> np.ndarray:
    """A new BGR picture from one RGB888 frame record of the host."""
    rgb = np.frombuffer(buf, dtype=np.uint8).reshape(FH, FW, 3)
    out = np.empty(rgb.shape, dtype=np.uint8)
    out[..., 0] = rgb[..., 2]
    out[..., 1] = rgb[..., 1]
    out[..., 2] = rgb[..., 0]
    return out


class _Stream:
    """What the host owes for the audio sent since one reset word: frames and end records, counted
    on the chain's schedule. ``sink`` takes the frames (None drops them)."""

    __slots__ = ("sink", "fed", "chunks", "frames", "ends", "next_index")

    def __init__(self, sink):
        self.sink = sink
        self.fed = self.chunks = self.frames = self.ends = 0
        self.next_index = FIRST_FRAME  # the index the host's next frame of this stream must have

    def _owe_chunk(self) -> None:
        self.frames += _CHUNK0_FRAMES if self.chunks == 0 else _CHUNK_FRAMES
        self.chunks += 1

    def fed_more(self, n: int) -> None:
        self.fed += n
        while self.fed >= samples_for_chunk(self.chunks):
            self._owe_chunk()

    def flushed(self) -> None:
        # The host renders until its last chunk covers the last fed frame with 12 frames to spare.
        end_frame = (self.fed + SPF - 1) // SPF - 1
        while self.chunks < max(1, (end_frame + 12 + 31) // 32):
            self._owe_chunk()
        self.ends += 1


class StartAbort:
    """Stops, from any thread, the model hosts that a load on another thread starts while it is
    in force (:func:`abortable_start`): the live API's create() cancelled or interrupted, while its
    executor job still waits for the host, must not wait out the host's load time."""

    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._hosts: list = []
        self._aborted = False

    def abort(self) -> None:
        with self._lock:
            self._aborted = True
            hosts, self._hosts = self._hosts, []
        for host in hosts:
            host.kill()  # the start waiting on it fails at once, and ends it as a failed start does

    def started(self, host: HostPipe) -> None:
        with self._lock:
            if not self._aborted:
                self._hosts.append(host)
                return
        host.kill()


_start_abort = threading.local()


@contextlib.contextmanager
def abortable_start(abort: StartAbort):
    """The hosts started on this thread meanwhile are stopped by ``abort.abort()``."""
    before = getattr(_start_abort, "current", None)
    _start_abort.current = abort
    try:
        yield
    finally:
        _start_abort.current = before


class ChainFixture:
    """A mirrant-2 avatar bundle at ``path`` with its model host (the attributes of a ``_core``
    fixture; ``intra_op_threads`` 0 leaves the thread count to the host)."""

    engine = "mirrant2"
    chunking = None
    frame_width, frame_height, audio_samples_per_tick, audio_sample_rate = FW, FH, SPF, SR

    def __init__(self, path: str, *, preferred_ep: str, intra_op_threads: int) -> None:
        self.path = path
        self.preferred_ep = preferred_ep
        self.intra_op_threads = intra_op_threads
        self.work_lock = threading.Lock()  # one stream's words and waits at a time
        self._host = None
        self._end_host = lambda: None
        self._streams: collections.deque = collections.deque()  # oldest first, each owing records
        self._current = None
        with self.work_lock:
            rest: list = []
            try:
                s = self.open_stream(rest.append)
                self.flush(s)
                self.collect(s)
            except BaseException:
                # A start cut short (Ctrl-C while the host renders this picture) ends its host
                # now, not once whatever holds the error lets this fixture go.
                self.stop_host()
                raise
        # The chain's picture of silence: what a fresh stream shows before speech.
        self._rest = _bgr(rest[0])
        self._rest.setflags(write=False)

    # -- the host (callers hold work_lock) ---------------------------------------------------------

    def _start_host(self) -> HostPipe:
        cmd = host_command() + ["render-stream", host_avatar_path(self.path)]
        if self.intra_op_threads > 0:
            cmd += ["--threads", str(self.intra_op_threads)]
        try:
            host = HostPipe(cmd)
        except OSError as e:
            raise RuntimeError(f"the mirrant-2 model host could not be started: {e!r}") from None
        abort = getattr(_start_abort, "current", None)
        if abort is not None:
            abort.started(host)
        try:
            _await_ready(host)  # a failed or interrupted start has stopped the host
        except _StartFailed as e:
            if e.status == 3:
                raise ValueError(f"not a usable mirrant-2 avatar: {self.path}: {e.detail}") from None
            raise RuntimeError(f"the mirrant-2 model host did not start: {e.detail}") from None
        if (host.hello["width"], host.hello["height"], host.hello["fps"]) != (FW, FH, FPS):
            host.stop()
            raise RuntimeError(f"the mirrant-2 model host makes {host.hello}, not {FW}x{FH} at {FPS} fps")
        return host

    def open_stream(self, sink) -> _Stream:
        """A new stream on the host (a reset word); every older stream's frames are dropped."""
        if self._host is None:
            host = self._start_host()
            try:
                # Ends the host when the fixture is dropped, or at exit while the interpreter still runs.
                self._end_host = weakref.finalize(self, _end_host, host)
            except BaseException:
                _end_host(host)
                raise
            self._host = host
            self._streams.clear()
        for s in self._streams:
            s.sink = None
        s = self._current = _Stream(sink)
        self._streams.append(s)
        self._host.words.put(_RESET)
        return s

    def feed(self, s: _Stream, pcm: np.ndarray) -> None:
        for off in range(0, pcm.size, STEP_SAMPLES):
            step = pcm[off : off + STEP_SAMPLES]
            self._host.words.put(struct.pack("<I", step.size) + step.astype("<f4").tobytes())
        s.fed_more(int(pcm.size))

    def flush(self, s: _Stream) -> None:
        self._host.words.put(_FLUSH)
        s.flushed()

    def collect(self, s: _Stream) -> None:
        """Take the host's records, in order, to their streams until ``s`` is owed nothing."""
        host = self._host
        while s.frames or s.ends:
            try:
                rec = host.records.get(timeout=STALL_TIMEOUT_S)
            except queue.Empty:
                self._lost(host, f"no frame for {STALL_TIMEOUT_S:.0f} s")
            if rec[0] == "eof":
                self._lost(host, f"the host exited with status {host.wait_exit()}")
            while not (self._streams[0].frames or self._streams[0].ends):
                self._streams.popleft()
            head = self._streams[0]
            if rec[0] == "end":
                head.ends -= 1
            elif head.frames:
                if rec[1] != head.next_index:  # a host out of step: nothing of the record is used
                    self._lost(host, f"frame {rec[1]} came where frame {head.next_index} was due")
                head.frames -= 1
                head.next_index += 1
                if head.sink is not None:
                    head.sink(rec[2])
            else:
                self._lost(host, "a frame came where an end record was due")

    def _lost(self, host: HostPipe, why: str):
        if self._host is host:
            self._host = None
        detail = host.fatal or host.tail()
        self._end_host()
        self._streams.clear()
        self._current = None
        raise RuntimeError(f"the mirrant-2 model host stopped ({why}); {detail}")

    def is_current(self, s) -> bool:
        return s is not None and s is self._current and self._host is not None

    def samples_for_chunk(self, n) -> int:
        return samples_for_chunk(n)

    def stop_host(self) -> None:
        """End the host process and its threads at once (nobody wants what it still renders)."""
        self._host = self._current = None
        self._end_host()


def _end_host(host: HostPipe) -> None:
    host.drop_words()
    host.stop(grace_s=0.0)


class ChainRuntime:
    """One speech stream over a :class:`ChainFixture` (see the module text)."""

    def __init__(self, fixture: ChainFixture) -> None:
        self._fx = fixture
        self._lock = threading.Lock()  # the state below; never held while the host is waited for
        self._closed = False
        self._gen = 0  # bumped by every forget: frames of an older utterance are dropped
        self._clear()

    def _clear(self) -> None:
        self._gen += 1
        self._stream = None  # the host stream of this utterance
        self._frames: collections.deque = collections.deque()  # RGB frames made, not pulled
        self._made = 0  # ticks with a frame made
        self._cursor = 0  # the next tick to pull
        self._pushed = 0  # samples pushed this utterance
        self._zeros = 0  # exact zeros at the end of the audio pushed
        self._flushed = False  # the chain has taken the audio it has not seen as zeros
        self._limit = 0  # ticks releasable once made
        self._ended = False

    def _check(self) -> None:
        if self._closed:
            raise RuntimeError("this runtime is closed")

    def _released(self) -> int:
        return min(self._made, self._limit)

    def _sink(self, gen: int):
        me = weakref.ref(self)  # the fixture's streams must not keep a dropped runtime alive

        def take(buf) -> None:
            rt = me()
            if rt is None:
                return
            with rt._lock:
                if rt._gen == gen and not rt._closed:
                    rt._frames.append(buf)
                    rt._made += 1

        return take

    # -- the worker's side -----------------------------------------------------------------------

    def push_audio(self, samples: np.ndarray) -> None:
        if not isinstance(samples, np.ndarray):
            raise TypeError(f"push_audio takes a numpy float32 array; got {type(samples).__name__}")
        if samples.dtype != np.float32 or samples.ndim != 1:
            raise ValueError(f"push_audio takes a 1-D float32 array; got {samples.dtype} of shape {samples.shape}")
        fx = self._fx
        with fx.work_lock:
            with self._lock:
                self._check()
                if self._ended:
                    self._clear()  # audio after end_utterance() begins the next utterance
                gen, stream = self._gen, self._stream
                nonzero = np.flatnonzero(samples)
                feed = [samples]
                if self._flushed and nonzero.size:
                    # Speech after a flush: the frames not yet released were made from zeros that
                    # are not there. Drop them; the chain starts over at the first tick not
                    # released, with the silence of that tick already pushed.
                    keep = self._released()
                    while len(self._frames) > keep - self._cursor:
                        self._frames.pop()
                    self._made = keep
                    feed = [np.zeros(self._pushed - keep * SPF, dtype=np.float32), samples]
                    stream, self._flushed = None, False
                elif stream is not None and not fx.is_current(stream):
                    raise RuntimeError(_DROPPED)
                self._pushed += int(samples.size)
                self._zeros = self._zeros + int(samples.size) if nonzero.size == 0 else int(samples.size - 1 - nonzero[-1])
                # Flushing again while the silence goes on only renders what the new zeros need.
                flush = self._zeros >= SILENCE_SAMPLES
                self._flushed = self._flushed or flush
                self._limit = self._pushed // SPF
            if stream is None:
                stream = fx.open_stream(self._sink(gen))
                with self._lock:
                    if self._gen == gen:
                        self._stream = stream
            for pcm in feed:
                if pcm.size:
                    fx.feed(stream, pcm)
            if flush:
                fx.flush(stream)
            fx.collect(stream)

    def pull_frame(self, idx: int = -1) -> tuple[int, np.ndarray]:
        if idx != -1:
            raise ValueError(f"pull_frame takes -1 (the next ready tick); got {idx!r}")
        with self._lock:
            self._check()
            if self._cursor >= self._released():
                raise RuntimeError("pull_frame: no tick is ready (check ticks_available() first)")
            buf = self._frames.popleft()
            i = self._cursor
            self._cursor += 1
        return i, _bgr(buf)

    def end_utterance(self) -> None:
        fx = self._fx
        with fx.work_lock:
            with self._lock:
                self._check()
                if self._ended:
                    return
                self._ended = True
                self._limit = -(-self._pushed // SPF)
                self._flushed = True
                stream = self._stream
            if stream is None:
                return  # nothing pushed: nothing to release
            if not fx.is_current(stream):
                raise RuntimeError(_DROPPED)
            fx.flush(stream)
            fx.collect(stream)

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
        return samples_for_chunk(n)

    def tick_compose_to_size(self, pcm_buf, idx, width, height):
        raise ValueError("a mirrant-2 runtime makes its frames in chunks, from audio still to come; it "
                         "cannot compose one tick on demand: stream it instead (output_size=None)")

    def close(self) -> None:
        """Free the runtime and end its fixture's model host. Idempotent."""
        with self._lock:
            self._closed = True
            self._clear()
        self._fx.stop_host()
