// korvane.memory.lockfree_core: atomic counter, versioned pointer, stack,
// allocation statistics and a nanosecond timer.

#include <atomic>
#include <cstdint>
#include <cstring>

#include "kv/frame.hpp"
#include "korvane/lockfree_core.h"

namespace {

using kv::Ref;

constexpr auto SC = std::memory_order_seq_cst;

kv::Name n_threading{"threading"};
kv::Name n_time{"time"};
kv::Name n_perf_counter_ns{"perf_counter_ns"};
kv::Name n_load{"load"};
kv::Name n_store{"store"};
kv::Name n_increment{"increment"};
kv::Name n_decrement{"decrement"};
kv::Name n_compare_and_swap{"compare_and_swap"};
kv::Name n_update_peaks{"_update_peaks"};
kv::Name n_elapsed_ns{"elapsed_ns"};
kv::Name n_counter_attr{"_counter"};
kv::Name n_py_load{"py_load"};
kv::Name n_py_store{"py_store"};
kv::Name n_py_increment{"py_increment"};
kv::Name n_py_decrement{"py_decrement"};
kv::Name n_py_compare_and_swap{"py_compare_and_swap"};
kv::Name n_py_fetch_and_add{"py_fetch_and_add"};

using kv::call_method;

// ---------------------------------------------------------------------------
// AtomicCounter

struct Counter {
  PyObject_HEAD
  std::atomic<int64_t> value;
};

PyTypeObject CounterType{PyVarObject_HEAD_INIT(nullptr, 0)};

inline Counter* as_counter(PyObject* o) { return reinterpret_cast<Counter*>(o); }
inline bool is_exact_counter(PyObject* o) { return o != nullptr && Py_TYPE(o) == &CounterType; }

// Two's-complement arithmetic without signed overflow.
inline int64_t wrap_add(int64_t a, int64_t b) {
  return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
inline int64_t wrap_neg(int64_t a) { return static_cast<int64_t>(0 - static_cast<uint64_t>(a)); }

// The native operations. A sequentially consistent load is a full-barrier
// read with respect to every other operation here, all of which are
// sequentially consistent read-modify-writes or exchanges.
int64_t op_load(PyObject* self) { return as_counter(self)->value.load(SC); }
void op_store(PyObject* self, int64_t v) { as_counter(self)->value.exchange(v, SC); }
// Atomic arithmetic on signed integers wraps around in two's complement.
int64_t op_fetch_and_add(PyObject* self, int64_t d) { return as_counter(self)->value.fetch_add(d, SC); }
int64_t op_increment(PyObject* self, int64_t d) { return wrap_add(op_fetch_and_add(self, d), d); }
int64_t op_decrement(PyObject* self, int64_t d) {
  return wrap_add(op_fetch_and_add(self, wrap_neg(d)), wrap_neg(d));
}
int op_compare_and_swap(PyObject* self, int64_t expected, int64_t desired) {
  return as_counter(self)->value.compare_exchange_strong(expected, desired, SC) ? 1 : 0;
}

static_assert(std::atomic<int64_t>::is_always_lock_free);

// Size and type are filled in when the table is published.
KorvaneAtomicCounterOps counter_ops{0, nullptr, op_load, op_store, op_increment, op_decrement,
                                    op_compare_and_swap, op_fetch_and_add};

kv::Params<1> counter_new_params{"__init__", {"initial_value"}, 0};

PyObject* counter_construct(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!kv::parse(counter_new_params, args, nargs, kwnames, a)) return nullptr;
  int64_t initial = 0;
  if (a[0] != nullptr && !kv::to_i64(a[0], &initial)) return nullptr;
  Counter* self = kv::alloc_instance<Counter>(type);
  if (self == nullptr) return nullptr;
  self->value.store(initial, std::memory_order_relaxed);
  return reinterpret_cast<PyObject*>(self);
}

// A counter made natively, as AtomicCounter(value) would be.
PyObject* new_counter(int64_t initial) {
  Counter* self = kv::alloc_instance<Counter>(&CounterType);
  if (self != nullptr) self->value.store(initial, std::memory_order_relaxed);
  return reinterpret_cast<PyObject*>(self);
}

// The int result of an additive change of `delta` made by one atomic
// instruction. When that int cannot be made, the change is taken back by the
// opposite addition and MemoryError propagates: additions commute, so the
// counter then holds what it would hold had the call never run, whatever
// other threads added meanwhile.
PyObject* additive_result(PyObject* self, int64_t result, int64_t delta) {
  PyObject* r = kv::from_i64(result);
  if (r == nullptr) [[unlikely]] op_fetch_and_add(self, wrap_neg(delta));
  return r;
}

PyObject* counter_load(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("load", nargs, kwnames)) return nullptr;
  int64_t v;
  KV_NOGIL(v = op_load(self));
  return kv::from_i64(v);
}

kv::Params<1> store_params{"store", {"value"}, 1};

PyObject* counter_store(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  int64_t v;
  if (!kv::parse(store_params, args, nargs, kwnames, a) || !kv::to_i64(a[0], &v)) return nullptr;
  KV_NOGIL(op_store(self, v));
  Py_RETURN_NONE;
}

kv::Params<1> increment_params{"increment", {"delta"}, 0};
kv::Params<1> decrement_params{"decrement", {"delta"}, 0};

PyObject* counter_increment(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  int64_t d = 1;
  if (!kv::parse(increment_params, args, nargs, kwnames, a) || (a[0] != nullptr && !kv::to_i64(a[0], &d))) {
    return nullptr;
  }
  int64_t v;
  KV_NOGIL(v = op_increment(self, d));
  return additive_result(self, v, d);
}

PyObject* counter_decrement(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  int64_t d = 1;
  if (!kv::parse(decrement_params, args, nargs, kwnames, a) || (a[0] != nullptr && !kv::to_i64(a[0], &d))) {
    return nullptr;
  }
  int64_t v;
  KV_NOGIL(v = op_decrement(self, d));
  return additive_result(self, v, wrap_neg(d));
}

kv::Params<2> counter_cas_params{"compare_and_swap", {"expected", "new_value"}, 2};

PyObject* counter_compare_and_swap(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  int64_t expected, desired;
  if (!kv::parse(counter_cas_params, args, nargs, kwnames, a) || !kv::to_i64(a[0], &expected) ||
      !kv::to_i64(a[1], &desired)) {
    return nullptr;
  }
  int swapped;
  KV_NOGIL(swapped = op_compare_and_swap(self, expected, desired));
  return kv::from_bool(swapped != 0);
}

kv::Params<1> fetch_and_add_params{"fetch_and_add", {"delta"}, 1};

PyObject* counter_fetch_and_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  int64_t d;
  if (!kv::parse(fetch_and_add_params, args, nargs, kwnames, a) || !kv::to_i64(a[0], &d)) return nullptr;
  int64_t old;
  KV_NOGIL(old = op_fetch_and_add(self, d));
  return additive_result(self, old, d);
}

const kv::FunctionDef counter_methods[] = {
    {"load", counter_load, "Atomically load value.", "($self, /)", {{"return", "int"}}},
    {"store", counter_store, "Atomically store value.", "($self, /, value)"},
    {"increment", counter_increment, "Atomically increment and return new value.", "($self, /, delta=1)",
     {{"return", "int"}}},
    {"decrement", counter_decrement, "Atomically decrement and return new value.", "($self, /, delta=1)",
     {{"return", "int"}}},
    {"compare_and_swap", counter_compare_and_swap, "Atomically compare and swap.",
     "($self, /, expected, new_value)", {{"return", "bool"}}},
    {"fetch_and_add", counter_fetch_and_add, "Atomically fetch and add.", "($self, /, delta)",
     {{"return", "int"}}},
};

PyObject* counter_repr(PyObject* self) {
  return PyUnicode_FromFormat("AtomicCounter(%lld)", static_cast<long long>(op_load(self)));
}

// ---------------------------------------------------------------------------
// Counter operations on whatever object a public attribute of
// LockFreeStatistics holds: the native operation for an exact AtomicCounter,
// the Python method for anything else.
//
// Setters replace those attributes while recorders use them. A recorder reads
// a field inside a kv::ReadSection and, when it finds an exact AtomicCounter,
// applies the native operation there without taking a reference: a setter
// releases the object it replaced only once every section that may have read
// it has ended (kv::release_after_readers). Any other object is called through
// a strong reference taken by kv::field_ref, outside any section, since its
// methods are Python code.

