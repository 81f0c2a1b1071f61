// Sharing native fields between threads without the interpreter lock.
//
// On the default build the interpreter lock serialises every piece of code
// that touches a Python-visible object, and all of this compiles to plain
// reads and writes. On the free-threaded build two threads really run at
// once, so:
//
//   - a field that several threads read and write without a common lock is
//     accessed through load_relaxed/store_relaxed (or the acquire/release
//     forms where the order of other memory matters), as CPython's own
//     objects use their FT_ATOMIC_* accessors;
//   - memory that a lock-free reader may still be reading, and objects a
//     reader may still be about to take a reference to, are released only
//     after a grace period: every thread that was inside a ReadSection when
//     they were unlinked has left it (synchronize());
//   - CriticalSection holds the per-object mutex of the free-threaded build
//     around short native code (a getter and its setter, a lazily made
//     attribute);
//   - new_list() builds a list without the free-threaded PyList_New(n),
//     which frees a list whose item array failed to allocate before it has
//     set the array pointer (CPython 3.13).
//
// Grace periods. Each thread that reads has a slot of its own whose counter
// is odd while the thread is inside a ReadSection. Entering makes it odd and
// then issues a full fence before the first shared read; synchronize()
// issues a full fence after the writer's last unlinking store, then waits
// for each slot it saw odd to change. By the two fences, a reader either is
// seen inside (and waited for) or its reads come after the unlink, and
// cannot reach what was unlinked. A reader never waits for a writer; a
// writer waits only for sections that began before it, which contain no
// Python code and no blocking call. A thread with no slot (memory for one
// could not be had) counts itself in a shared counter instead, which
// synchronize() waits to see at zero.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <new>

#ifdef Py_GIL_DISABLED
#include <pthread.h>
#include <sched.h>
#include <time.h>
#endif

#include "probes.hpp"
#include "refs.hpp"

namespace kv {

#ifdef Py_GIL_DISABLED
inline constexpr bool free_threaded = true;
#else
inline constexpr bool free_threaded = false;
#endif

// ---------------------------------------------------------------------------
// Field access

namespace detail {
// The memory orders of the free-threaded build; the default build needs
// none (the interpreter lock orders everything) and reads and writes plainly.
#ifdef Py_GIL_DISABLED
inline constexpr int kRelaxed = __ATOMIC_RELAXED, kAcquire = __ATOMIC_ACQUIRE, kRelease = __ATOMIC_RELEASE;
#else
inline constexpr int kRelaxed = -1, kAcquire = -1, kRelease = -1;
#endif

template <int Order, typename T>
inline T load(const T& field) noexcept {
  if constexpr (Order < 0) {
    return field;
  } else {
    return __atomic_load_n(&field, Order);
  }
}

template <int Order, typename T>
inline void store(T& field, T value) noexcept {
  if constexpr (Order < 0) {
    field = value;
  } else {
    __atomic_store_n(&field, value, Order);
  }
}
}  // namespace detail

template <typename T>
inline T load_relaxed(const T& field) noexcept {
  return detail::load<detail::kRelaxed>(field);
}

template <typename T>
inline T load_acquire(const T& field) noexcept {
  return detail::load<detail::kAcquire>(field);
}

template <typename T, typename U>
inline void store_relaxed(T& field, U value) noexcept {
  detail::store<detail::kRelaxed>(field, static_cast<T>(value));
}

template <typename T, typename U>
inline void store_release(T& field, U value) noexcept {
  detail::store<detail::kRelease>(field, static_cast<T>(value));
}

// field += delta for a field that other threads also add to without a lock.
template <typename T, typename U>
inline void add_relaxed(T& field, U delta) noexcept {
  if constexpr (detail::kRelaxed < 0) {
    field += static_cast<T>(delta);
  } else {
    __atomic_fetch_add(&field, static_cast<T>(delta), detail::kRelaxed);
  }
}

// ---------------------------------------------------------------------------
// Per-object critical sections

class CriticalSection {
 public:
  explicit CriticalSection(PyObject* op) noexcept {
#ifdef Py_GIL_DISABLED
    PyCriticalSection_Begin(&cs_, op);
#else
    (void)op;
#endif
  }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  ~CriticalSection() {
#ifdef Py_GIL_DISABLED
    PyCriticalSection_End(&cs_);
#endif
  }

 private:
#ifdef Py_GIL_DISABLED
  PyCriticalSection cs_;
#endif
};

// A mutex for short native sections on the free-threaded build (nothing on
// the default build, where the interpreter lock already serialises them).
class NativeMutex {
 public:
  void lock() noexcept {
#ifdef Py_GIL_DISABLED
    PyMutex_Lock(&m_);
#endif
  }
  void unlock() noexcept {
#ifdef Py_GIL_DISABLED
    PyMutex_Unlock(&m_);
#endif
  }
  // In a forked child, where the thread that held it does not exist.
  void reset_after_fork() noexcept {
#ifdef Py_GIL_DISABLED
    m_ = PyMutex{};
#endif
  }

