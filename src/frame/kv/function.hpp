// A native function object that behaves like a Python function: it carries
// __name__, __qualname__, __doc__, __module__, __annotations__ (string values
// such as "int"), __text_signature__ and a __dict__, binds as a method when
// found on a class (so it works in extension types and ordinary classes
// alike), and is called through vectorcall.
#pragma once

#include <cstddef>
#include <cstring>
#include <initializer_list>

#include "errors.hpp"
#include "refs.hpp"
#include "sync.hpp"

namespace kv {

// The typed body behind a function. `self` is the instance for methods and
// null for module functions; `args` and `kwnames` follow vectorcall.
using Impl = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

struct Annotation {
  const char* name;   // parameter name, or "return"
  const char* value;  // the annotation as written, e.g. "int"
};

enum class Kind : unsigned char {
  Function,      // module-level function
  Method,        // method of an extension type: self must be an instance
  PlainMethod,   // method of an ordinary Python class: any self
  StaticMethod,  // static method of an extension type
};

struct FunctionDef {
  const char* name;
  Impl impl;
  const char* doc = nullptr;
  const char* text_signature = nullptr;  // e.g. "($self, /, delta=1)"
  Annotation annotations[8] = {};        // up to eight, terminated by a null name
};

struct FunctionObject {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  Impl impl;
  PyTypeObject* self_type;  // Kind::Method only: the required type of self
  Kind kind;
  const char* text_signature;
  PyObject* name;
  PyObject* qualname;
  PyObject* module;
  PyObject* doc;
  PyObject* annotations;
  PyObject* dict;
  PyObject* weakrefs;
};

namespace detail {

template <std::size_t Offset>
PyObject* get_field(PyObject* self, void*);

KV_COLD inline PyObject* raise_bad_self(FunctionObject* f, PyObject* const* args, Py_ssize_t nargs) {
  auto* self = reinterpret_cast<PyObject*>(f);
  if (nargs < 1) {
    Ref qualname = Ref::steal(get_field<offsetof(FunctionObject, qualname)>(self, nullptr));
    PyErr_Format(PyExc_TypeError, "unbound method %U() needs an argument", qualname.get());
  } else {
    Ref name = Ref::steal(get_field<offsetof(FunctionObject, name)>(self, nullptr));
    PyErr_Format(PyExc_TypeError, "descriptor '%U' requires a '%.200s' object but received a '%.200s'", name.get(),
                 f->self_type->tp_name, Py_TYPE(args[0])->tp_name);
  }
  return nullptr;
}

inline PyObject* function_vectorcall(PyObject* callable, PyObject* const* args, std::size_t nargsf,
                                     PyObject* kwnames) {
  auto* f = reinterpret_cast<FunctionObject*>(callable);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  switch (f->kind) {
    case Kind::Method:
      if (nargs < 1 || !PyObject_TypeCheck(args[0], f->self_type)) [[unlikely]] {
        return raise_bad_self(f, args, nargs);
      }
      return f->impl(args[0], args + 1, nargs - 1, kwnames);
    case Kind::PlainMethod:
      if (nargs < 1) [[unlikely]] return raise_bad_self(f, args, nargs);
      return f->impl(args[0], args + 1, nargs - 1, kwnames);
    default:
      return f->impl(nullptr, args, nargs, kwnames);
  }
}

inline PyObject* function_descr_get(PyObject* self, PyObject* obj, PyObject*) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  if (obj == nullptr || f->kind == Kind::StaticMethod) return Py_NewRef(self);
  return PyMethod_New(self, obj);
}

inline int function_traverse(PyObject* self, visitproc visit, void* arg) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  Py_VISIT(f->name);
  Py_VISIT(f->qualname);
  Py_VISIT(f->module);
  Py_VISIT(f->doc);
  Py_VISIT(f->annotations);
  Py_VISIT(f->dict);
  return 0;
}

inline int function_clear(PyObject* self) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  Py_CLEAR(f->annotations);
  Py_CLEAR(f->dict);
  return 0;
}

