"""AsyncAvatar's frame producer: starting the tasks, utterances from input controls to frames,
idle pictures, the padded end of an utterance, interrupts, errors and cancellation; on fake
runtimes, and end to end on the stand-in runtime's fixtures."""

import asyncio
import logging
import types
from pathlib import Path

import numpy as np
import pytest

from avatar_fakes import (WAIT_S, Av, FakeRuntime, control, end_producer, fake_avatar, fake_core, is_eos,
                          items_until, next_item, shut_engine, speech_frames, speech_i16)
from output_fakes import vrun  # noqa: F401  (fixture)
from quorvane import _avatar, _core, _exceptions, _models
from quorvane._avatar import AsyncAvatar
from quorvane._loader import NativeFixtureLoaderMixin
from reference import live_audio as ref

DATA = Path(__file__).parent / "data"
END = _avatar._STREAM_END


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, 4 * WAIT_S))


async def started(av):
    await av._ensure_running()
    return av


class Tails(Av):
    """Records the arguments of every tail pass and drain the producer asks for."""

    async def _emit_ready_ticks(self, **kw):
        if kw["eos_padding"] and kw.get("mark_last", True):  # not the drain's own passes
            self.tails = getattr(self, "tails", []) + [("tail", kw["pcm_buf"].size, kw["tail_total"], kw["ticks_emitted"])]
        return await super()._emit_ready_ticks(**kw)

    async def _drain_v2_tail(self, **kw):
        self.tails = getattr(self, "tails", []) + [("drain", kw["pcm_buf"].size, kw["tail_total"], kw["ticks_emitted"])]
        return await super()._drain_v2_tail(**kw)


class TestStart:
    def test_refuses_without_a_model(self):
        async def go():
            av = AsyncAvatar()
            with pytest.raises(_exceptions.RuntimeNotReadyError) as e:
                await av._ensure_running()
            assert av._running is False and av._producer_task is None
            av._fixture = object()
            with pytest.raises(_exceptions.RuntimeNotReadyError):
                await av._ensure_running()
            return str(e.value)

        assert run(go()) == "AsyncAvatar: no fixture loaded. Call create(model_path=...)."

    @pytest.mark.parametrize("engine, out_size, m2", [("mirrant2", None, True), ("mirrant2", (8, 8), False),
                                                      ("corvine1", None, False)])
    def test_tasks_and_fresh_events(self, engine, out_size, m2, monkeypatch):
        names = []

        def create_task(coro, *, name=None):
            names.append(name)
            return asyncio.create_task(coro, name=name)

        monkeypatch.setattr(_avatar, "asyncio", types.SimpleNamespace(**{**vars(asyncio), "create_task": create_task}))

        async def go():
            av = fake_avatar(engine=engine, output_size=out_size)
            old_stop, old_int = av._stop_event, av._interrupt_event
            await av._ensure_running()
            assert av._producer_task.get_name() == "quorvane-corvine-async-producer"
            first = (av._producer_task, av._stop_event)
            await av._ensure_running()  # already running: nothing happens
            assert (av._producer_task, av._stop_event) == first
            assert av._stop_event is not old_stop and av._interrupt_event is not old_int and av._running is True
            state = (av._is_m2_stream(), av._playout is not None, av._emitter_task is not None, av._playout_reset)
            await av.stop()
            return state

        state = run(go())
        assert state == (m2, m2, m2, False)
        want = ["quorvane-m2-playout-clock", "quorvane-corvine-async-producer"] if m2 else ["quorvane-corvine-async-producer"]
        assert names == want  # the clock task is created before the producer

    def test_a_new_run_starts_on_an_empty_output_queue(self):
        # Ending the stream for a host's teardown leaves the consumer's end marker, and the
        # producer it cancelled adds its own; neither may end the run that starts next.
        async def go():
            av = await started(fake_avatar())
            await asyncio.sleep(0.01)
            producer = av._producer_task
            av._end_stream_before_close()
            await asyncio.wait([producer], timeout=WAIT_S)
            left = []
            while not av._out_queue.empty():
                left.append(av._out_queue.get_nowait())
            for item in left:
                av._out_queue.put_nowait(item)
            await av._ensure_running()
            await av.push(control(speech_i16(640 * 4), last=True))
            items = await items_until(av, is_eos)
            await av.stop()
            return left, items

        left, items = run(go())
        assert left == [END, END]
        assert [f.frame_index for f in speech_frames(items)] == [0, 1, 2, 3]

    def test_stream_kinds_read_the_header_module_at_each_call(self, monkeypatch):
        import quorvane.unified_header as uh

        av = fake_avatar(engine="x-engine")
        assert not av._is_m2_stream() and not av._is_v2_stream()
        monkeypatch.setattr(uh, "ENGINE_MIRRANT2", "x-engine")
        monkeypatch.setattr(uh, "is_v2_engine", lambda e: e == "x-engine")
        assert av._is_m2_stream() is True and av._is_v2_stream() is True
        del av._engine_id
        assert av._is_m2_stream() is False and av._is_v2_stream() is False


