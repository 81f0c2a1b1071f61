// korvane.monitoring.counter_hub: a fixed-size table of running counter
// statistics (count, mean, variance, min, max) guarded by one lock.

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "kv/frame.hpp"
#include "korvane/counter_hub.h"

// pow is bound to its first glibc symbol version, which every glibc serves
// (from 2.29 on as a thin wrapper around the same implementation as the
// default version), so that the module loads on older glibc releases and
// still computes exactly what the interpreter's float power does.
#if defined(__GLIBC__) && defined(__x86_64__)
__asm__(".symver pow,pow@GLIBC_2.2.5");
#elif defined(__GLIBC__) && defined(__aarch64__)
__asm__(".symver pow,pow@GLIBC_2.17");
#endif

namespace {

using kv::Ref;

kv::Name n_threading{"threading"};
kv::Name n_update{"update"};
kv::Name n_get_stats{"get_stats"};
kv::Name n_reset{"reset"};
kv::Name n_reset_all{"reset_all"};
kv::Name n_get_all_stats{"get_all_stats"};
kv::Name key_names[] = {kv::Name{"count"}, kv::Name{"mean"}, kv::Name{"variance"},
                        kv::Name{"std"},   kv::Name{"min"},  kv::Name{"max"}};
constexpr int kKeyCount = 6;

// Makes the get_stats dicts: the keys above, in table order.
kv::FixedKeysDict<kKeyCount> stats_keys;

constexpr double kInf = std::numeric_limits<double>::infinity();

struct Record {
  uint64_t count;  // get_all_stats reads it without the lock: relaxed accesses
  double sum;
  double sum_sq;
  double min;
  double max;
};
static_assert(sizeof(Record) == 40);

struct Aggregator {
  PyObject_HEAD
  Record* counters;  // malloc'ed by the constructor, freed by the deallocator
  int32_t num_counters;
  PyObject* lock;  // threading.Lock; every record access holds it, but the count check of get_all_stats
};

PyTypeObject AggregatorType{PyVarObject_HEAD_INIT(nullptr, 0)};

inline Aggregator* as_agg(PyObject* o) { return reinterpret_cast<Aggregator*>(o); }

inline void reset_record(Record& r) {
  kv::store_relaxed(r.count, 0);
  r.sum = 0.0;
  r.sum_sq = 0.0;
  r.min = kInf;
  r.max = -kInf;
}


// The get_stats dict of a record without samples, made at import; results
// are copies of it, so they share its values (identity is not part of the
// result's contract).
PyObject* empty_stats;

// ---------------------------------------------------------------------------
// Construction and lifetime

kv::Params<1> new_params{"__init__", {"num_counters"}, 0};

PyObject* agg_construct(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!kv::parse(new_params, args, nargs, kwnames, a)) return nullptr;
  int32_t n = 1000;
  if (a[0] != nullptr && !kv::to_i32(a[0], &n)) return nullptr;
  // The sign is checked before the size is formed: a negative count must not
  // reach the allocator as a wrapped-around request. 40 * (2**31 - 1) bytes
  // cannot overflow a 64-bit product, which must then fit size_t. malloc(0)
  // may return null, so an empty table still takes one byte.
  if (n < 0) {
    PyErr_SetString(PyExc_MemoryError, "Failed to allocate counter storage");
    return nullptr;
  }
  uint64_t bytes = static_cast<uint64_t>(n) * sizeof(Record);
  Record* counters = nullptr;
  if (bytes <= std::numeric_limits<std::size_t>::max()) {
    counters = static_cast<Record*>(std::malloc(bytes != 0 ? static_cast<std::size_t>(bytes) : 1));
  }
  if (counters == nullptr) {
    PyErr_SetString(PyExc_MemoryError, "Failed to allocate counter storage");
    return nullptr;
  }
  std::memset(counters, 0, static_cast<std::size_t>(bytes));
  for (int32_t i = 0; i < n; ++i) {
    counters[i].min = kInf;
    counters[i].max = -kInf;
  }
  Ref threading = Ref::steal(kv::module_global(n_threading));
  Ref lock = threading ? Ref::steal(kv::new_lock(threading.get())) : Ref();
  Aggregator* self = lock ? kv::alloc_instance<Aggregator>(type) : nullptr;
  if (self == nullptr) {
    std::free(counters);
    return nullptr;
  }
  self->counters = counters;
  self->num_counters = n;
  self->lock = lock.release();
  return reinterpret_cast<PyObject*>(self);
}

int agg_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(as_agg(self)->lock);
  return 0;
}

