"""WSOLA tempo change: the compiled functions against the NumPy transcription, bit for bit."""

import numpy as np
import pytest

from quorvane._mirrant2 import _tensorhost as th
from reference import wsola as ref

SR = 16000
HOP = 1120


def speech_like(n, seed):
    """A few harmonics under a syllable-rate envelope, with a little noise."""
    rng = np.random.default_rng(seed)
    t = np.arange(n) / SR
    f0 = 110.0 + 40.0 * np.sin(2 * np.pi * 0.7 * t)
    phase = 2 * np.pi * np.cumsum(f0) / SR
    voiced = sum(np.sin(k * phase) / k for k in range(1, 6))
    env = 0.5 * (1 + np.sin(2 * np.pi * 4.0 * t)) ** 2 / 4
    return (0.6 * env * voiced + 0.01 * rng.standard_normal(n)).astype(np.float32)


def clipping(n, seed):
    """Loud speech that runs past the PCM range, with exact +-1 samples in it."""
    x = 4.0 * speech_like(n, seed)
    x[::97] = 1.0
    x[::89] = -1.0
    return x.astype(np.float32)


def noise(n, seed):
    return np.random.default_rng(seed).uniform(-1.0, 1.0, n).astype(np.float32)


def silence(n, seed):
    return np.zeros(n, dtype=np.float32)


def silence_then_speech(n, seed):
    """Speech after 1800 samples of silence: the first searches see only tied (zero) distances,
    and which tied candidate wins decides what the block copies."""
    x = speech_like(n, seed)
    x[:1800] = 0.0
    return x


def grid_edges(n, seed):
    """Samples exactly on, and one float32 step either side of, the 24-bit rounding points."""
    rng = np.random.default_rng(seed)
    k = rng.integers(-(2**23), 2**23, n)
    x = ((2 * k - 1) / 2.0**25).astype(np.float32)
    step = rng.integers(-1, 2, n).astype(np.int32)
    return (x.view(np.int32) + step).view(np.float32)


SIGNALS = [silence, silence_then_speech, speech_like, clipping, noise, grid_edges]


def assert_bits_equal(got, want):
    assert got.dtype == np.float32 and want.dtype == np.float32
    assert got.shape == want.shape
    assert np.array_equal(got.view(np.uint32), want.view(np.uint32))


class TestTempoWsolaMatchesReference:
    @pytest.mark.parametrize("signal", SIGNALS)
    @pytest.mark.parametrize("factor", [1.25, 1.0, 0.8, 1.5, 2.0])
    def test_renderer_window(self, signal, factor):
        x = signal(44000, seed=7)
        got = th.tempo_wsola(x, factor)
        assert_bits_equal(got, ref.tempo_wsola(x, factor))

    def test_renderer_window_default_factor_gives_tempo_length(self):
        got = th.tempo_wsola(speech_like(44000, seed=3))
        assert got.shape == (35200,)

    @pytest.mark.parametrize("n", [0, 1, 191, 192, 1119, 1120, 1121, 1312, 1400, 2240, 2241, 5000])
    @pytest.mark.parametrize("factor", [1.25, 1.0, 0.5, 0.8, 2.0, 3.7])
    def test_boundary_sizes(self, n, factor):
        x = speech_like(n, seed=n)
        assert_bits_equal(th.tempo_wsola(x, factor), ref.tempo_wsola(x, factor))

    @pytest.mark.parametrize("factor", [0.73, 1.0001, 1.3333333333, 2.5, 9.0])
    def test_odd_factors(self, factor):
        x = noise(12000, seed=11)
        assert_bits_equal(th.tempo_wsola(x, factor), ref.tempo_wsola(x, factor))

    def test_float64_input_is_read_at_full_precision(self):
        # Just below a rounding point in float64, exactly on it after a float32 rounding.
        rng = np.random.default_rng(5)
        k = rng.integers(1, 2**22, 3000)
        x = (2 * k - 1) / 2.0**25 - 2.0**-40
        got = th.tempo_wsola(x, 1.25)
        assert_bits_equal(got, ref.tempo_wsola(x, 1.25))
        assert not np.array_equal(got, ref.tempo_wsola(x.astype(np.float32), 1.25))

    @pytest.mark.parametrize(
        "make",
        [
            lambda x: list(map(float, x)),
            lambda x: (x * 32767).astype(np.int16),
            lambda x: x.astype(np.float16),
            lambda x: x.astype(">f4"),
            lambda x: np.repeat(x, 2)[::2],
            lambda x: x[::-1].copy()[::-1],
        ],
        ids=["list", "int16", "float16", "big-endian", "strided", "reversed-view"],
    )
    def test_any_real_array_like(self, make):
        x = make(speech_like(3000, seed=2))
        assert_bits_equal(th.tempo_wsola(x, 1.25), ref.tempo_wsola(x, 1.25))


