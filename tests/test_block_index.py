import bisect
import collections
import fractions
import gc
import math
import pickle
import random
import sys
import threading
import time
import tracemalloc
import types
import weakref

import pytest

from korvane.memory import block_index as bi
from korvane.memory.block_index import FastRedBlackTree
from korvane.memory.memory_block import MemoryBlock
from korvane.threads import handle

INITIAL_STATS = {"total_blocks": 0, "total_insertions": 0, "total_deletions": 0, "total_searches": 0,
                 "bucket_hits": 0, "tree_hits": 0, "operation_count": 0}


class Model:
    """The tree's rules in plain Python: per size, a list of blocks in chain order."""

    def __init__(self):
        self.chains = {}
        self.count = 0

    def insert(self, size, block):
        chain = self.chains.setdefault(size, [])
        chain.insert(1 if chain else 0, block)  # behind the first entry
        self.count += 1

    def delete(self, size, block):
        chain = self.chains.get(size, [])
        for i, stored in enumerate(chain):
            if stored == block:
                del chain[i]
                if not chain:
                    del self.chains[size]
                self.count -= 1
                return True
        return False

    def best_size(self, size):
        keys = sorted(self.chains)
        i = bisect.bisect_left(keys, size)
        return keys[i] if i < len(keys) else None

    def remove_ge(self, size):
        best = self.best_size(size)
        if best is None:
            return None, None
        block = self.chains[best][0]
        self.delete(best, block)
        return best, block


def shape_of(distribution):
    """Rebuilds the tree's shape from the pre-order of get_size_distribution.

    Returns (height, colourable): the height, and whether some colouring of
    that shape satisfies the red-black rules. Fails if the keys are not the
    pre-order of a search tree."""
    keys = list(distribution)
    pos = 0

    def build(lo, hi):
        nonlocal pos
        if pos == len(keys) or not lo < keys[pos] < hi:
            return 0, {0}, set()  # empty subtree: height 0, black with black-height 0
        key = keys[pos]
        pos += 1
        lh, lblack, lred = build(lo, key)
        rh, rblack, rred = build(key, hi)
        black = {b + 1 for b in (lblack | lred) & (rblack | rred)}
        return 1 + max(lh, rh), black, lblack & rblack

    height, black, _ = build(-1, math.inf)
    assert pos == len(keys), "distribution keys are not a search-tree pre-order"
    return height, bool(black)


def check(tree, model, *, shape=True):
    dist = tree.get_size_distribution()
    assert dist == {size: len(chain) for size, chain in model.chains.items()}
    stats = tree.get_stats()
    assert tree.size() == len(tree) == stats["node_count"] == stats["total_blocks"] == model.count
    assert bool(tree) is (model.count > 0)
    assert stats["height"] <= 2 * math.log2(len(dist) + 1)
    if shape:
        height, colourable = shape_of(dist)
        assert stats["height"] == height and colourable


def equal_copy(block):
    """An object equal to `block` and not identical to it."""
    return MemoryBlock(block.offset, block.size) if isinstance(block, MemoryBlock) else int(str(block))


# Blocks compared by their own __eq__ (MemoryBlock) or natively (large ints); copies of stored blocks
# make chains of equal blocks, where delete must take the first in chain order.
@pytest.mark.parametrize("seed, kind", [(1, MemoryBlock), (2, MemoryBlock), (3, int)])
def test_random_operations_follow_the_model(seed, kind):
    rng = random.Random(seed)
    tree, model = FastRedBlackTree(), Model()
    offsets = iter(range(10**9))

    def new_block(size):
        offset = next(offsets)
        return MemoryBlock(offset, size) if kind is MemoryBlock else 10**30 + offset

    stored = []  # (size, block)
    searches = insertions = deletions = 0
    for step in range(2500):
        seq = tree.seq_counter
        op = rng.random()
        size = rng.randrange(200) * rng.choice((1, 1, 7, 1000))
        if op < 0.45:
            if stored and rng.random() < 0.2:
                size, block = rng.choice(stored)
                block = block if rng.random() < 0.5 else equal_copy(block)
            else:
                block = new_block(size)
            stored.append((size, block))
            assert tree.insert(size, block) is True
            model.insert(size, block)
            insertions += 1
        elif op < 0.75:
            if stored and rng.random() < 0.8:
                victim_size, victim = rng.choice(stored)
                size = victim_size if rng.random() < 0.8 else size
                block = equal_copy(victim)
            else:
                block = new_block(size)
            expected = model.delete(size, block)
            assert tree.delete(size, block) is expected
            deletions += expected
        else:
            got = tree.remove_ge(size)
            expected = model.remove_ge(size)
            assert got[0] == expected[0] and got[1] is expected[1]
            deletions += expected[0] is not None
        assert tree.seq_counter == seq + 2
        for query in (size, rng.randrange(200 * 1000)):
            best = model.best_size(query)
            assert tree.find_best_fit(query) is (None if best is None else model.chains[best][0])
        exact = tree.find_all_exact(size)
        assert len(exact) == len(model.chains.get(size, []))
        assert all(a is b for a, b in zip(exact, model.chains.get(size, [])))
        searches += 3
        assert tree.seq_counter == seq + 2
        check(tree, model, shape=step % 10 == 0)
    stats = tree.get_stats()
    assert (stats["total_insertions"], stats["total_deletions"], stats["total_searches"]) == (
        insertions, deletions, searches)


