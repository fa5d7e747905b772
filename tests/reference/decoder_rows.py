"""Decoder input rows, transcribed step by step in NumPy."""

import numpy as np

LC = 16
LH = 90
LW = 52
PLANE = LH * LW


def build_dec_inputs(lats, blk, prev_lat):
    rows = []
    for i in range(blk):
        s = 3 if (i == 0 and prev_lat is None) else 0
        for ph in range(s, 4):
            rows.append((i, ph))
    n = len(rows)
    xs = np.zeros((n, 36, PLANE), dtype=np.float32)
    for r, (i, ph) in enumerate(rows):
        xs[r, 0:LC] = np.asarray(lats[i], dtype=np.float32).reshape(LC, PLANE)
        if i > 0:
            before = lats[i - 1]
        elif prev_lat is not None:
            before = prev_lat
        else:
            before = lats[0]
        xs[r, LC : 2 * LC] = np.asarray(before, dtype=np.float32).reshape(LC, PLANE)
        xs[r, 2 * LC + ph] = 1.0
    return xs.reshape(n, 36, LH, LW), n
