"""Block index beside what a Python user would otherwise build a best-fit index with.

The structures hold 1,000, 100,000 or 1,000,000 distinct sizes; each round runs a
batch of BATCH operations, and the report divides the round time by BATCH.
"""

import bisect
import collections
import operator
import random
import threading
import time
import types

import pytest
from sortedcontainers import SortedKeyList

from korvane.memory import block_index
from korvane.memory.block_index import FastRedBlackTree

BATCH = 1_000
STORED = (1_000, 100_000, 1_000_000)  # the chart's x axis
REFERENCE = 100_000  # the one size for the operations without a series


class SortedBestFit:
    """sortedcontainers' SortedKeyList of (size, block) keyed by size: add, bisect lookup and pop."""

    def __init__(self, entries=()):
        self._entries = SortedKeyList(entries, key=operator.itemgetter(0))

    def insert(self, size, block):
        self._entries.add((size, block))

    def find_best_fit(self, size):
        i = self._entries.bisect_key_left(size)
        return self._entries[i][1] if i < len(self._entries) else None

    def find_all_exact(self, size):
        return [block for _, block in self._entries.irange_key(size, size)]

    def remove_ge(self, size):
        i = self._entries.bisect_key_left(size)
        if i == len(self._entries):
            return None, None
        return self._entries.pop(i)

    def get_size_distribution(self):
        return dict(collections.Counter(size for size, _ in self._entries))


class LockedSortedBestFit(SortedBestFit):
    """The same, shared between threads: every operation holds one threading.Lock."""

    def __init__(self, entries=()):
        super().__init__(entries)
        self._lock = threading.Lock()

    def insert(self, size, block):
        with self._lock:
            super().insert(size, block)

    def find_best_fit(self, size):
        with self._lock:
            return super().find_best_fit(size)

    def remove_ge(self, size):
        with self._lock:
            return super().remove_ge(size)


class LockedBestFit:
    """Plain Python: a sorted list of sizes, a dict of chains and one lock."""

    def __init__(self, entries=()):
        self._lock = threading.Lock()
        self._chains = {}
        for size, block in entries:
            self._chains.setdefault(size, []).append(block)
        self._sizes = sorted(self._chains)

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


def new_tree(entries=()):
    tree = FastRedBlackTree()
    for size, block in entries:
        tree.insert(size, block)
    return tree


IMPLEMENTATIONS = {"korvane FastRedBlackTree": new_tree, "sortedcontainers SortedKeyList": SortedBestFit,
                   "Python with threading.Lock": LockedBestFit}


def workload(stored, seed=2024):
    """`stored` distinct sizes with a block each, and BATCH query sizes over the same range."""
    rng = random.Random(seed)
    space = 50 * stored
    entries = [(size, object()) for size in rng.sample(range(1, space), stored)]
    return entries, [rng.randrange(1, space) for _ in range(BATCH)]


@pytest.fixture(scope="module", params=[(impl, n) for impl in IMPLEMENTATIONS for n in STORED],
                ids=lambda p: f"{p[0]}-{p[1]}")
def index(request):
    impl, stored = request.param
    entries, queries = workload(stored)
    return impl, stored, IMPLEMENTATIONS[impl](entries), queries


def label(benchmark, index, series=None):
    impl, stored, _, _ = index
    benchmark.extra_info.update(impl=impl, calls=BATCH, stored=stored)
    if series is not None:
        benchmark.extra_info["series"] = series


def test_find_best_fit(benchmark, index):
    _, stored, structure, queries = index
    benchmark.group = f"find_best_fit, {stored:,} sizes"
    label(benchmark, index, "find_best_fit")
    find = structure.find_best_fit

    def run():
        for q in queries:
            find(q)

    benchmark(run)


def test_insert_remove_ge(benchmark, index):
    _, stored, structure, queries = index
    benchmark.group = f"insert + remove_ge, {stored:,} sizes"
    label(benchmark, index, "insert + remove_ge")
    insert, remove_ge = structure.insert, structure.remove_ge
    block = object()

    def run():
        for q in queries:
            insert(q, block)
            remove_ge(q)

    benchmark(run)


REFERENCE_INDEXES = [(impl, REFERENCE) for impl in IMPLEMENTATIONS]


@pytest.mark.parametrize("index", REFERENCE_INDEXES, ids=lambda p: f"{p[0]}-{p[1]}", indirect=True)
def test_find_all_exact(benchmark, index):
    _, stored, structure, queries = index
    benchmark.group = f"find_all_exact, {stored:,} sizes"
    label(benchmark, index)
    entries, _ = workload(stored)
    present = [size for size, _ in entries[:BATCH // 2]] + queries[:BATCH // 2]
    find = structure.find_all_exact

    def run():
        for q in present:
            find(q)

    benchmark(run)


@pytest.mark.parametrize("index", REFERENCE_INDEXES, ids=lambda p: f"{p[0]}-{p[1]}", indirect=True)
def test_get_size_distribution(benchmark, index):
    _, stored, structure, _ = index
    benchmark.group = f"get_size_distribution, {stored:,} sizes"
    label(benchmark, index)
    benchmark.extra_info["calls"] = 1
    benchmark(structure.get_size_distribution)


# An insert stamps its record with time.perf_counter_ns(), read natively while
# the module's `time` is the module imported with that function; a clock of
# the same cost under another name (monotonic_ns) is called through Python.
CLOCKS = {"korvane FastRedBlackTree.insert": None, "the same, its clock called by name": time.monotonic_ns}


@pytest.mark.parametrize("clock", CLOCKS)
def test_insert_clock(benchmark, clock, monkeypatch):
    benchmark.group = "insert, 1,000 sizes: the clock read natively or by name"
    benchmark.extra_info.update(impl=clock, calls=BATCH)
    if CLOCKS[clock] is not None:
        stand_in = types.ModuleType("time")
        stand_in.perf_counter_ns = CLOCKS[clock]
        monkeypatch.setattr(block_index, "time", stand_in)
    tree = FastRedBlackTree()
    insert = tree.insert
    sizes = random.Random(7).sample(range(1, 1_000_000), BATCH)
    blocks = [object() for _ in sizes]
    pairs = list(zip(sizes, blocks))

    def run():
        for size, block in pairs:
            insert(size, block)

    benchmark.pedantic(run, setup=tree.clear, rounds=300, warmup_rounds=10)
