"""Thread stress for the stateful types the module tests do not already hammer.

Each scenario starts writers and readers together (with a short switch
interval), fails on a deadlock or on any worker's exception, and then checks
an exact final state. Stored objects' finalisers call back into the same
container, so a reference released while a lock is held deadlocks here.
"""

import itertools
import sys
import threading
import types

import pytest

from test_block_index import shape_of
from korvane.memory.block_index import FastRedBlackTree
from korvane.memory.lockfree_core import AtomicCounter, AtomicPointer, LockFreeStack, LockFreeStatistics
from korvane.memory.slab_engine import FastBucketAllocator, FastStatsCollector

PER_THREAD = 5000


def hammer(workers, timeout=120):
    """Runs every worker in its own thread from a common start; re-raises the first failure."""
    barrier, errors = threading.Barrier(len(workers)), []

    def run(work):
        barrier.wait()
        try:
            work()
        except BaseException as exc:  # reported below, in the test's thread
            errors.append(exc)

    threads = [threading.Thread(target=run, args=(w,), daemon=True) for w in workers]
    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    try:
        for t in threads:
            t.start()
        for t in threads:
            t.join(timeout)
    finally:
        sys.setswitchinterval(old)
    assert not any(t.is_alive() for t in threads), "deadlock"
    if errors:
        raise errors[0]


def pointer_scenario():
    cell = AtomicPointer()

    class Box:
        def __init__(self, n):
            self.n = n

        def __del__(self):  # replaced or refused boxes are released outside the cell's lock
            cell.get_version()
            cell.load()

    cell.store(Box(0))

    def writer():
        done = 0
        while done < PER_THREAD:
            seen = cell.load()
            done += cell.compare_and_swap(seen, Box(seen.n + 1))

    def reader():
        last = 0
        for _ in range(PER_THREAD):
            version = cell.get_version()
            assert version >= last and cell.load().n >= version - 1
            last = version
            assert repr(cell).startswith("AtomicPointer(version=")

    def check():
        assert cell.load().n == 4 * PER_THREAD and cell.get_version() == 4 * PER_THREAD + 1

    return [writer] * 4 + [reader] * 2, check


def stack_scenario():
    stack, popped = LockFreeStack(), []

    class Item:
        def __init__(self, key):
            self.key = key

        def __del__(self):
            stack.is_empty()

    def writer(k):
        for i in range(PER_THREAD):
            stack.push(Item((k, i)))
            if i % 2:
                popped.append(stack.pop().key)

    def reader():
        for _ in range(PER_THREAD):
            assert stack.size() >= 0
            stack.is_empty()

    def check():
        assert stack.size() == 4 * PER_THREAD // 2
        rest = []
        while not stack.is_empty():
            rest.append(stack.pop().key)
        assert sorted(popped + rest) == [(k, i) for k in range(4) for i in range(PER_THREAD)]
        assert stack.size() == 0

    return [lambda k=k: writer(k) for k in range(4)] + [reader], check


class LockedCounter:
    """A public statistics counter replaced by Python code."""

    def __init__(self):
        self.value, self.lock = 0, threading.Lock()

    def increment(self, delta=1):
        with self.lock:
            self.value += delta
            return self.value

    def load(self):
        return self.value


