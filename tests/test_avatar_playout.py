"""The mirrant-2 playout clock on virtual time: resting frames while nothing plays, the start rule,
one picture per tick, underruns, the end of speech, the catch-up cap after a stalled consumer,
barge-in and stop."""

import asyncio

import numpy as np
import pytest

import quorvane._avatar as av
from output_fakes import FakeAvatar, FakeFixture, FakeRuntime, frame, picture, vrun  # noqa: F401  (fixture)
from quorvane._models import VideoFrame

PERIOD = 0.05  # 20 fps
END = av._STREAM_END


async def quiet(avatar):
    """A producer that produces nothing and never ends by itself."""
    await asyncio.Event().wait()


class Recorder:
    """Reads the output queue as fast as it fills, noting the loop time of each item."""

    def __init__(self, a, loop, *, start=True):
        self.a, self.loop, self.got = a, loop, []
        self.task = asyncio.create_task(self._run()) if start else None

    def start(self):
        self.task = asyncio.create_task(self._run())

    async def _run(self):
        while True:
            x = await self.a._out_queue.get()
            self.got.append((self.loop.time(), x))

    async def until(self, pred, timeout=30.0):
        async def poll():
            while not pred():
                await asyncio.sleep(0.001)

        await asyncio.wait_for(poll(), timeout)

    async def count(self, n):
        await self.until(lambda: len(self.got) >= n)
        return self.got[:n]

    def items(self):
        return [x for _, x in self.got]


def resting(x):
    return isinstance(x, VideoFrame) and getattr(x, "_qv_resting", False)


def speech(x):
    return bool(isinstance(x, VideoFrame) and x.bgr_image is not None and not resting(x)
                and x.audio_chunk is not None and x.audio_chunk.data.any())


async def started(a, *, fixture=None, runtime=None, fps=20):
    a._fixture = fixture
    a._runtime = FakeRuntime() if runtime is None else runtime
    a.fps_value = fps
    await a._ensure_running()
    return a


def m2(**kw):
    kw.setdefault("output_buffer_size", 0)
    return FakeAvatar(m2=True, producer=quiet, **kw)


def pics(n, start=0):
    return [frame(i) for i in range(start, start + n)]


def put_all(a, items):
    for x in items:
        a._playout.put_nowait(x)


class TestResting:
    @pytest.mark.parametrize("fixture, spt", [(None, 800), (FakeFixture(spt=640), 640)], ids=["no-fixture", "fixture"])
    def test_one_resting_frame_per_tick(self, vrun, fixture, spt):
        async def main(loop):
            a = await started(m2(), fixture=fixture)
            rec = Recorder(a, loop)
            got = await rec.count(10)
            times = [t for t, _ in got]
            assert times[0] == 1000.0
            assert np.allclose(np.diff(times), PERIOD)
            rest = a._runtime.rest
            for _, x in got:
                assert resting(x) and x.bgr_image is rest
                ac = x.audio_chunk
                assert ac.data.dtype == np.int16 and ac.data.size == spt and not ac.data.any()
                assert (ac.sample_rate, ac.last_chunk) == (16000, False)
                assert (x.frame_index, x.source_message_id, x.end_of_speech) == (0, None, False)
            # One silence array serves every filler frame.
            assert len({id(x.audio_chunk.data) for _, x in got}) == 1
            assert a._runtime.calls[:2] == [("get_source_frame", -1)] * 2

        vrun(main)

    @pytest.mark.parametrize("rest", ["none", "raises", "no-runtime"])
    def test_nothing_is_sent_without_a_picture(self, vrun, rest):
        async def main(loop):
            rt = FakeRuntime(rest=(lambda: None) if rest == "none" else RuntimeError("no picture"))
            a = await started(m2(), runtime=rt)
            if rest == "no-runtime":
                a._runtime = None
            rec = Recorder(a, loop)
            await asyncio.sleep(1.0)
            assert rec.got == []

        vrun(main)

    def test_period_follows_the_engine_rate(self, vrun):
        async def main(loop):
            a = await started(m2(), fps=25)
            rec = Recorder(a, loop)
            got = await rec.count(5)
            assert np.allclose(np.diff([t for t, _ in got]), 0.04)

        vrun(main)

    def test_missing_playout_queue_is_an_assertion(self, vrun):
        async def main(loop):
            a = m2()
            with pytest.raises(AssertionError):
                await a._emit_clock()

        vrun(main)


