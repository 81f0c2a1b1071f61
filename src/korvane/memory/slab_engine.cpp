// korvane.memory.slab_engine: the slab header record with its CRC-16 and
// object bitmap, size-bucket free lists, allocation statistics and alignment
// arithmetic.

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>

#include "kv/frame.hpp"
#include "korvane/slab_engine.h"

namespace {

using kv::Ref;

kv::Name n_threading{"threading"};
kv::Name n_logger{"logger"};
kv::Name n_warning{"warning"};
kv::Name n_struct{"struct"};
kv::Name n_init_buckets{"_init_buckets"};
kv::Name n_is_set{"is_set"};
kv::Name n_set{"set"};
kv::Name n_clear{"clear"};
kv::Name n_find_first{"find_first"};
kv::Name k_total_allocations{"total_allocations"};
kv::Name k_total_deallocations{"total_deallocations"};
kv::Name k_bucketed_allocations{"bucketed_allocations"};
kv::Name k_fallback_allocations{"fallback_allocations"};
kv::Name k_bucketed_allocation_ratio{"bucketed_allocation_ratio"};
kv::Name k_alignment_padding_bytes{"alignment_padding_bytes"};

constexpr int32_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr int32_t kInt32Min = std::numeric_limits<int32_t>::min();

// ---------------------------------------------------------------------------
// Shared arithmetic. Everything is computed in 64 bits, where no sum of two
// or three 32-bit values can overflow.

// `offset` rounded up by the mask formula (offset + alignment - 1) & -alignment.
// The mask is -alignment taken in 32-bit two's complement (so -2**31 stays
// -2**31); the sum is exact, so an aligned start past 2**31 - 1 does not wrap
// around to a negative one.
inline int64_t aligned_start(int32_t offset, int32_t alignment) {
  int64_t mask = alignment == kInt32Min ? int64_t{kInt32Min} : -int64_t{alignment};
  return (int64_t{offset} + alignment - 1) & mask;
}

// Whether `size` bytes starting at the aligned start end within the block.
inline bool fits_aligned(int32_t offset, int64_t block_size, int32_t size, int32_t alignment) {
  return aligned_start(offset, alignment) + size <= int64_t{offset} + block_size;
}

// size + step - 1 rounded down toward zero to a multiple of step (step != 0).
inline int64_t round_to_step(int32_t size, int32_t step) {
  int64_t t = int64_t{size} + step - 1;
  return t - t % step;
}

template <typename T>
inline void store_le(unsigned char* p, T v) {
  for (std::size_t i = 0; i < sizeof(T); ++i) p[i] = static_cast<unsigned char>(v >> (8 * i));
}

template <typename T>
inline T load_le(const unsigned char* p) {
  T v = 0;
  for (std::size_t i = 0; i < sizeof(T); ++i) v = static_cast<T>(v | static_cast<T>(T{p[i]} << (8 * i)));
  return v;
}

// `import struct` as a function body runs it: sys.modules first, the import
// system when the module is missing (or None). False with an error set.
bool import_struct() {
  PyObject* found = nullptr;
  if (PyDict_GetItemRef(PyImport_GetModuleDict(), n_struct.get(), &found) < 0) return false;
  if (found != nullptr && found != Py_None) [[likely]] {
    Py_DECREF(found);
    return true;
  }
  Py_XDECREF(found);
  PyObject* module = kv::this_module();
  Ref imported = Ref::steal(PyImport_ImportModuleLevelObject(
      n_struct.get(), module != nullptr ? PyModule_GetDict(module) : nullptr, nullptr, nullptr, 0));
  return static_cast<bool>(imported);
}

// ---------------------------------------------------------------------------
// Checksum: CRC-16/MODBUS (reflected polynomial 0xA001, initial 0xFFFF, no
// final XOR), table-driven.

uint16_t crc_table[256];

void build_crc_table() {
  for (unsigned i = 0; i < 256; ++i) {
    unsigned c = i;
    for (int k = 0; k < 8; ++k) c = (c & 1u) != 0 ? (c >> 1) ^ 0xA001u : c >> 1;
    crc_table[i] = static_cast<uint16_t>(c);
  }
}

inline uint16_t crc16_modbus(const unsigned char* p, std::size_t n) {
  unsigned crc = 0xFFFF;
  for (std::size_t i = 0; i < n; ++i) crc = (crc >> 8) ^ crc_table[(crc ^ p[i]) & 0xFFu];
  return static_cast<uint16_t>(crc);
}

// ---------------------------------------------------------------------------
// FastSlabHeaderOps

struct Header {
  PyObject_HEAD
  uint8_t size_class_index;
  uint8_t flags;
  uint32_t change_count;
  uint16_t checksum;
  uint64_t bitmap;  // bit i set: slot i is free
  int32_t objects_per_slab;
};

constexpr uint8_t kFlagAllocated = 0x10;
constexpr uint8_t kFlagCorrupt = 0x80;
constexpr Py_ssize_t kRecordSize = 16;

PyTypeObject HeaderType{PyVarObject_HEAD_INIT(nullptr, 0)};

inline Header* as_header(PyObject* o) { return reinterpret_cast<Header*>(o); }

inline uint64_t all_free_mask(int32_t slots) {
  if (slots <= 0) return 0;
  if (slots >= 64) return ~uint64_t{0};
  return (uint64_t{1} << slots) - 1;
}

inline bool is_slot(int32_t index) { return index >= 0 && index < 64; }

// The native operations (no interpreter lock needed, no locking of their own).
//
// Every Python method that changes a header, or reads more than one of its
// fields, runs as one step: the interpreter lock makes it so on the default
// build, a critical section on the header on the free-threaded one (where a
// native caller that holds one on the header may run the operations beside
// the Python methods). The single-word reads of the bitmap take no critical
// section, so the bitmap is read and written whole (load_relaxed/store_relaxed).
int op_is_object_free(PyObject* self, int32_t index) {
  return is_slot(index) && ((kv::load_relaxed(as_header(self)->bitmap) >> index) & 1u) != 0;
}

void op_allocate_object(PyObject* self, int32_t index) {
  Header* h = as_header(self);
  if (is_slot(index)) kv::store_relaxed(h->bitmap, h->bitmap & ~(uint64_t{1} << index));
  h->flags = static_cast<uint8_t>(h->flags | kFlagAllocated);
  h->change_count += 1u;
}

void op_deallocate_object(PyObject* self, int32_t index) {
  Header* h = as_header(self);
  if (is_slot(index)) kv::store_relaxed(h->bitmap, h->bitmap | uint64_t{1} << index);
  h->change_count += 1u;
  if (h->bitmap == all_free_mask(h->objects_per_slab)) h->flags = static_cast<uint8_t>(h->flags & ~kFlagAllocated);
}

int32_t op_find_free_object(PyObject* self) {
  uint64_t bitmap = kv::load_relaxed(as_header(self)->bitmap);
  return bitmap == 0 ? -1 : static_cast<int32_t>(std::countr_zero(bitmap));
}

uint16_t op_compute_checksum(PyObject* self) {
  const Header* h = as_header(self);
  unsigned char covered[6];
  covered[0] = h->size_class_index;
  covered[1] = h->flags;
  store_le(covered + 2, h->change_count);
  return crc16_modbus(covered, sizeof covered);
}

KorvaneSlabHeaderOps header_ops{0, nullptr, op_is_object_free, op_allocate_object, op_deallocate_object, op_find_free_object,
                                op_compute_checksum};

kv::Params<2> header_new_params{"__init__", {"size_class_index", "objects_per_slab"}, 2};

PyObject* header_construct(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  int32_t size_class, slots;
  if (!kv::parse(header_new_params, args, nargs, kwnames, a) || !kv::to_i32(a[0], &size_class) ||
      !kv::to_i32(a[1], &slots)) {
    return nullptr;
  }
  if (slots < 0) {
    PyErr_SetString(PyExc_ValueError, "objects_per_slab must not be negative");
    return nullptr;
  }
  Header* h = kv::alloc_instance<Header>(type);
  if (h == nullptr) return nullptr;
  h->size_class_index = static_cast<uint8_t>(static_cast<uint32_t>(size_class) & 0xFFu);
  h->flags = 0;
  h->change_count = 0;
  h->checksum = 0;
  h->bitmap = all_free_mask(slots);
  h->objects_per_slab = slots;
  return reinterpret_cast<PyObject*>(h);
}

PyObject* header_pack(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("pack_header", nargs, kwnames) || !import_struct()) return nullptr;
  PyObject* out = PyBytes_FromStringAndSize(nullptr, kRecordSize);
  if (out == nullptr) return nullptr;
  Header* h = as_header(self);
  kv::CriticalSection section(self);
  h->checksum = op_compute_checksum(self);
  auto* p = reinterpret_cast<unsigned char*>(PyBytes_AS_STRING(out));
  p[0] = h->size_class_index;
  p[1] = h->flags;
  store_le(p + 2, h->change_count);
  store_le(p + 6, h->checksum);
  store_le(p + 8, h->bitmap);
  return out;
}

