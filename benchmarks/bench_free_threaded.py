"""Free-threaded CPython (3.13t) with the GIL off: what only that build can show.

- AtomicCounter.increment alone, beside the atomic integers of the peer packages
  that ship free-threaded wheels, and again while a second thread is alive
  (blocked): on this build a call must not pay for other threads existing.
- find_best_fit from 1 and 2 reader threads on one tree, and from 2 beside a
  third thread that inserts and removes sizes in it without pause: each reader
  calls through a handle it made (korvane.threads), the peer packages'
  per-thread wrappers, or a bound method it made itself, the readers' calls
  counted to a deadline; every row against 1 reader through a handle in
  rounds taken in turn with its own, and beside them the same readers of
  trees of their own (what the machine allows them);
- AtomicCounter.increment, LockFreeStatistics.record_allocation and
  CounterAggregator.update from 1 and 2 threads on one shared object, through
  handles and bound methods.

Skipped where the GIL is on. `make bench-ft` runs this with bench_lockfree_core
and bench_contention in the free-threaded venv.
"""

import os
import random
import statistics
import sys
import threading
import time

import pytest

if sys._is_gil_enabled():
    pytest.skip("needs a free-threaded interpreter with the GIL off", allow_module_level=True)

import cereggii
from bench_contention import QUERIES, TREE_SIZES, Workers
from ft_utils.concurrency import AtomicInt64
from ft_utils.local import LocalWrapper

from korvane.memory.block_index import FastRedBlackTree
from korvane.memory.lockfree_core import AtomicCounter, LockFreeStatistics
from korvane.memory.memory_block import MemoryBlock
from korvane.monitoring.counter_hub import CounterAggregator
from korvane.threads import handle

