"""LitertChain over the committed test models (tests/data, made by scripts/make_test_models.py)."""

from __future__ import annotations

import os
import shutil
from pathlib import Path

import numpy as np
import pytest

from quorvane._mirrant2 import _tensorhost as th
from reference import chain as ref

DATA = Path(__file__).parent / "data"
COMBINED = DATA / "combined_litert.tflite"
Q8GD = DATA / "combined_litert_q8gd.tflite"
SHARED_ENC = DATA / "shared-enc.tflite"
IDENTITY = DATA / "identity.tflite"
NO_DEC8 = DATA / "no_dec8.tflite"
STEP_ARGS1 = DATA / "step_hist_args1.tflite"
STEP_NO5D = DATA / "step_no5d.tflite"
BAD = DATA / "bad_contract.tflite"

FRAME = (3, 720, 416)
MOUTH = (slice(None), slice(440, 560), slice(140, 276))  # lower middle of the frame
TOP = (slice(None), slice(0, 160), slice(None))


@pytest.fixture(scope="module")
def canon():
    return np.fromfile(DATA / "canon.bin", dtype="<f4")


@pytest.fixture(scope="module")
def chain(canon):
    return th.LitertChain([str(COMBINED)], canon, 1)


def rows(n: int, seed: int) -> np.ndarray:
    return np.random.default_rng(seed).random((n, 36, 90, 52), dtype=np.float32)


def tone(amplitude: float) -> np.ndarray:
    t = np.arange(35200) / 16000.0
    return (amplitude * np.sin(2 * np.pi * 220.0 * t)).astype(np.float32)


def direct(path: Path):
    """Runners of a model file straight from the runtime, bypassing the chain."""
    from ai_edge_litert.interpreter import Interpreter

    it = Interpreter(model_path=str(path), num_threads=1)
    it.allocate_tensors()
    return {name: it.get_signature_runner(name) for name in it.get_signature_list()}


def frame_for(chain, audio: np.ndarray) -> np.ndarray:
    """One frame through the whole chain: encode, tokenise, 8 steps, decode the last latent."""
    tok = chain.run_tok(chain.run_enc(audio))
    h = chain.new_hist()
    lats = []
    for k in range(8):
        lats.append(chain.run_step(h, tok[3 + k]))
        chain.shift_hist(h, lats[-1])
    xs = np.zeros((1, 36, 90, 52), np.float32)
    xs[0, :16], xs[0, 16:32], xs[0, 35] = lats[-1], lats[-2], 1.0
    return chain.run_dec_frames(xs, 1)[0]