class TestIdle:
    @pytest.mark.parametrize("engine, out_size, source, idle", [
        ("corvine1", None, True, True), ("corvine1", (8, 8), True, False), ("mirrant2", None, True, False),
        ("corvine1", None, None, False), ("corvine1", None, "raise", False)])
    def test_idle_frames_only_in_streaming_mode_off_mirrant2(self, vrun, engine, out_size, source, idle):
        rt = FakeRuntime(160, source=None if source is None else FakeRuntime().source,
                         fail={"get_source_frame": RuntimeError("no picture")} if source == "raise" else None)

        async def main(loop):
            # 100 ticks a second, each idle picture costing the loop 3 ms: idle frames still come
            # at the rate the avatar publishes, each wait ending at the next frame's due time.
            get = rt.get_source_frame

            def slow(idx):
                loop.clock.advance(0.003)
                return get(idx)

            rt.get_source_frame = slow
            av = await started(fake_avatar(spt=160, engine=engine, output_size=out_size, rt=rt))
            await asyncio.sleep(2.0)
            return await end_producer(av)

        left = vrun(main)
        # The end-of-speech control that ends the producer may add one end frame: not an idle one.
        frames = [i for i in left if i is not END and not i.end_of_speech]
        if idle:
            assert len(frames) in (199, 200)
            for f in frames:
                assert np.array_equal(f.bgr_image, rt.source) and f.audio_chunk.data.tolist() == [0] * 160
                assert (f.audio_chunk.sample_rate, f.audio_chunk.last_chunk) == (16000, False)
                assert (f.frame_index, f.source_message_id, f.end_of_speech) == (0, None, False)
                assert not getattr(f, "_qv_resting", False)
            assert {c[1] for c in rt.calls if c[0] == "get_source_frame"} == {(-1,)}
        else:
            assert frames == []

    @pytest.mark.parametrize("samples, idle", [(159, True), (160 * 4, False)])
    def test_an_open_utterance_gets_idle_frames_only_while_nothing_is_unemitted(self, samples, idle):
        async def go():
            av = await started(fake_avatar(spt=160, rt=FakeRuntime(160, hold=100)))
            await av.push(control(speech_i16(samples), last=False))
            await asyncio.sleep(0.15)
            return await end_producer(av)

        left = run(go())
        assert any(i is not END and i.source_message_id is None and i.bgr_image is not None for i in left) == idle


