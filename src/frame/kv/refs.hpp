// Owned references and process-lifetime names.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace kv {

// Holds one strong reference and releases it when it goes out of scope.
// Made only through the named constructors, so that every place that creates
// one says whether it takes over a reference (steal) or adds one (borrow).
class Ref {
 public:
  Ref() noexcept = default;
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : p_(other.p_) { other.p_ = nullptr; }
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      PyObject* old = p_;
      p_ = other.p_;
      other.p_ = nullptr;
      Py_XDECREF(old);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(p_); }

  // Takes over a new reference (which may be null after a failed call).
  [[nodiscard]] static Ref steal(PyObject* p) noexcept { return Ref(p); }
  // Adds a reference to a borrowed object.
  [[nodiscard]] static Ref borrow(PyObject* p) noexcept {
    Py_XINCREF(p);
    return Ref(p);
  }

  PyObject* get() const noexcept { return p_; }
  explicit operator bool() const noexcept { return p_ != nullptr; }

  // Hands the reference to the caller; this handle becomes empty.
  [[nodiscard]] PyObject* release() noexcept {
    PyObject* p = p_;
    p_ = nullptr;
    return p;
  }
  // A new reference to the held object, for returning while keeping this one.
  [[nodiscard]] PyObject* new_ref() const noexcept {
    Py_XINCREF(p_);
    return p_;
  }
  // Replaces the held object with a stolen reference, releasing the old one last.
  void reset(PyObject* stolen = nullptr) noexcept {
    PyObject* old = p_;
    p_ = stolen;
    Py_XDECREF(old);
  }

 private:
  explicit Ref(PyObject* p) noexcept : p_(p) {}
  PyObject* p_ = nullptr;
};

// An interned Python string made once per process. Declare them as statics
// of a module; `Name::intern_all()` (run by the module frame at import)
// creates every declared name, after which `get()` never fails.
class Name {
 public:
  explicit Name(const char* text) noexcept : text_(text), next_(head()) { head() = this; }
  Name(const Name&) = delete;
  Name& operator=(const Name&) = delete;

  PyObject* get() const noexcept { return obj_; }
  const char* c_str() const noexcept { return text_; }

  // Interns every declared name; returns false with an exception set.
  static bool intern_all() noexcept {
    for (Name* n = head(); n != nullptr; n = n->next_) {
      if (n->obj_ == nullptr) {
        n->obj_ = PyUnicode_InternFromString(n->text_);
        if (n->obj_ == nullptr) return false;
      }
    }
    return true;
  }

 private:
  static Name*& head() noexcept {
    static Name* first = nullptr;
    return first;
  }
  const char* text_;
  Name* next_;
  PyObject* obj_ = nullptr;
};

}  // namespace kv
