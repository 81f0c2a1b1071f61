/* Native operation tables of korvane.memory.lockfree_core, for other native
 * code. Each table is published as a capsule in its type's dictionary:
 *
 *   PyObject *cap = PyObject_GetAttrString(AtomicCounter_type, "_native_ops");
 *   const KorvaneAtomicCounterOps *ops =
 *       PyCapsule_GetPointer(cap, KORVANE_ATOMIC_COUNTER_OPS_CAPSULE);
 *   int64_t now = ops->increment(counter, 1);
 *
 * Every operation takes an instance of the type (exactly, or a subclass),
 * may be called without holding the interpreter lock, and touches nothing but
 * the instance's native fields. All atomic operations are sequentially
 * consistent; arithmetic wraps around in two's complement. */
#ifndef KORVANE_LOCKFREE_CORE_H
#define KORVANE_LOCKFREE_CORE_H

#include <Python.h>
#include <stdint.h>

#define KORVANE_ATOMIC_COUNTER_OPS_CAPSULE "korvane.memory.lockfree_core.AtomicCounter._native_ops"
#define KORVANE_STATISTICS_OPS_CAPSULE "korvane.memory.lockfree_core.LockFreeStatistics._native_ops"

typedef struct {
    int64_t (*load)(PyObject *counter);
    void (*store)(PyObject *counter, int64_t value);
    int64_t (*increment)(PyObject *counter, int64_t delta);  /* returns the new value */
    int64_t (*decrement)(PyObject *counter, int64_t delta);  /* returns the new value */
    int (*compare_and_swap)(PyObject *counter, int64_t expected, int64_t new_value);
    int64_t (*fetch_and_add)(PyObject *counter, int64_t delta);  /* returns the old value */
} KorvaneAtomicCounterOps;

typedef struct {
    /* Raise the native peak to `candidate` if it is larger (lock-free maximum). */
    void (*raise_peak_allocations)(PyObject *statistics, int64_t candidate);
    void (*raise_peak_bytes)(PyObject *statistics, int64_t candidate);
} KorvaneStatisticsOps;

#endif
