"""WSOLA tempo change, transcribed step by step in NumPy.

A NaN sample counts as silence in both grid conversions (the compiled module makes the same
choice); overflow of out-of-range samples to infinity is part of the algorithm (it is clipped
right after), so that warning is silenced.
"""

import numpy as np
from numpy.lib.stride_tricks import sliding_window_view

SR_WSOLA_SEGMENT = 1312
SR_WSOLA_OVERLAP = 192
SR_WSOLA_SEARCH = 235


def _wsola_to_buf(d):
    v = np.asarray(d, dtype=np.float64)
    v = np.where(np.isnan(v), 0.0, v)
    with np.errstate(over="ignore"):
        v = v * 2147483648.0
    v = np.trunc(v)
    v = np.clip(v, -2147483648.0, 2147483647.0)
    v = np.floor((v + 64.0) / 128.0)
    return np.asarray(v, dtype=np.float32)


def _wsola_from_buf(v):
    v = np.asarray(v, dtype=np.float64)
    v = np.where(np.isnan(v), 0.0, v)
    v = np.floor(v + 0.5)
    with np.errstate(over="ignore"):
        v = v * 128.0
    v = np.clip(v, -2147483648.0, 2147483647.0)
    v = v / 2147483648.0
    return np.asarray(v, dtype=np.float32)


def tempo_wsola(x, factor=1.25):
    ov = SR_WSOLA_OVERLAP
    hop = SR_WSOLA_SEGMENT - ov
    half = (SR_WSOLA_SEARCH - 1) // 2
    skip = float(factor) * hop
    buf = _wsola_to_buf(x)
    n = buf.size
    n_out = max(int(np.floor(n / float(factor) + 0.5)), 0)
    inv = np.float32(1.0) / np.float32(192.0)
    w = np.arange(ov, dtype=np.float32) * inv
    u = np.float32(1.0) - w
    assert w.dtype == np.float32 and u.dtype == np.float32
    out = np.zeros(n_out, dtype=np.float32)
    pad = half + SR_WSOLA_SEGMENT + 1
    pbuf = np.zeros(n + 2 * pad, dtype=np.float32)
    pbuf[pad : pad + n] = buf
    win = sliding_window_view(pbuf, ov)
    offsets = np.arange(-half, half + 1)

    def take(a, cnt):
        a = int(a)
        if a >= n or a + cnt <= 0:
            return np.zeros(cnt, dtype=np.float32)
        lo = max(0, a)
        s = buf[lo : min(a + cnt, n)]
        return np.concatenate(
            [
                np.zeros(lo - a, dtype=np.float32),
                s,
                np.zeros(cnt - (lo - a) - len(s), dtype=np.float32),
            ]
        ).astype(np.float32)

    q = 0
    blk = 0
    while blk * hop < n_out:
        o0 = blk * hop
        emit = min(hop, n_out - o0)
        if blk == 0:
            blkbuf = take(0, hop)
        else:
            tail = take(q + hop, ov)
            nom = int(np.floor(blk * skip + 0.5))
            lo = nom - half + pad
            cands = win[lo : lo + 2 * half + 1].astype(np.float64)
            diff = cands - tail.astype(np.float64)
            ssd = np.cumsum(diff * diff, axis=1)[:, -1]
            j = int(np.argmin(ssd))
            qj = nom + int(offsets[j])
            head = take(qj, ov)
            mix = (tail * u).astype(np.float32) + (head * w).astype(np.float32)
            assert mix.dtype == np.float32
            blkbuf = np.concatenate([mix, take(qj + ov, hop - ov)])
            q = qj
        out[o0 : o0 + emit] = blkbuf[:emit]
        blk += 1
    return _wsola_from_buf(out)
