"""Content keys, their memo, the cache cap and the cache root of the avatar cache, held against
plain hashlib / float() transcriptions."""

import hashlib
import os
import pwd
import signal
import sys
import threading
import time
import types

import numpy as np

import pytest
from hypothesis import given, settings, strategies as st

from cache_fakes import avatar_file, op  # noqa: F401  (fixture)
from reference import cache as ref

BLOCK = ref.BLOCK


def memo_path(avatars, source, st_):
    return os.path.join(avatars, ".idx", ref.memo_name(source, st_))


class TestContentKey:
    @pytest.mark.parametrize("size", [0, 1, BLOCK - 1, BLOCK, BLOCK + 1, 2 * BLOCK + 3])
    def test_key_is_the_content_digest_and_the_memo_is_stored(self, op, tmp_path, size):
        src = avatar_file(tmp_path / "a.imx", size, seed=size)
        avatars = str(tmp_path / "avatars")
        st_ = os.stat(src)
        key = op._content_key(src, st_, avatars)
        assert key == ref.content_key(src)
        with open(memo_path(avatars, src, st_), "rb") as f:
            assert f.read() == ref.memo_text(key[len("sha256-"):], src, st_).encode()
        assert os.listdir(os.path.join(avatars, ".idx")) == [ref.memo_name(src, st_)]

    def test_a_valid_memo_spares_the_hashing_and_is_never_checked(self, op, tmp_path):
        src = avatar_file(tmp_path / "a.imx")
        avatars = str(tmp_path / "avatars")
        st_ = os.stat(src)
        os.makedirs(os.path.join(avatars, ".idx"))
        with open(memo_path(avatars, src, st_), "w") as f:
            f.write(ref.memo_text("0123456789abcdef" * 2, src, st_))
        assert op._content_key(src, st_, avatars) == "sha256-" + "0123456789abcdef" * 2

    @pytest.mark.parametrize("change", ["rewritten in place, times put back", "another device"])
    def test_a_memo_holds_only_for_the_very_same_file_unchanged(self, op, tmp_path, change):
        # Release 2 of an avatar, of release 1's size, written where release 1 lay with its
        # modification time put back (rsync --inplace -t, cp -p): same path, size, mtime and
        # inode; only the change time tells. And one file system's inode on another device.
        src = avatar_file(tmp_path / "a.imx", 5000, seed=1)
        avatars = str(tmp_path / "avatars")
        st_ = os.stat(src)
        assert op._content_key(src, st_, avatars) == ref.content_key(src)
        if change == "another device":
            now = types.SimpleNamespace(st_size=st_.st_size, st_mtime_ns=st_.st_mtime_ns, st_ino=st_.st_ino,
                                        st_dev=st_.st_dev + 1, st_ctime_ns=st_.st_ctime_ns)
        else:
            release2 = np.random.default_rng(2).integers(0, 256, 5000, dtype=np.uint8).tobytes()
            time.sleep(0.01)  # a change time of its own, on a clock of coarse ticks
            with open(src, "r+b") as f:
                f.write(release2)
            os.utime(src, ns=(st_.st_atime_ns, st_.st_mtime_ns))
            now = os.stat(src)
            assert (now.st_ino, now.st_size, now.st_mtime_ns) == (st_.st_ino, st_.st_size, st_.st_mtime_ns)
        assert op._content_key(src, now, avatars) == ref.content_key(src)
        # Hashed again, and remembered apart: the first memo is never heard for the file now.
        assert sorted(os.listdir(os.path.join(avatars, ".idx"))) == sorted({ref.memo_name(src, st_), ref.memo_name(src, now)})

    PLANTED = "fedcba9876543210" * 2

    @pytest.mark.parametrize(
        "raw",
        [
            f"{PLANTED}\n{{ID}}".encode(),
            f"{PLANTED}\n{{ID}}\n".encode(),
            f" \t{PLANTED}\n{{ID}}\r\n".encode(),
            f"\u3000{PLANTED}\n{{ID}}\u2028".encode(),
            f"\x1c{PLANTED}\n{{ID}}\x1f".encode(),
            f"{PLANTED}\n{{ID}}\0".encode(),
            f"{PLANTED.upper()}\n{{ID}}".encode(),
            f"{PLANTED}0\n{{ID}}".encode(),
            f"{PLANTED[:-1]}\n{{ID}}".encode(),
            f"{PLANTED[:16]} {PLANTED[16:]}\n{{ID}}".encode(),
            f"{PLANTED} {{ID}}".encode(),
            f"{PLANTED}\n{{ID}}0".encode(),
            f"{PLANTED}\n{'0' * 64}".encode(),  # the memo of another file, moved to this one's name
            PLANTED.encode(),  # as earlier versions wrote them: naming no identity
            b"\xff" + f"{PLANTED}\n{{ID}}".encode(),
            b"\xef\xbb\xbf" + f"{PLANTED}\n{{ID}}".encode(),
            f"\u200b{PLANTED}\n{{ID}}".encode(),
            b"",
        ],
    )
    def test_memo_content_is_trimmed_and_validated(self, op, tmp_path, raw):
        src = avatar_file(tmp_path / "a.imx", seed=3)
        avatars = str(tmp_path / "avatars")
        st_ = os.stat(src)
        os.makedirs(os.path.join(avatars, ".idx"))
        raw = raw.replace(b"{ID}", ref.identity_digest(src, st_).encode())
        with open(memo_path(avatars, src, st_), "wb") as f:
            f.write(raw)
        expected = ref.memo_digits(raw, src, st_)
        got = op._content_key(src, st_, avatars)
        if expected is not None:
            assert got == "sha256-" + expected == "sha256-" + self.PLANTED
        else:
            # Ignored: the content is hashed and the memo rewritten in lowercase.
            assert got == ref.content_key(src)
            with open(memo_path(avatars, src, st_), "rb") as f:
                assert f.read() == ref.memo_text(ref.key_digits(src), src, st_).encode()

    @pytest.mark.parametrize("planted", ["link", "another user's", "writable by others", "in an open memo directory"])
    def test_a_memo_that_others_could_have_placed_is_not_heard(self, op, tmp_path, planted):
        src = avatar_file(tmp_path / "a.imx", seed=4)
        avatars = str(tmp_path / "avatars")
        st_ = os.stat(src)
        idx = os.path.join(avatars, ".idx")
        os.makedirs(idx, mode=0o700)
        memo = memo_path(avatars, src, st_)
        text = ref.memo_text(self.PLANTED, src, st_)
        if planted == "link":
            (tmp_path / "elsewhere").write_text(text)
            os.symlink(tmp_path / "elsewhere", memo)
        else:
            with open(memo, "w") as f:
                f.write(text)
            if planted == "another user's":
                os.chown(memo, 65534, 65534)
            elif planted == "writable by others":
                os.chmod(memo, 0o622)
            else:
                os.chmod(idx, 0o777)
        assert op._content_key(src, st_, avatars) == ref.content_key(src)
        if planted == "in an open memo directory":  # nothing is stored there either
            return
        assert not os.path.islink(memo) and os.stat(memo).st_uid == os.geteuid()
        with open(memo) as f:
            assert f.read() == ref.memo_text(ref.key_digits(src), src, st_)
        assert (tmp_path / "elsewhere").read_text() == text if planted == "link" else True

    def test_a_memo_is_written_through_a_new_file_never_through_one_already_there(self, op, tmp_path):
        src = avatar_file(tmp_path / "a.imx", seed=5)
        avatars = str(tmp_path / "avatars")
        st_ = os.stat(src)
        idx = os.path.join(avatars, ".idx")
        os.makedirs(idx)
        mine = tmp_path / "notes.txt"
        mine.write_text("my own notes")
        # The name a memo of this process used to be written under, planted in advance.
        planted = memo_path(avatars, src, st_) + f".{os.getpid()}"
        os.symlink(mine, planted)
        assert op._content_key(src, st_, avatars) == ref.content_key(src)
        assert mine.read_text() == "my own notes" and os.path.islink(planted)
        assert sorted(os.listdir(idx)) == sorted([ref.memo_name(src, st_), os.path.basename(planted)])
        assert os.stat(memo_path(avatars, src, st_)).st_mode & 0o777 == 0o600

    def test_the_identity_uses_the_absolute_lexical_path_and_the_status_passed_in(
        self, op, tmp_path, monkeypatch
    ):
        src = avatar_file(tmp_path / "a.imx")
        avatars = str(tmp_path / "avatars")
        st_ = os.stat(src)
        monkeypatch.chdir(tmp_path)
        op._content_key("a.imx", st_, avatars)
        op._content_key(str(tmp_path / "x" / ".." / "." / "a.imx"), st_, avatars)
        op._content_key(src, st_, avatars)
        assert os.listdir(os.path.join(avatars, ".idx")) == [ref.memo_name(src, st_)]
        os.symlink(src, tmp_path / "link.imx")  # links are not resolved: a memo of its own
        fake = types.SimpleNamespace(st_size=-5, st_mtime_ns=-1, st_ino=2**64 - 1, st_dev=0, st_ctime_ns=-2)
        assert op._content_key("link.imx", st_, avatars) == ref.content_key(src)
        assert op._content_key(src, fake, avatars) == ref.content_key(src)
        assert sorted(os.listdir(os.path.join(avatars, ".idx"))) == sorted(
            {ref.memo_name(src, st_), ref.memo_name(str(tmp_path / "link.imx"), st_), ref.memo_name(src, fake)}
        )

    def test_a_name_that_is_not_utf8_is_keyed_by_its_bytes(self, op, tmp_path):
        src = os.fsdecode(os.path.join(os.fsencode(tmp_path), b"av\xff.imx"))
        avatar_file(src)
        avatars = str(tmp_path / "avatars")
        st_ = os.stat(src)
        assert op._content_key(src, st_, avatars) == ref.content_key(src)
        assert os.listdir(os.path.join(avatars, ".idx")) == [ref.memo_name(src, st_)]

    def test_a_memo_that_cannot_be_stored_is_skipped(self, op, tmp_path):
        src = avatar_file(tmp_path / "a.imx")
        (tmp_path / "plain").write_bytes(b"")
        avatars = str(tmp_path / "plain" / "avatars")  # under a regular file: no directory
        assert op._content_key(src, os.stat(src), avatars) == ref.content_key(src)

    def test_a_failed_memo_rename_leaves_no_temporary_file(self, op, tmp_path):
        src = avatar_file(tmp_path / "a.imx")
        avatars = str(tmp_path / "avatars")
        st_ = os.stat(src)
        memo = memo_path(avatars, src, st_)
        os.makedirs(os.path.join(memo, "occupied"))  # a directory where the memo goes
        assert op._content_key(src, st_, avatars) == ref.content_key(src)
        assert os.listdir(os.path.join(avatars, ".idx")) == [os.path.basename(memo)]

    def test_a_source_that_cannot_be_read_raises_its_oserror(self, op, tmp_path):
        st_ = os.stat(tmp_path)
        with pytest.raises(FileNotFoundError) as e:
            op._content_key(str(tmp_path / "gone.imx"), st_, str(tmp_path / "avatars"))
        assert e.value.filename == str(tmp_path / "gone.imx")
        with pytest.raises(IsADirectoryError):
            op._content_key(str(tmp_path), st_, str(tmp_path / "avatars"))

    def test_a_signal_handler_that_leaves_errno_set_does_not_end_a_blocked_open(self, op, tmp_path):
        # The source is a FIFO, so opening it blocks until the writer comes; the writer waits for
        # three ticks of the timer, each of which interrupts that open and runs a handler whose
        # failed stat leaves ENOENT in errno. The open is retried, never taken for failed.
        src = str(tmp_path / "a.imx")
        os.mkfifo(src)
        data = bytes(range(256)) * 9
        ticks = threading.Semaphore(0)

        def on_tick(signum, frame):
            os.path.exists(str(tmp_path / "gone"))
            ticks.release()

        def writer():
            for _ in range(3):
                ticks.acquire()
            with open(src, "wb") as f:
                f.write(data)

        old = signal.signal(signal.SIGALRM, on_tick)
        t = threading.Thread(target=writer, daemon=True)
        t.start()
        try:
            signal.setitimer(signal.ITIMER_REAL, 0.02, 0.02)
            key = op._content_key(src, os.stat(src), str(tmp_path / "avatars"))
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, old)
            for _ in range(3):
                ticks.release()
            # A reader that takes nothing lets the writer's open return, whatever happened above.
            fd = os.open(src, os.O_RDONLY | os.O_NONBLOCK)
            t.join(10)
            os.close(fd)
        assert key == "sha256-" + hashlib.sha256(data).hexdigest()[:32]


