"""Slab engine beside what a Python user would otherwise write."""

import struct
import threading

import crcmod.predefined
import pytest

from korvane.memory.slab_engine import FastBucketAllocator, FastSlabHeaderOps, FastStatsCollector

crc16_modbus = crcmod.predefined.mkCrcFun("modbus")
RECORD = struct.Struct("<BBLHQ")
COVERED = struct.Struct("<BBL")


class PyHeader:
    """The checked slab header in Python: struct for the record, crcmod for the CRC."""

    __slots__ = ("size_class_index", "flags", "change_count", "checksum", "bitmap", "objects_per_slab")

    def __init__(self, size_class_index, objects_per_slab):
        self.size_class_index = size_class_index & 0xFF
        self.flags = 0
        self.change_count = 0
        self.checksum = 0
        self.objects_per_slab = objects_per_slab
        self.bitmap = (1 << objects_per_slab) - 1 if objects_per_slab < 64 else (1 << 64) - 1

    def pack_header(self):
        self.checksum = crc16_modbus(COVERED.pack(self.size_class_index, self.flags, self.change_count))
        return RECORD.pack(self.size_class_index, self.flags, self.change_count, self.checksum, self.bitmap)

    def unpack_header(self, data):
        self.size_class_index, self.flags, self.change_count, stored, self.bitmap = RECORD.unpack(data)
        computed = crc16_modbus(data[:6])
        if computed != stored:
            self.flags |= 0x80

    def find_free_object(self):
        b = self.bitmap
        return (b & -b).bit_length() - 1 if b else -1

    def allocate_object_at(self, i):
        if 0 <= i < 64:
            self.bitmap &= ~(1 << i)
        self.flags |= 0x10
        self.change_count = (self.change_count + 1) & 0xFFFFFFFF

    def deallocate_object_at(self, i):
        if 0 <= i < 64:
            self.bitmap |= 1 << i
        self.change_count = (self.change_count + 1) & 0xFFFFFFFF
        if self.bitmap == (1 << self.objects_per_slab) - 1:
            self.flags &= ~0x10


class PyBuckets:
    """Size-bucket free lists as a dict of lists guarded by threading.Lock."""

    def __init__(self, step=8, small=256, medium=4096):
        self.step, self.small, self.medium = step, small, medium
        self.lock = threading.Lock()
        sizes = list(range(step, small + 1, step)) + list(range(small + step, medium + 1, step))
        self.buckets = {size: [] for size in sizes}

    def bucket_size(self, size):
        if size <= self.small or size <= self.medium:
            t = size + self.step - 1
            return t - (t % self.step)
        return -1

    def add_to_bucket(self, offset, size):
        b = self.bucket_size(size)
        if b <= 0 or size != b:
            return False
        with self.lock:
            free = self.buckets.get(b)
            if free is None:
                return False
            free.append(offset)
            return True

    def remove_from_bucket(self, size):
        b = self.bucket_size(size)
        if b <= 0:
            return None
        with self.lock:
            free = self.buckets.get(b)
            return free.pop() if free else None

    def find_best_fit_bucket(self, size, alignment):
        b = self.bucket_size(size)
        if b < 1:
            return None
        with self.lock:
            free = self.buckets.get(b)
            if free:
                offset = free.pop()
                if ((offset + alignment - 1) & -alignment) + size <= offset + b:
                    return offset
                free.append(offset)
            for k in sorted(self.buckets):
                free = self.buckets[k]
                if k > b and free:
                    offset = free.pop()
                    if ((offset + alignment - 1) & -alignment) + size <= offset + k:
                        return offset
                    free.append(offset)
            return None


class PyStats:
    def __init__(self):
        self.lock = threading.Lock()
        self.total = self.bucketed = self.fallback = self.padding = 0

    def py_record_allocation(self, size, padding, is_bucketed):
        with self.lock:
            self.total += 1
            self.padding = (self.padding + padding) & 0xFFFFFFFFFFFFFFFF
            if is_bucketed:
                self.bucketed += 1
            else:
                self.fallback += 1


IMPLS = ["korvane FastSlabHeaderOps", "struct + crcmod (Python)"]


@pytest.mark.benchmark(group="FastSlabHeaderOps.pack_header")
@pytest.mark.parametrize("impl", IMPLS)
def test_pack_header(benchmark, impl):
    header = FastSlabHeaderOps(3, 32) if impl.startswith("korvane") else PyHeader(3, 32)
    assert benchmark(header.pack_header) == bytes.fromhex("0300000000000028ffffffff00000000")


@pytest.mark.benchmark(group="FastSlabHeaderOps.unpack_header")
@pytest.mark.parametrize("impl", IMPLS)
def test_unpack_header(benchmark, impl):
    header = FastSlabHeaderOps(3, 32) if impl.startswith("korvane") else PyHeader(3, 32)
    record = FastSlabHeaderOps(7, 40).pack_header()
    benchmark(header.unpack_header, record)


@pytest.mark.benchmark(group="slab object find + allocate + release")
@pytest.mark.parametrize("impl", ["korvane FastSlabHeaderOps", "Python int bitmap"])
def test_find_and_allocate(benchmark, impl):
    if impl.startswith("korvane"):
        header = FastSlabHeaderOps(3, 32)
        find, allocate, release = (header.py_find_free_object, header.py_allocate_object_at,
                                   header.py_deallocate_object_at)
    else:
        header = PyHeader(3, 32)
        find, allocate, release = header.find_free_object, header.allocate_object_at, header.deallocate_object_at
    for i in range(5):
        allocate(i)

    def cycle():
        i = find()
        allocate(i)
        release(i)

    benchmark(cycle)


@pytest.mark.benchmark(group="FastBucketAllocator add_to_bucket + remove_from_bucket")
@pytest.mark.parametrize("impl", ["korvane FastBucketAllocator", "dict of lists + threading.Lock"])
def test_bucket_round_trip(benchmark, impl):
    buckets = FastBucketAllocator() if impl.startswith("korvane") else PyBuckets()
    add, remove = buckets.add_to_bucket, buckets.remove_from_bucket
    for offset in range(0, 4096, 64):
        add(offset, 64)

    def cycle():
        add(8192, 1024)
        return remove(1020)

    assert benchmark(cycle) == 8192


@pytest.mark.benchmark(group="FastBucketAllocator.find_best_fit_bucket from the largest bucket")
@pytest.mark.parametrize("impl", ["korvane FastBucketAllocator", "dict of lists + threading.Lock"])
def test_best_fit_scan(benchmark, impl):
    buckets = FastBucketAllocator() if impl.startswith("korvane") else PyBuckets()

    def cycle():
        buckets.add_to_bucket(8192, 4096)
        return buckets.find_best_fit_bucket(24, 16)

    assert benchmark(cycle) == 8192


@pytest.mark.benchmark(group="FastStatsCollector.py_record_allocation")
@pytest.mark.parametrize("impl", ["korvane FastStatsCollector", "Python with threading.Lock"])
def test_record_allocation(benchmark, impl):
    stats = FastStatsCollector() if impl.startswith("korvane") else PyStats()
    benchmark(stats.py_record_allocation, 64, 8, True)
