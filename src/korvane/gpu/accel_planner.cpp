// korvane.gpu.accel_planner: GPU allocation sizing, chunking, out-of-memory
// classification and memory-pressure figures, as stateless functions.

#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <string_view>

#include "kv/frame.hpp"

namespace {

using kv::Ref;

constexpr uint64_t kClamp = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
constexpr int32_t kMaxRows = std::numeric_limits<int32_t>::max();

kv::Name n_lower{"lower"};

// Built at import and shared by every call.
PyObject* decision_fits = nullptr;
PyObject* decision_no_memory = nullptr;
PyObject* decision_not_chunkable = nullptr;
PyObject* chunkable_operations = nullptr;
PyObject* non_chunkable_operations = nullptr;

// ---------------------------------------------------------------------------
// Shared rules

// Usable bytes of `available` after keeping `ratio` of it free. The ratio is
// clamped to [0, 0.99] (NaN counts as 0.99); the product is truncated toward
// zero, saturates instead of leaving the uint64 range, and never exceeds
// `available` even where the double rounds up.
uint64_t safe_limit(uint64_t available, double ratio) {
  if (ratio < 0.0) {
    ratio = 0.0;
  } else if (!(ratio <= 0.99)) {
    ratio = 0.99;
  }
  uint64_t safe = kv::saturate_cast<uint64_t>((1.0 - ratio) * static_cast<double>(available));
  return safe < available ? safe : available;
}

// ceil(a / b) for b > 0, exact.
inline uint64_t ceil_div(uint64_t a, uint64_t b) { return a / b + (a % b != 0 ? 1 : 0); }

// ---------------------------------------------------------------------------
// Allocation planning

kv::Params<3> estimate_params{"estimate_allocation_bytes", {"shape", "element_size", "overhead_factor"}, 2};

PyObject* estimate_allocation_bytes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  int32_t element_size;
  double factor = 1.0;
  if (!kv::parse(estimate_params, args, nargs, kwnames, a) || !kv::to_i32(a[1], &element_size) ||
      (a[2] != nullptr && !kv::to_double(a[2], &factor)) ||
      !kv::exact_sized(a[0], &PyTuple_Type, "shape")) {
    return nullptr;
  }
  PyObject* shape = a[0];
  uint64_t count = 1;
  for (Py_ssize_t i = 0, n = PyTuple_GET_SIZE(shape); i < n; ++i) {
    int32_t dim;
    if (!kv::to_i32(PyTuple_GET_ITEM(shape, i), &dim)) return nullptr;
    if (dim <= 0) return kv::from_u64(0);
    if (count > kClamp / static_cast<uint64_t>(dim)) return kv::from_u64(kClamp);
    count *= static_cast<uint64_t>(dim);
  }
  if (element_size > 0 && count > kClamp / static_cast<uint64_t>(element_size)) return kv::from_u64(kClamp);
  // A negative element size multiplies in two's complement (unsigned wrap-around).
  uint64_t bytes = count * static_cast<uint64_t>(static_cast<int64_t>(element_size));
  if (factor > 1.0) bytes = kv::saturate_cast<uint64_t>(static_cast<double>(bytes) * factor);
  return kv::from_u64(bytes);
}

kv::Params<2> safe_limit_params{"calculate_safe_limit", {"available_bytes", "headroom_ratio"}, 2};

PyObject* calculate_safe_limit(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  uint64_t available;
  double ratio;
  if (!kv::parse(safe_limit_params, args, nargs, kwnames, a) || !kv::to_u64(a[0], &available) ||
      !kv::to_double(a[1], &ratio)) {
    return nullptr;
  }
  return kv::from_u64(safe_limit(available, ratio));
}

// "Chunking into <passes> GPU passes", built without a format parser.
PyObject* passes_message(uint64_t passes) {
  constexpr std::string_view head = "Chunking into ", tail = " GPU passes";
  char digits[20];
  char* end = std::to_chars(digits, digits + sizeof digits, passes).ptr;
  auto ndigits = static_cast<size_t>(end - digits);
  PyObject* s = PyUnicode_New(static_cast<Py_ssize_t>(head.size() + ndigits + tail.size()), 127);
  if (s == nullptr) return nullptr;
  char* out = static_cast<char*>(PyUnicode_DATA(s));
  std::memcpy(out, head.data(), head.size());
  std::memcpy(out + head.size(), digits, ndigits);
  std::memcpy(out + head.size() + ndigits, tail.data(), tail.size());
  return s;
}

