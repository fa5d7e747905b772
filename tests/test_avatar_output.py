"""The output stream of the live avatar: direct delivery, voice-first delivery to an audio sink
with pictures held until their voice plays, the end of the stream, producer errors, cancellation
of the consumer, and the sink reader."""

import asyncio
import gc
import types

import numpy as np
import pytest

import quorvane._avatar as av
from output_fakes import SPT, SR, FakeAvatar, frame, replying, vrun  # noqa: F401  (fixture)
from quorvane._exceptions import RuntimeNotReadyError
from quorvane._models import VideoFrame
from reference import sync as sref

DUR = SPT / float(SR)
END = av._STREAM_END


class Sink:
    """An audio sink whose queue is what the test sets (or what ``fn`` says): one that does not
    play."""

    def __init__(self, queued=0.0):
        self.queued_duration = queued


class PlayingSink:
    """An audio sink that plays what it is given in real (virtual) time: queued seconds are the
    voice handed over and not yet played."""

    def __init__(self, loop, queued=0.0):
        self.loop = loop
        self.end = loop.time() + queued

    def push(self, seconds):
        self.end = max(self.end, self.loop.time()) + seconds

    @property
    def queued_duration(self):
        return max(0.0, self.end - self.loop.time())


async def take(it, n, *, timeout=30.0):
    out = []
    for _ in range(n):
        out.append(await asyncio.wait_for(it.__anext__(), timeout))
    return out


async def drain(it, loop, *, timeout=60.0):
    """Every item to the end, each with the loop time it came out."""
    got = []

    async def go():
        async for x in it:
            got.append((loop.time(), x))

    await asyncio.wait_for(go(), timeout)
    return got


def kind(x):
    if not isinstance(x, VideoFrame):
        return "other"
    if x.bgr_image is not None and x.audio_chunk is not None:
        return "whole"
    if x.bgr_image is not None:
        return "picture"
    if x.audio_chunk is not None:
        return "voice"
    return "bare"


class TestDirect:
    def test_items_come_out_as_queued_and_the_stream_ends_at_the_marker(self, vrun):
        async def main(loop):
            a = FakeAvatar(output_buffer_size=0)
            items = [frame(0), frame(1, pic=False), "not a frame", frame(2, eos=True)]
            for x in items + [END, frame(9)]:
                a._out_queue.put_nowait(x)
            got = [x for _, x in await drain(a.run(), loop)]
            assert all(g is x for g, x in zip(got, items)) and len(got) == len(items)
            # The marker stays at the head for any later reader; what stands behind it is never taken.
            assert a._out_queue.get_nowait() is END and a._out_queue.get_nowait().frame_index == 9
            assert a.ensure_calls == 1

        vrun(main)

    def test_run_alone_starts_nothing(self, vrun):
        async def main(loop):
            a = FakeAvatar()
            it = a.run()
            await asyncio.sleep(0.1)
            assert a.ensure_calls == 0 and a._producer_task is None
            await it.aclose()

        vrun(main)

    def test_start_failure_is_the_first_step_error(self, vrun):
        class NoModel(FakeAvatar):
            async def _ensure_running(self):
                raise RuntimeNotReadyError("AsyncAvatar: no fixture loaded. Call create(model_path=...).")

        async def main(loop):
            a = NoModel()
            it = a.run()
            with pytest.raises(RuntimeNotReadyError, match="no fixture loaded"):
                await it.__anext__()
            assert a.stop_calls == 0

        vrun(main)

    def test_producer_error_is_raised_and_the_marker_stays(self, vrun):
        async def main(loop):
            a = FakeAvatar(output_buffer_size=0)
            err = ValueError("runtime broke")
            for x in (frame(0), err, END):
                a._out_queue.put_nowait(x)
            it = a.run()
            assert (await take(it, 1))[0].frame_index == 0
            with pytest.raises(ValueError) as ei:
                await it.__anext__()
            assert ei.value is err
            assert a._out_queue.get_nowait() is END

        vrun(main)