KV_COLD PyObject* raise_record_length(Py_ssize_t got) {
  PyErr_Format(PyExc_ValueError, "slab header record must be exactly 16 bytes (got %zd)", got);
  return nullptr;
}

// logger.warning("Header corruption detected: ..."), `logger` being the
// module attribute at the time of the call. New reference or null.
KV_COLD PyObject* log_corruption(unsigned stored, unsigned computed) {
  char text[80];
  std::snprintf(text, sizeof text, "Header corruption detected: stored=%04x, computed=%04x", stored, computed);
  Ref message = Ref::steal(PyUnicode_FromString(text));
  if (!message) return nullptr;
  Ref logger = Ref::steal(kv::module_global(n_logger));
  if (!logger) return nullptr;
  Ref r = Ref::steal(kv::call_method(logger.get(), n_warning, {message.get()}));
  if (!r) return nullptr;
  Py_RETURN_NONE;
}

// The fields a header record loads (the checksum field keeps its value).
struct LoadedFields {
  uint8_t size_class_index;
  uint8_t flags;
  uint32_t change_count;
  uint64_t bitmap;
};

void store_fields(Header* h, const LoadedFields& f) {
  h->size_class_index = f.size_class_index;
  h->flags = f.flags;
  h->change_count = f.change_count;
  kv::store_relaxed(h->bitmap, f.bitmap);
}

kv::Params<1> unpack_params{"unpack_header", {"data"}, 1};

PyObject* header_unpack(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!kv::parse(unpack_params, args, nargs, kwnames, a)) return nullptr;
  PyObject* data = a[0];
  if (data != Py_None && !PyBytes_CheckExact(data)) {
    kv::raise_arg_type("data", "bytes", data);
    return nullptr;
  }
  if (!import_struct()) return nullptr;
  if (data == Py_None) {
    kv::raise_no_len(data);
    return nullptr;
  }
  if (PyBytes_GET_SIZE(data) != kRecordSize) return raise_record_length(PyBytes_GET_SIZE(data));
  const auto* p = reinterpret_cast<const unsigned char*>(PyBytes_AS_STRING(data));
  Header* h = as_header(self);
  const uint16_t stored = load_le<uint16_t>(p + 6);
  LoadedFields before;
  uint16_t computed;
  {
    kv::CriticalSection section(self);
    before = {h->size_class_index, h->flags, h->change_count, h->bitmap};
    store_fields(h, {p[0], p[1], load_le<uint32_t>(p + 2), load_le<uint64_t>(p + 8)});
    computed = op_compute_checksum(self);
    if (computed != stored) [[unlikely]] h->flags = static_cast<uint8_t>(h->flags | kFlagCorrupt);
  }
  if (computed != stored) [[unlikely]] {
    PyObject* logged = log_corruption(stored, computed);
    // A load whose warning cannot be logged fails as a whole.
    if (logged == nullptr) {
      kv::CriticalSection section(self);
      store_fields(h, before);
    }
    return logged;
  }
  Py_RETURN_NONE;
}

