"""AsyncAvatar's tick emission: one pass of `_emit_ready_ticks` (feeding, counting, one frame per
tick with its voice) and the v2 tail drain, on fake runtimes that answer at once."""

import asyncio
import types

import numpy as np
import pytest

from avatar_fakes import WAIT_S, FakeRuntime, fake_avatar, picture, shut_engine
from quorvane import _avatar, _models
from reference import live_audio as ref

SPT = 640


def f32(n, seed=0, scale=0.5):
    return (np.random.default_rng(seed).standard_normal(n) * scale).astype(np.float32)


def drain(av):
    out = []
    while not av._out_queue.empty():
        out.append(av._out_queue.get_nowait())
    return out


def run_pass(av, **kw):
    """One awaited pass; returns (its count, the frames it emitted)."""
    async def go():
        return await asyncio.wait_for(av._emit_ready_ticks(**kw), WAIT_S)

    try:
        n = asyncio.run(go())
    finally:
        shut_engine(av)
    return n, drain(av)


def args(rt, pcm, *, out_size=None, ticks_emitted=0, eos_padding=False, spt=SPT, **kw):
    return dict(rt=rt, pcm_buf=pcm, spt=spt, out_size=out_size, ticks_emitted=ticks_emitted, message_id="m7",
                eos_padding=eos_padding, **kw)


MODES = [None, (32, 24)]


class TestCount:
    @pytest.mark.parametrize("out_size", MODES)
    @pytest.mark.parametrize("whole_ticks, emitted, want", [(3, 0, 0), (4, 0, 1), (7, 0, 4), (7, 2, 2), (7, 4, 0),
                                                              (7, 6, 0)])
    def test_the_last_three_whole_ticks_wait(self, out_size, whole_ticks, emitted, want):
        av = fake_avatar(output_size=out_size)
        rt = FakeRuntime(SPT)
        rt.cursor = emitted
        pcm = f32(whole_ticks * SPT + 100)
        n, frames = run_pass(av, **args(rt, pcm, out_size=out_size, ticks_emitted=emitted))
        assert n == want and [f.frame_index for f in frames] == list(range(emitted, emitted + want))
        assert [f.source_message_id for f in frames] == ["m7"] * want

    @pytest.mark.parametrize("eos_padding, tail_total, hold, want", [
        (False, None, 5, 5),   # ready 7 (10 - 3), runtime has 5
        (False, None, 1, 7),   # runtime has 9, ready 7
        (True, 8, 1, 8),       # the tail total bounds the end-of-speech pass
        (True, 12, 3, 7),      # the runtime's count still does
        (True, None, 2, 8),    # no tail total: what the runtime has
    ])
    def test_streaming_takes_no_more_than_the_runtime_has(self, eos_padding, tail_total, hold, want):
        av = fake_avatar()
        rt = FakeRuntime(SPT, hold=hold)
        n, frames = run_pass(av, **args(rt, f32(10 * SPT), eos_padding=eos_padding, tail_total=tail_total))
        assert n == want == len(frames) and rt.names().count("pull_frame") == want

    def test_compose_end_of_speech_pass_needs_a_tail_total(self):
        av = fake_avatar(output_size=(8, 8))
        with pytest.raises(AssertionError):
            run_pass(av, **args(FakeRuntime(SPT), f32(5 * SPT), out_size=(8, 8), eos_padding=True))

    def test_a_zero_tick_length_divides_by_zero(self):
        with pytest.raises(ZeroDivisionError):
            run_pass(fake_avatar(), **args(FakeRuntime(SPT), f32(SPT), spt=0))


