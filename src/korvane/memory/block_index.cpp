// korvane.memory.block_index: a size-keyed red-black tree of free memory
// blocks with same-size chains and lock-free best-fit readers.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <optional>

#include <sys/mman.h>
#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define KV_POISON(p, n) ASAN_POISON_MEMORY_REGION(p, n)
#define KV_UNPOISON(p, n) ASAN_UNPOISON_MEMORY_REGION(p, n)
#else
#define KV_POISON(p, n) ((void)(p), (void)(n))
#define KV_UNPOISON(p, n) ((void)(p), (void)(n))
#endif

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


constexpr int kMaxRetries = 100;
PyObject* backoff_seconds;  // the float 0.0001, made at import

// The time module and its perf_counter_ns as imported, to recognise them at
// call time; both null when `time` in sys.modules was not an exact module
// holding that very builtin, and the clock is then always called by name.
PyObject* original_time;
PyObject* original_perf_counter_ns;

// AtomicCounter as imported and its increment method. For a counter of
// exactly that (immutable) type without instance dict, calling the method
// object with the counter is what counter.increment() does.
PyTypeObject* counter_type;
PyObject* counter_increment;

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

// The links and the block that lock-free readers follow are stored with
// release stores (free-threaded build), so that a reader that reaches a
// record sees it whole; parent and colour are the writers' own.
inline void set_link(RBNode*& field, RBNode* value) { kv::store_release(field, value); }
inline RBNode* link_of(RBNode* const& field) { return kv::load_acquire(field); }

inline bool is_red(const RBNode* n) { return n != nullptr && n->color == RED; }
inline bool is_black(const RBNode* n) { return n == nullptr || n->color == BLACK; }

// The operation counts reported by get_stats under its first keys. Kept
// natively so that a write changes nothing but the tree and these integers;
// "bucket_hits" and "tree_hits" are always 0 and have no field.
struct Counts {
  int64_t total_blocks;
  int64_t total_insertions;
  int64_t total_deletions;
  int64_t total_searches;
  int64_t operation_count;
  bool has_trips;  // "circuit_breaker_trips" (always 0) is reported after a reset
};

// ---------------------------------------------------------------------------
// Record pool
//
// Each tree takes its records from chunks of its own: records of one tree
// lie together, each in a cache line of its own, and the large chunks of a
// big tree are backed by huge pages where the system allows it, so that a
// search through a tree of a million sizes misses the TLB far less. A
// removed record goes to the pool's free list and is handed out again
// first. The chunks are returned to the allocator when the tree becomes
// empty, is cleared or is freed; until then a tree keeps the memory of its
// largest size.

constexpr size_t kLine = 64;
constexpr size_t kHugePage = size_t{2} << 20;
constexpr size_t kFirstChunkRecords = 32;
constexpr size_t kLastChunkRecords = size_t{1} << 16;  // 4 MiB of records

static_assert(sizeof(RBNode) <= kLine);

struct PoolChunk {
  PoolChunk* next;
  void* raw;  // as returned by the allocator
};

struct Pool {
  PoolChunk* chunks = nullptr;
  RBNode* free = nullptr;  // linked through `next`
  char* bump = nullptr;    // the unused tail of the newest chunk
  char* bump_end = nullptr;
  size_t next_records = 0;  // 0: kFirstChunkRecords (a zeroed pool is an empty one)
};

// A chunk of `records` line-aligned records; false when memory is short.
// Chunks of at least a huge page start on a huge-page boundary and are
// advised to use huge pages.
bool pool_grow(Pool& pool) {
  size_t records = pool.next_records != 0 ? pool.next_records : kFirstChunkRecords;
  size_t bytes = (records + 1) * kLine;  // the first line holds the chunk header
  size_t align = bytes >= 2 * kHugePage ? kHugePage : kLine;
  void* raw = PyMem_RawMalloc(bytes + align);
  if (raw == nullptr) return false;
  auto start = (reinterpret_cast<uintptr_t>(raw) + align - 1) & ~static_cast<uintptr_t>(align - 1);
  auto* chunk = reinterpret_cast<PoolChunk*>(start);
#if defined(MADV_HUGEPAGE)
  if (align == kHugePage) madvise(chunk, bytes & ~(kHugePage - 1), MADV_HUGEPAGE);
#endif
  chunk->next = pool.chunks;
  chunk->raw = raw;
  pool.chunks = chunk;
  pool.bump = reinterpret_cast<char*>(chunk) + kLine;
  pool.bump_end = pool.bump + records * kLine;
  KV_POISON(pool.bump, records * kLine);
  if (records < kLastChunkRecords) pool.next_records = records * 2;
  return true;
}

// An uninitialised record, or null when memory is short.
inline RBNode* pool_take(Pool& pool) {
  RBNode* node = pool.free;
  if (node != nullptr) {
    KV_UNPOISON(node, sizeof(RBNode));
    pool.free = node->next;
    return node;
  }
  if (pool.bump == pool.bump_end && !pool_grow(pool)) return nullptr;
  node = reinterpret_cast<RBNode*>(pool.bump);
  pool.bump += kLine;
  KV_UNPOISON(node, sizeof(RBNode));
  return node;
}

// Makes sure that the next pool_take succeeds; false when memory is short.
inline bool pool_reserve(Pool& pool) {
  return pool.free != nullptr || pool.bump != pool.bump_end || pool_grow(pool);
}

// Returns an unlinked record whose block reference is gone.
inline void pool_give(Pool& pool, RBNode* node) {
  node->next = pool.free;
  pool.free = node;
  KV_POISON(node, sizeof(RBNode));
}

// Frees every chunk; the pool is empty afterwards.
void pool_release(Pool& pool) {
  for (PoolChunk* c = pool.chunks; c != nullptr;) {
    PoolChunk* next = c->next;
    PyMem_RawFree(c->raw);
    c = next;
  }
  pool = Pool{};
}

#ifdef Py_GIL_DISABLED
// "total_searches" on the free-threaded build: readers count in the shard
// of their thread, each in a pair of cache lines of its own, so that
// readers on different cores write no common pair; get_stats sums the shards.
constexpr int kSearchShards = 8;

struct SearchShard {
  int64_t count;
  char pad[kv::kApart - sizeof(int64_t)];
};

std::atomic<unsigned> next_shard{0};

inline int this_thread_shard() {
  thread_local int shard = static_cast<int>(next_shard.fetch_add(1, std::memory_order_relaxed) % kSearchShards);
  return shard;
}
#endif