// The records stay until deallocation: a finaliser that runs after the
// collector cleared the lock may still reach the object, and then fails on
// the missing lock instead of reading freed memory.
int agg_clear(PyObject* self) {
  Py_CLEAR(as_agg(self)->lock);
  return 0;
}

int agg_release(PyObject* self) {
  agg_clear(self);
  Aggregator* a = as_agg(self);
  std::free(a->counters);
  a->counters = nullptr;
  return 0;
}

// ---------------------------------------------------------------------------
// Record operations: the bodies shared by the Python methods and the native
// operations (which first look for a Python override).

KV_COLD void raise_bad_id(int32_t id) { PyErr_Format(PyExc_IndexError, "Counter ID %d out of range", id); }

// False with IndexError set when `id` is not a valid counter id.
inline bool check_id(Aggregator* a, int32_t id) {
  if (id < 0 || id >= a->num_counters) [[unlikely]] {
    raise_bad_id(id);
    return false;
  }
  return true;
}

int do_update(PyObject* self, int32_t id, double value) {
  Aggregator* a = as_agg(self);
  if (!check_id(a, id)) return -1;
  kv::Locked guard(a->lock, kv::native_section);
  if (!guard.ok()) return -1;
  Record& r = a->counters[id];
  kv::store_relaxed(r.count, r.count + 1);
  r.sum += value;
  r.sum_sq += value * value;
  if (r.min > value) r.min = value;
  if (value > r.max) r.max = value;
  return guard.leave() ? 0 : -1;
}

// variance ** 0.5 with Python's float semantics: libm's pow for a variance
// that is not below zero (what float.__pow__ computes there), the
// interpreter's own power otherwise (a complex number for a negative
// variance, NaN passed through for a NaN one).
PyObject* half_power(double variance) {
  if (variance >= 0.0) [[likely]] return PyFloat_FromDouble(std::pow(variance, 0.5));
  Ref base = Ref::steal(PyFloat_FromDouble(variance));
  Ref half = Ref::steal(PyFloat_FromDouble(0.5));
  if (!base || !half) return nullptr;
  return PyNumber_Power(base.get(), half.get(), Py_None);
}

// The statistics dict of a record copied under the lock: a new dict with the
// keys in table order, or null with an exception set.
PyObject* stats_dict(const Record& r) {
  if (r.count == 0) return PyDict_Copy(empty_stats);
  double n = static_cast<double>(r.count);
  double mean = r.sum / n;
  double variance = r.sum_sq / n - mean * mean;
  PyObject* values[kKeyCount] = {};  // made in order, up to the first failure
  (values[0] = kv::from_u64(r.count)) && (values[1] = PyFloat_FromDouble(mean)) &&
      (values[2] = PyFloat_FromDouble(variance)) && (values[3] = half_power(variance)) &&
      (values[4] = PyFloat_FromDouble(r.min)) && (values[5] = PyFloat_FromDouble(r.max));
  return stats_keys.make(values);
}

PyObject* do_get_stats(PyObject* self, int32_t id) {
  Aggregator* a = as_agg(self);
  if (!check_id(a, id)) return nullptr;
  Record copy;
  {
    kv::Locked guard(a->lock, kv::native_section);
    if (!guard.ok()) return nullptr;
    copy = a->counters[id];
    if (!guard.leave()) return nullptr;
  }
  // Built after leaving the lock: nothing that allocates runs while it is held.
  return stats_dict(copy);
}

int do_reset(PyObject* self, int32_t id) {
  Aggregator* a = as_agg(self);
  if (!check_id(a, id)) return -1;
  kv::Locked guard(a->lock, kv::native_section);
  if (!guard.ok()) return -1;
  reset_record(a->counters[id]);
  return guard.leave() ? 0 : -1;
}

int do_reset_all(PyObject* self) {
  Aggregator* a = as_agg(self);
  kv::Locked guard(a->lock, kv::native_section);
  if (!guard.ok()) return -1;
  for (int32_t i = 0; i < a->num_counters; ++i) reset_record(a->counters[i]);
  return guard.leave() ? 0 : -1;
}

PyObject* native_get_stats(PyObject* self, int32_t id);