class TestTempoWsolaBehaviour:
    def test_result_is_a_new_writable_array(self):
        x = speech_like(44000, seed=1)
        before = x.copy()
        y = th.tempo_wsola(x)
        assert y.flags.writeable and y.flags.c_contiguous and y.ndim == 1
        assert not np.shares_memory(x, y)
        y *= 3.0
        np.testing.assert_array_equal(x, before)

    def test_empty_input(self):
        y = th.tempo_wsola(np.zeros(0, dtype=np.float32))
        assert y.dtype == np.float32 and y.shape == (0,)

    @pytest.mark.parametrize("n,factor", [(1120, 1.0), (1400, 1.25), (2000, 1.8), (44000, 40.0)])
    def test_single_block_is_the_quantised_input(self, n, factor):
        x = clipping(n, seed=4)
        y = th.tempo_wsola(x, factor)
        assert 0 < len(y) <= HOP
        assert_bits_equal(y, th._wsola_from_buf(th._wsola_to_buf(x))[: len(y)])

    def test_first_block_clips_to_unit_range(self):
        x = np.array([0.5, 1.0, 1.5, 7.0, -1.0, -2.0, 0.25], dtype=np.float32)
        np.testing.assert_array_equal(
            th.tempo_wsola(x, 1.0), np.array([0.5, 1.0, 1.0, 1.0, -1.0, -1.0, 0.25], np.float32)
        )

    @pytest.mark.parametrize("signal", [clipping, noise])
    def test_output_is_on_the_grid_and_in_range(self, signal):
        y = th.tempo_wsola(signal(44000, seed=9), 0.8).astype(np.float64)
        assert np.all(np.abs(y) <= 1.0)
        scaled = y * 2.0**24
        np.testing.assert_array_equal(scaled, np.round(scaled))

    def test_unit_factor_keeps_the_signal(self):
        # Every search finds the previous segment's own continuation, so the output is the input
        # up to the single-precision rounding of the cross-fades.
        x = noise(20000, seed=8)
        y = th.tempo_wsola(x, 1.0)
        assert len(y) == len(x)
        np.testing.assert_allclose(y, x, rtol=0, atol=2.0**-22)

    def test_silence_stays_silent(self):
        y = th.tempo_wsola(np.zeros(44000, dtype=np.float32))
        assert y.shape == (35200,) and not np.any(y)

    def test_nan_samples_count_as_silence(self):
        x = speech_like(8000, seed=6)
        x[[0, 500, 3000, 3001, 7999]] = np.nan
        cleaned = np.where(np.isnan(x), np.float32(0), x)
        y = th.tempo_wsola(x)
        assert not np.any(np.isnan(y))
        assert_bits_equal(y, th.tempo_wsola(cleaned))
        assert_bits_equal(y, ref.tempo_wsola(x))

    def test_infinities_clip(self):
        x = speech_like(4000, seed=6).astype(np.float64)
        x[[10, 2500]] = np.inf
        x[[20, 3000]] = -np.inf
        y = th.tempo_wsola(x, 0.9)
        assert_bits_equal(y, ref.tempo_wsola(x, 0.9))
        assert y[10] == 1.0 and y[20] == -1.0

    def test_negative_factor_gives_empty_result(self):
        y = th.tempo_wsola(speech_like(5000, seed=1), -1.25)
        assert y.dtype == np.float32 and y.shape == (0,)

    @pytest.mark.parametrize("n", [0, 44000])
    def test_zero_factor_divides_by_zero(self, n):
        with pytest.raises(ZeroDivisionError):
            th.tempo_wsola(np.zeros(n, dtype=np.float32), 0.0)

    def test_nan_factor_is_refused(self):
        with pytest.raises(ValueError):
            th.tempo_wsola(np.zeros(10, dtype=np.float32), float("nan"))

    def test_factor_too_small_for_any_memory(self):
        with pytest.raises(ValueError, match="output length"):
            th.tempo_wsola(np.zeros(10, dtype=np.float32), 1e-300)

    def test_multi_dimensional_input_is_refused(self):
        with pytest.raises(ValueError, match="one-dimensional PCM required"):
            th.tempo_wsola(np.zeros((2, 100), dtype=np.float32))

    def test_non_numeric_input_fails_in_conversion(self):
        with pytest.raises(ValueError):
            th.tempo_wsola(np.array(["a", "b"]))


