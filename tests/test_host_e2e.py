"""The host program end to end: real bundles, real models, a parent on the other end of the pipe."""

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from bundles import CANON, COMBINED, KINDS, make
from pipe_client import FLUSH, FRAME_BYTES, parse_records, spawn, split_ready, step
from quorvane._mirrant2 import _tensorhost as th

ROOT = Path(__file__).parent.parent
HOST = [sys.executable, "-c", "from quorvane._mirrant2._entry import run; run()", "render-stream"]


def clip(n, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(n) / 16000
    env = 0.5 + 0.5 * np.sin(2 * np.pi * 2.5 * t)
    return (0.6 * env * np.sin(2 * np.pi * 160 * t) + 0.05 * rng.standard_normal(n)).astype(np.float32)


def scheduled_frames(n_samples):
    """Frames a stream of n samples gives once flushed: 22 for chunk 0, 32 for every later one."""
    end_fi = (n_samples + 799) // 800 - 1
    chunks = max(1, (end_fi + 43) // 32)
    return 22 + 32 * (chunks - 1)


def uneven_steps(pcm, seed=1):
    rng = np.random.default_rng(seed)
    out, i = [], 0
    while i < pcm.size:
        n = int(rng.integers(0, 3000))
        out.append(step(pcm[i : i + n]))
        i += n
    return b"".join(out)


def serve(bundle, data, tmp_path, env=None):
    stage = tmp_path / "stage"
    stage.mkdir(exist_ok=True)
    full_env = {"MIRRANT2_STAGE_DIR": str(stage), "MIRRANT2_RGB_THREADS": "2"}
    full_env.update(env or {})
    proc = spawn(HOST + [bundle], env=full_env)
    out, err = proc.communicate(data, timeout=300)
    return proc.returncode, out, err.decode(), sorted(os.listdir(stage))


def in_process(bundle_models, canon, pcm, cc=None):
    chain = th.LitertChain(bundle_models, canon, 1)
    r = th.Renderer(chain, cc)
    r.feed(pcm)
    return [(i, bytes(f)) for i, f in r.ready_chunks() + r.flush_chunks()]


@pytest.mark.parametrize("kind", KINDS)
def test_bundle_renders_through_the_pipe(tmp_path, kind):
    pcm = clip(70000)
    b = make(tmp_path, kind, {"canon.bin": CANON, "combined_litert.tflite": COMBINED})
    code, out, err, left = serve(b, uneven_steps(pcm) + FLUSH, tmp_path)
    assert code == 0, err
    ready, rest = split_ready(out)
    assert ready == b'READY {"fps":20,"width":416,"height":720,"sample_rate":16000,"color":null}\n'
    recs = parse_records(rest)
    assert recs[-1] == ("end",) and all(r[0] == "frame" for r in recs[:-1])
    # 70000 samples: the last fed frame is 87, so the flush renders through chunk 3.
    assert [r[1] for r in recs[:-1]] == list(range(3, 3 + scheduled_frames(70000)))
    want = in_process(str(ROOT / "tests" / "data" / "combined_litert.tflite"), np.frombuffer(CANON, "<f4"), pcm)
    assert [(r[1], r[2]) for r in recs[:-1]] == want
    assert "warming up identity=" + b in err and "model=combined_litert.tflite" in err
    assert left == []


def test_colour_table_reaches_ready_line_and_frames(tmp_path):
    pcm = clip(26000, seed=3)
    lut = [[255 - b for b in range(256)], list(range(256)), [min(255, b + 40) for b in range(256)]]
    members = {"canon.bin": CANON, "combined_litert.tflite": COMBINED, "color.json": json.dumps({"lut": lut}).encode()}
    b = make(tmp_path, "imx", members)
    code, out, err, left = serve(b, step(pcm) + FLUSH, tmp_path)
    assert code == 0 and left == []
    ready, rest = split_ready(out)
    import hashlib

    digest = hashlib.sha256(bytes(np.array(lut, np.uint8))).hexdigest()
    assert ready == ('READY {"fps":20,"width":416,"height":720,"sample_rate":16000,"color":{"kind":"lut","sha256":"%s"}}\n' % digest).encode()
    assert "colour-correct: APPLIED \u2014 per-channel LUT (model->driver), deviation from identity: R max 255 mean 128.0/G max 0 mean 0.0/B max 40 mean" in err
    plain = in_process(str(ROOT / "tests" / "data" / "combined_litert.tflite"), np.frombuffer(CANON, "<f4"), pcm)
    table = np.array(lut, np.uint8)
    recs = [r for r in parse_records(rest) if r[0] == "frame"]
    assert len(recs) == len(plain)
    for (_, idx, px), (pidx, ppx) in zip(recs, plain):
        raw = np.frombuffer(ppx, np.uint8).reshape(-1, 3)
        assert idx == pidx
        assert np.array_equal(np.frombuffer(px, np.uint8).reshape(-1, 3), np.stack([table[c][raw[:, c]] for c in range(3)], 1))


def test_colour_switched_off(tmp_path):
    members = {"canon.bin": CANON, "combined_litert.tflite": COMBINED, "color.json": b'{"gain":[1,1,1],"bias":[0,0,0]}'}
    b = make(tmp_path, "zip", members)
    code, out, err, _ = serve(b, b"", tmp_path, env={"MIRRANT2_COLOR_CORRECT": " Off "})
    assert code == 0 and out.endswith(b'"color":null}\n')
    assert "colour-correct: DISABLED by MIRRANT2_COLOR_CORRECT=0 \u2014 the frames are the RAW model output" in err


def test_two_model_files_split_the_threads(tmp_path):
    from bundles import IDENTITY, SHARED_ENC

    b = make(tmp_path, "dir", {"canon.bin": CANON, "identity.tflite": IDENTITY, "shared-enc.tflite": SHARED_ENC})
    code, out, err, _ = serve(b, step(clip(25600)), tmp_path, env={"LIBSTREAM_THREADS": "64"})
    assert code == 0
    assert len(parse_records(split_ready(out)[1])) == 22
    cap = max(1, th.effective_cpu_count() // 2)
    assert f"2-interpreter split: threads 64 -> {cap} (<= cores/2)" in err
    assert "model=shared-enc.tflite+identity.tflite" in err


@pytest.mark.parametrize("split", [False, True], ids=["one-file", "two-files"])
def test_no_split_line_when_the_count_needs_no_cap(tmp_path, split):
    from bundles import IDENTITY, SHARED_ENC

    members = {"canon.bin": CANON}
    members.update({"identity.tflite": IDENTITY, "shared-enc.tflite": SHARED_ENC} if split
                   else {"combined_litert.tflite": COMBINED})
    b = make(tmp_path, "zip", members)
    code, out, err, left = serve(b, b"", tmp_path, env={"LIBSTREAM_THREADS": "1" if split else "64"})
    assert code == 0 and out.startswith(b"READY ") and left == []
    assert f"threads={1 if split else 64} ..." in err and "2-interpreter split" not in err


def test_demo_writes_an_mp4_with_the_scheduled_frame_count(tmp_path):
    out = tmp_path / "demo.mp4"
    r = subprocess.run([sys.executable, str(ROOT / "scripts" / "demo.py"), "--out", str(out)],
                       capture_output=True, timeout=300)
    assert r.returncode == 0, r.stderr.decode()
    probe = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-select_streams", "v:0", "-show_entries",
                            "stream=nb_read_frames", "-of", "csv=p=0", str(out)], capture_output=True, timeout=120)
    import wave

    with wave.open(str(ROOT / "demo" / "speech.wav")) as w:
        n = w.getnframes()
    assert int(probe.stdout) == scheduled_frames(n)
    assert list(tmp_path.iterdir()) == [out]  # nothing half-written left beside it


@pytest.mark.parametrize("out_kind", ["pipe", "file"])
def test_output_pipe_is_widened_and_other_outputs_are_written_alike(tmp_path, out_kind):
    import fcntl

    from pipe_client import Reader

    b = make(tmp_path, "imx", {"canon.bin": CANON, "combined_litert.tflite": COMBINED})
    if out_kind == "pipe":
        with spawn(HOST + [b], env={"MIRRANT2_STAGE_DIR": str(tmp_path)}) as proc:
            try:
                reader = Reader(proc, timeout=120)
                assert reader.line().startswith(b"READY ")
                # F_GETPIPE_SZ: a frame record no longer needs fourteen hand-overs of a 64 KiB pipe.
                want = min(1 << 20, int(Path("/proc/sys/fs/pipe-max-size").read_text()))
                assert fcntl.fcntl(proc.stdout.fileno(), 1032) >= want
                proc.stdin.write(FLUSH)
                proc.stdin.flush()
                recs = [reader.record() for _ in range(23)]
                proc.stdin.close()
                assert proc.wait(timeout=60) == 0
                err = proc.stderr.read().decode()
            finally:
                if proc.poll() is None:
                    proc.kill()
        assert [r[0] for r in recs] == ["frame"] * 22 + ["end"]
    else:
        path = tmp_path / "out.bin"
        with open(path, "wb") as f:
            r = subprocess.run(HOST + [b], input=FLUSH, stdout=f, stderr=subprocess.PIPE, timeout=300,
                               env={**os.environ, "MIRRANT2_STAGE_DIR": str(tmp_path)})
        assert r.returncode == 0, r.stderr.decode()
        err = r.stderr.decode()
        ready, rest = split_ready(path.read_bytes())
        assert ready.startswith(b"READY ")
        assert [x[0] for x in parse_records(rest)] == ["frame"] * 22 + ["end"]
    # Section timers exist only in a build made for the benchmarks.
    assert "] timers " not in err
