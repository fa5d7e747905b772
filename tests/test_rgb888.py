"""Float-to-RGB888 conversion and its worker pool, compared byte for byte with the NumPy
transcription in reference/rgb888.py."""

import json
import threading

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import run_python
from quorvane._mirrant2 import _tensorhost as th
from reference import colour as cref
from reference import rgb888 as ref

FH, FW = 720, 416
SHAPE = (3, FH, FW)
SPECIAL = np.array([-0.2, -1e-7, 0.0, 0.5, 0.999, 1.0, 1.0000001, 3.7, 1 / 255, 254.5 / 255],
                   dtype=np.float32)


def random_frame(rng, dtype=np.float32):
    """Values spread over -0.25 .. 1.25, with the special values planted at random places."""
    f = rng.uniform(-0.25, 1.25, SHAPE).astype(dtype)
    idx = rng.integers(0, f.size, 2000)
    f.reshape(-1)[idx] = rng.choice(SPECIAL, idx.size).astype(dtype)
    return f


def frames(seed, n):
    rng = np.random.default_rng(seed)
    return [random_frame(rng) for _ in range(n)]


def copies(px):
    return [f.copy() for f in px]


def lut_cc(seed=7):
    rng = np.random.default_rng(seed)
    table = rng.integers(0, 256, (3, 256)).astype(np.uint8)
    return th.ColorCorrect("lut", lut=table)


def gain_bias_cc():
    return th.ColorCorrect("gain_bias", gain=np.array([1.5, 0.999, 0.8], np.float32),
                           bias=np.array([10.0, 0.0, -20.0], np.float32))


CORRECTIONS = {"none": lambda: None, "lut": lut_cc, "gain_bias": gain_bias_cc}


class TestByteMapping:
    def test_worked_values(self):
        values = np.array([1.0, 0.5, 0.999, -0.2, 3.7], np.float32)
        f = np.zeros(SHAPE, np.float32)
        f[0, 0, :5] = values
        expected = [255, 127, 254, 0, 255]
        general = np.frombuffer(th.px_to_rgb888(f), np.uint8)
        fast = th.px_to_rgb888_chunk([f], None, 1)[0].reshape(-1)
        assert list(general[0:15:3]) == expected
        assert list(fast[0:15:3]) == expected

    @pytest.mark.parametrize("row,col", [(0, 0), (0, FW - 1), (FH - 1, 0), (FH - 1, FW - 1),
                                         (123, 321)])
    def test_pixel_lands_at_its_offset(self, row, col):
        f = np.zeros(SHAPE, np.float32)
        f[:, row, col] = (1.0, 0.0, 0.5)
        off = 3 * (row * FW + col)
        for data in (th.px_to_rgb888(f), th.px_to_rgb888_chunk([f], None, 1)[0].tobytes()):
            assert data[off:off + 3] == bytes([255, 0, 127])
            assert data.count(0) == len(data) - 2

    def test_nan_is_zero_on_both_paths(self):
        f = np.full(SHAPE, 0.5, np.float32)
        f[1, 10, 20] = np.nan
        f[2, 0, 0] = -np.nan
        readonly = f.copy()
        readonly.flags.writeable = False
        general = np.frombuffer(th.px_to_rgb888(readonly), np.uint8).reshape(FH, FW, 3)
        fast = th.px_to_rgb888_chunk([f], None, 1)[0]
        for out in (general, fast):
            assert out[10, 20, 1] == 0 and out[0, 0, 2] == 0
            assert out[10, 20, 0] == 127
        # The clip keeps NaN in the overwritten frame.
        assert np.isnan(f[1, 10, 20]) and np.isnan(f[2, 0, 0])
        with np.errstate(invalid="ignore"):
            assert np.array_equal(fast, ref.px_to_rgb888_chunk([readonly.copy()])[0])

    def test_infinities(self):
        f = np.zeros(SHAPE, np.float32)
        f[0, 0, 0], f[0, 0, 1] = np.inf, -np.inf
        out = th.px_to_rgb888_chunk([f], None, 1)[0]
        assert out[0, 0, 0] == 255 and out[0, 1, 0] == 0

    @settings(max_examples=20, deadline=None, derandomize=True, database=None)
    @given(seed=st.integers(0, 2**32 - 1),
           planted=st.lists(st.floats(width=32, allow_nan=False), min_size=1, max_size=50))
    def test_bytes_always_equal_the_reference(self, seed, planted):
        rng = np.random.default_rng(seed)
        f = random_frame(rng)
        idx = rng.integers(0, f.size, len(planted))
        f.reshape(-1)[idx] = np.array(planted, np.float32)
        expected = ref.px_to_rgb888_chunk([f.copy()])
        assert th.px_to_rgb888(f) == expected[0].tobytes()
        assert np.array_equal(th.px_to_rgb888_chunk([f], None, 1), expected)


