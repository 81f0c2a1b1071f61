"""Lock-free core beside what a Python user would otherwise write."""

import itertools
import threading

import pytest

from korvane.memory.lockfree_core import AtomicCounter, LockFreeStack, LockFreeStatistics


class LockedCounter:
    """A counter guarded by threading.Lock, the usual pure-Python choice."""

    def __init__(self, value=0):
        self._lock = threading.Lock()
        self._value = value

    def increment(self, delta=1):
        with self._lock:
            self._value += delta
            return self._value

    def load(self):
        with self._lock:
            return self._value

    def compare_and_swap(self, expected, new_value):
        with self._lock:
            if self._value == expected:
                self._value = new_value
                return True
            return False


class PlainCounter:
    """An unguarded attribute increment: fast but not thread-safe."""

    def __init__(self):
        self.value = 0

    def increment(self):
        self.value += 1
        return self.value


class LockedStatistics:
    """The allocation statistics written in Python with one lock."""

    def __init__(self):
        self._lock = threading.Lock()
        self.total_allocations = self.total_deallocations = self.current_allocations = 0
        self.bytes_allocated = self.bytes_reserved = self.peak_allocations = 0
        self.peak_bytes_allocated = self.bucketed_allocations = self.fallback_allocations = 0
        self.alignment_padding_bytes = self.total_allocation_time_ns = self.total_deallocation_time_ns = 0

    def record_allocation(self, size, is_bucketed=True, padding=0, time_ns=0):
        with self._lock:
            self.total_allocations += 1
            self.current_allocations += 1
            self.bytes_allocated += size
            if is_bucketed:
                self.bucketed_allocations += 1
            else:
                self.fallback_allocations += 1
            if padding > 0:
                self.alignment_padding_bytes += padding
            if time_ns > 0:
                self.total_allocation_time_ns += time_ns
            if self.current_allocations > self.peak_allocations:
                self.peak_allocations = self.current_allocations
            if self.bytes_allocated > self.peak_bytes_allocated:
                self.peak_bytes_allocated = self.bytes_allocated

    def get_snapshot(self):
        with self._lock:
            total = self.total_allocations
            ratio = (self.bucketed_allocations / total) * 100.0 if total > 0 else 0.0
            return {
                "total_allocations": total,
                "total_deallocations": self.total_deallocations,
                "current_allocations": self.current_allocations,
                "bytes_allocated": self.bytes_allocated,
                "bytes_reserved": self.bytes_reserved,
                "peak_allocations": self.peak_allocations,
                "peak_bytes_allocated": self.peak_bytes_allocated,
                "bucketed_allocations": self.bucketed_allocations,
                "fallback_allocations": self.fallback_allocations,
                "bucketed_allocation_ratio": f"{ratio:.1f}%",
                "alignment_padding_bytes": self.alignment_padding_bytes,
                "average_allocation_time_ns": self.total_allocation_time_ns / total if total > 0 else 0.0,
                "average_deallocation_time_ns": (self.total_deallocation_time_ns / self.total_deallocations
                                                 if self.total_deallocations > 0 else 0.0),
                "allocation_mode": "python lock",
            }


@pytest.mark.benchmark(group="AtomicCounter.increment")
@pytest.mark.parametrize("impl", ["korvane AtomicCounter", "threading.Lock counter", "itertools.count",
                                  "plain attribute (unsafe)"])
def test_increment(benchmark, impl):
    if impl == "korvane AtomicCounter":
        benchmark(AtomicCounter().increment)
    elif impl == "threading.Lock counter":
        benchmark(LockedCounter().increment)
    elif impl == "itertools.count":
        benchmark(itertools.count().__next__)
    else:
        benchmark(PlainCounter().increment)


@pytest.mark.benchmark(group="AtomicCounter.load")
@pytest.mark.parametrize("impl", ["korvane AtomicCounter", "threading.Lock counter"])
def test_load(benchmark, impl):
    counter = AtomicCounter(7) if impl.startswith("korvane") else LockedCounter(7)
    assert benchmark(counter.load) == 7


@pytest.mark.benchmark(group="AtomicCounter.compare_and_swap")
@pytest.mark.parametrize("impl", ["korvane AtomicCounter", "threading.Lock counter"])
def test_compare_and_swap(benchmark, impl):
    counter = AtomicCounter(7) if impl.startswith("korvane") else LockedCounter(7)
    assert benchmark(counter.compare_and_swap, 7, 7) is True


@pytest.mark.benchmark(group="LockFreeStatistics.record_allocation")
@pytest.mark.parametrize("impl", ["korvane LockFreeStatistics", "Python with threading.Lock"])
def test_record_allocation(benchmark, impl):
    stats = LockFreeStatistics() if impl.startswith("korvane") else LockedStatistics()
    benchmark(stats.record_allocation, 4096, True, 8, 120)


@pytest.mark.benchmark(group="LockFreeStatistics.get_snapshot")
@pytest.mark.parametrize("impl", ["korvane LockFreeStatistics", "Python with threading.Lock"])
def test_get_snapshot(benchmark, impl):
    stats = LockFreeStatistics() if impl.startswith("korvane") else LockedStatistics()
    for i in range(10):
        stats.record_allocation(64, i % 3 != 0, 8, 100)
    assert benchmark(stats.get_snapshot)["total_allocations"] == 10


@pytest.mark.benchmark(group="method call without arguments")
@pytest.mark.parametrize("impl", ["korvane LockFreeStack.size", "int.bit_length"])
def test_call_overhead(benchmark, impl):
    if impl.startswith("korvane"):
        benchmark(LockFreeStack().size)
    else:
        benchmark((12345).bit_length)
