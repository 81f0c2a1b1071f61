// korvane.native.host_probe: what the host offers (usable CPUs, NUMA nodes,
// GPU backends, the Python runtime), probed afresh on every call.
//
// Every module a probe uses is looked up when it runs: `sys`, `os` and `time`
// as globals of this module, `subprocess`, `ctypes`, `_xxsubinterpreters` and
// the backend registry through the import system, and the four probes that
// detect_capabilities calls as attributes of this module. Replacing any of
// them therefore changes what the next call sees.

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <iterator>

#if defined(__linux__)
#include <sched.h>
#endif

#include "kv/frame.hpp"

namespace {

using kv::Ref;

kv::Name n_sys{"sys"};
kv::Name n_os{"os"};
kv::Name n_time{"time"};
kv::Name n_sched_getaffinity{"sched_getaffinity"};
kv::Name n_cpu_count{"cpu_count"};
kv::Name n_path{"path"};
kv::Name n_exists{"exists"};
kv::Name n_listdir{"listdir"};
kv::Name n_startswith{"startswith"};
kv::Name n_isdigit{"isdigit"};
kv::Name n_platform{"platform"};
kv::Name n_linux{"linux"};
kv::Name n_win32{"win32"};
kv::Name n_version_info{"version_info"};
kv::Name n_major{"major"};
kv::Name n_minor{"minor"};
kv::Name n_micro{"micro"};
kv::Name n_perf_counter{"perf_counter"};
kv::Name n_ctypes{"ctypes"};
kv::Name n_wintypes{"wintypes"};
kv::Name n_WinDLL{"WinDLL"};
kv::Name n_use_last_error{"use_last_error"};
kv::Name n_GetNumaHighestNodeNumber{"GetNumaHighestNodeNumber"};
kv::Name n_restype{"restype"};
kv::Name n_argtypes{"argtypes"};
kv::Name n_BOOL{"BOOL"};
kv::Name n_POINTER{"POINTER"};
kv::Name n_c_ulong{"c_ulong"};
kv::Name n_byref{"byref"};
kv::Name n_value{"value"};
kv::Name n_subinterpreters{"_xxsubinterpreters"};
kv::Name n_registry_module{"korvane.gpu.backend_registry"};
kv::Name n_GPUBackendRegistry{"GPUBackendRegistry"};
kv::Name n_GPUBackendKind{"GPUBackendKind"};
kv::Name n_detect_available_backends{"detect_available_backends"};
kv::Name n_get_best_available{"get_best_available"};
kv::Name n_CUDA{"CUDA"};
kv::Name n_ROCm{"ROCm"};
kv::Name n_oneAPI{"oneAPI"};
kv::Name n_info{"info"};
kv::Name n_kind{"kind"};
kv::Name n_version{"version"};
kv::Name n_device_count{"device_count"};
kv::Name n_memory_gb{"memory_gb"};
kv::Name n_subprocess{"subprocess"};
kv::Name n_run{"run"};
kv::Name n_capture_output{"capture_output"};
kv::Name n_timeout{"timeout"};
kv::Name n_check{"check"};
kv::Name n_returncode{"returncode"};
kv::Name n_stdout{"stdout"};
kv::Name n_decode{"decode"};
kv::Name n_utf8{"utf-8"};
kv::Name n_ignore{"ignore"};
kv::Name n_nvidia_smi{"nvidia-smi"};
kv::Name n_query_gpu{"--query-gpu=name"};
kv::Name n_format_csv{"--format=csv,noheader"};
kv::Name n_cpu{"cpu"};
kv::Name n_empty{""};
kv::Name n_native{"native"};
kv::Name n_native_fallback{"native_fallback"};

kv::Name n_detect_physical_cores{"detect_physical_cores"};
kv::Name n_detect_numa_nodes{"detect_numa_nodes"};
kv::Name n_detect_gpu_backends{"detect_gpu_backends"};
kv::Name n_detect_python_version{"detect_python_version"};

// Keys of the GPU information and of the capability report.
kv::Name k_physical_cores{"physical_cores"};
kv::Name k_numa_nodes{"numa_nodes"};
kv::Name k_has_gpu{"has_gpu"};
kv::Name k_gpu_count{"gpu_count"};
kv::Name k_gpu_memory_mb{"gpu_memory_mb"};
kv::Name k_cuda_available{"cuda_available"};
kv::Name k_rocm_available{"rocm_available"};
kv::Name k_oneapi_available{"oneapi_available"};
kv::Name k_active_backend{"active_backend"};
kv::Name k_backend_version{"backend_version"};
kv::Name k_python_version{"python_version"};
kv::Name k_subinterpreter_support{"subinterpreter_support"};
kv::Name k_platform{"platform"};
kv::Name k_detected_at{"detected_at"};
kv::Name k_detector{"detector"};
kv::Name k_error{"error"};
kv::Name k_detection_time_ms{"detection_time_ms"};

const kv::Name* const gpu_keys[] = {&k_has_gpu,        &k_gpu_count,        &k_gpu_memory_mb,
                                    &k_cuda_available, &k_rocm_available,   &k_oneapi_available,
                                    &k_active_backend, &k_backend_version};

// ---------------------------------------------------------------------------
// Exception handling in the manner of `except Exception:`

// Takes the pending exception when it belongs to the Exception family and
// returns it (new reference); otherwise leaves it pending and returns null.
PyObject* catch_ordinary() {
  if (!PyErr_ExceptionMatches(PyExc_Exception)) return nullptr;
  return PyErr_GetRaisedException();
}

// Marks `exc` as the exception being handled for the guard's lifetime, so
// that an exception raised by the fallback code is chained to it (its
// __context__), as inside an `except` block.
class Handling {
 public:
  explicit Handling(PyObject* exc) : saved_(PyErr_GetHandledException()) { PyErr_SetHandledException(exc); }
  Handling(const Handling&) = delete;
  Handling& operator=(const Handling&) = delete;
  ~Handling() {
    PyErr_SetHandledException(saved_);
    Py_XDECREF(saved_);
  }

