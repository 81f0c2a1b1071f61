"""Hostile conditions: what stays true of the stateful types whatever happens inside a call.

- SWEEP: a public writer or constructor whose allocations fail from the k-th one on (for every k
  until the call succeeds) raises MemoryError and leaves the object exactly as it was, and usable.
- REENTRY: Python code that a writer runs (an argument's conversions, a subclass hook, a stored
  counter's method, a finaliser, the lock's own __enter__/__exit__) calls back into the same object
  directly, from a finaliser run by the collector and from a signal handler, with the module's
  threading.Lock and with a re-entrant lock in its place: no hang, no crash, a consistent object.
- CHAINS: 10**6 objects, each holding the previous one, are freed by reference counting and by the
  collector without growing the C stack.

Each table has one row per writer, call site or container type; a new type adds its rows.
"""

import contextlib
import ctypes
import gc
import os
import signal
import sys
import sysconfig
import threading
import types

import pytest

from conftest import SANITIZED
from korvane.gpu import accel_planner as planner
from korvane.memory import block_index as bi
from korvane.memory import lockfree_core as lf
from korvane.memory import slab_engine as se
from korvane.monitoring import counter_hub as hub
from korvane.plugins.analyzer import adaptation_policy as policy
from korvane.plugins.analyzer import task_scoring as scoring

try:
    from _testcapi import remove_mem_hooks, set_nomemory
except ImportError:
    set_nomemory = None

FIELDS = ("total_allocations", "total_deallocations", "current_allocations", "bytes_allocated", "bytes_reserved",
          "peak_allocations", "peak_bytes_allocated", "bucketed_allocations", "fallback_allocations",
          "alignment_padding_bytes", "total_allocation_time_ns", "total_deallocation_time_ns")

# Values outside the small-int cache, so that results and conversions allocate.
BIG, HUGE = int("1000000"), int("70000000000")
OFFSET_F = float("1000")


class Block:
    """A stored object; compared by identity."""


A, B = Block(), Block()


class Clock:
    """A `time` module double whose perf_counter_ns allocates its result, as the real one does."""

    base = int("3") * 10**12

    @classmethod
    def perf_counter_ns(cls):
        return cls.base + 0


def counter(value):
    return lambda: lf.AtomicCounter(value)


def statistics(cls=lf.LockFreeStatistics):
    def make():
        s = cls()
        s.record_allocation(BIG, True, 300, 5000)
        s.record_deallocation(400, 700)
        return s
    return make


def stack():
    s = lf.LockFreeStack()
    for _ in range(5):
        s.push(A)
    return s


def header():
    h = se.FastSlabHeaderOps(3, 32)
    h.py_allocate_object_at(4)
    return h


def allocator():
    a = se.FastBucketAllocator(8, 64, 128)
    for offset in range(1000, 1005):
        a.add_to_bucket(offset, 24)
    a.remove_from_bucket(24)  # four offsets in a list with room for eight: the next pop shrinks it
    return a


def collector():
    c = se.FastStatsCollector()
    for _ in range(300):
        c.py_record_allocation(64, 8, True)
    return c


def aggregator():
    agg = hub.CounterAggregator(4)
    agg.update(1, 2.5)
    agg.update(3, -1.0)
    return agg


def buckets(a):
    """The allocator's free lists, as the collector sees them."""
    d = next(r for r in gc.get_referents(a) if type(r) is dict)
    return {size: list(offsets) for size, offsets in d.items()}


class SubStatistics(lf.LockFreeStatistics):
    pass


class SubAllocator(se.FastBucketAllocator):
    pass


def no_object():
    return None


def no_state(_):
    return None


def items(s):
    """The stack's items, top first, as the collector sees them."""
    return [r for r in gc.get_referents(s) if type(r) is Block]


def counters(s):
    return s.get_snapshot(), [type(getattr(s, f)) for f in FIELDS]


def header_state(h):
    return h.pack_header(), h.py_find_free_object()


class Eq:
    """A stored block whose equality is Python code: equal to any Eq of the same key."""

    def __init__(self, key):
        self.key = key

    def __eq__(self, other):
        return type(other) is Eq and other.key == self.key

    __hash__ = object.__hash__


def tree(records=300):
    """A tree of `records` blocks with every insert sampled: counts outside the small-int cache, and
    room in its records' chunks (of 32, 64, 128, 256, ... records) for one more."""
    def make():
        t = bi.FastRedBlackTree(1)
        for i in range(records):
            t.insert(BIG + i % 7, (A, B, Eq(i % 3))[i % 3])
        return t
    return make


def tree_state(t):
    """Sizes, statistics and the stored blocks, as the collector sees them (a finder would count)."""
    return t.get_size_distribution(), t.get_stats(), [r for r in gc.get_referents(t) if type(r) in (Block, Eq)]