PyObject* do_get_all_stats(PyObject* self) {
  Aggregator* a = as_agg(self);
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return nullptr;
  // num_counters never changes and the records live as long as the object,
  // so an override of get_stats that resets counters cannot upset the walk.
  for (int32_t i = 0; i < a->num_counters; ++i) {
    if (kv::load_relaxed(a->counters[i].count) == 0) continue;  // read without the lock
    Ref stats = Ref::steal(native_get_stats(self, i));
    if (!stats) return nullptr;
    Ref id = Ref::steal(PyLong_FromLong(i));
    if (!id) return nullptr;
    Ref item = Ref::steal(PyTuple_Pack(2, id.get(), stats.get()));
    if (!item || PyList_Append(list.get(), item.get()) < 0) return nullptr;
  }
  return list.release();
}

// ---------------------------------------------------------------------------
// Native operations. On an instance whose type is a Python subclass, each one
// looks the method up on the instance and calls what it finds unless that is
// this module's own method.

// The method objects put into the type's dictionary, in table order.
enum Op : int { kUpdate, kGetStats, kReset, kResetAll, kGetAllStats, kOpCount };
PyObject* own_methods[kOpCount];
const kv::Name* op_names[kOpCount] = {&n_update, &n_get_stats, &n_reset, &n_reset_all, &n_get_all_stats};

// A new reference to the override of `op` on `self`, an empty Ref when the
// module's own method applies; `failed` is set when the lookup raised.
Ref find_override(PyObject* self, Op op, bool& failed) {
  failed = false;
  if (Py_TYPE(self) == &AggregatorType) [[likely]] return Ref();
  Ref m = Ref::steal(PyObject_GetAttr(self, op_names[op]->get()));
  if (!m) {
    failed = true;
    return Ref();
  }
  if (PyMethod_Check(m.get()) && PyMethod_GET_FUNCTION(m.get()) == own_methods[op] &&
      PyMethod_GET_SELF(m.get()) == self) {
    return Ref();
  }
  return m;
}

int native_update(PyObject* self, int32_t id, double value) {
  bool failed;
  Ref override = find_override(self, kUpdate, failed);
  if (failed) return -1;
  if (!override) return do_update(self, id, value);
  Ref id_obj = Ref::steal(PyLong_FromLong(id));
  Ref value_obj = Ref::steal(PyFloat_FromDouble(value));
  if (!id_obj || !value_obj) return -1;
  Ref r = Ref::steal(kv::call(override.get(), {id_obj.get(), value_obj.get()}));
  return r ? 0 : -1;
}

PyObject* native_get_stats(PyObject* self, int32_t id) {
  bool failed;
  Ref override = find_override(self, kGetStats, failed);
  if (failed) return nullptr;
  if (!override) return do_get_stats(self, id);
  Ref id_obj = Ref::steal(PyLong_FromLong(id));
  if (!id_obj) return nullptr;
  return kv::call(override.get(), {id_obj.get()});
}

int native_reset(PyObject* self, int32_t id) {
  bool failed;
  Ref override = find_override(self, kReset, failed);
  if (failed) return -1;
  if (!override) return do_reset(self, id);
  Ref id_obj = Ref::steal(PyLong_FromLong(id));
  if (!id_obj) return -1;
  Ref r = Ref::steal(kv::call(override.get(), {id_obj.get()}));
  return r ? 0 : -1;
}

int native_reset_all(PyObject* self) {
  bool failed;
  Ref override = find_override(self, kResetAll, failed);
  if (failed) return -1;
  if (!override) return do_reset_all(self);
  Ref r = Ref::steal(kv::call(override.get()));
  return r ? 0 : -1;
}

PyObject* native_get_all_stats(PyObject* self) {
  bool failed;
  Ref override = find_override(self, kGetAllStats, failed);
  if (failed) return nullptr;
  if (!override) return do_get_all_stats(self);
  return kv::call(override.get());
}

// The table of korvane/counter_hub.h; size and type are filled in when it is
// published.
KorvaneCounterAggregatorOps aggregator_ops{0, nullptr, native_update, native_get_stats, native_reset,
                                           native_reset_all, native_get_all_stats};

// ---------------------------------------------------------------------------
// Python methods: they run the module's own bodies, so that an override
// calling super() is not dispatched back to itself.

kv::Params<2> update_params{"update", {"counter_id", "value"}, 2};

PyObject* agg_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  int32_t id;
  double value;
  if (!kv::parse(update_params, args, nargs, kwnames, a) || !kv::to_i32(a[0], &id) ||
      !kv::to_double(a[1], &value)) {
    return nullptr;
  }
  if (do_update(self, id, value) < 0) return nullptr;
  Py_RETURN_NONE;
}

kv::Params<1> get_stats_params{"get_stats", {"counter_id"}, 1};