// Probe point (see kv/probes.hpp): a recording that has read a counter
// field, before it looks at the counter.
enum : unsigned { kCounterRead = kv::probes::kFirstModulePoint };
#ifdef Py_GIL_DISABLED
const char* const probe_names[] = {"section_end", "synchronize", "counter_read", nullptr};
#endif

// The exact AtomicCounter that `field` holds, or null. Inside a ReadSection.
inline PyObject* native_counter(PyObject* const& field) {
  PyObject* c = kv::load_acquire(field);
  kv::probes::at(kCounterRead);
  return is_exact_counter(c) ? c : nullptr;
}

// <object in field>.<method>(*args) through a strong reference to what the
// field holds now (None when empty), which keeps it alive for the call however
// the field changes meanwhile.
PyObject* call_field(PyObject* const& field, const kv::Name& method, std::initializer_list<PyObject*> args = {}) {
  Ref counter = Ref::steal(kv::field_ref(field));
  return call_method(counter.get(), method, args);
}

// Adds `delta` when the field holds an exact AtomicCounter, keeping a
// reference to that counter in `*kept` when given; false, with nothing done,
// when it holds anything else.
bool native_add(PyObject* const& field, int64_t delta, Ref* kept = nullptr) {
  kv::ReadSection section;
  PyObject* c = native_counter(field);
  if (c == nullptr) return false;
  if (kept != nullptr) *kept = Ref::borrow(c);
  op_fetch_and_add(c, delta);
  return true;
}

// The value of the field's exact AtomicCounter into `*out`; false when it
// holds anything else.
bool native_load(PyObject* const& field, int64_t* out) {
  kv::ReadSection section;
  PyObject* c = native_counter(field);
  if (c == nullptr) return false;
  *out = op_load(c);
  return true;
}

// .increment(amount) or .decrement(amount) on the object in the field through
// its Python methods, `amount` being an int object; without an argument (a
// step of 1) when `amount` is null. False with an error set.
bool python_add(PyObject* const& field, bool up, PyObject* amount) {
  const kv::Name& method = up ? n_increment : n_decrement;
  Ref r = Ref::steal(amount != nullptr ? call_field(field, method, {amount}) : call_field(field, method));
  return static_cast<bool>(r);
}

// The same through the native operation when the field holds an exact
// AtomicCounter, `value` being the value of `amount` (1 when it is null).
bool counter_add(PyObject* const& field, bool up, int64_t value, PyObject* amount) {
  return native_add(field, up ? value : wrap_neg(value)) || python_add(field, up, amount);
}

// .increment() or .decrement().
bool counter_step(PyObject* const& field, bool up) { return counter_add(field, up, 1, nullptr); }

// The additions one recording made natively to exact AtomicCounters, each
// kept with a reference to its counter, so that they can be taken back when
// the recording then fails for want of memory. Additions made through a
// replaced counter's Python methods stay: such a counter failing leaves the
// earlier changes in place, as a sequence of Python calls would.
class Additions {
 public:
  bool step(PyObject* const& field, bool up) { return add(field, up, 1, nullptr); }

  // As counter_add.
  bool add(PyObject* const& field, bool up, int64_t value, PyObject* amount) {
    int64_t delta = up ? value : wrap_neg(value);
    if (native_add(field, delta, &made_[n_].counter)) {
      made_[n_++].delta = delta;
      return true;
    }
    return python_add(field, up, amount);
  }

  void take_back() {
    while (n_ > 0) {
      Made& m = made_[--n_];
      op_fetch_and_add(m.counter.get(), wrap_neg(m.delta));
    }
  }

 private:
  struct Made {
    Ref counter;
    int64_t delta;
  };
  Made made_[6];
  int n_ = 0;
};

// .store(0).
bool counter_store_zero(PyObject* const& field) {
  {
    kv::ReadSection section;
    if (PyObject* c = native_counter(field)) {
      op_store(c, 0);
      return true;
    }
  }
  PyObject* zero = PyLong_FromLong(0);
  Ref r = Ref::steal(call_field(field, n_store, {zero}));
  Py_DECREF(zero);
  return static_cast<bool>(r);
}

// .load(); new reference or null.
PyObject* counter_load_obj(PyObject* const& field) {
  int64_t v;
  if (native_load(field, &v)) return kv::from_i64(v);
  return call_field(field, n_load);
}

// ---------------------------------------------------------------------------
// AtomicPointer

struct Pointer {
  PyObject_HEAD
  PyObject* ptr;  // owned, null when empty
  int64_t version;  // changed under `lock`; repr reads it without the lock
  PyObject* lock;
};

PyTypeObject PointerType{PyVarObject_HEAD_INIT(nullptr, 0)};

inline Pointer* as_pointer(PyObject* o) { return reinterpret_cast<Pointer*>(o); }

kv::Params<1> pointer_new_params{"__init__", {"initial_value"}, 0};

PyObject* pointer_construct(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!kv::parse(pointer_new_params, args, nargs, kwnames, a)) return nullptr;
  Ref threading = Ref::steal(kv::module_global(n_threading));
  if (!threading) return nullptr;
  Ref lock = Ref::steal(kv::new_lock(threading.get()));
  if (!lock) return nullptr;
  Pointer* self = kv::alloc_instance<Pointer>(type);
  if (self == nullptr) return nullptr;
  self->ptr = a[0] != nullptr && a[0] != Py_None ? Py_NewRef(a[0]) : nullptr;
  self->version = 0;
  self->lock = lock.release();
  return reinterpret_cast<PyObject*>(self);
}

PyObject* pointer_load(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("load", nargs, kwnames)) return nullptr;
  Pointer* p = as_pointer(self);
  return kv::with_lock(p->lock, kv::native_section, [&] { return Py_NewRef(p->ptr != nullptr ? p->ptr : Py_None); });
}

kv::Params<1> pointer_store_params{"store", {"value"}, 1};

PyObject* pointer_store(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!kv::parse(pointer_store_params, args, nargs, kwnames, a)) return nullptr;
  Pointer* p = as_pointer(self);
  Ref incoming = Ref::borrow(a[0] != Py_None ? a[0] : nullptr);
  Ref outgoing;
  {
    kv::Locked guard(p->lock, kv::native_section);
    if (!guard.ok()) return nullptr;
    outgoing = Ref::steal(p->ptr);
    kv::store_relaxed(p->version, p->version + 1);
    p->ptr = incoming.release();
    if (!guard.leave()) return nullptr;  // `outgoing` is released on the way out
  }
  outgoing.reset();
  Py_RETURN_NONE;
}

kv::Params<2> pointer_cas_params{"compare_and_swap", {"expected", "new_value"}, 2};

PyObject* pointer_compare_and_swap(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!kv::parse(pointer_cas_params, args, nargs, kwnames, a)) return nullptr;
  Pointer* p = as_pointer(self);
  Ref incoming = Ref::borrow(a[1] != Py_None ? a[1] : nullptr);
  PyObject* expected = a[0] != Py_None ? a[0] : nullptr;
  Ref outgoing;
  bool swapped = false;
  {
    kv::Locked guard(p->lock, kv::native_section);
    if (!guard.ok()) return nullptr;
    if (p->ptr == expected) {
      outgoing = Ref::steal(p->ptr);
      kv::store_relaxed(p->version, p->version + 1);
      p->ptr = incoming.release();
      swapped = true;
    }
    if (!guard.leave()) return nullptr;
  }
  // Released after the lock: a finaliser run here may use the cell again.
  outgoing.reset();
  incoming.reset();
  return kv::from_bool(swapped);
}

PyObject* pointer_get_version(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("get_version", nargs, kwnames)) return nullptr;
  Pointer* p = as_pointer(self);
  int64_t version;
  {
    kv::Locked guard(p->lock, kv::native_section);
    if (!guard.ok()) return nullptr;
    version = p->version;
    if (!guard.leave()) return nullptr;
  }
  return kv::from_i64(version);  // allocated after the lock is left
}

const kv::FunctionDef pointer_methods[] = {
    {"load", pointer_load, "Atomically load pointer value.", "($self, /)", {{"return", "Optional[object]"}}},
    {"store", pointer_store, "Atomically store new pointer value.", "($self, /, value)"},
    {"compare_and_swap", pointer_compare_and_swap, "Atomically compare and swap pointer.",
     "($self, /, expected, new_value)", {{"return", "bool"}}},
    {"get_version", pointer_get_version, "Get current version for ABA detection.", "($self, /)",
     {{"return", "int"}}},
};

