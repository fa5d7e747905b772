"""The frame pipe end to end: a parent process drives the real serve loop over real pipes."""

import os
import signal
import struct
import sys
import textwrap
import time

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


def child(code, **kw):
    """A child interpreter running `code` with pipes on all three standard streams."""
    return spawn([sys.executable, "-c", textwrap.dedent(code)], **kw)


def test_read_exact_write_frame_and_emit(tmp_path):
    code = """
        import os
        import numpy as np
        from quorvane._mirrant2 import _tensorhost as th
        got = (th.read_exact(0), th.read_exact(3), th.read_exact(4))
        th.write_frame(7, b"px")
        os.write(1, b"X")  # reaches the parent first: write_frame does not flush
        th.emit([])  # an empty batch writes and flushes nothing
        os.write(1, b"Y")
        th.emit([(8, b"q"), (9, np.arange(3, dtype=np.uint8))])
        os.write(1, repr(got).encode())
    """
    proc = child(code)
    out, err = proc.communicate(b"abcde", timeout=60)
    assert proc.returncode == 0, err
    records = struct.pack("<i", 7) + b"px" + struct.pack("<i", 8) + b"q" + struct.pack("<i", 9) + b"\0\1\2"
    assert out == b"XY" + records + repr((b"", b"abc", None)).encode()


def test_records_left_unflushed_go_out_at_exit():
    proc = child("""
        from quorvane._mirrant2 import _tensorhost as th
        th.write_frame(5, b"abc")
        th._OUT.write(b"xyz")
    """)
    out, err = proc.communicate(timeout=60)
    assert (proc.returncode, out) == (0, struct.pack("<i", 5) + b"abcxyz"), err


def test_unflushed_records_for_a_closed_stdout_end_with_status_1():
    proc = child("""
        import sys
        from quorvane._mirrant2 import _tensorhost as th
        th.write_frame(5, b"abc")
        sys.stdin.buffer.read(1)
    """)
    proc.stdout.close()
    proc.stdin.write(b"!")
    proc.stdin.close()
    err = proc.stderr.read()
    proc.stderr.close()
    assert proc.wait(timeout=60) == 1
    assert b"BrokenPipeError: [Errno 32] Broken pipe" in err


def test_ctrl_c_ends_a_host_waiting_for_input(tmp_path):
    proc, _ = host(tmp_path)
    try:
        assert Reader(proc).line() == READY
        assert proc.stderr.readline() == PREFIX + b"ready 416x720 @20fps  model=scripted-model\n"
        time.sleep(0.5)  # blocked in its read by now
        proc.send_signal(signal.SIGINT)
        assert proc.wait(timeout=30) in (-signal.SIGINT, 128 + signal.SIGINT)
        err = proc.stderr.read()
        assert b"KeyboardInterrupt" in err and b"stdin closed" not in err
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        for s in (proc.stdin, proc.stdout, proc.stderr):
            s.close()


def test_a_renderer_subclass_is_served_through_its_own_methods():
    proc = child("""
        import sys
        import numpy as np
        from quorvane._mirrant2 import _tensorhost as th

        class Chain:
            def new_hist(self):
                return np.zeros((1, 16, 16, 90, 52), np.float32)

        class Scripted(th.Renderer):
            def flush_chunks(self):
                return [(3, b"s" * 5)]

        sys.exit(th._serve(Scripted(Chain()), None, "subclass"))
    """)
    out, err = proc.communicate(FLUSH, timeout=60)
    assert proc.returncode == 0, err
    assert out == READY + struct.pack("<i", 3) + b"sssss" + FLUSH


@pytest.mark.slow
def test_real_time_log_line(tmp_path):
    # The scripted renderer: one chunk per 1000 samples, 10 ms each, rtf 0.5.
    proc, _ = host(tmp_path)
    send = lambda data: (proc.stdin.write(data), proc.stdin.flush())  # noqa: E731
    rd = Reader(proc)
    assert rd.line() == READY
    time.sleep(5.5)
    send(step(np.zeros(10, np.float32)))  # no chunk yet: rtf() is None, so no line
    send(step(np.zeros(990, np.float32)))  # the first chunk: a line at once
    assert rd.record()[:2] == ("frame", 3)
    send(step(np.zeros(1000, np.float32)))  # within 5 s of that line: none
    assert rd.record()[:2] == ("frame", 4)
    time.sleep(5.5)
    send(FLUSH)  # never after a flush (it would say chunks=2) ...
    assert rd.record() == ("end",)
    send(RESET + step(np.zeros(1000, np.float32)))  # ... only after a sample step
    assert rd.record()[:2] == ("frame", 3)
    proc.stdin.close()
    assert proc.wait(timeout=30) == 0
    err = proc.stderr.read().decode().splitlines()
    proc.stdout.close()
    proc.stderr.close()
    assert [ln for ln in err if "rtf=" in ln] == [
        "[render-stream-tensorhost] rtf=0.500 chunks=1 fps=3200.0",
        "[render-stream-tensorhost] rtf=0.500 chunks=1 fps=3200.0",
    ]


def closing(fds):
    def close():
        for fd in fds:
            os.close(fd)

    return close


@pytest.mark.parametrize("closed", [(0,), (1,), (2,), (1, 2), (0, 1, 2)])
def test_standard_streams_given_closed_read_as_at_end_and_swallow_output(tmp_path, closed):
    # The host's own pipes took the free numbers: with its input closed it read request words
    # from its signal pipe and hung after READY for good (a SIGTERM was at times read as one);
    # with its output or log closed it wrote into its own pipe and failed. Now each closed one is
    # /dev/null: the host loads, is ready, finds its input at its end and exits 0.
    import subprocess

    from bundles import CANON, COMBINED, make
    from pipe_client import host_command

    bundle = make(tmp_path, "imx", {"canon.bin": CANON, "combined_litert.tflite": COMBINED})
    io = {n: subprocess.DEVNULL if fd in closed else subprocess.PIPE for fd, n in enumerate(("stdin", "stdout", "stderr"))}
    r = subprocess.run(host_command(bundle), **io, preexec_fn=closing(closed), timeout=60,
                       env=dict(os.environ, MIRRANT2_STAGE_DIR=str(tmp_path / "stage")))
    assert r.returncode == 0, r.stderr
    if 1 not in closed:
        assert r.stdout == READY
    if 2 not in closed:
        assert r.stderr.endswith(PREFIX + "stdin closed \u2014 exiting\n".encode())
    assert os.listdir(tmp_path / "stage") == []


def test_sigterm_ends_a_host_whose_log_was_closed(tmp_path):
    import subprocess

    from bundles import CANON, COMBINED, make
    from pipe_client import host_command

    bundle = make(tmp_path, "imx", {"canon.bin": CANON, "combined_litert.tflite": COMBINED})
    proc = subprocess.Popen(host_command(bundle), stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                            stderr=subprocess.DEVNULL, preexec_fn=closing((2,)))
    try:
        assert Reader(proc, timeout=60).line() == READY
        proc.send_signal(signal.SIGTERM)
        assert proc.wait(timeout=30) == -signal.SIGTERM
    finally:
        if proc.poll() is None:
            proc.kill()
            proc.wait()
        proc.stdin.close()
        proc.stdout.close()
