"""The Avatar: lazy renders through the engine, the render clock and its log line, the short-render
check, interrupting abandoned renders, the mapping of engine errors, and releasing the engine once."""

import gc
import logging
import os
import pathlib
import shutil
import sys
import types

import pytest

from open_fakes import FakeClock, assert_in_place, clock, errors, session_mod  # noqa: F401 - fixtures
from quorvane import _open
from reference import open_audio as ref


class Engine:
    """An engine that yields `n` frames (taking every chunk first), or raises `fail` after
    `fail_after` frames. Every call is logged."""

    def __init__(self, n=3, fps=None, stop_reason=None, fail=None, fail_after=0, take_chunks=True, log=None):
        self.n = n
        self.fail = fail
        self.fail_after = fail_after
        self.take_chunks = take_chunks
        self.log = [] if log is None else log
        if fps is not None:
            self.frames_per_second = fps
        if stop_reason is not None:
            self.stop_reason = stop_reason

    def frames(self, chunks):
        self.log.append("frames")
        return self._gen(chunks)

    def _gen(self, chunks):
        if self.take_chunks:
            for chunk in chunks:
                self.log.append(("chunk", chunk))
        for i in range(self.n):
            if self.fail is not None and i == self.fail_after:
                raise self.fail
            yield ("frame", i)

    def interrupt(self):
        self.log.append("interrupt")

    def close(self):
        self.log.append("close")


class BytesPath:
    """A path object whose file system name is bytes."""

    def __init__(self, name):
        self.name = name

    def __fspath__(self):
        return self.name


@pytest.fixture
def mods(errors, session_mod):  # noqa: F811
    return types.SimpleNamespace(errors=errors, session=session_mod)


_KEEP = []


@pytest.fixture(autouse=True)
def _keep_avatars():
    """Avatars made by `avatar()` live to the end of the test, so their release does not show up
    in the middle of a render's log."""
    yield
    _KEEP.clear()


def avatar(engine, engine_id="corvine1"):
    a = _open.Avatar(engine, engine_id)
    _KEEP.append(a)
    return a


class TestSurface:
    def test_slots_and_initial_state(self):
        a = avatar(Engine())
        assert _open.Avatar.__slots__ == ("_engine", "_engine_id", "_closed", "_render_stats", "_rendering")
        assert (a._engine_id, a._closed, a._render_stats) == ("corvine1", False, None)
        with pytest.raises(AttributeError):
            a.extra = 1
        assert _open.Avatar.__doc__ == "An open avatar.  Get one from :func:`quorvane.open`."
        assert _open.Avatar.render.__doc__.startswith(
            "Yield the frames for ``audio``, or, with ``out_mp4=``, write them to an MP4.")

    @pytest.mark.parametrize("kind", ["str", "Path", "bytes", "DirEntry", "PathLike of bytes"])
    def test_out_mp4_reaches_the_writer_as_a_file_call_takes_it(self, monkeypatch, tmp_path, kind):
        calls = []
        main = types.ModuleType("quorvane.__main__")
        main._write = lambda *args: calls.append(args) or 42
        monkeypatch.setitem(sys.modules, "quorvane.__main__", main)
        name = os.path.join(str(tmp_path), "o\udcff.mp4")  # not UTF-8: the byte 0xff
        if kind == "DirEntry":
            open(name, "wb").close()
            (out,) = os.scandir(tmp_path)
        else:
            out = {"str": name, "Path": pathlib.Path(name), "bytes": os.fsencode(name),
                   "PathLike of bytes": BytesPath(os.fsencode(name))}[kind]
        a = avatar(Engine())
        assert a.render(b"pcm", out_mp4=out) == 42
        assert calls == [(a, b"pcm", name)] and type(calls[0][2]) is str

    @pytest.mark.parametrize("out", [5, 2.5, ["o.mp4"], object()])
    def test_out_mp4_that_is_no_path_is_refused_by_name(self, monkeypatch, out):
        main = types.ModuleType("quorvane.__main__")
        main._write = lambda *args: pytest.fail("written")
        monkeypatch.setitem(sys.modules, "quorvane.__main__", main)
        with pytest.raises(TypeError, match=r"^out_mp4 must be a path \(str, bytes or os.PathLike\) or None; got "):
            avatar(Engine()).render(b"pcm", out_mp4=out)


