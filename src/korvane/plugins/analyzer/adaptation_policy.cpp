// korvane.plugins.analyzer.adaptation_policy: the orchestrator's decision
// arithmetic over performance samples, workload records and pattern names.
//
// Every floating-point result must equal, bit for bit, the same formulas
// evaluated by Python in the same order, so products are never contracted
// into fused multiply-adds.
#if defined(__clang__)
#pragma clang fp contract(off)
#elif defined(__GNUC__)
#pragma GCC optimize("fp-contract=off")
#endif

#include <cmath>
#include <cstdint>
#include <cstring>

#include "kv/frame.hpp"

namespace {

using kv::Ref;

kv::Name n_parallelization{"parallelization_potential"};
kv::Name n_cpu{"cpu_intensity"};
kv::Name n_memory{"memory_intensity"};
kv::Name n_mixed{"mixed"};

// Results shared by every call, built at import: (False, 0.0, 0.0, 0.0) and (0, 0, 0.0).
PyObject* no_change_result = nullptr;
PyObject* empty_prediction = nullptr;

// ---------------------------------------------------------------------------
// Helpers

// `o` as a double, as a `double` parameter takes it; false with an error set.
[[gnu::always_inline]] inline bool as_double(PyObject* o, double* out) {
  if (PyFloat_CheckExact(o)) {
    *out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  if (PyLong_CheckExact(o) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
    // Compact ints have at most 30 bits, so the conversion is exact.
    *out = static_cast<double>(PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o)));
    return true;
  }
  double d = PyFloat_AsDouble(o);
  if (d == -1.0 && PyErr_Occurred()) return false;
  *out = d;
  return true;
}

// A number whose conversion to double runs no Python code.
inline bool is_plain_number(PyObject* o) {
  return PyFloat_CheckExact(o) ||
         (PyLong_CheckExact(o) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o)));
}

// Equality of two exact str objects.
inline bool str_equal(PyObject* a, PyObject* b) {
  if (a == b) return true;
  Py_ssize_t len = PyUnicode_GET_LENGTH(a);
  if (len != PyUnicode_GET_LENGTH(b)) return false;
  int kind = PyUnicode_KIND(a);
  if (kind != PyUnicode_KIND(b)) return false;
  return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b), static_cast<std::size_t>(len) * kind) == 0;
}

// Equality of two objects that are each an exact str or None.
inline bool name_equal(PyObject* a, PyObject* b) {
  if (a == b) return true;
  if (a == Py_None || b == Py_None) return false;
  return str_equal(a, b);
}

// max(lo, min(hi, v)) as Python evaluates it: NaN gives hi and -0.0 gives a zero lo.
inline double clamp_to(double v, double lo, double hi) {
  double r = v < hi ? v : hi;
  return r > lo ? r : lo;
}

// Lists come from the caller, and on the free-threaded build another thread
// may change one while a function reads it. A function that walks a list
// therefore holds the list's critical section for the walk: the walk then
// sees one state of the list, unless it runs Python code (a conversion
// through __float__, the iteration of a record that is neither a tuple nor a
// list), which may suspend the section. So items are taken as new
// references before anything can run Python code, and the length is read
// again for every item. A list nested in a list (a record) is read under its
// own section, after a reference to it has been taken. Tuples never change.

// list[i] as a new reference, for a list whose critical section is held; the
// list's IndexError when it has become shorter meanwhile.
Ref item_at(PyObject* list, Py_ssize_t i) {
  if (i < PyList_GET_SIZE(list)) return Ref::borrow(PyList_GET_ITEM(list, i));
  PyErr_SetString(PyExc_IndexError, "list index out of range");
  return Ref();
}

// The two items of a tuple or list (`items` its item array) as new
// references, or the unpacking error for another length.
inline bool take_pair(PyObject* seq, PyObject* const* items, Ref& a, Ref& b) {
  Py_ssize_t size = Py_SIZE(seq);
  if (size != 2) {
    kv::raise_unpack_count(2, size);
    return false;
  }
  a = Ref::borrow(items[0]);
  b = Ref::borrow(items[1]);
  return true;
}

