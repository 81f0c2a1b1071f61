// Result dicts with a fixed set of str keys in a fixed order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "refs.hpp"

namespace kv {

// A new empty dict with room for `n` entries before it resizes. The presized
// constructor is private interpreter API, declared by 3.13, 3.14 and 3.15; on
// other releases the dict grows as its entries come.
inline PyObject* new_dict_presized(Py_ssize_t n) noexcept {
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x03100000
  return _PyDict_NewPresized(n);
#else
  (void)n;
  return PyDict_New();
#endif
}

// Makes dicts whose keys are always the same interned names, in the same
// order: statistics records returned to Python on every read. Building such a
// dict key by key hashes and probes every key again; most of a small read's
// cost is there. A record dict is instead a copy of a template made once (one
// allocation and a copy of its key table), whose entries then take the values
// directly, in key order, without a lookup.
//
// The entries are reached through the interpreter's dict layout, which is
// not part of its API, so the layout is checked when the template is made:
// a copy of the template must show the keys, in order, in a table of the
// expected shape, and values stored through that shape must read back
// through the dict API. Where any check fails (another interpreter release,
// or a free-threaded build), or the build asks for it (KORVANE_DICTS_BY_KEY),
// every dict is built through PyDict_SetItem, with the same result.
template <int N>
class FixedKeysDict {
 public:
  // Makes the template for `keys` (interned names, in result order); false
  // with an exception set.
  bool init(const Name (&keys)[N]) noexcept {
    for (int i = 0; i < N; ++i) keys_[i] = keys[i].get();
    // Grown from empty, so that the table is of the kind kept for str keys
    // only (a presized dict starts with a table for keys of any type).
    Ref made = Ref::steal(PyDict_New());
    if (!made) return false;
    for (PyObject* key : keys_) {
      if (PyDict_SetItem(made.get(), key, Py_None) < 0) return false;
    }
    Py_XSETREF(template_, made.release());
    direct_ = false;
    Ref probe = Ref::steal(PyDict_Copy(template_));
    if (!probe) return false;
    direct_ = layout_holds(probe.get());
    if (PyErr_Occurred()) return false;
    return true;
  }

  // Whether dicts are copies of the template filled in place (else they are
  // built key by key).
  bool direct() const noexcept { return direct_; }

  // A new dict of the keys and `values`, whose references it takes over;
  // null with an exception set when an entry is null (the failure that left
  // it) or the dict cannot be made.
  PyObject* make(PyObject* (&values)[N]) const noexcept {
    bool made = true;
    for (PyObject* v : values) made &= v != nullptr;
    PyObject* d = nullptr;
    if (made && direct_) [[likely]] {
      d = PyDict_Copy(template_);
      if (d != nullptr) {
        store(d, values);
        return d;
      }
    } else if (made) {
      d = PyDict_New();
      for (int i = 0; i < N && d != nullptr; ++i) {
        if (PyDict_SetItem(d, keys_[i], values[i]) < 0) Py_CLEAR(d);
      }
    }
    for (PyObject* v : values) Py_XDECREF(v);
    return d;
  }

 private:
  // The layout below is 3.13's. The key table of 3.14 and 3.15 starts the
  // same way, but this path is kept to the release it was written and tested
  // against: their record dicts are built key by key.
#if PY_VERSION_HEX >= 0x030D0000 && PY_VERSION_HEX < 0x030E0000 && !defined(Py_GIL_DISABLED) && \
    !defined(KORVANE_DICTS_BY_KEY)
  static constexpr bool kKnownLayout = true;
#else
  static constexpr bool kKnownLayout = false;
#endif

  // The head of a dict's key table and one entry of a table whose keys are
  // all str, as this interpreter release lays them out.
  struct KeysHead {
    Py_ssize_t refcnt;
    uint8_t log2_size;
    uint8_t log2_index_bytes;
    uint8_t kind;
    uint32_t version;
    Py_ssize_t usable;
    Py_ssize_t nentries;
    char indices[1];
  };
  struct StrEntry {
    PyObject* key;
    PyObject* value;
  };
  static constexpr uint8_t kStrKeys = 1;

  static KeysHead* head_of(PyObject* d) noexcept {
    return reinterpret_cast<KeysHead*>(reinterpret_cast<PyDictObject*>(d)->ma_keys);
  }
  static StrEntry* entries_of(PyObject* d) noexcept {
    KeysHead* k = head_of(d);
    return reinterpret_cast<StrEntry*>(k->indices + (std::size_t{1} << k->log2_index_bytes));
  }

  // Replaces the template's values in the fresh copy `d`. The copy is not
  // yet seen by anyone: no watcher, iterator or version tag has read it. Its
  // str keys and None values left it untracked by the collector; a value
  // that may hold references makes it tracked, as an insert would.
  static void store(PyObject* d, PyObject* (&values)[N]) noexcept {
    StrEntry* e = entries_of(d);
    bool may_hold_references = false;
    for (int i = 0; i < N; ++i) {
      PyObject* old = e[i].value;
      e[i].value = values[i];
      may_hold_references |= PyType_IS_GC(Py_TYPE(values[i]));
      Py_DECREF(old);
    }
    if (may_hold_references && !PyObject_GC_IsTracked(d)) PyObject_GC_Track(d);
  }

  // Whether `probe`, a copy of the template, has the layout `store` writes
  // into; may leave an exception set only when the dict API fails.
  bool layout_holds(PyObject* probe) const noexcept {
    if constexpr (!kKnownLayout) {
      return false;
    } else {
      auto* d = reinterpret_cast<PyDictObject*>(probe);
      auto* t = reinterpret_cast<PyDictObject*>(template_);
      if (!PyDict_CheckExact(probe) || d->ma_values != nullptr || d->ma_keys == t->ma_keys || d->ma_used != N) {
        return false;
      }
      KeysHead* k = head_of(probe);
      // Index bytes: one per slot for the small tables that hold these keys.
      if (k->refcnt != 1 || k->kind != kStrKeys || k->nentries != N || k->log2_size > 7 ||
          k->log2_index_bytes != k->log2_size || (Py_ssize_t{1} << k->log2_size) <= N) {
        return false;
      }
      StrEntry* e = entries_of(probe);
      for (int i = 0; i < N; ++i) {
        if (e[i].key != keys_[i] || e[i].value != Py_None) return false;
      }
      // Values stored through the layout must read back, by key and in order.
      PyObject* marks[N];
      for (int i = 0; i < N; ++i) marks[i] = PyLong_FromLong(i);  // small ints: immortal, never fail
      for (int i = 0; i < N; ++i) e[i].value = marks[i];
      Py_ssize_t pos = 0;
      PyObject *key, *value;
      for (int i = 0; i < N; ++i) {
        if (!PyDict_Next(probe, &pos, &key, &value) || key != keys_[i] || value != marks[i]) return false;
        if (PyDict_GetItemWithError(probe, keys_[i]) != marks[i]) return false;
      }
      return true;
    }
  }

  PyObject* keys_[N] = {};
  PyObject* template_ = nullptr;
  bool direct_ = false;
};

}  // namespace kv
