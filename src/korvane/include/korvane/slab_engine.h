/* Native operation tables of korvane.memory.slab_engine, for other native
 * code. Table layout, versioning and import: korvane/capi.h.
 *
 *   static const KorvaneSlabHeaderOps *header_ops;
 *   header_ops = korvane_import_slab_header_ops();        (module init)
 *   if (!KORVANE_CHECK(header_ops, obj)) ...               (with the interpreter lock)
 *   int32_t slot = header_ops->find_free_object(obj);
 *
 * Every operation takes an instance of the table's type (exactly, or a
 * subclass) that the caller keeps alive, and touches nothing but the
 * instance's native fields. None of them locks. Holding the interpreter lock,
 * a caller may use them freely: the Python methods change the same fields
 * only under that lock. Without it, the caller serialises the operations
 * that change an instance (and the reads that must see a consistent
 * instance) itself, and lets no Python code use that instance meanwhile.
 * get_bucket_size_fast reads only what the constructor set and needs no
 * serialisation.
 *
 * On a free-threaded build there is no interpreter lock to hold. There the
 * Python methods of FastSlabHeaderOps change a header inside a critical
 * section on it: a caller with an attached thread state that runs the header
 * operations inside Py_BEGIN_CRITICAL_SECTION(header) may use them freely.
 * The collector's operations add to its counters atomically there, so they
 * never lose a count beside the Python methods or each other.
 *
 * Slot indexes outside 0..63 (negative ones included) are not slots: they
 * are never free and allocating or releasing them leaves the bitmap alone. */
#ifndef KORVANE_SLAB_ENGINE_H
#define KORVANE_SLAB_ENGINE_H

#include <stdint.h>

#include "capi.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KORVANE_SLAB_HEADER_OPS_CAPSULE "korvane.memory.slab_engine.FastSlabHeaderOps._native_ops"
#define KORVANE_BUCKET_ALLOCATOR_OPS_CAPSULE "korvane.memory.slab_engine.FastBucketAllocator._native_ops"
#define KORVANE_STATS_COLLECTOR_OPS_CAPSULE "korvane.memory.slab_engine.FastStatsCollector._native_ops"

/* FastSlabHeaderOps. Later operations are appended, never reordered. */
typedef struct {
    size_t size;
    PyTypeObject *type;
    int (*is_object_free)(PyObject *header, int32_t index);
    /* Marks the slot used, sets flag 0x10 and counts one change. */
    void (*allocate_object)(PyObject *header, int32_t index);
    /* Marks the slot free, counts one change and clears flag 0x10 once every
     * slot of the slab is free again. */
    void (*deallocate_object)(PyObject *header, int32_t index);
    /* The lowest free slot, or -1. */
    int32_t (*find_free_object)(PyObject *header);
    /* CRC-16/MODBUS of the size class, flags and change counter. */
    uint16_t (*compute_checksum)(PyObject *header);
} KorvaneSlabHeaderOps;

/* FastBucketAllocator. Later operations are appended, never reordered. */
typedef struct {
    size_t size;
    PyTypeObject *type;
    /* The bucket size serving a request of `size` bytes, or -1 when no
     * bucket can (above the medium range). Zero or negative for sizes of
     * zero and below. */
    int32_t (*get_bucket_size_fast)(PyObject *allocator, int32_t size);
} KorvaneBucketAllocatorOps;

/* FastStatsCollector. Later operations are appended, never reordered. */
typedef struct {
    size_t size;
    PyTypeObject *type;
    void (*record_allocation)(PyObject *collector, int32_t size, int32_t padding, int is_bucketed);
    void (*record_deallocation)(PyObject *collector);
} KorvaneStatsCollectorOps;

/* The tables, or NULL with ImportError set (see korvane_import_table). */
static inline const KorvaneSlabHeaderOps *
korvane_import_slab_header_ops(void)
{
    return (const KorvaneSlabHeaderOps *)korvane_import_table(
        "korvane.memory.slab_engine", "FastSlabHeaderOps", KORVANE_SLAB_HEADER_OPS_CAPSULE,
        sizeof(KorvaneSlabHeaderOps));
}

static inline const KorvaneBucketAllocatorOps *
korvane_import_bucket_allocator_ops(void)
{
    return (const KorvaneBucketAllocatorOps *)korvane_import_table(
        "korvane.memory.slab_engine", "FastBucketAllocator", KORVANE_BUCKET_ALLOCATOR_OPS_CAPSULE,
        sizeof(KorvaneBucketAllocatorOps));
}

static inline const KorvaneStatsCollectorOps *
korvane_import_stats_collector_ops(void)
{
    return (const KorvaneStatsCollectorOps *)korvane_import_table(
        "korvane.memory.slab_engine", "FastStatsCollector", KORVANE_STATS_COLLECTOR_OPS_CAPSULE,
        sizeof(KorvaneStatsCollectorOps));
}

#ifdef __cplusplus
}
#endif

#endif
