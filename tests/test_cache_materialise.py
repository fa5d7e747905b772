"""Materialising avatar files into the cache: hits, misses, lost races and broken entries, the
refusals they raise, when sweeps run, and the shared locks held on entries."""

import errno
import fcntl
import hashlib
import json
import os
import pathlib
import random
import re
import shutil
import subprocess
import sys
import textwrap
import threading
import time
import types

import pytest

from cache_fakes import (  # noqa: F401  (fixtures)
    NOBODY,
    OTHER,
    LockHolder,
    Nobody,
    avatar_file,
    chown_tree,
    fakes,
    op,
    publish,
    run_as_nobody,
    run_child,
    users,
    write_bundle,
)
from reference import cache as ref
from reference.cache import KEY_RECORD

PREPARE = "could not prepare that avatar"
UNUSABLE = "that is not a usable avatar"


@pytest.fixture
def cache(op, fakes, tmp_path, monkeypatch):
    """The module with its outside modules faked, the cache under tmp_path/root and every sweep
    recorded instead of run."""
    root = tmp_path / "root"
    monkeypatch.setenv("QUORVANE_CACHE_DIR", str(root))
    sweeps = []
    monkeypatch.setattr(op, "_sweep", lambda avatars, keep: sweeps.append((avatars, keep)))
    return types.SimpleNamespace(
        op=op, errors=fakes.errors, offline=fakes.offline, root=root, avatars=str(root / "avatars"), sweeps=sweeps
    )


def entry_of(cache, src):
    return os.path.join(cache.avatars, ref.content_key(src))


def names(directory):
    return sorted(os.listdir(directory))


def assert_refused(excinfo, errors, cls, message, detail_type):
    e = excinfo.value
    assert type(e) is cls and e.args == (message,)
    assert len(errors.refused) == 1
    got_cls, got_message, detail = errors.refused[0]
    assert got_cls is cls and got_message == message and isinstance(detail, detail_type)
    assert e.detail is detail
    assert e.__cause__ is None and e.__context__ is None and not e.__suppress_context__
    return detail


class TestHitAndMiss:
    def test_a_directory_comes_back_unchanged_and_nothing_is_touched(self, cache, tmp_path):
        bundle = tmp_path / "bundle"
        bundle.mkdir()
        assert cache.op._materialise(str(bundle)) == str(bundle)
        assert not cache.root.exists() and cache.sweeps == [] and cache.op._HELD == {}

    def test_a_miss_unpacks_publishes_holds_and_sweeps(self, cache, tmp_path):
        src = avatar_file(tmp_path / "a.imx")
        dest = cache.op._materialise(src)
        assert dest == entry_of(cache, src)
        # Unpacked from the very file that was hashed, into a directory made afresh for it.
        ((unpacked_from, tmp, listing),) = cache.offline.calls
        assert re.fullmatch(r"/proc/self/fd/\d+", unpacked_from) and listing == []
        assert re.fullmatch(re.escape(f"{dest}.tmp.{os.getpid()}.") + "[0-9a-f]{16}", tmp)
        assert names(cache.avatars) == [".idx", os.path.basename(dest)]
        assert names(dest) == [KEY_RECORD, "manifest.json", "model.bin"]
        with open(os.path.join(dest, KEY_RECORD)) as f:
            assert f.read() == os.path.basename(dest)
        assert list(cache.op._HELD) == [dest]
        assert cache.op._SWEPT is True and cache.sweeps == [(cache.avatars, dest)]

    def test_only_the_first_hit_of_a_process_sweeps(self, cache, tmp_path):
        src = avatar_file(tmp_path / "a.imx")
        dest = publish(entry_of(cache, src))
        for _ in range(3):
            assert cache.op._materialise(src) == dest
        assert cache.offline.calls == [] and cache.sweeps == [(cache.avatars, dest)]

    def test_every_publish_sweeps(self, cache, tmp_path):
        cache.op._SWEPT = True
        srcs = [avatar_file(tmp_path / f"{i}.imx", seed=i) for i in range(3)]
        dests = [cache.op._materialise(s) for s in srcs]
        cache.op._materialise(srcs[0])  # a hit after the flag is set: no sweep
        assert cache.sweeps == [(cache.avatars, d) for d in dests]

    def test_many_uses_keep_one_descriptor_and_refresh_the_stamp(self, cache, tmp_path):
        src = avatar_file(tmp_path / "a.imx")
        dest = cache.op._materialise(src)
        fd = cache.op._HELD[dest]
        os.utime(dest, (1000, 1000))
        for _ in range(5):
            cache.op._materialise(src)
        assert cache.op._HELD == {dest: fd}
        assert os.stat(dest).st_mtime > 1000

    def test_a_copy_shares_the_entry_with_a_memo_of_its_own(self, cache, tmp_path):
        src = avatar_file(tmp_path / "a.imx")
        copy = tmp_path / "elsewhere" / "b.imx"
        copy.parent.mkdir()
        copy.write_bytes((tmp_path / "a.imx").read_bytes())
        assert cache.op._materialise(src) == cache.op._materialise(str(copy))
        assert len(cache.offline.calls) == 1
        assert len(os.listdir(os.path.join(cache.avatars, ".idx"))) == 2

    def test_a_touched_file_is_hashed_again_and_found(self, cache, tmp_path):
        src = avatar_file(tmp_path / "a.imx")
        dest = cache.op._materialise(src)
        os.utime(src, ns=(5, 5))
        assert cache.op._materialise(src) == dest
        assert len(cache.offline.calls) == 1
        assert len(os.listdir(os.path.join(cache.avatars, ".idx"))) == 2

    def test_a_memo_naming_an_absent_entry_unpacks_into_that_key(self, cache, tmp_path):
        src = avatar_file(tmp_path / "a.imx")
        idx = os.path.join(cache.avatars, ".idx")
        os.makedirs(idx)
        wrong = "0" * 32
        with open(os.path.join(idx, ref.memo_name(src, os.stat(src))), "w") as f:
            f.write(ref.memo_text(wrong, src, os.stat(src)))
        assert cache.op._materialise(src) == os.path.join(cache.avatars, "sha256-" + wrong)

    def test_the_steps_are_called_through_the_module(self, cache, tmp_path, monkeypatch):
        src = avatar_file(tmp_path / "a.imx")
        calls = []
        monkeypatch.setattr(cache.op, "_cache_root", lambda: str(tmp_path / "patched"))
        monkeypatch.setattr(cache.op, "_content_key", lambda s, st_, a: calls.append((s, st_.st_ino, a)) or "k")
        monkeypatch.setattr(cache.op, "_hold", lambda d: calls.append(("hold", d)))
        avatars = str(tmp_path / "patched" / "avatars")
        dest = os.path.join(avatars, "k")
        assert cache.op._materialise(src) == dest
        assert calls == [(src, os.stat(src).st_ino, avatars), ("hold", dest)]
        assert cache.sweeps == [(avatars, dest)]

    @pytest.mark.parametrize("leftover", ["directory", "link"])
    def test_an_unpack_directory_is_made_afresh_never_taken_over(self, cache, tmp_path, leftover):
        src = avatar_file(tmp_path / "a.imx")
        # What an earlier process of this pid left under the name this process used to unpack in.
        old = entry_of(cache, src) + f".tmp.{os.getpid()}"
        elsewhere = tmp_path / "elsewhere"
        elsewhere.mkdir()
        os.makedirs(cache.avatars)
        if leftover == "link":
            os.symlink(elsewhere, old)
        else:
            os.makedirs(os.path.join(old, "deep"))
            os.symlink(tmp_path / "a.imx", os.path.join(old, "deep", "link"))
        dest = cache.op._materialise(src)
        ((_, tmp, listing),) = cache.offline.calls
        assert tmp != old and listing == [] and not os.path.exists(tmp)
        assert os.listdir(elsewhere) == [] and not os.path.islink(dest) and os.path.isdir(dest)
        assert os.path.lexists(old)  # not this process's to remove: a sweep clears it in time


