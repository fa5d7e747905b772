"""An application that streams a live avatar always ends when it is asked to: by Ctrl-C, by a
wait_for time-out, or by the loop's teardown, with a consumer slower than the frame rate or one that
stalls, so the bounded output queue is full and nobody takes from it, or with its model host stuck
in the middle of a render. Its loop ends within 2 s, it leaves no model host behind, and the process
exits right after (nothing of the package keeps it alive). An avatar dropped with its loop closed
under its pending tasks is freed by the collector at once, and its host ends. Each case is a child
interpreter (ending_app.py) under a watchdog, so a hang fails its test instead of stalling the
suite; the children run a few at a time."""

import concurrent.futures
import json
import os
import signal
import subprocess
import sys
import time
from pathlib import Path

import pytest

HERE = Path(__file__).parent
MODELS = {"corvine1": HERE / "data" / "corvine1.qvfx", "corvine2": HERE / "data" / "corvine2-light.qvfx",
          "mirrant2": HERE.parent / "demo" / "avatar.imx", "mirrant2-fixture": HERE / "data" / "mirrant2.qvfx"}
SESSIONS = [("corvine1", "streaming"), ("corvine1", "compose"), ("corvine2", "streaming"), ("corvine2", "compose"),
            ("mirrant2", "streaming")]  # a mirrant-2 avatar makes its frames in chunks: it only streams
CASES = [(m, mode, consumer, how) for m, mode in SESSIONS for consumer in ("slow", "stall")
         for how in ("sigint", "wait_for", "teardown")] + [("mirrant2", "streaming", "stall", "abandon")] + [
    ("mirrant2", "streaming", "stuck", how) for how in ("sigint", "teardown", "abandon")]
DROPS = [(m, "streaming", "-", "drop") for m in ("corvine1", "corvine2", "mirrant2-fixture", "mirrant2")]
WATCHDOG_S = {"drop": 240}  # ten applications in a row; 90 s for one
OUTCOME = {"sigint": "KeyboardInterrupt", "wait_for": "TimeoutError", "teardown": "'returned'", "abandon": "'returned'"}

_pool = concurrent.futures.ThreadPoolExecutor(3)
_runs = {}


def run_child(case):
    model, mode, consumer, how = case
    watchdog_s = WATCHDOG_S.get(how, 90)
    try:
        p = subprocess.run([sys.executable, str(HERE / "ending_app.py"), str(MODELS[model]), mode, consumer, how],
                           capture_output=True, text=True, timeout=watchdog_s)
    except subprocess.TimeoutExpired as e:
        out = e.stdout.decode() if isinstance(e.stdout, bytes) else (e.stdout or "")
        for line in out.strip().splitlines()[-1:]:
            for pid in json.loads(line)["hosts"]:  # the child is gone: what it left is ended here
                if alive(pid):
                    os.kill(pid, signal.SIGKILL)
        return None, f"no end within {watchdog_s} s: the application hangs\n{out}"
    exited = time.monotonic()
    lines = p.stdout.strip().splitlines()
    if p.returncode != 0 or not lines:
        return None, f"status {p.returncode}\n{p.stdout}\n{p.stderr[-3000:]}"
    got = json.loads(lines[-1])
    got["exited"] = exited
    got["left"] = [pid for pid in got["hosts"] if alive(pid)]
    for pid in got["left"]:
        os.kill(pid, signal.SIGKILL)
    return got, p.stderr[-3000:]



def alive(pid):
    return os.path.exists(f"/proc/{pid}")  # (the child that started it is gone: nobody leaves it a zombie)


def result(case):
    if not _runs:  # every case starts at the first one asked for; each test waits for its own
        for c in DROPS + CASES:  # the longest first
            _runs[c] = _pool.submit(run_child, c)
    return _runs[case].result()


@pytest.mark.parametrize("case", CASES, ids=["-".join(c) for c in CASES])
def test_the_application_ends_at_once_and_no_host_is_left(case):
    model, _, _, how = case
    got, stderr = result(case)
    assert got is not None, stderr
    assert got["outcome"] == OUTCOME[how], stderr
    assert got["ended"] - got["asked"] < 2.0, stderr
    # Freed at the first collection, whatever its tasks wait on (a stuck host's render among them).
    assert got["collected"] and got["alive"] == [], stderr
    # No host outlives the process, and the process ends right after the application: a watchdog,
    # not a speed figure.
    assert got["left"] == [], stderr
    assert got["exited"] - got["printed"] < 5.0, stderr
    assert (model == "mirrant2") == bool(got["hosts"])


@pytest.mark.parametrize("case", DROPS, ids=[c[0] for c in DROPS])
def test_an_avatar_dropped_with_its_loop_closed_is_collected_and_its_host_ends(case):
    """Ten applications in a row, each closing its loop with the avatar's tasks pending (a call on
    the engine thread among them, as a model host renders) and dropping it: the collector frees each
    avatar at once, and its host ends with its staging directory, within its grace period."""
    got, stderr = result(case)
    assert got is not None, stderr
    rounds = got["rounds"]
    assert [r["collected"] for r in rounds] == [True] * 10, stderr
    assert [(r["alive"], r["staged"]) for r in rounds] == [([], [])] * 10, stderr
    assert got["left"] == [], stderr
    assert all(len(r["hosts"]) == (case[0] == "mirrant2") for r in rounds), stderr