class TestUtterance:
    def test_controls_join_the_open_utterance_and_the_last_closes_it(self):
        async def go():
            av = await started(fake_avatar())
            await av.push(control(speech_i16(640 * 5, 1), mid="first"))
            await av.push("ignored")
            await av.push(control(speech_i16(640 * 2 + 300, 2), mid="second", last=True))
            items = await items_until(av, is_eos)
            resets = av._runtime.names().count("reset_stream")
            await av.stop()
            return items, resets

        items, resets = run(go())
        frames = speech_frames(items)
        assert [f.frame_index for f in frames] == list(range(8)) and frames[-1].end_of_speech
        assert {f.source_message_id for f in frames} == {"first"}
        assert [f.end_of_speech for f in frames] == [False] * 7 + [True]
        assert resets == 2  # at the start and at the end of the utterance

    def test_a_single_last_chunk_opens_fills_and_closes(self):
        async def go():
            av = await started(fake_avatar())
            await av.push(control(speech_i16(640 * 3 + 1), last=True))
            items = await items_until(av, is_eos)
            await av.stop()
            return items

        frames = speech_frames(run(go()))
        assert len(frames) == 4 and frames[-1].end_of_speech and frames[-1].bgr_image is not None

    def test_a_terminal_control_after_everything_went_out_gives_one_end_frame(self):
        async def go():
            av = await started(fake_avatar(rt=FakeRuntime(640)))
            await av.push(control(speech_i16(640 * 7), mid="u"))
            await av.push(_models.VideoControl(end_of_speech=True))
            items = await items_until(av, is_eos)
            return items, av

        async def whole():
            items, av = await go()
            # 7 whole ticks: 4 go out with the audio, 3 in the tail pass whose last frame is marked.
            frames = speech_frames(items)
            assert [f.frame_index for f in frames] == list(range(7)) and frames[-1].end_of_speech
            await av.push(control(speech_i16(640 * 8), mid="v"))
            got = speech_frames(await items_until(av, lambda i: i.source_message_id == "v" and i.frame_index == 4))
            await av.push(_models.VideoControl(end_of_speech=True))
            tail = await items_until(av, is_eos)
            await av.push(_models.VideoControl(end_of_speech=True))  # idle: frame 0, no message
            idle_eos = await items_until(av, is_eos)
            await av.stop()
            return got, speech_frames(tail), speech_frames(idle_eos)

        got, tail, idle_eos = run(whole())
        assert [f.frame_index for f in got] == [0, 1, 2, 3, 4]
        assert [f.frame_index for f in tail] == [5, 6, 7] and tail[-1].end_of_speech

        [eos] = idle_eos
        assert (eos.bgr_image, eos.audio_chunk, eos.frame_index, eos.source_message_id) == (None, None, 0, None)

    def test_end_frame_when_everything_is_already_out(self):
        async def go():
            av = await started(fake_avatar(rt=FakeRuntime(640)))
            av._emit_out_log = []
            await av.push(control(speech_i16(640 * 3), mid="w", last=True))
            items = await items_until(av, is_eos)
            await av.stop()
            return items

        # All three ticks go out in the tail pass; nothing remains, so no separate end frame.
        frames = speech_frames(run(go()))
        assert [(f.frame_index, f.end_of_speech) for f in frames] == [(0, False), (1, False), (2, True)]

    @pytest.mark.parametrize("out_size, engine, tail", [
        (None, "corvine1", ("tail", 27200, 26, 22)),
        ((16, 8), "corvine1", ("tail", 23200, 26, 22)),
        (None, "corvine2-light", ("drain", 33600, 26, 22)),
        ((16, 8), "corvine2-light", ("drain", 33600, 26, 22)),
    ])
    def test_worked_example_of_the_padded_tail(self, out_size, engine, tail):
        """20 500 samples, 22 frames out when the terminal control comes, 800 samples a tick."""
        plan = ref.tail_plan(20500, 800, 22, {"tail": 8 if out_size is None else 3, "drain": 16}[tail[0]])
        assert plan == (26, 4, tail[1])

        async def go():
            av = await started(fake_avatar(cls=Tails, spt=800, engine=engine, output_size=out_size,
                                           rt=FakeRuntime(800)))
            await av.push(control(speech_i16(20500), mid="x"))
            await items_until(av, lambda i: i.frame_index == 21)
            await av.flush()
            items = await items_until(av, is_eos)
            await av.stop()
            return av.tails, items

        tails, items = run(go())
        assert tails == [tail]
        frames = speech_frames(items)
        assert [f.frame_index for f in frames if f.bgr_image is not None] == [22, 23, 24, 25]
        if tail[0] == "drain":  # a v2 tail always ends with its own end-of-speech frame
            assert (frames[-1].bgr_image, frames[-1].frame_index, frames[-1].end_of_speech) == (None, 26, True)
        else:
            assert frames[-1].frame_index == 25 and frames[-1].end_of_speech and len(frames) == 4

    def test_48khz_audio_is_resampled_before_it_joins_the_buffer(self):
        pcm48 = speech_i16(4801, seed=5)
        pcm16 = speech_i16(640 * 2, seed=6)

        async def go():
            rt = FakeRuntime(640)
            av = await started(fake_avatar(rt=rt))
            await av.push(control(pcm16, mid="r"))
            await av.push(control(pcm48, sr=48000, mid="r", last=True))
            await items_until(av, is_eos)
            await av.stop()
            return rt

        rt = run(go())
        fed = np.concatenate(rt.pushes)
        want = np.concatenate([ref.intake(pcm16, 16000), ref.intake(pcm48, 48000)])
        assert fed[: want.size].tobytes() == want.tobytes() and not fed[want.size:].any()