struct Tree {
  PyObject_HEAD
  // Made by the constructor; replaced only by clear() and the collector.
  PyObject* write_lock;
  PyObject* stats_lock;
  PyObject* operation_counter;  // replaced by clear() while inserts use it
  PyObject* sampled_counter;
  uint32_t sample_rate;
  int use_atomic;
  Tree* prev_tree;  // the list of live trees (see repair_after_fork)
  Tree* next_tree;
#ifdef Py_GIL_DISABLED
  // Every call reads the header's line (the type check of a method): what
  // writers change on every write lies in lines of its own.
  char pad_before_writers[kv::kApart];
#endif
  uint64_t node_count;  // stored blocks, chain entries included
  Counts counts;
  // The record pool, guarded by pool_mutex on the free-threaded build (a
  // removed record returns to it after the grace period, outside the write
  // lock); pool_generation advances whenever the pool is taken out whole,
  // so that a record of the old pool is not given to the new one.
  Pool pool;
  kv::NativeMutex pool_mutex;
  uint64_t pool_generation;
#ifdef Py_GIL_DISABLED
  // What a lock-free reader reads of the tree itself lies in lines of its
  // own, apart from what writers change on every write: each change to a
  // line that a reader on another core holds costs that reader a miss.
  char pad_before_readers[kv::kApart];
#endif
  RBNode* root;
  // Advanced by one before a writer's first change and by one after its
  // last: odd while a write is in progress. Written only under write_lock.
  // No Python code runs while it is odd. The seqlock protocol (free-threaded
  // build): the odd value is stored before the changes, with a release
  // fence between, and the even value with a release store after them; a
  // reader loads it with acquire before its search, and again after an
  // acquire fence that follows the search. On the default build writers
  // and readers hold the interpreter lock throughout and it is plain.
  int64_t seq_counter;
#ifdef Py_GIL_DISABLED
  char pad[kv::kApart];
  SearchShard searches[kSearchShards];
#endif
};

PyTypeObject TreeType{PyVarObject_HEAD_INIT(nullptr, 0)};

// Probe points of the tree (see kv/probes.hpp): a reader that has captured
// its result but not yet validated it; a writer that has made seq_counter
// odd, before its first change; a removal about to return its record to the
// pool (holding pool_mutex).
enum : unsigned { kCaptured = kv::probes::kFirstModulePoint, kWriting, kReclaiming };

// Every live tree, so that a forked child can put right what the parent's
// other threads held when it forked.
struct TreeList {
  Tree* head = nullptr;
  kv::NativeMutex mutex;
} live_trees;

void link_tree(Tree* t) {
  kv::Holding held(live_trees.mutex);
  t->next_tree = live_trees.head;
  if (live_trees.head != nullptr) live_trees.head->prev_tree = t;
  live_trees.head = t;
}

void unlink_tree(Tree* t) {
  kv::Holding held(live_trees.mutex);
  if (t->prev_tree != nullptr) {
    t->prev_tree->next_tree = t->next_tree;
  } else if (live_trees.head == t) {
    live_trees.head = t->next_tree;
  } else {
    return;  // never linked
  }
  if (t->next_tree != nullptr) t->next_tree->prev_tree = t->prev_tree;
  t->prev_tree = t->next_tree = nullptr;
}

// One more validated search.
inline void count_search(Tree* t) {
#ifdef Py_GIL_DISABLED
  kv::add_relaxed(t->searches[this_thread_shard()].count, 1);
#else
  t->counts.total_searches += 1;
#endif
}

inline int64_t total_searches(const Tree* t) {
#ifdef Py_GIL_DISABLED
  int64_t n = 0;
  for (const SearchShard& shard : t->searches) n += kv::load_relaxed(shard.count);
  return n;
#else
  return t->counts.total_searches;
#endif
}

inline void clear_searches([[maybe_unused]] Tree* t) {
#ifdef Py_GIL_DISABLED
  for (SearchShard& shard : t->searches) kv::store_relaxed(shard.count, 0);
#endif
}

inline Tree* as_tree(PyObject* o) { return reinterpret_cast<Tree*>(o); }

// Releases the block references of a detached subtree: left subtree, right
// subtree, then each chain entry in chain order, then the node. The records
// stay readable until their detached pool is released; they are unreachable
// from any tree, so a finaliser started by a release may use the tree freely.
void release_blocks(const RBNode* node) {
  if (node == nullptr) return;
  release_blocks(node->left);
  release_blocks(node->right);
  for (const RBNode* e = node->next; e != nullptr; e = e->next) Py_DECREF(e->block);
  Py_DECREF(node->block);
}

// A tree's records taken out of it by clear(), the collector or
// deallocation: the root and the pool holding every record.
struct Detached {
  RBNode* root;
  Pool pool;
};

// Takes the whole pool out of the tree (under the write lock).
Pool detach_pool(Tree* t) {
  kv::Holding held(t->pool_mutex);
  Pool pool = t->pool;
  t->pool = Pool{};
  t->pool_generation += 1;
  return pool;
}

// Detaches every record; the tree is empty with an empty pool afterwards.
Detached detach_all(Tree* t) {
  Detached d{t->root, detach_pool(t)};
  set_link(t->root, nullptr);
  kv::store_relaxed(t->node_count, 0);
  return d;
}

// Releases the blocks of detached records, then their memory. Keeps the
// exception that is set, if any.
void release_detached(Detached& d) {
  if (d.root == nullptr && d.pool.chunks == nullptr) return;
  PyObject* pending = PyErr_GetRaisedException();
  release_blocks(d.root);
  pool_release(d.pool);
  d.root = nullptr;
  PyErr_SetRaisedException(pending);
}

// time.perf_counter_ns() as the module's own Python code would call it: the
// global `time` (or the builtin of that name), its attribute, the call; as
// an unsigned 64-bit value. When the global is the time module imported here,
// still an exact module, and its dict holds the function imported with it,
// attribute lookup can find nothing else (the module type's own attributes
// cannot be changed) and that function only reads the monotonic clock, so the
// clock is read natively. Both lookups are made on every call, so that a
// replacement made in any way is seen by the next insert that starts after
// it. They are borrowed and only compared with the two objects held here,
// so a value that another thread replaces and frees meanwhile is never read.
// False with an error set.
bool perf_counter_ns(uint64_t* out) {
  if (original_time != nullptr) [[likely]] {
    PyObject* time = PyDict_GetItemWithError(PyModule_GetDict(kv::this_module()), n_time.get());
    if (time == original_time && PyModule_CheckExact(original_time) &&
        PyDict_GetItemWithError(PyModule_GetDict(original_time), n_perf_counter_ns.get()) ==
            original_perf_counter_ns) [[likely]] {
      timespec ts;
      clock_gettime(CLOCK_MONOTONIC, &ts);
      *out = static_cast<uint64_t>(ts.tv_sec) * 1000000000u + static_cast<uint64_t>(ts.tv_nsec);
      return true;
    }
    PyErr_Clear();  // a failed lookup fails again, as Python's, below
  }
  Ref time = Ref::steal(kv::module_global(n_time));
  if (!time) return false;
  Ref now = Ref::steal(kv::call_method(time.get(), n_perf_counter_ns));
  return now && kv::to_u64(now.get(), out);
}

// A red record for `block` from the tree's pool, not yet linked; null
// with MemoryError "Failed to allocate RB node". Runs no Python code.
RBNode* allocate_node(Tree* t, uint64_t size, PyObject* block, uint64_t timestamp) {
  RBNode* node;
  {
    kv::Holding held(t->pool_mutex);
    node = pool_take(t->pool);
  }
  if (node == nullptr) {
    PyErr_SetString(PyExc_MemoryError, "Failed to allocate RB node");
    return nullptr;
  }
  *node = RBNode{nullptr, nullptr, nullptr, RED, size, Py_NewRef(block), nullptr, timestamp};
  return node;
}

// ---------------------------------------------------------------------------
// Red-black tree structure. Nothing here touches Python objects.

void rotate_left(Tree* t, RBNode* x) {
  RBNode* y = x->right;
  set_link(x->right, y->left);
  if (y->left != nullptr) y->left->parent = x;
  y->parent = x->parent;
  if (x->parent == nullptr) {
    set_link(t->root, y);
  } else if (x == x->parent->left) {
    set_link(x->parent->left, y);
  } else {
    set_link(x->parent->right, y);
  }
  set_link(y->left, x);
  x->parent = y;
}

