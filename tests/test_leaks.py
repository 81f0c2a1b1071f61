"""Leak checks for every public operation of every module, error paths included.

Each operation runs in windows of many calls after a warm-up while the test
watches the interpreter's allocated blocks, tracemalloc, the C heap (glibc
mallinfo2, outside sanitizer builds) and the reference counts of the argument
objects. A leak grows every window; a cache that the interpreter or a library
fills once (some builds fill theirs over a few hundred calls) grows only the
first ones, so an operation passes at the first window that grew by no more
than a small constant, and fails when none of WINDOWS windows did. Containers freed while holding objects,
by reference counting or by the cyclic collector through the fields they
report to it, must release each held object exactly once.
"""

import ctypes
import gc
import logging
import pickle
import sys
import tracemalloc
import types

import pytest

from conftest import SANITIZED, Boom, Hostile
from korvane.gpu import accel_planner as ap
from korvane.memory import block_index as bi
from korvane.memory import lockfree_core as lf
from korvane.memory import slab_engine as se
from korvane.monitoring import counter_hub as hub
from korvane.native import host_probe as hp
from korvane.plugins.analyzer import adaptation_policy as pol
from korvane.plugins.analyzer import task_scoring as ts

# Argument objects made at run time, so that their reference counts move.
BIG = int("1" * 25)
I64 = int("4611686018427387904")
I32 = int("100000")
F = float("2.5")
TEXT = "".join(["import numpy as np; x = np.array(a) @ b; for i in range(9): lock.acquire() ", "x" * 300])
WIDE = TEXT + "\u0130\u212a\u03a3 caf\xe9 \U0001f600"
NAME = "".join(["run_", "benchmark"])
OOM = "".join(["CUDA error: out of ", "memory"])
SHAPE = (int("1000"), int("3000"))
RECORD = bytes(range(16))
BLOCK = type("Block", (), {})()
WATCHED = (BIG, I64, I32, F, TEXT, WIDE, NAME, OOM, SHAPE, RECORD, BLOCK)


HOSTILE = Hostile()
QUIET = logging.Logger("quiet")  # outside the logging tree, so nothing collects its records
QUIET.addHandler(logging.NullHandler())