def snapshot(top):
    """Every name below `top` with its kind, mode, owner and times: what a refusal must leave."""
    out = {}
    for dirpath, dirs, files in os.walk(top):
        for n in [""] + dirs + files:
            p = os.path.join(dirpath, n) if n else dirpath
            st_ = os.lstat(p)
            out[p] = (st_.st_mode, st_.st_uid, st_.st_mtime_ns, st_.st_size)
    return out


class TestSettings:
    def test_an_empty_cache_dir_means_the_default_and_the_working_directory_is_left_alone(
        self, op, fakes, tmp_path, monkeypatch
    ):
        src = avatar_file(tmp_path / "a.imx")
        work = tmp_path / "work"
        projects = work / "avatars"
        for name in ("presenter", "narrator"):
            (projects / name).mkdir(parents=True)
            (projects / name / "take1.mov").write_bytes(b"\0" * 1000)
            os.utime(projects / name, (time.time() - 7200,) * 2)
        monkeypatch.chdir(work)
        (tmp_path / "home").mkdir()
        monkeypatch.setenv("HOME", str(tmp_path / "home"))
        monkeypatch.setenv("QUORVANE_CACHE_DIR", "")  # as an env file leaves it
        monkeypatch.setenv("QUORVANE_AVATAR_CACHE_GB", "0")
        dest = op._materialise(src)
        assert dest == str(tmp_path / "home" / ".cache" / "quorvane" / "avatars" / ref.content_key(src))
        assert names(work) == ["avatars"] and names(projects) == ["narrator", "presenter"]
        assert names(projects / "presenter") == ["take1.mov"]

    @pytest.mark.parametrize("value", ["avatars", "cache/dir", "~no-such-user-here/c"])
    def test_a_cache_dir_that_is_no_absolute_path_is_refused_and_nothing_is_made(
        self, op, fakes, tmp_path, monkeypatch, value
    ):
        src = avatar_file(tmp_path / "a.imx")
        work = tmp_path / "work"
        work.mkdir()
        monkeypatch.chdir(work)
        monkeypatch.setenv("QUORVANE_CACHE_DIR", value)
        with pytest.raises(fakes.errors.Failed) as e:
            op._materialise(src)
        assert str(e.value).startswith("QUORVANE_CACHE_DIR ") and repr(value) in str(e.value)
        assert names(work) == [] and fakes.offline.calls == []

    @pytest.mark.parametrize("value", ["500MB", "10GB", "ten", "-1", "nan", "inf"])
    def test_a_cap_that_is_no_number_of_gigabytes_is_refused_before_the_cache_is_touched(
        self, cache, tmp_path, monkeypatch, value
    ):
        src = avatar_file(tmp_path / "a.imx")
        monkeypatch.setenv("QUORVANE_AVATAR_CACHE_GB", value)
        with pytest.raises(cache.errors.Failed) as e:
            cache.op._materialise(src)
        assert str(e.value) == (
            "QUORVANE_AVATAR_CACHE_GB must be a number of gigabytes, 0 or more (unset or empty means 10); "
            f"it is {value!r}"
        )
        assert not cache.root.exists() and cache.sweeps == []


