"""The unified corvine-2 engine's package (see :mod:`quorvane._c2u.engine`)."""

from .engine import C2UEngine, C2UInvalid, C2UUnavailable

__all__ = ["C2UEngine", "C2UInvalid", "C2UUnavailable"]
