"""AsyncAvatar's model loading: create and set_model, their refusals, and the engine frame rate."""

import asyncio
import inspect
import os
import threading
import types
from pathlib import Path

import pytest

from avatar_fakes import WAIT_S, Av, shut_engine
from quorvane import _avatar, _exceptions
from quorvane._avatar import AsyncAvatar

DATA = Path(__file__).parent / "data"
C1, M2 = str(DATA / "corvine1.qvfx"), str(DATA / "mirrant2.qvfx")


def run(coro):
    return asyncio.run(asyncio.wait_for(coro, WAIT_S))


class Recorder(Av):
    def _load_fixture_blocking(self, path):
        self.log = getattr(self, "log", [])
        self.log.append(("load", path, threading.current_thread() is threading.main_thread()))
        return super()._load_fixture_blocking(path)

    async def stop(self):
        self.log = getattr(self, "log", [])
        self.log.append(("stop", self._running))
        await super().stop()


class TestCreate:
    def test_loads_the_model_off_the_loop_and_starts_nothing(self):
        av = run(Recorder.create(model_path=C1))
        assert type(av) is Recorder
        assert av.log == [("load", C1, False)]
        assert av._engine_id == "corvine1" and av._fixture is not None and av._runtime is not None
        assert av._output_size == (1280, 720) and av._output_size is _avatar._DEFAULT_OUTPUT_SIZE
        assert (av._in_queue.maxsize, av._out_queue.maxsize) == (0, 6)
        assert av._running is False and av._producer_task is None and av._engine_executor is None

    def test_arguments_pass_to_the_constructor_and_the_ignored_ones_change_nothing(self):
        plain = run(AsyncAvatar.create(model_path=C1, output_size=None, input_buffer_size=3, output_buffer_size=2,
                                       num_threads=2))
        extra = run(AsyncAvatar.create(model_path=C1, output_size=None, input_buffer_size=3, output_buffer_size=2,
                                       num_threads=2, verbose=True, batch_workers=9, quality="ultra", identity="x"))
        for av in (plain, extra):
            assert av._output_size is None and av._num_threads == 2 and av._fixture.intra_op_threads == 2
            assert (av._in_queue.maxsize, av._out_queue.maxsize) == (3, 2)
        assert sorted(vars(plain)) == sorted(vars(extra))

    def test_model_path_is_required(self):
        with pytest.raises(ValueError, match="^AsyncAvatar.create: model_path is required$"):
            run(AsyncAvatar.create())

    def test_missing_model_names_the_expanded_path(self, tmp_path, monkeypatch):
        monkeypatch.setenv("HOME", str(tmp_path))
        with pytest.raises(_exceptions.ModelNotFoundError) as e:
            run(AsyncAvatar.create(model_path="~/nope/model.qvfx"))
        assert str(e.value) == f"Corvine model not found: {tmp_path}/nope/model.qvfx"
        odd = os.fsdecode(b"/nope-\xff/model.qvfx")  # not UTF-8: this failed with UnicodeEncodeError
        with pytest.raises(_exceptions.ModelNotFoundError) as e:
            run(AsyncAvatar.create(model_path=odd))
        assert str(e.value) == f"Corvine model not found: {odd}"

    def test_neither_file_nor_directory_is_refused_before_the_loop_could_block(self, tmp_path, monkeypatch):
        fifo = tmp_path / "model.fifo"
        os.mkfifo(fifo)  # reading its engine id would wait for a writer, with the loop held

        def no_read(path):
            raise AssertionError(f"{path} was read")

        monkeypatch.setattr("quorvane._imx_engine.engine_id_for_path", no_read)
        for path in (str(fifo), "/dev/null"):
            with pytest.raises(_exceptions.ModelNotFoundError) as e:
                run(AsyncAvatar.create(model_path=path))
            assert str(e.value) == f"Corvine model not found: {path} (not a regular file or a directory)"
            with pytest.raises(_exceptions.ModelNotFoundError):
                run(AsyncAvatar().set_model(path))

    def test_an_empty_path_is_a_path(self):
        # Only None is "no path"; "" names the current directory, which is no model file.
        with pytest.raises(ValueError, match="not a model file"):
            run(AsyncAvatar.create(model_path=""))

    def test_positional_arguments_are_refused(self):
        with pytest.raises(TypeError):
            AsyncAvatar(3)
        with pytest.raises(TypeError):
            AsyncAvatar.create(C1)

    @pytest.mark.parametrize("broken", ["engine", "loader"])
    def test_errors_of_the_engine_id_and_the_loader_propagate(self, broken, monkeypatch):
        import quorvane._imx_engine as imx

        def boom(*a):
            raise OSError(f"{broken} broke")

        if broken == "engine":
            monkeypatch.setattr(imx, "engine_id_for_path", boom)
        else:
            monkeypatch.setattr(AsyncAvatar, "_load_fixture_blocking", lambda self, p: boom())
        with pytest.raises(OSError, match=f"{broken} broke"):
            run(AsyncAvatar.create(model_path=C1))