inline void function_dealloc(PyObject* self) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  PyObject_GC_UnTrack(self);
  if (f->weakrefs != nullptr) PyObject_ClearWeakRefs(self);
  function_clear(self);
  Py_CLEAR(f->name);
  Py_CLEAR(f->qualname);
  Py_CLEAR(f->module);
  Py_CLEAR(f->doc);
  PyObject_GC_Del(self);
}

inline PyObject* function_repr(PyObject* self) {
  Ref qualname = Ref::steal(get_field<offsetof(FunctionObject, qualname)>(self, nullptr));
  return PyUnicode_FromFormat("<function %U at %p>", qualname.get(), self);
}

// Getter/setter pairs for the attributes that must hold a given type. The
// getter takes its reference, and the setter swaps the field, inside the
// object's critical section, so that a getter never takes a reference to
// an object a setter has just released; the old value is released outside.
template <std::size_t Offset>
PyObject*& field_at(PyObject* self) {
  return *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(self) + Offset);
}

template <std::size_t Offset>
PyObject* get_field(PyObject* self, void*) {
  CriticalSection cs(self);
  PyObject* v = field_at<Offset>(self);
  return Py_NewRef(v != nullptr ? v : Py_None);
}

// Swaps `value` (a new reference, may be null) into a field and releases the old one.
inline void swap_field(PyObject* self, PyObject*& field, PyObject* value) {
  PyObject* old;
  {
    CriticalSection cs(self);
    old = field;
    field = value;
  }
  Py_XDECREF(old);
}

template <std::size_t Offset>
int set_str_field(PyObject* self, PyObject* value, void* closure) {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_Format(PyExc_TypeError, "%s must be set to a string object", static_cast<const char*>(closure));
    return -1;
  }
  swap_field(self, field_at<Offset>(self), Py_NewRef(value));
  return 0;
}

template <std::size_t Offset>
int set_any_field(PyObject* self, PyObject* value, void*) {
  swap_field(self, field_at<Offset>(self), Py_NewRef(value != nullptr ? value : Py_None));
  return 0;
}

inline PyObject* get_annotations(PyObject* self, void*) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  CriticalSection cs(self);
  if (f->annotations == nullptr) {
    f->annotations = PyDict_New();
    if (f->annotations == nullptr) return nullptr;
  }
  return Py_NewRef(f->annotations);
}

inline int set_annotations(PyObject* self, PyObject* value, void*) {
  if (value != nullptr && value != Py_None && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  auto* f = reinterpret_cast<FunctionObject*>(self);
  swap_field(self, f->annotations, value == nullptr || value == Py_None ? nullptr : Py_NewRef(value));
  return 0;
}

inline PyObject* get_text_signature(PyObject* self, void*) {
  auto* f = reinterpret_cast<FunctionObject*>(self);
  if (f->text_signature == nullptr) Py_RETURN_NONE;
  return PyUnicode_FromString(f->text_signature);
}

inline PyGetSetDef function_getset[] = {
    {"__name__", get_field<offsetof(FunctionObject, name)>, set_str_field<offsetof(FunctionObject, name)>,
     nullptr, const_cast<char*>("__name__")},
    {"__qualname__", get_field<offsetof(FunctionObject, qualname)>,
     set_str_field<offsetof(FunctionObject, qualname)>, nullptr, const_cast<char*>("__qualname__")},
    {"__module__", get_field<offsetof(FunctionObject, module)>, set_any_field<offsetof(FunctionObject, module)>,
     nullptr, nullptr},
    {"__doc__", get_field<offsetof(FunctionObject, doc)>, set_any_field<offsetof(FunctionObject, doc)>, nullptr,
     nullptr},
    {"__annotations__", get_annotations, set_annotations, nullptr, nullptr},
    {"__text_signature__", get_text_signature, nullptr, nullptr, nullptr},
    {"__dict__", PyObject_GenericGetDict, PyObject_GenericSetDict, nullptr, nullptr},
    {nullptr},
};

inline PyTypeObject& function_type() {
  static PyTypeObject type = [] {
    PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
    t.tp_name = "korvane.native_function";
    t.tp_basicsize = sizeof(FunctionObject);
    t.tp_dealloc = function_dealloc;
    t.tp_vectorcall_offset = offsetof(FunctionObject, vectorcall);
    t.tp_repr = function_repr;
    t.tp_call = PyVectorcall_Call;
    t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                 Py_TPFLAGS_METHOD_DESCRIPTOR;
    t.tp_doc = "Native function of the korvane package.";
    t.tp_traverse = function_traverse;
    t.tp_clear = function_clear;
    t.tp_weaklistoffset = offsetof(FunctionObject, weakrefs);
    t.tp_getset = function_getset;
    t.tp_descr_get = function_descr_get;
    t.tp_dictoffset = offsetof(FunctionObject, dict);
    return t;
  }();
  return type;
}

}  // namespace detail