class TestOwnRoot:
    @pytest.mark.parametrize("mask", [0o000, 0o022, 0o277], ids=["umask 000", "umask 022", "umask 277"])
    def test_the_cache_is_made_for_this_user_alone_whatever_the_umask(self, cache, tmp_path, monkeypatch, mask):
        src = avatar_file(tmp_path / "a.imx")
        root = tmp_path / "deep" / "er" / "root"
        monkeypatch.setenv("QUORVANE_CACHE_DIR", str(root))
        old = os.umask(mask)
        try:
            dest = cache.op._materialise(src)
        finally:
            os.umask(old)
        made = [tmp_path / "deep", tmp_path / "deep" / "er", root, root / "avatars", root / "avatars" / ".idx", dest]
        assert [oct(os.stat(d).st_mode & 0o7777) for d in made] == [oct(0o700)] * len(made)

    @pytest.mark.parametrize(
        "fault", ["root of another user", "avatars of another user", "root others can write", "avatars the group can write"]
    )
    def test_a_cache_that_is_not_this_users_alone_is_refused_and_left_as_it_is(self, cache, tmp_path, fault):
        src = avatar_file(tmp_path / "a.imx")
        dest = publish(entry_of(cache, src))
        idx = os.path.join(cache.avatars, ".idx")
        os.makedirs(idx)
        with open(os.path.join(idx, ref.memo_name(src, os.stat(src))), "w") as f:
            f.write(ref.memo_text(ref.key_digits(src), src, os.stat(src)))
        old = os.path.join(cache.avatars, "sha256-" + "0" * 32)
        os.makedirs(old)
        os.utime(old, (1000, 1000))
        at_fault = str(cache.root) if fault.startswith("root") else cache.avatars
        if "another user" in fault:
            os.chown(at_fault, 65534, 65534)
        else:
            os.chmod(at_fault, 0o777 if "others" in fault else 0o770)
        before = snapshot(cache.root)
        with pytest.raises(cache.errors.Failed) as e:
            cache.op._materialise(src)
        message = str(e.value)
        assert message.startswith(f"QUORVANE_CACHE_DIR: the avatar cache {at_fault} ")
        if "another user" in fault:
            assert "belongs to another user (uid 65534)" in message
        else:
            # A chmod alone would leave in use whatever others put there meanwhile.
            fix = f"rm -rf {cache.avatars}" if at_fault == cache.avatars else f"chmod 700 {at_fault} && rm -rf {cache.avatars}"
            assert message.endswith(f"the cache must be yours alone, and nothing they may have put in it used: {fix} "
                                    "(the avatars are unpacked again)")
        assert snapshot(cache.root) == before
        assert cache.offline.calls == [] and cache.sweeps == [] and cache.op._HELD == {}

    def test_a_root_that_is_a_link_to_a_directory_of_this_user_is_used(self, cache, tmp_path, monkeypatch):
        src = avatar_file(tmp_path / "a.imx")
        (tmp_path / "real").mkdir()
        os.symlink(tmp_path / "real", tmp_path / "link")
        monkeypatch.setenv("QUORVANE_CACHE_DIR", str(tmp_path / "link"))
        dest = cache.op._materialise(src)
        assert dest == str(tmp_path / "link" / "avatars" / ref.content_key(src))
        assert (tmp_path / "real" / "avatars" / ref.content_key(src) / "manifest.json").is_file()

    @pytest.mark.parametrize(
        "spelled,theirs",
        [("{link}", "link"), ("{link}//", "link"), ("{link}/.", "link"), ("{link}/./", "link"),
         ("{tmp}/./link/.", "link"), ("{tmp}/sub/../link/.", "link"), ("{mine}/.", "link"),
         ("{tmp}/via/real", "via")],
        ids=["plain", "trailing slashes", "link/.", "link/./", "a/./link/.", "a/sub/../link/.", "own link to theirs",
             "theirs on the way"],
    )
    def test_a_root_reached_through_another_users_link_is_refused_however_it_is_spelled(
        self, cache, tmp_path, monkeypatch, spelled, theirs
    ):
        # Another user's link could be pointed elsewhere once it has passed.
        src = avatar_file(tmp_path / "a.imx")
        (tmp_path / "real").mkdir()
        (tmp_path / "sub").mkdir()
        os.symlink(tmp_path / "real", tmp_path / "link")
        os.symlink(tmp_path / "link", tmp_path / "mine")
        os.symlink(tmp_path, tmp_path / "via")
        os.lchown(tmp_path / theirs, NOBODY, NOBODY)
        root = spelled.format(link=tmp_path / "link", tmp=tmp_path, mine=tmp_path / "mine")
        monkeypatch.setenv("QUORVANE_CACHE_DIR", root)
        with pytest.raises(cache.errors.Failed) as e:
            cache.op._materialise(src)
        assert str(e.value) == (
            f"QUORVANE_CACHE_DIR: the avatar cache {root} is reached through {tmp_path / theirs}, a link that belongs "
            f"to another user (uid {NOBODY}), who can point it anywhere; every link on the way must be yours or the "
            "superuser's")
        assert os.listdir(tmp_path / "real") == [] and cache.offline.calls == []
        os.lchown(tmp_path / theirs, 0, 0)  # the superuser's links are as trusted as the system
        assert cache.op._materialise(src).startswith(root.rstrip("/"))

    @pytest.mark.parametrize("case", ["HOME that does not exist", "HOME not set, no home in the user database",
                                      "HOME relative", "dangling link of its own", "component of 300 bytes",
                                      "file on the way"])
    def test_a_root_that_cannot_be_prepared_is_refused_naming_the_setting_the_path_and_the_reason(
        self, cache, tmp_path, monkeypatch, case
    ):
        src = avatar_file(tmp_path / "a.imx")
        if case.startswith("HOME"):
            monkeypatch.delenv("QUORVANE_CACHE_DIR")
        if case == "HOME that does not exist":
            home = tmp_path / "nonexistent"
            monkeypatch.setenv("HOME", str(home))
            expected = (f"HOME: could not prepare the avatar cache {home}/.cache/quorvane: [Errno 2] No such file or "
                        f"directory: '{home}'")
        elif case.startswith("HOME not set"):
            import pwd

            home = tmp_path / "nonexistent"
            monkeypatch.delenv("HOME")
            real = pwd.getpwuid
            monkeypatch.setattr(pwd, "getpwuid", lambda uid: types.SimpleNamespace(pw_dir=str(home)) if uid == os.getuid()
                                else real(uid))
            expected = (f"HOME (not set: the home directory {home} of the user database): could not prepare the avatar "
                        f"cache {home}/.cache/quorvane: [Errno 2] No such file or directory: '{home}'")
        elif case == "HOME relative":
            monkeypatch.setenv("HOME", "home/me")
            expected = ("HOME must be an absolute path, since the avatar cache is ~/.cache/quorvane while "
                        "QUORVANE_CACHE_DIR is unset or empty; it is 'home/me'")
        elif case == "dangling link of its own":
            os.symlink(tmp_path / "gone", tmp_path / "link")
            monkeypatch.setenv("QUORVANE_CACHE_DIR", str(tmp_path / "link"))
            expected = (f"QUORVANE_CACHE_DIR: could not prepare the avatar cache {tmp_path / 'link'}: [Errno 2] No such "
                        f"file or directory: '{tmp_path / 'gone'}'")
        elif case == "component of 300 bytes":
            root = tmp_path / ("c" * 300) / "cache"
            monkeypatch.setenv("QUORVANE_CACHE_DIR", str(root))
            expected = (f"QUORVANE_CACHE_DIR: could not prepare the avatar cache {root}: [Errno 36] File name too long: "
                        f"'{tmp_path / ('c' * 300)}'")
        else:
            (tmp_path / "plain").write_text("")
            monkeypatch.setenv("QUORVANE_CACHE_DIR", str(tmp_path / "plain" / "cache"))
            expected = (f"QUORVANE_CACHE_DIR: could not prepare the avatar cache {tmp_path / 'plain' / 'cache'}: "
                        f"[Errno 20] Not a directory: '{tmp_path / 'plain'}'")
        before = sorted(os.listdir(tmp_path))
        with pytest.raises(cache.errors.Failed) as e:
            cache.op._materialise(src)
        assert str(e.value) == expected
        assert sorted(os.listdir(tmp_path)) == before and cache.offline.calls == []


