"""Shared objects under contention: several calling threads, or one caller beside a busy Python thread.

Each korvane counter call gives up the interpreter lock around its atomic
instruction and must take it back afterwards, so it waits whenever another
Python thread holds it; the alternatives keep the interpreter lock. How long
it waits depends on the scheduler: a busy thread with a core of its own takes
the interpreter lock far more often than one that waits for a core. The
interpreter hands its lock over every switch interval (5 ms), so a round runs
for about ROUND_SECONDS: its number of calls, spread over the calling threads,
is measured first. The report turns round times into calls per second.
"""

import itertools
import random
import threading
import time

import cereggii
import pytest
from bench_block_index import LockedSortedBestFit, new_tree, workload
from bench_lockfree_core import LockedCounter, LockedStatistics

from korvane.memory.lockfree_core import AtomicCounter, LockFreeStatistics

ROUND_SECONDS = 0.1
ROUNDS = 5
THREADS = (1, 2, 4, 8)
TREE_SIZES = 1_000


# Each calling thread binds the methods it calls itself, once per round: a bound method shared by the
# threads would be one more object whose reference count they all write.

def counter_increment(impl):
    counter = {"korvane AtomicCounter": AtomicCounter, "threading.Lock counter": LockedCounter,
               "cereggii AtomicInt64": cereggii.AtomicInt64}[impl](0)

    def work(calls, seed):
        increment = counter.increment_and_get if impl.startswith("cereggii") else counter.increment
        for _ in range(calls):
            increment()

    return work


def record_allocation(impl):
    stats = LockFreeStatistics() if impl.startswith("korvane") else LockedStatistics()

    def work(calls, seed):
        record = stats.record_allocation
        for _ in range(calls):
            record(4096, True, 8, 120)

    return work


def _tree(impl):
    entries, _ = workload(TREE_SIZES)
    return new_tree(entries) if impl.startswith("korvane") else LockedSortedBestFit(entries)


# Query sizes per calling thread, drawn before any round: each thread's own int objects.
QUERIES = [[rng.randrange(1, 50 * TREE_SIZES) for _ in range(1_000)]
           for rng in map(random.Random, range(max(THREADS)))]


def _queries(calls, seed):
    return itertools.islice(itertools.cycle(QUERIES[seed]), calls)


def insert_remove_ge(impl):
    tree = _tree(impl)

    def work(calls, seed):
        insert, remove_ge = tree.insert, tree.remove_ge
        block = object()
        for q in _queries(calls, seed):
            insert(q, block)
            remove_ge(q)

    return work


def find_best_fit(impl):
    tree = _tree(impl)

    def work(calls, seed):
        find = tree.find_best_fit
        for q in _queries(calls, seed):
            find(q)

    return work


OPERATIONS = {
    "AtomicCounter.increment": (counter_increment,
                                ["korvane AtomicCounter", "threading.Lock counter", "cereggii AtomicInt64"]),
    "LockFreeStatistics.record_allocation": (record_allocation,
                                             ["korvane LockFreeStatistics", "Python with threading.Lock"]),
    f"insert + remove_ge, {TREE_SIZES:,} sizes": (insert_remove_ge,
                                                 ["korvane FastRedBlackTree", "SortedKeyList + threading.Lock"]),
    f"find_best_fit, {TREE_SIZES:,} sizes": (find_best_fit,
                                            ["korvane FastRedBlackTree", "SortedKeyList + threading.Lock"]),
}

CASES = [(op, impl) for op, (_, impls) in OPERATIONS.items() for impl in impls]


class Workers:
    """`n` threads that run one round of work together each time `run` is called."""

    def __init__(self, n):
        self._start = threading.Barrier(n + 1)
        self._done = threading.Barrier(n + 1)
        self._work = None
        self._errors = []
        self._threads = [threading.Thread(target=self._serve, args=(i,), daemon=True) for i in range(n)]
        for t in self._threads:
            t.start()

    def _serve(self, i):
        while True:
            self._start.wait()
            work = self._work
            if work is None:
                return
            try:
                work(i)
            except BaseException as e:  # handed to the caller of run
                self._errors.append(e)
            self._done.wait()

    def run(self, work):
        self._work = work
        self._start.wait()
        self._done.wait()
        errors, self._errors = self._errors, []
        if errors:
            raise errors[0]

    def close(self):
        self._work = None
        self._start.wait()
        for t in self._threads:
            t.join()


class BusyThread:
    """A pure-Python loop that keeps wanting the interpreter lock until stopped."""

    def __init__(self):
        self._stop = [False]
        self._thread = threading.Thread(target=self._spin, daemon=True)
        self._thread.start()

    def _spin(self):
        stop, n = self._stop, 0
        while not stop[0]:
            n += 1

    def close(self):
        self._stop[0] = True
        self._thread.join()


def calls_per_round(run_round, threads):
    """The number of calls (a multiple of `threads`) that makes `run_round(calls)` last about ROUND_SECONDS."""
    calls = 100 * threads
    while True:
        start = time.perf_counter()
        run_round(calls)
        elapsed = time.perf_counter() - start
        if elapsed >= ROUND_SECONDS / 4:
            return max(threads, round(calls * ROUND_SECONDS / elapsed / threads) * threads)
        calls *= 4


def measure(benchmark, op, impl, threads, busy=False):
    benchmark.extra_info.update(impl=impl, threads=threads, busy=busy, series=op)
    work = OPERATIONS[op][0](impl)
    workers = Workers(threads)
    spinner = BusyThread() if busy else None
    try:
        def run_round(calls):
            share = calls // threads
            workers.run(lambda i: work(share, i))

        calls = calls_per_round(run_round, threads)
        benchmark.extra_info["calls"] = calls
        benchmark.pedantic(run_round, args=(calls,), rounds=ROUNDS)
    finally:
        workers.close()
        if spinner is not None:
            spinner.close()


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize(("op", "impl"), CASES)
def test_threads(benchmark, op, impl, threads):
    benchmark.group = f"{op}, {threads} thread{'s' if threads > 1 else ''}"
    measure(benchmark, op, impl, threads)


@pytest.mark.parametrize(("op", "impl"), CASES)
def test_beside_busy_thread(benchmark, op, impl):
    benchmark.group = f"{op}, 1 thread beside a busy one"
    measure(benchmark, op, impl, 1, busy=True)