# (id, make the object, the call, its observable state). Besides the state, a failed call must leave the
# reference counts of the stored objects A and B as they were.
SWEEP = [
    ("AtomicCounter()", no_object, lambda _: lf.AtomicCounter(BIG), no_state),
    ("counter.store", counter(BIG), lambda c: c.store(HUGE), lambda c: c.load()),
    ("counter.increment", counter(BIG), lambda c: c.increment(), lambda c: c.load()),
    ("counter.increment(delta)", counter(BIG), lambda c: c.increment(HUGE), lambda c: c.load()),
    ("counter.decrement", counter(BIG), lambda c: c.decrement(7), lambda c: c.load()),
    ("counter.fetch_and_add", counter(BIG), lambda c: c.fetch_and_add(3), lambda c: c.load()),
    ("counter.compare_and_swap", counter(BIG), lambda c: c.compare_and_swap(BIG, HUGE), lambda c: c.load()),
    ("AtomicCounterWrapper()", no_object, lambda _: lf.AtomicCounterWrapper(OFFSET_F), no_state),
    ("wrapper.increment", lambda: lf.AtomicCounterWrapper(BIG), lambda w: w.increment(OFFSET_F), lambda w: w.load()),
    ("wrapper.decrement", lambda: lf.AtomicCounterWrapper(BIG), lambda w: w.decrement(), lambda w: w.load()),
    ("wrapper.fetch_and_add", lambda: lf.AtomicCounterWrapper(BIG), lambda w: w.fetch_and_add(HUGE),
     lambda w: w.load()),
    ("wrapper.store", lambda: lf.AtomicCounterWrapper(BIG), lambda w: w.store(OFFSET_F), lambda w: w.load()),
    ("AtomicPointer()", no_object, lambda _: lf.AtomicPointer(A), no_state),
    ("pointer.store", lambda: lf.AtomicPointer(A), lambda p: p.store(B), lambda p: (p.load(), p.get_version())),
    ("pointer.compare_and_swap", lambda: lf.AtomicPointer(A), lambda p: p.compare_and_swap(A, B),
     lambda p: (p.load(), p.get_version())),
    ("pointer.compare_and_swap(refused)", lambda: lf.AtomicPointer(A), lambda p: p.compare_and_swap(B, B),
     lambda p: (p.load(), p.get_version())),
    ("LockFreeStack()", no_object, lambda _: lf.LockFreeStack(), no_state),
    ("stack.push", stack, lambda s: s.push(B), lambda s: (s.size(), items(s))),
    ("stack.pop", stack, lambda s: s.pop(), lambda s: (s.size(), items(s))),
    ("LockFreeStatistics()", no_object, lambda _: lf.LockFreeStatistics(), no_state),
    *[(f"statistics.{prefix}{name}", make, op, counters)
      for prefix, make in (("", statistics()), ("subclass.", statistics(SubStatistics)))
      for name, op in (("record_allocation", lambda s: s.record_allocation(BIG, False, 900, HUGE)),
                       ("record_deallocation", lambda s: s.record_deallocation(BIG, HUGE)),
                       ("py_record_allocation", lambda s: s.py_record_allocation(BIG, True, 900, HUGE)),
                       ("py_record_deallocation", lambda s: s.py_record_deallocation(BIG, HUGE)),
                       ("_update_peaks", lambda s: s._update_peaks(HUGE, HUGE)),
                       ("reset", lambda s: s.reset()))],
    ("PerformanceTimer()", no_object, lambda _: lf.PerformanceTimer(), no_state),
    ("timer.start", lf.PerformanceTimer, lambda t: t.start(), lambda t: t.elapsed_ns()),
    ("FastSlabHeaderOps()", no_object, lambda _: se.FastSlabHeaderOps(BIG, 40), no_state),
    ("header.pack_header", header, lambda h: h.pack_header(), header_state),
    ("header.unpack_header", header, lambda h: h.unpack_header(bytes(range(16))), header_state),
    ("header.py_allocate_object_at", header, lambda h: h.py_allocate_object_at(9), header_state),
    ("header.py_deallocate_object_at", header, lambda h: h.py_deallocate_object_at(4), header_state),
    ("FastBucketAllocator()", no_object, lambda _: se.FastBucketAllocator(), no_state),
    ("FastBucketAllocator(subclass)", no_object, lambda _: SubAllocator(8, 64, 128), no_state),
    ("allocator._init_buckets", allocator, lambda a: a._init_buckets(), buckets),
    ("allocator.add_to_bucket", allocator, lambda a: a.add_to_bucket(OFFSET_F, 40), buckets),
    ("allocator.remove_from_bucket", allocator, lambda a: a.remove_from_bucket(20), buckets),
    ("allocator.find_best_fit_bucket", allocator, lambda a: a.find_best_fit_bucket(20, 1), buckets),
    ("FastStatsCollector()", no_object, lambda _: se.FastStatsCollector(), no_state),
    ("collector.py_record_allocation", collector, lambda c: c.py_record_allocation(64, 0, False),
     lambda c: c.get_stats()),
    ("collector.py_record_deallocation", collector, lambda c: c.py_record_deallocation(), lambda c: c.get_stats()),
    ("collector.reset_stats", collector, lambda c: c.reset_stats(), lambda c: c.get_stats()),
    ("FastRedBlackTree()", no_object, lambda _: bi.FastRedBlackTree(BIG), no_state),
    ("tree.insert(new size)", tree(), lambda t: t.insert(HUGE, A), tree_state),
    ("tree.insert(a new chunk)", tree(480), lambda t: t.insert(BIG, B), tree_state),
    ("tree.delete(identity)", tree(), lambda t: t.delete(BIG + 3, A), tree_state),
    ("tree.delete(__eq__)", tree(), lambda t: t.delete(BIG + 2, Eq(2)), tree_state),
    ("tree.delete(no match)", tree(), lambda t: t.delete(BIG + 2, Eq(9)), tree_state),
    ("tree.remove_ge", tree(), lambda t: t.remove_ge(BIG + 4), tree_state),
    ("tree.clear", tree(), lambda t: t.clear(), tree_state),
    ("tree.reset_circuit_breaker", tree(), lambda t: t.reset_circuit_breaker(), tree_state),
    ("tree.find_best_fit", tree(), lambda t: t.find_best_fit(BIG + 1), tree_state),
    ("tree.find_all_exact", tree(), lambda t: t.find_all_exact(BIG), tree_state),
    ("CounterAggregator()", no_object, lambda _: hub.CounterAggregator(), no_state),
    ("create_aggregator()", no_object, lambda _: hub.create_aggregator(4), no_state),
    ("aggregator.update", aggregator, lambda g: g.update(2, 7.5), lambda g: g.get_all_stats()),
    ("aggregator.reset", aggregator, lambda g: g.reset(1), lambda g: g.get_all_stats()),
    ("aggregator.reset_all", aggregator, lambda g: g.reset_all(), lambda g: g.get_all_stats()),
    ("tree.get_size_distribution", tree(), lambda t: t.get_size_distribution(), tree_state),
    ("compute_chunk_shapes", no_object, lambda _: planner.compute_chunk_shapes((1000, 3), 8, 7200), no_state),
    ("is_oom_error", no_object, lambda _: planner.is_oom_error("CUDA out of memory " * 40, "RuntimeError"), no_state),
    ("predict_resource_requirements", no_object,
     lambda _: policy.predict_resource_requirements([(t, 5000) for t in range(10)], 900.0), no_state),
    ("calculate_gpu_suitability", no_object,
     lambda _: scoring.calculate_gpu_suitability(0.5, 0.5, 0.5, True, "\uff18.6"), no_state),
]


def fails_after(k, op, obj):
    """op(obj) with every allocation after the first k failing: (exception type, text), or None."""
    set_nomemory(k, 0)
    try:
        op(obj)
    except BaseException as exc:  # noqa: BLE001 - reported to the caller
        remove_mem_hooks()
        return type(exc), str(exc)
    remove_mem_hooks()
    return None


