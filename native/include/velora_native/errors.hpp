// Raising the standard exception types with the SDK's fixed messages.
#pragma once

#include <pybind11/pybind11.h>

#include <cstdarg>

#include "velora_native/objects.hpp"

namespace velora::native {

namespace py = pybind11;

// Sets the Python error from a printf-style format (PyErr_Format's codes,
// %R and %S included) and throws it on to the binding layer.
[[noreturn]] inline void raise(PyObject* type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PyErr_FormatV(type, format, args);
  va_end(args);
  throw py::error_already_set();
}

// The name that messages show for a value's type.
inline const char* type_name(py::handle value) { return Py_TYPE(value.ptr())->tp_name; }

// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", with
// the note on refused subclasses when `value` is an instance of `expected`.
[[noreturn]] inline void raise_argument_type(const char* argument, PyTypeObject* expected, py::handle value) {
  const bool subclass = PyObject_TypeCheck(value.ptr(), expected);
  const char* note =
      ". Note that velora checks arguments more strictly than type hints do and refuses "
      "subclasses of built-in types; pass a plain ";
  raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%.200s", argument,
        expected->tp_name, type_name(value), subclass ? note : "", subclass ? expected->tp_name : "");
}

// A value declared as exactly `type`, or None where `none_allowed`: handed
// back, anything else raises "Expected <type>, got <its type>".
inline py::object expect_exact(py::handle value, PyTypeObject* type, bool none_allowed = false) {
  if (!(none_allowed && value.is_none()) && !Py_IS_TYPE(value.ptr(), type)) {
    raise(PyExc_TypeError, "Expected %s, got %.200s", type->tp_name, type_name(value));
  }
  return borrowed(value);
}

// A result declared as a dictionary: None or exactly a dict.
inline py::object expect_dict(py::handle result) { return expect_exact(result, &PyDict_Type, true); }

// A value declared as an integer: an int as is, another number converted,
// anything else "Expected int, got <type>". None passes unchanged.
inline py::object expect_int(py::handle value) {
  if (value.is_none()) return borrowed(value);
  py::object converted = int_of(value);
  if (!converted) raise(PyExc_TypeError, "Expected %.200s, got %.200s", "int", type_name(value));
  return converted;
}

}  // namespace velora::native