// `a, b = seq` as the interpreter unpacks it: new references in a and b.
// False with an error set.
[[gnu::noinline]] bool unpack_pair(PyObject* seq, Ref& a, Ref& b) {
  if (PyTuple_CheckExact(seq)) return take_pair(seq, &PyTuple_GET_ITEM(seq, 0), a, b);
  if (PyList_CheckExact(seq)) {
    kv::CriticalSection section(seq);
    return take_pair(seq, PyList_GET_SIZE(seq) > 0 ? &PyList_GET_ITEM(seq, 0) : nullptr, a, b);
  }
  Ref it = Ref::steal(PyObject_GetIter(seq));
  if (!it) return false;
  Ref* slots[2] = {&a, &b};
  for (Py_ssize_t i = 0; i < 2; ++i) {
    *slots[i] = Ref::steal(PyIter_Next(it.get()));
    if (!*slots[i]) {
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

// A sample or record whose items may be read in place: a tuple, or on the
// default build a list (the interpreter lock keeps it unchanged meanwhile).
inline bool is_plain_pair(PyObject* o) {
  return (PyTuple_CheckExact(o) || (!kv::free_threaded && PyList_CheckExact(o))) && Py_SIZE(o) == 2;
}

// The pair of doubles in a performance sample; `sample` is borrowed from a
// list and is only read here when nothing can run Python code.
inline bool sample_doubles(PyObject* sample, double* t, double* p) {
  if (is_plain_pair(sample)) {
    PyObject* a = PyTuple_CheckExact(sample) ? PyTuple_GET_ITEM(sample, 0) : PyList_GET_ITEM(sample, 0);
    PyObject* b = PyTuple_CheckExact(sample) ? PyTuple_GET_ITEM(sample, 1) : PyList_GET_ITEM(sample, 1);
    if (is_plain_number(a) && is_plain_number(b)) [[likely]] {
      as_double(a, t);
      as_double(b, p);
      return true;
    }
  }
  Ref hold = Ref::borrow(sample);
  Ref a, b;
  return unpack_pair(hold.get(), a, b) && as_double(a.get(), t) && as_double(b.get(), p);
}

// The size of an allocation record (its second element), after unpacking it.
inline bool record_size(PyObject* record, double* size) {
  if (is_plain_pair(record)) {
    PyObject* s = PyTuple_CheckExact(record) ? PyTuple_GET_ITEM(record, 1) : PyList_GET_ITEM(record, 1);
    if (is_plain_number(s)) [[likely]] return as_double(s, size);
  }
  Ref hold = Ref::borrow(record);
  Ref a, b;
  return unpack_pair(hold.get(), a, b) && as_double(b.get(), size);
}

// record[0] as a double.
bool first_element(PyObject* record, double* out) {
  Ref hold = Ref::borrow(record);
  Ref item;
  if (PyTuple_CheckExact(record)) {
    if (PyTuple_GET_SIZE(record) > 0) item = Ref::borrow(PyTuple_GET_ITEM(record, 0));
  } else if (PyList_CheckExact(record)) {
    kv::CriticalSection section(record);
    if (PyList_GET_SIZE(record) > 0) item = Ref::borrow(PyList_GET_ITEM(record, 0));
  }
  if (!item) {
    Ref zero = Ref::steal(PyLong_FromLong(0));
    if (!zero) return false;
    item = Ref::steal(PyObject_GetItem(record, zero.get()));
    if (!item) return false;
  }
  return as_double(item.get(), out);
}

// ---------------------------------------------------------------------------
// Performance history

kv::Params<4> degradation_params{
    "detect_performance_degradation",
    {"performance_history", "baseline_performance", "threshold", "window_start_time"},
    4};

PyObject* detect_performance_degradation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[4];
  double baseline, threshold, window_start;
  if (!kv::parse(degradation_params, args, nargs, kwnames, a) || !kv::to_double(a[1], &baseline) ||
      !kv::to_double(a[2], &threshold) || !kv::to_double(a[3], &window_start) ||
      !kv::exact_or_none(a[0], &PyList_Type, "performance_history")) {
    return nullptr;
  }
  PyObject* history = a[0];
  if (history == Py_None) Py_RETURN_FALSE;
  kv::CriticalSection section(history);
  if (PyList_GET_SIZE(history) == 0 || baseline <= 0.0 || PyList_GET_SIZE(history) < 5) Py_RETURN_FALSE;
  Py_ssize_t count = 0;
  double total = 0.0;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(history); ++i) {
    double t = 0.0, p = 0.0;
    if (!sample_doubles(PyList_GET_ITEM(history, i), &t, &p)) return nullptr;
    if (t >= window_start) {
      ++count;
      total += p;
    }
  }
  if (count < 5) Py_RETURN_FALSE;
  double average = total / static_cast<double>(count);
  double degradation = (baseline - average) / baseline;
  return kv::from_bool(degradation > threshold);
}

kv::Params<2> trend_params{"calculate_performance_trend", {"performance_history", "window_start_time"}, 2};

PyObject* calculate_performance_trend(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  double window_start;
  if (!kv::parse(trend_params, args, nargs, kwnames, a) || !kv::to_double(a[1], &window_start) ||
      !kv::exact_or_none(a[0], &PyList_Type, "performance_history")) {
    return nullptr;
  }
  PyObject* history = a[0];
  if (history == Py_None) return PyFloat_FromDouble(0.0);
  kv::CriticalSection section(history);
  if (PyList_GET_SIZE(history) < 3) return PyFloat_FromDouble(0.0);
  // One pass: t0 is the first in-window timestamp, and every later in-window
  // sample follows it in list order.
  Py_ssize_t count = 0;
  double t0 = 0.0, sum_x = 0.0, sum_y = 0.0, sum_xy = 0.0, sum_xx = 0.0;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(history); ++i) {
    double t = 0.0, p = 0.0;
    if (!sample_doubles(PyList_GET_ITEM(history, i), &t, &p)) return nullptr;
    if (t >= window_start) {
      if (count == 0) t0 = t;
      double x = t - t0;
      sum_x += x;
      sum_y += p;
      sum_xy += x * p;
      sum_xx += x * x;
      ++count;
    }
  }
  if (count < 3) return PyFloat_FromDouble(0.0);
  double n = static_cast<double>(count);
  double mean_x = sum_x / n;
  double mean_y = sum_y / n;
  double denominator = sum_xx - (n * mean_x) * mean_x;
  if (std::fabs(denominator) < 1e-10 || std::fabs(mean_y) < 1e-10) return PyFloat_FromDouble(0.0);
  double slope = (sum_xy - (n * mean_x) * mean_y) / denominator;
  return PyFloat_FromDouble(clamp_to(slope / mean_y, -1.0, 1.0));
}

