"""Thread counts for the native runtimes: the package's own stand-in for that sizing service.

``default_threads(profile)`` answers how many intra-op threads a runtime of the given profile should
use on this machine: the CPUs this process may run on (its affinity mask where the platform has
one, else the CPU count), capped per profile. Always at least 1.
"""

from __future__ import annotations

import os

CORVINE1 = "corvine1"

_CAPS = {CORVINE1: 4}  # a corvine-1 tick is small; more threads than this only add overhead


def usable_cpus() -> int:
    """CPUs this process may run on, at least 1."""
    try:
        n = len(os.sched_getaffinity(0))
    except (AttributeError, OSError):
        n = os.cpu_count() or 1
    return max(1, n)


def default_threads(profile: str) -> int:
    """Intra-op thread count (a positive int) for a runtime of ``profile`` (``CORVINE1``).
    ValueError for an unknown profile."""
    try:
        cap = _CAPS[profile]
    except (KeyError, TypeError):
        raise ValueError(f"unknown thread profile {profile!r}; known: {', '.join(sorted(_CAPS))}") from None
    return max(1, min(cap, usable_cpus()))