void rotate_right(Tree* t, RBNode* x) {
  RBNode* y = x->left;
  set_link(x->left, y->right);
  if (y->right != nullptr) y->right->parent = x;
  y->parent = x->parent;
  if (x->parent == nullptr) {
    set_link(t->root, y);
  } else if (x == x->parent->right) {
    set_link(x->parent->right, y);
  } else {
    set_link(x->parent->left, y);
  }
  set_link(y->right, x);
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
  // Written only when it changes: lock-free readers on other cores keep the
  // root's line in their caches, and every insert ends here.
  if (t->root->color != BLACK) t->root->color = BLACK;
}

// No search goes deeper than a red-black tree of 2**64 nodes can be. A
// lock-free search (free-threaded build) that meets a rotation half made
// could otherwise go round in a circle; the seqlock rejects what it finds.
constexpr int kMaxDepth = 2 * 64 + 2;

// The tree node of `size`, or null.
inline RBNode* find_node(const Tree* t, uint64_t size) {
  RBNode* n = link_of(t->root);
  for (int depth = 0; n != nullptr && n->size != size; ++depth) {
    if (kv::free_threaded && depth == kMaxDepth) return nullptr;
    n = size < n->size ? link_of(n->left) : link_of(n->right);
  }
  return n;
}

// The tree node with the smallest size >= `size`, or null.
inline RBNode* find_best_fit_node(const Tree* t, uint64_t size) {
  RBNode* best = nullptr;
  RBNode* n = link_of(t->root);
  for (int depth = 0; n != nullptr; ++depth) {
    if (kv::free_threaded && depth == kMaxDepth) return nullptr;
    if (n->size < size) {
      n = link_of(n->right);
    } else {
      best = n;
      n = link_of(n->left);
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
    set_link(t->root, v);
  } else if (u == u->parent->left) {
    set_link(u->parent->left, v);
  } else {
    set_link(u->parent->right, v);
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
  if (x != nullptr && x->color != BLACK) x->color = BLACK;
}

// Unlinks the tree node z (which has no chain entries). Returns z, whose
// block reference the caller releases once it has left the write lock.
RBNode* delete_node(Tree* t, RBNode* z) {
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
      set_link(y->right, z->right);
      y->right->parent = y;
    }
    transplant(t, z, y);
    set_link(y->left, z->left);
    y->left->parent = y;
    y->color = z->color;
  }
  if (removed_color == BLACK) fixup_delete(t, x, x_parent);
  return z;
}

// Takes the first entry of a tree node's chain out of the tree: the second
// entry moves into the node (the shape is unchanged), or, without one, the
// node is deleted. Returns the unlinked record and sets `block` to the
// removed block's reference.
RBNode* remove_first_entry(Tree* t, RBNode* node, PyObject** block) {
  *block = node->block;
  RBNode* second = node->next;
  if (second == nullptr) return delete_node(t, node);
  set_link(node->next, second->next);
  kv::store_relaxed(node->block, second->block);
  node->timestamp = second->timestamp;
  return second;
}

int compute_height(const RBNode* node) {
  if (node == nullptr) return 0;
  int l = compute_height(node->left);
  int r = compute_height(node->right);
  return 1 + (l > r ? l : r);
}

// ---------------------------------------------------------------------------
// Sizes and statistics