kv::Params<1> is_free_params{"py_is_object_free", {"object_index"}, 1};
kv::Params<1> allocate_params{"py_allocate_object_at", {"object_index"}, 1};
kv::Params<1> deallocate_params{"py_deallocate_object_at", {"object_index"}, 1};

PyObject* header_is_object_free(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  int32_t index;
  if (!kv::parse(is_free_params, args, nargs, kwnames, a) || !kv::to_i32(a[0], &index)) return nullptr;
  return kv::from_bool(op_is_object_free(self, index) != 0);
}

PyObject* header_find_free_object(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("py_find_free_object", nargs, kwnames)) return nullptr;
  return PyLong_FromLong(op_find_free_object(self));
}

PyObject* header_allocate_object_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  int32_t index;
  if (!kv::parse(allocate_params, args, nargs, kwnames, a) || !kv::to_i32(a[0], &index)) return nullptr;
  kv::CriticalSection section(self);
  op_allocate_object(self, index);
  Py_RETURN_NONE;
}

PyObject* header_deallocate_object_at(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                      PyObject* kwnames) {
  PyObject* a[1];
  int32_t index;
  if (!kv::parse(deallocate_params, args, nargs, kwnames, a) || !kv::to_i32(a[0], &index)) return nullptr;
  kv::CriticalSection section(self);
  op_deallocate_object(self, index);
  Py_RETURN_NONE;
}

// Free slots are counted among the first objects_per_slab only.
PyObject* header_repr(PyObject* self) {
  const Header* h = as_header(self);
  kv::CriticalSection section(self);
  return PyUnicode_FromFormat("FastSlabHeaderOps(size_class_index=%d, objects_per_slab=%d, free=%d, flags=0x%x)",
                              int{h->size_class_index}, int{h->objects_per_slab},
                              std::popcount(h->bitmap & all_free_mask(h->objects_per_slab)), unsigned{h->flags});
}

const kv::FunctionDef header_methods[] = {
    {"pack_header", header_pack,
     "Pack the header into its 16-byte record (format \"<BBLHQ\").\n\n"
     "Stores a fresh CRC-16 of bytes 0-5 as the checksum first.",
     "($self, /)"},
    {"unpack_header", header_unpack,
     "Load a 16-byte header record and verify its checksum.\n\n"
     "A mismatch sets flag 0x80 and logs a warning; the loaded values stay.",
     "($self, /, data)"},
    {"py_is_object_free", header_is_object_free, "Whether object slot object_index is free.",
     "($self, /, object_index)"},
    {"py_find_free_object", header_find_free_object, "Index of the lowest free object slot, or -1.",
     "($self, /)"},
    {"py_allocate_object_at", header_allocate_object_at, "Mark object slot object_index as allocated.",
     "($self, /, object_index)"},
    {"py_deallocate_object_at", header_deallocate_object_at, "Mark object slot object_index as free.",
     "($self, /, object_index)"},
};

// ---------------------------------------------------------------------------
// FastBucketAllocator
//
// `buckets` maps each bucket size to its list of free offsets. Beside it the
// allocator keeps `index`: the same lists (one more strong reference each)
// ordered by ascending bucket size, so that lookups and the scan of larger
// buckets need no Python keys. Invariants:
//   - `buckets` and `index` hold the same sizes and list objects; both change
//     only in _init_buckets, which builds the new ones completely and then
//     swaps them in with no Python code running in between;
//   - the lists hold ints in the signed 32-bit range only;
//   - no code keeps a pointer into `index` across a call that can run Python
//     code (the lock's __enter__/__exit__ included).
//
// _init_buckets takes no lock, so on the free-threaded build it may swap the
// index while add, remove and best fit (under the lock) or repr (without it)
// are using the old one. They use it inside a read section, and the old index
// and its lists are released only after every read section that may have
// found it has ended. An offset filed meanwhile into an old list is dropped
// with it, as if the filing had come just before the re-initialisation.

struct Bucket {
  int32_t size;
  PyObject* list;  // strong
};

// The buckets in ascending order of size, in one block with their count, so
// that a reader finds both through one pointer.
struct BucketIndex {
  Py_ssize_t n;
  Bucket* begin() noexcept { return reinterpret_cast<Bucket*>(this + 1); }
  Bucket* end() noexcept { return begin() + n; }
};

struct Allocator {
  PyObject_HEAD
  int32_t bucket_size_step;
  int32_t small_block_max;
  int32_t medium_block_max;
  PyObject* buckets;    // dict, or null (None) before construction and after clearing
  PyObject* lock;       // threading.Lock, or null likewise
  BucketIndex* index;   // null before the first _init_buckets and after clearing
};

PyTypeObject AllocatorType{PyVarObject_HEAD_INIT(nullptr, 0)};

inline Allocator* as_allocator(PyObject* o) { return reinterpret_cast<Allocator*>(o); }

int32_t op_get_bucket_size_fast(PyObject* self, int32_t size) {
  const Allocator* a = as_allocator(self);
  if (size > a->small_block_max && size > a->medium_block_max) return -1;
  if (a->bucket_size_step <= 0) return -1;  // refused at construction
  int64_t b = round_to_step(size, a->bucket_size_step);
  // A rounded size past 2**31 - 1 is above every bucket, as -1 says.
  return b > kInt32Max ? -1 : static_cast<int32_t>(b);
}

KorvaneBucketAllocatorOps allocator_ops{0, nullptr, op_get_bucket_size_fast};

