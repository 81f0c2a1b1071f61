// The package's standard error messages. Each raiser sets the exception and
// is kept out of line, so that hot paths carry only a call.
#pragma once

#include "refs.hpp"

#define KV_COLD [[gnu::cold, gnu::noinline]]

namespace kv {

// "Argument 'size' has incorrect type (expected int, got str)"
KV_COLD inline void raise_arg_type(const char* arg, const char* expected, PyObject* got) {
  PyErr_Format(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", arg,
               expected, Py_TYPE(got)->tp_name);
}

// "Expected int, got str"
KV_COLD inline void raise_expected(const char* expected, PyObject* got) {
  PyErr_Format(PyExc_TypeError, "Expected %.200s, got %.200s", expected, Py_TYPE(got)->tp_name);
}

// "object of type 'NoneType' has no len()"
KV_COLD inline void raise_no_len(PyObject* got) {
  PyErr_Format(PyExc_TypeError, "object of type '%.200s' has no len()", Py_TYPE(got)->tp_name);
}

// "load() takes exactly 0 positional arguments (1 given)"
KV_COLD inline void raise_arg_count(const char* fname, Py_ssize_t nmin, Py_ssize_t nmax, Py_ssize_t given) {
  const char* bound;
  Py_ssize_t expected;
  if (nmin == nmax) {
    bound = "exactly";
    expected = nmin;
  } else if (given < nmin) {
    bound = "at least";
    expected = nmin;
  } else {
    bound = "at most";
    expected = nmax;
  }
  PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", fname, bound,
               expected, expected == 1 ? "" : "s", given);
}

KV_COLD inline void raise_unexpected_keyword(const char* fname, PyObject* key) {
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, key);
}

KV_COLD inline void raise_repeated_keyword(const char* fname, PyObject* key) {
  PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%U'", fname, key);
}

// Unpacking a record of the wrong length, worded as the interpreter does.
KV_COLD inline void raise_unpack_count(Py_ssize_t expected, Py_ssize_t got) {
  if (got > expected) {
    PyErr_Format(PyExc_ValueError, "too many values to unpack (expected %zd)", expected);
  } else {
    PyErr_Format(PyExc_ValueError, "need more than %zd value%.1s to unpack", got, got == 1 ? "" : "s");
  }
}

}  // namespace kv