ROUNDS = 5
READ_SECONDS = 0.5
# Rows measured against lone rounds run in turn with their own: more, shorter rounds, so that each pair
# lies closer in time.
PAIRED_ROUNDS = 15
PAIRED_SECONDS = 0.25
CPUS = sorted(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else []
FT = ", 3.13t"


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


# How a thread calls a shared object's method: through a handle it made (korvane.threads), the peers'
# per-thread wrappers, or the bound method it made itself.
CALLERS = {
    "korvane handle": handle,
    "bound method": lambda method: method,
    "cereggii ThreadHandle": cereggii.ThreadHandle,
    "ft_utils LocalWrapper": LocalWrapper,
}


def call_each(call, queries):
    for q in queries:
        call(q)


class Writer:
    """A thread that runs batches of writes without pause, but for the spans when it is held: `make()`
    runs in the thread and returns the batch. What the thread raises is raised again by close()."""

    def __init__(self, make):
        self._go, self._held, self._stop, self._error = threading.Event(), threading.Event(), False, None
        self._go.set()
        self._thread = threading.Thread(target=self._run, args=(make,))
        self._thread.start()

    def _run(self, make):
        try:
            batch = make()
            while not self._stop:
                if not self._go.is_set():
                    self._held.set()
                    self._go.wait()
                    continue
                batch()
        except BaseException as e:  # handed to close()
            self._error = e

    def hold(self):
        self._held.clear()
        self._go.clear()
        while not self._held.wait(0.1) and self._thread.is_alive():
            pass

    def resume(self):
        self._go.set()

    def close(self):
        self._stop = True
        self._go.set()
        self._thread.join()
        if self._error is not None:
            raise self._error


def run_readers(benchmark, make_call, queries_of, readers, writer=None, batch=call_each, alone=None):
    """`readers` threads, each calling make_call(i) made in its own thread (i its number) on its own
    queries for READ_SECONDS from its own start and counting its calls, in ROUNDS rounds, beside `writer`
    (a function that makes, in a thread of its own, a batch of writes that the thread runs without
    pause) when given; the report divides the median count by the median round. With a third busy
    thread on 2 cores a woken thread may wait long for a core, hence rounds long enough that the wait is
    small beside them, and a count of calls rather than a fixed number. Reader i runs on core i (of
    those this process may use), so that the scheduler never stacks two readers on one core while the
    writer has the other; the writer goes where the scheduler puts it.

    With `alone` (a make_call), the rounds are PAIRED_ROUNDS of PAIRED_SECONDS, each preceded, untimed,
    by a round of reader 0 alone calling alone(0), the writer held: extra_info["against_alone"] is the
    median of each round's count against the lone round just before it. On a shared machine whose
    speed drifts from second to second, that compares rounds run next to each other rather than groups
    run minutes apart."""
    counts, lone, ratios = [], [], []
    seconds, rounds = (READ_SECONDS, ROUNDS) if alone is None else (PAIRED_SECONDS, PAIRED_ROUNDS)

    def read(seed, done, make=make_call):
        if CPUS:
            os.sched_setaffinity(0, {CPUS[seed % len(CPUS)]})
        call, queries, calls, clock = make(seed), queries_of(seed), 0, time.perf_counter
        deadline = clock() + seconds
        while clock() < deadline:
            batch(call, queries)
            calls += len(queries)
        done.append(calls)

    writing = Writer(writer) if writer else None
    workers = Workers(readers)
    try:
        def before_round():
            if alone is None:
                return
            if writing:
                writing.hold()
            done = []
            workers.run(lambda i: read(i, done, alone) if i == 0 else None)
            lone.append(done[0])
            if writing:
                writing.resume()

        def run_round():
            done = []
            workers.run(lambda i: read(i, done))
            counts.append(sum(done))
            if alone is not None:
                ratios.append(counts[-1] / lone[-1])

        benchmark.pedantic(run_round, setup=before_round, rounds=rounds)
    finally:
        if writing:
            writing.close()
        workers.close()
    benchmark.extra_info["calls"] = statistics.median(counts)
    if ratios:
        benchmark.extra_info["against_alone"] = statistics.median(ratios)


def own_ints(values):
    """The same values as new int objects of the calling thread (none shared with another reader)."""
    return [int(str(v)) for v in values]


SPACE = 50 * TREE_SIZES


def reader_tree():
    """TREE_SIZES sizes with a MemoryBlock each, the blocks made in the order of their sizes, as a pool
    that indexes its memory by address would, so that the blocks of one range of sizes lie together in
    memory. They are made by a thread of their own, whose allocator starts from empty pages: in this
    process's own, earlier benchmarks leave holes that would scatter them."""
    sizes = sorted(random.Random(7).sample(range(1, SPACE), TREE_SIZES))
    tree = FastRedBlackTree()

    def fill():
        for offset, size in enumerate(sizes):
            tree.insert(size, MemoryBlock(offset * SPACE, size))

    filler = threading.Thread(target=fill)
    filler.start()
    filler.join()
    return tree


def reader_queries(part, parts=2):
    """100 query sizes in the part-th of `parts` ranges, whose best fits lie in that range."""
    rng = random.Random(100 + part)
    low, high = part * SPACE // parts, (part + 1) * SPACE // parts - SPACE // 100
    return [rng.randrange(low + 1, high) for _ in range(100)]


def churn(tree, wrap):
    """The writer of a tree: inserts and removes sizes all over its range, calling through wrap()."""

    def writer():
        insert, remove_ge, queries = wrap(tree.insert), wrap(tree.remove_ge), own_ints(QUERIES[-1])

        def batch():
            for q in queries:
                insert(q, None)
                remove_ge(q)
        return batch
    return writer


def lone_reader(tree):
    """What every other row is measured against, in rounds of its own: 1 reader through a handle."""
    return lambda seed: handle(tree.find_best_fit)


# Reader i asks for sizes in range i (of 2), so that the readers' results are different objects: two
# readers given the same block each write its reference count (the "same sizes" group shows that cost).
@pytest.mark.parametrize("readers", [1, 2])
@pytest.mark.parametrize("caller", CALLERS)
def test_find_best_fit_readers(benchmark, caller, readers):
    """find_best_fit on one tree of TREE_SIZES sizes, a distinct block in each entry."""
    benchmark.group = f"find_best_fit, {TREE_SIZES:,} sizes, {readers} reader{'s' if readers > 1 else ''}{FT}"
    benchmark.extra_info.update(impl=caller, threads=readers)
    tree, wrap = reader_tree(), CALLERS[caller]
    baseline = readers == 1 and caller == "korvane handle"
    run_readers(benchmark, lambda seed: wrap(tree.find_best_fit), lambda seed: own_ints(reader_queries(seed)),
                readers, alone=None if baseline else lone_reader(tree))


@pytest.mark.parametrize("caller", ["korvane handle", "bound method"])
def test_find_best_fit_readers_of_the_same_sizes(benchmark, caller):
    benchmark.group = f"find_best_fit, {TREE_SIZES:,} sizes, 2 readers of the same sizes{FT}"
    benchmark.extra_info.update(impl=caller, threads=2)
    tree, wrap = reader_tree(), CALLERS[caller]
    run_readers(benchmark, lambda seed: wrap(tree.find_best_fit), lambda seed: own_ints(reader_queries(0)), 2,
                alone=lone_reader(tree))


@pytest.mark.parametrize("caller", ["korvane handle", "bound method"])
def test_find_best_fit_beside_a_writer(benchmark, caller):
    """2 readers while a writer inserts and removes sizes all over the range without pause; every thread
    calls the way the row names."""
    benchmark.group = f"find_best_fit, {TREE_SIZES:,} sizes, 2 readers beside a writer{FT}"
    benchmark.extra_info.update(impl=caller, threads=2)
    tree, wrap = reader_tree(), CALLERS[caller]

    run_readers(benchmark, lambda seed: wrap(tree.find_best_fit), lambda seed: own_ints(reader_queries(seed)),
                2, churn(tree, wrap), alone=lone_reader(tree))


# What the machine itself allows the rows above in the same run: the same readers, each of a tree of
# its own, and beside a writer of a third tree, so that nothing of one tree is shared.
@pytest.mark.parametrize("beside", ["", " beside a writer of another"])
def test_find_best_fit_readers_of_their_own_trees(benchmark, beside):
    benchmark.group = f"find_best_fit, {TREE_SIZES:,} sizes, 2 readers of their own trees{beside}{FT}"
    benchmark.extra_info.update(impl="korvane handle", threads=2)
    trees, other = [reader_tree(), reader_tree()], reader_tree()

    run_readers(benchmark, lambda seed: handle(trees[seed].find_best_fit),
                lambda seed: own_ints(reader_queries(seed)), 2, churn(other, handle) if beside else None,
                alone=lone_reader(trees[0]))


# The other shared objects' hot calls, from 1 and 2 threads through handles and bound methods: (make the
# object, its method's name, one batch of calls).
def increments(call, queries):
    for _ in queries:
        call()


def recordings(call, queries):
    for q in queries:
        call(q, True, 8, 120)


def updates(call, queries):
    for q in queries:
        call(q & 15, 1.5)


SHARED = {
    "AtomicCounter.increment": (AtomicCounter, "increment", increments),
    "LockFreeStatistics.record_allocation": (LockFreeStatistics, "record_allocation", recordings),
    "CounterAggregator.update": (lambda: CounterAggregator(16), "update", updates),
}


@pytest.mark.parametrize("threads", [1, 2])
@pytest.mark.parametrize("caller", ["korvane handle", "bound method"])
@pytest.mark.parametrize("op", SHARED)
def test_shared_object_threads(benchmark, op, caller, threads):
    benchmark.group = f"{op}, one object, {threads} thread{'s' if threads > 1 else ''}{FT}"
    benchmark.extra_info.update(impl=caller, threads=threads)
    make, name, batch = SHARED[op]
    target, wrap = make(), CALLERS[caller]
    run_readers(benchmark, lambda seed: wrap(getattr(target, name)), lambda seed: own_ints(QUERIES[seed][:100]),
                threads, batch=batch)
