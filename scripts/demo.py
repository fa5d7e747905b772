"""Renders the demo avatar speaking the demo clip, through the model host's real pipe, to an MP4.

    .venv/bin/python scripts/demo.py [--avatar demo/avatar.imx] [--speech demo/speech.wav] [--out out/demo.mp4]

The clip is fed in uneven steps, as a live parent would; the frames go to ffmpeg as raw RGB888 and
are muxed with the speech. The MP4 appears only when complete (written beside, then renamed).
"""

import argparse
import os
import struct
import subprocess
import sys
import threading
import wave

import numpy as np

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FRAME_BYTES = 720 * 416 * 3


def read_speech(path):
    with wave.open(path, "rb") as w:
        if (w.getnchannels(), w.getsampwidth(), w.getframerate()) != (1, 2, 16000):
            sys.exit(f"{path}: need 16 kHz mono 16-bit PCM")
        pcm = np.frombuffer(w.readframes(w.getnframes()), dtype="<i2")
    return pcm.astype(np.float32) / 32768.0


def host_command():
    exe = os.path.join(os.path.dirname(sys.executable), "render_stream_tensorhost")
    return [exe] if os.path.exists(exe) else [sys.executable, "-c",
                                              "import sys; from quorvane._mirrant2._entry import run; run()"]


def feed(stdin, pcm, errors):
    rng = np.random.default_rng(1)
    i = 0
    try:
        while i < pcm.size:
            n = int(rng.integers(1, 2400))  # up to 150 ms at a time, uneven on purpose
            block = np.ascontiguousarray(pcm[i : i + n], dtype="<f4")
            stdin.write(struct.pack("<I", block.size) + block.tobytes())
            i += n
        stdin.write(struct.pack("<I", 0xFFFFFFFF))
        stdin.flush()
    except OSError as e:  # the host went away; its status tells why
        errors.append(e)


def read_exactly(stream, n):
    data = stream.read(n)
    if len(data) != n:
        raise RuntimeError(f"host output ended {len(data)} bytes into a {n}-byte read")
    return data


def close_quietly(stream):
    try:
        stream.close()
    except BrokenPipeError:
        pass


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--avatar", default=os.path.join(ROOT, "demo", "avatar.imx"))
    ap.add_argument("--speech", default=os.path.join(ROOT, "demo", "speech.wav"))
    ap.add_argument("--out", default=os.path.join(ROOT, "out", "demo.mp4"))
    a = ap.parse_args()

    pcm = read_speech(a.speech)
    os.makedirs(os.path.dirname(os.path.abspath(a.out)), exist_ok=True)
    tmp = a.out + ".part"
    host = subprocess.Popen(host_command() + ["render-stream", a.avatar], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    ready = host.stdout.readline()
    if not ready.startswith(b"READY "):
        host.kill()
        sys.exit(f"host did not start (status {host.wait()})")
    print(ready.decode().strip(), file=sys.stderr)

    ff = subprocess.Popen(
        ["ffmpeg", "-loglevel", "error", "-y", "-f", "rawvideo", "-pix_fmt", "rgb24", "-s", "416x720", "-r", "20",
         "-i", "-", "-i", a.speech, "-c:v", "libx264", "-pix_fmt", "yuv420p", "-c:a", "aac", "-f", "mp4", tmp],
        stdin=subprocess.PIPE)
    feed_errors = []
    writer = threading.Thread(target=feed, args=(host.stdin, pcm, feed_errors))
    writer.start()
    n_frames, last, failure = 0, None, None
    try:
        while True:
            (idx,) = struct.unpack("<i", read_exactly(host.stdout, 4))
            if idx == -1:
                break
            if last is not None and idx != last + 1:
                raise RuntimeError(f"frame {idx} follows {last}")
            ff.stdin.write(read_exactly(host.stdout, FRAME_BYTES))
            n_frames, last = n_frames + 1, idx
    except (RuntimeError, OSError) as e:
        failure = e
    finally:
        writer.join()
        close_quietly(host.stdin)
        close_quietly(ff.stdin)
        status, ff_status = host.wait(), ff.wait()
        if failure is not None or feed_errors or status != 0 or ff_status != 0:
            if os.path.exists(tmp):
                os.unlink(tmp)
    if failure is not None or feed_errors or status != 0 or ff_status != 0:
        why = failure or (feed_errors[0] if feed_errors else "")
        sys.exit(f"render failed (host {status}, ffmpeg {ff_status}) {why}".rstrip())
    os.replace(tmp, a.out)
    print(f"{n_frames} frames ({pcm.size / 16000:.2f} s of speech) -> {a.out}")


if __name__ == "__main__":
    main()