int pointer_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(as_pointer(self)->ptr);
  Py_VISIT(as_pointer(self)->lock);
  return 0;
}

int pointer_clear(PyObject* self) {
  Py_CLEAR(as_pointer(self)->ptr);
  Py_CLEAR(as_pointer(self)->lock);
  return 0;
}

PyObject* pointer_repr(PyObject* self) {
  return PyUnicode_FromFormat("AtomicPointer(version=%lld)",
                              static_cast<long long>(kv::load_relaxed(as_pointer(self)->version)));
}

// ---------------------------------------------------------------------------
// LockFreeStack

struct StackNode {
  PyObject* item;  // owned
  StackNode* next;
};

struct Stack {
  PyObject_HEAD
  StackNode* head;  // changed only under `lock`
  std::atomic<int64_t> size;
  PyObject* lock;
};

PyTypeObject StackType{PyVarObject_HEAD_INIT(nullptr, 0)};

inline Stack* as_stack(PyObject* o) { return reinterpret_cast<Stack*>(o); }

PyObject* stack_construct(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  (void)args;
  if (!kv::no_args("__init__", nargs, kwnames)) return nullptr;
  Ref threading = Ref::steal(kv::module_global(n_threading));
  if (!threading) return nullptr;
  Ref lock = Ref::steal(kv::new_lock(threading.get()));
  if (!lock) return nullptr;
  Stack* self = kv::alloc_instance<Stack>(type);
  if (self == nullptr) return nullptr;
  self->head = nullptr;
  self->size.store(0, std::memory_order_relaxed);
  self->lock = lock.release();
  return reinterpret_cast<PyObject*>(self);
}

// Frees a detached list top to bottom, releasing each item once.
void free_nodes(StackNode* node) {
  while (node != nullptr) {
    StackNode* next = node->next;
    PyObject* item = node->item;
    PyMem_Free(node);
    Py_DECREF(item);
    node = next;
  }
}

kv::Params<1> push_params{"push", {"item"}, 1};

PyObject* stack_push(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!kv::parse(push_params, args, nargs, kwnames, a)) return nullptr;
  Stack* s = as_stack(self);
  auto* node = static_cast<StackNode*>(PyMem_Malloc(sizeof(StackNode)));
  if (node == nullptr) {
    PyErr_SetString(PyExc_MemoryError, "Failed to allocate stack node");
    return nullptr;
  }
  node->item = Py_NewRef(a[0]);
  node->next = nullptr;
  kv::Locked guard(s->lock, kv::native_section);
  if (!guard.ok()) {
    free_nodes(node);
    return nullptr;
  }
  node->next = s->head;
  s->head = node;
  s->size.fetch_add(1, SC);
  if (!guard.leave()) return nullptr;
  Py_RETURN_NONE;
}

PyObject* stack_pop(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("pop", nargs, kwnames)) return nullptr;
  Stack* s = as_stack(self);
  StackNode* node = nullptr;
  {
    kv::Locked guard(s->lock, kv::native_section);
    if (!guard.ok()) return nullptr;
    node = s->head;
    if (node != nullptr) {
      s->head = node->next;
      s->size.fetch_sub(1, SC);
    }
    if (!guard.leave()) {
      if (node != nullptr) {
        node->next = nullptr;
        free_nodes(node);
      }
      return nullptr;
    }
  }
  if (node == nullptr) Py_RETURN_NONE;
  PyObject* item = node->item;  // the node's reference goes to the caller
  PyMem_Free(node);
  return item;
}

PyObject* stack_is_empty(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("is_empty", nargs, kwnames)) return nullptr;
  Stack* s = as_stack(self);
  return kv::with_lock(s->lock, kv::native_section, [&] { return kv::from_bool(s->head == nullptr); });
}

PyObject* stack_size(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("size", nargs, kwnames)) return nullptr;
  return kv::from_i64(as_stack(self)->size.load(SC));
}

const kv::FunctionDef stack_methods[] = {
    {"push", stack_push, "Push item onto stack.", "($self, /, item)"},
    {"pop", stack_pop, "Pop item from stack.", "($self, /)", {{"return", "Optional[object]"}}},
    {"is_empty", stack_is_empty, "Check if stack is empty.", "($self, /)", {{"return", "bool"}}},
    {"size", stack_size, "Get approximate stack size.", "($self, /)", {{"return", "int"}}},
};

// The items are reported to the collector too, so that a cycle running
// through a stored item can be collected.
int stack_traverse(PyObject* self, visitproc visit, void* arg) {
  Stack* s = as_stack(self);
  for (StackNode* n = s->head; n != nullptr; n = n->next) Py_VISIT(n->item);
  Py_VISIT(s->lock);
  return 0;
}

int stack_clear(PyObject* self) {
  Stack* s = as_stack(self);
  StackNode* detached = s->head;
  s->head = nullptr;
  s->size.store(0, SC);
  free_nodes(detached);
  Py_CLEAR(s->lock);
  return 0;
}

PyObject* stack_repr(PyObject* self) {
  return PyUnicode_FromFormat("LockFreeStack(size=%lld)", static_cast<long long>(as_stack(self)->size.load(SC)));
}

// ---------------------------------------------------------------------------
// LockFreeStatistics

enum Field : int {
  kTotalAllocations,
  kTotalDeallocations,
  kCurrentAllocations,
  kBytesAllocated,
  kBytesReserved,
  kPeakAllocations,
  kPeakBytesAllocated,
  kBucketedAllocations,
  kFallbackAllocations,
  kAlignmentPaddingBytes,
  kTotalAllocationTimeNs,
  kTotalDeallocationTimeNs,
  kFieldCount,
};

const char* const field_names[kFieldCount] = {
    "total_allocations",     "total_deallocations",  "current_allocations",      "bytes_allocated",
    "bytes_reserved",        "peak_allocations",     "peak_bytes_allocated",     "bucketed_allocations",
    "fallback_allocations",  "alignment_padding_bytes", "total_allocation_time_ns", "total_deallocation_time_ns",
};

struct Statistics {
  PyObject_HEAD
  std::atomic<int64_t> native[kFieldCount];  // written only by py_record_* and reset
  PyObject* lock;
  kv::LockOwner lock_owner;  // reset runs the counters' store(0) while holding `lock`
  // The public attributes: replaced by setters while recorders use them (see
  // "Counter operations" above).
  PyObject* counters[kFieldCount];
};

PyTypeObject StatisticsType{PyVarObject_HEAD_INIT(nullptr, 0)};

inline Statistics* as_stats(PyObject* o) { return reinterpret_cast<Statistics*>(o); }

// The lock-free maximum: raise `field` to `candidate` if it is larger.
void raise_to(std::atomic<int64_t>& field, int64_t candidate) {
  int64_t seen = field.load(SC);
  while (seen < candidate && !field.compare_exchange_weak(seen, candidate, SC)) {
  }
}

void op_raise_peak_allocations(PyObject* self, int64_t c) { raise_to(as_stats(self)->native[kPeakAllocations], c); }
void op_raise_peak_bytes(PyObject* self, int64_t c) { raise_to(as_stats(self)->native[kPeakBytesAllocated], c); }

int64_t op_load_peak_allocations(PyObject* self) { return as_stats(self)->native[kPeakAllocations].load(SC); }
int64_t op_load_peak_bytes(PyObject* self) { return as_stats(self)->native[kPeakBytesAllocated].load(SC); }

KorvaneStatisticsOps statistics_ops{0, nullptr, op_raise_peak_allocations, op_raise_peak_bytes, op_load_peak_allocations,
                                    op_load_peak_bytes};

PyObject* stats_construct(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  (void)args;
  if (!kv::no_args("__init__", nargs, kwnames)) return nullptr;
  Ref threading = Ref::steal(kv::module_global(n_threading));
  if (!threading) return nullptr;
  Ref lock = Ref::steal(kv::new_lock(threading.get()));
  if (!lock) return nullptr;
  Ref obj = Ref::steal(reinterpret_cast<PyObject*>(kv::alloc_instance<Statistics>(type)));
  if (!obj) return nullptr;
  Statistics* s = as_stats(obj.get());
  for (auto& f : s->native) f.store(0, std::memory_order_relaxed);
  s->lock = lock.release();
  for (PyObject*& c : s->counters) {
    c = new_counter(0);
    if (c == nullptr) return nullptr;
  }
  return obj.release();
}