class TestPaths:
    @pytest.mark.parametrize("kind", sorted(CORRECTIONS))
    def test_fast_and_general_paths_agree(self, kind):
        cc = CORRECTIONS[kind]()
        px = frames(1, 3)
        readonly = copies(px)
        for f in readonly:
            f.flags.writeable = False
        expected = ref.px_to_rgb888_chunk(copies(px), cc)
        assert np.array_equal(th.px_to_rgb888_chunk(readonly, cc, 1), expected)
        assert np.array_equal(th.px_to_rgb888_chunk(px, cc, 1), expected)
        assert th.px_to_rgb888(readonly[0], cc) == expected[0].tobytes()

    def test_readonly_frame_untouched_writable_frame_scaled(self):
        (f,) = frames(2, 1)
        original = f.copy()
        ro = f.copy()
        ro.flags.writeable = False
        th.px_to_rgb888_chunk([ro], None, 1)
        assert np.array_equal(ro, original)
        th.px_to_rgb888_chunk([f], None, 1)
        assert np.array_equal(f, np.clip(original * np.float32(255.0), 0.0, 255.0))
        assert f.min() >= 0.0 and f.max() <= 255.0

    def test_single_frame_conversion_never_writes(self):
        (f,) = frames(3, 1)
        original = f.copy()
        th.px_to_rgb888(f)
        assert np.array_equal(f, original)

    @pytest.mark.parametrize("threads", [1, 2])
    @pytest.mark.parametrize("layout", ["strided", "reversed", "unaligned"])
    def test_writable_float32_frame_in_any_layout_is_scaled_in_place(self, layout, threads):
        px = frames(4, 2)
        want = ref.px_to_rgb888_chunk(copies(px))
        if layout == "strided":
            base = np.full((2, 3, FH, FW * 2), -5.0, np.float32)
            base[:, :, :, ::2] = px
            views = [base[i, :, :, ::2] for i in range(2)]
        elif layout == "reversed":
            base = np.stack([f[::-1, ::-1, ::-1] for f in px])
            views = [base[i, ::-1, ::-1, ::-1] for i in range(2)]
        else:
            raw = bytearray(b"\0" + np.stack(px).tobytes())
            base = np.frombuffer(raw, np.float32, offset=1).reshape(2, 3, FH, FW)
            assert not base.flags.aligned
            views = [base[0], base[1]]
        out = th.px_to_rgb888_chunk(views, None, threads)
        assert np.array_equal(out, want)
        for v, f in zip(views, px):
            assert np.array_equal(v, np.clip(f * np.float32(255.0), 0.0, 255.0))
        if layout == "strided":
            assert np.all(base[:, :, :, 1::2] == -5.0)  # the gaps between the elements untouched

    def test_interleaved_frames_sharing_a_block_convert_in_order(self):
        # Two frames whose elements interleave: no element shared, but their spans overlap.
        px = frames(24, 2)
        base = np.empty((3, FH, FW * 2), np.float32)
        base[:, :, 0::2], base[:, :, 1::2] = px
        views = [base[:, :, 0::2], base[:, :, 1::2]]
        assert np.array_equal(th.px_to_rgb888_chunk(views, None, 2),
                              ref.px_to_rgb888_chunk(copies(px)))

    @pytest.mark.parametrize("dtype", [">f4", ">f8"])
    def test_other_byte_order_reads_the_values(self, dtype):
        (f,) = frames(25, 1)
        other = f.astype(dtype)
        want = ref.px_to_rgb888_chunk([f.copy()])
        assert np.array_equal(th.px_to_rgb888_chunk([other], None, 1), want)
        assert th.px_to_rgb888(other) == want[0].tobytes()
        assert np.array_equal(other, f)  # not a float32 array: the general path only reads it

    def test_float64_frame_in_double_precision(self):
        rng = np.random.default_rng(5)
        f = rng.uniform(-0.25, 1.25, SHAPE)
        # 0.999 * 255 lies on different sides of an integer in single and double precision for
        # some inputs; plant values that do.
        f.reshape(-1)[:4] = [0.999, 0.5, 1 / 3, 254.99999999 / 255]
        expected = ref.px_to_rgb888_chunk([f])
        before = f.copy()
        assert np.array_equal(th.px_to_rgb888_chunk([f], None, 1), expected)
        assert th.px_to_rgb888(f) == expected[0].tobytes()
        assert np.array_equal(f, before)

    def test_integer_frames(self):
        f = np.zeros(SHAPE, np.int32)
        f[0, 0, 0], f[1, 0, 0], f[2, 0, 0] = 1, -4, 2
        assert th.px_to_rgb888(f)[:3] == bytes([255, 0, 255])

    def test_four_d_array_of_frames(self):
        px = np.stack(frames(6, 3))
        expected = ref.px_to_rgb888_chunk(copies(px))
        out = th.px_to_rgb888_chunk(px, None, 2)
        assert np.array_equal(out, expected)
        assert px.max() > 1.0  # the frames were views of the array, overwritten in place

    @pytest.mark.parametrize("shape", [(3 * FH * FW,), (FH, FW, 3), (1, 3, FH, FW), (3, FH, FW - 1)])
    def test_wrong_shape_is_refused(self, shape):
        f = np.zeros(shape, np.float32)
        with pytest.raises(ValueError, match="3 planes"):
            th.px_to_rgb888_chunk([f], None, 1)
        with pytest.raises(ValueError, match="3 planes"):
            th.px_to_rgb888(f)

    def test_same_plane_count_in_another_layout_converts(self):
        (f,) = frames(7, 1)
        reshaped = f.reshape(3, FW, FH)
        assert th.px_to_rgb888(reshaped) == th.px_to_rgb888(f)

    @pytest.mark.parametrize("dtype", [np.float16, np.complex64, object])
    def test_unsupported_dtype(self, dtype):
        with pytest.raises(TypeError, match="float32 or float64"):
            th.px_to_rgb888_chunk([np.zeros(SHAPE, dtype)], None, 1)

    def test_output_is_a_fresh_writable_array(self):
        out = th.px_to_rgb888_chunk(frames(8, 2), None, 1)
        assert out.dtype == np.uint8 and out.shape == (2, FH, FW, 3)
        assert out.flags.c_contiguous and out.flags.writeable