class TestRuntimes:
    def test_second_utterance_resets_in_streaming_mode_and_not_in_compose(self, monkeypatch):
        made = fake_core(monkeypatch)
        seen = {}
        for out_size in (None, (8, 8)):
            async def go():
                rt = FakeRuntime(640)
                av = await started(fake_avatar(rt=rt, output_size=out_size))
                frames = []
                for mid in ("a", "b"):
                    await av.push(control(speech_i16(640 * 5, seed=len(mid)), mid=mid, last=True))
                    frames += speech_frames(await items_until(av, is_eos))
                resets = rt.names().count("reset_stream")
                await av.stop()
                return resets, av._runtime is rt, [(f.source_message_id, f.frame_index) for f in frames]

            resets, same, frames = run(go())
            assert frames == [("a", i) for i in range(5)] + [("b", i) for i in range(5)]
            seen[out_size] = (resets, same)
        assert seen == {None: (4, True), (8, 8): (0, True)} and made == []

    @pytest.mark.parametrize("engine, fresh", [("corvine1", True), ("corvine2-light", False)])
    def test_interrupt_takes_a_fresh_runtime_v2_resets_in_place(self, monkeypatch, engine, fresh):
        made = fake_core(monkeypatch)

        async def go():
            rt = FakeRuntime(640, hold=100)
            av = await started(fake_avatar(rt=rt, engine=engine))
            await av.push(control(speech_i16(640 * 4), mid="cut"))
            await asyncio.sleep(0.05)
            av._stream_pushed = 99
            av._interrupt_event.set()
            await asyncio.sleep(0.1)  # seen at the top of the pass after the next input time-out
            await av.push(control(speech_i16(640 * 5), mid="next", last=True))
            items = await items_until(av, is_eos)
            cleared = not av._interrupt_event.is_set()
            await av.stop()
            return rt, av._runtime, items, cleared

        rt, final, items, cleared = run(go())
        assert cleared and {f.source_message_id for f in speech_frames(items)} == {"next"}
        assert [f.frame_index for f in speech_frames(items) if f.bgr_image is not None][0] == 0
        if fresh:
            assert len(made) == 1 and final is made[0] and final is not rt
        else:
            assert made == [] and final is rt and rt.names().count("reset_stream") >= 2

    @pytest.mark.parametrize("out_size", [None, (8, 8)], ids=["streaming", "compose"])
    @pytest.mark.parametrize("engine", ["corvine1", "corvine2-light"])
    def test_speech_pushed_right_after_a_barge_in_is_the_next_utterance(self, monkeypatch, out_size, engine):
        # The producer is waiting for input when the barge-in comes, so the reply is what that
        # wait returns, before the producer has seen the barge-in at the top of a pass.
        made = fake_core(monkeypatch)

        async def go():
            av = await started(fake_avatar(engine=engine, output_size=out_size))
            await av.push(control(speech_i16(640 * 8), mid="cut"))
            await items_until(av, lambda f: getattr(f, "frame_index", 0) == 4)
            await asyncio.sleep(0.01)
            av.interrupt()
            await av.push(control(speech_i16(640 * 5), mid="reply", last=True))
            items = await items_until(av, is_eos)
            await av.stop()
            return av, items

        av, items = run(go())
        frames = speech_frames(items)
        assert {f.source_message_id for f in frames} == {"reply"}
        assert [f.frame_index for f in frames if f.bgr_image is not None] == [0, 1, 2, 3, 4]
        assert frames[-1].end_of_speech and not av._interrupt_event.is_set()
        assert (av._runtime is made[-1]) if engine == "corvine1" else (made == [])

    def test_a_replaced_runtime_is_not_used_for_the_next_utterance(self, monkeypatch):
        made = fake_core(monkeypatch)

        async def go():
            av = await started(fake_avatar())
            await asyncio.sleep(0.01)
            av._runtime = FakeRuntime(640)  # someone swapped it between utterances
            await av.push(control(speech_i16(640 * 4), last=True))
            await items_until(av, is_eos)
            await av.stop()
            return av._runtime

        assert run(go()) is made[0]

    def test_a_v2_reset_that_fails_is_logged_and_the_runtime_kept(self, caplog):
        rt = FakeRuntime(640, fail={"reset_stream": RuntimeError("busy")})
        av = fake_avatar(rt=rt, engine="corvine2-golden")
        with caplog.at_level(logging.WARNING, logger="quorvane"):
            assert av._fresh_runtime(av._fixture) is rt
        [rec] = caplog.records
        assert rec.msg == "quorvane: could not reset the engine between utterances (%s: %s)"
        assert rec.args[0] == "RuntimeError" and str(rec.args[1]) == "busy"


