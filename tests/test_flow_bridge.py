"""The coroutine bridge: C++ flows behave as the same logic written as Python generators,
coroutines and async generators, under every way a driver can send, throw, close or drop them."""

import asyncio
import gc
import weakref

import pytest

from quorvane import _flowprobe as fp


def py_count(n, log):
    try:
        for i in range(n):
            got = yield i
            if got is not None:
                log.append(("got", got))
    except GeneratorExit:
        log.append("exit")
        raise
    finally:
        log.append("finally")


async def py_drain(queue, log):
    try:
        while (item := await queue.get()) is not None:
            yield item
    finally:
        log.append("finally")


def outcome(fn):
    try:
        return ("ok", fn())
    except BaseException as e:  # noqa: BLE001 - the kind of error is what is compared
        return ("raised", type(e), str(e))


# Each script is a list of operations on a fresh generator; every step's outcome and the final
# log must agree between the C++ flow and the Python generator.
SCRIPTS = [
    ["next", "next", "next", "next", "next"],
    ["next", ("send", "a"), "next", "next"],
    [("send", "x")],
    ["close", "next"],
    ["next", "close", "close", "next"],
    ["next", ("throw", KeyError("k")), "next"],
    [("throw", ValueError("early")), "next"],
    ["next", "next", "next", "next", ("throw", ValueError("late"))],
    ["next", ("throw", GeneratorExit()), "next"],
]


@pytest.mark.parametrize("script", SCRIPTS, ids=lambda s: "-".join(map(str, s)))
def test_generator_matches_python(script):
    def run(make):
        log = []
        g = make(3, log)
        steps = []
        for op in script:
            if op == "next":
                steps.append(outcome(lambda: next(g)))
            elif op == "close":
                steps.append(outcome(g.close))
            elif op[0] == "send":
                steps.append(outcome(lambda: g.send(op[1])))
            else:
                steps.append(outcome(lambda: g.throw(op[1])))
        return steps, log

    assert run(fp.count) == run(py_count)


def test_dropped_generator_runs_its_cleanup():
    log = []
    g = fp.count(5, log)
    next(g)
    del g
    gc.collect()
    assert log == ["exit", "finally"]
    log = []
    g = fp.count(5, log)  # never started: nothing of its body runs
    del g
    assert log == []


class Box(list):
    """A Python object that a flow holds and that holds the flow: a reference cycle."""


class Pending:
    """An awaitable that suspends once; it holds `box`, so the cycle also runs through the awaited."""

    def __init__(self, box):
        self.box = box

    def __await__(self):
        yield
        return None


@pytest.mark.parametrize("where", ["argument", "local", "awaited", "async generator"])
def test_a_suspended_flow_in_a_reference_cycle_is_collected(where):
    # An abandoned live avatar is such a cycle (its tasks hold its flows, its flows hold it): the
    # cycle collector must see what a flow holds, as it does for a Python frame.
    box = Box()
    if where == "argument":
        box.flow = fp.wait_then(Pending(None), box)
        box.flow.send(None)
    elif where == "local":
        box.flow = fp.keeps(lambda: box)
        next(box.flow)
    elif where == "awaited":
        box.flow = fp.wait_then(Pending(box), None)
        box.flow.send(None)
    else:
        class Queue:
            def get(self):
                return Pending(box)

        box.flow = fp.drain(Queue(), [])
        box.flow.__anext__().send(None)
    gone = weakref.ref(box)
    del box
    gc.collect()
    assert gone() is None


def test_errors_escape_without_stray_context():
    with pytest.raises(ValueError, match="done") as ei:
        list(fp.relay(iter([1, 2]), True))
    assert ei.value.__context__ is None
    assert list(fp.relay(range(4))) == [0, 1, 2, 3]


def test_reentrant_step_is_refused():
    holder = []

    def items():
        yield 1
        next(holder[0])  # the relay is executing this very iterator

    g = fp.relay(items())
    holder.append(g)
    assert next(g) == 1
    with pytest.raises(ValueError, match="generator already executing"):
        next(g)