// _sanitize_size of an exact int (both callers convert the argument first):
// 0 stays 0, a negative size raises ValueError "Invalid size: <size>",
// anything else is returned unchanged. New reference.
PyObject* sanitize(PyObject* size) {
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(size, &overflow);  // cannot fail for an int
  if (overflow > 0 || (overflow == 0 && v >= 0)) return Py_NewRef(size);
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
  Ref size = Ref::steal(kv::annotated_int(arg, "size", true));
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

// AtomicCounter(0) through the module global; new reference or null.
PyObject* new_counter() {
  Ref factory = Ref::steal(kv::module_global(n_AtomicCounter));
  if (!factory) return nullptr;
  Ref zero = Ref::steal(PyLong_FromLong(0));
  return kv::call(factory.get(), {zero.get()});
}

// counter.<name>() for a counter field. The field is held for the call:
// clear() may replace it while the call runs (an AtomicCounter's methods let
// other threads run), and on the free-threaded build at any moment. New
// reference or null.
PyObject* call_counter(PyObject* const& field, const kv::Name& name) {
  Ref counter = Ref::steal(kv::field_ref(field));
  PyObject* c = counter.get();
  if (&name == &n_increment && Py_TYPE(c) == counter_type) [[likely]] {
    return PyObject_Vectorcall(counter_increment, &c, 1, nullptr);
  }
  return kv::call_method(c, name);
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
  for (PyObject** field : {&t->write_lock, &t->operation_counter, &t->sampled_counter, &t->stats_lock}) {
    *field = Py_NewRef(Py_None);
  }
  link_tree(t);
  Ref threading = Ref::steal(kv::module_global(n_threading));
  if (!threading) return nullptr;
  Py_SETREF(t->write_lock, kv::new_lock(threading.get()));
  if (t->write_lock == nullptr) return nullptr;
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
  return obj.release();
}

// Visits the object fields and every stored block, so that a cycle through
// a block (a block that refers back to its pool and tree) is collected.
int tree_traverse(PyObject* self, visitproc visit, void* arg) {
  Tree* t = as_tree(self);
  Py_VISIT(t->write_lock);
  Py_VISIT(t->operation_counter);
  Py_VISIT(t->sampled_counter);
  Py_VISIT(t->stats_lock);
  // Depth-first over the tree without recursion: a node's subtrees are
  // reached through an explicit stack bounded by the tree's height
  // (at most 2*log2(n+1) < 128 for any n that fits in memory).
  RBNode* stack[128];
  int depth = 0;
  if (t->root != nullptr) stack[depth++] = t->root;
  while (depth > 0) {
    RBNode* node = stack[--depth];
    for (RBNode* e = node; e != nullptr; e = e->next) Py_VISIT(e->block);
    if (node->left != nullptr) stack[depth++] = node->left;
    if (node->right != nullptr) stack[depth++] = node->right;
  }
  return 0;
}

// The writer's side of the seqlock (see Tree::seq_counter).
inline void begin_write(Tree* t) {
  kv::store_relaxed(t->seq_counter, t->seq_counter + 1);
  if constexpr (kv::free_threaded) std::atomic_thread_fence(std::memory_order_release);
  kv::probes::at(kWriting);
}
inline void end_write(Tree* t) { kv::store_release(t->seq_counter, t->seq_counter + 1); }
// A write that changes nothing.
inline void skip_write(Tree* t) { kv::store_release(t->seq_counter, t->seq_counter + 2); }

// The collector's clear releases the blocks and leaves None in the object
// fields, so that a method called on a cleared tree raises instead of
// crashing.
int tree_clear(PyObject* self) {
  Tree* t = as_tree(self);
  begin_write(t);
  Detached d = detach_all(t);
  end_write(t);
  for (PyObject** field : {&t->write_lock, &t->operation_counter, &t->sampled_counter, &t->stats_lock}) {
    Py_XSETREF(*field, Py_NewRef(Py_None));
  }
  release_detached(d);
  return 0;
}

void tree_dealloc(PyObject* self) {
  Tree* t = as_tree(self);
  PyObject_GC_UnTrack(self);
  // A chain of trees, each stored as a block of the next, is freed level by
  // level rather than by nested deallocations.
  Py_TRASHCAN_BEGIN(self, tree_dealloc)
  unlink_tree(t);
  Detached d = detach_all(t);
  release_detached(d);
  Py_CLEAR(t->write_lock);
  Py_CLEAR(t->operation_counter);
  Py_CLEAR(t->sampled_counter);
  Py_CLEAR(t->stats_lock);
  kv::free_instance(self);
  Py_TRASHCAN_END
}

// ---------------------------------------------------------------------------
// Writers
//
// A writer runs every piece of Python code it needs (size conversion, the
// clock, the sampling counters, block equality, releasing references)
// before it takes write_lock or after it has left it. Under the lock it
// makes only native changes that cannot fail, so a finaliser, a signal
// handler or another thread that calls back into the tree never finds the
// lock held by its own thread, and a failed call leaves the tree as it was.

// Brackets a write: the lock is entered on construction and left by
// finish(). seq_counter is odd only around change(), the structural change
// itself, so that readers meet a write in progress as briefly as possible:
// what a writer prepares under the lock (a record, a result) changes
// nothing they can see. A write that made no change still advances
// seq_counter by 2.
class WriteScope {
 public:
  explicit WriteScope(Tree* t) : tree_(t), guard_(t->write_lock, kv::native_section) {}
  bool ok() const { return guard_.ok(); }
  // Runs `body`, native changes that cannot fail, with seq_counter odd.
  template <typename Body>
  void change(Body&& body) {
    begin_write(tree_);
    body();
    end_write(tree_);
    changed_ = true;
  }
  // False when an error is set (from leaving the lock).
  bool finish() {
    if (!changed_) skip_write(tree_);
    return guard_.leave();
  }

 private:
  Tree* tree_;
  kv::Locked guard_;
  bool changed_ = false;
};

// A write that changes nothing: seq_counter advances by 2 under the lock.
// Keeps the exception that is set, if any; false when entering or leaving
// the lock raised.
bool empty_write(Tree* t) {
  PyObject* pending = PyErr_GetRaisedException();
  bool ok;
  {
    WriteScope scope(t);
    ok = scope.ok() && scope.finish();
  }
  if (pending != nullptr) {
    if (ok) {
      PyErr_SetRaisedException(pending);
    } else {
      PyObject* raised = PyErr_GetRaisedException();
      PyException_SetContext(raised, pending);
      PyErr_SetRaisedException(raised);
    }
  }
  return ok;
}

// The sampling step of an insert: operation_counter.increment() and, when
// this insert is sampled, sampled_counter.increment(). False with an error
// set; the operation counter may then have run ahead, as it may anyway.
bool count_insert(Tree* t) {
  Ref op = Ref::steal(call_counter(t->operation_counter, n_increment));
  if (!op) return false;
  if (t->sample_rate == 0) return true;
  bool sample;
  int overflow = 0;
  long long v = PyLong_CheckExact(op.get()) ? PyLong_AsLongLongAndOverflow(op.get(), &overflow) : 0;
  if (PyLong_CheckExact(op.get()) && overflow == 0) {
    if (v == -1 && PyErr_Occurred()) return false;
    sample = v % static_cast<long long>(t->sample_rate) == 0;
  } else {
    Ref rate = Ref::steal(PyLong_FromUnsignedLong(t->sample_rate));
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!rate || !zero) return false;
    Ref rem = Ref::steal(PyNumber_Remainder(op.get(), rate.get()));
    if (!rem) return false;
    Ref eq = Ref::steal(PyObject_RichCompare(rem.get(), zero.get(), Py_EQ));
    if (!eq || !kv::to_truth(eq.get(), &sample)) return false;
  }
  if (!sample) return true;
  return static_cast<bool>(Ref::steal(call_counter(t->sampled_counter, n_increment)));
}

// Where a record of `size` goes: behind the tree node of that size
// (`existing`), or as a new child of `parent` (null for an empty tree).
// Found under the write lock before the change, since only writers move
// nodes and they all hold it.
struct Place {
  RBNode* parent = nullptr;
  RBNode* existing = nullptr;
};

Place locate(const Tree* t, uint64_t size) {
  Place p;
  p.existing = t->root;
  while (p.existing != nullptr && p.existing->size != size) {
    p.parent = p.existing;
    p.existing = size < p.existing->size ? p.existing->left : p.existing->right;
  }
  return p;
}

// Links a new record at its place: behind the tree node of its size, or as
// a new red tree node followed by the fix-up.
void link_at(Tree* t, RBNode* node, Place place) {
  if (place.existing != nullptr) {
    node->next = place.existing->next;
    set_link(place.existing->next, node);
  } else if (place.parent == nullptr) {
    node->color = BLACK;
    set_link(t->root, node);
  } else {
    node->parent = place.parent;
    if (node->size < place.parent->size) {
      set_link(place.parent->left, node);
    } else {
      set_link(place.parent->right, node);
    }
    fixup_insert(t, node);
  }
}

// The counts of one more stored block (writers' own fields, under the lock).
void count_link(Tree* t) {
  kv::store_relaxed(t->node_count, t->node_count + 1);
  t->counts.total_blocks += 1;
  t->counts.total_insertions += 1;
  t->counts.operation_count += 1;
}

kv::Params<2> insert_params{"insert", {"size", "block"}, 2};

PyObject* tree_insert(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!kv::parse(insert_params, args, nargs, kwnames, a)) return nullptr;
  uint64_t size;
  if (size_arg(self, a[0], false, &size) != SizeResult::Ok) return nullptr;
  Tree* t = as_tree(self);
  uint64_t timestamp;
  if (!perf_counter_ns(&timestamp)) return nullptr;
  // The record is reserved before the sampling counters move, so that only
  // Python code that empties the pool meanwhile (a clear() from a counter
  // or a finaliser) leaves the record's allocation to fail under the lock.
  bool reserved;
  {
    kv::Holding held(t->pool_mutex);
    reserved = pool_reserve(t->pool);
  }
  if (!reserved) {
    PyErr_SetString(PyExc_MemoryError, "Failed to allocate RB node");
    return nullptr;
  }
  if (t->use_atomic && !count_insert(t)) return nullptr;
  WriteScope scope(t);
  if (!scope.ok()) return nullptr;
  RBNode* node = allocate_node(t, size, a[1], timestamp);
  if (node != nullptr) {
    Place place = locate(t, size);
    scope.change([&] { link_at(t, node, place); });
    count_link(t);
  }
  if (!scope.finish() || node == nullptr) return nullptr;
  Py_RETURN_TRUE;
}

// What a removal took out of the tree: the block reference, to be released
// after leaving the write lock, and the unlinked record. On the free-threaded
// build a reader that started before the unlink may still be reading the
// record and be about to take a reference to the block: the record returns
// to the pool, and the block is released, only after a grace period
// (finish_removal). On the default build the record returns at once.
struct Removal {
  PyObject* block = nullptr;
  RBNode* record = nullptr;
  uint64_t generation = 0;  // of the pool the record came from
  Pool emptied{};           // the whole pool, taken out when the tree emptied
};

