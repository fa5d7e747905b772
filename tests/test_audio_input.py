"""Audio input of the local API: every accepted shape of speech to 16 kHz mono s16le, whole clips
told from streams, the ffmpeg and PyAV decoding routes and the frames a clip should give."""

import os
import subprocess
import sys
import types
import wave

import numpy as np
import pytest

from open_fakes import errors, session_mod  # noqa: F401 - fixtures
from quorvane import _open
from reference import open_audio as ref

GENERAL = ("audio must be 16 kHz mono samples (bytes / int16 or float array), an audio file path, "
           "or an iterable of those; got ")


class TestPcm:
    @pytest.mark.parametrize("obj", [bytearray(b"\x01\x00"), memoryview(b"\x01\x00"), b"\x01\x00"])
    def test_byte_likes_pass_through_as_bytes(self, obj):
        out = _open._pcm(obj)
        assert type(out) is bytes and out == b"\x01\x00"

    def test_odd_length_is_not_checked(self):
        assert _open._pcm(bytearray(b"\x01\x02\x03")) == b"\x01\x02\x03"

    def test_float32_clips_scales_and_truncates(self):
        out = np.frombuffer(_open._pcm(np.array([1.5, -1.0, 0.5], np.float32)), np.int16)
        assert out.tolist() == [32767, -32767, 16383]

    @pytest.mark.parametrize("dtype", [np.float32, np.float64, ">f4", ">f8"])
    @pytest.mark.parametrize("n", [0, 1, 7, 4097])
    def test_float_arrays_match_reference(self, dtype, n):
        rng = np.random.default_rng(n)
        a = (rng.standard_normal(n) * 0.7).astype(dtype)
        # The edges of the scale: exact ends, values just inside, tiny values, signed zero.
        edges = np.array([1.0, -1.0, np.nextafter(1.0, 0), -np.nextafter(1.0, 0), 1e-30, -0.0,
                          0.5 / 32767, -1.5 / 32767, 3.0, -np.inf, np.inf], dtype=dtype)
        a = np.concatenate([a, edges]).astype(dtype)
        assert _open._pcm(a) == ref.float_pcm(a.astype(a.dtype.newbyteorder("=")))

    def test_one_channel_in_any_layout_and_several_channels_refused_by_shape(self):
        a = np.linspace(-1.2, 1.2, 60, dtype=np.float32)
        for view in (a, a[::3], a.reshape(60, 1), a.reshape(1, 60).T, np.asfortranarray(a.reshape(1, 60))):
            assert _open._pcm(view) == ref.float_pcm(view)
        i = np.arange(-30, 30, dtype=np.int16).reshape(60, 1)
        assert _open._pcm(i.T) == i.T.tobytes()
        # Read as mono, the samples of several channels would make a clip that many times too long.
        for several in (np.zeros((16000, 2), np.int16), a.reshape(6, 10), np.zeros((4, 2), np.int32)):
            for convert in (_open._pcm, _open._whole_clip, lambda x: next(_open._chunks([x]))):
                with pytest.raises(ValueError) as ei:
                    convert(several)
                assert str(ei.value) == f"audio arrays must hold one channel of samples; got shape {several.shape}"

    def test_int16_is_written_little_endian_whatever_its_byte_order(self):
        a = np.array([1, -2, 300], dtype=">i2")
        assert _open._pcm(a) == np.array([1, -2, 300], "<i2").tobytes()

    def test_nan_warns_as_the_numpy_cast_does(self):
        a = np.array([0.5, np.nan], np.float32)
        with pytest.warns(RuntimeWarning, match="invalid value encountered in cast"):
            out = _open._pcm(a)
        assert np.frombuffer(out, np.int16).tolist() == [16383, 0]

    @pytest.mark.parametrize("dtype", ["int32", "float16", "uint8", "bool"])
    def test_other_dtypes_are_refused_by_name(self, dtype):
        with pytest.raises(TypeError) as ei:
            _open._pcm(np.zeros(3, dtype=dtype))
        assert str(ei.value) == "audio arrays must be int16, or float32/float64 in [-1, 1]; got " + dtype

    @pytest.mark.parametrize("obj, name", [(42, "int"), ([b"a"], "list"), (np.float32(0.5), "float32")])
    def test_anything_else_is_refused_by_type_name(self, obj, name):
        with pytest.raises(TypeError) as ei:
            _open._pcm(obj)
        assert str(ei.value) == GENERAL + name

    def test_without_numpy_an_array_is_an_unknown_object(self, monkeypatch):
        a = np.zeros(2, np.int16)
        monkeypatch.setitem(sys.modules, "numpy", None)
        with pytest.raises(TypeError) as ei:
            _open._pcm(a)
        assert str(ei.value) == GENERAL + "ndarray"