 private:
  PyObject* saved_;
};

// ---------------------------------------------------------------------------
// Small helpers

inline PyObject* getattr(PyObject* o, const kv::Name& name) { return PyObject_GetAttr(o, name.get()); }

// `import <name>`, resolved through sys.modules and the import system on
// every call. New reference or null.
PyObject* import(const kv::Name& name) {
  return PyImport_ImportModuleLevelObject(name.get(), nullptr, nullptr, nullptr, 0);
}

// `from <module> import <name>` for a module already imported: the
// attribute, or else the submodule registered in sys.modules. New reference
// or null with ImportError.
PyObject* import_from(PyObject* module, const kv::Name& module_name, const kv::Name& name) {
  PyObject* value = nullptr;
  if (PyObject_GetOptionalAttr(module, name.get(), &value) != 0) return value;
  Ref full = Ref::steal(PyUnicode_FromFormat("%U.%U", module_name.get(), name.get()));
  if (!full) return nullptr;
  if (PyDict_GetItemRef(PyImport_GetModuleDict(), full.get(), &value) < 0) return nullptr;
  if (value == nullptr) {
    PyErr_Format(PyExc_ImportError, "cannot import name '%U' from '%U'", name.get(), module_name.get());
  }
  return value;
}

// `from <module_name> import <names>`, as the statement runs it: a name
// that a package lacks is imported as its submodule. Fills `out` with new
// references and returns the module (new reference), or null.
template <std::size_t N>
PyObject* import_names(const kv::Name& module_name, const kv::Name* const (&names)[N], Ref (&out)[N]) {
  Ref fromlist = Ref::steal(PyTuple_New(N));
  if (!fromlist) return nullptr;
  for (std::size_t i = 0; i < N; ++i) PyTuple_SET_ITEM(fromlist.get(), i, Py_NewRef(names[i]->get()));
  Ref module = Ref::steal(
      PyImport_ImportModuleLevelObject(module_name.get(), nullptr, nullptr, fromlist.get(), 0));
  if (!module) return nullptr;
  for (std::size_t i = 0; i < N; ++i) {
    out[i] = Ref::steal(import_from(module.get(), module_name, *names[i]));
    if (!out[i]) return nullptr;
  }
  return module.release();
}

// `x or 1`. New reference or null.
PyObject* or_one(Ref x) {
  int truth = PyObject_IsTrue(x.get());
  if (truth < 0) return nullptr;
  return truth ? x.release() : PyLong_FromLong(1);
}

// `os.cpu_count() or 1`, with `os` looked up now.
PyObject* cpu_count_or_one() {
  Ref os = Ref::steal(kv::module_global(n_os));
  if (!os) return nullptr;
  Ref count = Ref::steal(kv::call_method(os.get(), n_cpu_count));
  if (!count) return nullptr;
  return or_one(std::move(count));
}

// "<major>.<minor>" or "<major>.<minor>.<micro>" of sys.version_info.
PyObject* version_text(PyObject* version_info, bool with_micro) {
  Ref major = Ref::steal(getattr(version_info, n_major));
  if (!major) return nullptr;
  Ref minor = Ref::steal(getattr(version_info, n_minor));
  if (!minor) return nullptr;
  if (!with_micro) return PyUnicode_FromFormat("%S.%S", major.get(), minor.get());
  Ref micro = Ref::steal(getattr(version_info, n_micro));
  if (!micro) return nullptr;
  return PyUnicode_FromFormat("%S.%S.%S", major.get(), minor.get(), micro.get());
}

// time.perf_counter() as a double; -1 with an error set on failure.
double perf_counter(PyObject* time) {
  Ref now = Ref::steal(kv::call_method(time, n_perf_counter));
  if (!now) return -1.0;
  return PyFloat_AsDouble(now.get());
}

// ---------------------------------------------------------------------------
// detect_physical_cores

// Whether `fn` is the interpreter's own sched_getaffinity: a built-in made
// from that entry of the posix module's method table. Nothing installed in
// its place (a mock, a shim, a wrapper) can carry that entry, so for such an
// `fn` counting the mask natively gives exactly len(fn(0)). The entry, once
// seen, is remembered; it belongs to the interpreter, not to `os`. Threads
// that find it at once all remember the same pointer, each writing it whole.
bool is_builtin_getaffinity(PyObject* fn) {
  static const PyMethodDef* builtin = nullptr;
  if (!PyCFunction_Check(fn)) return false;
  const PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(fn)->m_ml;
  if (def == nullptr) return false;
  if (const PyMethodDef* known = kv::load_relaxed(builtin)) return def == known;
  PyObject* module = PyCFunction_GET_SELF(fn);
  PyModuleDef* module_def = module != nullptr && PyModule_Check(module) ? PyModule_GetDef(module) : nullptr;
  if (module_def == nullptr || std::strcmp(module_def->m_name, "posix") != 0) return false;
  for (const PyMethodDef* m = module_def->m_methods; m != nullptr && m->ml_name != nullptr; ++m) {
    if (m == def && std::strcmp(m->ml_name, "sched_getaffinity") == 0) {
      kv::store_relaxed(builtin, def);
      return true;
    }
  }
  return false;
}

// len(os.sched_getaffinity(0)) without the set, growing the mask as the
// interpreter does; -1 when the native call fails (the caller then makes the
// Python call, which reports the failure as it would).
Py_ssize_t affinity_count() {
#if defined(__linux__)
  cpu_set_t fixed;
  if (sched_getaffinity(0, sizeof fixed, &fixed) == 0) return CPU_COUNT(&fixed);
  if (errno != EINVAL) return -1;
  for (int ncpus = 2 * CPU_SETSIZE; ncpus > 0 && ncpus <= (1 << 24); ncpus *= 2) {
    cpu_set_t* mask = CPU_ALLOC(ncpus);
    if (mask == nullptr) return -1;
    std::size_t size = CPU_ALLOC_SIZE(ncpus);
    int rc = sched_getaffinity(0, size, mask);
    int err = errno;
    Py_ssize_t count = rc == 0 ? CPU_COUNT_S(size, mask) : -1;
    CPU_FREE(mask);
    if (rc == 0 || err != EINVAL) return count;
  }
#endif
  return -1;
}

PyObject* physical_cores_main() {
  Ref os = Ref::steal(kv::module_global(n_os));
  if (!os) return nullptr;
  PyObject* getaffinity = nullptr;
  if (PyObject_GetOptionalAttr(os.get(), n_sched_getaffinity.get(), &getaffinity) < 0) return nullptr;
  if (getaffinity != nullptr) {
    Ref fn = Ref::steal(getaffinity);
    if (is_builtin_getaffinity(fn.get())) {
      Py_ssize_t n = affinity_count();
      if (n >= 0) return PyLong_FromSsize_t(n > 1 ? n : 1);
    }
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return nullptr;
    Ref cpus = Ref::steal(kv::call(fn.get(), {zero.get()}));
    if (!cpus) return nullptr;
    Py_ssize_t n = PyObject_Size(cpus.get());
    if (n < 0) return nullptr;
    return PyLong_FromSsize_t(n > 1 ? n : 1);
  }
  Ref count = Ref::steal(kv::call_method(os.get(), n_cpu_count));
  if (!count) return nullptr;
  Ref cores = Ref::steal(or_one(std::move(count)));
  if (!cores) return nullptr;
  // max(cores, 1)
  Ref one = Ref::steal(PyLong_FromLong(1));
  if (!one) return nullptr;
  int one_larger = PyObject_RichCompareBool(one.get(), cores.get(), Py_GT);
  if (one_larger < 0) return nullptr;
  return one_larger ? one.release() : cores.release();
}

PyObject* detect_physical_cores(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("detect_physical_cores", nargs, kwnames)) return nullptr;
  PyObject* cores = physical_cores_main();
  if (cores != nullptr) return cores;
  Ref exc = Ref::steal(catch_ordinary());
  if (!exc) return nullptr;
  Handling handling(exc.get());
  return cpu_count_or_one();
}

