"""Eviction: what a sweep counts, removes and spares, in which order, and the judgements it asks
for (_in_use, _pid_alive, _du), held against a plain-Python plan of the same sweep."""

import errno
import fcntl
import hashlib
import os
import subprocess
import sys
import textwrap
import time
import types

import numpy as np
import pytest

from cache_fakes import (  # noqa: F401  (fixtures)
    NOBODY,
    OTHER,
    LockHolder,
    Nobody,
    avatar_file,
    chown_tree,
    op,
    publish,
    users,
    write_bundle,
)
from reference import cache as ref

NOW = 1_800_000_000.0
HOUR, DAY, WEEK = 3600, 86400, 604800


def K(label):
    """The entry name of a made-up content called `label`."""
    return "sha256-" + hashlib.sha256(label.encode()).hexdigest()[:32]


@pytest.fixture
def sw(op, tmp_path, monkeypatch):
    """A clock fixed at NOW and an empty avatars directory; `entry` and `tmpdir` build items
    idle for a given number of seconds. Items are given by label: "a" stands for the entry K("a"),
    "a.tmp.<pid>" for its unpack directory K("a") + ".tmp.<pid>"; `left` and `label` turn the
    names found back into labels (names of the cache's own kind that no label made stay as they
    are)."""
    # The sweep reads the clock through the module's `time`, as a Python module reads its globals.
    monkeypatch.setattr(op, "time", types.SimpleNamespace(time=lambda: NOW))
    avatars = tmp_path / "avatars"
    (avatars / ".idx").mkdir(parents=True)
    labels = {}

    def name(label):
        if label.startswith("."):
            return label
        head, sep, tail = label.partition(".tmp.")
        real = K(head) + sep + tail
        labels[real] = label
        return real

    def label(real):
        return labels.get(os.path.basename(real), os.path.basename(real))

    def age(path, idle):
        stamp = int((NOW - idle) * 1e9)
        os.utime(path, ns=(stamp, stamp), follow_symlinks=False)

    def entry(label_, size, idle, manifest=True):
        path = avatars / name(label_)
        path.mkdir()
        if manifest:
            (path / "manifest.json").write_bytes(b"")
        (path / "model.bin").write_bytes(b"\0" * size)
        age(path, idle)
        return str(path)

    def tmpdir(label_, idle, size=10_000):
        path = avatars / name(label_)
        path.mkdir()
        (path / "part").write_bytes(b"\0" * size)
        age(path, idle)
        return str(path)

    def cap(n):
        monkeypatch.setattr(op, "_cache_cap_bytes", lambda: n)

    def left():
        return sorted(label(n) for n in os.listdir(avatars))

    return types.SimpleNamespace(
        op=op, avatars=str(avatars), entry=entry, tmpdir=tmpdir, cap=cap, left=left, age=age, name=name, label=label
    )


def dead_pid():
    p = subprocess.Popen([sys.executable, "-c", "pass"])
    p.wait()
    return p.pid


