"""Decoder input rows: the compiled builder against the NumPy transcription, bit for bit."""

import numpy as np
import pytest

from quorvane._mirrant2 import _tensorhost as th
from reference import decoder_rows as ref

LC, LH, LW = 16, 90, 52
PLANE = LH * LW
ROW_SHAPE = (36, LH, LW)


def latents(count, seed):
    rng = np.random.default_rng(seed)
    return [rng.standard_normal((LC, LH, LW)).astype(np.float32) for _ in range(count)]


def assert_bits_equal(got, want):
    assert got.dtype == np.float32 and want.dtype == np.float32
    assert got.shape == want.shape
    assert np.array_equal(got.view(np.uint32), want.view(np.uint32))


class TestBuildDecInputsMatchesReference:
    @pytest.mark.parametrize("blk", [0, 1, 2, 6, 8])
    @pytest.mark.parametrize("with_prev", [False, True], ids=["no-prev", "prev"])
    def test_rows(self, blk, with_prev):
        lats = latents(max(blk, 1), seed=blk)
        prev = latents(1, seed=100)[0] if with_prev else None
        xs, n = th.build_dec_inputs(lats, blk, prev)
        want, n_want = ref.build_dec_inputs(lats, blk, prev)
        assert n == n_want and isinstance(n, int)
        assert_bits_equal(xs, want)

    @pytest.mark.parametrize(
        "blk,with_prev,n",
        [(6, False, 21), (8, True, 32), (1, False, 1), (1, True, 4), (0, True, 0)],
    )
    def test_row_counts(self, blk, with_prev, n):
        prev = latents(1, seed=1)[0] if with_prev else None
        xs, got = th.build_dec_inputs(latents(max(blk, 1), seed=2), blk, prev)
        assert got == n and xs.shape == (n, *ROW_SHAPE)

    @pytest.mark.parametrize(
        "shape_lats",
        [
            lambda ls: np.stack(ls),
            lambda ls: tuple(ls),
            lambda ls: [x.reshape(-1) for x in ls],
            lambda ls: [x.astype(np.float64) for x in ls],
            lambda ls: [np.asfortranarray(x) for x in ls],
        ],
        ids=["4d-array", "tuple", "flat", "float64", "fortran-order"],
    )
    def test_latent_containers(self, shape_lats):
        lats = latents(8, seed=3)
        prev = latents(1, seed=4)[0]
        xs, n = th.build_dec_inputs(shape_lats(lats), 8, prev.astype(np.float64))
        want, _ = ref.build_dec_inputs(lats, 8, prev)
        assert n == 32
        assert_bits_equal(xs, want)

    def test_extra_latents_are_ignored(self):
        lats = latents(8, seed=5) + [np.zeros(3, np.float32)]
        xs, n = th.build_dec_inputs(lats, 8, None)
        assert_bits_equal(xs, ref.build_dec_inputs(lats[:8], 8, None)[0])


class TestBuildDecInputsLayout:
    def test_first_chunk_pairs(self):
        lats = latents(6, seed=6)
        xs, _ = th.build_dec_inputs(lats, 6, None)
        np.testing.assert_array_equal(xs[0, :16], lats[0])
        np.testing.assert_array_equal(xs[0, 16:32], lats[0])
        np.testing.assert_array_equal(xs[1, :16], lats[1])
        np.testing.assert_array_equal(xs[1, 16:32], lats[0])
        assert np.all(xs[0, 35] == 1.0) and not np.any(xs[0, 32:35])
        assert np.all(xs[1, 32] == 1.0)

    def test_prev_lat_fills_the_first_latents_rows(self):
        lats = latents(8, seed=7)
        prev = latents(1, seed=8)[0]
        xs, _ = th.build_dec_inputs(lats, 8, prev)
        for r in range(4):
            np.testing.assert_array_equal(xs[r, 16:32], prev)
            np.testing.assert_array_equal(xs[r, :16], lats[0])
        np.testing.assert_array_equal(xs[4, 16:32], lats[0])

    @pytest.mark.parametrize("with_prev", [False, True])
    def test_one_phase_plane_per_row(self, with_prev):
        prev = latents(1, seed=9)[0] if with_prev else None
        xs, n = th.build_dec_inputs(latents(8, seed=10), 8, prev)
        markers = xs[:, 32:36]
        assert set(np.unique(markers)) <= {0.0, 1.0}
        np.testing.assert_array_equal(markers.sum(axis=(1, 2, 3)), np.full(n, PLANE))
        phases = markers[:, :, 0, 0].argmax(axis=1)
        want = ([3] if prev is None else [0, 1, 2, 3]) + [0, 1, 2, 3] * 7
        np.testing.assert_array_equal(phases, want)

    def test_rows_of_one_latent_differ_only_in_phase(self):
        xs, _ = th.build_dec_inputs(latents(8, seed=11), 8, latents(1, seed=12)[0])
        for i in range(8):
            group = xs[4 * i : 4 * i + 4]
            assert np.all(group[:, :32] == group[0, :32])
            assert not np.array_equal(group[0, 32:], group[1, 32:])

    def test_result_is_new_and_inputs_untouched(self):
        lats = np.stack(latents(8, seed=13))
        prev = latents(1, seed=14)[0]
        lats_before, prev_before = lats.copy(), prev.copy()
        xs, _ = th.build_dec_inputs(lats, 8, prev)
        assert xs.flags.writeable and xs.flags.c_contiguous
        assert not np.shares_memory(xs, lats) and not np.shares_memory(xs, prev)
        xs[:] = 7.0
        np.testing.assert_array_equal(lats, lats_before)
        np.testing.assert_array_equal(prev, prev_before)

    def test_blk_zero_ignores_prev_lat(self):
        xs, n = th.build_dec_inputs([], 0, np.zeros(5, np.float32))
        assert n == 0 and xs.shape == (0, *ROW_SHAPE) and xs.dtype == np.float32


class TestBuildDecInputsFailures:
    def test_too_few_latents(self):
        with pytest.raises(ValueError, match="needs 8 latents, got 7"):
            th.build_dec_inputs(latents(7, seed=1), 8, None)

    def test_latent_of_wrong_size(self):
        lats = latents(6, seed=1)
        lats[4] = lats[4][:15]
        with pytest.raises(ValueError, match="latent 4 has 70200 values, expected 74880"):
            th.build_dec_inputs(lats, 6, None)

    def test_prev_lat_of_wrong_size(self):
        with pytest.raises(ValueError, match="prev_lat has 74881 values"):
            th.build_dec_inputs(latents(8, seed=1), 8, np.zeros(PLANE * LC + 1, np.float32))

    def test_negative_blk(self):
        with pytest.raises(ValueError, match="nonnegative"):
            th.build_dec_inputs(latents(1, seed=1), -1, None)

    def test_latent_that_is_not_numeric(self):
        with pytest.raises(ValueError):
            th.build_dec_inputs(["not a latent"], 1, None)
