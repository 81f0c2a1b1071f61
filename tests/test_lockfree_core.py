import gc
import pickle
import sys
import threading
import types
import weakref

import pytest

from conftest import tracked_as_inserted
from korvane.memory import lockfree_core as lc
from korvane.threads import handle
from korvane.memory.lockfree_core import (
    AtomicCounter,
    AtomicCounterWrapper,
    AtomicPointer,
    LockFreeStack,
    LockFreeStatistics,
    PerformanceTimer,
)

INT64_MAX = 2**63 - 1
INT64_MIN = -(2**63)


class IntLike:
    def __init__(self, value):
        self.value = value

    def __int__(self):
        return self.value


class Boom(Exception):
    pass


class BadInt:
    def __int__(self):
        raise Boom


# --- module ----------------------------------------------------------------


def test_module_attributes_in_binding_order():
    public = [k for k in vars(lc) if not k.startswith("__")]
    assert public == [
        "AtomicCounter", "AtomicPointer", "LockFreeStack", "LockFreeStatistics", "PerformanceTimer",
        "threading", "time", "Optional", "TypeVar", "Generic", "AtomicCounterWrapper", "logging",
        "logger", "CYTHON_ATOMICS_AVAILABLE",
    ]
    assert lc.CYTHON_ATOMICS_AVAILABLE is True
    assert lc.logger.name == "korvane.memory.lockfree_core"


def test_method_objects_carry_names_docs_and_annotations():
    load = AtomicCounter.load
    assert (load.__name__, load.__qualname__, load.__module__) == (
        "load", "AtomicCounter.load", "korvane.memory.lockfree_core")
    assert load.__doc__ == "Atomically load value."
    assert load.__annotations__ == {"return": "int"}
    assert AtomicCounter.compare_and_swap.__annotations__ == {"return": "bool"}
    for alias in ("load", "store", "increment", "decrement", "compare_and_swap", "fetch_and_add"):
        assert getattr(AtomicCounter, "py_" + alias) is getattr(AtomicCounter, alias)
    assert AtomicPointer.load.__annotations__ == {"return": "Optional[object]"}
    assert LockFreeStack.pop.__annotations__ == {"return": "Optional[object]"}
    assert LockFreeStatistics.record_allocation.__annotations__ == {
        "size": "int", "is_bucketed": "bool", "padding": "int", "time_ns": "int"}
    assert AtomicCounterWrapper.compare_and_swap.__annotations__ == {
        "expected": "int", "new_value": "int", "return": "bool"}
    assert "increment(): <30ns (20\u00d7 faster than Python locks)" in AtomicCounter.__doc__
    assert AtomicPointer.__doc__.startswith("Thread-safe atomic pointer with version tracking.")
    assert LockFreeStack.__doc__.startswith("Lock-based stack with lock-free size counter.")
    assert PerformanceTimer.__doc__ == "High-resolution timer for performance measurement."
    assert AtomicCounterWrapper.__doc__ == "Python wrapper for Cython AtomicCounter (backward compatibility)."

    # Their repr and writable attributes, as a Python function's.
    f = PerformanceTimer.elapsed_ms
    assert repr(f) == f"<function PerformanceTimer.elapsed_ms at {id(f):#x}>"
    saved = {name: getattr(f, name) for name in ("__name__", "__qualname__", "__module__", "__doc__", "__annotations__")}
    try:
        f.__name__, f.__qualname__, f.__module__, f.__doc__ = "ms", "Timer.ms", None, "Milliseconds."
        assert (f.__name__, f.__qualname__, f.__module__, f.__doc__) == ("ms", "Timer.ms", None, "Milliseconds.")
        assert repr(f).startswith("<function Timer.ms at ")
        del f.__module__, f.__doc__
        assert (f.__module__, f.__doc__) == (None, None)
        for name in ("__name__", "__qualname__"):
            for change in (lambda: setattr(f, name, b"x"), lambda: delattr(f, name)):
                with pytest.raises(TypeError) as info:
                    change()
                assert str(info.value) == f"{name} must be set to a string object"
        with pytest.raises(TypeError) as info:
            f.__annotations__ = [("return", "float")]
        assert str(info.value) == "__annotations__ must be set to a dict object"
        f.__annotations__ = None
        assert f.__annotations__ == {} and f.__annotations__ is f.__annotations__
        del f.__annotations__
        f.__annotations__ = {"return": "int"}
        assert f.__annotations__ == {"return": "int"} and f.__name__ == "ms"
        # Each setter holds the new value once and lets go of the one it replaces, deleting included.
        for name, make in [("__name__", lambda: "".join(["n"] * 30)), ("__qualname__", lambda: "".join(["q"] * 30)),
                           ("__module__", object), ("__doc__", object), ("__annotations__", dict),
                           ("__dict__", dict)]:
            first, second = make(), make()
            refs = sys.getrefcount(first), sys.getrefcount(second)
            setattr(f, name, first)
            assert sys.getrefcount(first) == refs[0] + 1, name
            setattr(f, name, second)
            assert (sys.getrefcount(first), sys.getrefcount(second)) == (refs[0], refs[1] + 1), name
            assert any(r is second for r in gc.get_referents(f)), name  # and shows it to the collector
            if name not in ("__name__", "__qualname__", "__dict__"):
                delattr(f, name)
                assert sys.getrefcount(second) == refs[1], name
    finally:
        for name, value in saved.items():
            setattr(f, name, value)
    assert f.__annotations__ == {"return": "float"} and f.__qualname__ == "PerformanceTimer.elapsed_ms"


