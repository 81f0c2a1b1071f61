// korvane.memory.block_index: a size-keyed red-black tree of free memory
// blocks with same-size chains and lock-free best-fit readers.

#include <cstdint>
#include <ctime>

#include "kv/frame.hpp"

namespace {

using kv::Ref;

kv::Name n_threading{"threading"};
kv::Name n_time{"time"};
kv::Name n_perf_counter_ns{"perf_counter_ns"};
kv::Name n_sleep{"sleep"};
kv::Name n_AtomicCounter{"AtomicCounter"};
kv::Name n_ATOMIC_AVAILABLE{"ATOMIC_AVAILABLE"};
kv::Name n_increment{"increment"};
kv::Name n_load{"load"};
kv::Name n_sanitize_size{"_sanitize_size"};
kv::Name n_size{"size"};

// The keys of the stats dict, the first seven in their initial order.
kv::Name k_total_blocks{"total_blocks"};
kv::Name k_total_insertions{"total_insertions"};
kv::Name k_total_deletions{"total_deletions"};
kv::Name k_total_searches{"total_searches"};
kv::Name k_bucket_hits{"bucket_hits"};
kv::Name k_tree_hits{"tree_hits"};
kv::Name k_operation_count{"operation_count"};
kv::Name k_circuit_breaker_trips{"circuit_breaker_trips"};
kv::Name k_node_count{"node_count"};
kv::Name k_height{"height"};
kv::Name k_sampled_operations{"sampled_operations"};
kv::Name k_is_valid{"is_valid"};

const kv::Name* const initial_stats_keys[] = {&k_total_blocks,    &k_total_insertions, &k_total_deletions,
                                              &k_total_searches,  &k_bucket_hits,      &k_tree_hits,
                                              &k_operation_count};

constexpr int kMaxRetries = 100;
PyObject* backoff_seconds;  // the float 0.0001, made at import

// The time module and its perf_counter_ns as imported, to recognise them at
// call time (the module global `time` may be replaced).
PyObject* original_time;
PyObject* original_perf_counter_ns;

// ---------------------------------------------------------------------------
// Node records

constexpr uint32_t RED = 0;
constexpr uint32_t BLACK = 1;

// One record per stored block. A tree node heads the chain of its size; a
// chain entry has null parent, left and right and colour 0.
struct RBNode {
  RBNode* parent;
  RBNode* left;
  RBNode* right;
  uint32_t color;
  uint64_t size;
  PyObject* block;  // strong reference
  RBNode* next;     // next entry of this size's chain
  uint64_t timestamp;
};

inline bool is_red(const RBNode* n) { return n != nullptr && n->color == RED; }
inline bool is_black(const RBNode* n) { return n == nullptr || n->color == BLACK; }

struct Tree {
  PyObject_HEAD
  RBNode* root;
  uint64_t node_count;  // stored blocks, chain entries included
  PyObject* write_lock;
  // Advanced by one before a writer's first change and by one after its
  // last: odd while a write is in progress. Written only under write_lock
  // and the interpreter lock; read only under the interpreter lock.
  int64_t seq_counter;
  uint32_t sample_rate;
  PyObject* operation_counter;
  PyObject* sampled_counter;
  int use_atomic;
  PyObject* stats_lock;
  PyObject* stats;
};

PyTypeObject TreeType{PyVarObject_HEAD_INIT(nullptr, 0)};

inline Tree* as_tree(PyObject* o) { return reinterpret_cast<Tree*>(o); }

// Frees a detached subtree: left subtree, right subtree, then each chain
// entry in chain order, then the node, releasing every block reference.
// The records are unreachable from any tree when this runs, so a finaliser
// started by a release may use the tree freely.
void recursive_free(RBNode* node) {
  if (node == nullptr) return;
  recursive_free(node->left);
  recursive_free(node->right);
  RBNode* entry = node->next;
  while (entry != nullptr) {
    RBNode* following = entry->next;
    PyObject* block = entry->block;
    PyMem_Free(entry);
    Py_DECREF(block);
    entry = following;
  }
  PyObject* block = node->block;
  PyMem_Free(node);
  Py_DECREF(block);
}

// time.perf_counter_ns() through the module global `time`, as an unsigned
// 64-bit value. The unchanged function is read natively: it has no effect
// beyond its result, which nothing reads back. False with an error set.
bool perf_counter_ns(uint64_t* out) {
  Ref time = Ref::steal(kv::module_global(n_time));
  if (!time) return false;
  if (time.get() == original_time) {
    PyObject* fn = nullptr;
    if (PyDict_GetItemRef(PyModule_GetDict(original_time), n_perf_counter_ns.get(), &fn) < 0) return false;
    Ref held = Ref::steal(fn);
    if (fn == original_perf_counter_ns) {
      timespec ts;
      clock_gettime(CLOCK_MONOTONIC, &ts);
      *out = static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
      return true;
    }
  }
  Ref now = Ref::steal(kv::call_method(time.get(), n_perf_counter_ns));
  return now && kv::to_u64(now.get(), out);
}

// A red record for `block`, not yet linked; null with MemoryError or the
// error of the clock. The record takes its block reference last.
RBNode* allocate_node(uint64_t size, PyObject* block) {
  auto* node = static_cast<RBNode*>(PyMem_Malloc(sizeof(RBNode)));
  if (node == nullptr) {
    PyErr_SetString(PyExc_MemoryError, "Failed to allocate RB node");
    return nullptr;
  }
  *node = RBNode{nullptr, nullptr, nullptr, RED, size, nullptr, nullptr, 0};
  if (!perf_counter_ns(&node->timestamp)) {
    PyMem_Free(node);
    return nullptr;
  }
  node->block = Py_NewRef(block);
  return node;
}

// ---------------------------------------------------------------------------
// Red-black tree structure. Nothing here touches Python objects.

void rotate_left(Tree* t, RBNode* x) {
  RBNode* y = x->right;
  x->right = y->left;
  if (y->left != nullptr) y->left->parent = x;
  y->parent = x->parent;
  if (x->parent == nullptr) {
    t->root = y;
  } else if (x == x->parent->left) {
    x->parent->left = y;
  } else {
    x->parent->right = y;
  }
  y->left = x;
  x->parent = y;
}

void rotate_right(Tree* t, RBNode* x) {
  RBNode* y = x->left;
  x->left = y->right;
  if (y->right != nullptr) y->right->parent = x;
  y->parent = x->parent;
  if (x->parent == nullptr) {
    t->root = y;
  } else if (x == x->parent->right) {
    x->parent->right = y;
  } else {
    x->parent->left = y;
  }
  y->right = x;
  x->parent = y;
}

void fixup_insert(Tree* t, RBNode* z) {
  while (is_red(z->parent)) {
    RBNode* p = z->parent;
    RBNode* g = p->parent;
    if (p == g->left) {
      RBNode* u = g->right;
      if (is_red(u)) {
        p->color = BLACK;
        u->color = BLACK;
        g->color = RED;
        z = g;
        continue;
      }
      if (z == p->right) {
        z = p;
        rotate_left(t, z);
      }
      z->parent->color = BLACK;
      z->parent->parent->color = RED;
      rotate_right(t, z->parent->parent);
    } else {
      RBNode* u = g->left;
      if (is_red(u)) {
        p->color = BLACK;
        u->color = BLACK;
        g->color = RED;
        z = g;
        continue;
      }
      if (z == p->left) {
        z = p;
        rotate_right(t, z);
      }
      z->parent->color = BLACK;
      z->parent->parent->color = RED;
      rotate_left(t, z->parent->parent);
    }
  }
  t->root->color = BLACK;
}

// The tree node of `size`, or null.
inline RBNode* find_node(const Tree* t, uint64_t size) {
  RBNode* n = t->root;
  while (n != nullptr && n->size != size) n = size < n->size ? n->left : n->right;
  return n;
}

// The tree node with the smallest size >= `size`, or null.
inline RBNode* find_best_fit_node(const Tree* t, uint64_t size) {
  RBNode* best = nullptr;
  RBNode* n = t->root;
  while (n != nullptr) {
    if (n->size < size) {
      n = n->right;
    } else {
      best = n;
      n = n->left;
    }
  }
  return best;
}

inline RBNode* minimum(RBNode* n) {
  while (n->left != nullptr) n = n->left;
  return n;
}

void transplant(Tree* t, RBNode* u, RBNode* v) {
  if (u->parent == nullptr) {
    t->root = v;
  } else if (u == u->parent->left) {
    u->parent->left = v;
  } else {
    u->parent->right = v;
  }
  if (v != nullptr) v->parent = u->parent;
}

// Restores the red-black rules after a black node was removed above `x`,
// which may be null (an empty subtree); `parent` is x's parent.
void fixup_delete(Tree* t, RBNode* x, RBNode* parent) {
  while (x != t->root && is_black(x)) {
    if (x == parent->left) {
      RBNode* w = parent->right;
      if (is_red(w)) {
        w->color = BLACK;
        parent->color = RED;
        rotate_left(t, parent);
        w = parent->right;
      }
      if (is_black(w->left) && is_black(w->right)) {
        w->color = RED;
        x = parent;
        parent = x->parent;
        continue;
      }
      if (is_black(w->right)) {
        w->left->color = BLACK;
        w->color = RED;
        rotate_right(t, w);
        w = parent->right;
      }
      w->color = parent->color;
      parent->color = BLACK;
      w->right->color = BLACK;
      rotate_left(t, parent);
      x = t->root;
    } else {
      RBNode* w = parent->left;
      if (is_red(w)) {
        w->color = BLACK;
        parent->color = RED;
        rotate_right(t, parent);
        w = parent->left;
      }
      if (is_black(w->left) && is_black(w->right)) {
        w->color = RED;
        x = parent;
        parent = x->parent;
        continue;
      }
      if (is_black(w->left)) {
        w->right->color = BLACK;
        w->color = RED;
        rotate_left(t, w);
        w = parent->left;
      }
      w->color = parent->color;
      parent->color = BLACK;
      w->left->color = BLACK;
      rotate_right(t, parent);
      x = t->root;
    }
  }
  if (x != nullptr) x->color = BLACK;
}

// Unlinks the tree node z (which has no chain entries) and frees its record.
// Returns z's block reference, which the caller releases once it has left
// the write lock.
PyObject* delete_node(Tree* t, RBNode* z) {
  PyObject* block = z->block;
  uint32_t removed_color = z->color;
  RBNode* x;
  RBNode* x_parent;
  if (z->left == nullptr) {
    x = z->right;
    x_parent = z->parent;
    transplant(t, z, z->right);
  } else if (z->right == nullptr) {
    x = z->left;
    x_parent = z->parent;
    transplant(t, z, z->left);
  } else {
    RBNode* y = minimum(z->right);
    removed_color = y->color;
    x = y->right;
    if (y->parent == z) {
      x_parent = y;
    } else {
      x_parent = y->parent;
      transplant(t, y, y->right);
      y->right = z->right;
      y->right->parent = y;
    }
    transplant(t, z, y);
    y->left = z->left;
    y->left->parent = y;
    y->color = z->color;
  }
  if (removed_color == BLACK) fixup_delete(t, x, x_parent);
  PyMem_Free(z);
  return block;
}

// Takes the first entry of a tree node's chain out of the tree: the second
// entry moves into the node (the shape is unchanged), or, without one, the
// node is deleted. Returns the removed block's reference.
PyObject* remove_first_entry(Tree* t, RBNode* node) {
  RBNode* second = node->next;
  if (second == nullptr) return delete_node(t, node);
  PyObject* block = node->block;
  node->next = second->next;
  node->block = second->block;
  node->timestamp = second->timestamp;
  PyMem_Free(second);
  return block;
}

int compute_height(const RBNode* node) {
  if (node == nullptr) return 0;
  int l = compute_height(node->left);
  int r = compute_height(node->right);
  return 1 + (l > r ? l : r);
}

// ---------------------------------------------------------------------------
// Sizes and statistics

// _sanitize_size: 0 stays 0, a negative size raises ValueError
// "Invalid size: <size>", anything else is returned unchanged. New reference.
PyObject* sanitize(PyObject* size) {
  if (PyLong_CheckExact(size)) {
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(size, &overflow);
    if (v == -1 && overflow == 0 && PyErr_Occurred()) return nullptr;
    if (overflow > 0 || (overflow == 0 && v >= 0)) return Py_NewRef(size);
  } else {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    Ref eq = Ref::steal(PyObject_RichCompare(size, zero.get(), Py_EQ));
    if (!eq) return nullptr;
    int is_zero = PyObject_IsTrue(eq.get());
    if (is_zero < 0) return nullptr;
    if (is_zero) return PyLong_FromLong(0);
    Ref lt = Ref::steal(PyObject_RichCompare(size, zero.get(), Py_LT));
    if (!lt) return nullptr;
    int negative = PyObject_IsTrue(lt.get());
    if (negative < 0) return nullptr;
    if (!negative) return Py_NewRef(size);
  }
  PyErr_Format(PyExc_ValueError, "Invalid size: %S", size);
  return nullptr;
}

enum class SizeResult { Ok, Invalid, Error };

// The c_size of a `size` argument: the annotated-int check, then
// self._sanitize_size(size) looked up on the instance, the check of its
// result and the unsigned 64-bit conversion. A ValueError from
// _sanitize_size gives Invalid (with no error set) when `catch_invalid`.
SizeResult size_arg(PyObject* self, PyObject* arg, bool catch_invalid, uint64_t* out) {
  // The common call: an exact tree (whose _sanitize_size cannot be replaced)
  // and a non-negative int.
  if (Py_TYPE(self) == &TreeType && PyLong_CheckExact(arg)) {
    if (PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(arg))) {
      Py_ssize_t v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(arg));
      if (v >= 0) {
        *out = static_cast<uint64_t>(v);
        return SizeResult::Ok;
      }
      if (catch_invalid) return SizeResult::Invalid;
    }
  }
  Ref size = Ref::steal(kv::annotated_int(arg, "size"));
  if (!size) return SizeResult::Error;
  Ref sanitized;
  if (Py_TYPE(self) == &TreeType) {
    sanitized = Ref::steal(sanitize(size.get()));
  } else {
    sanitized = Ref::steal(kv::call_method(self, n_sanitize_size, {size.get()}));
  }
  if (!sanitized) {
    if (catch_invalid && PyErr_ExceptionMatches(PyExc_ValueError)) {
      PyErr_Clear();
      return SizeResult::Invalid;
    }
    return SizeResult::Error;
  }
  Ref checked = Ref::steal(kv::expected_int_or_none(sanitized.get()));
  if (!checked || !kv::to_u64(checked.get(), out)) return SizeResult::Error;
  return SizeResult::Ok;
}

