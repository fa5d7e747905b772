"""Whole live sessions on the stand-in fixtures, on virtual time: speech arriving as it is spoken,
an application that plays each frame's voice into an audio sink and shows the picture when that
voice starts playing, a barge-in in the middle of an utterance answered at once, and a host that
tears the avatar down while its consumer iterates and later loads a model into it again.

The engine thread is replaced by an executor that runs each job at once, so no virtual time can
pass while a runtime call runs; the thread itself is tested on its own in test_avatar_ticks."""

import asyncio
import concurrent.futures
import math
import zlib
import types
from pathlib import Path

import numpy as np
import pytest

from output_fakes import run_virtual
import quorvane._avatar as av
from quorvane._avatar import AsyncAvatar
from quorvane._models import VideoControl

DATA = Path(__file__).parent / "data"
EPS = 1e-6

SESSIONS = [("mirrant2", None), ("corvine1", None), ("corvine1", (96, 72)), ("corvine2-light", None),
            ("corvine2-light", (96, 72))]
IDS = ["mirrant2-paced", "corvine1-streaming", "corvine1-compose", "corvine2-streaming", "corvine2-compose"]
SPT = {"mirrant2": 800, "corvine1": 640, "corvine2-light": 640}


class InlineExecutor(concurrent.futures.ThreadPoolExecutor):
    """Runs each job on the calling thread when it is submitted."""

    def __init__(self, max_workers=None, thread_name_prefix=""):
        super().__init__(max_workers=1, thread_name_prefix=thread_name_prefix)

    def submit(self, fn, /, *args, **kwargs):
        f = concurrent.futures.Future()
        try:
            f.set_result(fn(*args, **kwargs))
        except BaseException as e:  # handed to the awaiting task, as the pool would
            f.set_exception(e)
        return f


@pytest.fixture
def session(monkeypatch):
    monkeypatch.setattr(av, "concurrent", types.SimpleNamespace(futures=types.SimpleNamespace(ThreadPoolExecutor=InlineExecutor)))

    def run(main):
        async def with_inline_loads(loop):
            loop.set_default_executor(InlineExecutor())
            return await main(loop)

        return run_virtual(monkeypatch, with_inline_loads)

    return run


class PlayingSink:
    """An audio source that plays what it is handed at once and in order: `queued_duration` is
    what it holds and has not played yet. `starts` keeps when each piece began to play."""

    def __init__(self, clock):
        self.clock = clock
        self.end = None
        self.starts = []

    def play(self, seconds):
        now = self.clock()
        start = now if self.end is None or self.end < now else self.end
        self.starts.append(start)
        self.end = start + seconds

    def clear(self):
        self.end = None

    @property
    def queued_duration(self):
        return 0.0 if self.end is None else max(0.0, self.end - self.clock())


def speech(seconds, hz=220):
    t = np.arange(int(round(seconds * 16000))) / 16000
    return (np.sin(2 * np.pi * hz * t) * 12000).astype("<i2").tobytes()


async def speak(avatar, pcm, piece_s=0.2):
    """Pushes `pcm` as it would arrive from speech synthesis: a piece every `piece_s` seconds."""
    step = int(piece_s * 16000) * 2
    pieces = [pcm[i:i + step] for i in range(0, len(pcm), step)]
    for k, piece in enumerate(pieces):
        await avatar.push_audio(piece, sample_rate=16000, last_chunk=k == len(pieces) - 1)
        await asyncio.sleep(piece_s)


class App:
    """A consumer of run() that plays each frame's voice into its sink and records, in order, what
    it was handed: (time, kind, frame), kind "voice", "picture", "whole" or "bare"."""

    def __init__(self, avatar, loop, sink=True):
        self.avatar, self.loop = avatar, loop
        self.sink = PlayingSink(loop.time) if sink else None
        self.got = []
        self.voice_start = {}  # id(voice part) -> when the sink began to play it
        if sink:
            avatar.sync_to(self.sink)

    async def consume(self, on_frame=None, close_at_end_of=None):
        """Reads run() to its end. `close_at_end_of(frame)` names the end of speech after which the
        application closes the avatar (cleanup(), which drops what is still held for the sink):
        once every picture of that utterance has been shown."""
        closing = None
        async for f in self.avatar.run():
            kind = {(True, True): "whole", (True, False): "picture", (False, True): "voice",
                    (False, False): "bare"}[(f.bgr_image is not None, f.audio_chunk is not None)]
            if f.audio_chunk is not None and self.sink is not None:
                self.sink.play(f.audio_chunk.data.size / f.audio_chunk.sample_rate)
                self.voice_start[id(f)] = self.sink.starts[-1]
            self.got.append((self.loop.time(), kind, f))
            if on_frame is not None:
                on_frame(f)
            if closing is None and close_at_end_of is not None and f.end_of_speech and close_at_end_of(f):
                closing = f.source_message_id
            if closing is not None and len(self.of(closing, "picture")) == len(self.of(closing, "voice")):
                self.avatar.cleanup()

    def of(self, mid, *kinds):
        return [(t, f) for t, k, f in self.got if f.source_message_id == mid and k in kinds]