class TestPlay:
    def test_preroll_starts_play_one_picture_per_tick_then_underrun_then_end_of_speech(self, vrun):
        async def main(loop):
            a = await started(m2())
            rec = Recorder(a, loop)
            await rec.count(2)
            put_all(a, pics(35))
            await asyncio.sleep(1.0)
            assert not any(speech(x) for x in rec.items())  # 35 without arrival data: waiting
            n0 = len(rec.got)
            a._playout.put_nowait(frame(35))
            await rec.until(lambda: sum(speech(x) for x in rec.items()) == 36)
            played = rec.got[n0:]
            assert [x.frame_index for _, x in played if speech(x)] == list(range(36))
            assert all(not resting(x) for _, x in played)
            assert np.allclose(np.diff([t for t, _ in played]), PERIOD)
            # Ran dry: the last picture again, with silence and no resting mark.
            await asyncio.sleep(0.2)
            dry = rec.items()[n0 + 36:]
            assert len(dry) >= 3
            last = played[-1][1].bgr_image
            for x in dry:
                assert x.bgr_image is last and not x.audio_chunk.data.any() and not resting(x)
            # The end of speech goes out in the tick it is reached, and the rest follows at once.
            eos = frame(36, pic=False, audio=False, eos=True)
            a._playout.put_nowait(eos)
            await rec.until(lambda: any(x is eos for x in rec.items()))
            k = next(i for i, (_, x) in enumerate(rec.got) if x is eos)
            await rec.count(k + 3)
            t_eos, t_rest, t_after = (t for t, _ in rec.got[k : k + 3])
            assert resting(rec.got[k + 1][1]) and t_rest == t_eos
            assert t_after == pytest.approx(t_eos + PERIOD)

        vrun(main)

    def test_short_utterance_starts_at_its_end_of_speech(self, vrun):
        async def main(loop):
            a = await started(m2())
            rec = Recorder(a, loop)
            (t_rest, _), = await rec.count(1)
            put_all(a, pics(5) + [frame(5, pic=False, audio=False, eos=True)])
            await rec.until(lambda: sum(speech(x) for x in rec.items()) == 5)
            first = next(t for t, x in rec.got if speech(x))
            assert first == pytest.approx(t_rest + PERIOD)

        vrun(main)

    def test_resting_frames_waiting_in_the_output_queue_are_dropped_at_the_start(self, vrun):
        async def main(loop):
            a = await started(m2())
            await asyncio.sleep(0.31)
            assert a._out_queue.qsize() == 7 and all(resting(x) for x in a._out_queue._queue)
            marker = frame(99, pic=False)
            a._out_queue.put_nowait(marker)
            put_all(a, pics(36))
            await asyncio.sleep(PERIOD)
            q = list(a._out_queue._queue)
            assert q[0] is marker and speech(q[1]) and q[1].frame_index == 0 and len(q) == 2

        vrun(main)

    def test_error_and_end_while_waiting_play_out_then_the_task_ends(self, vrun):
        async def main(loop):
            a = await started(m2())
            rec = Recorder(a, loop)
            await rec.count(1)
            err = ValueError("engine broke")
            put_all(a, pics(3) + [err, END])
            await asyncio.wait_for(a._emitter_task, 5)
            tail = rec.got[-5:]
            assert [x.frame_index for _, x in tail[:3]] == [0, 1, 2]
            assert tail[3][1] is err and tail[4][1] is END
            assert tail[3][0] == tail[4][0] == pytest.approx(tail[2][0] + PERIOD)

        vrun(main)


