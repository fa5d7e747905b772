"""open() and render end to end over the package's own engines and outside modules: a corvine-2
light container through the cache and the session, a corvine-1 fixture through the native runtime,
the demo mirrant-2 avatar through its model host, the MP4 route, and the avatars that are refused
on the way (outdated, unified, not an avatar at all)."""

import json
import logging
import os
import pathlib
import shutil
import subprocess
import sys
import threading

import numpy as np
import pytest

import quorvane
from bundle_files import write_imx
from quorvane import _core, _errors, _offline, _open, _session
from reference import open_audio as ref

ROOT = pathlib.Path(__file__).resolve().parents[1]
DATA = ROOT / "tests" / "data"


def speech(seconds):
    """A voiced tone with a slow swell: every tick is loud enough to count as speech."""
    t = np.arange(int(seconds * 16000)) / 16000
    return (np.sin(2 * np.pi * 220 * t) * 0.3 * (0.6 + 0.4 * np.sin(2 * np.pi * 3 * t))).astype(np.float32)


@pytest.fixture
def cache(monkeypatch, tmp_path):
    """A cache of its own under tmp_path, with fresh process-wide cache state; returns the avatars
    directory. The locks taken are let go afterwards."""
    monkeypatch.setenv("QUORVANE_CACHE_DIR", str(tmp_path / "cache"))
    held = {}
    monkeypatch.setattr(_open, "_HELD", held)
    monkeypatch.setattr(_open, "_SWEPT", False)
    yield tmp_path / "cache" / "avatars"
    for fd in held.values():
        os.close(fd)


def container(path, manifest):
    write_imx(str(path), [("manifest.json", json.dumps(manifest).encode())])
    return str(path)


def session_oracle(entry, pcm):
    """What the session engine should deliver for one whole clip: the session driven by hand, the
    frames before the first speech frame dropped, everything after it up to the first rest frame
    after the end of input."""
    with open(entry / "manifest.json", encoding="utf-8") as f:
        s = _session.Session(str(entry), json.load(f))
    s.push(pcm)
    pushed = list(iter(s.pull, None))
    s.end()
    drained = list(iter(s.pull, None))
    kinds = [k for _, k in pushed]
    out = [f for f, _ in pushed[kinds.index(_session.LE_UTT_SPEECH):]]
    for f, k in drained:
        if k == _session.LE_UTT_IDLE:
            break
        out.append(f)
    return out


