"""Races that the free-threaded design exists to survive, made to happen on purpose.

The probes park one chosen thread at a named point of the native code (a reader
inside its read section, a writer with the sequence counter odd, a removal
between its unlink and the reclamation of its record), so that each test can
show what the other threads may and may not do meanwhile. Forks run on every
build: a child forked while another thread holds a tree's lock must get trees
that work.
"""

import contextlib
import gc
import os
import sys
import sysconfig
import threading
import time
import types
import warnings
import weakref

import pytest

from korvane.memory import block_index
from korvane.memory.block_index import FastRedBlackTree

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))
needs_probes = pytest.mark.skipif(not FREE_THREADED, reason="probes exist on the free-threaded build only")
LOCK_TYPE = type(threading.Lock())


def probes_of(module):
    return sys.modules[module.__name__ + "._probes"]


class Block:
    """A block whose release is seen through a weak reference."""

    def __init__(self, name):
        self.name = name

    def __repr__(self):
        return f"Block({self.name})"


PARKED = []


@pytest.fixture(autouse=True)
def release_parked_threads():
    """A failed test still lets its parked threads go, so that they finish (and the run ends)."""
    yield
    while PARKED:
        parked = PARKED.pop()
        parked.probes.release(parked.point)
        parked.thread.join(10)


class Parked:
    """`call` run in a thread of its own that the probe parks at `point`; release() lets it finish."""

    def __init__(self, module, point, call, after=0):
        self.probes, self.point, self.result = probes_of(module), point, None
        ready = threading.Event()

        def run():
            self.probes.park(point, threading.get_ident(), after)
            ready.set()
            self.result = call()

        self.thread = threading.Thread(target=run, daemon=True)
        self.thread.start()
        PARKED.append(self)
        ready.wait()
        assert self.probes.wait(point, 10.0), f"the thread never reached {point}"

    def release(self):
        self.probes.release(self.point)
        self.thread.join()
        PARKED.remove(self)
        result, self.result = self.result, None
        return result


def started(call):
    """`call` in a thread of its own, already started; join() returns its result."""
    result = []
    thread = threading.Thread(target=lambda: result.append(call()), daemon=True)
    thread.start()
    thread.result = result
    return thread


def still_waiting(thread, seconds=0.2):
    thread.join(seconds)
    return thread.is_alive()


# --- forks -------------------------------------------------------------------------------------------------

def fork_and_use(tree):
    """Forks; the child uses `tree` and a new tree and exits 0 when every result is right. The parent
    gives it 20 s and returns the child's exit status (None when it hung)."""
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", DeprecationWarning)  # fork() with other threads running
        pid = os.fork()
    if pid == 0:
        code = 1
        try:
            for t in (tree, FastRedBlackTree()):
                t.clear()
                for size in (8, 8, 16):
                    t.insert(size, size)
                ok = (t.find_best_fit(9) == 16 and t.find_all_exact(8) == [8, 8] and t.delete(8, 8)
                      and t.remove_ge(1) == (8, 8) and t.get_stats()["node_count"] == 1
                      and t.get_size_distribution() == {16: 1})
                t.reset_circuit_breaker()
                if not ok:
                    break
            else:
                code = 0
        finally:
            os._exit(code)
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.01)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    return None


def tree_with(*sizes):
    tree = FastRedBlackTree()
    for size in sizes:
        tree.insert(size, Block(size))
    return tree


@pytest.mark.parametrize("which", [0, 1], ids=["write_lock", "stats_lock"])
def test_a_child_forked_while_another_thread_holds_a_tree_lock_gets_a_working_tree(which):
    tree = tree_with(8, 16)
    lock = [o for o in gc.get_referents(tree) if type(o) is LOCK_TYPE][which]
    taken, done = threading.Event(), threading.Event()

    def hold():
        with lock:
            taken.set()
            done.wait()

    holder = threading.Thread(target=hold)
    holder.start()
    taken.wait()
    try:
        assert fork_and_use(tree) == 0
    finally:
        done.set()
        holder.join()
    assert tree.get_size_distribution() == {8: 1, 16: 1}


@needs_probes
def test_a_child_forked_while_a_writer_waits_and_get_stats_waits_behind_it_gets_a_working_tree():
    # The writer is parked with seq_counter odd and write_lock held; get_stats holds stats_lock while
    # it waits for write_lock. Neither thread exists in the child.
    tree = tree_with(8, 16)
    writer = Parked(block_index, "writing", lambda: tree.insert(4, Block(4)))
    reader = started(tree.get_stats)
    assert still_waiting(reader) and tree.seq_counter % 2 == 1
    assert fork_and_use(tree) == 0
    assert writer.release() is True
    reader.join()
    assert reader.result[0]["node_count"] == 3 and tree.seq_counter % 2 == 0