def test_methods_reject_a_foreign_self():
    from korvane.memory.block_index import FastRedBlackTree

    for call, message in [
        (lambda: AtomicCounter.load(LockFreeStack()), "descriptor 'load' requires a "
         "'korvane.memory.lockfree_core.AtomicCounter' object but received a 'korvane.memory.lockfree_core.LockFreeStack'"),
        (lambda: FastRedBlackTree.find_best_fit(3, 4), "descriptor 'find_best_fit' requires a "
         "'korvane.memory.block_index.FastRedBlackTree' object but received a 'int'"),
        (lambda: AtomicCounter.load(), "unbound method AtomicCounter.load() needs an argument"),
        (lambda: LockFreeStatistics.py_record_allocation(), "unbound method "
         "LockFreeStatistics.py_record_allocation() needs an argument"),
        (lambda: AtomicCounterWrapper.load(), "unbound method AtomicCounterWrapper.load() needs an argument"),
    ]:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message


@pytest.mark.parametrize("cls", [AtomicCounter, AtomicPointer, LockFreeStack, LockFreeStatistics,
                                 PerformanceTimer])
def test_instances_refuse_pickling_and_have_no_dict(cls):
    obj = cls()
    for attempt in (lambda: pickle.dumps(obj), obj.__reduce__, lambda: obj.__reduce_ex__(2),
                    lambda: obj.__setstate__({})):
        with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
            attempt()
    assert not hasattr(obj, "__dict__")

    class Sub(cls):
        pass

    assert isinstance(Sub(), cls)
    # A subclass is constructed through the tuple-and-dict protocol: keywords and long argument lists
    # reach the same parser.
    if cls in (AtomicCounter, AtomicPointer):
        assert Sub(initial_value=5).load() == 5
    with pytest.raises(TypeError) as info:
        Sub(*range(9), extra=1)
    assert str(info.value) == str(pytest.raises(TypeError, cls, *range(9), extra=1).value)


# --- argument rules (the frame's parser and conversions) --------------------


def test_argument_count_and_keyword_messages():
    c = AtomicCounter()
    cases = [
        (lambda: c.load(1), "load() takes exactly 0 positional arguments (1 given)"),
        (lambda: c.load(x=1), "load() got an unexpected keyword argument 'x'"),
        (lambda: c.fetch_and_add(), "fetch_and_add() takes exactly 1 positional argument (0 given)"),
        (lambda: c.increment(1, 2), "increment() takes at most 1 positional argument (2 given)"),
        (lambda: c.compare_and_swap(1), "compare_and_swap() takes exactly 2 positional arguments (1 given)"),
        (lambda: c.compare_and_swap(expected=1), "compare_and_swap() takes exactly 2 positional arguments (1 given)"),
        (lambda: c.compare_and_swap(1, 2, bogus=3), "compare_and_swap() got an unexpected keyword argument 'bogus'"),
        (lambda: c.compare_and_swap(1, new_value=2, bogus=3),
         "compare_and_swap() got an unexpected keyword argument 'bogus'"),
        (lambda: c.compare_and_swap(1, 2, expected=3),
         "compare_and_swap() got multiple values for argument 'expected'"),
        (lambda: AtomicCounter(1, 2), "__init__() takes at most 1 positional argument (2 given)"),
        (lambda: LockFreeStack(1), "__init__() takes exactly 0 positional arguments (1 given)"),
        (lambda: LockFreeStatistics().record_allocation(), "record_allocation() takes at least 1 positional argument (0 given)"),
        (lambda: LockFreeStatistics().py_record_allocation(1), "py_record_allocation() takes at least 2 positional arguments (1 given)"),
        (lambda: LockFreeStatistics().record_deallocation(1, 2, 3), "record_deallocation() takes at most 2 positional arguments (3 given)"),
    ]
    for call, message in cases:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
    assert c.compare_and_swap(new_value=5, expected=0) is True
    assert AtomicCounter(initial_value=7).increment(delta=3) == 10
    assert c.increment(**{"".join(["del", "ta"]): 2}) == 7  # a keyword made at run time, not interned


