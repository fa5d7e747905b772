"""The real host program against hostile and broken parents.

Every stream is also replayed through the protocol as written (a word, its payload, the three
outcomes of a word) onto an in-process Renderer on the same models, which gives the exact records,
exit status and last log line the host must produce. Every run is bounded by a timeout, and the
staging directory, which the host does use for the container's model, must be empty afterwards.
"""

import hashlib
import json
import os
import struct
import subprocess
import sys
import threading
from pathlib import Path

import numpy as np
import pytest

from bundles import CANON, COMBINED, make
from pipe_client import FLUSH, RESET, Reader, host_command, parse_records, pipe_filled, spawn, step
from quorvane._mirrant2 import _tensorhost as th

HERE = Path(__file__).parent
MAX_STEP = 16777216
TIMEOUT_S = 120
READY = b'READY {"fps":20,"width":416,"height":720,"sample_rate":16000,"color":null}\n'
CLOSED = "[render-stream-tensorhost] stdin closed \u2014 exiting"


def word(w):
    return struct.pack("<I", w)


def desync_line(w):
    return f"[render-stream-tensorhost] bad step size {w} \u2014 protocol desync"


@pytest.fixture(scope="module")
def bundle(tmp_path_factory):
    return make(tmp_path_factory.mktemp("bundle"), "imx", {"canon.bin": CANON, "combined_litert.tflite": COMBINED})


@pytest.fixture
def stage(tmp_path):
    """The staging directory, its time stamp wound back so that a run that staged anything shows."""
    d = tmp_path / "stage"
    d.mkdir()
    os.utime(d, (0, 0))
    return d


def assert_staged_and_cleaned(stage):
    assert os.listdir(stage) == []
    assert os.stat(stage).st_mtime > 0, "the model was never staged here: the check above proves nothing"


def start(bundle, stage):
    return spawn(host_command(bundle), env={"MIRRANT2_STAGE_DIR": str(stage)})


# ---- the protocol as written, onto an in-process renderer -----------------------------------

def protocol(data):
    """The requests the host must act on, and how the stream ends: ("eof",) or ("desync", word)."""
    ops, i = [], 0
    while True:
        if len(data) - i < 4:
            return ops, ("eof",)
        (w,) = struct.unpack_from("<I", data, i)
        i += 4
        if w == 0xFFFFFFFF:
            ops.append(("flush",))
        elif w == 0xFFFFFFFE:
            ops.append(("reset",))
        elif w > MAX_STEP:
            return ops, ("desync", w)
        elif len(data) - i < 4 * w:
            return ops, ("eof",)
        else:
            ops.append(("feed", np.frombuffer(data, "<f4", w, i)))
            i += 4 * w


def digest(frames):
    return [("frame", int(i), hashlib.sha256(bytes(f)).hexdigest()) for i, f in frames]


def expected(data):
    """(records, exit status, last log line) the host owes for the stream `data`."""
    ops, end = protocol(data)
    r = th.Renderer(th.LitertChain(str(HERE / "data" / "combined_litert.tflite"), np.frombuffer(CANON, "<f4"), 1), None)
    recs = []
    for op in ops:
        if op[0] == "feed":
            r.feed(op[1].astype(np.float32))
            recs += digest(r.ready_chunks())
        elif op[0] == "flush":
            recs += digest(r.flush_chunks()) + [("end",)]
        else:
            r.reset()
    if end[0] == "eof":
        return recs, 0, CLOSED
    return recs, 1, desync_line(end[1])


def served(out):
    assert out.startswith(READY)
    return [("frame", r[1], hashlib.sha256(r[2]).hexdigest()) if r[0] == "frame" else r
            for r in parse_records(out[len(READY):])]


def check_stream(bundle, stage, data):
    proc = start(bundle, stage)
    try:
        out, err = proc.communicate(data, timeout=TIMEOUT_S)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        pytest.fail("the host hung")
    recs, status, last = expected(data)
    err = err.decode()
    assert (proc.returncode, err.splitlines()[-1]) == (status, last), err
    assert served(out) == recs
    assert_staged_and_cleaned(stage)


# ---- streams ---------------------------------------------------------------------------------

def samples(rng, n):
    """Speech-like noise, or arbitrary bit patterns: NaNs, infinities, subnormals and all."""
    if rng.random() < 0.5:
        return (0.4 * rng.standard_normal(n)).astype("<f4").tobytes()
    return rng.integers(0, 2**32, n, dtype=np.uint64).astype("<u4").tobytes()


