#include "velora_native/errors.hpp"

#include <cstdarg>

#include "velora_native/objects.hpp"

namespace velora::native {

namespace {

constexpr const char* kSubclassNote =
    ". Note that velora checks arguments more strictly than type hints do and refuses "
    "subclasses of built-in types; pass a plain ";

}  // namespace

void raise(PyObject* type, const char* format, ...) {
  va_list args;
  va_start(args, format);
  PyErr_FormatV(type, format, args);
  va_end(args);
  throw py::error_already_set();
}

void raise_with(PyObject* type, py::handle message) {
  PyErr_SetObject(type, message.ptr());
  throw py::error_already_set();
}

const char* type_name(py::handle value) { return Py_TYPE(value.ptr())->tp_name; }

void raise_argument_type(const char* argument, PyTypeObject* expected, py::handle value) {
  const bool subclass = PyObject_TypeCheck(value.ptr(), expected);
  raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)%s%.200s", argument,
        expected->tp_name, type_name(value), subclass ? kSubclassNote : "", subclass ? expected->tp_name : "");
}

py::object expect_dict(py::handle result) {
  if (!result.is_none() && !PyDict_CheckExact(result.ptr())) {
    raise(PyExc_TypeError, "Expected %s, got %.200s", "dict", type_name(result));
  }
  return borrowed(result);
}

py::object expect_int(py::handle value) {
  if (value.is_none()) return borrowed(value);
  py::object converted = int_of(value);
  if (!converted) raise(PyExc_TypeError, "Expected %.200s, got %.200s", "int", type_name(value));
  return converted;
}

void raise_none_attribute(const char* name) {
  raise(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", name);
}

}  // namespace velora::native
