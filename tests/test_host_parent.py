"""The package's side of the host pipe (``HostPipe``, and the starts of ``Mirrant2Engine`` and of
the runtime's ``ChainFixture``) against hosts that misbehave: what it keeps of a host stays bounded,
a start-up line it cannot use fails the start at once, a record out of step fails the render before
any of it is delivered, an interrupted start ends its host, and no staged file outlives its host;
and the host it starts: isolated as the parent is, and handed an avatar it can open. The parents run
in child interpreters, under a time-out."""

import json
import os
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from bundles import CANON, IDENTITY, SHARED_ENC, make, manifest, sha
from conftest import run_python

HERE = Path(__file__).parent
SCRIPTED = str(HERE / "scripted_host.py")
DEMO = str(HERE.parent / "demo" / "avatar.imx")
FLOOD = 48 << 20


def parent(code, env=None, timeout=120):
    """Runs `code` as the parent in a child interpreter that has the scripted host as its model
    host; returns the JSON the code prints."""
    head = textwrap.dedent(f"""
        import json, os, resource, sys, time
        sys.path.insert(0, {str(HERE)!r})
        import quorvane._m2_runtime as rt
        import quorvane._mirrant2._engine as eng
        from quorvane._mirrant2._host_pipe import HostPipe
        eng.host_command = rt.host_command = lambda: [sys.executable, {SCRIPTED!r}]

        def peak_mb():
            return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    """)
    r = run_python(head + textwrap.dedent(code), env=env, timeout=timeout)
    assert r.returncode == 0, r.stderr.decode()[-3000:]
    return json.loads(r.stdout.decode().splitlines()[-1])


@pytest.mark.parametrize("flood", ["FLOOD_ERR", "FLOOD_OUT"])
def test_what_is_kept_of_a_flooding_host_is_bounded(flood):
    # 512 MB of standard error without a newline grew the parent by 1.5 GB, and as much on
    # standard output before READY by 1 GB; here 48 MB must cost it next to nothing.
    got = parent("""
        before = peak_mb()
        h = HostPipe(eng.host_command())
        h.ready.wait(60)
        h.stop(grace_s=0 if h.hello is None else 30)
        print(json.dumps({"growth": peak_mb() - before, "ready": h.hello is not None, "error": getattr(h, "start_error", None),
                          "tail": len(h.tail())}))
    """, env={flood: str(FLOOD)})
    print(f"{flood}: the parent grew by {got['growth']:.1f} MB")
    assert got["growth"] < 16
    assert got["tail"] < 80 << 10
    if flood == "FLOOD_ERR":
        assert got["ready"] and got["error"] is None
    else:
        assert not got["ready"] and got["error"] == "no READY line in the first 65536 bytes of the host's output"


def test_a_long_fatal_line_is_cut():
    # The refusal carried the whole line: 537 M characters for 512 MB.
    got = parent("""
        try:
            eng.Mirrant2Engine(os.environ["AVATAR"])
        except Exception as e:
            print(json.dumps({"kind": type(e).__name__, "detail": e.detail}))
    """, env={"FATAL": str(FLOOD), "AVATAR": DEMO})
    assert len(got["detail"]) < 9000
    assert got["detail"].startswith("FATAL: fff") and got["detail"].endswith("f [...]")
    assert got["kind"] == "InvalidAvatar"