def statistics_scenario():
    """Recorders run while one thread replaces the public counters (dropping the old ones), another
    switches the padding counter between native and Python counters, and another reads every
    attribute: every addition lands on exactly one counter, and a replaced counter takes none after
    its replacement."""
    stats = LockFreeStatistics()
    fields = ("total_allocations", "total_deallocations", "current_allocations", "bytes_allocated",
              "bytes_reserved", "peak_allocations", "peak_bytes_allocated", "bucketed_allocations",
              "fallback_allocations", "alignment_padding_bytes", "total_allocation_time_ns",
              "total_deallocation_time_ns")
    swapped = [f for f in fields if f != "alignment_padding_bytes"]
    retired = dict.fromkeys(swapped, 0)  # what the replaced counters held once replaced
    paddings = [stats.alignment_padding_bytes]

    def recorder():
        for i in range(PER_THREAD):
            stats.record_allocation(16, i % 2 == 0, 1, 10)
            stats.record_deallocation(8, 5)

    def swapper():
        for _ in range(PER_THREAD // 20):
            for name in swapped:
                old = getattr(stats, name)
                setattr(stats, name, AtomicCounter())
                retired[name] += old.load()

    def mixer():
        for i in range(PER_THREAD // 20):
            paddings.append(LockedCounter() if i % 2 else AtomicCounter())
            stats.alignment_padding_bytes = paddings[-1]

    def reader():
        for _ in range(PER_THREAD // 20):
            assert all(getattr(stats, name).load() is not None for name in fields)
            assert repr(stats).startswith("LockFreeStatistics(") and len(stats.get_snapshot()) == 14

    def check():
        sums = {name: retired[name] + getattr(stats, name).load() for name in swapped if "peak" not in name}
        n = 2 * PER_THREAD
        assert sums == {
            "total_allocations": n, "total_deallocations": n, "current_allocations": 0, "bytes_allocated": 8 * n,
            "bytes_reserved": 0, "bucketed_allocations": n // 2, "fallback_allocations": n // 2,
            "total_allocation_time_ns": 10 * n, "total_deallocation_time_ns": 5 * n}
        assert sum(c.load() for c in paddings) == n

    return [recorder] * 2 + [swapper, mixer, reader], check


def tree_scenario():
    tree = FastRedBlackTree(sample_rate=7)
    serials, calls = itertools.count(), itertools.count()
    inserted, deleted, removed = [], [], []  # (size, serial) and serials: the tests hold no block
    live = {"finalisers": True}

    class Returned:
        def __init__(self):
            self.serial = next(serials)

    class Block(Returned):
        def __eq__(self, other):
            return self.serial == other.serial

        def __del__(self):  # gives a block back, as a pool would; must run after the tree's lock is left
            if live["finalisers"]:
                back = Returned()
                inserted.append((7, back.serial))
                tree.insert(7, back)
                next(calls)
                tree.find_best_fit(0)

    def writer(k):
        mine = []
        for i in range(PER_THREAD):
            block = Block()
            size, key = 8 * (k * 50 + i % 50), types.SimpleNamespace(serial=block.serial)
            inserted.append((size, block.serial))
            tree.insert(size, block)
            mine.append((size, key))
            del block  # the tree holds the only reference
            if i % 3 == 1:
                size, key = mine.pop(i % len(mine))
                if tree.delete(size, key):
                    deleted.append(key.serial)
            elif i % 3 == 2:
                got = tree.remove_ge(8 * k * 50)[1]
                if got is not None:
                    removed.append(got.serial)
                got = None
            for _ in range(1 + (i % 3 > 0)):  # writer calls made: each moves seq_counter by 2
                next(calls)

    def reader():
        for i in range(PER_THREAD // 4):
            assert type(tree.find_best_fit(i)) in (Block, Returned, type(None))
            assert all(type(b) in (Block, Returned) for b in tree.find_all_exact(8 * (i % 200)))
            assert tree.get_stats()["is_valid"]
            if i % 50 == 0:
                tree.get_size_distribution()

    def check():
        live["finalisers"] = False
        gone = set(deleted + removed)
        assert len(gone) == len(deleted) + len(removed)  # nothing came out twice
        dist = tree.get_size_distribution()
        actual = sorted((s, b.serial) for s in dist for b in tree.find_all_exact(s))
        assert actual == sorted(e for e in inserted if e[1] not in gone) and sum(dist.values()) == len(tree)
        stats = tree.get_stats()
        assert stats["total_insertions"] == len(inserted) and stats["total_deletions"] == len(gone)
        assert stats["sampled_operations"] == len(inserted) // 7
        assert tree.seq_counter == 2 * next(calls)
        height, colourable = shape_of(dist)
        assert colourable and stats["height"] == height
        tree.clear()

    return [lambda k=k: writer(k) for k in range(3)] + [reader] * 2, check


def tree_clear_scenario():
    """clear() replaces the tree's counters while inserts and get_stats use them, and releases
    blocks whose finalisers take the tree's write lock."""
    tree = FastRedBlackTree(sample_rate=1)

    class Block:
        def __del__(self):
            tree.get_size_distribution()
            tree.find_best_fit(0)

    def inserter(k):
        for i in range(PER_THREAD):
            tree.insert(i % 64, Block() if i % 4 == 0 else (k, i))

    def clearer():
        for _ in range(PER_THREAD // 10):
            tree.clear()
            tree.get_stats()

    def check():
        tree.clear()
        stats = tree.get_stats()
        assert (stats["node_count"], stats["sampled_operations"], len(tree)) == (0, 0, 0)
        assert tree.seq_counter % 2 == 0

    return [lambda k=k: inserter(k) for k in range(3)] + [clearer], check


def tree_rounds_scenario():
    """Readers search without pause while two writers fill the tree with many sizes and empty it
    again each round, so that removed records are reused and emptied pools return their memory
    under the readers' feet."""
    tree, rounds, per_round = FastRedBlackTree(sample_rate=1), 300, 40
    barrier, done, found = threading.Barrier(2), threading.Event(), []

    def writer(k):
        for r in range(rounds):
            base = 8 * k * per_round  # the writers' sizes do not overlap
            blocks = [(base + 8 * i, (k << 32) | (r << 16) | i) for i in range(per_round)]
            for size, block in blocks[::2] + blocks[1::2]:
                tree.insert(size, block)
            for size, block in blocks[::2]:
                assert tree.delete(size, block)
            for size, block in blocks[1::2]:
                assert tree.remove_ge(base) == (size, block)
            barrier.wait()  # the tree is empty here, once per round
        done.set()

    def reader():
        hits = 0
        while not done.is_set():
            for size in range(0, 8 * 2 * per_round, 8):
                block = tree.find_best_fit(size)
                chain = tree.find_all_exact(size)
                assert (block is None or type(block) is int) and all(type(b) is int for b in chain)
                hits += (block is not None) + bool(chain)
        found.append(hits)

    def check():
        stats = tree.get_stats()
        assert len(tree) == stats["total_blocks"] == stats["node_count"] == 0 and tree.get_size_distribution() == {}
        assert stats["total_insertions"] == stats["total_deletions"] == stats["sampled_operations"] == 2 * rounds * per_round
        assert stats["total_searches"] >= sum(found)  # every call that found something was counted
        assert tree.seq_counter == 2 * stats["total_insertions"] * 2

    return [lambda k=k: writer(k) for k in range(2)] + [reader] * 2, check


def allocator_scenario():
    """_init_buckets takes no lock: filed offsets may be dropped, but none is handed out twice."""
    alloc, taken = FastBucketAllocator(), []

    def worker(k):
        for n in range(PER_THREAD):
            alloc.add_to_bucket(k * 10**6 + n, 64)
            got = alloc.find_best_fit_bucket(24, 8) if n % 2 else alloc.remove_from_bucket(64)
            if got is not None:
                taken.append(got)

    def reinit():
        for _ in range(50):
            alloc._init_buckets()

    def check():
        rest = []
        while (offset := alloc.remove_from_bucket(64)) is not None:
            rest.append(offset)
        everything = taken + rest
        assert len(set(everything)) == len(everything)
        assert set(everything) <= {k * 10**6 + n for k in range(4) for n in range(PER_THREAD)}

    return [lambda k=k: worker(k) for k in range(4)] + [reinit], check


def collector_scenario():
    """get_stats reads every counter under the lock the writers hold: each snapshot is consistent."""
    collector = FastStatsCollector()

    def writer():
        for n in range(PER_THREAD):
            collector.py_record_allocation(8, 1, n % 3 == 0)
            collector.py_record_deallocation()

    def reader():
        for _ in range(PER_THREAD):
            s = collector.get_stats()
            total = s["total_allocations"]
            assert total == s["bucketed_allocations"] + s["fallback_allocations"] == s["alignment_padding_bytes"]
            assert total - 4 <= s["total_deallocations"] <= total

    def check():
        s = collector.get_stats()
        assert (s["total_allocations"], s["total_deallocations"], s["bucketed_allocations"]) == (
            4 * PER_THREAD, 4 * PER_THREAD, 4 * len(range(0, PER_THREAD, 3)))

    return [writer] * 4 + [reader] * 2, check


SCENARIOS = {f.__name__.removesuffix("_scenario"): f for f in (
    pointer_scenario, stack_scenario, statistics_scenario, tree_scenario, tree_clear_scenario,
    tree_rounds_scenario, allocator_scenario, collector_scenario)}


@pytest.mark.parametrize("name", SCENARIOS)
def test_threads_keep_exact_state(name):
    workers, check = SCENARIOS[name]()
    hammer(workers)
    check()
