import ctypes
import gc
import math
import os
import pickle
import random
import statistics
import sys
import threading
import weakref

import pytest

import korvane.monitoring.counter_hub as hub
from conftest import tracked_as_inserted
from korvane.monitoring.counter_hub import CounterAggregator, create_aggregator
from korvane.threads import handle

INF, NAN = float("inf"), float("nan")
EMPTY = {"count": 0, "mean": 0.0, "variance": 0.0, "std": 0.0, "min": INF, "max": -INF}


class Model:
    """The aggregator's rules in plain Python: sums per record, statistics derived on read."""

    def __init__(self, n):
        self.recs = [[0, 0.0, 0.0, INF, -INF] for _ in range(n)]

    def update(self, i, x):
        r = self.recs[i]
        r[0], r[1], r[2] = r[0] + 1, r[1] + x, r[2] + x * x
        r[3] = x if r[3] > x else r[3]
        r[4] = x if x > r[4] else r[4]

    def stats(self, i):
        count, total, total_sq, lo, hi = self.recs[i]
        if count == 0:
            return dict(EMPTY)
        mean = total / count
        variance = total_sq / count - mean * mean
        return {"count": count, "mean": mean, "variance": variance, "std": variance**0.5, "min": lo, "max": hi}

    def all_stats(self):
        return [(i, exact(self.stats(i))) for i, r in enumerate(self.recs) if r[0] != 0]


def exact(d):
    """Bit-exact comparable form of a stats dict: keys in order, value types, round-trip reprs."""
    return [(k, type(v), repr(v)) for k, v in d.items()]


def all_exact(agg):
    return [(i, exact(s)) for i, s in agg.get_all_stats()]


def test_examples():
    agg = CounterAggregator()
    assert exact(agg.get_stats(0)) == exact(EMPTY) and agg.get_all_stats() == []
    agg.get_stats(1).update(count=5, mean=1.5)  # every result is a dict of its own
    assert exact(agg.get_stats(1)) == exact(EMPTY)
    agg.update(2, 3.0)
    s, ref = agg.get_stats(2), dict(agg.get_stats(2))  # and an ordinary one: it grows, shrinks, tracks
    for d in (s, ref):
        del d["mean"]
        d.update((f"k{i}", i) for i in range(40))
        d["mean"] = d.pop("count")
        d["std"] = []
    fresh = agg.get_stats(2)
    assert list(s.items()) == list(ref.items()) and s == ref and gc.is_tracked(s)
    assert gc.is_tracked(fresh) == tracked_as_inserted(fresh)
    agg.reset(2)
    for x in (2.0, 4.0, 4.0, 4.0, 5.0, 5.0, 7.0, 9.0):
        agg.update(0, x)
    assert exact(agg.get_stats(0)) == exact({"count": 8, "mean": 5.0, "variance": 4.0, "std": 2.0, "min": 2.0,
                                             "max": 9.0})
    for _ in range(3):
        agg.update(5, 0.1)  # the variance rounds below zero: std is the complex root
    s = agg.get_stats(5)
    assert s["variance"] < 0 and type(s["std"]) is complex and s["std"] == s["variance"] ** 0.5
    agg.update(7, NAN)
    s = agg.get_stats(7)
    assert s["count"] == 1 and math.isnan(s["mean"]) and (s["min"], s["max"]) == (INF, -INF)
    assert [i for i, _ in agg.get_all_stats()] == [0, 5, 7]
    agg.reset(5)
    agg.update(999, 1.0)  # the default holds ids 0 to 999
    assert [i for i, _ in agg.get_all_stats()] == [0, 7, 999]
    small = create_aggregator(4)
    small.update(3, 1.0)
    # Equal values keep the first seen as minimum and maximum: 0.0 and -0.0 tell which.
    for first, second in ((0.0, -0.0), (-0.0, 0.0)):
        small.reset(0)
        small.update(0, first)
        small.update(0, second)
        assert [repr(small.get_stats(0)[k]) for k in ("min", "max")] == [repr(first)] * 2
    for g, bad in ((agg, 1000), (small, 4), (small, -1), (CounterAggregator(0), 0), (create_aggregator(), 1000)):
        with pytest.raises(IndexError, match=rf"^Counter ID {bad} out of range$"):
            g.update(bad, 1.0)