class TestCorrectionsInConversion:
    def test_identity_lut_changes_nothing(self):
        ident = th.ColorCorrect("lut", lut=np.tile(np.arange(256, dtype=np.uint8), (3, 1)))
        px = frames(9, 2)
        assert np.array_equal(th.px_to_rgb888_chunk(copies(px), ident, 1),
                              th.px_to_rgb888_chunk(px, None, 1))

    def test_gain_bias_entry_equals_apply_of_plain_entry(self):
        cc = gain_bias_cc()
        px = frames(10, 2)
        plain = th.px_to_rgb888_chunk(copies(px), None, 1)
        corrected = th.px_to_rgb888_chunk(px, cc, 1)
        for i in range(2):
            assert np.array_equal(corrected[i], cc.apply(plain[i]))

    def test_python_lut_subclass_uses_its_table_on_the_fast_path(self):
        calls = []

        class Counting(th.ColorCorrect):
            def apply(self, rgb):
                calls.append(rgb.shape)
                return super().apply(rgb)

        table = np.random.default_rng(11).integers(0, 256, (3, 256)).astype(np.uint8)
        cc = Counting("lut", lut=table)
        px = frames(11, 2)
        ro = px[1].copy()
        ro.flags.writeable = False
        expected = ref.px_to_rgb888_chunk([px[0].copy(), ro], cc)
        out = th.px_to_rgb888_chunk([px[0], ro], cc, 1)
        assert np.array_equal(out, expected)
        assert calls == [(FH, FW, 3)]  # only the general-path frame went through apply

    def test_duck_typed_correction(self):
        class Reverse:
            kind = "channel_swap"

            def apply(self, rgb):
                return np.ascontiguousarray(rgb[..., ::-1])

        px = frames(12, 2)
        expected = ref.px_to_rgb888_chunk(copies(px), Reverse(),
                                          apply=lambda cc, rgb: cc.apply(rgb))
        assert np.array_equal(th.px_to_rgb888_chunk(px, Reverse(), 2), expected)

    def test_apply_returning_the_wrong_size_is_refused(self):
        class Short(th.ColorCorrect):
            def apply(self, rgb):
                return rgb[:10]

        with pytest.raises(ValueError, match="returned"):
            th.px_to_rgb888_chunk(frames(13, 1), Short("gain_bias"), 1)