// stats[key] += delta, as a read, a Python addition and a store.
bool stats_add(PyObject* stats, const kv::Name& key, long delta) {
  PyObject* k = key.get();
  if (PyDict_CheckExact(stats)) {
    PyObject* v = PyDict_GetItemWithError(stats, k);  // borrowed
    if (v == nullptr) {
      if (!PyErr_Occurred()) PyErr_SetObject(PyExc_KeyError, k);
      return false;
    }
    Ref updated;
    if (PyLong_CheckExact(v) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(v))) {
      updated = Ref::steal(PyLong_FromSsize_t(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(v)) + delta));
    } else {
      Ref d = Ref::steal(PyLong_FromLong(delta));
      if (!d) return false;
      updated = Ref::steal(PyNumber_Add(v, d.get()));
    }
    return updated && PyDict_SetItem(stats, k, updated.get()) == 0;
  }
  // Only after the garbage collector has cleared the tree (stats is None).
  Ref v = Ref::steal(PyObject_GetItem(stats, k));
  if (!v) return false;
  Ref d = Ref::steal(PyLong_FromLong(delta));
  if (!d) return false;
  Ref updated = Ref::steal(PyNumber_Add(v.get(), d.get()));
  return updated && PyObject_SetItem(stats, k, updated.get()) == 0;
}