def test_balance_holds_under_long_delete_insert_churn():
    rng = random.Random(7)
    tree, model = FastRedBlackTree(), Model()
    live = rng.sample(range(10**6), 1000)
    for size in live:
        tree.insert(size, size)
        model.insert(size, size)
    for step in range(40_000):
        i = rng.randrange(len(live))
        assert tree.delete(live[i], live[i])
        model.delete(live[i], live[i])
        live[i] = rng.randrange(10**6)
        tree.insert(live[i], live[i])
        model.insert(live[i], live[i])
        assert tree.get_stats()["height"] <= 2 * math.log2(len(model.chains) + 1)
        if step % 2000 == 0:
            check(tree, model)
    check(tree, model)
    ascending = FastRedBlackTree()
    for size in range(1, 20_001):
        ascending.insert(size, None)
    assert ascending.get_stats()["height"] <= 2 * math.log2(20_001)


def test_chain_order_and_examples():
    tree = FastRedBlackTree()
    a, b, c = MemoryBlock(0, 8), MemoryBlock(8, 8), MemoryBlock(16, 8)
    for block in (a, b, c):
        tree.insert(8, block)
    assert tree.find_all_exact(8) == [a, c, b]
    tree.insert(3, "three")
    tree.insert(16, "sixteen")
    assert [tree.find_best_fit(s) for s in (5, 16, 17, 0)] == [a, "sixteen", None, "three"]
    assert tree.find_best_fit(5, alignment=4096) is a
    assert tree.delete(8, a) and tree.find_all_exact(8) == [c, b]
    assert [tree.remove_ge(4) for _ in range(3)] == [(8, c), (8, b), (16, "sixteen")]
    assert tree.get_stats()["height"] == 1
    tree.insert(0, "zero")
    assert tree.find_all_exact(0) == ["zero"] and tree.remove_ge(0) == (0, "zero")
    top = 2**64 - 1
    tree.insert(top, "top")
    assert tree.find_best_fit(top) == "top" and tree.remove_ge(top) == (top, "top")
    ordered = FastRedBlackTree()
    for size in (10, 5, 20):
        ordered.insert(size, size)
    assert list(ordered.get_size_distribution().items()) == [(10, 1), (5, 1), (20, 1)]


def test_stats_keys_sampling_and_reset():
    tree = FastRedBlackTree()
    assert list(tree.get_stats().items()) == [*INITIAL_STATS.items(), ("node_count", 0), ("height", 0),
                                              ("sampled_operations", 0), ("is_valid", True)]
    assert tree.find_best_fit(1) is None and tree.find_all_exact(7) == []
    assert tree.get_stats()["total_searches"] == 2
    for i in range(250):
        tree.insert(i % 3, i)
    assert tree.get_stats()["sampled_operations"] == 2
    tree.reset_circuit_breaker()
    tree.insert(1, "x")
    keys = list(tree.get_stats())
    assert keys[keys.index("operation_count") + 1] == "circuit_breaker_trips"
    assert tree.get_stats()["operation_count"] == 1 and tree.get_stats()["circuit_breaker_trips"] == 0
    tree.clear()
    assert tree.get_stats() == {**INITIAL_STATS, "node_count": 0, "height": 0, "sampled_operations": 0,
                                "is_valid": True}
    assert tree.get_size_distribution() == {} and tree.get_statistics() == {}
    assert repr(tree) == "FastRedBlackTree(blocks=0, native=True)" and not tree
    for rate, expected in ((1, 250), (0, 0), (7, 35)):
        sampled = FastRedBlackTree(sample_rate=rate)
        for i in range(250):
            sampled.insert(i, i)
        assert sampled.get_stats()["sampled_operations"] == expected


def test_sampling_goes_through_the_module_counter(monkeypatch):
    seen = []

    class Counter:
        def __init__(self, value):
            self.value = value

        def increment(self):
            seen.append((self, tree.seq_counter % 2))  # always even: outside the write
            self.value += 1
            return self.value

        def load(self):
            return self.value

    monkeypatch.setattr(bi, "AtomicCounter", Counter)
    tree = FastRedBlackTree(sample_rate=2)
    for i in range(4):
        tree.insert(i, i)
    assert len(seen) == 6 and all(odd == 0 for _, odd in seen)
    assert sorted(collections.Counter(id(counter) for counter, _ in seen).values()) == [2, 4]
    assert tree.get_stats()["sampled_operations"] == 2
    # Counts beyond 64 bits and counts that are not ints sample by Python's own % and ==.
    for offset, sampled in [(2**70, 2), (0.0, 2), (fractions.Fraction(1, 2), 0), (None, None)]:
        class Shifted(Counter):
            def increment(self):
                n = super().increment()
                return None if offset is None else n + offset

        monkeypatch.setattr(bi, "AtomicCounter", Shifted)
        tree = FastRedBlackTree(sample_rate=2)
        if offset is None:
            with pytest.raises(TypeError):
                tree.insert(1, 1)
            assert len(tree) == 0
            continue
        for i in range(4):
            tree.insert(i, i)
        assert tree.get_stats()["sampled_operations"] == sampled, offset
    monkeypatch.setattr(bi, "ATOMIC_AVAILABLE", False)
    tree = FastRedBlackTree(sample_rate=1)
    seen.clear()
    tree.insert(1, 1)
    assert tree.get_stats()["sampled_operations"] == 0 and seen == []


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


