"""Barge-in, stop and teardown of the live avatar: what each empties, sets and cancels, the bounded
waits of stop() (exact, on virtual time), and the release of the engine thread and runtime."""

import asyncio
import concurrent.futures
import logging
import threading
import time

import pytest

import quorvane._avatar as av
from output_fakes import FakeAvatar, FakeFixture, frame, replying, vrun  # noqa: F401  (fixture)
from quorvane._models import VideoControl

END = av._STREAM_END


class Runtime:
    def __init__(self, log=None, fail=None):
        self.log = [] if log is None else log
        self.fail = fail

    def close(self):
        self.log.append("close")
        if self.fail:
            raise self.fail


class Executor:
    def __init__(self, log):
        self.log = log

    def shutdown(self, wait):
        self.log.append(("shutdown", wait))


def only_the_end_marker(q):
    return q.qsize() == 1 and q.get_nowait() is END


def loaded(a, log):
    a._runtime = Runtime(log)
    a._fixture = FakeFixture()
    a._engine_executor = Executor(log)
    return a


# -- producers ------------------------------------------------------------------------------------


async def prompt(avatar):
    """Ends as soon as the stop event is set, the way the real producer does."""
    try:
        await avatar._stop_event.wait()
    finally:
        await avatar._out_queue.put(END)


async def stubborn(avatar):
    """Ignores the stop event; ends when cancelled."""
    await asyncio.Event().wait()


async def deaf(avatar):
    """Ignores the stop event and the first two cancellations."""
    for _ in range(3):
        try:
            await asyncio.sleep(3600)
        except asyncio.CancelledError:
            pass


async def flooding(avatar):
    """Fills the output queue; at the stop it has to push a few more items through a full queue."""
    i = 0
    while not avatar._stop_event.is_set():
        await avatar._out_queue.put(frame(i))
        i += 1
    for j in range(10):
        await avatar._out_queue.put(frame(1000 + j))
    await avatar._out_queue.put(END)


async def broken(avatar):
    await avatar._stop_event.wait()
    raise OSError("producer broke")


class TestInterrupt:
    def test_not_running_touches_nothing(self, vrun):
        async def main(loop):
            a = FakeAvatar()
            a._in_queue.put_nowait("in")
            a._out_queue.put_nowait("out")
            a._sync_pend.append((0.0, "pic"))
            a.interrupt()
            assert (a._in_queue.qsize(), a._out_queue.qsize(), len(a._sync_pend)) == (1, 1, 1)
            assert not a._interrupt_event.is_set() and a.dropped == 0

        vrun(main)

    def test_plain_stream_empties_queues_and_sets_the_event(self, vrun):
        async def main(loop):
            a = FakeAvatar(producer=stubborn)
            await a._ensure_running()
            a._m2_r0 = 0.4
            a._in_queue.put_nowait("in")
            a._out_queue.put_nowait("out")
            a._sync_pend.append((0.0, "pic"))
            pend = a._sync_pend
            a.interrupt()
            assert a._in_queue.empty() and a._out_queue.empty() and len(pend) == 0 and a._sync_pend is pend
            assert a._interrupt_event.is_set() and not a._stop_event.is_set() and a._running
            assert a.dropped == 0 and a._m2_r0 == 0.4

        vrun(main)

    def test_mirrant2_stream_also_resets_the_playout_and_arrival(self, vrun):
        async def main(loop):
            a = FakeAvatar(producer=stubborn, m2=True)
            a._runtime = None
            await a._ensure_running()
            a._m2_r0 = 0.4
            a._playout.put_nowait(frame(0))
            a.interrupt()
            assert a._playout.empty() and a._playout_reset is True
            assert a.dropped == 1 and a._m2_r0 is None and a._interrupt_event.is_set()

        vrun(main)

    def test_drain_queue_goes_through_the_class_and_lets_other_errors_through(self):
        q = asyncio.Queue()
        for i in range(3):
            q.put_nowait(i)
        av.AsyncAvatar._drain_queue(q)
        assert q.empty()

        class Broken:
            def get_nowait(self):
                raise KeyError("broken")

        with pytest.raises(KeyError):
            av.AsyncAvatar._drain_queue(Broken())

    def test_stream_keeps_running_after_an_interrupt(self, vrun):
        async def main(loop):
            a = FakeAvatar(output_buffer_size=0)
            it = a.run()
            a._out_queue.put_nowait(frame(0))
            assert (await asyncio.wait_for(it.__anext__(), 5)).frame_index == 0
            a._out_queue.put_nowait(frame(1))
            a.interrupt()
            a._out_queue.put_nowait(frame(2))
            assert (await asyncio.wait_for(it.__anext__(), 5)).frame_index == 2
            await it.aclose()

        vrun(main)