// A new dict of the seven initial keys, all 0.
PyObject* new_stats() {
  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  Ref zero = Ref::steal(PyLong_FromLong(0));
  for (const kv::Name* key : initial_stats_keys) {
    if (PyDict_SetItem(d.get(), key->get(), zero.get()) < 0) return nullptr;
  }
  return d.release();
}

// AtomicCounter(0) through the module global; new reference or null.
PyObject* new_counter() {
  Ref factory = Ref::steal(kv::module_global(n_AtomicCounter));
  if (!factory) return nullptr;
  Ref zero = Ref::steal(PyLong_FromLong(0));
  return kv::call(factory.get(), {zero.get()});
}

// ---------------------------------------------------------------------------
// Construction and destruction

kv::Params<1> tree_new_params{"__init__", {"sample_rate"}, 0};

PyObject* tree_construct(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!kv::parse(tree_new_params, args, nargs, kwnames, a)) return nullptr;
  uint32_t sample_rate = 100;
  if (a[0] != nullptr && !kv::to_u32(a[0], &sample_rate)) return nullptr;
  Ref obj = Ref::steal(reinterpret_cast<PyObject*>(kv::alloc_instance<Tree>(type)));
  if (!obj) return nullptr;
  Tree* t = as_tree(obj.get());
  for (PyObject** field : {&t->write_lock, &t->operation_counter, &t->sampled_counter, &t->stats_lock, &t->stats}) {
    *field = Py_NewRef(Py_None);
  }
  t->root = nullptr;
  t->node_count = 0;
  Ref threading = Ref::steal(kv::module_global(n_threading));
  if (!threading) return nullptr;
  Py_SETREF(t->write_lock, kv::new_lock(threading.get()));
  if (t->write_lock == nullptr) return nullptr;
  t->seq_counter = 0;
  t->sample_rate = sample_rate;
  bool atomic = false;
  {
    Ref available = Ref::steal(kv::module_global(n_ATOMIC_AVAILABLE));
    if (!available || !kv::to_truth(available.get(), &atomic)) return nullptr;
    if (atomic) {
      Ref factory = Ref::steal(kv::module_global(n_AtomicCounter));
      if (!factory || !kv::to_truth(factory.get(), &atomic)) return nullptr;
    }
  }
  if (atomic) {
    Py_SETREF(t->operation_counter, new_counter());
    if (t->operation_counter == nullptr) return nullptr;
    Py_SETREF(t->sampled_counter, new_counter());
    if (t->sampled_counter == nullptr) return nullptr;
    t->use_atomic = 1;
  }
  threading = Ref::steal(kv::module_global(n_threading));
  if (!threading) return nullptr;
  Py_SETREF(t->stats_lock, kv::new_lock(threading.get()));
  if (t->stats_lock == nullptr) return nullptr;
  Py_SETREF(t->stats, new_stats());
  if (t->stats == nullptr) return nullptr;
  return obj.release();
}

