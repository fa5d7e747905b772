"""Opening an avatar: the checks of the path in their order, the service-code message, engine
choice by engine id, the prebuilt mirrant-2 route, and every mapping of engine errors."""

import os
import pathlib
import sys
import types

import pytest

import quorvane._mirrant2
from open_fakes import assert_in_place, errors, session_mod  # noqa: F401 - fixtures
from quorvane import _open

CANNOT_RUN = ("that avatar cannot run on this machine. Render it in the cloud with the Video API "
              "(POST /v1/video/generate), or open it on Apple Silicon macOS or Linux.")


class Built:
    """Records every engine construction in `log`; raises `fail` when set."""

    def __init__(self, log, name, fail=None):
        self.log, self.name, self.fail = log, name, fail

    def __call__(self, *args):
        self.log.append((self.name,) + args)
        if self.fail is not None:
            raise self.fail
        return types.SimpleNamespace(kind=self.name, close=lambda: None)


@pytest.fixture
def env(monkeypatch, tmp_path, errors, session_mod):  # noqa: F811
    """An avatar file on disk, a manifest reader answering `ns.engine_id`, and recording builders
    for all four engines."""
    ns = types.SimpleNamespace(errors=errors, session=session_mod, log=[], engine_id="corvine2-light",
                               manifest_error=None, apple=None)
    ns.path = str(tmp_path / "avatar.imx")
    pathlib.Path(ns.path).write_bytes(b"IMX\0")

    imx = types.ModuleType("quorvane._imx_engine")

    def read_manifest(path):
        ns.log.append(("read_manifest", path))
        if ns.manifest_error:
            raise ns.manifest_error
        return None if ns.engine_id is None else {"engine": ns.engine_id}

    imx.read_manifest = read_manifest
    imx.resolve_engine = lambda man: man["engine"]
    monkeypatch.setitem(sys.modules, "quorvane._imx_engine", imx)
    ns.builders = {}
    for attr in ("_SessionEngine", "_FixtureEngine", "_unified_engine"):
        ns.builders[attr] = Built(ns.log, attr)
        monkeypatch.setattr(_open, attr, ns.builders[attr])
    ns.builders["Mirrant2Engine"] = Built(ns.log, "Mirrant2Engine")
    monkeypatch.setattr(quorvane._mirrant2, "Mirrant2Engine", ns.builders["Mirrant2Engine"], raising=False)
    monkeypatch.setattr(_open, "_corvine1_runtime_present", lambda: True)
    set_apple(monkeypatch, None)
    return ns


def set_apple(monkeypatch, module):
    """Makes `module` what `from quorvane._mirrant2 import _apple` finds (None: no such module),
    both as the package's attribute and in sys.modules; both are restored afterwards."""
    monkeypatch.setitem(sys.modules, "quorvane._mirrant2._apple", module)
    monkeypatch.setattr(quorvane._mirrant2, "_apple", None, raising=False)
    if module is None:
        monkeypatch.delattr(quorvane._mirrant2, "_apple")
    else:
        monkeypatch.setattr(quorvane._mirrant2, "_apple", module)


def built(ns):
    return [entry[0] for entry in ns.log if entry[0] != "read_manifest"]