kv::Params<4> decide_params{
    "decide_allocation_strategy", {"requested_bytes", "available_bytes", "headroom_ratio", "is_chunkable"}, 4};

PyObject* decide_allocation_strategy(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[4];
  uint64_t requested, available;
  double ratio;
  bool chunkable;
  if (!kv::parse(decide_params, args, nargs, kwnames, a) || !kv::to_u64(a[0], &requested) ||
      !kv::to_u64(a[1], &available) || !kv::to_double(a[2], &ratio) || !kv::to_truth(a[3], &chunkable)) {
    return nullptr;
  }
  uint64_t safe = safe_limit(available, ratio);
  if (safe == 0) return Py_NewRef(decision_no_memory);
  if (safe >= requested) return Py_NewRef(decision_fits);
  if (!chunkable) return Py_NewRef(decision_not_chunkable);
  // Exact ceiling: passes x safe always covers the request.
  uint64_t passes = ceil_div(requested, safe);
  Ref code = Ref::steal(PyLong_FromLong(1));
  Ref size = Ref::steal(kv::from_u64(safe));
  Ref count = Ref::steal(kv::from_u64(passes));
  Ref message = Ref::steal(passes_message(passes));
  if (!code || !size || !count || !message) return nullptr;
  PyObject* result = PyTuple_New(4);
  if (result == nullptr) return nullptr;
  PyTuple_SET_ITEM(result, 0, code.release());
  PyTuple_SET_ITEM(result, 1, size.release());
  PyTuple_SET_ITEM(result, 2, count.release());
  PyTuple_SET_ITEM(result, 3, message.release());
  return result;
}

// (rows,) + shape[1:], with the caller's trailing objects.
PyObject* chunk_tuple(PyObject* shape, int32_t rows) {
  Py_ssize_t n = PyTuple_GET_SIZE(shape);
  PyObject* t = PyTuple_New(n);
  if (t == nullptr) return nullptr;
  PyObject* first = PyLong_FromLong(rows);
  if (first == nullptr) {
    Py_DECREF(t);
    return nullptr;
  }
  PyTuple_SET_ITEM(t, 0, first);
  for (Py_ssize_t i = 1; i < n; ++i) PyTuple_SET_ITEM(t, i, Py_NewRef(PyTuple_GET_ITEM(shape, i)));
  return t;
}

#ifdef Py_GIL_DISABLED
// The chunk list of compute_chunk_shapes for the free-threaded build, where
// PyList_New(n) must not be called with n > 0 (see kv::new_list): `full`
// times the same tuple of `rows` rows, by repeating a one-item list, then
// the tuple of `last` rows unless that is 0.
PyObject* chunk_list_repeated(PyObject* shape, Py_ssize_t full, int32_t rows, int32_t last) {
  Ref result;
  if (full > 0) {
    PyObject* chunk = chunk_tuple(shape, rows);
    if (chunk == nullptr) return nullptr;
    Ref one = Ref::steal(kv::new_list(&chunk, 1));
    if (!one) return nullptr;
    result = Ref::steal(PySequence_Repeat(one.get(), full));
  } else {
    result = Ref::steal(PyList_New(0));
  }
  if (!result) return nullptr;
  if (last != 0) {
    Ref chunk = Ref::steal(chunk_tuple(shape, last));
    if (!chunk || PyList_Append(result.get(), chunk.get()) < 0) return nullptr;
  }
  return result.release();
}
#endif

kv::Params<3> chunk_shapes_params{"compute_chunk_shapes", {"shape", "element_size", "max_chunk_bytes"}, 3};

