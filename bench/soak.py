"""Soak run: does the host's resident memory stay flat over a long session?

Streams 30 minutes of speech-like audio to the host (the installed package) on the demo avatar in
20 ms steps, as fast as the host takes them, reading every frame record as it becomes due. After
each minute of audio it waits until the host has taken every step sent and is blocked reading the
next one, and samples its resident memory (VmRSS of /proc/<pid>/status). Prints the samples and
the growth from minute 2 to the last minute (target: at most 5 MB over 30 minutes).

    .venv/bin/python bench/soak.py [--minutes 30]
"""

import argparse
import fcntl
import os
import subprocess
import sys
import tempfile
import termios
import time

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from host_pipe import (  # noqa: E402
    AVATAR, FRAME_BYTES, ROOT, SR, STEP_SAMPLES, frames_of, host_command, need, read_into, read_line,
    speech_like, step_stream, vm_rss_kib)

STEPS_PER_MINUTE = 60 * SR // STEP_SAMPLES


def mb(kib):
    return kib * 1024 / 1e6


def waiting_for_input(pid, in_fd):
    """True when the host's main thread is blocked in a read of its standard input and no byte
    sent to it is left unread."""
    pending = bytearray(4)
    fcntl.ioctl(in_fd, termios.FIONREAD, pending)
    if int.from_bytes(pending, sys.byteorder) != 0:
        return False
    with open(f"/proc/{pid}/stat") as f:
        state = f.read().rpartition(")")[2].split()[0]
    if state != "S":
        return False
    try:
        with open(f"/proc/{pid}/syscall") as f:
            call = f.read().split()
        return call[:2] == ["0", "0x0"]  # read(0, ...)
    except PermissionError:
        with open(f"/proc/{pid}/wchan") as f:
            return "pipe_read" in f.read()


def wait_idle(pid, in_fd, timeout=60.0):
    deadline = time.monotonic() + timeout
    while not waiting_for_input(pid, in_fd):
        if time.monotonic() > deadline:
            raise TimeoutError("the host did not come back to read its next step")
        time.sleep(0.002)


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--minutes", type=int, default=30)
    a = ap.parse_args()
    if a.minutes < 3:
        sys.exit("--minutes: at least 3 (the growth is taken from minute 2)")

    env = dict(os.environ)
    env.pop("PYTHONUNBUFFERED", None)
    samples = []  # (minute, VmRSS KiB)
    frame = memoryview(bytearray(FRAME_BYTES))
    hdr = memoryview(bytearray(4))
    with tempfile.TemporaryFile() as err:
        p = subprocess.Popen(host_command() + ["render-stream", AVATAR], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE, stderr=err, env=env)
        try:
            out_fd, in_fd = p.stdout.fileno(), p.stdin.fileno()
            if not read_line(out_fd).startswith(b"READY "):
                raise RuntimeError("host did not start")
            wait_idle(p.pid, in_fd)
            samples.append((0, vm_rss_kib(p.pid)))
            t0 = time.perf_counter()
            fed, ci, n_frames, last = 0, 0, 0, None
            for minute in range(1, a.minutes + 1):
                # Each minute its own seeded clip, so the whole stream need not be held at once.
                pcm = speech_like(60.0, seed=minute)
                words = memoryview(step_stream(pcm))
                step_bytes = 4 * (STEP_SAMPLES + 1)
                for s in range(STEPS_PER_MINUTE):
                    os.write(in_fd, words[s * step_bytes : (s + 1) * step_bytes])
                    fed += STEP_SAMPLES
                    while fed >= need(ci):
                        for _ in range(frames_of(ci)):
                            read_into(out_fd, hdr)
                            idx = int.from_bytes(hdr, "little", signed=True)
                            if last is not None and idx != last + 1:
                                raise RuntimeError(f"frame {idx} follows {last}")
                            read_into(out_fd, frame)
                            n_frames, last = n_frames + 1, idx
                        ci += 1
                wait_idle(p.pid, in_fd)
                samples.append((minute, vm_rss_kib(p.pid)))
                print(f"  minute {minute:2d}: VmRSS {mb(samples[-1][1]):8.1f} MB", flush=True)
            wall = time.perf_counter() - t0
            with open(f"/proc/{p.pid}/status") as f:
                hwm = next(int(line.split()[1]) for line in f if line.startswith("VmHWM:"))
            p.stdin.close()
            status = p.wait(timeout=60)
        finally:
            if p.poll() is None:
                p.kill()
                p.wait()
        err.seek(0)
        log = err.read().decode("utf-8", "replace")
    if status != 0:
        sys.exit(f"host exited with status {status}:\n{log}")
    rtf = [line.partition("] ")[2] for line in log.splitlines() if "] rtf=" in line]

    print(f"host on {os.path.relpath(AVATAR, ROOT)}: {a.minutes} min of audio in "
          f"{STEP_SAMPLES * 1000 // SR} ms steps, {ci} chunks, {n_frames} frames in {wall:.1f} s; "
          f"last host log: {rtf[-1] if rtf else '(none)'}")
    print("resident memory between steps (VmRSS):")
    print("  " + "  ".join(f"{m}:{mb(kib):.1f}" for m, kib in samples) + "  (minute:MB)")
    print(f"  peak (VmHWM) {mb(hwm):.1f} MB")
    by_minute = dict(samples)
    growth = mb(by_minute[a.minutes] - by_minute[2])
    print(f"growth from minute 2 to minute {a.minutes}: {growth:+.2f} MB  (target <= 5 MB)")


if __name__ == "__main__":
    main()
