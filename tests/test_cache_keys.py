"""Content keys, their memo, the cache cap and the cache root of the avatar cache, held against
plain hashlib / float() transcriptions."""

import hashlib
import os
import pwd
import signal
import sys
import threading
import types

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
            assert f.read() == key[len("sha256-"):].encode()
        assert os.listdir(os.path.join(avatars, ".idx")) == [ref.memo_name(src, st_)]

    def test_a_valid_memo_spares_the_hashing_and_is_never_checked(self, op, tmp_path):
        src = avatar_file(tmp_path / "a.imx")
        avatars = str(tmp_path / "avatars")
        st_ = os.stat(src)
        os.makedirs(os.path.join(avatars, ".idx"))
        with open(memo_path(avatars, src, st_), "w") as f:
            f.write("0123456789abcdef" * 2)
        assert op._content_key(src, st_, avatars) == "sha256-" + "0123456789abcdef" * 2

    PLANTED = "fedcba9876543210" * 2

    @pytest.mark.parametrize(
        "raw",
        [
            f"{PLANTED}\n".encode(),
            f" \t{PLANTED}\r\n".encode(),
            f"\u3000{PLANTED}\u2028".encode(),
            f"\x1c{PLANTED}\x1f".encode(),
            f"{PLANTED}\0".encode(),
            PLANTED.upper().encode(),
            f"{PLANTED}0".encode(),
            PLANTED[:-1].encode(),
            f"{PLANTED[:16]} {PLANTED[16:]}".encode(),
            b"\xff" + PLANTED.encode(),
            b"\xef\xbb\xbf" + PLANTED.encode(),
            f"\u200b{PLANTED}".encode(),
            b"",
        ],
    )
    def test_memo_content_is_trimmed_and_validated(self, op, tmp_path, raw):
        src = avatar_file(tmp_path / "a.imx", seed=3)
        avatars = str(tmp_path / "avatars")
        st_ = os.stat(src)
        os.makedirs(os.path.join(avatars, ".idx"))
        with open(memo_path(avatars, src, st_), "wb") as f:
            f.write(raw)
        expected = ref.memo_digits(raw)
        got = op._content_key(src, st_, avatars)
        if expected is not None:
            assert got == "sha256-" + expected == "sha256-" + self.PLANTED
        else:
            # Ignored: the content is hashed and the memo rewritten in lowercase.
            assert got == ref.content_key(src)
            with open(memo_path(avatars, src, st_), "rb") as f:
                assert f.read() == ref.key_digits(src).encode()

    @pytest.mark.parametrize("planted", ["link", "another user's"])
    def test_a_memo_that_is_a_link_or_not_this_users_is_not_heard(self, op, tmp_path, planted):
        src = avatar_file(tmp_path / "a.imx", seed=4)
        avatars = str(tmp_path / "avatars")
        st_ = os.stat(src)
        os.makedirs(os.path.join(avatars, ".idx"))
        memo = memo_path(avatars, src, st_)
        if planted == "link":
            (tmp_path / "elsewhere").write_text(self.PLANTED)
            os.symlink(tmp_path / "elsewhere", memo)
        else:
            with open(memo, "w") as f:
                f.write(self.PLANTED)
            os.chown(memo, 65534, 65534)
        assert op._content_key(src, st_, avatars) == ref.content_key(src)
        assert not os.path.islink(memo) and os.stat(memo).st_uid == os.geteuid()
        with open(memo) as f:
            assert f.read() == ref.key_digits(src)
        assert (tmp_path / "elsewhere").read_text() == self.PLANTED if planted == "link" else True

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
        fake = types.SimpleNamespace(st_size=-5, st_mtime_ns=-1, st_ino=2**64 - 1)
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