def check_voice_first(app, mid, n_ticks):
    """Every tick of utterance `mid` came out voice first, in order, and its picture when that
    voice began to play (25 ms early), never before its voice."""
    voices = app.of(mid, "voice")
    pictures = app.of(mid, "picture")
    assert [f.frame_index for _, f in voices] == list(range(n_ticks))
    assert [f.frame_index for _, f in pictures] == list(range(n_ticks))
    for (tv, v), (tp, p) in zip(voices, pictures):
        due = max(app.voice_start[id(v)] - av._SYNC_LEAD_S, tv)
        assert abs(tp - due) < EPS, (p.frame_index, tp, due)
        assert p.audio_chunk is None and not p.end_of_speech
    return voices, pictures


@pytest.mark.parametrize("name, output_size", SESSIONS, ids=IDS)
def test_an_utterance_as_it_is_spoken_with_its_voice_played_first(session, name, output_size):
    seconds, spt = 1.5, SPT[name]
    n = math.ceil(seconds * 16000 / spt)

    async def main(loop):
        a = await AsyncAvatar.create(model_path=str(DATA / f"{name}.qvfx"), output_size=output_size)
        app = App(a, loop)

        consumer = asyncio.create_task(app.consume(close_at_end_of=lambda f: True))
        await speak(a, speech(seconds))
        await asyncio.wait_for(consumer, 60)
        return a, app

    a, app = session(main)
    mid = next(f.source_message_id for _, k, f in app.got if k == "voice" and f.source_message_id)
    voices, _ = check_voice_first(app, mid, n)
    [(_, eos)] = [(t, f) for t, k, f in app.got if f.end_of_speech]
    if name == "corvine2-light":
        # A v2 tail ends with a frame of its own, without picture or voice, passed on unsplit.
        assert (eos.bgr_image, eos.audio_chunk, eos.frame_index) == (None, None, n)
    else:
        assert eos is voices[-1][1] and eos.audio_chunk.last_chunk
    if name == "mirrant2":
        # Paced at the engine's own rate, whatever the speech's arrival and the sink.
        times = [t for t, _ in voices]
        assert all(abs(b - a_ - 0.05) < EPS for a_, b in zip(times, times[1:])), np.diff(times)
        before = [f for t, k, f in app.got if t < times[0] and k == "voice"]
        assert before and all(not f.audio_chunk.data.any() for f in before)  # resting, silent
    assert a._fixture is None and a._runtime is None and a._engine_executor is None and not a._running


@pytest.mark.parametrize("name, output_size", SESSIONS, ids=IDS)
@pytest.mark.parametrize("sink", [True, False], ids=["voice-first", "direct"])
def test_a_barge_in_mid_utterance_answered_at_once(session, name, output_size, sink):
    spt = SPT[name]
    n_reply = math.ceil(0.6 * 16000 / spt)

    async def main(loop):
        a = await AsyncAvatar.create(model_path=str(DATA / f"{name}.qvfx"), output_size=output_size)
        app = App(a, loop, sink=sink)
        reply = VideoControl.from_audio(speech(0.6, hz=330), 16000, True)
        heard, barge = asyncio.Event(), {}

        async def user():
            # The user starts speaking over the avatar: the host drops what is queued, audio
            # included, and the agent's answer follows the user's turn.
            await heard.wait()
            barge["at"] = loop.time()
            speaker.cancel()
            a.interrupt()
            if app.sink is not None:
                app.sink.clear()
            await asyncio.sleep(0.3)  # a compose-mode producer is still waiting for input then
            await a.push(reply)

        def on_frame(f):
            if f.source_message_id is not None and f.frame_index == 10 and f.audio_chunk is not None:
                heard.set()

        consumer = asyncio.create_task(app.consume(on_frame, lambda f: f.source_message_id == reply.message_id))
        speaker = asyncio.create_task(speak(a, speech(4.0)))
        barger = asyncio.create_task(user())
        await asyncio.wait_for(consumer, 60)
        await barger
        return app, reply.message_id, barge["at"]

    app, reply_id, barge_at = session(main)
    first_id = app.got[[f.source_message_id is not None for _, _, f in app.got].index(True)][2].source_message_id
    if sink:
        check_voice_first(app, reply_id, n_reply)
    else:
        whole = app.of(reply_id, "whole")
        assert [f.frame_index for _, f in whole] == list(range(n_reply))
    eos = [f for _, _, f in app.got if f.end_of_speech]
    assert [f.source_message_id for f in eos] == [reply_id]
    # Nothing of the abandoned utterance after the barge-in: neither its held pictures nor the
    # ticks it had in flight, nor an end of its speech.
    assert [f.frame_index for t, _, f in app.got if t > barge_at and f.source_message_id == first_id] == []
    cut = {f.frame_index for _, _, f in app.got if f.source_message_id == first_id}
    assert 10 in cut and len(cut) < 4.0 * 16000 / spt


