"""A live mirrant-2 stream of the demo avatar, as a voice agent drives it: speech pushed at real
time in 20 ms chunks (the demo clip, looped, cut into utterances with pauses between them, every
few utterances cut short by a barge-in), `sync_to` a sink that plays its voice out in real time,
and the frames read from `run()`. One run prints:

- first speech frame: first push of an utterance to its first speech frame out of run(), beside
  its floor (the audio the chain's first chunk needs, at real time, plus that chunk's own render
  time, measured in this run);
- pacing: frames per second out of run(), frames the playout clock had to repeat for want of a
  picture after an utterance started, and times the sink ran dry while an utterance played;
- A/V offset: each speech picture's release against the moment its voice starts playing;
- barge-in: interrupt() to the first resting frame;
- loop lag: the worst lateness of a 1 ms heartbeat on the event loop, beside that of an event loop
  with nothing else to do on the same machine;
- memory: resident memory after the first minute and at the end;
- where the chain runs: a steady chunk's render on a thread of this process against the same
  audio through the model host process (the pipe included), one after the other, each with the
  worst lag of an event loop of this process meanwhile.

Then, as an agent that hands over a whole reply at once drives it:

- a whole reply pushed at once (5 minutes of speech in one push_audio), played out in real time:
  peak resident memory of this process and of the model host against where each started, beside
  the real-time run's peak, and its pacing;
- barge-in during a push: a 5 s and a 60 s reply each pushed at once and interrupted 3 s into
  playout, then an answer pushed at real time: interrupt() to the answer's first speech frame;
- shutdown with the host stopped (SIGSTOP) while it streams: the event loop's worst lag during
  shutdown(), how long it took, and whether the host was ended;
- a sink that stops playing 3 s into a reply pushed at once: peak resident memory of this process
  over 30 s against where it started, and the most pictures held for the sink.

Targets: first speech frame within the floor plus 250 ms; 20.0 fps with no repeat or dry sink after
start; A/V offset within +-50 ms; barge-in within 100 ms; loop lag at most 10 ms; memory growth at
most 5 MB over 10 minutes; a whole reply pushed at once within a few hundred MB of the start; the
answer after a barge-in during a 60 s push within 0.6 s of that after a 5 s push; loop lag during
shutdown() with the host stopped under 1 s; with a stalled sink, at most 60 pictures held and
the peak memory within those (about 54 MB) of the whole reply's.

    .venv/bin/python bench/live_m2.py [--minutes 10] [--utterance-s 6] [--pause-s 2] [--barge-every 4]
                                      [--whole-push-s 300] [--stalled-s 30]
"""

import argparse
import asyncio
import os
import signal
import sys
import time
import wave
from pathlib import Path

import numpy as np

ROOT = Path(__file__).resolve().parent.parent
DEMO = str(ROOT / "demo" / "avatar.imx")
CHUNK = 320  # 20 ms at 16 kHz