@pytest.mark.parametrize("line", [
    '{"fps":20,"width":4000000000,"height":720,"sample_rate":16000,"color":null}',
    '{"fps":20,"width":416,"height":"720","sample_rate":16000,"color":null}',
    '{"fps":true,"width":416,"height":720,"sample_rate":16000,"color":null}',
    '{"fps":20,"width":416,"height":720,"color":null}',
    '[20,416,720]',
    '{"fps":20,',
    '[' * 50000,
], ids=["absurd", "text", "bool", "no-rate", "list", "broken", "nested"])
def test_a_ready_line_that_is_not_sane_fails_the_start_at_once(line):
    # An absurd size killed the reader thread and a render then waited out its 300 s stall
    # time-out; other bad lines waited for a host that was not going to exit.
    got = parent("""
        from quorvane._session import EngineFailed
        out = {}
        for name, start in (("engine", lambda: eng.Mirrant2Engine(os.environ["AVATAR"])),
                            ("fixture", lambda: rt.ChainFixture(os.environ["AVATAR"], preferred_ep="auto",
                                                                intra_op_threads=0))):
            t0 = time.monotonic()
            try:
                start()
                out[name] = "started"
            except (EngineFailed, RuntimeError) as e:
                out[name] = [type(e).__name__, round(time.monotonic() - t0, 1),
                             str(getattr(e, "detail", None) or e)]
        print(json.dumps(out))
    """, env={"READY_LINE": f"READY {line}\n", "AVATAR": DEMO})
    for name, kind in (("engine", "EngineFailed"), ("fixture", "RuntimeError")):
        assert got[name] != "started", name
        got_kind, seconds, text = got[name]
        assert got_kind == kind and seconds < 5 and "READY line" in text, got[name]


def test_a_record_out_of_step_fails_the_render_before_any_of_it_is_delivered():
    # A second READY line was read as a frame record: one frame made of its text reached the
    # consumer, and only the next record failed the render.
    got = parent("""
        from quorvane._session import EngineFailed
        engine = eng.Mirrant2Engine(os.environ["AVATAR"])
        delivered = []
        try:
            for img in engine.frames(iter([b"\\1\\0" * 4000])):
                delivered.append(int(img[0, 0, 0]))
            out = {"ended": "complete"}
        except EngineFailed as e:
            out = {"ended": [e.args[0], e.detail.split(";")[0]]}
        engine.close()
        print(json.dumps(dict(out, delivered=delivered)))
    """, env={"READY_AGAIN": "1", "AVATAR": DEMO})
    idx = int.from_bytes(b"READ", "little")
    assert got == {"ended": ["the mirrant-2 engine lost frames", f"frame {idx} came as the first frame of a render"],
                   "delivered": []}


def test_an_interrupted_start_ends_its_host(tmp_path):
    # Ctrl-C while the host loaded left it running until the interpreter exited, and what it
    # had staged on disk for good. The interrupt is kept, as the interactive interpreter keeps
    # the last one, so a host left to a collection of its owner still runs; "fixture-ready" is
    # interrupted once the host is ready, while the fixture waits for its picture of silence.
    stage = tmp_path / "stage"
    stage.mkdir()
    got = parent("""
        import signal, threading
        import quorvane
        from quorvane import _core

        def interrupt_once_running(pidfile):
            while not os.path.exists(pidfile):
                time.sleep(0.01)
            time.sleep(0.3)  # the parent waits for READY by now
            os.kill(os.getpid(), signal.SIGINT)

        import asyncio

        def create():
            return quorvane.AsyncAvatar.create(model_path=os.environ["AVATAR"], output_size=None)

        async def create_cancelled():
            task = asyncio.ensure_future(create())
            while not os.path.exists(os.environ["PIDFILE"]):
                await asyncio.sleep(0.01)
            await asyncio.sleep(0.3)
            task.cancel()
            await task

        out, kept = {}, []
        for name, start in (("open", lambda: quorvane.open(os.environ["AVATAR"])),
                            ("fixture", lambda: _core.Fixture(os.environ["AVATAR"])),
                            ("create", lambda: asyncio.run(create())),
                            ("create-cancelled", lambda: asyncio.run(create_cancelled())),
                            ("fixture-ready", lambda: _core.Fixture(os.environ["AVATAR"]))):
            if name == "fixture-ready":
                del os.environ["HANG"]  # the scripted host is ready, and never renders that picture
            os.environ["PIDFILE"] = os.path.join(os.environ["TMP_DIR"], name + ".pid")
            if name != "create-cancelled":
                threading.Thread(target=interrupt_once_running, args=(os.environ["PIDFILE"],)).start()
            try:
                start()
                out[name] = "started"
                continue
            except (KeyboardInterrupt, asyncio.CancelledError) as e:
                kept.append(e)
            pid = int(open(os.environ["PIDFILE"]).read())
            try:
                running = os.waitpid(pid, os.WNOHANG) == (0, 0)
            except ChildProcessError:
                running = False  # stopped and reaped
            out[name] = {"running": running, "staged": sorted(os.listdir(os.environ["MIRRANT2_STAGE_DIR"]))}
            if running:
                os.kill(pid, signal.SIGKILL)
        print(json.dumps(out))
    """, env={"HANG": "1", "AVATAR": DEMO, "TMP_DIR": str(tmp_path), "MIRRANT2_STAGE_DIR": str(stage)})
    ended = {"running": False, "staged": []}
    assert got == {"open": ended, "fixture": ended, "create": ended, "create-cancelled": ended, "fixture-ready": ended}


