"""The first frame and stream geometry of the live avatar, and the members kept for the host
plugin (settings, set_identity, start, video_graph)."""

import asyncio
import inspect
import logging
import os
import types

import numpy as np
import pytest

import quorvane._avatar as av
from output_fakes import FakeAvatar, FakeFixture
from quorvane._exceptions import RuntimeNotReadyError

DATA = os.path.join(os.path.dirname(__file__), "data")
NO_MODEL = "quorvane: no first frame \u2014 no model is loaded (await AsyncQuorvane.create(model_path=...))"
BLANK = ("quorvane: the engine produced no resting frame in %.1fs; reporting this model's own %dx%d geometry with "
         "a blank frame so the session can still start")
POLL_FAILED = "quorvane: the engine had no resting frame after %.1fs (%s: %s)"


class FakeTime:
    """Monotonic time that moves only when slept."""

    def __init__(self):
        self.now = 500.0
        self.sleeps = []

    def monotonic(self):
        return self.now

    def sleep(self, s):
        self.sleeps.append(s)
        self.now += s


class Polled:
    """A runtime whose get_source_frame answers from a script (the last answer repeats)."""

    def __init__(self, *answers):
        self.answers = list(answers)
        self.polls = []

    def get_source_frame(self, idx):
        self.polls.append(idx)
        a = self.answers.pop(0) if len(self.answers) > 1 else self.answers[0]
        if isinstance(a, BaseException):
            raise a
        return a


@pytest.fixture
def clock(monkeypatch):
    t = FakeTime()
    monkeypatch.setattr(av, "time", t)
    return t


def streaming(runtime, fixture=None, **kw):
    a = FakeAvatar(output_size=None, **kw)
    a._fixture = FakeFixture(w=6, h=4) if fixture is None else fixture
    a._runtime = runtime
    return a


def messages(caplog):
    return [(r.levelno, r.msg, r.args) for r in caplog.records if r.name == "quorvane"]


class TestFirstFrame:
    @pytest.mark.parametrize("size, shape", [((1280, 720), (720, 1280, 3)), ((640.0, 360.0), (360, 640, 3))])
    def test_compose_mode_is_a_blank_picture_of_the_output_size_at_once(self, clock, size, shape):
        rt = Polled(np.ones((4, 6, 3), np.uint8))
        a = FakeAvatar(output_size=size)
        a._fixture, a._runtime = FakeFixture(), rt
        f = a.get_first_frame()
        assert f.shape == shape and f.dtype == np.uint8 and not f.any()
        assert rt.polls == [] and clock.sleeps == []
        assert (a.frame_width, a.frame_height) == (shape[1], shape[0])
        assert type(a.frame_width) is int and type(a.frame_height) is int

    def test_resting_picture_available_at_once(self, clock, caplog):
        pic = np.full((9, 7, 3), 3, np.uint8)
        rt = Polled(pic)
        with caplog.at_level(logging.WARNING, logger="quorvane"):
            assert streaming(rt).get_first_frame() is pic
        assert rt.polls == [0] and clock.sleeps == [] and messages(caplog) == []

    def test_picture_arriving_during_the_wait_ends_it(self, clock):
        pic = np.ones((4, 6, 3), np.uint8)
        rt = Polled(None, np.zeros((0, 6, 3), np.uint8), None, pic)
        assert streaming(rt).get_first_frame() is pic
        assert len(rt.polls) == 4 and clock.sleeps == [0.01] * 3

    def test_no_picture_gives_the_models_blank_geometry(self, clock, caplog):
        rt = Polled(None)
        with caplog.at_level(logging.WARNING, logger="quorvane"):
            f = streaming(rt, FakeFixture(w=6, h=4)).get_first_frame()
        assert f.shape == (4, 6, 3) and f.dtype == np.uint8 and not f.any()
        assert 100 <= len(rt.polls) <= 102 and all(s == 0.01 for s in clock.sleeps)
        assert messages(caplog) == [(logging.WARNING, BLANK, (1.0, 6, 4))]

    def test_failing_polls_are_reported_once_with_the_last_error(self, clock, caplog):
        errors = [RuntimeError(f"poll {i}") for i in range(3)]
        rt = Polled(*errors, None)
        with caplog.at_level(logging.WARNING, logger="quorvane"):
            f = streaming(rt).get_first_frame()
        assert f.shape == (4, 6, 3)
        got = messages(caplog)
        assert len(got) == 2
        assert got[0][:2] == (logging.WARNING, POLL_FAILED)
        assert got[0][2][0] == 1.0 and got[0][2][1] == "RuntimeError" and got[0][2][2] is errors[2]
        assert got[1] == (logging.WARNING, BLANK, (1.0, 6, 4))

    def test_wait_and_poll_constants_are_read_at_each_call(self, clock, caplog, monkeypatch):
        monkeypatch.setattr(av, "_FIRST_FRAME_WAIT_S", 0.05)
        monkeypatch.setattr(av, "_FIRST_FRAME_POLL_S", 0.02)
        rt = Polled(None)
        with caplog.at_level(logging.WARNING, logger="quorvane"):
            streaming(rt).get_first_frame()
        assert clock.sleeps == [0.02] * 3 and len(rt.polls) == 4
        assert messages(caplog)[0][2] == (0.05, 6, 4)

    @pytest.mark.parametrize("timeout", [0, -1, 0.0])
    def test_no_time_out_is_one_poll(self, clock, caplog, timeout):
        rt = Polled(ValueError("x"))
        with caplog.at_level(logging.WARNING, logger="quorvane"):
            assert streaming(rt)._wait_source_frame(timeout) is None
        assert rt.polls == [0] and clock.sleeps == []
        ((_, msg, args),) = messages(caplog)
        assert msg == POLL_FAILED and args[0] == timeout

    @pytest.mark.parametrize("w, h", [(0, 4), (6, -1)])
    def test_degenerate_size_gives_none(self, clock, caplog, w, h):
        with caplog.at_level(logging.WARNING, logger="quorvane"):
            assert streaming(Polled(None), FakeFixture(w=w, h=h)).get_first_frame() is None
        assert messages(caplog)[-1] == (logging.WARNING, "quorvane: no first frame \u2014 this model reports a %dx%d "
                                        "frame size", (w, h))

    def test_unreadable_size_gives_none(self, clock, caplog):
        fx = types.SimpleNamespace(frame_width="wide", frame_height=4)
        with caplog.at_level(logging.WARNING, logger="quorvane"):
            assert streaming(Polled(None), fx).get_first_frame() is None
        (_, msg, args) = messages(caplog)[-1]
        assert msg == "quorvane: no first frame \u2014 this model cannot say how big a frame is (%s: %s)"
        assert args[0] == "ValueError" and isinstance(args[1], ValueError)

    @pytest.mark.parametrize("missing", ["_fixture", "_runtime"])
    def test_no_model_logs_and_gives_none_without_polling(self, clock, caplog, missing):
        rt = Polled(np.ones((4, 6, 3), np.uint8))
        a = streaming(rt)
        setattr(a, missing, None)
        with caplog.at_level(logging.WARNING, logger="quorvane"):
            assert a.get_first_frame() is None
        assert rt.polls == [] and messages(caplog) == [(logging.WARNING, NO_MODEL, ())]


