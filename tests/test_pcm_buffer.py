"""The sliding PCM buffer: growth, compaction, shrinking, aliasing and views."""

import gc

import numpy as np
import pytest

from quorvane._mirrant2 import _tensorhost as th
from reference import pcm_buffer as ref

MIN_CAP = 51200
COUNTER_KEYS = [
    "live_samples",
    "backing_bytes",
    "peak_backing_bytes",
    "input_samples_copied",
    "retained_samples_moved",
    "aliased_samples_snapshotted",
    "allocations",
    "absolute_base",
    "absolute_fed",
]


def ramp(first, n):
    """Samples whose value is their absolute index, so every sample can be told apart."""
    return np.arange(first, first + n, dtype=np.float32)


def fed_ramp(*sizes, minimum_capacity=MIN_CAP):
    p = th._SlidingPCM(minimum_capacity)
    for n in sizes:
        p.append(ramp(p.fed, n))
    return p


def state(p):
    return (p.capacity, p.start, p.end, p.counters())


class TestConstruction:
    def test_fresh_buffer(self):
        p = th._SlidingPCM()
        c = p.counters()
        assert list(c) == COUNTER_KEYS and all(v == 0 for v in c.values())
        assert p.capacity == 0 and p.minimum_capacity == MIN_CAP
        assert p.live.shape == (0,) and p.live.dtype == np.float32

    @pytest.mark.parametrize(
        "value", [True, False, 1.0, "3", 0, -1, None, np.float64(5.0), np.bool_(True), [5]]
    )
    def test_refused_capacities(self, value):
        with pytest.raises(ValueError, match="^positive capacity required$"):
            th._SlidingPCM(value)

    @pytest.mark.parametrize("value", [5, np.int64(5), np.int32(5), np.uint16(5)])
    def test_integer_capacities(self, value):
        p = th._SlidingPCM(value)
        assert p.minimum_capacity == 5
        p.append(ramp(0, 3))
        assert p.capacity == 5

    def test_keyword_argument(self):
        assert th._SlidingPCM(minimum_capacity=7).minimum_capacity == 7

    def test_fields_are_read_only(self):
        p = fed_ramp(10)
        with pytest.raises(AttributeError):
            p.start = 5
        with pytest.raises(ValueError):
            p.live[0] = 1.0
        with pytest.raises(ValueError):
            p.storage[0] = 1.0


class TestGrowth:
    def test_first_append_allocates_the_minimum(self):
        p = fed_ramp(800)
        c = p.counters()
        assert p.capacity == MIN_CAP and c["allocations"] == 1
        assert c["peak_backing_bytes"] == MIN_CAP * 4
        assert c["retained_samples_moved"] == 0 and p.fed == 800
        np.testing.assert_array_equal(p.live, ramp(0, 800))

    def test_compaction_without_reallocation(self):
        p = fed_ramp(MIN_CAP)
        p.discard_before(30000)
        assert (p.capacity, p.start, p.end) == (MIN_CAP, 30000, MIN_CAP)
        p.append(ramp(p.fed, 10000))
        assert (p.capacity, p.start, p.end) == (MIN_CAP, 0, 31200)
        assert p.moved_samples == 21200 and p.allocations == 1
        np.testing.assert_array_equal(p.live, ramp(30000, 31200))

    def test_compaction_with_overlapping_move(self):
        # 40000 live behind a 10000-sample stale prefix: the move's source and target overlap.
        p = fed_ramp(MIN_CAP)
        p.discard_before(11200)
        p.append(ramp(p.fed, 5000))
        assert (p.start, p.end, p.allocations) == (0, 45000, 1)
        np.testing.assert_array_equal(p.live, ramp(11200, 45000))

    def test_full_buffer_doubles(self):
        p = fed_ramp(MIN_CAP, 1)
        assert p.capacity == 2 * MIN_CAP and p.moved_samples == MIN_CAP and p.allocations == 2
        assert p.peak_capacity == 2 * MIN_CAP
        np.testing.assert_array_equal(p.live, ramp(0, MIN_CAP + 1))

    def test_growth_straight_to_what_is_needed(self):
        p = fed_ramp(800, 200000)
        assert p.capacity == 200800 and p.allocations == 2
        np.testing.assert_array_equal(p.live, ramp(0, 200800))

    def test_first_append_larger_than_the_minimum(self):
        assert fed_ramp(60000).capacity == 60000

    def test_empty_append_allocates_nothing(self):
        p = th._SlidingPCM()
        p.append(np.zeros(0, np.float32))
        p.append([])
        assert p.capacity == 0 and not any(p.counters().values())

    def test_allocate_moves_the_live_samples(self):
        p = fed_ramp(800)
        p.discard_before(100)
        p._allocate(1000)
        assert (p.capacity, p.start, p.end) == (1000, 0, 700)
        assert (p.allocations, p.moved_samples) == (2, 700)
        assert p.peak_capacity == MIN_CAP and (p.base, p.fed) == (100, 800)
        np.testing.assert_array_equal(p.live, ramp(100, 700))
        with pytest.raises(ValueError):
            p._allocate(699)