def record_in_use(sw, monkeypatch, spare=()):
    calls = []

    def in_use(path, idle):
        calls.append((sw.label(path), idle))
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
        names = [str(i) for i in range(8)]
        for n in names:
            sw.entry(n, 10, 2 * HOUR)
        sw.entry("big", 20, 2 * HOUR)
        sw.entry("oldest", 1, 5 * HOUR)
        sw.entry("newest", 99, HOUR)
        calls = record_in_use(sw, monkeypatch, spare=set())
        sw.cap(0)
        expected = sorted(
            ((NOW - os.lstat(p).st_mtime, ref.du(p), p)
             for p in (os.path.join(sw.avatars, sw.name(n)) for n in names + ["big", "oldest", "newest"])),
            reverse=True,
        )
        sw.op._sweep(sw.avatars, "none")
        assert [c[0] for c in calls] == [sw.label(p) for _, _, p in expected]
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

    def test_only_the_caches_own_names_are_counted_or_removed(self, sw, monkeypatch):
        dead = dead_pid()
        others = {
            "chatapp-thumbs": 5000,  # another program's, in a directory it shares
            "build.tmp.4000000": 10,  # looks like an unpack directory of a dead writer
            f"thumbs.tmp.{dead}": 10,
            "sha256-" + "0" * 31: 10,  # one digit short
            "sha256-" + "A" * 32: 10,
            "sha256-" + "0" * 32 + ".old": 10,
            "sha256-" + "0" * 32 + f".tmp.{dead}.x": 10,
            # A final newline is an extra character like any other, whatever `$` allows.
            "sha256-" + "0" * 32 + f".tmp.{dead}\n": 10,
            "sha256-" + "0" * 32 + f".tmp.{dead}.{'5a' * 8}\n": 10,
            "sha256-" + "0" * 32 + "\n": 10,
        }
        for n, size in others.items():
            os.mkdir(os.path.join(sw.avatars, n))
            with open(os.path.join(sw.avatars, n, "f"), "wb") as f:
                f.write(b"\0" * size)
            sw.age(os.path.join(sw.avatars, n), 2 * DAY)
        sw.entry("ours", 10, 2 * HOUR)
        sw.tmpdir(f"ours.tmp.{dead}", 2 * HOUR)
        sw.cap(0)
        calls = record_in_use(sw, monkeypatch)
        sw.op._sweep(sw.avatars, "none")
        assert calls == [("ours", 2.0 * HOUR)] and sw.left() == sorted([".idx", *others])

    @pytest.mark.parametrize(
        "mode,owner", [(0o777, 0), (0o775, 0), (0o755, 65534)], ids=["others can write", "group can write", "not mine"]
    )
    def test_an_avatars_directory_not_this_users_alone_is_left_as_it_is(self, sw, mode, owner):
        sw.entry("a", 10, 2 * HOUR)
        sw.tmpdir(f"a.tmp.{dead_pid()}", 2 * DAY)
        os.chmod(sw.avatars, mode)
        os.chown(sw.avatars, owner, owner)
        sw.cap(0)
        sw.op._sweep(sw.avatars, "none")
        assert len(sw.left()) == 3

    def test_an_avatars_directory_swapped_for_a_link_mid_sweep_loses_nothing_elsewhere(self, sw, tmp_path, monkeypatch):
        sw.entry("a", 10, 2 * HOUR)
        sw.entry("b", 10, 3 * HOUR)
        elsewhere = tmp_path / "projects"
        for n in ("a", "b"):
            (elsewhere / sw.name(n)).mkdir(parents=True)
            (elsewhere / sw.name(n) / "work.txt").write_text("mine")
        real_du = sw.op._du

        def du(path):
            # Between the listing and the removals, the path is made to lead somewhere else.
            if not os.path.islink(sw.avatars):
                os.rename(sw.avatars, sw.avatars + ".moved")
                os.symlink(elsewhere, sw.avatars)
            return real_du(path)

        monkeypatch.setattr(sw.op, "_du", du)
        sw.cap(0)
        sw.op._sweep(sw.avatars, "none")
        assert sorted(os.listdir(elsewhere)) == sorted([sw.name("a"), sw.name("b")])
        assert all((elsewhere / sw.name(n) / "work.txt").read_text() == "mine" for n in ("a", "b"))
        assert os.listdir(sw.avatars + ".moved") == [".idx"]  # the entries it listed are what it removed

    @pytest.mark.parametrize("value", ["inf", "nan"])
    def test_a_cap_that_cannot_be_computed_removes_nothing(self, sw, monkeypatch, value):
        sw.entry("a", 10, 9 * HOUR)
        sw.tmpdir(f"a.tmp.{2**22 + 7}", 2 * DAY)
        monkeypatch.setenv("QUORVANE_AVATAR_CACHE_GB", value)
        sw.op._sweep(sw.avatars, "none")
        assert len(sw.left()) == 3

    def test_a_deep_entry_is_removed_whole_under_a_low_descriptor_limit(self, sw, tmp_path):
        deep = sw.entry("deep", 10, 2 * HOUR)
        outside = tmp_path / "outside"
        outside.mkdir()
        (outside / "mine").write_text("mine")
        fd = os.open(deep, os.O_RDONLY | os.O_DIRECTORY)
        try:
            for i in range(2000):  # deeper than any path may be spelled, and than 64 descriptors
                os.mkdir("d", dir_fd=fd)
                os.close(os.open("f", os.O_WRONLY | os.O_CREAT, dir_fd=fd))
                if i % 500 == 0:
                    os.symlink(outside, "link", dir_fd=fd)
                fd, old = os.open("d", os.O_RDONLY | os.O_DIRECTORY, dir_fd=fd), fd
                os.close(old)
        finally:
            os.close(fd)
        sw.age(deep, 2 * HOUR)
        code = textwrap.dedent(
            """
            import resource, sys, types
            import quorvane._open as op
            op._cache_cap_bytes = lambda: 0
            op.time = types.SimpleNamespace(time=lambda: float(sys.argv[2]))
            resource.setrlimit(resource.RLIMIT_NOFILE, (64, 64))
            op._sweep(sys.argv[1], "none")
            """
        )
        try:
            subprocess.run([sys.executable, "-c", code, sw.avatars, repr(NOW)], check=True, timeout=120)
            assert sw.left() == [".idx"] and os.listdir(outside) == ["mine"]
        finally:
            # Deeper than Python's own removal can go: a tree left behind would break pytest's
            # clean-up of its temporary directories.
            subprocess.run(["rm", "-rf", deep], check=False)

    def test_the_cap_comes_from_the_environment(self, sw, monkeypatch):
        sw.entry("a", 10, 9 * HOUR)
        monkeypatch.setenv("QUORVANE_AVATAR_CACHE_GB", "0")
        sw.op._sweep(sw.avatars, "none")
        assert sw.left() == [".idx"]

    def test_a_missing_avatars_directory_ends_quietly(self, op, tmp_path):
        assert op._sweep(str(tmp_path / "nothing"), "none") is None