class TestThreads:
    @pytest.mark.parametrize("kind", sorted(CORRECTIONS))
    def test_same_bytes_on_any_thread_count(self, kind):
        cc = CORRECTIONS[kind]()
        px = frames(20, 9)
        ro = px[4].copy()
        ro.flags.writeable = False
        px[4] = ro
        expected = ref.px_to_rgb888_chunk(copies(px), cc)
        for threads in (1, 2, 3, 8, 0, -3):
            assert np.array_equal(th.px_to_rgb888_chunk(copies(px), cc, threads), expected)

    def test_thread_count_is_read_as_an_integer(self):
        px = frames(21, 2)
        expected = th.px_to_rgb888_chunk(copies(px), None, 1)
        assert np.array_equal(th.px_to_rgb888_chunk(copies(px), None, 2.9), expected)
        assert np.array_equal(th.px_to_rgb888_chunk(copies(px), None, 10**30), expected)

    def test_frames_sharing_memory_convert_in_order(self):
        (f,) = frames(22, 1)
        px = [f, f, f[::-1].copy()]
        # The reference sees the same aliasing: the second pass scales the scaled frame again.
        g = f.copy()
        expected = ref.px_to_rgb888_chunk([g, g, px[2].copy()])
        assert np.array_equal(th.px_to_rgb888_chunk(px, None, 3), expected)

    @pytest.mark.parametrize("n,threads,expected", [
        (32, 3, [(0, 11), (11, 22), (22, 32)]),
        (32, 8, [(i, i + 4) for i in range(0, 32, 4)]),
        (21, 8, [(i, i + 3) for i in range(0, 21, 3)]),
        (21, 32, [(i, i + 1) for i in range(21)]),
        (0, 8, [(0, 0)]),
        (1, 8, [(0, 1)]),
        (5, 0, [(0, 5)]),
        (5, -3, [(0, 5)]),
        (7, 7, [(i, i + 1) for i in range(7)]),
    ])
    def test_split(self, n, threads, expected):
        assert th._rgb_ranges(n, threads) == expected
        assert ref.ranges(n, threads) == expected

    def test_failure_rule(self):
        # 32 frames on 4 threads: ranges of 8. Frames 5 and 20 fail; frame 5's task fails last
        # in time but first in queue order, so its error is the one raised.

        class Failing(th.ColorCorrect):
            def __init__(self):
                super().__init__("gain_bias", gain=np.ones(3, np.float32),
                                 bias=np.zeros(3, np.float32))
                self.seen = []
                self.lock = threading.Lock()

            def apply(self, rgb):
                k = int(rgb[0, 0, 0])
                with self.lock:
                    self.seen.append(k)
                if k == 5:
                    done = threading.Event()
                    done.wait(0.2)  # let frame 20 fail first
                if k in (5, 20):
                    raise LookupError(f"frame {k}")
                return super().apply(rgb)

        cc = Failing()
        px = [np.full(SHAPE, (i + 0.5) / 255, np.float32) for i in range(32)]
        with pytest.raises(LookupError, match="^frame 5$"):
            th.px_to_rgb888_chunk(px, cc, 4)
        converted = set(range(0, 6)) | set(range(8, 16)) | set(range(16, 21)) | set(range(24, 32))
        assert sorted(cc.seen) == sorted(converted)
        for i in range(32):
            scaled = abs(px[i][0, 0, 0] - (i + 0.5)) < 1e-3
            assert scaled == (i in converted), i

    def test_failure_on_the_callers_thread_stops_at_once(self):
        class Failing(th.ColorCorrect):
            seen = []

            def apply(self, rgb):
                Failing.seen.append(int(rgb[0, 0, 0]))
                if rgb[0, 0, 0] == 2:
                    raise LookupError("frame 2")
                return rgb.copy()

        px = [np.full(SHAPE, (i + 0.5) / 255, np.float32) for i in range(5)]
        with pytest.raises(LookupError):
            th.px_to_rgb888_chunk(px, Failing("gain_bias"), 1)
        assert Failing.seen == [0, 1, 2]
        assert px[3].max() < 1.0

    def test_bad_frame_in_a_pool_task_lets_the_others_finish(self):
        px = frames(23, 4)
        px[1] = np.zeros((2, 2), np.float32)
        with pytest.raises(ValueError, match="3 planes"):
            th.px_to_rgb888_chunk(px, None, 2)
        assert px[0].max() > 1.0  # frame 0 was converted before frame 1 failed
        assert px[2].max() > 1.0 and px[3].max() > 1.0  # the other task ran to completion