def test_std_is_exactly_the_power_not_a_square_root():
    rng = random.Random(3)
    agg = CounterAggregator(1)
    pairs = []
    for _ in range(5000):
        agg.reset(0)
        agg.update(0, rng.uniform(0.0, 1e6))
        agg.update(0, rng.uniform(0.0, 1e6))
        s = agg.get_stats(0)
        pairs.append((s["variance"], s["std"]))
    assert [(v, std) for v, std in pairs if std.hex() != (v**0.5).hex()] == []
    # libm's pow(v, 0.5) is not correctly rounded: some of these differ from sqrt.
    assert any(math.sqrt(v) != v**0.5 for v, _ in pairs if v >= 0)


def sample(rng):
    kind = rng.random()
    if kind < 0.5:
        return rng.choice((rng.uniform(-1e3, 1e3), float(rng.randint(-5, 5))))
    if kind < 0.75:
        return 0.1 + rng.choice((0.0, 1e-17, 2e-17))  # nearly equal: negative variances
    if kind < 0.95:
        return rng.uniform(-1, 1) * 10.0 ** rng.randint(-200, 200)
    return rng.choice((NAN, INF, -INF, -0.0))


def test_running_statistics_match_python():
    rng = random.Random(7)
    for _ in range(150):
        n = rng.randint(1, 12)
        agg, model = CounterAggregator(n), Model(n)
        for _ in range(150):
            op, i = rng.random(), rng.randrange(n)
            if op < 0.7:
                x = sample(rng)
                agg.update(i, x)
                model.update(i, x)
            elif op < 0.85:
                assert exact(agg.get_stats(i)) == exact(model.stats(i))
            elif op < 0.9:
                agg.reset(i)
                model.recs[i] = [0, 0.0, 0.0, INF, -INF]
            elif op < 0.91:
                agg.reset_all()
                model = Model(n)
            else:
                bad = rng.choice((n, n + 5, -1, -(2**31)))
                call = rng.choice((lambda: agg.update(bad, 1.0), lambda: agg.get_stats(bad), lambda: agg.reset(bad)))
                with pytest.raises(IndexError, match=rf"^Counter ID {bad} out of range$"):
                    call()
        assert all_exact(agg) == model.all_stats()
    # Many variances: std equals Python's variance ** 0.5 bit for bit (about one in a thousand
    # differs between libm's pow and a correctly rounded square root).
    agg, model = CounterAggregator(20_000), Model(20_000)
    for i in range(20_000):
        for x in (rng.uniform(-1e3, 1e3) * 10.0 ** rng.randint(-100, 100) for _ in range(3)):
            agg.update(i, x)
            model.update(i, x)
    assert all_exact(agg) == model.all_stats()
    for _ in range(50):  # loosely against the statistics module on ordinary samples
        xs = [rng.gauss(rng.uniform(-100, 100), rng.uniform(0.1, 50)) for _ in range(rng.randint(1, 300))]
        agg = CounterAggregator(1)
        for x in xs:
            agg.update(0, x)
        s = agg.get_stats(0)
        assert math.isclose(s["mean"], statistics.fmean(xs), rel_tol=1e-12, abs_tol=1e-12)
        assert math.isclose(s["variance"], statistics.pvariance(xs), rel_tol=1e-9,
                            abs_tol=1e-12 * statistics.fmean(x * x for x in xs))


