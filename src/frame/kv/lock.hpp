// Holding a lock object (a threading.Lock) through its context-manager
// protocol, as a `with lock:` block does: __enter__() on entry, then
// __exit__(None, None, None) on a normal exit, or __exit__(type, value,
// traceback) while an exception propagates (the exception then continues,
// unless __exit__ returns a true value).
#pragma once

#include "refs.hpp"

namespace kv {

namespace detail {
inline Name name_enter{"__enter__"};
inline Name name_exit{"__exit__"};
inline Name name_Lock{"Lock"};
}  // namespace detail

class Locked {
 public:
  // Enters the lock; check ok() before doing anything under it. A null lock
  // (a field cleared by the garbage collector) behaves as None would.
  explicit Locked(PyObject* lock) noexcept : lock_(lock != nullptr ? lock : Py_None) {
    PyObject* argv[2] = {nullptr, lock_};
    PyObject* r = PyObject_VectorcallMethod(detail::name_enter.get(), argv + 1,
                                            1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    entered_ = r != nullptr;
    Py_XDECREF(r);
  }
  Locked(const Locked&) = delete;
  Locked& operator=(const Locked&) = delete;
  // A guard that was never left explicitly leaves on destruction, passing
  // along any exception that is set at that moment.
  ~Locked() {
    if (entered_) leave();
  }

  bool ok() const noexcept { return entered_; }

  // Leaves the lock. If an exception is set it is passed to __exit__ and
  // stays set. Returns true when no exception is set afterwards.
  bool leave() noexcept {
    entered_ = false;
    PyObject* exc = PyErr_GetRaisedException();
    PyObject* argv[5] = {nullptr, lock_, Py_None, Py_None, Py_None};
    Ref tb;
    if (exc != nullptr) {
      tb = Ref::steal(PyException_GetTraceback(exc));
      argv[2] = reinterpret_cast<PyObject*>(Py_TYPE(exc));
      argv[3] = exc;
      argv[4] = tb ? tb.get() : Py_None;
    }
    PyObject* r = PyObject_VectorcallMethod(detail::name_exit.get(), argv + 1, 4 | PY_VECTORCALL_ARGUMENTS_OFFSET,
                                            nullptr);
    if (r == nullptr) {
      // An error in __exit__ replaces the one that was propagating.
      if (exc != nullptr) {
        PyObject* raised = PyErr_GetRaisedException();
        PyException_SetContext(raised, exc);  // steals exc
        PyErr_SetRaisedException(raised);
      }
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
      Py_DECREF(exc);
      return false;
    }
    PyErr_SetRaisedException(exc);
    return false;
  }

 private:
  PyObject* lock_;
  bool entered_ = false;
};

// Runs `body` (returning a new reference, or null with an exception set)
// while holding `lock`; returns its result, or null when entering, the body
// or leaving failed.
template <typename Body>
inline PyObject* with_lock(PyObject* lock, Body&& body) {
  Locked guard(lock);
  if (!guard.ok()) return nullptr;
  PyObject* result = body();
  if (!guard.leave()) {
    Py_XDECREF(result);
    return nullptr;
  }
  // A lock whose __exit__ swallowed the body's exception: the block yields None.
  return result != nullptr ? result : Py_NewRef(Py_None);
}

// Creates a new lock by calling `Lock` of the given threading module.
inline PyObject* new_lock(PyObject* threading_module) {
  return PyObject_CallMethodNoArgs(threading_module, detail::name_Lock.get());
}

}  // namespace kv