class TestRange:
    def test_converts_only_its_range(self):
        px = frames(30, 4)
        expected = ref.px_to_rgb888_chunk(copies(px))
        u8 = np.zeros((4, FH, FW, 3), np.uint8)
        th._rgb_convert_range(px, u8, 1, 3, None)
        assert not u8[0].any() and not u8[3].any()
        assert np.array_equal(u8[1:3], expected[1:3])

    def test_five_positional_arguments(self):
        u8 = np.zeros((1, FH, FW, 3), np.uint8)
        with pytest.raises(TypeError):
            th._rgb_convert_range(frames(31, 1), u8, 0, 1)
        with pytest.raises(TypeError):
            th._rgb_convert_range(px=frames(31, 1), u8=u8, lo=0, hi=1, cc=None)

    @pytest.mark.parametrize("u8", [np.zeros((1, FH, FW, 3), np.int16),
                                    np.zeros((1, FH, FW), np.uint8),
                                    np.zeros((1, FH, FW, 3), np.uint8)[:, ::-1]])
    def test_bad_output_array(self, u8):
        with pytest.raises(TypeError, match="u8 must be"):
            th._rgb_convert_range(frames(32, 1), u8, 0, 1, None)

    def test_range_outside_the_frames(self):
        u8 = np.zeros((2, FH, FW, 3), np.uint8)
        with pytest.raises(IndexError):
            th._rgb_convert_range(frames(33, 1), u8, 0, 2, None)

    def test_planar_scratch_made_on_a_threads_first_range(self):
        seen = {}

        def body():
            seen["before"] = th._RGB_TLS.has_planar()
            th._rgb_convert_range([], np.zeros((0, FH, FW, 3), np.uint8), 0, 0, None)
            seen["after"] = th._RGB_TLS.has_planar()

        t = threading.Thread(target=body)
        t.start()
        t.join()
        assert seen == {"before": False, "after": True}


class TestRgbThreads:
    @pytest.fixture
    def default(self, monkeypatch):
        monkeypatch.delenv(th.RGB_THREADS_ENV, raising=False)
        return th.rgb_threads()

    def test_default_range(self, default):
        assert 1 <= default <= 8

    @pytest.mark.parametrize("raw,expected", [(" 6 ", 6), ("6", 6), ("0", 1), ("-3", 1),
                                              ("+2", 2), ("1_0", 10), ("99999999999999999999", 2**63 - 1),
                                              ("\u00a06\u3000", 6), ("\u20053\x85", 3)])
    def test_integer_values(self, monkeypatch, capfd, raw, expected):
        monkeypatch.setenv(th.RGB_THREADS_ENV, raw)
        assert th.rgb_threads() == expected
        assert capfd.readouterr().err == ""

    @pytest.mark.parametrize("raw", ["", "   ", "\t\n"])
    def test_blank_gives_default_silently(self, monkeypatch, capfd, default, raw):
        monkeypatch.setenv(th.RGB_THREADS_ENV, raw)
        assert th.rgb_threads() == default
        assert capfd.readouterr().err == ""

    @pytest.mark.parametrize("raw,quoted", [("4.0", "'4.0'"), ("abc", "'abc'"), (" four ", "'four'"),
                                            ("it's", "\"it's\""), ("a\\b", "'a\\\\b'"),
                                            ("2\x1b3", "'2\\x1b3'"), ("2\x853", "'2\\x853'")])
    def test_non_integer_logged_once(self, monkeypatch, capfd, default, raw, quoted):
        capfd.readouterr()
        monkeypatch.setenv(th.RGB_THREADS_ENV, raw)
        assert th.rgb_threads() == default
        err = capfd.readouterr().err
        assert err == (f"[render-stream-tensorhost] MIRRANT2_RGB_THREADS={quoted}"
                       " is not an integer — using the default\n")

    def test_default_follows_the_cpu_rule(self):
        assert [ref.default_threads(c) for c in (1, 5, 6, 8, 12, 24, 96)] == [1, 1, 2, 2, 4, 8, 8]