// ---------------------------------------------------------------------------
// Workload records and pattern names

kv::Params<2> change_params{"detect_workload_characteristics_change", {"pattern_history", "change_threshold"}, 1};

// Adds record[key] to `sum` with Python addition; false with an error set.
bool add_value(PyObject* record, const kv::Name& key, double* sum) {
  PyObject* value = nullptr;
  int found = PyDict_GetItemRef(record, key.get(), &value);
  if (found < 0) return false;
  if (found == 0) {
    PyErr_SetObject(PyExc_KeyError, key.get());
    return false;
  }
  Ref v = Ref::steal(value);
  if (PyFloat_CheckExact(value)) {
    *sum += PyFloat_AS_DOUBLE(value);
    return true;
  }
  if (PyLong_CheckExact(value)) {
    double d = PyLong_AsDouble(value);
    if (d == -1.0 && PyErr_Occurred()) return false;
    *sum += d;
    return true;
  }
  Ref left = Ref::steal(PyFloat_FromDouble(*sum));
  if (!left) return false;
  Ref r = Ref::steal(PyNumber_Add(left.get(), value));
  return r && as_double(r.get(), sum);
}

PyObject* detect_workload_characteristics_change(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames) {
  PyObject* a[2];
  double threshold = 0.3;
  if (!kv::parse(change_params, args, nargs, kwnames, a) || (a[1] != nullptr && !kv::to_double(a[1], &threshold)) ||
      !kv::exact_sized(a[0], &PyList_Type, "pattern_history")) {
    return nullptr;
  }
  PyObject* history = a[0];
  kv::CriticalSection section(history);
  Py_ssize_t n = PyList_GET_SIZE(history);
  if (n < 6) return Py_NewRef(no_change_result);
  const kv::Name* keys[3] = {&n_parallelization, &n_cpu, &n_memory};
  for (Py_ssize_t i = n - 6; i < n; ++i) {
    Ref record = item_at(history, i);
    if (!record) return nullptr;
    if (record.get() == Py_None) {
      PyErr_SetString(PyExc_TypeError, "'NoneType' object is not iterable");
      return nullptr;
    }
    if (!PyDict_CheckExact(record.get())) {
      PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(record.get())->tp_name);
      return nullptr;
    }
    for (const kv::Name* key : keys) {
      int has = PyDict_Contains(record.get(), key->get());
      if (has < 0) return nullptr;
      if (has == 0) return Py_NewRef(no_change_result);
    }
  }
  // sums[0] holds the recent records (n-3 .. n-1), sums[1] the older ones (n-6 .. n-4).
  double sums[2][3] = {{0.0, 0.0, 0.0}, {0.0, 0.0, 0.0}};
  for (int half = 0; half < 2; ++half) {
    Py_ssize_t first = half == 0 ? n - 3 : n - 6;
    for (Py_ssize_t i = first; i < first + 3; ++i) {
      Ref record = item_at(history, i);
      if (!record) return nullptr;
      if (!PyDict_CheckExact(record.get())) {
        PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "dict", Py_TYPE(record.get())->tp_name);
        return nullptr;
      }
      for (int k = 0; k < 3; ++k) {
        if (!add_value(record.get(), *keys[k], &sums[half][k])) return nullptr;
      }
    }
  }
  double change[3];
  bool changed = false;
  for (int k = 0; k < 3; ++k) {
    change[k] = std::fabs(sums[0][k] / 3.0 - sums[1][k] / 3.0);
    changed = changed || change[k] > threshold;
  }
  Ref result = Ref::steal(PyTuple_New(4));
  if (!result) return nullptr;
  PyTuple_SET_ITEM(result.get(), 0, kv::from_bool(changed));
  for (int k = 0; k < 3; ++k) {
    PyObject* f = PyFloat_FromDouble(change[k]);
    if (f == nullptr) return nullptr;
    PyTuple_SET_ITEM(result.get(), k + 1, f);
  }
  return result.release();
}

