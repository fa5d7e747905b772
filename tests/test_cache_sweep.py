"""Eviction: what a sweep counts, removes and spares, in which order, and the judgements it asks
for (_in_use, _pid_alive, _du), held against a plain-Python plan of the same sweep."""

import errno
import fcntl
import os
import subprocess
import sys
import time
import types

import numpy as np
import pytest

from cache_fakes import LockHolder, op, write_bundle  # noqa: F401  (fixture)
from reference import cache as ref

NOW = 1_800_000_000.0
HOUR, DAY, WEEK = 3600, 86400, 604800


@pytest.fixture
def sw(op, tmp_path, monkeypatch):
    """A clock fixed at NOW and an empty avatars directory; `entry` and `tmpdir` build items
    idle for a given number of seconds."""
    # The sweep reads the clock through the module's `time`, as a Python module reads its globals.
    monkeypatch.setattr(op, "time", types.SimpleNamespace(time=lambda: NOW))
    avatars = tmp_path / "avatars"
    (avatars / ".idx").mkdir(parents=True)

    def age(path, idle):
        stamp = int((NOW - idle) * 1e9)
        os.utime(path, ns=(stamp, stamp), follow_symlinks=False)

    def entry(name, size, idle, manifest=True):
        path = avatars / name
        path.mkdir()
        if manifest:
            (path / "manifest.json").write_bytes(b"")
        (path / "model.bin").write_bytes(b"\0" * size)
        age(path, idle)
        return str(path)

    def tmpdir(name, idle, size=10_000):
        path = avatars / name
        path.mkdir()
        (path / "part").write_bytes(b"\0" * size)
        age(path, idle)
        return str(path)

    def cap(n):
        monkeypatch.setattr(op, "_cache_cap_bytes", lambda: n)

    def left():
        return sorted(os.listdir(avatars))

    return types.SimpleNamespace(
        op=op, avatars=str(avatars), entry=entry, tmpdir=tmpdir, cap=cap, left=left, age=age
    )


def record_in_use(sw, monkeypatch, spare=()):
    calls = []

    def in_use(path, idle):
        calls.append((os.path.basename(path), idle))
        return path in spare

    monkeypatch.setattr(sw.op, "_in_use", in_use)
    return calls


