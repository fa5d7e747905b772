"""An application that streams a live avatar and is then asked to end, run as a child interpreter.

    python ending_app.py <model> <mode> <consumer> <how>

mode:      "streaming" (output_size None) or "compose" (96 x 72)
consumer:  "slow"   reads a frame every 0.2 s, slower than the frame rate
           "stall"  takes one frame and then never reads again
           "stuck"  as "slow", and the model host is stopped (SIGSTOP) in the middle of a render
                    before the application is asked to end
how:       "sigint"    Ctrl-C: the process sends itself SIGINT once the output queue is full
           "wait_for"  asyncio.wait_for(session(), ...) times out
           "teardown"  the application's main returns with the avatar's tasks still running, and
                       asyncio.run's teardown cancels them
           "abandon"   as "teardown", but the loop is run with run_until_complete and closed with
                       the avatar's tasks still pending, as some frameworks' threads leave it
           "drop"      ten applications in a row (mode and consumer are not used), each of which
                       creates the avatar, has a task iterate run(), pushes 2 s of speech, sleeps 1 s
                       and returns; its loop, run with run_until_complete, is closed with the tasks
                       still pending, dropped, and the collector run once

The application never stops the avatar itself, and keeps no reference to it once the loop is done;
the collector is then run once. Prints one JSON line before it exits: {"asked": <monotonic time it
was asked to end>, "ended": <when the loop returned or raised>, "hosts": [<pids of model hosts
started>], "alive": [<those still running 4 s after the avatar was freed: 2 s more than the grace
of a host still in a render then>], "collected": <the avatar was freed>, "outcome": <what the loop
gave>, "printed": <when this line was printed>}; the process should end right after it. With
"drop", "rounds" holds one {"collected", "hosts", "alive", "staged"} per application instead
("staged": its hosts' staging directories still there by then).
"""

import asyncio
import gc
import json
import os
import signal
import sys
import time
import weakref

import numpy as np

from quorvane import AsyncAvatar

model, mode, consumer, how = sys.argv[1:5]
state = {"asked": None, "hosts": []}
avatar_ref = None


def speech(seconds):
    t = np.arange(int(seconds * 16000)) / 16000
    return (np.sin(2 * np.pi * 220 * t) * (1 + np.sin(2 * np.pi * 3 * t)) * 6000).astype("<i2").tobytes()


def note_hosts(a):
    host = getattr(getattr(a._fixture, "_host", None), "proc", None)
    if host is not None and host.pid not in state["hosts"]:
        state["hosts"].append(host.pid)


async def session():
    a = await AsyncAvatar.create(model_path=model, output_size=None if mode == "streaming" else (96, 72),
                                 output_buffer_size=4)
    global avatar_ref
    avatar_ref = weakref.ref(a)
    note_hosts(a)

    async def consume():
        async for _ in a.run():
            note_hosts(a)
            await asyncio.sleep(3600 if consumer == "stall" else 0.2)

    reader = asyncio.create_task(consume())
    pcm = speech(12.0)
    step = 16000 * 2
    for i in range(0, len(pcm), step):
        await a.push_audio(pcm[i:i + step], sample_rate=16000, last_chunk=i + step >= len(pcm))
        await asyncio.sleep(0.02)
    if consumer == "stuck":
        while a._engine_job is None or a._engine_job.done():
            await asyncio.sleep(0.005)
        os.kill(a._fixture._host.proc.pid, signal.SIGSTOP)
    # The output queue is full and nobody takes from it in time: the producer waits in its put.
    while not a._out_queue.full():
        await asyncio.sleep(0.01)
    await asyncio.sleep(0.3)
    note_hosts(a)
    state["asked"] = time.monotonic()
    if how in ("teardown", "abandon"):
        return "returned"
    if how == "sigint":
        os.kill(os.getpid(), signal.SIGINT)
    full.set()
    await reader


async def main():
    global full
    full = asyncio.Event()
    task = asyncio.ensure_future(session())
    if how != "wait_for":
        return await task
    await full.wait()
    return await asyncio.wait_for(task, 0.05)


def alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    return True


def alive_or_staged(hosts, stages):
    return any(alive(p) for p in hosts) or any(os.path.exists(d) for d in stages)


def dropped():
    """One application of "drop": what it left once its avatar was collected."""
    hosts, stages, refs = [], [], []

    async def app():
        a = await AsyncAvatar.create(model_path=model, output_size=None)
        host = getattr(a._fixture, "_host", None)
        if host is not None:
            hosts.append(host.proc.pid)
            stages.append(host.stage_dir)

        async def consume():
            async for _ in a.run():
                pass

        asyncio.create_task(consume())
        await a.push_audio(speech(2.0), sample_rate=16000)
        await asyncio.sleep(1.0)
        refs.append(weakref.ref(a))

    loop = asyncio.new_event_loop()
    loop.run_until_complete(app())
    loop.close()
    del loop
    gc.collect()
    collected = refs[0]() is None
    deadline = time.monotonic() + 4.0
    while alive_or_staged(hosts, stages) and time.monotonic() < deadline:
        time.sleep(0.02)
    return {"collected": collected, "hosts": hosts, "alive": [p for p in hosts if alive(p)],
            "staged": [d for d in stages if os.path.exists(d)]}


if how == "drop":
    rounds = []
    for _ in range(10):
        rounds.append(dropped())
        state["hosts"] += rounds[-1]["hosts"]
    state["rounds"] = rounds
    state["printed"] = time.monotonic()
    print(json.dumps(state), flush=True)
    sys.exit(0)

outcome = None
try:
    if how == "abandon":
        loop = asyncio.new_event_loop()
        outcome = repr(loop.run_until_complete(session()))
        loop.close()
        del loop
    else:
        outcome = repr(asyncio.run(main()))
except BaseException as e:  # noqa: BLE001  (the outcome is what is reported)
    outcome = type(e).__name__
state["ended"] = time.monotonic()
state["outcome"] = outcome
gc.collect()
state["collected"] = avatar_ref is not None and avatar_ref() is None
deadline = time.monotonic() + 4.0
while any(alive(p) for p in state["hosts"]) and time.monotonic() < deadline:
    time.sleep(0.02)
state["alive"] = [p for p in state["hosts"] if alive(p)]
state["printed"] = time.monotonic()
print(json.dumps(state), flush=True)