class TestStartRule:
    """The worked numbers at 20 fps: speech began arriving 1.0 s before the decision, 2.0 s of it
    has arrived, 21 pictures are buffered, the runtime needs 51200 samples before chunk 1."""

    @pytest.mark.parametrize(
        "steady, r0, starts",
        [(None, 0.4, False), (0.2, 0.4, True), (None, None, True)],
        ids=["first-feed-0.4:wait", "steady-0.2:start", "no-estimate:start"],
    )
    def test_worked_example(self, vrun, steady, r0, starts):
        async def main(loop):
            a = await started(m2(), runtime=FakeRuntime(chunk1_samples=51200))
            if steady is not None:
                a._m2_steady_s = steady
            a._m2_r0 = r0
            rec = Recorder(a, loop)
            (t_rest, _), = await rec.count(1)
            decide = t_rest + PERIOD
            a._arr_t0, a._arr_s, a._arr_done = decide - 1.0, 2.0, False
            put_all(a, pics(21))
            await asyncio.sleep(PERIOD * 4 + 0.01)
            at_decision = [x for t, x in rec.got if t == pytest.approx(decide)]
            assert len(at_decision) == 1 and speech(at_decision[0]) is starts
            assert sum(speech(x) for x in rec.items()) == (4 if starts else 0)
            assert ("samples_for_chunk", 1) in a._runtime.calls

        vrun(main)

    def test_slow_arrival_waits_until_the_preroll(self, vrun):
        async def main(loop):
            a = await started(m2(), runtime=FakeRuntime(chunk1_samples=51200))
            a._m2_r0 = 0.4
            rec = Recorder(a, loop)
            await rec.count(1)
            a._arr_t0, a._arr_s, a._arr_done = loop.time() - 1.0, 2.0, False
            for i in range(35):
                a._playout.put_nowait(frame(i))
                await asyncio.sleep(PERIOD)
            assert not any(speech(x) for x in rec.items())
            a._playout.put_nowait(frame(35))
            await asyncio.sleep(PERIOD * 1.5)
            assert any(speech(x) for x in rec.items())

        vrun(main)

    @pytest.mark.parametrize("arrival", ["none", "nothing-arrived"])
    def test_without_arrival_data_21_pictures_wait(self, vrun, arrival):
        async def main(loop):
            a = await started(m2(), runtime=FakeRuntime(chunk1_samples=160))
            a._m2_steady_s = 0.0
            if arrival == "nothing-arrived":
                a._arr_t0, a._arr_s = loop.time() - 1.0, 0.0
            rec = Recorder(a, loop)
            put_all(a, pics(30))
            await asyncio.sleep(1.0)
            assert not any(speech(x) for x in rec.items())
            assert ("samples_for_chunk", 1) not in a._runtime.calls

        vrun(main)

    def test_first_check_of_each_waiting_period_is_kept_until_play_starts(self, vrun):
        # The second chunk's speech is in long before; what holds play back is the first check's
        # time plus the feed time (1.225 s) and margin, against 25 x 0.05 s of pictures: play
        # starts 0.125 s after the first check, so on the third tick after it, in both utterances.
        # Measured afresh at every check it would never start; kept from the first utterance, the
        # second would start at its first check.
        async def main(loop):
            a = await started(m2(), runtime=FakeRuntime(chunk1_samples=160))
            a._m2_steady_s = 1.225
            rec = Recorder(a, loop)
            for _ in range(2):
                n = len(rec.got)
                await rec.until(lambda: len(rec.got) > n and resting(rec.got[-1][1]))
                first = rec.got[-1][0] + PERIOD
                a._arr_t0, a._arr_s, a._arr_done = first - 1.0, 2.0, False
                n = len(rec.got)
                put_all(a, pics(25))
                await rec.until(lambda: any(speech(x) for _, x in rec.got[n:]))
                t_play = next(t for t, x in rec.got[n:] if speech(x))
                assert t_play == pytest.approx(first + 3 * PERIOD)
                a._playout.put_nowait(frame(25, pic=False, audio=False, eos=True))
                await rec.until(lambda: sum(speech(x) for _, x in rec.got[n:]) == 25 and resting(rec.got[-1][1]))

        vrun(main)


class TestCatchUp:
    @pytest.mark.parametrize("cap, burst", [(0.5, (10, 11)), (0.2, (4, 5))])
    def test_stalled_consumer_gets_at_most_the_cap_back_to_back(self, vrun, monkeypatch, cap, burst):
        monkeypatch.setattr(av, "_M2_CATCHUP_S", cap)

        async def main(loop):
            a = await started(m2(output_buffer_size=6))
            rec = Recorder(a, loop, start=False)
            await asyncio.sleep(2.0)
            t_resume = loop.time()
            rec.start()
            await asyncio.sleep(1.0)
            at_once = [x for t, x in rec.got if t == t_resume]
            # Six were queued and one put was blocked; then the late ticks, capped.
            assert burst[0] <= len(at_once) - 7 - 1 <= burst[1]
            later = [t for t, _ in rec.got if t > t_resume]
            assert np.allclose(np.diff(later), PERIOD)
            assert later[0] - t_resume <= PERIOD + 1e-9

        vrun(main)