class TestRender:
    def test_frames_unchanged_and_lazy(self, mods):
        e = Engine(n=2)
        it = avatar(e).render(b"\x00\x00")
        assert e.log == []
        assert list(it) == [("frame", 0), ("frame", 1)]
        assert e.log == ["frames", ("chunk", b"\x00\x00")]

    def test_closed_avatar_refuses_at_the_first_frame(self, mods):
        a = avatar(Engine())
        a._release()
        it = a.render(b"")
        with pytest.raises(mods.errors.Failed) as ei:
            next(it)
        assert str(ei.value) == "this avatar is closed" and ei.value.detail is None

    def test_errors_before_the_engine_starts_are_unchanged_and_not_interrupted(self, mods):
        e = Engine()
        with pytest.raises(TypeError, match="got int$"):
            next(avatar(e).render(42))
        assert e.log == []

    def test_stats_and_the_log_line(self, mods, clock, caplog):  # noqa: F811
        class Timed(Engine):
            def _gen(self, chunks):
                for _ in chunks:
                    clock.now += 1.0
                for i in range(4):
                    clock.now += 0.5
                    yield i

        a = avatar(Timed())
        with caplog.at_level(logging.INFO, logger="quorvane"):
            assert list(a.render(b"\x00\x00")) == [0, 1, 2, 3]
        # From the moment the first chunk was taken (before the engine's second on it) to the last frame.
        assert a._render_stats == _open.RenderStats(4, 3.0, 4 / 3.0)
        (rec,) = [r for r in caplog.records if r.name == "quorvane"]
        assert rec.levelno == logging.INFO
        assert rec.msg == ("quorvane: render %d frames in %.2f s = %.1f fps steady state "
                           "(first audio push -> last frame; model load excluded)")
        assert rec.args == (4, 3.0, 4 / 3.0)

    def test_render_seconds_never_below_a_nanosecond(self, mods, clock):  # noqa: F811
        a = avatar(Engine(n=2))
        list(a.render(b""))
        assert a._render_stats == (2, 1e-9, 2 / 1e-9)

    def test_engine_that_never_takes_a_chunk_has_no_stats(self, mods, caplog):
        a = avatar(Engine(n=1, take_chunks=False))
        a._render_stats = "previous"
        with caplog.at_level(logging.INFO, logger="quorvane"):
            assert len(list(a.render(b""))) == 1
        assert a._render_stats is None and not caplog.records


class TestEarlyEnd:
    def test_closing_early_interrupts_once_and_keeps_stats(self, mods):
        e = Engine(n=5)
        a = avatar(e)
        a._render_stats = "previous"
        it = a.render(b"")
        next(it), next(it)
        it.close()
        it.close()
        assert e.log.count("interrupt") == 1 and a._render_stats == "previous"

    def test_dropping_the_iterator_interrupts_once(self, mods):
        e = Engine(n=5)
        it = avatar(e).render(b"")
        next(it)
        del it
        gc.collect()
        assert e.log.count("interrupt") == 1

    def test_a_finished_render_is_not_interrupted(self, mods):
        e = Engine(n=2)
        list(avatar(e).render(b""))
        assert "interrupt" not in e.log

    def test_an_unstarted_iterator_touches_nothing(self, mods):
        e = Engine()
        avatar(e).render(b"").close()
        assert e.log == []


class TestOneRenderAtATime:
    def test_a_second_render_is_refused_and_the_first_goes_on_whole(self, mods):
        e = Engine(n=4)
        a = avatar(e)
        idle = a.render(b"never started")  # made but not iterated: claims nothing
        first = a.render(b"\x01\x00")
        got = [next(first)]
        for audio in (b"\x02\x00", [b"\x03\x00"], 42):
            with pytest.raises(RuntimeError, match="^a render of this avatar is still running; finish or close"):
                next(a.render(audio))
        got += list(first)
        assert got == [("frame", i) for i in range(4)]
        assert e.log == ["frames", ("chunk", b"\x01\x00")]  # nothing of the refused ones, no interrupt
        # Whichever way a render ends, the next one may start.
        with pytest.raises(TypeError):
            next(a.render(42))
        broken = a.render([b"\x04\x00", 42])
        with pytest.raises(mods.errors.Failed):
            list(broken)
        closed = a.render(b"\x05\x00")
        next(closed)
        closed.close()
        dropped = a.render(b"\x06\x00")
        next(dropped)
        del dropped
        assert list(idle) == [("frame", i) for i in range(4)]


def run_failing(mods, fail):
    log = []
    e = Engine(n=3, fail=fail, fail_after=1, log=log)
    got = []
    with pytest.raises(BaseException) as ei:
        for frame in avatar(e, "corvine2-light").render(b""):
            got.append(frame)
    log.append("consumer saw error")
    return ei.value, got, log