def test_no_staged_file_outlives_its_host(tmp_path, monkeypatch):
    # A copy the host rejected stayed for its whole life, and for good once the package killed
    # the host mid-render. Now a rejected copy goes at once, the copies loaded go once loaded, and
    # the host's own staging directory goes with the host, however it ended.
    from quorvane._mirrant2 import Mirrant2Engine

    base = tmp_path / "base" / "shared-enc.tflite"
    base.parent.mkdir()
    base.write_bytes(SHARED_ENC)
    want = sha(SHARED_ENC)
    bundle = make(tmp_path, "imx", {"canon.bin": CANON, "identity.tflite": IDENTITY, "shared-enc.tflite": b"other",
                                    "manifest.json": manifest(dependencies=[{"id": "mirrant2.shared-enc", "sha256": want}])})
    stage = tmp_path / "stage"
    monkeypatch.setenv("MIRRANT2_STAGE_DIR", str(stage))
    monkeypatch.setenv("MIRRANT2_SHARED_ENC", str(base))
    monkeypatch.setenv("HOME", str(tmp_path / "home"))
    engine = Mirrant2Engine(bundle)
    try:
        assert [f for _, _, files in os.walk(stage) for f in files] == []
        frames = engine.frames(iter([b"\1\0" * 16000] * 30))
        next(frames)
        frames.close()  # the host still renders what it was sent: closing the engine kills it
    finally:
        engine.close()
    assert os.listdir(stage) == []


ISOLATION = ["-I", "-E", "-s"] + (["-P"] if sys.version_info >= (3, 11) else [])


@pytest.mark.parametrize("flag", ISOLATION)
def test_the_host_is_as_isolated_as_its_parent(tmp_path, flag):
    # The host was started with no flags: with PYTHONPATH set, a sitecustomize.py (or a json.py,
    # or a quorvane.py) ran in the host of a parent that had shut them out.
    planted = tmp_path / "planted"
    planted.mkdir()
    marker = tmp_path / "ran"
    (planted / "sitecustomize.py").write_text(f"open({str(marker)!r}, 'a').write('ran')\n")
    probe = ("import json, sys; print(json.dumps([getattr(sys.flags, k, 0) for k in "
             "('isolated', 'ignore_environment', 'no_user_site', 'safe_path')]))")
    code = textwrap.dedent(f"""
        import json, subprocess, sys
        from quorvane._mirrant2._engine import host_command
        cmd = host_command()
        cmd[cmd.index("-c") + 1] = {probe!r}  # the host's interpreter, as it is started
        host = json.loads(subprocess.run(cmd, capture_output=True, check=True).stdout)
        print(json.dumps({{"parent": [getattr(sys.flags, k, 0) for k in
                                     ("isolated", "ignore_environment", "no_user_site", "safe_path")],
                          "host": host}}))
    """)
    env = dict(os.environ, PYTHONPATH=str(planted) if flag in ("-I", "-E") else "")
    r = subprocess.run([sys.executable, flag, "-c", code], capture_output=True, env=env, timeout=60)
    assert r.returncode == 0, r.stderr.decode()[-3000:]
    got = json.loads(r.stdout.decode().splitlines()[-1])
    assert got["host"] == got["parent"] and any(got["parent"])
    assert not marker.exists()


