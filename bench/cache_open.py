"""An open() of a cached avatar: this interpreter's package against another interpreter's (a
checkout of the baseline, say), measured side by side in one run. Each interpreter runs in a
worker process of its own with a cache of its own, warmed by one open; the workers then take
turns, round by round, each timing a batch of opens of the same corvine-2 avatar (every one a
cache hit), and the best and the median batch of each are compared. Batches are timed in the
worker's own CPU time, which the other work of a shared machine disturbs less than the wall
clock. The cache step alone (`_materialise`) is timed the same way.

Target: an open() of a cached avatar no slower than the other's by more than 5 % (ratio <= 1.05).

    .venv/bin/python bench/cache_open.py --against /work/base/.venv/bin/python [--rounds 21] [--opens 300]
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
AVATAR = os.path.join(ROOT, "tests", "data", "corvine2-light.imx")


def worker():
    """Answers each line "<what> <n>" with the seconds that n of them took."""
    import quorvane
    from quorvane import _open

    with quorvane.open(AVATAR):  # unpacks it: every open below is a hit
        pass

    def opens(n):
        t = time.process_time()
        for _ in range(n):
            with quorvane.open(AVATAR):
                pass
        return time.process_time() - t

    def materialise(n):
        t = time.process_time()
        for _ in range(n):
            _open._materialise(AVATAR)
        return time.process_time() - t

    steps = {"open": opens, "materialise": materialise}
    print("ready", flush=True)
    for line in sys.stdin:
        what, n = line.split()
        print(json.dumps(steps[what](int(n))), flush=True)


def start(python, cache):
    env = dict(os.environ, QUORVANE_CACHE_DIR=cache)
    env.pop("QUORVANE_AVATAR_CACHE_GB", None)
    # Run from outside the checkout, so each interpreter imports its own installed package.
    p = subprocess.Popen([python, os.path.abspath(__file__), "--worker"], stdin=subprocess.PIPE,
                         stdout=subprocess.PIPE, text=True, env=env, cwd=cache)
    if p.stdout.readline() != "ready\n":
        raise SystemExit(f"{python}: the worker did not start")
    return p


def ask(p, what, n):
    p.stdin.write(f"{what} {n}\n")
    p.stdin.flush()
    return json.loads(p.stdout.readline())


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--against", required=True, help="the other interpreter (its own installed quorvane)")
    ap.add_argument("--rounds", type=int, default=21)
    ap.add_argument("--opens", type=int, default=300, help="opens per batch")
    a = ap.parse_args()
    with tempfile.TemporaryDirectory() as ours_dir, tempfile.TemporaryDirectory() as theirs_dir:
        ours, theirs = start(sys.executable, ours_dir), start(a.against, theirs_dir)
        print(f"{a.opens} opens of a cached avatar per batch, {a.rounds} rounds taken in turn; "
              f"load average {os.getloadavg()[0]:.1f}")
        for what in ("open", "materialise"):
            times = {"ours": [], "theirs": []}
            for r in range(a.rounds):
                # Alternate who goes first, so neither always runs on a warmer machine.
                order = [("ours", ours), ("theirs", theirs)]
                for name, p in order if r % 2 == 0 else order[::-1]:
                    times[name].append(ask(p, what, a.opens) / a.opens)
            best = {k: min(v) for k, v in times.items()}
            med = {k: statistics.median(v) for k, v in times.items()}
            print(f"{what:>11}: ours {best['ours'] * 1e6:7.1f} us (median {med['ours'] * 1e6:7.1f}), "
                  f"theirs {best['theirs'] * 1e6:7.1f} us (median {med['theirs'] * 1e6:7.1f}); "
                  f"ratio best {best['ours'] / best['theirs']:.3f}, median {med['ours'] / med['theirs']:.3f}")
        for p in (ours, theirs):
            p.stdin.close()
            p.wait(timeout=30)


if __name__ == "__main__":
    if sys.argv[1:] == ["--worker"]:
        worker()
    else:
        main()
