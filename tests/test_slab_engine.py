import ctypes
import gc
import logging
import pickle
import random
import struct
import sys
import threading
import types
import weakref

import pytest

from korvane.memory import slab_engine as se
from korvane.memory.slab_engine import (
    FastBucketAllocator,
    FastSlabHeaderOps,
    FastStatsCollector,
    fast_align_size,
    fast_bitmap_operations,
    fast_can_fit_aligned,
    fast_get_bucket_size,
)

I32_MIN, I32_MAX = -(2**31), 2**31 - 1
U64 = 2**64 - 1
EDGE_I32 = [I32_MIN, I32_MIN + 1, -65, -64, -1, 0, 1, 7, 8, 63, 64, 65, 4096, I32_MAX - 8, I32_MAX]


class Boom(Exception):
    pass


class BadInt:
    def __int__(self):
        raise Boom


def run_threads(work, count):
    threads = [threading.Thread(target=work, args=(k,)) for k in range(count)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


# --- plain Python renderings of the rules ----------------------------------


def crc16_modbus(data):
    crc = 0xFFFF
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0xA001 if crc & 1 else crc >> 1
    return crc


def record(size_class, flags, change_count, bitmap, checksum=None):
    head = struct.pack("<BBL", size_class, flags, change_count)
    return head + struct.pack("<HQ", crc16_modbus(head) if checksum is None else checksum, bitmap)


def c_round(size, step):
    """size + step - 1 less its remainder truncated toward zero, as C computes it."""
    t = size + step - 1
    rem = abs(t) % abs(step)
    return t - (-rem if t < 0 else rem)


def aligned(offset, alignment):
    mask = alignment if alignment == I32_MIN else -alignment
    return (offset + alignment - 1) & mask


def fits(offset, block, size, alignment):
    return aligned(offset, alignment) + size <= offset + block


def fits_strictly(offset, block, size, alignment):
    return aligned(offset, alignment) + size < offset + block


class HeaderModel:
    def __init__(self, slots):
        self.mask = 0 if slots <= 0 else (1 << slots) - 1 if slots < 64 else U64
        self.size_class, self.flags, self.change_count, self.bitmap = 0, 0, 0, self.mask

    def allocate(self, i):
        if 0 <= i < 64:
            self.bitmap &= ~(1 << i)
        self.flags |= 0x10
        self.change_count = (self.change_count + 1) & 0xFFFFFFFF

    def deallocate(self, i):
        if 0 <= i < 64:
            self.bitmap |= 1 << i
        self.change_count = (self.change_count + 1) & 0xFFFFFFFF
        if self.bitmap == self.mask:
            self.flags &= ~0x10

    def find(self):
        return (self.bitmap & -self.bitmap).bit_length() - 1 if self.bitmap else -1

    def packed(self):
        return record(self.size_class, self.flags, self.change_count, self.bitmap)


class BucketModel:
    def __init__(self, step, small, medium):
        self.step, self.small, self.medium = step, small, medium
        sizes = list(range(step, small + 1, step)) + list(range(small + step, medium + 1, step))
        self.buckets = {size: [] for size in sizes}

    def bucket(self, size):
        if size <= self.small or size <= self.medium:
            b = c_round(size, self.step)
            return b if b <= I32_MAX else -1
        return -1

    def add(self, offset, size):
        b = self.bucket(size)
        if b <= 0 or size != b or b not in self.buckets:
            return False
        self.buckets[b].append(offset)
        return True

    def remove(self, size):
        b = self.bucket(size)
        free = self.buckets.get(b) if b > 0 else None
        return free.pop() if free else None

    def best_fit(self, size, alignment):
        b = self.bucket(size)
        if b < 1:
            return None
        for k in ([b] if b in self.buckets else []) + [k for k in sorted(self.buckets) if k > b]:
            free = self.buckets[k]
            if free:
                offset = free.pop()
                if fits(offset, k, size, alignment):
                    return offset
                free.append(offset)
        return None


# --- module ----------------------------------------------------------------


def test_module_attributes_load_message_and_lazy_struct(python_subprocess):
    assert [k for k in vars(se) if not k.startswith("__")] == [
        "threading", "logging", "logger", "FastSlabHeaderOps", "FastBucketAllocator", "FastStatsCollector",
        "fast_align_size", "fast_get_bucket_size", "fast_bitmap_operations", "fast_can_fit_aligned"]
    assert se.logger is logging.getLogger("korvane.memory.slab_engine")
    result = python_subprocess(
        """
        import logging, sys
        records = []
        class Keep(logging.Handler):
            def emit(self, record):
                records.append(record)
        logging.getLogger().addHandler(Keep())
        logging.getLogger().setLevel(logging.DEBUG)
        from korvane.memory.slab_engine import FastSlabHeaderOps
        print(len(records), records[0].levelname, records[0].name)
        print(records[0].getMessage())
        sys.modules.pop("struct", None)
        FastSlabHeaderOps(1, 1).pack_header()
        print("struct" in sys.modules)
        sys.modules["struct"] = None
        try:
            FastSlabHeaderOps(1, 1).unpack_header(bytes(16))
        except ImportError as exc:
            print(type(exc).__name__)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "1 INFO korvane.memory.slab_engine",
        "Korvane Slab Engine Cython module loaded - targeting 1.8-3\u00d7 performance improvement",
        "True", "ModuleNotFoundError"]


@pytest.mark.parametrize("make", [lambda: FastSlabHeaderOps(1, 2), FastBucketAllocator, FastStatsCollector])
def test_instances_refuse_pickling_and_have_no_attributes(make):
    obj = make()
    for attempt in (lambda: pickle.dumps(obj), obj.__reduce__, lambda: obj.__setstate__({})):
        with pytest.raises(TypeError, match="^no default __reduce__ due to non-trivial __cinit__$"):
            attempt()
    assert not hasattr(obj, "__dict__") and not hasattr(obj, "buckets") and not hasattr(obj, "lock")


def native_table(cls, *signatures):
    """The functions of a type's published operation table (after its size and
    type), called through ctypes (which releases the interpreter lock around
    each call)."""
    get = ctypes.pythonapi.PyCapsule_GetPointer
    get.restype, get.argtypes = ctypes.c_void_p, [ctypes.py_object, ctypes.c_char_p]
    address = get(cls._native_ops, f"{cls.__module__}.{cls.__name__}._native_ops".encode())
    slots = (ctypes.c_void_p * (2 + len(signatures))).from_address(address)
    return [ctypes.CFUNCTYPE(*sig)(slots[2 + i]) for i, sig in enumerate(signatures)]


def test_native_operation_tables():
    obj, i32 = ctypes.c_void_p, ctypes.c_int32
    is_free, allocate, deallocate, find, checksum = native_table(
        FastSlabHeaderOps, (ctypes.c_int, obj, i32), (None, obj, i32), (None, obj, i32), (i32, obj),
        (ctypes.c_uint16, obj))
    h = FastSlabHeaderOps(3, 32)
    allocate(id(h), 0)
    allocate(id(h), -5)
    deallocate(id(h), -5)
    assert (is_free(id(h), 0), is_free(id(h), 1), is_free(id(h), -1), find(id(h))) == (0, 1, 0, 1)
    assert checksum(id(h)) == crc16_modbus(bytes([3, 0x10, 3, 0, 0, 0]))
    (bucket_size,) = native_table(FastBucketAllocator, (i32, obj, i32))
    a = FastBucketAllocator()
    assert [bucket_size(id(a), n) for n in (20, 4096, 4097, 0, -9)] == [24, 4096, -1, 0, 0]
    record, release = native_table(FastStatsCollector, (None, obj, i32, i32, ctypes.c_int), (None, obj))
    s = FastStatsCollector()
    record(id(s), 64, 8, 0)
    release(id(s))
    assert s.get_stats()["fallback_allocations"] == s.get_stats()["total_deallocations"] == 1


# --- slab header -----------------------------------------------------------


def test_header_examples_and_construction():
    assert crc16_modbus(b"123456789") == 0x4B37
    h = FastSlabHeaderOps(3, 32)
    assert h.py_find_free_object() == 0
    assert h.pack_header() == bytes.fromhex("03 00 00000000 0028 ffffffff00000000")
    h.py_allocate_object_at(0)
    assert (h.py_find_free_object(), h.py_is_object_free(0)) == (1, False)
    assert h.pack_header() == bytes.fromhex("03 10 01000000 c017 feffffff00000000")
    assert FastSlabHeaderOps(300, 0).pack_header()[0] == 44
    assert FastSlabHeaderOps(size_class_index=-1, objects_per_slab=64).pack_header() == record(255, 0, 0, U64)
    assert FastSlabHeaderOps(0, 0).py_find_free_object() == -1
    # The repr counts free slots among the first objects_per_slab only, whatever a record sets above them.
    for slots, free in [(0, 0), (1, 1), (5, 5), (63, 63), (64, 64), (100, 64)]:
        loaded = FastSlabHeaderOps(7, slots)
        loaded.unpack_header(record(7, 0x10, 3, U64))
        assert repr(loaded) == f"FastSlabHeaderOps(size_class_index=7, objects_per_slab={slots}, free={free}, flags=0x10)"
    for args, exc, message in [
        ((1,), TypeError, r"^__init__\(\) takes exactly 2 positional arguments \(1 given\)$"),
        ((2**31, 1), OverflowError, "int32_t"),
        ((1, "2"), TypeError, "^an integer is required$"),
        ((1, -1), ValueError, "^objects_per_slab must not be negative$"),
    ]:
        with pytest.raises(exc, match=message):
            FastSlabHeaderOps(*args)


@pytest.mark.parametrize("seed", range(6))
def test_header_slots_follow_the_model(seed):
    rng = random.Random(seed)
    slots = rng.choice([0, 1, 5, 32, 63, 64, 100])
    h, m = FastSlabHeaderOps(rng.randrange(256), slots), HeaderModel(slots)
    # Start from a loaded state near the counter's wrap-around.
    m.size_class, m.flags = rng.randrange(256), rng.randrange(256)
    m.change_count, m.bitmap = 2**32 - rng.randrange(1, 40), m.mask & rng.getrandbits(64)
    h.unpack_header(m.packed())
    for _ in range(400):
        i = rng.choice([rng.randrange(64), rng.randrange(slots + 1), -1, -64, 64, 70, I32_MIN, I32_MAX])
        action = rng.randrange(4)
        if action == 0:
            h.py_allocate_object_at(i)
            m.allocate(i)
        elif action == 1:
            h.py_deallocate_object_at(object_index=i)
            m.deallocate(i)
        elif action == 2:
            assert h.py_is_object_free(i) is (0 <= i < 64 and bool(m.bitmap >> i & 1))
        else:
            free = h.py_find_free_object()
            assert free == m.find()
            if free >= 0:
                h.py_allocate_object_at(free)
                m.allocate(free)
        assert h.pack_header() == m.packed()


def test_header_load_detects_corruption_of_covered_bytes(caplog):
    source = FastSlabHeaderOps(9, 40)
    for i in (0, 3, 39):
        source.py_allocate_object_at(i)
    good = source.pack_header()
    caplog.set_level(logging.WARNING, logger="korvane.memory.slab_engine")
    target = FastSlabHeaderOps(1, 1)
    assert target.unpack_header(good) is None
    assert target.pack_header() == good and caplog.records == []
    for pos in range(16):
        caplog.clear()
        bad = bytearray(good)
        bad[pos] ^= 0x41
        target.unpack_header(bytes(bad))
        flags = target.pack_header()[1]
        assert bool(flags & 0x80) is (pos < 8) and bool(caplog.records) is (pos < 8), pos
        assert flags & 0x7F == (bad[1] & 0x7F)
    caplog.clear()
    target.unpack_header(record(3, 0, 0, 5, checksum=0x1234))
    target.unpack_header(record(3, 0, 0, 5, checksum=0x00AB))
    assert [(r.name, r.levelname, r.getMessage()) for r in caplog.records] == [
        ("korvane.memory.slab_engine", "WARNING", "Header corruption detected: stored=1234, computed=2800"),
        ("korvane.memory.slab_engine", "WARNING", "Header corruption detected: stored=00ab, computed=2800")]
    # The loaded values stay; the stored checksum does not replace the object's.
    assert target.pack_header() == record(3, 0x80, 0, 5)


def test_header_rejects_bad_records_unchanged():
    h = FastSlabHeaderOps(5, 8)
    h.py_allocate_object_at(2)
    before = h.pack_header()

    class Sub(bytes):
        pass

    for data, exc, message in [
        (None, TypeError, "object of type 'NoneType' has no len()"),
        (bytearray(16), TypeError, "Argument 'data' has incorrect type (expected bytes, got bytearray)"),
        (Sub(16), TypeError, "Argument 'data' has incorrect type (expected bytes, got Sub)"),
        ("x" * 16, TypeError, "Argument 'data' has incorrect type (expected bytes, got str)"),
        (bytes(15), ValueError, "slab header record must be exactly 16 bytes (got 15)"),
        (bytes(17), ValueError, "slab header record must be exactly 16 bytes (got 17)"),
    ]:
        with pytest.raises(exc) as info:
            h.unpack_header(data)
        assert str(info.value) == message
    for bad, exc in [(2**31, OverflowError), (BadInt(), Boom), ("1", TypeError)]:
        with pytest.raises(exc):
            h.py_allocate_object_at(bad)
    with pytest.raises(TypeError, match=r"^py_find_free_object\(\) takes exactly 0 positional arguments \(1 given\)$"):
        h.py_find_free_object(1)
    assert h.pack_header() == before


def test_header_from_several_threads():
    # Four threads own eight slots each of one header; a fifth packs it meanwhile. A lost
    # update shows as a slot of a thread's own found free just after it took it (or the
    # header marked unused then), a packed record whose checksum does not cover its bytes,
    # or a final record other than the sum.
    h = FastSlabHeaderOps(1, 32)
    barrier, faults = threading.Barrier(5), []

    def work(k):
        barrier.wait()
        if k == 4:
            for _ in range(3000):
                packed = h.pack_header()
                if crc16_modbus(packed[:6]) != struct.unpack_from("<H", packed, 6)[0]:
                    faults.append(packed)
            return
        mine = range(8 * k, 8 * k + 8)
        for _ in range(2000):
            for i in mine:
                h.py_allocate_object_at(i)
            if any(h.py_is_object_free(i) for i in mine) or not h.pack_header()[1] & 0x10:
                faults.append(k)
            for i in mine:
                h.py_deallocate_object_at(i)
        h.py_allocate_object_at(8 * k)

    run_threads(work, 5)
    assert faults == []
    assert h.pack_header() == record(1, 0x10, 4 * (2000 * 16 + 1), (2**32 - 1) & ~0x01010101)


# --- bucket allocator ------------------------------------------------------


def test_bucket_examples():
    a = FastBucketAllocator()
    assert (a.add_to_bucket(1000, 24), a.add_to_bucket(1000, 20)) == (True, False)
    assert (a.remove_from_bucket(20), a.remove_from_bucket(20)) == (1000, None)
    assert (a.add_to_bucket(5, 4104), a.remove_from_bucket(5000)) == (False, None)
    a.add_to_bucket(1, 64)
    a.add_to_bucket(2, 64)
    assert [a.remove_from_bucket(64), a.remove_from_bucket(64)] == [2, 1]
    a.add_to_bucket(8, 24)
    assert a.find_best_fit_bucket(24, 16) is None
    a.add_to_bucket(32, 24)
    assert a.find_best_fit_bucket(size=24, alignment=16) == 32
    assert a.remove_from_bucket(24) == 8
    a.add_to_bucket(100, 64)
    assert (a.find_best_fit_bucket(24, 1), a.remove_from_bucket(64)) == (100, None)
    assert [a.add_to_bucket(0, s) for s in (0, -8)] == [False, False]
    assert [a.remove_from_bucket(0), a.find_best_fit_bucket(-8, 8)] == [None, None]
    odd = FastBucketAllocator(8, 100, 200)
    assert [odd.add_to_bucket(1, s) for s in (96, 104, 108, 112)] == [True, False, False, False]
    for args, message in [((0,), "range() arg 3 must not be zero"), ((-8,), "bucket_size_step must be positive")]:
        with pytest.raises(ValueError) as info:
            FastBucketAllocator(*args)
        assert str(info.value) == message
    with pytest.raises(OverflowError):
        a.add_to_bucket(2**31, 24)
    with pytest.raises(TypeError, match=r"^add_to_bucket\(\) takes exactly 2 positional arguments \(1 given\)$"):
        a.add_to_bucket(1)


PARAMS = [(8, 256, 4096), (8, 100, 200), (3, 10, 40), (5, -20, 30), (7, 50, 20),
          (2**28, 2**30, I32_MAX), (2**27, 2**31 - 2**28, I32_MAX)]


@pytest.mark.parametrize("seed", range(len(PARAMS)))
def test_bucket_allocator_follows_the_model(seed):
    rng = random.Random(seed)
    params = PARAMS[seed]
    a, m = FastBucketAllocator(*params), BucketModel(*params)
    keys = sorted(m.buckets) or [params[0]]
    alignments = [1, 2, 8, 16, 64, 2**30, 0, -8, 3, 12, I32_MIN, I32_MAX]

    def some_size():
        return rng.choice([rng.choice(keys), rng.choice(keys) - rng.randrange(3), rng.choice(EDGE_I32),
                           rng.randint(I32_MIN, I32_MAX)])

    def some_offset():
        return rng.choice([rng.randrange(4096), rng.choice(EDGE_I32), rng.randint(I32_MIN, I32_MAX)])

    for _ in range(3000):
        action = rng.randrange(10)
        if action < 5:
            offset, size = some_offset(), some_size()
            assert a.add_to_bucket(offset, size) is m.add(offset, size)
        elif action < 7:
            size = some_size()
            assert a.remove_from_bucket(size) == m.remove(size)
        else:
            size, alignment = some_size(), rng.choice(alignments)
            assert a.find_best_fit_bucket(size, alignment) == m.best_fit(size, alignment)
    for size in keys:
        while (offset := m.remove(size)) is not None:
            assert a.remove_from_bucket(size) == offset
        assert a.remove_from_bucket(size) is None


def test_bucket_storage_references_and_reinit():
    a = FastBucketAllocator()
    x = int("1000001")
    base = sys.getrefcount(x)
    assert a.add_to_bucket(x, 64)
    assert sys.getrefcount(x) == base + 1
    taken = a.remove_from_bucket(64)
    assert taken is x
    del taken
    assert sys.getrefcount(x) == base
    a.add_to_bucket(x, 64)
    a._init_buckets()
    assert sys.getrefcount(x) == base
    assert a.remove_from_bucket(64) is None
    a.add_to_bucket(x, 64)
    del a
    assert sys.getrefcount(x) == base
    b = FastBucketAllocator()
    with pytest.raises(Boom):
        b.add_to_bucket(BadInt(), 64)
    assert b.add_to_bucket(3.9, 64) and b.add_to_bucket(True, 64)
    assert [type(b.remove_from_bucket(64)), b.remove_from_bucket(64)] == [int, 3]

    class Seeded(FastBucketAllocator):
        def _init_buckets(self):
            super()._init_buckets()
            self.add_to_bucket(4096, 16)

    class Bare(FastBucketAllocator):
        def _init_buckets(self):
            pass

    assert Seeded().remove_from_bucket(16) == 4096
    assert Bare().add_to_bucket(0, 16) is False
    # A cycle through a subclass instance is collected.
    cyclic = Seeded()
    cyclic.me = cyclic
    ref = weakref.ref(cyclic)
    del cyclic
    gc.collect()
    assert ref() is None


def test_locks_are_held_through_their_context_protocol(monkeypatch):
    events = []

    class RecordingLock:
        fail = False

        def __enter__(self):
            events.append("enter")
            if RecordingLock.fail:
                raise Boom

        def __exit__(self, *exc):
            events.append("exit")

    monkeypatch.setattr(se, "threading", types.SimpleNamespace(Lock=RecordingLock))
    a, s = FastBucketAllocator(), FastStatsCollector()
    assert events == []
    a.add_to_bucket(8, 20)  # not a bucket size: no lock
    a.remove_from_bucket(0)
    a.find_best_fit_bucket(5000, 8)
    assert events == []
    a.add_to_bucket(8, 16)
    a.remove_from_bucket(16)
    a.find_best_fit_bucket(16, 8)
    s.py_record_allocation(1, 2, True)
    s.get_stats()
    assert events == ["enter", "exit"] * 5
    RecordingLock.fail = True
    for call in (lambda: a.add_to_bucket(8, 16), lambda: s.py_record_allocation(1, 2, False), s.reset_stats):
        with pytest.raises(Boom):
            call()
    RecordingLock.fail = False
    assert a.remove_from_bucket(16) is None
    assert s.get_stats()["total_allocations"] == 1


def test_bucket_threads_lose_and_duplicate_nothing():
    a = FastBucketAllocator()
    sizes = [16, 64, 1024]
    taken = [[] for _ in range(6)]

    def work(k):
        rng = random.Random(k)
        for n in range(1500):
            offset = k * 100_000 + n
            assert a.add_to_bucket(offset, rng.choice(sizes))
            got = a.remove_from_bucket(rng.choice(sizes)) if n % 3 else a.find_best_fit_bucket(16, 1)
            if got is not None:
                taken[k].append(got)

    run_threads(work, 6)
    rest = []
    for size in sizes:
        while (offset := a.remove_from_bucket(size)) is not None:
            rest.append(offset)
    everything = sorted(rest + [o for part in taken for o in part])
    assert everything == sorted(k * 100_000 + n for k in range(6) for n in range(1500))


def test_bucket_reinitialisation_racing_the_other_operations():
    # _init_buckets takes no lock: it swaps in fresh lists, dropping what was filed, while
    # other threads file, take, search and print the allocator. Nothing may crash, and no
    # offset may be taken twice or come from nowhere.
    a = FastBucketAllocator()
    sizes = [16, 64, 1024]
    taken, faults, stop, barrier = [[] for _ in range(3)], [], threading.Event(), threading.Barrier(4)

    def work(k):
        barrier.wait()
        if k == 3:
            while not stop.is_set():
                a._init_buckets()
                if not repr(a).startswith("FastBucketAllocator(buckets=512, blocks="):
                    faults.append(repr(a))
            return
        rng = random.Random(k)
        try:
            for n in range(3000):
                if not a.add_to_bucket(k * 100_000 + n, rng.choice(sizes)):
                    faults.append((k, n))
                got = a.remove_from_bucket(rng.choice(sizes)) if n % 2 else a.find_best_fit_bucket(16, 8)
                if got is not None:
                    taken[k].append(got)
        finally:
            if k == 0:
                stop.set()

    run_threads(work, 4)
    everything = [o for part in taken for o in part]
    assert faults == [] and len(set(everything)) == len(everything)
    assert set(everything) <= {k * 100_000 + n for k in range(3) for n in range(3000)}
    a._init_buckets()
    assert repr(a) == "FastBucketAllocator(buckets=512, blocks=0)"
    assert [a.remove_from_bucket(size) for size in sizes] == [None] * 3


# --- statistics ------------------------------------------------------------


def test_stats_counts_ratio_and_padding_wrap():
    s = FastStatsCollector(1, 2, anything=3)
    assert s.get_stats() == {"total_allocations": 0, "total_deallocations": 0, "bucketed_allocations": 0,
                             "fallback_allocations": 0, "bucketed_allocation_ratio": "0.0%",
                             "alignment_padding_bytes": 0}
    for args in [(64, 8, True), (64, 0, False), (32, 8, True)]:
        s.py_record_allocation(*args)
    s.py_record_deallocation()
    stats = s.get_stats()
    assert list(stats.items()) == [("total_allocations", 3), ("total_deallocations", 1), ("bucketed_allocations", 2),
                                   ("fallback_allocations", 1), ("bucketed_allocation_ratio", "66.7%"),
                                   ("alignment_padding_bytes", 16)]
    s.reset_stats()
    s.py_record_allocation(size=0, padding=-1, is_bucketed=[1])
    assert s.get_stats()["alignment_padding_bytes"] == U64
    s.py_record_allocation(0, 1, 0)
    assert s.get_stats()["alignment_padding_bytes"] == 0
    for bad, exc in [((2**31, 0, True), OverflowError), ((1.5j, 0, True), TypeError), ((0, BadInt(), 1), Boom)]:
        with pytest.raises(exc):
            s.py_record_allocation(*bad)
    assert s.get_stats()["total_allocations"] == 2
    rng = random.Random(5)
    for _ in range(30):
        s.reset_stats()
        flags = [rng.random() < 0.37 for _ in range(rng.randrange(1, 300))]
        for flag in flags:
            s.py_record_allocation(1, 0, flag)
        assert s.get_stats()["bucketed_allocation_ratio"] == f"{sum(flags) / len(flags) * 100:.1f}%"


def test_stats_from_several_threads():
    s = FastStatsCollector()
    # Without an interpreter lock, odd threads count through the native operations
    # (which then take no lock) beside the Python methods.
    record, release = native_table(FastStatsCollector, (None, ctypes.c_void_p, ctypes.c_int32, ctypes.c_int32,
                                                        ctypes.c_int), (None, ctypes.c_void_p))
    native = not sys._is_gil_enabled()

    def work(k):
        for n in range(5000):
            if native and k % 2:
                record(id(s), 8, k, n % 2 == 0)
                release(id(s))
            else:
                s.py_record_allocation(8, k, n % 2 == 0)
                s.py_record_deallocation()

    run_threads(work, 6)
    assert s.get_stats() == {"total_allocations": 30000, "total_deallocations": 30000,
                             "bucketed_allocations": 15000, "fallback_allocations": 15000,
                             "bucketed_allocation_ratio": "50.0%", "alignment_padding_bytes": 5000 * 15}


# --- module functions ------------------------------------------------------


def test_functions_follow_the_model():
    rng = random.Random(11)

    def some_i32():
        return rng.choice([rng.choice(EDGE_I32), rng.randint(-300, 300), rng.randint(I32_MIN, I32_MAX)])

    for _ in range(4000):
        size, step = some_i32(), some_i32() or 8
        assert fast_get_bucket_size(size, step) == c_round(size, step)
        alignment = 1 << rng.randrange(31)
        assert fast_align_size(size, alignment) == aligned(size, alignment)
        block = (some_i32(), some_i32(), some_i32(), rng.choice([some_i32(), alignment]))
        assert fast_can_fit_aligned(*block) is fits_strictly(block[0], block[1], block[2], block[3])
        bitmap, index = rng.choice([0, U64, rng.getrandbits(64), 1 << rng.randrange(64)]), some_i32() % 131 - 65
        bit = 1 << index if 0 <= index < 64 else 0
        assert fast_bitmap_operations(bitmap, index, "is_set") is bool(bitmap & bit)
        assert fast_bitmap_operations(bitmap, index, "set") == bitmap | bit
        assert fast_bitmap_operations(bitmap, index, "clear") == bitmap & ~bit
        assert fast_bitmap_operations(bitmap, index, "find_first") == (bitmap & -bitmap).bit_length() - 1


def test_function_examples_and_errors():
    assert [fast_align_size(13, 8), fast_align_size(16, 8), fast_align_size(I32_MAX, 8)] == [16, 16, 2**31]
    assert [fast_get_bucket_size(n) for n in (1, 8, 9, 0, -5, -20)] == [8, 8, 16, 0, 0, -8]
    assert [fast_bitmap_operations(0, 3, "set"), fast_bitmap_operations(8, 3, "is_set"),
            fast_bitmap_operations(8, 64, "set"), fast_bitmap_operations(0, 0, "find_first"),
            fast_bitmap_operations(2**63, 0, "find_first"), fast_bitmap_operations(1, 0, "".join("is_set"))] == [
        8, True, 8, -1, 63, True]
    assert [fast_can_fit_aligned(0, 16, 16, 8), fast_can_fit_aligned(0, 17, 16, 8),
            fast_can_fit_aligned(1, 24, 16, 8), fast_can_fit_aligned(1, 22, 16, 8),
            fast_can_fit_aligned(I32_MAX - 3, 8, 8, 8)] == [False, True, True, False, False]

    class Text(str):
        pass

    for call, exc, message in [
        (lambda: fast_align_size(8, 0), ValueError, "Alignment must be a power of 2"),
        (lambda: fast_align_size(8, -4), ValueError, "Alignment must be a power of 2"),
        (lambda: fast_align_size(8, 12), ValueError, "Alignment must be a power of 2"),
        (lambda: fast_align_size(8, I32_MIN), ValueError, "Alignment must be a power of 2"),
        (lambda: fast_get_bucket_size(8, 0), ZeroDivisionError, "step must not be zero"),
        (lambda: fast_bitmap_operations(8, 3, "toggle"), ValueError, "Unknown operation: toggle"),
        (lambda: fast_bitmap_operations(8, 3, None), ValueError, "Unknown operation: None"),
        (lambda: fast_bitmap_operations(8, 3, b"set"), TypeError,
         "Argument 'operation' has incorrect type (expected str, got bytes)"),
        (lambda: fast_bitmap_operations(8, 3, Text("set")), TypeError,
         "Argument 'operation' has incorrect type (expected str, got Text)"),
        (lambda: fast_bitmap_operations(-1, 3, "set"), OverflowError, "can't convert negative value to uint64_t"),
        (lambda: fast_bitmap_operations(2**64, 3, "set"), OverflowError, "value too large to convert to uint64_t"),
        (lambda: fast_can_fit_aligned(0, 16, 16), TypeError,
         "fast_can_fit_aligned() takes exactly 4 positional arguments (3 given)"),
        (lambda: fast_get_bucket_size(), TypeError, "fast_get_bucket_size() takes at least 1 positional argument (0 given)"),
    ]:
        with pytest.raises(exc) as info:
            call()
        assert str(info.value) == message