class TestTemporaryDirectories:
    def test_rules_by_age_and_writer(self, sw):
        dead, alive = dead_pid(), os.getpid()
        sw.tmpdir(f"k.tmp.{dead}", HOUR)  # exactly the floor: stays
        sw.tmpdir(f"k1.tmp.{dead}", HOUR + 1)  # writer gone: goes
        sw.tmpdir(f"k2.tmp.{alive}", HOUR + 1)  # writer running: stays
        sw.tmpdir(f"k3.tmp.{alive}", DAY)  # a day exactly: stays
        sw.tmpdir(f"k4.tmp.{alive}", DAY + 1)  # abandoned: goes
        sw.tmpdir(f"k6.tmp.{dead}.{'5a' * 8}", HOUR + 1)  # as this package names them: goes too
        sw.tmpdir("k5.tmp.", 2 * DAY)  # no digits: not a name of the cache's own, left alone
        sw.cap(10**12)
        sw.op._sweep(sw.avatars, "none")
        assert sw.left() == [".idx", f"k.tmp.{dead}", f"k2.tmp.{alive}", f"k3.tmp.{alive}", "k5.tmp."]

    def test_pid_alive_is_asked_only_between_the_floor_and_a_day(self, sw, monkeypatch):
        asked = []
        monkeypatch.setattr(sw.op, "_pid_alive", lambda pid: asked.append(pid) or True)
        sw.tmpdir("a.tmp.11", HOUR)
        sw.tmpdir("b.tmp.22", HOUR + 1)
        sw.tmpdir("c.tmp.0033", DAY + 1)
        sw.tmpdir("d.tmp.\u0664\u0664", 2 * HOUR)  # digits no pid is written in: not the cache's own
        sw.cap(10**12)
        sw.op._sweep(sw.avatars, "none")
        assert sorted(asked) == [22] and sw.left() == [".idx", "a.tmp.11", "b.tmp.22", "d.tmp.\u0664\u0664"]

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
                if os.path.join(sw.avatars, sw.name(other)) != path:
                    subprocess.run(["rm", "-rf", os.path.join(sw.avatars, sw.name(other))], check=True)
            return 10

        monkeypatch.setattr(sw.op, "_du", du)
        sw.op._sweep(sw.avatars, "none")
        assert len(measured) == 1 and sw.left() == [".idx", sw.label(measured[0])]

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
    assert [p for p in (os.path.join(sw.avatars, sw.name(c[0])) for c in calls) if p not in held] == removed
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
    for d in (dest, avatars / K("old")):
        publish(d)
        stamp = int((NOW - 2 * HOUR) * 1e9)
        os.utime(d, ns=(stamp, stamp))
    assert op._materialise(str(src)) == str(dest)
    assert sorted(os.listdir(avatars)) == [".idx", dest.name] and op._SWEPT is True


def test_a_cache_others_can_write_in_is_never_swept(users):
    """As NOBODY, with a root of its own that others can write in (made under umask 000): another
    user who swaps the avatars directory for a link to NOBODY's projects while a sweep runs makes
    it remove nothing there."""
    root = users / "cache"
    avatars = root / "avatars"
    planted = avatars / "presenter"  # named as NOBODY's project is
    planted.mkdir(parents=True)
    projects = users / "projects"
    (projects / "presenter").mkdir(parents=True)
    (projects / "presenter" / "take1.mov").write_bytes(b"\0" * 1000)
    src = avatar_file(users / "a.imx", seed=3)
    chown_tree(root, NOBODY)
    chown_tree(projects, NOBODY)
    os.lchown(planted, OTHER, OTHER)
    os.chmod(root, 0o777)
    os.chmod(avatars, 0o777)
    for d in (planted, projects / "presenter"):  # neither touched for two hours
        os.utime(d, (time.time() - 7200,) * 2)
    env = {"QUORVANE_CACHE_DIR": str(root), "QUORVANE_AVATAR_CACHE_GB": "0"}
    with Nobody(users, {"source": str(src), "pause_in_sweep": True}, env) as child:
        line = child.line()
        if line == "sweeping\n":  # between the sweep's listing and its removals
            os.rename(avatars, root / "avatars.old")
            os.symlink(projects, avatars)
            os.lchown(avatars, OTHER, OTHER)
            child.go()
            line = None
        out = child.result(line)
    assert (projects / "presenter" / "take1.mov").is_file(), out
    assert out.get("error") == "Failed" and out["message"].endswith(
        f"chmod 700 {root} && rm -rf {avatars} (the avatars are unpacked again)")