// Getter and setter of a public counter attribute; deleting stores None.
PyObject* stats_get_counter(PyObject* self, void* closure) {
  return kv::field_ref(as_stats(self)->counters[reinterpret_cast<std::intptr_t>(closure)]);
}

int stats_set_counter(PyObject* self, PyObject* value, void* closure) {
  PyObject*& field = as_stats(self)->counters[reinterpret_cast<std::intptr_t>(closure)];
  kv::release_after_readers(kv::exchange_field(field, Py_NewRef(value != nullptr ? value : Py_None)));
  return 0;
}

PyGetSetDef stats_getset[kFieldCount + 1];

// An argument declared `int`, converted to int64. Afterwards `arg` is the int
// object standing for it (for passing on to counter methods): the argument
// itself when it is an int, else int(arg), which `held` keeps alive. False
// with an error set.
bool int_arg(PyObject*& arg, const char* name, Ref& held, int64_t* out) {
  if (!PyLong_Check(arg)) {
    held = Ref::steal(kv::annotated_int(arg, name));
    if (!held) return false;
    arg = held.get();
  }
  return kv::to_i64(arg, out);
}

// The exact AtomicCounters in the fields `which` of `s` into `c`, inside a
// ReadSection the caller holds; false when any of them holds anything else.
template <std::size_t N>
bool native_counters(Statistics* s, const Field (&which)[N], PyObject* (&c)[N]) {
  for (std::size_t i = 0; i < N; ++i) {
    c[i] = native_counter(s->counters[which[i]]);
    if (c[i] == nullptr) return false;
  }
  return true;
}

// _update_peaks(current_allocations.load(), bytes_allocated.load()) of the
// type itself, natively, when the four counters it uses are exact
// AtomicCounters; false, with nothing done, otherwise.
bool update_peaks_native(PyObject* self) {
  if (Py_TYPE(self) != &StatisticsType) return false;
  kv::ReadSection section;
  PyObject* c[4];
  if (!native_counters(as_stats(self), {kCurrentAllocations, kBytesAllocated, kPeakAllocations, kPeakBytesAllocated},
                       c)) {
    return false;
  }
  raise_to(as_counter(c[2])->value, op_load(c[0]));
  raise_to(as_counter(c[3])->value, op_load(c[1]));
  return true;
}

// record_allocation on the type itself when every counter it touches is an
// exact AtomicCounter: native additions and peaks in one read section,
// nothing that can fail. False, with nothing done, otherwise.
bool record_allocation_native(PyObject* self, int64_t size, bool bucketed, int64_t padding, int64_t time_ns) {
  if (Py_TYPE(self) != &StatisticsType) return false;
  Statistics* s = as_stats(self);
  kv::ReadSection section;
  PyObject* c[6];
  if (!native_counters(s, {kTotalAllocations, kCurrentAllocations, kBytesAllocated,
                           bucketed ? kBucketedAllocations : kFallbackAllocations, kPeakAllocations,
                           kPeakBytesAllocated}, c)) {
    return false;
  }
  PyObject* padding_counter = padding > 0 ? native_counter(s->counters[kAlignmentPaddingBytes]) : nullptr;
  PyObject* time_counter = time_ns > 0 ? native_counter(s->counters[kTotalAllocationTimeNs]) : nullptr;
  if ((padding > 0 && padding_counter == nullptr) || (time_ns > 0 && time_counter == nullptr)) return false;
  op_fetch_and_add(c[0], 1);
  op_fetch_and_add(c[1], 1);
  op_fetch_and_add(c[2], size);
  op_fetch_and_add(c[3], 1);
  if (padding_counter != nullptr) op_fetch_and_add(padding_counter, padding);
  if (time_counter != nullptr) op_fetch_and_add(time_counter, time_ns);
  raise_to(as_counter(c[4])->value, op_load(c[1]));
  raise_to(as_counter(c[5])->value, op_load(c[2]));
  return true;
}

kv::Params<4> record_allocation_params{"record_allocation", {"size", "is_bucketed", "padding", "time_ns"}, 1};

PyObject* stats_record_allocation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[4];
  if (!kv::parse(record_allocation_params, args, nargs, kwnames, a)) return nullptr;
  Ref size_obj, padding_obj, time_obj;
  int64_t size, padding = 0, time_ns = 0;
  bool bucketed = true;
  if (!int_arg(a[0], "size", size_obj, &size)) return nullptr;
  if (a[1] != nullptr && !kv::to_truth(a[1], &bucketed)) return nullptr;
  if (a[2] != nullptr && !int_arg(a[2], "padding", padding_obj, &padding)) return nullptr;
  if (a[3] != nullptr && !int_arg(a[3], "time_ns", time_obj, &time_ns)) return nullptr;
  if (record_allocation_native(self, size, bucketed, padding, time_ns)) [[likely]] Py_RETURN_NONE;

  PyObject** c = as_stats(self)->counters;
  Additions made;
  if (!made.step(c[kTotalAllocations], true) || !made.step(c[kCurrentAllocations], true) ||
      !made.add(c[kBytesAllocated], true, size, a[0]) ||
      !made.step(c[bucketed ? kBucketedAllocations : kFallbackAllocations], true)) {
    return nullptr;
  }
  if (padding > 0 && !made.add(c[kAlignmentPaddingBytes], true, padding, a[2])) return nullptr;
  if (time_ns > 0 && !made.add(c[kTotalAllocationTimeNs], true, time_ns, a[3])) return nullptr;

  // self._update_peaks(current_allocations.load(), bytes_allocated.load())
  if (update_peaks_native(self)) Py_RETURN_NONE;
  // The loaded values are the only objects this recording allocates: when an
  // exact counter's value cannot be made, the additions are taken back.
  Ref loaded[2];
  for (int i = 0; i < 2; ++i) {
    PyObject* const& field = c[i == 0 ? kCurrentAllocations : kBytesAllocated];
    int64_t value;
    bool exact = native_load(field, &value);
    loaded[i] = Ref::steal(exact ? kv::from_i64(value) : call_field(field, n_load));
    if (!loaded[i]) {
      if (exact) made.take_back();
      return nullptr;
    }
  }
  Ref r = Ref::steal(call_method(self, n_update_peaks, {loaded[0].get(), loaded[1].get()}));
  if (!r) return nullptr;
  Py_RETURN_NONE;
}

// The public side of a recording other than record_allocation: for an
// allocation (`up`) total_allocations.increment(),
// current_allocations.increment() and bytes_allocated.increment(size); for a
// deallocation total_deallocations.increment(), current_allocations.decrement()
// and bytes_allocated.decrement(size), then
// total_deallocation_time_ns.increment(time_ns) when `time_obj` is given.
// `size_obj` and `time_obj` are the int objects of the two values. When every
// counter involved is an exact AtomicCounter, all of it runs natively in one
// read section. Null with an error set.
PyObject* record_public(PyObject* self, bool up, int64_t size, PyObject* size_obj, int64_t time_ns = 0,
                        PyObject* time_obj = nullptr) {
  Statistics* s = as_stats(self);
  Field total = up ? kTotalAllocations : kTotalDeallocations;
  {
    kv::ReadSection section;
    PyObject* c[3];
    PyObject* time_counter = nullptr;
    if (native_counters(s, {total, kCurrentAllocations, kBytesAllocated}, c) &&
        (time_obj == nullptr || (time_counter = native_counter(s->counters[kTotalDeallocationTimeNs])))) [[likely]] {
      op_fetch_and_add(c[0], 1);
      op_fetch_and_add(c[1], up ? 1 : -1);
      op_fetch_and_add(c[2], up ? size : wrap_neg(size));
      if (time_counter != nullptr) op_fetch_and_add(time_counter, time_ns);
      Py_RETURN_NONE;
    }
  }
  PyObject** c = s->counters;
  if (!counter_step(c[total], true) || !counter_step(c[kCurrentAllocations], up) ||
      !counter_add(c[kBytesAllocated], up, size, size_obj)) {
    return nullptr;
  }
  if (time_obj != nullptr && !counter_add(c[kTotalDeallocationTimeNs], true, time_ns, time_obj)) return nullptr;
  Py_RETURN_NONE;
}

kv::Params<2> record_deallocation_params{"record_deallocation", {"size", "time_ns"}, 1};

PyObject* stats_record_deallocation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!kv::parse(record_deallocation_params, args, nargs, kwnames, a)) return nullptr;
  Ref size_obj, time_obj;
  int64_t size, time_ns = 0;
  if (!int_arg(a[0], "size", size_obj, &size)) return nullptr;
  if (a[1] != nullptr && !int_arg(a[1], "time_ns", time_obj, &time_ns)) return nullptr;
  return record_public(self, false, size, a[0], time_ns, time_ns > 0 ? a[1] : nullptr);
}