def test_int64_conversion_rules_and_failed_conversion_changes_nothing():
    assert AtomicCounter(2.7).load() == 2
    assert AtomicCounter(-2.7).load() == -2
    assert AtomicCounter(True).load() == 1
    assert AtomicCounter(IntLike(41)).load() == 41
    assert AtomicCounter(INT64_MIN).load() == INT64_MIN

    class MyInt(int):
        def __int__(self):
            raise AssertionError("an int subclass is taken by value")

    assert AtomicCounter(MyInt(9)).load() == 9

    c = AtomicCounter(5)
    returned = ["7"]  # what a bad __int__ returns: released with the error
    bad = [("1", TypeError, "an integer is required"), (None, TypeError, "an integer is required"),
           (2**63, OverflowError, None), (INT64_MIN - 1, OverflowError, None),
           (float("inf"), OverflowError, None), (float("nan"), ValueError, None), (BadInt(), Boom, None),
           (IntLike(returned), TypeError, "__int__ returned non-int (type list)")]
    refs = sys.getrefcount(returned)
    for value, exc, message in bad:
        for op in (c.store, c.increment, c.decrement, c.fetch_and_add, lambda v: c.compare_and_swap(5, v),
                   lambda v: c.compare_and_swap(v, 6), AtomicCounter):
            with pytest.raises(exc) as info:
                op(value)
            if message:
                assert str(info.value) == message
        assert c.load() == 5
    assert sys.getrefcount(returned) == refs


# --- AtomicCounter ------------------------------------------------------------


def test_counter_operations_and_wraparound():
    c = AtomicCounter(5)
    assert [c.increment(), c.increment(3), c.decrement(), c.fetch_and_add(2), c.load()] == [6, 9, 8, 8, 10]
    assert c.compare_and_swap(10, 20) is True and c.load() == 20
    assert c.compare_and_swap(10, 30) is False and c.load() == 20
    assert c.increment(-1) == 19 and c.decrement(-1) == 20
    assert c.store(7) is None and c.load() == 7
    assert AtomicCounter().load() == 0
    assert AtomicCounter(4).py_increment() == 5

    top = AtomicCounter(INT64_MAX)
    assert top.increment() == INT64_MIN
    assert top.decrement() == INT64_MAX
    assert top.fetch_and_add(INT64_MAX) == INT64_MAX and top.load() == -2
    bottom = AtomicCounter(INT64_MIN)
    assert bottom.decrement(1) == INT64_MAX
    assert bottom.decrement(INT64_MIN) == -1