kv::Params<2> dominant_params{"detect_dominant_pattern", {"patterns", "window_size"}, 1};

// A window entry that is neither an exact str nor None.
KV_COLD PyObject* raise_bad_pattern(PyObject* entry) {
  PyErr_Format(PyExc_TypeError, "Expected %s, got %.200s", "str", Py_TYPE(entry)->tp_name);
  return nullptr;
}

// Counts in a dict, for windows too large for the inline table.
PyObject* dominant_by_dict(PyObject* patterns, Py_ssize_t start, Py_ssize_t n) {
  Ref counts = Ref::steal(PyDict_New());
  if (!counts) return nullptr;
  for (Py_ssize_t i = start; i < n && i < PyList_GET_SIZE(patterns); ++i) {
    Ref entry_ref = Ref::borrow(PyList_GET_ITEM(patterns, i));
    PyObject* entry = entry_ref.get();
    if (entry != Py_None && !PyUnicode_CheckExact(entry)) return raise_bad_pattern(entry);
    PyObject* old = nullptr;
    if (PyDict_GetItemRef(counts.get(), entry, &old) < 0) return nullptr;
    Py_ssize_t c = 1;
    if (old != nullptr) {
      c = PyLong_AsSsize_t(old) + 1;
      Py_DECREF(old);
    }
    Ref value = Ref::steal(PyLong_FromSsize_t(c));
    if (!value || PyDict_SetItem(counts.get(), entry, value.get()) < 0) return nullptr;
  }
  PyObject* best = n_mixed.get();
  Py_ssize_t best_count = 0, pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(counts.get(), &pos, &key, &value)) {
    Py_ssize_t c = PyLong_AsSsize_t(value);
    if (c > best_count) {
      best = key;
      best_count = c;
    }
  }
  return Py_NewRef(best);
}