def test_bad_input_leaves_the_tree_unchanged():
    tree = FastRedBlackTree()
    block = MemoryBlock(0, 3)
    tree.insert(3.9, block)
    tree.insert(True, "one")
    assert tree.find_all_exact(3) == [block] and tree.find_all_exact(1.5) == ["one"]
    before = (tree.seq_counter, tree.get_stats(), tree.get_size_distribution())
    calls = [("insert", "3", block), ("delete", "3", block), ("find_best_fit", "3"), ("find_all_exact", "3"),
             ("remove_ge", "3"), ("_sanitize_size", "3")]
    for name, *args in calls:
        with pytest.raises(TypeError) as err:
            getattr(tree, name)(*args)
        assert str(err.value) == "Argument 'size' has incorrect type (expected int, got str)"
        if name != "_sanitize_size":  # which has no upper bound
            with pytest.raises(OverflowError):
                getattr(tree, name)(2**64, *args[1:])
    with pytest.raises(TypeError, match=r"^Argument 'alignment' has incorrect type \(expected int, got str\)$"):
        tree.find_best_fit(-5, "x")
    for size in (-5, -5.5):
        with pytest.raises(ValueError) as err:
            tree.insert(size, block)
        assert str(err.value) == "Invalid size: -5"
        assert tree.delete(size, block) is False and tree.find_best_fit(size) is None
        assert tree.find_all_exact(size) == [] and tree.remove_ge(size) == (None, None)
    assert (tree.seq_counter, tree.get_stats(), tree.get_size_distribution()) == before
    assert FastRedBlackTree._sanitize_size(0) == 0 and tree._sanitize_size(7.2) == 7
    with pytest.raises(ValueError, match="^Invalid size: -1$"):
        FastRedBlackTree._sanitize_size(-1)

    with pytest.raises(OverflowError, match="^can't convert negative value to uint32_t$"):
        FastRedBlackTree(-1)
    for rate in (2**32, 2**64, 2.0**32, IntLike(2**32)):
        with pytest.raises(OverflowError, match="^value too large to convert to uint32_t$"):
            FastRedBlackTree(rate)
    sampled = FastRedBlackTree(IntLike(1))  # converted by __int__: every insert sampled
    sampled.insert(1, 1)
    assert sampled.get_stats()["sampled_operations"] == 1
    with pytest.raises(TypeError, match=r"^__init__\(\) takes at most 1 positional argument \(2 given\)$"):
        FastRedBlackTree(1, 2)
    with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
        pickle.dumps(tree)
    with pytest.raises(AttributeError):
        tree.seq_counter = 0


def test_hostile_blocks_and_failures_change_nothing(monkeypatch):
    class Hostile:
        def __eq__(self, other):
            raise ZeroDivisionError

    tree = FastRedBlackTree()
    tree.insert(8, "a")
    tree.insert(8, Hostile())  # second in the chain
    seq, dist = tree.seq_counter, tree.get_size_distribution()
    with pytest.raises(ZeroDivisionError):
        tree.delete(8, "b")
    assert tree.seq_counter == seq + 2 and tree.get_size_distribution() == dist
    assert tree.get_stats()["total_deletions"] == 0

    block = MemoryBlock(0, 64)
    refs = sys.getrefcount(block)
    monkeypatch.setattr(bi, "time", types.SimpleNamespace(perf_counter_ns=lambda: 1 / 0))
    with pytest.raises(ZeroDivisionError):  # the clock runs before the write begins
        tree.insert(64, block)
    assert tree.seq_counter == seq + 2 and tree.get_size_distribution() == dist and sys.getrefcount(block) == refs
    # The clock replaced on the time module itself is called too; a reading that is no uint64 fails.
    monkeypatch.setattr(bi, "time", time)
    calls = []
    monkeypatch.setattr(time, "perf_counter_ns", lambda: calls.append("clock") or 2**64 - 1)
    tree.insert(32, "a")
    monkeypatch.setattr(time, "perf_counter_ns", lambda: -1)
    with pytest.raises(OverflowError):
        tree.insert(64, block)
    monkeypatch.undo()
    tree.insert(32, "b")
    assert calls == ["clock"] and tree.find_all_exact(32) == ["a", "b"] and sys.getrefcount(block) == refs


