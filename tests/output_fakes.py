"""Fakes for the live avatar's consumer-side tests.

- ``VirtualLoop``: an asyncio event loop on virtual time. Whenever nothing is ready to run, time
  jumps straight to the next timer instead of sleeping, so pacing, time-outs and the stop waits are
  exact and instant. ``run_virtual`` runs a coroutine on one, with the module's ``time.monotonic``
  patched to the loop's clock.
- ``FakeAvatar``: an ``AsyncAvatar`` whose producer side is scripted: ``_ensure_running`` starts a
  producer that the test chooses, and, on mirrant-2-like streams, the real playout clock.
- Small record builders and a fake runtime.
"""

from __future__ import annotations

import asyncio
import math
import selectors
import time
import types

import numpy as np
import pytest

import quorvane._avatar as av
from quorvane._models import AudioChunk, VideoControl, VideoFrame  # noqa: F401  (re-exported)

SPT = 640
SR = 16000


class _JumpingSelector(selectors.DefaultSelector):
    """A selector whose waits advance the loop's virtual clock instead of sleeping."""

    def __init__(self, clock):
        super().__init__()
        self._clock = clock
        self.loop = None

    def select(self, timeout=None):
        ready = super().select(0)
        if ready or (timeout == 0 and self.loop._ready):
            return ready
        if timeout is None:
            # Nothing is scheduled: only another thread can wake the loop now.
            ready = super().select(10.0)
            if not ready:
                raise RuntimeError("virtual loop: nothing scheduled and nothing woke it within 10 s")
            return ready
        self._clock.advance(timeout)
        return []


class _Clock:
    def __init__(self, start: float, limit_s: float):
        self.now = start
        self._end = start + limit_s
        self._real_end = time.monotonic() + 60.0

    def advance(self, dt: float) -> None:
        # Just past the timer's time: with no clock resolution a timer fires only once its time
        # has passed, so a task waiting for a due time always finds it due when it wakes.
        self.now = math.nextafter(self.now + dt, math.inf)
        if self.now > self._end:
            raise RuntimeError("virtual loop: ran past its virtual time limit")
        if time.monotonic() > self._real_end:
            raise RuntimeError("virtual loop: ran past its real time limit")


class VirtualLoop(asyncio.SelectorEventLoop):
    def __init__(self, start: float = 1000.0, limit_s: float = 600.0):
        self.clock = _Clock(start, limit_s)
        selector = _JumpingSelector(self.clock)
        super().__init__(selector)
        selector.loop = self
        self._clock_resolution = 0.0

    def time(self) -> float:
        return self.clock.now


def run_virtual(monkeypatch, main, *, start: float = 1000.0, limit_s: float = 600.0):
    """Runs ``main(loop)`` on a new virtual loop with the module's clock patched onto it."""
    loop = VirtualLoop(start, limit_s)
    fake_time = types.SimpleNamespace(monotonic=loop.time, perf_counter=loop.time, sleep=time.sleep)
    monkeypatch.setattr(av, "time", fake_time)
    try:
        return loop.run_until_complete(main(loop))
    finally:
        for task in asyncio.all_tasks(loop):
            task.cancel()
        loop.run_until_complete(asyncio.sleep(0))
        pending = [t for t in asyncio.all_tasks(loop) if not t.done()]
        if pending:
            loop.run_until_complete(asyncio.wait(pending, timeout=1.0))
        loop.run_until_complete(loop.shutdown_asyncgens())
        loop.close()


@pytest.fixture
def vrun(monkeypatch):
    return lambda main, **kw: run_virtual(monkeypatch, main, **kw)


# -- records ------------------------------------------------------------------------------------


def picture(level: int = 0, h: int = 4, w: int = 6) -> np.ndarray:
    return np.full((h, w, 3), level, dtype=np.uint8)


def voice(spt: int = SPT, value: int = 100) -> AudioChunk:
    return AudioChunk(data=np.full(spt, value, dtype=np.int16), sample_rate=SR, last_chunk=False)


