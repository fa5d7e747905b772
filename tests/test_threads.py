"""Thread sizing on fake cgroup trees and fake machines."""

import pytest


@pytest.fixture
def probe(th, tmp_path, monkeypatch):
    monkeypatch.delenv("LIBSTREAM_THREADS", raising=False)

    def set_machine(cpus, affinity=None, cgroup_line="0::/app/worker", files=None):
        root = tmp_path / "root"
        (root / "proc/self").mkdir(parents=True, exist_ok=True)
        if cgroup_line is not None:
            (root / "proc/self/cgroup").write_text(cgroup_line + "\n")
        for rel, text in (files or {}).items():
            f = root / rel.lstrip("/")
            f.parent.mkdir(parents=True, exist_ok=True)
            f.write_text(text)
        th._set_cpu_probe(str(root), cpus, cpus if affinity is None else affinity)

    yield set_machine
    th._set_cpu_probe()


CG = "/sys/fs/cgroup"


class TestEffectiveCpuCount:
    def test_no_proc_or_sys_files_gives_the_cpu_count_lowered_by_affinity(self, th, probe):
        probe(16, affinity=5, cgroup_line=None)
        assert th.effective_cpu_count() == 5

    def test_max_at_every_level_caps_nothing_and_skips_v1(self, th, probe):
        probe(16, files={
            f"{CG}/app/worker/cpu.max": "max 100000\n",
            f"{CG}/app/cpu.max": "max 100000\n",
            f"{CG}/cpu/cpu.cfs_quota_us": "100000\n",
            f"{CG}/cpu/cpu.cfs_period_us": "100000\n",
        })
        assert th.effective_cpu_count() == 16

    @pytest.mark.parametrize("quota, want", [("150000 100000", 2), ("50000 100000", 1), ("400000 100000", 4)])
    def test_ratio_rounds_up(self, th, probe, quota, want):
        probe(16, files={f"{CG}/app/worker/cpu.max": quota})
        assert th.effective_cpu_count() == want

    def test_smallest_ratio_over_the_walk_wins(self, th, probe):
        probe(16, files={f"{CG}/app/worker/cpu.max": "200000 100000", f"{CG}/app/cpu.max": "100000 100000"})
        assert th.effective_cpu_count() == 1

    def test_walk_reaches_the_hierarchy_root(self, th, probe):
        probe(64, files={f"{CG}/cpu.max": "300000 100000"})
        assert th.effective_cpu_count() == 3

    def test_walk_stops_at_the_root_and_never_reads_above_it(self, th, probe, tmp_path):
        # A cpu.max placed above the hierarchy root (in "/sys/fs") must not be read.
        probe(64, files={"/sys/fs/cpu.max": "100000 100000", "/sys/cpu.max": "100000 100000"})
        assert th.effective_cpu_count() == 64

    def test_single_field_cpu_max_falls_back_to_v1(self, th, probe):
        probe(16, files={
            f"{CG}/app/worker/cpu.max": "max\n",
            f"{CG}/cpu/cpu.cfs_quota_us": "300000\n",
            f"{CG}/cpu/cpu.cfs_period_us": "100000\n",
        })
        assert th.effective_cpu_count() == 3

    def test_unparsable_two_field_cpu_max_still_counts_as_v2(self, th, probe):
        probe(16, files={
            f"{CG}/app/worker/cpu.max": "lots 100000\n",
            f"{CG}/cpu/cpu.cfs_quota_us": "100000\n",
            f"{CG}/cpu/cpu.cfs_period_us": "100000\n",
        })
        assert th.effective_cpu_count() == 16

    def test_v1_quota_of_minus_one_is_no_cap(self, th, probe):
        probe(16, cgroup_line=None, files={
            f"{CG}/cpu/cpu.cfs_quota_us": "-1\n",
            f"{CG}/cpu/cpu.cfs_period_us": "100000\n",
        })
        assert th.effective_cpu_count() == 16

    def test_slash_only_cgroup_reads_the_root_level(self, th, probe):
        probe(16, cgroup_line="0::/", files={f"{CG}/cpu.max": "200000 100000"})
        assert th.effective_cpu_count() == 2

    def test_unknown_machine_count_is_eight(self, th, tmp_path):
        th._set_cpu_probe(str(tmp_path), None, None, True, True)
        try:
            assert th.effective_cpu_count() == 8
        finally:
            th._set_cpu_probe()


class TestDefaultThreads:
    def test_sixty_four_cpus_cap_at_24(self, th, probe):
        probe(64, cgroup_line=None)
        assert th.default_threads(1, 0) == 24
        assert th.default_threads(2, 0) == 24

    def test_two_interpreters_get_half_the_cpus(self, th, probe):
        probe(4, cgroup_line=None)
        assert th.default_threads(2, 3) == 2

    def test_one_cpu(self, th, probe):
        probe(1, cgroup_line=None)
        assert th.default_threads(2, 0) == 1
        assert th.default_threads(1, 0) == 1

    def test_explicit_request_is_used_unchanged(self, th, probe):
        probe(4, cgroup_line=None)
        assert th.default_threads(1, 40) == 40
        assert th.default_threads(1, None) == 4

    @pytest.mark.parametrize("env, want", [("", 4), ("0", 4), ("-2", 4), (" 7 ", 7), ("30", 30)])
    def test_libstream_threads(self, th, probe, monkeypatch, env, want):
        probe(4, cgroup_line=None)
        monkeypatch.setenv("LIBSTREAM_THREADS", env)
        assert th.default_threads(1, 0) == want

    def test_libstream_threads_not_an_integer_is_an_error(self, th, probe, monkeypatch):
        probe(4, cgroup_line=None)
        monkeypatch.setenv("LIBSTREAM_THREADS", "many")
        with pytest.raises(ValueError, match="'many'"):
            th.default_threads(1, 0)
        assert th.default_threads(1, 3) == 3  # not consulted when a request is given