@pytest.mark.skipif(set_nomemory is None, reason="needs _testcapi.set_nomemory (the interpreter's test C API)")
@pytest.mark.parametrize("make, op, state", [row[1:] for row in SWEEP], ids=[row[0] for row in SWEEP])
def test_allocation_failure_leaves_object_as_it_was(make, op, state, monkeypatch):
    monkeypatch.setattr(lf, "time", Clock)
    # Corruption warnings are kept by a list's append: the logging package itself does not make
    # progress when every allocation fails.
    monkeypatch.setattr(se, "logger", types.SimpleNamespace(warning=[].append))
    control = make()
    op(control)
    expected = state(control)
    gc.disable()
    try:
        for k in range(2000):
            obj = make()
            before = state(obj)  # first: the previous state (which may hold A and B) goes here
            refs = sys.getrefcount(A), sys.getrefcount(B)
            failure = fails_after(k, op, obj)
            if failure is None:
                assert state(obj) == expected
                return
            assert failure[0] is MemoryError, f"allocation {k + 1} failed: {failure}"
            assert state(obj) == before, f"allocation {k + 1} failed: the object was changed"
            assert (sys.getrefcount(A), sys.getrefcount(B)) == refs, f"allocation {k + 1} failed: references"
            op(obj)
            assert state(obj) == expected, f"allocation {k + 1} failed: the object is no longer usable"
        pytest.fail("the call never succeeded")
    finally:
        gc.enable()


# --- re-entry --------------------------------------------------------------------------------------

REENTRY_SIGNAL, WATCHDOG_SIGNAL = signal.SIGUSR1, signal.SIGUSR2
REFUSED = "reset() cannot be re-entered by the thread that is running it"


class Hang(Exception):
    """Raised in the main thread by the watchdog."""


@contextlib.contextmanager
def watchdog(seconds=10.0):
    """Fails the test if the block runs longer than `seconds`: from then on a signal interrupts
    whatever the main thread waits for (a lock acquisition included) with Hang, until it ends."""
    main, done, bitten = threading.get_ident(), threading.Event(), []

    def bite(signum, frame):
        raise Hang("no progress: waiting for a lock this thread holds?")

    def watch():
        wait = seconds
        while not done.wait(wait):
            bitten.append(True)
            signal.pthread_kill(main, WATCHDOG_SIGNAL)
            wait = 0.1

    old = signal.signal(WATCHDOG_SIGNAL, bite)
    watcher = threading.Thread(target=watch, daemon=True)
    watcher.start()
    try:
        yield
    finally:
        done.set()
        watcher.join()
        signal.signal(WATCHDOG_SIGNAL, old)
    assert not bitten, "hang"


class Reentry:
    """From each hook: calls `callback(target)` directly, from the finaliser of an unreachable cycle
    that the collector then frees, and from a signal handler. Nested hooks do nothing, so that a
    callback that reaches a hook again does not recurse. Each outcome is recorded."""

    def __init__(self, callback):
        self.callback, self.target, self.busy, self.outcomes = callback, None, False, []

    def run(self, how):
        try:
            self.callback(self.target)
        except Exception as exc:  # noqa: BLE001 - checked by the test
            self.outcomes.append((how, exc))
        else:
            self.outcomes.append((how, None))

    def __call__(self):
        if self.busy or self.target is None:
            return
        self.busy = True
        try:
            self.run("direct")
            a, b = Finalised(self), Finalised(self)
            a.other, b.other = b, a
            del a, b
            gc.collect(0)
            signal.raise_signal(REENTRY_SIGNAL)
        finally:
            self.busy = False


class Finalised:
    def __init__(self, reentry):
        self.reentry = reentry

    def __del__(self):
        self.reentry.run("collector")


# The hook of the running case: every hostile object below calls it.
hook = Reentry(lambda target: None)


class Hooked:
    """An argument whose conversions and truth test run the hook."""

    def __init__(self, value):
        self.value = value

    def __int__(self):
        hook()
        return int(self.value)

    __index__ = __int__

    def __float__(self):
        hook()
        return float(self.value)

    def __bool__(self):
        hook()
        return bool(self.value)


class HookedCounter:
    """A replacement for a public statistics counter: an AtomicCounter whose methods run the hook."""

    def __init__(self):
        self.counter = lf.AtomicCounter()

    def __getattr__(self, name):
        method = getattr(self.counter, name)

        def hooked(*args):
            hook()
            return method(*args)
        return hooked


class HookedOnDelete:
    """A stored object whose finaliser runs the hook."""

    def __del__(self):
        hook()


class HookedLock:
    """A re-entrant lock that runs the hook while held, just after entering and before leaving."""

    def __init__(self):
        self.lock = threading.RLock()

    def __enter__(self):
        self.lock.acquire()
        hook()
        return True

    def __exit__(self, *exc):
        hook()
        self.lock.release()


class HookedStatistics(lf.LockFreeStatistics):
    def _update_peaks(self, current, peak_bytes):
        hook()
        return super()._update_peaks(current, peak_bytes)


class HookedAllocator(se.FastBucketAllocator):
    def _init_buckets(self):
        hook.target = self
        hook()
        return super()._init_buckets()


def hooked_statistics():
    s = lf.LockFreeStatistics()
    for name in FIELDS:
        setattr(s, name, HookedCounter())
    return s


def check_pointer(p):
    version = p.get_version()
    p.store(A)
    assert p.load() is A and p.get_version() == version + 1


def check_stack(s):
    for _ in range(s.size()):
        s.pop()
    assert s.size() == 0 and s.is_empty() and s.pop() is None
    s.push(A)
    assert s.pop() is A


def check_statistics(s):
    s.reset()
    snap = s.get_snapshot()
    assert [snap[k] for k in FIELDS[:7]] == [0] * 7
    s.record_allocation(10)
    assert s.get_snapshot()["bytes_allocated"] == 10


def check_allocator(a):
    a.add_to_bucket(4000, 64)
    assert a.remove_from_bucket(64) == 4000
    assert all(type(o) is int for offsets in buckets(a).values() for o in offsets)


def check_collector(c):
    stats = c.get_stats()
    assert stats["total_allocations"] == stats["bucketed_allocations"] + stats["fallback_allocations"]


def check_aggregator(g):
    g.reset_all()
    assert g.get_all_stats() == []
    g.update(1, 2.0)
    assert g.get_stats(1)["count"] == 1