PyObject* detect_dominant_pattern(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  int32_t window = 5;
  if (!kv::parse(dominant_params, args, nargs, kwnames, a) || (a[1] != nullptr && !kv::to_i32(a[1], &window)) ||
      !kv::exact_sized(a[0], &PyList_Type, "patterns")) {
    return nullptr;
  }
  PyObject* patterns = a[0];
  // Counting runs no Python code, so the whole window is read in one state.
  kv::CriticalSection section(patterns);
  Py_ssize_t n = PyList_GET_SIZE(patterns);
  if (n == 0) return Py_NewRef(n_mixed.get());
  Py_ssize_t start = n - window > 0 ? n - window : 0;
  constexpr Py_ssize_t kInline = 64;
  if (n - start > kInline) return dominant_by_dict(patterns, start, n);
  // Distinct entries in first-seen order with their counts. Type checks and
  // comparisons of exact str objects run no Python code, so the borrowed
  // entries stay valid.
  PyObject* keys[kInline];
  Py_ssize_t counts[kInline];
  Py_ssize_t distinct = 0;
  for (Py_ssize_t i = start; i < n; ++i) {
    PyObject* entry = PyList_GET_ITEM(patterns, i);
    if (entry != Py_None && !PyUnicode_CheckExact(entry)) return raise_bad_pattern(entry);
    Py_ssize_t j = 0;
    while (j < distinct && !name_equal(keys[j], entry)) ++j;
    if (j == distinct) {
      keys[distinct] = entry;
      counts[distinct++] = 1;
    } else {
      ++counts[j];
    }
  }
  PyObject* best = n_mixed.get();
  Py_ssize_t best_count = 0;
  for (Py_ssize_t j = 0; j < distinct; ++j) {
    if (counts[j] > best_count) {
      best = keys[j];
      best_count = counts[j];
    }
  }
  return Py_NewRef(best);
}

// ---------------------------------------------------------------------------
// Adaptation decisions

kv::Params<8> beneficial_params{"is_adaptation_beneficial",
                                {"current_pool", "recommended_pool", "recommendation_score",
                                 "recommendation_confidence", "current_performance_estimate", "trigger_code",
                                 "min_improvement_ratio", "min_confidence"},
                                6};

PyObject* is_adaptation_beneficial(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[8];
  double score, confidence, estimate, min_ratio = 1.1, min_confidence = 0.6;
  int32_t trigger;
  if (!kv::parse(beneficial_params, args, nargs, kwnames, a) || !kv::to_double(a[2], &score) ||
      !kv::to_double(a[3], &confidence) || !kv::to_double(a[4], &estimate) || !kv::to_i32(a[5], &trigger) ||
      (a[6] != nullptr && !kv::to_double(a[6], &min_ratio)) ||
      (a[7] != nullptr && !kv::to_double(a[7], &min_confidence)) ||
      !kv::exact_or_none(a[0], &PyUnicode_Type, "current_pool") ||
      !kv::exact_or_none(a[1], &PyUnicode_Type, "recommended_pool")) {
    return nullptr;
  }
  if (name_equal(a[0], a[1])) Py_RETURN_FALSE;
  if (confidence < min_confidence) Py_RETURN_FALSE;
  if (trigger == 0) return kv::from_bool(score > 0.5);
  if (estimate > 0.0) return kv::from_bool(score > min_ratio * estimate);
  return kv::from_bool(score > 0.6);
}

kv::Params<3> skip_params{"should_skip_adaptation", {"last_adaptation_time", "current_time", "min_interval"}, 3};

PyObject* should_skip_adaptation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  double last, now, interval;
  if (!kv::parse(skip_params, args, nargs, kwnames, a) || !kv::to_double(a[0], &last) ||
      !kv::to_double(a[1], &now) || !kv::to_double(a[2], &interval)) {
    return nullptr;
  }
  return kv::from_bool(now - last < interval);
}

kv::Params<3> pressure_params{"detect_memory_pressure", {"current_usage", "peak_usage", "pressure_threshold"}, 2};

PyObject* detect_memory_pressure(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[3];
  double current, peak, threshold = 0.8;
  if (!kv::parse(pressure_params, args, nargs, kwnames, a) || !kv::to_double(a[0], &current) ||
      !kv::to_double(a[1], &peak) || (a[2] != nullptr && !kv::to_double(a[2], &threshold))) {
    return nullptr;
  }
  if (peak <= 0.0 || current < 0.0) Py_RETURN_FALSE;
  return kv::from_bool(current / peak > threshold);
}

kv::Params<2> fragmentation_params{"detect_fragmentation_threshold", {"fragmentation_ratio", "threshold"}, 1};

