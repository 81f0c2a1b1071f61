// korvane.threads: per-thread handles of bound methods, for calling shared
// objects from many threads without the interpreter lock.
//
// Calling `find = tree.find_best_fit; find(q)` makes the interpreter take a
// reference to `tree` on every call (it unpacks the bound method and pushes
// its `self`). On a free-threaded build that is an atomic add on the tree's
// reference count, one cache line that every calling core writes, and it
// costs more than a lock-free read itself. A handle keeps the object and the
// function and passes the object on without touching its count; the handle's
// own count is the one the interpreter touches, and a handle that a thread
// made is owned by that thread, so its count is changed without an atomic
// instruction there. From any other thread it works the same, with atomic
// changes to the handle's count.

#include <cstring>

#include "kv/frame.hpp"

namespace {

using kv::Ref;

struct Handle {
  PyObject_HEAD
  vectorcallfunc vectorcall;
  PyObject* self;  // the bound object, null for a callable that is not a bound method
  PyObject* func;  // what is called, with `self` first when there is one
  // func's own vectorcall, when it cannot change (anything but a Python
  // function, whose entry point may be replaced); null: PyObject_Vectorcall.
  vectorcallfunc call;
};

// func(args) through its cached entry point, or the generic call.
inline PyObject* call_func(const Handle* h, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  if (h->call != nullptr) [[likely]] return h->call(h->func, args, nargsf, kwnames);
  return PyObject_Vectorcall(h->func, args, nargsf, kwnames);
}

PyTypeObject HandleType{PyVarObject_HEAD_INIT(nullptr, 0)};

inline Handle* as_handle(PyObject* o) { return reinterpret_cast<Handle*>(o); }

// func(self, *args, **kwargs) without a reference to self: the handle holds
// one for as long as the call runs, since the caller holds the handle.
PyObject* handle_vectorcall(PyObject* op, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  Handle* h = as_handle(op);
  if (h->self == nullptr) return call_func(h, args, nargsf, kwnames);
  Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
  if (nargsf & PY_VECTORCALL_ARGUMENTS_OFFSET) [[likely]] {
    // The caller lets us use the slot before the arguments, as a bound
    // method does.
    auto** shifted = const_cast<PyObject**>(args) - 1;
    PyObject* saved = shifted[0];
    shifted[0] = h->self;
    PyObject* result = call_func(h, shifted, static_cast<std::size_t>(nargs) + 1, kwnames);
    shifted[0] = saved;
    return result;
  }
  Py_ssize_t total = nargs + (kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0);
  PyObject* small[8];
  PyObject** argv = small;
  if (total + 1 > 8) {
    argv = static_cast<PyObject**>(PyMem_Malloc(sizeof(PyObject*) * static_cast<std::size_t>(total + 1)));
    if (argv == nullptr) return PyErr_NoMemory();
  }
  argv[0] = h->self;
  if (total > 0) std::memcpy(argv + 1, args, sizeof(PyObject*) * static_cast<std::size_t>(total));
  PyObject* result = call_func(h, argv, static_cast<std::size_t>(nargs) + 1, kwnames);
  if (argv != small) PyMem_Free(argv);
  return result;
}

PyObject* new_handle(PyTypeObject* type, PyObject* method) {
  if (!PyCallable_Check(method)) {
    PyErr_Format(PyExc_TypeError, "handle() needs a callable, not '%.200s'", Py_TYPE(method)->tp_name);
    return nullptr;
  }
  Ref obj = Ref::steal(reinterpret_cast<PyObject*>(kv::alloc_instance<Handle>(type)));
  if (!obj) return nullptr;
  Handle* h = as_handle(obj.get());
  h->vectorcall = handle_vectorcall;
  if (PyMethod_Check(method)) {
    h->self = Py_NewRef(PyMethod_GET_SELF(method));
    h->func = Py_NewRef(PyMethod_GET_FUNCTION(method));
  } else {
    h->func = Py_NewRef(method);
  }
  if (!PyFunction_Check(h->func)) h->call = PyVectorcall_Function(h->func);
  return obj.release();
}

kv::Params<1> handle_params{"handle", {"method"}, 1};

PyObject* handle_construct(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!kv::parse(handle_params, args, nargs, kwnames, a)) return nullptr;
  return new_handle(type, a[0]);
}