@needs_probes
def test_a_child_forked_while_a_removal_holds_the_pool_gets_a_working_tree():
    tree = tree_with(8, 16)
    remover = Parked(block_index, "reclaiming", lambda: tree.remove_ge(1))
    assert fork_and_use(tree) == 0
    assert remover.release()[0] == 8 and tree.get_size_distribution() == {16: 1}


@needs_probes
def test_a_child_forked_while_a_reader_is_inside_its_section_does_not_wait_for_it():
    # A removal in the child waits for the readers inside a section: the parent's reader is not one.
    tree = tree_with(8, 16)
    reader = Parked(block_index, "section_end", lambda: tree.find_best_fit(9))
    assert fork_and_use(tree) == 0
    assert reader.release().name == 16


# --- grace periods -----------------------------------------------------------------------------------------

def referent(obj, kind, index=0):
    return [o for o in gc.get_referents(obj) if type(o) is kind][index]


def lockfree():
    from korvane.memory import lockfree_core
    return lockfree_core


def stats_with_counter():
    stats = lockfree().LockFreeStatistics()
    return stats, stats.total_allocations


def set_total(stats):
    stats.total_allocations = lockfree().AtomicCounter(0)


def allocator_with_list():
    from korvane.memory.slab_engine import FastBucketAllocator
    allocator = FastBucketAllocator()
    allocator.add_to_bucket(64, 64)
    return allocator, referent(referent(allocator, dict), list, 7)


def tree_and_block(size=16):
    tree = tree_with(8, 16)
    return tree, tree.find_all_exact(size)[0]


def tree_and_counter():
    tree = FastRedBlackTree()
    return tree, referent(tree, lockfree().AtomicCounter)


def slab_engine():
    from korvane.memory import slab_engine as module
    return module


# (name, module, the object and what a writer releases from it, the reader parked inside its section, the
# point it parks at, the writer, how many references the victim loses once both are done).
GRACE = [
    ("remove_ge after find_best_fit", lambda: block_index, tree_and_block, lambda t: t.find_best_fit(9), "captured",
     lambda t: t.remove_ge(9) and None, 1),
    ("delete after find_all_exact", lambda: block_index, tree_and_block, lambda t: t.find_all_exact(16), "captured",
     lambda t: t.delete(16, t.find_all_exact(16)[0]), 1),
    ("clear after find_best_fit", lambda: block_index, tree_and_block, lambda t: t.find_best_fit(9), "captured",
     lambda t: t.clear(), 1),
    ("clear after insert took its counter", lambda: block_index, tree_and_counter, lambda t: t.insert(1, 1),
     "section_end", lambda t: t.clear(), 2),
    ("counter set after record_allocation", lockfree, stats_with_counter, lambda s: s.record_allocation(8),
     "section_end", set_total, 1),
    ("counter set after py_record_allocation", lockfree, stats_with_counter,
     lambda s: s.py_record_allocation(8, True), "section_end", set_total, 1),
    ("counter set after record_deallocation", lockfree, stats_with_counter, lambda s: s.record_deallocation(8),
     "section_end", set_total, 1),
    ("counter set after get_snapshot", lockfree, stats_with_counter, lambda s: s.get_snapshot(), "section_end",
     set_total, 1),
    ("counter set after _update_peaks", lockfree, stats_with_counter, lambda s: s._update_peaks(1, 2),
     "section_end", set_total, 1),
    ("counter set after reset", lockfree, stats_with_counter, lambda s: s.reset(), "section_end", set_total, 1),
    ("counter set after repr", lockfree, stats_with_counter, repr, "section_end", set_total, 1),
    ("counter set after the getter", lockfree, stats_with_counter, lambda s: s.total_allocations, "section_end",
     set_total, 2),
    ("buckets renewed after add_to_bucket", slab_engine, allocator_with_list, lambda a: a.add_to_bucket(72, 72),
     "section_end", lambda a: a._init_buckets(), 2),
    ("buckets renewed after remove_from_bucket", slab_engine, allocator_with_list,
     lambda a: a.remove_from_bucket(64), "section_end", lambda a: a._init_buckets(), 2),
    ("buckets renewed after find_best_fit_bucket", slab_engine, allocator_with_list,
     lambda a: a.find_best_fit_bucket(64, 8), "section_end", lambda a: a._init_buckets(), 2),
    ("buckets renewed after repr", slab_engine, allocator_with_list, repr, "section_end",
     lambda a: a._init_buckets(), 2),
]


@needs_probes
@pytest.mark.parametrize("module, make, read, point, write, lost", [row[1:] for row in GRACE],
                         ids=[row[0] for row in GRACE])
def test_a_writer_releases_nothing_a_reader_inside_its_section_may_hold(module, make, read, point, write, lost):
    obj, victim = make()
    reader = Parked(module(), point, lambda: read(obj) and None)
    refs = sys.getrefcount(victim)
    writer = started(lambda: write(obj))
    assert still_waiting(writer), "the writer did not wait for the reader"
    assert sys.getrefcount(victim) >= refs, "released while a reader was inside its section"
    reader.release()
    writer.join()
    del reader
    gc.collect()
    assert sys.getrefcount(victim) == refs - lost