// The buckets of the current index; use them inside a read section only.
struct Buckets {
  Bucket* first = nullptr;
  Bucket* last = nullptr;

  explicit Buckets(const Allocator* a) noexcept {
    if (BucketIndex* index = kv::load_acquire(a->index)) {
      first = index->begin();
      last = index->end();
    }
  }

  // The first bucket whose size is not below `size`.
  Bucket* lower_bound(int32_t size) const noexcept {
    return std::lower_bound(first, last, size, [](const Bucket& b, int32_t s) { return b.size < s; });
  }

  Bucket* find(int32_t size) const noexcept {
    Bucket* b = lower_bound(size);
    return b != last && b->size == size ? b : nullptr;
  }
};

// The last item of a bucket list that was found non-empty: a new reference,
// or null when the list is empty after all. On the free-threaded build
// another thread can reach the list through the collector (gc.get_referents)
// and change it, so the item is not borrowed there.
inline PyObject* last_item(PyObject* list, Py_ssize_t n) {
#ifdef Py_GIL_DISABLED
  PyObject* item = PyList_GetItemRef(list, n - 1);
  if (item == nullptr) PyErr_Clear();
  return item;
#else
  return Py_NewRef(PyList_GET_ITEM(list, n - 1));
#endif
}

// The last offset of a bucket list that was found non-empty, as a C value;
// false when there is none after all.
inline bool last_offset(PyObject* list, int32_t* offset) {
  Ref item = Ref::steal(last_item(list, PyList_GET_SIZE(list)));
  if (!item) return false;
  *offset = static_cast<int32_t>(PyLong_AsLong(item.get()));
  return true;
}

// Removes the last offset of a list that was found non-empty; new reference
// (None when the list is empty after all) or null.
PyObject* pop_last(PyObject* list) {
  Py_ssize_t n = PyList_GET_SIZE(list);
  PyObject* item = last_item(list, n);
  if (item == nullptr) Py_RETURN_NONE;
  if (PyList_SetSlice(list, n - 1, n, nullptr) < 0) {
    Py_DECREF(item);
    return nullptr;
  }
  return item;
}

void release_index(BucketIndex* index) {
  if (index == nullptr) return;
  for (Bucket& b : *index) Py_DECREF(b.list);
  PyMem_Free(index);
}

// Number of values of range(start, stop, step) for a positive step.
inline int64_t range_length(int64_t start, int64_t stop, int64_t step) {
  return start < stop ? (stop - start + step - 1) / step : 0;
}

// Gives every bucket size a new empty list (dropping filed offsets).
// False with an error set; the allocator is unchanged then.
bool init_buckets(Allocator* a) {
  if (kv::load_relaxed(a->buckets) == nullptr) {
    PyErr_SetString(PyExc_TypeError, "'NoneType' object does not support item assignment");
    return false;
  }
  const int64_t step = a->bucket_size_step;  // positive: construction refuses any other
  const int64_t small_stop = int64_t{a->small_block_max} + 1;
  const int64_t medium_start = int64_t{a->small_block_max} + step;
  const int64_t medium_stop = int64_t{a->medium_block_max} + 1;
  const int64_t n_small = range_length(step, small_stop, step);
  const int64_t n = n_small + range_length(medium_start, medium_stop, step);
  if (n > (PY_SSIZE_T_MAX - static_cast<int64_t>(sizeof(BucketIndex))) / static_cast<int64_t>(sizeof(Bucket))) {
    PyErr_NoMemory();
    return false;
  }
  // Built aside: creating lists may run the collector, and with it finalisers
  // that use this allocator, which must still see a consistent one.
  auto* fresh_index = static_cast<BucketIndex*>(
      PyMem_Malloc(sizeof(BucketIndex) + static_cast<std::size_t>(n) * sizeof(Bucket)));
  if (fresh_index == nullptr) {
    PyErr_NoMemory();
    return false;
  }
  fresh_index->n = 0;
  Ref fresh = Ref::steal(PyDict_New());
  bool ok = static_cast<bool>(fresh);
  for (int64_t i = 0; ok && i < n; ++i) {
    int64_t size = i < n_small ? step * (i + 1) : medium_start + step * (i - n_small);
    Ref key = Ref::steal(PyLong_FromLongLong(size));
    Ref list = Ref::steal(PyList_New(0));
    ok = key && list && PyDict_SetItem(fresh.get(), key.get(), list.get()) == 0;
    if (ok) fresh_index->begin()[fresh_index->n++] = Bucket{static_cast<int32_t>(size), list.release()};
  }
  if (!ok) {
    release_index(fresh_index);
    return false;
  }
  PyObject* old_dict;
  BucketIndex* old_index;
  {
    // Re-initialisations in other threads swap theirs in one at a time, so
    // that the dict and the index stay one pair.
    kv::CriticalSection section(reinterpret_cast<PyObject*>(a));
    old_dict = a->buckets;
    old_index = a->index;
    kv::store_relaxed(a->buckets, fresh.release());
    kv::store_release(a->index, fresh_index);
  }
  if (old_index != nullptr) kv::synchronize();
  release_index(old_index);
  Py_DECREF(old_dict);
  return true;
}

kv::Params<3> allocator_new_params{"__init__", {"bucket_size_step", "small_block_max", "medium_block_max"}, 0};

