/* A native client of korvane's operation tables, built by the tests against
 * the installed headers only. The threaded entry points run the tables from
 * threads of their own that never hold the interpreter lock. */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <pthread.h>

#include <korvane.h>

static const KorvaneAtomicCounterOps *counter_ops;
static const KorvaneStatisticsOps *statistics_ops;
static const KorvaneSlabHeaderOps *header_ops;
static const KorvaneBucketAllocatorOps *allocator_ops;
static const KorvaneStatsCollectorOps *collector_ops;
static const KorvaneCounterAggregatorOps *aggregator_ops;

/* Every table in one order: the keys of the module attribute `tables`. */
static const KorvaneTableHead *heads[6];

#define MAX_THREADS 16

static uint64_t
next_random(uint64_t *state)
{
    uint64_t x = *state;
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    return *state = x;
}

/* Argument helpers: false with an exception set. */
static int
expect_args(const char *name, Py_ssize_t nargs, Py_ssize_t wanted)
{
    if (nargs == wanted) {
        return 1;
    }
    PyErr_Format(PyExc_TypeError, "%s() takes %zd arguments (%zd given)", name, wanted, nargs);
    return 0;
}

static int
expect_instance(int is_instance, PyTypeObject *type, PyObject *obj)
{
    if (is_instance) {
        return 1;
    }
    PyErr_Format(PyExc_TypeError, "expected %s, got %s", type->tp_name, Py_TYPE(obj)->tp_name);
    return 0;
}
#define EXPECT_INSTANCE(table, obj) expect_instance(KORVANE_CHECK(table, obj), (table)->type, (obj))

static int
to_count(PyObject *obj, long *out, long limit)
{
    *out = PyLong_AsLong(obj);
    if (*out == -1 && PyErr_Occurred()) {
        return 0;
    }
    if (*out < 1 || *out > limit) {
        PyErr_Format(PyExc_ValueError, "count %ld outside 1..%ld", *out, limit);
        return 0;
    }
    return 1;
}

/* Runs `body` on `threads` threads (the interpreter lock released until all
 * have ended); false with an exception set when one cannot be started. */
static int
run_threads(void *(*body)(void *), void *args, size_t arg_size, long threads)
{
    pthread_t ids[MAX_THREADS];
    long started = 0;
    int failed = 0;
    Py_BEGIN_ALLOW_THREADS
    for (; started < threads; started++) {
        if (pthread_create(&ids[started], NULL, body, (char *)args + started * arg_size) != 0) {
            failed = 1;
            break;
        }
    }
    for (long i = 0; i < started; i++) {
        pthread_join(ids[i], NULL);
    }
    Py_END_ALLOW_THREADS
    if (failed) {
        PyErr_SetString(PyExc_RuntimeError, "pthread_create failed");
    }
    return !failed;
}

/* --- import and type checks ------------------------------------------------ */

/* import_table(module, type, capsule, client_size) -> the table's size */
static PyObject *
import_table(PyObject *module, PyObject *const *args, Py_ssize_t nargs)
{
    (void)module;
    if (!expect_args("import_table", nargs, 4)) {
        return NULL;
    }
    const char *names[3];
    for (int i = 0; i < 3; i++) {
        if ((names[i] = PyUnicode_AsUTF8(args[i])) == NULL) {
            return NULL;
        }
    }
    Py_ssize_t client_size = PyLong_AsSsize_t(args[3]);
    if (client_size == -1 && PyErr_Occurred()) {
        return NULL;
    }
    const KorvaneTableHead *table = korvane_import_table(names[0], names[1], names[2], (size_t)client_size);
    return table == NULL ? NULL : PyLong_FromSize_t(table->size);
}

/* check(table_index, obj) -> KORVANE_CHECK of that table */
static PyObject *
check(PyObject *module, PyObject *const *args, Py_ssize_t nargs)
{
    (void)module;
    if (!expect_args("check", nargs, 2)) {
        return NULL;
    }
    Py_ssize_t index = PyLong_AsSsize_t(args[0]);
    if (index == -1 && PyErr_Occurred()) {
        return NULL;
    }
    if (index < 0 || index >= (Py_ssize_t)(sizeof heads / sizeof heads[0])) {
        PyErr_SetString(PyExc_IndexError, "no such table");
        return NULL;
    }
    return PyBool_FromLong(KORVANE_CHECK(heads[index], args[1]));
}