// ---------------------------------------------------------------------------
// detect_numa_nodes

// Whether a directory entry names a NUMA node: "node" followed by one or
// more digits (str.isdigit). -1 with an error set.
int is_node_entry(PyObject* entry) {
  if (PyUnicode_CheckExact(entry)) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(entry);
    if (n <= 4) return 0;
    int kind = PyUnicode_KIND(entry);
    const void* data = PyUnicode_DATA(entry);
    static constexpr Py_UCS4 prefix[4] = {'n', 'o', 'd', 'e'};
    for (Py_ssize_t i = 0; i < 4; ++i) {
      if (PyUnicode_READ(kind, data, i) != prefix[i]) return 0;
    }
    for (Py_ssize_t i = 4; i < n; ++i) {
      if (!Py_UNICODE_ISDIGIT(PyUnicode_READ(kind, data, i))) return 0;
    }
    return 1;
  }
  // Any other object answers through its own methods, as in
  // `entry.startswith("node") and entry[4:].isdigit()`.
  Ref prefix = Ref::steal(PyUnicode_FromString("node"));
  if (!prefix) return -1;
  Ref starts = Ref::steal(kv::call_method(entry, n_startswith, {prefix.get()}));
  if (!starts) return -1;
  int truth = PyObject_IsTrue(starts.get());
  if (truth <= 0) return truth;
  Ref rest = Ref::steal(PySequence_GetSlice(entry, 4, PY_SSIZE_T_MAX));
  if (!rest) return -1;
  Ref digits = Ref::steal(kv::call_method(rest.get(), n_isdigit));
  if (!digits) return -1;
  return PyObject_IsTrue(digits.get());
}

