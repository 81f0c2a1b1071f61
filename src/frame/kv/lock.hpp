// Holding a lock object (a threading.Lock) through its context-manager
// protocol, as a `with lock:` block does: __enter__() on entry, then
// __exit__(None, None, None) on a normal exit, or __exit__(type, value,
// traceback) while an exception propagates (the exception then continues,
// unless __exit__ returns a true value).
//
// For an exact threading.Lock the calls are made through the method
// descriptors of its (immutable) type, learned once at import, without
// attribute lookups. On 3.13 and 3.14 its __exit__ is the very C function of
// release(), which ignores __exit__'s arguments and returns None, so calling
// __enter__ and release directly is what the with-statement does, without an
// argument tuple; on 3.15 its own __exit__ descriptor is called. Any other
// lock object goes through the named protocol.
#pragma once

#include <optional>

#include "errors.hpp"
#include "refs.hpp"
#include "sync.hpp"

namespace kv {

namespace detail {

inline Name name_enter{"__enter__"};
inline Name name_exit{"__exit__"};
inline Name name_Lock{"Lock"};

struct LockCalls {
  PyTypeObject* lock_type = nullptr;  // _thread.LockType, whatever its methods
  PyTypeObject* type = nullptr;  // null: always use the named protocol
  PyObject* enter = nullptr;
  PyObject* release = nullptr;
  PyObject* exit = nullptr;  // null when __exit__ is release itself (which ignores its arguments)
  PyCFunction locked = nullptr;  // the C function of locked(), when it takes no arguments
};

inline LockCalls& lock_calls() {
  static LockCalls calls;
  return calls;
}

// Learns the lock type's calls when it has the shape described above; leaves
// the fast path off otherwise. False only with an error set.
inline bool learn_lock_type() {
  LockCalls& calls = lock_calls();
  if (calls.type != nullptr) return true;
  Ref thread = Ref::steal(PyImport_ImportModule("_thread"));
  if (!thread) return false;
  Ref type = Ref::steal(PyObject_GetAttrString(thread.get(), "LockType"));
  if (!type) return false;
  if (!PyType_Check(type.get()) ||
      !PyType_HasFeature(reinterpret_cast<PyTypeObject*>(type.get()), Py_TPFLAGS_IMMUTABLETYPE)) {
    return true;
  }
  if (calls.lock_type == nullptr) calls.lock_type = reinterpret_cast<PyTypeObject*>(Py_NewRef(type.get()));
  Ref enter = Ref::steal(PyObject_GetAttrString(type.get(), "__enter__"));
  Ref exit = Ref::steal(PyObject_GetAttrString(type.get(), "__exit__"));
  Ref release = Ref::steal(PyObject_GetAttrString(type.get(), "release"));
  Ref locked = Ref::steal(PyObject_GetAttrString(type.get(), "locked"));
  if (!enter || !exit || !release || !locked) return false;
  auto method = [](PyObject* d) -> PyMethodDef* {
    return Py_IS_TYPE(d, &PyMethodDescr_Type) ? reinterpret_cast<PyMethodDescrObject*>(d)->d_method : nullptr;
  };
  PyMethodDef* exit_def = method(exit.get());
  PyMethodDef* release_def = method(release.get());
  if (method(enter.get()) == nullptr || exit_def == nullptr || release_def == nullptr) return true;
  // 3.13 and 3.14 make __exit__ the C function of release(); 3.15 gives it
  // one of its own, then called with the exception as a with-statement does.
  bool exit_is_release = exit_def->ml_meth == release_def->ml_meth && (release_def->ml_flags & METH_NOARGS) != 0;
  PyMethodDef* locked_def = method(locked.get());
  if (locked_def != nullptr && (locked_def->ml_flags & (METH_VARARGS | METH_FASTCALL | METH_NOARGS | METH_O |
                                                        METH_KEYWORDS)) == METH_NOARGS) {
    calls.locked = locked_def->ml_meth;
  }
  calls.enter = enter.release();
  calls.release = release.release();
  if (!exit_is_release) calls.exit = exit.release();
  calls.type = reinterpret_cast<PyTypeObject*>(type.release());
  return true;
}

}  // namespace detail

// Marks a locked section that runs no Python code, never lets go of the
// interpreter lock and releases no reference (so runs no finaliser): native
// reads and writes only. While an exact threading.Lock is free, no other
// thread can take it, or see whether it was taken, before such a section
// ends, so entering and leaving it would change nothing; the guard then
// skips both. A lock that is held is entered, and waited for, as usual; any
// other lock object always goes through its protocol.
struct NativeSection {};
inline constexpr NativeSection native_section{};

class Locked {
 public:
  // Enters the lock; check ok() before doing anything under it. A null lock
  // (a field cleared by the garbage collector) behaves as None would. The
  // guard keeps its own reference to the lock, so that Python code run while
  // it is held cannot free it by replacing the field it came from.
  explicit Locked(PyObject* lock) noexcept : lock_(Py_NewRef(lock != nullptr ? lock : Py_None)) { enter(); }
  // The same for a section that is native only (see NativeSection).
  Locked(PyObject* lock, NativeSection) noexcept : lock_(Py_NewRef(lock != nullptr ? lock : Py_None)) {
#ifndef Py_GIL_DISABLED
    const detail::LockCalls& calls = detail::lock_calls();
    if (Py_TYPE(lock_) == calls.type && calls.locked != nullptr) [[likely]] {
      PyObject* held = calls.locked(lock_, nullptr);
      if (held == nullptr) return;
      Py_DECREF(held);
      if (held == Py_False) {
        entered_ = skipped_ = true;
        return;
      }
    }
#endif
    enter();
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
  // A guard that was never left explicitly leaves on destruction, passing
  // along any exception that is set at that moment.
  ~Locked() {
    if (entered_) leave();
    Py_DECREF(lock_);
  }

  bool ok() const noexcept { return entered_; }

  // Leaves the lock. If an exception is set it is passed to __exit__ and
  // stays set. Returns true when no exception is set afterwards.
  bool leave() noexcept {
    entered_ = false;
    if (skipped_) return !PyErr_Occurred();  // as release() would: it passes any exception on
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* r;
    if (fast_ && detail::lock_calls().exit == nullptr) {
      r = PyObject_Vectorcall(detail::lock_calls().release, &lock_, 1, nullptr);
    } else {
      PyObject* argv[5] = {nullptr, lock_, Py_None, Py_None, Py_None};
      Ref tb;
      if (exc != nullptr) {
        tb = Ref::steal(PyException_GetTraceback(exc));
        argv[2] = reinterpret_cast<PyObject*>(Py_TYPE(exc));
        argv[3] = exc;
        argv[4] = tb ? tb.get() : Py_None;
      }
      r = fast_ ? PyObject_Vectorcall(detail::lock_calls().exit, argv + 1, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr)
                : PyObject_VectorcallMethod(detail::name_exit.get(), argv + 1, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                            nullptr);
    }
    if (r == nullptr) {
      // An error in __exit__ replaces the one that was propagating.
      if (exc != nullptr) replace_with_current(exc);
      return false;
    }
    if (exc == nullptr) {
      Py_DECREF(r);
      return true;
    }
    int suppress = PyObject_IsTrue(r);
    Py_DECREF(r);
    if (suppress > 0) {
      Py_DECREF(exc);
      return true;
    }
    if (suppress < 0) {
      replace_with_current(exc);  // so does an error in the truth test of its result
      return false;
    }
    PyErr_SetRaisedException(exc);
    return false;
  }

 private:
  // The exception set now replaces `exc` (stolen), which becomes its
  // context, as when an `except` block raises.
  static void replace_with_current(PyObject* exc) noexcept {
    PyObject* raised = PyErr_GetRaisedException();
    PyException_SetContext(raised, exc);
    PyErr_SetRaisedException(raised);
  }

  void enter() noexcept {
    const detail::LockCalls& calls = detail::lock_calls();
    PyObject* r;
    if (Py_TYPE(lock_) == calls.type) [[likely]] {
      fast_ = true;
      r = PyObject_Vectorcall(calls.enter, &lock_, 1, nullptr);
    } else {
      PyObject* argv[2] = {nullptr, lock_};
      r = PyObject_VectorcallMethod(detail::name_enter.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                    nullptr);
    }
    entered_ = r != nullptr;
    Py_XDECREF(r);
  }

  PyObject* lock_;
  bool entered_ = false;
  bool fast_ = false;
  bool skipped_ = false;
};

// The thread holding an object's lock, kept next to the lock by a type whose
// writer must run Python code while holding it (methods of stored objects).
// That code can call back into the same object on the same thread: directly,
// from a finaliser the collector runs, or from a signal handler. A
// non-reentrant lock would then wait for itself forever, and a re-entrant one
// would let the inner call change what the outer one is in the middle of.
// OwnedLocked refuses such a call instead. Other threads read the owner
// before they wait for the lock, so it is a single word, read and written
// whole; a thread only ever finds its own identity there if it wrote it
// itself and still holds the lock.
struct LockOwner {
  unsigned long thread = 0;  // the holder's identity, 0 when none records itself
};

namespace detail {
KV_COLD inline void raise_reentered(const char* fname) {
  PyErr_Format(PyExc_RuntimeError, "%s() cannot be re-entered by the thread that is running it", fname);
}
}  // namespace detail

class OwnedLocked {
 public:
  // Enters `lock` and records this thread as its owner; when this thread is
  // its owner already, raises RuntimeError "<fname>() cannot be re-entered by
  // the thread that is running it" without touching the lock. Check ok().
  OwnedLocked(PyObject* lock, LockOwner& owner, const char* fname) : owner_(owner) {
    unsigned long me = PyThread_get_thread_ident();
    if (load_relaxed(owner.thread) == me) {
      detail::raise_reentered(fname);
      return;
    }
    guard_.emplace(lock);
    if (guard_->ok()) store_relaxed(owner.thread, me);
  }
  OwnedLocked(const OwnedLocked&) = delete;
  OwnedLocked& operator=(const OwnedLocked&) = delete;
  ~OwnedLocked() {
    if (ok()) leave();
  }