CAP_TABLE = [
    (None, 10_000_000_000),
    ("", 10_000_000_000),
    ("0", 0),
    ("-0", 0),
    ("1e-9", 1),
    ("0.5", 500_000_000),
    (" 2 ", 2_000_000_000),
    ("\u3000\u00a02\u2029", 2_000_000_000),
    ("\u0661\u0662", 12_000_000_000),
    ("1_0", 10_000_000_000),
    ("1e1_0", 10_000_000_000 * 10**9),
    ("+1.5E+1", 15_000_000_000),
    (".5", 500_000_000),
    ("5.", 5_000_000_000),
    ("1e-400", 0),
    ("1e290", int(1e290 * 1e9)),
    ("2.5e-10", 0),
    ("1e300", int(sys.float_info.max)),  # beyond every disk: the largest cap there is
]

# Not a finite number of gigabytes, 0 or more: what an env file or a guess at the unit leaves.
REFUSED_CAPS = ["500MB", "10GB", "ten", "abc", " ", "-1", "-2.5", "-inf", "inf", "Infinity", "-nan", "NaN",
                " nan ", "1e400", "1e300_0", "1__0", "_1", "1_", "1_.5", ".", "0x10", "1e", "\x1c1", "\x7f1",
                "1\u200b"]


class TestCap:
    @pytest.mark.parametrize("value,expected", CAP_TABLE, ids=[repr(v) for v, _ in CAP_TABLE])
    def test_cap_table(self, op, monkeypatch, value, expected):
        if value is None:
            monkeypatch.delenv("QUORVANE_AVATAR_CACHE_GB", raising=False)
        else:
            monkeypatch.setenv("QUORVANE_AVATAR_CACHE_GB", value)
        assert ref.cap_bytes(value) == expected
        got = op._cache_cap_bytes()
        assert type(got) is int and got == expected

    @pytest.mark.parametrize("value", REFUSED_CAPS)
    def test_a_cap_that_is_no_finite_number_of_gigabytes_is_refused_naming_it(self, op, monkeypatch, value):
        from quorvane._errors import Failed

        monkeypatch.setenv("QUORVANE_AVATAR_CACHE_GB", value)
        with pytest.raises(ref.Refused):
            ref.cap_bytes(value)
        with pytest.raises(Failed) as e:
            op._cache_cap_bytes()
        assert str(e.value) == (
            "QUORVANE_AVATAR_CACHE_GB must be a number of gigabytes, 0 or more (unset or empty means 10); "
            f"it is {value!r}"
        )
        assert e.value.detail == value

    def test_the_default_and_the_variable_are_read_at_each_use(self, op, monkeypatch):
        monkeypatch.setattr(op, "_DEFAULT_CACHE_GB", 0.25)
        monkeypatch.delenv("QUORVANE_AVATAR_CACHE_GB", raising=False)
        assert op._cache_cap_bytes() == 250_000_000
        monkeypatch.setenv("QUORVANE_AVATAR_CACHE_GB", "")
        assert op._cache_cap_bytes() == 250_000_000
        monkeypatch.setenv("QUORVANE_AVATAR_CACHE_GB", "3")
        assert op._cache_cap_bytes() == 3_000_000_000

    @settings(max_examples=300, deadline=None)
    @given(st.text(alphabet="0123456789_.eE+-infatyINFAN \t\n\u00a0", max_size=10))
    def test_any_text_reads_as_float_reads_it(self, text):
        import quorvane._open as op
        from quorvane._errors import Failed

        before = os.environ.get("QUORVANE_AVATAR_CACHE_GB")
        os.environ["QUORVANE_AVATAR_CACHE_GB"] = text
        try:
            try:
                want = ref.cap_bytes(text)
            except ref.Refused:
                with pytest.raises(Failed):
                    op._cache_cap_bytes()
            else:
                assert op._cache_cap_bytes() == want
        finally:
            if before is None:
                del os.environ["QUORVANE_AVATAR_CACHE_GB"]
            else:
                os.environ["QUORVANE_AVATAR_CACHE_GB"] = before


