#!/usr/bin/env python3
"""Writes the small fixtures of the stand-in native runtime and session under tests/data/.

    python scripts/make_test_fixtures.py [OUT_DIR]

- corvine1.qvfx: a corvine-1 fixture, 64 x 48, 640 samples per tick (25 fps), ticks as they come;
- mirrant2.qvfx: a mirrant-2 engine fixture, 64 x 48, 800 samples per tick (20 fps), frames in
  chunks of 21 then 32, released 6400 samples (8 ticks, the live API's end-of-speech pad) after
  their audio;
- corvine2-light.qvfx: a v2 fixture, 64 x 48, 640 samples per tick, each frame held back two ticks
  until more audio or the end of the utterance comes;
- corvine2-light.imx: a corvine-2 light avatar container whose manifest names that engine (for the
  session runtime), 64 x 48.

The output is deterministic: running the script again rewrites the same bytes.
"""

import json
import os
import sys

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(ROOT, "src"))
sys.path.insert(0, os.path.join(ROOT, "scripts"))

from make_imx import write_imx  # noqa: E402
from quorvane._core import write_fixture  # noqa: E402

W, H = 64, 48
MOUTH = [W // 4, (H * 5) // 8, W - W // 4, (H * 7) // 8]

FIXTURES = {
    "corvine1.qvfx": {"engine": "corvine1", "audio_samples_per_tick": 640, "chunking": None},
    "mirrant2.qvfx": {"engine": "mirrant2", "audio_samples_per_tick": 800,
                      "chunking": {"first_frames": 21, "frames": 32, "lookahead_samples": 6400}},
    "corvine2-light.qvfx": {"engine": "corvine2-light", "audio_samples_per_tick": 640,
                            "chunking": {"first_frames": 1, "frames": 1, "lookahead_samples": 1280}},
}


def resting_picture():
    """BGR: blue rises left to right, green top to bottom, red is flat; the mouth is closed (0)."""
    x = np.arange(W)[None, :]
    y = np.arange(H)[:, None]
    img = np.empty((H, W, 3), dtype=np.uint8)
    img[:, :, 0] = (x * 255 // (W - 1)).astype(np.uint8)
    img[:, :, 1] = (y * 255 // (H - 1)).astype(np.uint8)
    img[:, :, 2] = 40
    x0, y0, x1, y1 = MOUTH
    img[y0:y1, x0:x1, :] = 0
    return img


def main(argv):
    out = argv[0] if argv else os.path.join(ROOT, "tests", "data")
    os.makedirs(out, exist_ok=True)
    pic = resting_picture()
    for name, fields in FIXTURES.items():
        header = dict(fields, frame_width=W, frame_height=H, audio_sample_rate=16000, audio_encoder="rms", mouth=MOUTH)
        write_fixture(os.path.join(out, name), header, pic)
    manifest = {"engine": "corvine2-light", "format": 2, "frame_width": W, "frame_height": H}
    write_imx(os.path.join(out, "corvine2-light.imx"),
              [("manifest.json", json.dumps(manifest, sort_keys=True).encode())])
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