  bool ok() const noexcept { return guard_ && guard_->ok(); }

  // As Locked::leave. The owner is forgotten before the lock is released, so
  // that it never names a thread that no longer holds the lock.
  bool leave() noexcept {
    store_relaxed(owner_.thread, 0);
    return guard_->leave();
  }

 private:
  LockOwner& owner_;
  std::optional<Locked> guard_;
};

// Runs `body` (returning a new reference, or null with an exception set)
// under an entered guard; returns its result, or null when entering, the
// body or leaving failed.
template <typename Guard, typename Body>
inline PyObject* run_held(Guard& guard, Body&& body) {
  if (!guard.ok()) return nullptr;
  PyObject* result = body();
  if (!guard.leave()) {
    Py_XDECREF(result);
    return nullptr;
  }
  // A lock whose __exit__ swallowed the body's exception: the block yields None.
  return result != nullptr ? result : Py_NewRef(Py_None);
}

// `body` while holding `lock`, as run_held.
template <typename Body>
inline PyObject* with_lock(PyObject* lock, Body&& body) {
  Locked guard(lock);
  return run_held(guard, body);
}

// The same for a body that is native only (see NativeSection).
template <typename Body>
inline PyObject* with_lock(PyObject* lock, NativeSection, Body&& body) {
  Locked guard(lock, native_section);
  return run_held(guard, body);
}

// `body` while holding `lock` as its recorded `owner`, as run_held; a call
// from the owning thread is refused (see OwnedLocked).
template <typename Body>
inline PyObject* with_owned_lock(PyObject* lock, LockOwner& owner, const char* fname, Body&& body) {
  OwnedLocked guard(lock, owner, fname);
  return run_held(guard, body);
}

// In a forked child, releases `lock` when it is an exact threading.Lock that
// is held: only the forking thread lives on in the child, and native code
// never forks while it holds a lock, so the holder was a thread of the
// parent (one that was waiting for it, or for another lock while holding
// it, when the parent forked). Other lock objects are left as they are.
inline void release_abandoned(PyObject* lock) noexcept {
  const detail::LockCalls& calls = detail::lock_calls();
  if (lock == nullptr || Py_TYPE(lock) != calls.lock_type) return;
  PyObject* pending = PyErr_GetRaisedException();
  PyObject* held = PyObject_CallMethod(lock, "locked", nullptr);
  if (held == Py_True) Py_XDECREF(PyObject_CallMethod(lock, "release", nullptr));
  Py_XDECREF(held);
  PyErr_Clear();
  PyErr_SetRaisedException(pending);
}

// Creates a new lock by calling `Lock` of the given threading module.
inline PyObject* new_lock(PyObject* threading_module) {
  return PyObject_CallMethodNoArgs(threading_module, detail::name_Lock.get());
}

}  // namespace kv