class TestGridConversions:
    VALUES = np.array(
        [0.0, -0.0, 0.5, -0.5, 1.0, -1.0, 1.5, -3.0, 2.0**-25, -(2.0**-25), 3 * 2.0**-25,
         -3 * 2.0**-25, 1e-12, 0.999999, 1e300, -1e300, np.inf, -np.inf, np.nan],
        dtype=np.float64,
    )

    @pytest.mark.parametrize("dtype", [np.float64, np.float32])
    def test_to_buf_matches_reference(self, dtype):
        rng = np.random.default_rng(12)
        d = np.concatenate([self.VALUES, rng.uniform(-1.2, 1.2, 5000)])
        with np.errstate(over="ignore"):
            d = d.astype(dtype)
        assert_bits_equal(th._wsola_to_buf(d), ref._wsola_to_buf(d))

    def test_to_buf_rounds_half_up_to_24_bits(self):
        d = np.array([2.0**-25, -(2.0**-25), 3 * 2.0**-25, 1.0, -1.0, np.inf, np.nan])
        np.testing.assert_array_equal(
            th._wsola_to_buf(d), np.array([1, 0, 2, 2**24, -(2**24), 2**24, 0], np.float32)
        )

    def test_from_buf_matches_reference(self):
        rng = np.random.default_rng(13)
        v = np.concatenate(
            [self.VALUES * 2.0**24, rng.uniform(-(2.0**25), 2.0**25, 5000), [0.5, -0.5, 2.5]]
        )
        assert_bits_equal(th._wsola_from_buf(v), ref._wsola_from_buf(v))
        with np.errstate(over="ignore"):
            v32 = v.astype(np.float32)
        assert_bits_equal(th._wsola_from_buf(v32), ref._wsola_from_buf(v32))

    def test_from_buf_top_of_grid_is_one(self):
        np.testing.assert_array_equal(
            th._wsola_from_buf(np.array([2.0**24, -(2.0**24), 8388608.0])),
            np.array([1.0, -1.0, 0.5], np.float32),
        )

    def test_shapes_are_kept(self):
        d = np.linspace(-1, 1, 24).reshape(2, 3, 4)
        assert th._wsola_to_buf(d).shape == (2, 3, 4)
        assert th._wsola_from_buf(d).shape == (2, 3, 4)
        assert_bits_equal(th._wsola_to_buf(d), ref._wsola_to_buf(d))
