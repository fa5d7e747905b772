"""What exists once the host module has loaded: the dependency-store lookup, the staged list and
its exit hook, the live module attributes."""

import json
import os
import shutil
import textwrap

import pytest

from conftest import run_python

COMPONENT = "SHARED_ENC_ID = 'fake'\n"


@pytest.fixture
def tree(th, tmp_path):
    """A copy of the compiled module at <tmp>/a/b/c/D, whose 'tools' candidate is <tmp>/a/tools."""
    d = tmp_path / "a" / "b" / "c" / "D"
    d.mkdir(parents=True)
    so = d / os.path.basename(th.__file__)
    shutil.copy(th.__file__, so)
    return tmp_path / "a" / "tools", d, so


def load_copy(so, env=None, pre=""):
    code = textwrap.dedent(f"""
        import importlib.util, json, sys
        {pre}
        before = list(sys.path)
        found = importlib.util.spec_from_file_location("_tensorhost", {str(so)!r})
        m = importlib.util.module_from_spec(found)
        found.loader.exec_module(m)
        sed = None if m._SED is None else m._SED.__file__
        print(json.dumps({{"sed": sed, "why": m._SED_WHY, "before": before, "after": list(sys.path)}}))
    """)
    r = run_python(code, env=env)
    assert r.returncode == 0, r.stderr.decode()
    return json.loads(r.stdout)


def test_component_in_own_directory_only(tree):
    tools, d, so = tree
    (d / "shared_enc_dep.py").write_text(COMPONENT)
    got = load_copy(so)
    assert got["sed"] == str(d / "shared_enc_dep.py")
    assert got["why"] == str(d)
    assert got["after"][:2] == [str(d), str(tools)]


def test_component_in_tools_directory(tree):
    tools, d, so = tree
    tools.mkdir()
    (tools / "shared_enc_dep.py").write_text(COMPONENT)
    (d / "shared_enc_dep.py").write_text(COMPONENT)
    got = load_copy(so)
    assert got["sed"] == str(tools / "shared_enc_dep.py")
    assert got["why"] == str(tools)
    assert str(d) not in got["after"]


def test_component_nowhere(tree):
    _, _, so = tree
    got = load_copy(so)
    assert got["sed"] is None
    assert got["why"] == "No module named 'shared_enc_dep'"


def test_candidate_already_on_the_path_keeps_its_place(tree):
    tools, d, so = tree
    (d / "shared_enc_dep.py").write_text(COMPONENT)
    got = load_copy(so, pre=f"sys.path.append({str(tools)!r})")
    assert got["after"].count(str(tools)) == 1
    assert got["after"][-1] == str(tools)
    assert got["after"][0] == str(d)


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