int tree_traverse(PyObject* self, visitproc visit, void* arg) {
  Tree* t = as_tree(self);
  Py_VISIT(t->write_lock);
  Py_VISIT(t->operation_counter);
  Py_VISIT(t->sampled_counter);
  Py_VISIT(t->stats_lock);
  Py_VISIT(t->stats);
  return 0;
}

// The collector's clear leaves None in the object fields, so that a method
// called on a cleared tree raises instead of crashing.
int tree_clear(PyObject* self) {
  Tree* t = as_tree(self);
  for (PyObject** field : {&t->write_lock, &t->operation_counter, &t->sampled_counter, &t->stats_lock, &t->stats}) {
    Py_XSETREF(*field, Py_NewRef(Py_None));
  }
  return 0;
}

void tree_dealloc(PyObject* self) {
  Tree* t = as_tree(self);
  PyObject_GC_UnTrack(self);
  RBNode* detached = t->root;
  t->root = nullptr;
  t->node_count = 0;
  if (detached != nullptr) {
    PyObject* pending = PyErr_GetRaisedException();
    recursive_free(detached);
    PyErr_SetRaisedException(pending);
  }
  Py_CLEAR(t->write_lock);
  Py_CLEAR(t->operation_counter);
  Py_CLEAR(t->sampled_counter);
  Py_CLEAR(t->stats_lock);
  Py_CLEAR(t->stats);
  kv::free_instance(self);
}

// ---------------------------------------------------------------------------
// Writers

// Brackets a write: the lock is entered and seq_counter made odd on
// construction, seq_counter made even again and the lock left by finish().
class WriteScope {
 public:
  explicit WriteScope(Tree* t) : tree_(t), guard_(t->write_lock) {
    if (guard_.ok()) tree_->seq_counter += 1;
  }
  bool ok() const { return guard_.ok(); }
  // False when an error is set (from the write or from leaving the lock).
  bool finish() {
    tree_->seq_counter += 1;
    return guard_.leave();
  }

 private:
  Tree* tree_;
  kv::Locked guard_;
};

kv::Params<2> insert_params{"insert", {"size", "block"}, 2};

PyObject* tree_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!kv::parse(insert_params, args, nargs, kwnames, a)) return nullptr;
  uint64_t size;
  if (size_arg(self, a[0], false, &size) != SizeResult::Ok) return nullptr;
  Tree* t = as_tree(self);
  PyObject* block = a[1];

  bool sample = false;
  if (t->use_atomic) {
    // Held for the call: clear() may replace the counter while increment()
    // runs without the interpreter lock.
    Ref counter = Ref::borrow(t->operation_counter);
    Ref op = Ref::steal(kv::call_method(counter.get(), n_increment));
    if (!op) return nullptr;
    if (t->sample_rate > 0) {
      int64_t v;
      if (PyLong_CheckExact(op.get()) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(op.get()))) {
        v = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(op.get()));
        sample = v % static_cast<int64_t>(t->sample_rate) == 0;
      } else {
        Ref rate = Ref::steal(PyLong_FromUnsignedLong(t->sample_rate));
        Ref zero = Ref::steal(PyLong_FromLong(0));
        if (!rate || !zero) return nullptr;
        Ref rem = Ref::steal(PyNumber_Remainder(op.get(), rate.get()));
        if (!rem) return nullptr;
        Ref eq = Ref::steal(PyObject_RichCompare(rem.get(), zero.get(), Py_EQ));
        if (!eq || !kv::to_truth(eq.get(), &sample)) return nullptr;
      }
    }
  }

  Ref sampled_result;  // released after the lock
  bool ok = [&] {
    WriteScope scope(t);
    if (!scope.ok()) return false;
    bool done = [&] {
      // One descent finds the size's tree node or the parent of a new one.
      RBNode* parent = nullptr;
      RBNode* existing = t->root;
      while (existing != nullptr && existing->size != size) {
        parent = existing;
        existing = size < existing->size ? existing->left : existing->right;
      }
      RBNode* node = allocate_node(size, block);
      if (node == nullptr) return false;
      if (existing != nullptr) {
        node->next = existing->next;
        existing->next = node;
      } else if (parent == nullptr) {
        node->color = BLACK;
        t->root = node;
      } else {
        node->parent = parent;
        if (size < parent->size) {
          parent->left = node;
        } else {
          parent->right = node;
        }
        fixup_insert(t, node);
      }
      t->node_count += 1;
      if (!stats_add(t->stats, k_total_blocks, 1) || !stats_add(t->stats, k_total_insertions, 1) ||
          !stats_add(t->stats, k_operation_count, 1)) {
        return false;
      }
      if (sample && t->use_atomic) {
        sampled_result = Ref::steal(kv::call_method(t->sampled_counter, n_increment));
        if (!sampled_result) return false;
      }
      return true;
    }();
    return scope.finish() && done;
  }();
  if (!ok) return nullptr;
  Py_RETURN_TRUE;
}