// The node count from sysfs: 1 when the directory is missing or lists no node.
PyObject* numa_nodes_linux(PyObject* os) {
  Ref dir = Ref::steal(PyUnicode_FromString("/sys/devices/system/node"));
  if (!dir) return nullptr;
  Ref path = Ref::steal(getattr(os, n_path));
  if (!path) return nullptr;
  Ref exists = Ref::steal(kv::call_method(path.get(), n_exists, {dir.get()}));
  if (!exists) return nullptr;
  int truth = PyObject_IsTrue(exists.get());
  if (truth < 0) return nullptr;
  if (!truth) return PyLong_FromLong(1);
  Ref entries = Ref::steal(kv::call_method(os, n_listdir, {dir.get()}));
  if (!entries) return nullptr;
  Ref it = Ref::steal(PyObject_GetIter(entries.get()));
  if (!it) return nullptr;
  Py_ssize_t nodes = 0;
  while (PyObject* item = PyIter_Next(it.get())) {
    Ref entry = Ref::steal(item);
    int is_node = is_node_entry(entry.get());
    if (is_node < 0) return nullptr;
    nodes += is_node;
  }
  if (PyErr_Occurred()) return nullptr;
  return PyLong_FromSsize_t(nodes > 0 ? nodes : 1);
}

// The node count from kernel32's GetNumaHighestNodeNumber; 1 when the call fails.
PyObject* numa_nodes_windows() {
  // import ctypes; from ctypes import wintypes
  static const kv::Name* const names[] = {&n_wintypes};
  Ref imported[1];
  Ref ctypes = Ref::steal(import_names(n_ctypes, names, imported));
  if (!ctypes) return nullptr;
  PyObject* wintypes = imported[0].get();
  Ref windll = Ref::steal(getattr(ctypes.get(), n_WinDLL));
  if (!windll) return nullptr;
  Ref dll_name = Ref::steal(PyUnicode_FromString("kernel32"));
  Ref kwnames = Ref::steal(PyTuple_Pack(1, n_use_last_error.get()));
  if (!dll_name || !kwnames) return nullptr;
  PyObject* dll_args[] = {nullptr, dll_name.get(), Py_True};
  Ref kernel32 = Ref::steal(
      PyObject_Vectorcall(windll.get(), dll_args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
  if (!kernel32) return nullptr;
  Ref fn = Ref::steal(getattr(kernel32.get(), n_GetNumaHighestNodeNumber));
  if (!fn) return nullptr;
  Ref bool_type = Ref::steal(getattr(wintypes, n_BOOL));
  if (!bool_type || PyObject_SetAttr(fn.get(), n_restype.get(), bool_type.get()) < 0) return nullptr;
  Ref c_ulong = Ref::steal(getattr(ctypes.get(), n_c_ulong));
  if (!c_ulong) return nullptr;
  Ref pointer_type = Ref::steal(kv::call_method(ctypes.get(), n_POINTER, {c_ulong.get()}));
  if (!pointer_type) return nullptr;
  PyObject* argtype = pointer_type.release();
  Ref argtypes = Ref::steal(kv::new_list(&argtype, 1));
  if (!argtypes) return nullptr;
  if (PyObject_SetAttr(fn.get(), n_argtypes.get(), argtypes.get()) < 0) return nullptr;
  Ref highest = Ref::steal(kv::call(c_ulong.get(), {}));
  if (!highest) return nullptr;
  Ref ref = Ref::steal(kv::call_method(ctypes.get(), n_byref, {highest.get()}));
  if (!ref) return nullptr;
  Ref ok = Ref::steal(kv::call(fn.get(), {ref.get()}));
  if (!ok) return nullptr;
  int truth = PyObject_IsTrue(ok.get());
  if (truth < 0) return nullptr;
  if (!truth) return PyLong_FromLong(1);
  Ref value = Ref::steal(getattr(highest.get(), n_value));
  if (!value) return nullptr;
  Ref one = Ref::steal(PyLong_FromLong(1));
  if (!one) return nullptr;
  return PyNumber_Add(value.get(), one.get());
}

PyObject* numa_nodes_main() {
  Ref sys = Ref::steal(kv::module_global(n_sys));
  if (!sys) return nullptr;
  Ref platform = Ref::steal(getattr(sys.get(), n_platform));
  if (!platform) return nullptr;
  int is_linux = PyObject_RichCompareBool(platform.get(), n_linux.get(), Py_EQ);
  if (is_linux < 0) return nullptr;
  if (is_linux) {
    Ref os = Ref::steal(kv::module_global(n_os));
    if (!os) return nullptr;
    return numa_nodes_linux(os.get());
  }
  int windows = PyObject_RichCompareBool(platform.get(), n_win32.get(), Py_EQ);
  if (windows < 0) return nullptr;
  if (windows) return numa_nodes_windows();
  return PyLong_FromLong(1);
}

PyObject* detect_numa_nodes(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("detect_numa_nodes", nargs, kwnames)) return nullptr;
  PyObject* nodes = numa_nodes_main();
  if (nodes != nullptr) return nodes;
  Ref exc = Ref::steal(catch_ordinary());
  if (!exc) return nullptr;
  return PyLong_FromLong(1);
}

// ---------------------------------------------------------------------------
// detect_gpu_backends

// A new GPU information dictionary holding the initial values.
PyObject* initial_gpu_info() {
  Ref info = Ref::steal(PyDict_New());
  Ref zero = Ref::steal(PyLong_FromLong(0));
  if (!info || !zero) return nullptr;
  PyObject* values[] = {Py_False, zero.get(), zero.get(), Py_False, Py_False, Py_False, n_cpu.get(), n_empty.get()};
  for (std::size_t i = 0; i < std::size(gpu_keys); ++i) {
    if (PyDict_SetItem(info.get(), gpu_keys[i]->get(), values[i]) < 0) return nullptr;
  }
  return info.release();
}

// Sets info[key] = (kind in backends); false with an error set.
bool set_membership(PyObject* info, const kv::Name& key, PyObject* kind_enum, const kv::Name& member,
                    PyObject* backends) {
  Ref kind = Ref::steal(getattr(kind_enum, member));
  if (!kind) return false;
  int contained = PySequence_Contains(backends, kind.get());
  if (contained < 0) return false;
  return PyDict_SetItem(info, key.get(), contained ? Py_True : Py_False) == 0;
}

// The registry path; fills `info` as far as it gets. False with an error set.
bool gpu_from_registry(PyObject* info) {
  static const kv::Name* const wanted[] = {&n_GPUBackendRegistry, &n_GPUBackendKind};
  Ref names[2];
  if (!Ref::steal(import_names(n_registry_module, wanted, names))) return false;
  PyObject* registry = names[0].get();
  PyObject* kinds = names[1].get();
  Ref backends = Ref::steal(kv::call_method(registry, n_detect_available_backends));
  if (!backends) return false;
  if (!set_membership(info, k_cuda_available, kinds, n_CUDA, backends.get()) ||
      !set_membership(info, k_rocm_available, kinds, n_ROCm, backends.get()) ||
      !set_membership(info, k_oneapi_available, kinds, n_oneAPI, backends.get())) {
    return false;
  }
  Ref best = Ref::steal(kv::call_method(registry, n_get_best_available));
  if (!best) return false;
  Ref best_info = Ref::steal(getattr(best.get(), n_info));
  if (!best_info) return false;
  Ref kind = Ref::steal(getattr(best_info.get(), n_kind));
  if (!kind) return false;
  Ref kind_value = Ref::steal(getattr(kind.get(), n_value));
  if (!kind_value || PyDict_SetItem(info, k_active_backend.get(), kind_value.get()) < 0) return false;
  Ref version = Ref::steal(getattr(best_info.get(), n_version));
  if (!version || PyDict_SetItem(info, k_backend_version.get(), version.get()) < 0) return false;
  Ref has_gpu = Ref::steal(PyObject_RichCompare(kind_value.get(), n_cpu.get(), Py_NE));
  if (!has_gpu || PyDict_SetItem(info, k_has_gpu.get(), has_gpu.get()) < 0) return false;
  int truth = PyObject_IsTrue(has_gpu.get());
  if (truth <= 0) return truth == 0;
  int listed = PySequence_Contains(backends.get(), kind.get());
  if (listed <= 0) return listed == 0;
  Ref b = Ref::steal(PyObject_GetItem(backends.get(), kind.get()));
  if (!b) return false;
  Ref count = Ref::steal(getattr(b.get(), n_device_count));
  if (!count || PyDict_SetItem(info, k_gpu_count.get(), count.get()) < 0) return false;
  Ref memory_gb = Ref::steal(getattr(b.get(), n_memory_gb));
  if (!memory_gb) return false;
  Ref per_gb = Ref::steal(PyLong_FromLong(1024));
  if (!per_gb) return false;
  Ref memory = Ref::steal(PyNumber_Multiply(memory_gb.get(), per_gb.get()));
  if (!memory) return false;
  Ref memory_mb = Ref::steal(PyNumber_Long(memory.get()));
  return memory_mb && PyDict_SetItem(info, k_gpu_memory_mb.get(), memory_mb.get()) == 0;
}

// The number of "\n"-separated lines of `text` holding a non-whitespace character.
Py_ssize_t count_named_lines(PyObject* text) {
  Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  int kind = PyUnicode_KIND(text);
  const void* data = PyUnicode_DATA(text);
  Py_ssize_t count = 0;
  bool named = false;
  for (Py_ssize_t i = 0; i < n; ++i) {
    Py_UCS4 c = PyUnicode_READ(kind, data, i);
    if (c == '\n') {
      count += named;
      named = false;
    } else if (!Py_UNICODE_ISSPACE(c)) {
      named = true;
    }
  }
  return count + named;
}

// The nvidia-smi path: has_gpu and gpu_count from the list of GPU names the
// tool prints. False with an error set.
bool gpu_from_tool(PyObject* info) {
  Ref subprocess = Ref::steal(import(n_subprocess));
  if (!subprocess) return false;
  Ref run = Ref::steal(getattr(subprocess.get(), n_run));
  if (!run) return false;
  PyObject* command[] = {Py_NewRef(n_nvidia_smi.get()), Py_NewRef(n_query_gpu.get()), Py_NewRef(n_format_csv.get())};
  Ref argv = Ref::steal(kv::new_list(command, 3));
  if (!argv) return false;
  Ref timeout = Ref::steal(PyFloat_FromDouble(0.5));
  Ref kwnames = Ref::steal(PyTuple_Pack(3, n_capture_output.get(), n_timeout.get(), n_check.get()));
  if (!timeout || !kwnames) return false;
  PyObject* args[] = {nullptr, argv.get(), Py_True, timeout.get(), Py_False};
  Ref result = Ref::steal(
      PyObject_Vectorcall(run.get(), args + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, kwnames.get()));
  if (!result) return false;
  Ref returncode = Ref::steal(getattr(result.get(), n_returncode));
  if (!returncode) return false;
  Ref zero = Ref::steal(PyLong_FromLong(0));
  if (!zero) return false;
  int succeeded = PyObject_RichCompareBool(returncode.get(), zero.get(), Py_EQ);
  if (succeeded <= 0) return succeeded == 0;
  Ref out = Ref::steal(getattr(result.get(), n_stdout));
  if (!out) return false;
  int printed = PyObject_IsTrue(out.get());
  if (printed <= 0) return printed == 0;
  Ref text;
  if (PyBytes_CheckExact(out.get())) {
    text = Ref::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(out.get()), PyBytes_GET_SIZE(out.get()), "ignore"));
  } else {
    text = Ref::steal(kv::call_method(out.get(), n_decode, {n_utf8.get(), n_ignore.get()}));
  }
  if (!text) return false;
  if (!PyUnicode_Check(text.get())) {
    kv::raise_expected("str", text.get());
    return false;
  }
  // Output holding no GPU name (blank lines, or nothing left after dropping
  // undecodable bytes) reports no GPU rather than a GPU count of 0.
  Py_ssize_t count = count_named_lines(text.get());
  if (count == 0) return true;
  Ref gpu_count = Ref::steal(PyLong_FromSsize_t(count));
  return gpu_count && PyDict_SetItem(info, k_has_gpu.get(), Py_True) == 0 &&
         PyDict_SetItem(info, k_gpu_count.get(), gpu_count.get()) == 0;
}

