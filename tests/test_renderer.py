"""The renderer's chunk schedule and frame numbering.

Most cases run on a recording fake chain (fast, and it tells which latent and phase made each
frame); the main ones are confirmed on the real test models.
"""

from pathlib import Path

import numpy as np
import pytest

from quorvane._mirrant2 import _tensorhost as th

DATA = Path(__file__).parent / "data"
FRAME_BYTES = 720 * 416 * 3


class FakeChain:
    """A chain whose latent L is filled with L and whose decoder paints model frame 4L + phase."""

    def __init__(self, fail_at_step=None):
        self.tok_rows = []  # token row ids given to run_step, in order
        self.windows = []  # the scaled tempo arrays given to run_enc
        self.n_steps = 0
        self.fail_at_step = fail_at_step

    def new_hist(self):
        return np.zeros((1, 16, 16, 90, 52), np.float32)

    def shift_hist(self, h, lat):
        h[0, :, :-1] = h[0, :, 1:].copy()
        h[0, :, -1] = np.asarray(lat, np.float32).reshape(16, 90, 52)

    def run_enc(self, tempo):
        self.windows.append(np.array(tempo))
        return np.zeros((1, 4), np.float32)

    def run_tok(self, feats):
        return np.broadcast_to(np.arange(14, dtype=np.float32)[:, None, None], (14, 16, 384)).copy()

    def run_step(self, hist, atok):
        if self.fail_at_step is not None and self.n_steps == self.fail_at_step:
            raise RuntimeError("step failed on purpose")
        self.tok_rows.append(int(atok.flat[0]))
        lat = np.full((16, 90, 52), self.n_steps, np.float32)
        self.n_steps += 1
        return lat

    def run_dec_frames(self, xs, n):
        out = []
        for r in range(n):
            lat = int(xs[r, 0, 0, 0])
            phase = int(np.argmax(xs[r, 32:36, 0, 0]))
            f = 4 * lat + phase
            # A byte that names the model frame: (k + 0.5) / 255 scales back to k + 0.5.
            out.append(np.full((3, 720, 416), ((f % 256) + 0.5) / 255, np.float32))
        return out


def model_frame(frame):
    return int(frame[0])


def fake_renderer(**kw):
    return th.Renderer(FakeChain(**kw))