kv::Params<2> delete_params{"delete", {"size", "block"}, 2};

PyObject* tree_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!kv::parse(delete_params, args, nargs, kwnames, a)) return nullptr;
  uint64_t size;
  switch (size_arg(self, a[0], true, &size)) {
    case SizeResult::Ok:
      break;
    case SizeResult::Invalid:
      Py_RETURN_FALSE;
    case SizeResult::Error:
      return nullptr;
  }
  Tree* t = as_tree(self);
  PyObject* given = a[1];
  Ref removed;  // the removed block, released after the lock
  bool ok = [&] {
    WriteScope scope(t);
    if (!scope.ok()) return false;
    bool done = [&] {
      RBNode* node = find_node(t, size);
      if (node == nullptr) return true;
      // Equality may run Python code but cannot change the tree: every
      // writer needs the lock held here.
      RBNode* prev = nullptr;
      for (RBNode* cur = node; cur != nullptr; prev = cur, cur = cur->next) {
        Ref eq = Ref::steal(PyObject_RichCompare(cur->block, given, Py_EQ));
        if (!eq) return false;
        int match = PyObject_IsTrue(eq.get());
        if (match < 0) return false;
        if (!match) continue;
        if (prev == nullptr) {
          removed = Ref::steal(remove_first_entry(t, node));
        } else {
          prev->next = cur->next;
          removed = Ref::steal(cur->block);
          PyMem_Free(cur);
        }
        t->node_count -= 1;
        return stats_add(t->stats, k_total_blocks, -1) && stats_add(t->stats, k_total_deletions, 1);
      }
      return true;
    }();
    return scope.finish() && done;
  }();
  bool deleted = static_cast<bool>(removed);
  if (!ok) {
    // The exception stays set while the reference goes.
    return nullptr;
  }
  removed.reset();
  return kv::from_bool(deleted);
}

PyObject* tree_clear_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("clear", nargs, kwnames)) return nullptr;
  Tree* t = as_tree(self);
  RBNode* detached = nullptr;
  Ref old_stats, old_operation_counter, old_sampled_counter;  // released after the lock
  bool ok = [&] {
    WriteScope scope(t);
    if (!scope.ok()) return false;
    bool done = [&] {
      detached = t->root;
      t->root = nullptr;
      t->node_count = 0;
      PyObject* stats = new_stats();
      if (stats == nullptr) return false;
      old_stats = Ref::steal(t->stats);
      t->stats = stats;
      if (t->use_atomic) {
        PyObject* counter = new_counter();
        if (counter == nullptr) return false;
        old_operation_counter = Ref::steal(t->operation_counter);
        t->operation_counter = counter;
        counter = new_counter();
        if (counter == nullptr) return false;
        old_sampled_counter = Ref::steal(t->sampled_counter);
        t->sampled_counter = counter;
      }
      return true;
    }();
    return scope.finish() && done;
  }();
  if (detached != nullptr) {
    PyObject* pending = PyErr_GetRaisedException();
    recursive_free(detached);
    PyErr_SetRaisedException(pending);
  }
  if (!ok) return nullptr;
  Py_RETURN_NONE;
}

kv::Params<1> remove_ge_params{"remove_ge", {"size"}, 1};

PyObject* none_pair() { return PyTuple_Pack(2, Py_None, Py_None); }

PyObject* tree_remove_ge(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!kv::parse(remove_ge_params, args, nargs, kwnames, a)) return nullptr;
  uint64_t size;
  switch (size_arg(self, a[0], true, &size)) {
    case SizeResult::Ok:
      break;
    case SizeResult::Invalid:
      return none_pair();
    case SizeResult::Error:
      return nullptr;
  }
  Tree* t = as_tree(self);
  Ref result;
  Ref removed;  // the tree's reference to the returned block, released after the lock
  bool ok = [&] {
    WriteScope scope(t);
    if (!scope.ok()) return false;
    bool done = [&] {
      RBNode* node = find_best_fit_node(t, size);
      if (node == nullptr) {
        result = Ref::steal(none_pair());
        return static_cast<bool>(result);
      }
      // The result is built before the tree changes, so that a failure
      // leaves the block stored.
      Ref actual = Ref::steal(kv::from_u64(node->size));
      if (!actual) return false;
      result = Ref::steal(PyTuple_Pack(2, actual.get(), node->block));
      if (!result) return false;
      removed = Ref::steal(remove_first_entry(t, node));
      t->node_count -= 1;
      return stats_add(t->stats, k_total_blocks, -1) && stats_add(t->stats, k_total_deletions, 1);
    }();
    return scope.finish() && done;
  }();
  removed.reset();
  if (!ok) return nullptr;
  return result.release();
}

// ---------------------------------------------------------------------------
// Readers

// Waits 0.0001 s through the module global `time`; false with an error set.
bool backoff() {
  Ref time = Ref::steal(kv::module_global(n_time));
  if (!time) return false;
  Ref r = Ref::steal(kv::call_method(time.get(), n_sleep, {backoff_seconds}));
  return static_cast<bool>(r);
}

