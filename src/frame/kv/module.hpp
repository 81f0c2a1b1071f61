// Module initialisation and the helpers a module body uses at import.
//
// Every module of the package:
//   - uses multi-phase initialisation and can be loaded into one interpreter
//     per process ("Interpreter change detected - ..." from any other);
//   - initialises once per process: a second module object gets
//     RuntimeError "Module '<short>' has already been imported.
//     Re-initialisation is not supported.", while a repeated execution for the
//     same module object does nothing;
//   - registers itself in sys.modules under its dotted name;
//   - reports a failure without an exception as ImportError "init <dotted>".
//
// A module declares itself with KV_MODULE(short_name, "dotted.name", doc,
// exec_function); exec_function binds the module's attributes in order and
// returns 0, or -1 with an exception set.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <initializer_list>

#include "args.hpp"
#include "convert.hpp"
#include "function.hpp"
#include "lock.hpp"
#include "sync.hpp"

namespace kv {

struct ModuleInfo {
  const char* short_name;
  const char* dotted_name;
  int (*exec)(PyObject* module);
};

namespace detail {

struct ModuleState {
  PyObject* module = nullptr;  // strong reference once initialised
  std::atomic<int64_t> interpreter{-1};
};

inline ModuleState& module_state() {
  static ModuleState s;
  return s;
}

inline int run_module_exec(PyObject* m, const ModuleInfo& info) {
  ModuleState& st = module_state();
  int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return -1;
  int64_t expected = -1;
  if (!st.interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "Interpreter change detected - this module can only be loaded into one interpreter per process.");
    return -1;
  }
  if (st.module != nullptr) {
    if (st.module == m) return 0;
    PyErr_Format(PyExc_RuntimeError,
                 "Module '%s' has already been imported. Re-initialisation is not supported.", info.short_name);
    return -1;
  }
  if (!Name::intern_all() || !learn_lock_type()) return -1;
  PyObject* modules = PyImport_GetModuleDict();  // borrowed
  int present = PyDict_ContainsString(modules, info.dotted_name);
  if (present < 0 || (present == 0 && PyDict_SetItemString(modules, info.dotted_name, m) < 0)) return -1;
  st.module = Py_NewRef(m);
  if (info.exec(m) < 0) {
    if (!PyErr_Occurred()) PyErr_Format(PyExc_ImportError, "init %s", info.dotted_name);
    Py_CLEAR(st.module);
    return -1;
  }
  return 0;
}

}  // namespace detail

// The module object this extension initialised (borrowed); null before.
inline PyObject* this_module() { return detail::module_state().module; }

// Looks up a global of this module at call time, then the builtins, as
// Python code does; NameError when neither has it. New reference or null.
inline PyObject* module_global(const Name& name) {
  PyObject* module = this_module();
  PyObject* value = nullptr;
  if (module != nullptr) {
    if (PyDict_GetItemRef(PyModule_GetDict(module), name.get(), &value) < 0) return nullptr;
    if (value != nullptr) return value;
  }
  if (PyDict_GetItemRef(PyEval_GetBuiltins(), name.get(), &value) < 0) return nullptr;
  if (value == nullptr) PyErr_Format(PyExc_NameError, "name '%U' is not defined", name.get());
  return value;
}

// `import <name>` bound as a module attribute under `as` (default: name).
inline bool import_module_as(PyObject* module, const char* name, const char* as = nullptr) {
  Ref imported = Ref::steal(PyImport_ImportModule(name));
  return imported && PyModule_AddObjectRef(module, as != nullptr ? as : name, imported.get()) == 0;
}