@pytest.mark.parametrize("name, output_size", SESSIONS, ids=IDS)
def test_teardown_while_the_consumer_iterates_then_a_model_again(session, name, output_size):
    spt = SPT[name]
    model = str(DATA / f"{name}.qvfx")

    async def main(loop):
        a = await AsyncAvatar.create(model_path=model, output_size=output_size)
        first = App(a, loop, sink=False)

        def on_frame(f):
            if f.source_message_id is not None and f.frame_index == 5:
                a.cleanup()  # mid-utterance, from inside the consumer's loop

        consumer = asyncio.create_task(first.consume(on_frame))
        speaker = asyncio.create_task(speak(a, speech(3.0)))
        await asyncio.wait_for(consumer, 60)  # run() ended cleanly
        speaker.cancel()
        released = (a._fixture, a._runtime, a._engine_executor, a._running, a._producer_task, a._emitter_task)
        await asyncio.sleep(1.0)  # the cancelled tasks have finished

        await a.set_model(model)
        second = App(a, loop)

        consumer = asyncio.create_task(second.consume(close_at_end_of=lambda f: True))
        await speak(a, speech(0.8))
        await asyncio.wait_for(consumer, 60)
        return first, released, second

    first, released, second = session(main)
    assert released == (None, None, None, False, None, None)
    assert max(f.frame_index for _, _, f in first.got if f.source_message_id is not None) == 5
    mid = next(f.source_message_id for _, k, f in second.got if k == "voice" and f.source_message_id)
    check_voice_first(second, mid, math.ceil(0.8 * 16000 / spt))


@pytest.mark.parametrize("name, output_size", SESSIONS, ids=IDS)
def test_a_consumer_slower_than_the_frame_rate_still_gets_every_queued_utterance(session, name, output_size):
    # A producer that is behind waits for input with a time-out of 0: an utterance already queued
    # must be taken then, not left for resting frames.
    async def main(loop):
        a = await AsyncAvatar.create(model_path=str(DATA / f"{name}.qvfx"), output_size=output_size)
        ids, got = [], []
        for hz in (220, 260, 300, 340):
            ctrl = VideoControl.from_audio(speech(0.5, hz), 16000, True)
            ids.append(ctrl.message_id)
            await a.push(ctrl)

        async def consume():
            async for f in a.run():
                got.append(f)
                if sum(g.end_of_speech for g in got) == len(ids):
                    a.cleanup()
                await asyncio.sleep(0.08)  # two frame times a frame

        await asyncio.wait_for(consume(), 40)
        return ids, got

    ids, got = session(main)
    ends = [f.source_message_id for f in got if f.end_of_speech]
    assert ends == ids
    idle = [f for f in got if f.source_message_id is None]
    assert len(idle) < 40, len(idle)


