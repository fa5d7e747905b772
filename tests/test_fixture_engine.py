"""The fixture engine over a fake native runtime: construction order and arguments, the refusal
of a fixture that cannot be loaded, the push-and-pull loop, channel order, interrupt and close."""

import sys
import types

import numpy as np
import pytest

from open_fakes import errors  # noqa: F401 - fixture
from quorvane import _open
from reference import open_audio as ref


class Runtime:
    """Answers ticks_available() from `ticks` (then 0) and pulls BGR pictures numbered by pull."""

    def __init__(self, log, fx, ticks=(), tuple_pulls=True):
        self.log = log
        self.fx = fx
        self.ticks = list(ticks)
        self.tuple_pulls = tuple_pulls
        self.pulled = 0

    def push_audio(self, samples):
        self.log.append(("push", samples))

    def ticks_available(self):
        n = self.ticks.pop(0) if self.ticks else 0
        self.log.append(("ticks", n))
        return n

    def pull_frame(self, *args):
        self.log.append(("pull", args))
        self.pulled += 1
        img = np.zeros((2, 3, 3), np.uint8)
        img[..., 0], img[..., 1], img[..., 2] = 10 + self.pulled, 20, 30  # b, g, r
        return (self.pulled, img) if self.tuple_pulls else img

    def reset_stream(self):
        self.log.append("reset_stream")


@pytest.fixture
def native(monkeypatch, errors):  # noqa: F811
    log = []
    ns = types.SimpleNamespace(log=log, ticks=[], tuple_pulls=True, fixture_error=None, runtime_error=None)

    class Fixture:
        def __init__(self, *args, **kwargs):
            log.append(("Fixture", args, list(kwargs.items())))
            if ns.fixture_error:
                raise ns.fixture_error

    def make_runtime(fx):
        log.append(("Runtime", type(fx).__name__))
        if ns.runtime_error:
            raise ns.runtime_error
        ns.runtime = Runtime(log, fx, ns.ticks, ns.tuple_pulls)
        return ns.runtime

    class Mixin:
        @staticmethod
        def _register_default_audio_encoder():
            log.append("register")

    core = types.ModuleType("quorvane._core")
    core.Fixture, core.Runtime, core.EP_AUTO = Fixture, make_runtime, "auto"
    loader = types.ModuleType("quorvane._loader")
    loader.NativeFixtureLoaderMixin = Mixin
    threads = types.ModuleType("quorvane._threads")
    threads.CORVINE1 = "corvine1-profile"
    threads.default_threads = lambda profile: log.append(("threads", profile)) or 3
    for name, mod in (("_core", core), ("_loader", loader), ("_threads", threads)):
        monkeypatch.setitem(sys.modules, "quorvane." + name, mod)
    ns.core, ns.errors = core, errors
    return ns


def pushes(log):
    return [entry[1] for entry in log if entry[0] == "push"]


class TestConstruction:
    def test_order_and_arguments(self, native):
        e = _open._FixtureEngine("avatar.cv1")
        assert native.log == [
            "register",
            ("threads", "corvine1-profile"),
            ("Fixture", ("avatar.cv1",), [("preferred_ep", "auto"), ("intra_op_threads", 3)]),
            ("Runtime", "Fixture"),
        ]
        assert e._rt is native.runtime and type(e._fx).__name__ == "Fixture"
        assert not hasattr(e, "frames_per_second") and not hasattr(e, "stop_reason")

    def test_a_fixture_that_cannot_load_is_not_a_usable_avatar(self, native):
        native.fixture_error = RuntimeError("bad magic")
        with pytest.raises(native.errors.InvalidAvatar) as ei:
            _open._FixtureEngine("avatar.cv1")
        e = ei.value
        assert (e.message, e.detail) == ("that is not a usable avatar", native.fixture_error)
        assert e.__cause__ is None and e.__suppress_context__ and e.__context__ is native.fixture_error

    def test_a_failing_runtime_gives_its_own_error(self, native):
        native.runtime_error = MemoryError("no room")
        with pytest.raises(MemoryError):
            _open._FixtureEngine("avatar.cv1")