PyObject* compute_chunk_shapes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  int32_t element_size;
  uint64_t max_chunk_bytes;
  if (!kv::parse(chunk_shapes_params, args, nargs, kwnames, a) || !kv::to_i32(a[1], &element_size) ||
      !kv::to_u64(a[2], &max_chunk_bytes) || !kv::exact_or_none(a[0], &PyTuple_Type, "shape")) {
    return nullptr;
  }
  if (element_size <= 0) {
    PyErr_SetString(PyExc_ValueError, "element_size must be positive");
    return nullptr;
  }
  if (max_chunk_bytes == 0) {
    PyErr_SetString(PyExc_ValueError, "max_chunk_bytes must be positive");
    return nullptr;
  }
  PyObject* shape = a[0];
  if (shape == Py_None) {
    kv::raise_no_len(shape);
    return nullptr;
  }
  Py_ssize_t ndim = PyTuple_GET_SIZE(shape);
  if (ndim == 0) {
    PyObject* only = Py_NewRef(shape);
    return kv::new_list(&only, 1);
  }
  // Bytes of one row, saturated at 2**64 - 1 (a zero dimension still gives 0).
  uint64_t row_bytes = static_cast<uint64_t>(element_size);
  bool zero = false, saturated = false;
  for (Py_ssize_t i = 1; i < ndim; ++i) {
    uint64_t dim;
    if (!kv::to_u64(PyTuple_GET_ITEM(shape, i), &dim)) return nullptr;
    if (dim == 0) {
      zero = true;
    } else if (!saturated && __builtin_mul_overflow(row_bytes, dim, &row_bytes)) {
      saturated = true;
    }
  }
  if (zero) {
    row_bytes = 0;
  } else if (saturated) {
    row_bytes = std::numeric_limits<uint64_t>::max();
  }
  // Rows of zero bytes all fit in one chunk; more than 2**31 - 1 rows per
  // chunk saturate (no first dimension can exceed that anyway).
  int32_t rows_per_chunk;
  if (row_bytes == 0) {
    rows_per_chunk = kMaxRows;
  } else if (row_bytes > max_chunk_bytes) {
    rows_per_chunk = 1;
  } else {
    uint64_t q = max_chunk_bytes / row_bytes;
    rows_per_chunk = q > static_cast<uint64_t>(kMaxRows) ? kMaxRows : static_cast<int32_t>(q);
  }
  int32_t remaining;
  if (!kv::to_i32(PyTuple_GET_ITEM(shape, 0), &remaining)) return nullptr;
  if (remaining <= 0) return PyList_New(0);

  Py_ssize_t full = remaining / rows_per_chunk;
  int32_t last = remaining % rows_per_chunk;
#ifdef Py_GIL_DISABLED
  return chunk_list_repeated(shape, full, rows_per_chunk, last);
#else
  Ref result = Ref::steal(PyList_New(full + (last != 0 ? 1 : 0)));
  if (!result) return nullptr;
  // Every full chunk is the same immutable tuple.
  if (full > 0) {
    Ref chunk = Ref::steal(chunk_tuple(shape, rows_per_chunk));
    if (!chunk) return nullptr;
    for (Py_ssize_t i = 0; i < full; ++i) PyList_SET_ITEM(result.get(), i, Py_NewRef(chunk.get()));
  }
  if (last != 0) {
    PyObject* chunk = chunk_tuple(shape, last);
    if (chunk == nullptr) return nullptr;
    PyList_SET_ITEM(result.get(), full, chunk);
  }
  return result.release();
#endif
}

kv::Params<5> optimal_chunks_params{
    "calculate_optimal_chunks", {"total_bytes", "available_bytes", "headroom_ratio", "min_chunks", "max_chunks"}, 3};

PyObject* calculate_optimal_chunks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[5];
  uint64_t total, available;
  double ratio;
  int32_t min_chunks = 1, max_chunks = 1000;
  if (!kv::parse(optimal_chunks_params, args, nargs, kwnames, a) || !kv::to_u64(a[0], &total) ||
      !kv::to_u64(a[1], &available) || !kv::to_double(a[2], &ratio) ||
      (a[3] != nullptr && !kv::to_i32(a[3], &min_chunks)) || (a[4] != nullptr && !kv::to_i32(a[4], &max_chunks))) {
    return nullptr;
  }
  uint64_t safe = safe_limit(available, ratio);
  if (safe == 0) return PyLong_FromLong(max_chunks);
  uint64_t q = ceil_div(total, safe);
  int32_t h = q > static_cast<uint64_t>(kMaxRows) ? kMaxRows : static_cast<int32_t>(q);
  if (h < min_chunks) return PyLong_FromLong(min_chunks);
  if (h > max_chunks) return PyLong_FromLong(max_chunks);
  return PyLong_FromLong(h);
}

// ---------------------------------------------------------------------------
// Out-of-memory classification

