// korvane.plugins.analyzer.task_scoring: keyword and pattern scoring of a
// function's source text, workload-pattern codes and the GPU and parallelism
// estimates of the workload analyzer.

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "kv/frame.hpp"

// Every product and sum below is rounded on its own, as the interpreter rounds
// each operation of the equivalent Python expression: no fused multiply-add.
#if defined(__clang__)
#pragma clang fp contract(off)
#define TS_EXACT_FP
#elif defined(__GNUC__)
#define TS_EXACT_FP [[gnu::optimize("fp-contract=off")]]
#else
#define TS_EXACT_FP
#endif

namespace {

using kv::Ref;

// ---------------------------------------------------------------------------
// Keyword tables. Each entry of a table owns one bit, in table order; the
// count for a list is the number of its bits set after a scan.

constexpr std::array<std::string_view, 101> kIndicatorEntries = {
    // CPU
    "for", "while", "range", "numpy", "scipy", "math", "calculation", "compute", "algorithm", "sum", "prod", "dot",
    "matmul", "fft", "linalg",
    // memory
    "array", "list", "dict", "pandas", "dataframe", "allocate", "buffer", "cache", "append", "extend",
    // parallel
    "multiprocessing", "threading", "concurrent", "async", "parallel", "pool", "worker", "chunk", "batch",
    "processpoolexecutor", "threadpoolexecutor",
    // GPU operation
    "matmul", "dot", "tensordot", "@", "fft", "ifft", "rfft", "convolve", "correlate", "sum", "mean", "std", "var",
    "sin", "cos", "exp", "log", "sqrt", "power", "**", "add", "subtract", "multiply", "divide", "/", "*", "+", "-",
    "linalg", "linear_algebra", "array", "asarray", "zeros", "ones", "empty", "full",
    // large data
    "reshape", "resize", "huge", "large", "gigabyte", "gb", "million", "billion", "1e6", "1e9", "1024", "megabyte",
    "mb",
    // embarrassingly parallel
    "workload", "benchmark", "intensive", "chunk_workload", "map", "apply", "vectorize", "broadcast",
    // sequential
    "global", "nonlocal", "lock", "mutex", "synchronized", "sequential", "ordered", "dependencies",
};
constexpr int kIndicatorSizes[7] = {15, 10, 11, 36, 13, 8, 8};
constexpr int kGpuList = 3;
constexpr int kEmbarrassingList = 5;

constexpr std::array<std::string_view, 61> kFrameworkEntries = {
    // numpy
    "numpy", "np.", "ndarray", "array", "matrix", "vectorize", "broadcast", "ufunc", "dot", "matmul", "linalg", "fft",
    "sum", "mean", "std", "var", "min", "max", "argmax", "argmin", "reshape", "transpose", "concatenate", "stack",
    "split",
    // pandas
    "pandas", "pd.", "dataframe", "series", "groupby", "apply", "agg", "transform", "merge", "join", "concat", "pivot",
    "melt", "query", "eval", "rolling", "resample", "sort_values",
    // sklearn
    "sklearn", "fit", "predict", "transform", "score", "cross_val", "gridsearchcv", "randomizedsearchcv", "pipeline",
    "featureunion", "train_test_split", "classification", "regression", "clustering", "preprocessing",
    "model_selection", "metrics", "ensemble",
};
constexpr int kFrameworkSizes[3] = {25, 18, 18};

template <std::size_t N, std::size_t L>
constexpr bool sizes_match(const std::array<std::string_view, N>&, const int (&sizes)[L]) {
  std::size_t total = 0;
  for (int s : sizes) total += static_cast<std::size_t>(s);
  return total == N;
}
static_assert(sizes_match(kIndicatorEntries, kIndicatorSizes));
static_assert(sizes_match(kFrameworkEntries, kFrameworkSizes));

// A set of table entries, one bit each.
struct Bits {
  uint64_t w[2] = {0, 0};
  constexpr Bits& operator|=(const Bits& o) {
    w[0] |= o.w[0];
    w[1] |= o.w[1];
    return *this;
  }
  constexpr Bits operator&(const Bits& o) const { return Bits{{w[0] & o.w[0], w[1] & o.w[1]}}; }
  constexpr Bits operator|(const Bits& o) const { return Bits{{w[0] | o.w[0], w[1] | o.w[1]}}; }
  int count() const { return std::popcount(w[0]) + std::popcount(w[1]); }
};

// The entries of each list: bits [first, first + size) for consecutive sizes.
template <std::size_t L>
constexpr std::array<Bits, L> list_masks(const int (&sizes)[L]) {
  std::array<Bits, L> masks{};
  int bit = 0;
  for (std::size_t i = 0; i < L; ++i) {
    for (int k = 0; k < sizes[i]; ++k, ++bit) masks[i].w[bit >> 6] |= uint64_t{1} << (bit & 63);
  }
  return masks;
}
constexpr auto kIndicatorMasks = list_masks(kIndicatorSizes);
constexpr auto kFrameworkMasks = list_masks(kFrameworkSizes);

// ---------------------------------------------------------------------------
// Multi-pattern matcher: an Aho-Corasick automaton over the ASCII characters
// that occur in the entries, built at compile time as a complete transition
// table. Every other character is class 0, which leads back to the root from
// any state, since no entry contains it.

template <std::size_t NStates, unsigned ClassBits>
struct Automaton {
  static constexpr unsigned kShift = ClassBits;
  static constexpr std::size_t kClasses = std::size_t{1} << ClassBits;
  static_assert((NStates << ClassBits) <= 65536, "row offsets must fit 16 bits");

