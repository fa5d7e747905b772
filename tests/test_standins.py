"""The package's stand-ins for the services around the two avatar APIs: native runtime, session,
containers and manifests, records, the mirrant-2 engine over the real host, and the MP4 writer."""

import dataclasses
import json
import os
import subprocess
import sys
import threading
import zipfile
from pathlib import Path

import numpy as np
import pytest

from bundles import CANON, COMBINED, make
from quorvane import _core, _errors, _imx_engine, _models, _offline, _session
from quorvane._loader import NativeFixtureLoaderMixin

ROOT = Path(__file__).parent.parent
DATA = ROOT / "tests" / "data"
sys.path.insert(0, str(ROOT / "scripts"))
from make_imx import write_imx  # noqa: E402
from make_test_fixtures import FIXTURES, H, MOUTH, W, resting_picture  # noqa: E402

NativeFixtureLoaderMixin._register_default_audio_encoder()


def runtime(name):
    return _core.Runtime(_core.Fixture(str(DATA / name), preferred_ep=_core.EP_AUTO, intra_op_threads=1))


def speech(n, seed=0):
    rng = np.random.default_rng(seed)
    t = np.arange(n) / 16000
    return (0.4 * np.sin(2 * np.pi * 150 * t) + 0.05 * rng.standard_normal(n)).astype(np.float32)


def mouth(img):
    x0, y0, x1, y1 = MOUTH
    return img[y0:y1, x0:x1]


class TestFixtureFile:
    def test_committed_fixtures_are_what_the_generator_writes(self, tmp_path):
        subprocess.run([sys.executable, str(ROOT / "scripts" / "make_test_fixtures.py"), str(tmp_path)], check=True)
        for name in [*FIXTURES, "corvine2-light.imx"]:
            assert (tmp_path / name).read_bytes() == (DATA / name).read_bytes(), name

    def test_round_trip(self, tmp_path):
        fx = _core.Fixture(str(DATA / "mirrant2.qvfx"), preferred_ep=_core.EP_AUTO, intra_op_threads=3)
        assert (fx.engine, fx.frame_width, fx.frame_height) == ("mirrant2", W, H)
        assert (fx.audio_samples_per_tick, fx.audio_sample_rate, fx.intra_op_threads) == (800, 16000, 3)
        assert np.array_equal(_core.Runtime(fx).get_source_frame(0), resting_picture())

    @pytest.mark.parametrize("cut, why", [
        (lambda b: b"XXXX" + b[4:], "no fixture magic"),
        (lambda b: b[:4] + b"\x02\x00" + b[6:], "version 2"),
        (lambda b: b[:-1], "found 9215"),
        (lambda b: b + b"\0", "found more"),
        (lambda b: b[:20], "ends inside its header"),
    ])
    def test_broken_files_are_refused(self, tmp_path, cut, why):
        p = tmp_path / "bad.qvfx"
        p.write_bytes(cut((DATA / "corvine1.qvfx").read_bytes()))
        with pytest.raises(ValueError, match=why):
            _core.Fixture(str(p))

    @pytest.mark.parametrize("key, value", [("frame_width", 0), ("engine", ""), ("mouth", [0, 0, 65, 4]),
                                            ("chunking", {"first_frames": 1, "frames": 0})])
    def test_bad_header_values_are_named(self, tmp_path, key, value):
        header = {"engine": "corvine1", "frame_width": W, "frame_height": H, "audio_samples_per_tick": 640,
                  "audio_sample_rate": 16000, key: value}
        with pytest.raises(ValueError, match=key):
            _core.write_fixture(tmp_path / "x.qvfx", header, resting_picture())
        assert os.listdir(tmp_path) == []

    def test_fixture_needs_its_audio_encoder(self, monkeypatch):
        monkeypatch.setattr(_core, "_ENCODERS", {})
        with pytest.raises(RuntimeError, match="_register_default_audio_encoder"):
            _core.Fixture(str(DATA / "corvine1.qvfx"))
        NativeFixtureLoaderMixin._register_default_audio_encoder()
        NativeFixtureLoaderMixin._register_default_audio_encoder()
        assert _core.Fixture(str(DATA / "corvine1.qvfx")).frame_width == W