// A string lowered as str.lower does, readable as code points.
class Lowered {
 public:
  // False with an exception set; `s` is an exact str.
  bool init(PyObject* s) {
    Py_ssize_t n = PyUnicode_GET_LENGTH(s);
    if (PyUnicode_IS_ASCII(s)) {
      // ASCII lowers letter by letter without changing the length.
      char* buf = stack_;
      if (n > static_cast<Py_ssize_t>(sizeof stack_)) {
        heap_ = static_cast<char*>(PyMem_Malloc(static_cast<size_t>(n)));
        if (heap_ == nullptr) {
          PyErr_NoMemory();
          return false;
        }
        buf = heap_;
      }
      const auto* src = static_cast<const unsigned char*>(PyUnicode_DATA(s));
      for (Py_ssize_t i = 0; i < n; ++i) {
        unsigned char c = src[i];
        buf[i] = static_cast<char>(static_cast<unsigned>(c - 'A') < 26u ? c + 32 : c);
      }
      data_ = buf;
      kind_ = PyUnicode_1BYTE_KIND;
      len_ = n;
      return true;
    }
    lowered_ = Ref::steal(kv::call_method(s, n_lower));
    if (!lowered_) return false;
    data_ = PyUnicode_DATA(lowered_.get());
    kind_ = PyUnicode_KIND(lowered_.get());
    len_ = PyUnicode_GET_LENGTH(lowered_.get());
    return true;
  }
  Lowered() = default;
  Lowered(const Lowered&) = delete;
  Lowered& operator=(const Lowered&) = delete;
  ~Lowered() {
    if (heap_ != nullptr) PyMem_Free(heap_);
  }

  bool contains(std::string_view needle) const {
    switch (kind_) {
      case PyUnicode_1BYTE_KIND:
        return std::string_view(static_cast<const char*>(data_), static_cast<size_t>(len_)).find(needle) !=
               std::string_view::npos;
      case PyUnicode_2BYTE_KIND:
        return wide_contains(static_cast<const Py_UCS2*>(data_), needle);
      default:
        return wide_contains(static_cast<const Py_UCS4*>(data_), needle);
    }
  }

 private:
  template <typename Ch>
  bool wide_contains(const Ch* h, std::string_view needle) const {
    auto m = static_cast<Py_ssize_t>(needle.size());
    for (Py_ssize_t i = 0; i + m <= len_; ++i) {
      Py_ssize_t j = 0;
      while (j < m && h[i + j] == static_cast<Ch>(static_cast<unsigned char>(needle[j]))) ++j;
      if (j == m) return true;
    }
    return false;
  }

  char stack_[512];
  char* heap_ = nullptr;
  Ref lowered_;
  const void* data_ = nullptr;
  int kind_ = PyUnicode_1BYTE_KIND;
  Py_ssize_t len_ = 0;
};

KV_COLD void raise_lower_on(PyObject* o) {
  PyErr_Format(PyExc_TypeError, "descriptor 'lower' for 'str' objects doesn't apply to a '%.200s' object",
               Py_TYPE(o)->tp_name);
}

kv::Params<2> oom_params{"is_oom_error", {"error_message", "error_type"}, 2};

PyObject* is_oom_error(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!kv::parse(oom_params, args, nargs, kwnames, a) ||
      !kv::exact_or_none(a[0], &PyUnicode_Type, "error_message") ||
      !kv::exact_or_none(a[1], &PyUnicode_Type, "error_type")) {
    return nullptr;
  }
  for (PyObject* s : a) {
    if (s == Py_None) {
      raise_lower_on(s);
      return nullptr;
    }
  }
  Lowered m, t;
  if (!m.init(a[0]) || !t.init(a[1])) return nullptr;
  bool oom = m.contains("out of memory") || t.contains("outofmemoryerror") ||
             (m.contains("memory") && (m.contains("cuda") || m.contains("insufficient") || m.contains("gpu"))) ||
             (m.contains("allocat") && m.contains("failed"));
  return kv::from_bool(oom);
}

// ---------------------------------------------------------------------------
// Operation classes and GPU pressure

// Membership of an exact str (or None) in one of the operation-name sets.
inline int in_set(PyObject* set, PyObject* operation) {
  return operation == Py_None ? 0 : PySet_Contains(set, operation);
}

kv::Params<1> chunkable_params{"is_chunkable_operation", {"operation"}, 1};

