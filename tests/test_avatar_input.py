"""AsyncAvatar's audio input: the controls queued, the arrival clock, and the two conversions that
bring a control's audio to 16 kHz float32 (held bit for bit against plain NumPy)."""

import array
import asyncio
import types
import warnings

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from avatar_fakes import WAIT_S
from quorvane import _avatar, _models
from quorvane._avatar import AsyncAvatar, _i16_to_f32, _resample_linear
from reference import live_audio as ref


class FakeTime:
    def __init__(self, start=100.0):
        self.now = start

    def monotonic(self):
        self.now += 1.0
        return self.now


@pytest.fixture
def clock(monkeypatch):
    t = FakeTime()
    monkeypatch.setattr(_avatar, "time", types.SimpleNamespace(monotonic=t.monotonic))
    return t


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, WAIT_S))


def queued(av):
    out = []
    while not av._in_queue.empty():
        out.append(av._in_queue.get_nowait())
    return out


def clock_of(av):
    return {k: getattr(av, k) for k in ("_arr_t0", "_arr_s", "_arr_done", "_arr_t_end") if hasattr(av, k)}


class TestPushAudio:
    def test_one_control_per_call_and_last_chunk_by_default(self, clock):
        async def go():
            av = AsyncAvatar()
            await av.push_audio(b"\x01\x00\x02\x00", 16000)
            return av

        av = run(go())
        [ctl] = queued(av)
        assert isinstance(ctl, _models.VideoControl) and ctl.audio.last_chunk is True
        assert ctl.audio.data.tolist() == [1, 2] and ctl.audio.sample_rate == 16000
        assert clock_of(av) == {"_arr_t0": 101.0, "_arr_s": 4 / 2 / 16000, "_arr_done": True, "_arr_t_end": 102.0}

    @pytest.mark.parametrize("n_bytes, rate, seconds", [
        (32000, 16000, 1.0), (32000, 48000, 32000 / 2 / 48000), (32000, 22050.5, 32000 / 2 / 22050.5),
        (0, 16000, 0.0),
    ])
    @pytest.mark.parametrize("wrap", [bytes, lambda b: memoryview(b).cast("h"), lambda b: np.frombuffer(b, np.int16),
                                      lambda b: array.array("h", b)], ids=["bytes", "int16-view", "ndarray", "array"])
    def test_seconds_added_to_the_clock(self, clock, n_bytes, rate, seconds, wrap):
        # The records stand-in keeps the rate as given; only the clock's arithmetic is under test.
        # Agent frameworks hand over typed buffers: their bytes count, not their len().
        async def go():
            av = AsyncAvatar()
            await av.push_audio(wrap(bytes(n_bytes)), rate, last_chunk=False)
            await av.push_audio(wrap(bytes(n_bytes)), rate, last_chunk=False)
            return av

        av = run(go())
        assert av._arr_s == seconds + seconds and av._arr_t0 == 101.0 and av._arr_done is False
        assert not hasattr(av, "_arr_t_end") and len(queued(av)) == 2

    def test_a_push_after_the_end_starts_a_new_arrival(self, clock):
        async def go():
            av = AsyncAvatar()
            await av.push_audio(bytes(3200), 16000, last_chunk=False)
            await av.push_audio(bytes(3200), 16000, last_chunk=True)
            first = clock_of(av)
            await av.flush()  # a second end keeps the first end time
            assert clock_of(av) == first
            await av.push_audio(bytes(6400), 16000, last_chunk=False)
            return av, first

        av, first = run(go())
        assert first == {"_arr_t0": 101.0, "_arr_s": 0.2, "_arr_done": True, "_arr_t_end": 102.0}
        assert clock_of(av) == {"_arr_t0": 103.0, "_arr_s": 0.2, "_arr_done": False, "_arr_t_end": 102.0}
        kinds = [(c.audio is not None, c.end_of_speech) for c in queued(av)]
        assert kinds == [(True, False), (True, False), (False, True), (True, False)]

    def test_flush_without_arrival_sets_only_the_end(self, clock):
        async def go():
            av = AsyncAvatar()
            await av.flush()
            assert clock_of(av) == {"_arr_done": True, "_arr_t_end": 101.0}
            await av.push_audio(bytes(320), 16000, last_chunk=False)
            return av

        av = run(go())
        assert clock_of(av) == {"_arr_t0": 102.0, "_arr_s": 0.01, "_arr_done": False, "_arr_t_end": 101.0}

    def test_push_queues_anything_and_leaves_the_clock_alone(self, clock):
        async def go():
            av = AsyncAvatar()
            ctl = _models.VideoControl.from_audio(bytes(3200), 16000, True)
            await av.push(ctl)
            await av.push("not a control")
            return av, ctl

        av, ctl = run(go())
        assert queued(av) == [ctl, "not a control"] and clock_of(av) == {}

    @pytest.mark.parametrize("data, rate, exc, got", [
        (np.zeros(16000, np.float32), 16000, TypeError, "a float32 array"),
        (np.zeros(16000, np.float64), 16000, TypeError, "a float64 array"),
        (np.zeros(16000, np.int32), 16000, TypeError, "an int32 array"),
        (np.zeros(16000, ">i2"), 16000, TypeError, "a >i2 array"),
        (np.zeros((8000, 2), np.int16), 16000, ValueError, "an int16 array of shape (8000, 2)"),
        ([1, 2, 3, 4], 16000, TypeError, "a list"),
        (memoryview(np.zeros(4, np.float32)), 16000, TypeError, "a memoryview of format 'f'"),
        (array.array("i", [0, 0]), 16000, TypeError, "an array of format 'i'"),
        (memoryview(bytes(8)).cast("h", (2, 2)), 16000, ValueError, "a memoryview of 2 dimensions"),
        (b"abc", 16000, ValueError, "3 bytes"),
        (bytes(4), 0, ValueError, "got 0"), (bytes(4), None, ValueError, "got None"),
        (bytes(4), float("nan"), ValueError, "got nan"), (bytes(4), -16000, ValueError, "got -16000"),
        (bytes(4), float("inf"), ValueError, "got inf"), (bytes(4), True, ValueError, "got True"),
        (bytes(4), "16000", ValueError, "got '16000'"),
        # A NumPy scalar offers a buffer of one sample, but the records' bytes() reads it as a length.
        (np.int16(30000), 16000, TypeError, "an int16, 0-d"), (np.int16(-5), 16000, TypeError, "an int16, 0-d"),
        (np.array(7, np.int16), 16000, TypeError, "a 0-d int16 array"),
        (bytes(4), 1e-6, ValueError, "got 1e-06"), (bytes(4), 999, ValueError, "got 999"),
        (bytes(4), 768_001, ValueError, "got 768001"),
    ], ids=["float32", "float64", "int32", "big-endian", "stereo", "list", "float-view", "int32-array", "2-d-view",
            "odd-bytes", "rate-0", "rate-None", "rate-nan", "rate-negative", "rate-inf", "rate-bool", "rate-str",
            "int16-scalar", "negative-int16-scalar", "0-d-array", "rate-tiny", "rate-below-1k", "rate-above-768k"])
    def test_refused_input_queues_nothing_and_the_stream_goes_on(self, clock, data, rate, exc, got):
        # Bytes of anything but int16 mono would be read as samples (a float32 second plays as two
        # seconds of noise); a bad rate would only fail later, in the producer, and end run().
        async def go():
            av = AsyncAvatar()
            with pytest.raises(exc) as err:
                await av.push_audio(data, rate)
            assert queued(av) == [] and clock_of(av) == {}
            await av.push_audio(np.array([5, -5], np.int16), 16000)
            return av, str(err.value)

        av, msg = run(go())
        assert got in msg and ("int16" in msg or "16-bit" in msg or "sample_rate" in msg)
        [ctl] = queued(av)
        assert ctl.audio.data.tolist() == [5, -5] and av._arr_s == 2 / 16000

    def test_the_clock_is_up_to_date_while_the_put_waits(self, clock):
        async def go():
            av = AsyncAvatar(input_buffer_size=1)
            await av.push("filler")
            task = asyncio.ensure_future(av.push_audio(bytes(16000), 16000, last_chunk=True))
            await asyncio.sleep(0.01)
            assert not task.done() and av._arr_s == 0.5 and av._arr_done is True
            task.cancel()
            with pytest.raises(asyncio.CancelledError):
                await task
            return av

        av = run(go())
        assert queued(av) == ["filler"] and av._arr_s == 0.5

    def test_negative_seconds_add_nothing(self, clock):
        av = AsyncAvatar()
        av._note_arrival(-3.0)
        av._note_arrival(float("nan"))
        av._note_arrival(2)
        assert av._arr_s == 2.0 and av._arr_t0 == 101.0
        av._arrival_dropped()
        assert clock_of(av) == {"_arr_t0": None, "_arr_s": 0.0, "_arr_done": False}