// The loop of _update_peaks on one public counter: while the candidate (an
// int) is above the loaded peak, try to swap it in. An exact AtomicCounter is
// raised natively; a candidate beyond 64 bits is refused by the counter's
// compare_and_swap, as it would be through its Python method.
bool raise_public_peak(PyObject* const& field, PyObject* candidate) {
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(candidate, &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  bool native;
  {
    kv::ReadSection section;
    PyObject* counter = native_counter(field);
    native = counter != nullptr;
    if (native && overflow == 0) raise_to(as_counter(counter)->value, value);
  }
  if (native) {
    int64_t unused;
    return overflow <= 0 || kv::to_i64(candidate, &unused);  // below every int64 peak, or OverflowError
  }
  Ref held = Ref::steal(kv::field_ref(field));  // the loop outlives any one call on the counter
  for (;;) {
    Ref peak = Ref::steal(call_method(held.get(), n_load));
    if (!peak) return false;
    int done = PyObject_RichCompareBool(candidate, peak.get(), Py_LE);
    if (done != 0) return done > 0;
    Ref swapped = Ref::steal(call_method(held.get(), n_compare_and_swap, {peak.get(), candidate}));
    if (!swapped) return false;
    int ok = PyObject_IsTrue(swapped.get());
    if (ok != 0) return ok > 0;
  }
}

// False with OverflowError when `candidate` (an int) lies above the 64-bit
// range and `field` holds an exact AtomicCounter, whose compare_and_swap would
// refuse it.
bool peak_candidate_fits(PyObject* const& field, PyObject* candidate) {
  bool native;
  {
    kv::ReadSection section;
    native = native_counter(field) != nullptr;
  }
  if (!native) return true;
  int overflow = 0;
  long long value = PyLong_AsLongLongAndOverflow(candidate, &overflow);
  if (value == -1 && PyErr_Occurred()) return false;
  int64_t unused;
  return overflow <= 0 || kv::to_i64(candidate, &unused);
}

kv::Params<2> update_peaks_params{"_update_peaks", {"current_allocs", "current_bytes"}, 2};

PyObject* stats_update_peaks(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!kv::parse(update_peaks_params, args, nargs, kwnames, a)) return nullptr;
  Ref current = Ref::steal(kv::annotated_int(a[0], "current_allocs"));
  if (!current) return nullptr;
  Ref bytes = Ref::steal(kv::annotated_int(a[1], "current_bytes"));
  if (!bytes) return nullptr;
  PyObject** c = as_stats(self)->counters;
  // An argument that a peak counter would refuse fails before either peak moves.
  if (!peak_candidate_fits(c[kPeakAllocations], current.get()) ||
      !peak_candidate_fits(c[kPeakBytesAllocated], bytes.get())) {
    return nullptr;
  }
  if (!raise_public_peak(c[kPeakAllocations], current.get()) ||
      !raise_public_peak(c[kPeakBytesAllocated], bytes.get())) {
    return nullptr;
  }
  Py_RETURN_NONE;
}

kv::Params<4> py_record_allocation_params{"py_record_allocation", {"size", "is_bucketed", "padding", "time_ns"}, 2};

PyObject* stats_py_record_allocation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[4];
  if (!kv::parse(py_record_allocation_params, args, nargs, kwnames, a)) return nullptr;
  Ref size_obj, padding_obj, time_obj;
  int64_t size, padding = 0, time_ns = 0;
  bool bucketed;
  if (!int_arg(a[0], "size", size_obj, &size) || !kv::to_truth(a[1], &bucketed)) return nullptr;
  if (a[2] != nullptr && !int_arg(a[2], "padding", padding_obj, &padding)) return nullptr;
  if (a[3] != nullptr && !int_arg(a[3], "time_ns", time_obj, &time_ns)) return nullptr;
  Statistics* s = as_stats(self);
  KV_NOGIL({
    auto& f = s->native;
    f[kTotalAllocations].fetch_add(1, SC);
    int64_t old_current = f[kCurrentAllocations].fetch_add(1, SC);
    int64_t old_bytes = f[kBytesAllocated].fetch_add(size, SC);
    f[bucketed ? kBucketedAllocations : kFallbackAllocations].fetch_add(1, SC);
    if (padding > 0) f[kAlignmentPaddingBytes].fetch_add(padding, SC);
    if (time_ns > 0) f[kTotalAllocationTimeNs].fetch_add(time_ns, SC);
    raise_to(f[kPeakAllocations], wrap_add(old_current, 1));
    raise_to(f[kPeakBytesAllocated], wrap_add(old_bytes, size));
  });
  return record_public(self, true, size, a[0]);
}

kv::Params<2> py_record_deallocation_params{"py_record_deallocation", {"size", "time_ns"}, 1};

PyObject* stats_py_record_deallocation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!kv::parse(py_record_deallocation_params, args, nargs, kwnames, a)) return nullptr;
  Ref size_obj, time_obj;
  int64_t size, time_ns = 0;
  if (!int_arg(a[0], "size", size_obj, &size)) return nullptr;
  if (a[1] != nullptr && !int_arg(a[1], "time_ns", time_obj, &time_ns)) return nullptr;
  Statistics* s = as_stats(self);
  KV_NOGIL({
    auto& f = s->native;
    f[kTotalDeallocations].fetch_add(1, SC);
    f[kCurrentAllocations].fetch_sub(1, SC);
    f[kBytesAllocated].fetch_sub(size, SC);
    if (time_ns > 0) f[kTotalDeallocationTimeNs].fetch_add(time_ns, SC);
  });
  return record_public(self, false, size, a[0]);
}

kv::Name key_names[] = {
    kv::Name{"total_allocations"},       kv::Name{"total_deallocations"},
    kv::Name{"current_allocations"},     kv::Name{"bytes_allocated"},
    kv::Name{"bytes_reserved"},          kv::Name{"peak_allocations"},
    kv::Name{"peak_bytes_allocated"},    kv::Name{"bucketed_allocations"},
    kv::Name{"fallback_allocations"},    kv::Name{"bucketed_allocation_ratio"},
    kv::Name{"alignment_padding_bytes"}, kv::Name{"average_allocation_time_ns"},
    kv::Name{"average_deallocation_time_ns"}, kv::Name{"allocation_mode"},
};
kv::Name mode_text{"lock-free C11 atomics"};
constexpr int kSnapshotKeys = 14;
kv::FixedKeysDict<kSnapshotKeys> snapshot_keys;
kv::Name format_spec{".1f"};

// a / b as Python's true division of two ints: exact doubles when both are
// within 2**53, the interpreter's correctly rounded division otherwise.
PyObject* true_divide(int64_t a, int64_t b) {
  constexpr int64_t exact = int64_t{1} << 53;
  if (a >= -exact && a <= exact && b >= -exact && b <= exact) {
    return PyFloat_FromDouble(static_cast<double>(a) / static_cast<double>(b));
  }
  Ref x = Ref::steal(kv::from_i64(a));
  Ref y = Ref::steal(kv::from_i64(b));
  if (!x || !y) return nullptr;
  return PyNumber_TrueDivide(x.get(), y.get());
}

// format(ratio, ".1f") + "%" for any number object.
PyObject* percent_text(PyObject* ratio) {
  Ref text = Ref::steal(PyObject_Format(ratio, format_spec.get()));
  if (!text) return nullptr;
  Ref sign = Ref::steal(PyUnicode_FromString("%"));
  if (!sign) return nullptr;
  return PyUnicode_Concat(text.get(), sign.get());
}

// The derived values of a snapshot from loaded counter values.
// ratio: (bucketed / total) * 100.0 if total > 0 else 0.0, as text; averages
// likewise, each division guarded by a strict > 0 test of its denominator.
PyObject* guarded_ratio(PyObject* num, PyObject* den, bool percent) {
  Ref zero = Ref::steal(PyLong_FromLong(0));
  int positive = PyObject_RichCompareBool(den, zero.get(), Py_GT);
  if (positive < 0) return nullptr;
  Ref value;
  if (positive) {
    value = Ref::steal(PyNumber_TrueDivide(num, den));
    if (value && percent) {
      Ref hundred = Ref::steal(PyFloat_FromDouble(100.0));
      value = Ref::steal(PyNumber_Multiply(value.get(), hundred.get()));
    }
  } else {
    value = Ref::steal(PyFloat_FromDouble(0.0));
  }
  if (!value) return nullptr;
  return percent ? percent_text(value.get()) : value.release();
}