class TestRuntime:
    def test_ticks_follow_pushed_samples_and_pictures_follow_the_audio(self):
        rt = runtime("corvine1.qvfx")
        pcm = np.concatenate([np.zeros(640 * 3, np.float32), speech(640 * 4 + 100)])
        pulled, pushed = [], 0
        for n in (1, 639, 1000, 2000, 940):
            rt.push_audio(pcm[pushed : pushed + n])
            pushed += n
            assert rt.ticks_available() == pushed // 640 - len(pulled)
            pulled += [rt.pull_frame() for _ in range(rt.ticks_available())]
        with pytest.raises(RuntimeError, match="no tick is ready"):
            rt.pull_frame()
        rt.end_utterance()
        assert rt.ticks_available() == 1  # the partial tick, zero-padded
        pulled.append(rt.pull_frame(-1))
        assert [i for i, _ in pulled] == list(range(8))
        levels = [int(mouth(img).max()) for _, img in pulled]
        assert levels[:3] == [0, 0, 0] and min(levels[3:7]) > 200
        assert np.array_equal(pulled[0][1], rt.get_source_frame(-1))
        rt.push_audio(pcm[640 * 3 : 640 * 5])  # after end_utterance(): the next utterance
        assert [rt.pull_frame()[0] for _ in range(rt.ticks_available())] == [0, 1]
        rt.reset_stream()
        rt.push_audio(pcm[: 640 * 4])
        assert [rt.pull_frame()[0] for _ in range(rt.ticks_available())] == [0, 1, 2, 3]

    @pytest.mark.parametrize("n_samples, ready", [(23199, 0), (23200, 21), (48799, 21), (48800, 53), (74400, 85)])
    def test_mirrant2_frames_come_in_chunks(self, n_samples, ready):
        rt = runtime("mirrant2.qvfx")
        assert [rt.samples_for_chunk(k) for k in range(3)] == [23200, 48800, 74400]
        rt.push_audio(speech(n_samples))
        assert rt.ticks_available() == ready
        rt.end_utterance()
        assert rt.ticks_available() == -(-n_samples // 800)

    @pytest.mark.parametrize("silence, ready", [(6399, 21), (6400, 45), (8000, 47)])
    def test_trailing_silence_as_long_as_the_lookahead_releases_the_partial_chunk(self, silence, ready):
        rt = runtime("mirrant2.qvfx")
        rt.push_audio(speech(30000))
        assert rt.ticks_available() == 21
        rt.push_audio(np.zeros(silence - 1, np.float32))
        rt.push_audio(np.zeros(1, np.float32))  # the run is counted across pushes
        assert rt.ticks_available() == ready  # every whole tick of speech and silence
        rt.push_audio(speech(10))
        assert rt.ticks_available() == 21  # speech again: the chunk schedule holds the rest back

    def test_compose_shares_the_tick_cursor_and_stops_past_the_end(self):
        rt = runtime("corvine2-light.qvfx")
        buf = np.concatenate([np.zeros(640, np.float32), speech(640 * 2)])
        i0, img0 = rt.tick_compose_to_size(buf, -1, 128, 72)
        assert i0 == 0 and img0.shape == (72, 128, 3) and img0.dtype == np.uint8
        rt.push_audio(buf)
        assert rt.ticks_available() == 0  # the v2 fixture holds frames back two ticks
        rt.end_utterance()
        assert rt.ticks_available() == 2
        i1, img1 = rt.pull_frame()
        assert i1 == 1 and int(mouth(img1).max()) > 200
        rt.tick_compose_to_size(buf, -1, 8, 8)
        with pytest.raises(ValueError, match="cursor past end"):
            rt.tick_compose_to_size(buf, -1, 8, 8)

    def test_compose_is_the_picture_scaled_at_every_size(self):
        rt, fx = runtime("corvine1.qvfx"), _core.Fixture(str(DATA / "corvine1.qvfx"))
        buf = speech(640 * 7, seed=4)
        for w, h in [(1280, 720), (128, 72), (7, 5), (1280, 720), (3, 200), (W, H), (640, 360)]:
            i, img = rt.tick_compose_to_size(buf, -1, w, h)
            rows, cols = (np.arange(h) * H) // h, (np.arange(w) * W) // w
            want = fx.picture(fx.level_of(buf[i * 640 : (i + 1) * 640]))[rows[:, None], cols[None, :]]
            assert img.flags.writeable and np.array_equal(img, want), (w, h)

    def test_compose_of_a_buffer_that_does_not_continue_the_last_starts_a_new_utterance(self):
        rt = runtime("corvine1.qvfx")
        first = speech(640 * 3, seed=1)
        assert [rt.tick_compose_to_size(first, -1, 8, 8)[0] for _ in range(3)] == [0, 1, 2]
        grown = np.concatenate([first, speech(640, seed=2)])  # the same utterance, longer
        assert rt.tick_compose_to_size(grown, -1, 8, 8)[0] == 3
        other = speech(640 * 5, seed=3)  # longer, but another utterance
        got = rt.tick_compose_to_size(other, -1, 8, 8)
        assert got[0] == 0 and np.array_equal(got[1], runtime("corvine1.qvfx").tick_compose_to_size(other, -1, 8, 8)[1])
        assert rt.tick_compose_to_size(other[: 640 * 2].copy(), -1, 8, 8)[0] == 0  # shorter

    @pytest.mark.parametrize("args, exc", [((np.zeros(4, np.float64),), ValueError), (([0.0],), TypeError),
                                           ((np.zeros((2, 2), np.float32),), ValueError)])
    def test_push_refuses_other_arrays(self, args, exc):
        with pytest.raises(exc):
            runtime("corvine1.qvfx").push_audio(*args)

    def test_queries_are_safe_while_another_thread_streams(self):
        rt = runtime("mirrant2.qvfx")
        pcm, stop, errors = speech(800 * 400), threading.Event(), []

        def poll():
            try:
                while not stop.is_set():
                    assert rt.get_source_frame(-1).shape == (H, W, 3)
                    assert rt.samples_for_chunk(1) == 48800
                    rt.ticks_available()
            except Exception as e:  # reported below: a failure on this thread must fail the test
                errors.append(e)

        t = threading.Thread(target=poll)
        t.start()
        got = []
        for k in range(0, pcm.size, 777):
            rt.push_audio(pcm[k : k + 777])
            got += [rt.pull_frame()[0] for _ in range(rt.ticks_available())]
        stop.set()
        t.join()
        assert errors == [] and got == list(range(len(got))) and len(got) == 373
        rt.close()
        with pytest.raises(RuntimeError, match="closed"):
            rt.ticks_available()


class TestContainers:
    def members(self):
        return [("manifest.json", b'{"engine": "corvine2-light"}'), ("models/a.bin", b"A" * 3000), ("b.bin", b"B")]

    def test_unfold_writes_members_by_base_name(self, tmp_path):
        src, dest = tmp_path / "x.imx", tmp_path / "out"
        write_imx(src, self.members() + [("other/b.bin", b"second")])
        dest.mkdir()
        _offline.unfold_imx(str(src), str(dest))
        assert sorted(os.listdir(dest)) == ["a.bin", "b.bin", "manifest.json"]
        assert (dest / "a.bin").read_bytes() == b"A" * 3000 and (dest / "b.bin").read_bytes() == b"second"

    @pytest.mark.parametrize("members, why", [
        ([("manifest.json", b"{}"), ("a/..", b"x")], "not a plain file name"),
        ([("manifest.json", b"{}"), ("", b"x")], "not a plain file name"),
        ([("manifest.json", b"{}"), ("c:\\evil", b"x")], "not a plain file name"),
        ([("b.bin", b"x")], "no manifest.json"),
        ([("manifest.json", b"[1]")], "not a JSON object"),
    ])
    def test_unfold_refuses_unusable_containers_before_writing(self, tmp_path, members, why):
        src, dest = tmp_path / "x.imx", tmp_path / "out"
        write_imx(src, members)
        dest.mkdir()
        with pytest.raises(ValueError, match=why):
            _offline.unfold_imx(str(src), str(dest))
        assert os.listdir(dest) == []

    def test_unfold_refuses_truncated_members_and_does_not_follow_links(self, tmp_path):
        src, dest = tmp_path / "x.imx", tmp_path / "out"
        write_imx(src, self.members())
        dest.mkdir()
        (tmp_path / "x.cut").write_bytes(src.read_bytes()[:-1])
        with pytest.raises(ValueError, match="runs past the end"):
            _offline.unfold_imx(str(tmp_path / "x.cut"), str(dest))
        (dest / "b.bin").symlink_to(tmp_path / "victim")
        with pytest.raises(OSError):
            _offline.unfold_imx(str(src), str(dest))
        assert not (tmp_path / "victim").exists()
        with pytest.raises(OSError):
            _offline.unfold_imx(str(tmp_path / "missing.imx"), str(dest))

    @pytest.mark.parametrize("path, engine", [
        (ROOT / "demo" / "avatar.imx", "mirrant2"),
        (DATA / "corvine2-light.imx", "corvine2-light"),
    ])
    def test_engine_of_committed_avatars(self, path, engine):
        assert _imx_engine.resolve_engine(_imx_engine.read_manifest(str(path))) == engine

    def test_manifest_reading(self, tmp_path):
        assert _imx_engine.read_manifest(str(DATA / "corvine1.qvfx")) is None
        d = make(tmp_path, "dir", {"canon.bin": CANON, "combined_litert.tflite": COMBINED})
        assert _imx_engine.resolve_engine(_imx_engine.read_manifest(d)) == "mirrant2"
        assert _imx_engine.read_manifest(str(tmp_path)) is None  # a directory with no avatar in it
        with pytest.raises(OSError):
            _imx_engine.read_manifest(str(tmp_path / "missing.imx"))
        bare = make(tmp_path, "imx", {"manifest.json": b'{"format": 2}'}, name="bare")
        with pytest.raises(ValueError, match="names no engine"):
            _imx_engine.resolve_engine(_imx_engine.read_manifest(bare))
        assert [_imx_engine.engine_id_for_path(str(DATA / n)) for n in FIXTURES] == [
            "corvine1", "mirrant2", "corvine2-light"]


    @pytest.mark.parametrize("case", ["inflating zip", "large dir", "large imx", "declared 2**40",
                                      "declared 2**62", "deep dir", "deep zip"])
    def test_hostile_manifests_are_refused_cheaply(self, tmp_path, case):
        import struct
        import tracemalloc
        import zlib

        from quorvane import _open

        kind = case.split()[-1] if case.split()[-1] in ("dir", "imx", "zip") else "imx"
        if case == "inflating zip":  # a 64 KiB zip of a 64 MiB run of zeros
            path = str(tmp_path / "bomb.zip")
            with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
                z.writestr("manifest.json", bytes(64 << 20))
            why = "is larger than 1048576 bytes"
        elif case.startswith("large"):
            path = make(tmp_path, kind, {"manifest.json": b"{}" + b" " * (2 << 20)})
            why = "is larger than 1048576 bytes"
        elif case.startswith("declared"):
            path = str(tmp_path / "a.imx")
            name = b"manifest.json"
            head = b"IMX\0\0\0" + struct.pack("<HH", 1, len(name)) + name
            head += struct.pack("<QQ", len(head) + 16, 2 ** int(case[-2:]))
            Path(path).write_bytes(head + b"{}")
            why = "past the end of the file"
        else:
            deep = b"[" * 100_000 if kind == "dir" else b'{"a": ' + b"[" * 70 + b"]" * 70 + b"}"
            path = make(tmp_path, kind, {"manifest.json": deep})
            why = "nests deeper than 64 levels"
        tracemalloc.start()
        try:
            with pytest.raises(_errors.InvalidAvatar, match=why) as ei:
                _open.open(path)
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        assert str(ei.value).startswith(f"manifest.json of {path} ") and peak < 8 << 20


class TestSession:
    def open(self, tmp_path, **man):
        manifest = {"engine": "corvine2-light", "frame_width": 32, "frame_height": 16, **man}
        return _session.Session(str(tmp_path), manifest)

    def test_kinds_and_frames_follow_the_audio(self, tmp_path):
        assert _session.BYTES_PER_FRAME * _session.FPS == 32000
        s = self.open(tmp_path)
        pcm = np.concatenate([np.zeros(640 * 2), speech(640 * 3 + 321)])
        raw = (pcm * 32767).astype("<i2").tobytes()
        s.reset()
        s.push(raw[:1001])
        s.push(raw[1001:])
        got = []
        while (item := s.pull()) is not None:
            got.append(item)
        assert [k for _, k in got] == [_session.LE_UTT_IDLE] * 2 + [_session.LE_UTT_SPEECH] * 3
        assert got[0][0].shape == (16, 32, 3) and not np.array_equal(got[0][0], got[2][0])
        s.end()
        tail = []
        while (item := s.pull()) is not None:
            tail.append(item[1])
        assert tail == [_session.LE_UTT_SPEECH] + [_session.LE_UTT_IDLE] * _session.REST_FRAMES
        s.check_render()
        s.close()
        with pytest.raises(_session.EngineFailed, match="closed"):
            s.check_render()

    def test_refusals(self, tmp_path):
        with pytest.raises(_session.AvatarOutdated) as e:
            self.open(tmp_path, format=1)
        assert e.value.code == "session-format-1" and e.value.detail
        with pytest.raises(_session.EngineFailed) as e:
            self.open(tmp_path, frame_width=0)
        assert "frame_width" in e.value.detail
        with pytest.raises(FileNotFoundError):
            _session.Session(str(tmp_path / "missing"), {"engine": "corvine2-light"})


def test_records_and_errors():
    ctl = _models.VideoControl.from_audio(b"\x01\x00\xff\x7f", 16000, True)
    assert ctl.audio.data.tolist() == [1, 32767] and ctl.audio.last_chunk and ctl.message_id
    assert ctl.message_id != _models.VideoControl.from_audio(b"", 16000, False).message_id
    with pytest.raises(ValueError, match="whole 16-bit samples"):
        _models.VideoControl.from_audio(b"abc", 16000, True)
    vf = _models.VideoFrame(bgr_image=np.zeros((2, 2, 3), np.uint8), audio_chunk=ctl.audio)
    vf._qv_resting = True
    assert not vf.end_of_speech and dataclasses.replace(vf, bgr_image=None).audio_chunk is ctl.audio
    cause = OSError("disk")
    err = _errors.refuse(_errors.Failed, "could not prepare that avatar", cause)
    assert isinstance(err, _errors.AvatarError) and err.detail is cause and str(err) == "could not prepare that avatar"
    assert _errors._Outdated("old", "c1").code == "c1"


def test_import_quorvane_loads_no_api_module():
    code = "import sys, quorvane; print(sorted(m for m in sys.modules if m.startswith('quorvane')))"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True).stdout
    assert out.strip() == "['quorvane']"


