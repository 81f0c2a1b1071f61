"""Block index beside what a Python user would otherwise build a best-fit index with.

Every structure holds 100,000 distinct sizes; each round runs a batch of
BATCH operations, so per-operation times are the round times / BATCH.
"""

import bisect
import collections
import random
import threading

import pytest
from sortedcontainers import SortedList

from korvane.memory.block_index import FastRedBlackTree

SIZES = 100_000
BATCH = 1_000
SPACE = 50 * SIZES


class SortedBestFit:
    """sortedcontainers' SortedList of (size, id) searched by bisect; blocks kept by id."""

    def __init__(self):
        self._entries = SortedList()
        self._blocks = {}
        self._ids = iter(range(1 << 62))

    def insert(self, size, block):
        key = next(self._ids)
        self._blocks[key] = block
        self._entries.add((size, key))

    def find_best_fit(self, size):
        i = self._entries.bisect_left((size,))
        if i == len(self._entries):
            return None
        return self._blocks[self._entries[i][1]]

    def find_all_exact(self, size):
        entries = self._entries
        lo, hi = entries.bisect_left((size,)), entries.bisect_left((size + 1,))
        return [self._blocks[key] for _, key in entries[lo:hi]]

    def remove_ge(self, size):
        i = self._entries.bisect_left((size,))
        if i == len(self._entries):
            return None, None
        found, key = self._entries.pop(i)
        return found, self._blocks.pop(key)

    def get_size_distribution(self):
        return dict(collections.Counter(size for size, _ in self._entries))


class LockedBestFit:
    """Plain Python: a sorted list of sizes, a dict of chains and one lock."""

    def __init__(self):
        self._lock = threading.Lock()
        self._sizes = []
        self._chains = {}

    def insert(self, size, block):
        with self._lock:
            chain = self._chains.get(size)
            if chain is None:
                bisect.insort(self._sizes, size)
                self._chains[size] = [block]
            else:
                chain.insert(1, block)

    def find_best_fit(self, size):
        with self._lock:
            i = bisect.bisect_left(self._sizes, size)
            return self._chains[self._sizes[i]][0] if i < len(self._sizes) else None

    def find_all_exact(self, size):
        with self._lock:
            return list(self._chains.get(size, ()))

    def remove_ge(self, size):
        with self._lock:
            i = bisect.bisect_left(self._sizes, size)
            if i == len(self._sizes):
                return None, None
            found = self._sizes[i]
            chain = self._chains[found]
            block = chain.pop(0)
            if not chain:
                del self._chains[found]
                del self._sizes[i]
            return found, block

    def get_size_distribution(self):
        with self._lock:
            return {size: len(chain) for size, chain in self._chains.items()}


IMPLEMENTATIONS = {"korvane": FastRedBlackTree, "sortedcontainers": SortedBestFit, "python+lock": LockedBestFit}


@pytest.fixture(scope="module")
def workload():
    rng = random.Random(2024)
    sizes = rng.sample(range(1, SPACE), SIZES)
    queries = [rng.randrange(1, SPACE) for _ in range(BATCH)]
    return sizes, queries


@pytest.fixture(scope="module", params=list(IMPLEMENTATIONS))
def index(request, workload):
    sizes, _ = workload
    structure = IMPLEMENTATIONS[request.param]()
    for size in sizes:
        structure.insert(size, object())
    return structure


@pytest.mark.benchmark(group="find_best_fit")
def test_find_best_fit(benchmark, index, workload):
    _, queries = workload
    find = index.find_best_fit

    def run():
        for q in queries:
            find(q)

    benchmark(run)


@pytest.mark.benchmark(group="insert + remove_ge")
def test_insert_remove_ge_cycle(benchmark, index, workload):
    _, queries = workload
    insert, remove_ge = index.insert, index.remove_ge
    block = object()

    def run():
        for q in queries:
            insert(q, block)
            remove_ge(q)

    benchmark(run)


@pytest.mark.benchmark(group="find_all_exact")
def test_find_all_exact(benchmark, index, workload):
    sizes, queries = workload
    present = sizes[:BATCH // 2] + queries[:BATCH // 2]
    find = index.find_all_exact

    def run():
        for q in present:
            find(q)

    benchmark(run)


@pytest.mark.benchmark(group="get_size_distribution")
def test_get_size_distribution(benchmark, index):
    benchmark(index.get_size_distribution)
