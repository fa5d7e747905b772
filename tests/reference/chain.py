"""Plain NumPy transcription of the model chain's own arithmetic: the latent history, the decoder
batch schedule and the frames it yields, and the missing-signature message."""

from __future__ import annotations

import numpy as np

LC, CTX, LH, LW = 16, 16, 90, 52
PLANE = LH * LW
DEC_CH = 36
SIGS = ("enc", "tok14", "step", "dec16", "dec8")


def new_hist(canon) -> np.ndarray:
    """Every slot t of every channel c holds row c of the canonical latent."""
    rows = np.asarray(canon, np.float32).reshape(LC, PLANE)
    h = np.empty((1, LC, CTX, LH, LW), np.float32)
    for c in range(LC):
        for t in range(CTX):
            h[0, c, t] = rows[c].reshape(LH, LW)
    return h


def shift_hist(h: np.ndarray, lat) -> None:
    """Per channel: slots 1..15 move to 0..14 in ascending order, then slot 15 takes the latent."""
    planes = np.asarray(lat, np.float32).reshape(LC, LH, LW)
    for c in range(LC):
        for t in range(CTX - 1):
            h[0, c, t] = h[0, c, t + 1]
        h[0, c, CTX - 1] = planes[c]


def dec_batches(n: int) -> list[tuple[int, int]]:
    """(batch size, rows used) in order: 16 while more than 8 rows remain, else 8."""
    out = []
    i = 0
    while i < n:
        rem = n - i
        b = 16 if rem > 8 else 8
        take = rem if rem < b else b
        out.append((b, take))
        i += take
    return out


def run_dec_frames(dec16, dec8, xs: np.ndarray, n: int) -> list[np.ndarray]:
    """Frames of rows 0..n-1, each batch zero-padded to its size; dec16/dec8 are runner callables."""
    frames = []
    i = 0
    for b, take in dec_batches(n):
        batch = np.zeros((b, DEC_CH, LH, LW), np.float32)
        batch[:take] = xs[i : i + take]
        result = (dec16 if b == 16 else dec8)(args_0=batch)["output_0"]
        frames.extend(result[k] for k in range(take))
        i += take
    return frames


def _list_text(items) -> str:
    return "[" + ", ".join(repr(str(x)) for x in items) + "]"


def missing_message(paths, found) -> str:
    """The construction error for signatures missing from `found` across `paths`."""
    missing = [s for s in SIGS if s not in found]
    return (
        f"LiteRT chain missing signature(s) {_list_text(missing)} across {_list_text(paths)}"
        f" (have {_list_text(sorted(found))}); need combined_litert.tflite OR shared-enc.tflite"
        " + identity.tflite"
    )