class TestBargeIn:
    def test_interrupt_during_play_drops_the_utterance_and_rest_resumes(self, vrun):
        async def main(loop):
            a = await started(m2())
            rec = Recorder(a, loop)
            put_all(a, pics(40))
            await rec.until(lambda: sum(speech(x) for x in rec.items()) >= 5)
            a._m2_r0 = 0.3
            a.interrupt()
            assert a._playout.empty() and a._playout_reset is True and a.dropped == 1 and a._m2_r0 is None
            n = len(rec.got)
            await asyncio.sleep(0.5)
            after = rec.items()[n:]
            assert len(after) >= 9 and all(resting(x) for x in after)
            assert a._playout_reset is False

        vrun(main)

    @pytest.mark.parametrize("turns", [0, 1, 2, 3])
    def test_no_frame_of_the_utterance_reaches_the_consumer_after_the_interrupt(self, vrun, turns):
        # A consumer in run() with a sink; the barge-in comes a loop turn or a few after a speech
        # frame has landed in the output queue. What the consumer has not taken by then goes with
        # the utterance, however far its read of it has got.
        class Sink:
            queued_duration = 0.3  # each picture is held a while for its voice

        async def main(loop):
            got, marks, armed = [], [], []
            a = m2()

            def fire(n):
                if n:
                    loop.call_soon(fire, n - 1)
                else:
                    marks.append(len(got))
                    a.interrupt()

            class Out(asyncio.Queue):
                def _put(self, item):
                    super()._put(item)
                    if armed and speech(item) and item.frame_index % 100 >= 5:
                        armed.clear()
                        loop.call_soon(fire, turns)

            a._out_queue = Out(maxsize=4)
            await started(a)
            a.sync_to(Sink())

            async def consume():
                async for x in a.run():
                    got.append(x)

            consumer = asyncio.create_task(consume())
            for k in range(3):
                armed.append(True)
                put_all(a, pics(40, start=100 * k))
                await asyncio.sleep(3.0)
            consumer.cancel()
            return got, marks

        got, marks = vrun(main)
        assert len(marks) == 3
        for k, mark in enumerate(marks):
            late = [x.frame_index for x in got[mark:] if not resting(x) and x.frame_index // 100 == k]
            assert late == [], (k, late)

    def test_end_of_stream_already_buffered_survives_the_interrupt(self, vrun):
        async def main(loop):
            a = await started(m2())
            rec = Recorder(a, loop)
            put_all(a, pics(40))
            await rec.until(lambda: sum(speech(x) for x in rec.items()) >= 3)
            a._playout.put_nowait(END)
            await asyncio.sleep(0.001)  # the clock wakes and buffers it
            a.interrupt()
            await asyncio.wait_for(a._emitter_task, 5)
            n_speech = sum(speech(x) for x in rec.items())
            assert rec.items()[-1] is END and n_speech <= 4

        vrun(main)


class TestStop:
    def test_stop_sends_only_the_end_items(self, vrun):
        async def main(loop):
            a = await started(m2())
            rec = Recorder(a, loop)
            await rec.count(1)
            a._stop_event.set()
            err = RuntimeError("late")
            put_all(a, pics(5) + [err, END])
            await asyncio.wait_for(a._emitter_task, 5)
            await asyncio.sleep(0.001)
            assert rec.items()[1:] == [err, END]

        vrun(main)

    def test_stop_without_end_items_keeps_ticking(self, vrun):
        async def main(loop):
            a = await started(m2())
            rec = Recorder(a, loop)
            a._stop_event.set()
            await asyncio.sleep(0.5)
            assert len(rec.got) >= 9 and not a._emitter_task.done()

        vrun(main)

    def test_stop_with_an_error_only_sends_it_and_goes_on(self, vrun):
        async def main(loop):
            a = await started(m2())
            rec = Recorder(a, loop)
            a._stop_event.set()
            err = RuntimeError("late")
            put_all(a, pics(3) + [err])
            await asyncio.sleep(0.5)
            items = rec.items()
            assert err in items and not any(speech(x) for x in items)
            assert all(resting(x) for x in items[items.index(err) + 1:]) and not a._emitter_task.done()

        vrun(main)


def test_drop_queued_resting_keeps_every_other_item_in_its_place():
    a = FakeAvatar(output_buffer_size=0)
    rest = [frame(i) for i in range(3)]
    for r in rest:
        r._qv_resting = True
    keep = [frame(10), "x", END, frame(11)]
    for x in (rest[0], keep[0], rest[1], keep[1], keep[2], rest[2]):
        a._out_queue.put_nowait(x)
    a._out_queue.put_nowait(keep[3])
    a._drop_queued_resting()
    assert list(a._out_queue._queue) == keep