class TestStop:
    @pytest.mark.parametrize("producer, elapsed, cancelled, stuck", [
        (prompt, 0.0, False, False), (stubborn, 5.0, True, False), (deaf, 6.0, True, False),
        (stubborn, 2.0, True, True),
    ], ids=["prompt", "stubborn", "deaf", "engine-call-stuck"])
    def test_waits_are_bounded(self, vrun, producer, elapsed, cancelled, stuck):
        # A producer still in an engine call after the engine's grace period waits on a stuck
        # host: it is cancelled then, and the call is handed to the teardown with no more grace.
        async def main(loop):
            a = FakeAvatar(producer=producer)
            job = a._engine_job = concurrent.futures.Future() if stuck else None
            await a._ensure_running()
            task = a._producer_task
            await asyncio.sleep(0.01)
            t0 = loop.time()
            await asyncio.wait_for(a.stop(), 30)
            assert loop.time() - t0 == pytest.approx(elapsed, abs=1e-6)
            assert task.cancelled() is (cancelled and producer is not deaf)
            assert not a._running and a._producer_task is None and a._emitter_task is None and a._playout is None
            assert only_the_end_marker(a._out_queue)
            assert a._stop_event.is_set()
            assert a._engine_stuck is job

        vrun(main)

    def test_wakes_a_waiting_producer_with_an_end_of_speech_control(self, vrun):
        async def main(loop):
            seen = []

            async def waiting(avatar):
                seen.append(await avatar._in_queue.get())

            a = FakeAvatar(producer=waiting)
            await a._ensure_running()
            await asyncio.sleep(0.01)
            await a.stop()
            assert len(seen) == 1 and isinstance(seen[0], VideoControl) and seen[0].end_of_speech
            assert seen[0].audio is None

        vrun(main)

    def test_drops_what_was_pushed_before_it_and_keeps_what_came_while_it_waited(self, vrun):
        async def lingering(avatar):
            await avatar._stop_event.wait()
            await asyncio.sleep(0.5)
            await avatar._out_queue.put(END)

        async def main(loop):
            a = FakeAvatar(producer=lingering, input_buffer_size=2)
            await a._ensure_running()
            await a.push_audio(b"\x01\x00" * 160, 16000, last_chunk=False)
            await a.push("queued")
            blocked = asyncio.create_task(a.push("waiting for room"))
            await asyncio.sleep(0.01)
            assert a._in_queue.full() and not blocked.done() and a._arr_s > 0
            stopping = asyncio.create_task(a.stop())
            await asyncio.sleep(0.1)
            await a.push_audio(b"\x02\x00" * 320, 16000, last_chunk=False)  # while stop() waits
            await stopping
            await asyncio.wait_for(blocked, 1)
            # What came before the stop is gone, its wake-up control and its arrival with it.
            (kept,) = [a._in_queue.get_nowait() for _ in range(a._in_queue.qsize())]
            assert bytes(kept.audio.data) == b"\x02\x00" * 320 and a._arr_s == pytest.approx(0.02)
            assert a.dropped == 1

        vrun(main)

    def test_second_call_and_call_before_any_run_do_nothing(self, vrun):
        async def main(loop):
            a = FakeAvatar(producer=prompt)
            a._in_queue.put_nowait("for the first run")
            await a.stop()
            assert a._in_queue.qsize() == 1 and not a._stop_event.is_set() and a.dropped == 0
            await a._ensure_running()
            await a.stop()
            a._out_queue.put_nowait("kept")
            a._in_queue.put_nowait("for the next run")
            ev = a._stop_event
            await a.stop()
            assert a._out_queue.qsize() == 2 and a._in_queue.qsize() == 1 and a._stop_event is ev
            assert a.dropped == 1

        vrun(main)

    def test_drain_keeps_a_blocked_producer_moving(self, vrun):
        async def main(loop):
            a = FakeAvatar(producer=flooding)
            await a._ensure_running()
            await asyncio.sleep(0.1)
            assert a._out_queue.full()
            task = a._producer_task
            t0 = loop.time()
            await a.stop()
            assert task.done() and not task.cancelled()
            assert loop.time() - t0 < 2.0
            assert only_the_end_marker(a._out_queue)

        vrun(main)

    def test_producer_failure_ends_stop_and_keeps_the_run_state(self, vrun):
        async def main(loop):
            a = FakeAvatar(producer=broken)
            await a._ensure_running()
            task = a._producer_task
            with pytest.raises(OSError, match="producer broke"):
                await a.stop()
            assert a._running and a._producer_task is task

        vrun(main)

    def test_playout_clock_is_cancelled_and_awaited(self, vrun):
        async def main(loop):
            a = FakeAvatar(producer=prompt, m2=True)
            a._runtime = None
            await a._ensure_running()
            clock = a._emitter_task
            await asyncio.sleep(0.2)
            await a.stop()
            assert clock.done() and a._emitter_task is None and a._playout is None

        vrun(main)

    @pytest.mark.parametrize("op", ["stop", "shutdown"])
    @pytest.mark.parametrize("how", ["cancel", "wait_for", "timeout", "task_group"])
    def test_a_cancelled_teardown_ends_the_run_and_raises_at_once(self, vrun, op, how):
        # Cancelled while it waits for a producer that does not stop, the teardown still ends the
        # run (a consumer ends too) and hands the runtime back, then passes the cancellation on at
        # once: asyncio.timeout, wait_for and TaskGroup work around it as around any coroutine.
        if how in ("timeout", "task_group") and not hasattr(asyncio, "timeout"):
            pytest.skip("asyncio.timeout and TaskGroup came with Python 3.11")

        async def main(loop):
            log = []
            a = loaded(FakeAvatar(producer=stubborn), log)
            consumer = asyncio.ensure_future(drain_run(a))
            await asyncio.sleep(0.01)
            producer = a._producer_task
            t0 = loop.time()
            if how == "cancel":
                task = asyncio.ensure_future(getattr(a, op)())
                await asyncio.sleep(1.0)
                task.cancel()
                with pytest.raises(asyncio.CancelledError):
                    await task
            elif how == "wait_for":
                with pytest.raises(asyncio.TimeoutError):
                    await asyncio.wait_for(getattr(a, op)(), 1.0)
            elif how == "timeout":
                with pytest.raises(TimeoutError):
                    async with asyncio.timeout(1.0):
                        await getattr(a, op)()
                assert asyncio.current_task().cancelling() == 0
            else:
                async def sibling():
                    await asyncio.sleep(1.0)
                    raise OSError("sibling failed")

                with pytest.raises(BaseExceptionGroup) as group:  # noqa: F821  (3.11+)
                    async with asyncio.TaskGroup() as g:
                        g.create_task(getattr(a, op)())
                        g.create_task(sibling())
                assert [type(e) for e in group.value.exceptions] == [OSError]
            assert loop.time() - t0 == pytest.approx(1.0, abs=1e-6)
            assert not a._running and a._producer_task is None and a._emitter_task is None
            assert await asyncio.wait_for(consumer, 1) == []
            await asyncio.sleep(0)
            assert producer.cancelled()
            if op == "shutdown":
                assert log == [("shutdown", True), "close"] and a._runtime is None and a._fixture is None

        vrun(main)