class HookedEq:
    """A stored block whose first comparison runs the hook; equal to nothing but itself."""

    def __init__(self):
        self.fresh = True

    def __eq__(self, other):
        if self.fresh:
            self.fresh = False
            hook()
        return self is other

    __hash__ = object.__hash__


class HookedTree(bi.FastRedBlackTree):
    def _sanitize_size(self, size):
        hook()
        return super()._sanitize_size(size)

    def size(self):
        hook()
        return super().size()


def tree_of(*blocks):
    t = bi.FastRedBlackTree(1)
    for block in blocks:
        t.insert(8, block)
    return t


def tree_with_hooked_counters():
    saved, bi.AtomicCounter = bi.AtomicCounter, lambda value: HookedCounter()
    try:
        return tree_of(A, B)
    finally:
        bi.AtomicCounter = saved


def tree_callback(t):
    t.insert(8, A)
    t.remove_ge(0)
    t.delete(8, B)
    t.get_stats()
    t.clear()


def check_tree(t):
    stats, dist = t.get_stats(), t.get_size_distribution()
    assert stats["node_count"] == stats["total_blocks"] == sum(dist.values()) == len(t) and t.seq_counter % 2 == 0
    t.insert(5, A)
    assert t.find_best_fit(0) is A and t.remove_ge(5) == (5, A)


def stack_with(*items):
    s = lf.LockFreeStack()
    for item in items:
        s.push(item)
    return s


# (id, module whose threading the case replaces, make the object, act on it, call back into it, check it).
# LOCK_ONLY rows reach Python code only through the lock: they run with the re-entrant double alone.
REENTRY = [
    ("counter.increment(__index__)", lf, lf.AtomicCounter, lambda c: c.increment(Hooked(5)),
     lambda c: c.increment(), lambda c: c.increment()),
    ("pointer.store(finaliser)", lf, lambda: lf.AtomicPointer(HookedOnDelete()), lambda p: p.store(A),
     lambda p: p.store(p.load()), check_pointer),
    ("pointer.compare_and_swap", lf, lf.AtomicPointer, lambda p: p.compare_and_swap(None, B),
     lambda p: p.compare_and_swap(p.load(), A), check_pointer),
    ("pointer.load", lf, lf.AtomicPointer, lambda p: p.load(), lambda p: p.store(B), check_pointer),
    ("pointer.get_version", lf, lf.AtomicPointer, lambda p: p.get_version(), lambda p: p.store(B), check_pointer),
    ("stack.push", lf, lf.LockFreeStack, lambda s: s.push(A), lambda s: (s.push(B), s.pop()), check_stack),
    ("stack.pop", lf, lambda: stack_with(A, B), lambda s: s.pop(), lambda s: s.push(s.pop()), check_stack),
    ("stack.is_empty", lf, lf.LockFreeStack, lambda s: s.is_empty(), lambda s: s.push(B), check_stack),
    ("statistics.record_allocation(conversions)", lf, lf.LockFreeStatistics,
     lambda s: s.record_allocation(Hooked(64), Hooked(0), Hooked(8), Hooked(30)),
     lambda s: (s.record_allocation(1), s.reset()), check_statistics),
    ("statistics.record_deallocation(conversions)", lf, lf.LockFreeStatistics,
     lambda s: s.record_deallocation(Hooked(64), Hooked(30)), lambda s: s.reset(), check_statistics),
    ("statistics.py_record_allocation(conversions)", lf, lf.LockFreeStatistics,
     lambda s: s.py_record_allocation(Hooked(64), Hooked(1), Hooked(8), Hooked(30)), lambda s: s.reset(),
     check_statistics),
    ("statistics.py_record_deallocation(conversions)", lf, lf.LockFreeStatistics,
     lambda s: s.py_record_deallocation(Hooked(64), Hooked(30)), lambda s: s.reset(), check_statistics),
    ("statistics._update_peaks(override)", lf, HookedStatistics, lambda s: s.record_allocation(64),
     lambda s: s.reset(), check_statistics),
    ("statistics.counters", lf, hooked_statistics,
     lambda s: (s.record_allocation(64, True, 8, 30), s.record_deallocation(64, 30), s.py_record_allocation(64, 1),
                s.py_record_deallocation(64), s._update_peaks(9, 99), s.get_snapshot()),
     lambda s: (s.record_allocation(1), s.reset()), check_statistics),
    ("statistics.reset(counters)", lf, hooked_statistics, lambda s: s.reset(), lambda s: s.reset(),
     check_statistics),
    ("statistics.reset", lf, lf.LockFreeStatistics, lambda s: s.reset(), lambda s: s.reset(), check_statistics),
    ("allocator.add_to_bucket", se, se.FastBucketAllocator, lambda a: a.add_to_bucket(Hooked(512), Hooked(64)),
     lambda a: (a.add_to_bucket(256, 64), a.remove_from_bucket(64)), check_allocator),
    ("allocator.remove_from_bucket", se, se.FastBucketAllocator, lambda a: a.remove_from_bucket(Hooked(64)),
     lambda a: (a.add_to_bucket(256, 64), a._init_buckets()), check_allocator),
    ("allocator.find_best_fit_bucket", se, se.FastBucketAllocator,
     lambda a: (a.add_to_bucket(512, 64), a.find_best_fit_bucket(Hooked(24), Hooked(16))),
     lambda a: (a.remove_from_bucket(64), a.add_to_bucket(8, 64)), check_allocator),
    ("FastBucketAllocator(_init_buckets override)", se, lambda: HookedAllocator(8, 64, 128),
     lambda a: a._init_buckets(), lambda a: a.add_to_bucket(8, 8), check_allocator),
    ("collector.py_record_allocation", se, se.FastStatsCollector,
     lambda c: c.py_record_allocation(Hooked(64), Hooked(8), Hooked(1)),
     lambda c: (c.py_record_allocation(1, 1, False), c.reset_stats()), check_collector),
    ("collector.py_record_deallocation", se, se.FastStatsCollector,
     lambda c: (c.py_record_deallocation(), c.get_stats(), c.reset_stats()),
     lambda c: c.py_record_allocation(1, 1, True), check_collector),
    ("tree.insert(__index__)", bi, tree_of, lambda t: t.insert(Hooked(9), A), tree_callback, check_tree),
    ("tree.delete(__eq__)", bi, lambda: tree_of(HookedEq(), A, B), lambda t: t.delete(8, B), tree_callback,
     check_tree),
    ("tree.delete(finaliser)", bi, lambda: tree_of(HookedOnDelete()), lambda t: t.delete(8, t.find_best_fit(8)),
     tree_callback, check_tree),
    ("tree.remove_ge(__index__, finaliser)", bi, lambda: tree_of(HookedOnDelete()), lambda t: t.remove_ge(Hooked(1)),
     tree_callback, check_tree),
    ("tree.clear(finaliser)", bi, lambda: tree_of(HookedOnDelete(), HookedOnDelete()), lambda t: t.clear(),
     tree_callback, check_tree),
    ("tree finders(__index__)", bi, lambda: tree_of(A), lambda t: (t.find_best_fit(Hooked(1), Hooked(4)),
                                                                   t.find_all_exact(Hooked(8))),
     tree_callback, check_tree),
    ("tree(subclass hooks)", bi, HookedTree, lambda t: (t.insert(8, A), t.delete(8, A), len(t), bool(t)),
     tree_callback, check_tree),
    ("tree(counters)", bi, tree_with_hooked_counters,
     lambda t: (t.insert(8, A), t.get_stats(), t.clear()), tree_callback, check_tree),
    ("tree.get_size_distribution", bi, lambda: tree_of(A, B), lambda t: t.get_size_distribution(), tree_callback,
     check_tree),
    ("tree.reset_circuit_breaker", bi, lambda: tree_of(A), lambda t: t.reset_circuit_breaker(), tree_callback,
     check_tree),
    ("aggregator.update", hub, hub.CounterAggregator, lambda g: g.update(Hooked(2), Hooked(7.5)),
     lambda g: (g.update(2, 1.0), g.reset(2)), check_aggregator),
    ("aggregator.get_stats", hub, hub.CounterAggregator, lambda g: g.get_stats(Hooked(2)),
     lambda g: g.update(2, 1.0), check_aggregator),
    ("aggregator.reset", hub, hub.CounterAggregator, lambda g: (g.reset(Hooked(2)), g.reset_all()),
     lambda g: g.update(2, 1.0), check_aggregator),
]
LOCK_ONLY = {"tree.get_size_distribution", "tree.reset_circuit_breaker", "pointer.compare_and_swap", "pointer.load", "pointer.get_version", "stack.push", "stack.pop",
             "stack.is_empty", "statistics.reset", "collector.py_record_deallocation"}