def test_an_interactive_setting_never_changes_the_hosts_exit(tmp_path):
    # With PYTHONINSPECT=1 the host printed a SystemExit traceback and ended with status 1, not
    # 3: a refused avatar came out of open() as Failed and of create() as RuntimeError.
    from bundles import COMBINED

    bundle = make(tmp_path, "imx", {"combined_litert.tflite": COMBINED})  # no canon: refused
    r = run_python(textwrap.dedent(f"""
        import json
        import quorvane._m2_runtime as rt
        from quorvane._mirrant2._engine import Mirrant2Engine
        out = []
        for start in (lambda: Mirrant2Engine({bundle!r}),
                      lambda: rt.ChainFixture({bundle!r}, preferred_ep="auto", intra_op_threads=0)):
            try:
                start()
                out.append("started")
            except Exception as e:
                out.append([type(e).__name__, str(getattr(e, "detail", None) or e)[-200:]])
        print(json.dumps(out))
    """), env={"PYTHONINSPECT": "1", "HOME": str(tmp_path)}, timeout=120)
    got = json.loads(r.stdout.decode().splitlines()[0])
    assert [kind for kind, _ in got] == ["InvalidAvatar", "ValueError"], got
    assert all("FATAL: no canon.bin in " in text for _, text in got), got


def test_the_host_opens_the_avatar_its_parent_accepted_however_deep_the_working_directory(tmp_path):
    # The host was handed the absolute path, past PATH_MAX here: "File name too long".
    from bundles import CANON, COMBINED

    bundle = make(tmp_path, "imx", {"canon.bin": CANON, "combined_litert.tflite": COMBINED})
    r = run_python(textwrap.dedent(f"""
        import json, os, shutil
        os.chdir({str(tmp_path)!r})
        for _ in range(24):
            os.mkdir("d" * 200)
            os.chdir("d" * 200)
        shutil.copyfile({bundle!r}, "-avatar.imx")
        deep = len(os.fsencode(os.path.abspath("-avatar.imx")))
        from quorvane._mirrant2._engine import Mirrant2Engine
        engine = Mirrant2Engine("-avatar.imx")
        frames = sum(1 for _ in engine.frames(iter([bytes(3200)])))
        engine.close()
        print(json.dumps({{"deep": deep, "frames": frames}}))
    """), env={"HOME": str(tmp_path)}, timeout=120)
    assert r.returncode == 0, r.stderr.decode()[-3000:]
    got = json.loads(r.stdout.decode().splitlines()[-1])
    assert got["deep"] > 4096 and got["frames"] > 0


@pytest.mark.parametrize("death", ["SIGHUP to the group", "SIGKILL of the parent"])
def test_the_staging_directory_goes_with_the_host_when_the_parent_died_first(tmp_path, death):
    # A closed terminal (SIGHUP to the whole group) or a parent killed outright always left the
    # host's empty quorvane-host-* directory behind: only the parent removed it.
    import select
    import signal

    from bundles import CANON, COMBINED

    bundle = make(tmp_path, "imx", {"canon.bin": CANON, "combined_litert.tflite": COMBINED})
    code = textwrap.dedent(f"""
        import json, time
        from quorvane._mirrant2._engine import Mirrant2Engine
        engine = Mirrant2Engine({bundle!r})
        print(json.dumps({{"pid": engine._host.proc.pid, "stage": engine._host.stage_dir}}), flush=True)
        time.sleep(120)
    """)
    par = subprocess.Popen([sys.executable, "-c", code], stdout=subprocess.PIPE, start_new_session=True,
                           env=dict(os.environ, HOME=str(tmp_path), TMPDIR=str(tmp_path)))
    try:
        assert select.select([par.stdout], [], [], 120)[0], "the parent never started its host"
        got = json.loads(par.stdout.readline())
        assert os.path.isdir(got["stage"])
        if death == "SIGHUP to the group":
            os.killpg(par.pid, signal.SIGHUP)
        else:
            par.kill()
        par.wait(60)
        for _ in range(3000):  # the orphaned host ends of the signal, or at the end of its input
            try:
                with open(f"/proc/{got['pid']}/stat") as f:
                    if f.read().rsplit(")", 1)[1].split()[0] == "Z":
                        break
            except FileNotFoundError:
                break
            time.sleep(0.01)
        else:
            os.kill(got["pid"], signal.SIGKILL)
            pytest.fail("the host outlived its parent")
        assert not os.path.exists(got["stage"])
    finally:
        if par.poll() is None:
            par.kill()
            par.wait()
        par.stdout.close()