/* --- AtomicCounter ------------------------------------------------------- */

typedef struct {
    PyObject *counter;
    long iterations;
    int use_cas;
    long violations; /* a result not above the thread's previous one */
} CounterJob;

static void *
counter_body(void *arg)
{
    CounterJob *job = arg;
    int64_t previous = INT64_MIN;
    for (long i = 0; i < job->iterations; i++) {
        int64_t now;
        if (job->use_cas) {
            int64_t seen;
            do {
                seen = counter_ops->load(job->counter);
            } while (!counter_ops->compare_and_swap(job->counter, seen, seen + 1));
            now = seen + 1;
        } else {
            now = counter_ops->increment(job->counter, 1);
        }
        job->violations += now <= previous;
        previous = now;
    }
    return NULL;
}

/* count_up(counter, use_cas, threads, iterations) -> violations: each thread
 * adds 1 `iterations` times, by increment or by a compare-and-swap loop. */
static PyObject *
count_up(PyObject *module, PyObject *const *args, Py_ssize_t nargs)
{
    (void)module;
    long threads, iterations;
    if (!expect_args("count_up", nargs, 4) || !EXPECT_INSTANCE(counter_ops, args[0]) ||
        !to_count(args[2], &threads, MAX_THREADS) || !to_count(args[3], &iterations, 1L << 30)) {
        return NULL;
    }
    int use_cas = PyObject_IsTrue(args[1]);
    if (use_cas < 0) {
        return NULL;
    }
    CounterJob jobs[MAX_THREADS];
    for (long t = 0; t < threads; t++) {
        jobs[t] = (CounterJob){args[0], iterations, use_cas, 0};
    }
    if (!run_threads(counter_body, jobs, sizeof jobs[0], threads)) {
        return NULL;
    }
    long violations = 0;
    for (long t = 0; t < threads; t++) {
        violations += jobs[t].violations;
    }
    return PyLong_FromLong(violations);
}

/* --- LockFreeStatistics -------------------------------------------------- */

typedef struct {
    PyObject *statistics;
    long iterations;
    uint64_t seed;
    int64_t most_allocations, most_bytes; /* the largest candidates offered */
    long violations; /* a peak below the candidate just offered or below one read earlier */
} PeakJob;

static void *
peak_body(void *arg)
{
    PeakJob *job = arg;
    int64_t seen_allocations = INT64_MIN, seen_bytes = INT64_MIN;
    for (long i = 0; i < job->iterations; i++) {
        int64_t allocations = (int64_t)(next_random(&job->seed) >> 20) - ((int64_t)1 << 40);
        int64_t bytes = (int64_t)(next_random(&job->seed) >> 8);
        statistics_ops->raise_peak_allocations(job->statistics, allocations);
        statistics_ops->raise_peak_bytes(job->statistics, bytes);
        int64_t peak_allocations = statistics_ops->load_peak_allocations(job->statistics);
        int64_t peak_bytes = statistics_ops->load_peak_bytes(job->statistics);
        job->violations += peak_allocations < allocations || peak_allocations < seen_allocations;
        job->violations += peak_bytes < bytes || peak_bytes < seen_bytes;
        seen_allocations = peak_allocations;
        seen_bytes = peak_bytes;
        if (allocations > job->most_allocations) {
            job->most_allocations = allocations;
        }
        if (bytes > job->most_bytes) {
            job->most_bytes = bytes;
        }
    }
    return NULL;
}

/* raise_peaks(statistics, threads, iterations)
 *   -> (largest allocations offered, largest bytes offered, violations) */
