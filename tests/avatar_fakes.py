"""Fakes for driving AsyncAvatar's producer side without the other half of the class: small
runtimes and fixtures that answer at once and record every call, a subclass that stands in for
the playout clock and stop, and helpers that read the output queue with bounded waits."""

import asyncio
import threading
import types

import numpy as np

from quorvane import _avatar, _models
from quorvane._avatar import AsyncAvatar

WAIT_S = 5.0


class FakeFixture:
    def __init__(self, spt=640, sr=16000, w=4, h=2):
        self.audio_samples_per_tick = spt
        self.audio_sample_rate = sr
        self.frame_width = w
        self.frame_height = h


def picture(i, w=4, h=2):
    return np.full((h, w, 3), i % 256, dtype=np.uint8)


REST = np.full((2, 4, 3), 200, dtype=np.uint8)


class FakeRuntime:
    """Ticks become pullable as whole ticks are pushed, less `hold` ticks held back until
    end_utterance (then every tick, a partial last one included). `release` (a callable of the
    runtime giving the ticks released so far) replaces that rule when given. Compose shares the
    cursor and stops with "cursor past end" at the buffer's end (or at tick `past_end_at`). Every
    call is recorded with the name of the thread that made it."""

    def __init__(self, spt=640, hold=0, release=None, past_end_at=None, fail=None, source=REST):
        self.spt, self.hold, self.release, self.past_end_at = spt, hold, release, past_end_at
        self.fail = fail or {}
        self.source = source
        self.calls = []
        self.pushes = []
        self.n = self.cursor = 0
        self.ended = False

    def _note(self, name, *args):
        self.calls.append((name, args, threading.current_thread().name))
        err = self.fail.get(name)
        if err is not None:
            raise err

    def names(self):
        return [c[0] for c in self.calls]

    def push_audio(self, pcm):
        self._note("push_audio", pcm.size)
        assert pcm.dtype == np.float32 and pcm.flags.c_contiguous
        self.pushes.append(pcm.copy())
        self.n += pcm.size

    def ticks_available(self):
        self._note("ticks_available")
        if self.release is not None:
            ready = self.release(self)
        elif self.ended:
            ready = -(-self.n // self.spt)
        else:
            ready = max(0, self.n // self.spt - self.hold)
        return max(0, ready - self.cursor)

    def pull_frame(self, idx):
        self._note("pull_frame", idx)
        i = self.cursor
        self.cursor += 1
        return i, picture(i)

    def tick_compose_to_size(self, buf, idx, w, h):
        self._note("tick_compose_to_size", idx, w, h)
        last = getattr(self, "_composed", None)
        if last is not None and buf is not last and not (buf.size >= last.size and np.array_equal(buf[: last.size], last)):
            self.cursor = 0  # another utterance's buffer, as the stand-in runtime tells them apart
        self._composed = buf
        i = self.cursor
        if i * self.spt >= buf.size or (self.past_end_at is not None and i >= self.past_end_at):
            raise ValueError(f"tick_compose_to_size: cursor past end (tick {i})")
        self.cursor += 1
        return i, picture(i)

    def end_utterance(self):
        self._note("end_utterance")
        self.ended = True

    def reset_stream(self):
        self._note("reset_stream")
        self.n = self.cursor = 0
        self.ended = False

    def get_source_frame(self, idx):
        self._note("get_source_frame", idx)
        return None if self.source is None else self.source.copy()


class Av(AsyncAvatar):
    """AsyncAvatar with the playout clock and stop of the output side stood in for: the clock
    forwards every playout item to the output queue at once; stop ends the producer and the
    clock."""

    async def _emit_clock(self):
        while True:
            item = await self._playout.get()
            await self._out_queue.put(item)
            if item is _avatar._STREAM_END:
                return

    async def stop(self):
        self.stop_calls = getattr(self, "stop_calls", 0) + 1
        if not self._running:
            return
        self._stop_event.set()
        self._in_queue.put_nowait(_models.VideoControl(end_of_speech=True))
        for t in (self._producer_task, self._emitter_task):
            if t is not None:
                while not t.done():
                    while not self._out_queue.empty():
                        self._out_queue.get_nowait()
                    await asyncio.sleep(0.001)
        self._producer_task = self._emitter_task = self._playout = None
        self._running = False
        while not self._out_queue.empty():
            self._out_queue.get_nowait()


def fake_avatar(*, spt=640, sr=16000, engine="corvine1", output_size=None, rt=None, cls=Av, **kw):
    kw.setdefault("output_buffer_size", 0)
    av = cls(output_size=output_size, **kw)
    av._fixture = FakeFixture(spt, sr)
    av._runtime = rt if rt is not None else FakeRuntime(spt)
    av._engine_id = engine
    return av


def fake_core(monkeypatch, make=None):
    """Replaces the module's _core so fresh runtimes are FakeRuntimes; returns the list of them."""
    made = []

    def runtime(fx):
        rt = make(fx) if make else FakeRuntime(int(fx.audio_samples_per_tick))
        made.append(rt)
        return rt

    monkeypatch.setattr(_avatar, "_core", types.SimpleNamespace(Runtime=runtime))
    return made


async def next_item(av, timeout=WAIT_S):
    return await asyncio.wait_for(av._out_queue.get(), timeout)


async def items_until(av, stop, timeout=WAIT_S):
    """Output items up to and including the first for which `stop(item)` holds."""
    got = []
    while True:
        item = await next_item(av, timeout)
        got.append(item)
        if stop(item):
            return got
        if isinstance(item, BaseException):
            raise item
        assert item is not _avatar._STREAM_END, "the stream ended early"


def is_eos(item):
    return isinstance(item, _models.VideoFrame) and bool(item.end_of_speech)


def speech_frames(items):
    """Tick frames and end-of-speech frames: every frame but the idle ones."""
    return [i for i in items if isinstance(i, _models.VideoFrame) and (i.source_message_id is not None or i.end_of_speech)]


async def end_producer(av):
    """Ends a running producer the way stop() does and returns what it left on the queue."""
    av._stop_event.set()
    av._in_queue.put_nowait(_models.VideoControl(end_of_speech=True))
    await asyncio.wait_for(asyncio.shield(av._producer_task), WAIT_S)
    left = []
    while not av._out_queue.empty():
        left.append(av._out_queue.get_nowait())
    return left


def shut_engine(av):
    ex = av._engine_executor
    if ex is not None:
        ex.shutdown(wait=True)
        av._engine_executor = None


def control(samples, *, sr=16000, last=False, mid="m1"):
    """A VideoControl with int16 `samples` at `sr` Hz and message id `mid`."""
    pcm = np.asarray(samples, dtype=np.int16)
    ctl = _models.VideoControl.from_audio(pcm.astype("<i2").tobytes(), sr, last)
    ctl.message_id = mid
    return ctl


def speech_i16(n, seed=0, level=9000):
    rng = np.random.default_rng(seed)
    return np.clip(rng.standard_normal(n) * level, -32768, 32767).astype(np.int16)
