"""Regenerate the small LiteRT test models and the canonical latent under tests/data/.

Run from the repository root, in a development venv that has TensorFlow (never a project
dependency):

    pip install tensorflow-cpu==2.21.0
    python scripts/make_test_models.py            # writes tests/data/*.tflite and canon.bin
    python scripts/make_test_models.py --check    # also loads every file with ai_edge_litert

The models keep the host's signature contract exactly (names "enc", "tok14", "step", "dec16",
"dec8"; inputs "args_0"/"args_1"; output "output_0"; every shape), with tiny, deterministic
arithmetic whose pictures depend on the audio in a way tests can check:

- enc: per-frame RMS of the 35200-sample window, 44 frames of 800 samples -> (1, 44).
- tok14: 14 segment loudnesses tanh(2 * mean RMS of the segment), each spread over a (16, 384)
  pattern whose mean is 1 -> (14, 16, 384). The mean of a token row is its loudness.
- step: channels 0..7 ("appearance") = (newest + oldest slot) / 2, so the canonical latent is kept
  while the history holds it; channels 8..15 ("mouth") = 0.75 * newest + 0.25 * token loudness,
  which settles at the loudness of the audio.
- dec16 / dec8: each row mixes its current and preceding latent by phase weight w = (ph + 1) / 4;
  the mean of channels 0..7 is the face plane (upsampled 8x, nearest), the mean of channels 8..15
  brightens a soft box in the lower middle of the frame (the mouth); a small offset per phase;
  R, G and B through a logistic of distinct gains and offsets, so values lie in (0, 1).

Files:
- combined_litert.tflite: all five signatures.
- combined_litert_q8gd.tflite: the same, its decoders a little brighter (offset +0.05 in the logit)
  so a test can tell which file served.
- shared-enc.tflite: enc, tok14.  identity.tflite: step, dec16, dec8, its decoders tinted (offset
  +0.1 in the red logit, -0.1 in the blue) so it is not byte-equal to the combined decoder.
- no_dec8.tflite: step, dec16 (with shared-enc it lacks only "dec8").
- step_hist_args1.tflite: a step whose history is input "args_1" and token row "args_0".
- step_no5d.tflite: a step whose history input is 4-D (no 5-D input at all).
- bad_contract.tflite: enc without "output_0", tok14 with 86015 values, step with 74879 values.
- canon.bin: 74880 float32 little-endian values, a smooth face-like pattern.
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
from pathlib import Path

import numpy as np

os.environ.setdefault("TF_CPP_MIN_LOG_LEVEL", "2")
os.environ.setdefault("TF_ENABLE_ONEDNN_OPTS", "0")

import tensorflow as tf  # noqa: E402  (dev-only dependency, imported after quieting its log)

TEMPO_SAMPLES = 35200
SPF = 800
N_FEAT = TEMPO_SAMPLES // SPF  # 44 frames of audio in one encoder window
N_TOK = 14
NA, CA = 16, 384
LC, LH, LW = 16, 90, 52
PLANE = LH * LW
CTX = 16
DEC_CH = 36
FH, FW = 720, 416
UP = FH // LH  # 8, and FW // LW is 8 too
N_FACE = 8  # latent channels 0..7 carry the face, 8..15 the mouth

DATA = Path(__file__).resolve().parent.parent / "tests" / "data"


def _segment_matrix() -> np.ndarray:
    """(44, 14): column k averages the audio frames of token segment k."""
    m = np.zeros((N_FEAT, N_TOK), np.float32)
    for k in range(N_TOK):
        lo, hi = (k * N_FEAT) // N_TOK, ((k + 1) * N_FEAT) // N_TOK
        m[lo:hi, k] = 1.0 / (hi - lo)
    return m


def _token_pattern() -> tuple[np.ndarray, np.ndarray]:
    """Two vectors whose outer product is a (16, 384) pattern of mean exactly 1."""
    u = (1.0 + 0.25 * np.cos(np.arange(NA) * 0.7)).astype(np.float32)
    v = (1.0 + 0.25 * np.sin(np.arange(CA) * 0.05)).astype(np.float32)
    u /= u.mean()
    v /= v.mean()
    return u.reshape(NA, 1), v.reshape(1, CA)


def _mouth_mask() -> np.ndarray:
    """(90, 52): a soft box over the lower middle of the latent grid, the mouth of the frame."""

    def ramp(n: int, lo: float, hi: float, soft: float) -> np.ndarray:
        i = np.arange(n, dtype=np.float64) + 0.5
        up = np.clip((i - (lo - soft)) / soft, 0.0, 1.0)
        down = np.clip(((hi + soft) - i) / soft, 0.0, 1.0)
        return np.minimum(up, down)

    return np.outer(ramp(LH, 55.0, 70.0, 3.0), ramp(LW, 17.5, 34.5, 3.0)).astype(np.float32)


def canon_latent() -> np.ndarray:
    """(16, 90, 52): face channels hold a bright oval on a darker ground, mouth channels near 0."""
    y = (np.arange(LH, dtype=np.float64) + 0.5) / LH - 0.5
    x = (np.arange(LW, dtype=np.float64) + 0.5) / LW - 0.5
    yy, xx = np.meshgrid(y, x, indexing="ij")
    oval = np.exp(-((yy / 0.38) ** 2 + (xx / 0.30) ** 2) * 2.0)
    out = np.empty((LC, LH, LW), np.float64)
    for c in range(LC):
        ripple = np.cos(6.0 * yy + 0.4 * c) * np.sin(5.0 * xx + 0.3 * c)
        if c < N_FACE:
            out[c] = 0.2 + 0.6 * oval + 0.03 * ripple
        else:
            out[c] = 0.02 * ripple
    return out.astype(np.float32)


def _spec(shape, name: str) -> tf.TensorSpec:
    return tf.TensorSpec(shape, tf.float32, name=name)


def _enc(x):
    frames = tf.reshape(x, (N_FEAT, SPF))
    rms = tf.sqrt(tf.reduce_mean(tf.square(frames), axis=1) + 1e-12)
    return tf.reshape(rms, (1, N_FEAT))


def _tok(feats, scale: float = 1.0):
    seg = tf.matmul(tf.reshape(feats, (1, N_FEAT)), tf.constant(_segment_matrix()))
    loud = tf.tanh(2.0 * scale * seg)  # (1, 14)
    u, v = _token_pattern()
    pattern = tf.constant(u) * tf.constant(v)  # (16, 384)
    return tf.reshape(loud, (N_TOK, 1, 1)) * tf.reshape(pattern, (1, NA, CA))


_A_NEW = np.array([0.5] * N_FACE + [0.75] * (LC - N_FACE), np.float32).reshape(LC, 1)
_A_OLD = np.array([0.5] * N_FACE + [0.0] * (LC - N_FACE), np.float32).reshape(LC, 1)
_B_LOUD = np.array([0.0] * N_FACE + [0.25] * (LC - N_FACE), np.float32).reshape(LC, 1)


def _step(hist, atok):
    h = tf.reshape(hist, (LC, CTX, PLANE))
    newest = h[:, CTX - 1, :]
    oldest = h[:, 0, :]
    loud = tf.reduce_mean(atok)
    lat = tf.constant(_A_NEW) * newest + tf.constant(_A_OLD) * oldest + tf.constant(_B_LOUD) * loud
    return tf.reshape(lat, (LC, LH, LW))


def _dec(x, b: int, offset=(0.0, 0.0, 0.0)):
    # Everything per pixel is computed on the 90 x 52 latent grid and only the final picture is
    # upsampled: the folded constants stay small and a frame is 8 x 8 blocks.
    cur = x[:, 0:LC]
    prev = x[:, LC : 2 * LC]
    ph = tf.reduce_mean(x[:, 2 * LC : DEC_CH], axis=[2, 3])  # (b, 4): the one-hot phase
    w = tf.reduce_sum(ph * tf.constant([[0.25, 0.5, 0.75, 1.0]]), axis=1)  # (b,)
    w4 = tf.reshape(w, (b, 1, 1, 1))
    z = w4 * cur + (1.0 - w4) * prev
    face = tf.reduce_mean(z[:, 0:N_FACE], axis=1)  # (b, 90, 52)
    mouth = tf.reduce_mean(z[:, N_FACE:LC], axis=[1, 2, 3])  # (b,)
    lift = tf.constant(_mouth_mask()) * tf.reshape(mouth, (b, 1, 1))
    phase = tf.reshape(0.2 * (w - 0.625), (b, 1, 1))
    planes = []
    for gain, base, mouth_gain, off in zip((4.0, 3.5, 3.0), (0.3, 0.0, -0.3), (3.0, 2.0, 1.5), offset):
        planes.append(tf.sigmoid(gain * (face - 0.5) + (base + off) + mouth_gain * lift + phase))
    low = tf.reshape(tf.stack(planes, axis=1), (b * 3, LH, LW, 1))
    up = tf.image.resize(low, (FH, FW), method=tf.image.ResizeMethod.NEAREST_NEIGHBOR)
    return tf.reshape(up, (b, 3, FH, FW))


HIST_SHAPE = (1, LC, CTX, LH, LW)
ATOK_SHAPE = (1, NA, CA)


class Combined(tf.Module):
    def __init__(self, dec_offset=(0.0, 0.0, 0.0)):
        super().__init__()
        self._off = dec_offset

    @tf.function(input_signature=[_spec((1, TEMPO_SAMPLES), "args_0")])
    def enc(self, x):
        return _enc(x)

    @tf.function(input_signature=[_spec((1, N_FEAT), "args_0")])
    def tok14(self, feats):
        return _tok(feats)

    @tf.function(input_signature=[_spec(HIST_SHAPE, "args_0"), _spec(ATOK_SHAPE, "args_1")])
    def step(self, hist, atok):
        return _step(hist, atok)

    @tf.function(input_signature=[_spec((16, DEC_CH, LH, LW), "args_0")])
    def dec16(self, x):
        return _dec(x, 16, self._off)

    @tf.function(input_signature=[_spec((8, DEC_CH, LH, LW), "args_0")])
    def dec8(self, x):
        return _dec(x, 8, self._off)


class StepHistArgs1(tf.Module):
    @tf.function(input_signature=[_spec(ATOK_SHAPE, "args_0"), _spec(HIST_SHAPE, "args_1")])
    def step(self, atok, hist):
        return _step(hist, atok)


class StepNo5D(tf.Module):
    @tf.function(input_signature=[_spec(ATOK_SHAPE, "args_0"), _spec(HIST_SHAPE[1:], "args_1")])
    def step(self, atok, hist):
        return _step(hist, atok)


class BadContract(tf.Module):
    @tf.function(input_signature=[_spec((1, TEMPO_SAMPLES), "args_0")])
    def enc(self, x):
        return {"feats": _enc(x)}

    @tf.function(input_signature=[_spec((1, N_FEAT), "args_0")])
    def tok14(self, feats):
        return tf.reshape(_tok(feats), (-1,))[: N_TOK * NA * CA - 1]

    @tf.function(input_signature=[_spec(HIST_SHAPE, "args_0"), _spec(ATOK_SHAPE, "args_1")])
    def step(self, hist, atok):
        return tf.reshape(_step(hist, atok), (-1,))[: LC * PLANE - 1]


def convert(module: tf.Module, names: list[str]) -> bytes:
    # Through a SavedModel so that every signature keeps its method name, a lone one included
    # (from_concrete_functions calls a single function "serving_default").
    with tempfile.TemporaryDirectory() as tmp:
        sigs = {n: getattr(module, n).get_concrete_function() for n in names}
        tf.saved_model.save(module, tmp, signatures=sigs)
        conv = tf.lite.TFLiteConverter.from_saved_model(tmp, signature_keys=names)
        conv.target_spec.supported_ops = [tf.lite.OpsSet.TFLITE_BUILTINS]
        return conv.convert()


ALL = ["enc", "tok14", "step", "dec16", "dec8"]


def build() -> dict[str, bytes]:
    combined = Combined()
    return {
        "combined_litert.tflite": convert(combined, ALL),
        "combined_litert_q8gd.tflite": convert(Combined((0.05, 0.05, 0.05)), ALL),
        "shared-enc.tflite": convert(combined, ["enc", "tok14"]),
        "identity.tflite": convert(Combined((0.1, 0.0, -0.1)), ["step", "dec16", "dec8"]),
        "no_dec8.tflite": convert(combined, ["step", "dec16"]),
        "step_hist_args1.tflite": convert(StepHistArgs1(), ["step"]),
        "step_no5d.tflite": convert(StepNo5D(), ["step"]),
        "bad_contract.tflite": convert(BadContract(), ["enc", "tok14", "step"]),
    }


def check(path: Path) -> None:
    from ai_edge_litert.interpreter import Interpreter

    it = Interpreter(model_path=str(path), num_threads=1)
    it.allocate_tensors()
    sigs = it.get_signature_list()
    for name in sigs:
        r = it.get_signature_runner(name)
        for inp, d in r.get_input_details().items():
            assert d["dtype"] == np.float32, (path.name, name, inp)
        feeds = {k: np.zeros(tuple(d["shape"]), np.float32) for k, d in r.get_input_details().items()}
        out = r(**feeds)
        for k, v in out.items():
            assert v.dtype == np.float32 and np.isfinite(v).all(), (path.name, name, k)
    print(f"{path.name}: {path.stat().st_size} bytes, {sigs}")


def main(argv: list[str]) -> int:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--out", type=Path, default=DATA)
    ap.add_argument("--check", action="store_true", help="load every file with ai_edge_litert")
    args = ap.parse_args(argv)
    args.out.mkdir(parents=True, exist_ok=True)
    for name, blob in build().items():
        (args.out / name).write_bytes(blob)
    (args.out / "canon.bin").write_bytes(canon_latent().astype("<f4").tobytes())
    if args.check:
        for p in sorted(args.out.glob("*.tflite")):
            check(p)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
