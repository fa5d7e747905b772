"""The live API's audio arithmetic, written plainly in NumPy/Python: int16 to float, the linear
resampler, a tick's voice, the end-of-utterance tail and the smoothed feed time."""

import numpy as np

INT16_MAX = 32767


def i16_to_f32(arr, int16_max=INT16_MAX):
    return arr.astype(np.float32) / int16_max


def resample_linear(pcm, src_sr, dst_sr):
    if src_sr == dst_sr:
        return pcm
    if pcm.size == 0:
        return pcm
    n_out = int(round(pcm.size * dst_sr / src_sr))
    if n_out <= 0:
        return np.zeros(0, dtype=pcm.dtype)
    x_old = np.linspace(0.0, 1.0, num=pcm.size, endpoint=False, dtype=np.float64)
    x_new = np.linspace(0.0, 1.0, num=n_out, endpoint=False, dtype=np.float64)
    return np.interp(x_new, x_old, pcm).astype(pcm.dtype, copy=False)


def resampled_int16(tmp_f32, int16_max=INT16_MAX):
    """Resampled float audio back to int16: scaled, a plain cast, no clipping."""
    return (tmp_f32 * int16_max).astype(np.int16)


def intake(pcm_i16, sample_rate):
    """What one control's int16 audio adds to the utterance buffer."""
    if sample_rate != 16000:
        pcm_i16 = resampled_int16(resample_linear(i16_to_f32(pcm_i16), sample_rate, 16000))
    return i16_to_f32(pcm_i16)


def tick_voice(pcm_buf, tick_idx, spt, int16_max=INT16_MAX):
    start = tick_idx * spt
    s = pcm_buf[start : start + spt]
    if s.size < spt:
        s = np.concatenate([s, np.zeros(spt - s.size, dtype=np.float32)])
    return (np.clip(s, -1.0, 1.0) * int16_max).astype(np.int16)


def tail_plan(n_samples, spt, ticks_emitted, pad):
    """(total_audio_ticks, remaining, target_len or None) of an utterance's end."""
    total = n_samples // spt + (1 if n_samples % spt else 0)
    remaining = max(total - ticks_emitted, 0)
    if remaining == 0:
        return total, 0, None
    return total, remaining, (ticks_emitted + remaining + pad) * spt


def smoothed_feed_time(prev, dur):
    return dur if prev is None else 0.7 * prev + 0.3 * dur