  uint8_t cls_fold[256]{};   // raw 1-byte text: A-Z read as a-z, bytes >= 128 are class 0
  uint8_t cls_exact[256]{};  // text that is lower-cased already
  // Row offset (state << kShift) of the state reached from row `off` by class c: next[off + c].
  uint16_t next[NStates << ClassBits]{};
  Bits out[NStates]{};  // entries that end at the state, its suffixes included
  std::size_t max_len = 0;
  unsigned nclasses = 1;
};

// Number of trie nodes (distinct prefixes plus the root) of the entries.
template <std::size_t N>
constexpr std::size_t trie_nodes(const std::array<std::string_view, N>& keys) {
  std::size_t nodes = 1;
  for (std::size_t i = 0; i < N; ++i) {
    for (std::size_t len = 1; len <= keys[i].size(); ++len) {
      bool seen = false;
      for (std::size_t j = 0; j < i && !seen; ++j) {
        seen = keys[j].size() >= len && keys[j].substr(0, len) == keys[i].substr(0, len);
      }
      nodes += seen ? 0 : 1;
    }
  }
  return nodes;
}

template <std::size_t NStates, unsigned ClassBits, std::size_t N>
constexpr Automaton<NStates, ClassBits> build_automaton(const std::array<std::string_view, N>& keys) {
  using A = Automaton<NStates, ClassBits>;
  constexpr std::size_t K = A::kClasses;
  A a{};
  for (std::string_view k : keys) {
    for (char ch : k) {
      auto c = static_cast<uint8_t>(ch);
      if (a.cls_exact[c] == 0) a.cls_exact[c] = static_cast<uint8_t>(a.nclasses++);
    }
    if (k.size() > a.max_len) a.max_len = k.size();
  }
  for (int c = 0; c < 256; ++c) a.cls_fold[c] = a.cls_exact[c];
  for (int c = 'A'; c <= 'Z'; ++c) a.cls_fold[c] = a.cls_exact[c - 'A' + 'a'];

  // The trie; 0 marks a missing child (the root is nobody's child).
  std::array<uint16_t, NStates * K> child{};
  std::size_t nodes = 1;
  for (std::size_t i = 0; i < N; ++i) {
    std::size_t s = 0;
    for (char ch : keys[i]) {
      std::size_t c = a.cls_exact[static_cast<uint8_t>(ch)];
      if (child[s * K + c] == 0) child[s * K + c] = static_cast<uint16_t>(nodes++);
      s = child[s * K + c];
    }
    a.out[s].w[i >> 6] |= uint64_t{1} << (i & 63);
  }

  // Breadth-first: a state's failure state is shallower, so its row and its
  // outputs are complete when the state is reached.
  std::array<uint16_t, NStates> fail{};
  std::array<uint16_t, NStates> queue{};
  std::array<uint16_t, NStates * K> go{};
  std::size_t head = 0, tail = 0;
  for (std::size_t c = 0; c < K; ++c) {
    go[c] = child[c];
    if (child[c] != 0) queue[tail++] = child[c];
  }
  while (head < tail) {
    std::size_t s = queue[head++];
    for (std::size_t c = 0; c < K; ++c) {
      std::size_t t = child[s * K + c];
      if (t != 0) {
        fail[t] = go[fail[s] * K + c];
        a.out[t] |= a.out[fail[t]];
        go[s * K + c] = static_cast<uint16_t>(t);
        queue[tail++] = static_cast<uint16_t>(t);
      } else {
        go[s * K + c] = go[fail[s] * K + c];
      }
    }
  }
  for (std::size_t i = 0; i < NStates * K; ++i) a.next[i] = static_cast<uint16_t>(go[i] << ClassBits);
  return a;
}

constexpr auto kIndicators = build_automaton<trie_nodes(kIndicatorEntries), 6>(kIndicatorEntries);
constexpr auto kFrameworks = build_automaton<trie_nodes(kFrameworkEntries), 5>(kFrameworkEntries);
static_assert(kIndicators.nclasses <= decltype(kIndicators)::kClasses);
static_assert(kFrameworks.nclasses <= decltype(kFrameworks)::kClasses);

template <typename Ch>
inline unsigned class_of(const uint8_t* cls, Ch c) {
  if constexpr (sizeof(Ch) == 1) {
    return cls[c];
  } else {
    return c < 256 ? cls[c] : 0u;
  }
}

// Adds to `found` every entry that occurs in text[0, n), classes read through
// `cls`. Long texts run as four interleaved scans over quarters, each later
// quarter starting max_len - 1 characters early, so that every occurrence
// lies wholly inside some scan.
template <class A, typename Ch>
void scan(const A& a, const uint8_t* cls, const Ch* text, std::size_t n, Bits& found) {
  constexpr unsigned sh = A::kShift;
  Bits f = found;
  auto run = [&](std::size_t from, std::size_t to) {
    unsigned s = 0;
    for (std::size_t i = from; i < to; ++i) {
      s = a.next[s + class_of(cls, text[i])];
      f |= a.out[s >> sh];
    }
  };
  constexpr std::size_t kStreams = 4;
  const std::size_t overlap = a.max_len - 1;
  if (n < 64 * kStreams) {
    run(0, n);
    found = f;
    return;
  }
  const std::size_t part = n / kStreams;
  std::size_t pos[kStreams];
  unsigned st[kStreams] = {};
  for (std::size_t j = 0; j < kStreams; ++j) pos[j] = j == 0 ? 0 : j * part - overlap;
  for (std::size_t i = 0; i < part; ++i) {
    for (std::size_t j = 0; j < kStreams; ++j) {
      st[j] = a.next[st[j] + class_of(cls, text[pos[j] + i])];
      f |= a.out[st[j] >> sh];
    }
  }
  // The tails: the overlap of streams 1..3 and the remainder of the last.
  for (std::size_t j = 0; j < kStreams; ++j) {
    std::size_t end = j + 1 == kStreams ? n : (j + 1) * part;
    unsigned s = st[j];
    for (std::size_t i = pos[j] + part; i < end; ++i) {
      s = a.next[s + class_of(cls, text[i])];
      f |= a.out[s >> sh];
    }
  }
  found = f;
}

template <class A, typename Ch>
void scan_released(const A& a, const uint8_t* cls, const void* data, std::size_t n, Bits& found) {
  const Ch* text = static_cast<const Ch*>(data);
  // Long texts are scanned without the interpreter lock: str objects never
  // change, and the caller holds a reference for the whole call.
  if (n >= 32768) {
    KV_NOGIL(scan(a, cls, text, n, found));
  } else {
    scan(a, cls, text, n, found);
  }
}

kv::Name n_lower{"lower"};

// TypeError worded as str.lower(obj) words it.
KV_COLD PyObject* raise_lower_misuse(PyObject* obj) {
  PyErr_Format(PyExc_TypeError, "descriptor 'lower' for 'str' objects doesn't apply to a '%.100s' object",
               Py_TYPE(obj)->tp_name);
  return nullptr;
}

// str.lower(text); new reference or null.
inline PyObject* lower(PyObject* text) {
  PyObject* argv[2] = {nullptr, text};
  return PyObject_VectorcallMethod(n_lower.get(), argv + 1, 1 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
}

// 1 when every non-ASCII character of the wide str `text` lowers to one
// non-ASCII character, 0 when some character does not, -1 with an error set.
// Each stretch holding non-ASCII characters (short ASCII gaps included) is
// lowered by str.lower itself; no character lowers to nothing, so a lowered
// stretch of the same length maps place to place and is compared so.
template <typename Ch>
int lowers_in_place(PyObject* text, const Ch* data, Py_ssize_t n) {
  constexpr Py_ssize_t kGap = 64;
  Py_ssize_t i = 0;
  while (i < n) {
    while (i < n && data[i] < 128) ++i;
    if (i == n) break;
    Py_ssize_t last = i;
    for (Py_ssize_t j = i + 1; j < n && j - last <= kGap; ++j) {
      if (data[j] >= 128) last = j;
    }
    Py_ssize_t end = last + 1;
    Ref stretch = Ref::steal(PyUnicode_Substring(text, i, end));
    if (!stretch) return -1;
    Ref lowered = Ref::steal(lower(stretch.get()));
    if (!lowered) return -1;
    if (PyUnicode_GET_LENGTH(lowered.get()) != end - i) return 0;
    int kind = PyUnicode_KIND(lowered.get());
    const void* low = PyUnicode_DATA(lowered.get());
    for (Py_ssize_t k = 0; k < end - i; ++k) {
      if ((PyUnicode_READ(kind, low, k) < 128) != (data[i + k] < 128)) return 0;
    }
    i = end;
  }
  return 1;
}

template <class A>
void scan_lowered_text(const A& a, PyObject* lowered, Bits& found) {
  const void* data = PyUnicode_DATA(lowered);
  auto n = static_cast<std::size_t>(PyUnicode_GET_LENGTH(lowered));
  switch (PyUnicode_KIND(lowered)) {
    case PyUnicode_1BYTE_KIND:
      scan_released<A, Py_UCS1>(a, a.cls_exact, data, n, found);
      break;
    case PyUnicode_2BYTE_KIND:
      scan_released<A, Py_UCS2>(a, a.cls_exact, data, n, found);
      break;
    default:
      scan_released<A, Py_UCS4>(a, a.cls_exact, data, n, found);
      break;
  }
}

// Adds to `found` every entry that is a substring of text.lower(); `text` is
// an exact str. False with an error set.
//
// str.lower maps character by character (only the capital sigma looks at its
// neighbours, and it becomes a non-ASCII sigma either way); ASCII letters
// lower to ASCII letters. Where every non-ASCII character lowers to non-ASCII
// characters one for one, the ASCII characters of the lowered text are the
// folded ASCII characters of `text` at the same places, and the keywords,
// all ASCII, can only match there: `text` is then scanned as it stands with
// A-Z read as a-z. Every Latin-1 character lowers that way, so 1-byte
// strings always do; wider strings are checked stretch by stretch and are
// lowered as a whole when the check fails (U+0130 lowers to "i\u0307").
template <class A>
bool scan_lowered(const A& a, PyObject* text, Bits& found) {
  const void* data = PyUnicode_DATA(text);
  Py_ssize_t n = PyUnicode_GET_LENGTH(text);
  int kind = PyUnicode_KIND(text);
  if (kind == PyUnicode_1BYTE_KIND) {
    scan_released<A, Py_UCS1>(a, a.cls_fold, data, static_cast<std::size_t>(n), found);
    return true;
  }
  int in_place = kind == PyUnicode_2BYTE_KIND ? lowers_in_place(text, static_cast<const Py_UCS2*>(data), n)
                                              : lowers_in_place(text, static_cast<const Py_UCS4*>(data), n);
  if (in_place < 0) return false;
  if (in_place == 1) {
    if (kind == PyUnicode_2BYTE_KIND) {
      scan_released<A, Py_UCS2>(a, a.cls_fold, data, static_cast<std::size_t>(n), found);
    } else {
      scan_released<A, Py_UCS4>(a, a.cls_fold, data, static_cast<std::size_t>(n), found);
    }
    return true;
  }
  Ref lowered = Ref::steal(lower(text));
  if (!lowered) return false;
  scan_lowered_text(a, lowered.get(), found);
  return true;
}

// ---------------------------------------------------------------------------
// Framework patterns: compiled by the re module at import and held for the
// life of the process; only their findall methods are used afterwards.

struct FrameworkPattern {
  const char* key;
  const char* pattern;
  PyObject* findall;  // bound method of the compiled pattern
};

FrameworkPattern framework_patterns[3] = {
    {"numpy", "\\b(numpy|np\\.|ndarray|array|vectorize|matmul|linalg)\\b", nullptr},
    {"pandas", "\\b(pandas|pd\\.|DataFrame|Series|groupby|merge|pivot)\\b", nullptr},
    {"sklearn", "\\b(sklearn|fit|predict|transform|GridSearchCV|RandomForest)\\b", nullptr},
};

kv::Name n_compile{"compile"};
kv::Name n_IGNORECASE{"IGNORECASE"};
kv::Name n_findall{"findall"};

// re.compile(pattern, re.IGNORECASE) for each framework, in table order.
bool compile_patterns(PyObject* module) {
  Ref re = Ref::steal(PyObject_GetAttrString(module, "re"));
  if (!re) return false;
  Ref flags = Ref::steal(PyObject_GetAttr(re.get(), n_IGNORECASE.get()));
  if (!flags) return false;
  for (FrameworkPattern& fp : framework_patterns) {
    Ref text = Ref::steal(PyUnicode_FromString(fp.pattern));
    if (!text) return false;
    Ref compiled = Ref::steal(kv::call_method(re.get(), n_compile, {text.get(), flags.get()}));
    if (!compiled) return false;
    PyObject* findall = PyObject_GetAttr(compiled.get(), n_findall.get());
    if (findall == nullptr) return false;
    Py_XSETREF(fp.findall, findall);
  }
  return true;
}

// ---------------------------------------------------------------------------
// Text scoring

inline double clamp(double v, double lo, double hi) {
  if (v < lo) return lo;
  if (v > hi) return hi;
  return v;
}

kv::Params<2> quick_params{"quick_framework_score", {"code", "framework"}, 2};

PyObject* quick_framework_score(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!kv::parse(quick_params, args, nargs, kwnames, a) || !kv::exact_or_none(a[0], &PyUnicode_Type, "code") ||
      !kv::exact_or_none(a[1], &PyUnicode_Type, "framework")) {
    return nullptr;
  }
  PyObject* code = a[0];
  PyObject* framework = a[1];
  if (framework == Py_None) return PyFloat_FromDouble(0.0);
  for (const FrameworkPattern& fp : framework_patterns) {
    if (PyUnicode_EqualToUTF8(framework, fp.key) != 1) continue;
    Ref matches = Ref::steal(PyObject_CallOneArg(fp.findall, code));
    if (!matches) return nullptr;
    Py_ssize_t m = PyList_CheckExact(matches.get()) ? PyList_GET_SIZE(matches.get()) : PyObject_Size(matches.get());
    if (m < 0) return nullptr;
    double score = static_cast<double>(m) / 10.0;
    return PyFloat_FromDouble(score > 1.0 ? 1.0 : score);
  }
  return PyFloat_FromDouble(0.0);
}

kv::Params<2> indicators_params{"score_indicators", {"code", "function_name"}, 2};

PyObject* score_indicators(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  if (!kv::parse(indicators_params, args, nargs, kwnames, a) ||
      !kv::exact_or_none(a[0], &PyUnicode_Type, "code") ||
      !kv::exact_or_none(a[1], &PyUnicode_Type, "function_name")) {
    return nullptr;
  }
  PyObject* code = a[0];
  PyObject* name = a[1];
  if (code == Py_None) return raise_lower_misuse(code);
  Bits found;
  if (!scan_lowered(kIndicators, code, found)) return nullptr;
  if (name != Py_None && PyUnicode_GET_LENGTH(name) > 0) {
    Bits in_name;
    if (!scan_lowered(kIndicators, name, in_name)) return nullptr;
    // Only the GPU-operation and embarrassingly parallel lists look at the name.
    found |= in_name & (kIndicatorMasks[kGpuList] | kIndicatorMasks[kEmbarrassingList]);
  }
  Ref result = Ref::steal(PyTuple_New(7));
  if (!result) return nullptr;
  for (int i = 0; i < 7; ++i) {
    PyObject* count = PyLong_FromLong((found & kIndicatorMasks[i]).count());
    if (count == nullptr) return nullptr;
    PyTuple_SET_ITEM(result.get(), i, count);
  }
  return result.release();
}

// A tuple of floats; new reference or null.
template <std::size_t N>
PyObject* float_tuple(const double (&values)[N]) {
  Ref result = Ref::steal(PyTuple_New(N));
  if (!result) return nullptr;
  for (std::size_t i = 0; i < N; ++i) {
    PyObject* v = PyFloat_FromDouble(values[i]);
    if (v == nullptr) return nullptr;
    PyTuple_SET_ITEM(result.get(), i, v);
  }
  return result.release();
}

kv::Params<5> normalize_params{
    "normalize_scores", {"cpu_score", "memory_score", "parallel_score", "gpu_op_score", "large_data_score"}, 5};

PyObject* normalize_scores(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[5];
  if (!kv::parse(normalize_params, args, nargs, kwnames, a)) return nullptr;
  static constexpr double denominators[5] = {15.0, 10.0, 11.0, 36.0, 13.0};
  double scores[5];
  for (int i = 0; i < 5; ++i) {
    int32_t v;
    if (!kv::to_i32(a[i], &v)) return nullptr;
    scores[i] = clamp(static_cast<double>(v) / denominators[i], 0.0, 1.0);
  }
  return float_tuple(scores);
}

kv::Params<1> frameworks_params{"score_framework_patterns", {"code"}, 1};

PyObject* score_framework_patterns(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[1];
  if (!kv::parse(frameworks_params, args, nargs, kwnames, a) ||
      !kv::exact_or_none(a[0], &PyUnicode_Type, "code")) {
    return nullptr;
  }
  if (a[0] == Py_None) return raise_lower_misuse(a[0]);
  Bits found;
  if (!scan_lowered(kFrameworks, a[0], found)) return nullptr;
  static constexpr double denominators[3] = {25.0, 18.0, 18.0};
  double scores[3];
  for (int i = 0; i < 3; ++i) {
    scores[i] = clamp(static_cast<double>((found & kFrameworkMasks[i]).count()) / denominators[i], 0.0, 1.0);
  }
  return float_tuple(scores);
}

// ---------------------------------------------------------------------------
// Workload pattern

struct WorkloadInputs {
  double cpu_intensity, memory_intensity, parallelization_potential, gpu_suitability, gpu_operation_score;
  double numpy_score, pandas_score, sklearn_score;
  int32_t sequential_count, embarrassing_count;
  double cpu_threshold, memory_threshold, gpu_threshold, numpy_threshold, pandas_threshold, sklearn_threshold;
  bool gpu_available;
};

long determine_workload_pattern_impl(const WorkloadInputs& w) {
  if (w.sklearn_score > w.sklearn_threshold) return 12;
  if (w.pandas_score > w.pandas_threshold) return 10;
  if (w.numpy_score > w.numpy_threshold) return 8;
  if (w.gpu_available && w.gpu_suitability > w.gpu_threshold) {
    if (w.gpu_operation_score > 0.7 && w.cpu_intensity > 0.6) return 6;
    if (w.memory_intensity > 0.5) return 7;
    return 5;
  }
  if (w.embarrassing_count > 0 || w.parallelization_potential > 0.6) return 3;
  if (w.cpu_intensity > w.cpu_threshold) return 1;
  if (w.memory_intensity > w.memory_threshold) return 2;
  if (w.sequential_count > 2) return 4;
  return 0;
}

kv::Params<17> workload_params{"determine_workload_pattern",
                               {"cpu_intensity", "memory_intensity", "parallelization_potential", "gpu_suitability",
                                "gpu_operation_score", "numpy_score", "pandas_score", "sklearn_score",
                                "sequential_count", "embarrassing_count", "cpu_threshold", "memory_threshold",
                                "gpu_threshold", "numpy_threshold", "pandas_threshold", "sklearn_threshold",
                                "gpu_available"},
                               17};

PyObject* determine_workload_pattern(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[17];
  if (!kv::parse(workload_params, args, nargs, kwnames, a)) return nullptr;
  WorkloadInputs w;
  double* scores[8] = {&w.cpu_intensity, &w.memory_intensity, &w.parallelization_potential, &w.gpu_suitability,
                       &w.gpu_operation_score, &w.numpy_score, &w.pandas_score, &w.sklearn_score};
  double* thresholds[6] = {&w.cpu_threshold,   &w.memory_threshold, &w.gpu_threshold,
                           &w.numpy_threshold, &w.pandas_threshold, &w.sklearn_threshold};
  for (int i = 0; i < 8; ++i) {
    if (!kv::to_double(a[i], scores[i])) return nullptr;
  }
  if (!kv::to_i32(a[8], &w.sequential_count) || !kv::to_i32(a[9], &w.embarrassing_count)) return nullptr;
  for (int i = 0; i < 6; ++i) {
    if (!kv::to_double(a[10 + i], thresholds[i])) return nullptr;
  }
  if (!kv::to_truth(a[16], &w.gpu_available)) return nullptr;
  return PyLong_FromLong(determine_workload_pattern_impl(w));
}

// ---------------------------------------------------------------------------
// GPU and parallelism estimates

// Converts the leading arguments to doubles, in order; false with an error set.
template <std::size_t N>
bool to_doubles(PyObject* const* args, double (&out)[N]) {
  for (std::size_t i = 0; i < N; ++i) {
    if (!kv::to_double(args[i], &out[i])) return false;
  }
  return true;
}

// The multiplier for a compute-capability text (exact str or None): int() of
// the text before the first "." as a 32-bit major version. ValueError and
// IndexError fall back to 1.0; OverflowError and anything else are raised.
bool capability_multiplier(PyObject* capability, double* multiplier) {
  *multiplier = 1.0;
  if (capability == Py_None) return true;
  Py_ssize_t n = PyUnicode_GET_LENGTH(capability);
  if (n == 0) return true;
  Py_ssize_t dot = PyUnicode_FindChar(capability, '.', 0, n, 1);
  if (dot == -2) return false;
  Py_ssize_t end = dot < 0 ? n : dot;
  int32_t major = 0;
  bool plain = PyUnicode_IS_ASCII(capability) && end >= 1 && end <= 9;
  const Py_UCS1* digits = PyUnicode_1BYTE_DATA(capability);
  for (Py_ssize_t i = 0; plain && i < end; ++i) {
    plain = digits[i] >= '0' && digits[i] <= '9';
    if (plain) major = major * 10 + (digits[i] - '0');
  }
  if (!plain) {
    Ref head = Ref::steal(PyUnicode_Substring(capability, 0, end));
    if (!head) return false;
    Ref value = Ref::steal(PyLong_FromUnicodeObject(head.get(), 10));
    if (!value) {
      if (PyErr_ExceptionMatches(PyExc_ValueError) || PyErr_ExceptionMatches(PyExc_IndexError)) {
        PyErr_Clear();
        return true;
      }
      return false;
    }
    if (!kv::to_i32(value.get(), &major)) return false;
  }
  *multiplier = major >= 8 ? 1.2 : major == 7 ? 1.1 : major == 6 ? 1.0 : 0.8;
  return true;
}

TS_EXACT_FP double gpu_suitability_impl(double op_score, double data_score, double cpu_intensity, double multiplier) {
  double cpu_term = clamp(cpu_intensity * 0.3, 0.0, 0.3);
  double raw = (op_score * 0.6 + data_score * 0.4 + cpu_term) * multiplier;
  return clamp(raw, 0.0, 1.0);
}

kv::Params<5> suitability_params{
    "calculate_gpu_suitability",
    {"gpu_operation_score", "gpu_data_size_score", "cpu_intensity", "gpu_available", "compute_capability"},
    5};

PyObject* calculate_gpu_suitability(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[5];
  double d[3];
  bool available;
  if (!kv::parse(suitability_params, args, nargs, kwnames, a) || !to_doubles(a, d) ||
      !kv::to_truth(a[3], &available) || !kv::exact_or_none(a[4], &PyUnicode_Type, "compute_capability")) {
    return nullptr;
  }
  if (!available) return PyFloat_FromDouble(0.0);
  double multiplier;
  if (!capability_multiplier(a[4], &multiplier)) return nullptr;
  return PyFloat_FromDouble(gpu_suitability_impl(d[0], d[1], d[2], multiplier));
}

TS_EXACT_FP double gpu_speedup_impl(double op_score, double data_score, bool available) {
  if (!available || op_score == 0.0) return 1.0;
  double base = op_score > 0.8 ? 15.0 : op_score > 0.6 ? 8.0 : op_score > 0.3 ? 4.0 : 2.0;
  return (data_score * 0.5 + 1.0) * base;
}

kv::Params<3> speedup_params{
    "estimate_gpu_speedup", {"gpu_operation_score", "gpu_data_size_score", "gpu_available"}, 3};

PyObject* estimate_gpu_speedup(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  double d[2];
  bool available;
  if (!kv::parse(speedup_params, args, nargs, kwnames, a) || !to_doubles(a, d) || !kv::to_truth(a[2], &available)) {
    return nullptr;
  }
  return PyFloat_FromDouble(gpu_speedup_impl(d[0], d[1], available));
}

TS_EXACT_FP double parallelization_impl(double base, double embarrassing, double sequential, double chunking) {
  double bonus = clamp(embarrassing * 0.3, 0.0, 0.7);
  double penalty = clamp(sequential * 0.2, 0.0, 0.5);
  return clamp(bonus + base - penalty + chunking * 0.4, 0.0, 1.0);
}

kv::Params<4> parallelization_params{
    "calculate_parallelization_potential",
    {"base_parallel_score", "embarrassing_bonus", "sequential_penalty", "loop_chunking_potential"},
    4};

PyObject* calculate_parallelization_potential(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                              PyObject* kwnames) {
  PyObject* a[4];
  double d[4];
  if (!kv::parse(parallelization_params, args, nargs, kwnames, a) || !to_doubles(a, d)) return nullptr;
  return PyFloat_FromDouble(parallelization_impl(d[0], d[1], d[2], d[3]));
}

TS_EXACT_FP double adaptive_threshold_impl(double current, double success_rate, double learning_rate, double lo,
                                           double hi) {
  double t = current;
  if (success_rate > 0.8) {
    t = t + learning_rate;
  } else if (success_rate < 0.4) {
    t = t - learning_rate;
  }
  return clamp(t, lo, hi);
}

kv::Params<5> threshold_params{
    "update_adaptive_threshold",
    {"current_threshold", "success_rate", "learning_rate", "min_threshold", "max_threshold"},
    5};

PyObject* update_adaptive_threshold(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[5];
  double d[5];
  if (!kv::parse(threshold_params, args, nargs, kwnames, a) || !to_doubles(a, d)) return nullptr;
  return PyFloat_FromDouble(adaptive_threshold_impl(d[0], d[1], d[2], d[3], d[4]));
}

// ---------------------------------------------------------------------------
// Module

const kv::FunctionDef functions[] = {
    {"quick_framework_score", quick_framework_score,
     "Count whole-word, case-insensitive matches of a framework's pattern in the code;\n"
     "a tenth per match, capped at 1.0. Unknown frameworks score 0.0.",
     "(code, framework)"},
    {"calculate_gpu_suitability", calculate_gpu_suitability,
     "GPU suitability in [0, 1] from the operation, data-size and CPU scores, scaled\n"
     "by the compute capability's major version.",
     "(gpu_operation_score, gpu_data_size_score, cpu_intensity, gpu_available, compute_capability)"},
    {"estimate_gpu_speedup", estimate_gpu_speedup,
     "Estimated GPU speed-up factor (1.0 without a GPU or GPU operations).",
     "(gpu_operation_score, gpu_data_size_score, gpu_available)"},
    {"calculate_parallelization_potential", calculate_parallelization_potential,
     "Parallelisation potential in [0, 1] from the base score, the embarrassingly\n"
     "parallel bonus, the sequential penalty and the loop-chunking potential.",
     "(base_parallel_score, embarrassing_bonus, sequential_penalty, loop_chunking_potential)"},
    {"score_indicators", score_indicators,
     "Count the indicator keywords found in the lower-cased code (and, for GPU\n"
     "operations and embarrassingly parallel work, in the function name).\n"
     "Returns (cpu, memory, parallel, gpu_operation, large_data, embarrassing, sequential).",
     "(code, function_name)"},
    {"normalize_scores", normalize_scores,
     "Normalise the five indicator counts to [0, 1] by the sizes of their keyword lists.",
     "(cpu_score, memory_score, parallel_score, gpu_op_score, large_data_score)"},
    {"score_framework_patterns", score_framework_patterns,
     "Share of the numpy, pandas and sklearn keywords found in the lower-cased code.",
     "(code)"},
    {"determine_workload_pattern", determine_workload_pattern,
     "Classify a workload into an integer pattern code from its scores and thresholds.",
     "(cpu_intensity, memory_intensity, parallelization_potential, gpu_suitability, gpu_operation_score, "
     "numpy_score, pandas_score, sklearn_score, sequential_count, embarrassing_count, cpu_threshold, "
     "memory_threshold, gpu_threshold, numpy_threshold, pandas_threshold, sklearn_threshold, gpu_available)"},
    {"update_adaptive_threshold", update_adaptive_threshold,
     "Move a decision threshold by the learning rate after a high or low success\n"
     "rate, kept within [min_threshold, max_threshold].",
     "(current_threshold, success_rate, learning_rate, min_threshold, max_threshold)"},
};

int exec_module(PyObject* m) {
  if (!kv::import_module_as(m, "re") || !compile_patterns(m) || !kv::add_functions(m, functions) ||
      !kv::import_module_as(m, "logging")) {
    return -1;
  }
  PyObject* logger = kv::bind_logger(m);
  if (logger == nullptr || !kv::log(logger, "info", "Korvane Task Scoring Cython module loaded - IP protected")) {
    return -1;
  }
  return 0;
}

}  // namespace

KV_MODULE(task_scoring, "korvane.plugins.analyzer.task_scoring",
          "Scoring of function source text against keyword tables and framework patterns,\n"
          "workload-pattern codes, GPU suitability, speed-up and parallelisation estimates.",
          exec_module)