class TestFailures:
    def test_a_missing_source_raises_its_own_error(self, cache, tmp_path):
        with pytest.raises(FileNotFoundError):
            cache.op._materialise(str(tmp_path / "gone.imx"))
        assert cache.errors.refused == [] and not cache.root.exists()

    def test_a_key_error_of_the_os_is_refused_as_failed(self, cache, tmp_path, monkeypatch):
        src = avatar_file(tmp_path / "a.imx")
        boom = PermissionError(errno.EACCES, "denied", src)

        def key(*_):
            raise boom

        monkeypatch.setattr(cache.op, "_content_key", key)
        with pytest.raises(cache.errors.Failed) as e:
            cache.op._materialise(src)
        assert assert_refused(e, cache.errors, cache.errors.Failed, PREPARE, PermissionError) is boom

    def test_other_key_errors_propagate(self, cache, tmp_path, monkeypatch):
        src = avatar_file(tmp_path / "a.imx")
        monkeypatch.setattr(cache.op, "_content_key", lambda *_: 1 / 0)
        with pytest.raises(ZeroDivisionError):
            cache.op._materialise(src)
        assert cache.errors.refused == []

    @pytest.mark.parametrize("module", [None, types.ModuleType("quorvane._offline")])
    def test_a_missing_unpacker_propagates_before_any_temporary_directory(self, cache, tmp_path, monkeypatch, module):
        src = avatar_file(tmp_path / "a.imx")
        monkeypatch.setitem(sys.modules, "quorvane._offline", module)
        with pytest.raises(ImportError) as e:
            cache.op._materialise(src)
        if module is not None:
            assert str(e.value).startswith("cannot import name 'unfold_imx' from 'quorvane._offline'")
        assert names(cache.avatars) == [".idx"] and cache.errors.refused == []

    def test_an_unpacker_that_rejects_the_file_gives_invalid_avatar(self, cache, tmp_path):
        # The unpacker reads the descriptor that was hashed, by a name of its own; what it says
        # of that name must tell of the user's file.
        src = avatar_file(tmp_path / "a.imx")
        reason = ValueError("not an avatar")

        def reject(source, tmp):
            write_bundle(tmp)
            reason.args = (f"not an .imx container: {source}",)
            raise reason

        cache.offline.behaviour = reject
        with pytest.raises(cache.errors.InvalidAvatar) as e:
            cache.op._materialise(src)
        assert assert_refused(e, cache.errors, cache.errors.InvalidAvatar, UNUSABLE, ValueError) is reason
        assert str(reason) == f"not an .imx container: {src}"
        assert names(cache.avatars) == [".idx"] and cache.sweeps == [] and cache.op._HELD == {}

    def test_an_unpacker_os_error_gives_failed(self, cache, tmp_path):
        src = avatar_file(tmp_path / "a.imx")
        reason = OSError(errno.ENOSPC, "No space left on device")

        def full(source, tmp):
            (open(os.path.join(tmp, "partial"), "wb")).close()
            reason.filename = source
            raise reason

        cache.offline.behaviour = full
        with pytest.raises(cache.errors.Failed) as e:
            cache.op._materialise(src)
        assert assert_refused(e, cache.errors, cache.errors.Failed, PREPARE, OSError) is reason
        assert reason.filename == str(src)
        assert names(cache.avatars) == [".idx"]

    def test_a_bundle_without_manifest_is_never_published(self, cache, tmp_path):
        src = avatar_file(tmp_path / "a.imx")
        cache.offline.behaviour = lambda source, tmp: open(os.path.join(tmp, "model.bin"), "wb").close()
        with pytest.raises(cache.errors.InvalidAvatar) as e:
            cache.op._materialise(src)
        detail = assert_refused(e, cache.errors, cache.errors.InvalidAvatar, UNUSABLE, ValueError)
        assert "manifest.json" in str(detail)
        assert names(cache.avatars) == [".idx"]

    def test_an_interrupt_while_unpacking_leaves_no_temporary_directory(self, cache, tmp_path):
        src = avatar_file(tmp_path / "a.imx")

        def interrupted(source, tmp):
            write_bundle(tmp)
            raise KeyboardInterrupt

        cache.offline.behaviour = interrupted
        with pytest.raises(KeyboardInterrupt):
            cache.op._materialise(src)
        assert names(cache.avatars) == [".idx"] and cache.errors.refused == []

    @pytest.mark.parametrize("breakage", ["no manifest", "truncated manifest", "manifest no object"])
    def test_an_entry_without_a_readable_manifest_is_unpacked_again(self, cache, tmp_path, breakage):
        src = avatar_file(tmp_path / "a.imx")
        dest = entry_of(cache, src)
        os.makedirs(os.path.join(dest, "half"))
        write_bundle(dest, b"stale")
        manifest = os.path.join(dest, "manifest.json")
        if breakage == "no manifest":
            os.remove(manifest)
        else:
            with open(manifest, "w") as f:
                f.write('{"engine": "fa' if breakage == "truncated manifest" else "[]")
        assert cache.op._materialise(src) == dest
        assert cache.op._materialise(src) == dest  # healed: a hit
        assert len(cache.offline.calls) == 1 and cache.errors.refused == []
        with open(manifest) as f:
            assert names(dest) == [KEY_RECORD, "manifest.json", "model.bin"] and json.load(f) == {"engine": "fake"}
        assert names(cache.avatars) == [".idx", os.path.basename(dest)] and list(cache.op._HELD) == [dest]
        assert os.fstat(cache.op._HELD[dest]).st_ino == os.stat(manifest).st_ino

    def test_an_evicted_entry_unpacked_again_is_held_by_its_new_manifest(self, cache, tmp_path):
        src = avatar_file(tmp_path / "a.imx")
        dest = cache.op._materialise(src)
        fds = len(os.listdir("/proc/self/fd"))
        shutil.rmtree(dest)  # a sweep of another process, in the moment before this one locked it
        assert cache.op._materialise(src) == dest and len(cache.offline.calls) == 2
        assert os.fstat(cache.op._HELD[dest]).st_ino == os.stat(os.path.join(dest, "manifest.json")).st_ino
        assert cache.op._in_use(dest, 0.0) is True
        assert len(os.listdir("/proc/self/fd")) == fds  # the lock on the removed manifest was let go

    def test_losing_the_race_adopts_the_winners_entry_without_a_sweep(self, cache, tmp_path):
        src = avatar_file(tmp_path / "a.imx")
        dest = entry_of(cache, src)

        def beaten(source, tmp):
            write_bundle(tmp)
            publish(dest, b"the winner's")

        cache.offline.behaviour = beaten
        assert cache.op._materialise(src) == dest
        assert names(cache.avatars) == [".idx", os.path.basename(dest)]
        with open(os.path.join(dest, "model.bin"), "rb") as f:
            assert f.read() == b"the winner's"
        assert list(cache.op._HELD) == [dest]
        assert cache.sweeps == [] and cache.op._SWEPT is False and cache.errors.refused == []