def operations():
    """(id, callable, expected exception or None), one entry per operation and error path."""
    c, w = lf.AtomicCounter(5), lf.AtomicCounterWrapper(5)
    p, s, st, tm = lf.AtomicPointer(BLOCK), lf.LockFreeStack(), lf.LockFreeStatistics(), lf.PerformanceTimer()
    tree = bi.FastRedBlackTree(sample_rate=1)
    tree.insert(64, BLOCK)
    hdr, alloc, col = se.FastSlabHeaderOps(3, 32), se.FastBucketAllocator(), se.FastStatsCollector()
    agg = hub.CounterAggregator(16)
    samples = [(float(t), 100.0 - t) for t in range(12)]
    records = [{"parallelization_potential": F, "cpu_intensity": 0.1 * k, "memory_intensity": 0.5} for k in range(6)]
    history = [(t, I32) for t in range(12)]

    def tree_churn():
        tree.insert(I64, BLOCK)
        tree.insert(I64, BLOCK)
        assert tree.delete(I64, BLOCK) and tree.remove_ge(I64)[1] is BLOCK

    return [
        # lockfree_core
        ("AtomicCounter()", lambda: lf.AtomicCounter(I64), None),
        ("AtomicCounter(bad)", lambda: lf.AtomicCounter("1"), TypeError),
        ("AtomicCounter(big)", lambda: lf.AtomicCounter(BIG), OverflowError),
        ("AtomicCounter(kw)", lambda: lf.AtomicCounter(nope=1), TypeError),
        ("counter.ops", lambda: (c.load(), c.store(I64), c.increment(I32), c.decrement(), c.fetch_and_add(I32),
                                 c.compare_and_swap(I64, I32), c.py_increment(), repr(c)), None),
        ("counter.store(bad)", lambda: c.store(HOSTILE), Boom),
        ("counter.increment(big)", lambda: c.increment(BIG), OverflowError),
        ("counter.fetch_and_add()", lambda: c.fetch_and_add(), TypeError),
        ("counter.pickle", lambda: pickle.dumps(c), TypeError),
        ("counter.__setstate__", lambda: c.__setstate__(BIG), TypeError),
        ("wrapper.ops", lambda: (lf.AtomicCounterWrapper(F), w.load(), w.store(F), w.increment(I32),
                                 w.decrement(I32), w.compare_and_swap(I32, I32), w.fetch_and_add(F)), None),
        ("wrapper(bad)", lambda: lf.AtomicCounterWrapper("x"), TypeError),
        ("wrapper.store(bad)", lambda: w.store(TEXT), TypeError),
        ("pointer.ops", lambda: (lf.AtomicPointer(BLOCK), p.load(), p.store(TEXT), p.compare_and_swap(TEXT, BLOCK),
                                 p.compare_and_swap(TEXT, F), p.get_version()), None),
        ("pointer.store()", lambda: p.store(), TypeError),
        ("pointer.load(x)", lambda: p.load(BIG), TypeError),
        ("stack.ops", lambda: (s.push(BLOCK), s.push(None), s.size(), s.is_empty(), s.pop(), s.pop(), s.pop()), None),
        ("stack.push()", lambda: s.push(), TypeError),
        ("LockFreeStack(x)", lambda: lf.LockFreeStack(BIG), TypeError),
        ("statistics.ops", lambda: (st.record_allocation(I32, False, I32, I32), st.record_deallocation(I32, I32),
                                    st.py_record_allocation(I32, True, F, I32), st.py_record_deallocation(I32),
                                    st._update_peaks(I64, I64), st.get_snapshot(), st.reset()), None),
        ("statistics.attributes", lambda: (setattr(st, "bytes_reserved", BLOCK), getattr(st, "bytes_reserved"),
                                           delattr(st, "bytes_reserved"), setattr(st, "bytes_reserved", c)), None),
        ("statistics.record(bad)", lambda: st.record_allocation(TEXT), TypeError),
        ("statistics.record(big)", lambda: st.py_record_allocation(BIG, True), OverflowError),
        ("statistics.peaks(big)", lambda: st._update_peaks(BIG, 1), OverflowError),
        ("timer.ops", lambda: (lf.PerformanceTimer(), tm.start(), tm.elapsed_ns(), tm.elapsed_us(), tm.elapsed_ms()),
         None),
        # block_index
        ("FastRedBlackTree()", lambda: bi.FastRedBlackTree(I32), None),
        ("FastRedBlackTree(-1)", lambda: bi.FastRedBlackTree(-1), OverflowError),
        ("tree.insert+delete+remove_ge", tree_churn, None),
        ("tree.readers", lambda: (tree.find_best_fit(I32, I32), tree.find_all_exact(64), tree.size(), len(tree),
                                  bool(tree), repr(tree), tree._sanitize_size(F)), None),
        ("tree.reports", lambda: (tree.get_stats(), tree.get_size_distribution(), tree.get_statistics(),
                                  tree.reset_circuit_breaker()), None),
        ("tree.clear", lambda: bi.FastRedBlackTree().clear(), None),
        ("tree.insert(str)", lambda: tree.insert(TEXT, BLOCK), TypeError),
        ("tree.insert(-1)", lambda: tree.insert(-I32, BLOCK), ValueError),
        ("tree.insert(2**64)", lambda: tree.insert(BIG, BLOCK), OverflowError),
        ("tree.negative sizes", lambda: (tree.delete(-I32, BLOCK), tree.find_best_fit(-I32),
                                         tree.find_all_exact(-F), tree.remove_ge(-I32)), None),
        ("tree.delete(hostile)", lambda: tree.delete(64, HOSTILE), Boom),
        ("tree.find_best_fit(alignment=str)", lambda: tree.find_best_fit(1, TEXT), TypeError),
        # slab_engine
        ("header.ops", lambda: (se.FastSlabHeaderOps(I32, 64), hdr.pack_header(), hdr.py_find_free_object(),
                                hdr.py_allocate_object_at(3), hdr.py_is_object_free(3),
                                hdr.py_deallocate_object_at(3)), None),
        ("header.unpack", lambda: hdr.unpack_header(hdr.pack_header()), None),
        ("header.unpack(corrupt)", lambda: hdr.unpack_header(RECORD), None),
        ("header.unpack(None)", lambda: hdr.unpack_header(None), TypeError),
        ("header.unpack(bytearray)", lambda: hdr.unpack_header(bytearray(RECORD)), TypeError),
        ("header.unpack(short)", lambda: hdr.unpack_header(RECORD[:15]), ValueError),
        ("header.index(big)", lambda: hdr.py_allocate_object_at(BIG), OverflowError),
        ("FastSlabHeaderOps(bad)", lambda: se.FastSlabHeaderOps(TEXT, 1), TypeError),
        ("allocator.ops", lambda: (alloc.add_to_bucket(I32, 64), alloc.add_to_bucket(I32, 20),
                                   alloc.remove_from_bucket(60), alloc.add_to_bucket(I32, 256),
                                   alloc.find_best_fit_bucket(24, 16), alloc.remove_from_bucket(5000)), None),
        ("FastBucketAllocator()", lambda: se.FastBucketAllocator(I32 // 1000, I32 // 10, I32), None),
        ("FastBucketAllocator(0)", lambda: se.FastBucketAllocator(0), ValueError),
        ("allocator._init_buckets", lambda: alloc._init_buckets(), None),
        ("allocator.add(big)", lambda: alloc.add_to_bucket(BIG, 8), OverflowError),
        ("allocator.best_fit(str)", lambda: alloc.find_best_fit_bucket(8, TEXT), TypeError),
        ("collector.ops", lambda: (se.FastStatsCollector(BIG, k=F), col.py_record_allocation(I32, -1, TEXT),
                                   col.py_record_deallocation(), col.get_stats(), col.reset_stats()), None),
        ("collector.record(bad)", lambda: col.py_record_allocation(I32, TEXT, True), TypeError),
        ("functions", lambda: (se.fast_align_size(I32, 64), se.fast_get_bucket_size(-I32, 24),
                               se.fast_bitmap_operations(I64, 5, "set"), se.fast_bitmap_operations(I64, 5, "is_set"),
                               se.fast_bitmap_operations(I64, 5, "find_first"),
                               se.fast_can_fit_aligned(I32, I32, 64, 8)), None),
        ("fast_align_size(12)", lambda: se.fast_align_size(I32, 12), ValueError),
        ("fast_get_bucket_size(step 0)", lambda: se.fast_get_bucket_size(I32, 0), ZeroDivisionError),
        ("fast_bitmap_operations(toggle)", lambda: se.fast_bitmap_operations(I64, 1, TEXT), ValueError),
        ("fast_bitmap_operations(None)", lambda: se.fast_bitmap_operations(I64, 1, None), ValueError),
        ("fast_bitmap_operations(bytes)", lambda: se.fast_bitmap_operations(I64, 1, b"set"), TypeError),
        ("fast_bitmap_operations(-1)", lambda: se.fast_bitmap_operations(-I64, 1, "set"), OverflowError),
        # counter_hub
        ("CounterAggregator()", lambda: (hub.CounterAggregator(I32), hub.create_aggregator(3)), None),
        ("CounterAggregator(-1)", lambda: hub.CounterAggregator(-I32), MemoryError),
        ("aggregator.ops", lambda: (agg.update(3, F), agg.update(4, I64), agg.get_stats(3), agg.get_all_stats(),
                                    agg.reset(4)), None),
        ("aggregator.reset_all", lambda: (agg.update(5, -F), agg.reset_all()), None),
        ("aggregator.update(out of range)", lambda: agg.update(I32, F), IndexError),
        ("aggregator.get_stats(-1)", lambda: agg.get_stats(-1), IndexError),
        ("aggregator.update(bad value)", lambda: agg.update(1, TEXT), TypeError),
        ("aggregator.negative variance", lambda: (agg.update(7, 0.1), agg.update(7, 0.1), agg.update(7, 0.1),
                                                  agg.get_stats(7), agg.reset(7)), None),
        # accel_planner
        ("planning", lambda: (ap.estimate_allocation_bytes(SHAPE, 8, F), ap.calculate_safe_limit(I64, 0.2),
                              ap.decide_allocation_strategy(I64, I32, 0.1, True),
                              ap.decide_allocation_strategy(I32, I64, 0.1, False),
                              ap.compute_chunk_shapes(SHAPE, 8, I32), ap.compute_chunk_shapes((I32, 0), 8, 1),
                              ap.calculate_optimal_chunks(I64, I32, F)), None),
        ("pressure", lambda: (ap.is_oom_error(OOM, NAME), ap.is_oom_error(WIDE, WIDE), ap.is_chunkable_operation(NAME),
                              ap.score_gpu_suitability(I64, "zeros", I32, F), ap.calculate_memory_pressure(I32, I64),
                              ap.recommend_headroom(F, F)), None),
        ("estimate(list)", lambda: ap.estimate_allocation_bytes(list(SHAPE), 8), TypeError),
        ("estimate(None)", lambda: ap.estimate_allocation_bytes(None, 8), TypeError),
        ("chunk_shapes(element 0)", lambda: ap.compute_chunk_shapes(SHAPE, 0, I32), ValueError),
        ("safe_limit(-1)", lambda: ap.calculate_safe_limit(-I64, F), OverflowError),
        ("is_oom_error(None)", lambda: ap.is_oom_error(None, NAME), TypeError),
        ("is_chunkable_operation(bytes)", lambda: ap.is_chunkable_operation(b"zeros"), TypeError),
        # task_scoring
        ("text scoring", lambda: (ts.quick_framework_score(TEXT, "numpy"), ts.quick_framework_score(WIDE, NAME),
                                  ts.score_indicators(TEXT, NAME), ts.score_indicators(WIDE, WIDE),
                                  ts.score_framework_patterns(TEXT), ts.score_framework_patterns(WIDE)), None),
        ("numeric scoring", lambda: (ts.normalize_scores(I32, 1, 2, 3, 4),
                                     ts.calculate_gpu_suitability(F, F, F, True, "8.6"),
                                     ts.calculate_gpu_suitability(F, F, F, True, " abc"),
                                     ts.estimate_gpu_speedup(F, F, True),
                                     ts.calculate_parallelization_potential(F, F, F, F),
                                     ts.update_adaptive_threshold(F, F, F, F, F),
                                     ts.determine_workload_pattern(*[F] * 8, I32, 0, *[F] * 6, True)), None),
        ("score_indicators(None)", lambda: ts.score_indicators(None, NAME), TypeError),
        ("score_indicators(bytes)", lambda: ts.score_indicators(b"x", NAME), TypeError),
        ("quick_framework_score(None)", lambda: ts.quick_framework_score(None, "numpy"), TypeError),
        ("normalize_scores(big)", lambda: ts.normalize_scores(BIG, 1, 2, 3, 4), OverflowError),
        ("gpu_suitability(huge major)", lambda: ts.calculate_gpu_suitability(F, F, F, True, "99999999999.1"),
         OverflowError),
        ("gpu_suitability(hostile)", lambda: ts.calculate_gpu_suitability(HOSTILE, F, F, True, None),
         Boom),
        # adaptation_policy
        ("history functions", lambda: (pol.detect_performance_degradation(samples, F, 0.1, 1.0),
                                       pol.calculate_performance_trend(samples, 1.0),
                                       pol.detect_workload_characteristics_change(records, F),
                                       pol.detect_dominant_pattern([TEXT, NAME, TEXT, None], I32)), None),
        ("decisions", lambda: (pol.is_adaptation_beneficial(TEXT, NAME, F, F, F, I32),
                               pol.should_skip_adaptation(F, F, F), pol.detect_memory_pressure(F, F),
                               pol.detect_fragmentation_threshold(F), pol.calculate_adaptation_urgency(F, F, F, TEXT),
                               pol.score_pool_recommendation(F, F, F, F),
                               pol.predict_resource_requirements(history, F)), None),
        ("degradation(tuple)", lambda: pol.detect_performance_degradation(tuple(samples), F, F, F), TypeError),
        ("degradation(bad sample)", lambda: pol.detect_performance_degradation(samples + [(1, 2, 3)], F, F, F),
         ValueError),
        ("trend(hostile sample)", lambda: pol.calculate_performance_trend(samples + [(HOSTILE, 1)], F),
         Boom),
        ("change(non-dict)", lambda: pol.detect_workload_characteristics_change(records + [TEXT]), TypeError),
        ("dominant(bytes)", lambda: pol.detect_dominant_pattern([b"x"] * 3), TypeError),
        ("dominant(big window)", lambda: pol.detect_dominant_pattern([TEXT] * 80 + [NAME] * 90, 1000), None),
        ("beneficial(bad pool)", lambda: pol.is_adaptation_beneficial(BIG, NAME, F, F, F, 1), TypeError),
        ("predict(short record)", lambda: pol.predict_resource_requirements(history + [(1,)], F), ValueError),
        ("predict(None)", lambda: pol.predict_resource_requirements(None, F), TypeError),
        # host_probe
        ("host probes", lambda: (hp.detect_physical_cores(), hp.detect_numa_nodes(), hp.detect_python_version(),
                                 hp.detect_gpu_backends(), hp.detect_capabilities()), None),
        ("detect_capabilities(x)", lambda: hp.detect_capabilities(BIG), TypeError),
    ]


OPERATIONS = operations()
SLOW = {"host probes"}  # each call imports and probes afresh


def guarded(fn, exc):
    if exc is None:
        return fn

    def op():
        try:
            fn()
        except exc:
            return
        raise AssertionError(f"{exc.__name__} not raised")

    return op


class MallInfo2(ctypes.Structure):
    _fields_ = [(n, ctypes.c_size_t) for n in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks",
                                               "fsmblks", "uordblks", "fordblks", "keepcost")]


# Made once: on a free-threaded 3.13 every class made after the first thread has started is immortal,
# so a class made per measurement would show as ~80 blocks of growth.
MALLINFO2 = None if SANITIZED else getattr(ctypes.CDLL(None), "mallinfo2", None)
if MALLINFO2 is not None:
    MALLINFO2.restype = MallInfo2


def c_heap_bytes():
    """Bytes in use on the C heap, or 0 where that cannot be read."""
    if MALLINFO2 is None:
        return 0
    info = MALLINFO2()
    return info.uordblks + info.hblkhd


def footprint():
    """Allocated blocks, traced bytes, C heap bytes, then the reference count of each watched object."""
    gc.collect()
    return (sys.getallocatedblocks(), tracemalloc.get_traced_memory()[0], c_heap_bytes(),
            *(sys.getrefcount(o) for o in WATCHED))


WINDOWS = 8


@pytest.fixture(scope="module", autouse=True)
def traced():
    saved = se.logger
    se.logger = QUIET  # the corruption warning goes nowhere instead of into the captured log
    tracemalloc.start()
    yield
    tracemalloc.stop()
    se.logger = saved


@pytest.mark.parametrize("name, fn, exc", OPERATIONS, ids=[o[0] for o in OPERATIONS])
def test_repeated_operation_does_not_grow(name, fn, exc):
    op = guarded(fn, exc)
    calls = 60 if name in SLOW else 1500
    for _ in range(calls // 10):
        op()
    grown = []
    before = footprint()
    for _ in range(WINDOWS):
        for _ in range(calls):
            op()
        after = footprint()
        growth = [a - b for a, b in zip(after, before)]
        blocks, traced_bytes, heap, *refs = growth
        # A leak of one object per call shows as `calls` blocks.
        if blocks < 30 and traced_bytes < 8192 and heap < 64 * 1024 and not any(refs):
            return
        grown.append(growth)
        before = after
    pytest.fail(f"grew in each of {WINDOWS} windows of {calls} calls (blocks, traced bytes, heap bytes, "
                f"references of {len(WATCHED)} arguments): {grown}")


def test_covers_every_public_callable():
    """Each module's public functions and types appear in the table above."""
    import inspect

    source = inspect.getsource(operations)
    modules = {"lf": lf, "bi": bi, "se": se, "hub": hub, "ap": ap, "ts": ts, "pol": pol, "hp": hp}
    missing = [f"{alias}.{name}" for alias, mod in modules.items() for name, obj in vars(mod).items()
               if not name.startswith("_") and callable(obj) and getattr(obj, "__module__", None) == mod.__name__
               and f"{alias}.{name}" not in source]
    assert missing == []


class Holder:
    """A stored object that can also stand in a lock or counter field and close a cycle."""

    def __init__(self, *payload):
        self.payload, self.back = payload, None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        return None

    def increment(self, *delta):
        return 1

    def load(self):
        return 0


def fake_threading(lock):
    return types.SimpleNamespace(Lock=lambda: lock)


def tree_holding(payload, cycle, mp):
    made = []
    if cycle:  # the tree's operation and sampled counters close the cycle
        mp.setattr(bi, "AtomicCounter", lambda v: made.append(Holder()) or made[-1])
    tree = bi.FastRedBlackTree(1)
    for i, obj in enumerate(payload):
        tree.insert(i % 3, obj)
    for h in made:
        h.back = tree
    return tree


def stack_holding(payload, cycle, mp):
    s = lf.LockFreeStack()
    for obj in payload:
        s.push(obj)
    if cycle:
        ring = Holder()
        ring.back = s
        s.push(ring)
    return s


def pointer_holding(payload, cycle, mp):
    if not cycle:
        return lf.AtomicPointer(payload[0])
    p = lf.AtomicPointer(Holder(*payload))
    p.load().back = p
    return p


def statistics_holding(payload, cycle, mp):
    st = lf.LockFreeStatistics()
    for name, obj in zip(("bytes_reserved", "peak_allocations", "fallback_allocations"), payload):
        setattr(st, name, obj)
    if cycle:
        st.total_deallocation_time_ns = Holder()
        st.total_deallocation_time_ns.back = st
    return st


def allocator_holding(payload, cycle, mp):
    lock = Holder()
    mp.setattr(se, "threading", fake_threading(lock))
    a = se.FastBucketAllocator()
    for obj in payload:
        assert a.add_to_bucket(obj, 64)
    lock.back = a if cycle else None
    return a


def locked_by(module, make):
    def build(payload, cycle, mp):
        lock = Holder(*payload)
        mp.setattr(module, "threading", fake_threading(lock))
        obj = make()
        lock.back = obj if cycle else None
        return obj
    return build


CONTAINERS = {
    "FastRedBlackTree": tree_holding,
    "LockFreeStack": stack_holding,
    "AtomicPointer": pointer_holding,
    "LockFreeStatistics": statistics_holding,
    "FastBucketAllocator": allocator_holding,
    "CounterAggregator": locked_by(hub, lambda: hub.CounterAggregator(4)),
    "FastStatsCollector": locked_by(se, se.FastStatsCollector),
}


@pytest.mark.parametrize("cycle", [False, True], ids=["refcount", "collector"])
@pytest.mark.parametrize("kind", CONTAINERS)
def test_freed_container_releases_each_object_once(kind, cycle, monkeypatch):
    payload = [int(str(80000 + 8 * i)) if kind == "FastBucketAllocator" else Holder() for i in range(5)]
    base = [sys.getrefcount(o) for o in payload]
    container = CONTAINERS[kind](payload, cycle, monkeypatch)
    monkeypatch.undo()
    held = [sys.getrefcount(o) for o in payload]
    assert held != base
    gc.collect()
    gc.disable()
    try:
        del container
        assert [sys.getrefcount(o) for o in payload] == (held if cycle else base)
    finally:
        gc.enable()
    gc.collect()
    assert [sys.getrefcount(o) for o in payload] == base
