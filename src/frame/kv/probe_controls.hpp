// The Python controls of the probes (see probes.hpp).
#pragma once

#include <cstdlib>

#include "args.hpp"
#include "convert.hpp"
#include "function.hpp"
#include "probes.hpp"
#include "refs.hpp"

namespace kv::probes {

#ifdef Py_GIL_DISABLED

namespace detail {

// The point named by a str argument; -1 with ValueError set.
inline int point_of(PyObject* name) {
  for (unsigned p = 0; p < kMaxPoints && point_names != nullptr && point_names[p] != nullptr; ++p) {
    if (PyUnicode_Check(name) && PyUnicode_CompareWithASCIIString(name, point_names[p]) == 0) {
      return static_cast<int>(p);
    }
  }
  PyErr_Format(PyExc_ValueError, "no probe named %R", name);
  return -1;
}

inline Params<3> park_params{"park", {"point", "thread", "after"}, 2};
inline Params<2> wait_params{"wait", {"point", "timeout"}, 2};
inline Params<1> release_params{"release", {"point"}, 1};
inline Params<1> arrivals_params{"arrivals", {"point"}, 1};

// The point of a control's first argument after parsing its arguments into
// `a`; -1 with an error set.
template <std::size_t N>
inline int parsed_point(Params<N>& params, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                        PyObject* (&a)[N]) {
  return parse(params, args, nargs, kwnames, a) ? point_of(a[0]) : -1;
}

inline PyObject* park(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  int p = parsed_point(park_params, args, nargs, kwnames, a);
  uint64_t thread;
  int64_t after = 0;
  if (p < 0 || !to_u64(a[1], &thread) || (a[2] != nullptr && !to_i64(a[2], &after))) return nullptr;
  Probe& probe = table[p];
  probe.after.store(static_cast<int>(after), std::memory_order_relaxed);
  probe.arrivals.store(0, std::memory_order_relaxed);
  probe.released.store(false, std::memory_order_relaxed);
  probe.thread.store(static_cast<unsigned long>(thread), std::memory_order_release);
  armed.fetch_or(1u << p, std::memory_order_acq_rel);
  Py_RETURN_NONE;
}

inline PyObject* wait(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  int p = parsed_point(wait_params, args, nargs, kwnames, a);
  double timeout;
  if (p < 0 || !to_double(a[1], &timeout)) return nullptr;
  bool parked = false;
  Py_BEGIN_ALLOW_THREADS
  for (double waited = 0; !(parked = table[p].parked.load(std::memory_order_acquire)) && waited < timeout;
       waited += 0.0002) {
    pause();
  }
  Py_END_ALLOW_THREADS
  return PyBool_FromLong(parked);
}

inline PyObject* release(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  int p = parsed_point(release_params, args, nargs, kwnames, a);
  if (p < 0) return nullptr;
  table[p].released.store(true, std::memory_order_release);
  Py_RETURN_NONE;
}

inline PyObject* arrivals(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  int p = parsed_point(arrivals_params, args, nargs, kwnames, a);
  if (p < 0) return nullptr;
  return PyLong_FromLong(table[p].arrivals.load(std::memory_order_acquire));
}

inline const FunctionDef controls[] = {
    {"park", park, "Parks the arrival of `thread` at `point` that follows `after` others, until release(point).",
     "(point, thread, after=0)"},
    {"wait", wait, "True once the armed thread is parked at `point` (within `timeout` seconds).",
     "(point, timeout)"},
    {"release", release, "Lets the thread parked at `point` go on; it no longer parks there.", "(point)"},
    {"arrivals", arrivals, "How many times the armed thread passed `point` since park().", "(point)"},
};

}  // namespace detail

inline const char* const frame_points[] = {"section_end", "synchronize", nullptr};

// Publishes the controls of `module` when KORVANE_PROBES is set; `names`
// lists every point (the frame's two first), null-terminated, and `extra`
// adds module-specific controls. False with an error set.
inline bool publish(PyObject* module, const char* const* names = frame_points, const FunctionDef* extra = nullptr,
                    std::size_t n_extra = 0) {
  const char* flag = std::getenv("KORVANE_PROBES");
  if (flag == nullptr || *flag == '\0') return true;
  detail::point_names = names;
  const char* dotted = PyModule_GetName(module);
  if (dotted == nullptr) return false;
  Ref name = Ref::steal(PyUnicode_FromFormat("%s._probes", dotted));
  if (!name) return false;
  Ref controls = Ref::steal(PyModule_NewObject(name.get()));
  if (!controls || !add_functions(controls.get(), detail::controls) ||
      (n_extra > 0 && !add_functions(controls.get(), extra, n_extra))) {
    return false;
  }
  return PyDict_SetItem(PyImport_GetModuleDict(), name.get(), controls.get()) == 0;
}

#else

inline bool publish(PyObject*, const char* const* = nullptr, const FunctionDef* = nullptr, std::size_t = 0) {
  return true;
}

#endif

}  // namespace kv::probes