// Unlinks the chain entry `cur` of the tree node `node` (prev is the entry
// before it, null when cur is the tree node): the structural change only.
Removal unlink_entry(Tree* t, RBNode* node, RBNode* prev, RBNode* cur) {
  Removal r;
  if (prev == nullptr) {
    r.record = remove_first_entry(t, node, &r.block);
  } else {
    set_link(prev->next, cur->next);
    r.block = cur->block;
    r.record = cur;
  }
  return r;
}

// The rest of a removal under the lock, once the entry is unlinked: the
// counts, and the record's way back to the pool.
void retire_locked(Tree* t, Removal& r) {
  kv::store_relaxed(t->node_count, t->node_count - 1);
  t->counts.total_blocks -= 1;
  t->counts.total_deletions += 1;
  // An emptied tree returns its memory, but for a lone first chunk, which
  // a tree that fills and empties in turn keeps using.
  bool emptied = t->node_count == 0 && t->pool.chunks != nullptr && t->pool.chunks->next != nullptr;
  if constexpr (kv::free_threaded) {
    r.generation = t->pool_generation;
    if (emptied) r.emptied = detach_pool(t);
  } else {
    pool_give(t->pool, r.record);
    r.record = nullptr;
    if (emptied) pool_release(t->pool);
  }
}

// Completes a removal after the write lock has been left; returns the
// block reference, for the caller to release.
PyObject* finish_removal(Tree* t, Removal& r) {
  if (r.record != nullptr || r.emptied.chunks != nullptr) {
    kv::synchronize();
    if (r.emptied.chunks != nullptr) {
      pool_release(r.emptied);
    } else {
      kv::Holding held(t->pool_mutex);
      kv::probes::at(kReclaiming);
      if (t->pool_generation == r.generation) pool_give(t->pool, r.record);
    }
  }
  return r.block;
}

// Equality of a stored block and a given one that runs no Python code and
// cannot fail: both of types whose == is identity or built-in equality of
// ints or strings (between different such types it is identity). Bytes are
// left out: compared with a string they may warn, and warnings run code.
inline bool native_equality(PyObject* o) {
  PyTypeObject* tp = Py_TYPE(o);
  return tp->tp_richcompare == PyBaseObject_Type.tp_richcompare || tp == &PyLong_Type || tp == &PyUnicode_Type;
}

// New references to the blocks of one size's chain, in chain order, taken
// under the lock so that equality can run after leaving it.
class ChainSnapshot {
 public:
  ChainSnapshot() = default;
  ChainSnapshot(const ChainSnapshot&) = delete;
  ChainSnapshot& operator=(const ChainSnapshot&) = delete;
  ~ChainSnapshot() { reset(); }

  // Takes the chain of `node`; false with MemoryError set.
  bool take(const RBNode* node) {
    Py_ssize_t n = 0;
    for (const RBNode* e = node; e != nullptr; e = e->next) ++n;
    if (n > kInline) {
      heap_ = static_cast<PyObject**>(PyMem_Malloc(sizeof(PyObject*) * static_cast<size_t>(n)));
      if (heap_ == nullptr) {
        PyErr_NoMemory();
        return false;
      }
    }
    PyObject** out = items();
    for (const RBNode* e = node; e != nullptr; e = e->next) *out++ = Py_NewRef(e->block);
    size_ = n;
    return true;
  }
  Py_ssize_t size() const { return size_; }
  PyObject* operator[](Py_ssize_t i) const { return items()[i]; }
  // Releases the references (may run finalisers: never under the lock).
  void reset() {
    PyObject** it = items();
    Py_ssize_t n = size_;
    size_ = 0;
    for (Py_ssize_t i = 0; i < n; ++i) Py_DECREF(it[i]);
    PyMem_Free(heap_);
    heap_ = nullptr;
  }

 private:
  static constexpr Py_ssize_t kInline = 8;
  PyObject** items() { return heap_ != nullptr ? heap_ : inline_; }
  PyObject* const* items() const { return heap_ != nullptr ? heap_ : inline_; }
  PyObject* inline_[kInline];
  PyObject** heap_ = nullptr;
  Py_ssize_t size_ = 0;
};

kv::Params<2> delete_params{"delete", {"size", "block"}, 2};

// The first entry of the chain of `node` that holds `block` itself, with
// the entry before it (null when it is the tree node); false when none does.
bool find_entry(RBNode* node, PyObject* block, RBNode** prev, RBNode** cur) {
  *prev = nullptr;
  for (RBNode* e = node; e != nullptr; *prev = e, e = e->next) {
    if (e->block == block) {
      *cur = e;
      return true;
    }
  }
  return false;
}

// delete(size, block) removes the first entry of the size's chain whose
// block == the given one. Equality may run Python code, so it runs outside
// the lock, on references to the chain's blocks taken under it (which also
// keep each compared object's identity). The lock is then taken again and
// the entry holding the matched object removed.
//
// Other threads may change the chain meanwhile. An entry inserted after the
// blocks were taken is ordered after this delete and does not count; an
// entry removed meanwhile that compared unequal changes nothing either. Only
// the loss of the matched object sends the delete round again, with a fresh
// copy of the chain; that happens at most kMaxRetries times (a block whose
// own __eq__ keeps replacing itself), after which RuntimeError is raised.
// Blocks whose equality is native are compared under the lock directly.
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
  const bool given_native = native_equality(given);
  ChainSnapshot chain;
  PyObject* matched = nullptr;  // the chain's object found equal outside the lock (held by `chain`)
  for (int lost = 0;;) {
    Removal removal;
    enum { Removed, Absent, Compare, Lost, Failed } outcome = Absent;
    {
      kv::Locked guard(t->write_lock, kv::native_section);
      if (!guard.ok()) return nullptr;
      RBNode* node = find_node(t, size);
      RBNode* prev = nullptr;
      RBNode* cur = nullptr;
      if (chain.size() > 0) {
        // Second visit: remove the entry that holds the matched object.
        if (matched != nullptr) outcome = node != nullptr && find_entry(node, matched, &prev, &cur) ? Removed : Lost;
      } else if (node != nullptr) {
        for (cur = node; cur != nullptr && given_native && native_equality(cur->block); prev = cur, cur = cur->next) {
          if (cur->block == given || PyObject_RichCompareBool(cur->block, given, Py_EQ) == 1) break;
        }
        if (cur != nullptr && given_native && native_equality(cur->block)) {
          outcome = Removed;
        } else if (cur != nullptr) {
          outcome = chain.take(node) ? Compare : Failed;
        }
      }
      if (outcome == Removed) {
        begin_write(t);
        removal = unlink_entry(t, node, prev, cur);
        end_write(t);
        retire_locked(t, removal);
      } else if (outcome == Absent || outcome == Failed) {
        skip_write(t);
      }
      bool left = guard.leave();
      if (outcome == Removed) Py_DECREF(finish_removal(t, removal));
      if (!left || outcome == Failed) return nullptr;
    }
    if (outcome == Removed) Py_RETURN_TRUE;
    if (outcome == Absent) Py_RETURN_FALSE;
    if (outcome == Lost) {
      chain.reset();
      matched = nullptr;
      if (++lost >= kMaxRetries) {
        PyErr_SetString(PyExc_RuntimeError,
                        "FastRedBlackTree.delete(): the blocks of this size kept changing while they were compared");
        return nullptr;
      }
      continue;
    }
    // Compare: equality of the stored blocks (on the left) with the given
    // one, in chain order, up to the first that holds.
    for (Py_ssize_t i = 0; i < chain.size(); ++i) {
      Ref eq = Ref::steal(PyObject_RichCompare(chain[i], given, Py_EQ));
      int truth = eq ? PyObject_IsTrue(eq.get()) : -1;
      if (truth < 0) {
        chain.reset();
        empty_write(t);
        return nullptr;
      }
      if (truth) {
        matched = chain[i];
        break;
      }
    }
  }
}