PyObject* is_chunkable_operation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!kv::parse(chunkable_params, args, nargs, kwnames, a) ||
      !kv::exact_or_none(a[0], &PyUnicode_Type, "operation")) {
    return nullptr;
  }
  int found = in_set(chunkable_operations, a[0]);
  if (found < 0) return nullptr;
  return kv::from_bool(found != 0);
}

kv::Params<4> suitability_params{
    "score_gpu_suitability",
    {"data_size_bytes", "operation_type", "available_gpu_memory", "headroom_ratio"},
    4};

PyObject* score_gpu_suitability(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[4];
  uint64_t data_size, available;
  double ratio;
  if (!kv::parse(suitability_params, args, nargs, kwnames, a) || !kv::to_u64(a[0], &data_size) ||
      !kv::to_u64(a[2], &available) || !kv::to_double(a[3], &ratio) ||
      !kv::exact_or_none(a[1], &PyUnicode_Type, "operation_type")) {
    return nullptr;
  }
  uint64_t safe = safe_limit(available, ratio);
  double score = 0.0;
  if (safe != 0) {
    double s = static_cast<double>(safe);
    double d = static_cast<double>(data_size);
    if (data_size > safe) {
      score = s / d;
    } else {
      score = d / (s * 0.8);
      if (score > 1.0) score = 1.0;
    }
  }
  double factor = 0.5;
  int found = in_set(chunkable_operations, a[1]);
  if (found < 0) return nullptr;
  if (found != 0) {
    factor = 0.9;
  } else {
    found = in_set(non_chunkable_operations, a[1]);
    if (found < 0) return nullptr;
    if (found != 0) factor = 0.7;
  }
  return PyFloat_FromDouble(factor * score);
}

kv::Params<2> pressure_params{"calculate_memory_pressure", {"used_bytes", "total_bytes"}, 2};

PyObject* calculate_memory_pressure(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  uint64_t used, total;
  if (!kv::parse(pressure_params, args, nargs, kwnames, a) || !kv::to_u64(a[0], &used) ||
      !kv::to_u64(a[1], &total)) {
    return nullptr;
  }
  if (total == 0) return PyFloat_FromDouble(1.0);
  // A share of unsigned counts: never below 0, capped at 1.
  double p = static_cast<double>(used) / static_cast<double>(total);
  return PyFloat_FromDouble(p > 1.0 ? 1.0 : p);
}

kv::Params<2> headroom_params{"recommend_headroom", {"current_pressure", "base_headroom"}, 1};

PyObject* recommend_headroom(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  double p, b = 0.5;
  if (!kv::parse(headroom_params, args, nargs, kwnames, a) || !kv::to_double(a[0], &p) ||
      (a[1] != nullptr && !kv::to_double(a[1], &b))) {
    return nullptr;
  }
  double h;
  if (p > 0.8) {
    h = 0.8;
  } else if (p > 0.6) {
    h = b + (p - 0.5) * 0.5;
  } else if (p > 0.3) {
    h = b;
  } else {
    h = b - 0.1;
    if (!(h > 0.3)) h = 0.3;  // NaN included: it is not greater than 0.3
  }
  if (h < 0.3) {
    h = 0.3;
  } else if (h > 0.8) {
    h = 0.8;
  }
  return PyFloat_FromDouble(h);
}

// ---------------------------------------------------------------------------
// Module

