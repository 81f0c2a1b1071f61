// Argument parsing for vectorcall entry points.
//
// A callable declares its parameters once:
//
//     static kv::Params<2> cas_params{"compare_and_swap", {"expected", "new_value"}, 2};
//
// and parses with `kv::parse(cas_params, args, nargs, kwnames, out)`, which
// fills `out` with borrowed references (null for an optional parameter that
// was not given). Positional-only calls with a valid count take the inline
// fast path; everything else goes through one out-of-line routine that
// reports errors with the package's standard messages.
#pragma once

#include <array>
#include <cstddef>

#include "errors.hpp"

namespace kv {

template <std::size_t N>
struct Params {
  const char* fname;
  std::array<const char*, N> names;
  Py_ssize_t nrequired;
  std::array<PyObject*, N> interned{};  // filled on the first call with keywords
};

namespace detail {

[[gnu::noinline]] inline bool parse_slow(const char* fname, const char* const* names, PyObject** interned,
                                         Py_ssize_t nmin, Py_ssize_t nmax, PyObject* const* args,
                                         Py_ssize_t nargs, PyObject* kwnames, PyObject** out) {
  if (nargs > nmax) {
    raise_arg_count(fname, nmin, nmax, nargs);
    return false;
  }
  Py_ssize_t nkw = kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t i = 0; i < nmax; ++i) {
    out[i] = i < nargs ? args[i] : nullptr;
    if (nkw > 0 && interned[i] == nullptr) {
      interned[i] = PyUnicode_InternFromString(names[i]);
      if (interned[i] == nullptr) return false;
    }
  }
  PyObject* const* kwvalues = args + nargs;
  // Index of the parameter a keyword names, or -1.
  auto param_of = [&](PyObject* key) -> Py_ssize_t {
    for (Py_ssize_t i = 0; i < nmax; ++i) {
      if (interned[i] == key) return i;
    }
    for (Py_ssize_t i = 0; i < nmax; ++i) {
      if (PyUnicode_Check(key) && PyUnicode_Compare(key, interned[i]) == 0) return i;
    }
    return -1;
  };
  Py_ssize_t used = 0;
  for (Py_ssize_t i = nargs; i < nmax; ++i) {
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      if (param_of(PyTuple_GET_ITEM(kwnames, k)) == i) {
        out[i] = kwvalues[k];
        ++used;
        break;
      }
    }
    if (out[i] == nullptr && i < nmin) {
      raise_arg_count(fname, nmin, nmax, i);
      return false;
    }
  }
  if (used < nkw) {
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GET_ITEM(kwnames, k);
      Py_ssize_t i = param_of(key);
      if (i < 0) {
        raise_unexpected_keyword(fname, key);
        return false;
      }
      if (i < nargs) {
        raise_repeated_keyword(fname, key);
        return false;
      }
    }
  }
  return true;
}

}  // namespace detail

// Fills `out` from a vectorcall argument vector; false with an error set.
template <std::size_t N>
[[gnu::always_inline]] inline bool parse(Params<N>& p, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                                         PyObject* (&out)[N]) {
  if (kwnames == nullptr && nargs >= p.nrequired && nargs <= static_cast<Py_ssize_t>(N)) {
    for (std::size_t i = 0; i < N; ++i) out[i] = static_cast<Py_ssize_t>(i) < nargs ? args[i] : nullptr;
    return true;
  }
  return detail::parse_slow(p.fname, p.names.data(), p.interned.data(), p.nrequired, N, args, nargs, kwnames, out);
}

// For callables without parameters: no positional and no keyword arguments.
[[gnu::always_inline]] inline bool no_args(const char* fname, Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs == 0 && (kwnames == nullptr || PyTuple_GET_SIZE(kwnames) == 0)) [[likely]] {
    return true;
  }
  if (nargs != 0) {
    raise_arg_count(fname, 0, 0, nargs);
  } else {
    raise_unexpected_keyword(fname, PyTuple_GET_ITEM(kwnames, 0));
  }
  return false;
}

// Turns a tuple and a keyword dict (the tp_new / tp_call convention) into a
// vectorcall argument vector. The vector borrows from `args` and `kwds`,
// which must outlive it.
class VectorArgs {
 public:
  VectorArgs() = default;
  VectorArgs(const VectorArgs&) = delete;
  VectorArgs& operator=(const VectorArgs&) = delete;
  ~VectorArgs() {
    if (heap_ != nullptr) PyMem_Free(heap_);
  }

  // False with an error set.
  bool init(PyObject* args, PyObject* kwds) {
    nargs_ = PyTuple_GET_SIZE(args);
    Py_ssize_t nkw = kwds != nullptr ? PyDict_GET_SIZE(kwds) : 0;
    Py_ssize_t total = nargs_ + nkw;
    PyObject** vec = stack_;
    if (total > static_cast<Py_ssize_t>(kStack)) {
      heap_ = static_cast<PyObject**>(PyMem_Malloc(sizeof(PyObject*) * static_cast<std::size_t>(total)));
      if (heap_ == nullptr) {
        PyErr_NoMemory();
        return false;
      }
      vec = heap_;
    }
    for (Py_ssize_t i = 0; i < nargs_; ++i) vec[i] = PyTuple_GET_ITEM(args, i);
    if (nkw > 0) {
      kwnames_ = Ref::steal(PyTuple_New(nkw));
      if (!kwnames_) return false;
      Py_ssize_t pos = 0, k = 0;
      PyObject *key, *value;
      while (PyDict_Next(kwds, &pos, &key, &value)) {
        PyTuple_SET_ITEM(kwnames_.get(), k, Py_NewRef(key));
        vec[nargs_ + k] = value;
        ++k;
      }
    }
    vec_ = vec;
    return true;
  }
  PyObject* const* args() const { return vec_; }
  Py_ssize_t nargs() const { return nargs_; }
  PyObject* kwnames() const { return kwnames_.get(); }

 private:
  static constexpr std::size_t kStack = 8;
  PyObject* stack_[kStack];
  PyObject** heap_ = nullptr;
  PyObject** vec_ = stack_;
  Py_ssize_t nargs_ = 0;
  Ref kwnames_;
};

}  // namespace kv
