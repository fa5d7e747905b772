"""The arithmetic of voice-first delivery, in plain Python floats: the oracle for the native
release times."""

from __future__ import annotations

import math


def queued_seconds(raw):
    """What the sink reports, made usable: never negative, and NaN or an infinity count as 0."""
    if not math.isfinite(raw):
        return 0.0
    return max(raw, 0.0)


def picture_release(now, queued_s, voice_s, lead_s):
    return now + max(queued_s - voice_s, 0.0) - lead_s


def hold_timeout(release, now):
    return max(release - now, 0.0)