class TestConstruction:
    @pytest.mark.parametrize(
        "paths", [str(COMBINED), COMBINED, [str(COMBINED)], (COMBINED,)], ids=["str", "Path", "list", "tuple"]
    )
    def test_single_path_is_a_one_element_list(self, paths, canon, chain):
        c = th.LitertChain(paths, canon, 1)
        assert len(c._its) == 1
        audio = tone(0.3)
        np.testing.assert_array_equal(c.run_enc(audio), chain.run_enc(audio))

    def test_attributes(self, chain):
        from ai_edge_litert.interpreter import Interpreter, SignatureRunner

        assert all(isinstance(it, Interpreter) for it in chain._its)
        for name in ("enc", "tok", "step", "dec16", "dec8"):
            assert isinstance(getattr(chain, name), SignatureRunner)
        assert (chain._hist_key, chain._atok_key) == ("args_0", "args_1")

    @pytest.mark.parametrize("first,second", [(COMBINED, Q8GD), (Q8GD, COMBINED)])
    def test_first_file_wins(self, first, second, canon):
        c = th.LitertChain([first, second], canon, 1)
        assert len(c._its) == 2
        xs = rows(1, seed=1)
        want = ref.run_dec_frames(None, direct(first)["dec8"], xs, 1)[0]
        other = ref.run_dec_frames(None, direct(second)["dec8"], xs, 1)[0]
        assert not np.array_equal(want, other)  # the two files really decode differently
        np.testing.assert_array_equal(c.run_dec_frames(xs, 1)[0], want)

    def test_five_signatures_over_two_files(self, canon, chain):
        c = th.LitertChain([SHARED_ENC, IDENTITY], canon, 1)
        assert len(c._its) == 2
        audio = tone(0.5)
        np.testing.assert_array_equal(c.run_tok(c.run_enc(audio)), chain.run_tok(chain.run_enc(audio)))
        xs = rows(1, seed=2)
        want = ref.run_dec_frames(None, direct(IDENTITY)["dec8"], xs, 1)[0]
        np.testing.assert_array_equal(c.run_dec_frames(xs, 1)[0], want)

    @pytest.mark.parametrize(
        "paths,found",
        [
            ([IDENTITY], ["step", "dec16", "dec8"]),
            ([SHARED_ENC], ["enc", "tok14"]),
            ([SHARED_ENC, NO_DEC8], ["enc", "tok14", "step", "dec16"]),
            ([STEP_NO5D, STEP_ARGS1], ["step"]),
        ],
        ids=["identity-only", "shared-enc-only", "no-dec8", "steps-only"],
    )
    def test_missing_signatures(self, paths, found, canon):
        with pytest.raises(RuntimeError) as err:
            th.LitertChain(paths, canon, 1)
        assert str(err.value) == ref.missing_message([str(p) for p in paths], found)

    def test_missing_signature_text(self, canon):
        with pytest.raises(RuntimeError) as err:
            th.LitertChain(str(IDENTITY), canon, 1)
        assert str(err.value) == (
            f"LiteRT chain missing signature(s) ['enc', 'tok14'] across ['{IDENTITY}'] "
            "(have ['dec16', 'dec8', 'step']); need combined_litert.tflite OR shared-enc.tflite + identity.tflite"
        )

    @pytest.mark.parametrize(
        "paths,keys",
        [
            ([COMBINED], ("args_0", "args_1")),
            ([STEP_ARGS1, COMBINED], ("args_1", "args_0")),
            ([STEP_NO5D, COMBINED], ("args_0", "args_1")),
        ],
        ids=["hist-args_0", "hist-args_1", "no-5d-input"],
    )
    def test_history_key(self, paths, keys, canon):
        c = th.LitertChain(paths, canon, 1)
        assert (c._hist_key, c._atok_key) == keys

    def test_history_key_args1_routes_inputs(self, canon, chain):
        c = th.LitertChain([STEP_ARGS1, COMBINED], canon, 1)
        h = chain.new_hist()
        atok = chain.run_tok(chain.run_enc(tone(0.4)))[5]
        np.testing.assert_array_equal(c.run_step(h, atok), chain.run_step(h, atok))

    @pytest.mark.parametrize(
        "make",
        [
            lambda c: c.astype(np.float64).reshape(16, 90, 52),
            lambda c: np.round(c * 1000).astype(np.int16),
            lambda c: c.reshape(4680, 16).tolist(),
        ],
        ids=["float64-3d", "int16", "nested-list"],
    )
    def test_canon_any_shape_and_numeric_type(self, make, canon):
        given = make(canon)
        c = th.LitertChain(COMBINED, given, 1)
        assert c.canon.dtype == np.float32 and c.canon.shape == (16, 4680)
        np.testing.assert_array_equal(c.canon, np.asarray(given, np.float32).reshape(16, 4680))
        if isinstance(given, np.ndarray):
            assert not np.shares_memory(c.canon, given)

    @pytest.mark.parametrize(
        "bad,kind", [(np.zeros(74879, np.float32), ValueError), (np.array(["x"] * 74880), TypeError)]
    )
    def test_bad_canon(self, bad, kind):
        with pytest.raises(kind, match="canon"):
            th.LitertChain(COMBINED, bad, 1)

    @pytest.mark.parametrize("paths,kind", [(3, TypeError), ([COMBINED, 3], TypeError)])
    def test_bad_paths(self, paths, kind, canon):
        with pytest.raises(kind):
            th.LitertChain(paths, canon, 1)

    def test_unloadable_file_fails_at_once(self, tmp_path, canon):
        junk = tmp_path / "junk.tflite"
        junk.write_bytes(b"no model here" * 8)
        with pytest.raises(ValueError):
            th.LitertChain([COMBINED, junk], canon, 1)

    def test_interpreters_survive_deleted_files(self, tmp_path, canon, chain):
        paths = [tmp_path / "shared-enc.tflite", tmp_path / "identity.tflite", tmp_path / "c.tflite"]
        for src, dst in zip([SHARED_ENC, IDENTITY, COMBINED], paths):
            shutil.copyfile(src, dst)
        c = th.LitertChain(paths, canon, 1)
        for p in paths:
            p.unlink()
        audio = tone(0.5)
        tok = c.run_tok(c.run_enc(audio))
        np.testing.assert_array_equal(tok, chain.run_tok(chain.run_enc(audio)))
        np.testing.assert_array_equal(c.run_step(c.new_hist(), tok[0]), chain.run_step(chain.new_hist(), tok[0]))
        assert len(c.run_dec_frames(rows(9, seed=3), 9)) == 9

    @pytest.mark.skipif(
        not hasattr(th, "_stage_tflite"), reason="staging (_stage_tflite) is bound by the bundle area"
    )
    @pytest.mark.parametrize("canon_ok", [True, False], ids=["loaded", "bad-canon"])
    def test_staged_copies_are_released(self, canon_ok, tmp_path, canon):
        staged = th._stage_tflite(str(tmp_path / "bundle.imx"), "combined_litert.tflite", COMBINED.read_bytes())
        in_place = tmp_path / "shared-enc.tflite"
        shutil.copyfile(SHARED_ENC, in_place)
        assert os.path.exists(staged)
        if canon_ok:
            c = th.LitertChain([in_place, staged], canon, 1)
            assert len(c.run_tok(c.run_enc(tone(0.2)))) == 14
        else:
            with pytest.raises(ValueError):
                th.LitertChain([in_place, staged], canon[:10], 1)
        assert not os.path.exists(staged)
        assert in_place.exists()  # a file used in place is never touched