// The optimistic read protocol: up to kMaxRetries attempts, sleeping while a
// write is in progress (odd seq_counter) and accepting a search only when
// seq_counter is unchanged after it. `search` runs the native search;
// `accept` builds the result from it. Returns the accepted result, the
// `give_up` value after the last attempt, or null with an error set.
//
// The search runs with the interpreter lock held. Writers make every
// structural change, and free every record, under the interpreter lock
// without running Python code in between, so the search can neither see a
// half-made change nor reach a freed record; an odd seq_counter still means
// that a writer is inside its change (running a block's __eq__, a counter
// method or the clock), and the reader backs off as the protocol says.
template <typename Search, typename Accept, typename GiveUp>
PyObject* optimistic_read(Tree* t, Search&& search, Accept&& accept, GiveUp&& give_up) {
  for (int attempt = 0; attempt < kMaxRetries; ++attempt) {
    int64_t seq_start = t->seq_counter;
    if (seq_start & 1) {
      if (!backoff()) return nullptr;
      continue;
    }
    RBNode* found = search();
    if (t->seq_counter == seq_start) {
      if (!stats_add(t->stats, k_total_searches, 1)) return nullptr;
      return accept(found);
    }
  }
  return give_up();
}

kv::Params<2> find_best_fit_params{"find_best_fit", {"size", "alignment"}, 1};

PyObject* tree_find_best_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!kv::parse(find_best_fit_params, args, nargs, kwnames, a)) return nullptr;
  // Both arguments pass their type check before the size is sanitised.
  Ref converted;
  PyObject* size_obj = a[0];
  if (!PyLong_Check(size_obj)) {
    converted = Ref::steal(kv::annotated_int(size_obj, "size"));
    if (!converted) return nullptr;
    size_obj = converted.get();
  }
  if (a[1] != nullptr && !PyLong_Check(a[1])) {
    Ref alignment = Ref::steal(kv::annotated_int(a[1], "alignment"));
    if (!alignment) return nullptr;
  }
  uint64_t size;
  switch (size_arg(self, size_obj, true, &size)) {
    case SizeResult::Ok:
      break;
    case SizeResult::Invalid:
      Py_RETURN_NONE;
    case SizeResult::Error:
      return nullptr;
  }
  Tree* t = as_tree(self);
  return optimistic_read(
      t, [&] { return find_best_fit_node(t, size); },
      [](RBNode* n) { return Py_NewRef(n != nullptr ? n->block : Py_None); }, [] { return Py_NewRef(Py_None); });
}

kv::Params<1> find_all_exact_params{"find_all_exact", {"size"}, 1};

PyObject* tree_find_all_exact(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!kv::parse(find_all_exact_params, args, nargs, kwnames, a)) return nullptr;
  uint64_t size;
  switch (size_arg(self, a[0], true, &size)) {
    case SizeResult::Ok:
      break;
    case SizeResult::Invalid:
      return PyList_New(0);
    case SizeResult::Error:
      return nullptr;
  }
  Tree* t = as_tree(self);
  return optimistic_read(
      t, [&] { return find_node(t, size); },
      [](RBNode* n) -> PyObject* {
        Py_ssize_t count = 0;
        for (RBNode* e = n; e != nullptr; e = e->next) ++count;
        PyObject* list = PyList_New(count);
        if (list == nullptr) return nullptr;
        Py_ssize_t i = 0;
        for (RBNode* e = n; e != nullptr; e = e->next) PyList_SET_ITEM(list, i++, Py_NewRef(e->block));
        return list;
      },
      [] { return PyList_New(0); });
}

// ---------------------------------------------------------------------------
// Size, statistics and reporting

PyObject* tree_size(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("size", nargs, kwnames)) return nullptr;
  return kv::from_u64(as_tree(self)->node_count);
}

// self.size(): the field itself for an exact tree. New reference or null.
PyObject* call_size(PyObject* self) {
  if (Py_TYPE(self) == &TreeType) return kv::from_u64(as_tree(self)->node_count);
  return kv::call_method(self, n_size);
}

Py_ssize_t tree_length(PyObject* self) {
  if (Py_TYPE(self) == &TreeType) {
    uint64_t n = as_tree(self)->node_count;
    if (n <= static_cast<uint64_t>(PY_SSIZE_T_MAX)) return static_cast<Py_ssize_t>(n);
  }
  Ref n = Ref::steal(call_size(self));
  if (!n) return -1;
  Ref index = Ref::steal(PyNumber_Index(n.get()));
  if (!index) return -1;
  Py_ssize_t len = PyLong_AsSsize_t(index.get());
  if (len == -1 && PyErr_Occurred()) {
    if (PyErr_ExceptionMatches(PyExc_OverflowError)) {
      PyErr_Format(PyExc_OverflowError, "cannot fit '%.200s' into an index-sized integer", Py_TYPE(n.get())->tp_name);
    }
    return -1;
  }
  if (len < 0) {
    PyErr_SetString(PyExc_ValueError, "__len__() should return >= 0");
    return -1;
  }
  return len;
}

int tree_bool(PyObject* self) {
  if (Py_TYPE(self) == &TreeType) return as_tree(self)->node_count > 0;
  Ref n = Ref::steal(call_size(self));
  if (!n) return -1;
  Ref zero = Ref::steal(PyLong_FromLong(0));
  return PyObject_RichCompareBool(n.get(), zero.get(), Py_GT);
}

PyObject* tree_repr(PyObject* self) {
  return PyUnicode_FromFormat("FastRedBlackTree(blocks=%llu, native=True)",
                              static_cast<unsigned long long>(as_tree(self)->node_count));
}

kv::Params<1> sanitize_params{"_sanitize_size", {"size"}, 1};