async def drain_run(a):
    return [x async for x in a.run()]


class TestDrainOutQueue:
    def test_takes_items_until_the_producer_is_done(self, vrun):
        async def main(loop):
            a = FakeAvatar(output_buffer_size=0)
            done = asyncio.Event()
            producer = asyncio.ensure_future(done.wait())
            drain = asyncio.ensure_future(a._drain_out_queue_until(producer))
            for i in range(3):
                a._out_queue.put_nowait(i)
            await asyncio.sleep(0.05)
            assert a._out_queue.empty() and not drain.done()
            done.set()
            t0 = loop.time()
            await asyncio.wait_for(drain, 1)
            assert loop.time() - t0 <= 0.1 + 1e-6
            # And it returns quietly when cancelled.
            drain = asyncio.ensure_future(a._drain_out_queue_until(asyncio.ensure_future(asyncio.Event().wait())))
            await asyncio.sleep(0.05)
            drain.cancel()
            assert await asyncio.wait_for(drain, 1) is None

        vrun(main)


class TestTeardown:
    def test_shutdown_stops_then_releases_executor_before_runtime(self, vrun):
        async def main(loop):
            log = []
            a = loaded(FakeAvatar(producer=prompt), log)
            await a._ensure_running()
            await a.shutdown()
            assert log == [("shutdown", True), "close"]
            assert a._runtime is None and a._fixture is None and a._engine_executor is None and not a._running
            await a.shutdown()
            assert log == [("shutdown", True), "close"]

        vrun(main)

    def test_cleanup_while_a_consumer_waits_ends_its_run(self, vrun):
        async def main(loop):
            log = []
            a = loaded(FakeAvatar(producer=stubborn, m2=True), log)
            a._runtime.get_source_frame = lambda i: None
            got = []

            async def consume():
                async for x in a.run():
                    got.append(x)

            consumer = asyncio.ensure_future(consume())
            await asyncio.sleep(0.2)
            producer, clock = a._producer_task, a._emitter_task
            a.cleanup()
            assert a._producer_task is None and a._emitter_task is None and a._playout is None
            assert not a._running and a._stop_event.is_set()
            assert a._out_queue.qsize() == 1
            assert log == [("shutdown", True), "close"] and a._fixture is None and a._runtime is None
            await asyncio.wait_for(consumer, 5)
            assert got == []
            await asyncio.sleep(0)
            assert producer.cancelled() and clock.cancelled()

        vrun(main)

    @pytest.mark.parametrize("teardowns", [("stop",), ("shutdown",), ("cleanup",), ("stop", "stop"),
                                           ("shutdown", "shutdown"), ("stop", "cleanup")], ids="+".join)
    def test_every_teardown_ends_every_consumer_whatever_its_pace(self, vrun, teardowns):
        # Torn down from another task while consumers iterate run(), slower than the producer and
        # each at its own pace: every teardown returns, and every consumer's async for ends.
        async def main(loop):
            a = loaded(FakeAvatar(producer=flooding), [])

            async def consume(pace_s):
                n = 0
                async for _ in a.run():
                    n += 1
                    await asyncio.sleep(pace_s)
                return n

            consumers = [asyncio.ensure_future(consume(p)) for p in (0.1, 0.37)]
            await asyncio.sleep(1.0)

            async def teardown(op):
                if op == "cleanup":
                    return a.cleanup()
                return await getattr(a, op)()

            await asyncio.wait_for(asyncio.gather(*(teardown(op) for op in teardowns)), 10)
            counts = await asyncio.wait_for(asyncio.gather(*consumers), 5)
            assert all(n > 0 for n in counts) and not a._running

        vrun(main)

    @pytest.mark.parametrize("pace_s", [0.05, 0.3])
    @pytest.mark.parametrize("teardown", ["stop", "shutdown", "cleanup"])
    def test_a_consumer_slow_over_each_frame_ends_with_its_run_and_takes_nothing_of_the_next(
            self, vrun, teardown, pace_s):
        # One task draws each frame at its own pace; another tears the stream down mid-reply, then
        # at once pushes the next reply and reads run(). The slow consumer's async for ends, with
        # none of the next reply's frames or its end of speech, which all go to the new run.
        async def main(loop):
            a = loaded(FakeAvatar(producer=replying(40), fresh=True), [])
            old = []

            async def slow():
                async for f in a.run():
                    old.append(f)
                    await asyncio.sleep(pace_s)

            consumer = asyncio.ensure_future(slow())
            await asyncio.sleep(1.0)
            if teardown == "cleanup":
                a.cleanup()
                await asyncio.sleep(0)  # loading a model again takes a turn of the loop at least
            else:
                await asyncio.wait_for(getattr(a, teardown)(), 10)
            loaded(a, [])
            new = []

            async def reply():
                async for f in a.run():
                    new.append(f)
                    if f.end_of_speech:
                        return

            await asyncio.wait_for(reply(), 30)
            await asyncio.wait_for(consumer, 5)
            await a.stop()
            return old, new

        old, new = vrun(main)
        assert old and {f.source_message_id for f in old} == {"reply-1"}
        assert {f.source_message_id for f in new} == {"reply-2"}
        assert [f.frame_index for f in new] == list(range(41)) and new[-1].end_of_speech

    def test_cleanup_after_stop_only_releases(self, vrun):
        async def main(loop):
            log = []
            a = loaded(FakeAvatar(producer=prompt), log)
            await a._ensure_running()
            await a.stop()
            a.cleanup()
            assert only_the_end_marker(a._out_queue)  # stop()'s own; none more without a run
            assert log == [("shutdown", True), "close"] and a._fixture is None and a._runtime is None
            a.cleanup()
            assert log == [("shutdown", True), "close"]

        vrun(main)

    def test_end_stream_when_not_running_does_nothing(self):
        a = FakeAvatar()
        a._end_stream_before_close()
        assert a._out_queue.empty() and not a._stop_event.is_set()

    def test_end_stream_on_a_bare_instance(self):
        class Bare:
            pass

        b = Bare()
        av.AsyncAvatar._end_stream_before_close(b)  # every attribute read with a default
        b._running = True
        b._out_queue = asyncio.Queue(maxsize=1)
        b._out_queue.put_nowait("old")
        av.AsyncAvatar._end_stream_before_close(b)
        assert b._out_queue.get_nowait() is END and b._playout is None and b._running is False

    def test_end_stream_fits_the_marker_into_a_full_queue(self, vrun):
        async def main(loop):
            a = FakeAvatar(producer=stubborn, output_buffer_size=2)
            await a._ensure_running()
            a._out_queue.put_nowait(frame(0))
            a._out_queue.put_nowait(frame(1))
            a._end_stream_before_close()
            assert a._out_queue.qsize() == 1 and a._out_queue.get_nowait() is END

        vrun(main)

    def test_failing_close_is_one_warning_and_teardown_goes_on(self, caplog):
        a = loaded(FakeAvatar(), [])
        a._runtime.fail = RuntimeError("device lost")
        with caplog.at_level(logging.WARNING, logger="quorvane"):
            a.cleanup()
        (rec,) = caplog.records
        assert rec.msg == "quorvane: releasing the engine failed (%s: %s)"
        assert rec.args[0] == "RuntimeError" and isinstance(rec.args[1], RuntimeError)
        assert rec.getMessage() == "quorvane: releasing the engine failed (RuntimeError: device lost)"
        assert a._fixture is None

    def test_a_cancelled_shutdown_still_closes_the_runtime_and_the_release_ends_cleanly(self, monkeypatch):
        errors, closed, stuck = [], threading.Event(), threading.Event()
        monkeypatch.setattr(threading, "excepthook", errors.append)

        class Rt:
            def close(self):
                closed.set()
                stuck.set()

        async def main():
            a = FakeAvatar()
            a._engine_executor = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="quorvane-engine")
            a._engine_job = a._engine_executor.submit(stuck.wait, 30)
            a._runtime = Rt()
            task = asyncio.create_task(a.shutdown())
            await asyncio.sleep(0.1)
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task

        asyncio.run(asyncio.wait_for(main(), 10))
        assert closed.wait(5)
        for t in threading.enumerate():
            if t.name == "quorvane-release":
                t.join(5)
        assert errors == []

    def test_a_call_stop_gave_up_on_holds_up_neither_the_next_run_nor_shutdown(self):
        # The host is stuck in a call: stop() cancels the producer after the grace period. The
        # next run's calls get an engine thread of their own, and shutdown() closes the runtime
        # (which ends the stuck call) without blocking the loop or waiting for the call.
        stuck, log = threading.Event(), []

        class Rt:
            def close(self):
                log.append("close")
                stuck.set()

        async def calling(avatar):
            log.append(await avatar._engine(lambda: stuck.wait(30) and "stuck call ended"))

        async def main():
            a = FakeAvatar(producer=calling)
            a._runtime = Rt()
            await a._ensure_running()
            await asyncio.sleep(0.05)
            await asyncio.wait_for(a.stop(), 10)
            assert a._engine_stuck is not None and not stuck.is_set()
            a.producer = lambda avatar: calling_quick(avatar)
            await a._ensure_running()
            await asyncio.wait_for(a._producer_task, 1)  # not queued behind the stuck call
            t0 = time.monotonic()
            await a.shutdown()
            return time.monotonic() - t0

        async def calling_quick(avatar):
            log.append(await avatar._engine(lambda: "quick call"))

        took = asyncio.run(asyncio.wait_for(main(), 20))
        assert took < 0.5 and log[:2] == ["quick call", "close"]

    def test_runtime_without_close_and_no_runtime(self):
        a = FakeAvatar()
        a._runtime = object()
        a._close_runtime()
        a._runtime = None
        a._close_runtime()
        del a._runtime
        with pytest.raises(AttributeError):
            a._close_runtime()

    @pytest.mark.parametrize("how", ["cleanup", "shutdown"])
    def test_runtime_without_fixture(self, vrun, how):
        async def main(loop):
            log = []
            a = FakeAvatar()
            rt = Runtime(log)
            a._runtime = rt
            if how == "cleanup":
                a.cleanup()
                assert a._runtime is rt
            else:
                await a.shutdown()
                assert a._runtime is None and a._fixture is None
            assert log == ["close"]

        vrun(main)

    @pytest.mark.parametrize("job_s, closed_after", [(0.6, "job done"), (None, "grace")])
    def test_shutdown_never_blocks_the_loop_on_a_call_in_flight(self, job_s, closed_after):
        # The call in flight is a model host's render; the host may be stuck for good. The loop
        # keeps turning while shutdown() waits, the runtime is closed only after the call has ended
        # (or its grace period is over), and shutdown() returns once it is closed.
        order, started, stuck = [], threading.Event(), threading.Event()

        def job():
            started.set()
            stuck.wait(job_s if job_s is not None else 30)
            order.append("job done")

        class Rt:
            def close(self):
                order.append("close")
                stuck.set()  # closing ends the host, and with it the call

        async def main():
            a = FakeAvatar()
            a._engine_executor = concurrent.futures.ThreadPoolExecutor(1, thread_name_prefix="quorvane-engine")
            a._engine_job = a._engine_executor.submit(job)
            a._runtime = Rt()
            started.wait(5)
            lag, stop = [0.0], asyncio.Event()

            async def ticker():
                while not stop.is_set():
                    t = time.monotonic()
                    await asyncio.sleep(0.01)
                    lag[0] = max(lag[0], time.monotonic() - t)

            tick = asyncio.create_task(ticker())
            await asyncio.sleep(0.05)  # the ticker is turning
            t0 = time.monotonic()
            await a.shutdown()
            took = time.monotonic() - t0
            stop.set()
            await tick
            return a, lag[0], took

        a, lag, took = asyncio.run(asyncio.wait_for(main(), 15))
        assert lag < 0.3 and a._engine_executor is None and a._runtime is None
        if closed_after == "job done":
            assert order == ["job done", "close"] and took < 1.5
        else:
            assert order[0] == "close" and 1.5 < took < 5
