/* Native operation tables of korvane.memory.lockfree_core, for other native
 * code. Table layout, versioning and import: korvane/capi.h.
 *
 *   static const KorvaneAtomicCounterOps *counter_ops;
 *   counter_ops = korvane_import_atomic_counter_ops();   (module init)
 *   if (!KORVANE_CHECK(counter_ops, obj)) ...             (with the interpreter lock)
 *   int64_t now = counter_ops->increment(obj, 1);          (from any thread)
 *
 * Every operation takes an instance of the table's type (exactly, or a
 * subclass) that the caller keeps alive, may be called from any thread
 * without holding the interpreter lock, and touches nothing but the
 * instance's native fields, atomically: Python code and other threads may
 * use the same instance at the same time. All atomic operations are
 * sequentially consistent; arithmetic wraps around in two's complement.
 *
 * The same holds on a free-threaded build (3.13t): the operations need no
 * attached thread state and run in parallel with every Python method on the
 * same instance. What needs one there is what needs the interpreter lock
 * elsewhere: KORVANE_CHECK, the import, and taking the reference that keeps
 * the instance alive (for a LockFreeStatistics' public counter, a new
 * reference from PyObject_GetAttr: another thread may replace the attribute
 * and drop the object it held). */
#ifndef KORVANE_LOCKFREE_CORE_H
#define KORVANE_LOCKFREE_CORE_H

#include <stdint.h>

#include "capi.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KORVANE_ATOMIC_COUNTER_OPS_CAPSULE "korvane.memory.lockfree_core.AtomicCounter._native_ops"
#define KORVANE_STATISTICS_OPS_CAPSULE "korvane.memory.lockfree_core.LockFreeStatistics._native_ops"

/* AtomicCounter. Later operations are appended, never reordered. */
typedef struct {
    size_t size;
    PyTypeObject *type;
    int64_t (*load)(PyObject *counter);
    void (*store)(PyObject *counter, int64_t value);
    int64_t (*increment)(PyObject *counter, int64_t delta);  /* returns the new value */
    int64_t (*decrement)(PyObject *counter, int64_t delta);  /* returns the new value */
    /* 1 when the value equalled `expected` and is now `new_value`, else 0. */
    int (*compare_and_swap)(PyObject *counter, int64_t expected, int64_t new_value);
    int64_t (*fetch_and_add)(PyObject *counter, int64_t delta);  /* returns the old value */
} KorvaneAtomicCounterOps;

/* LockFreeStatistics: its native peaks, which the Python-level
 * py_record_allocation raises and reset zeroes (the public AtomicCounter
 * attributes are separate). Later operations are appended, never reordered. */
typedef struct {
    size_t size;
    PyTypeObject *type;
    /* Raise the peak to `candidate` if it is larger (lock-free maximum); a
     * peak never decreases except through reset. */
    void (*raise_peak_allocations)(PyObject *statistics, int64_t candidate);
    void (*raise_peak_bytes)(PyObject *statistics, int64_t candidate);
    int64_t (*load_peak_allocations)(PyObject *statistics);
    int64_t (*load_peak_bytes)(PyObject *statistics);
} KorvaneStatisticsOps;

/* The tables, or NULL with ImportError set (see korvane_import_table). */
static inline const KorvaneAtomicCounterOps *
korvane_import_atomic_counter_ops(void)
{
    return (const KorvaneAtomicCounterOps *)korvane_import_table(
        "korvane.memory.lockfree_core", "AtomicCounter", KORVANE_ATOMIC_COUNTER_OPS_CAPSULE,
        sizeof(KorvaneAtomicCounterOps));
}

static inline const KorvaneStatisticsOps *
korvane_import_statistics_ops(void)
{
    return (const KorvaneStatisticsOps *)korvane_import_table(
        "korvane.memory.lockfree_core", "LockFreeStatistics", KORVANE_STATISTICS_OPS_CAPSULE,
        sizeof(KorvaneStatisticsOps));
}

#ifdef __cplusplus
}
#endif

#endif
