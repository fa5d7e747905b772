"""NumPy transcription of the float-to-RGB888 conversion: the byte mapping on both paths, the range
conversion with its in-place fast path, the chunk split, and the thread count rule.

The conversion runs sequentially here; the split only decides which frames go together.
"""

import numpy as np

from reference import colour

FH, FW = 720, 416


def to_bytes(scaled):
    """Clipped floats to bytes by truncation; NaN (kept by the clip) becomes 0, the system's
    documented choice. Overflow to infinity in the product is part of the mapping, not a fault."""
    with np.errstate(invalid="ignore"):
        out = scaled.astype(np.uint8)
    out[np.isnan(scaled)] = 0
    return out


def px_to_rgb888(px_chw, cc=None, apply=colour.apply):
    """General path: product in the frame's own precision, clip, truncate, (1, 2, 0), correct.

    `apply(cc, rgb)` is the correction's operation: the transcription of both kinds by default,
    or a caller's own for corrections of other kinds."""
    with np.errstate(over="ignore", invalid="ignore"):
        scaled = px_chw * 255.0
        np.clip(scaled, 0.0, 255.0, out=scaled)
    u = to_bytes(scaled)
    rgb = np.ascontiguousarray(u.transpose(1, 2, 0))
    if cc is not None:
        rgb = apply(cc, rgb)
    return rgb.tobytes()


def fast_path_ok(f):
    """A float32 array (native byte order) of exactly (3, FH, FW) that may be written, whatever
    its strides."""
    return (isinstance(f, np.ndarray) and f.dtype == np.float32 and f.shape == (3, FH, FW)
            and f.flags.writeable)


def convert_range(px, u8, lo, hi, cc, apply=colour.apply):
    lut = np.asarray(cc.lut) if cc is not None and cc.kind == "lut" else None
    planar = np.empty((3, FH, FW), dtype=np.uint8)
    for i in range(lo, hi):
        f = px[i]
        if not fast_path_ok(f):
            u8[i] = np.frombuffer(px_to_rgb888(f, cc, apply), dtype=np.uint8).reshape(FH, FW, 3)
            continue
        with np.errstate(over="ignore", invalid="ignore"):
            np.multiply(f, np.float32(255.0), out=f)
            np.clip(f, 0.0, 255.0, out=f)
        planar[...] = to_bytes(f)
        if lut is not None:
            for c in range(3):
                planar[c] = lut[c][planar[c]]
        u8[i] = planar.transpose(1, 2, 0)
        if cc is not None and lut is None:
            u8[i] = apply(cc, u8[i])


def ranges(n, threads):
    threads = min(max(1, int(threads)), n)
    if threads <= 1:
        return [(0, n)]
    step = (n + threads - 1) // threads
    return [(lo, min(lo + step, n)) for lo in range(0, n, step)]


def px_to_rgb888_chunk(px, cc=None, threads=1, apply=colour.apply):
    n = len(px)
    u8 = np.empty((n, FH, FW, 3), dtype=np.uint8)
    for lo, hi in ranges(n, threads):
        convert_range(px, u8, lo, hi, cc, apply)
    return u8


def default_threads(cpus):
    return max(1, min(8, cpus // 3))