PyObject* stats_get_snapshot(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("get_snapshot", nargs, kwnames)) return nullptr;
  PyObject** c = as_stats(self)->counters;
  int64_t v[kFieldCount];
  bool native = true;
  {
    kv::ReadSection section;
    for (int i = 0; native && i < kFieldCount; ++i) {
      PyObject* counter = native_counter(c[i]);
      native = counter != nullptr;
      if (native) v[i] = op_load(counter);
    }
  }
  Ref loaded[kFieldCount];
  Ref ratio, avg_alloc, avg_dealloc;
  if (native) {
    for (int i = 0; i < kFieldCount; ++i) {
      loaded[i] = Ref::steal(kv::from_i64(v[i]));
      if (!loaded[i]) return nullptr;
    }
    if (v[kTotalAllocations] > 0) {
      Ref q = Ref::steal(true_divide(v[kBucketedAllocations], v[kTotalAllocations]));
      if (!q) return nullptr;
      Ref pct = Ref::steal(PyFloat_FromDouble(PyFloat_AS_DOUBLE(q.get()) * 100.0));
      if (!pct) return nullptr;
      ratio = Ref::steal(kv::percent_text(PyFloat_AS_DOUBLE(pct.get())));
      avg_alloc = Ref::steal(true_divide(v[kTotalAllocationTimeNs], v[kTotalAllocations]));
    } else {
      ratio = Ref::steal(PyUnicode_FromString("0.0%"));
      avg_alloc = Ref::steal(PyFloat_FromDouble(0.0));
    }
    avg_dealloc = Ref::steal(v[kTotalDeallocations] > 0
                                 ? true_divide(v[kTotalDeallocationTimeNs], v[kTotalDeallocations])
                                 : PyFloat_FromDouble(0.0));
  } else {
    for (int i = 0; i < kFieldCount; ++i) {
      loaded[i] = Ref::steal(counter_load_obj(c[i]));
      if (!loaded[i]) return nullptr;
    }
    ratio = Ref::steal(guarded_ratio(loaded[kBucketedAllocations].get(), loaded[kTotalAllocations].get(), true));
    if (!ratio) return nullptr;
    avg_alloc = Ref::steal(
        guarded_ratio(loaded[kTotalAllocationTimeNs].get(), loaded[kTotalAllocations].get(), false));
    if (!avg_alloc) return nullptr;
    avg_dealloc = Ref::steal(
        guarded_ratio(loaded[kTotalDeallocationTimeNs].get(), loaded[kTotalDeallocations].get(), false));
  }
  if (!ratio || !avg_alloc || !avg_dealloc) return nullptr;
  PyObject* values[kSnapshotKeys] = {
      loaded[kTotalAllocations].release(),    loaded[kTotalDeallocations].release(),
      loaded[kCurrentAllocations].release(),  loaded[kBytesAllocated].release(),
      loaded[kBytesReserved].release(),       loaded[kPeakAllocations].release(),
      loaded[kPeakBytesAllocated].release(),  loaded[kBucketedAllocations].release(),
      loaded[kFallbackAllocations].release(), ratio.release(),
      loaded[kAlignmentPaddingBytes].release(), avg_alloc.release(),
      avg_dealloc.release(),                  Py_NewRef(mode_text.get()),
  };
  return snapshot_keys.make(values);
}

PyObject* stats_reset(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("reset", nargs, kwnames)) return nullptr;
  Statistics* s = as_stats(self);
  // A replaced counter's store() is Python code run under the lock; a call
  // back into reset() from it on this thread is refused rather than waited for.
  return kv::with_owned_lock(s->lock, s->lock_owner, "reset", [&]() -> PyObject* {
    for (auto& f : s->native) f.exchange(0, SC);
    for (int i : {kTotalAllocations, kTotalDeallocations, kCurrentAllocations, kBytesAllocated, kBytesReserved,
                  kPeakAllocations, kPeakBytesAllocated}) {
      if (!counter_store_zero(s->counters[i])) return nullptr;
    }
    Py_RETURN_NONE;
  });
}

const kv::FunctionDef stats_methods[] = {
    {"record_allocation", stats_record_allocation,
     "Record an allocation event.\n\n"
     "Args:\n"
     "    size: Size of allocation in bytes\n"
     "    is_bucketed: Whether allocation came from bucketed pool\n"
     "    padding: Alignment padding bytes used\n"
     "    time_ns: Time taken in nanoseconds",
     "($self, /, size, is_bucketed=True, padding=0, time_ns=0)",
     {{"size", "int"}, {"is_bucketed", "bool"}, {"padding", "int"}, {"time_ns", "int"}}},
    {"record_deallocation", stats_record_deallocation,
     "Record a deallocation event.\n\n"
     "Args:\n"
     "    size: Size of deallocation in bytes\n"
     "    time_ns: Time taken in nanoseconds",
     "($self, /, size, time_ns=0)", {{"size", "int"}, {"time_ns", "int"}}},
    {"py_record_allocation", stats_py_record_allocation,
     "Record allocation event.\n\nUpdates both internal atomics and public AtomicCounter instances.",
     "($self, /, size, is_bucketed, padding=0, time_ns=0)"},
    {"py_record_deallocation", stats_py_record_deallocation,
     "Record deallocation event.\n\nUpdates both internal atomics and public AtomicCounter instances.",
     "($self, /, size, time_ns=0)"},
    {"_update_peaks", stats_update_peaks,
     "Update peak values using compare-and-swap.\n\nPython wrapper for internal cdef methods.",
     "($self, /, current_allocs, current_bytes)", {{"current_allocs", "int"}, {"current_bytes", "int"}}},
    {"get_snapshot", stats_get_snapshot, "Get atomic snapshot of statistics.", "($self, /)"},
    {"reset", stats_reset, "Reset all statistics to zero.", "($self, /)"},
};

int stats_traverse(PyObject* self, visitproc visit, void* arg) {
  Statistics* s = as_stats(self);
  Py_VISIT(s->lock);
  for (PyObject* c : s->counters) Py_VISIT(c);
  return 0;
}

int stats_clear(PyObject* self) {
  Statistics* s = as_stats(self);
  Py_CLEAR(s->lock);
  for (PyObject*& c : s->counters) Py_CLEAR(c);
  return 0;
}

// A public counter as the repr shows it: the count of an AtomicCounter, the
// object itself for anything else (None after a del or a collector clear).
PyObject* shown_counter(PyObject* const& field) {
  int64_t v;
  if (native_load(field, &v)) return kv::from_i64(v);
  return kv::field_ref(field);
}

PyObject* stats_repr(PyObject* self) {
  PyObject** c = as_stats(self)->counters;
  Ref total = Ref::steal(shown_counter(c[kTotalAllocations]));
  Ref current = Ref::steal(shown_counter(c[kCurrentAllocations]));
  Ref bytes = Ref::steal(shown_counter(c[kBytesAllocated]));
  if (!total || !current || !bytes) return nullptr;
  return PyUnicode_FromFormat("LockFreeStatistics(total_allocations=%R, current_allocations=%R, bytes_allocated=%R)",
                              total.get(), current.get(), bytes.get());
}

// ---------------------------------------------------------------------------
// PerformanceTimer

struct Timer {
  PyObject_HEAD
  int64_t start;  // set by start() while other threads may read it: relaxed accesses
};

PyTypeObject TimerType{PyVarObject_HEAD_INIT(nullptr, 0)};

PyObject* timer_construct(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  (void)args;
  if (!kv::no_args("__init__", nargs, kwnames)) return nullptr;
  return reinterpret_cast<PyObject*>(kv::alloc_instance<Timer>(type));
}

// time.perf_counter_ns(), looked up through the module attribute `time`.
PyObject* perf_counter_ns() {
  Ref time = Ref::steal(kv::module_global(n_time));
  if (!time) return nullptr;
  return call_method(time.get(), n_perf_counter_ns);
}

PyObject* timer_start(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("start", nargs, kwnames)) return nullptr;
  Ref now = Ref::steal(perf_counter_ns());
  int64_t start;
  if (!now || !kv::to_i64(now.get(), &start)) return nullptr;
  kv::store_relaxed(reinterpret_cast<Timer*>(self)->start, start);
  Py_RETURN_NONE;
}