PyObject* detect_gpu_backends(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("detect_gpu_backends", nargs, kwnames)) return nullptr;
  Ref info = Ref::steal(initial_gpu_info());
  if (!info) return nullptr;
  if (gpu_from_registry(info.get())) return info.release();
  Ref exc = Ref::steal(catch_ordinary());
  if (!exc) return nullptr;
  Handling handling(exc.get());
  if (!gpu_from_tool(info.get())) {
    Ref tool_exc = Ref::steal(catch_ordinary());
    if (!tool_exc) return nullptr;
  }
  return info.release();
}

// ---------------------------------------------------------------------------
// detect_python_version

PyObject* detect_python_version(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("detect_python_version", nargs, kwnames)) return nullptr;
  Ref sys = Ref::steal(kv::module_global(n_sys));
  if (!sys) return nullptr;
  Ref version_info = Ref::steal(getattr(sys.get(), n_version_info));
  if (!version_info) return nullptr;
  Ref version = Ref::steal(version_text(version_info.get(), true));
  if (!version) return nullptr;
  bool has_subinterpreters = false;
  Ref since = Ref::steal(Py_BuildValue("(ii)", 3, 12));
  if (!since) return nullptr;
  int recent = PyObject_RichCompareBool(version_info.get(), since.get(), Py_GE);
  if (recent < 0) return nullptr;
  if (recent) {
    Ref module = Ref::steal(import(n_subinterpreters));
    if (module) {
      has_subinterpreters = true;
    } else if (PyErr_ExceptionMatches(PyExc_ImportError)) {
      PyErr_Clear();
    } else {
      return nullptr;
    }
  }
  return PyTuple_Pack(2, version.get(), has_subinterpreters ? Py_True : Py_False);
}