PyObject* allocator_construct(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  int32_t step = 8, small_max = 256, medium_max = 4096;
  if (!kv::parse(allocator_new_params, args, nargs, kwnames, a) || (a[0] != nullptr && !kv::to_i32(a[0], &step)) ||
      (a[1] != nullptr && !kv::to_i32(a[1], &small_max)) || (a[2] != nullptr && !kv::to_i32(a[2], &medium_max))) {
    return nullptr;
  }
  if (step <= 0) {
    // Zero fails as the zero-step range of the bucket sizes does.
    PyErr_SetString(PyExc_ValueError,
                    step == 0 ? "range() arg 3 must not be zero" : "bucket_size_step must be positive");
    return nullptr;
  }
  Ref buckets = Ref::steal(PyDict_New());
  if (!buckets) return nullptr;
  Ref threading = Ref::steal(kv::module_global(n_threading));
  if (!threading) return nullptr;
  Ref lock = Ref::steal(kv::new_lock(threading.get()));
  if (!lock) return nullptr;
  Ref obj = Ref::steal(reinterpret_cast<PyObject*>(kv::alloc_instance<Allocator>(type)));
  if (!obj) return nullptr;
  Allocator* self = as_allocator(obj.get());
  self->bucket_size_step = step;
  self->small_block_max = small_max;
  self->medium_block_max = medium_max;
  self->buckets = buckets.release();
  self->lock = lock.release();
  if (type == &AllocatorType) {
    if (!init_buckets(self)) return nullptr;
  } else {
    Ref r = Ref::steal(kv::call_method(obj.get(), n_init_buckets));
    if (!r) return nullptr;
  }
  return obj.release();
}

PyObject* allocator_init_buckets(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("_init_buckets", nargs, kwnames) || !init_buckets(as_allocator(self))) return nullptr;
  Py_RETURN_NONE;
}

kv::Params<2> add_params{"add_to_bucket", {"offset", "size"}, 2};

PyObject* allocator_add(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  int32_t offset, size;
  if (!kv::parse(add_params, args, nargs, kwnames, a) || !kv::to_i32(a[0], &offset) || !kv::to_i32(a[1], &size)) {
    return nullptr;
  }
  Allocator* al = as_allocator(self);
  int32_t b = op_get_bucket_size_fast(self, size);
  if (b <= 0 || size != b) Py_RETURN_FALSE;
  // The filed object is a plain int of the converted value.
  Ref item = PyLong_CheckExact(a[0]) ? Ref::borrow(a[0]) : Ref::steal(PyLong_FromLong(offset));
  if (!item) return nullptr;
  return kv::with_lock(al->lock, kv::native_section, [&]() -> PyObject* {
    kv::ReadSection section;
    Bucket* bucket = Buckets(al).find(b);
    if (bucket == nullptr) Py_RETURN_FALSE;
    if (PyList_Append(bucket->list, item.get()) < 0) return nullptr;
    Py_RETURN_TRUE;
  });
}

kv::Params<1> remove_params{"remove_from_bucket", {"size"}, 1};

PyObject* allocator_remove(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  int32_t size;
  if (!kv::parse(remove_params, args, nargs, kwnames, a) || !kv::to_i32(a[0], &size)) return nullptr;
  Allocator* al = as_allocator(self);
  int32_t b = op_get_bucket_size_fast(self, size);
  if (b <= 0) Py_RETURN_NONE;
  return kv::with_lock(al->lock, kv::native_section, [&]() -> PyObject* {
    kv::ReadSection section;
    Bucket* bucket = Buckets(al).find(b);
    if (bucket == nullptr || PyList_GET_SIZE(bucket->list) == 0) Py_RETURN_NONE;
    return pop_last(bucket->list);
  });
}

kv::Params<2> best_fit_params{"find_best_fit_bucket", {"size", "alignment"}, 2};

// The best-fit search under the lock: the exact bucket's last offset, then
// the last offset of each larger bucket in ascending order, taking the first
// whose block holds `size` bytes at an aligned start. New reference (None
// when nothing fits) or null.
PyObject* best_fit_locked(Allocator* al, int32_t b, int32_t size, int32_t alignment) {
  kv::ReadSection section;
  const Buckets buckets(al);
  int32_t offset;
  for (Bucket* bucket = buckets.lower_bound(b); bucket != buckets.last; ++bucket) {
    if (PyList_GET_SIZE(bucket->list) > 0 && last_offset(bucket->list, &offset) &&
        fits_aligned(offset, bucket->size, size, alignment)) {
      return pop_last(bucket->list);
    }
  }
  Py_RETURN_NONE;
}

PyObject* allocator_best_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  int32_t size, alignment;
  if (!kv::parse(best_fit_params, args, nargs, kwnames, a) || !kv::to_i32(a[0], &size) ||
      !kv::to_i32(a[1], &alignment)) {
    return nullptr;
  }
  Allocator* al = as_allocator(self);
  int32_t b = op_get_bucket_size_fast(self, size);
  if (b < 1) Py_RETURN_NONE;
  return kv::with_lock(al->lock, kv::native_section, [&] { return best_fit_locked(al, b, size, alignment); });
}

const kv::FunctionDef allocator_methods[] = {
    {"_init_buckets", allocator_init_buckets,
     "Give every bucket size a new empty free list (filed offsets are dropped).", "($self, /)"},
    {"add_to_bucket", allocator_add,
     "File a free block at offset under its size.\n\n"
     "Returns True when size is exactly a bucket size and the offset was filed.",
     "($self, /, offset, size)"},
    {"remove_from_bucket", allocator_remove,
     "Take the most recently filed offset of the bucket serving size, or None.\n\n"
     "The size is rounded up to its bucket size first.",
     "($self, /, size)"},
    {"find_best_fit_bucket", allocator_best_fit,
     "Take a filed offset whose block holds size bytes at an alignment-aligned start, or None.\n\n"
     "Tries the last offset of the exact bucket, then of each larger bucket in\n"
     "ascending order. Returns the block start as filed (unaligned).",
     "($self, /, size, alignment)"},
};

// Called while no other thread can run: under the interpreter lock, or with
// the other threads stopped (the free-threaded build stops them for each
// collection and for gc.get_referents), so the index cannot be swapped.
int allocator_traverse(PyObject* self, visitproc visit, void* arg) {
  Allocator* a = as_allocator(self);
  Py_VISIT(a->buckets);
  Py_VISIT(a->lock);
  const Buckets buckets(a);
  for (const Bucket* b = buckets.first; b != buckets.last; ++b) Py_VISIT(b->list);
  return 0;
}