PyObject* detect_fragmentation_threshold(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  double ratio, threshold = 0.3;
  if (!kv::parse(fragmentation_params, args, nargs, kwnames, a) || !kv::to_double(a[0], &ratio) ||
      (a[1] != nullptr && !kv::to_double(a[1], &threshold))) {
    return nullptr;
  }
  if (ratio < 0.0) Py_RETURN_FALSE;
  return kv::from_bool(ratio > threshold);
}

kv::Params<4> urgency_params{
    "calculate_adaptation_urgency",
    {"performance_degradation", "memory_pressure", "fragmentation_ratio", "workload_changed"},
    4};

PyObject* calculate_adaptation_urgency(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[4];
  double degradation, pressure, fragmentation;
  bool changed;
  if (!kv::parse(urgency_params, args, nargs, kwnames, a) || !kv::to_double(a[0], &degradation) ||
      !kv::to_double(a[1], &pressure) || !kv::to_double(a[2], &fragmentation) || !kv::to_truth(a[3], &changed)) {
    return nullptr;
  }
  double urgency = 0.0 + clamp_to(degradation, 0.0, 1.0) * 0.4;
  urgency = urgency + clamp_to(pressure, 0.0, 1.0) * 0.3;
  urgency = urgency + clamp_to(fragmentation, 0.0, 1.0) * 0.15;
  if (changed) urgency = urgency + 0.15;
  return PyFloat_FromDouble(clamp_to(urgency, 0.0, 1.0));
}

kv::Params<4> recommendation_params{
    "score_pool_recommendation",
    {"workload_fit", "memory_fit", "thread_count_fit", "historical_success_rate"},
    4};

PyObject* score_pool_recommendation(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[4];
  double workload, memory, threads, history;
  if (!kv::parse(recommendation_params, args, nargs, kwnames, a) || !kv::to_double(a[0], &workload) ||
      !kv::to_double(a[1], &memory) || !kv::to_double(a[2], &threads) || !kv::to_double(a[3], &history)) {
    return nullptr;
  }
  double score = clamp_to(memory, 0.0, 1.0) * 0.3;
  score = score + clamp_to(workload, 0.0, 1.0) * 0.35;
  score = score + clamp_to(threads, 0.0, 1.0) * 0.2;
  score = score + clamp_to(history, 0.0, 1.0) * 0.15;
  return PyFloat_FromDouble(clamp_to(score, 0.0, 1.0));
}

kv::Params<2> prediction_params{
    "predict_resource_requirements", {"allocation_history", "prediction_horizon_seconds"}, 2};

PyObject* predict_resource_requirements(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  PyObject* a[2];
  double horizon;
  if (!kv::parse(prediction_params, args, nargs, kwnames, a) || !kv::to_double(a[1], &horizon) ||
      !kv::exact_sized(a[0], &PyList_Type, "allocation_history")) {
    return nullptr;
  }
  PyObject* history = a[0];
  kv::CriticalSection section(history);
  Py_ssize_t n = PyList_GET_SIZE(history);
  if (n < 10) return Py_NewRef(empty_prediction);
  double first = 0.0, last = 0.0;
  if (!first_element(PyList_GET_ITEM(history, 0), &first)) return nullptr;
  Ref last_record = item_at(history, n - 1);
  if (!last_record || !first_element(last_record.get(), &last)) return nullptr;
  double span = last - first;
  if (span <= 0.0) return Py_NewRef(empty_prediction);
  double rate = static_cast<double>(n) / span;
  double total = 0.0;
  for (Py_ssize_t i = 0; i < PyList_GET_SIZE(history); ++i) {
    double size = 0.0;
    if (!record_size(PyList_GET_ITEM(history, i), &size)) return nullptr;
    total += size;
  }
  double average = total / static_cast<double>(n);
  // Out-of-range counts and totals saturate at the int32 limits; NaN gives 0.
  int32_t count = kv::saturate_cast<int32_t>(rate * horizon);
  int32_t bytes = kv::saturate_cast<int32_t>(average * static_cast<double>(count));
  double share = static_cast<double>(n) / 100.0;
  double confidence = (1.0 < share ? 1.0 : share) * 0.8;
  Ref result = Ref::steal(PyTuple_New(3));
  if (!result) return nullptr;
  PyObject* items[3] = {PyLong_FromLong(count), PyLong_FromLong(bytes), PyFloat_FromDouble(confidence)};
  for (int k = 0; k < 3; ++k) {
    if (items[k] == nullptr) {
      for (PyObject* o : items) Py_XDECREF(o);
      return nullptr;
    }
  }
  for (int k = 0; k < 3; ++k) PyTuple_SET_ITEM(result.get(), k, items[k]);
  return result.release();
}