class TestDiscard:
    def grown(self):
        p = fed_ramp(MIN_CAP, MIN_CAP)
        assert p.capacity == 2 * MIN_CAP
        return p

    def test_shrinks_at_a_quarter_live(self):
        p = self.grown()
        p.discard_before(2 * MIN_CAP - 25600)
        assert p.capacity == MIN_CAP and p.allocations == 3 and (p.start, p.end) == (0, 25600)
        np.testing.assert_array_equal(p.live, ramp(2 * MIN_CAP - 25600, 25600))

    def test_no_shrink_above_a_quarter(self):
        p = self.grown()
        p.discard_before(2 * MIN_CAP - 25601)
        assert p.capacity == 2 * MIN_CAP and p.allocations == 2
        p.discard_before(2 * MIN_CAP - 25600)
        assert p.capacity == MIN_CAP

    def test_shrinks_to_twice_the_live_count(self):
        p = fed_ramp(100000, minimum_capacity=1000)
        p.discard_before(80000)
        assert p.capacity == 40000
        np.testing.assert_array_equal(p.live, ramp(80000, 20000))

    def test_never_below_the_minimum(self):
        p = self.grown()
        p.discard_before(10**9)
        assert p.capacity == MIN_CAP and p.live.size == 0
        p.discard_before(10**9)
        assert p.capacity == MIN_CAP and p.allocations == 3

    def test_shrink_check_runs_without_a_drop(self):
        p = fed_ramp(100000, minimum_capacity=1000)
        p._allocate(399999)
        p.discard_before(0)
        assert p.capacity == 399999
        p._allocate(400000)
        p.discard_before(0)
        assert p.capacity == 200000
        np.testing.assert_array_equal(p.live, ramp(0, 100000))

    def test_zero_on_a_fresh_buffer_changes_nothing(self):
        p = th._SlidingPCM()
        p.discard_before(0)
        assert p.capacity == 0 and not any(p.counters().values())

    def test_beyond_fed_empties_the_live_region(self):
        p = fed_ramp(800)
        p.discard_before(5000)
        assert (p.base, p.fed, p.live.size) == (800, 800, 0)
        p.append(ramp(800, 10))
        np.testing.assert_array_equal(p.live, ramp(800, 10))

    def test_below_base_drops_nothing(self):
        p = fed_ramp(800)
        p.discard_before(300)
        p.discard_before(100)
        assert p.base == 300 and p.live.size == 500

    @pytest.mark.parametrize(
        "value", [True, 1.0, "3", -1, None, np.float32(1.0), np.bool_(False), -(2**70)]
    )
    def test_refused_offsets(self, value):
        p = fed_ramp(800)
        before = state(p)
        with pytest.raises(ValueError, match="^nonnegative absolute sample offset required$"):
            p.discard_before(value)
        assert state(p) == before

    @pytest.mark.parametrize("value", [np.int64(5), np.uint32(5), 5])
    def test_integer_offsets(self, value):
        p = fed_ramp(800)
        p.discard_before(value)
        assert p.base == 5

    def test_offset_beyond_64_bits(self):
        p = fed_ramp(800)
        p.discard_before(2**70)
        assert p.base == p.fed == 800


