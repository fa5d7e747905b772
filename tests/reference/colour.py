"""NumPy transcription of the colour correction: both kinds of apply, the description line, the
descriptor's hashed bytes and the environment switch.

A correction here is any object with the attributes kind, lut, gain and bias.
"""

import hashlib
import os

import numpy as np

COLOR_ENV = "MIRRANT2_COLOR_CORRECT"


def color_enabled(environ=os.environ):
    v = environ.get(COLOR_ENV, "").strip().lower()
    return v not in ("0", "false", "no", "off")


def apply(cc, rgb):
    if cc.kind == "lut":
        lut = np.asarray(cc.lut)
        return np.stack([lut[c][rgb[..., c]] for c in range(3)], axis=-1)
    x = rgb.astype(np.float32)
    # Product, then sum: two single-precision operations, each rounded on its own.
    y = x * np.asarray(cc.gain, dtype=np.float32)
    y = y + np.asarray(cc.bias, dtype=np.float32)
    np.clip(y, 0.0, 255.0, out=y)
    # NaN (only from a non-finite gain or bias) becomes 0, the system's documented choice.
    y[np.isnan(y)] = 0.0
    return y.astype(np.uint8)


def describe(cc):
    if cc.kind == "lut":
        ident = np.arange(256, dtype=np.int64)
        items = []
        for c, letter in enumerate("RGB"):
            d = np.abs(np.asarray(cc.lut[c], dtype=np.int64) - ident)
            items.append(f"{letter} max {int(d.max())} mean {d.mean():.1f}")
        return "per-channel LUT (model->driver), deviation from identity: " + "/".join(items)
    gain = np.asarray(cc.gain, dtype=np.float32).tolist()
    bias = np.asarray(cc.bias, dtype=np.float32).tolist()
    return f"per-channel gain={gain} bias={bias}"


def descriptor_bytes(cc):
    if cc.kind == "lut":
        return np.ascontiguousarray(cc.lut, dtype=np.uint8).tobytes()
    return (np.asarray(cc.gain, dtype="<f4").tobytes()
            + np.asarray(cc.bias, dtype="<f4").tobytes())


def descriptor(cc):
    if cc is None:
        return None
    return {"kind": cc.kind, "sha256": hashlib.sha256(descriptor_bytes(cc)).hexdigest()}
