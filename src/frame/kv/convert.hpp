// Conversions between Python numbers and native integers and doubles.
//
// Integer rules: an int (or subclass) is taken by value; any other object
// with __int__ is converted through it (a float truncates toward zero); any
// other object raises TypeError "an integer is required". A value outside
// the target type raises OverflowError; for unsigned targets a negative value
// reads "can't convert negative value to uint64_t" (with the type's name).
#pragma once

#include <cstdint>
#include <limits>
#include <type_traits>

#include "errors.hpp"

namespace kv {

template <typename T>
struct IntName;
template <> struct IntName<int8_t> { static constexpr const char* value = "int8_t"; };
template <> struct IntName<uint8_t> { static constexpr const char* value = "uint8_t"; };
template <> struct IntName<int32_t> { static constexpr const char* value = "int32_t"; };
template <> struct IntName<uint32_t> { static constexpr const char* value = "uint32_t"; };
template <> struct IntName<int64_t> { static constexpr const char* value = "int64_t"; };
template <> struct IntName<uint64_t> { static constexpr const char* value = "uint64_t"; };

namespace detail {

// A new reference to an int holding the value of `o`, or null with an error.
inline PyObject* as_int_object(PyObject* o) {
  if (PyLong_Check(o)) return Py_NewRef(o);
  PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
  if (nb == nullptr || nb->nb_int == nullptr) {
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    return nullptr;
  }
  PyObject* r = nb->nb_int(o);
  if (r != nullptr && !PyLong_Check(r)) {
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(r)->tp_name);
    Py_DECREF(r);
    return nullptr;
  }
  return r;
}

template <typename T>
KV_COLD void raise_too_large() {
  PyErr_Format(PyExc_OverflowError, "value too large to convert to %s", IntName<T>::value);
}

template <typename T>
KV_COLD void raise_negative() {
  PyErr_Format(PyExc_OverflowError, "can't convert negative value to %s", IntName<T>::value);
}

template <typename T>
[[gnu::noinline]] bool to_int_slow(PyObject* o, T* out) {
  Ref v = Ref::steal(as_int_object(o));
  if (!v) return false;
  int overflow = 0;
  long long x = PyLong_AsLongLongAndOverflow(v.get(), &overflow);
  if (x == -1 && overflow == 0 && PyErr_Occurred()) return false;
  if constexpr (std::is_signed_v<T>) {
    if (overflow != 0 || x < std::numeric_limits<T>::min() || x > std::numeric_limits<T>::max()) {
      raise_too_large<T>();
      return false;
    }
  } else {
    if (overflow < 0 || (overflow == 0 && x < 0)) {
      raise_negative<T>();
      return false;
    }
    if (overflow > 0) {
      if constexpr (sizeof(T) == sizeof(unsigned long long)) {
        unsigned long long u = PyLong_AsUnsignedLongLong(v.get());
        if (u == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
          PyErr_Clear();
          raise_too_large<T>();
          return false;
        }
        *out = static_cast<T>(u);
        return true;
      } else {
        raise_too_large<T>();
        return false;
      }
    }
    if (static_cast<unsigned long long>(x) > std::numeric_limits<T>::max()) {
      raise_too_large<T>();
      return false;
    }
  }
  *out = static_cast<T>(x);
  return true;
}

}  // namespace detail

// Converts `o` to the integer type T by the rules above; false with an error set.
template <typename T>
inline bool to_int(PyObject* o, T* out) {
  if (PyLong_CheckExact(o) && PyUnstable_Long_IsCompact(reinterpret_cast<PyLongObject*>(o))) {
    Py_ssize_t x = PyUnstable_Long_CompactValue(reinterpret_cast<PyLongObject*>(o));
    bool fits;
    if constexpr (std::is_signed_v<T>) {
      fits = sizeof(T) >= 4 || (x >= std::numeric_limits<T>::min() && x <= std::numeric_limits<T>::max());
    } else {
      fits = x >= 0 && (sizeof(T) >= 4 || x <= static_cast<Py_ssize_t>(std::numeric_limits<T>::max()));
    }
    if (fits) {
      *out = static_cast<T>(x);
      return true;
    }
  }
  return detail::to_int_slow(o, out);
}

inline bool to_i8(PyObject* o, int8_t* out) { return to_int(o, out); }
inline bool to_u8(PyObject* o, uint8_t* out) { return to_int(o, out); }
inline bool to_i32(PyObject* o, int32_t* out) { return to_int(o, out); }
inline bool to_u32(PyObject* o, uint32_t* out) { return to_int(o, out); }
inline bool to_i64(PyObject* o, int64_t* out) { return to_int(o, out); }
inline bool to_u64(PyObject* o, uint64_t* out) { return to_int(o, out); }

