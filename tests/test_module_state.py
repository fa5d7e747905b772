"""What exists once the host module has loaded: the dependency-store lookup, the staged list and
its exit hook, the live module attributes."""

import json
import os
import shutil
import textwrap

import pytest

from conftest import run_python

COMPONENT = "SHARED_ENC_ID = 'fake'\n"


def planted(marker):
    """A module of the component's name that no host may run: it leaves `marker` if it does."""
    return f"open({str(marker)!r}, 'w').write('ran')\nSHARED_ENC_ID = 'planted'\n"


def copy_module(th, d):
    d.mkdir(parents=True)
    so = d / os.path.basename(th.__file__)
    shutil.copy(th.__file__, so)
    return so


@pytest.fixture
def tree(th, tmp_path):
    """A copy of the compiled module at <tmp>/a/b/c/D, three levels below <tmp>/a/tools."""
    d = tmp_path / "a" / "b" / "c" / "D"
    return tmp_path / "a" / "tools", d, copy_module(th, d)


@pytest.fixture
def checkout(th, tmp_path):
    """A source checkout <tmp>/repo (pyproject.toml, tools/) running the module from its src/."""
    root = tmp_path / "repo"
    d = root / "src" / "quorvane" / "_mirrant2"
    so = copy_module(th, d)
    (root / "pyproject.toml").write_text("[project]\nname = 'quorvane'\n")
    (root / "tools").mkdir()
    (root / "tools" / "shared_enc_dep.py").write_text(COMPONENT)
    return root, d, so


def load_copy(so, env=None, pre="", cwd=None):
    code = textwrap.dedent(f"""
        import importlib.util, json, sys
        {pre}
        before = list(sys.path)
        found = importlib.util.spec_from_file_location("_tensorhost", {str(so)!r})
        m = importlib.util.module_from_spec(found)
        found.loader.exec_module(m)
        sed = None if m._SED is None else m._SED.__file__
        print(json.dumps({{"sed": sed, "why": m._SED_WHY, "before": before, "after": list(sys.path),
                          "named": "shared_enc_dep" in sys.modules}}))
    """)
    r = run_python(code, env=env, cwd=cwd)
    assert r.returncode == 0, r.stderr.decode()
    got = json.loads(r.stdout)
    # Loaded by its location, never through the search path, which is left as it was.
    assert got["after"] == got["before"] and not got["named"]
    return got


def test_component_in_own_directory(tree):
    _, d, so = tree
    (d / "shared_enc_dep.py").write_text(COMPONENT)
    got = load_copy(so)
    assert (got["sed"], got["why"]) == (str(d / "shared_enc_dep.py"), str(d))


def test_component_in_the_checkouts_tools_directory_comes_first(checkout):
    root, d, so = checkout
    (d / "shared_enc_dep.py").write_text(COMPONENT)
    got = load_copy(so)
    assert (got["sed"], got["why"]) == (str(root / "tools" / "shared_enc_dep.py"), str(root / "tools"))


@pytest.mark.parametrize("layout", ["target", "no-pyproject", "tools-writable-by-others"])
def test_a_module_of_that_name_outside_the_package_never_runs(th, tmp_path, layout):
    # `pip install --target T` puts the module in T/quorvane/_mirrant2, whose "tools" three levels
    # up is dirname(T)/tools: anyone who may write beside T could plant a module there. Neither
    # it, nor one in the working directory or on PYTHONPATH, is ever imported.
    marker = tmp_path / "planted-ran"
    if layout == "target":
        root = tmp_path / "shared"
        d = root / "T" / "quorvane" / "_mirrant2"
        so = copy_module(th, d)
    else:
        root = tmp_path / "repo"
        d = root / "src" / "quorvane" / "_mirrant2"
        so = copy_module(th, d)
        if layout != "no-pyproject":
            (root / "pyproject.toml").write_text("")
    (root / "tools").mkdir()
    (root / "tools" / "shared_enc_dep.py").write_text(planted(marker))
    if layout == "tools-writable-by-others":
        os.chmod(root / "tools", 0o777)
    (d / "shared_enc_dep.py").write_text(COMPONENT)
    for where in ("cwd", "pythonpath"):
        (tmp_path / where).mkdir()
        (tmp_path / where / "shared_enc_dep.py").write_text(planted(marker))
    got = load_copy(so, env={"PYTHONPATH": str(tmp_path / "pythonpath")}, cwd=tmp_path / "cwd")
    assert (got["sed"], got["why"]) == (str(d / "shared_enc_dep.py"), str(d))
    assert not marker.exists()


def test_component_nowhere(tree):
    _, d, so = tree
    got = load_copy(so)
    assert got["sed"] is None
    assert got["why"] == f"no shared_enc_dep.py in {d}"


