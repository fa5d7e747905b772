"""The local API's sample conversions and render arithmetic, written plainly in NumPy/Python."""

import numpy as np


def float_pcm(samples):
    """Float samples in nominal [-1, 1] to s16le bytes: clip, scale, truncate."""
    return (np.clip(samples, -1.0, 1.0) * 32767.0).astype(np.int16).tobytes()


def chunk_samples(chunk):
    """s16le bytes to the float32 samples the fixture runtime is given."""
    return np.frombuffer(chunk, dtype=np.int16).astype(np.float32) / 32768.0


def short_floor(expected, frac=0.02):
    """The fewest frames a render of `expected` frames may deliver."""
    return expected - max(2, int(expected * frac))


def expected_frames(n_bytes, byte_rate, fps):
    """Frames a clip of `n_bytes` should give at `fps`, or None."""
    n = int(n_bytes / byte_rate * fps)
    return n if n >= 1 else None