class TestVoiceFirst:
    def test_voice_part_first_then_picture_at_its_release(self, vrun):
        async def main(loop):
            a = FakeAvatar(output_buffer_size=0)
            a.sync_to(PlayingSink(loop, 0.30))
            f = frame(3, eos=True)
            a._out_queue.put_nowait(f)
            it = a.run()
            v = await take(it, 1)
            t_voice = loop.time()
            (v,) = v
            assert v.bgr_image is None and v.audio_chunk is f.audio_chunk
            assert (v.frame_index, v.source_message_id, v.end_of_speech) == (3, "m", True)
            p = await asyncio.wait_for(it.__anext__(), 5)
            assert p.audio_chunk is None and p.end_of_speech is False and p.bgr_image is f.bgr_image
            assert p.frame_index == 3
            # The frame taken from the queue is left unchanged.
            assert f.bgr_image is not None and f.audio_chunk is not None and f.end_of_speech is True
            release = sref.picture_release(t_voice, 0.30, DUR, 0.025)
            assert release == pytest.approx(t_voice + 0.235)
            assert release <= loop.time() <= release + 1e-9
            await it.aclose()

        vrun(main)

    @pytest.mark.parametrize(
        "reader",
        [0.02, lambda: 0.02, lambda: "not a number", lambda: 1 / 0, lambda: float("nan"), lambda: float("inf")],
        ids=["below-voice", "fn-below-voice", "unconvertible", "raises", "nan", "inf"],
    )
    def test_nothing_usable_queued_releases_the_picture_at_once(self, vrun, reader):
        async def main(loop):
            a = FakeAvatar(output_buffer_size=0)
            a.sync_to(Sink(reader) if isinstance(reader, float) else reader)
            a._out_queue.put_nowait(frame(0))
            it = a.run()
            t0 = loop.time()
            got = await take(it, 2)
            assert [kind(x) for x in got] == ["voice", "picture"]
            assert loop.time() == pytest.approx(t0, abs=1e-9)
            await it.aclose()

        vrun(main)

    def test_bare_and_other_items_overtake_held_pictures(self, vrun):
        async def main(loop):
            a = FakeAvatar(output_buffer_size=0)
            a.sync_to(Sink(1.0))
            eos = frame(2, pic=False, audio=False, eos=True)
            silent_picture = frame(3, audio=False)
            for x in (frame(0), frame(1), eos, silent_picture, END):
                a._out_queue.put_nowait(x)
            got = await drain(a.run(), loop)
            assert [kind(x) for _, x in got] == ["voice", "voice", "bare", "picture", "picture", "picture"]
            assert got[2][1] is eos and got[3][1] is silent_picture
            t = got[0][0]
            # Both held pictures wait their own 0.935 s; the unsplit items went out at once.
            assert [round(tt - t, 6) for tt, _ in got] == [0, 0, 0, 0, 0.935, 0.935]
            assert [x.frame_index for _, x in got[4:]] == [0, 1]

        vrun(main)

    def test_each_picture_goes_out_when_its_voice_starts_playing(self, vrun):
        async def main(loop):
            a = FakeAvatar()
            sink = PlayingSink(loop)
            a.sync_to(sink)

            async def feed():
                for i in range(12):
                    await a._out_queue.put(frame(i))
                    await asyncio.sleep(0.01)  # the producer runs ahead of playback
                await a._out_queue.put(END)

            feeder = asyncio.create_task(feed())
            starts, shown = {}, {}
            async for x in a.run():
                if kind(x) == "voice":
                    starts[x.frame_index] = max(sink.end, loop.time())
                    sink.push(x.audio_chunk.data.size / SR)
                else:
                    shown[x.frame_index] = loop.time()
            await feeder
            assert list(shown) == list(range(12))  # every picture, in order
            # The first voice plays at once, so its picture goes out at once; every later picture
            # goes out 25 ms before its voice starts playing.
            assert shown[0] == pytest.approx(starts[0], abs=1e-9)
            for i in range(1, 12):
                assert shown[i] == pytest.approx(starts[i] - 0.025, abs=1e-9)

        vrun(main)

    def test_a_sink_that_stops_playing_holds_the_producer_and_the_stream_goes_on_in_sync(self, vrun):
        # The sink plays for 1 s, stops for 20 s, then plays again, under a producer faster than
        # real time. While it is stopped no picture goes out, the pictures held stay within the
        # bound and the producer waits; before, during and after, each picture goes out as its
        # voice starts to play (at most its lead early).
        STOP = 1.01  # (not at a tick's end: no voice starts just as the sink stops)

        async def main(loop):
            made = [0]

            async def producer(avatar):
                while not avatar._stop_event.is_set():
                    await avatar._out_queue.put(frame(made[0]))
                    made[0] += 1

            class StoppingSink:
                def __init__(self):
                    self.t0 = self.handed = None

                def played(self, t):  # seconds played by `t`: from the first voice, but not while stopped
                    return min(t, self.t0 + STOP) - self.t0 + max(0.0, t - (self.t0 + STOP + 20.0))

                def start_of(self, pos):  # when the voice `pos` seconds into what was handed starts
                    return self.t0 + pos if pos < STOP else self.t0 + 20.0 + pos

                @property
                def queued_duration(self):
                    return 0.0 if self.t0 is None else self.handed - self.played(loop.time())

            a = FakeAvatar(producer=producer)
            sink = StoppingSink()
            a.sync_to(sink)
            made_at = {}
            starts, shown, held = {}, {}, []
            async for x in a.run():
                if kind(x) == "voice":
                    if sink.t0 is None:
                        sink.t0, sink.handed = loop.time(), 0.0
                        for at in (2.0, 21.0):
                            loop.call_at(sink.t0 + at, lambda at=at: made_at.setdefault(at, made[0]))
                    starts[x.frame_index] = sink.start_of(sink.handed)
                    sink.handed += DUR
                else:
                    shown[x.frame_index] = loop.time()
                held.append(len(a._sync_pend))
                if loop.time() > sink.t0 + 25.0 or len(held) > 5000:  # (unbounded, no time would pass)
                    break
            assert max(held) <= av._SYNC_HOLD_FRAMES
            assert made_at[21.0] - made_at[2.0] <= 2  # the producer waited for the sink
            assert not [i for i, t in shown.items() if sink.t0 + STOP < t < sink.t0 + STOP + 20.0 - 0.025]
            assert sum(t > sink.t0 + 21.0 for t in shown.values()) >= 90
            for i, t in shown.items():
                assert -0.025 - 1e-9 <= t - starts[i] <= 1e-9, i

        vrun(main)

    def test_end_of_stream_releases_held_pictures_at_their_times(self, vrun):
        async def main(loop):
            a = FakeAvatar(output_buffer_size=0)
            reports = iter([0.5, 0.2])
            a.sync_to(lambda: next(reports))
            it = a.run()
            a._out_queue.put_nowait(frame(0))
            await take(it, 1)
            t0 = loop.time()
            a._out_queue.put_nowait(frame(1))
            a._out_queue.put_nowait(END)
            got = await drain(it, loop)
            assert [x.frame_index for _, x in got] == [1, 0, 1]
            assert [kind(x) for _, x in got] == ["voice", "picture", "picture"]
            assert got[1][0] == pytest.approx(t0 + 0.5 - DUR - 0.025)
            # The second picture would be due earlier, but never goes out before the first.
            assert got[2][0] == got[1][0]

        vrun(main)

    def test_sync_to_none_midstream_keeps_held_pictures_and_stops_splitting(self, vrun):
        async def main(loop):
            a = FakeAvatar(output_buffer_size=0)
            a.sync_to(Sink(0.5))
            it = a.run()
            a._out_queue.put_nowait(frame(0))
            await take(it, 1)
            t0 = loop.time()
            nxt = asyncio.ensure_future(it.__anext__())  # holds the picture, then waits
            await asyncio.sleep(0.1)
            a.sync_to(None)
            assert a._audio_queued is None
            f1 = frame(1)
            a._out_queue.put_nowait(f1)
            assert await asyncio.wait_for(nxt, 5) is f1
            assert loop.time() == pytest.approx(t0 + 0.1)
            (p,) = await take(it, 1)
            assert kind(p) == "picture" and p.frame_index == 0
            assert loop.time() == pytest.approx(t0 + 0.5 - DUR - 0.025)
            await it.aclose()

        vrun(main)

    def test_a_read_already_waiting_is_not_lost_when_the_held_pictures_run_out(self, vrun):
        # After sync_to(None) the last held picture goes out at its time while a read of the
        # output queue is still pending: the next item must come from that read.
        async def main(loop):
            a = FakeAvatar(output_buffer_size=0)
            a.sync_to(Sink(0.5))
            it = a.run()
            a._out_queue.put_nowait(frame(0))
            await take(it, 1)
            a.sync_to(None)
            (p,) = await take(it, 1)
            assert kind(p) == "picture" and p.frame_index == 0
            nxt = asyncio.ensure_future(it.__anext__())
            await asyncio.sleep(0.1)
            later = frame(1)
            a._out_queue.put_nowait(later)
            a._out_queue.put_nowait(END)
            assert await asyncio.wait_for(nxt, 5) is later
            assert await drain(it, loop) == []

        vrun(main)

    def test_interrupt_drops_held_pictures(self, vrun):
        async def main(loop):
            a = FakeAvatar(output_buffer_size=0)
            a.sync_to(Sink(0.5))
            it = a.run()
            a._out_queue.put_nowait(frame(0))
            await take(it, 1)
            nxt = asyncio.ensure_future(it.__anext__())
            await asyncio.sleep(0.1)
            a.interrupt()
            assert len(a._sync_pend) == 0
            await asyncio.sleep(1.0)
            assert not nxt.done()
            later = frame(5, pic=False)
            a._out_queue.put_nowait(later)
            assert await asyncio.wait_for(nxt, 5) is later
            await it.aclose()

        vrun(main)

    def test_exception_item_leaves_held_pictures_where_they_are(self, vrun):
        async def main(loop):
            a = FakeAvatar(output_buffer_size=0)
            a.sync_to(Sink(0.5))
            for x in (frame(0), KeyError("k"), END):
                a._out_queue.put_nowait(x)
            it = a.run()
            await take(it, 1)
            with pytest.raises(KeyError):
                await it.__anext__()
            assert len(a._sync_pend) == 1 and a._sync_pend[0][1].frame_index == 0
            assert a._out_queue.get_nowait() is END

        vrun(main)

    @pytest.mark.parametrize("bad", ["no-data", "zero-rate"])
    def test_broken_voice_ends_the_iteration(self, vrun, bad):
        async def main(loop):
            a = FakeAvatar(output_buffer_size=0)
            a.sync_to(Sink(0.1))
            f = frame(0)
            if bad == "no-data":
                f.audio_chunk = types.SimpleNamespace(sample_rate=SR)
            else:
                f.audio_chunk.sample_rate = 0
            a._out_queue.put_nowait(f)
            it = a.run()
            await take(it, 1)
            with pytest.raises(AttributeError if bad == "no-data" else ZeroDivisionError):
                await it.__anext__()

        vrun(main)