class TestExit:
    def test_a_runtime_error_becomes_an_item_then_the_end(self):
        async def go():
            rt = FakeRuntime(640, fail={"push_audio": RuntimeError("engine broke")})
            av = await started(fake_avatar(rt=rt))
            await av.push(control(speech_i16(640 * 5)))
            err = await next_item(av)
            end = await next_item(av)
            await asyncio.wait_for(av._producer_task, WAIT_S)
            return err, end, av._producer_task

        err, end, task = run(go())
        assert isinstance(err, RuntimeError) and str(err) == "engine broke" and end is END
        assert task.done() and task.exception() is None

    def test_a_failing_error_delivery_is_raised_after_the_end_is_tried(self):
        class Failing(Av):
            async def _emit_out(self, item):
                self.sent = getattr(self, "sent", []) + [item]
                if isinstance(item, RuntimeError):
                    raise OSError("queue gone")
                await super()._emit_out(item)

        async def go():
            rt = FakeRuntime(640, fail={"push_audio": RuntimeError("engine broke")})
            av = await started(fake_avatar(rt=rt, cls=Failing))
            await av.push(control(speech_i16(640 * 5)))
            with pytest.raises(OSError, match="queue gone") as e:
                await asyncio.wait_for(av._producer_task, WAIT_S)
            return av, e.value

        av, exc = run(go())
        assert [type(i).__name__ for i in av.sent[:1]] == ["RuntimeError"] and av.sent[-1] is END
        assert isinstance(exc.__context__, RuntimeError)

    def test_errors_of_the_final_end_marker_are_ignored(self):
        class NoEnd(Av):
            async def _emit_out(self, item):
                if item is END:
                    raise RuntimeError("closed")
                await super()._emit_out(item)

        async def go():
            av = await started(fake_avatar(cls=NoEnd))
            await end_producer(av)
            return av._producer_task

        task = run(go())
        assert task.exception() is None

    @pytest.mark.parametrize("frames", [True, False], ids=["frames", "errors-only"])
    @pytest.mark.parametrize("playout", [False, True], ids=["output-queue", "playout-queue"])
    def test_cancelling_the_producer_ends_at_once_with_the_end_in_place_of_the_oldest_frame(self, playout, frames):
        """Nobody reads the full queue: the cancellation is not held back by the end marker, which
        takes the oldest frame's place. An error item keeps its own; a queue of errors alone is
        left as it is (the first error ends the stream where it is read)."""
        async def go():
            av = await started(fake_avatar(spt=160, output_buffer_size=3))
            if playout:
                av._playout = asyncio.Queue(maxsize=3)  # bounded here, so it can be full
            q = av._playout if playout else av._out_queue
            while not q.empty():
                q.get_nowait()
            q.put_nowait(RuntimeError("kept"))
            while not q.full():
                n = len(q._queue)
                q.put_nowait(_models.VideoFrame(bgr_image=None, audio_chunk=None, frame_index=n) if frames
                             else RuntimeError(f"kept {n}"))
            await asyncio.sleep(0.05)
            task = av._producer_task
            task.cancel()
            await asyncio.sleep(0)
            await asyncio.sleep(0)
            return task, [q.get_nowait() for _ in range(q.qsize())]

        task, items = run(go())
        assert task.cancelled()
        if frames:
            assert isinstance(items[0], RuntimeError) and [f.frame_index for f in items[1:-1]] == [2] and items[-1] is END
        else:
            assert [str(e) for e in items] == ["kept", "kept 1", "kept 2"]

    def test_a_stop_seen_at_the_top_of_a_pass_ends_with_the_marker_only(self):
        async def go():
            av = await started(fake_avatar(output_size=(8, 8)))
            av._stop_event.set()
            return await end_producer(av)

        assert run(go()) == [END]