class TestWhatIsRemoved:
    def test_a_total_equal_to_the_cap_loses_nothing(self, sw, monkeypatch):
        a = sw.entry("a", 100, 2 * HOUR)
        sw.entry("b", 200, 3 * HOUR)
        sw.cap(300)
        calls = record_in_use(sw, monkeypatch)
        sw.op._sweep(sw.avatars, a)
        assert sw.left() == [".idx", "a", "b"] and calls == []

    def test_a_cap_of_zero_removes_every_eligible_entry_but_keep(self, sw, monkeypatch):
        keep = sw.entry("keep", 50, 5 * HOUR)
        sw.entry("old", 10, 2 * HOUR)
        sw.entry("older", 10, 9 * HOUR)
        sw.entry("fresh", 10, HOUR - 1)
        sw.entry("future", 10, -HOUR)
        sw.cap(0)
        sw.op._sweep(sw.avatars, keep)
        assert sw.left() == [".idx", "fresh", "future", "keep"]

    def test_candidates_go_longest_idle_first_then_larger_then_by_path(self, sw, monkeypatch):
        names = ["a", "b", "c", "\u00e9", "\U0001f600", "\uffff", os.fsdecode(b"x\xff"), os.fsdecode(b"\xc3")]
        for n in names:
            sw.entry(n, 10, 2 * HOUR)
        sw.entry("big", 20, 2 * HOUR)
        sw.entry("oldest", 1, 5 * HOUR)
        sw.entry("newest", 99, HOUR)
        calls = record_in_use(sw, monkeypatch, spare=set())
        sw.cap(0)
        expected = sorted(
            ((NOW - os.lstat(os.path.join(sw.avatars, n)).st_mtime, ref.du(os.path.join(sw.avatars, n)), n)
             for n in names + ["big", "oldest", "newest"]),
            reverse=True,
        )
        sw.op._sweep(sw.avatars, "none")
        assert [c[0] for c in calls] == [n for _, _, n in expected]
        assert calls[0] == ("oldest", 5.0 * HOUR) and calls[1][0] == "big" and calls[-1] == ("newest", 3600.0)

    def test_removal_stops_once_the_total_fits(self, sw, monkeypatch):
        sw.entry("a", 100, 4 * HOUR)
        sw.entry("b", 100, 3 * HOUR)
        sw.entry("c", 100, 2 * HOUR)
        sw.cap(150)
        sw.op._sweep(sw.avatars, "none")
        assert sw.left() == [".idx", "c"]

    def test_an_entry_idle_exactly_the_floor_is_eligible(self, sw):
        sw.entry("exact", 10, HOUR)
        sw.entry("almost", 10, HOUR - 0.5)
        sw.cap(0)
        sw.op._sweep(sw.avatars, "none")
        assert sw.left() == [".idx", "almost"]

    def test_the_floor_is_read_at_each_use(self, sw, monkeypatch):
        sw.entry("a", 10, 2 * HOUR)
        sw.cap(0)
        monkeypatch.setattr(sw.op, "_EVICT_MIN_IDLE_S", 3 * HOUR)
        sw.op._sweep(sw.avatars, "none")
        assert sw.left() == [".idx", "a"]

    def test_entries_in_use_are_spared(self, sw, monkeypatch):
        a = sw.entry("a", 10, 2 * HOUR)
        sw.entry("b", 10, 3 * HOUR)
        calls = record_in_use(sw, monkeypatch, spare={a})
        sw.cap(0)
        sw.op._sweep(sw.avatars, "none")
        assert sw.left() == [".idx", "a"] and [c[0] for c in calls] == ["b", "a"]

    def test_an_entry_without_manifest_is_removable_where_locks_exist(self, sw):
        sw.entry("broken", 10, 2 * HOUR, manifest=False)
        sw.cap(0)
        sw.op._sweep(sw.avatars, "none")
        assert sw.left() == [".idx"]

    def test_an_entry_held_by_another_process_is_spared_until_it_lets_go(self, sw):
        held = sw.entry("held", 10, 2 * HOUR)
        sw.entry("free", 10, 2 * HOUR)
        sw.cap(0)
        with LockHolder(os.path.join(held, "manifest.json")):
            sw.op._sweep(sw.avatars, "none")
            assert sw.left() == [".idx", "held"]
        sw.op._sweep(sw.avatars, "none")
        assert sw.left() == [".idx"]

    @pytest.mark.parametrize("idle,removed", [(WEEK - 1, False), (WEEK, True)])
    def test_without_locking_a_week_of_quiet_is_needed(self, sw, monkeypatch, idle, removed):
        held = sw.entry("e", 10, idle)
        monkeypatch.setattr(sw.op, "_fcntl", None)
        sw.cap(0)
        with LockHolder(os.path.join(held, "manifest.json")):  # not looked at without locking
            sw.op._sweep(sw.avatars, "none")
        assert sw.left() == ([".idx"] if removed else [".idx", "e"])

    def test_links_files_and_dot_names_are_neither_counted_nor_removed(self, sw, tmp_path, monkeypatch):
        outside = tmp_path / "outside"
        outside.mkdir()
        (outside / "big").write_bytes(b"\0" * 5000)
        os.symlink(outside, os.path.join(sw.avatars, "sha256-link"))
        os.symlink(tmp_path / "nowhere", os.path.join(sw.avatars, "dangling"))
        with open(os.path.join(sw.avatars, "plain"), "wb") as f:
            f.write(b"\0" * 5000)
        sw.entry(".hidden", 5000, 9 * HOUR)
        sw.entry("a", 10, 2 * HOUR)
        for p in ("sha256-link", "dangling", "plain", ".idx"):
            sw.age(os.path.join(sw.avatars, p), 9 * HOUR)
        sw.cap(10)
        calls = record_in_use(sw, monkeypatch)
        sw.op._sweep(sw.avatars, "none")
        assert calls == [] and sw.left() == [".hidden", ".idx", "a", "dangling", "plain", "sha256-link"]
        assert os.listdir(outside) == ["big"]

    @pytest.mark.parametrize("value", ["inf", "nan"])
    def test_a_cap_that_cannot_be_computed_removes_nothing(self, sw, monkeypatch, value):
        sw.entry("a", 10, 9 * HOUR)
        sw.tmpdir(f"a.tmp.{2**22 + 7}", 2 * DAY)
        monkeypatch.setenv("QUORVANE_AVATAR_CACHE_GB", value)
        sw.op._sweep(sw.avatars, "none")
        assert len(sw.left()) == 3

    def test_the_cap_comes_from_the_environment(self, sw, monkeypatch):
        sw.entry("a", 10, 9 * HOUR)
        monkeypatch.setenv("QUORVANE_AVATAR_CACHE_GB", "-1")
        sw.op._sweep(sw.avatars, "none")
        assert sw.left() == [".idx"]

    def test_a_missing_avatars_directory_ends_quietly(self, op, tmp_path):
        assert op._sweep(str(tmp_path / "nothing"), "none") is None