class TestTrust:
    """What this user's cache holds is used only while nothing in it can have been moved or
    written by anyone else: an entry holds the record of its own key, memos name the file they
    were made for, and all of it is this user's and closed to others."""

    @pytest.fixture
    def two(self, cache, tmp_path):
        a = avatar_file(tmp_path / "a.imx", seed=1)
        b = avatar_file(tmp_path / "b.imx", seed=2)
        cache.offline.behaviour = lambda source, tmp: write_bundle(tmp, pathlib.Path(source).read_bytes())
        return types.SimpleNamespace(a=a, b=b, dest_a=cache.op._materialise(a), dest_b=cache.op._materialise(b))

    @pytest.mark.parametrize(
        "done",
        ["B's entry renamed to A's key", "B's memo renamed over A's", "another user's manifest in A's entry",
         "A's manifest writable by others", "A's entry writable by others", "A's key record removed",
         "A's key record another user's"],
    )
    def test_what_others_may_have_moved_or_written_is_set_aside_and_unpacked_afresh(self, cache, two, done):
        # As others could, while an older layout left the cache open to them.
        idx = os.path.join(cache.avatars, ".idx")
        manifest, record = os.path.join(two.dest_a, "manifest.json"), os.path.join(two.dest_a, KEY_RECORD)
        if done == "B's entry renamed to A's key":
            shutil.rmtree(two.dest_a)
            os.rename(two.dest_b, two.dest_a)
        elif done == "B's memo renamed over A's":
            os.rename(os.path.join(idx, ref.memo_name(two.b, os.stat(two.b))),
                      os.path.join(idx, ref.memo_name(two.a, os.stat(two.a))))
        elif done == "another user's manifest in A's entry":
            os.remove(manifest)
            with open(manifest, "w") as f:
                f.write('{"engine": "theirs"}')
            os.chown(manifest, NOBODY, NOBODY)
        elif done == "A's manifest writable by others":
            os.chmod(manifest, 0o666)
        elif done == "A's entry writable by others":
            os.chmod(two.dest_a, 0o777)
        elif done == "A's key record removed":
            os.remove(record)
        else:
            os.chown(record, NOBODY, NOBODY)
        assert cache.op._materialise(two.a) == two.dest_a
        with open(os.path.join(two.dest_a, "model.bin"), "rb") as f:
            assert f.read() == pathlib.Path(two.a).read_bytes()
        with open(manifest) as f:
            assert json.load(f) == {"engine": "fake"}
        assert names(two.dest_a) == [KEY_RECORD, "manifest.json", "model.bin"]
        for p in (two.dest_a, manifest, record):
            st_ = os.stat(p)
            assert st_.st_uid == os.geteuid() and st_.st_mode & 0o022 == 0, p
        assert len(cache.offline.calls) == (2 if done == "B's memo renamed over A's" else 3)
        assert names(cache.avatars) == sorted([".idx", os.path.basename(two.dest_a)] +
                                              ([os.path.basename(two.dest_b)] if "renamed to" not in done else []))

    def test_a_manifest_left_open_by_the_unpacker_is_closed_when_published(self, cache, tmp_path):
        src = avatar_file(tmp_path / "a.imx")
        old = os.umask(0o002)
        try:
            dest = cache.op._materialise(src)
        finally:
            os.umask(old)
        assert os.stat(os.path.join(dest, "manifest.json")).st_mode & 0o022 == 0
        assert cache.op._materialise(src) == dest and len(cache.offline.calls) == 1


class TestHold:
    @pytest.fixture
    def entry(self, tmp_path):
        dest = tmp_path / "sha256-entry"
        dest.mkdir()
        write_bundle(dest)
        os.utime(dest, (1000, 1000))
        return str(dest)

    def test_a_lock_is_taken_once_and_the_stamp_always_refreshed(self, op, entry):
        op._hold(entry)
        fd = op._HELD[entry]
        os.utime(entry, (1000, 1000))
        op._hold(entry)
        assert op._HELD == {entry: fd} and os.stat(entry).st_mtime > 1000
        assert op._in_use(entry, 0.0) is True  # the lock lives on in the descriptor

    def test_a_refused_lock_is_closed_and_tried_again_later(self, op, entry):
        with LockHolder(os.path.join(entry, "manifest.json"), exclusive=True):
            fds_before = set(os.listdir("/proc/self/fd"))
            op._hold(entry)
            assert op._HELD == {} and set(os.listdir("/proc/self/fd")) == fds_before
            assert os.stat(entry).st_mtime > 1000
        op._hold(entry)
        assert list(op._HELD) == [entry]

    @pytest.mark.parametrize("manifest", [False, True])
    def test_missing_pieces_are_ignored(self, op, tmp_path, manifest):
        dest = tmp_path / "sha256-x"
        if manifest:
            dest.mkdir()  # an entry without its manifest
        op._hold(str(dest))
        assert op._HELD == {}

    def test_without_locking_only_the_stamp_is_set(self, op, entry, monkeypatch):
        monkeypatch.setattr(op, "_fcntl", None)
        op._hold(entry)
        assert op._HELD == {} and os.stat(entry).st_mtime > 1000

    def test_a_replaced_locking_module_is_called(self, op, entry, monkeypatch):
        calls = []
        fake = types.SimpleNamespace(LOCK_SH=fcntl.LOCK_SH, LOCK_NB=fcntl.LOCK_NB, LOCK_EX=fcntl.LOCK_EX)
        fake.flock = lambda fd, how: calls.append((os.fstat(fd).st_ino, how))
        monkeypatch.setattr(op, "_fcntl", fake)
        op._hold(entry)
        ino = os.stat(os.path.join(entry, "manifest.json")).st_ino
        assert calls == [(ino, fcntl.LOCK_SH | fcntl.LOCK_NB)] and list(op._HELD) == [entry]

        def refuse(fd, how):
            raise BlockingIOError(errno.EWOULDBLOCK, "busy")

        fake.flock = refuse
        op._HELD.clear()
        op._hold(entry)
        assert op._HELD == {}


RACER = textwrap.dedent(
    """
    import json, os, sys, time, types

    root, src, gate = sys.argv[1:4]
    errors = types.ModuleType("quorvane._errors")
    class AvatarError(Exception):
        pass
    def refuse(cls, message, detail):
        return cls(f"{message}: {detail!r}")
    errors.AvatarError = errors.Failed = errors.InvalidAvatar = AvatarError
    errors.refuse = refuse
    offline = types.ModuleType("quorvane._offline")
    def unfold_imx(source, tmp):
        # Both processes are inside their unpack before either publishes.
        open(os.path.join(gate, str(os.getpid())), "w").close()
        deadline = time.monotonic() + 20
        while len(os.listdir(gate)) < 2:
            if time.monotonic() > deadline:
                raise RuntimeError("the other process never came")
            time.sleep(0.005)
        with open(os.path.join(tmp, "manifest.json"), "w") as f:
            f.write("{}")
        with open(os.path.join(tmp, "model.bin"), "wb") as f:
            f.write(str(os.getpid()).encode())
    offline.unfold_imx = unfold_imx
    sys.modules["quorvane._errors"] = errors
    sys.modules["quorvane._offline"] = offline
    os.environ["QUORVANE_CACHE_DIR"] = root
    import quorvane._open as op
    dest = op._materialise(src)
    print(json.dumps({"dest": dest, "held": list(op._HELD)}), flush=True)
    sys.stdin.read()
    """
)