PyObject* agg_get_stats(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  int32_t id;
  if (!kv::parse(get_stats_params, args, nargs, kwnames, a) || !kv::to_i32(a[0], &id)) return nullptr;
  return do_get_stats(self, id);
}

kv::Params<1> reset_params{"reset", {"counter_id"}, 1};

PyObject* agg_reset(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  int32_t id;
  if (!kv::parse(reset_params, args, nargs, kwnames, a) || !kv::to_i32(a[0], &id)) return nullptr;
  if (do_reset(self, id) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* agg_reset_all(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("reset_all", nargs, kwnames)) return nullptr;
  if (do_reset_all(self) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* agg_get_all_stats(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("get_all_stats", nargs, kwnames)) return nullptr;
  return do_get_all_stats(self);
}

const kv::FunctionDef agg_methods[] = {
    {"update", agg_update, "Update counter with new value.\n\nThread-safe via lock (correctness over performance).",
     "($self, /, counter_id, value)"},
    {"get_stats", agg_get_stats,
     "Get statistics for a counter.\n\nReturns dict with count, mean, variance, min, max.",
     "($self, /, counter_id)"},
    {"reset", agg_reset, "Reset a specific counter.", "($self, /, counter_id)"},
    {"reset_all", agg_reset_all, "Reset all counters.", "($self, /)"},
    {"get_all_stats", agg_get_all_stats, "Get statistics for all counters.", "($self, /)"},
};
static_assert(sizeof(agg_methods) / sizeof(agg_methods[0]) == kOpCount);

// ---------------------------------------------------------------------------
// Module

kv::Params<1> create_params{"create_aggregator", {"num_counters"}, 0};

PyObject* create_aggregator(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!kv::parse(create_params, args, nargs, kwnames, a)) return nullptr;
  if (a[0] == nullptr) return agg_construct(&AggregatorType, nullptr, 0, nullptr);
  return agg_construct(&AggregatorType, a, 1, nullptr);
}

const kv::FunctionDef module_functions[] = {
    {"create_aggregator", create_aggregator, "Create a new CounterAggregator instance.", "(num_counters=1000)"},
};

const char agg_doc[] =
    "CounterAggregator(num_counters=1000)\n--\n\n"
    "Fast counter aggregation in compiled code.\n\n"
    "Uses atomic operations for thread-safe updates without GIL overhead.";

PyObject* agg_repr(PyObject* self) {
  return PyUnicode_FromFormat("CounterAggregator(num_counters=%d)", int{as_agg(self)->num_counters});
}

int exec_module(PyObject* m) {
  kv::init_type<agg_construct>(AggregatorType, "korvane.monitoring.counter_hub.CounterAggregator",
                               sizeof(Aggregator), agg_doc, kv::dealloc_holder<agg_release>);
  AggregatorType.tp_flags |= Py_TPFLAGS_HAVE_GC;
  AggregatorType.tp_traverse = agg_traverse;
  AggregatorType.tp_clear = agg_clear;
  AggregatorType.tp_repr = agg_repr;
  if (!kv::add_type(m, &AggregatorType)) return -1;
  if (!kv::import_module_as(m, "threading")) return -1;
  if (!kv::add_methods(&AggregatorType, agg_methods) || !kv::refuse_pickling(&AggregatorType)) return -1;
  for (int i = 0; i < kOpCount; ++i) {
    PyObject* f = PyDict_GetItemWithError(AggregatorType.tp_dict, op_names[i]->get());  // borrowed
    if (f == nullptr) return -1;
    Py_XSETREF(own_methods[i], Py_NewRef(f));
  }
  if (!kv::publish_table(&AggregatorType, aggregator_ops, KORVANE_COUNTER_AGGREGATOR_OPS_CAPSULE)) {
    return -1;
  }
  if (!stats_keys.init(key_names)) return -1;
  PyObject* empty[kKeyCount] = {};
  (empty[0] = PyLong_FromLong(0)) && (empty[1] = PyFloat_FromDouble(0.0)) && (empty[2] = PyFloat_FromDouble(0.0)) &&
      (empty[3] = PyFloat_FromDouble(0.0)) && (empty[4] = PyFloat_FromDouble(kInf)) &&
      (empty[5] = PyFloat_FromDouble(-kInf));
  Py_XSETREF(empty_stats, stats_keys.make(empty));
  if (empty_stats == nullptr) return -1;
  return kv::add_functions(m, module_functions) ? 0 : -1;
}

}  // namespace

KV_MODULE(counter_hub, "korvane.monitoring.counter_hub",
          "Running statistics over a fixed number of lock-protected counters.", exec_module)