PyObject* tree_sanitize_size(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!kv::parse(sanitize_params, args, nargs, kwnames, a)) return nullptr;
  Ref size = Ref::steal(kv::annotated_int(a[0], "size"));
  if (!size) return nullptr;
  Ref result = Ref::steal(sanitize(size.get()));
  if (!result) return nullptr;
  return kv::expected_int_or_none(result.get());
}

PyObject* tree_reset_circuit_breaker(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("reset_circuit_breaker", nargs, kwnames)) return nullptr;
  Tree* t = as_tree(self);
  return kv::with_lock(t->stats_lock, [&]() -> PyObject* {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (PyObject_SetItem(t->stats, k_circuit_breaker_trips.get(), zero.get()) < 0 ||
        PyObject_SetItem(t->stats, k_operation_count.get(), zero.get()) < 0) {
      return nullptr;
    }
    Py_RETURN_NONE;
  });
}

PyObject* tree_get_stats(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("get_stats", nargs, kwnames)) return nullptr;
  Tree* t = as_tree(self);
  return kv::with_lock(t->stats_lock, [&]() -> PyObject* {
    Ref result = Ref::steal(PyDict_CheckExact(t->stats) ? PyDict_Copy(t->stats)
                                                        : PyObject_CallMethod(t->stats, "copy", nullptr));
    if (!result) return nullptr;
    Ref count = Ref::steal(kv::from_u64(t->node_count));
    if (!count || PyObject_SetItem(result.get(), k_node_count.get(), count.get()) < 0) return nullptr;
    Ref height = Ref::steal(PyLong_FromLong(compute_height(t->root)));
    if (!height || PyObject_SetItem(result.get(), k_height.get(), height.get()) < 0) return nullptr;
    Ref sampled;
    if (t->use_atomic) {
      Ref counter = Ref::borrow(t->sampled_counter);  // clear() may replace it meanwhile
      sampled = Ref::steal(kv::call_method(counter.get(), n_load));
    } else {
      PyObject* v = nullptr;
      if (PyDict_Check(t->stats)) {
        if (PyDict_GetItemRef(t->stats, k_sampled_operations.get(), &v) < 0) return nullptr;
      }
      sampled = v != nullptr ? Ref::steal(v) : Ref::steal(PyLong_FromLong(0));
    }
    if (!sampled || PyObject_SetItem(result.get(), k_sampled_operations.get(), sampled.get()) < 0 ||
        PyObject_SetItem(result.get(), k_is_valid.get(), Py_True) < 0) {
      return nullptr;
    }
    return result.release();
  });
}

struct SizeCount {
  uint64_t size;
  uint64_t count;
};

// Appends (size, blocks of that size) for every tree node in pre-order
// (node, left subtree, right subtree).
void collect_dist_recursive(const RBNode* node, SizeCount*& out) {
  if (node == nullptr) return;
  uint64_t count = 1;
  for (const RBNode* e = node->next; e != nullptr; e = e->next) ++count;
  *out++ = {node->size, count};
  collect_dist_recursive(node->left, out);
  collect_dist_recursive(node->right, out);
}

// The distribution dict. The tree is walked into a native buffer first and
// the dict built from it afterwards: interleaving the walk with the dict's
// allocations costs several times more in cache misses.
PyObject* collect_distribution(const Tree* t) {
  if (t->root == nullptr) return PyDict_New();
  // node_count bounds the number of tree nodes.
  auto* entries = static_cast<SizeCount*>(PyMem_Malloc(sizeof(SizeCount) * t->node_count));
  if (entries == nullptr) return PyErr_NoMemory();
  SizeCount* end = entries;
  collect_dist_recursive(t->root, end);
  Py_ssize_t n = end - entries;
  Ref dist = Ref::steal(_PyDict_NewPresized(n));
  for (Py_ssize_t i = 0; dist && i < n; ++i) {
    Ref key = Ref::steal(kv::from_u64(entries[i].size));
    Ref value = Ref::steal(kv::from_u64(entries[i].count));
    if (!key || !value || PyDict_SetItem(dist.get(), key.get(), value.get()) < 0) dist.reset();
  }
  PyMem_Free(entries);
  return dist.release();
}

PyObject* tree_get_size_distribution(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("get_size_distribution", nargs, kwnames)) return nullptr;
  Tree* t = as_tree(self);
  return kv::with_lock(t->write_lock, [&] { return collect_distribution(t); });
}

PyObject* tree_get_statistics(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("get_statistics", nargs, kwnames)) return nullptr;
  return PyDict_New();
}

PyObject* tree_get_seq_counter(PyObject* self, void*) { return kv::from_i64(as_tree(self)->seq_counter); }

PyGetSetDef tree_getset[] = {
    {"seq_counter", tree_get_seq_counter, nullptr,
     "Sequence counter of the writers: odd while a write is in progress.", nullptr},
    {nullptr},
};

