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

// Raises an error whose message is the text of `message` (any object).
[[noreturn]] inline void raise_with(PyObject* type, py::handle message) {
  PyErr_SetObject(type, message.ptr());
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

// A result declared as a dictionary: None or exactly a dict is handed back,
// anything else raises "Expected dict, got <type>".
inline py::object expect_dict(py::handle result) {
  if (!result.is_none() && !PyDict_CheckExact(result.ptr())) {
    raise(PyExc_TypeError, "Expected %s, got %.200s", "dict", type_name(result));
  }
  return borrowed(result);
}

// A value declared as an integer: an int as is, another number converted,
// anything else "Expected int, got <type>". None passes unchanged.
inline py::object expect_int(py::handle value) {
  if (value.is_none()) return borrowed(value);
  py::object converted = int_of(value);
  if (!converted) raise(PyExc_TypeError, "Expected %.200s, got %.200s", "int", type_name(value));
  return converted;
}

// "'NoneType' object has no attribute '<name>'": what reading `name` of None gives.
[[noreturn]] inline void raise_none_attribute(const char* name) {
  raise(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", name);
}

}  // namespace velora::native
