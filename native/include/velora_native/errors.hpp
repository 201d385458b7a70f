// Raising the standard exception types with the SDK's fixed messages.
#pragma once

#include <pybind11/pybind11.h>

namespace velora::native {

namespace py = pybind11;

// Sets the Python error from a printf-style format (PyErr_Format's codes,
// %R and %S included) and throws it on to the binding layer.
[[noreturn]] void raise(PyObject* type, const char* format, ...);

// Raises an error whose message is the text of `message` (any object).
[[noreturn]] void raise_with(PyObject* type, py::handle message);

// The name that messages show for a value's type.
const char* type_name(py::handle value);

// "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", with
// the note on refused subclasses when `value` is an instance of `expected`.
[[noreturn]] void raise_argument_type(const char* argument, PyTypeObject* expected, py::handle value);

// A result declared as a dictionary: None or exactly a dict is handed back,
// anything else raises "Expected dict, got <type>".
py::object expect_dict(py::handle result);

// A value declared as an integer: an int as is, another number converted,
// anything else "Expected int, got <type>". None passes unchanged.
py::object expect_int(py::handle value);

// "'NoneType' object has no attribute '<name>'": what reading `name` of None gives.
[[noreturn]] void raise_none_attribute(const char* name);

}  // namespace velora::native