// `from <from> import a, b, ...` (relative when level > 0), binding each name
// as a module attribute. False with the import's exception set.
inline bool import_names(PyObject* module, const char* from, std::initializer_list<const char*> names,
                         int level = 0) {
  Ref fromlist = Ref::steal(PyList_New(0));
  if (!fromlist) return false;
  for (const char* n : names) {
    Ref s = Ref::steal(PyUnicode_FromString(n));
    if (!s || PyList_Append(fromlist.get(), s.get()) < 0) return false;
  }
  Ref from_name = Ref::steal(PyUnicode_FromString(from));
  if (!from_name) return false;
  Ref imported = Ref::steal(PyImport_ImportModuleLevelObject(from_name.get(), PyModule_GetDict(module), nullptr,
                                                             fromlist.get(), level));
  if (!imported) return false;
  for (const char* n : names) {
    PyObject* value = nullptr;
    if (PyObject_GetOptionalAttrString(imported.get(), n, &value) < 0) return false;
    if (value == nullptr) {
      PyErr_Format(PyExc_ImportError, "cannot import name '%s' from '%s'", n, from);
      return false;
    }
    if (PyModule_Add(module, n, value) < 0) return false;
  }
  return true;
}

// logger = logging.getLogger(__name__), bound as `logger`; returns it (borrowed).
inline PyObject* bind_logger(PyObject* module) {
  Ref logging = Ref::steal(PyObject_GetAttrString(module, "logging"));
  if (!logging) return nullptr;
  Ref name = Ref::steal(PyObject_GetAttrString(module, "__name__"));
  if (!name) return nullptr;
  Ref logger = Ref::steal(PyObject_CallMethod(logging.get(), "getLogger", "O", name.get()));
  if (!logger || PyModule_AddObjectRef(module, "logger", logger.get()) < 0) return nullptr;
  return PyDict_GetItemString(PyModule_GetDict(module), "logger");
}

// Calls logger.<level>(message); false with an error set.
inline bool log(PyObject* logger, const char* level, const char* message) {
  Ref r = Ref::steal(PyObject_CallMethod(logger, level, "s", message));
  return static_cast<bool>(r);
}

// Readies a static extension type and binds it as a module attribute.
inline bool add_type(PyObject* module, PyTypeObject* type) {
  if (PyType_Ready(type) < 0) return false;
  const char* name = strrchr(type->tp_name, '.');
  return PyModule_AddObjectRef(module, name != nullptr ? name + 1 : type->tp_name,
                               reinterpret_cast<PyObject*>(type)) == 0;
}

// Publishes a table of native operations for other native code as the
// capsule `_native_ops` in the type's dictionary, first filling in the two
// members every table starts with (its size and the type); `capsule_name`
// must be static.
template <class Table>
bool publish_table(PyTypeObject* type, Table& table, const char* capsule_name) {
  static_assert(offsetof(Table, size) == 0 && offsetof(Table, type) == sizeof(size_t));
  table.size = sizeof(Table);
  table.type = type;
  Ref capsule = Ref::steal(PyCapsule_New(&table, capsule_name, nullptr));
  if (!capsule || PyDict_SetItemString(type->tp_dict, "_native_ops", capsule.get()) < 0) return false;
  PyType_Modified(type);
  return true;
}

// Instances cannot be pickled or copied through the pickle protocol.
namespace detail {
KV_COLD inline PyObject* raise_no_reduce() {
  PyErr_SetString(PyExc_TypeError, "no default __reduce__ due to non-trivial __cinit__");
  return nullptr;
}
inline PyObject* refuse_reduce(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!no_args("__reduce__", nargs, kwnames)) return nullptr;
  return raise_no_reduce();
}
inline Params<1> setstate_params{"__setstate__", {"state"}, 1};
inline PyObject* refuse_setstate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* state[1];
  if (!parse(setstate_params, args, nargs, kwnames, state)) return nullptr;
  return raise_no_reduce();
}
inline const FunctionDef pickle_refusal[] = {
    {"__reduce__", refuse_reduce, "Instances cannot be pickled: always raises TypeError.", "($self, /)"},
    {"__setstate__", refuse_setstate, "Instances cannot be unpickled: always raises TypeError.",
     "($self, state, /)"},
};
}  // namespace detail

inline bool refuse_pickling(PyTypeObject* type) { return add_methods(type, detail::pickle_refusal); }

// Adapters between the tuple/dict calling convention of tp_new and a
// constructor written for vectorcall:
//   PyObject* ctor(PyTypeObject* type, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
// Set tp_new = kv::tp_new_from<ctor> and tp_vectorcall = kv::type_vectorcall<ctor>;
// subclasses inherit tp_new but not tp_vectorcall, so they keep __init__.
using Ctor = PyObject* (*)(PyTypeObject*, PyObject* const*, Py_ssize_t, PyObject*);