class BytesPath:
    """A path object whose file system name is bytes."""

    def __init__(self, name):
        self.name = name

    def __fspath__(self):
        return self.name


def write_wav(path, rate, samples):
    with wave.open(str(path), "wb") as w:
        w.setnchannels(1)
        w.setsampwidth(2)
        w.setframerate(rate)
        w.writeframes(np.asarray(samples, np.int16).tobytes())


class TestFiles:
    def test_directory_is_no_audio_and_starts_nothing(self, tmp_path, monkeypatch):
        monkeypatch.setattr(_open.subprocess, "run", lambda *a, **k: pytest.fail("ffmpeg started"))
        with pytest.raises(FileNotFoundError) as ei:
            _open._pcm(tmp_path)
        assert str(ei.value) == f"no audio at {tmp_path}"

    def test_a_file_is_decoded_in_pieces_as_they_are_asked_for(self, tmp_path):
        path = tmp_path / "speech.wav"
        write_wav(path, 8000, (np.sin(np.arange(8000 * 9) / 5) * 8000).astype(np.int16))
        assert _open._whole_clip(str(path)) is None  # its audio comes as the engine pulls
        pieces = list(_open._chunks(path))
        assert len(pieces) == 3 and all(len(p) % 2 == 0 and len(p) <= 4 * 32000 for p in pieces)
        out = _open._pcm(path)
        assert b"".join(pieces) == out
        assert abs(len(out) - 9 * 2 * 16000) <= 64  # nine seconds at 16 kHz, give or take the filter edge

    # Names that ffmpeg reads as URLs or as its standard input unless it is told they are files.
    HOSTILE = ["concat:a.wav", "subfile,,start,0,end,0,,:a.wav", "-", "pipe:0", "file:a.wav"]

    @pytest.mark.parametrize("name", HOSTILE)
    def test_a_file_is_read_by_its_name_never_as_a_url_or_stdin(self, tmp_path, name):
        write_wav(tmp_path / "a.wav", 16000, np.full(16000 * 8, 3000, np.int16))  # the decoy
        write_wav(tmp_path / name, 16000, np.full(16000 * 2, 3000, np.int16))
        # The child's standard input stays open and silent: reading it would hang, not fail.
        quiet_in, keep_open = os.pipe()
        try:
            r = subprocess.run([sys.executable, "-c", "import sys; from quorvane import _open\n"
                                f"sys.stdout.write(str(len(_open._pcm({name!r}))))"],
                               cwd=tmp_path, stdin=quiet_in, capture_output=True, timeout=60)
        finally:
            os.close(quiet_in)
            os.close(keep_open)
        assert (r.returncode, r.stderr) == (0, b"") and abs(int(r.stdout) - 2 * 2 * 16000) <= 64

    @pytest.mark.parametrize("kind", ["PathLike of bytes", "DirEntry of bytes"])
    def test_a_name_given_as_bytes_is_that_very_file(self, tmp_path, monkeypatch, kind):
        monkeypatch.chdir(tmp_path)
        name = os.fsencode(tmp_path / "speech\udcff.wav")  # not UTF-8: the byte 0xff
        write_wav(os.fsdecode(name), 16000, np.full(16000 * 2, 3000, np.int16))
        # Where the text of the bytes object would send ffmpeg, read as a name relative to here.
        decoy = tmp_path / str(name)
        decoy.parent.mkdir(parents=True)
        write_wav(decoy, 16000, np.full(16000 // 2, 3000, np.int16))
        if kind == "DirEntry of bytes":
            (path,) = [e for e in os.scandir(os.fsencode(tmp_path)) if e.name.endswith(b".wav")]
        else:
            path = BytesPath(name)
        expected = _open._pcm(os.fsdecode(name))
        assert abs(len(expected) - 2 * 2 * 16000) <= 64
        assert _open._pcm(path) == expected and b"".join(_open._chunks(path)) == expected
        assert b"".join(_open._chunks([path, path])) == expected * 2

    def test_real_ffmpeg_failure_is_refused(self, tmp_path, errors):  # noqa: F811
        path = tmp_path / "noise.wav"
        path.write_bytes(b"not audio at all" * 10)
        with pytest.raises(errors.Failed) as ei:
            _open._pcm(path)
        assert ei.value.message == "could not read that audio" and ei.value.detail

    def test_ffmpeg_error_text_is_cut_to_300_characters(self, tmp_path, monkeypatch, errors):  # noqa: F811
        path = tmp_path / "a.wav"
        path.write_bytes(b"x")
        # Far more log than a pipe holds, with multi-byte and undecodable bytes at its head.
        stderr = "é".encode() * 250 + b"\xff" + b"z" * 400 + b"\n" * 300_000
        (tmp_path / "log").write_bytes(stderr)
        fake = tmp_path / "bin" / "ffmpeg"
        fake.parent.mkdir()
        fake.write_text(f"#!/bin/sh\n/bin/cat {tmp_path / 'log'} >&2\nprintf 'ab'\nexit 1\n")
        fake.chmod(0o755)
        monkeypatch.setenv("PATH", str(fake.parent))
        with pytest.raises(errors.Failed) as ei:
            _open._pcm(path)
        assert ei.value.detail == stderr.decode("utf-8", "replace")[:300]
        assert ei.value.__context__ is None

    def test_without_ffmpeg_and_without_pyav(self, tmp_path, monkeypatch, errors):  # noqa: F811
        path = tmp_path / "a.wav"
        write_wav(path, 16000, [0, 1])
        monkeypatch.setenv("PATH", str(tmp_path / "empty"))
        monkeypatch.setitem(sys.modules, "av", None)
        with pytest.raises(errors.Failed) as ei:
            _open._pcm(path)
        e = ei.value
        assert e.message == "could not read that audio"
        assert isinstance(e.detail, ImportError)
        assert e.__cause__ is None and e.__suppress_context__ and e.__context__ is e.detail


class FakeAv:
    """A PyAV stand-in: a container of frames and a resampler that halves each frame's samples."""

    def __init__(self, frames, flush=(), fail_at=None):
        self.log = []
        self.frames = frames
        self.flush = list(flush)
        self.fail_at = fail_at
        self.module = types.SimpleNamespace(open=self.open, AudioResampler=self.resampler)

    def open(self, path):
        fake = self

        class Container:
            def __enter__(self):
                fake.log.append(("open", path))
                return self

            def __exit__(self, *exc):
                fake.log.append("closed")
                return False

            def decode(self, **kw):
                fake.log.append(("decode", kw))
                if fake.fail_at == "decode":
                    raise RuntimeError("bad stream")
                return iter(fake.frames)

        return Container()

    def resampler(self, **kw):
        fake = self
        fake.log.append(("resampler", kw))

        class Resampler:
            def resample(self, frame):
                fake.log.append(("resample", frame))
                if frame is None:
                    return [types.SimpleNamespace(to_ndarray=lambda a=a: a) for a in fake.flush] or None
                return [types.SimpleNamespace(to_ndarray=lambda: np.array(frame, np.int16))] if frame else []

        return Resampler()


class TestDecode:
    def test_every_frame_then_the_flush(self, monkeypatch, errors):  # noqa: F811
        av = FakeAv([[1, 2], [], [3]], flush=[np.array([[4, 5]], np.int16)])
        monkeypatch.setitem(sys.modules, "av", av.module)
        out = _open._decode("speech.mp3")
        assert np.frombuffer(out, np.int16).tolist() == [1, 2, 3, 4, 5]
        assert av.log[:4] == [("open", "speech.mp3"), ("resampler", {"format": "s16", "layout": "mono", "rate": 16000}),
                              ("decode", {"audio": 0}), "closed"]
        assert av.log[4:] == [("resample", [1, 2]), ("resample", []), ("resample", [3]), ("resample", None)]

    def test_no_samples_is_refused_with_the_value_error_as_detail(self, monkeypatch, errors):  # noqa: F811
        monkeypatch.setitem(sys.modules, "av", FakeAv([]).module)
        with pytest.raises(errors.Failed) as ei:
            _open._decode("silent.mp3")
        e = ei.value
        assert e.message == "could not read that audio"
        assert type(e.detail) is ValueError and str(e.detail) == "no audio in that file"
        assert e.__suppress_context__ and e.__context__ is e.detail

    def test_decoder_error_closes_the_container_and_is_refused(self, monkeypatch, errors):  # noqa: F811
        av = FakeAv([[1]], fail_at="decode")
        monkeypatch.setitem(sys.modules, "av", av.module)
        with pytest.raises(errors.Failed) as ei:
            _open._decode("x.mp3")
        assert str(ei.value.detail) == "bad stream" and "closed" in av.log

    def test_missing_ffmpeg_falls_back_to_decode(self, tmp_path, monkeypatch):
        path = tmp_path / "a.mp3"
        path.write_bytes(b"x")
        monkeypatch.setenv("PATH", str(tmp_path / "empty"))
        monkeypatch.setattr(_open, "_decode", lambda p: b"decoded:" + p.encode())
        assert _open._pcm(path) == b"decoded:" + str(path).encode()


class TestClipsAndChunks:
    def test_int32_array_is_a_stream_whose_elements_are_refused(self):
        a = np.arange(3, dtype=np.int32)
        assert _open._whole_clip(a) is None
        chunks = _open._chunks(a)
        with pytest.raises(TypeError) as ei:
            next(chunks)
        assert str(ei.value) == GENERAL + "int32"

    def test_whole_clip_of_a_non_iterable_is_the_general_error(self):
        with pytest.raises(TypeError) as ei:
            _open._whole_clip(42)
        assert str(ei.value) == GENERAL + "int"

    def test_streams_have_no_clip_and_are_not_advanced(self):
        taken = []

        def gen():
            taken.append(1)
            yield b"\x00\x00"

        g = gen()
        assert _open._whole_clip([b"a", b"b"]) is None
        assert _open._whole_clip(g) is None and taken == []

    def test_a_clip_is_one_chunk_even_when_empty(self):
        assert list(_open._chunks(b"")) == [b""]
        assert list(_open._chunks([b"ignored"], b"clip")) == [b"clip"]

    def test_stream_items_are_converted_lazily_and_may_be_mixed(self):
        log = []

        def items():
            log.append("bytes")
            yield b"\x01\x00"
            log.append("array")
            yield np.array([0.5], np.float32)

        chunks = _open._chunks(items())
        assert log == []
        assert next(chunks) == b"\x01\x00" and log == ["bytes"]
        assert next(chunks) == ref.float_pcm(np.array([0.5], np.float32))
        assert list(chunks) == []


class TestExpectedFrames:
    @pytest.mark.parametrize("clip, fps", [(None, 25), (b"\x00" * 64000, None), (b"\x00" * 64000, 0)])
    def test_unknown(self, clip, fps):
        assert _open._expected_frames(clip, fps) is None

    @pytest.mark.parametrize("n_bytes, fps", [(64000, 25), (64000, 20), (1279, 25), (1280, 25), (12345, 29.97),
                                              (100, 20), (99999, 7.5)])
    def test_matches_reference(self, session_mod, n_bytes, fps):  # noqa: F811
        got = _open._expected_frames(b"\x00" * n_bytes, fps)
        assert got == ref.expected_frames(n_bytes, session_mod.BYTES_PER_FRAME * session_mod.FPS, fps)

    def test_two_seconds_at_25_fps_and_less_than_a_frame(self, session_mod):  # noqa: F811
        assert _open._expected_frames(b"\x00" * 64000, 25) == 50
        assert _open._expected_frames(b"\x00" * 1000, 25) is None