class TestAppendInput:
    @pytest.mark.parametrize(
        "make",
        [
            lambda x: list(map(float, x)),
            lambda x: x.astype(np.int16),
            lambda x: x.astype(np.float64),
            lambda x: x.astype(">f4"),
            lambda x: np.repeat(x, 3)[::3],
            lambda x: x[::-1].copy()[::-1],
        ],
        ids=["list", "int16", "float64", "big-endian", "strided", "reversed"],
    )
    def test_numeric_inputs(self, make):
        x = ramp(0, 1000) - 500
        p = th._SlidingPCM()
        p.append(make(x))
        np.testing.assert_array_equal(p.live, x)
        assert p.aliased_samples_snapshotted == 0

    def test_float64_is_cast_element_wise(self):
        x = np.array([0.1, 1 / 3, 1e-40, 2.0**30 + 1], dtype=np.float64)
        p = th._SlidingPCM()
        p.append(x)
        np.testing.assert_array_equal(p.live, x.astype(np.float32))

    def test_unaligned_input(self):
        x = ramp(0, 257)
        raw = np.frombuffer(b"\0" + x.tobytes(), dtype=np.float32, offset=1)
        assert not raw.flags.aligned
        p = th._SlidingPCM()
        p.append(raw)
        np.testing.assert_array_equal(p.live, x)

    @pytest.mark.parametrize("shape", [(0, 3), (3, 0), (0, 0, 2)])
    def test_empty_of_any_shape_is_a_no_op(self, shape):
        p = fed_ramp(10)
        before = state(p)
        p.append(np.zeros(shape, np.float32))
        assert state(p) == before

    @pytest.mark.parametrize("pcm", [np.zeros((2, 5), np.float32), np.float32(1.0), [[1.0]]])
    def test_non_empty_non_vector_is_refused(self, pcm):
        p = fed_ramp(10)
        before = state(p)
        with pytest.raises(ValueError, match="^one-dimensional PCM required$"):
            p.append(pcm)
        assert state(p) == before


class TestAliasing:
    def test_view_of_live_across_a_compaction(self):
        p = fed_ramp(MIN_CAP)
        p.discard_before(40000)
        view = p.live[:5000]
        p.append(view)
        assert p.allocations == 1 and p.moved_samples == 11200
        assert p.aliased_samples_snapshotted == 5000
        np.testing.assert_array_equal(p.live[-5000:], ramp(40000, 5000))
        np.testing.assert_array_equal(p.live[:11200], ramp(40000, 11200))

    def test_whole_live_across_a_reallocation(self):
        p = fed_ramp(MIN_CAP)
        p.append(p.live)
        assert p.capacity == 2 * MIN_CAP and p.aliased_samples_snapshotted == MIN_CAP
        np.testing.assert_array_equal(p.live, np.concatenate([ramp(0, MIN_CAP)] * 2))

    def test_strided_reversed_view_of_live(self):
        p = fed_ramp(MIN_CAP)
        p.discard_before(30000)
        view = p.live[::-3]
        want = view.copy()
        p.append(view)
        assert p.aliased_samples_snapshotted == want.size
        np.testing.assert_array_equal(p.live[-want.size :], want)

    def test_view_of_the_stale_part_of_storage(self):
        p = fed_ramp(MIN_CAP)
        p.discard_before(30000)
        stale = p.storage[:100]
        want = stale.copy()
        p.append(stale)
        assert p.aliased_samples_snapshotted == 100
        np.testing.assert_array_equal(p.live[-100:], want)

    def test_view_of_a_released_block_is_not_aliased(self):
        p = fed_ramp(MIN_CAP)
        old = p.live
        p.append(ramp(p.fed, 1))
        p.append(old[:10])
        assert p.aliased_samples_snapshotted == 0
        np.testing.assert_array_equal(p.live[-10:], ramp(0, 10))

    def test_independent_array_is_not_aliased(self):
        p = fed_ramp(100, 200)
        assert p.aliased_samples_snapshotted == 0