def clip_bytes(n, seed=0):
    return (speech(n, seed) * 32767).astype("<i2").tobytes()


def scheduled_frames(n_samples):
    """The host's schedule once flushed: 22 frames for chunk 0, 32 for every later one."""
    end_fi = (n_samples + 799) // 800 - 1
    return 22 + 32 * (max(1, (end_fi + 43) // 32) - 1)


@pytest.fixture(scope="module")
def m2_engine():
    from quorvane._mirrant2 import Mirrant2Engine

    eng = Mirrant2Engine(str(ROOT / "demo" / "avatar.imx"))
    yield eng
    host = eng._host
    eng.close()
    assert host.proc.returncode == 0 and not any(t.is_alive() for t in host.threads)


class TestMirrant2Engine:
    def test_render_gives_the_host_schedule_and_interrupt_resyncs(self, m2_engine):
        pcm = clip_bytes(30001 * 2)[: 30001 * 2 + 1]  # odd byte count: the dangling byte is ignored
        first = list(m2_engine.frames(iter([pcm[:20001], pcm[20001:]])))
        assert m2_engine.frames_per_second == 20 and m2_engine.stop_reason == "flushed"
        assert len(first) == scheduled_frames(30001)
        assert all(f.shape == (720, 416, 3) and f.dtype == np.uint8 for f in first)
        gen = m2_engine.frames(iter([pcm] * 4))
        next(gen)
        gen.close()
        assert m2_engine.stop_reason == "interrupted"
        again = list(m2_engine.frames(iter([pcm])))
        assert len(again) == len(first) and all(np.array_equal(a, b) for a, b in zip(first, again))

    def test_refused_avatar_gives_the_fatal_line(self, tmp_path):
        from quorvane._mirrant2 import Mirrant2Engine

        bad = make(tmp_path, "imx", {"combined_litert.tflite": COMBINED})
        with pytest.raises(_errors.InvalidAvatar) as e:
            Mirrant2Engine(bad)
        assert e.value.detail == f"FATAL: no canon.bin in {bad} (per-identity canon latent required)"


class FixtureAvatar:
    """The least an avatar offers the writer: ``render`` and its engine's frame rate."""

    class _Engine:
        frames_per_second = 25

    def __init__(self, fail_after=None):
        self._engine = self._Engine()
        self._fail_after = fail_after

    def render(self, audio):
        rt = runtime("corvine1.qvfx")
        pcm = np.frombuffer(Path(audio).read_bytes()[44:], "<i2").astype(np.float32) / 32768
        rt.push_audio(pcm)
        for k in range(rt.ticks_available()):
            if k == self._fail_after:
                raise RuntimeError("engine broke")
            yield np.ascontiguousarray(rt.pull_frame()[1][:, :, ::-1])


def wav(path, pcm_bytes):
    import wave

    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(16000)
        w.writeframes(pcm_bytes)
    return str(path)


class TestWrite:
    def test_mp4_has_every_frame(self, tmp_path):
        from quorvane.__main__ import _write

        audio = wav(tmp_path / "s.wav", clip_bytes(640 * 30 + 7))
        out = tmp_path / "out.mp4"
        assert _write(FixtureAvatar(), audio, str(out)) == 30
        probe = subprocess.run(["ffprobe", "-v", "error", "-count_frames", "-show_entries",
                                "stream=codec_type,nb_read_frames", "-of", "json", str(out)],
                               capture_output=True, text=True, check=True)
        streams = {s["codec_type"]: s for s in json.loads(probe.stdout)["streams"]}
        assert streams["video"]["nb_read_frames"] == "30" and "audio" in streams
        assert sorted(os.listdir(tmp_path)) == ["out.mp4", "s.wav"]

    def test_failed_render_leaves_nothing(self, tmp_path):
        from quorvane.__main__ import _write

        audio = wav(tmp_path / "s.wav", clip_bytes(640 * 10))
        (tmp_path / "out.mp4").write_bytes(b"old")
        with pytest.raises(RuntimeError, match="engine broke"):
            _write(FixtureAvatar(fail_after=5), audio, str(tmp_path / "out.mp4"))
        assert sorted(os.listdir(tmp_path)) == ["out.mp4", "s.wav"]
        assert (tmp_path / "out.mp4").read_bytes() == b"old"

    def test_the_sound_track_is_the_file_of_that_name(self, tmp_path, monkeypatch):
        from quorvane.__main__ import _write

        monkeypatch.chdir(tmp_path)
        wav(tmp_path / "s.wav", clip_bytes(640 * 100))  # four seconds that must not be heard
        wav(tmp_path / "concat:s.wav", clip_bytes(640 * 25))
        assert _write(FixtureAvatar(), "concat:s.wav", "out.mp4") == 25
        probe = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "a", "-show_entries",
                                "stream=duration", "-of", "csv=p=0", "file:out.mp4"],
                               capture_output=True, text=True, check=True)
        assert abs(float(probe.stdout) - 1.0) < 0.1

    @pytest.mark.parametrize("kind", ["fifo", "socket", "directory", "device", "link to a fifo"])
    def test_a_destination_that_is_not_a_regular_file_is_refused_before_any_frame(self, tmp_path, kind):
        import socket
        import stat

        from quorvane.__main__ import _write

        dest = tmp_path / "dest"
        if kind == "fifo":
            os.mkfifo(dest)
        elif kind == "socket":
            with socket.socket(socket.AF_UNIX) as sock:
                sock.bind(str(dest))  # the socket's file outlives it
        elif kind == "directory":
            dest.mkdir()
        elif kind == "device":
            try:
                os.mknod(dest, stat.S_IFCHR | 0o600, os.makedev(1, 3))
            except PermissionError:
                pytest.skip("making a device node needs root")
        else:
            os.mkfifo(tmp_path / "fifo")
            dest.symlink_to(tmp_path / "fifo")
        before = sorted((p.name, p.lstat().st_mode, p.lstat().st_ino) for p in tmp_path.iterdir())
        rendered = []

        class Watched(FixtureAvatar):
            def render(self, audio):
                rendered.append(audio)
                return super().render(audio)

        with pytest.raises(ValueError) as ei:
            _write(Watched(), wav(tmp_path.parent / f"{kind}.wav", clip_bytes(640 * 10)), str(dest))
        assert repr(str(dest)) in str(ei.value) and rendered == []
        assert sorted((p.name, p.lstat().st_mode, p.lstat().st_ino) for p in tmp_path.iterdir()) == before


    @pytest.mark.parametrize("name, audio", [
        ("", "s.wav"), ("new/", "s.wav"), ("spool/..", "s.wav"), ("missing/out.mp4", "s.wav"),
        ("missing/../out.mp4", "s.wav"), ("notes.txt/out.mp4", "s.wav"), ("locked/out.mp4", "s.wav"),
        ("s.wav", "s.wav"), ("./s.wav", "s.wav"), ("hard.wav", "s.wav"), ("s.wav", (b"\x00\x00", Path("s.wav"))),
        ("out\x00.mp4", "s.wav"),
    ], ids=["empty", "slash", "dotdot", "no directory", "through no directory", "file as directory",
            "unwritable", "the audio", "the audio by another name", "the audio's hard link", "the audio listed",
            "a NUL byte"])
    def test_a_name_that_names_no_file_to_write_is_refused_before_any_frame(self, tmp_path, monkeypatch, name, audio):
        from quorvane.__main__ import _write

        monkeypatch.chdir(tmp_path)
        (tmp_path / "spool").mkdir()
        (tmp_path / "notes.txt").write_bytes(b"notes")
        speech = wav(tmp_path / "s.wav", clip_bytes(640 * 10))
        os.link(speech, tmp_path / "hard.wav")
        if name.startswith("locked/"):
            if os.geteuid() == 0:
                pytest.skip("root writes in any directory")
            (tmp_path / "locked").mkdir(mode=0o500)
        before = sorted((p.name, p.lstat().st_mode, p.lstat().st_ino, p.lstat().st_mtime_ns) for p in tmp_path.iterdir())
        rendered = []

        class Watched(FixtureAvatar):
            def render(self, audio):
                rendered.append(audio)
                return super().render(audio)

        with pytest.raises((ValueError, OSError)) as ei:
            _write(Watched(), audio, name)
        assert "out_mp4" in str(ei.value) and repr(name) in str(ei.value) and rendered == []
        after = sorted((p.name, p.lstat().st_mode, p.lstat().st_ino, p.lstat().st_mtime_ns) for p in tmp_path.iterdir())
        assert after == before

    def test_through_a_link_the_video_replaces_the_file_it_leads_to(self, tmp_path):
        from quorvane.__main__ import _write

        (tmp_path / "videos").mkdir()
        (tmp_path / "links").mkdir()
        target = tmp_path / "videos" / "take.mp4"
        target.write_bytes(b"old")
        link = tmp_path / "links" / "latest.mp4"
        link.symlink_to(os.path.join("..", "videos", "take.mp4"))
        seen = []

        class Watched(FixtureAvatar):
            def render(self, audio):
                for f in super().render(audio):
                    seen.append((sorted(os.listdir(tmp_path / "videos")), sorted(os.listdir(tmp_path / "links"))))
                    yield f

        assert _write(Watched(), wav(tmp_path / "s.wav", clip_bytes(640 * 10)), str(link)) == 10
        # Written beside the file it replaces, then renamed over it: the link is left as it was.
        videos, links = seen[-1]
        assert len(videos) == 2 and videos[0].startswith(".take.mp4.") and videos[0].endswith(".part")
        assert links == ["latest.mp4"]
        assert os.readlink(link) == os.path.join("..", "videos", "take.mp4")
        assert sorted(os.listdir(tmp_path / "videos")) == ["take.mp4"] and target.read_bytes()[4:8] == b"ftyp"

    @pytest.mark.parametrize("name", ["v" * 251 + ".mp4", "\u00e9" * 125 + ".mp4x", "\udcff" * 251 + ".mp4"],
                             ids=["255 ASCII bytes", "255 bytes of UTF-8", "255 bytes, not UTF-8"])
    def test_any_name_the_file_system_takes_gets_a_temp_file_beside_it(self, tmp_path, name):
        from quorvane.__main__ import _write

        assert len(os.fsencode(name)) == 255
        out = tmp_path / "out"
        out.mkdir()
        seen = []

        class Watched(FixtureAvatar):
            def render(self, audio):
                for f in super().render(audio):
                    seen.append(os.listdir(os.fsencode(out)))
                    yield f

        assert _write(Watched(), wav(tmp_path / "s.wav", clip_bytes(640 * 10)), os.path.join(str(out), name)) == 10
        (part,) = seen[-1]
        assert part.startswith(b".") and part.endswith(b".part") and len(part) <= 255
        assert os.listdir(os.fsencode(out)) == [os.fsencode(name)]

    def test_the_audio_file_named_by_a_stream_is_never_replaced(self, tmp_path):
        from quorvane.__main__ import _write

        speech = wav(tmp_path / "s.wav", clip_bytes(640 * 10))
        kept = (tmp_path / "s.wav").read_bytes()
        class Streaming(FixtureAvatar):
            def render(self, audio):
                from quorvane import _open

                for _ in _open._chunks(audio):  # the package's conversion opens what the stream names
                    pass
                yield from super().render(speech)

        # A stream names its files only as the render pulls them: the video goes nowhere then.
        with pytest.raises(ValueError) as ei:
            _write(Streaming(), (item for item in [b"\x00\x00" * 640, speech]), speech)
        assert "must not name the audio file" in str(ei.value)
        assert (tmp_path / "s.wav").read_bytes() == kept and os.listdir(tmp_path) == ["s.wav"]

    def test_a_replaced_file_keeps_its_permission_bits_and_a_new_one_gets_the_umask_default(self, tmp_path):
        from quorvane.__main__ import _write

        speech = wav(tmp_path / "s.wav", clip_bytes(640 * 10))
        private = tmp_path / "private.mp4"
        private.write_bytes(b"old")
        private.chmod(0o600)
        umask = os.umask(0o027)
        try:
            assert _write(FixtureAvatar(), speech, str(private)) == 10
            assert _write(FixtureAvatar(), speech, str(tmp_path / "new.mp4")) == 10
        finally:
            os.umask(umask)
        assert private.stat().st_mode & 0o7777 == 0o600 and private.read_bytes()[4:8] == b"ftyp"
        assert (tmp_path / "new.mp4").stat().st_mode & 0o7777 == 0o640

    @pytest.mark.parametrize("change", ["renamed", "renamed, then the render fails", "removed"])
    def test_a_directory_renamed_or_removed_mid_render_keeps_no_part_file(self, tmp_path, change):
        import shutil

        from quorvane.__main__ import _write

        speech = wav(tmp_path / "s.wav", clip_bytes(640 * 10))
        (tmp_path / "videos").mkdir()
        out = str(tmp_path / "videos" / "out.mp4")

        class Moving(FixtureAvatar):
            def render(self, audio):
                for k, f in enumerate(super().render(audio)):
                    if k == 5:  # ffmpeg is writing the temp file by now
                        if change == "removed":
                            shutil.rmtree(tmp_path / "videos")
                        else:
                            os.rename(tmp_path / "videos", tmp_path / "moved")
                            if change.endswith("fails"):
                                raise RuntimeError("engine broke")
                    yield f

        if change == "renamed":
            # The video lands in the directory that was named, wherever it went, and only there.
            assert _write(Moving(), speech, out) == 10
            assert os.listdir(tmp_path / "moved") == ["out.mp4"]
            assert (tmp_path / "moved" / "out.mp4").read_bytes()[4:8] == b"ftyp"
        elif change == "removed":
            with pytest.raises(FileNotFoundError) as ei:
                _write(Moving(), speech, out)
            assert ei.value.filename == out and "out_mp4 cannot be written there" in str(ei.value)
        else:
            with pytest.raises(RuntimeError, match="engine broke"):
                _write(Moving(), speech, out)
            assert os.listdir(tmp_path / "moved") == []
        assert sorted(os.listdir(tmp_path)) == (["s.wav"] if change == "removed" else ["moved", "s.wav"])
