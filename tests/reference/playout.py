"""The arithmetic of the mirrant-2 playout clock, in plain Python floats: the oracle for the
native start rule and schedule."""

from __future__ import annotations

MIN_WALL_S = 0.001


def ahead_seconds(chunk_frames, spt, sample_rate_hz, chunk0_frames, period_s):
    return chunk_frames * spt / sample_rate_hz - chunk0_frames * period_s


def audio_for(frames, period_s, ahead_s):
    return frames * period_s + ahead_s


def next_due_after(next_due, period_s, now, catchup_s):
    return max(next_due + period_s, now - catchup_s)


def first_chunk(now, t0, got_s, audio_for_ready_s):
    """(t_chunk0, lag0) of the first check of a waiting period."""
    rate0 = got_s / max(now - t0, MIN_WALL_S)
    return now, max(0.0, now - (t0 + audio_for_ready_s / rate0))


def chunk1_make_s(steady_s, r0_s, lag0, r1_factor):
    if steady_s is not None:
        return steady_s
    if r0_s is not None:
        return r1_factor * r0_s
    return r1_factor * (lag0 or 0.0)


def chunk1_in_time(now, ready, period_s, t0, got_s, t_end, need1_s, t_chunk0, r1_s, margin_s):
    rate = got_s / max((t_end if t_end is not None else now) - t0, MIN_WALL_S)
    t_audio1 = max(t0 + need1_s / rate, t_chunk0)
    return now + ready * period_s >= t_audio1 + r1_s + margin_s


def next_chunk_in_time(ready, now, *, period_s, spt, t0, got_s, done, t_end, need1_s, steady_s, r0_s,
                       state, chunk_frames=32, chunk0_frames=21, sample_rate_hz=16000, r1_factor=1.35,
                       margin_s=0.15):
    """The whole start rule for 21 to 35 buffered pictures; ``state`` is a dict holding
    ``t_chunk0`` and ``lag0`` of the waiting period (None at its start)."""
    if t0 is None or got_s <= 0:
        return False
    ahead = ahead_seconds(chunk_frames, spt, sample_rate_hz, chunk0_frames, period_s)
    if state.get("t_chunk0") is None:
        state["t_chunk0"], state["lag0"] = first_chunk(now, t0, got_s, audio_for(ready, period_s, ahead))
    r1 = chunk1_make_s(steady_s, r0_s, state["lag0"], r1_factor)
    return chunk1_in_time(now, ready, period_s, t0, got_s, t_end if done else None, need1_s, state["t_chunk0"], r1,
                          margin_s)
