"""The block index on the memory layer's usual road: a freed block is reused for a smaller request."""

from korvane._tour import heading, show
from korvane.memory.block_index import FastRedBlackTree
from korvane.memory.lockfree_core import LockFreeStatistics, PerformanceTimer
from korvane.memory.memory_block import MemoryBlock


def run() -> None:
    heading("block index: return a block, reuse it by best fit")
    tree = FastRedBlackTree()
    for freed in (MemoryBlock(0, 1024), MemoryBlock(1024, 4096), MemoryBlock(5120, 8192)):
        tree.insert(freed.size, freed)  # the framework frees three blocks
    show("free blocks by size", tree.get_size_distribution())
    show("seq_counter after 3 writes", tree.seq_counter)

    timer = PerformanceTimer()
    timer.start()
    candidate = tree.find_best_fit(3000)
    size, block = tree.remove_ge(3000)
    assert block is not None, "a 4096-byte block is free"
    head, rest = block.split(3000)
    if rest is not None:
        tree.insert(rest.size, rest)  # the unused tail goes back to the index
    elapsed_ns = timer.elapsed_ns()
    show("find_best_fit(3000)", candidate)
    show("remove_ge(3000)", (size, block))
    show("allocated", head)
    show("tail returned to the index", rest)
    show("free blocks by size", tree.get_size_distribution())

    stats = LockFreeStatistics()
    stats.record_allocation(head.size, False, 0, elapsed_ns)  # served by the index, not a size bucket
    snapshot = stats.get_snapshot()
    for key in ("total_allocations", "bytes_allocated", "fallback_allocations", "bucketed_allocation_ratio",
                "average_allocation_time_ns"):
        show(key, snapshot[key])
    tree_stats = tree.get_stats()
    show("tree", repr(tree))
    show("searches / insertions / deletions",
         f"{tree_stats['total_searches']} / {tree_stats['total_insertions']} / {tree_stats['total_deletions']}")