// ---------------------------------------------------------------------------
// detect_capabilities

// Calls the probe bound to `name` in this module now. New reference or null.
PyObject* call_probe(const kv::Name& name) {
  Ref probe = Ref::steal(kv::module_global(name));
  if (!probe) return nullptr;
  return kv::call(probe.get(), {});
}

bool set_probe(PyObject* caps, const kv::Name& key, const kv::Name& probe) {
  Ref value = Ref::steal(call_probe(probe));
  return value && PyDict_SetItem(caps, key.get(), value.get()) == 0;
}

// Unpacks exactly two values from `pair` into `out`; false with the
// interpreter's unpacking error set. A list is read in its critical section:
// on the free-threaded build another thread may change it meanwhile.
bool unpack_two(PyObject* pair, Ref (&out)[2]) {
  if (PyTuple_CheckExact(pair) || PyList_CheckExact(pair)) {
    kv::CriticalSection section(pair);
    Py_ssize_t n = PySequence_Fast_GET_SIZE(pair);
    if (n != 2) {
      kv::raise_unpack_count(2, n);
      return false;
    }
    out[0] = Ref::borrow(PySequence_Fast_GET_ITEM(pair, 0));
    out[1] = Ref::borrow(PySequence_Fast_GET_ITEM(pair, 1));
    return true;
  }
  Ref it = Ref::steal(PyObject_GetIter(pair));
  if (!it) return false;
  for (Py_ssize_t i = 0; i < 2; ++i) {
    out[i] = Ref::steal(PyIter_Next(it.get()));
    if (!out[i]) {
      if (!PyErr_Occurred()) kv::raise_unpack_count(2, i);
      return false;
    }
  }
  Ref extra = Ref::steal(PyIter_Next(it.get()));
  if (extra) {
    kv::raise_unpack_count(2, 3);
    return false;
  }
  return !PyErr_Occurred();
}