// time.perf_counter_ns() - self.start, with Python's integer semantics.
PyObject* elapsed_ns(PyObject* self) {
  Ref now = Ref::steal(perf_counter_ns());
  if (!now) return nullptr;
  int64_t start = kv::load_relaxed(reinterpret_cast<Timer*>(self)->start);
  if (PyLong_CheckExact(now.get())) {
    int overflow = 0;
    long long n = PyLong_AsLongLongAndOverflow(now.get(), &overflow);
    long long diff;
    if (overflow == 0 && !(n == -1 && PyErr_Occurred()) && !__builtin_sub_overflow(n, start, &diff)) {
      return PyLong_FromLongLong(diff);
    }
    PyErr_Clear();
  }
  Ref s = Ref::steal(kv::from_i64(start));
  if (!s) return nullptr;
  return PyNumber_Subtract(now.get(), s.get());
}

PyObject* timer_elapsed_ns(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("elapsed_ns", nargs, kwnames)) return nullptr;
  return elapsed_ns(self);
}

// self.elapsed_ns() / divisor; the method is called by name on subclasses.
PyObject* elapsed_scaled(PyObject* self, double divisor) {
  Ref ns = Ref::steal(Py_TYPE(self) == &TimerType ? elapsed_ns(self) : call_method(self, n_elapsed_ns));
  if (!ns) return nullptr;
  Ref d = Ref::steal(PyFloat_FromDouble(divisor));
  if (!d) return nullptr;
  return PyNumber_TrueDivide(ns.get(), d.get());
}

PyObject* timer_elapsed_us(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("elapsed_us", nargs, kwnames)) return nullptr;
  return elapsed_scaled(self, 1000.0);
}

PyObject* timer_elapsed_ms(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("elapsed_ms", nargs, kwnames)) return nullptr;
  return elapsed_scaled(self, 1000000.0);
}

PyObject* timer_repr(PyObject* self) {
  return PyUnicode_FromFormat("PerformanceTimer(start=%lld)",
                              static_cast<long long>(kv::load_relaxed(reinterpret_cast<Timer*>(self)->start)));
}

const kv::FunctionDef timer_methods[] = {
    {"start", timer_start, "Start timing.", "($self, /)"},
    {"elapsed_ns", timer_elapsed_ns, "Get elapsed time in nanoseconds.", "($self, /)", {{"return", "int"}}},
    {"elapsed_us", timer_elapsed_us, "Get elapsed time in microseconds.", "($self, /)", {{"return", "float"}}},
    {"elapsed_ms", timer_elapsed_ms, "Get elapsed time in milliseconds.", "($self, /)", {{"return", "float"}}},
};

// ---------------------------------------------------------------------------
// AtomicCounterWrapper: an ordinary Python class forwarding to AtomicCounter.

// self._counter.<method>(*args)
PyObject* forward(PyObject* self, const kv::Name& method, std::initializer_list<PyObject*> args = {}) {
  Ref counter = Ref::steal(PyObject_GetAttr(self, n_counter_attr.get()));
  if (!counter) return nullptr;
  return call_method(counter.get(), method, args);
}

// A result declared `-> int`.
PyObject* int_result(PyObject* r) {
  if (r == nullptr) return nullptr;
  Ref held = Ref::steal(r);
  return kv::expected_int_or_none(held.get());
}

kv::Params<1> wrapper_init_params{"__init__", {"initial_value"}, 0};

PyObject* wrapper_init(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!kv::parse(wrapper_init_params, args, nargs, kwnames, a)) return nullptr;
  Ref initial = a[0] != nullptr ? Ref::steal(kv::annotated_int(a[0], "initial_value")) : Ref::steal(PyLong_FromLong(0));
  if (!initial) return nullptr;
  PyObject* argv[2] = {nullptr, initial.get()};
  Ref counter = Ref::steal(PyObject_Vectorcall(reinterpret_cast<PyObject*>(&CounterType), argv + 1,
                                               1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
  if (!counter || PyObject_SetAttr(self, n_counter_attr.get(), counter.get()) < 0) return nullptr;
  Py_RETURN_NONE;
}

PyObject* wrapper_load(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("load", nargs, kwnames)) return nullptr;
  return int_result(forward(self, n_py_load));
}

kv::Params<1> wrapper_store_params{"store", {"value"}, 1};

PyObject* wrapper_store(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!kv::parse(wrapper_store_params, args, nargs, kwnames, a)) return nullptr;
  Ref value = Ref::steal(kv::annotated_int(a[0], "value"));
  if (!value) return nullptr;
  Ref r = Ref::steal(forward(self, n_py_store, {value.get()}));
  if (!r) return nullptr;
  Py_RETURN_NONE;
}

kv::Params<1> wrapper_increment_params{"increment", {"delta"}, 0};
kv::Params<1> wrapper_decrement_params{"decrement", {"delta"}, 0};

PyObject* wrapper_step(kv::Params<1>& params, const kv::Name& method, PyObject* self, PyObject* const* args,
                       Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!kv::parse(params, args, nargs, kwnames, a)) return nullptr;
  Ref delta = a[0] != nullptr ? Ref::steal(kv::annotated_int(a[0], "delta")) : Ref::steal(PyLong_FromLong(1));
  if (!delta) return nullptr;
  return int_result(forward(self, method, {delta.get()}));
}

PyObject* wrapper_increment(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return wrapper_step(wrapper_increment_params, n_py_increment, self, args, nargs, kwnames);
}

PyObject* wrapper_decrement(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return wrapper_step(wrapper_decrement_params, n_py_decrement, self, args, nargs, kwnames);
}

kv::Params<2> wrapper_cas_params{"compare_and_swap", {"expected", "new_value"}, 2};

PyObject* wrapper_compare_and_swap(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!kv::parse(wrapper_cas_params, args, nargs, kwnames, a)) return nullptr;
  Ref expected = Ref::steal(kv::annotated_int(a[0], "expected"));
  if (!expected) return nullptr;
  Ref desired = Ref::steal(kv::annotated_int(a[1], "new_value"));
  if (!desired) return nullptr;
  return forward(self, n_py_compare_and_swap, {expected.get(), desired.get()});
}

kv::Params<1> wrapper_faa_params{"fetch_and_add", {"delta"}, 1};

PyObject* wrapper_fetch_and_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!kv::parse(wrapper_faa_params, args, nargs, kwnames, a)) return nullptr;
  Ref delta = Ref::steal(kv::annotated_int(a[0], "delta"));
  if (!delta) return nullptr;
  return int_result(forward(self, n_py_fetch_and_add, {delta.get()}));
}

// AtomicCounterWrapper(<repr of the held counter>); an instance made without
// __init__ holds none.
PyObject* wrapper_repr(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("__repr__", nargs, kwnames)) return nullptr;
  Ref counter = Ref::steal(PyObject_GetAttr(self, n_counter_attr.get()));
  if (!counter) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
    return PyUnicode_FromString("AtomicCounterWrapper()");
  }
  return PyUnicode_FromFormat("AtomicCounterWrapper(%R)", counter.get());
}

const kv::FunctionDef wrapper_methods[] = {
    {"__init__", wrapper_init, "Hold a new AtomicCounter(initial_value).", "(self, initial_value=0)",
     {{"initial_value", "int"}}},
    {"load", wrapper_load, "Atomically load value (the counter's py_load).", "(self)", {{"return", "int"}}},
    {"store", wrapper_store, "Atomically store value (the counter's py_store).", "(self, value)",
     {{"value", "int"}}},
    {"increment", wrapper_increment, "Atomically increment and return new value (the counter's py_increment).",
     "(self, delta=1)", {{"delta", "int"}, {"return", "int"}}},
    {"decrement", wrapper_decrement, "Atomically decrement and return new value (the counter's py_decrement).",
     "(self, delta=1)", {{"delta", "int"}, {"return", "int"}}},
    {"compare_and_swap", wrapper_compare_and_swap, "Atomically compare and swap (the counter's py_compare_and_swap).",
     "(self, expected, new_value)", {{"expected", "int"}, {"new_value", "int"}, {"return", "bool"}}},
    {"fetch_and_add", wrapper_fetch_and_add, "Atomically fetch and add (the counter's py_fetch_and_add).",
     "(self, delta)", {{"delta", "int"}, {"return", "int"}}},
    {"__repr__", wrapper_repr, "Return repr(self).", "(self)", {{"return", "str"}}},
};