class TestPathChecks:
    @pytest.mark.parametrize("source, name", [(42, "int"), (None, "NoneType"), (bytearray(b"/x.imx"), "bytearray")])
    def test_not_a_path(self, env, source, name):
        with pytest.raises(TypeError) as ei:
            _open.open(source)
        assert str(ei.value) == "open() takes the path of an avatar; got " + name

    @pytest.mark.parametrize("kind", ["bytes", "path object giving bytes"])
    def test_a_name_of_bytes_is_the_file_systems_own(self, env, tmp_path, kind):
        class BytesPath:
            def __fspath__(self):
                return name

        name = os.fsencode(str(tmp_path / "avatar\udcff.imx"))  # not UTF-8: the byte 0xff
        pathlib.Path(os.fsdecode(name)).write_bytes(b"IMX\0")
        a = _open.open(name if kind == "bytes" else BytesPath())
        assert env.log[0] == ("read_manifest", os.fsdecode(name)) and type(env.log[0][1]) is str
        assert a._engine_id == "corvine2-light" and a._engine.kind == "_SessionEngine"
        with pytest.raises(env.errors.InvalidAvatar) as ei:
            _open.open(name + b".gone" if kind == "bytes" else pathlib.Path(os.fsdecode(name) + ".gone"))
        assert str(ei.value) == "no avatar at " + os.fsdecode(name) + ".gone"

    def test_path_object_is_the_string(self, env):
        a = _open.open(pathlib.Path(env.path))
        assert env.log[0] == ("read_manifest", env.path) and type(env.log[0][1]) is str
        assert a._engine_id == "corvine2-light" and a._engine.kind == "_SessionEngine"

    def test_empty_path_before_any_file_system_access(self, env, monkeypatch):
        monkeypatch.setattr(_open.os.path, "exists", lambda p: pytest.fail("file system touched"))
        with pytest.raises(env.errors.InvalidAvatar) as ei:
            _open.open("")
        assert str(ei.value) == "open() needs an avatar to open"

    @pytest.mark.parametrize("code", ["ABCDE12345", "Z000000000", "ABCDE12345\n"])
    def test_service_code(self, env, code):
        with pytest.raises(env.errors.NotSupported) as ei:
            _open.open(code)
        assert str(ei.value) == (
            f"{code} names an avatar held by the service, and this package renders an avatar that is on "
            f"this machine. Run `python -m quorvane render {code} <audio>` to fetch it and render it here, "
            "or render it in the cloud with the Video API (POST /v1/video/generate).")
        assert env.log == []

    @pytest.mark.parametrize("path", ["abcde12345", "ABCDE1234", "ABCDE123456", "1BCDE12345", "ABCDE1234a",
                                      "/nowhere/ABCDE12345"])
    def test_missing_path_that_is_no_code(self, env, path):
        with pytest.raises(env.errors.InvalidAvatar) as ei:
            _open.open(path)
        assert str(ei.value) == "no avatar at " + path

    def test_a_file_named_like_a_code_is_an_avatar(self, env, tmp_path, monkeypatch):
        (tmp_path / "ABCDE12345").write_bytes(b"x")
        monkeypatch.chdir(tmp_path)
        assert _open.open("ABCDE12345")._engine_id == "corvine2-light"

    def test_neither_file_nor_directory_is_refused_before_anything_reads_it(self, env, tmp_path):
        fifo = str(tmp_path / "avatar.fifo")
        os.mkfifo(fifo)  # reading it would wait for a writer for ever
        for path in (fifo, "/dev/null"):
            with pytest.raises(env.errors.InvalidAvatar) as ei:
                _open.open(path)
            assert (ei.value.message, ei.value.detail) == (
                "that is not a usable avatar", "neither a regular file nor a directory: " + path)
            assert_in_place(ei.value)
        assert env.log == []

    def test_code_pattern(self):
        assert _open._CODE.pattern == "^[A-Z][A-Z0-9]{9}$"


class TestEngineChoice:
    @pytest.mark.parametrize("engine_id, builder", [
        ("corvine2-light", "_SessionEngine"), ("corvine2-golden", "_SessionEngine"),
        ("corvine1", "_FixtureEngine"), (None, "_FixtureEngine"),
        ("mirrant2", "Mirrant2Engine"), ("corvine2-unified", "_unified_engine")])
    def test_each_id_builds_its_engine_once(self, env, engine_id, builder):
        env.engine_id = engine_id
        a = _open.open(env.path)
        assert env.log[1:] == [(builder, env.path)]
        assert a._engine.kind == builder and a._engine_id == (engine_id or "corvine1")

    def test_sets(self):
        assert (_open._SESSION, _open._FIXTURE, _open._LITERT, _open._UNIFIED) == (
            frozenset({"corvine2-light", "corvine2-golden"}), frozenset({"corvine1"}),
            frozenset({"mirrant2"}), frozenset({"corvine2-unified"}))

    @pytest.mark.parametrize("engine_id", ["corvine3", "CORVINE1", ""])
    def test_unknown_id_cannot_run(self, env, engine_id):
        env.engine_id = engine_id
        with pytest.raises(env.errors.NotSupported) as ei:
            _open.open(env.path)
        assert str(ei.value) == CANNOT_RUN and built(env) == []

    def test_corvine1_without_its_runtime_builds_nothing(self, env, monkeypatch):
        env.engine_id = None
        monkeypatch.setattr(_open, "_corvine1_runtime_present", lambda: False)
        with pytest.raises(env.errors.NotSupported) as ei:
            _open.open(env.path)
        assert str(ei.value) == CANNOT_RUN and built(env) == [] and env.errors.refused == []

    def test_unreadable_manifest_is_not_a_usable_avatar(self, env):
        env.manifest_error = PermissionError(13, "denied")
        with pytest.raises(env.errors.InvalidAvatar) as ei:
            _open.open(env.path)
        assert (ei.value.message, ei.value.detail) == ("that is not a usable avatar", env.manifest_error)
        assert_in_place(ei.value)

    def test_other_manifest_errors_propagate(self, env):
        env.manifest_error = ValueError("bad json")
        with pytest.raises(ValueError, match="bad json"):
            _open.open(env.path)