static PyObject *
raise_peaks(PyObject *module, PyObject *const *args, Py_ssize_t nargs)
{
    (void)module;
    long threads, iterations;
    if (!expect_args("raise_peaks", nargs, 3) ||
        !EXPECT_INSTANCE(statistics_ops, args[0]) ||
        !to_count(args[1], &threads, MAX_THREADS) || !to_count(args[2], &iterations, 1L << 30)) {
        return NULL;
    }
    PeakJob jobs[MAX_THREADS];
    for (long t = 0; t < threads; t++) {
        jobs[t] = (PeakJob){args[0], iterations, 0x9E3779B97F4A7C15u * (uint64_t)(t + 1), INT64_MIN, INT64_MIN, 0};
    }
    if (!run_threads(peak_body, jobs, sizeof jobs[0], threads)) {
        return NULL;
    }
    int64_t most_allocations = INT64_MIN, most_bytes = INT64_MIN;
    long violations = 0;
    for (long t = 0; t < threads; t++) {
        most_allocations = jobs[t].most_allocations > most_allocations ? jobs[t].most_allocations : most_allocations;
        most_bytes = jobs[t].most_bytes > most_bytes ? jobs[t].most_bytes : most_bytes;
        violations += jobs[t].violations;
    }
    return Py_BuildValue("(LLl)", (long long)most_allocations, (long long)most_bytes, violations);
}

/* peaks(statistics) -> (peak allocations, peak bytes) */
static PyObject *
peaks(PyObject *module, PyObject *const *args, Py_ssize_t nargs)
{
    (void)module;
    if (!expect_args("peaks", nargs, 1) || !EXPECT_INSTANCE(statistics_ops, args[0])) {
        return NULL;
    }
    return Py_BuildValue("(LL)", (long long)statistics_ops->load_peak_allocations(args[0]),
                         (long long)statistics_ops->load_peak_bytes(args[0]));
}

/* --- slab engine ------------------------------------------------------------ */

typedef struct {
    pthread_mutex_t mutex; /* serialises every operation on the three objects */
    PyObject *header, *allocator, *collector;
    int owner[64]; /* thread holding the slot, -1 free, -2 not the client's */
    long allocations, deallocations, bucketed, violations;
    int64_t padding;
} Slab;

typedef struct {
    Slab *slab;
    int id;
    long iterations;
    uint64_t seed;
} SlabJob;

static void
release_one(Slab *s, int id, uint64_t r)
{
    for (int k = 0; k < 64; k++) {
        int slot = (int)((r + (uint64_t)k) % 64);
        if (s->owner[slot] == id) {
            header_ops->deallocate_object(s->header, slot);
            collector_ops->record_deallocation(s->collector);
            s->owner[slot] = -1;
            s->deallocations++;
            return;
        }
    }
}

static void *
slab_body(void *arg)
{
    SlabJob *job = arg;
    Slab *s = job->slab;
    for (long i = 0; i < job->iterations; i++) {
        uint64_t r = next_random(&job->seed);
        pthread_mutex_lock(&s->mutex);
        int32_t slot = (r & 3) != 0 ? header_ops->find_free_object(s->header) : -1;
        if (slot >= 0) {
            s->violations += !header_ops->is_object_free(s->header, slot) || s->owner[slot] != -1;
            header_ops->allocate_object(s->header, slot);
            s->violations += header_ops->is_object_free(s->header, slot);
            s->owner[slot] = job->id;
            s->allocations++;
            int32_t size = (int32_t)((r >> 8) % 5000) + 1;
            int32_t bucket = allocator_ops->get_bucket_size_fast(s->allocator, size);
            collector_ops->record_allocation(s->collector, size, bucket > 0 ? bucket - size : 0, bucket > 0);
            if (bucket > 0) {
                s->bucketed++;
                s->padding += bucket - size;
            }
        } else {
            release_one(s, job->id, r >> 16);
        }
        pthread_mutex_unlock(&s->mutex);
    }
    return NULL;
}

/* slab_churn(header, allocator, collector, threads, iterations) -> dict of
 * what the client did: slots taken and released, the bucketed allocations and
 * their padding, the slots it still holds (a mask), the header's checksum at
 * the end, and violations (a found slot that was not free, or stayed free). */