REENTRY_CASES = [pytest.param(*row[1:], lock, id=f"{row[0]}-{lock}") for row in REENTRY
                 for lock in (() if row[0] in LOCK_ONLY else ("Lock",)) + ("re-entrant lock",)]


@pytest.mark.parametrize("module, make, act, callback, check, lock", REENTRY_CASES)
def test_reentry_from_every_call_site(module, make, act, callback, check, lock, monkeypatch):
    if lock != "Lock":
        monkeypatch.setattr(module, "threading", types.SimpleNamespace(Lock=HookedLock))
    reentry = Reentry(callback)
    monkeypatch.setattr(sys.modules[__name__], "hook", reentry)
    old = signal.signal(REENTRY_SIGNAL, lambda signum, frame: reentry.run("signal"))
    try:
        with watchdog():
            obj = make()
            reentry.target = obj
            act(obj)
            reentry.target = None  # the checks run no hooks
            check(obj)
    finally:
        signal.signal(REENTRY_SIGNAL, old)
    assert {how for how, _ in reentry.outcomes} == {"direct", "collector", "signal"}, "a hook did not run"
    for how, exc in reentry.outcomes:
        assert exc is None or (type(exc) is RuntimeError and str(exc) == REFUSED), (how, exc)


def test_reset_refuses_its_own_thread_and_makes_others_wait():
    # A replaced counter's store() runs under reset's lock: reset() from that thread is refused at once,
    # reset() from a second thread waits for the lock and then runs.
    s = lf.LockFreeStatistics()
    outcomes, started = [], threading.Event()

    def second():
        started.set()
        try:
            s.reset()
        except Exception as exc:  # noqa: BLE001 - checked below
            outcomes.append(exc)
        else:
            outcomes.append("done")

    class Store:
        calls = 0

        def store(self, value):
            Store.calls += 1
            if Store.calls > 1:  # the second thread's own reset
                return
            with pytest.raises(RuntimeError) as info:
                s.reset()
            outcomes.append(str(info.value))
            other.start()
            started.wait()
            other.join(0.5)
            outcomes.append("waiting" if other.is_alive() else "not waiting")

    other = threading.Thread(target=second)
    s.bytes_reserved = Store()
    s.total_allocations.store(7)
    with watchdog():
        s.reset()
        other.join()
    assert outcomes == [REFUSED, "waiting", "done"] and Store.calls == 2
    assert s.total_allocations.load() == 0


# --- arguments converted once ----------------------------------------------------------------------


class Shifty:
    """A number whose every conversion gives a new value (7, then 1007, 2007, ...): a call must convert
    each argument once and use that value everywhere downstream."""

    def __init__(self, first=7):
        self.next = first

    def __index__(self):
        value, self.next = self.next, self.next + 1000
        return value

    __int__ = __index__

    def __float__(self):
        return float(self.__index__())


def statistics_after(call):
    s = lf.LockFreeStatistics()
    call(s)
    return s.get_snapshot(), s.total_allocation_time_ns.load(), s.total_deallocation_time_ns.load()


def tree_after(call, *sizes):
    t = bi.FastRedBlackTree()
    for size in sizes:
        t.insert(size, size)
    return call(t), t.get_size_distribution()


def snapshot(bytes_allocated, peak_bytes=0, padding=0, allocations=1):
    return {"bytes_allocated": bytes_allocated, "peak_bytes_allocated": peak_bytes, "alignment_padding_bytes": padding,
            "total_allocations": allocations}


def part(result, keys):
    snap, *rest = result
    return [{k: snap[k] for k in keys}, *rest]