class TestSessionAvatar:
    def test_a_whole_clip_through_the_cache_and_the_session(self, cache, caplog):
        audio = speech(2.0)
        with caplog.at_level(logging.INFO, logger="quorvane"):
            with quorvane.open(DATA / "corvine2-light.imx") as a:
                assert type(a._engine) is _open._SessionEngine and a._engine_id == "corvine2-light"
                frames = list(a.render(audio))
                stats, engine = a._render_stats, a._engine
        (entry,) = [p for p in cache.iterdir() if not p.name.startswith(".")]
        assert entry.name.startswith("sha256-") and (entry / "manifest.json").is_file()
        assert list(_open._HELD) == [str(entry)]
        expected = session_oracle(entry, ref.float_pcm(audio))
        assert len(frames) == len(expected) == 50  # two seconds at the session's 25 fps
        assert all(np.array_equal(f, g) for f, g in zip(frames, expected))
        assert engine.stop_reason == "idle-frame (avatar returned to rest)"
        assert stats.frames == 50
        assert [r.args[0] for r in caplog.records if r.name == "quorvane"] == [50]

    def test_a_second_open_is_a_hit_and_a_stream_renders_too(self, cache, monkeypatch):
        src = DATA / "corvine2-light.imx"
        quorvane.open(src)._release()
        monkeypatch.setattr(_offline, "unfold_imx", lambda *a: pytest.fail("unpacked again"))
        pcm = ref.float_pcm(speech(1.0))
        with quorvane.open(str(src)) as a:
            frames = list(a.render([pcm[:9999], pcm[9999:20001], pcm[20001:]]))
        assert len(frames) == 25
        assert len([p for p in cache.iterdir() if not p.name.startswith(".")]) == 1

    def test_without_proc_the_avatar_is_unpacked_from_a_private_copy(self, cache, tmp_path):
        # Some chroots and sandboxes mount no /proc: the unpacker then reads a copy of the very
        # file that was hashed, which goes once the entry is published.
        bare = ["unshare", "-m", "sh", "-c", 'umount -l /proc && exec "$@"', "sh"]
        if shutil.which("unshare") is None or subprocess.run(bare + ["true"], capture_output=True).returncode:
            pytest.skip("no mount namespace of its own to unmount /proc in")
        code = "import sys, quorvane._open as op; print(op._materialise(sys.argv[1]))"
        r = subprocess.run(bare + [sys.executable, "-c", code, str(DATA / "corvine2-light.imx")], capture_output=True,
                           text=True, timeout=60, stdin=subprocess.DEVNULL)
        assert r.returncode == 0, r.stderr
        entry = pathlib.Path(r.stdout.strip())
        assert sorted(os.listdir(cache)) == sorted([".idx", entry.name])
        (tmp_path / "direct").mkdir()
        _offline.unfold_imx(str(DATA / "corvine2-light.imx"), str(tmp_path / "direct"))
        assert (entry / ".quorvane-key").read_text() == entry.name  # what publishing adds to the bundle
        assert {p.name: p.read_bytes() for p in entry.iterdir() if p.name != ".quorvane-key"} == {
            p.name: p.read_bytes() for p in (tmp_path / "direct").iterdir()}

    @pytest.mark.parametrize(
        "setting,value,starts",
        [
            ("QUORVANE_AVATAR_CACHE_GB", "10GB", "QUORVANE_AVATAR_CACHE_GB must be a number of gigabytes"),
            ("QUORVANE_CACHE_DIR", "avatars", "QUORVANE_CACHE_DIR must be an absolute path"),
        ],
    )
    def test_a_bad_cache_setting_is_refused_at_open_naming_it(self, cache, monkeypatch, tmp_path, setting, value, starts):
        monkeypatch.chdir(tmp_path)  # where a relative cache would land
        monkeypatch.setenv(setting, value)
        with pytest.raises(_errors.Failed) as ei:
            quorvane.open(DATA / "corvine2-light.imx")
        assert str(ei.value).startswith(starts) and repr(value) in str(ei.value)
        assert not cache.exists() and not (tmp_path / "avatars").exists()

    def test_an_outdated_avatar_is_refused_with_its_code(self, cache, tmp_path):
        src = container(tmp_path / "old.imx", {"engine": "corvine2-light", "format": 1})
        with pytest.raises(_errors._Outdated) as ei:
            quorvane.open(src)
        assert ei.value.code == "session-format-1"
        assert str(ei.value) == "that avatar was made for an older version of quorvane; export it again"
        assert ei.value.__cause__ is None and ei.value.__context__ is None