class TestPoolState:
    def test_pool_lock_is_a_plain_lock(self):
        lock = th._RGB_POOL_LOCK
        assert not lock.locked()
        assert lock.acquire()
        assert lock.locked()
        assert not lock.acquire(False)
        assert not lock.acquire(timeout=0.01)
        errors = []

        def release_elsewhere():
            try:
                lock.release()
            except RuntimeError as e:
                errors.append(str(e))

        t = threading.Thread(target=release_elsewhere)
        t.start()
        t.join()
        assert errors == ["cannot release un-acquired lock"]
        lock.release()
        with lock:
            assert lock.locked()
        assert not lock.locked()

    def test_pool_attribute_is_live(self):
        th.px_to_rgb888_chunk(frames(40, 2), None, 2)
        pool = th._RGB_POOL
        assert pool is not None and pool._max_workers >= 2
        assert "_RGB_POOL" not in vars(th)
        assert th._rgb_pool(99)._max_workers == pool._max_workers
        with pytest.raises(AttributeError, match="no attribute 'nope'"):
            th.nope  # noqa: B018


POOL_SCRIPT = r"""
import json, os
import numpy as np
from quorvane._mirrant2 import _tensorhost as th

def names():
    out = []
    for tid in os.listdir("/proc/self/task"):
        with open(f"/proc/self/task/{tid}/comm") as f:
            out.append(f.read().strip())
    return sorted(n for n in out if n.startswith("m2-rgb"))

def px(n):
    return [np.full((3, 720, 416), 0.5, np.float32) for _ in range(n)]

r = {"start": th._RGB_POOL is None}
empty = th.px_to_rgb888_chunk([], None, 8)
r["empty"] = [list(empty.shape), str(empty.dtype), th._RGB_POOL is None]
th.px_to_rgb888_chunk(px(1), None, 8)
r["one_frame_no_pool"] = th._RGB_POOL is None
th.px_to_rgb888_chunk(px(FIRST_N), None, FIRST_THREADS)
pool = th._RGB_POOL
r["first"] = [pool._max_workers, pool._tasks_queued, names(), pool._thread_names]
th.px_to_rgb888_chunk(px(32), None, 8)
r["second"] = [th._RGB_POOL._max_workers, th._RGB_POOL._tasks_queued, len(names())]
for t in (1, 0, -3):
    th.px_to_rgb888_chunk(px(4), None, t)
th.px_to_rgb888_chunk(px(1), None, 8)
r["callers_thread"] = th._RGB_POOL._tasks_queued
print(json.dumps(r))
"""


class TestPoolLifecycle:
    @pytest.mark.parametrize("first_n,first_threads,workers", [(32, 3, 3), (21, 32, 21)])
    def test_first_creation_fixes_the_pool(self, first_n, first_threads, workers):
        code = POOL_SCRIPT.replace("FIRST_N", str(first_n)).replace("FIRST_THREADS",
                                                                      str(first_threads))
        proc = run_python(code)
        assert proc.returncode == 0, proc.stderr.decode()
        r = json.loads(proc.stdout)
        assert r["start"] is True
        assert r["empty"] == [[0, FH, FW, 3], "uint8", True]
        assert r["one_frame_no_pool"] is True
        max_workers, queued, os_names, names = r["first"]
        assert max_workers == workers
        assert queued == min(first_threads, first_n)  # one task per range
        assert len(os_names) == workers and sorted(names) == os_names
        assert all(len(n) <= 15 for n in names)
        assert r["second"] == [workers, queued + 8, workers]
        # With the pool in place, one thread (or 0, or fewer) and one frame still queue nothing.
        assert r["callers_thread"] == queued + 8

    def test_pool_of_zero_workers_is_refused(self):
        proc = run_python("from quorvane._mirrant2 import _tensorhost as th\n"
                          "try:\n    th._rgb_pool(0)\nexcept ValueError as e:\n    print(e)\n"
                          "print(th._RGB_POOL is None, th._rgb_pool(2)._max_workers)")
        assert proc.returncode == 0, proc.stderr.decode()
        assert proc.stdout.decode().splitlines()[-1] == "True 2"