KEYS = ("bytes_allocated", "peak_bytes_allocated", "alignment_padding_bytes", "total_allocations")
# (id, the call with Shifty arguments, what it must give)
CONVERTED_ONCE = [
    ("AtomicCounter()", lambda: lf.AtomicCounter(Shifty()).load(), 7),
    ("counter.increment", lambda: lf.AtomicCounter(1).increment(Shifty()), 8),
    ("counter.store", lambda: (c := lf.AtomicCounter()).store(Shifty()) or c.load(), 7),
    ("counter.compare_and_swap", lambda: (c := lf.AtomicCounter(7)).compare_and_swap(Shifty(), Shifty(9)) and c.load(), 9),
    ("record_allocation(size)", lambda: part(statistics_after(lambda s: s.record_allocation(Shifty())), KEYS),
     [snapshot(7, 7), 0, 0]),
    ("record_allocation(padding, time_ns)",
     lambda: part(statistics_after(lambda s: s.record_allocation(8, True, Shifty(), Shifty(30))), KEYS),
     [snapshot(8, 8, 7), 30, 0]),
    ("record_deallocation", lambda: part(statistics_after(lambda s: s.record_deallocation(Shifty(), Shifty(30))),
                                         KEYS), [snapshot(-7, allocations=0), 0, 30]),
    ("py_record_allocation", lambda: part(statistics_after(lambda s: s.py_record_allocation(Shifty(), True)), KEYS),
     [snapshot(7), 0, 0]),
    ("py_record_deallocation", lambda: part(statistics_after(lambda s: s.py_record_deallocation(Shifty(), Shifty())),
                                            KEYS), [snapshot(-7, allocations=0), 0, 0]),
    ("_update_peaks", lambda: part(statistics_after(lambda s: s._update_peaks(Shifty(), Shifty())), KEYS),
     [snapshot(0, 7, allocations=0), 0, 0]),
    ("tree.insert", lambda: tree_after(lambda t: t.insert(Shifty(), "b")), (True, {7: 1})),
    ("tree.find_best_fit", lambda: tree_after(lambda t: t.find_best_fit(Shifty(), Shifty()), 7, 1007),
     (7, {7: 1, 1007: 1})),
    ("tree.find_all_exact", lambda: tree_after(lambda t: t.find_all_exact(Shifty()), 7, 1007), ([7], {7: 1, 1007: 1})),
    ("tree.remove_ge", lambda: tree_after(lambda t: t.remove_ge(Shifty()), 7, 1007), ((7, 7), {1007: 1})),
    ("tree.delete", lambda: tree_after(lambda t: t.delete(Shifty(), 7), 7, 1007), (True, {1007: 1})),
    ("allocator.add_to_bucket", lambda: (a := se.FastBucketAllocator()).add_to_bucket(Shifty(), Shifty(64))
     and a.remove_from_bucket(64), 7),
    ("allocator.find_best_fit_bucket", lambda: (a := se.FastBucketAllocator()).add_to_bucket(64, 64)
     and a.find_best_fit_bucket(Shifty(60), Shifty(8)), 64),
    ("aggregator.update", lambda: (g := hub.CounterAggregator()).update(Shifty(3), Shifty(2)) or g.get_stats(3)["mean"],
     2.0),
]


@pytest.mark.parametrize("call, expected", [row[1:] for row in CONVERTED_ONCE], ids=[row[0] for row in CONVERTED_ONCE])
def test_an_argument_is_converted_once_and_that_value_used(call, expected):
    assert call() == expected


# --- locks whose __exit__ misbehaves ----------------------------------------------------------------


class Boom(Exception):
    """Raised inside the locked section."""


class ExitError(Exception):
    """Raised by the lock's __exit__ or by the truth test of what it returned."""


class BadTruth:
    def __bool__(self):
        raise ExitError("truth")


class ExitLock:
    """A lock object whose __exit__ returns None, returns True, returns an object whose truth test raises,
    or raises."""

    def __init__(self, outcome):
        self.outcome, self.calls = outcome, []

    def __enter__(self):
        self.calls.append("enter")
        if self.outcome == "enter raises":
            raise ExitError("enter")

    def __exit__(self, exc_type, exc, tb):
        self.calls.append(exc_type if tb is getattr(exc, "__traceback__", None) else "not the exception's traceback")
        if self.outcome == "raises":
            raise ExitError("exit")
        return {"returns None": None, "returns True": True, "returns a bad truth": BadTruth()}[self.outcome]


class FailingStore:
    def store(self, value):
        raise Boom


def statistics_failing_reset():
    s = lf.LockFreeStatistics()
    s.bytes_reserved = FailingStore()
    return s


# (id, module whose threading.Lock the case replaces, make the object, the call, its result, whether the
# locked section raises Boom)
LOCK_EXITS = [
    ("statistics.reset(failing counter)", lf, statistics_failing_reset, lambda s: s.reset(), None, True),
    ("statistics.reset", lf, lf.LockFreeStatistics, lambda s: s.reset(), None, False),
    ("pointer.load", lf, lambda: lf.AtomicPointer(A), lambda p: p.load(), A, False),
    ("stack.pop", lf, stack, lambda s: s.pop(), A, False),
    ("tree.get_size_distribution", bi, lambda: tree_of(A), lambda t: t.get_size_distribution(), {8: 1}, False),
]


@pytest.mark.parametrize("outcome", ["returns None", "returns True", "returns a bad truth", "raises", "enter raises"])
@pytest.mark.parametrize("module, make, call, result, raising", [row[1:] for row in LOCK_EXITS],
                         ids=[row[0] for row in LOCK_EXITS])
def test_lock_exit_outcomes_follow_the_with_statement(module, make, call, result, raising, outcome, monkeypatch):
    # As in `with lock: body`: a true result suppresses the body's exception (the call then returns None),
    # an error from __exit__ or from the truth test of its result replaces it (as its context), and the
    # result is not tested when the body succeeded.
    locks = []
    monkeypatch.setattr(module, "threading",
                        types.SimpleNamespace(Lock=lambda: locks.append(ExitLock("returns None")) or locks[-1]))
    obj = make()
    for lock in locks:
        lock.outcome, lock.calls = outcome, []
    if outcome == "enter raises":
        # Not entered: no __exit__, nothing done, and no owner left recorded (a second call is no re-entry).
        with pytest.raises(ExitError, match="^enter$"):
            call(obj)
        assert [lock.calls for lock in locks if lock.calls] == [["enter"]]
        for lock in locks:
            lock.outcome = "returns None"
        if raising:
            pytest.raises(Boom, call, obj)
        else:
            assert call(obj) == result
        return
    if outcome == "raises" or (raising and outcome == "returns a bad truth"):
        with pytest.raises(ExitError) as info:
            call(obj)
        assert str(info.value) == ("exit" if outcome == "raises" else "truth")
        assert type(info.value.__context__) is (Boom if raising else type(None))
    elif raising and outcome == "returns None":
        pytest.raises(Boom, call, obj)
    else:
        assert call(obj) == (None if raising else result)
    assert [lock.calls for lock in locks if lock.calls] == [["enter", Boom if raising else None]]