class TestCoroutine:
    def test_awaits_futures_coroutines_and_tasks(self):
        async def main():
            loop = asyncio.get_running_loop()
            f = loop.create_future()
            loop.call_later(0.01, f.set_result, 5)
            a = await fp.wait_then(f, "future")
            b = await fp.wait_then(asyncio.sleep(0.001, result=7), "coro")
            c = await asyncio.create_task(fp.wait_then(asyncio.sleep(0, result=1), "task"))
            return a, b, c

        assert asyncio.run(main()) == ((5, "future"), (7, "coro"), (1, "task"))

    def test_is_a_coroutine_to_asyncio(self):
        c = fp.wait_then(None, 1)
        assert asyncio.iscoroutine(c)
        c.close()

    def test_error_of_the_awaited_reaches_the_awaiter(self):
        async def boom():
            raise KeyError("inner")

        async def main():
            await fp.wait_then(boom(), "x")

        with pytest.raises(KeyError, match="inner"):
            asyncio.run(main())

    def test_cancellation_runs_cleanup_that_awaits(self):
        async def main():
            log = []
            t = asyncio.create_task(fp.guarded(asyncio.sleep(10), log))
            await asyncio.sleep(0.01)
            t.cancel()
            with pytest.raises(asyncio.CancelledError):
                await t
            timed = []
            with pytest.raises(asyncio.TimeoutError):
                await asyncio.wait_for(fp.guarded(asyncio.sleep(5), timed), 0.02)
            return log, timed, await fp.guarded(asyncio.sleep(0), [])

        assert asyncio.run(main()) == (["cancelled", "cleaned"], ["cancelled", "cleaned"], "finished")

    def test_finished_coroutine_cannot_be_awaited_again(self):
        async def main():
            c = fp.wait_then(asyncio.sleep(0), 1)
            await c
            await c

        with pytest.raises(RuntimeError, match="cannot reuse already awaited coroutine"):
            asyncio.run(main())


class TestAsyncGenerator:
    @staticmethod
    def filled(items):
        q = asyncio.Queue()
        for x in items:
            q.put_nowait(x)
        return q

    @pytest.mark.parametrize("make", [fp.drain, py_drain], ids=["cpp", "python"])
    def test_iterates_closes_and_cancels_like_python(self, make):
        async def main():
            log = []
            full = [x async for x in make(self.filled([1, 2, 3, None]), log)]
            closed_log = []
            ag = make(self.filled([1, 2, 3]), closed_log)
            async for x in ag:
                if x == 2:
                    break
            await ag.aclose()
            await ag.aclose()  # closing twice is harmless
            cancel_log = []
            ag2 = make(asyncio.Queue(), cancel_log)

            async def consume():
                async for _ in ag2:
                    pass

            t = asyncio.create_task(consume())
            await asyncio.sleep(0.01)
            t.cancel()
            with pytest.raises(asyncio.CancelledError):
                await t
            with pytest.raises(StopAsyncIteration):
                await ag2.__anext__()
            return full, log, closed_log, cancel_log

        assert asyncio.run(main()) == ([1, 2, 3], ["finally"], ["finally"], ["finally"])

    def test_concurrent_anext_is_refused(self):
        async def main():
            ag = fp.drain(asyncio.Queue(), [])
            first = asyncio.ensure_future(ag.__anext__())
            await asyncio.sleep(0)
            try:
                await ag.__anext__()
            finally:
                first.cancel()

        with pytest.raises(RuntimeError, match="already running"):
            asyncio.run(main())


def test_classes_made_from_cpp_behave_as_python_classes():
    t = fp.Tally(start=3)
    assert (t.add(2), t.doubled) == (5, 10)
    assert (fp.Tally.__module__, fp.Tally.__qualname__, fp.Tally.__doc__) == ("quorvane._flowprobe", "Tally", "A count.")
    with pytest.raises(AttributeError):
        t.extra = 1  # __slots__ hold
    with pytest.raises(TypeError):
        fp.Tally(1)  # keyword-only

    class Sub(fp.Tally):
        pass

    s = Sub.make(start=5)  # class methods build through the class they are called on
    assert type(s) is Sub and s.n == 5
    assert asyncio.run(t.later(asyncio.sleep(0, result=9))) == 9 and t.n == 9