static PyObject *
slab_churn(PyObject *module, PyObject *const *args, Py_ssize_t nargs)
{
    (void)module;
    long threads, iterations;
    if (!expect_args("slab_churn", nargs, 5) || !EXPECT_INSTANCE(header_ops, args[0]) ||
        !EXPECT_INSTANCE(allocator_ops, args[1]) ||
        !EXPECT_INSTANCE(collector_ops, args[2]) ||
        !to_count(args[3], &threads, MAX_THREADS) || !to_count(args[4], &iterations, 1L << 30)) {
        return NULL;
    }
    Slab s = {.header = args[0], .allocator = args[1], .collector = args[2]};
    pthread_mutex_init(&s.mutex, NULL);
    for (int i = 0; i < 64; i++) {
        s.owner[i] = header_ops->is_object_free(s.header, i) ? -1 : -2;
    }
    SlabJob jobs[MAX_THREADS];
    for (long t = 0; t < threads; t++) {
        jobs[t] = (SlabJob){&s, (int)t, iterations, 0xD1B54A32D192ED03u * (uint64_t)(t + 1)};
    }
    int ok = run_threads(slab_body, jobs, sizeof jobs[0], threads);
    pthread_mutex_destroy(&s.mutex);
    if (!ok) {
        return NULL;
    }
    unsigned long long held = 0;
    for (int i = 0; i < 64; i++) {
        held |= (unsigned long long)(s.owner[i] >= 0) << i;
    }
    return Py_BuildValue("{s:l,s:l,s:l,s:L,s:K,s:i,s:l}", "allocations", s.allocations, "deallocations",
                         s.deallocations, "bucketed", s.bucketed, "padding", (long long)s.padding, "held", held,
                         "checksum", (int)header_ops->compute_checksum(s.header), "violations", s.violations);
}

/* bucket_sizes(allocator, sizes) -> [get_bucket_size_fast(size) for size in sizes] */
static PyObject *
bucket_sizes(PyObject *module, PyObject *const *args, Py_ssize_t nargs)
{
    (void)module;
    if (!expect_args("bucket_sizes", nargs, 2) || !EXPECT_INSTANCE(allocator_ops, args[0])) {
        return NULL;
    }
    PyObject *sizes = PySequence_Fast(args[1], "sizes must be a sequence");
    if (sizes == NULL) {
        return NULL;
    }
    Py_ssize_t n = PySequence_Fast_GET_SIZE(sizes);
    PyObject *result = PyList_New(n);
    for (Py_ssize_t i = 0; result != NULL && i < n; i++) {
        long size = PyLong_AsLong(PySequence_Fast_GET_ITEM(sizes, i));
        PyObject *bucket = size == -1 && PyErr_Occurred()
                               ? NULL
                               : PyLong_FromLong(allocator_ops->get_bucket_size_fast(args[0], (int32_t)size));
        if (bucket == NULL) {
            Py_CLEAR(result);
        } else {
            PyList_SET_ITEM(result, i, bucket);
        }
    }
    Py_DECREF(sizes);
    return result;
}

/* --- CounterAggregator (interpreter lock held) ------------------------------ */

/* update_and_read(aggregator, counter_id, value) -> get_stats(counter_id) */
static PyObject *
update_and_read(PyObject *module, PyObject *const *args, Py_ssize_t nargs)
{
    (void)module;
    if (!expect_args("update_and_read", nargs, 3) ||
        !EXPECT_INSTANCE(aggregator_ops, args[0])) {
        return NULL;
    }
    long id = PyLong_AsLong(args[1]);
    if (id == -1 && PyErr_Occurred()) {
        return NULL;
    }
    double value = PyFloat_AsDouble(args[2]);
    if ((value == -1.0 && PyErr_Occurred()) || aggregator_ops->update(args[0], (int32_t)id, value) < 0) {
        return NULL;
    }
    return aggregator_ops->get_stats(args[0], (int32_t)id);
}

/* --- per-call cost -------------------------------------------------------- */

/* table_increments(counter, n): n increments through the table in a C loop */
static PyObject *
table_increments(PyObject *module, PyObject *const *args, Py_ssize_t nargs)
{
    (void)module;
    long n;
    if (!expect_args("table_increments", nargs, 2) ||
        !EXPECT_INSTANCE(counter_ops, args[0]) || !to_count(args[1], &n, LONG_MAX)) {
        return NULL;
    }
    int64_t (*increment)(PyObject *, int64_t) = counter_ops->increment;
    int64_t last = 0;
    Py_BEGIN_ALLOW_THREADS
    for (long i = 0; i < n; i++) {
        last = increment(args[0], 1);
    }
    Py_END_ALLOW_THREADS
    return PyLong_FromLongLong(last);
}

/* method_increments(counter, n): n calls of its Python method increment() in
 * a C loop, as a native caller without the table would make them */
