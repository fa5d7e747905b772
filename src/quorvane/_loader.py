"""Loading a native fixture for an avatar object: the package's own stand-in for that loader.

:class:`NativeFixtureLoaderMixin` is the base of the classes that hold a ``quorvane._core`` fixture
and runtime (the live ``AsyncAvatar``). It gives them:

- ``_register_default_audio_encoder()``: called on the class; registers the "rms" audio encoder
  with ``quorvane._core`` (fixtures refuse to load until their encoder is registered). Idempotent.
- ``_load_fixture_in_executor(loop, path)``: the load below on the loop's default executor, as an
  asyncio future; cancelling it stops a model host the load is starting.
- ``_load_fixture_blocking(path)``: loads the fixture file at ``path`` and sets ``_fixture``,
  ``_runtime`` (a new ``_core.Runtime``) and ``_model_path``. The intra-op thread count is the
  instance's ``_num_threads`` when above 0, else ``default_threads(CORVINE1)`` for a fixture file
  and the model host's own count for a mirrant-2 bundle. Blocking; its
  errors (OSError, ValueError, ...) propagate, and then the instance's attributes are unchanged.
"""

from __future__ import annotations

import os

import numpy as np

from . import _core
from ._threads import CORVINE1, default_threads

DEFAULT_AUDIO_ENCODER = "rms"


def rms_level(tick: np.ndarray) -> int:
    """The "rms" audio encoder: mouth brightness 0..255 from the tick's RMS level, full at 0.25."""
    t = np.asarray(tick, dtype=np.float64)
    rms = float(np.sqrt(np.mean(t * t))) if t.size else 0.0
    return int(round(min(1.0, rms / 0.25) * 255.0))


# Compose mode makes each tick's picture on the event loop and ends the utterance once its last
# speech tick is composed; a chunked model has that tick only after rendering up to two more chunks
# of audio, so it would either stall the loop or lose the end of every utterance.
_M2_COMPOSE_REFUSED = (
    "{path} is a mirrant-2 avatar: it streams its own 416x720 pictures, made in chunks, and cannot "
    "compose each tick at output_size={size} on the event loop; create it with output_size=None "
    "(streaming mode) and scale the frames where they are shown")


def _load_abortably(avatar, path, abort) -> None:
    from ._m2_runtime import abortable_start

    with abortable_start(abort):
        avatar._load_fixture_blocking(path)


class NativeFixtureLoaderMixin:
    """Base for objects that own a ``_core`` fixture and runtime (attributes ``_fixture``,
    ``_runtime``, ``_model_path``; reads ``_num_threads``)."""

    @staticmethod
    def _register_default_audio_encoder() -> None:
        """Register the default audio encoder with the native runtime. Safe to call any number of
        times, from any thread."""
        if _core.audio_encoder(DEFAULT_AUDIO_ENCODER) is not rms_level:
            _core.register_audio_encoder(DEFAULT_AUDIO_ENCODER, rms_level)

    def _load_fixture_in_executor(self, loop, path):
        """``_load_fixture_blocking(path)`` on the loop's default executor, as an asyncio future.
        Cancelling it (its create() or set_model() cancelled or interrupted) stops a model host the
        job is starting, so the job ends at once rather than once the host has loaded, and an
        interrupt reaches the caller without waiting for it."""
        from ._m2_runtime import StartAbort

        abort = StartAbort()
        fut = loop.run_in_executor(None, _load_abortably, self, path, abort)
        fut.add_done_callback(lambda f: abort.abort() if f.cancelled() else None)
        return fut

    def _load_fixture_blocking(self, path) -> None:
        """Load the fixture at ``path`` and build its runtime (see the module text)."""
        path = os.fspath(path)
        self._register_default_audio_encoder()
        n = getattr(self, "_num_threads", 0)
        asked = n if isinstance(n, int) and not isinstance(n, bool) and n > 0 else 0
        out_size = getattr(self, "_output_size", None)
        if _core.is_mirrant2_bundle(path):
            if out_size is not None:
                raise ValueError(_M2_COMPOSE_REFUSED.format(path=path, size=tuple(out_size)))
            threads = asked  # 0: the model host's own count, so both APIs run the chain alike
        else:
            threads = asked or default_threads(CORVINE1)
        fixture = _core.Fixture(path, preferred_ep=_core.EP_AUTO, intra_op_threads=threads)
        if out_size is not None:
            try:
                size = (int(out_size[0]), int(out_size[1]))
            except (TypeError, ValueError, IndexError):
                size = None  # the producer reports a bad size when it first composes
            if size is not None and size[0] > 0 and size[1] > 0:
                fixture.prepare_size(*size)  # scaled here, off the event loop, once
        runtime = _core.Runtime(fixture)
        self._fixture = fixture
        self._runtime = runtime
        self._model_path = path