class TestFrames:
    def test_samples_reach_the_runtime_as_float32(self, native):
        e = _open._FixtureEngine("a")
        chunk = np.array([-32768, 0, 16384, 32767, -1], np.int16).tobytes()
        assert list(e.frames(iter([chunk]))) == []
        (samples,) = pushes(native.log)
        assert samples.dtype == np.float32 and samples.ndim == 1
        assert samples.tolist()[:3] == [-1.0, 0.0, 0.5]
        assert samples.tobytes() == ref.chunk_samples(chunk).tobytes()

    def test_conversion_matches_reference_bit_for_bit(self, native):
        rng = np.random.default_rng(7)
        chunks = [rng.integers(-32768, 32768, n, dtype=np.int16).tobytes() for n in (1, 2, 255, 4096)]
        list(_open._FixtureEngine("a").frames(iter(chunks)))
        assert [s.tobytes() for s in pushes(native.log)] == [ref.chunk_samples(c).tobytes() for c in chunks]

    def test_empty_chunks_push_nothing_and_pieces_of_any_length_are_one_stream(self, native):
        e = _open._FixtureEngine("a")
        assert list(e.frames(iter([b"", b""]))) == [] and pushes(native.log) == []
        pcm = np.random.default_rng(3).integers(-32768, 32768, 5000, dtype=np.int16).tobytes() + b"\x7f"
        cuts = [0, 1, 2, 5, 4100, 8195, 9999, len(pcm)]  # a sample split, a lone byte, an odd tail
        pieces = [pcm[a:b] for a, b in zip(cuts, cuts[1:])]
        assert list(e.frames(iter(pieces))) == []
        pushed = pushes(native.log)
        assert all(s.size for s in pushed) and len(pushed) == len(pieces) - 1  # the lone byte waits
        # Every sample as one clip gives it; the last odd byte is dropped, as the other engines drop it.
        assert np.concatenate(pushed).tobytes() == ref.chunk_samples(pcm[:-1]).tobytes()

    def test_every_ready_frame_goes_out_before_the_next_chunk(self, native):
        native.ticks = [3, 2, 1, 0, 1, 0]
        e = _open._FixtureEngine("a")
        taken = []

        def chunks():
            for c in (b"\x00\x00", b"\x01\x00"):
                taken.append(c)
                yield c

        it = e.frames(chunks())
        frames = [next(it) for _ in range(3)]
        assert len(taken) == 1 and len(frames) == 3
        assert len(list(it)) == 1
        kinds = [x if isinstance(x, str) else x[0] for x in native.log[4:]]
        assert kinds == ["reset_stream", "push", "ticks", "pull", "ticks", "pull", "ticks", "pull", "ticks",
                         "push", "ticks", "pull", "ticks"]
        assert all(x[1] == () for x in native.log if x[0] == "pull")  # pull_frame() takes no argument

    def test_nothing_is_pulled_after_the_last_chunk(self, native):
        native.ticks = [0, 5]  # frames become ready only after the input ended
        assert list(_open._FixtureEngine("a").frames(iter([b"\x00\x00"]))) == []
        assert native.runtime.pulled == 0

    @pytest.mark.parametrize("tuple_pulls", [True, False])
    def test_channels_reversed_into_a_new_contiguous_array(self, native, tuple_pulls):
        native.ticks, native.tuple_pulls = [1, 0], tuple_pulls
        (frame,) = _open._FixtureEngine("a").frames(iter([b"\x00\x00"]))
        assert frame.flags.c_contiguous and frame.shape == (2, 3, 3)
        assert frame[0, 0].tolist() == [30, 20, 11]

    def test_the_generator_keeps_its_runtime_past_close(self, native):
        native.ticks = [1, 1, 0]
        e = _open._FixtureEngine("a")
        it = e.frames(iter([b"\x00\x00"]))
        next(it)  # the runtime is read at the first step
        e.close()
        assert len(list(it)) == 1


class TestInterruptAndClose:
    def test_interrupt_resets_the_stream(self, native):
        e = _open._FixtureEngine("a")
        assert e.interrupt() is None and native.log[-1] == "reset_stream"

    def test_after_close_nothing_fails(self, native):
        e = _open._FixtureEngine("a")
        e.close()
        e.close()
        assert (e._fx, e._rt) == (None, None)
        assert e.interrupt() is None


class TestRuntimePresent:
    @pytest.mark.parametrize("attrs, present", [({}, True), ({"ENGINE_ONLY": False}, True),
                                                ({"ENGINE_ONLY": 0}, True), ({"ENGINE_ONLY": True}, False)])
    def test_engine_only_flag(self, monkeypatch, attrs, present):
        core = types.ModuleType("quorvane._core")
        core.__dict__.update(attrs)
        monkeypatch.setitem(sys.modules, "quorvane._core", core)
        assert _open._corvine1_runtime_present() is present

    def test_missing_native_module_counts_as_present(self, monkeypatch):
        monkeypatch.setitem(sys.modules, "quorvane._core", None)
        assert _open._corvine1_runtime_present() is True
