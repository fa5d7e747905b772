"""Mirrant-2 avatars on the native runtime: the package's own model chain, in process. The frames
are the model host's, tick for tick, in every bundle form; the chunk schedule, the silence that ends
an utterance and a forgotten utterance behave; calls from the event loop never wait for a render;
and the live stream of the demo avatar carries each tick's picture with exactly its voice."""

import asyncio
import os
import signal
import threading
from pathlib import Path

import numpy as np
import pytest

from bundles import CANON, COMBINED, KINDS, make
from quorvane import _core
from quorvane._imx_engine import engine_id_for_path
from quorvane._models import INT16_MAX

DEMO = str(Path(__file__).parent.parent / "demo" / "avatar.imx")
WAIT_S = 60.0


def speech_i16(n, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(n) / 16000
    x = 0.4 * np.sin(2 * np.pi * 170 * t) * (1 + np.sin(2 * np.pi * 3 * t)) / 2 + 0.05 * rng.standard_normal(n)
    return (np.clip(x, -1, 1) * 32000).astype(np.int16)


@pytest.fixture(scope="module")
def demo():
    fx = _core.Fixture(DEMO)
    yield fx
    fx.stop_host()


def pull_all(rt):
    return [rt.pull_frame(-1) for _ in range(rt.ticks_available())]


def test_frames_are_the_hosts_in_every_bundle_form_on_the_chunk_schedule(tmp_path, demo):
    from quorvane._mirrant2 import Mirrant2Engine

    pcm = speech_i16(46001)
    eng = Mirrant2Engine(DEMO)
    try:
        host = [f[..., ::-1] for f in eng.frames(iter([pcm.tobytes()]))]
    finally:
        eng.close()
    f32 = pcm.astype(np.float32) / 32768.0  # the host's own scaling
    for kind in KINDS:
        (tmp_path / kind).mkdir()
        bundle = make(tmp_path / kind, kind, {"combined_litert.tflite": COMBINED, "canon.bin": CANON})
        assert engine_id_for_path(bundle) == "mirrant2"
        fx = _core.Fixture(bundle)
        assert (fx.engine, fx.frame_width, fx.frame_height, fx.audio_samples_per_tick) == ("mirrant2", 416, 720, 800)
        assert [fx.samples_for_chunk(k) for k in range(3)] == [25600, 44000, 69600]
        rt = _core.Runtime(fx)
        got, ready = [], []
        for a, b in ((0, 25599), (25599, 25600), (25600, 43999), (43999, 46001)):
            rt.push_audio(f32[a:b])
            ready.append(rt.ticks_available())
            got += pull_all(rt)
        assert ready == [0, 22, 0, 32]  # chunk 0 then chunk 1, each once its audio is there
        rt.end_utterance()
        assert rt.ticks_available() == 58 - 54  # 46001 samples: 58 ticks, the partial one counted
        got += pull_all(rt)
        assert [i for i, _ in got] == list(range(58))
        assert all(np.array_equal(img, want) for (_, img), want in zip(got, host)), kind
        assert np.array_equal(rt.get_source_frame(-1), fx._rest) and rt.get_source_frame(3) is None
        pipe = fx._host
        rt.close()  # ends the fixture's model host and its threads
        assert pipe.proc.returncode is not None and not any(t.is_alive() for t in pipe.threads)
    # The resting picture is the chain's picture of silence: a fresh stream's first frame.
    rt = _core.Runtime(demo)
    rt.push_audio(np.zeros(800, np.float32))
    rt.end_utterance()
    assert np.array_equal(rt.pull_frame(-1)[1], demo._rest)


def test_silence_releases_the_rest_and_speech_after_it_restarts_the_renderer(demo):
    pcm = speech_i16(30000, seed=1).astype(np.float32) / INT16_MAX
    later = speech_i16(26000, seed=2).astype(np.float32) / INT16_MAX
    rt = _core.Runtime(demo)
    rt.push_audio(pcm)
    assert rt.ticks_available() == 22
    rt.push_audio(np.zeros(6399, np.float32))
    assert rt.ticks_available() == 22
    rt.push_audio(np.zeros(1, np.float32))  # 8 ticks of exact zeros: the end of the utterance
    got = pull_all(rt)
    assert len(got) == 36400 // 800
    ref = _core.Runtime(demo)
    ref.push_audio(np.concatenate([pcm, np.zeros(6400, np.float32)]))
    ref.end_utterance()
    assert all(np.array_equal(a[1], b[1]) for a, b in zip(got, pull_all(ref)))
    # Speech again in the same utterance: its frames come from a renderer started at tick 45,
    # with the 400 samples of silence of that tick already pushed.
    rt.push_audio(later)
    got = pull_all(rt)
    assert [i for i, _ in got] == list(range(45, 45 + 22))
    fresh = _core.Runtime(demo)
    fresh.push_audio(np.concatenate([np.zeros(400, np.float32), later]))
    assert all(np.array_equal(a[1], b[1]) for a, b in zip(got, pull_all(fresh)))


def test_loop_thread_calls_never_wait_for_the_host(demo):
    rt = _core.Runtime(demo)
    os.kill(demo._host.proc.pid, signal.SIGSTOP)  # the host renders nothing until it is let go
    try:
        worker = threading.Thread(target=rt.push_audio, args=(np.full(25600, 0.1, np.float32),))
        worker.start()
        while rt._pushed < 25600:  # the worker has taken the audio and waits for the host
            worker.join(0.001)
        assert rt.ticks_available() == 0
        assert np.array_equal(rt.get_source_frame(-1), demo._rest)
        assert rt.samples_for_chunk(1) == 44000
        rt.reset_stream()  # forgets the utterance now; what the host makes of it is dropped
        assert worker.is_alive()
    finally:
        os.kill(demo._host.proc.pid, signal.SIGCONT)
    worker.join(WAIT_S)
    assert rt.ticks_available() == 0
    rt.push_audio(np.full(25600, 0.1, np.float32))
    assert rt.ticks_available() == 22  # the chain started over, not holding the old audio
    rt.reset_stream()
    rt.push_audio(np.full(800, 0.1, np.float32))
    other = _core.Runtime(demo)  # another stream takes the host: this one cannot go on
    other.push_audio(np.zeros(800, np.float32))
    with pytest.raises(RuntimeError, match="reset_stream"):
        rt.push_audio(np.full(800, 0.1, np.float32))


def test_live_stream_carries_the_chains_pictures_each_with_its_voice(demo):
    from quorvane._avatar import AsyncAvatar

    pcm = speech_i16(30000, seed=3)

    async def main():
        a = await AsyncAvatar.create(model_path=DEMO, output_size=None)
        assert a.fps == 20 and (a.frame_width, a.frame_height) == (416, 720)
        for k in range(0, pcm.size, 320):  # 20 ms chunks
            await a.push_audio(pcm[k : k + 320].tobytes(), sample_rate=16000, last_chunk=k + 320 >= pcm.size)
        resting, spoken = [], []

        async def consume():
            async for f in a.run():
                if getattr(f, "_qv_resting", False):
                    resting.append(f)
                elif f.bgr_image is not None and f.source_message_id is not None:
                    spoken.append(f)  # not the last picture again, for want of the next chunk
                if f.end_of_speech:
                    return

        await asyncio.wait_for(consume(), WAIT_S)
        await a.shutdown()
        return resting, spoken

    resting, spoken = asyncio.run(main())
    n = -(-pcm.size // 800)
    assert [f.frame_index for f in spoken] == list(range(n)) and spoken[-1].end_of_speech
    voice = np.concatenate([f.audio_chunk.data for f in spoken])
    want = (np.clip(pcm.astype(np.float32) / INT16_MAX, -1, 1) * INT16_MAX).astype(np.int16)
    assert np.array_equal(voice[: pcm.size], want) and not voice[pcm.size :].any()
    ref = _core.Runtime(demo)
    ref.push_audio(pcm.astype(np.float32) / INT16_MAX)
    ref.end_utterance()
    assert all(np.array_equal(f.bgr_image, img) for f, (_, img) in zip(spoken, pull_all(ref)))
    assert all(np.array_equal(f.bgr_image, demo._rest) for f in resting)


def test_compose_mode_refuses_a_mirrant2_bundle_at_create():
    from quorvane._avatar import AsyncAvatar

    with pytest.raises(ValueError, match=r"output_size=None"):
        asyncio.run(AsyncAvatar.create(model_path=DEMO))


def test_an_avatar_at_a_path_that_is_not_utf8_opens_in_both_apis(tmp_path):
    # Such a path reached the host as text it could not pass on: it exited 1 in both APIs.
    import shutil

    import quorvane
    from quorvane._avatar import AsyncAvatar

    odd = tmp_path / os.fsdecode(b"avatar-\xff")
    odd.mkdir()
    path = str(odd / "avatar.imx")
    shutil.copy(DEMO, path)
    speech = speech_i16(16000).tobytes()
    with quorvane.open(path) as avatar, quorvane.open(DEMO) as plain:
        got, want = list(avatar.render(speech)), list(plain.render(speech))
    assert len(got) == len(want) > 0 and all(np.array_equal(a, b) for a, b in zip(got, want))

    async def live():
        avatar = await AsyncAvatar.create(model_path=path, output_size=None)
        try:
            return avatar._fixture._rest.copy()
        finally:
            await avatar.shutdown()

    fx = _core.Fixture(DEMO)
    try:
        assert np.array_equal(asyncio.run(live()), fx._rest)
    finally:
        fx.stop_host()


@pytest.mark.parametrize("members", [{"canon.bin": CANON[:-4], "combined_litert.tflite": COMBINED},
                                     {"canon.bin": CANON, "combined_litert.tflite": b"junk"}],
                         ids=["short-canon", "junk-model"])
def test_a_bundle_that_breaks_the_contract_is_an_unusable_avatar_to_both_apis(tmp_path, members):
    import quorvane
    from quorvane._avatar import AsyncAvatar
    from quorvane._errors import InvalidAvatar

    bundle = make(tmp_path, "imx", members)
    with pytest.raises(InvalidAvatar) as e:
        quorvane.open(bundle)
    assert e.value.detail.startswith("FATAL: ") and ("canon.bin" in e.value.detail or bundle in e.value.detail)
    with pytest.raises(ValueError, match=f"not a usable mirrant-2 avatar: {bundle}: FATAL: "):
        asyncio.run(AsyncAvatar.create(model_path=bundle, output_size=None))