@pytest.mark.parametrize("via", [lambda method: method, handle], ids=["direct", "handles"])
def test_counter_is_exact_under_eight_threads(via):
    c = AtomicCounter()
    barrier = threading.Barrier(8)

    def work():
        increment = via(c.increment)
        barrier.wait()
        for _ in range(100_000):
            increment()

    threads = [threading.Thread(target=work) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert c.load() == 800_000

    # compare_and_swap as a retry loop: no update is lost.
    cas = AtomicCounter()

    def cas_work():
        load, compare_and_swap = via(cas.load), via(cas.compare_and_swap)
        for _ in range(5_000):
            while True:
                seen = load()
                if compare_and_swap(seen, seen + 3):
                    break

    threads = [threading.Thread(target=cas_work) for _ in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert cas.load() == 60_000


# --- AtomicCounterWrapper -------------------------------------------------------


def test_wrapper_forwards_and_checks_int_arguments():
    w = AtomicCounterWrapper(3.5)
    assert w.load() == 3
    assert [w.increment(), w.decrement(2.9), w.fetch_and_add(10), w.compare_and_swap(12, 1), w.load()] == [
        4, 2, 2, True, 1]
    assert w.store(9) is None and w._counter.load() == 9
    with pytest.raises(TypeError) as info:
        AtomicCounterWrapper("x")
    assert str(info.value) == "Argument 'initial_value' has incorrect type (expected int, got str)"
    with pytest.raises(TypeError) as info:
        w.compare_and_swap(1, [2])
    assert str(info.value) == "Argument 'new_value' has incorrect type (expected int, got list)"
    assert w.load() == 9

    class Odd:
        def py_load(self):
            return 2.5

        def py_increment(self, delta):
            return "text"

    w._counter = Odd()
    assert w.load() == 2
    with pytest.raises(TypeError) as info:
        w.increment()
    assert str(info.value) == "Expected int, got str"
    with pytest.raises(TypeError, match="no default __reduce__"):
        pickle.dumps(AtomicCounterWrapper())

    # The repr of a wrapper without a counter: only a missing attribute reads as "none held".
    class Guarded(AtomicCounterWrapper):
        error = AttributeError

        @property
        def _counter(self):
            raise self.error("_counter")

        @_counter.setter
        def _counter(self, value):
            pass

    assert repr(Guarded()) == "AtomicCounterWrapper()"
    for error in (KeyError, RuntimeError, RecursionError):
        Guarded.error = error
        with pytest.raises(error):
            repr(Guarded())


# --- AtomicPointer --------------------------------------------------------------


def test_pointer_store_swap_identity_and_versions():
    p = AtomicPointer()
    assert p.load() is None and p.get_version() == 0
    x, y, z = object(), object(), object()
    p = AtomicPointer(x)
    assert p.load() is x and p.get_version() == 0
    p.store(y)
    assert p.load() is y and p.get_version() == 1
    assert p.compare_and_swap(y, z) is True and p.load() is z and p.get_version() == 2
    assert p.compare_and_swap(y, x) is False and p.load() is z and p.get_version() == 2
    listed = AtomicPointer([1])
    assert listed.compare_and_swap([1], None) is False
    empty = AtomicPointer()
    assert empty.compare_and_swap(None, x) is True and empty.load() is x
    empty.store(None)
    assert empty.load() is None and empty.get_version() == 2


def test_pointer_reference_counts():
    x, y = object(), object()
    base_x, base_y = sys.getrefcount(x), sys.getrefcount(y)
    p = AtomicPointer(x)
    assert sys.getrefcount(x) == base_x + 1
    assert p.compare_and_swap(x, x) is True and p.get_version() == 1
    assert sys.getrefcount(x) == base_x + 1
    assert p.compare_and_swap(y, y) is False
    assert sys.getrefcount(y) == base_y
    p.store(y)
    assert sys.getrefcount(x) == base_x and sys.getrefcount(y) == base_y + 1
    del p
    assert sys.getrefcount(y) == base_y

    class Payload:
        pass

    payload = Payload()
    alive = weakref.ref(payload)
    cell = AtomicPointer(payload)
    del payload
    assert alive() is not None
    cell.store(None)
    assert alive() is None


def test_pointer_finaliser_may_use_the_cell():
    p = AtomicPointer()
    seen = []

    class CallsBack:
        def __del__(self):
            seen.append(p.load())
            p.store("from finaliser")

    p.store(CallsBack())
    p.store("replacement")  # the old object is released after the lock is left
    assert seen == ["replacement"]
    assert p.load() == "from finaliser" and p.get_version() == 3


def test_pointer_cycle_is_collected():
    class Node:
        pass

    node = Node()
    node.cell = AtomicPointer(node)
    alive = weakref.ref(node)
    del node
    gc.collect()
    assert alive() is None


# --- LockFreeStack ----------------------------------------------------------------


def test_stack_is_lifo_and_holds_none():
    s = LockFreeStack()
    assert s.is_empty() is True and s.size() == 0 and s.pop() is None
    for i in (1, 2, 3):
        s.push(i)
    assert s.size() == 3
    assert [s.pop(), s.pop(), s.pop(), s.pop()] == [3, 2, 1, None]
    assert s.size() == 0 and s.is_empty() is True
    s.push(None)
    assert s.size() == 1 and s.is_empty() is False
    assert s.pop() is None and s.is_empty() is True


def test_stack_reference_counts_and_release_on_free():
    item = object()
    base = sys.getrefcount(item)
    s = LockFreeStack()
    s.push(item)
    s.push(item)
    assert sys.getrefcount(item) == base + 2
    assert s.pop() is item
    assert sys.getrefcount(item) == base + 1
    del s
    assert sys.getrefcount(item) == base

    released = []

    class Tracked:
        def __init__(self, name):
            self.name = name

        def __del__(self):
            released.append(self.name)

    s = LockFreeStack()
    for name in "abc":
        s.push(Tracked(name))
    del s
    assert released == ["c", "b", "a"]  # top to bottom, each once


def test_stack_cycle_through_an_item_is_collected():
    class Holder:
        pass

    holder = Holder()
    holder.stack = LockFreeStack()
    holder.stack.push(holder)
    alive = weakref.ref(holder)
    del holder
    gc.collect()
    assert alive() is None


def test_stack_eight_threads_push_then_pop_exactly():
    s = LockFreeStack()

    def push(tag):
        for i in range(10_000):
            s.push((tag, i))

    threads = [threading.Thread(target=push, args=(t,)) for t in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert s.size() == 80_000

    popped = []
    lock = threading.Lock()

    def pop():
        mine = []
        while (item := s.pop()) is not None:
            mine.append(item)
        with lock:
            popped.extend(mine)

    threads = [threading.Thread(target=pop) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert len(popped) == 80_000 and len(set(popped)) == 80_000
    assert s.size() == 0 and s.is_empty()


# --- LockFreeStatistics -------------------------------------------------------------


def test_snapshot_arithmetic_and_reset_survivors():
    s = LockFreeStatistics()
    assert s.get_snapshot() == {
        "total_allocations": 0, "total_deallocations": 0, "current_allocations": 0, "bytes_allocated": 0,
        "bytes_reserved": 0, "peak_allocations": 0, "peak_bytes_allocated": 0, "bucketed_allocations": 0,
        "fallback_allocations": 0, "bucketed_allocation_ratio": "0.0%", "alignment_padding_bytes": 0,
        "average_allocation_time_ns": 0.0, "average_deallocation_time_ns": 0.0,
        "allocation_mode": "lock-free C11 atomics",
    }
    assert list(s.get_snapshot())[9] == "bucketed_allocation_ratio"
    s.record_allocation(100)
    s.record_allocation(50, False, 8, 200)
    snap = s.get_snapshot()
    assert (snap["total_allocations"], snap["current_allocations"], snap["bytes_allocated"]) == (2, 2, 150)
    assert (snap["bucketed_allocations"], snap["fallback_allocations"], snap["alignment_padding_bytes"]) == (1, 1, 8)
    assert (snap["peak_allocations"], snap["peak_bytes_allocated"]) == (2, 150)
    assert snap["bucketed_allocation_ratio"] == "50.0%" and snap["average_allocation_time_ns"] == 100.0
    s.record_deallocation(100, 40)
    snap = s.get_snapshot()
    assert (snap["total_deallocations"], snap["current_allocations"], snap["bytes_allocated"]) == (1, 1, 50)
    assert (snap["peak_allocations"], snap["peak_bytes_allocated"]) == (2, 150)
    assert snap["average_deallocation_time_ns"] == 40.0
    s.record_allocation(1, True, 0, -5)
    s.record_allocation(1, True, -3, 0)
    assert s.alignment_padding_bytes.load() == 8 and s.total_allocation_time_ns.load() == 200

    s.reset()
    snap = s.get_snapshot()
    for key in ("total_allocations", "total_deallocations", "current_allocations", "bytes_allocated",
                "bytes_reserved", "peak_allocations", "peak_bytes_allocated"):
        assert snap[key] == 0
    assert (snap["bucketed_allocations"], snap["fallback_allocations"], snap["alignment_padding_bytes"]) == (3, 1, 8)
    assert s.total_allocation_time_ns.load() == 200 and s.total_deallocation_time_ns.load() == 40
    assert snap["bucketed_allocation_ratio"] == "0.0%" and snap["average_allocation_time_ns"] == 0.0

    ratios = LockFreeStatistics()
    for bucketed in (True, False, False):
        ratios.record_allocation(8, bucketed)
    assert ratios.get_snapshot()["bucketed_allocation_ratio"] == "33.3%"
    # Counts past 2**53 divide as Python's ints do, correctly rounded.
    total, bucketed, time_ns = 3 * 2**60 + 1, 2**60 + 7, 2**62 + 5
    for name, value in [("total_allocations", total), ("bucketed_allocations", bucketed),
                        ("total_allocation_time_ns", time_ns)]:
        getattr(ratios, name).store(value)
    snap = ratios.get_snapshot()
    assert snap["bucketed_allocation_ratio"] == f"{bucketed / total * 100.0:.1f}%"
    assert snap["average_allocation_time_ns"] == time_ns / total
    ratios.total_allocations.store(3)
    ratios.total_allocation_time_ns.store(2**54 + 3)  # as doubles, 2**54 + 4 over 3 rounds the other way
    assert ratios.get_snapshot()["average_allocation_time_ns"] == (2**54 + 3) / 3 != float(2**54 + 3) / 3


def test_peaks_and_the_native_recording_path():
    s = LockFreeStatistics()
    s._update_peaks(5, 10)
    assert (s.peak_allocations.load(), s.peak_bytes_allocated.load()) == (5, 10)
    s._update_peaks(3, 20)
    assert (s.peak_allocations.load(), s.peak_bytes_allocated.load()) == (5, 20)
    with pytest.raises(OverflowError):
        s._update_peaks(2**64, 0)
    with pytest.raises(OverflowError):  # refused before either peak moves
        s._update_peaks(7, 2**64)
    assert (s.peak_allocations.load(), s.peak_bytes_allocated.load()) == (5, 20)
    s._update_peaks(-(2**70), 0)  # below every peak: nothing to do

    class Replacing:  # a peak counter whose swap puts an AtomicCounter in the other peak's place
        def load(self):
            return 0

        def compare_and_swap(self, expected, new_value):
            s.peak_bytes_allocated = AtomicCounter(3)
            return True

    s.peak_allocations, s.peak_bytes_allocated = Replacing(), Replacing()
    with pytest.raises(OverflowError):  # the candidate is checked against the counter it then meets
        s._update_peaks(1, 2**64)
    assert s.peak_bytes_allocated.load() == 3

    p = LockFreeStatistics()
    p.py_record_allocation(64, True)
    p.py_record_allocation(32, False, 4, 9)
    p.py_record_deallocation(32, 3)
    snap = p.get_snapshot()
    assert (snap["total_allocations"], snap["current_allocations"], snap["bytes_allocated"]) == (2, 1, 64)
    assert snap["total_deallocations"] == 1
    for key in ("bucketed_allocations", "fallback_allocations", "alignment_padding_bytes", "peak_allocations",
                "peak_bytes_allocated"):
        assert snap[key] == 0
    assert snap["bucketed_allocation_ratio"] == "0.0%"


def test_statistics_argument_errors_change_nothing():
    s = LockFreeStatistics()
    for call, exc in [(lambda: s.record_allocation("1"), TypeError),
                      (lambda: s.record_allocation(1, True, "x"), TypeError),
                      (lambda: s.record_allocation(2**64), OverflowError),
                      (lambda: s.record_allocation(1, True, 0, 2**64), OverflowError),
                      (lambda: s.record_deallocation(1, [1]), TypeError),
                      (lambda: s.py_record_allocation(None, True), TypeError),
                      (lambda: s.py_record_deallocation(2**63), OverflowError)]:
        with pytest.raises(exc):
            call()
    with pytest.raises(TypeError) as info:
        s.record_allocation(b"1")
    assert str(info.value) == "Argument 'size' has incorrect type (expected int, got bytes)"
    assert s.get_snapshot() == LockFreeStatistics().get_snapshot()
    s.record_allocation(2.9, 0, 1.5)
    assert (s.bytes_allocated.load(), s.fallback_allocations.load(), s.alignment_padding_bytes.load()) == (2, 1, 1)


def test_public_counters_can_be_replaced_subclassed_and_deleted():
    calls = []

    class LoggingCounter(AtomicCounter):
        def increment(self, delta=1):
            calls.append(delta)
            return super().increment(delta)

    class PeakSpy(LockFreeStatistics):
        def _update_peaks(self, current_allocs, current_bytes):
            calls.append(("peaks", current_allocs, current_bytes))
            return super()._update_peaks(current_allocs, current_bytes)

    s = PeakSpy()
    s.bytes_allocated = LoggingCounter()
    s.record_allocation(40)
    assert calls == [40, ("peaks", 1, 40)]
    assert s.get_snapshot()["peak_bytes_allocated"] == 40

    class Plain:
        def __init__(self):
            self.value = 0

        def increment(self, delta=1):
            self.value += delta

        def load(self):
            return self.value

    s = LockFreeStatistics()
    s.total_allocations = Plain()
    s.record_allocation(8)
    s.record_allocation(8)
    assert s.get_snapshot()["bucketed_allocation_ratio"] == "100.0%"

    del s.fallback_allocations
    assert s.fallback_allocations is None
    s.record_allocation(1)  # bucketed: the deleted counter is not touched
    with pytest.raises(AttributeError):
        s.record_allocation(1, False)
    assert s.total_allocations.value == 4  # counters updated before the failure stay updated

    class Replacing:
        """A peak counter whose load() drops the statistics' only reference to it."""

        def load(self):
            s.peak_allocations = AtomicCounter(7)
            return 0

        def compare_and_swap(self, expected, new_value):
            calls.append(("swap", expected, new_value))
            return True

    s.peak_allocations = Replacing()
    s._update_peaks(5, 0)  # the swap still reaches the counter that was loaded
    assert calls[-1] == ("swap", 0, 5) and s.peak_allocations.load() == 7

    # A snapshot holding a container is the collector's to track, as a dict filled by inserts is.
    plain = LockFreeStatistics().get_snapshot()
    assert gc.is_tracked(plain) == tracked_as_inserted(plain)
    box, s = [], LockFreeStatistics()
    s.bytes_reserved = types.SimpleNamespace(load=lambda: box)
    snap = s.get_snapshot()
    assert snap["bytes_reserved"] is box and gc.is_tracked(snap)


# A plain Python rendering of the recording methods on the public counters.
def ref_update_peaks(s, current_allocs, current_bytes):
    for name, candidate in (("peak_allocations", current_allocs), ("peak_bytes_allocated", current_bytes)):
        counter = getattr(s, name)
        while True:
            peak = counter.load()
            if candidate <= peak or counter.compare_and_swap(peak, candidate):
                break


def ref_record_allocation(s, size, is_bucketed=True, padding=0, time_ns=0):
    s.total_allocations.increment()
    s.current_allocations.increment()
    s.bytes_allocated.increment(size)
    (s.bucketed_allocations if is_bucketed else s.fallback_allocations).increment()
    if padding > 0:
        s.alignment_padding_bytes.increment(padding)
    if time_ns > 0:
        s.total_allocation_time_ns.increment(time_ns)
    current = s.current_allocations.load()
    s._update_peaks(current, s.bytes_allocated.load())


def ref_record_deallocation(s, size, time_ns=0):
    s.total_deallocations.increment()
    s.current_allocations.decrement()
    s.bytes_allocated.decrement(size)
    if time_ns > 0:
        s.total_deallocation_time_ns.increment(time_ns)


def ref_py_record(s, size, up):
    (s.total_allocations if up else s.total_deallocations).increment()
    (s.current_allocations.increment if up else s.current_allocations.decrement)()
    (s.bytes_allocated.increment if up else s.bytes_allocated.decrement)(size)


def ref_reset(s):
    for name in STAT_FIELDS[:7]:
        getattr(s, name).store(0)


STAT_FIELDS = ("total_allocations", "total_deallocations", "current_allocations", "bytes_allocated",
               "bytes_reserved", "peak_allocations", "peak_bytes_allocated", "bucketed_allocations",
               "fallback_allocations", "alignment_padding_bytes", "total_allocation_time_ns",
               "total_deallocation_time_ns")

# (method, arguments, its Python rendering)
RECORDERS = [
    ("record_allocation", (40, False, 8, 30), ref_record_allocation),
    ("record_allocation", (40,), ref_record_allocation),
    ("record_allocation", (40, True, 0, -30), ref_record_allocation),
    ("record_allocation", (40, False, -8, 0), ref_record_allocation),
    ("record_deallocation", (40, 30), ref_record_deallocation),
    ("record_deallocation", (40, 0), ref_record_deallocation),
    ("record_deallocation", (40, -30), ref_record_deallocation),
    ("py_record_allocation", (40, True, 8, 30), lambda s, size, *_: ref_py_record(s, size, True)),
    ("py_record_deallocation", (40, 30), lambda s, size, *_: ref_py_record(s, size, False)),
    ("_update_peaks", (90, 900), ref_update_peaks),
    ("_update_peaks", (0, 900), ref_update_peaks),  # a candidate equal to the peak: no swap
    ("reset", (), ref_reset),
]


class Logged:
    """A public counter: an AtomicCounter whose calls are logged, and whose method `fails` raises
    (on its first call) instead of running."""

    def __init__(self, name, value, log, fails=None):
        self.name, self.counter, self.log, self.fails = name, AtomicCounter(value), log, fails

    def __getattr__(self, op):
        method = getattr(self.counter, op)

        def call(*args):
            self.log.append((self.name, op, args))
            if op == self.fails:
                self.fails = None
                raise Boom(self.name)
            return method(*args)
        return call


def statistics_with(target, log, failing=None, logged=True):
    """Every public counter at a value of its own (the peaks at 0, below any candidate); each a
    Logged counter when `logged`, else an AtomicCounter but for `failing` = (field, op)."""
    for i, name in enumerate(STAT_FIELDS):
        value = 0 if name.startswith("peak") else 100 * (i + 1)
        fails = failing[1] if failing and failing[0] == name else None
        setattr(target, name, Logged(name, value, log, fails) if logged or fails else AtomicCounter(value))
    return target


def counter_values(s):
    """The counters' values, read without a logged call."""
    return [getattr(getattr(s, name), "counter", getattr(s, name)).load() for name in STAT_FIELDS]


@pytest.mark.parametrize("method, args, ref", RECORDERS, ids=[f"{r[0]}{r[1]}" for r in RECORDERS])
def test_a_failing_counter_leaves_earlier_changes_and_stops_the_recording(method, args, ref):
    # Each counter operation the method makes, in its order, fails in turn: the exception propagates, the
    # changes made before it stay (none is taken back) and nothing after it runs; reset() leaves its lock.
    # With the other counters exact AtomicCounters the native recording path must agree.
    def reference(failing):
        log = []
        double = statistics_with(types.SimpleNamespace(), log, failing)
        double._update_peaks = lambda *a: ref_update_peaks(double, *a)
        try:
            ref(double, *args)
        except Boom as exc:
            return log, counter_values(double), str(exc)
        return log, counter_values(double), None

    steps, values, _ = reference(None)
    assert steps, "the method makes no counter call"
    log = []
    s = statistics_with(LockFreeStatistics(), log)
    getattr(s, method)(*args)
    assert (log, counter_values(s)) == (steps, values)  # when none fails: every call, and no other
    for failing in dict.fromkeys((name, op) for name, op, _ in steps):
        want_log, want_values, want_error = reference(failing)
        assert want_error == failing[0]
        for logged in (True, False):
            log = []
            s = statistics_with(LockFreeStatistics(), log, failing, logged)
            with pytest.raises(Boom) as info:
                getattr(s, method)(*args)
            assert str(info.value) == want_error
            assert counter_values(s) == want_values, (failing, logged)
            if logged:
                assert log == want_log, failing
            assert not any(lock.locked() for lock in gc.get_referents(s) if type(lock) is type(threading.Lock()))

    class Failing(LockFreeStatistics):
        def _update_peaks(self, current_allocs, current_bytes):
            raise Boom("_update_peaks")

    if method == "record_allocation":
        s = statistics_with(Failing(), [], logged=False)
        with pytest.raises(Boom):
            s.record_allocation(*args)
        double = statistics_with(types.SimpleNamespace(), [])
        double._update_peaks = lambda *a: None
        ref(double, *args)
        assert counter_values(s) == counter_values(double)


@pytest.mark.parametrize("via", [lambda method: method, handle], ids=["direct", "handles"])
def test_statistics_threads_record_exact_totals(via):
    s = LockFreeStatistics()

    def work():
        record_allocation, py_record_allocation = via(s.record_allocation), via(s.py_record_allocation)
        record_deallocation = via(s.record_deallocation)
        for i in range(5_000):
            record_allocation(16, i % 2 == 0, 1, 10)
            py_record_allocation(16, True)
            record_deallocation(16, 5)

    threads = [threading.Thread(target=work) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    snap = s.get_snapshot()
    assert snap["total_allocations"] == 60_000 and snap["total_deallocations"] == 30_000
    assert snap["current_allocations"] == 30_000 and snap["bytes_allocated"] == 480_000
    assert snap["bucketed_allocations"] == snap["fallback_allocations"] == 15_000
    assert snap["alignment_padding_bytes"] == 30_000 and snap["bucketed_allocation_ratio"] == "25.0%"
    assert snap["peak_allocations"] <= 30_000 + 6 * 2


def test_counter_attributes_replaced_by_several_threads_hold_each_object_once():
    # Each assignment exchanges the field whole: two setters never both release the object they replaced.
    s = LockFreeStatistics()
    values = [object() for _ in range(3)]
    refs = [sys.getrefcount(v) for v in values]

    def work(k):
        for i in range(20_000):
            s.total_allocations = values[(i + k) % 3]
            s.total_allocations  # a getter between the setters

    threads = [threading.Thread(target=work, args=(k,)) for k in range(3)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert sum(sys.getrefcount(v) for v in values) == sum(refs) + 1
    del s.total_allocations
    assert [sys.getrefcount(v) for v in values] == refs


# --- PerformanceTimer ---------------------------------------------------------------


def test_timer_reads_the_module_clock_each_call(monkeypatch):
    class FakeTime:
        now = 1_000

        def perf_counter_ns(self):
            return self.now

    fake = FakeTime()
    monkeypatch.setattr(lc, "time", fake)
    t = PerformanceTimer()
    assert t.elapsed_ns() == 1_000  # not started: the raw counter
    t.start()
    fake.now = 1_000 + 2_500_000
    assert t.elapsed_ns() == 2_500_000
    assert t.elapsed_us() == 2_500.0 and t.elapsed_ms() == 2.5
    fake.now = 2**70
    assert t.elapsed_ns() == 2**70 - 1_000

    class Scaled(PerformanceTimer):
        def elapsed_ns(self):
            return 3_000

    assert Scaled().elapsed_us() == 3.0
