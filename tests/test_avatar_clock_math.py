"""The live avatar's clock arithmetic (the mirrant-2 start rule and schedule, the voice-first release
times) held bit for bit against the same formulas on Python floats, and checked on the worked
numbers of a 20 fps and a 25 fps stream."""

import math

import pytest
from hypothesis import given, settings, strategies as st

from quorvane import _avatarprobe as cm
from reference import playout as ref
from reference import sync as sref

finite = st.floats(min_value=-1e6, max_value=1e6, allow_nan=False)
pos = st.floats(min_value=1e-6, max_value=1e4, allow_nan=False)
any_float = st.floats(allow_nan=True, allow_infinity=True)


def same(a, b):
    """Equal to the bit (NaN equal to NaN, 0.0 different from -0.0)."""
    return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))


class TestWorkedExample20fps:
    """spt 800, period 0.05 s; speech began arriving at 10.0, 21 pictures at 11.0, 2.0 s arrived."""

    period = 1.0 / 20
    ahead = cm.ahead_seconds(32, 800, 16000, 21, period)

    def test_chunk_arithmetic(self):
        assert self.ahead == pytest.approx(0.55)
        assert cm.audio_for(21, self.period, self.ahead) == pytest.approx(1.6)
        assert cm.audio_for(53, self.period, self.ahead) == pytest.approx(3.2)

    def test_first_check(self):
        t_chunk0, lag0 = cm.first_chunk(11.0, 10.0, 2.0, cm.audio_for(21, self.period, self.ahead))
        assert t_chunk0 == 11.0
        assert lag0 == pytest.approx(0.2)

    @pytest.mark.parametrize(
        "steady, r0, expect_r1, start",
        [(None, 0.4, 0.54, False), (0.2, 0.4, 0.2, True), (None, None, 0.27, True)],
        ids=["first-feed-time:wait", "steady:start", "lag-only:start"],
    )
    def test_decision(self, steady, r0, expect_r1, start):
        _, lag0 = cm.first_chunk(11.0, 10.0, 2.0, cm.audio_for(21, self.period, self.ahead))
        r1 = cm.chunk1_make_s(steady, r0, lag0, 1.35)
        assert r1 == pytest.approx(expect_r1)
        need1 = 51200 / 16000
        assert cm.chunk1_in_time(11.0, 21, self.period, 10.0, 2.0, None, need1, 11.0, r1, 0.15) is start

    def test_speech_that_has_ended_is_rated_up_to_its_end(self):
        # With the last speech in at 10.9 the rate is 2.0 / 0.9 and the chunk-1 audio is in at 11.44;
        # the margin then decides against a first-feed estimate of 0.54 s (12.05 < 12.13) but not a
        # steady one of 0.2 s.
        r1 = cm.chunk1_make_s(None, 0.4, 0.2, 1.35)
        assert not cm.chunk1_in_time(11.0, 21, self.period, 10.0, 2.0, 10.9, 3.2, 11.0, r1, 0.15)
        assert cm.chunk1_in_time(11.0, 21, self.period, 10.0, 2.0, 10.9, 3.2, 11.0, 0.2, 0.15)
        assert 10.0 + 3.2 / (2.0 / 0.9) == pytest.approx(11.44)

    def test_schedule_gives_up_lateness_beyond_the_cap(self):
        assert cm.next_due_after(100.0, self.period, 100.01, 0.5) == 100.05
        assert cm.next_due_after(100.0, self.period, 102.0, 0.5) == 101.5


class TestSyncWorkedExample:
    """16 kHz, 640 samples a tick: 0.04 s of voice per frame, 25 ms lead."""

    dur = 640 / 16000.0

    def test_release_after_the_queue_ahead_has_played(self):
        assert cm.picture_release(50.0, 0.30, self.dur, 0.025) == pytest.approx(50.235)

    @pytest.mark.parametrize("queued", [0.02, 0.0, -1.0])
    def test_short_queue_releases_at_once(self, queued):
        assert cm.picture_release(50.0, cm.queued_seconds(queued), self.dur, 0.025) == pytest.approx(49.975)

    @pytest.mark.parametrize("raw", [math.nan, math.inf, -math.inf])
    def test_unusable_reports_count_as_nothing_queued(self, raw):
        assert cm.queued_seconds(raw) == 0.0


@settings(max_examples=300, deadline=None)
@given(frames=pos, spt=pos, sr=pos, f0=pos, period=pos)
def test_ahead_and_audio_for_match_reference(frames, spt, sr, f0, period):
    ahead = cm.ahead_seconds(frames, spt, sr, f0, period)
    assert same(ahead, ref.ahead_seconds(frames, spt, sr, f0, period))
    assert same(cm.audio_for(f0, period, ahead), ref.audio_for(f0, period, ahead))


@settings(max_examples=300, deadline=None)
@given(next_due=finite, period=pos, now=finite, cap=pos)
def test_schedule_matches_reference(next_due, period, now, cap):
    assert same(cm.next_due_after(next_due, period, now, cap), ref.next_due_after(next_due, period, now, cap))


@settings(max_examples=300, deadline=None)
@given(now=finite, t0=finite, got=pos, need=pos)
def test_first_chunk_matches_reference(now, t0, got, need):
    a = cm.first_chunk(now, t0, got, need)
    b = ref.first_chunk(now, t0, got, need)
    assert same(a[0], b[0]) and same(a[1], b[1])


@settings(max_examples=300, deadline=None)
@given(steady=st.none() | pos, r0=st.none() | pos, lag0=st.none() | st.just(0.0) | st.just(-0.0) | pos,
       factor=pos)
def test_feed_estimate_matches_reference(steady, r0, lag0, factor):
    assert same(cm.chunk1_make_s(steady, r0, lag0, factor), ref.chunk1_make_s(steady, r0, lag0, factor))


@settings(max_examples=500, deadline=None)
@given(now=finite, ready=st.integers(0, 100), period=pos, t0=finite, got=pos, t_end=st.none() | finite,
       need=pos, t_chunk0=finite, r1=pos, margin=pos)
def test_start_rule_matches_reference(now, ready, period, t0, got, t_end, need, t_chunk0, r1, margin):
    args = (now, ready, period, t0, got, t_end, need, t_chunk0, r1, margin)
    assert cm.chunk1_in_time(*args) is ref.chunk1_in_time(*args)


@settings(max_examples=300, deadline=None)
@given(now=finite, raw=any_float, dur=pos, lead=pos, release=finite)
def test_sync_arithmetic_matches_reference(now, raw, dur, lead, release):
    q = cm.queued_seconds(raw)
    assert same(q, sref.queued_seconds(raw))
    assert same(cm.picture_release(now, q, dur, lead), sref.picture_release(now, q, dur, lead))
    assert same(cm.hold_timeout(release, now), sref.hold_timeout(release, now))


@pytest.mark.parametrize("a, b", [(0.0, -0.0), (-0.0, 0.0), (math.nan, 1.0), (1.0, math.nan), (2.0, 1.0)])
def test_max_keeps_pythons_tie_rules(a, b):
    assert same(cm.py_max(a, b), max(a, b))