def flock_readers(path):
    """Process ids holding shared flock locks on `path`, from /proc/locks."""
    st_ = os.stat(path)
    tag = f"{os.major(st_.st_dev):02x}:{os.minor(st_.st_dev):02x}:{st_.st_ino}"
    pids = set()
    with open("/proc/locks") as f:
        for line in f:
            parts = line.split()
            if "->" in parts:
                parts.remove("->")
            if parts[1] == "FLOCK" and parts[3] == "READ" and parts[5] == tag:
                pids.add(int(parts[4]))
    return pids


def test_two_processes_materialising_one_new_avatar(op, tmp_path):
    src = avatar_file(tmp_path / "a.imx", 5000)
    gate = tmp_path / "gate"
    gate.mkdir()
    root = tmp_path / "root"
    procs = [
        subprocess.Popen(
            [sys.executable, "-c", RACER, str(root), src, str(gate)],
            stdin=subprocess.PIPE,
            stdout=subprocess.PIPE,
            stderr=subprocess.PIPE,
            text=True,
        )
        for _ in range(2)
    ]
    try:
        reports = [json.loads(p.stdout.readline() or "null") for p in procs]
        avatars = root / "avatars"
        dest = str(avatars / ref.content_key(src))
        assert reports == [{"dest": dest, "held": [dest]}] * 2
        assert names(avatars) == [".idx", os.path.basename(dest)]
        assert flock_readers(os.path.join(dest, "manifest.json")) == {p.pid for p in procs}
        assert op._in_use(dest, 0.0) is True
    finally:
        outs = [p.communicate(timeout=30) for p in procs]
    assert [p.returncode for p in procs] == [0, 0] and [err for _, err in outs] == ["", ""]
    assert op._in_use(dest, 0.0) is False


@pytest.mark.parametrize("where", ["memo", "manifest of another entry", "manifest of its own entry"])
def test_a_fifo_in_the_cache_never_makes_an_open_wait(tmp_path, where):
    src = avatar_file(tmp_path / "a.imx")
    avatars = tmp_path / "root" / "avatars"
    (avatars / ".idx").mkdir(parents=True)
    dest = avatars / ref.content_key(src)
    if where == "memo":
        os.mkfifo(avatars / ".idx" / ref.memo_name(src, os.stat(src)))
    else:
        entry = dest if where.endswith("its own entry") else avatars / ("sha256-" + "0" * 32)
        entry.mkdir()
        os.mkfifo(entry / "manifest.json")
        os.utime(entry, (1000, 1000))  # idle long enough for a sweep to probe it
    out = run_child({"source": src}, {"QUORVANE_CACHE_DIR": str(tmp_path / "root"), "QUORVANE_AVATAR_CACHE_GB": "0"})
    assert out == {"dest": str(dest)} and (dest / "manifest.json").is_file()


class TestRaces:
    """Seeded timings, repeated within a bounded time."""

    def test_threads_of_one_process_opening_one_new_avatar_share_one_complete_entry(self, op, fakes, tmp_path,
                                                                                   monkeypatch):
        src = avatar_file(tmp_path / "a.imx")
        payload = bytes(range(256)) * 64
        monkeypatch.setattr(op, "_sweep", lambda avatars, keep: None)

        def unfold(source, tmp):  # in pieces, letting the other threads run between them
            with open(os.path.join(tmp, "model.bin"), "wb") as f:
                for i in range(0, len(payload), 2048):
                    f.write(payload[i : i + 2048])
                    f.flush()
                    time.sleep(rng.random() * 0.002)
            with open(os.path.join(tmp, "manifest.json"), "w") as f:
                f.write("{}")

        fakes.offline.behaviour = unfold
        deadline = time.monotonic() + 4.0
        for seed in range(12):
            rng = random.Random(seed)
            monkeypatch.setenv("QUORVANE_CACHE_DIR", str(tmp_path / f"root{seed}"))
            got = []

            def open_it(delay):
                time.sleep(delay)
                try:
                    dest = op._materialise(src)
                    with open(os.path.join(dest, "model.bin"), "rb") as f:  # complete when handed out
                        got.append((dest, f.read() == payload))
                except Exception as e:  # noqa: BLE001 - recorded for the assertion
                    got.append(e)

            threads = [threading.Thread(target=open_it, args=(rng.random() * 0.004,)) for _ in range(3)]
            for t in threads:
                t.start()
            for t in threads:
                t.join(30)
            avatars = str(tmp_path / f"root{seed}" / "avatars")
            dest = os.path.join(avatars, ref.content_key(src))
            assert got == [(dest, True)] * 3, f"seed {seed}"
            assert names(avatars) == [".idx", os.path.basename(dest)]
            if time.monotonic() > deadline:
                break

    @pytest.mark.parametrize("change", ["renamed over", "written in place, times put back", "changed at every read"])
    def test_a_file_changed_while_it_is_opened_is_read_again_never_published_under_anothers_key(
        self, cache, tmp_path, change
    ):
        src = avatar_file(tmp_path / "current.imx", 5000, seed=1)
        original = (tmp_path / "current.imx").read_bytes()
        other = avatar_file(tmp_path / "next.imx", 5000, seed=2)
        release2 = (tmp_path / "next.imx").read_bytes()
        copy = tmp_path / "kept.imx"
        copy.write_bytes(original)
        st0 = os.stat(src)

        def unfold(source, tmp):
            # The file is changed at the moment the unpacker opens it: a deploy that swaps the
            # avatar by rename, or a writer rewriting it where it lies with its size and times
            # put back (rsync --inplace -t, cp -p).
            if change == "renamed over" and len(cache.offline.calls) == 1:
                os.replace(other, src)
            elif change != "renamed over" and (len(cache.offline.calls) == 1 or change == "changed at every read"):
                time.sleep(0.01)  # a change time of its own, on a clock of coarse ticks
                with open(src, "r+b") as f:
                    f.write(release2 if len(cache.offline.calls) % 2 else original)
                os.utime(src, ns=(st0.st_atime_ns, st0.st_mtime_ns))
            with open(source, "rb") as f:
                write_bundle(tmp, f.read())

        cache.offline.behaviour = unfold
        if change == "changed at every read":
            with pytest.raises(cache.errors.Failed) as e:
                cache.op._materialise(src)
            assert e.value.args == (PREPARE,) and names(cache.avatars) == [".idx"]
            assert len(cache.offline.calls) == 3
            return
        dest = cache.op._materialise(src)
        assert dest == os.path.join(cache.avatars, "sha256-" + hashlib.sha256(release2).hexdigest()[:32])
        with open(os.path.join(dest, "model.bin"), "rb") as f:
            assert f.read() == release2
        assert names(cache.avatars) == [".idx", os.path.basename(dest)]
        kept = cache.op._materialise(str(copy))
        assert kept == entry_of(cache, str(copy)) != dest
        with open(os.path.join(kept, "model.bin"), "rb") as f:
            assert f.read() == original

    def test_an_open_whose_rename_meets_a_sweep_removing_the_entry_gets_it(self, cache, tmp_path):
        src = avatar_file(tmp_path / "a.imx")
        dest = entry_of(cache, src)
        deadline = time.monotonic() + 4.0
        for seed in range(20):
            rng = random.Random(seed)
            removers = []

            def unfold(source, tmp):
                write_bundle(tmp)
                if len(cache.offline.calls) > 1:
                    return
                # Meanwhile another process published the entry and a sweep has begun removing
                # it, manifest first, through a descriptor of the directory as the sweep does.
                os.makedirs(dest)
                for i in range(30):
                    open(os.path.join(dest, f"m{i:02}"), "wb").close()
                dir_fd = os.open(dest, os.O_RDONLY | os.O_DIRECTORY)

                def remove():
                    for name in sorted(os.listdir(dir_fd)):
                        time.sleep(rng.random() * 0.001)
                        try:
                            os.unlink(name, dir_fd=dir_fd)
                        except OSError:
                            pass
                    os.close(dir_fd)
                    try:
                        os.rmdir(dest)
                    except OSError:
                        pass

                removers.append(threading.Thread(target=remove))
                removers[-1].start()

            cache.offline.behaviour = unfold
            cache.offline.calls.clear()
            try:
                assert cache.op._materialise(src) == dest, f"seed {seed}"
            finally:
                for t in removers:
                    t.join(30)
            assert names(dest) == [KEY_RECORD, "manifest.json", "model.bin"] and cache.errors.refused == []
            assert names(cache.avatars) == [".idx", os.path.basename(dest)]
            shutil.rmtree(dest)
            if time.monotonic() > deadline:
                break


