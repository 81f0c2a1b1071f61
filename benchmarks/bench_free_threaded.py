"""Free-threaded CPython (3.13t) with the GIL off: what only that build can show.

- AtomicCounter.increment alone, beside the atomic integers of the peer packages
  that ship free-threaded wheels, and again while a second thread is alive
  (blocked): on this build a call must not pay for other threads existing.
- find_best_fit from 2 reader threads while a third thread inserts and removes
  sizes in the same tree, the readers' calls counted; bench_contention measures
  1 and 2 readers alone, and the report sets them side by side.

Skipped where the GIL is on. `make bench-ft` runs this with bench_lockfree_core
and bench_contention in the free-threaded venv.
"""

import statistics
import sys
import threading
import time

import pytest

if sys._is_gil_enabled():
    pytest.skip("needs a free-threaded interpreter with the GIL off", allow_module_level=True)

import cereggii
from bench_contention import QUERIES, ROUND_SECONDS, TREE_SIZES, Workers, _tree
from ft_utils.concurrency import AtomicInt64

from korvane.memory.lockfree_core import AtomicCounter

ROUNDS = 5


def increment(impl):
    """The bound method and its arguments."""
    if impl == "korvane AtomicCounter":
        return AtomicCounter().increment, ()
    if impl == "ft_utils AtomicInt64":
        return AtomicInt64(0).incr, ()
    return cereggii.AtomicInt64(0).increment_and_get, (1,)


@pytest.mark.benchmark(group="AtomicCounter.increment, 3.13t")
@pytest.mark.parametrize("impl", ["korvane AtomicCounter", "ft_utils AtomicInt64", "cereggii AtomicInt64"])
def test_increment(benchmark, impl):
    benchmark.extra_info["impl"] = impl
    method, args = increment(impl)
    benchmark(method, *args)


@pytest.mark.benchmark(group="AtomicCounter.increment beside an idle thread, 3.13t")
def test_increment_beside_an_idle_thread(benchmark):
    benchmark.extra_info["impl"] = "korvane AtomicCounter"
    release = threading.Event()
    idle = threading.Thread(target=release.wait)
    idle.start()
    try:
        benchmark(AtomicCounter().increment)
    finally:
        release.set()
        idle.join()


def test_find_best_fit_beside_a_writer(benchmark):
    """2 readers while a writer inserts and removes sizes without pause, on the tree and queries of
    bench_contention's find_best_fit groups. With a third busy thread on 2 cores a woken thread may wait
    a long time for a core, so each reader runs until a deadline (ROUND_SECONDS) and counts its calls,
    instead of making a fixed number of them; the report divides the median count by the median round."""
    impl = "korvane FastRedBlackTree"
    benchmark.group = f"find_best_fit, {TREE_SIZES:,} sizes, 2 readers beside a writer, 3.13t"
    benchmark.extra_info.update(impl=impl, threads=2)
    tree = _tree(impl)
    find, insert, remove_ge = tree.find_best_fit, tree.insert, tree.remove_ge
    stop, block, counts = [False], object(), []

    def write():
        queries = QUERIES[-1]
        while not stop[0]:
            for q in queries:
                insert(q, block)
                remove_ge(q)

    def read(seed, deadline, done):
        queries, calls, clock = QUERIES[seed], 0, time.perf_counter
        while clock() < deadline:
            for q in queries[:100]:
                find(q)
            calls += 100
        done.append(calls)

    writer = threading.Thread(target=write)
    readers = Workers(2)
    writer.start()
    try:
        def run_round():
            done, deadline = [], time.perf_counter() + ROUND_SECONDS
            readers.run(lambda i: read(i, deadline, done))
            counts.append(sum(done))

        benchmark.pedantic(run_round, rounds=ROUNDS)
    finally:
        stop[0] = True
        writer.join()
        readers.close()
    benchmark.extra_info["calls"] = statistics.median(counts)