class TestViews:
    def test_live_is_a_view_of_storage(self):
        p = fed_ramp(1000)
        p.discard_before(200)
        assert np.shares_memory(p.live, p.storage)
        assert not p.live.flags.writeable and p.live.flags.c_contiguous
        assert p.storage.shape == (p.capacity,)

    def test_held_view_survives_reallocation_shrink_and_the_buffer(self):
        p = fed_ramp(MIN_CAP)
        held = p.live
        want = held.copy()
        p.append(ramp(p.fed, MIN_CAP))
        p.discard_before(p.fed - 100)
        assert p.capacity == MIN_CAP and p.allocations == 3
        del p
        gc.collect()
        # Reuse freed memory of the same size, then read the old block.
        fillers = [np.full(MIN_CAP, -7.0, np.float32) for _ in range(8)]
        np.testing.assert_array_equal(held, want)
        assert fillers[0][0] == -7.0


class TestAgainstReference:
    @pytest.mark.parametrize("seed", range(6))
    def test_random_operations(self, seed):
        rng = np.random.default_rng(seed)
        minimum = int(rng.choice([1, 7, 64, 1000]))
        got, want = th._SlidingPCM(minimum), ref.SlidingPCM(minimum)
        for step in range(300):
            kind = rng.integers(0, 4)
            if kind == 0 or got.live.size == 0:
                x = rng.standard_normal(int(rng.integers(0, 3 * minimum + 50))).astype(np.float32)
                got.append(x)
                want.append(x)
            elif kind == 1:
                a, b = sorted(rng.integers(0, got.live.size + 1, 2))
                stride = int(rng.choice([1, 2, -1]))
                got.append(got.live[a:b][::stride])
                want.append(want.live[a:b][::stride])
            else:
                target = int(got.base + rng.integers(-5, got.live.size + 20))
                got.discard_before(max(target, 0))
                want.discard_before(max(target, 0))
            assert got.counters() == want.counters(), step
            assert (got.capacity, got.start, got.end) == (len(want.storage), want.start, want.end)
            np.testing.assert_array_equal(got.live, want.live)


class TestLongStream:
    def test_an_hour_in_20ms_blocks_stays_bounded(self):
        # The renderer's pattern: once chunk c's window is complete (chunk 0 at 25600 samples,
        # chunk c >= 1 at (c - 1) * 25600 + 44000), everything before the next window's start
        # (c * 25600 for c >= 1) is discarded.
        block = np.linspace(-0.5, 0.5, 320, dtype=np.float32)
        p = th._SlidingPCM()
        ci, max_live = 0, 0
        n_blocks = 3600 * 16000 // 320
        for _ in range(n_blocks):
            p.append(block)
            max_live = max(max_live, p.end - p.start)
            while p.fed >= (25600 if ci == 0 else (ci - 1) * 25600 + 44000):
                ci += 1
                p.discard_before(0 if ci <= 1 else (ci - 1) * 25600)
        c = p.counters()
        assert p.fed == 3600 * 16000 and ci > 2200
        assert p.peak_capacity <= 4 * max_live
        assert c["retained_samples_moved"] <= 2 * c["input_samples_copied"]
        np.testing.assert_array_equal(p.live[-320:], block)