class TestGeometry:
    def test_without_a_model(self):
        a = FakeAvatar(output_size=(640, 480), fps=25)
        assert (a.frame_width, a.frame_height, a.sample_rate, a.fps) == (None, None, 16000, 25)
        with pytest.raises(RuntimeNotReadyError) as ei:
            a.samples_per_tick
        assert ei.value.args == ("Fixture not loaded; await create() first.",)

    @pytest.mark.parametrize("name, spt", [("corvine1", 640), ("mirrant2", 800)])
    def test_streaming_mode_reports_the_models_own_geometry(self, name, spt):
        a = FakeAvatar(output_size=None)
        a._load_fixture_blocking(os.path.join(DATA, f"{name}.qvfx"))
        fx = a._fixture
        assert (a.frame_width, a.frame_height) == (fx.frame_width, fx.frame_height)
        assert a.samples_per_tick == spt and a.sample_rate == 16000


class TestCompat:
    def test_settings_proxy_class(self):
        P = av.AsyncAvatar._SettingsProxy
        assert (P.__qualname__, P.__module__, P.__bases__) == ("AsyncAvatar._SettingsProxy", "quorvane._avatar",
                                                               (object,))
        assert P.__annotations__ == {"FPS": int, "INPUT_SAMPLE_RATE": int, "PROCESS_IDLE_VIDEO": bool,
                                     "ALLOW_VIDEO_SCRIPT_UPDATE": bool, "OUTPUT_WIDTH": int}
        assert (P.FPS, P.INPUT_SAMPLE_RATE, P.PROCESS_IDLE_VIDEO, P.ALLOW_VIDEO_SCRIPT_UPDATE, P.OUTPUT_WIDTH) == (
            25, 16000, False, True, 1280)

    @pytest.mark.parametrize("arg, fps", [((), 25), ((30.9,), 30), (("20",), 20), ((-2.5,), -2)])
    def test_settings_proxy_fps(self, arg, fps):
        P = av.AsyncAvatar._SettingsProxy
        p = P(*arg)
        assert p.FPS == fps and type(p.FPS) is int
        assert P.FPS == 25 and vars(p) == {"FPS": fps}

    @pytest.mark.parametrize("bad, err", [("fast", ValueError), (None, TypeError)])
    def test_settings_proxy_refuses_what_int_refuses(self, bad, err):
        with pytest.raises(err):
            av.AsyncAvatar._SettingsProxy(bad)
        with pytest.raises(err):
            av.AsyncAvatar._SettingsProxy(fps=bad)

    @pytest.mark.parametrize("size", [None, (640, 480), (1920, 1080)])
    def test_settings_follow_the_engine_rate_and_nothing_else(self, size):
        a = FakeAvatar(output_size=size, fps=20)
        s = a.settings
        assert isinstance(s, av.AsyncAvatar._SettingsProxy)
        assert (s.FPS, s.INPUT_SAMPLE_RATE, s.PROCESS_IDLE_VIDEO, s.ALLOW_VIDEO_SCRIPT_UPDATE, s.OUTPUT_WIDTH) == (
            20, 16000, False, True, 1280)
        assert a.settings is not s
        a.fps_value = 25
        assert a.settings.FPS == 25 and s.FPS == 20

    def test_settings_builds_through_the_instance(self):
        class Mine(FakeAvatar):
            class _SettingsProxy:
                def __init__(self, fps):
                    self.got = fps

        assert Mine(fps=12).settings.got == 12

    def test_start_and_set_identity_do_nothing(self):
        a = FakeAvatar()
        before = dict(vars(a))
        assert a.set_identity("any face") is None
        assert a.set_identity(identity="x") is None
        co = a.start(room="r", token=1)
        assert inspect.isawaitable(co)
        assert asyncio.run(_await(co)) is None
        assert vars(a) == before
        with pytest.raises(TypeError):
            a.start("positional")
        with pytest.raises(TypeError):
            a.set_identity()

    def test_video_graph_is_none(self):
        assert FakeAvatar().video_graph is None


async def _await(aw):
    return await aw