class TestTemporaryDirectories:
    def dead_pid(self):
        p = subprocess.Popen([sys.executable, "-c", "pass"])
        p.wait()
        return p.pid

    def test_rules_by_age_and_writer(self, sw):
        dead, alive = self.dead_pid(), os.getpid()
        sw.tmpdir(f"k.tmp.{dead}", HOUR)  # exactly the floor: stays
        sw.tmpdir(f"k1.tmp.{dead}", HOUR + 1)  # writer gone: goes
        sw.tmpdir(f"k2.tmp.{alive}", HOUR + 1)  # writer running: stays
        sw.tmpdir(f"k3.tmp.{alive}", DAY)  # a day exactly: stays
        sw.tmpdir(f"k4.tmp.{alive}", DAY + 1)  # abandoned: goes
        sw.tmpdir("k5.tmp.", 2 * DAY)  # no digits: an entry, not a temporary directory
        sw.cap(10**12)
        sw.op._sweep(sw.avatars, "none")
        assert sw.left() == [".idx", f"k.tmp.{dead}", f"k2.tmp.{alive}", f"k3.tmp.{alive}", "k5.tmp."]

    def test_pid_alive_is_asked_only_between_the_floor_and_a_day(self, sw, monkeypatch):
        asked = []
        monkeypatch.setattr(sw.op, "_pid_alive", lambda pid: asked.append(pid) or True)
        sw.tmpdir("a.tmp.11", HOUR)
        sw.tmpdir("b.tmp.22", HOUR + 1)
        sw.tmpdir("c.tmp.0033", DAY + 1)
        sw.tmpdir("d.tmp.\u0664\u0664", 2 * HOUR)
        sw.cap(10**12)
        sw.op._sweep(sw.avatars, "none")
        assert sorted(asked) == [22, 44] and sw.left() == [".idx", "a.tmp.11", "b.tmp.22", "d.tmp.\u0664\u0664"]

    def test_temporary_directories_are_never_counted_or_candidates(self, sw, monkeypatch):
        sw.entry("a", 10, 2 * HOUR)
        sw.tmpdir(f"a.tmp.{os.getpid()}", 2 * HOUR, size=10**6)
        calls = record_in_use(sw, monkeypatch)
        sw.cap(10)
        sw.op._sweep(sw.avatars, "none")
        assert calls == [] and len(sw.left()) == 3