class TestSetModel:
    def test_on_a_bare_instance_it_awaits_stop_then_loads(self):
        async def go():
            av = Recorder(output_size=None)
            await av.set_model(model_path=M2)
            return av

        av = run(go())
        assert av.log == [("stop", False), ("load", M2, False)]
        assert av._engine_id == "mirrant2" and av._engine_fps == 20

    def test_missing_path_leaves_a_running_producer_alone(self, tmp_path):
        async def go():
            av = await Recorder.create(model_path=C1, output_size=None)
            await av._ensure_running()
            task = av._producer_task
            with pytest.raises(_exceptions.ModelNotFoundError, match="Corvine model not found: "):
                await av.set_model(str(tmp_path / "missing.qvfx"))
            assert av._running and av._producer_task is task and not task.done()
            await av.stop()
            shut_engine(av)
            return av

        assert [e[0] for e in run(go()).log] == ["load", "stop"]

    def test_a_new_model_stops_the_producer_first_and_the_next_run_uses_it(self):
        async def go():
            av = await Recorder.create(model_path=C1, output_size=None)
            await av._ensure_running()
            old = av._producer_task
            await av.set_model(M2)
            assert old.done() and av._running is False and av._producer_task is None
            assert av.log[1:] == [("stop", True), ("load", M2, False)]
            assert av._engine_id == "mirrant2" and av._engine_fps == 20 and av._is_m2_stream()
            await av._ensure_running()
            assert av._producer_task is not old and av._emitter_task is not None and av._playout is not None
            await av.stop()
            shut_engine(av)

        run(go())


def fx(**attrs):
    return types.SimpleNamespace(**attrs)


class Unreadable:
    audio_samples_per_tick = 640

    @property
    def audio_sample_rate(self):
        raise RuntimeError("gone")


@pytest.mark.parametrize("fixture, fps", [
    (None, None),
    (fx(audio_sample_rate=16000, audio_samples_per_tick=640), 25),
    (fx(audio_sample_rate=16000, audio_samples_per_tick=800), 20),
    (fx(audio_sample_rate="16000", audio_samples_per_tick=320.9), 50),
    (fx(audio_sample_rate=16000, audio_samples_per_tick=0), None),
    (fx(audio_sample_rate=-16000, audio_samples_per_tick=640), None),
    (fx(audio_sample_rate=16000, audio_samples_per_tick=20000), 1),
    (fx(audio_samples_per_tick=640), None),
    (fx(audio_sample_rate=16000, audio_samples_per_tick="many"), None),
    (Unreadable(), None),
])
def test_engine_fps(fixture, fps, monkeypatch):
    """None: the fallback _FPS, read from the module at each use."""
    av = AsyncAvatar()
    av._fixture = fixture
    assert av._engine_fps == (25 if fps is None else fps) and type(av._engine_fps) is int
    monkeypatch.setattr(_avatar, "_FPS", 30)
    assert av._engine_fps == (30 if fps is None else fps)


def test_engine_fps_lets_non_exceptions_through():
    class Interrupting:
        @property
        def audio_samples_per_tick(self):
            raise KeyboardInterrupt

    av = AsyncAvatar()
    av._fixture = Interrupting()
    with pytest.raises(KeyboardInterrupt):
        av._engine_fps


@pytest.mark.parametrize("name, params, args", [
    ("create", "(*, model_path=None, input_buffer_size=0, output_buffer_size=6, num_threads=0, verbose=None, "
               "batch_workers=1, quality='medium', identity=None, output_size=(1280, 720))", ()),
    ("set_model", "(model_path)", ("x",)),
    ("push_audio", "(data, sample_rate, last_chunk=True)", (b"", 16000)),
    ("push", "(control)", (None,)),
    ("flush", "()", ()),
    ("stop", "()", ()),
    ("shutdown", "()", ()),
    ("start", "(**kwargs)", ()),
])
def test_public_coroutines_are_coroutine_functions_to_python(name, params, args):
    # Frameworks ask these questions to decide whether to await a member.
    bound = getattr(AsyncAvatar if name == "create" else AsyncAvatar(), name)
    assert inspect.iscoroutinefunction(bound) and asyncio.iscoroutinefunction(bound)
    assert str(inspect.signature(bound)) == params
    coro = bound(*args)
    assert asyncio.iscoroutine(coro) and (coro.__name__, coro.__qualname__) == (name, f"AsyncAvatar.{name}")
    coro.close()


def test_the_bridge_types_are_not_module_names():
    assert not {"coroutine", "generator", "async_generator", "async_generator_step"} & set(vars(_avatar))