class TestFixtureAvatar:
    def test_frames_are_the_runtimes_pictures_in_rgb(self):
        audio = speech(1.0)
        with quorvane.open(str(DATA / "corvine1.qvfx")) as a:
            assert type(a._engine) is _open._FixtureEngine and a._engine_id == "corvine1"
            frames = list(a.render(audio))
        rt = _core.Runtime(_core.Fixture(str(DATA / "corvine1.qvfx")))
        rt.push_audio(ref.chunk_samples(ref.float_pcm(audio)))
        expected = []
        while rt.ticks_available() > 0:
            expected.append(rt.pull_frame()[1][:, :, ::-1])
        assert len(frames) == len(expected) == 25
        assert all(f.flags.c_contiguous and np.array_equal(f, g) for f, g in zip(frames, expected))
        # A stream cut anywhere, samples split between pieces, is the same speech; so is a clip
        # with a stray last byte.
        pcm = ref.float_pcm(audio)
        with quorvane.open(str(DATA / "corvine1.qvfx")) as a:
            for cut in (list(a.render(pcm[i : i + 4095] for i in range(0, len(pcm), 4095))),
                        list(a.render(pcm + b"\x01"))):
                assert len(cut) == 25 and all(np.array_equal(f, g) for f, g in zip(cut, expected))

    def test_a_render_depends_only_on_its_own_audio(self):
        loud = np.full(int(1.5 * 16000), 0.9, np.float32)
        silence = np.zeros(16000, np.float32)
        odd = speech(1.5)[:24321]  # its last tick is partial, and the schedule holds ticks back
        with quorvane.open(str(DATA / "corvine1.qvfx")) as fresh:
            alone = {k: list(fresh.render(a)) for k, a in (("silence", silence), ("odd", odd))}
        with quorvane.open(str(DATA / "corvine1.qvfx")) as a:
            for before, audio, k in ((loud, silence, "silence"), (odd, odd, "odd"), (odd, odd, "odd")):
                list(a.render(before))
                again = list(a.render(audio))
                assert len(again) == len(alone[k]) > 0
                assert all(np.array_equal(f, g) for f, g in zip(again, alone[k])), k

    @pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="the MP4 writer needs ffmpeg")
    def test_the_mp4_route_writes_every_frame(self, tmp_path):
        out = tmp_path / "out.mp4"
        with quorvane.open(DATA / "corvine1.qvfx") as a:
            assert a.render(speech(0.4), out_mp4=out) == 10
        assert out.stat().st_size > 0 and sorted(os.listdir(tmp_path)) == ["out.mp4"]

    @pytest.mark.skipif(shutil.which("ffmpeg") is None, reason="the MP4 writer needs ffmpeg")
    @pytest.mark.parametrize("shape", ["array of names", "array of paths", "sequence protocol", "hard link"])
    def test_the_mp4_route_never_replaces_the_speech_whatever_names_it(self, tmp_path, shape):
        import wave

        speech_wav = tmp_path / "speech.wav"
        with wave.open(str(speech_wav), "wb") as w:
            w.setnchannels(1)
            w.setsampwidth(2)
            w.setframerate(16000)
            w.writeframes(ref.float_pcm(speech(0.4)))
        kept = speech_wav.read_bytes()
        out = speech_wav
        if shape == "hard link":
            out = tmp_path / "take.mp4"
            os.link(speech_wav, out)

        class Sequence:  # iterable only through __getitem__
            def __getitem__(self, i):
                if i:
                    raise IndexError(i)
                return speech_wav

        audio = {"array of names": np.array([str(speech_wav)]), "array of paths": np.array([speech_wav], object),
                 "sequence protocol": Sequence(), "hard link": np.array([str(speech_wav)])}[shape]
        with quorvane.open(DATA / "corvine1.qvfx") as a:
            with pytest.raises(ValueError, match="^out_mp4 must not name the audio file; ") as ei:
                a.render(audio, out_mp4=out)
        assert repr(str(out)) in str(ei.value)
        assert speech_wav.read_bytes() == kept
        assert sorted(os.listdir(tmp_path)) == sorted({"speech.wav", out.name})

    def test_a_file_that_is_no_avatar(self, tmp_path):
        src = tmp_path / "notes.txt"
        src.write_bytes(b"not a fixture")
        with pytest.raises(_errors.InvalidAvatar) as ei:
            quorvane.open(src)
        assert str(ei.value) == "that is not a usable avatar" and isinstance(ei.value.detail, ValueError)


def test_the_demo_mirrant2_avatar_renders_through_its_host(cache):
    audio = speech(1.0)
    with quorvane.open(ROOT / "demo" / "avatar.imx") as a:
        assert type(a._engine).__name__ == "Mirrant2Engine" and a._engine_id == "mirrant2"
        engine = a._engine
        frames = list(a.render(audio))
        assert engine.stop_reason == "flushed"
    assert len(frames) >= 20 - 2  # one second at the host's 20 fps passes the short-render check
    assert all(f.shape == (720, 416, 3) and f.dtype == np.uint8 for f in frames)
    assert engine._host is None  # closed when the avatar left its block
    assert not cache.exists()  # the engine reads the file itself: nothing is unpacked for it


@pytest.mark.parametrize("ending", ["", "raise SystemExit(3)", "_engine._OPEN_ENGINES.clear()"])
def test_a_process_that_leaves_its_mirrant2_avatar_open_exits_cleanly(ending):
    """Exit with the host still running: at the end of the script, by an exception, and (for an
    engine the exit hook does not know) at the interpreter's final shutdown."""
    from conftest import run_python

    r = run_python(f"import quorvane\nfrom quorvane._mirrant2 import _engine\n"
                   f"a = quorvane.open({str(ROOT / 'demo' / 'avatar.imx')!r})\n"
                   f"print(a._engine._host.proc.pid, flush=True)\n{ending}\n")
    assert (r.returncode, r.stderr) == (3 if "SystemExit" in ending else 0, b"")
    with pytest.raises(ProcessLookupError):  # the host ended with its user, and was reaped
        os.kill(int(r.stdout), 0)