class TestGuardedBlock:
    def test_an_error_in_a_judgement_ends_the_sweep_silently(self, sw, monkeypatch):
        sw.entry("a", 10, 2 * HOUR)
        sw.entry("b", 10, 3 * HOUR)
        sw.cap(0)
        monkeypatch.setattr(sw.op, "_in_use", lambda p, i: 1 / 0)
        assert sw.op._sweep(sw.avatars, "none") is None
        assert sw.left() == [".idx", "a", "b"]

    def test_an_item_that_vanishes_ends_the_sweep(self, sw, monkeypatch):
        for n in "abc":
            sw.entry(n, 10, 2 * HOUR)
        sw.cap(0)
        measured = []

        def du(path):
            measured.append(path)
            for other in "abc":
                if os.path.join(sw.avatars, other) != path:
                    subprocess.run(["rm", "-rf", os.path.join(sw.avatars, other)], check=True)
            return 10

        monkeypatch.setattr(sw.op, "_du", du)
        sw.op._sweep(sw.avatars, "none")
        assert len(measured) == 1 and sw.left() == [".idx", os.path.basename(measured[0])]

    def test_interrupts_are_not_swallowed(self, sw, monkeypatch):
        sw.entry("a", 10, 2 * HOUR)

        def du(path):
            raise KeyboardInterrupt

        monkeypatch.setattr(sw.op, "_du", du)
        with pytest.raises(KeyboardInterrupt):
            sw.op._sweep(sw.avatars, "none")


@pytest.mark.parametrize("seed", range(6))
def test_a_random_cache_is_swept_as_the_plan_says(sw, monkeypatch, seed):
    rng = np.random.default_rng(seed)
    paths = []
    for i in range(14):
        idle = float(rng.choice([rng.integers(0, 3 * HOUR), rng.integers(HOUR, 9 * HOUR), 5 * HOUR]))
        size = int(rng.choice([rng.integers(0, 400), 128]))
        paths.append(sw.entry(f"sha256-{i:02d}{'x' * int(rng.integers(0, 3))}", size, idle))
    for i in range(4):
        pid = int(rng.choice([os.getpid(), 2**22 + i]))
        sw.tmpdir(f"sha256-{i}.tmp.{pid}", float(rng.integers(0, 2 * DAY)))
    keep, held = paths[0], set(rng.choice(paths, 3, replace=False).tolist())
    cap = int(rng.integers(0, 3000))
    sw.cap(cap)
    alive = {os.getpid()}
    monkeypatch.setattr(sw.op, "_pid_alive", lambda pid: pid in alive)
    calls = record_in_use(sw, monkeypatch, spare=held)
    removed, tmps = ref.plan(sw.avatars, keep, NOW, cap, held=held, alive=alive)
    sw.op._sweep(sw.avatars, keep)
    gone = [p for p in paths if not os.path.exists(p)]
    assert [os.path.join(sw.avatars, c[0]) for c in calls if os.path.join(sw.avatars, c[0]) not in held] == removed
    assert sorted(gone) == sorted(removed)
    assert all(not os.path.exists(t) for t in tmps) and keep not in gone


class TestInUse:
    @pytest.fixture
    def entry(self, tmp_path):
        path = tmp_path / "e"
        path.mkdir()
        write_bundle(path)
        return str(path)

    def test_a_shared_lock_of_another_process_makes_it_in_use(self, op, entry):
        assert op._in_use(entry, 0.0) is False
        with LockHolder(os.path.join(entry, "manifest.json")):
            assert op._in_use(entry, 1e9) is True
        assert op._in_use(entry, 0.0) is False

    def test_the_probe_leaves_no_lock_behind(self, op, entry):
        op._in_use(entry, 0.0)
        fd = os.open(os.path.join(entry, "manifest.json"), os.O_RDONLY)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        finally:
            os.close(fd)

    def test_no_manifest_means_not_in_use(self, op, tmp_path):
        assert op._in_use(str(tmp_path), 0.0) is False

    @pytest.mark.parametrize("idle,expected", [(WEEK - 0.5, True), (WEEK, False), (-1, True)])
    def test_without_locking_age_decides(self, op, monkeypatch, tmp_path, idle, expected):
        monkeypatch.setattr(op, "_fcntl", None)
        assert op._in_use(str(tmp_path), idle) is expected

    @pytest.mark.parametrize("raised,expected", [(None, False), (BlockingIOError(errno.EAGAIN, "busy"), True)])
    def test_a_replaced_locking_module_is_called(self, op, monkeypatch, entry, raised, expected):
        calls = []

        def flock(fd, how):
            calls.append(how)
            if raised:
                raise raised

        fake = types.SimpleNamespace(LOCK_EX=fcntl.LOCK_EX, LOCK_NB=fcntl.LOCK_NB, LOCK_SH=fcntl.LOCK_SH, flock=flock)
        monkeypatch.setattr(op, "_fcntl", fake)
        assert op._in_use(entry, 0.0) is expected and calls == [fcntl.LOCK_EX | fcntl.LOCK_NB]