def test_a_failed_comparison_then_a_failing_lock_keeps_both_errors(monkeypatch):
    # delete's comparison raised, then the lock failed on the write that ends the delete: the lock's
    # error propagates with the comparison's as its context, and the tree is as it was.
    locks = []
    monkeypatch.setattr(bi, "threading",
                        types.SimpleNamespace(Lock=lambda: locks.append(ExitLock("returns None")) or locks[-1]))
    t = tree_of(A)

    class Raising:
        def __eq__(self, other):
            for lock in locks:
                lock.outcome = "raises"
            raise Boom

    with pytest.raises(ExitError) as info:
        t.delete(8, Raising())
    assert type(info.value.__context__) is Boom
    for lock in locks:
        lock.outcome = "returns None"
    assert t.get_size_distribution() == {8: 1} and t.find_best_fit(8) is A


# --- objects the collector has cleared ------------------------------------------------------------

# tp_clear is the 25th pointer-sized field of a type object.
TP_CLEAR = 24 * ctypes.sizeof(ctypes.c_void_p)


def collector_clear(obj):
    """Runs the type's tp_clear on `obj`, as the collector does to each object of a cycle it frees before
    the cycle's last references go; code that still reaches such an object (a finaliser of another member,
    a weakref callback) then finds it cleared."""
    clear = ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)(ctypes.c_void_p.from_address(id(type(obj)) + TP_CLEAR).value)
    assert clear(obj) == 0


def filled(make, fill):
    def made():
        obj = make()
        fill(obj)
        return obj
    return made


NONE_ATTRIBUTE = (AttributeError, "'NoneType' object has no attribute")

# (type, make a filled instance, its repr once cleared, [(call, (exception, message start)) or (call, result)])
CLEARED = [
    ("FastBucketAllocator", filled(se.FastBucketAllocator, lambda a: a.add_to_bucket(64, 64)),
     "FastBucketAllocator(buckets=0, blocks=0)",
     [(lambda a: a._init_buckets(), (TypeError, "'NoneType' object does not support item assignment")),
      (lambda a: a.add_to_bucket(64, 64), NONE_ATTRIBUTE), (lambda a: a.remove_from_bucket(64), NONE_ATTRIBUTE),
      (lambda a: a.find_best_fit_bucket(60, 8), NONE_ATTRIBUTE)]),
    ("FastStatsCollector", filled(se.FastStatsCollector, lambda c: c.py_record_allocation(8, 1, True)),
     "FastStatsCollector(total_allocations=1, total_deallocations=0)",
     [(lambda c: c.py_record_allocation(8, 1, True), NONE_ATTRIBUTE), (lambda c: c.get_stats(), NONE_ATTRIBUTE),
      (lambda c: c.reset_stats(), NONE_ATTRIBUTE)]),
    ("CounterAggregator", filled(lambda: hub.CounterAggregator(4), lambda g: g.update(1, 2.0)),
     "CounterAggregator(num_counters=4)",
     [(lambda g: g.update(1, 1.0), NONE_ATTRIBUTE), (lambda g: g.get_stats(1), NONE_ATTRIBUTE),
      (lambda g: g.get_all_stats(), NONE_ATTRIBUTE), (lambda g: g.reset_all(), NONE_ATTRIBUTE)]),
    ("LockFreeStatistics", filled(lf.LockFreeStatistics, lambda s: s.record_allocation(5)),
     "LockFreeStatistics(total_allocations=None, current_allocations=None, bytes_allocated=None)",
     [(lambda s: s.record_allocation(1), NONE_ATTRIBUTE), (lambda s: s.py_record_deallocation(1), NONE_ATTRIBUTE),
      (lambda s: s._update_peaks(1, 1), NONE_ATTRIBUTE), (lambda s: s.get_snapshot(), NONE_ATTRIBUTE),
      (lambda s: s.reset(), NONE_ATTRIBUTE)]),
    ("AtomicPointer", lambda: lf.AtomicPointer(A), "AtomicPointer(version=0)",
     [(lambda p: p.load(), NONE_ATTRIBUTE), (lambda p: p.compare_and_swap(None, B), NONE_ATTRIBUTE)]),
    ("LockFreeStack", lambda: stack_with(A, B), "LockFreeStack(size=0)",
     [(lambda s: s.push(A), NONE_ATTRIBUTE), (lambda s: s.pop(), NONE_ATTRIBUTE), (lambda s: s.size(), 0)]),
    ("FastRedBlackTree", lambda: tree_of(A, B), "FastRedBlackTree(blocks=0, native=True)",
     [(lambda t: t.insert(8, A), NONE_ATTRIBUTE), (lambda t: t.delete(8, A), NONE_ATTRIBUTE),
      (lambda t: t.find_best_fit(1), None), (lambda t: t.get_size_distribution(), NONE_ATTRIBUTE),
      (lambda t: t.remove_ge(0), NONE_ATTRIBUTE), (lambda t: len(t), 0)]),
]


@pytest.mark.skipif(sysconfig.get_config_var("Py_GIL_DISABLED"), reason="type object layout of the default build")
@pytest.mark.parametrize("make, shown, calls", [row[1:] for row in CLEARED], ids=[row[0] for row in CLEARED])
def test_an_object_the_collector_cleared_fails_as_if_its_fields_were_none(make, shown, calls):
    obj = make()
    refs = sys.getrefcount(A), sys.getrefcount(B)
    collector_clear(obj)
    assert repr(obj) == shown
    for call, expected in calls:
        if isinstance(expected, tuple):
            with pytest.raises(expected[0]) as info:
                call(obj)
            assert str(info.value).startswith(expected[1])
        else:
            assert call(obj) == expected
    assert sys.getrefcount(A) <= refs[0] and sys.getrefcount(B) <= refs[1]


# --- finalisers that collect --------------------------------------------------------------------