// ---------------------------------------------------------------------------
// Module

const kv::FunctionDef functions[] = {
    {"detect_performance_degradation", detect_performance_degradation,
     "True when the average performance of the samples at or after window_start_time\n"
     "(at least 5 of them) lies more than threshold below baseline_performance,\n"
     "as a fraction of the baseline.",
     "(performance_history, baseline_performance, threshold, window_start_time)"},
    {"calculate_performance_trend", calculate_performance_trend,
     "Least-squares slope of performance over time for the samples at or after\n"
     "window_start_time, relative to their mean performance, clamped to [-1.0, 1.0];\n"
     "0.0 with fewer than 3 such samples or a degenerate fit.",
     "(performance_history, window_start_time)"},
    {"detect_workload_characteristics_change", detect_workload_characteristics_change,
     "Compares the averages of the last three characteristics records with the three\n"
     "before them; returns (changed, parallelization change, cpu change, memory change).",
     "(pattern_history, change_threshold=0.3)"},
    {"detect_dominant_pattern", detect_dominant_pattern,
     "The most frequent pattern name among the last window_size entries (the first\n"
     "seen wins a tie), or \"mixed\" when the window is empty.",
     "(patterns, window_size=5)"},
    {"is_adaptation_beneficial", is_adaptation_beneficial,
     "Whether switching from current_pool to recommended_pool is worth it, given the\n"
     "recommendation's score and confidence and the current performance estimate.",
     "(current_pool, recommended_pool, recommendation_score, recommendation_confidence, "
     "current_performance_estimate, trigger_code, min_improvement_ratio=1.1, min_confidence=0.6)"},
    {"should_skip_adaptation", should_skip_adaptation,
     "True when less than min_interval has passed since the last adaptation.",
     "(last_adaptation_time, current_time, min_interval)"},
    {"detect_memory_pressure", detect_memory_pressure,
     "True when current_usage / peak_usage exceeds pressure_threshold.",
     "(current_usage, peak_usage, pressure_threshold=0.8)"},
    {"detect_fragmentation_threshold", detect_fragmentation_threshold,
     "True when a non-negative fragmentation_ratio exceeds threshold.", "(fragmentation_ratio, threshold=0.3)"},
    {"calculate_adaptation_urgency", calculate_adaptation_urgency,
     "Weighted urgency in [0.0, 1.0] from degradation, memory pressure, fragmentation\n"
     "and whether the workload changed.",
     "(performance_degradation, memory_pressure, fragmentation_ratio, workload_changed)"},
    {"score_pool_recommendation", score_pool_recommendation,
     "Weighted fit of a candidate pool in [0.0, 1.0].",
     "(workload_fit, memory_fit, thread_count_fit, historical_success_rate)"},
    {"predict_resource_requirements", predict_resource_requirements,
     "Predicts (allocation count, bytes, confidence) over the coming\n"
     "prediction_horizon_seconds from the rate and average size of past allocations;\n"
     "count and bytes saturate at the 32-bit signed limits.",
     "(allocation_history, prediction_horizon_seconds)"},
};

int exec_module(PyObject* m) {
  Py_XSETREF(no_change_result, Py_BuildValue("(Oddd)", Py_False, 0.0, 0.0, 0.0));
  Py_XSETREF(empty_prediction, Py_BuildValue("(iid)", 0, 0, 0.0));
  if (no_change_result == nullptr || empty_prediction == nullptr) return -1;
  if (!kv::add_functions(m, functions) || !kv::import_module_as(m, "logging")) return -1;
  PyObject* logger = kv::bind_logger(m);
  if (logger == nullptr || !kv::log(logger, "info", "Korvane Adaptation Policy Cython module loaded - IP protected")) {
    return -1;
  }
  return 0;
}

}  // namespace

KV_MODULE(adaptation_policy, "korvane.plugins.analyzer.adaptation_policy",
          "Decision arithmetic of the orchestrator: performance degradation and trend,\n"
          "workload change, dominant pattern, adaptation go/no-go rules, memory pressure,\n"
          "fragmentation, urgency, pool recommendation and resource prediction.",
          exec_module)
