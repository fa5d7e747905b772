"""One utterance through the whole live avatar on the stand-in fixtures: pushed speech in, every
tick out of run() in order with its end-of-speech mark, voice first with a sink, and cleanup ending
the consumer's iteration."""

import asyncio
import math
import os

import numpy as np
import pytest

from quorvane._avatar import AsyncAvatar

DATA = os.path.join(os.path.dirname(__file__), "data")


def speech(seconds):
    t = np.arange(int(seconds * 16000)) / 16000
    return (np.sin(2 * np.pi * 220 * t) * 12000).astype("<i2").tobytes()


class Sink:
    """Counts the voice handed over as queued and never plays it: pictures go out at the end."""

    queued_duration = 0.0


@pytest.mark.parametrize(
    "name, output_size, spt",
    [("corvine1", None, 640), ("corvine1", (128, 96), 640), ("mirrant2", None, 800)],
    ids=["corvine1-streaming", "corvine1-compose", "mirrant2-paced"],
)
@pytest.mark.parametrize("with_sink", [False, True], ids=["direct", "voice-first"])
def test_one_utterance(name, output_size, spt, with_sink):
    async def main():
        a = await AsyncAvatar.create(model_path=os.path.join(DATA, f"{name}.qvfx"), output_size=output_size)
        if with_sink:
            a.sync_to(Sink())
        await a.push_audio(speech(0.5), sample_rate=16000, last_chunk=True)
        voices, pictures, whole = [], [], []

        async def consume():
            async for f in a.run():
                if f.audio_chunk is not None and f.audio_chunk.data.any():
                    (whole if f.bgr_image is not None else voices).append(f)
                elif f.bgr_image is not None and f.audio_chunk is None:
                    pictures.append(f)
                # cleanup() drops what is still held for the sink: the application closes once
                # the utterance has been shown, its last picture included.
                spoken = voices if with_sink else whole
                shown = [p for p in pictures if spoken and p.source_message_id == spoken[0].source_message_id]
                if spoken and spoken[-1].end_of_speech and (not with_sink or len(shown) == len(spoken)):
                    a.cleanup()

        await asyncio.wait_for(consume(), 20)
        n = math.ceil(8000 / spt)
        spoken = voices if with_sink else whole
        assert [f.frame_index for f in spoken] == list(range(n))
        assert spoken[-1].end_of_speech and not any(f.end_of_speech for f in spoken[:-1])
        assert all(f.audio_chunk.data.size == spt for f in spoken)
        if with_sink:
            # Every held picture of the utterance came out, in order, after its voice.
            speech_pictures = [f.frame_index for f in pictures if f.source_message_id == spoken[0].source_message_id]
            assert speech_pictures == list(range(n))
        assert a._fixture is None and not a._running

    asyncio.run(main())