class TestFrames:
    @pytest.mark.parametrize("out_size", MODES)
    def test_each_frame_carries_its_tick_of_voice(self, out_size):
        pcm = f32(5 * SPT + 77, scale=0.9)
        pcm[[3, 700, 1500]] = [1.5, -1.5, np.float32(0.99999)]
        av = fake_avatar(output_size=out_size)
        rt = FakeRuntime(SPT, release=lambda r: -(-r.n // SPT))  # the partial tick is ready too
        n, frames = run_pass(av, **args(rt, pcm, out_size=out_size, eos_padding=True, tail_total=6))
        assert n == 6
        for i, f in enumerate(frames):
            ac = f.audio_chunk
            assert isinstance(f, _models.VideoFrame) and isinstance(ac, _models.AudioChunk)
            assert ac.sample_rate == 16000 and ac.data.dtype == np.int16 and ac.data.size == SPT
            assert np.array_equal(ac.data, ref.tick_voice(pcm, i, SPT)), i
            assert np.array_equal(f.bgr_image, picture(i)) and f.frame_index == i
        assert frames[0].audio_chunk.data[3] == 32767 and frames[1].audio_chunk.data[700 - SPT] == -32767
        assert not frames[-1].audio_chunk.data[77:].any()  # the partial tick, zero-padded

    def test_nan_samples_give_zero_and_warn_as_the_cast_does(self):
        pcm = f32(5 * SPT)
        pcm[10] = np.nan
        av = fake_avatar()
        with pytest.warns(RuntimeWarning, match="invalid value encountered in cast"):
            n, frames = run_pass(av, **args(FakeRuntime(SPT), pcm, eos_padding=True, tail_total=5))
        assert n == 5 and frames[0].audio_chunk.data[10] == 0

    def test_voice_scale_is_the_records_int16_max(self, monkeypatch):
        monkeypatch.setattr(_avatar, "INT16_MAX", 1000)
        pcm = np.full(4 * SPT, 0.25, np.float32)
        _, frames = run_pass(fake_avatar(), **args(FakeRuntime(SPT), pcm, eos_padding=True, tail_total=1))
        assert set(frames[0].audio_chunk.data.tolist()) == {250}

    @pytest.mark.parametrize("out_size", MODES)
    @pytest.mark.parametrize("mark_last, eos_padding", [(True, True), (False, True), (True, False)])
    def test_only_an_end_of_speech_pass_marks_its_last_frame(self, out_size, mark_last, eos_padding):
        av = fake_avatar(output_size=out_size)
        n, frames = run_pass(av, **args(FakeRuntime(SPT), f32(8 * SPT), out_size=out_size, eos_padding=eos_padding,
                                        tail_total=6, mark_last=mark_last))
        marks = [(f.end_of_speech, f.audio_chunk.last_chunk) for f in frames]
        want_last = mark_last and eos_padding
        assert n == (6 if eos_padding else 5)
        assert marks == [(False, False)] * (n - 1) + [(want_last, want_last)]

    def test_streaming_marks_the_last_of_the_pass_compose_only_the_utterances_last(self):
        av = fake_avatar()
        _, frames = run_pass(av, **args(FakeRuntime(SPT, hold=4), f32(8 * SPT), eos_padding=True, tail_total=8))
        assert [f.end_of_speech for f in frames] == [False, False, False, True]
        av = fake_avatar(output_size=(8, 8))
        n, frames = run_pass(av, **args(FakeRuntime(SPT, past_end_at=3), f32(8 * SPT), out_size=(8, 8),
                                        eos_padding=True, tail_total=8))
        assert n == 3 and not any(f.end_of_speech for f in frames)

    def test_frames_go_to_the_playout_queue_when_there_is_one(self):
        av = fake_avatar()

        async def go():
            av._playout = asyncio.Queue()
            n = await av._emit_ready_ticks(**args(FakeRuntime(SPT), f32(5 * SPT)))
            return n, av._playout.qsize()

        try:
            assert asyncio.run(go()) == (2, 2) and av._out_queue.empty()
        finally:
            shut_engine(av)


class TestCompose:
    @pytest.mark.parametrize("text", ["tick_compose_to_size: cursor past end (tick 2)", "compose failed: status=6"])
    def test_the_runtime_running_out_ends_the_pass(self, text):
        rt = FakeRuntime(SPT, fail=None)
        calls = []

        def compose(buf, idx, w, h):
            calls.append((buf.size, idx, w, h))
            if len(calls) == 3:
                raise ValueError(text)
            return len(calls) - 1, picture(len(calls) - 1)

        rt.tick_compose_to_size = compose
        av = fake_avatar(output_size=(33.9, "20"))
        n, frames = run_pass(av, **args(rt, f32(9 * SPT), out_size=(33.9, "20")))
        assert n == 2 and len(frames) == 2 and calls == [(9 * SPT, -1, 33, 20)] * 3

    def test_other_value_errors_are_raised(self):
        rt = FakeRuntime(SPT)
        rt.tick_compose_to_size = lambda *a: (_ for _ in ()).throw(ValueError("width must be positive"))
        with pytest.raises(ValueError, match="width must be positive"):
            run_pass(fake_avatar(output_size=(8, 8)), **args(rt, f32(9 * SPT), out_size=(8, 8)))

    def test_compose_feeds_nothing_and_runs_on_the_loop_thread(self):
        rt = FakeRuntime(SPT)
        av = fake_avatar(output_size=(8, 8))
        run_pass(av, **args(rt, f32(6 * SPT), out_size=(8, 8)))
        assert rt.names() == ["tick_compose_to_size"] * 3 and {c[2] for c in rt.calls} == {"MainThread"}
        assert av._stream_pushed == 0


class TestFeed:
    def test_only_new_samples_are_fed_on_the_engine_thread(self):
        rt = FakeRuntime(SPT)
        av = fake_avatar()
        pcm = f32(6 * SPT + 5)
        av._stream_pushed = 2 * SPT
        run_pass(av, **args(rt, pcm, ticks_emitted=0))
        assert [p.size for p in rt.pushes] == [4 * SPT + 5] and np.array_equal(rt.pushes[0], pcm[2 * SPT:])
        assert av._stream_pushed == pcm.size
        threads = {name: thread for name, _, thread in rt.calls}
        assert threads["push_audio"].startswith("quorvane-engine") and threads["pull_frame"] == threads["push_audio"]
        assert threads["ticks_available"] == "MainThread"

    def test_one_engine_thread_per_avatar(self):
        av = fake_avatar()
        rt = FakeRuntime(SPT)

        async def go():
            await av._emit_ready_ticks(**args(rt, f32(5 * SPT)))
            first = av._engine_executor
            await av._emit_ready_ticks(**args(rt, f32(9 * SPT), ticks_emitted=2))
            return first

        try:
            first = asyncio.run(go())
            assert av._engine_executor is first and first._max_workers == 1
        finally:
            shut_engine(av)
        assert len({c[2] for c in rt.calls if c[0] in ("push_audio", "pull_frame")}) == 1

    @pytest.mark.parametrize("engine, spt, n", [("corvine1", SPT, 8 * SPT), ("mirrant2", 800, 60000)])
    @pytest.mark.parametrize("event", ["_stop_event", "_interrupt_event"])
    def test_a_stopped_or_interrupted_pass_feeds_and_emits_nothing(self, event, engine, spt, n):
        """Speech that a barge-in or a stop abandoned never reaches the runtime, nor does a
        mirrant-2 buffer too big for one slice."""
        av = fake_avatar(spt=spt, engine=engine)
        getattr(av, event).set()
        rt = FakeRuntime(spt)
        got, frames = run_pass(av, **args(rt, f32(n), spt=spt))
        assert got == 0 and frames == [] and rt.pushes == []

    def test_stop_between_ticks_returns_the_count_so_far(self):
        av = fake_avatar()

        async def go():
            async def emit_out(item):
                await av._out_queue.put(item)
                if av._out_queue.qsize() == 2:
                    av._stop_event.set()
            av._emit_out = emit_out
            return await av._emit_ready_ticks(**args(FakeRuntime(SPT), f32(9 * SPT)))

        try:
            assert asyncio.run(go()) == 2
        finally:
            shut_engine(av)


class M2Clock:
    """monotonic() for the feed-time tests: each feed starts at 0.0 and ends at its duration."""

    def __init__(self, durations):
        self.values = []
        for d in durations:
            self.values += [0.0, d] if d is not None else [0.0]

    def monotonic(self):
        return self.values.pop(0)


class TestMirrant2:
    @pytest.mark.parametrize("hold", [0, 10_000])
    def test_large_unfed_audio_is_fed_in_slices(self, hold):
        rt = FakeRuntime(800, hold=hold)
        av = fake_avatar(spt=800, engine="mirrant2")
        pcm = f32(60000)
        n, frames = run_pass(av, **args(rt, pcm, spt=800))
        assert [p.size for p in rt.pushes] == [25600, 25600, 8800]
        assert np.array_equal(np.concatenate(rt.pushes), pcm) and av._stream_pushed == 60000
        assert n == len(frames) == (0 if hold else 75 - 3)
        assert [f.frame_index for f in frames] == list(range(n))
        if not hold:  # each slice's ticks go out before the next slice is fed
            order = [c[0] for c in rt.calls if c[0] in ("push_audio", "pull_frame")]
            first_pulls = order.index("push_audio", 1) - 1
            assert first_pulls == 32 - 3

    def test_no_slicing_off_mirrant2_or_in_compose_mode(self):
        rt = FakeRuntime(800)
        run_pass(fake_avatar(spt=800, engine="corvine1"), **args(rt, f32(60000), spt=800))
        assert [p.size for p in rt.pushes] == [60000]

    def test_feed_time_estimates(self, monkeypatch):
        clock = M2Clock([0.4, 0.2, 0.3, None, 0.5])
        monkeypatch.setattr(_avatar, "time", types.SimpleNamespace(monotonic=clock.monotonic))
        av = fake_avatar(spt=800, engine="mirrant2")
        rt = FakeRuntime(800, hold=1)
        pcm = f32(800 * 20)
        seen = []
        for end in (4, 8, 12):
            run_pass(av, **args(rt, pcm[: 800 * end], spt=800, ticks_emitted=rt.cursor))
            seen.append((av._m2_r0, getattr(av, "_m2_steady_s", None)))
        rt.hold = 10_000  # a feed after which no new tick is ready changes neither
        run_pass(av, **args(rt, pcm[: 800 * 16], spt=800, ticks_emitted=rt.cursor))
        seen.append((av._m2_r0, av._m2_steady_s))
        assert seen == [(0.4, None), (0.4, 0.2), (0.4, 0.7 * 0.2 + 0.3 * 0.3), (0.4, 0.7 * 0.2 + 0.3 * 0.3)]
        assert av._m2_steady_s == ref.smoothed_feed_time(0.2, 0.3)
        # The next utterance: the producer sets _m2_r0 back to None; the smoothed value carries over.
        av._m2_r0, av._stream_pushed, rt.hold = None, 0, 0
        rt.reset_stream()
        run_pass(av, **args(rt, pcm[: 800 * 4], spt=800))
        assert (av._m2_r0, av._m2_steady_s) == (0.5, 0.7 * 0.2 + 0.3 * 0.3)
        assert clock.values == []

    def test_no_estimate_off_mirrant2(self):
        av = fake_avatar(spt=800, engine="corvine1")
        run_pass(av, **args(FakeRuntime(800), f32(800 * 5), spt=800))
        assert not hasattr(av, "_m2_r0") and not hasattr(av, "_m2_steady_s")


class DrainClock:
    """A hand-driven monotonic clock, and an asyncio.sleep that advances it instead of waiting."""

    def __init__(self, monkeypatch):
        self.now, self.sleeps = 0.0, []
        real_sleep = asyncio.sleep

        async def sleep(s):
            self.sleeps.append(s)
            self.now += s
            await real_sleep(0)

        monkeypatch.setattr(_avatar, "time", types.SimpleNamespace(monotonic=lambda: self.now))
        monkeypatch.setattr(_avatar, "asyncio", types.SimpleNamespace(**{**vars(asyncio), "sleep": sleep}))


def drain_avatar(rt, **kw):
    av = fake_avatar(**kw)
    av.passes = []
    cls = type(av)
    orig = cls._emit_ready_ticks

    async def counting(**pkw):
        av.passes.append((pkw["ticks_emitted"], pkw["out_size"], pkw["eos_padding"], pkw["mark_last"], pkw["tail_total"]))
        return await orig(av, **pkw)

    av._emit_ready_ticks = counting
    return av


def run_drain(av, rt, pcm, ticks_emitted, tail_total):
    async def go():
        return await asyncio.wait_for(av._drain_v2_tail(rt=rt, pcm_buf=pcm, spt=SPT, ticks_emitted=ticks_emitted,
                                                        tail_total=tail_total, message_id="m9"), WAIT_S)

    try:
        return asyncio.run(go()), drain(av)
    finally:
        shut_engine(av)


class TestDrainV2:
    def test_first_pass_reaching_the_tail_still_ends_the_utterance_once(self, monkeypatch):
        clock = DrainClock(monkeypatch)
        rt = FakeRuntime(SPT)
        av = drain_avatar(rt, engine="corvine2-light", output_size=(8, 8))
        n, frames = run_drain(av, rt, f32(10 * SPT), 2, 8)
        assert n == 6 and [f.frame_index for f in frames] == list(range(2, 8))
        assert rt.names().count("end_utterance") == 1 and clock.sleeps == []
        assert av.passes == [(2, None, True, False, 8)]  # streaming, never marking a last frame
        assert not any(f.end_of_speech or f.audio_chunk.last_chunk for f in frames)

    def test_frames_after_the_end_come_out_without_sleeping(self, monkeypatch):
        clock = DrainClock(monkeypatch)
        rt = FakeRuntime(SPT, hold=100)  # nothing until end_utterance, then everything
        rt.release = lambda r: (-(-r.n // SPT)) if r.ended else 0
        av = drain_avatar(rt, engine="corvine2-light")
        n, frames = run_drain(av, rt, f32(12 * SPT), 0, 9)
        assert n == 9 and len(frames) == 9 and clock.sleeps == [] and len(av.passes) == 2

    def test_a_stalled_runtime_is_given_up_after_the_stall_time(self, monkeypatch):
        clock = DrainClock(monkeypatch)
        released = iter([0, 0, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2] * 10)
        rt = FakeRuntime(SPT)
        counts = []

        def release(r):
            v = next(released) if r.ended else 0
            counts.append(v)
            return v

        rt.release = release
        av = drain_avatar(rt, engine="corvine2-light", spt=160)  # 100 fps: sleeps of 0.01 s
        monkeypatch.setattr(_avatar, "_V2_DRAIN_STALL_S", 0.1)
        n, frames = run_drain(av, rt, f32(12 * SPT), 0, 10)
        assert n == 2 and len(frames) == 2
        # A pass that yields nothing sleeps 1/fps; the stall counts from the last pass with frames
        # (at 0.02 s), and the drain leaves at the first check past it.
        assert all(s == 1.0 / 100 for s in clock.sleeps)
        last_frames_at = 0.02
        assert last_frames_at + 0.1 < clock.now <= last_frames_at + 0.1 + 0.01 + 1e-9

    @pytest.mark.parametrize("event", ["_stop_event", "_interrupt_event"])
    def test_stop_or_interrupt_leaves_the_drain(self, monkeypatch, event):
        DrainClock(monkeypatch)
        rt = FakeRuntime(SPT)
        rt.release = lambda r: 0
        av = drain_avatar(rt, engine="corvine2-light")
        getattr(av, event).set()
        n, _ = run_drain(av, rt, f32(12 * SPT), 0, 10)
        assert n == 0 and len(av.passes) == 1 and "end_utterance" not in rt.names()

    def test_end_utterance_errors_are_ignored(self, monkeypatch):
        DrainClock(monkeypatch)
        rt = FakeRuntime(SPT, fail={"end_utterance": RuntimeError("no")})
        av = drain_avatar(rt, engine="corvine2-light")
        n, _ = run_drain(av, rt, f32(5 * SPT), 0, 5)
        assert n == 5