const kv::FunctionDef planning_functions[] = {
    {"estimate_allocation_bytes", estimate_allocation_bytes,
     "Estimate memory required for array allocation.\n\n"
     "The product of the dimensions times element_size, times overhead_factor\n"
     "when that is above 1.0. A zero or negative dimension gives 0; counts\n"
     "beyond 9223372036854775807 are clamped to it.",
     "(shape, element_size, overhead_factor=1.0)"},
    {"calculate_safe_limit", calculate_safe_limit,
     "Calculate safe allocation limit with headroom.\n\n"
     "(1 - headroom_ratio) x available_bytes, with the ratio clamped to\n"
     "[0, 0.99] so that at least 1% of the memory is always usable.",
     "(available_bytes, headroom_ratio)"},
    {"decide_allocation_strategy", decide_allocation_strategy,
     "Decide allocation strategy based on memory requirements.\n\n"
     "Three-tier fallback decision algorithm.\n\n"
     "Strategy codes: 0 GPU_DIRECT, 1 GPU_CHUNKED, 2 CPU_FALLBACK.\n\n"
     "Returns:\n"
     "    Tuple: (strategy_code, chunk_size, chunk_count, message)",
     "(requested_bytes, available_bytes, headroom_ratio, is_chunkable)"},
    {"compute_chunk_shapes", compute_chunk_shapes,
     "Compute optimal chunk shapes for a large array.\n\n"
     "Splits along the first axis for simplicity and efficiency.\n"
     "Returns a list of shapes whose first dimensions add up to shape[0].",
     "(shape, element_size, max_chunk_bytes)"},
    {"calculate_optimal_chunks", calculate_optimal_chunks,
     "Calculate optimal number of chunks for a large operation.\n\n"
     "ceil(total_bytes / safe limit), bounded by min_chunks and max_chunks.",
     "(total_bytes, available_bytes, headroom_ratio, min_chunks=1, max_chunks=1000)"},
    {"is_oom_error", is_oom_error,
     "Detect if an error is an Out of Memory error.\n\n"
     "Matches the lower-cased message and type name against known\n"
     "out-of-memory phrasings.",
     "(error_message, error_type)"},
};

const kv::FunctionDef pressure_functions[] = {
    {"is_chunkable_operation", is_chunkable_operation,
     "Determine if an operation can be chunked for large allocations.", "(operation)"},
    {"score_gpu_suitability", score_gpu_suitability,
     "Score how suitable a workload is for GPU execution.\n\n"
     "Returns a score from 0.0 (unsuitable) to 1.0 (ideal).",
     "(data_size_bytes, operation_type, available_gpu_memory, headroom_ratio)"},
    {"calculate_memory_pressure", calculate_memory_pressure,
     "Calculate current memory pressure as a ratio.\n\n"
     "Returns a value from 0.0 (no pressure) to 1.0 (fully used).",
     "(used_bytes, total_bytes)"},
    {"recommend_headroom", recommend_headroom,
     "Recommend headroom ratio based on current memory pressure.\n\n"
     "Returns a headroom ratio (0.3-0.8 range).",
     "(current_pressure, base_headroom=0.5)"},
};

PyObject* make_decision(long code, const char* message) { return Py_BuildValue("(liis)", code, 0, 1, message); }

PyObject* make_name_set(std::initializer_list<const char*> names) {
  Ref list = Ref::steal(PyList_New(0));
  if (!list) return nullptr;
  for (const char* n : names) {
    Ref s = Ref::steal(PyUnicode_InternFromString(n));
    if (!s || PyList_Append(list.get(), s.get()) < 0) return nullptr;
  }
  return PyFrozenSet_New(list.get());
}

int exec_module(PyObject* m) {
  Py_XSETREF(decision_fits, make_decision(0, "Allocation fits in GPU memory"));
  Py_XSETREF(decision_no_memory, make_decision(2, "No GPU memory available"));
  Py_XSETREF(decision_not_chunkable, make_decision(2, "Operation not chunkable, falling back to CPU"));
  if (decision_fits == nullptr || decision_no_memory == nullptr || decision_not_chunkable == nullptr) return -1;
  if (!kv::add_functions(m, planning_functions)) return -1;
  Py_XSETREF(chunkable_operations,
             make_name_set({"zeros", "ones", "empty", "full", "random.randn", "random.rand", "random.random",
                            "random.standard_normal", "random.uniform", "arange", "linspace"}));
  if (chunkable_operations == nullptr) return -1;
  Py_XSETREF(non_chunkable_operations, make_name_set({"matmul", "dot", "fft", "ifft", "fft2", "ifft2", "svd", "eig",
                                                      "eigvals", "solve", "inv", "sort", "argsort"}));
  if (non_chunkable_operations == nullptr) return -1;
  if (!kv::add_functions(m, pressure_functions)) return -1;
  if (!kv::import_module_as(m, "logging")) return -1;
  PyObject* logger = kv::bind_logger(m);
  if (logger == nullptr || !kv::log(logger, "info", "Korvane Accel Planner Cython module loaded - IP protected")) {
    return -1;
  }
  return 0;
}

}  // namespace

KV_MODULE(accel_planner, "korvane.gpu.accel_planner",
          "GPU allocation planning: allocation estimates, safe limits, the allocation\n"
          "decision, chunk shapes, out-of-memory classification and memory pressure.",
          exec_module)
