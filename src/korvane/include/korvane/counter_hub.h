/* Native operation table of korvane.monitoring.counter_hub, for other native
 * code. Table layout, versioning and import: korvane/capi.h.
 *
 *   static const KorvaneCounterAggregatorOps *aggregator_ops;
 *   aggregator_ops = korvane_import_counter_aggregator_ops();   (module init)
 *   if (!KORVANE_CHECK(aggregator_ops, obj)) ...
 *   if (aggregator_ops->update(obj, 3, 1.5) < 0) return NULL;
 *
 * Unlike the memory tables, every operation here must be called holding the
 * interpreter lock: each takes the aggregator's threading.Lock, and on an
 * instance of a Python subclass that overrides the method of the same name it
 * calls that override instead. Each takes an instance of the table's type
 * (exactly, or a subclass). int results are 0, or -1 with an exception set;
 * object results are new references, or NULL with an exception set.
 *
 * On a free-threaded build (3.13t) there is no interpreter lock: call them
 * with an attached thread state. Any number of threads may then use one
 * aggregator at once; its lock serialises every record access, as it does
 * for the Python methods. */
#ifndef KORVANE_COUNTER_HUB_H
#define KORVANE_COUNTER_HUB_H

#include <stdint.h>

#include "capi.h"

#ifdef __cplusplus
extern "C" {
#endif

#define KORVANE_COUNTER_AGGREGATOR_OPS_CAPSULE "korvane.monitoring.counter_hub.CounterAggregator._native_ops"

/* CounterAggregator. Later operations are appended, never reordered. */
typedef struct {
    size_t size;
    PyTypeObject *type;
    int (*update)(PyObject *aggregator, int32_t counter_id, double value);
    PyObject *(*get_stats)(PyObject *aggregator, int32_t counter_id);  /* a dict */
    int (*reset)(PyObject *aggregator, int32_t counter_id);
    int (*reset_all)(PyObject *aggregator);
    PyObject *(*get_all_stats)(PyObject *aggregator);  /* a list of (id, dict) */
} KorvaneCounterAggregatorOps;

/* The table, or NULL with ImportError set (see korvane_import_table). */
static inline const KorvaneCounterAggregatorOps *
korvane_import_counter_aggregator_ops(void)
{
    return (const KorvaneCounterAggregatorOps *)korvane_import_table(
        "korvane.monitoring.counter_hub", "CounterAggregator", KORVANE_COUNTER_AGGREGATOR_OPS_CAPSULE,
        sizeof(KorvaneCounterAggregatorOps));
}

#ifdef __cplusplus
}
#endif

#endif