int allocator_clear(PyObject* self) {
  Allocator* a = as_allocator(self);
  BucketIndex* index = a->index;
  a->index = nullptr;
  release_index(index);
  Py_CLEAR(a->buckets);
  Py_CLEAR(a->lock);
  return 0;
}

// The count of filed offsets reads the lists without the lock: each list's
// length is read whole, and a repr must not wait for (or deadlock on) a lock
// its own thread may hold.
PyObject* allocator_repr(PyObject* self) {
  Py_ssize_t nbuckets = 0, blocks = 0;
  {
    kv::ReadSection section;
    const Buckets buckets(as_allocator(self));
    nbuckets = buckets.last - buckets.first;
    for (const Bucket* b = buckets.first; b != buckets.last; ++b) blocks += PyList_GET_SIZE(b->list);
  }
  return PyUnicode_FromFormat("FastBucketAllocator(buckets=%zd, blocks=%zd)", nbuckets, blocks);
}

// ---------------------------------------------------------------------------
// FastStatsCollector

struct Stats {
  PyObject_HEAD
  uint64_t total_allocations;
  uint64_t total_deallocations;
  uint64_t bucketed_allocations;
  uint64_t fallback_allocations;
  uint64_t alignment_padding_bytes;
  PyObject* lock;  // threading.Lock, or null (None)
};

PyTypeObject StatsType{PyVarObject_HEAD_INIT(nullptr, 0)};

inline Stats* as_stats(PyObject* o) { return reinterpret_cast<Stats*>(o); }

// On the free-threaded build the counters are added to atomically, so that
// native callers with no lock of their own count exactly beside the Python
// methods; the lock still makes get_stats a consistent snapshot of what the
// Python methods recorded.
void op_record_allocation(PyObject* self, int32_t size, int32_t padding, int is_bucketed) {
  (void)size;
  Stats* s = as_stats(self);
  kv::add_relaxed(s->total_allocations, 1);
  kv::add_relaxed(s->alignment_padding_bytes, static_cast<uint64_t>(int64_t{padding}));  // sign-extended, wraps
  if (is_bucketed != 0) {
    kv::add_relaxed(s->bucketed_allocations, 1);
  } else {
    kv::add_relaxed(s->fallback_allocations, 1);
  }
}

void op_record_deallocation(PyObject* self) { kv::add_relaxed(as_stats(self)->total_deallocations, 1); }

KorvaneStatsCollectorOps stats_ops{0, nullptr, op_record_allocation, op_record_deallocation};

// Accepts and ignores any arguments.
PyObject* stats_construct(PyTypeObject* type, PyObject* const*, Py_ssize_t, PyObject*) {
  Ref threading = Ref::steal(kv::module_global(n_threading));
  if (!threading) return nullptr;
  Ref lock = Ref::steal(kv::new_lock(threading.get()));
  if (!lock) return nullptr;
  Stats* s = kv::alloc_instance<Stats>(type);
  if (s == nullptr) return nullptr;
  s->lock = lock.release();
  return reinterpret_cast<PyObject*>(s);
}

kv::Params<3> record_params{"py_record_allocation", {"size", "padding", "is_bucketed"}, 3};

PyObject* stats_record_allocation(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  int32_t size, padding;
  bool bucketed;
  if (!kv::parse(record_params, args, nargs, kwnames, a) || !kv::to_i32(a[0], &size) ||
      !kv::to_i32(a[1], &padding) || !kv::to_truth(a[2], &bucketed)) {
    return nullptr;
  }
  return kv::with_lock(as_stats(self)->lock, kv::native_section, [&]() -> PyObject* {
    op_record_allocation(self, size, padding, bucketed ? 1 : 0);
    Py_RETURN_NONE;
  });
}

PyObject* stats_record_deallocation(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("py_record_deallocation", nargs, kwnames)) return nullptr;
  return kv::with_lock(as_stats(self)->lock, kv::native_section, [&]() -> PyObject* {
    op_record_deallocation(self);
    Py_RETURN_NONE;
  });
}

// a / b as Python's true division of two ints (correctly rounded); b > 0.
PyObject* true_divide(uint64_t a, uint64_t b) {
  constexpr uint64_t exact = uint64_t{1} << 53;
  if (a <= exact && b <= exact) return PyFloat_FromDouble(static_cast<double>(a) / static_cast<double>(b));
  Ref x = Ref::steal(kv::from_u64(a));
  Ref y = Ref::steal(kv::from_u64(b));
  if (!x || !y) return nullptr;
  return PyNumber_TrueDivide(x.get(), y.get());
}

// f"{bucketed / total * 100:.1f}%", or "0.0%" when total is 0.
PyObject* ratio_text(uint64_t bucketed, uint64_t total) {
  if (total == 0) return PyUnicode_FromString("0.0%");
  Ref q = Ref::steal(true_divide(bucketed, total));
  if (!q) return nullptr;
  return kv::percent_text(PyFloat_AS_DOUBLE(q.get()) * 100.0);
}