class TestLeaving:
    @pytest.mark.parametrize("held", [False, True], ids=["waiting-for-an-item", "picture-held"])
    def test_cancelled_consumer_awaits_stop_then_ends_cancelled(self, vrun, held):
        # Cancelled while it waits for an item, or while a voice-first picture waits for its voice
        # to play: either way it takes nothing more, and stop() runs.
        async def main(loop):
            a = FakeAvatar()
            seen = []
            if held:
                a.sync_to(Sink(1.0))
                a._out_queue.put_nowait(frame(0))

            async def consume():
                async for x in a.run():
                    seen.append(x)

            task = asyncio.create_task(consume())
            await asyncio.sleep(0.5)
            assert a._running
            a._out_queue.put_nowait(frame(1))
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await asyncio.wait_for(task, 10)
            assert a.stop_calls == 1 and not a._running and a._producer_task is None
            assert [kind(x) for x in seen] == (["voice"] if held else [])

        vrun(main)

    def test_error_of_stop_goes_on_in_place_of_the_cancellation(self, vrun):
        class BadStop(FakeAvatar):
            async def stop(self):
                raise OSError("stop broke")

        async def main(loop):
            a = BadStop()
            task = asyncio.ensure_future(a.run().__anext__())
            await asyncio.sleep(0.1)
            task.cancel()
            with pytest.raises(OSError, match="stop broke") as ei:
                await asyncio.wait_for(task, 10)
            assert isinstance(ei.value.__context__, asyncio.CancelledError)

        vrun(main)

    @pytest.mark.parametrize("how", ["cancel", "aclose", "drop"])
    def test_pending_read_is_cancelled_on_every_way_out(self, vrun, how):
        async def main(loop):
            a = FakeAvatar(output_buffer_size=0)
            a.sync_to(PlayingSink(loop, 0.5))
            it = a.run()
            a._out_queue.put_nowait(frame(0))
            # The picture comes out of the wait on its release time, while the next read is pending.
            await take(it, 2)
            if how == "cancel":
                task = asyncio.ensure_future(it.__anext__())
                await asyncio.sleep(0.1)
                task.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await task
            elif how == "aclose":
                await it.aclose()
            else:
                del it
                gc.collect()
            await asyncio.sleep(0.1)
            a._out_queue.put_nowait("left")
            await asyncio.sleep(0.1)
            # Nobody reads the queue any more; the stop() of a cancelled consumer left its marker.
            assert a._out_queue.qsize() == (2 if how == "cancel" else 1)

        vrun(main)

    @staticmethod
    async def hold_full(a):
        """Runs a consumer of a.run() until the sink's hold is full; returns it and what it got."""
        got = []

        async def consume():
            async for x in a.run():
                got.append(x)

        consumer = asyncio.ensure_future(consume())
        while len(a._sync_pend) < av._SYNC_HOLD_FRAMES:
            await asyncio.sleep(0.01)
        return consumer, got

    @staticmethod
    async def tear_down(a, how):
        if how == "cleanup":
            a.cleanup()
        else:
            await asyncio.wait_for(getattr(a, how)(), 10)

    @pytest.mark.parametrize("how", ["stop", "shutdown", "cleanup"])
    def test_a_teardown_drops_the_held_pictures_and_the_next_run_starts_with_its_own_speech(self, vrun, how):
        # The sink stopped playing, so a full hold of the reply's pictures waits for it. After the
        # teardown and a pause, a sink that plays and the next reply: the new run opens with that
        # reply, and no picture of the dropped one comes out to either consumer.
        async def main(loop):
            a = FakeAvatar(producer=replying(80), fresh=True)
            a.sync_to(Sink(30.0))
            consumer, old = await self.hold_full(a)
            n_old = len(old)
            await self.tear_down(a, how)
            assert len(a._sync_pend) == 0
            await asyncio.sleep(0.5)
            a.sync_to(PlayingSink(loop))
            new = []
            async for x in a.run():
                new.append(x)
                if x.end_of_speech:
                    break
            await asyncio.wait_for(consumer, 5)
            await a.stop()
            return old, n_old, new

        old, n_old, new = vrun(main)
        assert len(old) == n_old and {kind(x) for x in old} == {"voice"}
        assert {x.source_message_id for x in new} == {"reply-2"}
        assert [kind(x) for x in new[:2]] == ["voice", "picture"] and new[1].frame_index == 0

    @pytest.mark.parametrize("how", ["stop", "shutdown", "cleanup"])
    def test_after_a_teardown_a_consumer_holding_pictures_ends_at_once_whatever_the_sink_holds(self, vrun, how):
        async def main(loop):
            a = FakeAvatar(producer=replying(80), fresh=True)
            a.sync_to(Sink(30.0))
            consumer, got = await self.hold_full(a)
            await self.tear_down(a, how)
            n, t_down = len(got), loop.time()
            await asyncio.wait_for(consumer, 5)
            return got, n, loop.time() - t_down

        got, n, after = vrun(main)
        assert len(got) == n and {kind(x) for x in got} == {"voice"} and after == 0.0

    def test_every_run_after_the_end_ends_at_once(self, vrun):
        # The producer has ended, here on an error: nothing more will come until the next start,
        # so the first run raises the error and every later one ends at once, however many read.
        async def main(loop):
            a = FakeAvatar(output_buffer_size=2)
            err = RuntimeError("the model host stopped")
            for x in (frame(0), err):
                a._out_queue.put_nowait(x)
            it = a.run()
            assert (await take(it, 1))[0].frame_index == 0
            a._out_queue.put_nowait(END)
            with pytest.raises(RuntimeError) as ei:
                await it.__anext__()
            assert ei.value is err
            for _ in range(3):
                assert await drain(a.run(), loop, timeout=5) == []
            readers = [asyncio.ensure_future(drain(a.run(), loop, timeout=5)) for _ in range(3)]
            assert await asyncio.gather(*readers) == [[], [], []]

        vrun(main)