def frame(i: int = 0, *, pic=True, audio=True, eos=False, spt: int = SPT) -> VideoFrame:
    return VideoFrame(bgr_image=picture(i % 250) if pic else None, audio_chunk=voice(spt) if audio else None,
                      frame_index=i, source_message_id="m", end_of_speech=eos)


# -- runtime ------------------------------------------------------------------------------------


class FakeRuntime:
    """Answers ``get_source_frame`` with a resting picture (or what ``rest`` says) and records the
    calls; ``samples_for_chunk`` is present only when ``chunk1_samples`` is given."""

    def __init__(self, rest=None, chunk1_samples=None):
        self.rest = picture(7) if rest is None else rest
        self.calls = []
        if chunk1_samples is not None:
            self.samples_for_chunk = lambda n: (self.calls.append(("samples_for_chunk", n)), chunk1_samples)[1]

    def get_source_frame(self, idx):
        self.calls.append(("get_source_frame", idx))
        r = self.rest
        if isinstance(r, BaseException):
            raise r
        return r() if callable(r) else r


class FakeFixture:
    def __init__(self, spt=SPT, sr=SR, w=6, h=4):
        self.audio_samples_per_tick = spt
        self.audio_sample_rate = sr
        self.frame_width = w
        self.frame_height = h


# -- avatar -------------------------------------------------------------------------------------


async def idle_producer(avatar):
    """Like the real producer at rest: runs until the stop event, then ends the stream."""
    dest = avatar._playout if avatar._playout is not None else avatar._out_queue
    try:
        await avatar._stop_event.wait()
    finally:
        try:
            await dest.put(av._STREAM_END)
        except Exception:
            pass


def replying(n=40):
    """A producer that answers each run with a reply of its own: ``n`` frames of picture and voice
    marked "reply-<run>", its end of speech, then rest until the stop, which ends the stream."""

    async def produce(avatar):
        avatar.replies = getattr(avatar, "replies", 0) + 1
        mid = f"reply-{avatar.replies}"
        try:
            for i in range(n):
                if avatar._stop_event.is_set():
                    return
                f = frame(i)
                f.source_message_id = mid
                await avatar._out_queue.put(f)
            await avatar._out_queue.put(VideoFrame(bgr_image=None, audio_chunk=None, frame_index=n,
                                                   source_message_id=mid, end_of_speech=True))
            await avatar._stop_event.wait()
        finally:
            try:
                avatar._out_queue.put_nowait(av._STREAM_END)
            except asyncio.QueueFull:
                pass

    return produce


class FakeAvatar(av.AsyncAvatar):
    """An AsyncAvatar with a scripted producer side.

    ``producer`` is a coroutine function of the avatar that becomes the producer task; ``m2``
    makes ``_ensure_running`` start the real playout clock over a playout queue, as on a mirrant-2
    stream; ``fps`` is the engine's frame rate; ``fresh`` makes each start empty the output queue
    first, as the real start does (otherwise a test may queue items before the first step)."""

    def __init__(self, *, producer=idle_producer, m2=False, fps=25, fresh=False, **kw):
        kw.setdefault("output_size", None)
        super().__init__(**kw)
        self.producer = producer
        self.m2 = m2
        self.fresh = fresh
        self.fps_value = fps
        self.ensure_calls = 0
        self.dropped = 0
        self.stop_calls = 0

    @property
    def _engine_fps(self):
        return self.fps_value

    async def _ensure_running(self):
        self.ensure_calls += 1
        if self._running:
            return
        if self.fresh:
            self._drain_queue(self._out_queue)
        self._stop_event = asyncio.Event()
        self._interrupt_event = asyncio.Event()
        self._running = True
        if self.m2:
            self._playout = asyncio.Queue()
            self._playout_reset = False
            self._emitter_task = asyncio.create_task(self._emit_clock(), name="quorvane-m2-playout-clock")
        self._producer_task = asyncio.create_task(self.producer(self), name="quorvane-corvine-async-producer")

    def _arrival_dropped(self):
        self.dropped += 1
        self._arr_t0 = None
        self._arr_s = 0.0
        self._arr_done = False

    async def stop(self):
        self.stop_calls += 1
        return await super().stop()
