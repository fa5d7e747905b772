"""The session engine: construction over an unpacked bundle or a ready session, the push phase,
the drain phase and its three endings, and the quiet deadline read from the environment."""

import json

import pytest

from conftest import run_python
from open_fakes import ScriptedSession, clock, session_mod  # noqa: F401 - fixtures
from quorvane import _open

S, I, O = "speech", "idle", "other"  # the fake session's kinds, and one that is neither


def engine_over(session_mod, on_push=None, drain=()):  # noqa: F811
    log = []
    s = ScriptedSession(log, session_mod, on_push=on_push, drain=drain)
    return _open._SessionEngine("unused", session=s), log


class TestConstruction:
    def test_ready_session_is_used_as_it_is(self, session_mod, monkeypatch):  # noqa: F811
        monkeypatch.setattr(_open, "_materialise", lambda s: pytest.fail("unpacked"), raising=False)
        s = object()
        e = _open._SessionEngine("x.imx", session=s)
        assert e._s is s and e._session_mod is session_mod and e.frames_per_second == 25
        assert not hasattr(e, "stop_reason")

    def test_built_over_the_unpacked_bundle_and_its_manifest(self, session_mod, monkeypatch, tmp_path):  # noqa: F811
        (tmp_path / "manifest.json").write_text(json.dumps({"engine": "corvine2-light", "n": "é"}), encoding="utf-8")
        seen = []
        monkeypatch.setattr(_open, "_materialise", lambda s: seen.append(s) or str(tmp_path), raising=False)
        monkeypatch.setattr(_open, "open", lambda *a: pytest.fail("the avatar opener read the manifest"))
        _open._SessionEngine("avatar.imx")
        assert seen == ["avatar.imx"]
        assert session_mod.built == [(str(tmp_path), {"engine": "corvine2-light", "n": "é"})]

    def test_a_broken_manifest_propagates(self, session_mod, monkeypatch, tmp_path):  # noqa: F811
        (tmp_path / "manifest.json").write_text("{", encoding="utf-8")
        monkeypatch.setattr(_open, "_materialise", lambda s: str(tmp_path), raising=False)
        with pytest.raises(json.JSONDecodeError):
            _open._SessionEngine("avatar.imx")


class TestPushPhase:
    def test_rest_before_speech_is_dropped_then_everything_is_kept(self, session_mod, clock):  # noqa: F811
        pushes = {b"a": [("f0", I), ("f1", O)], b"b": [("f2", S), ("f3", I), ("f4", O)], b"c": [("f5", I)]}
        e, log = engine_over(session_mod, on_push=pushes.get, drain=[("f6", I)])
        assert list(e.frames(iter([b"a", b"b", b"c"]))) == ["f2", "f3", "f4", "f5"]
        assert log == ["reset", ("push", b"a"), "check", ("push", b"b"), "check", ("push", b"c"), "check", "end"]
        assert e.stop_reason == "idle-frame (avatar returned to rest)"

    def test_empty_chunks_are_pushed_too(self, session_mod, clock):  # noqa: F811
        e, log = engine_over(session_mod, drain=[("x", I)])
        list(e.frames(iter([b""])))
        assert ("push", b"") in log

    def test_a_pull_that_is_not_a_pair(self, session_mod, clock):  # noqa: F811
        e, _ = engine_over(session_mod, on_push=lambda c: [("a", S, "extra")])
        with pytest.raises(ValueError, match=r"too many values to unpack \(expected 2\)"):
            list(e.frames(iter([b"x"])))
        assert e.stop_reason == "unfinished"

    def test_closing_after_the_first_frame(self, session_mod, clock):  # noqa: F811
        e, log = engine_over(session_mod, on_push=lambda c: [("a", S), ("b", S)])
        it = e.frames(iter([b"x"]))
        assert next(it) == "a"
        it.close()
        assert e.stop_reason == "unfinished" and "end" not in log