PyObject* stats_get_stats(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("get_stats", nargs, kwnames)) return nullptr;
  Stats* s = as_stats(self);
  uint64_t v[5];
  {
    // Read under the lock, built after it: building allocates, and a
    // finaliser run by the collector then must not find the lock held.
    kv::Locked guard(s->lock, kv::native_section);
    if (!guard.ok()) return nullptr;
    v[0] = kv::load_relaxed(s->total_allocations);
    v[1] = kv::load_relaxed(s->total_deallocations);
    v[2] = kv::load_relaxed(s->bucketed_allocations);
    v[3] = kv::load_relaxed(s->fallback_allocations);
    v[4] = kv::load_relaxed(s->alignment_padding_bytes);
    if (!guard.leave()) return nullptr;
  }
  Ref d = Ref::steal(PyDict_New());
  if (!d) return nullptr;
  const kv::Name* keys[4] = {&k_total_allocations, &k_total_deallocations, &k_bucketed_allocations,
                             &k_fallback_allocations};
  for (int i = 0; i < 4; ++i) {
    Ref value = Ref::steal(kv::from_u64(v[i]));
    if (!value || PyDict_SetItem(d.get(), keys[i]->get(), value.get()) < 0) return nullptr;
  }
  Ref ratio = Ref::steal(ratio_text(v[2], v[0]));
  if (!ratio || PyDict_SetItem(d.get(), k_bucketed_allocation_ratio.get(), ratio.get()) < 0) return nullptr;
  Ref padding = Ref::steal(kv::from_u64(v[4]));
  if (!padding || PyDict_SetItem(d.get(), k_alignment_padding_bytes.get(), padding.get()) < 0) return nullptr;
  return d.release();
}

PyObject* stats_reset(PyObject* self, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("reset_stats", nargs, kwnames)) return nullptr;
  Stats* s = as_stats(self);
  return kv::with_lock(s->lock, kv::native_section, [&]() -> PyObject* {
    for (uint64_t* counter : {&s->total_allocations, &s->total_deallocations, &s->bucketed_allocations,
                              &s->fallback_allocations, &s->alignment_padding_bytes}) {
      kv::store_relaxed(*counter, 0);
    }
    Py_RETURN_NONE;
  });
}

const kv::FunctionDef stats_methods[] = {
    {"py_record_allocation", stats_record_allocation,
     "Record an allocation: its alignment padding and whether a size bucket served it.",
     "($self, /, size, padding, is_bucketed)"},
    {"py_record_deallocation", stats_record_deallocation, "Record a deallocation.", "($self, /)"},
    {"get_stats", stats_get_stats, "Get a consistent snapshot of the allocation statistics.", "($self, /)"},
    {"reset_stats", stats_reset, "Reset all statistics to zero.", "($self, /)"},
};

int stats_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(as_stats(self)->lock);
  return 0;
}

int stats_clear(PyObject* self) {
  Py_CLEAR(as_stats(self)->lock);
  return 0;
}

PyObject* stats_repr(PyObject* self) {
  const Stats* s = as_stats(self);
  return PyUnicode_FromFormat("FastStatsCollector(total_allocations=%llu, total_deallocations=%llu)",
                              static_cast<unsigned long long>(kv::load_relaxed(s->total_allocations)),
                              static_cast<unsigned long long>(kv::load_relaxed(s->total_deallocations)));
}

// ---------------------------------------------------------------------------
// Module functions

KV_COLD PyObject* raise_alignment() {
  PyErr_SetString(PyExc_ValueError, "Alignment must be a power of 2");
  return nullptr;
}

kv::Params<2> align_size_params{"fast_align_size", {"size", "alignment"}, 2};

// Results are exact: a value past the signed 32-bit range is returned as the
// Python int it is rather than wrapped around.
PyObject* fast_align_size(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  int32_t size, alignment;
  if (!kv::parse(align_size_params, args, nargs, kwnames, a) || !kv::to_i32(a[0], &size) ||
      !kv::to_i32(a[1], &alignment)) {
    return nullptr;
  }
  if (alignment < 1 || (alignment & (alignment - 1)) != 0) return raise_alignment();
  return PyLong_FromLongLong(aligned_start(size, alignment));
}

kv::Params<2> bucket_size_params{"fast_get_bucket_size", {"size", "step"}, 1};

PyObject* fast_get_bucket_size(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  int32_t size, step = 8;
  if (!kv::parse(bucket_size_params, args, nargs, kwnames, a) || !kv::to_i32(a[0], &size) ||
      (a[1] != nullptr && !kv::to_i32(a[1], &step))) {
    return nullptr;
  }
  if (step == 0) {
    PyErr_SetString(PyExc_ZeroDivisionError, "step must not be zero");
    return nullptr;
  }
  return PyLong_FromLongLong(round_to_step(size, step));
}

inline bool is_operation(PyObject* op, const kv::Name& name) {
  if (op == name.get()) return true;
  return PyUnicode_EqualToUTF8AndSize(op, name.c_str(), static_cast<Py_ssize_t>(std::strlen(name.c_str()))) != 0;
}

kv::Params<3> bitmap_params{"fast_bitmap_operations", {"bitmap", "index", "operation"}, 3};

// Indexes outside 0..63, negative ones included, name no bit.
PyObject* fast_bitmap_operations(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  uint64_t bitmap;
  int32_t index;
  if (!kv::parse(bitmap_params, args, nargs, kwnames, a) || !kv::to_u64(a[0], &bitmap) ||
      !kv::to_i32(a[1], &index)) {
    return nullptr;
  }
  PyObject* op = a[2];
  if (op != Py_None && !PyUnicode_CheckExact(op)) {
    kv::raise_arg_type("operation", "str", op);
    return nullptr;
  }
  const uint64_t bit = is_slot(index) ? uint64_t{1} << index : 0;
  if (op != Py_None) {
    if (is_operation(op, n_is_set)) return kv::from_bool((bitmap & bit) != 0);
    if (is_operation(op, n_set)) return kv::from_u64(bitmap | bit);
    if (is_operation(op, n_clear)) return kv::from_u64(bitmap & ~bit);
    if (is_operation(op, n_find_first)) {
      return PyLong_FromLong(bitmap == 0 ? -1L : static_cast<long>(std::countr_zero(bitmap)));
    }
  }
  PyErr_Format(PyExc_ValueError, "Unknown operation: %S", op);
  return nullptr;
}

kv::Params<4> can_fit_params{"fast_can_fit_aligned", {"block_offset", "block_size", "alloc_size", "alignment"}, 4};