COLLECTING = """
import gc, types, weakref
from korvane.memory import block_index, lockfree_core, slab_engine
from korvane.monitoring import counter_hub

runs = []

class Collecting:
    def __del__(self):
        junk = [self]
        junk.append(junk)  # something for the collector to free
        runs.append(gc.collect())

{make}

for cycle in (False, True):
    for _ in range(3):
        held = Collecting()
        holder = make(held)
        kind = type(holder)
        if cycle:
            held.holder = holder
        freed = weakref.ref(holder) if kind.__weakrefoffset__ else None
        del held, holder
        if cycle:
            # The finaliser's list refers to `held`, which the first collection therefore leaves alive with
            # its holder; the list's cycle is freed by the second. Before 3.15 that collection cleared the
            # weakref although the holder lived on, so the holder's absence is checked among the objects too.
            gc.collect()
            gc.collect()
        assert freed is None or freed() is None
        assert not [o for o in gc.get_objects() if type(o) is kind]
assert len(runs) == 6, runs
print("ok")
"""

# (id, code defining `make(held)`, which returns a new holder of `held`)
HOLDERS = [
    ("AtomicPointer", "make = lockfree_core.AtomicPointer"),
    ("LockFreeStack", "def make(held):\n    s = lockfree_core.LockFreeStack()\n    s.push(held)\n    return s"),
    ("LockFreeStatistics", "def make(held):\n    s = lockfree_core.LockFreeStatistics()\n"
                           "    s.bytes_reserved = held\n    return s"),
    ("AtomicCounterWrapper", "def make(held):\n    w = lockfree_core.AtomicCounterWrapper()\n    w._counter = held\n"
                             "    return w"),
    ("FastRedBlackTree", "def make(held):\n    t = block_index.FastRedBlackTree()\n"
                         "    for size in (8, 8, 16, 4):\n        t.insert(size, held if size == 16 else size)\n"
                         "    return t"),
    ("FastBucketAllocator", "slab_engine.threading = types.SimpleNamespace(Lock=lambda: lock.pop())\n"
                            "def make(held):\n    global lock\n    lock = [held]\n"
                            "    return slab_engine.FastBucketAllocator(8, 0, 0)"),
    ("FastStatsCollector", "slab_engine.threading = types.SimpleNamespace(Lock=lambda: lock.pop())\n"
                           "def make(held):\n    global lock\n    lock = [held]\n"
                           "    return slab_engine.FastStatsCollector()"),
    ("CounterAggregator", "counter_hub.threading = types.SimpleNamespace(Lock=lambda: lock.pop())\n"
                          "def make(held):\n    global lock\n    lock = [held]\n"
                          "    return counter_hub.CounterAggregator(2)"),
]


@pytest.mark.parametrize("make", [row[1] for row in HOLDERS], ids=[row[0] for row in HOLDERS])
def test_finaliser_that_collects_while_its_holder_is_freed(make, python_subprocess):
    # The held object's finaliser runs a full collection while its holder is being freed (by reference
    # counting, and by the collector when the held object refers back to its holder).
    result = python_subprocess(COLLECTING.format(make=make), timeout=120)
    assert (result.returncode, result.stdout.strip()) == (0, "ok"), result.stderr[-3000:]


# --- deep chains -----------------------------------------------------------------------------------

# The chain is freed on a thread with a 2 MiB stack (8 MiB where frames are
# larger: under the sanitizers, on an interpreter built for ThreadSanitizer,
# and in the unoptimised coverage build). The interpreter lets about 10,000
# deallocations nest before its trashcan defers the rest, which such a stack
# holds with room to spare; freeing the whole chain by recursion would need
# more than 7 bytes of stack per level, less than any call takes. A chain as
# deep as the main thread's 8 MiB stack needs would take three times as long.
DEPTH = 300_000
LARGE_FRAMES = (SANITIZED or "KORVANE_TEST_COVERAGE_DIR" in os.environ
                or "--with-thread-sanitizer" in (sysconfig.get_config_var("CONFIG_ARGS") or ""))
STACK = (8 if LARGE_FRAMES else 2) * 1024 * 1024

CHAIN = """
import gc, threading, types, weakref
gc.disable()
from korvane.memory import block_index, lockfree_core, slab_engine
from korvane.monitoring import counter_hub

{link}

class Bottom:
    pass

def build():
    bottom = Bottom()
    head = bottom
    for _ in range({depth}):
        head = link(head)
    return head, bottom

def run():
    head, bottom = build()
    freed = weakref.ref(bottom)
    del bottom, head
    assert freed() is None, "not freed by reference counting"
    head, bottom = build()
    bottom.head = head
    freed = weakref.ref(bottom)
    del bottom, head
    gc.collect()
    assert freed() is None, "not freed by the collector"
    print("ok")

threading.stack_size({stack})
worker = threading.Thread(target=run)
worker.start()
worker.join()
"""


def via_lock(module, make):
    """A link held in the lock field: the module's threading.Lock() hands out the previous link."""
    return (f"held = []\n{module}.threading = types.SimpleNamespace(Lock=held.pop)\n"
            f"def link(prev):\n    held.append(prev)\n    return {module}.{make}")


# (id, code defining `link(previous)`, which makes the next object of the chain)
CHAINS = [
    ("AtomicPointer", "link = lockfree_core.AtomicPointer"),
    ("FastRedBlackTree", "def link(prev):\n    t = block_index.FastRedBlackTree()\n    t.insert(1, prev)\n"
                         "    return t"),
    ("LockFreeStack", "def link(prev):\n    s = lockfree_core.LockFreeStack()\n    s.push(prev)\n    return s"),
    ("LockFreeStatistics", "def link(prev):\n    s = lockfree_core.LockFreeStatistics()\n"
                           "    s.total_allocations = prev\n    return s"),
    ("FastBucketAllocator", via_lock("slab_engine", "FastBucketAllocator(8, 0, 0)")),
    ("FastStatsCollector", via_lock("slab_engine", "FastStatsCollector()")),
    ("CounterAggregator", via_lock("counter_hub", "CounterAggregator(0)")),
]


@pytest.mark.parametrize("link", [row[1] for row in CHAINS], ids=[row[0] for row in CHAINS])
def test_deep_chain_frees_iteratively(link, python_subprocess):
    result = python_subprocess(CHAIN.format(link=link, depth=DEPTH, stack=STACK), timeout=300)
    assert (result.returncode, result.stdout.strip()) == (0, "ok"), result.stderr[-3000:]