def engine_errors(session, errors):
    own = errors.Failed("already mapped")
    os_err = FileNotFoundError(2, "gone")
    return [
        # raised, expected class name, expected message, expected detail (None: the raised itself)
        (session.EngineUnavailable("needs a GPU", "cuda=0"), "NotSupported", "needs a GPU", "cuda=0"),
        (session.EngineFailed("model broke", "step 3"), "Failed", "model broke", "step 3"),
        (os_err, "Failed", "could not prepare that avatar", os_err),
        (own, "same", None, None),
        (ValueError("plain"), "same", None, None),
        (ImportError("no engine module"), "same", None, None),
    ]


class TestOpenEngineMapping:
    @pytest.mark.parametrize("row", range(6))
    @pytest.mark.parametrize("engine_id, builder", [("corvine2-light", "_SessionEngine"),
                                                    ("mirrant2", "Mirrant2Engine"),
                                                    ("corvine2-unified", "_unified_engine")])
    def test_rows(self, env, row, engine_id, builder):
        raised, cls, message, detail = engine_errors(env.session, env.errors)[row]
        env.engine_id = engine_id
        env.builders[builder].fail = raised
        with pytest.raises(BaseException) as ei:
            _open.open(env.path)
        if cls == "same":
            assert ei.value is raised
            return
        e = ei.value
        assert type(e) is getattr(env.errors, cls)
        assert (e.message, e.detail) == (message, detail)
        assert_in_place(e)

    def test_outdated_avatar(self, env):
        env.builders["_SessionEngine"].fail = env.session.AvatarOutdated("update it", "too old", "E42")
        with pytest.raises(env.errors._Outdated) as ei:
            _open.open(env.path)
        assert (str(ei.value), ei.value.code) == ("update it", "E42")
        assert env.errors.refused == [(env.errors.InvalidAvatar, "update it", "too old")]
        assert_in_place(ei.value)

    def test_prebuilt_engine_is_wrapped_as_it_is(self, session_mod):  # noqa: F811
        engine = object()
        a = _open._open_engine("anything", "mirrant2", engine)
        assert a._engine is engine and a._engine_id == "mirrant2"