// A float, an int or any object with __float__ or __index__; TypeError otherwise.
inline bool to_double(PyObject* o, double* out) {
  if (PyFloat_CheckExact(o)) {
    *out = PyFloat_AS_DOUBLE(o);
    return true;
  }
  double d = PyFloat_AsDouble(o);
  if (d == -1.0 && PyErr_Occurred()) return false;
  *out = d;
  return true;
}

// Python truth value; false with an error set when __bool__ raises.
inline bool to_truth(PyObject* o, bool* out) {
  if (o == Py_True) {
    *out = true;
    return true;
  }
  if (o == Py_False || o == Py_None) {
    *out = false;
    return true;
  }
  int t = PyObject_IsTrue(o);
  if (t < 0) return false;
  *out = t != 0;
  return true;
}

// The check for arguments annotated `int`: an int (or subclass) passes as is;
// another object with the number protocol is converted with int(); anything
// else raises "Argument '<name>' has incorrect type (expected int, got ...)".
// With `exact`, only an exact int passes as is and an int subclass (True
// included) is converted with int() too. Returns a new reference or null.
inline PyObject* annotated_int(PyObject* o, const char* arg_name, bool exact = false) {
  if (exact ? PyLong_CheckExact(o) : PyLong_Check(o)) return Py_NewRef(o);
  if (!PyNumber_Check(o)) {
    raise_arg_type(arg_name, "int", o);
    return nullptr;
  }
  return PyNumber_Long(o);
}

// The check for an argument that must be exactly `type` (subclasses are
// rejected) or None: "Argument '<name>' has incorrect type (expected str,
// got ...)", with the type's own name.
inline bool exact_or_none(PyObject* o, PyTypeObject* type, const char* arg_name) {
  if (o == Py_None || Py_TYPE(o) == type) [[likely]] return true;
  raise_arg_type(arg_name, type->tp_name, o);
  return false;
}

// The same check where None then fails as len(None) does: "object of type
// 'NoneType' has no len()".
inline bool exact_sized(PyObject* o, PyTypeObject* type, const char* arg_name) {
  if (Py_TYPE(o) == type) [[likely]] return true;
  if (o == Py_None) {
    raise_no_len(o);
  } else {
    raise_arg_type(arg_name, type->tp_name, o);
  }
  return false;
}

// The same check for a value that must be an int after the fact (a result
// that a caller declared as `int`): "Expected int, got ...". None passes.
inline PyObject* expected_int_or_none(PyObject* o) {
  if (PyLong_Check(o) || o == Py_None) return Py_NewRef(o);
  if (!PyNumber_Check(o)) {
    raise_expected("int", o);
    return nullptr;
  }
  return PyNumber_Long(o);
}

// format(value, ".1f") + "%" for a finite float value, by the interpreter's
// own correctly rounded formatting (which needs nothing from the C++ runtime).
inline PyObject* percent_text(double value) {
  char* digits = PyOS_double_to_string(value, 'f', 1, 0, nullptr);
  if (digits == nullptr) return nullptr;
  PyObject* text = PyUnicode_FromFormat("%s%%", digits);
  PyMem_Free(digits);
  return text;
}

inline PyObject* from_i64(int64_t v) { return PyLong_FromLongLong(v); }
inline PyObject* from_u64(uint64_t v) { return PyLong_FromUnsignedLongLong(v); }
inline PyObject* from_bool(bool v) { return Py_NewRef(v ? Py_True : Py_False); }

// Truncates a double toward zero into T, saturating at T's limits; NaN gives 0.
// Used where a double outside the target range must not be undefined behaviour.
template <typename T>
inline T saturate_cast(double d) {
  if (d != d) return 0;
  constexpr double lo = static_cast<double>(std::numeric_limits<T>::min());
  // The largest double strictly below 2**bits (or 2**(bits-1) for signed types).
  constexpr double hi_excl = std::is_signed_v<T> ? -static_cast<double>(std::numeric_limits<T>::min())
                                                 : 2.0 * static_cast<double>(std::numeric_limits<T>::max() / 2 + 1);
  if (d <= lo) return std::numeric_limits<T>::min();
  if (d >= hi_excl) return std::numeric_limits<T>::max();
  return static_cast<T>(d);
}

}  // namespace kv