// The report of the main path; null with an error set.
PyObject* capabilities_main(PyObject* time, double start) {
  Ref caps = Ref::steal(PyDict_New());
  if (!caps) return nullptr;
  if (!set_probe(caps.get(), k_physical_cores, n_detect_physical_cores) ||
      !set_probe(caps.get(), k_numa_nodes, n_detect_numa_nodes)) {
    return nullptr;
  }
  Ref gpu = Ref::steal(call_probe(n_detect_gpu_backends));
  if (!gpu) return nullptr;
  for (const kv::Name* key : gpu_keys) {
    Ref value = Ref::steal(PyObject_GetItem(gpu.get(), key->get()));
    if (!value || PyDict_SetItem(caps.get(), key->get(), value.get()) < 0) return nullptr;
  }
  Ref version = Ref::steal(call_probe(n_detect_python_version));
  if (!version) return nullptr;
  Ref parts[2];
  if (!unpack_two(version.get(), parts) || PyDict_SetItem(caps.get(), k_python_version.get(), parts[0].get()) < 0 ||
      PyDict_SetItem(caps.get(), k_subinterpreter_support.get(), parts[1].get()) < 0) {
    return nullptr;
  }
  Ref sys = Ref::steal(kv::module_global(n_sys));
  if (!sys) return nullptr;
  Ref platform = Ref::steal(getattr(sys.get(), n_platform));
  if (!platform || PyDict_SetItem(caps.get(), k_platform.get(), platform.get()) < 0) return nullptr;
  Ref now = Ref::steal(kv::call_method(time, n_time));
  if (!now || PyDict_SetItem(caps.get(), k_detected_at.get(), now.get()) < 0) return nullptr;
  if (PyDict_SetItem(caps.get(), k_detector.get(), n_native.get()) < 0) return nullptr;
  double end = perf_counter(time);
  if (end == -1.0 && PyErr_Occurred()) return nullptr;
  Ref elapsed = Ref::steal(PyFloat_FromDouble((end - start) * 1000.0));
  if (!elapsed || PyDict_SetItem(caps.get(), k_detection_time_ms.get(), elapsed.get()) < 0) return nullptr;
  return caps.release();
}