class TestAppleHost:
    def install(self, monkeypatch, bundled_host):
        apple = types.ModuleType("quorvane._mirrant2._apple")
        apple.bundled_host = bundled_host
        set_apple(monkeypatch, apple)

    def fail(self):
        raise RuntimeError("probe failed")

    @pytest.mark.parametrize("answer, bundled", [("/opt/host", True), ("", True), (None, False)])
    def test_answer(self, monkeypatch, answer, bundled):
        self.install(monkeypatch, lambda: answer)
        assert _open._apple_host_bundled() is bundled

    def test_failures_are_false(self, monkeypatch):
        set_apple(monkeypatch, None)
        assert _open._apple_host_bundled() is False
        self.install(monkeypatch, self.fail)
        assert _open._apple_host_bundled() is False
        monkeypatch.setitem(sys.modules, "quorvane._mirrant2", None)  # the package itself is missing
        assert _open._apple_host_bundled() is False

    def test_the_probe_module_is_imported_when_not_loaded_yet(self, monkeypatch, tmp_path):
        # As `from quorvane._mirrant2 import _apple` does: the package's submodule is loaded on
        # demand, not only found when something else imported it first.
        (tmp_path / "_apple.py").write_text("def bundled_host():\n    return '/opt/host'\n")
        name = "quorvane._mirrant2._apple"
        set_apple(monkeypatch, None)
        monkeypatch.delitem(sys.modules, name)  # not loaded at all, rather than refused
        monkeypatch.setattr(quorvane._mirrant2, "__path__", [str(tmp_path)])
        assert _open._apple_host_bundled() is True
        assert sys.modules[name].__file__ == str(tmp_path / "_apple.py")

    def test_present_host_builds_the_engine_once_up_front(self, env, monkeypatch):
        env.engine_id = "mirrant2"
        self.install(monkeypatch, lambda: "/opt/host")
        a = _open.open(env.path)
        assert built(env) == ["Mirrant2Engine"] and a._engine.kind == "Mirrant2Engine"

    def test_prebuilt_route_has_no_outdated_row(self, env, monkeypatch):
        env.engine_id = "mirrant2"
        self.install(monkeypatch, lambda: "/opt/host")
        outdated = env.session.AvatarOutdated("update it", "old", "E1")
        env.builders["Mirrant2Engine"].fail = outdated
        with pytest.raises(env.session.AvatarOutdated) as ei:
            _open.open(env.path)
        assert ei.value is outdated

    @pytest.mark.parametrize("row", range(6))
    def test_prebuilt_route_mapping(self, env, monkeypatch, row):
        raised, cls, message, detail = engine_errors(env.session, env.errors)[row]
        env.engine_id = "mirrant2"
        self.install(monkeypatch, lambda: "/opt/host")
        env.builders["Mirrant2Engine"].fail = raised
        with pytest.raises(BaseException) as ei:
            _open.open(env.path)
        if cls == "same":
            assert ei.value is raised
        else:
            assert type(ei.value) is getattr(env.errors, cls)
            assert (ei.value.message, ei.value.detail) == (message, detail)
            assert_in_place(ei.value)
        assert built(env) == ["Mirrant2Engine"]


class TestUnified:
    @pytest.fixture
    def c2u(self, monkeypatch, errors, session_mod):  # noqa: F811
        mod = types.ModuleType("quorvane._c2u.engine")

        class C2UUnavailable(Exception):
            pass

        class C2UInvalid(Exception):
            pass

        mod.C2UUnavailable, mod.C2UInvalid, mod.fail, mod.built = C2UUnavailable, C2UInvalid, None, []

        def C2UEngine(bundle):  # noqa: N802 - the outside module's class name
            mod.built.append(bundle)
            if mod.fail is not None:
                raise mod.fail
            return "engine"

        mod.C2UEngine = C2UEngine
        monkeypatch.setitem(sys.modules, "quorvane._c2u.engine", mod)
        monkeypatch.setattr(_open, "_materialise", lambda source: source + ".d", raising=False)
        mod.errors = errors
        return mod

    def test_built_over_the_unpacked_directory(self, c2u):
        assert _open._unified_engine("a.imx") == "engine" and c2u.built == ["a.imx.d"]

    @pytest.mark.parametrize("with_cause", [True, False])
    @pytest.mark.parametrize("kind, cls", [("C2UUnavailable", "NotSupported"), ("C2UInvalid", "InvalidAvatar")])
    def test_errors_carry_the_cause_as_detail(self, c2u, kind, cls, with_cause):
        err = getattr(c2u, kind)(404)  # the message is the text form of the first argument
        cause = OSError("no metal device")
        if with_cause:
            err.__cause__ = cause
        c2u.fail = err
        with pytest.raises(getattr(c2u.errors, cls)) as ei:
            _open._unified_engine("a.imx")
        assert ei.value.message == "404"
        assert ei.value.detail == repr(cause if with_cause else err)
        assert_in_place(ei.value)

    def test_other_errors_pass_on(self, c2u):
        c2u.fail = KeyError("x")
        with pytest.raises(KeyError):
            _open._unified_engine("a.imx")

    @pytest.mark.parametrize("fail", [OSError("disk full"), "avatar error"])
    def test_cache_errors_reach_the_open_engine_mapping(self, c2u, monkeypatch, fail):
        if fail == "avatar error":
            fail = c2u.errors.InvalidAvatar("not an avatar")

        def materialise(source):
            raise fail

        monkeypatch.setattr(_open, "_materialise", materialise, raising=False)
        with pytest.raises(c2u.errors.AvatarError) as ei:
            _open._open_engine("a.imx", "corvine2-unified")
        if isinstance(fail, OSError):
            assert (ei.value.message, ei.value.detail) == ("could not prepare that avatar", fail)
            assert type(ei.value) is c2u.errors.Failed
        else:
            assert ei.value is fail
        assert c2u.built == []