# ---- end to end on the stand-in runtime ------------------------------------------------------

NativeFixtureLoaderMixin._register_default_audio_encoder()


def stand_in_pictures(name, pcm, spt, out_size=None):
    """The pictures a fresh stand-in runtime gives an utterance, tick by tick, pulled at the
    model's size or composed at `out_size`."""
    rt = _core.Runtime(_core.Fixture(str(DATA / name)))
    buf = ref.i16_to_f32(pcm)
    n = -(-pcm.size // spt)
    if out_size is not None:
        return [rt.tick_compose_to_size(buf, -1, *out_size)[1] for _ in range(n)]
    rt.push_audio(buf)
    rt.end_utterance()
    return [rt.pull_frame()[1] for _ in range(n)]


@pytest.mark.parametrize("name, spt, out_size", [
    ("corvine1.qvfx", 640, None),
    ("corvine1.qvfx", 640, (32, 24)),
    ("mirrant2.qvfx", 800, None),
    ("corvine2-light.qvfx", 640, None),
    ("corvine2-light.qvfx", 640, (32, 24)),
])
def test_two_utterances_end_to_end(name, spt, out_size):
    utterances = [np.concatenate([np.zeros(spt * 2, np.int16), speech_i16(spt * 30 + 123, seed=1)]),
                  speech_i16(spt * 2 + 7, seed=2)]
    if name.startswith("mirrant2"):
        utterances[1] = speech_i16(spt * 40 + 9, seed=2)  # past the first chunk

    async def go():
        av = await Av.create(model_path=str(DATA / name), output_size=out_size)
        await av._ensure_running()
        got = []
        for k, pcm in enumerate(utterances):
            for part in np.array_split(pcm, 3):
                await av.push_audio(part.astype("<i2").tobytes(), 16000, last_chunk=False)
            await av.flush()
            got.append(speech_frames(await items_until(av, is_eos)))
        await av.stop()
        shut_engine(av)
        return got, av._is_v2_stream()

    got, v2 = run(go())
    n_composed = []
    for frames, pcm in zip(got, utterances):
        ticks = [f for f in frames if f.bgr_image is not None]
        assert len(ticks) == -(-pcm.size // spt)
        ids = {f.source_message_id for f in frames}
        assert len(ids) == 1 and None not in ids
        buf = ref.i16_to_f32(pcm)
        pulled = stand_in_pictures(name, pcm, spt)
        composed = pulled if out_size is None else stand_in_pictures(name, pcm, spt, out_size)
        for i, f in enumerate(ticks):
            # A v2 tail is drained at the model's own size, whatever the output size.
            pics = composed if f.bgr_image.shape[:2] == (out_size or (64, 48))[::-1] else pulled
            assert f.frame_index == i and np.array_equal(f.bgr_image, pics[i]), i
            assert np.array_equal(f.audio_chunk.data, ref.tick_voice(buf, i, spt)), i
        if out_size is not None:
            sizes = [f.bgr_image.shape[:2] == (24, 32) for f in ticks]
            assert sizes == sorted(sizes, reverse=True) and (all(sizes) or v2)
            n_composed.append(sum(sizes))
    if out_size is not None and v2:  # composed while the speech came, drained after its end
        assert n_composed[0] > 0 and n_composed[0] < -(-utterances[0].size // spt) and n_composed[1] == 0
        if v2:
            assert frames[-1].bgr_image is None and frames[-1].end_of_speech and frames[-1].frame_index == len(ticks)
        else:
            assert frames[-1] is ticks[-1] and ticks[-1].end_of_speech and ticks[-1].audio_chunk.last_chunk