ENDINGS = ("eof", "cut word", "cut payload", "desync")


def random_stream(seed, budget=30000):
    """Random steps, flushes and resets; the seed also picks one of the four ways to end."""
    rng = np.random.default_rng(seed)
    parts = []
    for _ in range(int(rng.integers(3, 30))):
        r = rng.random()
        if r < 0.6:
            n = int(rng.choice([0, 1, rng.integers(2, 800), rng.integers(800, 8000)]))
            n = min(n, budget)
            budget -= n
            parts.append(word(n) + samples(rng, n))
        elif r < 0.8:
            parts.append(FLUSH)
        else:
            parts.append(RESET)
    ending = ENDINGS[seed % len(ENDINGS)]
    if ending == "cut word":
        parts.append(b"\xff\xff\xff"[: int(rng.integers(1, 4))])
    elif ending == "cut payload":
        n = int(rng.integers(1, MAX_STEP + 1))
        parts.append(word(n) + samples(rng, int(rng.integers(0, min(n, 3000)))) + b"\x00"[: int(rng.integers(0, 2))])
    elif ending == "desync":
        parts.append(word(int(rng.integers(MAX_STEP + 1, 0xFFFFFFFE))) + word(100) + bytes(400) + FLUSH)
    return b"".join(parts)


@pytest.mark.parametrize("seed", range(6))
def test_random_word_streams(bundle, stage, seed):
    check_stream(bundle, stage, random_stream(seed))


def speech(n, seed=0):
    return (0.3 * np.random.default_rng(seed).standard_normal(n)).astype("<f4").tobytes()


def poisoned_payload():
    """A payload holding both control words, aligned as samples and straddling two samples."""
    body = bytearray(speech(6000))
    body[400:404] = word(0xFFFFFFFF)
    body[800:804] = word(0xFFFFFFFE)
    body[1202:1206] = word(0xFFFFFFFF)
    body[-4:] = word(0xFFFFFFFF)
    return word(6000) + bytes(body)


ADVERSARIAL = {
    "largest count, payload cut short": word(800) + speech(800) + word(MAX_STEP) + speech(1000),
    "largest count, no payload": word(MAX_STEP),
    "count just above the limit": word(1000) + speech(1000) + word(MAX_STEP + 1) + word(10) + speech(10),
    "largest word that is no control word": word(0xFFFFFFFD) + FLUSH,
    "control words inside a payload": poisoned_payload() + FLUSH,
    "payload cut short after frames": word(30000) + speech(30000) + FLUSH + word(5000) + b"\x00\x00\x80",
    "flush word cut short": word(3000) + speech(3000) + FLUSH + b"\xff\xff\xff",
    # Each flush after a reset renders chunk 0 from silence: a few rounds are enough.
    "flushes and resets without audio": (FLUSH + RESET + FLUSH + FLUSH + RESET) * 2,
    "thousands of empty steps": word(0) * 5000 + word(900) + speech(900) + word(0) * 5000 + FLUSH,
}


@pytest.mark.parametrize("data", ADVERSARIAL.values(), ids=ADVERSARIAL.keys())
def test_adversarial_word_streams(bundle, stage, data):
    check_stream(bundle, stage, data)


# ---- parents that stop reading, close their ends or die ---------------------------------------

def send(proc, data):
    """Writes `data` to the host from a thread, so a host that stops reading cannot hang the test."""
    def run():
        try:
            proc.stdin.write(data)
            proc.stdin.flush()
        except BrokenPipeError:
            pass

    t = threading.Thread(target=run, daemon=True)
    t.start()
    return t


def stalled_host(bundle, stage, data):
    """A host that was sent `data` and is now blocked writing frames that nobody reads."""
    proc = start(bundle, stage)
    assert Reader(proc, timeout=TIMEOUT_S).line() == READY
    writer = send(proc, data)
    pipe_filled(proc.stdout.fileno(), TIMEOUT_S)
    writer.join(TIMEOUT_S)
    assert not writer.is_alive()
    return proc


def finish(proc):
    try:
        return proc.wait(timeout=TIMEOUT_S)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()
        pytest.fail("the host hung")


