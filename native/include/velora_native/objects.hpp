// Small object helpers every module uses, one per job: interned names,
// attributes, new references, text views, isinstance, `in`, truth, int
// conversion and the names a module imports.
#pragma once

#include <pybind11/pybind11.h>

#include <algorithm>
#include <cstddef>
#include <initializer_list>
#include <string_view>
#include <utility>

namespace velora::native {

namespace py = pybind11;

// A string literal usable as a template argument: interned<"name">().
template <std::size_t N>
struct Literal {
  char text[N];
  constexpr Literal(const char (&s)[N]) { std::copy_n(s, N, text); }  // NOLINT: implicit on purpose
};

// The interned str for a literal. The reference is never released: like the
// interpreter's own interned names it lives as long as the process.
template <Literal L>
PyObject* interned() {
  static PyObject* const name = PyUnicode_InternFromString(L.text);
  return name;
}

// Owns a new reference returned by the C API, or throws the error it set.
inline py::object owned(PyObject* created) {
  if (created == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::object>(created);
}

// A new reference to a value held elsewhere.
inline py::object borrowed(py::handle value) { return py::reinterpret_borrow<py::object>(value); }

// An empty object (no value) as None.
inline py::object or_none(py::object value) { return value ? std::move(value) : py::none(); }

// getattr(obj, "name") through an interned name.
template <Literal L>
py::object attr(py::handle obj) {
  return owned(PyObject_GetAttr(obj.ptr(), interned<L>()));
}

// getattr(obj, "name"), or an empty object when it has none: only
// AttributeError means absent.
template <Literal L>
py::object optional_attr(py::handle obj) {
  PyObject* value = nullptr;
#if PY_VERSION_HEX >= 0x030D0000
  if (PyObject_GetOptionalAttr(obj.ptr(), interned<L>(), &value) < 0) throw py::error_already_set();
#else
  value = PyObject_GetAttr(obj.ptr(), interned<L>());
  if (value == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
  }
#endif
  return py::reinterpret_steal<py::object>(value);
}

// The UTF-8 text of a str, valid while the str lives.
inline std::string_view utf8(py::handle text) {
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size);
  if (data == nullptr) throw py::error_already_set();
  return {data, static_cast<std::size_t>(size)};
}

// `item in container`, with the error of __contains__ passed on.
inline bool contains(py::handle container, py::handle item) {
  const int found = PySequence_Contains(container.ptr(), item.ptr());
  if (found < 0) throw py::error_already_set();
  return found == 1;
}

// bool(value), with the error of __bool__ passed on.
inline bool truthy(py::handle value) {
  const int truth = PyObject_IsTrue(value.ptr());
  if (truth < 0) throw py::error_already_set();
  return truth == 1;
}

// int(value) for an int or any other number (2.7 -> 2, True -> 1); an empty
// object for a value that is no number.
inline py::object int_of(py::handle value) {
  if (PyLong_CheckExact(value.ptr())) return borrowed(value);
  const PyNumberMethods* number = Py_TYPE(value.ptr())->tp_as_number;
  if (number == nullptr || (number->nb_index == nullptr && number->nb_int == nullptr)) return {};
  return owned(PyNumber_Long(value.ptr()));
}

// `from <source> import <names>`: each name becomes an attribute of `module`.
inline void bind_from(py::module_& module, const char* source, std::initializer_list<const char*> names) {
  const py::module_ imported = py::module_::import(source);
  for (const char* name : names) module.attr(name) = imported.attr(name);
}

}  // namespace velora::native