class TestHistory:
    def test_new_hist(self, chain, canon):
        h = chain.new_hist()
        assert h.shape == (1, 16, 16, 90, 52) and h.dtype == np.float32 and h.flags.writeable
        np.testing.assert_array_equal(h, ref.new_hist(canon))
        assert not np.shares_memory(h, chain.canon)
        assert not np.shares_memory(h, chain.new_hist())

    @pytest.mark.parametrize("n_shifts", [1, 2, 15, 16, 17])
    def test_shift_matches_reference(self, n_shifts, chain, canon):
        rng = np.random.default_rng(n_shifts)
        h, want = chain.new_hist(), ref.new_hist(canon)
        lats = [rng.standard_normal((16, 90, 52)).astype(np.float32) for _ in range(n_shifts)]
        for lat in lats:
            assert th.LitertChain.shift_hist(h, lat) is None
            ref.shift_hist(want, lat)
        np.testing.assert_array_equal(h, want)

    def test_shift_once_and_sixteen_times(self, chain, canon):
        rng = np.random.default_rng(7)
        lats = [rng.standard_normal(74880).astype(np.float32) for _ in range(16)]
        planes = canon.reshape(16, 90, 52)
        h = chain.new_hist()
        chain.shift_hist(h, lats[0])
        np.testing.assert_array_equal(h[0, :, 15], lats[0].reshape(16, 90, 52))
        for t in range(15):
            np.testing.assert_array_equal(h[0, :, t], planes)
        for lat in lats[1:]:
            chain.shift_hist(h, lat)
        for t in range(16):
            np.testing.assert_array_equal(h[0, :, t], lats[t].reshape(16, 90, 52))

    def test_shift_converts_latent(self, chain, canon):
        lat = np.arange(74880, dtype=np.float64).reshape(16, 4680)
        h, want = chain.new_hist(), ref.new_hist(canon)
        chain.shift_hist(h, lat)
        ref.shift_hist(want, lat)
        np.testing.assert_array_equal(h, want)

    @pytest.mark.parametrize(
        "make_h,lat_n,kind",
        [
            (lambda h: h.astype(np.float64), 74880, TypeError),
            (lambda h: h.tolist(), 74880, TypeError),
            (lambda h: np.asfortranarray(h.reshape(16, 74880)), 74880, ValueError),
            (lambda h: h[..., :51], 74880, ValueError),
            (lambda h: h.reshape(-1)[:-1], 74880, ValueError),
            (lambda h: h, 74879, ValueError),
        ],
        ids=["float64", "list", "fortran", "strided", "short", "short-latent"],
    )
    def test_shift_rejects(self, make_h, lat_n, kind, chain):
        h = make_h(chain.new_hist())
        before = np.array(h, copy=True)
        with pytest.raises(kind):
            chain.shift_hist(h, np.ones(lat_n, np.float32))
        np.testing.assert_array_equal(np.asarray(h), before)

    def test_shift_rejects_read_only(self, chain):
        h = chain.new_hist()
        h.flags.writeable = False
        with pytest.raises(ValueError, match="read-only"):
            chain.shift_hist(h, np.ones(74880, np.float32))