@pytest.mark.parametrize("close_stdin", [False, True], ids=["stdin left open", "stdin closed too"])
def test_parent_stops_reading_then_closes_stdout(bundle, stage, close_stdin):
    proc = stalled_host(bundle, stage, word(30000) + speech(30000) + FLUSH)
    proc.stdout.close()
    if close_stdin:
        proc.stdin.close()
    status = finish(proc)
    err = proc.stderr.read().decode()
    proc.stderr.close()
    if not close_stdin:
        proc.stdin.close()
    assert status == 1
    assert "BrokenPipeError" in err and "stdin closed" not in err
    assert_staged_and_cleaned(stage)


@pytest.mark.parametrize("device, error", [
    ("/dev/full", "OSError: [Errno 28] No space left on device"),
    ("/dev/null", None),
])
def test_stdout_that_is_no_pipe(bundle, stage, device, error):
    with open(device, "wb") as sink:
        proc = subprocess.Popen(host_command(bundle), stdin=subprocess.PIPE, stdout=sink, stderr=subprocess.PIPE,
                                env=dict(os.environ, MIRRANT2_STAGE_DIR=str(stage)))
        _, err = proc.communicate(word(3000) + speech(3000) + FLUSH, timeout=TIMEOUT_S)
    assert (proc.returncode, err.decode().splitlines()[-1]) == ((1, error) if error else (0, CLOSED))
    assert_staged_and_cleaned(stage)


def test_parent_stops_reading_then_ends_input_and_catches_up(bundle, stage):
    data = word(30000) + speech(30000) + FLUSH
    proc = stalled_host(bundle, stage, data)
    proc.stdin.close()
    out = READY + proc.stdout.read()
    status = finish(proc)
    err = proc.stderr.read().decode()
    proc.stdout.close()
    proc.stderr.close()
    recs, want_status, last = expected(data)
    assert (status, err.splitlines()[-1]) == (want_status, last)
    assert served(out) == recs  # nothing lost while the pipe was full
    assert_staged_and_cleaned(stage)


@pytest.mark.parametrize("moment, stderr, status", [
    ("starting", "file", 1),  # its READY line finds no reader
    ("idle", "file", 0),      # its input simply ends
    ("writing", "file", 1),   # the blocked write fails
    ("idle", "pipe", 1),      # input ends, but the log line then finds no reader
    ("writing", "pipe", 1),
])
def test_parent_killed(bundle, stage, tmp_path, moment, stderr, status):
    log = tmp_path / "host.log"
    env = dict(os.environ, MIRRANT2_STAGE_DIR=str(stage))
    r = subprocess.run([sys.executable, str(HERE / "dying_parent.py"), moment, stderr, str(log), bundle],
                       capture_output=True, env=env, timeout=TIMEOUT_S, cwd=HERE)
    assert r.returncode == 0, r.stderr.decode()
    assert json.loads(r.stdout) == {"status": status}
    text = log.read_text() if stderr == "file" else ""
    if stderr == "file":
        assert text.splitlines()[-1] == (CLOSED if status == 0 else "BrokenPipeError: [Errno 32] Broken pipe")
    assert_staged_and_cleaned(stage)


def test_a_long_step_is_written_chunk_by_chunk_in_bounded_memory(bundle, stage):
    # The frames of every chunk of a step used to be gathered before any was written: 18 MB of
    # resident memory per second of audio. The host's peak after a one-chunk step is the baseline
    # (the chain's own working set); a 100 s step must stay near it.
    proc = start(bundle, stage)
    rd = Reader(proc, timeout=TIMEOUT_S)

    def peak_mb():
        with open(f"/proc/{proc.pid}/status") as f:
            return next(int(ln.split()[1]) for ln in f if ln.startswith("VmHWM:")) / 1024

    def utterance(seconds):
        pcm = (np.sin(np.arange(int(16000 * seconds)) / 30.0) * 0.3).astype("<f4")
        proc.stdin.write(step(pcm) + FLUSH + RESET)
        proc.stdin.flush()
        indices = []
        while (rec := rd.record()) != ("end",):
            indices.append(rec[1])
        assert indices == list(range(3, 3 + len(indices))) and len(indices) >= 20 * seconds
        return peak_mb()

    try:
        assert rd.line() == READY
        base = utterance(2)
        long = utterance(100)
        print(f"host peak RSS: {base:.0f} MB after a 2 s step, {long:.0f} MB after a 100 s step")
        assert long - base < 300
    finally:
        proc.stdin.close()
        proc.wait(timeout=TIMEOUT_S)
        proc.stdout.close()
        proc.stderr.close()
    assert_staged_and_cleaned(stage)