def rss_mb(pid="self"):
    with open(f"/proc/{pid}/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20


class Peak:
    """The highest resident memory of this process and of the avatar's model host, sampled every
    0.2 s on the event loop while it runs."""

    def __init__(self, avatar):
        self.pid = avatar._fixture._host.proc.pid
        self.start = (rss_mb(), rss_mb(self.pid))
        self.peak = self.start
        self.task = asyncio.create_task(self._sample())

    async def _sample(self):
        while True:
            try:
                now = (rss_mb(), rss_mb(self.pid))
            except OSError:  # the host has ended
                return
            self.peak = (max(self.peak[0], now[0]), max(self.peak[1], now[1]))
            await asyncio.sleep(0.2)

    def done(self):
        self.task.cancel()
        return self.start, self.peak


async def heartbeat(lag):
    """Keeps the worst lateness of a 1 ms sleep in lag[0]."""
    while True:
        t = time.monotonic()
        await asyncio.sleep(0.001)
        lag[0] = max(lag[0], time.monotonic() - t - 0.001)


def clip():
    with wave.open(str(ROOT / "demo" / "speech.wav")) as w:
        assert w.getframerate() == 16000 and w.getnchannels() == 1 and w.getsampwidth() == 2
        return np.frombuffer(w.readframes(w.getnframes()), dtype="<i2")


def pct(xs, p):
    return float(np.percentile(np.asarray(xs), p)) if xs else float("nan")


class Sink:
    """An audio source that plays its queue out in real time: `queued_duration` is what is left."""

    def __init__(self):
        self.end = 0.0  # monotonic time the queued voice finishes playing
        self.dry = 0

    @property
    def queued_duration(self):
        return max(0.0, self.end - time.monotonic())

    def push(self, seconds, counting):
        """Queue `seconds` of voice; returns the moment it starts playing."""
        now = time.monotonic()
        if self.end < now - 0.005 and counting:
            self.dry += 1
        start = max(now, self.end)
        self.end = start + seconds
        return start

    def clear(self):
        self.end = time.monotonic()


async def idle_lag(seconds=10.0):
    """The worst lag of a 1 ms heartbeat on an event loop with nothing else to do: the machine's own."""
    lag = [0.0]
    hb = asyncio.create_task(heartbeat(lag))
    await asyncio.sleep(seconds)
    hb.cancel()
    return lag[0]


def compare_runtimes(seconds=8.0):
    """The chain rendering the same audio on a thread of this process (the host library's Renderer
    called directly) and in the model host process (through its pipe): seconds per steady chunk,
    and the worst lag of a 1 ms heartbeat on an event loop of this process meanwhile."""
    from quorvane._mirrant2 import Mirrant2Engine
    from quorvane._mirrant2 import _tensorhost as th

    pcm = np.resize(clip(), int(16000 * seconds))
    f32 = pcm.astype(np.float32) / 32768.0
    paths, _name, canon = th.load_bundle(DEMO)
    cc, _ = th.load_color_correct(DEMO)
    renderer = th.Renderer(th.LitertChain(paths, canon, th.default_threads(1, 0)), cc)
    renderer.feed(f32[:25600])
    renderer.ready_chunks()  # chunk 0
    eng = Mirrant2Engine(DEMO)

    def in_process():
        renderer.feed(f32[25600:])
        return len(renderer.ready_chunks()) // 32

    def in_host():
        frames = eng.frames(iter([pcm.tobytes()]))
        for _ in range(22):
            next(frames)  # chunk 0
        t = time.perf_counter()
        n = sum(1 for _ in frames) // 32
        return n, time.perf_counter() - t

    async def lag_while(fn):
        loop = asyncio.get_running_loop()
        fut = loop.run_in_executor(None, fn)
        worst = 0.0
        while not fut.done():
            t = time.monotonic()
            await asyncio.sleep(0.001)
            worst = max(worst, time.monotonic() - t - 0.001)
        return worst, await fut

    try:
        t = time.perf_counter()
        lag_in, n_in = asyncio.run(lag_while(in_process))
        t_in = (time.perf_counter() - t) / n_in
        lag_host, (n_host, t_host) = asyncio.run(lag_while(in_host))
        t_host /= n_host
    finally:
        eng.close()
    return t_in, t_host, lag_in, lag_host


async def stream(a):
    from quorvane._avatar import AsyncAvatar

    speech = clip()
    avatar = await AsyncAvatar.create(model_path=DEMO, output_size=None)
    rest = avatar._fixture._rest
    sink = Sink()
    avatar.sync_to(sink)
    peak = Peak(avatar)
    loop_lag = [0.0]
    state = {"n": 0, "playing": False, "barge_t": None}
    seen, first_push, first_frame, r0 = set(), {}, {}, {}
    voice_start = {}  # (message id, frame index) -> the moment its voice starts playing
    offsets, barge, repeats, pictures = [], [], [0], [0]
    t_start = time.monotonic()
    deadline = t_start + a.minutes * 60
    rss = {}

    async def consume():
        async for f in avatar.run():
            now = time.monotonic()
            ac, mid = f.audio_chunk, f.source_message_id
            if ac is not None:  # a voice part: into the sink at once
                start = sink.push(ac.data.size / 16000, state["playing"])
                if mid is not None:
                    voice_start[(mid, f.frame_index)] = start
                    if mid not in seen:
                        seen.add(mid)
                        first_frame[state["n"]] = now
                        r0[state["n"]] = getattr(avatar, "_m2_r0", None)
                        state["playing"] = True
            if f.bgr_image is not None:
                pictures[0] += 1
                start = voice_start.pop((mid, f.frame_index), None) if mid is not None else None
                if start is not None:
                    offsets.append(now - start)
                elif state["playing"]:
                    repeats[0] += 1  # no speech picture to show while the utterance plays
                if state["barge_t"] is not None and np.array_equal(f.bgr_image, rest):
                    barge.append(now - state["barge_t"])
                    state["barge_t"] = None
            if f.end_of_speech and mid is not None:
                state["playing"] = False

    async def push():
        k = 0
        next_t = time.monotonic()
        while time.monotonic() < deadline:
            state["n"] += 1
            n = state["n"]
            barged = a.barge_every and n % a.barge_every == 0
            cut = int(a.utterance_s * 16000)
            stop_at = cut // 2 if barged else cut
            for off in range(0, stop_at, CHUNK):
                seg = np.resize(np.roll(speech, -k), CHUNK)
                k = (k + CHUNK) % speech.size
                await asyncio.sleep(max(0.0, next_t - time.monotonic()))
                next_t += CHUNK / 16000
                if off == 0:
                    first_push[n] = time.monotonic()
                await avatar.push_audio(seg.tobytes(), sample_rate=16000, last_chunk=off + CHUNK >= cut)
            if barged:
                # The reply plays a while, then the listener talks over it.
                await asyncio.sleep(1.5)
                avatar.interrupt()
                sink.clear()
                state["barge_t"] = time.monotonic()
                state["playing"] = False
            await asyncio.sleep(a.pause_s)
            next_t = time.monotonic()
            minute = int((time.monotonic() - t_start) // 60)
            if minute >= 1 and minute not in rss:
                rss[minute] = rss_mb()
                rss.setdefault("first", rss[minute])

    hb = asyncio.create_task(heartbeat(loop_lag))
    cons = asyncio.create_task(consume())
    await asyncio.sleep(1.0)  # resting frames first
    loop_lag[0] = 0.0
    t0 = time.monotonic()
    n0 = pictures[0]
    await push()
    await asyncio.sleep(a.pause_s + 2)
    elapsed = time.monotonic() - t0
    fps = (pictures[0] - n0) / elapsed
    rss["end"] = rss_mb()
    hb.cancel()
    mem = peak.done()
    await avatar.shutdown()
    cons.cancel()
    lat = [(first_frame[n] - first_push[n], r0[n]) for n in first_push if n in first_frame and r0.get(n) is not None]
    return dict(lat=lat, fps=fps, repeats=repeats[0], dry=sink.dry, offsets=offsets, barge=barge,
                lag=loop_lag[0], rss=rss, elapsed=elapsed, utterances=len(first_push), mem=mem)


class Listener:
    """A consumer of run() that plays voice into a sink at real time and notes when each message's
    first speech frame (its voice part) came out, and when its end did."""

    def __init__(self, avatar):
        self.avatar, self.sink = avatar, Sink()
        avatar.sync_to(self.sink)
        self.first, self.ended, self.frames, self.speech = {}, {}, 0, 0
        self.task = asyncio.create_task(self._consume())

    async def _consume(self):
        async for f in self.avatar.run():
            now, mid = time.monotonic(), f.source_message_id
            if f.audio_chunk is not None:
                self.sink.push(f.audio_chunk.data.size / 16000, False)
                if mid is not None:
                    self.first.setdefault(mid, now)
            if f.bgr_image is not None:
                self.frames += 1
                self.speech += mid is not None
            if f.end_of_speech and mid is not None:
                self.ended[mid] = now

    async def next_utterance(self, before, timeout=900.0):
        """The id of the first message with speech out after the messages in `before`."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            new = [m for m in self.first if m not in before]
            if new:
                return new[0]
            await asyncio.sleep(0.005)
        raise TimeoutError("no speech frame came")


def speech_of(seconds):
    return np.resize(clip(), int(16000 * seconds)).astype("<i2")


async def whole_push(seconds):
    """A reply of `seconds` pushed in one call and played out in real time."""
    from quorvane._avatar import AsyncAvatar

    avatar = await AsyncAvatar.create(model_path=DEMO, output_size=None)
    me = Listener(avatar)
    await asyncio.sleep(1.0)
    peak = Peak(avatar)
    t0 = time.monotonic()
    await avatar.push_audio(speech_of(seconds).tobytes(), sample_rate=16000, last_chunk=True)
    mid = await me.next_utterance(set())
    while mid not in me.ended:
        await asyncio.sleep(0.05)
    elapsed = time.monotonic() - me.first[mid]
    mem = peak.done()
    await avatar.shutdown()
    return dict(mem=mem, first=me.first[mid] - t0, elapsed=elapsed, speech=me.speech)


async def barge_during_push(lengths=(5.0, 60.0), answer_s=2.0):
    """Each reply pushed at once and interrupted 3 s into its playout; then an answer pushed at
    real time. interrupt() to the answer's first speech frame, for each length, on one avatar."""
    from quorvane._avatar import AsyncAvatar

    avatar = await AsyncAvatar.create(model_path=DEMO, output_size=None)
    me = Listener(avatar)
    await asyncio.sleep(1.0)
    out = {}
    for seconds in lengths:
        before = set(me.first)
        await avatar.push_audio(speech_of(seconds).tobytes(), sample_rate=16000, last_chunk=True)
        mid = await me.next_utterance(before)
        await asyncio.sleep(3.0)
        t_int = time.monotonic()
        avatar.interrupt()
        me.sink.clear()
        before = set(me.first)
        answer = speech_of(answer_s)
        next_t = time.monotonic()
        for off in range(0, answer.size, CHUNK):
            await asyncio.sleep(max(0.0, next_t - time.monotonic()))
            next_t += CHUNK / 16000
            await avatar.push_audio(answer[off:off + CHUNK].tobytes(), sample_rate=16000,
                                    last_chunk=off + CHUNK >= answer.size)
        reply = await me.next_utterance(before)
        out[seconds] = me.first[reply] - t_int
        assert reply != mid
        while reply not in me.ended:
            await asyncio.sleep(0.05)
        await asyncio.sleep(1.0)
    await avatar.shutdown()
    return out


async def shutdown_stopped_host(seconds=20.0):
    """shutdown() while the model host, streaming a reply, is stopped (SIGSTOP)."""
    from quorvane._avatar import AsyncAvatar

    avatar = await AsyncAvatar.create(model_path=DEMO, output_size=None)
    me = Listener(avatar)
    proc = avatar._fixture._host.proc
    await avatar.push_audio(speech_of(seconds).tobytes(), sample_rate=16000, last_chunk=True)
    await me.next_utterance(set())
    await asyncio.sleep(1.0)
    os.kill(proc.pid, signal.SIGSTOP)
    await asyncio.sleep(0.5)
    in_flight = avatar._engine_job is not None and not avatar._engine_job.done()
    lag = [0.0]
    hb = asyncio.create_task(heartbeat(lag))
    await asyncio.sleep(0.05)
    t = time.monotonic()
    try:
        await avatar.shutdown()
    finally:
        took = time.monotonic() - t
        hb.cancel()
        ended = proc.poll() is not None
        if not ended:
            proc.kill()
    return dict(lag=lag[0], took=took, ended=ended, in_flight=in_flight)


class StoppedSink(Sink):
    """A sink that plays in real time until `stop_at`, then keeps what it is given without playing."""

    def __init__(self, stop_at):
        super().__init__()
        self.stop_at = stop_at

    @property
    def queued_duration(self):
        return max(0.0, self.end - min(time.monotonic(), self.stop_at))


async def stalled_sink(seconds=30.0, stall_after=3.0):
    """A reply pushed at once whose sink stops playing `stall_after` s into playout: the peak
    memory of this process over `seconds` s, and the most pictures held for the sink."""
    from quorvane._avatar import AsyncAvatar

    avatar = await AsyncAvatar.create(model_path=DEMO, output_size=None)
    sink = StoppedSink(float("inf"))
    avatar.sync_to(sink)
    held = [0]

    async def consume():
        async for f in avatar.run():
            if f.audio_chunk is not None:
                sink.push(f.audio_chunk.data.size / 16000, False)
                if f.source_message_id is not None and sink.stop_at == float("inf"):
                    sink.stop_at = time.monotonic() + stall_after
            held[0] = max(held[0], len(avatar._sync_pend))

    cons = asyncio.create_task(consume())
    await asyncio.sleep(1.0)
    peak = Peak(avatar)
    await avatar.push_audio(speech_of(seconds + 30.0).tobytes(), sample_rate=16000, last_chunk=True)
    await asyncio.sleep(seconds)
    mem = peak.done()
    await avatar.shutdown()
    cons.cancel()
    return dict(mem=mem, held=held[0])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--minutes", type=float, default=10.0, help="minutes of pushed speech and pauses")
    ap.add_argument("--utterance-s", type=float, default=6.0)
    ap.add_argument("--pause-s", type=float, default=2.0)
    ap.add_argument("--barge-every", type=int, default=4, help="every Nth utterance is cut by interrupt()")
    ap.add_argument("--no-compare", action="store_true", help="skip the in-process against host timing")
    ap.add_argument("--whole-push-s", type=float, default=300.0, help="seconds of speech pushed at once")
    ap.add_argument("--stalled-s", type=float, default=30.0, help="seconds a stalled sink is watched")
    a = ap.parse_args()
    print(f"load average {os.getloadavg()[0]:.2f}, {os.cpu_count()} CPUs; {a.minutes:g} min of speech")
    if not a.no_compare:
        t_in, t_host, lag_in, lag_host = compare_runtimes()
        print(f"where the chain runs: a steady chunk (1.6 s of audio) takes {t_in * 1000:.0f} ms on a thread of "
              f"this process, {t_host * 1000:.0f} ms in the model host (pipe included); the event loop's worst "
              f"lag meanwhile {lag_in * 1000:.1f} ms against {lag_host * 1000:.1f} ms")
    print(f"event loop alone on this machine: worst lag {asyncio.run(idle_lag()) * 1000:.1f} ms over 10 s")
    r = asyncio.run(stream(a))
    floor = [25600 / 16000 + r0 for _, r0 in r["lat"]]
    over = [lat - fl for (lat, _), fl in zip(r["lat"], floor)]
    print(f"utterances {r['utterances']} over {r['elapsed']:.0f} s")
    if over:
        print(f"first speech frame: median {np.median([x for x, _ in r['lat']]) * 1000:.0f} ms, floor median "
              f"{np.median(floor) * 1000:.0f} ms (first-chunk render median {np.median([x for _, x in r['lat']]) * 1000:.0f} ms); "
              f"over the floor p50 {pct(over, 50) * 1000:.0f} ms, max {max(over) * 1000:.0f} ms (target <= 250)")
    print(f"pacing: {r['fps']:.2f} fps (target 20.0); repeated pictures after start {r['repeats']}, "
          f"sink ran dry {r['dry']} times (target 0, 0)")
    print(f"A/V offset (picture release - voice start): p5 {pct(r['offsets'], 5) * 1000:+.0f} ms, "
          f"p95 {pct(r['offsets'], 95) * 1000:+.0f} ms over {len(r['offsets'])} frames (target within +-50)")
    if r["barge"]:
        print(f"barge-in to resting frame: max {max(r['barge']) * 1000:.0f} ms, median "
              f"{np.median(r['barge']) * 1000:.0f} ms over {len(r['barge'])} (target <= 100)")
    print(f"event loop: worst lag {r['lag'] * 1000:.1f} ms (target <= 10)")
    first = r["rss"].get("first")
    if first is not None:
        series = " ".join(f"{v:.0f}" for k, v in sorted((k, v) for k, v in r["rss"].items() if isinstance(k, int)))
        print(f"memory: RSS {first:.1f} MB after the first minute, {r['rss']['end']:.1f} MB at the end, growth "
              f"{r['rss']['end'] - first:+.1f} MB (target <= 5); by minute: {series}")
    else:
        print(f"memory: RSS {r['rss']['end']:.1f} MB at the end (run shorter than a minute: no growth figure)")
    w = asyncio.run(whole_push(a.whole_push_s))
    for label, (start, peak) in (("real-time pushes", r["mem"]), (f"{a.whole_push_s:g} s pushed at once", w["mem"])):
        print(f"peak memory, {label}: this process {start[0]:.0f} -> {peak[0]:.0f} MB ({peak[0] - start[0]:+.0f}), "
              f"model host {start[1]:.0f} -> {peak[1]:.0f} MB ({peak[1] - start[1]:+.0f}) (target: a few hundred MB)")
    print(f"{a.whole_push_s:g} s pushed at once: first speech frame {w['first'] * 1000:.0f} ms after the push, "
          f"played in {w['elapsed']:.1f} s, {w['speech'] / w['elapsed']:.2f} speech fps (target 20.0)")
    b = asyncio.run(barge_during_push())
    print("barge-in during a push, interrupt() to the answer's first speech frame: "
          + ", ".join(f"{k:g} s push {v * 1000:.0f} ms" for k, v in b.items())
          + f"; difference {(b[60.0] - b[5.0]) * 1000:+.0f} ms (target <= 600)")
    h = asyncio.run(shutdown_stopped_host())
    print(f"shutdown() with the host stopped ({'a call' if h['in_flight'] else 'no call'} in flight): took "
          f"{h['took'] * 1000:.0f} ms, event loop's worst lag {h['lag'] * 1000:.0f} ms (target < 1000), host "
          f"{'ended' if h['ended'] else 'STILL RUNNING'}")
    st = asyncio.run(stalled_sink(a.stalled_s))
    (start, _), (peak, _) = st["mem"]
    print(f"sink stopped 3 s into playout, watched {a.stalled_s:g} s: peak memory of this process {start:.0f} -> "
          f"{peak:.0f} MB ({peak - start:+.0f}), at most {st['held']} pictures held (target: at most 60, and within "
          f"54 MB of the whole reply's {w['mem'][1][0] - w['mem'][0][0]:+.0f} MB)")


if __name__ == "__main__":
    sys.exit(main())
