"""The frame pipe end to end: a parent process drives the real serve loop over real pipes."""

import os
import struct
import sys

import numpy as np
import pytest

from pipe_client import FLUSH, FRAME_BYTES, RESET, Reader, parse_records, spawn, split_ready, step

HERE = os.path.dirname(__file__)
READY = b'READY {"fps":20,"width":416,"height":720,"sample_rate":16000,"color":null}\n'
PREFIX = b"[render-stream-tensorhost] "
CLOSED = PREFIX + "stdin closed \u2014 exiting\n".encode()


def host(tmp_path, *args, unit=1000):
    events = tmp_path / "events"
    proc = spawn([sys.executable, os.path.join(HERE, "scripted_host.py"), *args],
                 env={"UNIT": str(unit), "EVENTS": str(events)})
    return proc, events


def run(tmp_path, data, unit=1000, timeout=120):
    proc, events = host(tmp_path, unit=unit)
    out, err = proc.communicate(data, timeout=timeout)
    ev = events.read_text().split("\n")[:-1] if events.exists() else []
    return proc.returncode, out, err, ev


def test_ready_line_then_log_then_status_0_at_end_of_input(tmp_path):
    code, out, err, ev = run(tmp_path, b"")
    assert code == 0
    assert out == READY
    assert err == PREFIX + b"ready 416x720 @20fps  model=scripted-model\n" + CLOSED
    assert ev == ["reset"]


def test_renderer_without_cc_attribute_gives_null_colour(tmp_path):
    proc, _ = host(tmp_path, "nocc")
    out, _ = proc.communicate(b"", timeout=60)
    assert out == READY


def test_sample_steps_flush_and_reset(tmp_path):
    pcm = np.linspace(-1, 1, 2500, dtype=np.float32)
    data = step([]) + step(pcm) + FLUSH + FLUSH + RESET + step(np.ones(1000, np.float32)) + FLUSH
    code, out, err, ev = run(tmp_path, data)
    assert code == 0
    ready, rest = split_ready(out)
    assert ready == READY
    recs = parse_records(rest)
    kinds = [(r[0], r[1]) if r[0] == "frame" else r for r in recs]
    # 2500 samples: two frames at once; flush: the partial one, then the end record; a second
    # flush: only the end record; reset writes nothing and restarts the numbering.
    assert kinds == [("frame", 3), ("frame", 4), ("frame", 5), ("end",), ("end",), ("frame", 3), ("end",)]
    assert all(r[2] == bytes([r[1]]) * FRAME_BYTES for r in recs if r[0] == "frame")
    assert ev == ["reset", "feed 0 0.0", f"feed 2500 {float(pcm.astype(np.float64).sum())!r}",
                  "flush", "flush", "reset", "feed 1000 1000.0", "flush"]
    assert b"rtf=" not in err  # never within the first five seconds


def test_largest_step_is_read_in_full(tmp_path):
    n = 16777216
    payload = np.full(n, 0.5, np.float32)
    code, out, err, ev = run(tmp_path, step(payload) + FLUSH, unit=n // 2)
    assert code == 0
    recs = parse_records(split_ready(out)[1])
    assert [r[:2] for r in recs] == [("frame", 3), ("frame", 4), ("end",)]
    assert ev[1] == f"feed {n} {float(n) * 0.5!r}"


def test_step_above_the_limit_is_a_desync(tmp_path):
    data = step(np.zeros(10, np.float32)) + struct.pack("<I", 16777217) + step(np.zeros(5000, np.float32))
    code, out, err, ev = run(tmp_path, data)
    assert code == 1
    assert out == READY
    assert err.endswith(PREFIX + "bad step size 16777217 \u2014 protocol desync\n".encode())
    assert ev == ["reset", "feed 10 0.0"]


@pytest.mark.parametrize("tail", [b"\x05", b"\x05\x00", b"\x05\x00\x00", struct.pack("<I", 4) + b"\x00" * 12])
def test_end_of_input_inside_a_word_or_payload(tmp_path, tail):
    code, out, err, ev = run(tmp_path, step(np.zeros(1500, np.float32)) + tail)
    assert code == 0
    recs = parse_records(split_ready(out)[1])
    assert [r[:2] for r in recs] == [("frame", 3)]  # no end record, nothing rendered at the end
    assert err.endswith(CLOSED)
    assert ev == ["reset", "feed 1500 0.0"]  # the partial payload is never fed


def test_every_batch_is_flushed_before_the_next_word_is_read(tmp_path):
    proc, _ = host(tmp_path)
    rd = Reader(proc, timeout=30)
    try:
        assert rd.line() == READY
        proc.stdin.write(step(np.zeros(2000, np.float32)))
        proc.stdin.flush()
        assert [rd.record()[:2] for _ in range(2)] == [("frame", 3), ("frame", 4)]
        proc.stdin.write(step(np.zeros(10, np.float32)) + FLUSH)
        proc.stdin.flush()
        assert [rd.record()[:2] for _ in range(2)] == [("frame", 5), ("end",)]
    finally:
        proc.stdin.close()
        assert proc.wait(timeout=30) == 0
        proc.stdout.close()
        proc.stderr.close()


def test_parent_closing_stdout_gives_status_1_with_an_error(tmp_path):
    proc, _ = host(tmp_path)
    rd = Reader(proc, timeout=30)
    assert rd.line() == READY
    proc.stdout.close()
    try:
        proc.stdin.write(step(np.zeros(5000, np.float32)) + FLUSH)
        proc.stdin.close()
    except BrokenPipeError:
        pass
    err = proc.stderr.read()
    proc.stderr.close()
    assert proc.wait(timeout=30) == 1
    assert b"BrokenPipeError" in err
    assert b"stdin closed" not in err


def test_log_lines_never_reach_stdout_even_on_error(tmp_path):
    code, out, err, _ = run(tmp_path, struct.pack("<I", 0xFFFFFFF0))
    assert code == 1 and out == READY and b"protocol desync" in err