template <Ctor ctor>
PyObject* tp_new_from(PyTypeObject* type, PyObject* args, PyObject* kwds) {
  VectorArgs v;
  if (!v.init(args, kwds)) return nullptr;
  return ctor(type, v.args(), v.nargs(), v.kwnames());
}

template <Ctor ctor>
PyObject* type_vectorcall(PyObject* type, PyObject* const* args, std::size_t nargsf, PyObject* kwnames) {
  return ctor(reinterpret_cast<PyTypeObject*>(type), args, PyVectorcall_NARGS(nargsf), kwnames);
}

// Fills the common fields of a static extension type: instances have no
// __dict__, the type may be subclassed, and construction goes through `ctor`
// (vectorcall for the type itself, tp_new for subclasses).
template <Ctor ctor>
inline void init_type(PyTypeObject& t, const char* qualified_name, Py_ssize_t basicsize, const char* doc,
                      destructor dealloc = nullptr) {
  // A type readied by an earlier import that failed later on stays as it is.
  if (t.tp_flags & Py_TPFLAGS_READY) return;
  t.tp_name = qualified_name;
  t.tp_basicsize = basicsize;
  t.tp_doc = doc;
  t.tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE;
  t.tp_dealloc = dealloc;
  t.tp_new = tp_new_from<ctor>;
  t.tp_vectorcall = type_vectorcall<ctor>;
}

// Allocates a zeroed instance of `type` (a subclass included); GC types are
// tracked by the allocator. New reference or null.
template <typename T>
inline T* alloc_instance(PyTypeObject* type) {
  return reinterpret_cast<T*>(type->tp_alloc(type, 0));
}

// The deallocation tail of a static type's instance. A Python subclass's own
// deallocator releases its heap type after this returns.
inline void free_instance(PyObject* self) { Py_TYPE(self)->tp_free(self); }

// The deallocator of a garbage-collected type whose instances hold Python
// objects: `release` drops everything the instance holds (its tp_clear, or
// that and its native memory), then the instance is freed. It runs through
// the interpreter's trashcan, so that dropping the head of a chain of such
// objects, each holding the next, takes bounded C stack: past a fixed depth
// of nested deallocations an instance is set aside and freed once the
// nesting has unwound, as the interpreter's own containers are.
template <int (*release)(PyObject*)>
void dealloc_holder(PyObject* self) {
  PyObject_GC_UnTrack(self);
  Py_TRASHCAN_BEGIN(self, dealloc_holder<release>)
  release(self);
  free_instance(self);
  Py_TRASHCAN_END
}

}  // namespace kv

// Every module is safe without the interpreter lock (see sync.hpp), so a
// free-threaded interpreter keeps it off when one is imported.
#ifdef Py_GIL_DISABLED
#define KV_MOD_GIL Py_MOD_GIL_NOT_USED
#else
#define KV_MOD_GIL Py_MOD_GIL_USED
#endif

#define KV_MODULE(short_name, dotted_name, doc, exec_function)                                   \
  static int kv_module_exec(PyObject* m) {                                                        \
    static const kv::ModuleInfo info{#short_name, dotted_name, exec_function};                    \
    return kv::detail::run_module_exec(m, info);                                                  \
  }                                                                                               \
  static PyModuleDef_Slot kv_module_slots[] = {                                                   \
      {Py_mod_exec, reinterpret_cast<void*>(kv_module_exec)},                                     \
      {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},                       \
      {Py_mod_gil, KV_MOD_GIL},                                                                   \
      {0, nullptr},                                                                               \
  };                                                                                              \
  static PyModuleDef kv_module_def = {                                                            \
      PyModuleDef_HEAD_INIT, dotted_name, doc, 0, nullptr, kv_module_slots, nullptr, nullptr,     \
      nullptr,                                                                                    \
  };                                                                                              \
  PyMODINIT_FUNC PyInit_##short_name(void) { return PyModuleDef_Init(&kv_module_def); }