class TestErrorMapping:
    @pytest.mark.parametrize("kind, cls, message", [("EngineUnavailable", "NotSupported", "no GPU here"),
                                                    ("EngineFailed", "Failed", "decoder broke")])
    def test_engine_errors_become_avatar_errors(self, mods, kind, cls, message):
        exc, got, log = run_failing(mods, getattr(mods.session, kind)(message, "the detail"))
        assert type(exc) is getattr(mods.errors, cls)
        assert (exc.message, exc.detail) == (message, "the detail")
        assert got == [("frame", 0)]
        assert log[-2:] == ["interrupt", "consumer saw error"]
        assert_in_place(exc)

    def test_other_errors_are_the_render_stopped(self, mods):
        boom = KeyError("k")
        exc, _, log = run_failing(mods, boom)
        assert type(exc) is mods.errors.Failed
        assert (exc.message, exc.detail) == ("the render stopped", boom)
        assert log[-2:] == ["interrupt", "consumer saw error"]
        assert_in_place(exc)

    def test_avatar_errors_pass_unchanged(self, mods):
        own = mods.errors.InvalidAvatar("bad")
        exc, _, _ = run_failing(mods, own)
        assert exc is own and mods.errors.refused == []

    def test_errors_beyond_exception_propagate(self, mods):
        class Stop(BaseException):
            pass

        exc, _, log = run_failing(mods, Stop())
        assert type(exc) is Stop and "interrupt" in log

    def test_an_error_of_interrupt_replaces_the_one_handled(self, mods):
        class Bad(Engine):
            def interrupt(self):
                raise OSError("reset failed")

        it = avatar(Bad(n=3)).render(b"")
        next(it)
        with pytest.raises(mods.errors.Failed) as ei:
            it.close()
        assert ei.value.message == "the render stopped" and isinstance(ei.value.detail, OSError)

    @pytest.mark.parametrize("route", ["frames", "mp4"])
    @pytest.mark.parametrize("where", ["__iter__", "__next__"])
    def test_the_callers_own_stream_is_iterated_once_and_its_error_is_the_cause(self, mods, tmp_path, route, where):
        if route == "mp4" and shutil.which("ffmpeg") is None:
            pytest.skip("the MP4 writer needs ffmpeg")
        broke = OSError("the caller's source broke")
        calls = []

        class Source:
            def __iter__(self):
                calls.append("__iter__")
                if where == "__iter__":
                    raise broke
                return self.items()

            def items(self):
                yield b"\x00\x00"
                raise broke

        e = Engine(n=1)
        with pytest.raises(mods.errors.Failed) as ei:
            if route == "frames":
                list(avatar(e).render(Source()))
            else:
                avatar(e).render(Source(), out_mp4=tmp_path / "out.mp4")
        exc = ei.value
        assert (exc.message, exc.detail) == ("the render stopped", broke)
        assert exc.__cause__ is broke and exc.__suppress_context__
        assert calls == ["__iter__"] and os.listdir(tmp_path) == []
        if where == "__next__":
            # The engine sees the caller's chunks as before, whatever stream they come in.
            assert e.log == ["frames", ("chunk", b"\x00\x00"), "interrupt"]
        else:
            assert e.log == []  # refused before the engine started

    def test_audio_refused_mid_stream_is_mapped_after_interrupt(self, mods):
        e = Engine(n=0)
        with pytest.raises(mods.errors.Failed) as ei:
            list(avatar(e).render([b"\x00\x00", 42]))
        assert isinstance(ei.value.detail, TypeError) and e.log[-1] == "interrupt"
        assert_in_place(ei.value)  # refused by the conversion, not raised by the caller's stream


# expected, delivered, outcome: "ok", "short" (stopped early, with its floor) or "none" (no frames)
SHORT_TABLE = [
    (100, 98, "ok"), (100, 97, "short"), (150, 147, "ok"), (150, 146, "short"), (149, 147, "ok"),
    (149, 146, "short"), (1000, 980, "ok"), (1000, 979, "short"), (2, 0, "ok"), (3, 0, "none"),
    (3, 1, "ok"), (50, 51, "ok"), (100, 0, "none"),
]