class TestRunners:
    def test_stages_equal_direct_runner_calls(self, chain):
        audio = tone(0.4)
        feats = chain.run_enc(audio)
        np.testing.assert_array_equal(feats, chain.enc(args_0=audio.reshape(1, -1))["output_0"])
        tok = chain.run_tok(feats)
        assert tok.shape == (14, 16, 384) and tok.dtype == np.float32
        np.testing.assert_array_equal(tok, chain.tok(args_0=feats)["output_0"].reshape(14, 16, 384))
        h = chain.new_hist()
        before = h.copy()
        lat = chain.run_step(h, tok[2])
        assert lat.shape == (16, 90, 52) and lat.dtype == np.float32
        want = chain.step(args_0=h, args_1=tok[2].reshape(1, 16, 384))["output_0"]
        np.testing.assert_array_equal(lat, want.reshape(16, 90, 52))
        np.testing.assert_array_equal(h, before)  # only shift_hist changes the history

    def test_results_survive_later_calls(self, chain):
        a = chain.run_enc(tone(0.5))
        keep = a.copy()
        chain.run_enc(tone(0.05))
        np.testing.assert_array_equal(a, keep)

    @pytest.mark.parametrize(
        "call,kind",
        [
            (lambda c: c.run_enc(np.zeros(35200)), TypeError),
            (lambda c: c.run_enc(np.zeros(35199, np.float32)), ValueError),
            (lambda c: c.run_enc(list(np.zeros(35200, np.float32))), TypeError),
            (lambda c: c.run_step(c.new_hist(), np.zeros(16 * 383, np.float32)), ValueError),
            (lambda c: c.run_step(c.new_hist().astype(np.float64), np.zeros(6144, np.float32)), TypeError),
        ],
        ids=["tempo-float64", "tempo-short", "tempo-list", "atok-short", "hist-float64"],
    )
    def test_rejects(self, call, kind, chain):
        with pytest.raises(kind):
            call(chain)

    def test_contract_breaches(self, canon, chain):
        c = th.LitertChain([BAD, COMBINED], canon, 1)
        with pytest.raises(RuntimeError, match=r"'enc' returned no 'output_0' \(outputs \['feats'\]\)"):
            c.run_enc(tone(0.1))
        feats = chain.run_enc(tone(0.1))
        with pytest.raises(RuntimeError, match="'tok14' returned 86015 values, expected 86016"):
            c.run_tok(feats)
        h = c.new_hist()
        with pytest.raises(RuntimeError, match="'step' returned 74879 values, expected 74880"):
            c.run_step(h, np.zeros(6144, np.float32))

    def test_runtime_errors_pass_through(self, canon):
        c = th.LitertChain(COMBINED, canon, 1)  # its own: the failed call leaves the input resized
        with pytest.raises(RuntimeError, match="failed to prepare"):
            c.run_tok(np.zeros((1, 45), np.float32))  # the runtime refuses this shape

    def test_picture_follows_loudness(self, chain):
        silent = frame_for(chain, np.zeros(35200, np.float32))
        quiet = frame_for(chain, tone(0.15))
        loud = frame_for(chain, tone(1.5))
        for f in (silent, quiet, loud):
            assert np.isfinite(f).all() and f.min() >= 0.0 and f.max() <= 1.0
        mouth = [f[MOUTH].mean() for f in (silent, quiet, loud)]
        assert mouth[0] + 0.05 < mouth[1] and mouth[1] + 0.05 < mouth[2]
        assert abs(loud[TOP].mean() - silent[TOP].mean()) < 1e-6  # only the mouth follows the audio
        assert len({float(silent[c].mean()) for c in range(3)}) == 3  # R, G and B differ