const kv::FunctionDef tree_methods[] = {
    {"insert", tree_insert,
     "Insert block into tree.\n\n"
     "Single-writer operation with seqlock coordination.\n\n"
     "Args:\n"
     "    size: Block size in bytes\n"
     "    block: MemoryBlock to insert\n\n"
     "Returns:\n"
     "    True on success",
     "($self, /, size, block)", {{"size", "int"}, {"block", "MemoryBlock"}, {"return", "bool"}}},
    {"delete", tree_delete,
     "Delete specific block.\n\n"
     "Single-writer operation.\n\n"
     "Args:\n"
     "    size: Block size in bytes\n"
     "    block: MemoryBlock to delete (the first stored block equal to it)\n\n"
     "Returns:\n"
     "    True if deleted",
     "($self, /, size, block)", {{"size", "int"}, {"block", "MemoryBlock"}, {"return", "bool"}}},
    {"size", tree_size, "Get total block count.", "($self, /)", {{"return", "int"}}},
    {"clear", tree_clear_method, "Clear all blocks.", "($self, /)", {{"return", "None"}}},
    {"find_best_fit", tree_find_best_fit,
     "Find best-fit block (LOCK-FREE read).\n\n"
     "Seqlock protocol:\n"
     "    - Even seq_counter = stable state (safe to read)\n"
     "    - Odd seq_counter = write in progress (retry)\n"
     "    - Readers validate seq unchanged after read (detects concurrent writes)\n\n"
     "Args:\n"
     "    size: Minimum size required\n"
     "    alignment: Alignment (unused)\n\n"
     "Returns:\n"
     "    Best-fit MemoryBlock or None",
     "($self, /, size, alignment=1)", {{"size", "int"}, {"alignment", "int"}, {"return", "Optional[MemoryBlock]"}}},
    {"find_all_exact", tree_find_all_exact,
     "Find all blocks of exact size (lock-free read).\n\n"
     "Args:\n"
     "    size: Exact size to find\n\n"
     "Returns:\n"
     "    List of all blocks with exact size",
     "($self, /, size)", {{"size", "int"}, {"return", "List[MemoryBlock]"}}},
    {"remove_ge", tree_remove_ge,
     "Remove and return best-fit block >= size.\n\n"
     "Args:\n"
     "    size: Minimum size required\n\n"
     "Returns:\n"
     "    (size, block) or (None, None)",
     "($self, /, size)", {{"size", "int"}, {"return", "Tuple[Optional[int], Optional[MemoryBlock]]"}}},
    {"reset_circuit_breaker", tree_reset_circuit_breaker, "Reset circuit breaker stats.", "($self, /)"},
    {"get_stats", tree_get_stats, "Get tree statistics.", "($self, /)", {{"return", "Dict[str, Any]"}}},
    {"get_size_distribution", tree_get_size_distribution, "Get size distribution.", "($self, /)",
     {{"return", "Dict[int, int]"}}},
    {"get_statistics", tree_get_statistics, "Get timing statistics (empty for sampling mode).", "($self, /)",
     {{"return", "Dict[int, List[float]]"}}},
};

const kv::FunctionDef tree_static_methods[] = {
    {"_sanitize_size", tree_sanitize_size, "Validate size.", "(size)", {{"size", "int"}, {"return", "int"}}},
};

PyMappingMethods tree_as_mapping{tree_length, nullptr, nullptr};
PyNumberMethods tree_as_number{};

const char tree_doc[] =
    "FastRedBlackTree(sample_rate=100)\n--\n\n"
    "Red-black tree of free memory blocks keyed by size, for best-fit lookup.\n\n"
    "One tree node per distinct size; further blocks of a size hang off its\n"
    "node in a chain (for A, B, C inserted in this order: A, C, B). Writers\n"
    "(insert, delete, remove_ge, clear) hold a lock and make seq_counter odd\n"
    "while they change the tree; find_best_fit and find_all_exact take no\n"
    "lock and retry while a write is in progress.\n\n"
    "Performance:\n"
    "    find_best_fit(): O(log n) in the number of distinct sizes, no lock\n"
    "    insert() of a size already present: one allocation, no rebalancing";

bool init_type() {
  kv::init_type<tree_construct>(TreeType, "korvane.memory.block_index.FastRedBlackTree", sizeof(Tree), tree_doc,
                                tree_dealloc);
  TreeType.tp_flags |= Py_TPFLAGS_HAVE_GC;
  TreeType.tp_traverse = tree_traverse;
  TreeType.tp_clear = tree_clear;
  TreeType.tp_repr = tree_repr;
  TreeType.tp_as_mapping = &tree_as_mapping;
  tree_as_number.nb_bool = tree_bool;
  TreeType.tp_as_number = &tree_as_number;
  TreeType.tp_getset = tree_getset;
  if (PyType_Ready(&TreeType) < 0) return false;
  return kv::refuse_pickling(&TreeType) && kv::add_methods(&TreeType, tree_methods) &&
         kv::add_methods(&TreeType, tree_static_methods, kv::Kind::StaticMethod);
}

int exec_module(PyObject* m) {
  if (!kv::import_module_as(m, "threading") || !kv::import_module_as(m, "time") ||
      !kv::import_module_as(m, "math") ||
      !kv::import_names(m, "typing", {"List", "Optional", "Tuple", "Dict", "Any"})) {
    return -1;
  }
  if (!kv::import_names(m, "memory_block", {"MemoryBlock"}, 1)) return -1;
  if (kv::import_names(m, "memory.lockfree_core", {"AtomicCounter"}, 2)) {
    if (PyModule_AddObjectRef(m, "ATOMIC_AVAILABLE", Py_True) < 0) return -1;
  } else {
    if (!PyErr_ExceptionMatches(PyExc_ImportError)) return -1;
    PyErr_Clear();
    if (PyModule_AddObjectRef(m, "ATOMIC_AVAILABLE", Py_False) < 0 ||
        PyModule_AddObjectRef(m, "AtomicCounter", Py_None) < 0) {
      return -1;
    }
  }

  Py_XSETREF(original_time, PyObject_GetAttrString(m, "time"));
  if (original_time == nullptr) return -1;
  Py_XSETREF(original_perf_counter_ns, PyObject_GetAttr(original_time, n_perf_counter_ns.get()));
  if (original_perf_counter_ns == nullptr) return -1;
  Py_XSETREF(backoff_seconds, PyFloat_FromDouble(0.0001));
  if (backoff_seconds == nullptr) return -1;

  if (!init_type()) return -1;
  return PyModule_AddObjectRef(m, "FastRedBlackTree", reinterpret_cast<PyObject*>(&TreeType));
}

}  // namespace

KV_MODULE(block_index, "korvane.memory.block_index",
          "Size-keyed red-black tree of free memory blocks with lock-free best-fit readers.", exec_module)