PyObject* handle_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return handle_construct(&HandleType, args, nargs, kwnames);
}

int handle_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(as_handle(self)->self);
  Py_VISIT(as_handle(self)->func);
  return 0;
}

int handle_clear(PyObject* self) {
  Py_CLEAR(as_handle(self)->self);
  Py_CLEAR(as_handle(self)->func);
  return 0;
}

PyObject* handle_repr(PyObject* self) {
  Handle* h = as_handle(self);
  if (h->func == nullptr) return PyUnicode_FromString("handle(None)");
  if (h->self == nullptr) return PyUnicode_FromFormat("handle(%R)", h->func);
  Ref method = Ref::steal(PyMethod_New(h->func, h->self));
  if (!method) return nullptr;
  return PyUnicode_FromFormat("handle(%R)", method.get());
}

PyObject* handle_get_self(PyObject* self, void*) {
  PyObject* bound = as_handle(self)->self;
  return Py_NewRef(bound != nullptr ? bound : Py_None);
}

PyObject* handle_get_func(PyObject* self, void*) {
  PyObject* func = as_handle(self)->func;
  return Py_NewRef(func != nullptr ? func : Py_None);
}

PyGetSetDef handle_getset[] = {
    {"__self__", handle_get_self, nullptr, "The object the calls go to (None for a callable that is not a method).",
     nullptr},
    {"__func__", handle_get_func, nullptr, "The function called, with __self__ first when there is one.", nullptr},
    {nullptr},
};

// The text of both docstrings, after their signature line.
#define KV_HANDLE_DOC                                                               \
  "A callable that calls `method` (a bound method, or any callable) as it is.\n\n" \
  "Made once by the thread that calls it, in place of the bound method, so\n"      \
  "that its calls do not change the reference count of the method's object:\n\n"  \
  "    find = handle(tree.find_best_fit)\n"                                        \
  "    for size in sizes:\n"                                                       \
  "        block = find(size)\n\n"                                                 \
  "It keeps the object alive. Calls from other threads work the same, a\n"        \
  "little more slowly (its own reference count is then changed atomically)."

const char handle_doc[] = "handle(method)\n--\n\n" KV_HANDLE_DOC;
const char handle_type_doc[] = "Handle(method)\n--\n\n" KV_HANDLE_DOC;

const kv::FunctionDef module_functions[] = {
    {"handle", handle_function, handle_doc, "(method)", {{"method", "Callable[P, T]"}, {"return", "Handle[P, T]"}}},
};

int exec_module(PyObject* m) {
  if (!(HandleType.tp_flags & Py_TPFLAGS_READY)) {
    kv::init_type<handle_construct>(HandleType, "korvane.threads.Handle", sizeof(Handle), handle_type_doc,
                                    kv::dealloc_holder<handle_clear>);
    // Final: a subclass would move the vectorcall slot's meaning.
    HandleType.tp_flags = (HandleType.tp_flags & ~Py_TPFLAGS_BASETYPE) | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL;
    HandleType.tp_traverse = handle_traverse;
    HandleType.tp_clear = handle_clear;
    HandleType.tp_repr = handle_repr;
    HandleType.tp_call = PyVectorcall_Call;
    HandleType.tp_vectorcall_offset = offsetof(Handle, vectorcall);
    HandleType.tp_getset = handle_getset;
    if (PyType_Ready(&HandleType) < 0 || !kv::refuse_pickling(&HandleType)) return -1;
  }
  if (PyModule_AddObjectRef(m, "Handle", reinterpret_cast<PyObject*>(&HandleType)) < 0 ||
      !kv::add_functions(m, module_functions)) {
    return -1;
  }
  Ref all = Ref::steal(Py_BuildValue("[ss]", "Handle", "handle"));
  return all ? PyModule_AddObjectRef(m, "__all__", all.get()) : -1;
}

}  // namespace

KV_MODULE(threads, "korvane.threads", "Per-thread handles of bound methods, for calling shared objects from many threads.",
          exec_module)