def test_bad_input_raises_and_changes_nothing():
    agg = CounterAggregator()
    agg.update(2, 4.0)
    before = all_exact(agg)
    hostile = type("Hostile", (), {"__int__": lambda s: 1 // 0, "__float__": lambda s: 1 // 0})()
    with pytest.raises(ZeroDivisionError) as raised:
        1 // 0
    divided = str(raised.value)  # the interpreter's own words, which 3.14 changed
    cases = [
        (lambda: agg.get_stats(2**31 - 1), IndexError, "Counter ID 2147483647 out of range"),
        (lambda: agg.reset(-(2**31)), IndexError, "Counter ID -2147483648 out of range"),
        (lambda: agg.update(2**31, 1.0), OverflowError, "value too large to convert to int32_t"),
        (lambda: agg.update(2, 10**400), OverflowError, "int too large to convert to float"),
        (lambda: agg.update("2", 1.0), TypeError, "an integer is required"),
        (lambda: agg.update(2, "1.0"), TypeError, "must be real number, not str"),
        (lambda: agg.update(hostile, 1.0), ZeroDivisionError, divided),
        (lambda: agg.update(1000, hostile), ZeroDivisionError, divided),
        (lambda: agg.update(2), TypeError, "update() takes exactly 2 positional arguments (1 given)"),
        (lambda: agg.reset_all(1), TypeError, "reset_all() takes exactly 0 positional arguments (1 given)"),
        (lambda: agg.update(2, 1.0, counter_id=2), TypeError, "update() got multiple values for argument 'counter_id'"),
        (lambda: CounterAggregator(1, 2), TypeError, "__init__() takes at most 1 positional argument (2 given)"),
        (lambda: CounterAggregator(-1), MemoryError, "Failed to allocate counter storage"),
        (lambda: create_aggregator(-(2**31)), MemoryError, "Failed to allocate counter storage"),
        (lambda: CounterAggregator(2**31), OverflowError, "value too large to convert to int32_t"),
        (lambda: pickle.dumps(agg), TypeError, "no default __reduce__ due to non-trivial __cinit__"),
    ]
    for call, exc, message in cases:
        with pytest.raises(exc) as info:
            call()
        assert str(info.value) == message
    assert all_exact(agg) == before
    agg.update(counter_id=2.9, value=True)  # an id truncates through __int__, a value takes __index__
    agg.update(2, type("F", (), {"__float__": lambda self: 3.0})())
    assert [agg.get_stats(2)[k] for k in ("count", "min", "max")] == [3, 1.0, 4.0]


@pytest.mark.parametrize("via", [lambda method: method, handle], ids=["direct", "handles"])
def test_threads_updating_one_aggregator(via):
    # Counter 16 is filled and reset over and over meanwhile: get_all_stats may list it with count 0.
    agg, model = CounterAggregator(17), Model(17)
    work = [[((t * 7 + k) % 16, float((t * 13 + k) % 50)) for k in range(4000)] for t in range(8)]
    for i, x in (item for items in work for item in items):
        model.update(i, x)  # integer samples: the sums are exact in any order
    torn = []

    def writer(items):
        update = via(agg.update)
        for i, x in items:
            update(i, x)

    def resetter():
        for _ in range(2000):
            agg.update(16, 1.0)
            agg.reset(16)

    def reader():
        for _ in range(300):
            torn.extend(s for _, s in agg.get_all_stats() if s["count"] and not s["min"] <= s["mean"] <= s["max"])

    old = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=writer, args=(w,)) for w in work] + [
            threading.Thread(target=reader), threading.Thread(target=resetter)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    finally:
        sys.setswitchinterval(old)
    assert not torn and all_exact(agg) == model.all_stats()


class Ops(ctypes.Structure):
    _fields_ = [
        ("size", ctypes.c_size_t),
        ("type", ctypes.py_object),
        ("update", ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.c_int32, ctypes.c_double)),
        ("get_stats", ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object, ctypes.c_int32)),
        ("reset", ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object, ctypes.c_int32)),
        ("reset_all", ctypes.PYFUNCTYPE(ctypes.c_int, ctypes.py_object)),
        ("get_all_stats", ctypes.PYFUNCTYPE(ctypes.py_object, ctypes.py_object)),
    ]


def test_native_table_and_get_all_stats_reach_overrides():
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    ops = Ops.from_address(get(CounterAggregator._native_ops,
                               b"korvane.monitoring.counter_hub.CounterAggregator._native_ops"))
    assert (ops.size, ops.type) == (ctypes.sizeof(Ops), CounterAggregator)
    calls = []

    class Custom(CounterAggregator):
        def update(self, counter_id, value):
            calls.append(("update", counter_id, value))
            super().update(counter_id, value * 2)

        def get_stats(self, counter_id):
            calls.append(("get_stats", counter_id))
            if counter_id == 3:
                self.reset(3)  # between the unlocked count read and the locked read: listed with count 0
            return super().get_stats(counter_id)

        def reset_all(self):
            calls.append(("reset_all",))

    for cls in (CounterAggregator, type("Plain", (CounterAggregator,), {}), Custom):
        agg = cls(5)
        assert ops.update(agg, 1, 2.5) == 0 and ops.update(agg, 3, 1.0) == 0
        assert ops.get_stats(agg, 1)["mean"] == (5.0 if cls is Custom else 2.5)
        counts = [(i, s["count"]) for i, s in ops.get_all_stats(agg)]
        assert counts == ([(1, 1), (3, 0)] if cls is Custom else [(1, 1), (3, 1)])
        with pytest.raises(IndexError, match="^Counter ID 5 out of range$"):
            ops.update(agg, 5, 1.0)
        assert ops.reset(agg, 1) == 0 and ops.reset_all(agg) == 0 and ops.get_all_stats(agg) == []
    assert calls == [("update", 1, 2.5), ("update", 3, 1.0), ("get_stats", 1), ("get_stats", 1), ("get_stats", 3),
                     ("update", 5, 1.0), ("reset_all",)]

    class Overriding(CounterAggregator):
        def reset(self, counter_id):
            if counter_id == 1:
                raise LookupError("no reset")
            calls.append(("reset", counter_id))

        def get_all_stats(self):
            return "all"

        @property
        def get_stats(self):  # an override that cannot be looked up
            raise LookupError("no get_stats")

    agg = Overriding(2)
    agg.update(0, 1.0)
    assert ops.reset(agg, 0) == 0 and calls[-1] == ("reset", 0) and ops.get_all_stats(agg) == "all"
    for call, message in [(lambda: ops.reset(agg, 1), "no reset"), (lambda: ops.get_stats(agg, 0), "no get_stats")]:
        with pytest.raises(LookupError) as info:
            call()
        assert str(info.value) == message
    assert CounterAggregator.get_stats(agg, 0)["count"] == 1  # nothing was reset