class TestCacheRoot:
    @pytest.mark.parametrize(
        "value,expected",
        [
            (None, "{home}/.cache/quorvane"),
            ("", "{home}/.cache/quorvane"),  # set but empty, as an env file leaves it
            ("~", "{home}"),
            ("~/c", "{home}/c"),
            ("~root/c", "{root}/c"),
            ("/x/~/dir/", "/x/~/dir/"),
        ],
    )
    def test_root(self, op, monkeypatch, tmp_path, value, expected):
        monkeypatch.setenv("HOME", str(tmp_path / "home"))
        if value is None:
            monkeypatch.delenv("QUORVANE_CACHE_DIR", raising=False)
        else:
            monkeypatch.setenv("QUORVANE_CACHE_DIR", value)
        root_home = pwd.getpwnam("root").pw_dir.rstrip("/")
        assert op._cache_root() == expected.format(home=tmp_path / "home", root=root_home)

    @pytest.mark.parametrize(
        "value,reason",
        [
            ("avatars", "must be an absolute path or begin with ~ (unset or empty means ~/.cache/quorvane)"),
            ("rel/~/dir/", "must be an absolute path or begin with ~ (unset or empty means ~/.cache/quorvane)"),
            (" /x ", "must be an absolute path or begin with ~ (unset or empty means ~/.cache/quorvane)"),
            ("~no-such-user-here/c", "names the home directory of a user this machine does not know"),
        ],
    )
    def test_a_root_that_is_not_an_absolute_path_is_refused_naming_the_setting(self, op, monkeypatch, value, reason):
        from quorvane._errors import Failed

        monkeypatch.setenv("QUORVANE_CACHE_DIR", value)
        with pytest.raises(Failed) as e:
            op._cache_root()
        assert str(e.value).startswith(f"QUORVANE_CACHE_DIR {reason}") and repr(value) in str(e.value)
