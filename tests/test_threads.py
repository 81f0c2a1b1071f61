"""korvane.threads.handle: a bound method's calls without touching its object's reference count."""

import functools
import gc
import pickle
import sys
import threading
import weakref

import pytest

from korvane.memory.block_index import FastRedBlackTree
from korvane.memory.lockfree_core import AtomicCounter, LockFreeStatistics
from korvane.monitoring.counter_hub import CounterAggregator
from korvane.threads import Handle, handle


def tree():
    t = FastRedBlackTree()
    for size in (8, 8, 16):
        t.insert(size, f"b{size}")
    return t


class Plain:
    """An ordinary class: its bound methods are Python functions."""

    def many(self, *args, **kwargs):
        return self, args, kwargs


# (make the object, the method's name, arguments, keyword arguments): results, or the exception and its
# message, must be the handle's as the bound method's, on twin objects.
CALLS = [
    (tree, "find_best_fit", (9,), {}),
    (tree, "find_best_fit", (), {"size": 9, "alignment": 4}),
    (tree, "find_all_exact", (8,), {}),
    (tree, "insert", (4, "x"), {}),
    (tree, "remove_ge", (1,), {}),
    (tree, "get_stats", (), {}),
    (tree, "find_best_fit", ("9",), {}),
    (tree, "find_best_fit", (), {}),
    (tree, "insert", (-1, "x"), {}),
    (tree, "get_stats", (1,), {}),
    (tree, "delete", (8,), {"block": "b8", "extra": 1}),
    (AtomicCounter, "increment", (5,), {}),
    (AtomicCounter, "increment", (2**63,), {}),
    (LockFreeStatistics, "record_allocation", (64, False, 8, 30), {}),
    (LockFreeStatistics, "record_allocation", (), {"size": "x"}),
    (CounterAggregator, "update", (3, 2.5), {}),
    (CounterAggregator, "update", (99, 2.5), {}),
    (Plain, "many", tuple(range(10)), {"key": 1}),
]


def outcome(call, *args, **kwargs):
    try:
        result = call(*args, **kwargs)
    except Exception as exc:  # noqa: BLE001 - compared with the other call's
        return type(exc), str(exc)
    if isinstance(result, tuple) and result and isinstance(result[0], Plain):
        result = result[1:]  # the object itself differs between the twins
    return result


@pytest.mark.parametrize("make, name, args, kwargs", CALLS,
                         ids=[f"{make.__name__}.{name}{args}{kwargs}" for make, name, args, kwargs in CALLS])
def test_a_handle_gives_what_the_method_gives(make, name, args, kwargs):
    direct, through = make(), make()
    call = handle(getattr(through, name))
    assert outcome(call, *args, **kwargs) == outcome(getattr(direct, name), *args, **kwargs)
    # Called with no spare slot before the arguments too: through the tuple protocol, and through a
    # partial, which copies the positional and keyword values into an array of its own.
    for via in (lambda h: functools.partial(Handle.__call__, h), functools.partial):
        direct, through = make(), make()
        assert (outcome(via(handle(getattr(through, name))), *args, **kwargs)
                == outcome(getattr(direct, name), *args, **kwargs))


def test_a_handle_keeps_its_object_and_calls_leave_its_count_alone():
    t = tree()
    refs = sys.getrefcount(t)
    find = handle(t.find_best_fit)
    assert sys.getrefcount(t) == refs + 1 and find.__self__ is t and find.__func__ is FastRedBlackTree.find_best_fit
    for _ in range(100):
        find(9)
    assert sys.getrefcount(t) == refs + 1
    watched = Plain()
    gone = weakref.ref(watched)
    call = handle(watched.many)
    del watched
    assert gone() is not None and call(1)[1] == (1,)
    del call
    assert gone() is None
    # A cycle through a handle, by its object or by its function, is the collector's to free.
    cyclic = Plain()
    cyclic.call = handle(cyclic.many)

    def function():
        pass

    function.call = handle(function)
    gone = [weakref.ref(cyclic), weakref.ref(function)]
    del cyclic, function
    gc.collect()
    assert [ref() for ref in gone] == [None, None]


def test_any_callable_and_the_handle_itself():
    assert handle(len)([1, 2]) == 2 and handle(len).__self__ is None
    assert handle(handle(AtomicCounter(4).increment))() == 5
    t = tree()
    assert repr(handle(t.size)) == f"handle({t.size!r})" and repr(handle(len)) == "handle(<built-in function len>)"
    for call, message in [(lambda: handle(3), "handle() needs a callable, not 'int'"),
                          (lambda: handle(), "handle() takes exactly 1 positional argument (0 given)"),
                          (lambda: Handle(len, len), "handle() takes exactly 1 positional argument (2 given)"),
                          (lambda: pickle.dumps(handle(len)), "no default __reduce__ due to non-trivial __cinit__")]:
        with pytest.raises(TypeError) as info:
            call()
        assert str(info.value) == message
    assert Handle(method=len)("abc") == 3
    with pytest.raises(TypeError):
        type("Sub", (Handle,), {})


def test_a_handle_made_by_one_thread_works_from_others():
    # Defined and exact from every thread; only its own reference count is then changed atomically.
    counter = AtomicCounter()
    shared = handle(counter.increment)
    t = tree()
    find = handle(t.find_all_exact)
    found = []

    def work():
        for _ in range(20_000):
            shared()
        found.append(find(8))

    threads = [threading.Thread(target=work) for _ in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert counter.load() == 80_000 and found == [["b8", "b8"]] * 4


def test_a_handle_called_by_native_code_without_a_spare_slot():
    # The vectorcall protocol without PY_VECTORCALL_ARGUMENTS_OFFSET: the handle makes its own array,
    # keyword values included, on the stack for a few arguments and on the heap for more.
    import ctypes

    vectorcall = ctypes.pythonapi.PyObject_Vectorcall
    vectorcall.restype = ctypes.py_object
    vectorcall.argtypes = [ctypes.py_object, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_void_p]  # kwnames: NULL or a tuple
    target = Plain()
    call = handle(target.many)
    for positional, keywords in [((1, 2), {"k": 3}), (tuple(range(9)), {"a": 1, "b": 2})]:
        items = (ctypes.py_object * (len(positional) + len(keywords)))(*positional, *keywords.values())
        names = tuple(keywords)
        result = vectorcall(call, ctypes.cast(items, ctypes.c_void_p), len(positional), id(names))
        assert result == (target, positional, keywords)
    assert vectorcall(handle(len), ctypes.cast((ctypes.py_object * 1)([1, 2]), ctypes.c_void_p), 1, None) == 2