@pytest.mark.parametrize("so_mode,mode,ours", [
    (0o755, 0o666, False),  # anyone could rewrite it
    (0o755, 0o664, False),  # its group could, and not the module
    (0o775, 0o664, True),  # an install under umask 002: whoever may change it may change the module
    (0o775, 0o666, False),
])
def test_a_component_writable_by_more_than_the_module_is_not_the_packages(tree, so_mode, mode, ours):
    _, d, so = tree
    f = d / "shared_enc_dep.py"
    f.write_text(COMPONENT)
    os.chmod(so, so_mode)
    os.chmod(f, mode)
    got = load_copy(so)
    if ours:
        assert got["sed"] == str(f)
    else:
        assert got["sed"] is None
        assert got["why"] == f"{f} is not the package's own (another owner, or writable by others)"


def test_an_ordinary_render_runs_no_module_planted_on_the_search_path(tmp_path):
    # The host as the package starts it: `python -c` put the parent's working directory first on
    # its search path, so a json.py or numpy.py there ran inside the host, as a shared_enc_dep.py
    # did from anywhere on that path.
    import subprocess

    from bundles import CANON, IDENTITY, SHARED_ENC, make
    from quorvane._mirrant2._engine import host_command

    marker = tmp_path / "planted-ran"
    for where in ("cwd", "pythonpath"):
        (tmp_path / where).mkdir()
        (tmp_path / where / "shared_enc_dep.py").write_text(planted(marker))
    for name in ("json.py", "numpy.py"):
        (tmp_path / "cwd" / name).write_text(planted(marker))
    bundle = make(tmp_path, "dir", {"canon.bin": CANON, "identity.tflite": IDENTITY, "shared-enc.tflite": SHARED_ENC})
    env = dict(os.environ, PYTHONPATH=str(tmp_path / "pythonpath"), HOME=str(tmp_path))
    r = subprocess.run(host_command() + ["render-stream", bundle], stdin=subprocess.DEVNULL, capture_output=True,
                       env=env, cwd=tmp_path / "cwd", timeout=120)
    assert r.returncode == 0 and r.stdout.startswith(b"READY "), r.stderr.decode()
    assert b"two-artifact split: base UNVERIFIED" in r.stderr
    assert not marker.exists()


def test_a_broken_component_is_not_a_missing_one(tree):
    tools, d, so = tree
    (d / "shared_enc_dep.py").write_text("raise RuntimeError('boom')\n")
    code = f"import importlib.util; s = importlib.util.spec_from_file_location('_tensorhost', {str(so)!r}); s.loader.exec_module(importlib.util.module_from_spec(s))"
    r = run_python(code)
    assert r.returncode == 1 and b"RuntimeError: boom" in r.stderr


def test_exit_hook_removes_staged_files_when_loaded_as_a_library(tmp_path):
    f = tmp_path / "x_combined_litert.tflite"
    f.write_bytes(b"model")
    code = f"from quorvane._mirrant2 import _tensorhost as th; th._STAGED.append({str(f)!r}); print(len(th._STAGED))"
    r = run_python(code)
    assert r.returncode == 0 and r.stdout == b"1\n"
    assert not f.exists()


class TestStagedList:
    def test_is_one_live_registry(self, th, tmp_path):
        a, b = tmp_path / "a", tmp_path / "b"
        a.write_bytes(b"1")
        b.write_bytes(b"2")
        staged = th._STAGED
        staged.append(str(a))
        staged.append(b)
        try:
            assert th._STAGED == [str(a), str(b)] and str(a) in th._STAGED
            th._release_staged([a, str(tmp_path / "never-staged")])
            assert staged == [str(b)] and not a.exists()
            th._release_staged([str(a)])  # a second release changes nothing
            assert list(th._STAGED) == [str(b)]
        finally:
            th._drop_staged()
        assert len(staged) == 0 and not b.exists()

    def test_failed_deletion_stays_listed_and_drop_ignores_it(self, th, tmp_path):
        gone = str(tmp_path / "already-deleted")
        th._STAGED.append(gone)
        th._release_staged([gone])
        assert list(th._STAGED) == [gone]
        th._drop_staged()
        assert list(th._STAGED) == []


def test_constants(th):
    assert (th.SR, th.FPS, th.SPF, th.STEADY_PX, th.SPC, th.WIN_SAMPLES, th.TEMPO_SAMPLES) == (
        16000, 20, 800, 32, 25600, 44000, 35200)
    assert th.PLANE == th.LH * th.LW == 4680
    assert th._SIGS == ("enc", "tok14", "step", "dec16", "dec8")
    assert th.INT8_DOT_FLAGS == ("avx512_vnni", "avx_vnni")
