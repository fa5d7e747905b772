"""An application that streams a live avatar always ends when it is asked to: by Ctrl-C, by a
wait_for time-out, or by the loop's teardown, with a consumer slower than the frame rate or one that
stalls, so the bounded output queue is full and nobody takes from it. It ends within 2 s and leaves
no model host behind. Each case is a child interpreter (ending_app.py) under a watchdog, so a hang
fails its test instead of stalling the suite; the children run a few at a time."""

import concurrent.futures
import json
import subprocess
import sys
from pathlib import Path

import pytest

HERE = Path(__file__).parent
MODELS = {"corvine1": HERE / "data" / "corvine1.qvfx", "corvine2": HERE / "data" / "corvine2-light.qvfx",
          "mirrant2": HERE.parent / "demo" / "avatar.imx"}
SESSIONS = [("corvine1", "streaming"), ("corvine1", "compose"), ("corvine2", "streaming"), ("corvine2", "compose"),
            ("mirrant2", "streaming")]  # a mirrant-2 avatar makes its frames in chunks: it only streams
CASES = [(m, mode, consumer, how) for m, mode in SESSIONS for consumer in ("slow", "stall")
         for how in ("sigint", "wait_for", "teardown")] + [("mirrant2", "streaming", "stall", "abandon")]
WATCHDOG_S = 90
OUTCOME = {"sigint": "KeyboardInterrupt", "wait_for": "TimeoutError", "teardown": "'returned'", "abandon": "'returned'"}

_pool = concurrent.futures.ThreadPoolExecutor(3)
_runs = {}


def run_child(case):
    model, mode, consumer, how = case
    try:
        p = subprocess.run([sys.executable, str(HERE / "ending_app.py"), str(MODELS[model]), mode, consumer, how],
                           capture_output=True, text=True, timeout=WATCHDOG_S)
    except subprocess.TimeoutExpired:
        return None, f"no end within {WATCHDOG_S} s: the application hangs"
    lines = p.stdout.strip().splitlines()
    if p.returncode != 0 or not lines:
        return None, f"status {p.returncode}\n{p.stdout}\n{p.stderr[-3000:]}"
    return json.loads(lines[-1]), p.stderr[-3000:]


def result(case):
    if not _runs:  # every case starts at the first one asked for; each test waits for its own
        for c in CASES:
            _runs[c] = _pool.submit(run_child, c)
    return _runs[case].result()


@pytest.mark.parametrize("case", CASES, ids=["-".join(c) for c in CASES])
def test_the_application_ends_at_once_and_no_host_is_left(case):
    model, _, _, how = case
    got, stderr = result(case)
    assert got is not None, stderr
    assert got["outcome"] == OUTCOME[how], stderr
    assert got["ended"] - got["asked"] < 2.0, stderr
    assert got["collected"] and got["alive"] == [], stderr
    assert (model == "mirrant2") == bool(got["hosts"])