def test_a_long_reply_pushed_at_once_is_rendered_a_bounded_stretch_ahead_of_playout(session):
    # A voice agent hands over a whole reply in one push. The producer renders only a few chunks
    # ahead of the playout clock (each waiting frame holds a picture), and playout never runs dry.
    seconds = 60.0

    async def main(loop):
        a = await AsyncAvatar.create(model_path=str(DATA / "mirrant2.qvfx"), output_size=None)
        app, ahead = App(a, loop, sink=False), [0]
        await a.push_audio(speech(seconds), sample_rate=16000, last_chunk=True)

        def on_frame(f):
            ahead[0] = max(ahead[0], a._playout.qsize() + getattr(a, "_playout_backlog", 0))
            if f.end_of_speech:
                a.cleanup()

        await asyncio.wait_for(app.consume(on_frame), seconds + 30)
        return app, ahead[0]

    app, ahead = session(main)
    voiced = [(t, f) for t, k, f in app.got if f.source_message_id is not None and k == "whole"]
    n = math.ceil(seconds * 16000 / SPT["mirrant2"])
    assert [f.frame_index for _, f in voiced] == list(range(n))
    times = [t for t, _ in voiced]
    assert all(abs(b - a_ - 0.05) < EPS for a_, b in zip(times, times[1:]))
    slice_frames = av._M2_FEED_SLICE_SAMPLES // SPT["mirrant2"]
    assert 0 < ahead <= av._M2_AHEAD_FRAMES + slice_frames, ahead


@pytest.mark.parametrize("name, output_size", SESSIONS, ids=IDS)
def test_a_reply_after_a_stop_comes_out_alone(session, name, output_size):
    # The consumer of a reply is cancelled mid-reply (its run() stops the stream), with most of the
    # reply still queued; the next reply's run() must give that reply alone, from its first tick.
    spt = SPT[name]

    async def main(loop):
        a = await AsyncAvatar.create(model_path=str(DATA / f"{name}.qvfx"), output_size=output_size)
        abandoned = set()
        for k in range(60):  # 12 s handed over at once: a mirrant-2 producer takes 3 s of it ahead
            ctrl = VideoControl.from_audio(speech(0.2), 16000, k == 59)
            abandoned.add(ctrl.message_id)
            await a.push(ctrl)
        voiced = asyncio.Event()

        async def first():
            async for f in a.run():
                if f.source_message_id is not None:
                    voiced.set()

        consumer = asyncio.create_task(first())
        await asyncio.wait_for(voiced.wait(), 30)
        consumer.cancel()
        await asyncio.gather(consumer, return_exceptions=True)
        assert not a._running
        reply = VideoControl.from_audio(speech(2.0, hz=330), 16000, True)
        await a.push(reply)
        got = []

        async def second():
            async for f in a.run():
                got.append(f)
                if f.end_of_speech:
                    return

        await asyncio.wait_for(second(), 60)
        a.cleanup()
        return abandoned, reply.message_id, got

    abandoned, reply_id, got = session(main)
    spoken = [f for f in got if f.source_message_id is not None]
    assert {f.source_message_id for f in spoken} == {reply_id}
    voices = [f for f in spoken if f.audio_chunk is not None]
    assert [f.frame_index for f in voices] == list(range(math.ceil(2.0 * 16000 / spt)))
    assert got[-1].end_of_speech and sum(f.end_of_speech for f in got) == 1


def tone(n, value):
    return np.full(n, value, dtype="<i2").tobytes()