PyObject* tree_clear_method(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("clear", nargs, kwnames)) return nullptr;
  Tree* t = as_tree(self);
  // The replacement counters are made before the lock is taken.
  Ref operation_counter, sampled_counter;
  if (t->use_atomic) {
    operation_counter = Ref::steal(new_counter());
    if (!operation_counter) return nullptr;
    sampled_counter = Ref::steal(new_counter());
    if (!sampled_counter) return nullptr;
  }
  Detached detached{};
  bool ok;
  {
    WriteScope scope(t);
    if (!scope.ok()) return nullptr;
    scope.change([&] {
      detached = detach_all(t);
      t->counts = Counts{};
      clear_searches(t);
    });
    if (t->use_atomic) {
      // The old counters leave in the handles, released after the lock.
      operation_counter = Ref::steal(kv::exchange_field(t->operation_counter, operation_counter.release()));
      sampled_counter = Ref::steal(kv::exchange_field(t->sampled_counter, sampled_counter.release()));
    }
    ok = scope.finish();
  }
  // Readers may still be on the detached records, and inserts about to
  // take a reference to the old counters (free-threaded build).
  kv::synchronize();
  operation_counter.reset();
  sampled_counter.reset();
  release_detached(detached);
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
  Removal removal;
  {
    WriteScope scope(t);
    if (!scope.ok()) return nullptr;
    RBNode* node = find_best_fit_node(t, size);
    // The result is made before the tree changes, so that a failure leaves
    // the block stored.
    if (node == nullptr) {
      result = Ref::steal(none_pair());
    } else {
      Ref actual = Ref::steal(kv::from_u64(node->size));
      if (actual) result = Ref::steal(PyTuple_Pack(2, actual.get(), node->block));
      if (result) {
        scope.change([&] { removal = unlink_entry(t, node, nullptr, node); });
        retire_locked(t, removal);
      }
    }
    if (!scope.finish()) result.reset();
  }
  Py_XDECREF(finish_removal(t, removal));
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

// What a reader returns. On the default build direct() makes the result
// from the node found, under the interpreter lock that writers also hold.
// On the free-threaded build the node may change or be unlinked while it is
// read: capture() reads what the result needs (no reference taken) inside
// the read section, commit() takes the references once the read is known
// valid (still inside it, so the blocks cannot have been released yet), and
// result() makes the Python result after it.
class BestFitRead {
 public:
  PyObject* direct(RBNode* n) { return Py_NewRef(n != nullptr ? n->block : Py_None); }
  bool capture(RBNode* n) {
    block_ = n != nullptr ? kv::load_relaxed(n->block) : nullptr;
    return true;
  }
  void commit() { Py_XINCREF(block_); }
  PyObject* result() { return block_ != nullptr ? block_ : Py_NewRef(Py_None); }
  static PyObject* give_up() { return Py_NewRef(Py_None); }

 private:
  PyObject* block_ = nullptr;
};

class ExactRead {
 public:
  ExactRead() = default;
  ExactRead(const ExactRead&) = delete;
  ExactRead& operator=(const ExactRead&) = delete;
  ~ExactRead() { PyMem_RawFree(heap_); }

  PyObject* direct(RBNode* n) {
    Py_ssize_t count = 0;
    for (RBNode* e = n; e != nullptr; e = e->next) ++count;
    PyObject* list = PyList_New(count);
    if (list == nullptr) return nullptr;
    Py_ssize_t i = 0;
    for (RBNode* e = n; e != nullptr; e = e->next) PyList_SET_ITEM(list, i++, Py_NewRef(e->block));
    return list;
  }
  // False when the buffer cannot grow (no error set: this runs in a read section).
  bool capture(RBNode* n) {
    n_ = 0;
    for (RBNode* e = n; e != nullptr; e = link_of(e->next)) {
      if (n_ == cap_ && !grow()) return false;
      items()[n_++] = kv::load_relaxed(e->block);
    }
    return true;
  }
  void commit() {
    for (Py_ssize_t i = 0; i < n_; ++i) Py_INCREF(items()[i]);
  }
  PyObject* result() { return kv::new_list(items(), n_); }
  static PyObject* give_up() { return PyList_New(0); }

 private:
  static constexpr Py_ssize_t kInline = 16;
  PyObject** items() { return heap_ != nullptr ? heap_ : inline_; }
  bool grow() {
    Py_ssize_t cap = cap_ * 2;
    auto* heap = static_cast<PyObject**>(PyMem_RawMalloc(sizeof(PyObject*) * static_cast<size_t>(cap)));
    if (heap == nullptr) return false;
    for (Py_ssize_t i = 0; i < n_; ++i) heap[i] = items()[i];
    PyMem_RawFree(heap_);
    heap_ = heap;
    cap_ = cap;
    return true;
  }
  PyObject* inline_[kInline];
  PyObject** heap_ = nullptr;
  Py_ssize_t cap_ = kInline;
  Py_ssize_t n_ = 0;
};

#ifndef Py_GIL_DISABLED

// The optimistic read protocol: up to kMaxRetries attempts, sleeping while a
// write is in progress (odd seq_counter) and accepting a search only when
// seq_counter is unchanged after it. `search` runs the native search.
// Returns the accepted result, the reader's give-up value after the last
// attempt, or null with an error set.
//
// The search runs with the interpreter lock held. Writers make every
// structural change, and free every record, under the interpreter lock
// without running Python code in between, so the search can neither see a
// half-made change nor reach a freed record.
template <typename Search, typename Reader>
PyObject* optimistic_read(Tree* t, Search&& search, Reader& reader) {
  for (int attempt = 0; attempt < kMaxRetries; ++attempt) {
    int64_t seq_start = t->seq_counter;
    if (seq_start & 1) {
      if (!backoff()) return nullptr;
      continue;
    }
    RBNode* found = search();
    if (t->seq_counter == seq_start) {
      PyObject* result = reader.direct(found);
      if (result != nullptr) count_search(t);
      return result;
    }
  }
  return Reader::give_up();
}

#else

// Waits without sleeping for a write in progress to end: a writer keeps
// seq_counter odd for well under a microsecond, unless it is descheduled.
// A short spin covers the first case; then the processor is offered to
// other threads a few times, which lets a descheduled writer on this core
// finish instead of being kept off it by the spinning. True with the even
// value in `seq`; false when the writer is still at it.
bool spin_until_even(Tree* t, int64_t* seq) {
  return kv::spin_until(
      [&] {
        *seq = kv::load_acquire(t->seq_counter);
        return (*seq & 1) == 0;
      },
      64, 8);
}