def test_allocation_failure_changes_nothing(monkeypatch):
    testcapi = pytest.importorskip("_testcapi")
    monkeypatch.setattr(bi, "ATOMIC_AVAILABLE", False)  # no counter calls before the record is allocated
    block = MemoryBlock(0, 64)
    refs = sys.getrefcount(block)
    tree = FastRedBlackTree()
    for stored in range(33):  # records come in chunks: an empty tree and a full first chunk need memory
        seq, dist = tree.seq_counter, tree.get_size_distribution()
        try:
            testcapi.set_nomemory(0, 1)  # the first allocation: a new chunk of records
            outcome = tree.insert(64, block)
        except MemoryError as exc:
            outcome = str(exc)
        finally:
            testcapi.remove_mem_hooks()
        if stored in (0, 32):
            assert outcome == "Failed to allocate RB node"
            assert tree.seq_counter == seq and tree.get_size_distribution() == dist and len(tree) == stored
        else:
            assert outcome is True and tree.delete(64, block)
        tree.insert(stored, block)
    del tree
    assert sys.getrefcount(block) == refs


def test_an_emptied_tree_returns_its_records_memory():
    tracemalloc.start()
    try:
        tree = FastRedBlackTree(sample_rate=0)
        base = tracemalloc.get_traced_memory()[0]
        for size in range(20_000):
            tree.insert(size, None)
        grown = tracemalloc.get_traced_memory()[0]
        while tree.remove_ge(0) != (None, None):
            pass
        assert grown - base >= 20_000 * 64 and tracemalloc.get_traced_memory()[0] - base < 4096
    finally:
        tracemalloc.stop()


def finishes(body, timeout=10):
    """Runs body() in a thread: True when it returned in time (a hang fails instead of stalling the run)."""
    errors = []

    def run():
        try:
            body()
        except BaseException as exc:  # re-raised in the caller
            errors.append(exc)

    thread = threading.Thread(target=run, daemon=True)
    thread.start()
    thread.join(timeout)
    if errors:
        raise errors[0]
    return not thread.is_alive()


def test_equality_runs_outside_the_write():
    # delete() compares outside the write lock and removes the entry only if
    # the chain still starts with the objects it compared.
    assert finishes(equality_outside_the_write), "delete() hung on its own write lock"


def equality_outside_the_write():
    tree = FastRedBlackTree()
    tree.insert(8, "eight")
    seen = []

    class Probe:
        def __eq__(self, other):
            seen.append((tree.seq_counter % 2, tree.find_best_fit(1), tree.find_all_exact(8)))
            if len(seen) == 1:
                tree.insert(8, "late")  # arrives after the chain was taken: ordered after this delete
            return other == "late"

    seq = tree.seq_counter
    assert tree.delete(8, Probe()) is False
    assert seen == [(0, "eight", ["eight"])]
    assert tree.find_all_exact(8) == ["eight", "late"] and tree.seq_counter == seq + 4

    class Eq:
        def __init__(self, name, on_eq=None):
            self.name, self.on_eq = name, on_eq

        def __eq__(self, other):  # compared with the given name, or by identity
            if not isinstance(other, str):
                return self is other
            return self.on_eq(self) if self.on_eq else self.name == other

        __hash__ = object.__hash__

    def chain_of(*blocks):
        tree.clear()
        for b in blocks[:1] + blocks[:0:-1]:  # stored in chain order
            tree.insert(8, b)
        assert all(x is y for x, y in zip(tree.find_all_exact(8), blocks, strict=True))

    def names():
        return [b.name for b in tree.find_all_exact(8)]

    # The matched block deletes the entries before it: it is still removed.
    a, b = Eq("a"), Eq("b")
    chain_of(a, b, Eq("m", lambda m: tree.delete(8, a) and tree.delete(8, b)), Eq("z"))
    assert tree.delete(8, "m") is True and names() == ["z"]
    # The matched block deletes itself: the chain is compared again and the next equal entry goes.
    chain_of(Eq("a"), Eq("m", lambda m: tree.delete(8, m) and False or True), Eq("m"), Eq("m"))
    assert tree.delete(8, "m") is True and names() == ["a", "m"]
    chain_of(Eq("m", lambda m: tree.delete(8, m) and False or True), Eq("b"))
    assert tree.delete(8, "m") is False and names() == ["b"]
    # The matched block replaces itself by an equal block that is then removed.
    chain_of(Eq("a"), Eq("m", lambda m: tree.delete(8, m) and tree.insert(8, Eq("m"))))
    assert tree.delete(8, "m") is True and names() == ["a"]
    # Duplicates: the entry holding the matched object itself is removed.
    m = Eq("m")
    chain_of(Eq("x", lambda x: tree.delete(8, m) and False), m, m)
    assert tree.delete(8, "m") is True and names() == ["x"]
    assert tree.seq_counter % 2 == 0 and len(tree) == tree.get_stats()["total_blocks"] == 1

    passes = []

    class Restless:  # the matched block replaces itself on every pass
        def __eq__(self, other):
            if isinstance(other, Restless):
                return self is other
            passes.append(self)
            tree.delete(8, self)
            tree.insert(8, Restless())
            return True

        __hash__ = object.__hash__

    tree.insert(8, Restless())
    with pytest.raises(RuntimeError, match="kept changing while they were compared"):
        tree.delete(8, "anything")
    assert len(passes) == 100  # the retry bound
    assert tree.seq_counter % 2 == 0 and len(tree) == tree.get_stats()["total_blocks"] == 2


