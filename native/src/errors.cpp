#include "velora_native/errors.hpp"

#include <cstdarg>

namespace velora::native {

namespace {

constexpr const char* kSubclassNote =
    "Note that velora checks arguments more strictly than type hints do and refuses "
    "subclasses of built-in types; pass a plain ";

}  // namespace

bool converts_to_int(py::handle value) {
  const PyNumberMethods* number = Py_TYPE(value.ptr())->tp_as_number;
  return number != nullptr && (number->nb_index != nullptr || number->nb_int != nullptr);
}

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
  if (PyObject_TypeCheck(value.ptr(), expected)) {
    raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s). %s%.200s", argument,
          expected->tp_name, type_name(value), kSubclassNote, expected->tp_name);
  }
  raise(PyExc_TypeError, "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)", argument,
        expected->tp_name, type_name(value));
}

py::handle expect_dict(py::handle result) {
  if (!result.is_none() && !PyDict_CheckExact(result.ptr())) {
    raise(PyExc_TypeError, "Expected %s, got %.200s", "dict", type_name(result));
  }
  return result;
}

py::object expect_int(py::handle value) {
  if (value.is_none() || PyLong_CheckExact(value.ptr())) return py::reinterpret_borrow<py::object>(value);
  if (!converts_to_int(value)) raise(PyExc_TypeError, "Expected %.200s, got %.200s", "int", type_name(value));
  PyObject* converted = PyNumber_Long(value.ptr());
  if (converted == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(converted);
}

void raise_none_attribute(const char* name) {
  raise(PyExc_AttributeError, "'NoneType' object has no attribute '%.30s'", name);
}

}  // namespace velora::native