def speech(n, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(n) / 16000
    return (0.4 * np.sin(2 * np.pi * 180 * t) * (1 + 0.5 * np.sin(2 * np.pi * 3 * t)) + 0.02 * rng.standard_normal(n)).astype(np.float32)


class TestSchedule:
    def test_chunk0_waits_for_25600_samples(self):
        r = fake_renderer()
        r.feed(speech(25599))
        assert r.ready_chunks() == []
        r.feed(speech(1))
        pairs = r.ready_chunks()
        assert [i for i, _ in pairs] == list(range(3, 25))
        assert [model_frame(f) for _, f in pairs] == [3] + list(range(3, 24))
        first, second = pairs[0][1], pairs[1][1]
        assert np.shares_memory(first, second) and bytes(first) == bytes(second)
        assert all(f.shape == (FRAME_BYTES,) and f.dtype == np.uint8 and not f.flags.writeable for _, f in pairs)
        assert r.chain.tok_rows == [0, 1, 2, 3, 4, 5]

    def test_44000_in_one_block_renders_chunks_0_and_1(self):
        r = fake_renderer()
        r.feed(speech(44000))
        pairs = r.ready_chunks()
        assert [i for i, _ in pairs] == list(range(3, 57))
        # Model frame f is presented at index f + 1 after the doubled first frame.
        assert all(model_frame(f) == i - 1 for i, f in pairs[1:])
        assert r.chain.tok_rows == list(range(6)) + list(range(6, 14))
        assert (r.ci, r._need(2), r.buf_base) == (2, 69600, 25600)

    @pytest.mark.parametrize("ci, need", [(0, 25600), (1, 44000), (2, 69600), (5, 146400)])
    def test_need(self, ci, need):
        assert th.Renderer._need(ci) == need

    def test_steady_stream_in_small_blocks(self):
        r = fake_renderer()
        audio = speech(200000)
        pairs = []
        for i in range(0, audio.size, 320):
            r.feed(audio[i : i + 320])
            pairs += r.ready_chunks()
            assert r.buf_base <= th.Renderer._need(r.ci) - 44000 or r.ci <= 1
        n_chunks = r.ci
        assert n_chunks == 1 + (200000 - 44000) // 25600 + 1
        assert [i for i, _ in pairs] == list(range(3, 3 + 22 + 32 * (n_chunks - 1)))
        assert r.buf_base == (n_chunks - 1) * 25600
        assert r.chain.tok_rows == list(range(6)) + list(range(6, 14)) * (n_chunks - 1)

    def test_chunk0_window_holds_only_its_first_25600_samples(self):
        r = fake_renderer()
        audio = speech(44000)
        r.feed(audio)
        w0 = r._window(0)
        assert np.array_equal(w0[:25600], audio[:25600]) and not w0[25600:].any()
        r.ready_chunks()
        expected = th.tempo_wsola(np.concatenate([audio[:25600], np.zeros(18400, np.float32)])) * np.float32(3.0)
        assert np.array_equal(r.chain.windows[0], expected)
        assert np.array_equal(r.chain.windows[1], th.tempo_wsola(audio) * np.float32(3.0))

    def test_window_of_consumed_audio_raises(self):
        r = fake_renderer()
        r.feed(speech(44000))
        r.ready_chunks()
        with pytest.raises(RuntimeError, match="^consumed audio context requested$"):
            r._window(0)

    def test_window_past_the_fed_audio_is_zero(self):
        r = fake_renderer()
        r.feed(speech(1000))
        assert not r._window(3).any() and r._window(3).shape == (44000,)

    def test_empty_feed_changes_nothing(self):
        r = fake_renderer()
        r.feed(np.zeros(0, np.float32))
        r.feed(np.zeros((0, 3), np.float64))
        assert (r.fed_samples, r.ready_chunks(), r.ci) == (0, [], 0)

    def test_feed_rejects_multidimensional_pcm(self):
        r = fake_renderer()
        with pytest.raises(ValueError, match="one-dimensional PCM required"):
            r.feed(np.zeros((2, 2), np.float32))

    @pytest.mark.parametrize("pcm, kind", [(np.array(["a", "b"]), ValueError), (["x"], ValueError),
                                           ([object()], TypeError)])
    def test_feed_passes_on_the_conversion_error(self, pcm, kind):
        r = fake_renderer()
        r.feed(speech(10))
        with pytest.raises(kind, match="float"):
            r.feed(pcm)
        assert r.fed_samples == 10 and r._pcm.counters()["input_samples_copied"] == 10

    def test_feed_of_its_own_buffer_is_copied_first(self):
        r = fake_renderer()
        audio = speech(1000)
        r.feed(audio)
        r.feed(r.buf[::-2])
        assert r._pcm.aliased_samples_snapshotted == 500
        assert np.array_equal(r.buf, np.concatenate([audio, audio[::-2]]))

    def test_feed_converts_and_mirrors_the_buffer(self):
        r = fake_renderer()
        r.feed(np.array([0.5, -0.25], np.float64))
        r.feed([1, 2, 3])
        assert r.fed_samples == 5 and r.buf_base == 0
        assert np.array_equal(r.buf, np.array([0.5, -0.25, 1, 2, 3], np.float32))


class TestFlush:
    def test_nothing_fed_renders_chunk0_from_silence_once(self):
        r = fake_renderer()
        pairs = r.flush_chunks()
        assert [i for i, _ in pairs] == list(range(3, 25))
        assert not r.chain.windows[0].any()
        assert r.flush_chunks() == []

    @pytest.mark.parametrize("fed, chunks", [(16000, 1), (16801, 2), (16800, 1), (42400, 2), (42401, 3)])
    def test_chunk_count_follows_the_last_fed_frame(self, fed, chunks):
        r = fake_renderer()
        r.feed(speech(fed))
        r.flush_chunks()
        assert r.ci == chunks

    def test_right_after_chunk0_renders_chunk1_padded(self):
        r = fake_renderer()
        audio = speech(25600)
        r.feed(audio)
        assert len(r.ready_chunks()) == 22
        pairs = r.flush_chunks()
        assert [i for i, _ in pairs] == list(range(25, 57))
        padded = np.concatenate([audio, np.zeros(18400, np.float32)])
        assert np.array_equal(r.chain.windows[1], th.tempo_wsola(padded) * np.float32(3.0))

    def test_feeding_after_a_flush_continues_the_timeline(self):
        r = fake_renderer()
        r.feed(speech(16000))
        first = r.flush_chunks()
        r.feed(speech(60000, seed=1))
        later = r.ready_chunks()
        assert first[-1][0] == 24
        assert [i for i, _ in later] == list(range(25, 25 + 32 * len(later) // 32))
        assert r.ci == 1 + len(later) // 32

    def test_reset_restarts_everything(self):
        r = fake_renderer()
        r.feed(speech(30000))
        r.ready_chunks()
        assert r.rtf() is not None and r.prev_lat is not None
        r.reset()
        assert (r.ci, r.px_frame, r.fed_samples, r._c_n, r._c_wall, r.prev_lat, r.rtf()) == (0, 3, 0, 0, 0.0, None, None)
        r.feed(speech(25600))
        assert r.ready_chunks()[0][0] == 3


class ShortChain(FakeChain):
    """A chain from outside that breaks the protocol: too few token rows or decoded frames."""

    def __init__(self, tok_rows=14, frames_short=0):
        super().__init__()
        self.n_tok_rows, self.frames_short = tok_rows, frames_short

    def run_tok(self, feats):
        return super().run_tok(feats)[: self.n_tok_rows]

    def run_dec_frames(self, xs, n):
        return super().run_dec_frames(xs, n)[: n - self.frames_short]


class TestChainProtocolBreaches:
    @pytest.mark.parametrize("fed, rows, match", [(25600, 5, "index 5 is out of bounds for axis 0 with size 5"),
                                                  (44000, 13, "index 13 is out of bounds for axis 0 with size 13"),
                                                  (25600, 0, "index 0 is out of bounds")])
    def test_too_few_token_rows(self, fed, rows, match):
        r = th.Renderer(ShortChain(tok_rows=rows))
        r.feed(speech(fed))
        with pytest.raises(IndexError, match=match):
            r.ready_chunks()
        # The rows that exist were stepped before the missing one was reached.
        assert r.chain.tok_rows == list(range(min(rows, 6))) + list(range(6, rows)) * (fed > 25600)

    def test_too_few_frames(self):
        r = th.Renderer(ShortChain(frames_short=1))
        r.feed(speech(25600))
        with pytest.raises(ValueError, match="returned 20 frames for 21 decoder rows"):
            r.ready_chunks()
        assert (r.ci, r._c_n) == (0, 0)


class TestConversion:
    def test_worker_count_read_once_at_construction(self, monkeypatch):
        monkeypatch.setenv(th.RGB_THREADS_ENV, "3")
        r = fake_renderer()
        monkeypatch.setenv(th.RGB_THREADS_ENV, "5")
        r.reset()
        assert r.rgb_threads == 3 and fake_renderer().rgb_threads == 5

    def test_colour_correction_reaches_every_frame(self):
        table = np.random.default_rng(3).integers(0, 256, (3, 256)).astype(np.uint8)
        cc = th.ColorCorrect("lut", lut=table)
        plain, corrected = fake_renderer(), th.Renderer(FakeChain(), cc)
        assert corrected.cc is cc and plain.cc is None
        for r in (plain, corrected):
            r.feed(speech(44000))
        pairs, want = corrected.ready_chunks(), plain.ready_chunks()
        assert len(pairs) == len(want) == 54
        for (i, got), (j, raw) in zip(pairs, want):
            raw = np.asarray(raw).reshape(720, 416, 3)
            assert i == j and np.array_equal(np.asarray(got).reshape(720, 416, 3),
                                             np.stack([table[c][raw[..., c]] for c in range(3)], -1))


class TestCounters:
    def test_rtf_is_none_until_a_chunk_completes(self):
        r = fake_renderer()
        assert r.rtf() is None
        r.feed(speech(25600))
        r.ready_chunks()
        assert r._c_n == 1 and r._c_wall > 0
        assert r.rtf() == pytest.approx(r._c_wall / 1.6)

    def test_a_failed_chunk_is_not_counted_and_keeps_its_index(self):
        r = fake_renderer(fail_at_step=3)
        r.feed(speech(25600))
        with pytest.raises(RuntimeError, match="step failed on purpose"):
            r.ready_chunks()
        assert (r.ci, r._c_n, r.prev_lat) == (0, 0, None)
        # The history keeps the latents stepped before the failure.
        assert [int(r.hist[0, 0, t, 0, 0]) for t in (13, 14, 15)] == [0, 1, 2]

    def test_history_advances_in_place(self):
        r = fake_renderer()
        h = r.hist
        r.feed(speech(25600))
        r.ready_chunks()
        assert int(h[0, 0, 15, 0, 0]) == 5 and np.shares_memory(h, r.hist)


@pytest.fixture(scope="module")
def real_chain():
    canon = np.fromfile(DATA / "canon.bin", dtype="<f4")
    return th.LitertChain(str(DATA / "combined_litert.tflite"), canon, 1)


def tone(n, amplitude):
    return (amplitude * np.sin(2 * np.pi * 220 * np.arange(n) / 16000)).astype(np.float32)


class TestRealModels:
    def test_schedule(self, real_chain):
        r = th.Renderer(real_chain)
        r.feed(tone(25599, 0.5))
        assert r.ready_chunks() == []
        r.feed(tone(1, 0.5))
        pairs = r.ready_chunks()
        assert [i for i, _ in pairs] == list(range(3, 25)) and bytes(pairs[0][1]) == bytes(pairs[1][1])
        r.feed(tone(18400, 0.5))
        assert [i for i, _ in r.ready_chunks()] == list(range(25, 57))

    def test_audio_reaches_the_pixels(self, real_chain):
        def render(audio):
            r = th.Renderer(real_chain)
            r.feed(audio)
            return np.stack([np.asarray(f).reshape(720, 416, 3) for _, f in r.ready_chunks()])

        quiet, loud = render(np.zeros(44000, np.float32)), render(tone(44000, 0.8))
        assert np.array_equal(quiet, render(np.zeros(44000, np.float32)))
        assert np.array_equal(loud, render(tone(44000, 0.8)))
        mouth = (slice(None), slice(440, 560), slice(140, 276))
        top = (slice(None), slice(0, 160))
        assert loud[mouth].mean() > quiet[mouth].mean() + 10
        assert np.array_equal(loud[top], quiet[top]) or abs(float(loud[top].mean()) - float(quiet[top].mean())) < 1.0
