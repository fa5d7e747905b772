"""Sliding PCM buffer, transcribed step by step in NumPy (argument type checks left out)."""

import numpy as np


class SlidingPCM:
    def __init__(self, minimum_capacity=51200):
        self.minimum_capacity = minimum_capacity
        self.storage = np.empty(0, dtype=np.float32)
        self.start = 0
        self.end = 0
        self.base = 0
        self.fed = 0
        self.appended_samples = 0
        self.moved_samples = 0
        self.allocations = 0
        self.aliased_samples_snapshotted = 0
        self.peak_capacity = 0

    @property
    def live(self):
        return self.storage[self.start : self.end]

    def append(self, pcm):
        pcm = np.asarray(pcm, dtype=np.float32)
        n = pcm.size
        if n == 0:
            return
        if pcm.ndim != 1:
            raise ValueError("one-dimensional PCM required")
        if np.may_share_memory(pcm, self.storage):
            pcm = pcm.copy()
            self.aliased_samples_snapshotted += n
        live_count = self.end - self.start
        capacity = len(self.storage)
        if capacity - self.end < n:
            if capacity >= live_count + n:
                self.storage[:live_count] = self.storage[self.start : self.end].copy()
                self.moved_samples += live_count
                self.start = 0
                self.end = live_count
            else:
                self._allocate(max(2 * capacity, live_count + n, self.minimum_capacity))
        self.storage[self.end : self.end + n] = pcm
        self.end += n
        self.fed += n
        self.appended_samples += n

    def _allocate(self, capacity):
        live = self.storage[self.start : self.end]
        new = np.empty(capacity, dtype=np.float32)
        new[: len(live)] = live
        self.moved_samples += len(live)
        self.storage = new
        self.start = 0
        self.end = len(live)
        self.allocations += 1
        self.peak_capacity = max(self.peak_capacity, capacity)

    def discard_before(self, absolute_sample):
        if absolute_sample < 0:
            raise ValueError("nonnegative absolute sample offset required")
        drop = min(max(absolute_sample - self.base, 0), self.end - self.start)
        self.start += drop
        self.base += drop
        live_count = self.end - self.start
        capacity = len(self.storage)
        if capacity > self.minimum_capacity and live_count <= capacity // 4:
            self._allocate(max(2 * live_count, self.minimum_capacity))

    def counters(self):
        return {
            "live_samples": self.end - self.start,
            "backing_bytes": len(self.storage) * 4,
            "peak_backing_bytes": self.peak_capacity * 4,
            "input_samples_copied": self.appended_samples,
            "retained_samples_moved": self.moved_samples,
            "aliased_samples_snapshotted": self.aliased_samples_snapshotted,
            "allocations": self.allocations,
            "absolute_base": self.base,
            "absolute_fed": self.fed,
        }