// type("AtomicCounterWrapper", (object,), namespace)
PyObject* make_wrapper_class(PyObject* module) {
  Ref module_name = Ref::steal(PyObject_GetAttrString(module, "__name__"));
  Ref ns = Ref::steal(PyDict_New());
  if (!module_name || !ns) return nullptr;
  if (PyDict_SetItemString(ns.get(), "__module__", module_name.get()) < 0) return nullptr;
  Ref qualname = Ref::steal(PyUnicode_FromString("AtomicCounterWrapper"));
  Ref doc = Ref::steal(PyUnicode_FromString("Python wrapper for Cython AtomicCounter (backward compatibility)."));
  if (!qualname || !doc || PyDict_SetItemString(ns.get(), "__qualname__", qualname.get()) < 0 ||
      PyDict_SetItemString(ns.get(), "__doc__", doc.get()) < 0) {
    return nullptr;
  }
  for (const kv::FunctionDef& def : wrapper_methods) {
    Ref f = Ref::steal(kv::make_function(def, kv::Kind::PlainMethod, module_name.get(), "AtomicCounterWrapper"));
    if (!f || PyDict_SetItemString(ns.get(), def.name, f.get()) < 0) return nullptr;
  }
  return PyObject_CallFunction(reinterpret_cast<PyObject*>(&PyType_Type), "s(O)O", "AtomicCounterWrapper",
                               reinterpret_cast<PyObject*>(&PyBaseObject_Type), ns.get());
}

// ---------------------------------------------------------------------------
// Types and module

const char counter_doc[] =
    "AtomicCounter(initial_value=0)\n--\n\n"
    "Lock-free 64-bit atomic counter.\n\n"
    "Every operation is one sequentially consistent atomic instruction, run\n"
    "with the interpreter lock released; arithmetic wraps around in 64-bit\n"
    "two's complement.\n\n"
    "Performance:\n"
    "    increment(): <30ns (20\u00d7 faster than Python locks)\n"
    "    load(): <10ns (10\u00d7 faster than Python)\n"
    "    compare_and_swap(): <50ns (10\u00d7 faster than Python)";

const char pointer_doc[] =
    "AtomicPointer(initial_value=None)\n--\n\n"
    "Thread-safe atomic pointer with version tracking.\n\n"
    "Holds one object reference (or nothing) and a version that grows with\n"
    "every change, so that a caller can detect a change that was undone\n"
    "(the ABA problem). Every operation holds a lock private to the cell: a\n"
    "truly lock-free form would need hazard pointers to manage the reference\n"
    "counts of the held objects.\n\n"
    "Performance:\n"
    "    load(): ~50-100ns (includes GIL + lock overhead)\n"
    "    store(): ~50-100ns\n"
    "    compare_and_swap(): ~100-150ns";

const char stack_doc[] =
    "LockFreeStack()\n--\n\n"
    "Lock-based stack with lock-free size counter.\n\n"
    "Despite the class name, push and pop take a lock: a genuinely lock-free\n"
    "linked structure would need hazard pointers for safe memory reclamation\n"
    "under reference counting. size() reads an atomic counter and never waits.\n\n"
    "Performance:\n"
    "    push(): ~100-200ns (lock-based)\n"
    "    pop(): ~150-250ns (lock-based)\n"
    "    size(): <20ns (lock-free C11 atomics)";

const char stats_doc[] =
    "LockFreeStatistics()\n--\n\n"
    "Lock-free statistics collection using atomic counters.\n\n"
    "Performance:\n"
    "    record_allocation(): <100ns (vs 2-3\u03bcs with locks)\n"
    "    get_snapshot(): <500ns";

const char timer_doc[] =
    "PerformanceTimer()\n--\n\n"
    "High-resolution timer for performance measurement.";

bool init_types() {
  kv::init_type<counter_construct>(CounterType, "korvane.memory.lockfree_core.AtomicCounter", sizeof(Counter),
                               counter_doc);
  CounterType.tp_repr = counter_repr;

  kv::init_type<pointer_construct>(PointerType, "korvane.memory.lockfree_core.AtomicPointer", sizeof(Pointer),
                               pointer_doc, kv::dealloc_holder<pointer_clear>);
  PointerType.tp_flags |= Py_TPFLAGS_HAVE_GC;
  PointerType.tp_traverse = pointer_traverse;
  PointerType.tp_clear = pointer_clear;
  PointerType.tp_repr = pointer_repr;

  kv::init_type<stack_construct>(StackType, "korvane.memory.lockfree_core.LockFreeStack", sizeof(Stack), stack_doc,
                             kv::dealloc_holder<stack_clear>);
  StackType.tp_flags |= Py_TPFLAGS_HAVE_GC;
  StackType.tp_traverse = stack_traverse;
  StackType.tp_clear = stack_clear;
  StackType.tp_repr = stack_repr;

  for (int i = 0; i < kFieldCount; ++i) {
    stats_getset[i] = {field_names[i], stats_get_counter, stats_set_counter,
                       "Public AtomicCounter of this statistic (any object may be assigned; del stores None).",
                       reinterpret_cast<void*>(static_cast<std::intptr_t>(i))};
  }
  stats_getset[kFieldCount] = {nullptr};
  kv::init_type<stats_construct>(StatisticsType, "korvane.memory.lockfree_core.LockFreeStatistics",
                             sizeof(Statistics), stats_doc, kv::dealloc_holder<stats_clear>);
  StatisticsType.tp_flags |= Py_TPFLAGS_HAVE_GC;
  StatisticsType.tp_traverse = stats_traverse;
  StatisticsType.tp_clear = stats_clear;
  StatisticsType.tp_getset = stats_getset;
  StatisticsType.tp_repr = stats_repr;

  kv::init_type<timer_construct>(TimerType, "korvane.memory.lockfree_core.PerformanceTimer", sizeof(Timer),
                             timer_doc);
  TimerType.tp_repr = timer_repr;
  return true;
}

int exec_module(PyObject* m) {
  // The five extension types with their methods.
  if (!init_types()) return -1;
  for (PyTypeObject* t : {&CounterType, &PointerType, &StackType, &StatisticsType, &TimerType}) {
    if (!kv::add_type(m, t) || !kv::refuse_pickling(t)) return -1;
  }
  if (!kv::add_methods(&CounterType, counter_methods) || !kv::add_methods(&PointerType, pointer_methods) ||
      !kv::add_methods(&StackType, stack_methods) || !kv::add_methods(&StatisticsType, stats_methods) ||
      !kv::add_methods(&TimerType, timer_methods)) {
    return -1;
  }
  if (!snapshot_keys.init(key_names)) return -1;
  if (!kv::publish_table(&CounterType, counter_ops, KORVANE_ATOMIC_COUNTER_OPS_CAPSULE) ||
      !kv::publish_table(&StatisticsType, statistics_ops, KORVANE_STATISTICS_OPS_CAPSULE)) {
    return -1;
  }
  if (!kv::import_module_as(m, "threading") || !kv::import_module_as(m, "time") ||
      !kv::import_names(m, "typing", {"Optional", "TypeVar", "Generic"})) {
    return -1;
  }
  // Second names for the counter's methods: the very same objects.
  for (auto [alias, name] : {std::pair{"py_load", "load"}, std::pair{"py_store", "store"},
                             std::pair{"py_increment", "increment"}, std::pair{"py_decrement", "decrement"},
                             std::pair{"py_compare_and_swap", "compare_and_swap"},
                             std::pair{"py_fetch_and_add", "fetch_and_add"}}) {
    if (!kv::add_alias(&CounterType, alias, name)) return -1;
  }
  Ref wrapper = Ref::steal(make_wrapper_class(m));
  if (!wrapper || PyModule_AddObjectRef(m, "AtomicCounterWrapper", wrapper.get()) < 0) return -1;
  if (!kv::import_module_as(m, "logging")) return -1;
#ifdef Py_GIL_DISABLED
  if (!kv::probes::publish(m, probe_names)) return -1;
#endif
  PyObject* logger = kv::bind_logger(m);
  if (logger == nullptr ||
      !kv::log(logger, "info", "Korvane Cython Lockfree Core loaded - C11 atomics active (10-20\u00d7 speedup)")) {
    return -1;
  }
  return PyModule_AddObjectRef(m, "CYTHON_ATOMICS_AVAILABLE", Py_True);
}

}  // namespace

KV_MODULE(lockfree_core, "korvane.memory.lockfree_core",
          "Lock-free memory primitives: atomic counter, versioned pointer, stack,\n"
          "allocation statistics and a nanosecond timer.",
          exec_module)