// The fixed report used when the main path failed with `exc`.
PyObject* capabilities_fallback(PyObject* time, double start, PyObject* exc) {
  Ref report = Ref::steal(PyDict_New());
  if (!report) return nullptr;
  Ref cores = Ref::steal(cpu_count_or_one());
  if (!cores || PyDict_SetItem(report.get(), k_physical_cores.get(), cores.get()) < 0) return nullptr;
  Ref one = Ref::steal(PyLong_FromLong(1));
  if (!one || PyDict_SetItem(report.get(), k_numa_nodes.get(), one.get()) < 0) return nullptr;
  Ref gpu = Ref::steal(initial_gpu_info());
  if (!gpu) return nullptr;
  for (const kv::Name* key : gpu_keys) {
    if (PyDict_SetItem(report.get(), key->get(), PyDict_GetItemWithError(gpu.get(), key->get())) < 0) {
      return nullptr;
    }
  }
  Ref sys = Ref::steal(kv::module_global(n_sys));
  if (!sys) return nullptr;
  Ref version_info = Ref::steal(getattr(sys.get(), n_version_info));
  if (!version_info) return nullptr;
  Ref version = Ref::steal(version_text(version_info.get(), false));
  if (!version || PyDict_SetItem(report.get(), k_python_version.get(), version.get()) < 0 ||
      PyDict_SetItem(report.get(), k_subinterpreter_support.get(), Py_False) < 0) {
    return nullptr;
  }
  Ref platform = Ref::steal(getattr(sys.get(), n_platform));
  if (!platform || PyDict_SetItem(report.get(), k_platform.get(), platform.get()) < 0) return nullptr;
  Ref now = Ref::steal(kv::call_method(time, n_time));
  if (!now || PyDict_SetItem(report.get(), k_detected_at.get(), now.get()) < 0) return nullptr;
  if (PyDict_SetItem(report.get(), k_detector.get(), n_native_fallback.get()) < 0) return nullptr;
  Ref text = Ref::steal(PyObject_Str(exc));
  if (!text || PyDict_SetItem(report.get(), k_error.get(), text.get()) < 0) return nullptr;
  double end = perf_counter(time);
  if (end == -1.0 && PyErr_Occurred()) return nullptr;
  Ref elapsed = Ref::steal(PyFloat_FromDouble((end - start) * 1000.0));
  if (!elapsed || PyDict_SetItem(report.get(), k_detection_time_ms.get(), elapsed.get()) < 0) return nullptr;
  return report.release();
}

PyObject* detect_capabilities(PyObject*, PyObject* const*, Py_ssize_t nargs, PyObject* kwnames) {
  if (!kv::no_args("detect_capabilities", nargs, kwnames)) return nullptr;
  Ref time = Ref::steal(kv::module_global(n_time));
  if (!time) return nullptr;
  double start = perf_counter(time.get());
  if (start == -1.0 && PyErr_Occurred()) return nullptr;
  PyObject* caps = capabilities_main(time.get(), start);
  if (caps != nullptr) return caps;
  Ref exc = Ref::steal(catch_ordinary());
  if (!exc) return nullptr;
  Handling handling(exc.get());
  // `time` is looked up again: the main path may have been stopped by a probe
  // that rebound it.
  time = Ref::steal(kv::module_global(n_time));
  if (!time) return nullptr;
  return capabilities_fallback(time.get(), start, exc.get());
}

// ---------------------------------------------------------------------------
// Module

const kv::FunctionDef functions[] = {
    {"detect_physical_cores", detect_physical_cores,
     "Number of logical CPUs this process may run on (at least 1).\n\n"
     "The CPU affinity set where the platform has one, otherwise os.cpu_count();\n"
     "os.cpu_count() or 1 when the probe fails.",
     "()", {{"return", "int"}}},
    {"detect_numa_nodes", detect_numa_nodes,
     "Number of NUMA nodes (at least 1).\n\n"
     "Counted from /sys/devices/system/node on Linux and asked of kernel32 on\n"
     "Windows; 1 on other platforms and whenever the probe fails.",
     "()", {{"return", "int"}}},
    {"detect_gpu_backends", detect_gpu_backends,
     "GPU backends of the host as a new dict.\n\n"
     "Keys: has_gpu, gpu_count, gpu_memory_mb, cuda_available, rocm_available,\n"
     "oneapi_available, active_backend, backend_version. Asks\n"
     "korvane.gpu.backend_registry first and, when that fails, counts the GPUs\n"
     "nvidia-smi lists.",
     "()", {{"return", "dict"}}},
    {"detect_python_version", detect_python_version,
     "(version, sub-interpreter support) of the running interpreter, e.g. ('3.13.1', False).",
     "()", {{"return", "tuple"}}},
    {"detect_capabilities", detect_capabilities,
     "The host's capability report as a new dict.\n\n"
     "Gathers the four other probes; if any of them fails, returns a fixed\n"
     "conservative report whose 'detector' is 'native_fallback' and whose\n"
     "'error' holds the failure's text.",
     "()", {{"return", "dict"}}},
};

int exec_module(PyObject* m) {
  if (!kv::import_module_as(m, "sys") || !kv::import_module_as(m, "os") || !kv::import_module_as(m, "time")) {
    return -1;
  }
  return kv::add_functions(m, functions) ? 0 : -1;
}

}  // namespace

KV_MODULE(host_probe, "korvane.native.host_probe",
          "Host capability detection: usable CPUs, NUMA nodes, GPU backends and the\n"
          "Python runtime, gathered into one report by detect_capabilities().\n\n"
          "Nothing is detected at import and nothing is cached: every call probes\n"
          "the host afresh.",
          exec_module)