class TestPidAlive:
    def test_own_and_reaped_processes(self, op):
        p = subprocess.Popen([sys.executable, "-c", "pass"])
        p.wait()
        assert op._pid_alive(os.getpid()) is True and op._pid_alive(p.pid) is False

    @pytest.mark.parametrize(
        "raised,expected",
        [(PermissionError(errno.EPERM, "no"), True), (ProcessLookupError(errno.ESRCH, "gone"), False), (OSError(errno.EINVAL, "?"), True)],
    )
    def test_the_kill_answers(self, op, monkeypatch, raised, expected):
        calls = []

        def kill(pid, sig):
            calls.append((pid, sig))
            raise raised

        monkeypatch.setattr(os, "kill", kill)
        assert op._pid_alive(1234) is expected and calls == [(1234, 0)]

    def test_windows_asks_nothing(self, op, monkeypatch):
        monkeypatch.setattr(os, "kill", lambda *a: pytest.fail("kill called"))
        monkeypatch.setattr(os, "name", "nt")
        assert op._pid_alive(1) is True

    def test_a_number_no_process_can_have(self, op):
        assert op._pid_alive(2**80) is False


class TestDu:
    def test_sizes_links_and_nested_directories(self, op, tmp_path):
        root = tmp_path / "e"
        (root / "sub" / "deeper").mkdir(parents=True)
        (root / "a").write_bytes(b"\0" * 123)
        (root / "sub" / "b").write_bytes(b"\0" * 4567)
        (root / "sub" / "deeper" / "c").write_bytes(b"")
        outside = tmp_path / "outside"
        outside.mkdir()
        (outside / "huge").write_bytes(b"\0" * 100_000)
        os.symlink(outside, root / "dirlink")
        os.symlink(outside / "huge", root / "filelink")
        os.symlink(tmp_path / "nowhere-at-all", root / "sub" / "dangling")
        got = op._du(str(root))
        assert got == ref.du(str(root))
        assert got == 123 + 4567 + len(str(outside / "huge")) + len(str(tmp_path / "nowhere-at-all"))

    def test_what_is_no_directory_holds_nothing(self, op, tmp_path):
        (tmp_path / "f").write_bytes(b"abc")
        assert op._du(str(tmp_path / "f")) == 0 and op._du(str(tmp_path / "missing")) == 0


def test_a_hit_sweeps_the_cache_for_real(op, tmp_path, monkeypatch):
    """The whole road: a first hit of a process sweeps, and old unheld entries go, keep stays."""
    monkeypatch.setattr(time, "time", lambda: NOW)
    monkeypatch.setenv("QUORVANE_CACHE_DIR", str(tmp_path / "root"))
    monkeypatch.setenv("QUORVANE_AVATAR_CACHE_GB", "0")
    avatars = tmp_path / "root" / "avatars"
    src = tmp_path / "a.imx"
    src.write_bytes(b"avatar")
    dest = avatars / ref.content_key(str(src))
    for d in (dest, avatars / "sha256-old"):
        d.mkdir(parents=True)
        write_bundle(d)
        stamp = int((NOW - 2 * HOUR) * 1e9)
        os.utime(d, ns=(stamp, stamp))
    assert op._materialise(str(src)) == str(dest)
    assert sorted(os.listdir(avatars)) == [".idx", dest.name] and op._SWEPT is True