 private:
#ifdef Py_GIL_DISABLED
  PyMutex m_{};
#endif
};

class Holding {
 public:
  explicit Holding(NativeMutex& m) noexcept : m_(m) { m_.lock(); }
  Holding(const Holding&) = delete;
  Holding& operator=(const Holding&) = delete;
  ~Holding() { m_.unlock(); }

 private:
  NativeMutex& m_;
};

// ---------------------------------------------------------------------------
// Read sections and grace periods

// How far apart two threads' hot fields lie: two cache lines, since
// processors fetch lines in adjacent pairs. A line 64 bytes from one that
// another core keeps writing is taken from that core again and again.
inline constexpr size_t kApart = 128;

#ifdef Py_GIL_DISABLED

namespace detail {

struct alignas(kApart) ReaderSlot {
  std::atomic<uint64_t> state{0};  // odd while its thread is inside a section
  std::atomic<int> owned{0};
  ReaderSlot* next = nullptr;  // the registry's list; slots are never freed
  int depth = 0;               // nesting, touched by the owning thread only
};

struct Readers {
  std::atomic<ReaderSlot*> head{nullptr};
  std::atomic<int64_t> unslotted{0};
};

void after_fork_in_child() noexcept;

// Constant-initialised: a guarded static would tie the module to the C
// runtime's guard functions of a newer C library than the wheels promise.
inline Readers readers_of_this_module;
inline std::atomic<bool> fork_handler_set{false};

inline Readers& readers() noexcept { return readers_of_this_module; }

// The calling thread's slot: a plain pointer, so that reading it needs no
// guard of a thread-local initialisation on every section.
inline thread_local ReaderSlot* this_thread_slot = nullptr;

// Gives the slot back for reuse when the thread ends; set up when the
// thread first claims one.
struct SlotRelease {
  ReaderSlot* slot = nullptr;
  ~SlotRelease() {
    if (slot == nullptr) return;
    this_thread_slot = nullptr;
    slot->owned.store(0, std::memory_order_release);
  }
};
inline thread_local SlotRelease slot_release;

// A free slot of an ended thread, or a new one; null without memory.
inline ReaderSlot* claim_slot() noexcept {
  Readers& r = readers();
  if (!fork_handler_set.exchange(true, std::memory_order_acq_rel)) {
    pthread_atfork(nullptr, nullptr, after_fork_in_child);
  }
  for (ReaderSlot* s = r.head.load(std::memory_order_acquire); s != nullptr; s = s->next) {
    int expected = 0;
    if (s->owned.load(std::memory_order_relaxed) == 0 &&
        s->owned.compare_exchange_strong(expected, 1, std::memory_order_acq_rel)) {
      return s;
    }
  }
  // Lines of its own, so that no two threads' sections write one pair; not
  // the interpreter's allocator, so that no allocation hook fails it.
  void* memory = std::aligned_alloc(alignof(ReaderSlot), sizeof(ReaderSlot));
  if (memory == nullptr) return nullptr;
  auto* s = new (memory) ReaderSlot;
  s->owned.store(1, std::memory_order_relaxed);
  ReaderSlot* head = r.head.load(std::memory_order_relaxed);
  do {
    s->next = head;
  } while (!r.head.compare_exchange_weak(head, s, std::memory_order_release, std::memory_order_relaxed));
  return s;
}

// The calling thread's slot, claimed at its first section.
inline ReaderSlot* slot_of_this_thread() noexcept {
  ReaderSlot* s = this_thread_slot;
  if (s != nullptr) [[likely]] return s;
  s = claim_slot();
  if (s != nullptr) {
    slot_release.slot = s;
    this_thread_slot = s;
  }
  return s;
}

// The forked child has only the forking thread: the others' slots are free
// and outside any section.
inline void after_fork_in_child() noexcept {
  Readers& r = readers();
  ReaderSlot* mine = this_thread_slot;
  for (ReaderSlot* s = r.head.load(std::memory_order_relaxed); s != nullptr; s = s->next) {
    if (s == mine) continue;
    uint64_t v = s->state.load(std::memory_order_relaxed);
    s->state.store(v + (v & 1), std::memory_order_relaxed);
    s->depth = 0;
    s->owned.store(0, std::memory_order_relaxed);
  }
  r.unslotted.store(0, std::memory_order_relaxed);
}

inline void cpu_relax() noexcept {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#elif defined(__aarch64__)
  asm volatile("yield");
#endif
}

}  // namespace detail

// Whether done() came to hold within `spins` pauses of the processor and
// then `yields` offers of it to other threads (which lets a descheduled
// thread that done() waits for run on this core); never sleeps.
template <typename Done>
bool spin_until(Done&& done, int spins, int yields) noexcept {
  for (int i = 0; i < spins; ++i) {
    if (done()) return true;
    detail::cpu_relax();
  }
  for (int i = 0; i < yields; ++i) {
    if (done()) return true;
    sched_yield();
  }
  return done();
}

namespace detail {

// Waits until done() holds: a short spin, then yielding the processor, then
// short sleeps with the thread detached, so that a stop-the-world pause of
// the interpreter does not wait for us meanwhile.
template <typename Done>
void wait_until(Done&& done) noexcept {
  if (spin_until(done, 128, 64)) return;
  while (!done()) {
    PyThreadState* attached = PyThreadState_GetUnchecked() != nullptr ? PyEval_SaveThread() : nullptr;
    timespec pause{0, 20000};
    nanosleep(&pause, nullptr);
    if (attached != nullptr) PyEval_RestoreThread(attached);
  }
}

}  // namespace detail

// Marks the calling thread as reading shared native memory lock-free until
// the end of its scope; what a writer unlinks meanwhile stays valid until
// then. Nests. Must contain no Python code and nothing that waits.
class ReadSection {
 public:
  ReadSection() noexcept {
    slot_ = detail::slot_of_this_thread();
    if (slot_ == nullptr) [[unlikely]] {
      detail::readers().unslotted.fetch_add(1, std::memory_order_seq_cst);
      return;
    }
    if (slot_->depth++ == 0) {
      slot_->state.store(slot_->state.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
      std::atomic_thread_fence(std::memory_order_seq_cst);
    }
  }
  ReadSection(const ReadSection&) = delete;
  ReadSection& operator=(const ReadSection&) = delete;
  ~ReadSection() {
    if (slot_ == nullptr) [[unlikely]] {
      probes::at(probes::kSectionEnd);
      detail::readers().unslotted.fetch_sub(1, std::memory_order_release);
      return;
    }
    if (--slot_->depth == 0) {
      probes::at(probes::kSectionEnd);
      slot_->state.store(slot_->state.load(std::memory_order_relaxed) + 1, std::memory_order_release);
    }
  }

 private:
  detail::ReaderSlot* slot_;
};

// Returns once every other thread that was inside a ReadSection when this
// was called has left it. Call it after the last store that unlinks what is
// to be released, with no critical section held: it may detach the thread
// while it waits. Holding a lock is safe, since readers take none.
inline void synchronize() noexcept {
  probes::at(probes::kSynchronize);
  std::atomic_thread_fence(std::memory_order_seq_cst);
  detail::Readers& r = detail::readers();
  detail::ReaderSlot* mine = detail::this_thread_slot;
  for (detail::ReaderSlot* s = r.head.load(std::memory_order_acquire); s != nullptr; s = s->next) {
    if (s == mine) continue;
    uint64_t seen = s->state.load(std::memory_order_acquire);
    if (seen & 1) detail::wait_until([&] { return s->state.load(std::memory_order_acquire) != seen; });
  }
  if (r.unslotted.load(std::memory_order_acquire) != 0) {
    detail::wait_until([&] { return r.unslotted.load(std::memory_order_acquire) == 0; });
  }
}

#else  // the interpreter lock serialises readers and writers

class ReadSection {
 public:
  ReadSection() noexcept {}
  ReadSection(const ReadSection&) = delete;
  ReadSection& operator=(const ReadSection&) = delete;
  ~ReadSection() {}
};

inline void synchronize() noexcept {}

#endif

// ---------------------------------------------------------------------------
// Object fields replaced while other threads read them

// A new reference to the object in `field` (None when it is null), safe
// against a concurrent exchange_field on it.
inline PyObject* field_ref(PyObject* const& field) noexcept {
  ReadSection section;
  PyObject* value = load_acquire(field);
  return Py_NewRef(value != nullptr ? value : Py_None);
}

// Publishes `value` (a reference the field takes over; may be null) and
// returns the reference the field held. A reader may still be taking a
// reference to that object: release it with release_after_readers(), after
// leaving any lock.
[[nodiscard]] inline PyObject* exchange_field(PyObject*& field, PyObject* value) noexcept {
#ifdef Py_GIL_DISABLED
  return __atomic_exchange_n(&field, value, __ATOMIC_ACQ_REL);
#else
  PyObject* old = field;
  field = value;
  return old;
#endif
}

// Releases `old` (may be null) once no reader can be about to take a
// reference to it. May run Python code: never under a lock.
inline void release_after_readers(PyObject* old) noexcept {
  if (old == nullptr) return;
  synchronize();
  Py_DECREF(old);
}

// ---------------------------------------------------------------------------
// Lists

// A new list taking over the `n` references in `items`; null with an error
// set (the references are then released).
inline PyObject* new_list(PyObject* const* items, Py_ssize_t n) noexcept {
#ifdef Py_GIL_DISABLED
  PyObject* list = PyList_New(0);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (list != nullptr && PyList_Append(list, items[i]) < 0) Py_CLEAR(list);
    Py_DECREF(items[i]);
  }
  return list;
#else
  PyObject* list = PyList_New(n);
  for (Py_ssize_t i = 0; i < n; ++i) {
    if (list != nullptr) {
      PyList_SET_ITEM(list, i, items[i]);
    } else {
      Py_DECREF(items[i]);
    }
  }
  return list;
#endif
}

}  // namespace kv
