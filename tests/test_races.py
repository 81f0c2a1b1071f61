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


class Parked:
    """`call` run in a thread of its own that the probe parks at `point`; release() lets it finish."""

    def __init__(self, module, point, call):
        self.probes, self.point, self.result = probes_of(module), point, None
        ready = threading.Event()

        def run():
            self.probes.park(point, threading.get_ident())
            ready.set()
            self.result = call()

        self.thread = threading.Thread(target=run)
        self.thread.start()
        ready.wait()
        assert self.probes.wait(point, 10.0), f"the thread never reached {point}"

    def release(self):
        self.probes.release(self.point)
        self.thread.join()
        return self.result


def started(call):
    """`call` in a thread of its own, already started; join() returns its result."""
    result = []
    thread = threading.Thread(target=lambda: result.append(call()))
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