@needs_probes
@pytest.mark.parametrize("read", [lambda t: t.find_best_fit(9), lambda t: t.find_all_exact(8)],
                         ids=["find_best_fit", "find_all_exact"])
def test_a_capture_the_sequence_counter_rejects_takes_no_reference(read):
    tree = tree_with(8, 8, 16)
    blocks = tree.find_all_exact(8) + tree.find_all_exact(16)
    refs = [sys.getrefcount(b) for b in blocks]
    reader = Parked(block_index, "captured", lambda: read(tree))
    tree.insert(100, None)  # a write meanwhile: the capture is rejected and the search runs again
    result = reader.release()
    assert result in (blocks[2], blocks[:2])
    del result, reader
    assert [sys.getrefcount(b) for b in blocks] == refs


@needs_probes
def test_a_removal_that_outlives_a_clear_keeps_its_record_out_of_the_new_pool():
    # The record belongs to the pool that clear() took out and freed: returning it to the tree's new
    # pool would hand out freed memory to the next insert.
    probes = probes_of(block_index)
    tree = tree_with(8, 16)
    remover = Parked(block_index, "synchronize", lambda: tree.remove_ge(9))
    tree.clear()
    tree.insert(4, None)
    assert remover.release()[0] == 16
    assert probes.pool_free(tree) == 0 and tree.get_size_distribution() == {4: 1}
    tree.remove_ge(1)
    assert probes.pool_free(tree) == 1


@needs_probes
def test_a_reader_that_meets_a_write_in_progress_does_not_use_what_it_reads(monkeypatch):
    # With the writer parked while seq_counter is odd, every attempt of a reader sleeps instead of
    # searching: after 100 the reader gives up, with no search counted.
    tree = tree_with(8, 16)
    searches = tree.get_stats()["total_searches"]
    sleeps = []
    monkeypatch.setattr(block_index, "time", types.SimpleNamespace(
        sleep=lambda s: sleeps.append(s), perf_counter_ns=time.perf_counter_ns))
    writer = Parked(block_index, "writing", lambda: tree.insert(12, Block(12)))
    assert tree.find_best_fit(9) is None and tree.find_all_exact(16) == []
    assert sleeps == [0.0001] * 200
    writer.release()
    assert tree.get_stats()["total_searches"] == searches and tree.find_best_fit(9).name == 12


def counter_reads(probes, call):
    """How many counter fields `call` reads natively, in this thread."""
    probes.park("counter_read", threading.get_ident(), 10**6)
    call()
    count = probes.arrivals("counter_read")
    probes.release("counter_read")
    return count


STATISTICS_CALLS = [
    lambda s: s.record_allocation(8, False, 4, 10),
    lambda s: s.record_deallocation(8, 10),
    lambda s: s.py_record_allocation(8, True, 4, 10),
    lambda s: s.py_record_deallocation(8, 10),
    lambda s: s._update_peaks(1, 2),
    lambda s: s.get_snapshot(),
    lambda s: s.reset(),
    repr,
]


class PythonCounter:
    """A public counter that is not an AtomicCounter: the recordings then take their slower paths."""

    def __init__(self):
        self.value = 0

    def increment(self, delta=1):
        self.value += delta
        return self.value

    def decrement(self, delta=1):
        return self.increment(-delta)

    def load(self):
        return self.value

    def store(self, value):
        self.value = value

    def compare_and_swap(self, expected, new):
        ok = self.value == expected
        if ok:
            self.value = new
        return ok


def statistics(mixed):
    stats = lockfree().LockFreeStatistics()
    if mixed:
        stats.fallback_allocations = PythonCounter()
        stats.total_deallocation_time_ns = PythonCounter()
    return stats


@needs_probes
@pytest.mark.parametrize("mixed", [False, True], ids=["atomic counters", "one a Python object"])
@pytest.mark.parametrize("call", STATISTICS_CALLS, ids=["record_allocation", "record_deallocation",
                                                      "py_record_allocation", "py_record_deallocation",
                                                      "_update_peaks", "get_snapshot", "reset", "repr"])
def test_every_counter_a_recording_reads_natively_is_read_inside_a_section(call, mixed):
    # Parked just after it read a counter field, at each such read in turn, the recording holds the
    # counter without a reference: replacing any counter must wait until it has finished with it.
    lockfree_core = lockfree()
    reads = counter_reads(probes_of(lockfree_core), lambda: call(statistics(mixed)))
    assert reads > 0
    for k in range(reads):
        stats = statistics(mixed)
        reader = Parked(lockfree_core, "counter_read", lambda: call(stats) and None, after=k)
        writer = started(lambda: set_total(stats))
        assert still_waiting(writer, 0.05), f"read {k + 1} of {reads} is outside a read section"
        reader.release()
        writer.join()