// Strictly inside: an allocation ending exactly at the block's end does not
// fit here (the bucket allocator's best-fit test accepts that case).
PyObject* fast_can_fit_aligned(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[4];
  int32_t offset, block_size, alloc_size, alignment;
  if (!kv::parse(can_fit_params, args, nargs, kwnames, a) || !kv::to_i32(a[0], &offset) ||
      !kv::to_i32(a[1], &block_size) || !kv::to_i32(a[2], &alloc_size) || !kv::to_i32(a[3], &alignment)) {
    return nullptr;
  }
  return kv::from_bool(aligned_start(offset, alignment) + alloc_size < int64_t{offset} + block_size);
}

const kv::FunctionDef module_functions[] = {
    {"fast_align_size", fast_align_size,
     "Round size up to a multiple of alignment, which must be a power of 2.", "(size, alignment)"},
    {"fast_get_bucket_size", fast_get_bucket_size,
     "Round size up to a multiple of step (toward zero for negative sizes).", "(size, step=8)"},
    {"fast_bitmap_operations", fast_bitmap_operations,
     "Apply one operation to a 64-bit bitmap.\n\n"
     "operation is \"is_set\" (bool), \"set\" or \"clear\" (the new bitmap) or\n"
     "\"find_first\" (index of the lowest set bit, or -1; index is ignored).",
     "(bitmap, index, operation)"},
    {"fast_can_fit_aligned", fast_can_fit_aligned,
     "Whether alloc_size bytes at the alignment-aligned start of the block fit within it.",
     "(block_offset, block_size, alloc_size, alignment)"},
};

// ---------------------------------------------------------------------------
// Types and module

const char header_doc[] =
    "FastSlabHeaderOps(size_class_index, objects_per_slab)\n--\n\n"
    "Header of one slab: size class, flags, change counter, checksum and a\n"
    "64-slot object bitmap (bit i set: slot i is free).\n\n"
    "pack_header() and unpack_header() convert to and from the 16-byte\n"
    "little-endian record \"<BBLHQ\" whose checksum is a CRC-16/MODBUS of\n"
    "bytes 0-5. Flag 0x10: the slab has allocated objects; flag 0x80: the\n"
    "last loaded record failed its checksum.";

const char allocator_doc[] =
    "FastBucketAllocator(bucket_size_step=8, small_block_max=256, medium_block_max=4096)\n--\n\n"
    "Segregated free lists of block offsets keyed by bucket size.\n\n"
    "Bucket sizes run from bucket_size_step to medium_block_max by\n"
    "bucket_size_step (the medium range restarting after small_block_max).\n"
    "Every operation on the lists holds the allocator's lock.";

const char stats_doc[] =
    "FastStatsCollector()\n--\n\n"
    "Allocation counters guarded by a lock, with a summary dictionary.\n"
    "Counters wrap around modulo 2**64.";

bool init_types() {
  kv::init_type<header_construct>(HeaderType, "korvane.memory.slab_engine.FastSlabHeaderOps", sizeof(Header),
                                  header_doc);
  HeaderType.tp_repr = header_repr;

  kv::init_type<allocator_construct>(AllocatorType, "korvane.memory.slab_engine.FastBucketAllocator",
                                     sizeof(Allocator), allocator_doc, kv::dealloc_holder<allocator_clear>);
  AllocatorType.tp_flags |= Py_TPFLAGS_HAVE_GC;
  AllocatorType.tp_traverse = allocator_traverse;
  AllocatorType.tp_clear = allocator_clear;
  AllocatorType.tp_repr = allocator_repr;

  kv::init_type<stats_construct>(StatsType, "korvane.memory.slab_engine.FastStatsCollector", sizeof(Stats),
                                 stats_doc, kv::dealloc_holder<stats_clear>);
  StatsType.tp_flags |= Py_TPFLAGS_HAVE_GC;
  StatsType.tp_traverse = stats_traverse;
  StatsType.tp_clear = stats_clear;
  StatsType.tp_repr = stats_repr;
  return true;
}

int exec_module(PyObject* m) {
  if (!kv::import_module_as(m, "threading") || !kv::import_module_as(m, "logging")) return -1;
  PyObject* logger = kv::bind_logger(m);
  if (logger == nullptr) return -1;
  Ref held_logger = Ref::borrow(logger);

  if (!init_types()) return -1;
  for (PyTypeObject* t : {&HeaderType, &AllocatorType, &StatsType}) {
    if (!kv::add_type(m, t) || !kv::refuse_pickling(t)) return -1;
  }
  if (!kv::add_methods(&HeaderType, header_methods) || !kv::add_methods(&AllocatorType, allocator_methods) ||
      !kv::add_methods(&StatsType, stats_methods)) {
    return -1;
  }
  if (!kv::publish_table(&HeaderType, header_ops, KORVANE_SLAB_HEADER_OPS_CAPSULE) ||
      !kv::publish_table(&AllocatorType, allocator_ops, KORVANE_BUCKET_ALLOCATOR_OPS_CAPSULE) ||
      !kv::publish_table(&StatsType, stats_ops, KORVANE_STATS_COLLECTOR_OPS_CAPSULE)) {
    return -1;
  }
  if (!kv::add_functions(m, module_functions) || !kv::probes::publish(m)) return -1;

  build_crc_table();

  if (!kv::log(held_logger.get(), "info",
               "Korvane Slab Engine Cython module loaded - targeting 1.8-3\u00d7 performance improvement")) {
    return -1;
  }
  return 0;
}

}  // namespace

KV_MODULE(slab_engine, "korvane.memory.slab_engine",
          "Native fast paths of the slab memory manager: slab headers with a\n"
          "CRC-16 checksum and object bitmap, size-bucket free lists, allocation\n"
          "statistics and alignment arithmetic.",
          exec_module)