def test_delete_holds_while_other_threads_change_the_same_size():
    # Other threads' inserts and deletes of the same size once sent delete()
    # round until it gave up, leaving a stored block behind.
    class Yielding:  # compares by identity, letting other threads run meanwhile
        def __eq__(self, other):
            time.sleep(0)
            return self is other

        __hash__ = object.__hash__

    for nthreads, per_thread, rounds in ((4, 20, 15), (2, 3, 300)):
        tree = FastRedBlackTree()
        barrier = threading.Barrier(nthreads)

        def work():
            barrier.wait()
            for _ in range(rounds):
                mine = [Yielding() for _ in range(per_thread)]
                for b in mine:
                    tree.insert(64, b)
                for b in mine:
                    assert tree.delete(64, b) is True

        threads = [threading.Thread(target=work) for _ in range(nthreads)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert len(tree) == 0 and tree.get_size_distribution() == {} and tree.seq_counter % 2 == 0
        assert tree.get_stats()["total_deletions"] == nthreads * per_thread * rounds


REENTRY = """
    import gc, signal, threading, types
    from korvane.memory import block_index as bi

    def scenario(lock_factory):
        bi.threading = types.SimpleNamespace(Lock=lock_factory)
        tree = bi.FastRedBlackTree()

        class Pooled:  # unreachable until collected; returns its memory when finalised
            def __init__(self):
                self.me = self
            def __del__(self):
                tree.insert(64, "returned")

        class Hook:
            def __eq__(self, other):
                Pooled()
                gc.collect()
                signal.raise_signal(signal.SIGUSR1)
                tree.clear()  # frees the chain delete() looks at
                return False

        signal.signal(signal.SIGUSR1, lambda *_: tree.insert(32, "from a signal"))
        for i in range(3):
            tree.insert(8, Hook())
        assert tree.delete(8, "x") is False
        assert tree.get_size_distribution() == {} and tree.seq_counter % 2 == 0
        tree.insert(8, "y")
        assert tree.remove_ge(1) == (8, "y")
        print("ok")

    scenario(threading.{lock})
"""


@pytest.mark.parametrize("lock", ["Lock", "RLock"])
def test_finalisers_signals_and_reentrant_locks_inside_delete(python_subprocess, lock):
    # Once: a collection, a signal handler and clear() from inside the blocks'
    # __eq__ hung on the write lock or, with a re-entrant lock, freed the
    # chain that delete() was walking.
    result = python_subprocess(REENTRY.replace("{lock}", lock), timeout=30)
    assert (result.returncode, result.stdout, result.stderr) == (0, "ok\n", "")


BYTES_WARNINGS = """
    import threading, types, warnings
    from korvane.memory import block_index as bi

    class Watched:
        # A re-entrant lock that counts how deep this thread holds it.
        def __init__(self):
            self.lock, self.depth = threading.RLock(), 0
        def __enter__(self):
            self.lock.acquire()
            self.depth += 1
        def __exit__(self, *exc):
            self.depth -= 1
            self.lock.release()

    locks = []
    bi.threading = types.SimpleNamespace(Lock=lambda: locks.append(Watched()) or locks[-1])
    tree = bi.FastRedBlackTree()
    for block in (b"a", "b", b"c"):
        tree.insert(8, block)
    seen = []

    def hook(message, category, *args, **kwargs):
        seen.append((category.__name__, [lock.depth for lock in locks], tree.seq_counter % 2))
        tree.insert(16, "from the hook")
        tree.find_all_exact(8)

    warnings.showwarning = hook
    warnings.simplefilter("always", BytesWarning)
    assert tree.delete(8, "a") is False  # bytes against str: a warning per bytes block
    assert tree.delete(8, b"c") is True  # str against bytes warns too
    assert seen and set(map(str, seen)) == {"('BytesWarning', [0, 0], 0)"}, seen
    assert tree.find_all_exact(8) == [b"a", "b"] and len(tree.find_all_exact(16)) == len(seen)
    warnings.simplefilter("error", BytesWarning)
    before = tree.get_stats(), tree.get_size_distribution()
    try:
        tree.delete(8, "x")
    except BytesWarning:
        pass
    else:
        raise AssertionError("the warning did not propagate")
    assert (tree.get_stats(), tree.get_size_distribution()) == before and tree.seq_counter % 2 == 0
    print("ok")
"""


def test_bytes_blocks_warn_outside_the_lock(python_subprocess):
    # Under -b, comparing a bytes block with a str warns: the warning machinery runs Python code (here a
    # showwarning hook that writes to the tree), so such blocks are compared outside the write lock, and a
    # warning turned into an error propagates with the tree unchanged.
    result = python_subprocess(BYTES_WARNINGS, options=("-b",), timeout=60)
    assert (result.returncode, result.stdout, result.stderr) == (0, "ok\n", "")


def test_reference_counts_across_store_and_remove():
    block = MemoryBlock(0, 64)
    base = sys.getrefcount(block)
    tree = FastRedBlackTree()
    for size in (64, 64, 32, 128):
        tree.insert(size, block)
    assert sys.getrefcount(block) == base + 4
    found = tree.find_best_fit(1), tree.find_all_exact(64)
    assert sys.getrefcount(block) == base + 7
    del found
    assert tree.delete(64, block) and sys.getrefcount(block) == base + 3
    result = tree.remove_ge(33)
    assert sys.getrefcount(block) == base + 3
    del result
    assert sys.getrefcount(block) == base + 2
    tree.clear()
    assert sys.getrefcount(block) == base
    for size in range(100):
        tree.insert(size % 10, block)
    del tree
    assert sys.getrefcount(block) == base


class Key:
    def __init__(self, size):
        self.size = size


class Returning(Key):
    """A block whose finaliser gives a new block back to the tree; equal to any Key of its size."""

    tree = None

    def __eq__(self, other):
        return self.size == other.size

    def __del__(self):
        Returning.tree.insert(self.size + 1, "returned")
        Returning.tree.find_best_fit(0)


def test_finaliser_may_call_back_into_the_tree():
    tree = Returning.tree = FastRedBlackTree()

    def scenario():
        tree.insert(1, Returning(1))  # only entry of its size
        tree.insert(5, "keep")
        tree.insert(5, Returning(5))  # chain entry
        tree.insert(9, Returning(9))
        tree.insert(9, "second")  # moves into the tree node
        for size in (1, 5, 9):
            assert tree.delete(size, Key(size))
        assert tree.get_size_distribution() == {2: 1, 5: 1, 6: 1, 9: 1, 10: 1}
        for size in (20, 30, 40):
            tree.insert(size, Returning(size))
        tree.clear()
        assert sorted(tree.get_size_distribution()) == [21, 31, 41]

    thread = threading.Thread(target=scenario, daemon=True)
    thread.start()
    thread.join(10)
    assert not thread.is_alive(), "deadlock"
    Returning.tree = None


def test_cycles_through_a_subclass_and_later_chain_entries_are_collected():
    class Block:
        pass

    class Tree(FastRedBlackTree):
        pass

    tree, block = Tree(), Block()
    tree.insert(1, block)
    tree.me = tree
    watch = weakref.ref(block)
    del tree, block
    gc.collect()
    assert watch() is None

    # Cycles through a later entry of a size's chain, at the root and deeper in the tree.
    for size in (8, 2, 32):
        tree = FastRedBlackTree()
        for s in (8, 2, 32, 1, 4, 16, 64):
            tree.insert(s, s)
        back = [Block() for _ in range(3)]
        for i, block in enumerate(back):
            block.tree = tree
            tree.insert(size, block)
            tree.insert(size, i)
        watches = [weakref.ref(block) for block in back]
        del tree, block, back
        gc.collect()
        assert [w() for w in watches] == [None] * 3, size


def test_subclass_overrides_are_looked_up_at_call_time():
    class Rounding(FastRedBlackTree):
        @staticmethod
        def _sanitize_size(size):
            if size == 13:
                raise ValueError("unlucky")
            return {99: None, 98: "x", 97: 2.5, 96: 2**64}.get(size, (size + 7) // 8 * 8)

        def size(self):
            return 42

    tree = Rounding()
    tree.insert(5, "five")
    assert tree.find_all_exact(8) == ["five"] and tree.find_best_fit(1) == "five"
    assert tree.get_size_distribution() == {8: 1} and len(tree) == 42 and bool(tree)
    assert tree.delete(13, "five") is False and tree.remove_ge(13) == (None, None)
    with pytest.raises(ValueError, match="unlucky"):
        tree.insert(13, "x")
    with pytest.raises(TypeError, match="^an integer is required$"):
        tree.insert(99, "x")
    with pytest.raises(TypeError, match="^Expected int, got str$"):
        tree.find_best_fit(98)
    with pytest.raises(OverflowError):
        tree.remove_ge(96)
    tree.insert(97, "two")
    assert tree.find_all_exact(97) == ["two"] and tree.get_size_distribution() == {8: 1, 2: 1}
    assert repr(tree) == "FastRedBlackTree(blocks=2, native=True)"
    tree.size = lambda: 0
    assert len(tree) == 0 and not tree
    tree.size = lambda: -1
    with pytest.raises(ValueError, match=r"^__len__\(\) should return >= 0$"):
        len(tree)
    tree.size = lambda: 2**63
    with pytest.raises(OverflowError, match=r"^cannot fit 'int' into an index-sized integer$"):
        len(tree)


@pytest.mark.parametrize("via", [lambda method: method, handle], ids=["direct", "handles"])
def test_threads_insert_delete_and_search_with_exact_final_state(via):
    tree = FastRedBlackTree(sample_rate=1)
    nthreads, per_thread = 4, 3000
    results = [None] * nthreads

    def work(k):
        rng = random.Random(k)
        mine, found = [], 0
        insert, delete = via(tree.insert), via(tree.delete)
        find_all_exact, find_best_fit = via(tree.find_all_exact), via(tree.find_best_fit)
        for i in range(per_thread):
            size = k * 10**6 + rng.randrange(500)
            block = (k, i)
            insert(size, block)
            mine.append((size, block))
            if i % 3 == 2:
                size, block = mine.pop(rng.randrange(len(mine)))
                assert delete(size, block)
            probe = mine[rng.randrange(len(mine))][0]
            chain = find_all_exact(probe)
            best = find_best_fit(probe)
            if chain and best is not None:  # either is empty only when every attempt met a write
                assert best == chain[0]
            found += (len(chain) > 0) + (best is not None)
        results[k] = (mine, found)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(nthreads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    expected = {}
    for mine, _ in results:
        for size, _ in mine:
            expected[size] = expected.get(size, 0) + 1
    stats = tree.get_stats()
    assert tree.get_size_distribution() == expected and len(tree) == sum(expected.values())
    assert stats["total_insertions"] == stats["sampled_operations"] == nthreads * per_thread
    assert stats["total_deletions"] == nthreads * per_thread // 3
    assert stats["total_searches"] == sum(found for _, found in results)
    assert tree.seq_counter == 2 * nthreads * (per_thread + per_thread // 3)

    taken = [[] for _ in range(nthreads)]

    def drain(k):
        remove_ge = via(tree.remove_ge)
        while (got := remove_ge(0)) != (None, None):
            taken[k].append(got[1])

    threads = [threading.Thread(target=drain, args=(k,)) for k in range(nthreads)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    everything = [b for chunk in taken for b in chunk]
    assert len(everything) == len(set(everything)) == sum(expected.values()) and not tree


def test_module_attributes_and_method_metadata():
    public = [k for k in vars(bi) if not k.startswith("__")]
    assert public == ["threading", "time", "math", "List", "Optional", "Tuple", "Dict", "Any", "MemoryBlock",
                      "AtomicCounter", "ATOMIC_AVAILABLE", "FastRedBlackTree"]
    assert bi.ATOMIC_AVAILABLE is True and not hasattr(bi, "logger")
    assert FastRedBlackTree.insert.__annotations__ == {"size": "int", "block": "MemoryBlock", "return": "bool"}
    assert FastRedBlackTree.remove_ge.__annotations__["return"] == "Tuple[Optional[int], Optional[MemoryBlock]]"
    assert "Odd seq_counter = write in progress (retry)" in FastRedBlackTree.find_best_fit.__doc__


def test_import_without_the_lockfree_core_or_memory_block(python_subprocess):
    result = python_subprocess(
        """
        import logging, sys
        records = []
        logging.getLogger().addHandler(type("H", (logging.Handler,), {"emit": lambda s, r: records.append(r)})())
        logging.getLogger().setLevel(logging.DEBUG)
        sys.modules["korvane.memory.lockfree_core"] = None
        from korvane.memory import block_index as bi
        print([k for k in vars(bi) if not k.startswith("__")][-4:], bi.ATOMIC_AVAILABLE, bi.AtomicCounter)
        tree = bi.FastRedBlackTree(sample_rate=1)
        for i in range(10):
            tree.insert(i, i)
        print(tree.get_stats()["sampled_operations"], len(records))
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "['MemoryBlock', 'ATOMIC_AVAILABLE', 'AtomicCounter', 'FastRedBlackTree'] False None", "0 0"]
    result = python_subprocess(
        """
        import sys
        sys.modules["korvane.memory.memory_block"] = None
        try:
            import korvane.memory.block_index
        except ImportError as exc:
            print("ImportError", exc.name)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["ImportError", "korvane.memory.memory_block"]


def test_import_with_an_unusual_clock(python_subprocess):
    # `time` in sys.modules need not be a module (the import once crashed). A
    # clock already replaced on the module is always called by name, and a
    # failing lookup of it fails the import. No dict watcher is taken.
    code = """
        import _testcapi, sys, time, types
        import korvane.memory.lockfree_core
        real = time.perf_counter_ns
        if MODE == "raising":
            del time.perf_counter_ns
            time.__getattr__ = lambda name: 1 / 0
            try:
                import korvane.memory.block_index
            except ZeroDivisionError:
                sys.exit(0)
        calls = []
        fake = types.SimpleNamespace(perf_counter_ns=lambda: calls.append(1) or 5, sleep=time.sleep)
        sys.modules["time"] = fake if MODE == "fake" else time
        if MODE == "patched":
            time.perf_counter_ns = fake.perf_counter_ns
        watcher = _testcapi.add_dict_watcher(0)
        from korvane.memory import block_index as bi
        sys.modules["time"] = time
        tree = bi.FastRedBlackTree()
        for i in range(3):
            tree.insert(i, i)
        time.perf_counter_ns = real
        tree.insert(8, 8)
        print(len(calls), _testcapi.add_dict_watcher(0) - watcher)
    """
    for mode, expected in (("fake", ["4", "1"]), ("patched", ["3", "1"]), ("plain", ["0", "1"]), ("raising", [])):
        result = python_subprocess(code.replace("MODE", repr(mode)))
        assert (result.returncode, result.stderr) == (0, "")
        assert result.stdout.split() == expected, mode


class Clock:
    """A stand-in for time.perf_counter_ns that counts the calls of the thread that made it."""

    def __init__(self):
        self.calls = 0
        self.thread = threading.get_ident()

    def __call__(self):
        if threading.get_ident() == self.thread:  # other threads' calls never write the count
            self.calls += 1
        return 5


def test_each_insert_reads_the_clock_that_python_would_find(monkeypatch):
    """The timestamp is what `time.perf_counter_ns()` gives at that call, however the name was rebound."""
    import builtins

    tree = FastRedBlackTree()
    clock = Clock()
    real_class = type(time)

    def inserts_call(expected_calls):
        before = clock.calls
        assert tree.insert(1, "b") is True
        return clock.calls - before == expected_calls

    class PropertyModule(types.ModuleType):
        perf_counter_ns = property(lambda self: clock)

    stand_in = types.SimpleNamespace(perf_counter_ns=clock)
    cases = [  # (how `time` is rebound, calls of the stand-in per insert)
        (lambda: monkeypatch.setattr(bi, "time", stand_in), 1),
        (lambda: monkeypatch.setattr(time, "perf_counter_ns", clock), 1),
        (lambda: monkeypatch.setattr(bi, "time", types.ModuleType("time")) or setattr(bi.time, "perf_counter_ns", clock), 1),
        (lambda: monkeypatch.setattr(time, "__class__", PropertyModule), 1),
        (lambda: monkeypatch.delattr(bi, "time") or monkeypatch.setattr(builtins, "time", stand_in, raising=False), 1),
        (lambda: monkeypatch.delattr(bi, "time") or monkeypatch.setattr(builtins, "time", time, raising=False), 0),
    ]
    namespace = vars(bi)
    saved = dict(namespace)  # put back in binding order, which the module's own tests check
    try:
        for i, (rebind, calls) in enumerate(cases):
            assert inserts_call(0)
            rebind()
            assert inserts_call(calls), i
            monkeypatch.undo()
            time.__class__ = real_class
        assert inserts_call(0)
        # Neither a global nor a builtin: NameError, and nothing stored.
        del namespace["time"]
        count = tree.size()
        with pytest.raises(NameError, match="^name 'time' is not defined$"):
            tree.insert(2, "b")
        assert tree.size() == count and tree.find_all_exact(2) == []
    finally:
        monkeypatch.undo()
        time.__class__ = real_class
        namespace.clear()
        namespace.update(saved)


def test_a_clock_rebound_while_other_threads_insert_is_seen_at_once(monkeypatch):
    # Another thread's inserts may check the clock at the very moment it is
    # rebound; the insert that follows the rebinding must still call it.
    tree = FastRedBlackTree()
    stop = threading.Event()

    def hammer():
        while not stop.is_set():
            tree.insert(3, None)
            tree.remove_ge(3)

    threads = [threading.Thread(target=hammer) for _ in range(2)]
    for t in threads:
        t.start()
    try:
        for _ in range(300):
            clock = Clock()
            bi.time = types.SimpleNamespace(perf_counter_ns=clock)
            tree.insert(9, None)
            assert clock.calls == 1
            bi.time = time
            tree.insert(9, None)
            assert clock.calls == 1
    finally:
        bi.time = time
        stop.set()
        for t in threads:
            t.join()


def test_memory_block():
    block = MemoryBlock(4096, 3000)
    assert (block.offset, block.size, block.end) == (4096, 3000, 7096)
    assert repr(block) == "MemoryBlock(offset=4096, size=3000)"
    assert block == MemoryBlock(4096, 3000) and hash(block) == hash(MemoryBlock(4096, 3000))
    assert block != MemoryBlock(4096, 3001) and block != (4096, 3000)
    assert pickle.loads(pickle.dumps(block)) == block
    assert block.split(1000) == (MemoryBlock(4096, 1000), MemoryBlock(5096, 2000))
    assert block.split(3000) == (block, None)
    with pytest.raises(ValueError, match="^cannot split 3001 bytes off a block of 3000$"):
        block.split(3001)
    with pytest.raises(AttributeError):
        block.size = 1
    for args, exc, message in (((-1, 5), ValueError, "offset must be >= 0, got -1"),
                               ((0, 1.5), TypeError, "size must be an int, not float"),
                               ((True, 5), TypeError, "offset must be an int, not bool")):
        with pytest.raises(exc) as err:
            MemoryBlock(*args)
        assert str(err.value) == message
