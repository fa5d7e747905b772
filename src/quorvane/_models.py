"""Records of the live-streaming API: the package's own stand-in for its records module.

- :class:`AudioChunk`: ``data`` (int16 numpy array of samples), ``sample_rate`` (Hz), ``last_chunk``.
- :class:`VideoFrame`: a picture (``bgr_image``, BGR uint8 height x width x 3, or None) with its
  voice (``audio_chunk``), its tick index in the utterance, the id of the control whose audio it
  carries and whether it ends the speech. Plain mutable dataclass: ``dataclasses.replace`` works and
  instances take extra attributes.
- :class:`VideoControl`: what goes into the live avatar: audio, a message id, an end-of-speech flag.
- ``INT16_MAX``: float sample = int16 sample / ``INT16_MAX``.
"""

from __future__ import annotations

import uuid
from dataclasses import dataclass
from typing import Any, Optional

import numpy as np

INT16_MAX = 32767


@dataclass
class AudioChunk:
    """Mono PCM: ``data`` int16 samples at ``sample_rate`` Hz; ``last_chunk`` ends the utterance."""

    data: np.ndarray
    sample_rate: int
    last_chunk: bool


@dataclass
class VideoFrame:
    """One picture with the tick of voice that belongs to it."""

    bgr_image: Optional[np.ndarray]
    audio_chunk: Optional[AudioChunk]
    frame_index: int = 0
    source_message_id: Any = None
    end_of_speech: bool = False


@dataclass
class VideoControl:
    """Input of the live avatar: ``audio`` (or None), the ``message_id`` of the speech it belongs
    to, and ``end_of_speech``."""

    audio: Optional[AudioChunk] = None
    message_id: Any = None
    end_of_speech: bool = False

    @classmethod
    def from_audio(cls, data, sample_rate: int, last_chunk: bool) -> "VideoControl":
        """A control carrying ``data`` (int16 little-endian PCM bytes) at ``sample_rate`` Hz, with a
        fresh message id. ValueError for bytes that do not hold whole 16-bit samples."""
        raw = bytes(data)
        if len(raw) % 2:
            raise ValueError(f"audio bytes must hold whole 16-bit samples; got {len(raw)} bytes")
        samples = np.frombuffer(raw, dtype="<i2").astype(np.int16, copy=False)
        return cls(audio=AudioChunk(data=samples, sample_rate=sample_rate, last_chunk=bool(last_chunk)),
                   message_id=uuid.uuid4().hex, end_of_speech=False)