class TestI16ToF32:
    def test_every_int16_value_matches_numpy(self):
        pcm = np.arange(-32768, 32768, dtype=np.int16)
        got = _i16_to_f32(pcm)
        assert got.dtype == np.float32 and np.array_equal(got.view(np.uint32), ref.i16_to_f32(pcm).view(np.uint32))

    @pytest.mark.parametrize("arr", [
        np.arange(-6, 6, dtype=np.int16).reshape(3, 4),
        np.arange(-6, 6, dtype=np.int16)[::2],
        np.array([1.5, -2.0]),
        np.array([7, -9], dtype=np.int32),
        np.zeros(0, dtype=np.int16),
    ])
    def test_shapes_and_other_dtypes_as_numpy_gives_them(self, arr):
        got, want = _i16_to_f32(arr), ref.i16_to_f32(arr)
        assert got.dtype == want.dtype and got.shape == want.shape and np.array_equal(got, want)

    def test_scale_is_read_at_each_call(self, monkeypatch):
        monkeypatch.setattr(_avatar, "INT16_MAX", 32768.0)
        pcm = np.array([-32768, 16384, 1], dtype=np.int16)
        assert _i16_to_f32(pcm).tolist() == [-1.0, 0.5, 1 / 32768]


class TestResample:
    @pytest.mark.parametrize("n, src, dst, n_out", [(5, 16000, 8000, 2), (7, 16000, 8000, 4), (1, 48000, 16000, 0),
                                                    (1, 16000, 48000, 3), (4800, 48000, 16000, 1600),
                                                    (3, 16000, 44100, 8), (2, 8000, 16000.0, 4)])
    def test_output_length_rounds_half_to_even(self, n, src, dst, n_out):
        pcm = np.linspace(-0.5, 0.5, n, dtype=np.float32)
        got = _resample_linear(pcm, src, dst)
        assert got.size == n_out and got.dtype == np.float32
        if n_out:
            assert got[0] == pcm[0]

    def test_one_sample_up_is_copies_and_down_is_empty_of_its_dtype(self):
        one = np.array([0.25], dtype=np.float32)
        assert _resample_linear(one, 16000, 48000).tolist() == [0.25] * 3
        down = _resample_linear(np.array([3], dtype=np.int16), 48000, 16000)
        assert down.size == 0 and down.dtype == np.int16

    @pytest.mark.parametrize("pcm", [np.ones(4, np.float32), np.zeros(0, np.float32), np.zeros(0, np.int16)])
    def test_equal_rates_and_empty_input_give_the_same_object(self, pcm):
        assert _resample_linear(pcm, 16000, 16000) is pcm
        if pcm.size == 0:
            assert _resample_linear(pcm, 48000, 16000) is pcm

    def test_zero_source_rate_divides_by_zero(self):
        with pytest.raises(ZeroDivisionError):
            _resample_linear(np.ones(4, np.float32), 0, 16000)

    @pytest.mark.parametrize("dtype", [np.float32, np.float64])
    @pytest.mark.parametrize("seed", range(12))
    def test_matches_numpy_interp_bit_for_bit(self, dtype, seed):
        rng = np.random.default_rng(seed)
        rates = [8000, 11025, 16000, 22050, 24000, 32000, 44100, 48000, 96000, 7, 3]
        for _ in range(60):
            n = int(rng.choice([1, 2, 3, 4, 5, 7, 31, 160, 441, 1000, 4099]))
            src, dst = (int(r) for r in rng.choice(rates, size=2))
            if n * dst / src > 50_000:
                continue
            pcm = (rng.standard_normal(n) * rng.choice([1e-3, 0.5, 3.0])).astype(dtype)
            got, want = _resample_linear(pcm, src, dst), ref.resample_linear(pcm, src, dst)
            assert got.dtype == want.dtype and got.shape == want.shape, (n, src, dst)
            assert got.tobytes() == want.tobytes(), (n, src, dst)

    def test_special_values_and_strided_input_match_numpy(self):
        pcm = np.array([0.0, np.inf, 1.0, np.nan, -np.inf, -np.inf, 2.0, 5e-324, -0.0], dtype=np.float64)
        for src, dst in [(9, 40), (9, 5), (3, 7)]:
            assert _resample_linear(pcm, src, dst).tobytes() == ref.resample_linear(pcm, src, dst).tobytes()
        strided = np.arange(40, dtype=np.float32)[::3]
        assert _resample_linear(strided, 16000, 48000).tobytes() == ref.resample_linear(strided, 16000, 48000).tobytes()

    @pytest.mark.parametrize("pcm", [np.arange(-50, 50, 7, dtype=np.int16), np.arange(9, dtype=np.float16),
                                     np.array([1 + 2j, 3 - 1j, 0j])])
    def test_other_dtypes_go_through_numpy(self, pcm):
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", np.exceptions.ComplexWarning)
            got, want = _resample_linear(pcm, 16000, 40000), ref.resample_linear(pcm, 16000, 40000)
        assert got.dtype == want.dtype and got.tobytes() == want.tobytes()


@settings(max_examples=300, deadline=None)
@given(st.lists(st.floats(allow_nan=True, allow_infinity=True, width=32), min_size=1, max_size=60),
       st.integers(1, 48000), st.integers(1, 48000), st.sampled_from([np.float32, np.float64]))
def test_resampler_is_numpy_interp_for_any_samples(values, src, dst, dtype):
    pcm = np.array(values, dtype=dtype)
    if pcm.size * dst / src > 20_000:
        return
    with np.errstate(invalid="ignore", over="ignore"):
        want = ref.resample_linear(pcm, src, dst)
    got = _resample_linear(pcm, src, dst)
    assert got.dtype == want.dtype and got.tobytes() == want.tobytes()
