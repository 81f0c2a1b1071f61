/* Native operation tables of korvane.memory.slab_engine, for other native
 * code. Each table is published as a capsule in its type's dictionary:
 *
 *   PyObject *cap = PyObject_GetAttrString(FastSlabHeaderOps_type, "_native_ops");
 *   const KorvaneSlabHeaderOps *ops =
 *       PyCapsule_GetPointer(cap, KORVANE_SLAB_HEADER_OPS_CAPSULE);
 *   int32_t slot = ops->find_free_object(header);
 *
 * Every operation takes an instance of the type (exactly, or a subclass),
 * may be called without holding the interpreter lock and touches nothing but
 * the instance's native fields. None of them locks: callers running them
 * without the interpreter lock serialise them per instance themselves.
 *
 * Slot indexes outside 0..63 (negative ones included) are not slots: they
 * are never free and allocating or releasing them leaves the bitmap alone. */
#ifndef KORVANE_SLAB_ENGINE_H
#define KORVANE_SLAB_ENGINE_H

#include <Python.h>
#include <stdint.h>

#define KORVANE_SLAB_HEADER_OPS_CAPSULE "korvane.memory.slab_engine.FastSlabHeaderOps._native_ops"
#define KORVANE_BUCKET_ALLOCATOR_OPS_CAPSULE "korvane.memory.slab_engine.FastBucketAllocator._native_ops"
#define KORVANE_STATS_COLLECTOR_OPS_CAPSULE "korvane.memory.slab_engine.FastStatsCollector._native_ops"

typedef struct {
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

typedef struct {
    /* The bucket size serving a request of `size` bytes, or -1 when no
     * bucket can (above the medium range). Zero or negative for sizes of
     * zero and below. */
    int32_t (*get_bucket_size_fast)(PyObject *allocator, int32_t size);
} KorvaneBucketAllocatorOps;

typedef struct {
    void (*record_allocation)(PyObject *collector, int32_t size, int32_t padding, int is_bucketed);
    void (*record_deallocation)(PyObject *collector);
} KorvaneStatsCollectorOps;

#endif
