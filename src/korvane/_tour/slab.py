"""A slab: objects in its bitmap, its checked header, bucket free lists and statistics."""

import logging

from korvane._tour import heading, show
from korvane.memory.slab_engine import (
    FastBucketAllocator,
    FastSlabHeaderOps,
    FastStatsCollector,
    fast_align_size,
    fast_can_fit_aligned,
)


class _Keep(logging.Handler):
    def __init__(self) -> None:
        super().__init__()
        self.messages: list[str] = []

    def emit(self, record: logging.LogRecord) -> None:
        self.messages.append(f"{record.levelname}: {record.getMessage()}")


def run() -> None:
    heading("slab engine: a 32-object slab and its 16-byte header")
    slab = FastSlabHeaderOps(3, 32)
    for _ in range(3):
        slab.py_allocate_object_at(slab.py_find_free_object())
    slab.py_deallocate_object_at(1)
    show("took slots 0-2, released 1", f"next free slot {slab.py_find_free_object()}")
    record = slab.pack_header()
    show("packed header", record.hex(" "))

    copy = FastSlabHeaderOps(0, 32)
    copy.unpack_header(record)
    show("reloaded intact: flags", f"0x{copy.pack_header()[1]:02x} (0x10: has objects)")

    corrupt = bytearray(record)
    corrupt[2] ^= 0x01  # one bit of the change counter
    logger = logging.getLogger("korvane.memory.slab_engine")
    keep, propagate = _Keep(), logger.propagate
    logger.addHandler(keep)
    logger.propagate = False
    try:
        copy.unpack_header(bytes(corrupt))
    finally:
        logger.removeHandler(keep)
        logger.propagate = propagate
    show("byte 2 flipped, reloaded: flags", f"0x{copy.pack_header()[1]:02x} (0x80: checksum failed)")
    for message in keep.messages:
        show("logged", message)

    heading("slab engine: size buckets, alignment and statistics")
    buckets = FastBucketAllocator()
    stats = FastStatsCollector()
    for offset, size in ((0, 64), (64, 64), (128, 24), (4096, 1024)):
        buckets.add_to_bucket(offset, size)
    show("remove_from_bucket(60)", buckets.remove_from_bucket(60))
    show("find_best_fit_bucket(100, 64)", buckets.find_best_fit_bucket(100, 64))
    show("fast_align_size(100, 64)", fast_align_size(100, 64))
    show("fast_can_fit_aligned(8,64,56,16)", fast_can_fit_aligned(8, 64, 56, 16))
    for padding, bucketed in ((4, True), (0, True), (12, False)):
        stats.py_record_allocation(64, padding, bucketed)
    for key, value in stats.get_stats().items():
        show(key, value)