class TestDrainPhase:
    def test_speech_only_after_the_end_of_input(self, session_mod, clock):  # noqa: F811
        e, log = engine_over(session_mod, drain=[("r0", I), ("s0", S), ("r1", I), ("late", S)])
        assert list(e.frames(iter([b"x"]))) == ["s0"]
        assert e.stop_reason == "idle-frame (avatar returned to rest)"
        assert log[-1] == "end"  # the rest frame ends it without a check

    def test_quiet_deadline_after_the_last_frame(self, session_mod, clock, monkeypatch):  # noqa: F811
        monkeypatch.setattr(_open, "_QUIET", 0.05)
        e, log = engine_over(session_mod, on_push=lambda c: [("a", S)], drain=[("b", O)])
        assert list(e.frames(iter([b"x"]))) == ["a", "b"]
        assert e.stop_reason == "quiet-deadline (0s with no frame)"
        assert log[-1] == "check"
        assert set(clock.sleeps) == {0.005}
        assert 0.05 <= sum(clock.sleeps) <= 0.06

    def test_no_speech_at_all_stops_at_the_first_frame_after_the_deadline(self, session_mod, clock, monkeypatch):  # noqa: F811
        monkeypatch.setattr(_open, "_QUIET", 1.0)

        def later(kind, dt):
            def pull():
                clock.now += dt
                return ("f", kind)
            return pull

        e, log = engine_over(session_mod, on_push=lambda c: [("r", I)],
                             drain=[later(I, 0.5), later(O, 0.4), later(I, 0.2), later(S, 0)])
        assert list(e.frames(iter([b"x"]))) == []
        assert e.stop_reason == "no-speech-in-utterance"
        assert log[-1] == "check" and clock.sleeps == []  # dropped frames are pulled without waiting

    def test_no_speech_and_then_silence_is_the_quiet_deadline(self, session_mod, clock, monkeypatch):  # noqa: F811
        monkeypatch.setattr(_open, "_QUIET", 0.02)
        e, _ = engine_over(session_mod, drain=[("r", I)])
        assert list(e.frames(iter([b"x"]))) == []
        assert e.stop_reason.startswith("quiet-deadline (")

    def test_a_slow_consumer_uses_up_the_deadline(self, session_mod, clock, monkeypatch):  # noqa: F811
        monkeypatch.setattr(_open, "_QUIET", 2.0)
        e, _ = engine_over(session_mod, drain=[("a", S), ("b", S)])
        it = e.frames(iter([b"x"]))
        assert next(it) == "a"
        clock.now += 2.5  # the consumer holds the frame longer than the deadline
        assert next(it) == "b"
        clock.now += 2.5
        assert list(it) == [] and clock.sleeps == []
        assert e.stop_reason == "quiet-deadline (2s with no frame)"

    @pytest.mark.parametrize("quiet, text", [(2.5, "2"), (0.6, "1"), (0.5, "0"), (1.5, "2"), (3.5, "4"),
                                             (10.0, "10"), (-0.0, "-0"), (1e16 + 2, "10000000000000002")])
    def test_quiet_text_rounds_half_to_even(self, session_mod, clock, monkeypatch, quiet, text):  # noqa: F811
        monkeypatch.setattr(_open, "_QUIET", quiet)
        assert text == format(quiet, ".0f")
        jump = iter([0.0] + [abs(quiet) * 4 + 1] * 10)
        monkeypatch.setattr(clock, "monotonic", lambda: clock.now + next(jump))
        e, _ = engine_over(session_mod)
        list(e.frames(iter([b"x"])))
        assert e.stop_reason == f"quiet-deadline ({text}s with no frame)"


class TestInterruptAndClose:
    def test_interrupt_resets_and_swallows(self, session_mod):  # noqa: F811
        class Failing:
            def reset(self):
                raise RuntimeError("gone")

        assert _open._SessionEngine("x", session=Failing()).interrupt() is None

    def test_close_propagates_and_keeps_the_session(self, session_mod):  # noqa: F811
        class Failing:
            def close(self):
                raise OSError("busy")

        s = Failing()
        e = _open._SessionEngine("x", session=s)
        with pytest.raises(OSError):
            e.close()
        assert e._s is s


@pytest.mark.parametrize("value, expect", [(None, "10.0"), ("2.5", "2.5"), (" 0.6 ", "0.6")])
def test_quiet_is_read_from_the_environment_at_import(value, expect):
    env = {} if value is None else {"QUORVANE_RENDER_QUIET": value}
    code = "import os, quorvane._open as o; print(repr(o._QUIET))"
    proc = run_python(code if value is not None else "import os; os.environ.pop('QUORVANE_RENDER_QUIET', None); " + code,
                      env=env)
    assert proc.returncode == 0, proc.stderr
    assert proc.stdout.decode().strip() == expect


def test_a_quiet_value_that_is_not_a_number_fails_the_import():
    proc = run_python("import quorvane._open", env={"QUORVANE_RENDER_QUIET": "soon"})
    assert proc.returncode != 0
    assert b"ValueError: could not convert string to float: 'soon'" in proc.stderr
