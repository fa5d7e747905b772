"""The host program's command line, its log writer and its exit statuses."""

import os
import shutil
import subprocess
import sys

import pytest

from conftest import run_python

PREFIX = b"[render-stream-tensorhost]"
USAGE = b"usage: render_stream_tensorhost render-stream <bundle> [--engine <dir|.engine>] [--threads N]"


def run_main(*argv, env=None):
    code = "import sys; from quorvane._mirrant2._tensorhost import main; sys.exit(main(sys.argv))"
    return run_python(code, args=argv, env=env)


@pytest.mark.parametrize("argv", [(), ("render-stream",), ("render-stream", "render-stream", "-", "--x")])
def test_no_bundle_prints_usage_and_exits_2(argv):
    r = run_main(*argv)
    assert r.returncode == 2
    assert r.stdout == b""
    assert r.stderr == PREFIX + b" " + USAGE + b"\n"


def test_console_script_runs_main_with_the_argument_vector():
    exe = shutil.which("render_stream_tensorhost", path=os.path.dirname(sys.executable))
    assert exe, "the console script is installed beside the interpreter"
    r = subprocess.run([exe], capture_output=True, timeout=60)
    assert (r.returncode, r.stdout) == (2, b"")
    assert USAGE in r.stderr


@pytest.mark.parametrize("argv, env, named", [(["--threads", "x"], {}, "--threads"),
                                              ([], {"LIBSTREAM_THREADS": "x"}, "LIBSTREAM_THREADS")])
def test_bad_thread_count_names_the_option_or_variable_before_warming_up(argv, env, named):
    # Both said only "invalid literal for int() with base 10: 'x'", in a traceback.
    r = run_main(*argv, "bundle-dir", env=env)
    assert (r.returncode, r.stdout) == (1, b"")
    assert r.stderr == PREFIX + f" ValueError: {named} takes an integer, not 'x'\n".encode()


def test_unknown_sub_command_prints_usage_and_exits_2(tmp_path):
    # `render` was taken for the bundle, and refused as one without a canon.bin.
    r = run_main("render", str(tmp_path))
    assert (r.returncode, r.stdout) == (2, b"")
    assert r.stderr == PREFIX + b" unknown sub-command 'render'\n" + PREFIX + b" " + USAGE + b"\n"
    # A first token that names something is the bundle, whatever follows it.
    (tmp_path / "render").mkdir()
    r = run_python("import sys; from quorvane._mirrant2._tensorhost import main; sys.exit(main(sys.argv))",
                   args=("render", "more"), cwd=tmp_path)
    assert r.returncode == 3 and b"warming up identity=render " in r.stderr


def test_warming_up_line_comes_first_and_names_bundle_and_threads(tmp_path):
    r = run_main("render-stream", str(tmp_path / "b"), "--threads", "3")
    assert r.stderr.startswith(PREFIX + b" warming up identity=" + str(tmp_path / "b").encode() + b" threads=3 ...\n")
    assert r.stdout == b""


@pytest.mark.parametrize(
    "argv, threads",
    [
        (["B"], 5),
        (["--threads", "0", "B"], 5),
        (["--threads", "-3", "B"], 5),
        (["--threads", "4", "B", "--threads", "6"], 6),
        (["B", "--threads", "40"], 40),
        (["B", "--threads", "8192"], 8192),
    ],
)
def test_thread_count_that_reaches_start_up(tmp_path, argv, threads):
    # 0 or less means automatic: LIBSTREAM_THREADS then decides.
    b = str(tmp_path / "b")
    r = run_main(*[b if a == "B" else a for a in argv], env={"LIBSTREAM_THREADS": "5"})
    first = r.stderr.split(b"\n", 1)[0]
    assert first == PREFIX + f" warming up identity={b} threads={threads} ...".encode()


@pytest.mark.parametrize("argv, env", [(["--threads", "50000"], {}), ([], {"LIBSTREAM_THREADS": "50000"})])
def test_absurd_thread_count_is_refused_before_warming_up(tmp_path, argv, env):
    # Such a count was served, and then the interpreters' thread pool crashed the exit.
    r = run_main(str(tmp_path / "b"), *argv, env=env)
    assert (r.returncode, r.stdout) == (1, b"")
    assert b"ValueError" in r.stderr and b"50000" in r.stderr and b"8192" in r.stderr
    assert b"warming up" not in r.stderr


class TestParse:
    @pytest.mark.parametrize(
        "argv, want",
        [
            (["p", "b"], ("b", None, 0)),
            (["p", "--threads", "4", "b", "--threads", "6"], ("b", None, 6)),
            (["p", "b", "render-stream", "--engine", "e"], ("b", "e", 0)),
            (["p", "b", "--engine"], ("b", None, 0)),
            (["p", "--engine", "--threads", "4", "b"], ("4", "--threads", 0)),
            (["p", "b", "c"], ("b", None, 0)),
            (["p", "--unknown", "v"], ("v", None, 0)),
            (["p", "-", "", "b"], ("b", None, 0)),
            (["p", "--threads", " -3 ", "b"], ("b", None, -3)),
            (["p", "--threads"], ("", None, 0)),
        ],
    )
    def test_settled_values(self, th, argv, want):
        assert th._parse_args(argv) == want

    def test_bad_threads_names_the_value(self, th):
        with pytest.raises(ValueError, match="'4.0'"):
            th._parse_args(["p", "--threads", "4.0", "b"])


def test_elog_joins_values_with_blanks_on_stderr(capfd, th):
    th._elog("a", 1, None, 2.5)
    th._elog()
    out, err = capfd.readouterr()
    assert out == ""
    assert err == "[render-stream-tensorhost] a 1 None 2.5\n[render-stream-tensorhost]\n"


def test_elog_takes_no_named_arguments(th):
    with pytest.raises(TypeError):
        th._elog("a", sep="-")


def test_elog_to_a_closed_stderr_is_an_ordinary_error():
    code = (
        "import os\n"
        "from quorvane._mirrant2._tensorhost import _elog\n"
        "os.close(2)\n"
        "try:\n"
        "    _elog('x')\n"
        "except OSError:\n"
        "    raise SystemExit(7)\n"
    )
    assert run_python(code).returncode == 7