class TestShortRender:
    @pytest.mark.parametrize("expected, delivered, outcome", SHORT_TABLE)
    def test_table(self, mods, monkeypatch, expected, delivered, outcome):
        monkeypatch.setattr(_open, "_expected_frames", lambda clip, fps: expected)
        e = Engine(n=delivered, fps=25, stop_reason="idle-frame (avatar returned to rest)")
        it = avatar(e, "corvine2-golden").render(b"")
        frames = []
        if outcome == "ok":
            frames = list(it)
        else:
            with pytest.raises(mods.errors.Failed) as ei:
                for f in it:
                    frames.append(f)
        assert len(frames) == delivered and "interrupt" not in e.log
        floor = ref.short_floor(expected)
        if outcome == "short":
            assert ei.value.message == (
                f"that render stopped early \u2014 {delivered} frames came out of the {expected} this audio "
                "should produce, so the video would be short. Render it again.")
            assert ei.value.detail == (
                f"engine=corvine2-golden delivered {delivered} frames, expected >= {floor} (audio implies "
                f"{expected} at 25 fps); the render ended on: idle-frame (avatar returned to rest)")
        elif outcome == "none":
            assert ei.value.message == ("no frames came out of that render \u2014 check that the audio has "
                                        "speech in it, then try again")
            assert ei.value.detail == "engine=corvine2-golden delivered 0 frames"

    def test_the_check_follows_the_stats(self, mods, monkeypatch):
        monkeypatch.setattr(_open, "_expected_frames", lambda clip, fps: 100)
        a = avatar(Engine(n=50, fps=25))
        with pytest.raises(mods.errors.Failed):
            list(a.render(b"\x00\x00"))
        assert a._render_stats.frames == 50

    def test_missing_attributes_read_with_their_defaults(self, mods, monkeypatch):
        seen = []
        monkeypatch.setattr(_open, "_expected_frames", lambda clip, fps: seen.append(fps) or 10)
        with pytest.raises(mods.errors.Failed) as ei:
            list(avatar(Engine(n=1)).render(b""))
        assert seen == [None]
        assert ei.value.detail.endswith("(audio implies 10 at ? fps); the render ended on: not recorded")

    def test_patched_fraction_is_obeyed(self, mods, monkeypatch):
        monkeypatch.setattr(_open, "_expected_frames", lambda clip, fps: 100)
        monkeypatch.setattr(_open, "_SHORT_FRAC", 0.5)
        list(avatar(Engine(n=50, fps=25)).render(b""))

    def test_no_rate_only_fails_without_frames(self, mods):
        list(avatar(Engine(n=1)).render(b"\x00" * 64000))  # fixture-like engine, whole clip
        list(avatar(Engine(n=1)).render([b"\x00" * 64000]))  # and a stream
        with pytest.raises(mods.errors.Failed, match="^no frames"):
            list(avatar(Engine(n=0)).render(b"\x00" * 64000))

    def test_a_stream_is_held_to_the_audio_the_engine_took(self, mods):
        two_seconds = [b"\x00" * 32000] * 2  # 50 frames at 25 fps, floor 48
        list(avatar(Engine(n=48, fps=25)).render(two_seconds))
        with pytest.raises(mods.errors.Failed, match="^that render stopped early") as ei:
            list(avatar(Engine(n=1, fps=25)).render(two_seconds))
        assert "delivered 1 frames, expected >= 48 (audio implies 50 at 25 fps)" in ei.value.detail
        # A stream too short for one frame, or audio never taken, still needs a frame to pass.
        with pytest.raises(mods.errors.Failed, match="^no frames"):
            list(avatar(Engine(n=0, fps=25)).render([b"\x00" * 4]))
        list(avatar(Engine(n=1, fps=25, take_chunks=False)).render(two_seconds))

    def test_whole_clip_expectation_end_to_end(self, mods):
        # Two seconds at 25 fps: 50 expected, floor 48.
        list(avatar(Engine(n=48, fps=25)).render(b"\x00" * 64000))
        with pytest.raises(mods.errors.Failed, match="^that render stopped early"):
            list(avatar(Engine(n=47, fps=25)).render(b"\x00" * 64000))


class TestRelease:
    def test_close_once_whatever_the_route(self):
        e = Engine()
        a = _open.Avatar(e, "corvine1")
        with a as same:
            assert same is a
        assert a.__exit__(None, None, None) is False
        a._release()
        del a
        gc.collect()
        assert e.log == ["close"]

    def test_destruction_releases(self):
        e = Engine()
        _open.Avatar(e, "corvine1")
        gc.collect()
        assert e.log == ["close"]

    def test_exit_never_suppresses(self):
        with pytest.raises(ZeroDivisionError):
            with avatar(Engine()):
                1 / 0

    def test_failing_close_propagates_once_and_stays_closed(self):
        class Bad(Engine):
            def close(self):
                self.log.append("close")
                raise OSError("busy")

        e = Bad()
        a = avatar(e)
        with pytest.raises(OSError):
            a.__exit__(None, None, None)
        assert a._closed is True
        a.__del__()  # nothing left to close
        a._closed = False
        a.__del__()  # swallowed
        assert e.log == ["close", "close"]