// The optimistic read protocol without the interpreter lock. The search and
// the capture of its result run inside a read section, so no record they
// reach, and no block they capture, can be freed before it ends (records
// and block references leave the tree only after a grace period); the
// search may still see a write half made, which the seqlock then rejects.
// A write in progress is first waited for by spinning, which keeps readers
// fast while writers run on other cores; only a writer that stays at it
// sends the reader to the module's time.sleep, and each such sleep, like
// each rejected search, counts as one of the kMaxRetries attempts.
template <typename Search, typename Reader>
PyObject* optimistic_read(Tree* t, Search&& search, Reader& reader) {
  for (int attempt = 0; attempt < kMaxRetries; ++attempt) {
    int64_t seq_start = kv::load_acquire(t->seq_counter);
    if ((seq_start & 1) && !spin_until_even(t, &seq_start)) {
      if (!backoff()) return nullptr;
      continue;
    }
    bool captured, valid;
    {
      kv::ReadSection section;
      captured = reader.capture(search());
      kv::probes::at(kCaptured);
      std::atomic_thread_fence(std::memory_order_acquire);
      valid = kv::load_relaxed(t->seq_counter) == seq_start;
      if (captured && valid) reader.commit();
    }
    if (valid) {
      if (!captured) return PyErr_NoMemory();
      PyObject* result = reader.result();
      if (result != nullptr) count_search(t);
      return result;
    }
  }
  return Reader::give_up();
}

#endif

kv::Params<2> find_best_fit_params{"find_best_fit", {"size", "alignment"}, 1};

PyObject* tree_find_best_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!kv::parse(find_best_fit_params, args, nargs, kwnames, a)) return nullptr;
  // Both arguments pass their type check before the size is sanitised.
  Ref converted;
  PyObject* size_obj = a[0];
  if (!PyLong_CheckExact(size_obj)) {
    converted = Ref::steal(kv::annotated_int(size_obj, "size", true));
    if (!converted) return nullptr;
    size_obj = converted.get();
  }
  if (a[1] != nullptr && !PyLong_CheckExact(a[1])) {
    Ref alignment = Ref::steal(kv::annotated_int(a[1], "alignment", true));
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
  BestFitRead reader;
  return optimistic_read(t, [&] { return find_best_fit_node(t, size); }, reader);
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
  ExactRead reader;
  return optimistic_read(t, [&] { return find_node(t, size); }, reader);
}

// ---------------------------------------------------------------------------
// Size, statistics and reporting

PyObject* tree_size(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("size", nargs, kwnames)) return nullptr;
  return kv::from_u64(kv::load_relaxed(as_tree(self)->node_count));
}

// self.size(): the field itself for an exact tree. New reference or null.
PyObject* call_size(PyObject* self) {
  if (Py_TYPE(self) == &TreeType) return kv::from_u64(kv::load_relaxed(as_tree(self)->node_count));
  return kv::call_method(self, n_size);
}

Py_ssize_t tree_length(PyObject* self) {
  if (Py_TYPE(self) == &TreeType) {
    uint64_t n = kv::load_relaxed(as_tree(self)->node_count);
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
  if (Py_TYPE(self) == &TreeType) return kv::load_relaxed(as_tree(self)->node_count) > 0;
  Ref n = Ref::steal(call_size(self));
  if (!n) return -1;
  Ref zero = Ref::steal(PyLong_FromLong(0));
  return PyObject_RichCompareBool(n.get(), zero.get(), Py_GT);
}

PyObject* tree_repr(PyObject* self) {
  return PyUnicode_FromFormat("FastRedBlackTree(blocks=%llu, native=True)",
                              static_cast<unsigned long long>(kv::load_relaxed(as_tree(self)->node_count)));
}

kv::Params<1> sanitize_params{"_sanitize_size", {"size"}, 1};

PyObject* tree_sanitize_size(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!kv::parse(sanitize_params, args, nargs, kwnames, a)) return nullptr;
  Ref size = Ref::steal(kv::annotated_int(a[0], "size", true));
  if (!size) return nullptr;
  Ref result = Ref::steal(sanitize(size.get()));
  if (!result) return nullptr;
  return kv::expected_int_or_none(result.get());
}

// Holds write_lock on the free-threaded build, where holding the
// interpreter lock does not keep writers out; nothing on the default build.
class WritersExcluded {
 public:
  explicit WritersExcluded([[maybe_unused]] Tree* t) {
    if constexpr (kv::free_threaded) guard_.emplace(t->write_lock, kv::native_section);
  }
  bool ok() const { return !guard_ || guard_->ok(); }
  bool leave() { return !guard_ || guard_->leave(); }

 private:
  std::optional<kv::Locked> guard_;
};

PyObject* tree_reset_circuit_breaker(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("reset_circuit_breaker", nargs, kwnames)) return nullptr;
  Tree* t = as_tree(self);
  return kv::with_lock(t->stats_lock, kv::native_section, [&]() -> PyObject* {
    // Without the interpreter lock, inserts count under write_lock only.
    WritersExcluded excluded(t);
    if (!excluded.ok()) return nullptr;
    t->counts.has_trips = true;
    t->counts.operation_count = 0;
    if (!excluded.leave()) return nullptr;
    Py_RETURN_NONE;
  });
}

PyObject* tree_get_stats(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("get_stats", nargs, kwnames)) return nullptr;
  Tree* t = as_tree(self);
  // The sampled count may come from Python code: read before the lock.
  Ref sampled = Ref::steal(t->use_atomic ? call_counter(t->sampled_counter, n_load) : PyLong_FromLong(0));
  if (!sampled) return nullptr;
  Counts counts;
  uint64_t node_count;
  int height;
  {
    kv::Locked guard(t->stats_lock, kv::native_section);
    if (!guard.ok()) return nullptr;
    // The tree is walked while no writer changes it: under the interpreter
    // lock on the default build, under write_lock as well without it.
    WritersExcluded excluded(t);
    if (!excluded.ok()) return nullptr;  // the guard leaves stats_lock
    counts = t->counts;
    counts.total_searches = total_searches(t);
    node_count = t->node_count;
    height = compute_height(t->root);
    if (!excluded.leave() || !guard.leave()) return nullptr;
  }
  const struct {
    const kv::Name& key;
    int64_t value;
    bool present;
  } entries[] = {
      {k_total_blocks, counts.total_blocks, true},       {k_total_insertions, counts.total_insertions, true},
      {k_total_deletions, counts.total_deletions, true}, {k_total_searches, counts.total_searches, true},
      {k_bucket_hits, 0, true},                          {k_tree_hits, 0, true},
      {k_operation_count, counts.operation_count, true}, {k_circuit_breaker_trips, 0, counts.has_trips},
      {k_height, height, true},
  };
  Ref result = Ref::steal(kv::new_dict_presized(13));
  if (!result) return nullptr;
  auto put = [&](const kv::Name& key, PyObject* value) {
    Ref held = Ref::steal(value);
    return held && PyDict_SetItem(result.get(), key.get(), held.get()) == 0;
  };
  for (const auto& e : entries) {
    if (&e.key == &k_height) {
      // node_count comes between the counts and the height.
      if (!put(k_node_count, kv::from_u64(node_count))) return nullptr;
    }
    if (e.present && !put(e.key, kv::from_i64(e.value))) return nullptr;
  }
  if (!put(k_sampled_operations, sampled.release()) || !put(k_is_valid, Py_NewRef(Py_True))) return nullptr;
  return result.release();
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