// Creates a function object for `def`. `module` is the value of __module__;
// `owner` (may be null) prefixes the qualified name, as in "Owner.name".
// Returns a new reference or null.
inline PyObject* make_function(const FunctionDef& def, Kind kind, PyObject* module, const char* owner,
                               PyTypeObject* self_type = nullptr) {
  PyTypeObject& type = detail::function_type();
  if (!(type.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&type) < 0) return nullptr;
  Ref obj = Ref::steal(reinterpret_cast<PyObject*>(PyObject_GC_New(FunctionObject, &type)));
  if (!obj) return nullptr;
  auto* f = reinterpret_cast<FunctionObject*>(obj.get());
  f->vectorcall = detail::function_vectorcall;
  f->impl = def.impl;
  f->self_type = self_type;
  f->kind = kind;
  f->text_signature = def.text_signature;
  f->name = PyUnicode_InternFromString(def.name);
  f->qualname = owner != nullptr ? PyUnicode_FromFormat("%s.%s", owner, def.name) : Py_XNewRef(f->name);
  f->module = Py_XNewRef(module);
  f->doc = def.doc != nullptr ? PyUnicode_FromString(def.doc) : Py_NewRef(Py_None);
  f->annotations = PyDict_New();
  f->dict = nullptr;
  f->weakrefs = nullptr;
  PyObject_GC_Track(obj.get());
  if (f->name == nullptr || f->qualname == nullptr || f->doc == nullptr || f->annotations == nullptr) {
    return nullptr;
  }
  for (const Annotation& a : def.annotations) {
    if (a.name == nullptr) break;
    Ref value = Ref::steal(PyUnicode_FromString(a.value));
    if (!value || PyDict_SetItemString(f->annotations, a.name, value.get()) < 0) return nullptr;
  }
  return obj.release();
}

namespace detail {

// On a free-threaded 3.13 build, makes a method object of a static type
// (which lives as long as the process anyway) immortal, as the interpreter
// does with its own method descriptors once a second thread starts. Every
// call takes and drops a reference to the method it looks up; on an object
// that another thread owns, both are atomic writes to one cache line that
// every calling thread shares. Only while this thread holds every reference.
inline void make_immortal(PyObject* op) noexcept {
#if defined(Py_GIL_DISABLED) && PY_VERSION_HEX < 0x030E0000
  PyObject_GC_UnTrack(op);
  op->ob_tid = _Py_UNOWNED_TID;
  op->ob_ref_local = _Py_IMMORTAL_REFCNT_LOCAL;
  op->ob_ref_shared = 0;
#else
  (void)op;
#endif
}

}  // namespace detail

// Puts methods into a ready extension type's dictionary. Static methods are
// wrapped in staticmethod. Returns false with an error set.
inline bool add_methods(PyTypeObject* type, const FunctionDef* defs, std::size_t n, Kind kind = Kind::Method) {
  Ref module = Ref::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  if (!module) return false;
  const char* owner = type->tp_name;
  if (const char* dot = strrchr(owner, '.')) owner = dot + 1;
  for (std::size_t i = 0; i < n; ++i) {
    Ref f = Ref::steal(make_function(defs[i], kind, module.get(), owner, type));
    if (!f) return false;
    detail::make_immortal(f.get());
    if (kind == Kind::StaticMethod) {
      f = Ref::steal(PyStaticMethod_New(f.get()));
      if (!f) return false;
    }
    if (PyDict_SetItemString(type->tp_dict, defs[i].name, f.get()) < 0) return false;
  }
  PyType_Modified(type);
  return true;
}