class TestOtherUsers:
    """The cache used as NOBODY (through setpriv) where another user (OTHER) has been before it:
    what that user left can neither be rendered, nor written through, nor destroyed."""

    @pytest.fixture
    def setting(self, users):
        """NOBODY's avatar under `users`, and `shared(mode, owner)` making a cache root there."""
        mine = users / "victim"
        mine.mkdir()
        src = avatar_file(mine / "a.imx", 3000, seed=11)
        chown_tree(mine, NOBODY)

        def shared(name, mode, owner=0):
            root = users / name
            root.mkdir()
            os.chown(root, owner, owner)
            os.chmod(root, mode)
            return root

        return types.SimpleNamespace(top=users, mine=mine, src=src, shared=shared)

    @staticmethod
    def made_by_other(path, mode):
        path.mkdir()
        os.chown(path, OTHER, NOBODY)
        os.chmod(path, mode)
        return path

    def test_a_memo_planted_in_a_shared_root_never_makes_it_render_anothers_avatar(self, setting):
        root = setting.shared("shared", 0o1777)  # like /tmp: where another made avatars/ first
        avatars = self.made_by_other(root / "avatars", 0o777)
        idx = self.made_by_other(avatars / ".idx", 0o777)
        theirs = "f" * 32
        entry = avatars / f"sha256-{theirs}"
        entry.mkdir()
        write_bundle(entry, b"the other user's avatar")
        # From a mere stat of the victim's file.
        (idx / ref.memo_name(setting.src, os.stat(setting.src))).write_text(theirs)
        chown_tree(avatars, OTHER, NOBODY)
        before = snapshot(root)
        out = run_as_nobody(setting.top, {"source": setting.src}, {"QUORVANE_CACHE_DIR": str(root)})
        assert out.get("dest") != str(entry) and snapshot(root) == before
        assert out["error"] == "Failed" and out["message"].startswith(f"QUORVANE_CACHE_DIR: the avatar cache {root} ")

    def test_a_link_at_a_memos_name_in_a_shared_root_never_overwrites_a_file(self, setting):
        root = setting.shared("shared", 0o1777)
        avatars = self.made_by_other(root / "avatars", 0o777)
        idx = self.made_by_other(avatars / ".idx", 0o777)
        notes = setting.mine / "notes.txt"
        notes.write_text("my own notes")
        os.chown(notes, NOBODY, NOBODY)
        memo = ref.memo_name(setting.src, os.stat(setting.src))
        with Nobody(setting.top, {"source": setting.src, "wait": True}, {"QUORVANE_CACHE_DIR": str(root)}) as child:
            pid = int(child.line())
            link = idx / f"{memo}.{pid}"  # where the memo used to be written
            os.symlink(notes, link)
            os.lchown(link, OTHER, NOBODY)
            child.go()
            out = child.result()
        assert notes.read_text() == "my own notes"
        assert out["error"] == "Failed" and "QUORVANE_CACHE_DIR" in out["message"]

    def test_a_link_at_the_unpack_directorys_name_never_unpacks_into_anothers_directory(self, setting):
        root = setting.shared("shared", 0o1777)
        avatars = self.made_by_other(root / "avatars", 0o1777)
        drop = self.made_by_other(setting.top / "drop", 0o777)
        key = ref.content_key(setting.src)
        with Nobody(setting.top, {"source": setting.src, "wait": True}, {"QUORVANE_CACHE_DIR": str(root)}) as child:
            pid = int(child.line())
            link = avatars / f"{key}.tmp.{pid}"  # where the unpack used to go
            os.symlink(drop, link)
            os.lchown(link, OTHER, NOBODY)
            child.go()
            out = child.result()
        assert os.listdir(drop) == [] and not os.path.exists(avatars / key)
        assert out["error"] == "Failed" and "QUORVANE_CACHE_DIR" in out["message"]

    def test_an_entry_another_user_left_while_the_root_was_open_is_never_rendered(self, setting):
        # NOBODY's own root, once open to everyone: OTHER put an entry under the key of NOBODY's
        # avatar (a published avatar's key is known to all), then NOBODY did the chmod the
        # refusal names.
        root = setting.top / "mine"
        avatars = root / "avatars"
        entry = avatars / ref.content_key(setting.src)
        entry.mkdir(parents=True)
        write_bundle(entry, b"the other user's avatar")
        chown_tree(entry, OTHER, OTHER)
        os.chmod(entry, 0o777)  # and OTHER may change it at any time still
        for d in (root, avatars):
            os.chown(d, NOBODY, NOBODY)
            os.chmod(d, 0o777)
        env = {"QUORVANE_CACHE_DIR": str(root)}
        assert "chmod 700" in run_as_nobody(setting.top, {"source": setting.src}, env)["message"]
        for d in (root, avatars):
            os.chmod(d, 0o700)
        before = snapshot(entry)
        out = run_as_nobody(setting.top, {"source": setting.src}, env)
        assert out.get("dest") != str(entry) and snapshot(entry) == before
        assert out["error"] == "Failed" and out["message"].startswith(
            f"QUORVANE_CACHE_DIR: the avatar cache {entry} belongs to another user (uid {OTHER})")
        # The superuser's entry (a root-run open() that kept this user's HOME) is as trusted as
        # the system is.
        (entry / KEY_RECORD).write_text(entry.name)
        os.chmod(entry / "manifest.json", 0o644)
        chown_tree(entry, 0, 0)
        os.chmod(entry, 0o755)
        assert run_as_nobody(setting.top, {"source": setting.src}, env).get("dest") == str(entry)

    @pytest.mark.parametrize("done", ["renamed B's entry to A's key", "renamed B's memo over A's",
                                      "wrote its own manifest into A's entry"])
    @pytest.mark.parametrize("opened", [0o777, 0o770], ids=["open to all", "group-writable"])
    def test_what_another_user_did_while_the_root_was_open_is_never_used(self, setting, done, opened):
        # NOBODY's own cache, open to others as an older layout left it (entries too), with
        # OTHER in its group. OTHER acts; NOBODY is refused and fixes the modes as told before.
        root = setting.top / "mine"
        root.mkdir()
        b = avatar_file(setting.mine / "b.imx", 3000, seed=12)
        chown_tree(setting.mine, NOBODY)
        chown_tree(root, NOBODY)
        env = {"QUORVANE_CACHE_DIR": str(root)}
        job = {"unpack_source": True}
        dest_a = run_as_nobody(setting.top, {**job, "source": setting.src}, env)["dest"]
        dest_b = run_as_nobody(setting.top, {**job, "source": b}, env)["dest"]
        avatars, idx = root / "avatars", root / "avatars" / ".idx"
        for d in (root, avatars, idx, pathlib.Path(dest_a), pathlib.Path(dest_b)):
            os.chmod(d, opened)
        # What OTHER does, as OTHER (in NOBODY's group).
        if done.startswith("renamed B's entry"):
            act = f"import os, shutil; os.rename({dest_a!r}, {dest_a + '.gone'!r}); os.rename({dest_b!r}, {dest_a!r})"
        elif done.startswith("renamed B's memo"):
            act = (f"import os; os.rename({str(idx / ref.memo_name(b, os.stat(b)))!r}, "
                   f"{str(idx / ref.memo_name(setting.src, os.stat(setting.src)))!r})")
        else:
            m = os.path.join(dest_a, "manifest.json")
            act = f"import os; os.rename({m!r}, {m + '.old'!r}); open({m!r}, 'w').write('{{\"engine\": \"theirs\"}}')"
        as_other = [shutil.which("setpriv"), "--reuid", str(OTHER), "--regid", str(NOBODY), "--clear-groups"]
        subprocess.run([*as_other, sys.executable, "-c", act], check=True, timeout=60)
        out = run_as_nobody(setting.top, {**job, "source": setting.src}, env)
        assert out["error"] == "Failed" and out["message"].endswith(
            f"chmod 700 {root} && rm -rf {avatars} (the avatars are unpacked again)")
        for d in (root, avatars):  # the chmod alone, as the refusal used to advise
            os.chmod(d, 0o700)
        out = run_as_nobody(setting.top, {**job, "source": setting.src}, env)
        assert out.get("dest") == dest_a
        assert pathlib.Path(dest_a, "model.bin").read_bytes() == pathlib.Path(setting.src).read_bytes()
        assert json.loads(pathlib.Path(dest_a, "manifest.json").read_text()) == {"engine": "fake"}

    def test_another_users_entry_it_cannot_read_is_never_taken_for_broken(self, setting):
        # A group-shared cache (setgid, group NOBODY's): OTHER's entry of the same content, made
        # under umask 077, in use by OTHER.
        root = self.made_by_other(setting.top / "group", 0o2770)
        avatars = self.made_by_other(root / "avatars", 0o2770)
        entry = self.made_by_other(avatars / ref.content_key(setting.src), 0o2770)
        write_bundle(entry)
        chown_tree(entry, OTHER, NOBODY)
        os.chmod(entry / "manifest.json", 0o600)
        before = snapshot(root)
        with LockHolder(entry / "manifest.json"):
            out = run_as_nobody(setting.top, {"source": setting.src}, {"QUORVANE_CACHE_DIR": str(root)})
        assert snapshot(root) == before
        assert out["error"] == "Failed" and "belongs to another user" in out["message"]

    @pytest.mark.parametrize("case", ["HOME not set", "HOME that does not exist", "parent it cannot write"])
    def test_a_root_it_cannot_make_is_refused_naming_the_setting_the_path_and_the_reason(self, setting, case):
        # NOBODY's home in the user database is /nonexistent, as service accounts have.
        if case == "parent it cannot write":
            env, root, at = {"QUORVANE_CACHE_DIR": str(setting.top / "cache")}, setting.top / "cache", setting.top / "cache"
            expected = f"QUORVANE_CACHE_DIR: could not prepare the avatar cache {root}: [Errno 13] Permission denied: '{at}'"
        else:
            home = "/nonexistent" if case == "HOME not set" else str(setting.top / "gone")
            env = {"QUORVANE_CACHE_DIR": None, "HOME": None if case == "HOME not set" else home}
            setting_name = (f"HOME (not set: the home directory {home} of the user database)" if case == "HOME not set"
                            else "HOME")
            expected = (f"{setting_name}: could not prepare the avatar cache {home}/.cache/quorvane: [Errno 2] No "
                        f"such file or directory: '{home}'")
        before = sorted(os.listdir(setting.top))
        out = run_as_nobody(setting.top, {"source": setting.src}, env)
        assert out["error"] == "Failed" and out["message"] == expected
        assert sorted(set(os.listdir(setting.top)) - {"home-nobody"}) == before and not os.path.exists("/nonexistent")

    def test_an_entry_of_its_own_it_cannot_read_is_left_in_place(self, setting):
        # NOBODY's own cache, where one entry's manifest lost its read permission.
        avatars = setting.top / "home-nobody" / ".cache" / "quorvane" / "avatars"
        entry = avatars / ref.content_key(setting.src)
        entry.mkdir(parents=True)
        write_bundle(entry)
        os.chmod(entry / "manifest.json", 0)
        for d in (setting.top / "home-nobody", *[p for p in entry.parents if setting.top / "home-nobody" in p.parents]):
            os.chmod(d, 0o700)
        chown_tree(setting.top / "home-nobody", NOBODY)
        before = snapshot(entry)
        out = run_as_nobody(setting.top, {"source": setting.src}, {"QUORVANE_CACHE_DIR": None})
        assert snapshot(entry) == before
        assert out.get("error") == "Failed" and out["message"] == PREPARE and "PermissionError" in out["detail"]
