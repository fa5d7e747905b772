"""Renders the demo avatar speaking the demo clip to an MP4, through the local avatar API.

    .venv/bin/python scripts/demo.py [--avatar demo/avatar.imx] [--speech demo/speech.wav] [--out out/demo.mp4]

`quorvane.open` reads the avatar's engine id (a mirrant-2 bundle), whose engine starts the model host
and drives it over its frame pipe; `render(speech, out_mp4=...)` writes H.264 video with the speech.
The MP4 appears only when complete; a failed render leaves nothing behind and exits non-zero.
"""

import argparse
import logging
import os
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--avatar", default=os.path.join(ROOT, "demo", "avatar.imx"))
    ap.add_argument("--speech", default=os.path.join(ROOT, "demo", "speech.wav"))
    ap.add_argument("--out", default=os.path.join(ROOT, "out", "demo.mp4"))
    a = ap.parse_args()
    logging.basicConfig(level=logging.INFO, format="%(message)s")

    import quorvane
    from quorvane._errors import AvatarError

    os.makedirs(os.path.dirname(os.path.abspath(a.out)), exist_ok=True)
    try:
        with quorvane.open(a.avatar) as avatar:
            n_frames = avatar.render(a.speech, out_mp4=a.out)
    except AvatarError as e:
        detail = getattr(e, "detail", None)
        sys.exit(f"render failed: {e}" + (f" ({detail})" if detail else ""))
    print(f"{n_frames} frames -> {a.out}")


if __name__ == "__main__":
    main()