class TestQueuedReader:
    def test_plain_function_is_the_reader(self):
        def fn():
            return 0.25

        assert av._queued_reader(fn) is fn

    def test_callable_with_queued_duration_is_read_never_called(self):
        class Source:
            queued_duration = 0.75

            def __call__(self):
                raise AssertionError("called")

        r = av._queued_reader(Source())
        assert r() == 0.75

    def test_reads_anew_at_each_call(self):
        s = Sink(0.1)
        r = av._queued_reader(s)
        s.queued_duration = 0.4
        assert r() == 0.4

    def test_follows_session_runner_synchroniser_source(self):
        source = Sink(0.6)
        sync = types.SimpleNamespace(_audio_source=source, queued_duration=9.0)
        runner = types.SimpleNamespace(av_sync=sync)
        session = types.SimpleNamespace(_avatar_runner=runner)
        r = av._queued_reader(session)
        assert r() == 0.6
        source.queued_duration = 0.2
        assert r() == 0.2

    def test_missing_steps_are_searched_on_the_object_reached(self):
        source = Sink(0.3)
        session = types.SimpleNamespace(_avatar_runner=None, av_sync=None, _audio_source=source)
        assert av._queued_reader(session)() == 0.3
        runner = types.SimpleNamespace(av_sync=types.SimpleNamespace(queued_duration=0.9))
        assert av._queued_reader(runner)() == 0.9

    @pytest.mark.parametrize("sink, name", [(5, "int"), (types.SimpleNamespace(_avatar_runner=object()), "SimpleNamespace")])
    def test_no_queue_anywhere_is_a_type_error_naming_what_was_passed(self, sink, name):
        with pytest.raises(TypeError) as ei:
            av._queued_reader(sink)
        assert str(ei.value) == (
            "sync_to() needs the LiveKit plugin's AvatarSession (after start()), an AvatarRunner, its "
            "AVSynchronizer, an rtc.AudioSource or a function returning the seconds of audio queued; got " + name
        )

    def test_sync_to_a_bad_sink_keeps_the_previous_reader(self):
        a = FakeAvatar()
        a.sync_to(Sink(0.1))
        before = a._audio_queued
        with pytest.raises(TypeError):
            a.sync_to(object())
        assert a._audio_queued is before
        a.sync_to(None)
        assert a._audio_queued is None

    def test_sync_to_goes_through_the_module_function(self, monkeypatch):
        monkeypatch.setattr(av, "_queued_reader", lambda sink: ("reader", sink))
        a = FakeAvatar()
        a.sync_to("s")
        assert a._audio_queued == ("reader", "s")


@pytest.mark.parametrize("resting", [False, True])
def test_split_parts_are_records_with_the_other_fields_copied(vrun, resting):
    async def main(loop):
        a = FakeAvatar(output_buffer_size=0)
        a.sync_to(lambda: 0.0)
        f = frame(4)
        f.extra = "not a field"
        if resting:
            f._qv_resting = True
        a._out_queue.put_nowait(f)
        it = a.run()
        v, p = await take(it, 2)
        for part in (v, p):
            assert isinstance(part, VideoFrame) and part is not f
            assert (part.frame_index, part.source_message_id) == (4, "m")
            assert not hasattr(part, "extra")
            # The one mark a consumer tells the avatar at rest from speech by travels with both.
            assert getattr(part, "_qv_resting", False) is resting
        assert np.array_equal(p.bgr_image, f.bgr_image)
        await it.aclose()

    vrun(main)
