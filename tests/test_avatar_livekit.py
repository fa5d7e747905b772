"""The live avatar against a real agent framework's objects: its audio frames (typed int16 buffers),
its audio source that plays out in real time, its synchroniser and avatar runner as sync_to sinks,
and a barge-in through the video generator's clear_buffer, as an avatar plugin wires them."""

import asyncio
from pathlib import Path

import numpy as np
import pytest

rtc = pytest.importorskip("livekit.rtc")
lk_avatar = pytest.importorskip("livekit.agents.voice.avatar")

from quorvane._avatar import AsyncAvatar  # noqa: E402

DATA = Path(__file__).parent / "data"
SR = 16000


def audio_frame(samples):
    pcm = np.asarray(samples, dtype=np.int16)
    return rtc.AudioFrame(data=pcm.tobytes(), sample_rate=SR, num_channels=1, samples_per_channel=pcm.size)


class Generator(lk_avatar.VideoGenerator):
    """What an avatar plugin for this package does: the agent's audio into the avatar, barge-in to
    interrupt(), and the avatar's frames out as the framework's own frames."""

    def __init__(self, avatar):
        self.avatar = avatar
        self.handed = []  # (kind, source message id) in the order handed to the runner

    async def push_audio(self, frame):
        if isinstance(frame, lk_avatar.AudioSegmentEnd):
            await self.avatar.flush()
        else:
            await self.avatar.push_audio(frame.data, frame.sample_rate, last_chunk=False)

    def clear_buffer(self):
        self.avatar.interrupt()

    def __aiter__(self):
        return self.frames()

    async def frames(self):
        async for f in self.avatar.run():
            if f.audio_chunk is not None:
                self.handed.append(("voice", f.source_message_id, f.audio_chunk.data.copy()))
                yield audio_frame(f.audio_chunk.data)
            if f.bgr_image is not None:
                h, w, _ = f.bgr_image.shape
                rgba = np.dstack([f.bgr_image[..., ::-1], np.full((h, w), 255, np.uint8)])
                self.handed.append(("picture", f.source_message_id, None))
                yield rtc.VideoFrame(w, h, rtc.VideoBufferType.RGBA, rgba.tobytes())


def runner_for(gen, w, h, fps):
    opts = lk_avatar.AvatarOptions(video_width=w, video_height=h, video_fps=fps, audio_sample_rate=SR, audio_channels=1)
    return lk_avatar.AvatarRunner(rtc.Room(), audio_recv=lk_avatar.QueueAudioOutput(sample_rate=SR), video_gen=gen,
                                  options=opts)


def test_sync_to_real_sinks_and_a_barge_in_through_the_generator():
    async def main():
        avatar = await AsyncAvatar.create(model_path=str(DATA / "corvine1.qvfx"), output_size=None)
        gen = Generator(avatar)
        runner = runner_for(gen, avatar.frame_width, avatar.frame_height, avatar.fps)
        source = runner.av_sync._audio_source
        readers = []
        for sink in (runner, runner.av_sync, source):
            avatar.sync_to(sink)
            readers.append(avatar._audio_queued)
        await runner.av_sync.push(audio_frame(np.zeros(1600)))
        # Each leads to the one source that plays out in real time (read within a few ms).
        seconds = [r() for r in readers] + [source.queued_duration]
        assert max(seconds) - min(seconds) < 0.01 and min(seconds) > 0.05

        async def forward():  # the runner's own forwarding, without a room to publish to
            async for frame in gen:
                await runner.av_sync.push(frame)

        forwarder = asyncio.create_task(forward())
        first = np.full(SR, 1000, np.int16)  # one second, in the framework's 10 ms frames
        for k in range(0, first.size, 160):
            await gen.push_audio(audio_frame(first[k:k + 160]))
        assert avatar._arr_s == pytest.approx(1.0)  # typed buffers: their bytes count
        while sum(1 for kind, _, _ in gen.handed if kind == "picture") < 5:
            await asyncio.sleep(0.01)
        dropped = {mid for _, mid, _ in gen.handed if mid is not None}
        mark = len(gen.handed)
        gen.clear_buffer()
        await runner.av_sync.clear_queue()
        reply = np.arange(1, 6401, dtype=np.int16)
        await gen.push_audio(audio_frame(reply))
        await gen.push_audio(lk_avatar.AudioSegmentEnd())
        for _ in range(500):
            if any(kind == "voice" and mid not in dropped and mid is not None for kind, mid, _ in gen.handed[mark:]) \
                    and sum(1 for kind, mid, _ in gen.handed[mark:] if kind == "picture" and mid not in dropped) >= 10:
                break
            await asyncio.sleep(0.02)
        avatar.cleanup()
        await asyncio.wait_for(forwarder, 5)
        await runner.av_sync.aclose()
        await source.aclose()
        return dropped, gen.handed[mark:]

    dropped, after = asyncio.run(main())
    assert [mid for _, mid, _ in after if mid in dropped] == []
    voices = [v for kind, mid, v in after if kind == "voice" and mid is not None]
    assert np.array_equal(np.concatenate(voices), np.arange(1, 6401, dtype=np.int16))
