"""Counters, the statistics snapshot and the timer."""

import threading

from korvane._tour import heading, show
from korvane.memory.lockfree_core import (
    AtomicCounter,
    AtomicPointer,
    LockFreeStack,
    LockFreeStatistics,
    PerformanceTimer,
)


def run() -> None:
    heading("lock-free core: counters from four threads")
    counter = AtomicCounter(0)

    def work() -> None:
        for _ in range(25_000):
            counter.increment()

    threads = [threading.Thread(target=work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    show("4 threads x 25000 increments", counter.load())
    show("compare_and_swap(100000, 0)", counter.compare_and_swap(100_000, 0))
    show("value afterwards", counter.load())

    heading("lock-free core: versioned pointer and stack")
    pointer = AtomicPointer("first")
    pointer.store("second")
    show("pointer holds", f"{pointer.load()!r} at version {pointer.get_version()}")
    stack = LockFreeStack()
    for item in ("a", "b", "c"):
        stack.push(item)
    show("stack size after 3 pushes", stack.size())
    show("pops", [stack.pop() for _ in range(4)])

    heading("lock-free core: allocation statistics and timer")
    stats = LockFreeStatistics()
    timer = PerformanceTimer()
    timer.start()
    for size, bucketed, padding in ((4096, True, 0), (3000, True, 8), (100_000, False, 0)):
        stats.record_allocation(size, bucketed, padding, 150)
    stats.record_deallocation(3000, 90)
    elapsed = timer.elapsed_us()
    snapshot = stats.get_snapshot()
    for key in ("total_allocations", "current_allocations", "bytes_allocated", "peak_bytes_allocated",
                "bucketed_allocation_ratio", "average_allocation_time_ns", "allocation_mode"):
        show(key, snapshot[key])
    show("recording took (us)", f"{elapsed:.1f}")