def test_reference_counts_gc_and_storage():
    agg = CounterAggregator(8)
    value, ident = 12345.678, 2**20 + 3
    rv, ri = sys.getrefcount(value), sys.getrefcount(ident)
    for _ in range(100):
        agg.update(1, value)
        agg.get_stats(1)
        with pytest.raises(IndexError):
            agg.update(ident, value)
    assert (sys.getrefcount(value), sys.getrefcount(ident)) == (rv, ri)
    assert sys.getrefcount(agg.get_stats(1)) == sys.getrefcount(object())  # held by no one but the caller
    marker = object()
    marked = type("Marked", (CounterAggregator,), {"get_stats": lambda self, i: marker})(4)
    marked.update(2, 1.0)
    base = sys.getrefcount(marker)
    listed = marked.get_all_stats()
    assert sys.getrefcount(marker) == base + 1 and listed[0][1] is marker
    del listed
    assert sys.getrefcount(marker) == base
    # The lock is reported to the collector; a cycle through a subclass instance is collected.
    assert any(type(o) is type(threading.Lock()) for o in gc.get_referents(agg))
    marked.me = marked
    alive = weakref.ref(marked)
    del marked
    gc.collect()
    assert alive() is None
    if os.environ.get("KORVANE_SANITIZED") == "1":
        return  # freed records stay mapped in the sanitizer's quarantine
    try:
        statm = open("/proc/self/statm")
    except OSError:
        return
    start = int(statm.read().split()[1])
    for _ in range(40):
        CounterAggregator(1_000_000).update(999_999, 1.0)  # 40 MB of records, freed with the object
    statm.seek(0)
    assert (int(statm.read().split()[1]) - start) * 4096 < 200 * 2**20


def test_lock_protocol_and_import(monkeypatch, python_subprocess):
    events = []
    fake_lock = type("FakeLock", (), {"__enter__": lambda s: events.append("enter"),
                                      "__exit__": lambda s, *exc: events.append("exit")})
    fake_threading = type("FakeThreading", (), {"Lock": staticmethod(lambda: events.append("Lock") or fake_lock())})
    monkeypatch.setattr(hub, "threading", fake_threading)
    with pytest.raises(MemoryError):
        CounterAggregator(-5)  # refused before any lock is made
    agg = CounterAggregator(4)
    agg.update(0, 1.0)
    agg.update(2, 1.0)
    with pytest.raises(IndexError):
        agg.get_stats(4)  # checked before the lock
    agg.get_all_stats()
    agg.reset(1)
    agg.reset_all()
    assert events == ["Lock"] + ["enter", "exit"] * 6
    monkeypatch.undo()
    r = python_subprocess("""
        import logging
        records = []
        logging.basicConfig(level=logging.DEBUG)
        logging.getLogger().addHandler(type("H", (logging.Handler,), {"emit": lambda s, r: records.append(r)})())
        import threading, korvane.monitoring.counter_hub as hub
        print(len(records), [k for k in vars(hub) if not k.startswith("__")], hub.threading is threading)
    """)
    assert r.stdout.strip() == "0 ['CounterAggregator', 'threading', 'create_aggregator'] True", r.stderr