def invocations_delta(chain, call):
    before = dict(chain._invocations)
    result = call()
    after = chain._invocations
    return result, {k: after[k] - before[k] for k in after}


class TestDecode:
    @pytest.mark.parametrize(
        "n,dec16,dec8", [(0, 0, 0), (5, 0, 1), (8, 0, 1), (9, 1, 0), (21, 1, 1), (32, 2, 0)]
    )
    def test_batches_and_frames(self, n, dec16, dec8, chain):
        xs = rows(max(n, 1) + 2, seed=n)
        frames, delta = invocations_delta(chain, lambda: chain.run_dec_frames(xs, n))
        assert delta == {"enc": 0, "tok14": 0, "step": 0, "dec16": dec16, "dec8": dec8}
        assert [b for b, _ in ref.dec_batches(n)] == [16] * dec16 + [8] * dec8
        assert isinstance(frames, list) and len(frames) == n
        want = ref.run_dec_frames(chain.dec16, chain.dec8, xs, n)
        for got, exp in zip(frames, want):
            assert got.shape == FRAME and got.dtype == np.float32
            assert got.flags.writeable and got.flags.c_contiguous
            np.testing.assert_array_equal(got, exp)

    def test_phase_changes_the_picture(self, chain):
        xs = np.zeros((4, 36, 90, 52), np.float32)
        xs[:, :16] = chain.canon.reshape(16, 90, 52)
        xs[:, 16:32] = 0.5 * xs[:, :16]
        for ph in range(4):
            xs[ph, 32 + ph] = 1.0
        frames = chain.run_dec_frames(xs, 4)
        means = [float(f.mean()) for f in frames]
        assert means == sorted(means) and len(set(means)) == 4

    def test_frames_not_changed_by_later_calls(self, chain):
        first = chain.run_dec_frames(rows(9, seed=10), 9)
        keep = [f.copy() for f in first]
        chain.run_dec_frames(rows(9, seed=11), 9)
        chain.run_dec_batch(rows(9, seed=12), 9)
        chain.run_enc(tone(0.3))
        for f, k in zip(first, keep):
            np.testing.assert_array_equal(f, k)

    def test_writing_a_frame_changes_no_other(self, chain):
        frames = chain.run_dec_frames(rows(21, seed=13), 21)
        keep = [f.copy() for f in frames]
        frames[4][:] = -1.0
        frames[17][1] = 2.0
        for i, (f, k) in enumerate(zip(frames, keep)):
            if i not in (4, 17):
                np.testing.assert_array_equal(f, k)

    @pytest.mark.parametrize("n", [0, 9, 21])
    def test_batch_equals_frames(self, n, chain):
        xs = rows(n + 1, seed=20 + n)
        frames = chain.run_dec_frames(xs, n)
        batch, delta = invocations_delta(chain, lambda: chain.run_dec_batch(xs, n))
        assert delta["dec16"] + delta["dec8"] == len(ref.dec_batches(n))
        assert batch.shape == (n, *FRAME) and batch.dtype == np.float32 and batch.flags.writeable
        for i in range(n):
            np.testing.assert_array_equal(batch[i], frames[i])

    def test_rows_converted_to_float32(self, chain):
        xs = rows(16, seed=30)
        want = chain.run_dec_frames(xs, 16)
        got = chain.run_dec_frames(xs.astype(np.float64), 16)
        for g, w in zip(got, want):
            np.testing.assert_array_equal(g, w)

    @pytest.mark.parametrize("method", ["run_dec_frames", "run_dec_batch"])
    @pytest.mark.parametrize(
        "xs,n",
        [
            (np.zeros((8, 36, 90, 52), np.float32), 9),
            (np.zeros((0, 36, 90, 52), np.float32), 1),
            (np.zeros((8, 36, 90, 52), np.float32), -1),
            (np.zeros((8, 35, 90, 52), np.float32), 1),
            (np.zeros((8, 36 * 4680), np.float32), 1),
        ],
        ids=["n-past-rows", "no-rows", "negative", "channels", "flat-rows"],
    )
    def test_rejects(self, method, xs, n, chain):
        before = dict(chain._invocations)
        with pytest.raises(ValueError):
            getattr(chain, method)(xs, n)
        assert chain._invocations == before