static PyObject *
method_increments(PyObject *module, PyObject *const *args, Py_ssize_t nargs)
{
    (void)module;
    long n;
    if (!expect_args("method_increments", nargs, 2) || !to_count(args[1], &n, LONG_MAX)) {
        return NULL;
    }
    PyObject *name = PyUnicode_InternFromString("increment");
    if (name == NULL) {
        return NULL;
    }
    PyObject *last = NULL;
    for (long i = 0; i < n; i++) {
        Py_XDECREF(last);
        last = PyObject_VectorcallMethod(name, args, 1, NULL);
        if (last == NULL) {
            break;
        }
    }
    Py_DECREF(name);
    return last;
}

/* --- module ------------------------------------------------------------------ */

#define FASTCALL(f) (PyCFunction)(void (*)(void))(f), METH_FASTCALL

static PyMethodDef client_methods[] = {
    {"import_table", FASTCALL(import_table), NULL},
    {"check", FASTCALL(check), NULL},
    {"count_up", FASTCALL(count_up), NULL},
    {"raise_peaks", FASTCALL(raise_peaks), NULL},
    {"peaks", FASTCALL(peaks), NULL},
    {"slab_churn", FASTCALL(slab_churn), NULL},
    {"bucket_sizes", FASTCALL(bucket_sizes), NULL},
    {"update_and_read", FASTCALL(update_and_read), NULL},
    {"table_increments", FASTCALL(table_increments), NULL},
    {"method_increments", FASTCALL(method_increments), NULL},
    {NULL, NULL, 0, NULL},
};

/* Imports every table; the module attribute `tables` maps each capsule name
 * to (the table's size, the size this client was compiled with, its type). */
static int
client_exec(PyObject *module)
{
    if ((counter_ops = korvane_import_atomic_counter_ops()) == NULL ||
        (statistics_ops = korvane_import_statistics_ops()) == NULL ||
        (header_ops = korvane_import_slab_header_ops()) == NULL ||
        (allocator_ops = korvane_import_bucket_allocator_ops()) == NULL ||
        (collector_ops = korvane_import_stats_collector_ops()) == NULL ||
        (aggregator_ops = korvane_import_counter_aggregator_ops()) == NULL) {
        return -1;
    }
    const char *names[6] = {KORVANE_ATOMIC_COUNTER_OPS_CAPSULE, KORVANE_STATISTICS_OPS_CAPSULE,
                            KORVANE_SLAB_HEADER_OPS_CAPSULE,    KORVANE_BUCKET_ALLOCATOR_OPS_CAPSULE,
                            KORVANE_STATS_COLLECTOR_OPS_CAPSULE, KORVANE_COUNTER_AGGREGATOR_OPS_CAPSULE};
    size_t compiled[6] = {sizeof *counter_ops,   sizeof *statistics_ops, sizeof *header_ops,
                          sizeof *allocator_ops, sizeof *collector_ops,  sizeof *aggregator_ops};
    heads[0] = (const KorvaneTableHead *)counter_ops;
    heads[1] = (const KorvaneTableHead *)statistics_ops;
    heads[2] = (const KorvaneTableHead *)header_ops;
    heads[3] = (const KorvaneTableHead *)allocator_ops;
    heads[4] = (const KorvaneTableHead *)collector_ops;
    heads[5] = (const KorvaneTableHead *)aggregator_ops;
    PyObject *tables = PyDict_New();
    if (tables == NULL) {
        return -1;
    }
    for (int i = 0; i < 6; i++) {
        PyObject *entry = Py_BuildValue("(nnO)", (Py_ssize_t)heads[i]->size, (Py_ssize_t)compiled[i],
                                        (PyObject *)heads[i]->type);
        if (entry == NULL || PyDict_SetItemString(tables, names[i], entry) < 0) {
            Py_XDECREF(entry);
            Py_DECREF(tables);
            return -1;
        }
        Py_DECREF(entry);
    }
    return PyModule_Add(module, "tables", tables);
}

static PyModuleDef_Slot client_slots[] = {{Py_mod_exec, client_exec}, {0, NULL}};

static struct PyModuleDef client_module = {
    PyModuleDef_HEAD_INIT, "c_api_client", NULL, 0, client_methods, client_slots, NULL, NULL, NULL,
};

PyMODINIT_FUNC
PyInit_c_api_client(void)
{
    return PyModuleDef_Init(&client_module);
}