template <std::size_t N>
inline bool add_methods(PyTypeObject* type, const FunctionDef (&defs)[N], Kind kind = Kind::Method) {
  return add_methods(type, defs, N, kind);
}

// Binds `alias` in a type's dictionary to the very object bound to `name`.
inline bool add_alias(PyTypeObject* type, const char* alias, const char* name) {
  PyObject* f = PyDict_GetItemString(type->tp_dict, name);  // borrowed
  if (f == nullptr) {
    PyErr_Format(PyExc_AttributeError, "%s has no method %s", type->tp_name, name);
    return false;
  }
  if (PyDict_SetItemString(type->tp_dict, alias, f) < 0) return false;
  PyType_Modified(type);
  return true;
}

// Adds module-level functions to a module, in order. False with an error set.
inline bool add_functions(PyObject* module, const FunctionDef* defs, std::size_t n) {
  Ref name = Ref::steal(PyObject_GetAttrString(module, "__name__"));
  if (!name) return false;
  for (std::size_t i = 0; i < n; ++i) {
    Ref f = Ref::steal(make_function(defs[i], Kind::Function, name.get(), nullptr));
    if (!f || PyModule_AddObjectRef(module, defs[i].name, f.get()) < 0) return false;
  }
  return true;
}

template <std::size_t N>
inline bool add_functions(PyObject* module, const FunctionDef (&defs)[N]) {
  return add_functions(module, defs, N);
}

// Calls obj.<name>(*args) without creating a bound method (up to three
// arguments); new reference or null.
inline PyObject* call_method(PyObject* obj, const Name& name, std::initializer_list<PyObject*> args = {}) {
  PyObject* argv[5] = {nullptr, obj};
  std::size_t n = 1;
  for (PyObject* a : args) argv[1 + n++] = a;
  return PyObject_VectorcallMethod(name.get(), argv + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// Calls a callable with positional arguments; new reference or null.
inline PyObject* call(PyObject* callable, std::initializer_list<PyObject*> args = {}) {
  PyObject* argv[9] = {nullptr};
  std::size_t n = 0;
  for (PyObject* a : args) argv[1 + n++] = a;
  return PyObject_Vectorcall(callable, argv + 1, n | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

}  // namespace kv

namespace kv {

// Whether another thread of this interpreter has a thread state, so that
// releasing the interpreter lock can let something else run. Thread states
// join the list at its head before they wait for the lock; a caller that is
// the head and has no successor is the only one. Reads two pointers and
// dereferences none but its own thread state; both are written under the
// interpreter lock, which the caller holds.
inline bool others_may_wait() noexcept {
  PyThreadState* self = PyThreadState_GET();
  return PyInterpreterState_ThreadHead(self->interp) != self || PyThreadState_Next(self) != nullptr;
}

}  // namespace kv

// Runs `stmt` with the interpreter lock released, so that other threads run
// meanwhile; `stmt` must not touch Python objects. With no other thread in
// the interpreter there is nobody to run, and the lock is kept. A
// free-threaded interpreter has no such lock: there `stmt` just runs.
#ifdef Py_GIL_DISABLED
#define KV_NOGIL(stmt) \
  do {                 \
    stmt;              \
  } while (0)
#else
#define KV_NOGIL(stmt)                 \
  do {                                 \
    if (kv::others_may_wait()) {       \
      Py_BEGIN_ALLOW_THREADS;          \
      stmt;                            \
      Py_END_ALLOW_THREADS;            \
    } else {                           \
      stmt;                            \
    }                                  \
  } while (0)
#endif