// The distribution dict. The tree is walked into a native buffer under
// write_lock and the dict built from it after leaving the lock; building it
// interleaved with the walk also costs several times more in cache misses.
PyObject* tree_get_size_distribution(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("get_size_distribution", nargs, kwnames)) return nullptr;
  Tree* t = as_tree(self);
  SizeCount* entries = nullptr;
  Py_ssize_t n = 0;
  {
    kv::Locked guard(t->write_lock, kv::native_section);
    if (!guard.ok()) return nullptr;
    if (t->root != nullptr) {
      // node_count bounds the number of tree nodes.
      entries = static_cast<SizeCount*>(PyMem_Malloc(sizeof(SizeCount) * t->node_count));
      if (entries == nullptr) {
        PyErr_NoMemory();
      } else {
        SizeCount* end = entries;
        collect_dist_recursive(t->root, end);
        n = end - entries;
      }
    }
    if (!guard.leave()) {
      PyMem_Free(entries);
      return nullptr;
    }
  }
  Ref dist = Ref::steal(kv::new_dict_presized(n));
  for (Py_ssize_t i = 0; dist && i < n; ++i) {
    Ref key = Ref::steal(kv::from_u64(entries[i].size));
    Ref value = Ref::steal(kv::from_u64(entries[i].count));
    if (!key || !value || PyDict_SetItem(dist.get(), key.get(), value.get()) < 0) dist.reset();
  }
  PyMem_Free(entries);
  return dist.release();
}

PyObject* tree_get_statistics(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("get_statistics", nargs, kwnames)) return nullptr;
  return PyDict_New();
}

PyObject* tree_get_seq_counter(PyObject* self, void*) {
  return kv::from_i64(kv::load_acquire(as_tree(self)->seq_counter));
}

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

// ---------------------------------------------------------------------------
// Forked children

// Runs in a forked child, in the forking thread, before anything else can
// use a tree (the first callback the module registered with
// os.register_at_fork). A thread of the parent that was waiting for one of a
// tree's locks, or for its pool, may have been handed it before the fork,
// or have been holding stats_lock while it waited for write_lock; and a
// writer may have been waiting for the pool with seq_counter odd. Such a
// thread is detached, so the interpreter's pause before the fork does not
// wait for it, and it does not exist in the child. Every place where a
// holder can be detached comes before a writer's first change or after its
// last, so each tree is whole: the child releases what the lost threads
// held and makes seq_counter even. A record such a thread was removing stays
// out of the pool.
PyObject* repair_after_fork(PyObject*, PyObject* const*, Py_ssize_t, PyObject*) {
  live_trees.mutex.reset_after_fork();
  for (Tree* t = live_trees.head; t != nullptr; t = t->next_tree) {
    t->pool_mutex.reset_after_fork();
    if (t->seq_counter & 1) kv::store_release(t->seq_counter, t->seq_counter + 1);
    kv::release_abandoned(t->write_lock);
    kv::release_abandoned(t->stats_lock);
  }
  Py_RETURN_NONE;
}

const kv::FunctionDef repair_after_fork_def{"_repair_after_fork", repair_after_fork,
                                           "Puts the trees right in a forked child.", "()"};

bool register_fork_repair(PyObject* m) {
  Ref os = Ref::steal(PyImport_ImportModule("os"));
  Ref register_at_fork = os ? Ref::steal(PyObject_GetAttrString(os.get(), "register_at_fork")) : Ref();
  Ref name = Ref::steal(PyObject_GetAttrString(m, "__name__"));
  Ref repair = name ? Ref::steal(kv::make_function(repair_after_fork_def, kv::Kind::Function, name.get(), nullptr))
                    : Ref();
  Ref kwnames = Ref::steal(Py_BuildValue("(s)", "after_in_child"));
  if (!register_at_fork || !repair || !kwnames) return false;
  PyObject* argv[] = {repair.get()};
  return static_cast<bool>(Ref::steal(PyObject_Vectorcall(register_at_fork.get(), argv, 0, kwnames.get())));
}

#ifdef Py_GIL_DISABLED
// Probe control: the number of records in a tree's free list.
kv::Params<1> pool_free_params{"pool_free", {"tree"}, 1};

PyObject* probe_pool_free(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!kv::parse(pool_free_params, args, nargs, kwnames, a)) return nullptr;
  if (!PyObject_TypeCheck(a[0], &TreeType)) {
    kv::raise_expected("FastRedBlackTree", a[0]);
    return nullptr;
  }
  Tree* t = as_tree(a[0]);
  Py_ssize_t n = 0;
  kv::Holding held(t->pool_mutex);
  for (RBNode* r = t->pool.free; r != nullptr; ++n) {
    KV_UNPOISON(r, sizeof(RBNode));
    RBNode* next = r->next;
    KV_POISON(r, sizeof(RBNode));
    r = next;
  }
  return PyLong_FromSsize_t(n);
}

const char* const probe_names[] = {"section_end", "synchronize", "captured", "writing", "reclaiming", nullptr};

const kv::FunctionDef probe_controls[] = {
    {"pool_free", probe_pool_free, "The number of records in the tree's free list.", "(tree)"},
};
#endif

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

  // The clock is read natively only while it is the builtin imported here.
  Py_CLEAR(original_time);
  Py_CLEAR(original_perf_counter_ns);
  {
    Ref time = Ref::steal(PyObject_GetAttrString(m, "time"));
    if (!time) return -1;
    PyObject* fn = nullptr;
    if (PyModule_CheckExact(time.get()) &&
        PyObject_GetOptionalAttr(time.get(), n_perf_counter_ns.get(), &fn) < 0) {
      return -1;
    }
    if (fn != nullptr && PyCFunction_Check(fn) && PyCFunction_GET_SELF(fn) == time.get() &&
        strcmp(reinterpret_cast<PyCFunctionObject*>(fn)->m_ml->ml_name, "perf_counter_ns") == 0) {
      original_perf_counter_ns = fn;
      original_time = time.release();
    } else {
      Py_XDECREF(fn);  // already replaced: always called by name
    }
  }
  Py_XSETREF(backoff_seconds, PyFloat_FromDouble(0.0001));
  if (backoff_seconds == nullptr) return -1;
  {
    // AtomicCounter as imported: without an increment method (or not an
    // immutable type) its counters are always called by name.
    Ref factory = Ref::steal(PyObject_GetAttrString(m, "AtomicCounter"));
    if (!factory) return -1;
    Py_CLEAR(counter_increment);
    Py_CLEAR(counter_type);
    if (PyType_Check(factory.get()) &&
        PyType_HasFeature(reinterpret_cast<PyTypeObject*>(factory.get()), Py_TPFLAGS_IMMUTABLETYPE) &&
        reinterpret_cast<PyTypeObject*>(factory.get())->tp_dictoffset == 0) {
      if (PyObject_GetOptionalAttr(factory.get(), n_increment.get(), &counter_increment) < 0) return -1;
      if (counter_increment != nullptr) counter_type = reinterpret_cast<PyTypeObject*>(factory.release());
    }
  }

  if (!init_type() || !register_fork_repair(m)) return -1;
#ifdef Py_GIL_DISABLED
  if (!kv::probes::publish(m, probe_names, probe_controls, std::size(probe_controls))) return -1;
#endif
  return PyModule_AddObjectRef(m, "FastRedBlackTree", reinterpret_cast<PyObject*>(&TreeType));
}

}  // namespace

KV_MODULE(block_index, "korvane.memory.block_index",
          "Size-keyed red-black tree of free memory blocks with lock-free best-fit readers.", exec_module)