@pytest.mark.parametrize("name, output_size", SESSIONS, ids=IDS)
@pytest.mark.parametrize("sink", [True, False], ids=["voice-first", "direct"])
def test_barge_in_at_any_moment_drops_the_whole_utterance_and_none_of_the_reply(session, name, output_size, sink):
    """Barge-ins at seeded moments: right after a piece of speech was queued (the producer may be
    taking it), while the consumer holds a frame or lets the output queue fill up. Nothing queued
    before interrupt() comes out after it, and the reply comes out whole, each frame with exactly
    its tick of voice."""
    spt = SPT[name]
    rng = np.random.default_rng(zlib.crc32(repr((name, output_size, sink)).encode()))

    async def main(loop):
        a = await AsyncAvatar.create(model_path=str(DATA / f"{name}.qvfx"), output_size=output_size)
        got, stall = [], asyncio.Event()
        stall.set()
        if sink:
            a.sync_to(lambda: 0.0)  # plays at once: pictures go out right behind their voice

        async def consume():
            async for f in a.run():
                got.append(f)
                await stall.wait()

        consumer = asyncio.create_task(consume())
        checks = []
        for trial in range(6):
            before = []
            for k in range(int(rng.integers(1, 40))):
                ctrl = VideoControl.from_audio(tone(320, 1000 + trial), 16000, False)
                before.append(ctrl.message_id)
                await a.push(ctrl)
                await asyncio.sleep(0.02 if rng.random() < 0.7 else 0)
            if rng.random() < 0.5:
                stall.clear()  # the consumer holds its frame; the output queue fills up
                await asyncio.sleep(float(rng.uniform(0, 0.5)))
            for _ in range(int(rng.integers(0, 4))):
                await asyncio.sleep(0)
            mark = len(got)
            a.interrupt()
            reply_pcm = (np.arange(int(rng.integers(1, 12)) * spt + int(rng.integers(0, spt))) % 30000 + 1).astype("<i2")
            reply = VideoControl.from_audio(reply_pcm.tobytes(), 16000, True)
            await a.push(reply)
            stall.set()
            for _ in range(600):
                if any(f.end_of_speech for f in got[mark:]):
                    break
                await asyncio.sleep(0.05)
            checks.append((set(before), reply, reply_pcm, got[mark:]))
        a.cleanup()
        await asyncio.wait_for(consumer, 10)
        return checks

    for before, reply, pcm, after in session(main):
        assert [f.frame_index for f in after if f.source_message_id in before] == []
        voices = [f for f in after if f.source_message_id == reply.message_id and f.audio_chunk is not None]
        n = -(-pcm.size // spt)
        assert [f.frame_index for f in voices] == list(range(n)), [(f.source_message_id == reply.message_id, f.frame_index, f.bgr_image is None, f.audio_chunk is None, getattr(f, "_qv_resting", 0)) for f in after]
        padded = np.concatenate([pcm, np.zeros(n * spt - pcm.size, np.int16)])
        assert np.array_equal(np.concatenate([f.audio_chunk.data for f in voices]), padded)
        assert [f.source_message_id for f in after if f.end_of_speech] == [reply.message_id]


class RecordingRuntime:
    """Stands in for the runtime class: every runtime made, and every call made on one, is noted
    with whether the avatar had been torn down by then."""

    torn = False
    late = []

    def __init__(self, base):
        self.base = base

    def __call__(self, fx):
        if RecordingRuntime.torn:
            RecordingRuntime.late.append("Runtime()")
        rt = self.base(fx)
        for op in ("push_audio", "pull_frame", "ticks_available", "get_source_frame", "reset_stream",
                   "tick_compose_to_size", "end_utterance", "samples_for_chunk"):
            setattr(rt, op, self.noting(op, getattr(rt, op)))
        return rt

    @staticmethod
    def noting(op, fn):
        def call(*args):
            if RecordingRuntime.torn:
                RecordingRuntime.late.append(op)
            return fn(*args)
        return call


@pytest.mark.parametrize("name, output_size", SESSIONS, ids=IDS)
def test_teardown_at_any_moment_leaves_no_task_executor_or_runtime_use(session, monkeypatch, name, output_size):
    """cleanup() while the consumer iterates, or the consumer cancelled and shutdown(), each with
    or without a barge-in first, at seeded moments (speech just queued included): afterwards no
    task of the avatar runs, it holds no engine executor and nothing touches a runtime."""
    import quorvane._core as core

    monkeypatch.setattr(core, "Runtime", RecordingRuntime(core.Runtime))
    rng = np.random.default_rng(zlib.crc32(repr((name, output_size, "teardown")).encode()))
    model = str(DATA / f"{name}.qvfx")

    async def main(loop):
        outcomes = []
        for trial in range(12):
            RecordingRuntime.torn, RecordingRuntime.late = False, []
            a = await AsyncAvatar.create(model_path=model, output_size=output_size)
            consumer = asyncio.create_task(App(a, loop, sink=bool(rng.random() < 0.5)).consume())
            for _ in range(int(rng.integers(0, 30))):
                await a.push_audio(speech(0.02), sample_rate=16000, last_chunk=bool(rng.random() < 0.1))
                await asyncio.sleep(0.02 if rng.random() < 0.5 else 0)
            for _ in range(int(rng.integers(0, 3))):
                await asyncio.sleep(0)
            await a.push_audio(speech(0.02), sample_rate=16000, last_chunk=False)
            tasks = [t for t in (a._producer_task, a._emitter_task) if t is not None]
            if rng.random() < 0.5:
                a.interrupt()
            if rng.random() < 0.5:
                a.cleanup()
                RecordingRuntime.torn = True
                await asyncio.wait_for(consumer, 5)
            else:
                consumer.cancel()
                await asyncio.wait([consumer])
                await a.shutdown()
                RecordingRuntime.torn = True
            await asyncio.sleep(0.5)
            outcomes.append(([t.get_name() for t in tasks if not t.done()],
                             [t.get_name() for t in asyncio.all_tasks() if t.get_name().startswith("quorvane-")],
                             a._engine_executor, a._runtime, list(RecordingRuntime.late)))
        return outcomes

    for outcome in session(main):
        assert outcome == ([], [], None, None, [])
