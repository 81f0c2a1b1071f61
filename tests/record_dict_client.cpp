// A test build of the frame's record dicts, for the suite: a FixedKeysDict of
// three keys made from given values. Built twice by the tests, as the modules
// are (dicts filled in place where the interpreter's layout is known) and
// with KORVANE_DICTS_BY_KEY (key by key), so that both paths meet failing and
// container values in every build.
#include "kv/dicts.hpp"

#define CLIENT_STR(x) #x
#define CLIENT_NAME_STR(x) CLIENT_STR(x)
#define CLIENT_INIT(x) CLIENT_CAT(PyInit_, x)
#define CLIENT_CAT(a, b) a##b

namespace {

kv::Name keys[] = {kv::Name{"first"}, kv::Name{"second"}, kv::Name{"third"}};
kv::FixedKeysDict<3> record;

// make(first, second, third, error): the record of the three values, where
// Ellipsis stands for a value whose making failed with `error`, as a
// statistics read that stops at its first failure leaves it.
PyObject* make(PyObject*, PyObject* const* args, Py_ssize_t nargs) {
  if (nargs != 4) {
    PyErr_SetString(PyExc_TypeError, "make() takes 4 arguments");
    return nullptr;
  }
  PyObject* values[3] = {};
  for (int i = 0; i < 3; ++i) {
    if (args[i] != Py_Ellipsis) {
      values[i] = Py_NewRef(args[i]);
    } else if (!PyErr_Occurred()) {
      PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(args[3])), args[3]);
    }
  }
  return record.make(values);
}

PyMethodDef methods[] = {
    {"make", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(make)), METH_FASTCALL, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT, CLIENT_NAME_STR(CLIENT_NAME), nullptr, -1, methods, nullptr, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC CLIENT_INIT(CLIENT_NAME)(void) {
  if (!kv::Name::intern_all() || !record.init(keys)) return nullptr;
  PyObject* m = PyModule_Create(&module_def);
  if (m != nullptr && PyModule_AddObjectRef(m, "direct", record.direct() ? Py_True : Py_False) < 0) Py_CLEAR(m);
  return m;
}
