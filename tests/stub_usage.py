"""Uses every module as typed client code would; checked with mypy --strict and run by test_typing."""

from typing import assert_type

from korvane.gpu import accel_planner
from korvane.gpu.backend_registry import GPUBackendKind, GPUBackendRegistry
from korvane.memory.block_index import FastRedBlackTree
from korvane.memory.lockfree_core import (
    AtomicCounter,
    AtomicCounterWrapper,
    AtomicPointer,
    LockFreeStack,
    LockFreeStatistics,
    PerformanceTimer,
)
from korvane.memory.memory_block import MemoryBlock
from korvane.memory.slab_engine import (
    FastBucketAllocator,
    FastSlabHeaderOps,
    FastStatsCollector,
    fast_align_size,
    fast_bitmap_operations,
)
from korvane.monitoring.counter_hub import CounterAggregator, create_aggregator
from korvane.native import host_probe
from korvane.plugins.analyzer import adaptation_policy, task_scoring
from korvane.threads import handle


def lockfree() -> None:
    counter = AtomicCounter(initial_value=5)
    assert_type(counter.increment(), int)
    assert_type(counter.py_compare_and_swap(6, 7), bool)
    assert_type(AtomicCounterWrapper(3).fetch_and_add(1), int)
    cell = AtomicPointer("v1")
    cell.store("v2")
    assert_type(cell.get_version(), int)
    stack = LockFreeStack()
    stack.push(1)
    assert_type(stack.size(), int)
    stats = LockFreeStatistics()
    stats.record_allocation(4096, is_bucketed=False, padding=8, time_ns=120)
    assert_type(stats.total_allocations.load(), int)
    assert_type(stats.get_snapshot()["bucketed_allocation_ratio"], str)
    timer = PerformanceTimer()
    timer.start()
    assert_type(timer.elapsed_ms(), float)


def memory() -> None:
    tree = FastRedBlackTree(sample_rate=10)
    tree.insert(4096, MemoryBlock(0, 4096))
    best = tree.find_best_fit(3000, alignment=64)
    assert best is not None and best.end == 4096
    find = handle(tree.find_best_fit)
    assert_type(find(3000), MemoryBlock | None)
    size, block = tree.remove_ge(1)
    assert_type(size, int | None)
    assert_type(tree.get_stats()["height"], int)
    assert_type(len(tree), int)
    header = FastSlabHeaderOps(3, 32)
    header.py_allocate_object_at(header.py_find_free_object())
    header.unpack_header(header.pack_header())
    buckets = FastBucketAllocator(bucket_size_step=16)
    buckets.add_to_bucket(0, 64)
    assert_type(buckets.remove_from_bucket(64), int | None)
    collector = FastStatsCollector()
    collector.py_record_allocation(64, 8, True)
    assert_type(collector.get_stats()["alignment_padding_bytes"], int)
    assert_type(fast_bitmap_operations(8, 3, "is_set"), bool)
    assert_type(fast_bitmap_operations(0, 3, "set"), int)
    assert_type(fast_align_size(13, 8), int)


def analysis() -> None:
    report = host_probe.detect_capabilities()
    assert_type(report["physical_cores"], int)
    assert_type(host_probe.detect_python_version(), tuple[str, bool])
    assert_type(GPUBackendRegistry.get_best_available().info.kind, GPUBackendKind)
    counts = task_scoring.score_indicators("for x in range(3): total += x", None)
    scores = task_scoring.normalize_scores(*counts[:5])
    assert_type(scores, tuple[float, float, float, float, float])
    numpy_score, pandas_score, sklearn_score = task_scoring.score_framework_patterns("np.array(x)")
    pattern = task_scoring.determine_workload_pattern(
        scores[0], scores[1], 0.2, 0.0, scores[3], numpy_score, pandas_score, sklearn_score, counts[6], counts[5],
        cpu_threshold=0.5, memory_threshold=0.5, gpu_threshold=0.5, numpy_threshold=0.5, pandas_threshold=0.5,
        sklearn_threshold=0.5, gpu_available=False)
    assert_type(pattern, int)
    history = [(float(t), 100.0) for t in range(10)]
    assert_type(adaptation_policy.detect_performance_degradation(history, 100.0, 0.1, 0.0), bool)
    assert_type(adaptation_policy.predict_resource_requirements([(t, 64) for t in range(10)], 9.0),
                tuple[int, int, float])
    assert_type(adaptation_policy.detect_dominant_pattern(["a", "b", "a"]), str)
    aggregator: CounterAggregator = create_aggregator(num_counters=4)
    aggregator.update(0, 2.5)
    assert_type(aggregator.get_all_stats()[0][1]["count"], int)
    decision = accel_planner.decide_allocation_strategy(10**9, 2**30, 0.6, True)
    assert_type(decision, tuple[int, int, int, str])
    assert_type(accel_planner.compute_chunk_shapes((1000, 8), 4, decision[1]), list[tuple[int, ...]])


lockfree()
memory()
analysis()