def test_a_unified_avatar_is_unpacked_then_refused_here(cache, tmp_path):
    src = container(tmp_path / "u.imx", {"engine": "corvine2-unified"})
    with pytest.raises(_errors.NotSupported) as ei:
        quorvane.open(src)
    assert str(ei.value) == "the unified engine is not available on this machine"
    assert ei.value.detail.startswith("C2UUnavailable(")
    (entry,) = [p for p in cache.iterdir() if not p.name.startswith(".")]
    assert (entry / "manifest.json").is_file()


def ffmpeg_children():
    """The ffmpeg processes this process started that are still there (zombies included)."""
    found = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat", encoding="utf-8", errors="replace") as f:
                fields = f.read().rsplit(")", 1)[1].split()
            with open(f"/proc/{entry}/comm", encoding="utf-8") as f:
                comm = f.read().strip()
        except (OSError, IndexError):
            continue
        if int(fields[1]) == os.getpid() and comm == "ffmpeg":
            found.append(int(entry))
    return found


class TestMirrant2Renders:
    """Renders of the demo avatar through its host, as a user drives them."""

    def test_file_clip_and_stream_give_the_same_frames_and_a_refused_render_cuts_nothing(self, cache):
        wav = ROOT / "demo" / "speech.wav"
        pcm = _open._pcm(wav)  # the whole file at once, as every file was decoded before
        with quorvane.open(ROOT / "demo" / "avatar.imx") as a:
            clip = list(a.render(pcm))
            from_file = list(a.render(wav))
            stream = a.render(iter(pcm[i : i + 32000] for i in range(0, len(pcm), 32000)))
            got = [next(stream)]
            refused = []

            def second():
                try:
                    next(a.render(pcm))
                except RuntimeError as e:
                    refused.append(str(e))

            second()  # on this thread, then from another one
            t = threading.Thread(target=second)
            t.start()
            t.join()
            got += list(stream)
            assert refused == ["a render of this avatar is still running; finish or close it first"] * 2
        assert len(clip) == 182
        for frames in (from_file, got):
            assert len(frames) == len(clip) and all(np.array_equal(f, g) for f, g in zip(frames, clip))

    def test_a_render_stopped_from_outside_fails_rather_than_ending_short(self, cache):
        pcm = ref.float_pcm(speech(6.0))
        with quorvane.open(ROOT / "demo" / "avatar.imx") as a:
            it = a.render(iter(pcm[i : i + 32000] for i in range(0, len(pcm), 32000)))
            next(it)
            a._engine.interrupt()
            with pytest.raises(_errors.Failed) as ei:
                list(it)
            assert str(ei.value) == "the mirrant-2 render was stopped before its end"
            assert len(list(a.render(pcm))) >= 120 - 3  # and the next render is whole

    def test_a_long_stream_is_taken_only_a_few_seconds_ahead_of_its_frames(self, cache):
        second = ref.float_pcm(speech(1.0))
        pulled = []

        def chunks():
            for k in range(60):
                pulled.append(k)
                yield second

        with quorvane.open(ROOT / "demo" / "avatar.imx") as a:
            it = a.render(chunks())
            for _ in range(3):
                next(it)
                assert len(pulled) <= 12  # the engine's bound is 10 s of audio beyond its frames
            it.close()


def test_a_long_file_starts_at_once_in_the_memory_of_a_short_clip(tmp_path):
    import tracemalloc
    import wave

    path = tmp_path / "hour.wav"  # an hour of a 1 Hz tone: 7 kB here, 115 MB of PCM at 16 kHz
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(1)
        w.writeframes((np.sin(np.arange(3600)) * 20000).astype("<i2").tobytes())
    with quorvane.open(DATA / "corvine1.qvfx") as a:
        tracemalloc.start()
        try:
            it = a.render(path)
            frames = [next(it) for _ in range(5)]
            peak = tracemalloc.get_traced_memory()[1]
        finally:
            tracemalloc.stop()
        assert ffmpeg_children()  # the decoder is still running, well ahead of nothing
        it.close()
    assert len(frames) == 5 and peak < 16 << 20
    assert ffmpeg_children() == []  # closed early: the decoder was ended and reaped
